// The iterator that an explicit `coro.__await__()` returns (`await` itself
// and asyncio drive the coroutine object directly). Internal to the support
// layer.
#pragma once

#include "support/py.hpp"

namespace zv {

// The type of the wrappers for `module` (support_exec creates it).
PyTypeObject* new_await_type(PyObject* module, PyObject* module_name);

// A new wrapper of `type` around the coroutine object `coro`.
PyObject* new_await_wrapper(PyTypeObject* type, PyObject* coro);

// The coroutine object's protocol (coro.cpp), which the wrapper forwards to.
PyObject* coro_iternext(PyObject* self);
PyObject* coro_send_method(PyObject* self, PyObject* arg);
PyObject* coro_throw_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* coro_close(PyObject* self, PyObject*);

}  // namespace zv
