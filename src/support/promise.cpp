#include "support/promise.hpp"

#include "support/support.hpp"

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

// A coroutine in the sense of `await`: a native coroutine, or a generator
// whose code carries the iterable-coroutine flag (what types.coroutine makes).
static bool is_coroutine(PyObject* o) {
    if (PyCoro_CheckExact(o)) return true;
    if (!PyGen_CheckExact(o)) return false;
    Ref code = own(reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(o))));
    return (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

// Raises when coroutine `o`, which the caller holds, is suspended in an await
// of its own: another awaiter is driving it.
static void check_not_awaited(const SupportState* support, PyObject* o) {
#ifndef Py_GIL_DISABLED
    if (Py_REFCNT(o) == 1) return;  // only the caller holds it: nobody awaits it
#endif
    Ref awaiting = own(PyObject_GetAttr(o, support->s_cr_await));
    if (awaiting.get() != Py_None) raise(PyExc_RuntimeError, "coroutine is being awaited already");
}

// The iterator behind `await o`, with the checks the interpreter makes.
static Ref awaitable_iter(const SupportState* support, PyObject* o) {
    if (is_coroutine(o)) {
        if (PyCoro_CheckExact(o)) check_not_awaited(support, o);
        return Ref::borrow(o);
    }
    // The interpreter's own words for these errors, which changed in 3.14
    // (not awaitable) and 3.15 (what __await__ returned).
    PyAsyncMethods* am = Py_TYPE(o)->tp_as_async;
    if (!am || !am->am_await) {
#if PY_VERSION_HEX >= 0x030E0000
        raise_format(PyExc_TypeError, "'%.100s' object can't be awaited", Py_TYPE(o)->tp_name);
#else
        raise_format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
#endif
    }
    Ref it = own(am->am_await(o));
#if PY_VERSION_HEX >= 0x030F0000
    if (is_coroutine(it.get()))
        raise_format(PyExc_TypeError, "%T.__await__() must return an iterator, not coroutine", o);
    if (!PyIter_Check(it.get()))
        raise_format(PyExc_TypeError, "%T.__await__() must return an iterator, not %T", o, it.get());
#else
    if (is_coroutine(it.get())) raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(it.get()))
        raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it.get())->tp_name);
#endif
    return it;
}

bool Promise::Awaiter::await_ready() {
    // Run the awaitable to its first suspension at once, as `await` does;
    // when it completes without suspending, so does this co_await.
    Ref it = awaitable_iter(promise.support, awaitable.get());
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
    if (int rc = kept_ops->traverse(kept, visit, arg)) return rc;
    Py_VISIT(delegate.get());
    Py_VISIT(yielded.get());
    Py_VISIT(value.get());
    Py_VISIT(error.get());
    Py_VISIT(result.get());
    Py_VISIT(exception.get());
    return 0;
}

}  // namespace detail

}  // namespace zv
