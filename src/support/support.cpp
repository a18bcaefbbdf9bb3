// The support layer's part of a module: its types and names, made when the
// module is executed.
#include "support/support.hpp"

#include "support/body.hpp"
#include "support/coro.hpp"
#include "support/operation.hpp"
#include "support/stack.hpp"

namespace zv {

int support_exec(PyObject* module, SupportState* state) {
    return boundary<int>(-1, [&] {
        check(stack_guard_init());
        state->module_name = own(PyModule_GetNameObject(module)).release();
        state->s_cr_await = interned("cr_await").release();
        state->s_cr_frame = interned("cr_frame").release();
        state->s_close = interned("close").release();
        state->s_throw = interned("throw").release();
        state->body_type = new_body_type(module, state->module_name);
        state->operation_type = new_operation_type(module, state->module_name);
        coroutine_exec(module, state);
        // inspect.iscoroutinefunction() recognises callables carrying this mark
        // (named _is_coroutine_marker in the inspect module of 3.12).
        Ref inspect = own(PyImport_ImportModule("inspect"));
        Ref mark = optional_attr(inspect.get(), interned("_is_coroutine_mark").get());
        if (!mark) mark = optional_attr(inspect.get(), interned("_is_coroutine_marker").get());
        state->coroutine_mark = mark ? mark.release() : Py_NewRef(Py_None);
        return 0;
    });
}

int support_traverse(SupportState* state, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PyObject*>(state->body_type));
    Py_VISIT(reinterpret_cast<PyObject*>(state->operation_type));
    Py_VISIT(state->function_globals);
    Py_VISIT(state->coroutine_mark);
    return 0;
}

void support_clear(SupportState* state) {
    Py_CLEAR(state->body_type);
    Py_CLEAR(state->operation_type);
    Py_CLEAR(state->function_globals);
    Py_CLEAR(state->coroutine_mark);
    Py_CLEAR(state->module_name);
    Py_CLEAR(state->s_cr_await);
    Py_CLEAR(state->s_cr_frame);
    Py_CLEAR(state->s_close);
    Py_CLEAR(state->s_throw);
}

}  // namespace zv
