// The Python type of native coroutines: its getters (cr_*), methods, slots
// (finalizer, collector support, repr) and the support layer's module exec.
// The steps it drives are in coro.cpp.
#include "support/coro_object.hpp"

#include "support/await_wrapper.hpp"
#include "support/pyframe.hpp"
#include "support/stack.hpp"

#include <atomic>
#include <cstddef>

namespace zv {

using detail::as_coro;
using detail::coro_send;
using detail::CoroObject;
using detail::destroy_frame;
using detail::release;
using detail::running_here;
using detail::State;
using detail::state_of;

namespace {


// `await` in Python code and asyncio drive the coroutine itself (its am_await
// returns it); an explicit __await__() call gets a separate iterator, as
// native coroutines give, so that `yield from coro.__await__()` works.
// Like the interpreter's `await` of a native coroutine, it refuses one that is
// suspended in an await of its own: another awaiter is driving it.
PyObject* coro_await(PyObject* obj) {
    CoroObject* self = as_coro(obj);
    if (state_of(self) == State::Suspended) {  // suspended in a co_await: it has a delegate
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(obj);
}

PyObject* await_wrapper_new(PyObject* obj, PyObject*) {
    CoroObject* self = as_coro(obj);
    SupportState* st = support_state(self->op->module);
    return new_await_wrapper(st->await_type, obj);
}

// The never-awaited warning, through the warnings module as the interpreter
// gives it for its own coroutines (with where the coroutine was created when
// origin tracking is on); the plain warning when that module is not there.
void warn_never_awaited(CoroObject* self) {
    PyObject* obj = reinterpret_cast<PyObject*>(self);
#if PY_VERSION_HEX >= 0x030D0000
    const bool finalizing = Py_IsFinalizing();
#else
    const bool finalizing = _Py_IsFinalizing();
#endif
    bool warned = false;
    Ref name = Ref::steal(PyUnicode_InternFromString("warnings"));
    Ref warnings;
    if (name) warnings = Ref::steal(finalizing ? PyImport_GetModule(name.get()) : PyImport_Import(name.get()));
    Ref fn = warnings ? Ref::steal(PyObject_GetAttrString(warnings.get(), "_warn_unawaited_coroutine")) : Ref();
    if (fn) {
        Ref r = Ref::steal(PyObject_CallOneArg(fn.get(), obj));
        // A RuntimeWarning raised is the warning itself, made an error by
        // the filters: reported, with no second warning.
        warned = r || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(obj);
    if (!warned &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", self->op->qualname) < 0)
        PyErr_WriteUnraisable(obj);
}

void coro_finalize(PyObject* obj) {
    CoroObject* self = as_coro(obj);
    PyObject* saved = PyErr_GetRaisedException();
    State state = state_of(self);
    if (state == State::Created && self->frame && self->op) {
        warn_never_awaited(self);
    } else if (state == State::Suspended) {
        PyObject* r = coro_close(obj, nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(obj);
    }
    PyErr_SetRaisedException(saved);
}

int coro_traverse(PyObject* obj, visitproc visit, void* arg) {
    CoroObject* self = as_coro(obj);
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(reinterpret_cast<PyObject*>(self->op));
    Py_VISIT(self->origin);
    if (self->kept)
        if (int rc = self->kept_ops->traverse(self->kept, visit, arg)) return rc;
    if (int rc = detail::traverse_tool_frame(self, visit, arg)) return rc;
    if (int rc = detail::frame_traverse(self, visit, arg)) return rc;
    if (self->frame) return self->frame.promise().traverse(visit, arg);
    return 0;
}

int coro_clear(PyObject* obj) {
    CoroObject* self = as_coro(obj);
    // The collector runs while no other thread runs Python code: a step in
    // progress is this thread's own, further down its stack.
    if (state_of(self) != State::Running) {
        detail::drop_frame(self);
        destroy_frame(self);
        release(self, State::Finished);
    }
    return 0;
}

void coro_dealloc(PyObject* obj) {
    CoroObject* self = as_coro(obj);
    PyObject_GC_UnTrack(obj);
    if (self->weakrefs) PyObject_ClearWeakRefs(obj);
    // A finished coroutine has nothing left for its finalizer to do.
    if (state_of(self) != State::Finished) {
        PyObject_GC_Track(obj);
        if (PyObject_CallFinalizerFromDealloc(obj) < 0) return;  // resurrected
        PyObject_GC_UnTrack(obj);
    }
    detail::drop_frame(self);
    destroy_frame(self);
    PyTypeObject* type = Py_TYPE(obj);
    Py_CLEAR(self->op);
    Py_CLEAR(self->origin);
    type->tp_free(obj);
    Py_DECREF(type);
}

PyObject* coro_repr(PyObject* obj) {
    CoroObject* self = as_coro(obj);
    return PyUnicode_FromFormat("<coroutine object %U at %p>", self->op->qualname, obj);
}

PyObject* coro_get_name(PyObject* obj, void*) { return Py_NewRef(as_coro(obj)->op->name); }
PyObject* coro_get_qualname(PyObject* obj, void*) { return Py_NewRef(as_coro(obj)->op->qualname); }
PyObject* coro_get_running(PyObject* obj, void*) { return PyBool_FromLong(state_of(as_coro(obj)) == State::Running); }
PyObject* coro_get_suspended(PyObject* obj, void*) {
    return PyBool_FromLong(state_of(as_coro(obj)) == State::Suspended);
}
// The state by inspect's names (what inspect.getcoroutinestate reads from 3.15).
PyObject* coro_get_state(PyObject* obj, void*) {
    static constexpr const char* names[] = {"CORO_CREATED", "CORO_SUSPENDED", "CORO_RUNNING", "CORO_CLOSED"};
    return PyUnicode_InternFromString(names[static_cast<int>(state_of(as_coro(obj)))]);
}
PyObject* coro_get_origin(PyObject* obj, void*) {
    PyObject* origin = as_coro(obj)->origin;
    return Py_NewRef(origin ? origin : Py_None);
}
PyObject* coro_get_await(PyObject* obj, void*) {
    CoroObject* self = as_coro(obj);
    Ref delegate;
    if (running_here(self)) {
        // Asked from inside its own step (a collaborator looking up the chain).
        delegate = Ref::borrow(self->frame.promise().delegate.get());
    } else if (State was = hold(self); claimed(was)) {
        // Held still for the read: a sender in another thread meanwhile is
        // refused. A created coroutine has no delegate yet.
        if (was == State::Suspended) delegate = Ref::borrow(self->frame.promise().delegate.get());
        release(self, was);
    }
    return delegate ? delegate.release() : Py_NewRef(Py_None);
}

PyObject* coro_get_code(PyObject* obj, void*) { return Py_NewRef(operation_code(as_coro(obj)->op)); }
PyObject* coro_get_frame(PyObject* obj, void*) { return detail::coro_frame(as_coro(obj)); }

PyMethodDef coro_methods[] = {
    {"send", coro_send_method, METH_O,
     PyDoc_STR("send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration.")},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(coro_throw_method)), METH_FASTCALL,
     PyDoc_STR("throw(value)\n\nRaise exception in coroutine, return next iterated value or raise StopIteration.")},
    {"close", coro_close, METH_NOARGS, PyDoc_STR("close() -> raise GeneratorExit inside coroutine.")},
    {"__await__", await_wrapper_new, METH_NOARGS | METH_COEXIST,
     PyDoc_STR("Return an iterator to be used in await expression.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", coro_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", coro_get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", coro_get_suspended, nullptr, nullptr, nullptr},
    {"cr_state", coro_get_state, nullptr, nullptr, nullptr},
    {"cr_await", coro_get_await, nullptr, nullptr, nullptr},
    {"cr_origin", coro_get_origin, nullptr, nullptr, nullptr},
    {"cr_code", coro_get_code, nullptr, nullptr, nullptr},
    {"cr_frame", coro_get_frame, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, coro_members},
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(coro_send)},
    {0, nullptr},
};

}  // namespace

int support_exec(PyObject* module, SupportState* state) {
    return boundary<int>(-1, [&] {
        check(stack_guard_init());
        Ref name = own(PyModule_GetNameObject(module));
        Ref coro_spec_name = own(PyUnicode_FromFormat("%U.native_coroutine", name.get()));
        // Spec names must outlive the types: keep them in the state.
        state->module_name = name.release();
        static_assert(sizeof(CoroObject) > 0);
        // Variable size: the body's frame state follows the fixed part.
        PyType_Spec coro_spec = {nullptr, int(sizeof(CoroObject)), 1,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                     Py_TPFLAGS_IMMUTABLETYPE,
                                 coro_slots};
        coro_spec.name = PyUnicode_AsUTF8(coro_spec_name.get());
        if (!coro_spec.name) throw_error();
        state->coroutine_type = reinterpret_cast<PyTypeObject*>(
            own(PyType_FromModuleAndSpec(module, &coro_spec, nullptr)).release());
        state->operation_type = new_operation_type(module, state->module_name);
        state->await_type = new_await_type(module, state->module_name);
        state->driver_type = new_driver_type(module, state->module_name);
        frame_support_exec(state);
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
    Py_VISIT(reinterpret_cast<PyObject*>(state->coroutine_type));
    Py_VISIT(reinterpret_cast<PyObject*>(state->operation_type));
    Py_VISIT(reinterpret_cast<PyObject*>(state->await_type));
    Py_VISIT(reinterpret_cast<PyObject*>(state->driver_type));
    Py_VISIT(state->frame_template);
    Py_VISIT(state->frame_globals);
    Py_VISIT(state->coroutine_mark);
    return 0;
}

void support_clear(SupportState* state) {
    Py_CLEAR(state->coroutine_type);
    Py_CLEAR(state->operation_type);
    Py_CLEAR(state->await_type);
    Py_CLEAR(state->driver_type);
    Py_CLEAR(state->frame_template);
    Py_CLEAR(state->frame_globals);
    Py_CLEAR(state->coroutine_mark);
    Py_CLEAR(state->module_name);
}

}  // namespace zv
