#include "support/args.hpp"

#include <string>

namespace zv {

Signature::Signature(std::string qualname, const ParamDef* params, int count)
    : qualname_(std::move(qualname)) {
    names_.reserve(size_t(count));
    defaults_.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        const ParamDef& p = params[i];
        names_.push_back(interned(p.name));
        Ref d;
        switch (p.def.kind) {
            case Default::Required: ++required_; break;
            case Default::None: d = none(); break;
            case Default::Int: d = integer(p.def.i); break;
            case Default::Float: d = own(PyFloat_FromDouble(p.def.f)); break;
            case Default::Str: d = interned(p.def.s); break;
            case Default::True: d = boolean(true); break;
            case Default::False: d = boolean(false); break;
        }
        defaults_.push_back(std::move(d));
    }
}

std::string Signature::text_signature(int skip, const char* head) const {
    std::string out = "(";
    if (head) out += head;
    for (int i = skip; i < size(); ++i) {
        if (out.size() > 1) out += ", ";
        const char* name = PyUnicode_AsUTF8(names_[size_t(i)].get());
        if (!name) throw_error();
        out += name;
        if (PyObject* d = defaults_[size_t(i)].get()) {
            Ref shown = own(PyObject_Repr(d));
            const char* utf8 = PyUnicode_AsUTF8(shown.get());
            if (!utf8) throw_error();
            out += "=";
            out += utf8;
        }
    }
    return out + ")";
}

void check_limits(const char* qualname, int nparams, ScalarMask scalars) {
    if (nparams < 0 || nparams > max_bound)
        raise_format(PyExc_SystemError, "%s declares %d parameters; an operation binds at most %d", qualname,
                     nparams, max_bound);
    if ((scalars >> nparams) != 0)
        raise_format(PyExc_SystemError, "%s marks parameters beyond its %d as scalars (mask 0x%x)", qualname,
                     nparams, unsigned(scalars));
}

int Signature::traverse(visitproc visit, void* arg) const {
    for (const Ref& d : defaults_) Py_VISIT(d.get());
    return 0;
}

int Signature::index_of(PyObject* keyword) const {
    int n = size();
    for (int i = 0; i < n; ++i)
        if (names_[size_t(i)].get() == keyword) return i;
    for (int i = 0; i < n; ++i) {
        int eq = PyUnicode_Compare(names_[size_t(i)].get(), keyword);
        if (eq == -1 && PyErr_Occurred()) throw_error();
        if (eq == 0) return i;
    }
    return -1;
}

void Signature::too_many(size_t given) const {
    int n = size();
    int optional = n - required_;
    std::string takes = optional ? "from " + std::to_string(required_) + " to " + std::to_string(n)
                                 : std::to_string(n);
    bool plural = optional ? true : n != 1;
    raise_format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given", qualname_.c_str(),
                 takes.c_str(), plural ? "s" : "", Py_ssize_t(given), given == 1 ? "was" : "were");
}

void Signature::missing(PyObject** out) const {
    std::vector<PyObject*> absent;
    for (int i = 0; i < size(); ++i)
        if (!out[i]) absent.push_back(names_[size_t(i)].get());
    Ref listed = text("");
    for (size_t i = 0; i < absent.size(); ++i) {
        const char* sep = "";
        if (i > 0) sep = absent.size() == 2 ? " and " : (i + 1 == absent.size() ? ", and " : ", ");
        listed = own(PyUnicode_FromFormat("%U%s'%U'", listed.get(), sep, absent[i]));
    }
    raise_format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U", qualname_.c_str(),
                 Py_ssize_t(absent.size()), absent.size() == 1 ? "" : "s", listed.get());
}

void Signature::bind(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** out) const {
    size_t nargs = PyVectorcall_NARGS(nargsf);
    size_t n = size_t(size());
    if (nargs > n) too_many(nargs);
    for (size_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int i = index_of(key);
            if (i < 0)
                raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", qualname_.c_str(),
                             key);
            if (out[i])
                raise_format(PyExc_TypeError, "%s() got multiple values for argument '%U'", qualname_.c_str(),
                             key);
            out[i] = args[nargs + size_t(k)];
        }
    }
    bool absent = false;
    for (size_t i = 0; i < n; ++i) {
        if (!out[i]) {
            out[i] = defaults_[i].get();
            if (!out[i]) absent = true;
        }
    }
    if (absent) missing(out);
}

void Signature::bind_tuple(PyObject* first, PyObject* args, PyObject* kwargs, PyObject** out) const {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    size_t lead = first ? 1 : 0;
    std::vector<PyObject*> stack(lead + size_t(nargs + nkw));
    if (first) stack[0] = first;
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[lead + size_t(i)] = PyTuple_GET_ITEM(args, i);
    Ref names;
    if (nkw) {
        names = own(PyTuple_New(nkw));
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(names.get(), k, Py_NewRef(key));
            stack[lead + size_t(nargs + k)] = value;
            ++k;
        }
    }
    bind(stack.data(), lead + size_t(nargs), names.get(), out);
}

static const char* type_name(PyObject* v, Ref& holder) {
    holder = own(PyType_GetName(Py_TYPE(v)));
    const char* s = PyUnicode_AsUTF8(holder.get());
    if (!s) throw_error();
    return s;
}

[[noreturn]] static void wrong_type(PyObject* v, const char* name, const char* expected) {
    Ref holder;
    const char* got = type_name(v, holder);
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, got);
}

PyObject* arg_str(PyObject* v, const char* name) {
    if (!PyUnicode_CheckExact(v)) wrong_type(v, name, "str");
    return v;
}

PyObject* arg_str_or_none(PyObject* v, const char* name) {
    if (v != Py_None && !PyUnicode_CheckExact(v)) wrong_type(v, name, "str");
    return v;
}

PyObject* arg_list_or_none(PyObject* v, const char* name) {
    if (v != Py_None && !PyList_CheckExact(v)) wrong_type(v, name, "list");
    return v;
}

PyObject* arg_dict(PyObject* v, const char* name) {
    if (!PyDict_CheckExact(v)) wrong_type(v, name, "dict");
    return v;
}

// True for objects that convert to a number: ints, floats and anything with
// __index__, __int__ or __float__ (str and bytes have none of them).
static bool is_real_number(PyObject* v) {
    PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
    return nb && (nb->nb_index || nb->nb_int || nb->nb_float);
}

static Ref number_to_int(PyObject* v) {
    if (PyLong_CheckExact(v)) return Ref::borrow(v);
    if (PyBool_Check(v)) return integer(v == Py_True ? 1 : 0);
    if (PyLong_Check(v)) return own(PyNumber_Index(v));
    if (PyFloat_Check(v)) return own(PyNumber_Long(v));
    PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
    if (nb->nb_index || nb->nb_int) return own(PyNumber_Long(v));
    Ref f = own(PyNumber_Float(v));
    return own(PyNumber_Long(f.get()));
}

Ref arg_int(PyObject* v, const char* name) {
    if (!PyLong_Check(v) && !is_real_number(v)) wrong_type(v, name, "int");
    return number_to_int(v);
}

Ref arg_float(PyObject* v) {
    if (PyFloat_CheckExact(v)) return Ref::borrow(v);
    double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) throw_error();
    return own(PyFloat_FromDouble(d));
}

bool arg_bool(PyObject* v) { return truthy(v); }

[[noreturn]] static void wrong_result(PyObject* v, const char* expected) {
    Ref holder;
    const char* got = type_name(v, holder);
    raise_format(PyExc_TypeError, "Expected %.16s, got %.200s", expected, got);
}

Ref result_int(Ref v) {
    if (v.get() == Py_None || PyLong_Check(v.get())) return v;
    if (!is_real_number(v.get())) wrong_result(v.get(), "int");
    return number_to_int(v.get());
}

Ref result_exact_or_none(Ref v, PyTypeObject* type) {
    if (v.get() == Py_None || Py_IS_TYPE(v.get(), type)) return v;
    wrong_result(v.get(), type->tp_name);
}

}  // namespace zv
