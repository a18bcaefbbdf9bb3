#include "support/py.hpp"

#include <cstdarg>

namespace zv {

PyError::PyError() noexcept : exc_(Ref::steal(PyErr_GetRaisedException())) {
    if (!exc_) {
        // A C-API call failed without setting an exception: report that
        // rather than losing the failure.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc_ = Ref::steal(PyErr_GetRaisedException());
    }
}

void throw_error() { throw PyError(); }

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError();
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw PyError();
}

Ref interned(const char* utf8) { return own(PyUnicode_InternFromString(utf8)); }

Ref module_global(PyObject* module_dict, PyObject* name) {
    if (Ref v = dict_get(module_dict, name)) return v;
    PyObject* builtins = PyEval_GetBuiltins();  // the frame's, which holds it
    if (builtins)
        if (Ref v = dict_get(builtins, name)) return v;
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

Ref mapping_get(PyObject* o, PyObject* key, PyObject* get_name, PyObject* default_value) {
    if (PyDict_CheckExact(o)) {
        if (Ref v = dict_get(o, key)) return v;
        return Ref::borrow(default_value);
    }
    return call_method(o, get_name, key, default_value);
}

Ref mapping_get1(PyObject* o, PyObject* key, PyObject* get_name) {
    if (PyDict_CheckExact(o)) {
        if (Ref v = dict_get(o, key)) return v;
        return none();
    }
    return call_method(o, get_name, key);
}

bool blank(PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return false;
    return true;
}

Ref import_from(PyObject* module, PyObject* name) {
    Ref mod = own(PyImport_Import(module));
    if (Ref v = optional_attr(mod.get(), name)) return v;
    raise_format(PyExc_ImportError, "cannot import name '%U' from '%U'", name, module);
}

Ref import_from(const char* module, const char* name) { return import_from(text(module).get(), text(name).get()); }

}  // namespace zv
