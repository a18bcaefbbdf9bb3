// Native coroutines: operation bodies are C++20 coroutines whose `co_await`
// delegates to a Python awaitable exactly like `await`/`yield from`, wrapped
// in one Python type that speaks the coroutine protocol (send, throw, close,
// __await__, am_send) so asyncio drives it like an `async def`.
//
// The support layer in files by concept:
//   promise.hpp/.cpp        the C++ frame: promise, co_await of a Python awaitable
//   coro.hpp/.cpp           the Python coroutine object that drives a frame
//   await_wrapper.hpp/.cpp  the iterator that coro.__await__() returns
//   operation.hpp/.cpp      the operation descriptors that create coroutines
#pragma once

#include "support/args.hpp"
#include "support/operation.hpp"
#include "support/promise.hpp"
#include "support/py.hpp"

namespace zv {

// What the support layer keeps in each module's state; every module state
// starts with it.
struct SupportState {
    PyTypeObject* coroutine_type = nullptr;
    PyTypeObject* operation_type = nullptr;
    PyTypeObject* await_type = nullptr;  // what __await__() returns
    PyObject* coroutine_mark = nullptr;  // inspect's marker for coroutine functions
    PyObject* module_name = nullptr;
};

// Creates the support types (coroutine, operation, await wrapper) for
// `module` and fills `state`.
int support_exec(PyObject* module, SupportState* state);
int support_traverse(SupportState* state, visitproc visit, void* arg);
void support_clear(SupportState* state);

// Wraps a body into a new Python coroutine object named after `op`.
PyObject* make_coroutine(OpObject* op, Coro body);

}  // namespace zv
