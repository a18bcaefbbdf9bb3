// Owning references, Python errors carried as C++ exceptions, and the small
// set of object operations the modules are written in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <utility>

namespace zv {

// An owned (strong) reference; null means "no object".
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A Python exception travelling through C++ calls. It owns the exception
// object (with its traceback) and is raised again at the C-API boundary.
class PyError : public std::exception {
public:
    // Takes the exception currently raised in the interpreter.
    PyError() noexcept;
    explicit PyError(Ref exc) noexcept : exc_(std::move(exc)) {}
    const char* what() const noexcept override { return "Python exception"; }
    const Ref& exception() const noexcept { return exc_; }
    Ref take() noexcept { return std::move(exc_); }
    // Makes the exception the interpreter's current one again.
    void restore() noexcept { PyErr_SetRaisedException(exc_.release()); }

private:
    Ref exc_;
};

// While alive, `exc` is the exception being handled, as inside an `except`
// block: an exception raised meanwhile gets it as its __context__. For the
// code of a C++ `catch` that may raise.
class Handling {
public:
    explicit Handling(PyObject* exc) noexcept : saved_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
    ~Handling() { PyErr_SetHandledException(saved_.get()); }

private:
    Ref saved_;
};

[[noreturn]] void throw_error();
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// Wraps a new reference returned by the C API; throws when it is null.
inline Ref own(PyObject* p) {
    if (p == nullptr) throw_error();
    return Ref::steal(p);
}
inline void check(int status) {
    if (status < 0) throw_error();
}

// Runs `f` and converts any escaping C++ exception into a raised Python
// exception; `failure` is what the C-API slot returns on error.
template <class R, class F>
R boundary(R failure, F&& f) noexcept {
    try {
        return f();
    } catch (PyError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return failure;
}

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) noexcept { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref text(const char* utf8) { return own(PyUnicode_FromString(utf8)); }
inline Ref integer(long long v) { return own(PyLong_FromLongLong(v)); }
inline Ref real(double v) { return own(PyFloat_FromDouble(v)); }
Ref interned(const char* utf8);

inline bool truthy(PyObject* o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) throw_error();
    return r != 0;
}
inline Ref getattr(PyObject* o, PyObject* name) { return own(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check(PyObject_SetAttr(o, name, v)); }
inline Ref getitem(PyObject* o, PyObject* key) { return own(PyObject_GetItem(o, key)); }
inline Ref getindex(PyObject* o, Py_ssize_t i) {
    Ref index = own(PyLong_FromSsize_t(i));
    return own(PyObject_GetItem(o, index.get()));
}
inline Py_ssize_t length(PyObject* o) {
    Py_ssize_t n = PyObject_Length(o);
    if (n < 0) throw_error();
    return n;
}
inline Ref format_empty(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
    return own(PyObject_Format(o, nullptr));
}
inline Ref str_of(PyObject* o) { return own(PyObject_Str(o)); }
inline Ref new_dict() { return own(PyDict_New()); }
inline Ref new_list(Py_ssize_t n = 0) { return own(PyList_New(n)); }
inline void dict_set(PyObject* d, PyObject* k, PyObject* v) { check(PyDict_SetItem(d, k, v)); }
inline void list_append(PyObject* l, PyObject* v) { check(PyList_Append(l, v)); }
inline Ref pair(PyObject* a, PyObject* b) { return own(PyTuple_Pack(2, a, b)); }
// Reads of containers that another thread may change at the same moment
// (free-threaded builds): the value comes back owned, so that nobody can
// free it between the read and its use. With the GIL they cost what a
// borrowed read and an increment cost.

// `d[key]` of a dict, or null when the key is missing.
inline Ref dict_get(PyObject* d, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(d, key, &v) < 0) throw_error();
    return Ref::steal(v);
#else
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v && PyErr_Occurred()) throw_error();
    return Ref::borrow(v);
#endif
}

// Item `i` of an exact list, or null when the list (which may have shrunk
// meanwhile) no longer reaches it, as a for loop over it would stop.
inline Ref list_item(PyObject* list, Py_ssize_t i) {
#ifdef Py_GIL_DISABLED
    PyObject* v = PyList_GetItemRef(list, i);
    if (!v) PyErr_Clear();  // an index past the end: the only failure for a list
    return Ref::steal(v);
#else
    return i < PyList_GET_SIZE(list) ? Ref::borrow(PyList_GET_ITEM(list, i)) : Ref();
#endif
}

// While alive, holds the per-object lock of `o` on a free-threaded build,
// as Py_BEGIN_CRITICAL_SECTION ... Py_END_CRITICAL_SECTION would, also when
// an exception leaves the block; nothing with the GIL. For a walk over a
// container another thread may change, reading its borrowed entries; only
// around code that runs no Python code (the lock is suspended, not held,
// while the thread waits for another one, so it cannot deadlock, but a
// callback would see it held and other threads would wait on it).
class Locked {
public:
#ifdef Py_GIL_DISABLED
    explicit Locked(PyObject* o) noexcept : on_(o != nullptr) {  // null: nothing to lock
        if (on_) PyCriticalSection_Begin(&cs_, o);
    }
    ~Locked() {
        if (on_) PyCriticalSection_End(&cs_);
    }
#else
    explicit Locked(PyObject*) noexcept {}
#endif
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
#ifdef Py_GIL_DISABLED
    bool on_;
    PyCriticalSection cs_;
#endif
};

// Looks up `name` in a module's namespace, as a global name lookup would.
Ref module_global(PyObject* module_dict, PyObject* name);

// `o.get(key, default)`: exact dicts directly, anything else through its
// own `get` method.
Ref mapping_get(PyObject* o, PyObject* key, PyObject* get_name, PyObject* default_value);

inline PyObject* ptr(PyObject* o) noexcept { return o; }
inline PyObject* ptr(const Ref& r) noexcept { return r.get(); }

// A new dict from key/value arguments, inserted in argument order. The values
// are computed by the caller beforehand, in the order the operation reads them.
template <class... A>
Ref dict_of(A&&... kv) {
    static_assert(sizeof...(A) % 2 == 0, "keys and values in pairs");
    Ref d = new_dict();
    PyObject* items[] = {ptr(kv)...};
    for (std::size_t i = 0; i < sizeof...(A); i += 2) dict_set(d.get(), items[i], items[i + 1]);
    return d;
}

// `o.get(key)` with the one argument: exact dicts directly, anything else
// through its own `get`.
Ref mapping_get1(PyObject* o, PyObject* key, PyObject* get_name);

// True when the exact str `s` is empty or only whitespace, i.e. when
// s.strip() would be empty.
bool blank(PyObject* s);

// Calls. With a `kwnames` tuple, the last len(kwnames) arguments are the
// keyword values.
template <class... A>
Ref call(PyObject* f, A&&... args) {
    PyObject* stack[] = {nullptr, ptr(args)...};
    return own(PyObject_Vectorcall(f, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <class... A>
Ref call_kw(PyObject* f, PyObject* kwnames, A&&... args) {
    PyObject* stack[] = {nullptr, ptr(args)...};
    size_t npos = sizeof...(A) - size_t(PyTuple_GET_SIZE(kwnames));
    return own(PyObject_Vectorcall(f, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}
template <class... A>
Ref call_method(PyObject* self, PyObject* name, A&&... args) {
    PyObject* stack[] = {self, ptr(args)...};
    return own(PyObject_VectorcallMethod(name, stack, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <class... A>
Ref call_method_kw(PyObject* self, PyObject* name, PyObject* kwnames, A&&... args) {
    PyObject* stack[] = {self, ptr(args)...};
    size_t npos = 1 + sizeof...(A) - size_t(PyTuple_GET_SIZE(kwnames));
    return own(PyObject_VectorcallMethod(name, stack, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// getattr(o, name) that reports a missing attribute as null instead of an
// AttributeError.
inline Ref optional_attr(PyObject* o, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* v = nullptr;
    if (PyObject_GetOptionalAttr(o, name, &v) < 0) throw_error();
    return Ref::steal(v);
#else
    PyObject* v = PyObject_GetAttr(o, name);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
    }
    return Ref::steal(v);
#endif
}

// Imports `from module import name` as the statement does.
Ref import_from(PyObject* module, PyObject* name);
Ref import_from(const char* module, const char* name);

}  // namespace zv
