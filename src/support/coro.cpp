// The step machinery of native coroutines: each send, throw and close claims
// the coroutine, runs its C++ frame or its delegate to the next suspension or
// to the end, and publishes the next state (coro_object.hpp). The Python type
// around it is in coro_type.cpp.
#include "support/coro_object.hpp"

#include "support/await_wrapper.hpp"
#include "support/pyframe.hpp"
#include "support/stack.hpp"

#include <atomic>
#include <cstddef>
#include <new>

namespace zv {

using detail::as_coro;
using detail::claim;
using detail::claimed;
using detail::CoroObject;
using detail::release;
using detail::State;
using detail::state_of;

namespace detail {

namespace {

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

}  // namespace

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
    drop_tool_frame(self);
}

namespace {

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
    if (exc) {
        if (PyErr_GivenExceptionMatches(exc.get(), PyExc_StopIteration)) {
            // A StopIteration must not end a coroutine silently.
            PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
            Ref runtime = fetch_error();
            PyException_SetCause(runtime.get(), Py_NewRef(exc.get()));
            PyException_SetContext(runtime.get(), exc.release());
            exc = std::move(runtime);
        }
        // The entry a Python frame would add as the exception leaves it (close()
        // swallows its own GeneratorExit: nobody would see one).
        // An operation running in an interpreter frame (pyframe.hpp) gets that
        // frame's entry from the interpreter instead.
        if (!self->live && !PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit))
            add_entry(self, exc.get(), step_line(self));
    }
    destroy_frame(self);
    release(self, State::Finished);
    if (exc) {
        PyErr_SetRaisedException(exc.release());
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

// The send step, file-local so that it inlines into coro_send, the hot path;
// send_step, for the frame's driver, calls it (one name for both measured
// 16 instructions more per thin operation).
PySendResult send_step_here(CoroObject* self, State was, PyObject* arg, PyObject** out);

}  // namespace

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
    if (was == State::Created && frames_wanted(self) && !start_frame(self)) {
        abandon(self, was);
        Py_LeaveRecursiveCall();
        return PYGEN_ERROR;
    }
    PySendResult st = self->live ? frame_send(self, was, arg, out) : send_step_here(self, was, arg, out);
    Py_LeaveRecursiveCall();
    return st;
}

namespace {

PySendResult send_step_here(CoroObject* self, State was, PyObject* arg, PyObject** out) {
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

}  // namespace

PySendResult send_step(CoroObject* self, State was, PyObject* arg, PyObject** out) {
    return send_step_here(self, was, arg, out);
}

namespace {

// The value a StopIteration carries.
Ref stop_value(PyObject* stop) {
    PyObject* v = reinterpret_cast<PyStopIterationObject*>(stop)->value;
    return Ref::borrow(v ? v : Py_None);
}

// throw_step under the recursion guard, through the operation's frame when it
// has one; GeneratorExit (close()) runs without it.
PySendResult throw_claimed(CoroObject* self, State was, Ref exc, PyObject** out) {
    if (!enter_step(self, was)) return PYGEN_ERROR;
    if (self->live && PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit)) drop_frame(self);
    PySendResult st = self->live ? frame_throw(self, was, std::move(exc), out) : throw_step(self, was, std::move(exc), out);
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

}  // namespace

// Raises `exc` inside the coroutine at its current suspension point,
// forwarding it into the awaited iterator first, as `yield from` does. The
// caller has claimed the coroutine, which was in state `was`.
PySendResult throw_step(CoroObject* self, State was, Ref exc, PyObject** out) {
    if (was == State::Created) {
        // Thrown before the body ever ran: it never runs, and the exception
        // leaves it at the body's line.
        add_entry(self, exc.get(), 0);
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

namespace {

PyObject* send_result(PySendResult st, PyObject* res) {
    if (st == PYGEN_NEXT) return res;
    if (st == PYGEN_RETURN) {
        set_stop_iteration(res);
        Py_DECREF(res);
    }
    return nullptr;
}

}  // namespace

}  // namespace detail

using detail::abandon;
using detail::coro_throw_exc;
using detail::send_result;
using detail::throw_claimed;

// The protocol methods; the __await__ wrapper forwards to them.
PyObject* coro_send_method(PyObject* self, PyObject* arg) {
    PyObject* res = nullptr;
    PySendResult st = detail::coro_send(self, arg, &res);
    return send_result(st, res);
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* res = nullptr;
    PySendResult st = detail::coro_send(self, Py_None, &res);
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
    SupportState* st = support_state(op->module);
    // Set by sys.set_coroutine_origin_tracking_depth (asyncio's debug mode).
    int depth = PyThreadState_Get()->coroutine_origin_tracking_depth;
    Ref origin = depth > 0 ? creation_origin(depth) : Ref();
    std::size_t offset = kept_offset(align);
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
    self->tool_frame = nullptr;
    self->tool_locals = nullptr;
    self->tool_frame_line = 0;
    self->live = nullptr;
    self->driver = nullptr;
    self->via_frame = false;
    self->next = State::Created;
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
