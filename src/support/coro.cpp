#include "support/coro.hpp"

#include <cstddef>

namespace zv {

namespace detail {

void* Promise::operator new(std::size_t size) {
    void* p = PyMem_Malloc(size);
    if (!p) throw std::bad_alloc();
    return p;
}

void Promise::operator delete(void* frame, std::size_t) noexcept { PyMem_Free(frame); }

Coro Promise::get_return_object() noexcept {
    return Coro(std::coroutine_handle<Promise>::from_promise(*this));
}

void Promise::unhandled_exception() noexcept {
    try {
        throw;
    } catch (PyError& e) {
        exception = e.take();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        exception = Ref::steal(PyErr_GetRaisedException());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        exception = Ref::steal(PyErr_GetRaisedException());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in a coroutine body");
        exception = Ref::steal(PyErr_GetRaisedException());
    }
}

// The iterator behind `await o`, with the checks the interpreter makes.
static Ref awaitable_iter(PyObject* o) {
    if (PyCoro_CheckExact(o)) return Ref::borrow(o);
    PyAsyncMethods* am = Py_TYPE(o)->tp_as_async;
    if (!am || !am->am_await)
        raise_format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
    Ref it = own(am->am_await(o));
    if (PyCoro_CheckExact(it.get())) raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(it.get()))
        raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it.get())->tp_name);
    return it;
}

bool Promise::Awaiter::await_ready() {
    // Run the awaitable to its first suspension at once, as `await` does;
    // when it completes without suspending, so does this co_await.
    Ref it = awaitable_iter(awaitable.get());
    awaitable.reset();
    PyObject* res = nullptr;
    PySendResult st = PyIter_Send(it.get(), Py_None, &res);
    if (st == PYGEN_RETURN) {
        promise.value = Ref::steal(res);
        return true;
    }
    if (st == PYGEN_ERROR) throw PyError();
    promise.delegate = std::move(it);
    promise.yielded = Ref::steal(res);
    return false;
}

Ref Promise::Awaiter::await_resume() {
    if (promise.error) throw PyError(std::move(promise.error));
    Ref v = std::move(promise.value);
    return v ? v : none();
}

int Promise::traverse(visitproc visit, void* arg) {
    for (int i = 0; i < ntracked; ++i) Py_VISIT(tracked[size_t(i)]->get());
    Py_VISIT(delegate.get());
    Py_VISIT(yielded.get());
    Py_VISIT(value.get());
    Py_VISIT(error.get());
    Py_VISIT(result.get());
    Py_VISIT(exception.get());
    return 0;
}

}  // namespace detail

namespace {

enum class State : unsigned char { Created, Suspended, Running, Finished };

struct CoroObject {
    PyObject_HEAD
    Coro::handle frame;
    OpObject* op;
    PyObject* weakrefs;
    State state;
};

CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

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

void destroy_frame(CoroObject* self) {
    if (self->frame) {
        Coro::handle h = self->frame;
        self->frame = nullptr;
        h.destroy();
    }
}

// Ends a step: the body has either suspended on a new delegate or finished.
PySendResult finish_step(CoroObject* self, PyObject** out) {
    detail::Promise& p = self->frame.promise();
    if (!self->frame.done()) {
        self->state = State::Suspended;
        *out = p.yielded.release();
        return PYGEN_NEXT;
    }
    self->state = State::Finished;
    Ref result = std::move(p.result);
    Ref exc = std::move(p.exception);
    destroy_frame(self);
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
    self->state = State::Running;
    self->frame.resume();
    return finish_step(self, out);
}

bool check_not_busy(CoroObject* self) {
    if (self->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    if (self->state == State::Finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return false;
    }
    return true;
}

PySendResult coro_send(PyObject* obj, PyObject* arg, PyObject** out) {
    CoroObject* self = as_coro(obj);
    *out = nullptr;
    if (!check_not_busy(self)) return PYGEN_ERROR;
    if (self->state == State::Created) {
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        return resume(self, out);
    }
    // Suspended: forward to the delegate, like `yield from`.
    detail::Promise& p = self->frame.promise();
    self->state = State::Running;
    PyObject* res = nullptr;
    PySendResult st = PyIter_Send(p.delegate.get(), arg, &res);
    if (st == PYGEN_NEXT) {
        self->state = State::Suspended;
        *out = res;
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
// forwarding it into the awaited iterator first, as `yield from` does.
PySendResult coro_throw_exc(CoroObject* self, Ref exc, PyObject** out) {
    *out = nullptr;
    if (!check_not_busy(self)) return PYGEN_ERROR;
    if (self->state == State::Created) {
        // Thrown before the body ever ran: it never runs.
        self->state = State::Finished;
        destroy_frame(self);
        PyErr_SetRaisedException(exc.release());
        return PYGEN_ERROR;
    }
    detail::Promise& p = self->frame.promise();
    Ref it = std::move(p.delegate);  // the body resumes without a delegate
    self->state = State::Running;
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit)) {
        PyObject* close = PyObject_GetAttrString(it.get(), "close");
        if (!close) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_WriteUnraisable(it.get());
            PyErr_Clear();
        }
        if (close) {
            PyObject* r = PyObject_CallNoArgs(close);
            Py_DECREF(close);
            if (r)
                Py_DECREF(r);
            else
                exc = fetch_error();  // the delegate's failure replaces GeneratorExit
        }
        p.error = std::move(exc);
        return resume(self, out);
    }
    PyObject* throw_method = PyObject_GetAttrString(it.get(), "throw");
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
    Py_DECREF(throw_method);
    if (res) {
        p.delegate = std::move(it);
        self->state = State::Suspended;
        *out = res;
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
    if (self->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (self->state != State::Suspended) {
        self->state = State::Finished;
        destroy_frame(self);
        Py_RETURN_NONE;
    }
    PyObject* exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exc) return nullptr;
    PyObject* res = nullptr;
    PySendResult st = coro_throw_exc(self, Ref::steal(exc), &res);
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

// `await` in Python code and asyncio drive the coroutine itself (its am_await
// returns it); an explicit __await__() call gets a separate iterator, as
// native coroutines give, so that `yield from coro.__await__()` works.
PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

struct AwaitObject {
    PyObject_HEAD
    PyObject* coro;
};

PyObject* await_wrapper_new(PyObject* obj, PyObject*) {
    CoroObject* self = as_coro(obj);
    SupportState* st = static_cast<SupportState*>(PyModule_GetState(self->op->module));
    AwaitObject* w = PyObject_GC_New(AwaitObject, st->await_type);
    if (!w) return nullptr;
    w->coro = Py_NewRef(obj);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

PyObject* await_coro(PyObject* w) { return reinterpret_cast<AwaitObject*>(w)->coro; }

PyObject* await_iternext(PyObject* w) { return coro_iternext(await_coro(w)); }
PyObject* await_send(PyObject* w, PyObject* arg) { return coro_send_method(await_coro(w), arg); }
PyObject* await_throw(PyObject* w, PyObject* const* args, Py_ssize_t nargs) {
    return coro_throw_method(await_coro(w), args, nargs);
}
PyObject* await_close(PyObject* w, PyObject*) { return coro_close(await_coro(w), nullptr); }

int await_traverse(PyObject* w, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(w));
    Py_VISIT(await_coro(w));
    return 0;
}

int await_clear(PyObject* w) {
    Py_CLEAR(reinterpret_cast<AwaitObject*>(w)->coro);
    return 0;
}

void await_dealloc(PyObject* w) {
    PyTypeObject* type = Py_TYPE(w);
    PyObject_GC_UnTrack(w);
    await_clear(w);
    type->tp_free(w);
    Py_DECREF(type);
}

PyMethodDef await_methods[] = {
    {"send", await_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(await_throw)), METH_FASTCALL, nullptr},
    {"close", await_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot await_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(await_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(await_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(await_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(await_iternext)},
    {Py_tp_methods, await_methods},
    {0, nullptr},
};

void coro_finalize(PyObject* obj) {
    CoroObject* self = as_coro(obj);
    PyObject* saved = PyErr_GetRaisedException();
    if (self->state == State::Created && self->frame && self->op) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", self->op->qualname) < 0)
            PyErr_WriteUnraisable(obj);
    } else if (self->state == State::Suspended) {
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
    if (self->frame) return self->frame.promise().traverse(visit, arg);
    return 0;
}

int coro_clear(PyObject* obj) {
    CoroObject* self = as_coro(obj);
    if (self->state != State::Running) {
        if (self->state != State::Finished) self->state = State::Finished;
        destroy_frame(self);
    }
    return 0;
}

void coro_dealloc(PyObject* obj) {
    CoroObject* self = as_coro(obj);
    PyObject_GC_UnTrack(obj);
    if (self->weakrefs) PyObject_ClearWeakRefs(obj);
    // A finished coroutine has nothing left for its finalizer to do.
    if (self->state != State::Finished) {
        PyObject_GC_Track(obj);
        if (PyObject_CallFinalizerFromDealloc(obj) < 0) return;  // resurrected
        PyObject_GC_UnTrack(obj);
    }
    destroy_frame(self);
    PyTypeObject* type = Py_TYPE(obj);
    Py_CLEAR(self->op);
    type->tp_free(obj);
    Py_DECREF(type);
}

PyObject* coro_repr(PyObject* obj) {
    CoroObject* self = as_coro(obj);
    return PyUnicode_FromFormat("<coroutine object %U at %p>", self->op->qualname, obj);
}

PyObject* coro_get_name(PyObject* obj, void*) { return Py_NewRef(as_coro(obj)->op->name); }
PyObject* coro_get_qualname(PyObject* obj, void*) { return Py_NewRef(as_coro(obj)->op->qualname); }
PyObject* coro_get_running(PyObject* obj, void*) { return PyBool_FromLong(as_coro(obj)->state == State::Running); }
PyObject* coro_get_suspended(PyObject* obj, void*) {
    return PyBool_FromLong(as_coro(obj)->state == State::Suspended);
}
PyObject* coro_get_await(PyObject* obj, void*) {
    CoroObject* self = as_coro(obj);
    if (self->frame && self->frame.promise().delegate) return Py_NewRef(self->frame.promise().delegate.get());
    Py_RETURN_NONE;
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

// ---------------------------------------------------------------------------
// Operations

OpObject* as_op(PyObject* o) { return reinterpret_cast<OpObject*>(o); }

PyObject* op_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    OpObject* op = as_op(callable);
    PyObject* bound[16];
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        op->sig->bind(args, nargsf, kwnames, bound);
        return op->def->impl(op, bound);
    });
}

PyObject* op_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int op_traverse(PyObject* obj, visitproc visit, void* arg) {
    OpObject* op = as_op(obj);
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(op->module);
    if (op->sig) return op->sig->traverse(visit, arg);
    return 0;
}

int op_clear(PyObject* obj) {
    OpObject* op = as_op(obj);
    Py_CLEAR(op->module);
    return 0;
}

void op_dealloc(PyObject* obj) {
    OpObject* op = as_op(obj);
    PyObject_GC_UnTrack(obj);
    PyTypeObject* type = Py_TYPE(obj);
    Py_CLEAR(op->module);
    Py_CLEAR(op->name);
    Py_CLEAR(op->qualname);
    delete op->sig;
    op->sig = nullptr;
    type->tp_free(obj);
    Py_DECREF(type);
}

PyObject* op_repr(PyObject* obj) {
    return PyUnicode_FromFormat("<native coroutine function %U>", as_op(obj)->qualname);
}

PyObject* op_get_name(PyObject* obj, void*) { return Py_NewRef(as_op(obj)->name); }
PyObject* op_get_qualname(PyObject* obj, void*) { return Py_NewRef(as_op(obj)->qualname); }
PyObject* op_get_doc(PyObject* obj, void*) {
    const char* doc = as_op(obj)->def->doc;
    if (!doc) Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}
PyObject* op_get_text_signature(PyObject* obj, void*) {
    return PyUnicode_FromString(as_op(obj)->def->text_signature);
}
PyObject* op_get_module(PyObject* obj, void*) {
    OpObject* op = as_op(obj);
    if (!op->module) Py_RETURN_NONE;
    return Py_NewRef(static_cast<SupportState*>(PyModule_GetState(op->module))->module_name);
}
PyObject* op_get_marker(PyObject* obj, void*) {
    OpObject* op = as_op(obj);
    if (!op->module) Py_RETURN_NONE;
    return Py_NewRef(static_cast<SupportState*>(PyModule_GetState(op->module))->coroutine_mark);
}

PyGetSetDef op_getset[] = {
    {"__name__", op_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", op_get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", op_get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", op_get_text_signature, nullptr, nullptr, nullptr},
    {"__module__", op_get_module, nullptr, nullptr, nullptr},
    {"_is_coroutine_marker", op_get_marker, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef op_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(OpObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot op_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(op_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(op_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(op_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(op_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(op_descr_get)},
    {Py_tp_getset, op_getset},
    {Py_tp_members, op_members},
    {0, nullptr},
};

}  // namespace

int support_exec(PyObject* module, SupportState* state) {
    return boundary<int>(-1, [&] {
        Ref name = own(PyModule_GetNameObject(module));
        Ref coro_spec_name = own(PyUnicode_FromFormat("%U.native_coroutine", name.get()));
        Ref op_spec_name = own(PyUnicode_FromFormat("%U.native_coroutine_function", name.get()));
        // Spec names must outlive the types: keep them in the state.
        state->module_name = name.release();
        static_assert(sizeof(CoroObject) > 0);
        PyType_Spec coro_spec = {nullptr, int(sizeof(CoroObject)), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                     Py_TPFLAGS_IMMUTABLETYPE,
                                 coro_slots};
        coro_spec.name = PyUnicode_AsUTF8(coro_spec_name.get());
        if (!coro_spec.name) throw_error();
        state->coroutine_type = reinterpret_cast<PyTypeObject*>(
            own(PyType_FromModuleAndSpec(module, &coro_spec, nullptr)).release());
        PyType_Spec op_spec = {nullptr, int(sizeof(OpObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                   Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_VECTORCALL |
                                   Py_TPFLAGS_METHOD_DESCRIPTOR,
                               op_slots};
        op_spec.name = PyUnicode_AsUTF8(op_spec_name.get());
        if (!op_spec.name) throw_error();
        state->operation_type = reinterpret_cast<PyTypeObject*>(
            own(PyType_FromModuleAndSpec(module, &op_spec, nullptr)).release());
        Ref await_spec_name = own(PyUnicode_FromFormat("%U.native_coroutine_wrapper", state->module_name));
        PyType_Spec await_spec = {nullptr, int(sizeof(AwaitObject)), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                      Py_TPFLAGS_IMMUTABLETYPE,
                                  await_slots};
        await_spec.name = PyUnicode_AsUTF8(await_spec_name.get());
        if (!await_spec.name) throw_error();
        state->await_type = reinterpret_cast<PyTypeObject*>(
            own(PyType_FromModuleAndSpec(module, &await_spec, nullptr)).release());
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

int add_operation(PyObject* module, PyTypeObject* type, const OpDef* def) {
    return boundary<int>(-1, [&] {
        SupportState* st = static_cast<SupportState*>(PyModule_GetState(module));
        OpObject* op = PyObject_GC_New(OpObject, st->operation_type);
        if (!op) throw_error();
        op->vectorcall = op_vectorcall;
        op->def = def;
        op->module = Py_NewRef(module);
        op->name = nullptr;
        op->qualname = nullptr;
        op->sig = nullptr;
        Ref holder = Ref::steal(reinterpret_cast<PyObject*>(op));
        PyObject_GC_Track(op);
        op->name = interned(def->name).release();
        const char* type_name = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname
                                    ? PyUnicode_AsUTF8(reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname)
                                    : type->tp_name;
        if (!type_name) throw_error();
        op->qualname = own(PyUnicode_FromFormat("%s.%s", type_name, def->name)).release();
        op->sig = new Signature(std::string(type_name) + "." + def->name, def->params, def->nparams);
        check(PyObject_SetAttr(reinterpret_cast<PyObject*>(type), op->name, holder.get()));
        return 0;
    });
}

PyObject* make_coroutine(OpObject* op, Coro body) {
    SupportState* st = static_cast<SupportState*>(PyModule_GetState(op->module));
    CoroObject* self = PyObject_GC_New(CoroObject, st->coroutine_type);
    if (!self) throw_error();
    self->frame = body.release();
    self->op = reinterpret_cast<OpObject*>(Py_NewRef(reinterpret_cast<PyObject*>(op)));
    self->weakrefs = nullptr;
    self->state = State::Created;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace zv
