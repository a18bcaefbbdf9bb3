// The suspension path. An operation's coroutine (coro.cpp) runs its body
// once (run_body): to its end, or to the first collaborator that suspends.
// A collaborator that finishes without suspending is driven from C++ by the
// body itself (Promise::Awaiter), so an operation whose collaborators never
// suspend runs in that one call, and no object but the C++ frame is made for
// it. At a suspension the body object takes the frame over and the coroutine
// awaits it: from there each send, throw and close that CPython's `await`
// passes in goes straight to the awaited collaborator (the delegate) without
// resuming the C++ frame, and resumes the body when the delegate returns or
// raises, until the body ends.
#include "support/body.hpp"

#include "support/operation.hpp"
#include "support/stack.hpp"
#include "support/support.hpp"

#include <atomic>
#include <cstddef>
#include <new>

namespace zv {

namespace {

using detail::Promise;

// A body object's life: it is made suspended. Only the thread that moves it
// from Suspended to Running (a compare-and-swap: hold()) touches its C++
// frame and promise until it publishes the next state with release(), after
// its last touch of them. With the GIL this costs two uncontended atomic
// operations per step; without it, a second thread that sends, throws or
// closes concurrently is refused instead of resuming the same frame.
enum class Lifecycle : unsigned char { Suspended, Running, Finished };

struct BodyObject {
    PyObject_HEAD
    Coro::handle body;
    OpObject* op;
    std::atomic<Lifecycle> lifecycle;
    // The coroutine has not yet received what the delegate yielded at the
    // first suspension: the first step passes it up.
    bool pending;
};

BodyObject* as_body(PyObject* o) { return reinterpret_cast<BodyObject*>(o); }

Lifecycle lifecycle_of(BodyObject* self) { return self->lifecycle.load(std::memory_order_acquire); }

bool claimed(Lifecycle was) { return was == Lifecycle::Suspended; }

// Moves a suspended body to Running by compare-and-swap and returns the
// state it was in; a running or finished one is left as it is and its state
// returned. The holder may touch the frame until release().
Lifecycle hold(BodyObject* self) {
    Lifecycle was = lifecycle_of(self);
    while (claimed(was) && !self->lifecycle.compare_exchange_weak(was, Lifecycle::Running, std::memory_order_acq_rel,
                                                                  std::memory_order_acquire)) {
    }
    return was;
}

// Takes the body for a step: hold(), with the error Python's coroutines
// raise when it is running or finished.
Lifecycle claim(BodyObject* self) {
    Lifecycle was = hold(self);
    if (was == Lifecycle::Running) PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    if (was == Lifecycle::Finished) PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return was;
}

// Ends a claim: publishes `next` after the claimant's last touch of the frame.
void release(BodyObject* self, Lifecycle next) { self->lifecycle.store(next, std::memory_order_release); }

// Destroys the C++ frame, with the kept struct in it.
void destroy_body(BodyObject* self) noexcept {
    if (self->body) {
        Coro::handle h = self->body;
        self->body = nullptr;
        h.destroy();
    }
}

// Every step raises RecursionError instead of running out of C stack when
// operations nest deeply (see stack.hpp); the interpreter counts the levels
// by itself.
bool stack_left() {
    if (!stack_nearly_exhausted()) return true;
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while running a native coroutine");
    return false;
}

Ref fetch_error() { return Ref::steal(PyErr_GetRaisedException()); }

// A StopIteration that ends an awaited body must not end the coroutine
// awaiting it silently (its `await` would take it for the result): it
// becomes the RuntimeError an async def raises instead.
Ref escaping(Ref exc) {
    if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_StopIteration)) return exc;
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    Ref runtime = fetch_error();
    PyException_SetCause(runtime.get(), Py_NewRef(exc.get()));
    PyException_SetContext(runtime.get(), exc.release());
    return runtime;
}

// Ends a step that resumed the body: it has either suspended on a new
// delegate or finished.
PySendResult finish_step(BodyObject* self, PyObject** out) {
    Promise& p = self->body.promise();
    if (!self->body.done()) {
        *out = p.yielded.release();
        release(self, Lifecycle::Suspended);
        return PYGEN_NEXT;
    }
    Ref result = std::move(p.result);
    Ref exc = std::move(p.exception);
    destroy_body(self);
    release(self, Lifecycle::Finished);
    if (exc) {
        PyErr_SetRaisedException(escaping(std::move(exc)).release());
        *out = nullptr;
        return PYGEN_ERROR;
    }
    *out = result ? result.release() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

PySendResult resume(BodyObject* self, PyObject** out) {
    self->body.resume();
    return finish_step(self, out);
}

// A step that sends `arg` in: the pending first value, or `arg` forwarded to
// the delegate like `yield from`, and the body resumed once it returns or
// raises.
PySendResult send_step(PyObject* obj, PyObject* arg, PyObject** out) {
    BodyObject* self = as_body(obj);
    *out = nullptr;
    Lifecycle was = claim(self);
    if (!claimed(was)) return PYGEN_ERROR;
    Promise& p = self->body.promise();
    if (self->pending) {
        self->pending = false;
        *out = p.yielded.release();
        release(self, Lifecycle::Suspended);
        return PYGEN_NEXT;
    }
    if (!stack_left()) {
        release(self, was);
        return PYGEN_ERROR;
    }
    PyObject* res = nullptr;
    PySendResult st = PyIter_Send(p.delegate.get(), arg, &res);
    if (st == PYGEN_NEXT) {
        *out = res;
        release(self, Lifecycle::Suspended);
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

// Raises `exc` in the claimed body at its suspension point, forwarding it
// into the delegate first, as `yield from` does.
PySendResult throw_step(BodyObject* self, Ref exc, PyObject** out) {
    self->pending = false;  // what the delegate yielded first is superseded
    Promise& p = self->body.promise();
    const SupportState* support = p.support;
    Ref it = std::move(p.delegate);  // the body resumes without a delegate
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit)) {
        Ref close;
        try {
            close = optional_attr(it.get(), support->s_close);
        } catch (PyError& e) {
            e.restore();
            PyErr_WriteUnraisable(it.get());
        }
        if (close) {
            PyObject* r = PyObject_CallNoArgs(close.get());
            if (r)
                Py_DECREF(r);
            else
                exc = fetch_error();  // the delegate's failure replaces GeneratorExit
        }
        p.error = std::move(exc);
        return resume(self, out);
    }
    Ref throw_method;
    try {
        throw_method = optional_attr(it.get(), support->s_throw);
    } catch (PyError& e) {
        p.error = e.take();  // the lookup's failure is raised at the co_await
        return resume(self, out);
    }
    if (!throw_method) {
        p.error = std::move(exc);
        return resume(self, out);
    }
    PyObject* res = PyObject_CallOneArg(throw_method.get(), exc.get());
    throw_method.reset();
    if (res) {
        p.delegate = std::move(it);
        *out = res;
        release(self, Lifecycle::Suspended);
        return PYGEN_NEXT;
    }
    Ref raised = fetch_error();
    if (PyErr_GivenExceptionMatches(raised.get(), PyExc_StopIteration))
        p.value = stop_value(raised.get());
    else
        p.error = std::move(raised);
    return resume(self, out);
}

PySendResult throw_claimed(BodyObject* self, Lifecycle was, Ref exc, PyObject** out) {
    if (!stack_left()) {
        release(self, was);
        return PYGEN_ERROR;
    }
    return throw_step(self, std::move(exc), out);
}

// A step's outcome as a method returns it: the yielded value, or null with
// the StopIteration that carries the result (its single argument, so that a
// tuple stays a tuple) or the error raised.
PyObject* method_result(PySendResult st, PyObject* res) {
    if (st != PYGEN_RETURN) return res;
    if (res == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
    } else if (PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, res)) {
        PyErr_SetRaisedException(stop);
    }
    Py_DECREF(res);
    return nullptr;
}

PyObject* body_iternext(PyObject* obj) {
    PyObject* res = nullptr;
    PySendResult st = send_step(obj, Py_None, &res);
    if (st == PYGEN_RETURN && res == Py_None) {
        Py_DECREF(res);
        return nullptr;  // exhausted with None: no StopIteration needed
    }
    return method_result(st, res);
}

PyObject* body_send(PyObject* obj, PyObject* arg) {
    PyObject* res = nullptr;
    PySendResult st = send_step(obj, arg, &res);
    return method_result(st, res);
}

// throw(exc), or throw(type[, value[, traceback]]), the form the interpreter
// uses when it forwards an exception thrown into the coroutine.
PyObject* body_throw(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected 1 to 3 arguments, got %zd", nargs);
        return nullptr;
    }
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
                PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
                             typ, Py_TYPE(made)->tp_name);
                return nullptr;
            }
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None && val != typ) {
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
    BodyObject* self = as_body(obj);
    Lifecycle was = claim(self);
    if (!claimed(was)) return nullptr;
    PyObject* res = nullptr;
    PySendResult st = throw_claimed(self, was, std::move(exc), &res);
    return method_result(st, res);
}

// close(): GeneratorExit thrown in; a body that finishes returns its value,
// one that awaits again gets "coroutine ignored GeneratorExit". Closing a
// finished body does nothing.
PyObject* body_close(PyObject* obj, PyObject*) {
    BodyObject* self = as_body(obj);
    if (lifecycle_of(self) == Lifecycle::Finished) Py_RETURN_NONE;
    Lifecycle was = claim(self);
    if (was == Lifecycle::Finished) {  // finished meanwhile by another thread
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    if (!claimed(was)) return nullptr;
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

PyObject* body_await(PyObject* obj) { return Py_NewRef(obj); }

// The delegate of a suspended body, read while holding it still (a step in
// another thread meanwhile is refused); null while it has none.
Ref held_delegate(BodyObject* self) {
    Ref delegate;
    if (Lifecycle was = hold(self); claimed(was)) {
        if (was == Lifecycle::Suspended) delegate = Ref::borrow(self->body.promise().delegate.get());
        release(self, was);
    }
    return delegate;
}

// cr_await and cr_frame read through to the delegate, so that a tool that
// follows a coroutine's cr_await chain (asyncio's call graph) sees the
// operation's frame await the collaborator itself, as an async def's does.
// An AttributeError (the chain ends) while there is no delegate or the
// delegate has no such attribute.
PyObject* delegate_attr(PyObject* obj, PyObject* name) {
    Ref delegate = held_delegate(as_body(obj));
    if (!delegate) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return nullptr;
    }
    return PyObject_GetAttr(delegate.get(), name);
}

PyObject* body_get_await(PyObject* obj, void*) {
    return delegate_attr(obj, support_state(as_body(obj)->op->module)->s_cr_await);
}
PyObject* body_get_frame(PyObject* obj, void*) {
    return delegate_attr(obj, support_state(as_body(obj)->op->module)->s_cr_frame);
}

int body_traverse(PyObject* obj, visitproc visit, void* arg) {
    BodyObject* self = as_body(obj);
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(reinterpret_cast<PyObject*>(self->op));
    if (self->body) return self->body.promise().traverse(visit, arg);
    return 0;
}

int body_clear(PyObject* obj) {
    BodyObject* self = as_body(obj);
    // The collector runs while no other thread runs Python code: a step in
    // progress is this thread's own, further down its stack.
    if (lifecycle_of(self) != Lifecycle::Running) {
        destroy_body(self);
        release(self, Lifecycle::Finished);
    }
    return 0;
}

void body_dealloc(PyObject* obj) {
    BodyObject* self = as_body(obj);
    PyObject_GC_UnTrack(obj);
    // A body still suspended here was not closed by its coroutine (which
    // closes it when it goes): its frame goes without running, and the
    // delegate it drops closes itself if it is a coroutine.
    destroy_body(self);
    PyTypeObject* type = Py_TYPE(obj);
    Py_CLEAR(self->op);
    type->tp_free(obj);
    Py_DECREF(type);
}

PyObject* body_repr(PyObject* obj) {
    return PyUnicode_FromFormat("<operation body of %U at %p>", as_body(obj)->op->qualname, obj);
}

PyMethodDef body_methods[] = {
    {"send", body_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(body_throw)), METH_FASTCALL, nullptr},
    {"close", body_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef body_getset[] = {
    {"cr_await", body_get_await, nullptr, nullptr, nullptr},
    {"cr_frame", body_get_frame, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot body_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(body_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(body_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(body_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(body_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(body_iternext)},
    {Py_tp_methods, body_methods},
    {Py_tp_getset, body_getset},
    {Py_am_await, reinterpret_cast<void*>(body_await)},
    {Py_am_send, reinterpret_cast<void*>(send_step)},
    {0, nullptr},
};

}  // namespace

Ref run_body(OpObject* op, Coro made) {
    Coro::handle h = made.release();
    Promise& p = h.promise();
    p.support = support_state(op->module);
    if (!stack_left()) {
        h.destroy();
        throw_error();
    }
    h.resume();
    if (h.done()) {
        Ref result = std::move(p.result);
        Ref exc = std::move(p.exception);
        h.destroy();
        // An exception leaves through the coroutine's own frame, which adds
        // its traceback entry and turns a StopIteration into RuntimeError.
        if (exc) throw PyError(std::move(exc));
        return result ? result : none();
    }
    // Suspended: the body object takes the frame over; p.yielded waits for
    // the coroutine's await.
    BodyObject* self = PyObject_GC_New(BodyObject, support_state(op->module)->body_type);
    if (!self) {
        h.destroy();  // the delegate it drops closes itself if it is a coroutine
        throw_error();
    }
    self->body = h;
    self->op = reinterpret_cast<OpObject*>(Py_NewRef(reinterpret_cast<PyObject*>(op)));
    new (&self->lifecycle) std::atomic<Lifecycle>(Lifecycle::Suspended);
    self->pending = true;
    PyObject_GC_Track(self);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

PyTypeObject* new_body_type(PyObject* module, PyObject* module_name) {
    Ref name = own(PyUnicode_FromFormat("%U.operation_body", module_name));
    PyType_Spec spec = {nullptr, int(sizeof(BodyObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                            Py_TPFLAGS_IMMUTABLETYPE,
                        body_slots};
    spec.name = PyUnicode_AsUTF8(name.get());
    if (!spec.name) throw_error();
    return reinterpret_cast<PyTypeObject*>(own(PyType_FromModuleAndSpec(module, &spec, nullptr)).release());
}

}  // namespace zv
