#include "support/coro.hpp"

#include "support/await_wrapper.hpp"
#include "support/stack.hpp"

#include <atomic>
#include <cstddef>
#include <new>

namespace zv {

namespace {

// A coroutine object's life. Only the thread that moves it from Created or
// Suspended to Running (a compare-and-swap: see claim()) touches its C++
// frame and promise until it publishes the next state with release(), after
// its last touch of them. With the GIL this costs two uncontended atomic
// operations per step; without it, a second thread that sends, throws or
// closes concurrently is refused instead of resuming the same frame.
enum class State : unsigned char { Created, Suspended, Running, Finished };

// The body's frame state lives in the object's variable part, `kept`
// pointing at it while it is alive.
struct CoroObject {
    PyObject_VAR_HEAD
    Coro::handle frame;
    OpObject* op;
    PyObject* weakrefs;
    PyObject* origin;  // cr_origin: where it was created, when tracked
    void* kept;
    const detail::KeptOps* kept_ops;
    std::atomic<PyThreadState*> runner;  // the thread running a step, while Running
    std::atomic<State> state;
};

CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

State state_of(CoroObject* self) { return self->state.load(std::memory_order_acquire); }

// Takes the coroutine for a step: Created or Suspended becomes Running, and
// the state it was in is returned. A running or finished coroutine is refused
// with the error Python's coroutines raise (and that state returned).
State claim(CoroObject* self) {
    State was = state_of(self);
    for (;;) {
        if (was == State::Running) {
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return was;
        }
        if (was == State::Finished) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return was;
        }
        if (self->state.compare_exchange_weak(was, State::Running, std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
            self->runner.store(PyThreadState_Get(), std::memory_order_relaxed);
            return was;
        }
    }
}

bool claimed(State was) { return was == State::Created || was == State::Suspended; }

// Ends a claim: publishes `next` after the claimant's last touch of the frame.
void release(CoroObject* self, State next) {
    self->runner.store(nullptr, std::memory_order_relaxed);
    self->state.store(next, std::memory_order_release);
}

// Whether the calling thread is the one running a step of the coroutine (a
// collaborator looking at the coroutine that awaits it).
bool running_here(CoroObject* self) {
    return state_of(self) == State::Running &&
           self->runner.load(std::memory_order_relaxed) == PyThreadState_Get();
}

// Raises the StopIteration that ends a coroutine with `value`; the value is
// the exception's single argument, so a tuple stays a tuple.
void set_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (exc) PyErr_SetRaisedException(exc);
}

Ref fetch_error() { return Ref::steal(PyErr_GetRaisedException()); }

// Destroys the body's frame, then the frame state it worked on.
void destroy_frame(CoroObject* self) {
    if (self->frame) {
        Coro::handle h = self->frame;
        self->frame = nullptr;
        h.destroy();
    }
    if (self->kept) {
        void* kept = self->kept;
        self->kept = nullptr;
        self->kept_ops->destroy(kept);
    }
}

// Ends a step: the body has either suspended on a new delegate or finished.
PySendResult finish_step(CoroObject* self, PyObject** out) {
    detail::Promise& p = self->frame.promise();
    if (!self->frame.done()) {
        *out = p.yielded.release();
        release(self, State::Suspended);
        return PYGEN_NEXT;
    }
    Ref result = std::move(p.result);
    Ref exc = std::move(p.exception);
    destroy_frame(self);
    release(self, State::Finished);
    if (exc) {
        if (PyErr_GivenExceptionMatches(exc.get(), PyExc_StopIteration)) {
            // A StopIteration must not end a coroutine silently.
            PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
            Ref runtime = fetch_error();
            PyException_SetCause(runtime.get(), Py_NewRef(exc.get()));
            PyException_SetContext(runtime.get(), exc.release());
            PyErr_SetRaisedException(runtime.release());
        } else {
            PyErr_SetRaisedException(exc.release());
        }
        *out = nullptr;
        return PYGEN_ERROR;
    }
    *out = result ? result.release() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

PySendResult resume(CoroObject* self, PyObject** out) {
    self->frame.resume();
    return finish_step(self, out);
}

// Ends a claim that ran nothing: a coroutine that never started never will.
void abandon(CoroObject* self, State was) {
    if (was == State::Created) {
        destroy_frame(self);
        release(self, State::Finished);
    } else {
        release(self, was);
    }
}

// Every step (send, throw, close) takes part in the interpreter's recursion
// guard, and raises RecursionError instead of running out of C stack when
// native coroutines nest deeply (see stack.hpp). A coroutine refused its
// first step ends with that error, as a Python one that cannot start does.
bool enter_step(CoroObject* self, State was) {
    if (stack_nearly_exhausted()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while running a native coroutine");
    } else if (Py_EnterRecursiveCall(" while running a native coroutine") == 0) {
        return true;
    }
    abandon(self, was);
    return false;
}

PySendResult send_step(CoroObject* self, State was, PyObject* arg, PyObject** out);

PySendResult coro_send(PyObject* obj, PyObject* arg, PyObject** out) {
    CoroObject* self = as_coro(obj);
    *out = nullptr;
    State was = claim(self);
    if (!claimed(was)) return PYGEN_ERROR;
    if (was == State::Created && arg != Py_None) {
        release(self, was);
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    if (!enter_step(self, was)) return PYGEN_ERROR;
    PySendResult st = send_step(self, was, arg, out);
    Py_LeaveRecursiveCall();
    return st;
}

PySendResult send_step(CoroObject* self, State was, PyObject* arg, PyObject** out) {
    if (was == State::Created) return resume(self, out);
    // Suspended: forward to the delegate, like `yield from`.
    detail::Promise& p = self->frame.promise();
    PyObject* res = nullptr;
    PySendResult st = PyIter_Send(p.delegate.get(), arg, &res);
    if (st == PYGEN_NEXT) {
        *out = res;
        release(self, State::Suspended);
        return PYGEN_NEXT;
    }
    p.delegate.reset();
    if (st == PYGEN_RETURN)
        p.value = Ref::steal(res);
    else
        p.error = fetch_error();
    return resume(self, out);
}

// The value a StopIteration carries.
Ref stop_value(PyObject* stop) {
    PyObject* v = reinterpret_cast<PyStopIterationObject*>(stop)->value;
    return Ref::borrow(v ? v : Py_None);
}

// Raises `exc` inside the coroutine at its current suspension point,
// forwarding it into the awaited iterator first, as `yield from` does. The
// caller has claimed the coroutine, which was in state `was`.
PySendResult throw_step(CoroObject* self, State was, Ref exc, PyObject** out);

PySendResult throw_claimed(CoroObject* self, State was, Ref exc, PyObject** out) {
    if (!enter_step(self, was)) return PYGEN_ERROR;
    PySendResult st = throw_step(self, was, std::move(exc), out);
    Py_LeaveRecursiveCall();
    return st;
}

PySendResult coro_throw_exc(CoroObject* self, Ref exc, PyObject** out) {
    *out = nullptr;
    State was = claim(self);
    if (!claimed(was)) return PYGEN_ERROR;
    return throw_claimed(self, was, std::move(exc), out);
}

// A method of the awaited iterator, by an interned name: the interpreter's
// attribute cache keeps the names it sees, and a fresh string per call would
// keep filling it.
Ref delegate_method(PyObject* it, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) return Ref();
    return Ref::steal(PyObject_GetAttr(it, key.get()));
}

PySendResult throw_step(CoroObject* self, State was, Ref exc, PyObject** out) {
    if (was == State::Created) {
        // Thrown before the body ever ran: it never runs.
        abandon(self, was);
        PyErr_SetRaisedException(exc.release());
        return PYGEN_ERROR;
    }
    detail::Promise& p = self->frame.promise();
    Ref it = std::move(p.delegate);  // the body resumes without a delegate
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit)) {
        Ref close_method = delegate_method(it.get(), "close");
        PyObject* close = close_method.get();
        if (!close) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_WriteUnraisable(it.get());
            PyErr_Clear();
        }
        if (close) {
            PyObject* r = PyObject_CallNoArgs(close);
            if (r)
                Py_DECREF(r);
            else
                exc = fetch_error();  // the delegate's failure replaces GeneratorExit
        }
        p.error = std::move(exc);
        return resume(self, out);
    }
    Ref throw_ref = delegate_method(it.get(), "throw");
    PyObject* throw_method = throw_ref.get();
    if (!throw_method) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            p.error = std::move(exc);
        } else {
            p.error = fetch_error();
        }
        return resume(self, out);
    }
    PyObject* res = PyObject_CallOneArg(throw_method, exc.get());
    throw_ref.reset();
    if (res) {
        p.delegate = std::move(it);
        *out = res;
        release(self, State::Suspended);
        return PYGEN_NEXT;
    }
    Ref raised = fetch_error();
    if (PyErr_GivenExceptionMatches(raised.get(), PyExc_StopIteration))
        p.value = stop_value(raised.get());
    else
        p.error = std::move(raised);
    return resume(self, out);
}

PyObject* send_result(PySendResult st, PyObject* res) {
    if (st == PYGEN_NEXT) return res;
    if (st == PYGEN_RETURN) {
        set_stop_iteration(res);
        Py_DECREF(res);
    }
    return nullptr;
}

}  // namespace

// The protocol methods; the __await__ wrapper forwards to them.
PyObject* coro_send_method(PyObject* self, PyObject* arg) {
    PyObject* res = nullptr;
    PySendResult st = coro_send(self, arg, &res);
    return send_result(st, res);
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* res = nullptr;
    PySendResult st = coro_send(self, Py_None, &res);
    if (st == PYGEN_RETURN && res == Py_None) {
        Py_DECREF(res);
        return nullptr;  // exhausted with None: no StopIteration needed
    }
    return send_result(st, res);
}

PyObject* coro_throw_method(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                     1) < 0)
        return nullptr;
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Ref exc;
    if (PyExceptionClass_Check(typ)) {
        if (PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
            exc = Ref::borrow(val);
        } else {
            PyObject* made = val == Py_None      ? PyObject_CallNoArgs(typ)
                             : PyTuple_Check(val) ? PyObject_Call(typ, val, nullptr)
                                                  : PyObject_CallOneArg(typ, val);
            if (!made) return nullptr;
            exc = Ref::steal(made);
            if (!PyExceptionInstance_Check(made)) {
                PyErr_Format(PyExc_TypeError,
                             "calling %R should have returned an instance of BaseException, not %s", typ,
                             Py_TYPE(made)->tp_name);
                return nullptr;
            }
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Ref::borrow(typ);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None && PyException_SetTraceback(exc.get(), tb) < 0) return nullptr;
    PyObject* res = nullptr;
    PySendResult st = coro_throw_exc(as_coro(obj), std::move(exc), &res);
    return send_result(st, res);
}

PyObject* coro_close(PyObject* obj, PyObject*) {
    CoroObject* self = as_coro(obj);
    if (state_of(self) == State::Finished) Py_RETURN_NONE;
    State was = claim(self);
    if (was == State::Finished) {  // finished meanwhile by another thread
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    if (!claimed(was)) return nullptr;
    if (was == State::Created) {
        abandon(self, was);
        Py_RETURN_NONE;
    }
    PyObject* exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exc) {
        release(self, was);
        return nullptr;
    }
    PyObject* res = nullptr;
    PySendResult st = throw_claimed(self, was, Ref::steal(exc), &res);
    if (st == PYGEN_NEXT) {
        Py_DECREF(res);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (st == PYGEN_RETURN) return res;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

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
    SupportState* st = static_cast<SupportState*>(PyModule_GetState(self->op->module));
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
    if (self->frame) return self->frame.promise().traverse(visit, arg);
    return 0;
}

int coro_clear(PyObject* obj) {
    CoroObject* self = as_coro(obj);
    // The collector runs while no other thread runs Python code: a step in
    // progress is this thread's own, further down its stack.
    if (state_of(self) != State::Running) {
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
    } else if (State was = state_of(self); was == State::Suspended &&
               self->state.compare_exchange_strong(was, State::Running, std::memory_order_acq_rel)) {
        // Held still for the read: a sender in another thread meanwhile is refused.
        self->runner.store(PyThreadState_Get(), std::memory_order_relaxed);
        delegate = Ref::borrow(self->frame.promise().delegate.get());
        release(self, State::Suspended);
    }
    return delegate ? delegate.release() : Py_NewRef(Py_None);
}

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
    {"cr_await", coro_get_await, nullptr, nullptr, nullptr},
    {"cr_origin", coro_get_origin, nullptr, nullptr, nullptr},
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
    Py_VISIT(state->coroutine_mark);
    return 0;
}

void support_clear(SupportState* state) {
    Py_CLEAR(state->coroutine_type);
    Py_CLEAR(state->operation_type);
    Py_CLEAR(state->await_type);
    Py_CLEAR(state->coroutine_mark);
    Py_CLEAR(state->module_name);
}

// cr_origin as the interpreter records it for its own coroutines: for the
// innermost `depth` frames of the caller, (file name, line number, function
// name), innermost first.
static Ref creation_origin(int depth) {
    Ref frames = new_list();
    Ref frame = Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
    for (int i = 0; frame && i < depth; ++i) {
        auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
        Ref code = own(reinterpret_cast<PyObject*>(PyFrame_GetCode(f)));
        auto* c = reinterpret_cast<PyCodeObject*>(code.get());
        list_append(frames.get(), own(Py_BuildValue("OiO", c->co_filename, PyFrame_GetLineNumber(f), c->co_name)).get());
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(f)));
    }
    return own(PyList_AsTuple(frames.get()));
}

namespace detail {

PyObject* new_coroutine_object(OpObject* op, std::size_t size, std::size_t align, void** kept) {
    SupportState* st = static_cast<SupportState*>(PyModule_GetState(op->module));
    // Set by sys.set_coroutine_origin_tracking_depth (asyncio's debug mode).
    int depth = PyThreadState_Get()->coroutine_origin_tracking_depth;
    Ref origin = depth > 0 ? creation_origin(depth) : Ref();
    std::size_t offset = (sizeof(CoroObject) + align - 1) / align * align;
    CoroObject* self =
        PyObject_GC_NewVar(CoroObject, st->coroutine_type, Py_ssize_t(offset - sizeof(CoroObject) + size));
    if (!self) throw_error();
    self->frame = nullptr;
    self->op = reinterpret_cast<OpObject*>(Py_NewRef(reinterpret_cast<PyObject*>(op)));
    self->weakrefs = nullptr;
    self->origin = origin.release();
    self->kept = nullptr;
    self->kept_ops = nullptr;
    new (&self->runner) std::atomic<PyThreadState*>(nullptr);
    new (&self->state) std::atomic<State>(State::Created);
    *kept = reinterpret_cast<char*>(self) + offset;
    return reinterpret_cast<PyObject*>(self);
}

void start_coroutine(PyObject* coro, void* kept, const KeptOps* ops, Coro body) noexcept {
    CoroObject* self = as_coro(coro);
    self->kept_ops = ops;
    self->kept = kept;
    self->frame = body.release();
    PyObject_GC_Track(self);
}

}  // namespace detail

}  // namespace zv
