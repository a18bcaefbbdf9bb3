// The support layer's part of each module's state: the types it makes for
// the module and the names and objects its steps use, made once at exec.
#pragma once

#include "support/py.hpp"

namespace zv {

struct SupportState {
    PyTypeObject* body_type = nullptr;       // what an operation's coroutine awaits (body.hpp)
    PyTypeObject* operation_type = nullptr;  // the class attributes that make the coroutines (operation.hpp)
    PyObject* coroutine_mark = nullptr;      // inspect's marker for coroutine functions
    PyObject* module_name = nullptr;
    PyObject* function_globals = nullptr;    // the globals of the operations' functions (coro.cpp)
    // Interned names.
    PyObject* s_cr_await = nullptr;
    PyObject* s_cr_frame = nullptr;
    PyObject* s_close = nullptr;
    PyObject* s_throw = nullptr;
};

// The support layer's part of `module`'s state (each module's state starts with it).
inline SupportState* support_state(PyObject* module) {
    return static_cast<SupportState*>(PyModule_GetState(module));
}

// Makes the support types (body, operation) and names for `module` and
// fills `state`.
int support_exec(PyObject* module, SupportState* state);
int support_traverse(SupportState* state, visitproc visit, void* arg);
void support_clear(SupportState* state);

}  // namespace zv
