#include "core/json_config.hpp"

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <tuple>
#include <utility>

namespace zv::conversation {

namespace {

using Items = std::vector<std::pair<Ref, Ref>>;

// The keys and values of a dictionary, in order.
Items snapshot(PyObject* d) {
    Locked lock(d);
    Items out;
    out.reserve(size_t(PyDict_GET_SIZE(d)));
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    while (PyDict_Next(d, &pos, &k, &v)) out.emplace_back(Ref::borrow(k), Ref::borrow(v));
    return out;
}

// Whether dictionary `d` still holds exactly `items`, in that order, by
// identity. Walking the entries hashes nothing and calls nothing.
bool same_items(PyObject* d, const Items& items) {
    Locked lock(d);
    if (PyDict_GET_SIZE(d) != Py_ssize_t(items.size())) return false;
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    size_t i = 0;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (k != items[i].first.get() || v != items[i].second.get()) return false;
        ++i;
    }
    return true;
}

// `d[key]`, borrowed, only to compare its identity; null when missing.
PyObject* lookup(PyObject* d, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v && PyErr_Occurred()) throw_error();
    return v;
}

struct Setting {
    const char* name;
    PyObject* value;
};

// Whether `d` is an exact dict holding exactly these names (exact str keys)
// bound to these very objects.
bool holds_exactly(PyObject* d, std::initializer_list<Setting> settings) {
    if (!d || !PyDict_CheckExact(d)) return false;
    {
        Locked lock(d);
        if (PyDict_GET_SIZE(d) != Py_ssize_t(settings.size())) return false;
        Py_ssize_t pos = 0;
        PyObject* k;
        while (PyDict_Next(d, &pos, &k, nullptr))
            if (!PyUnicode_CheckExact(k)) return false;
    }
    for (const Setting& s : settings) {
        Ref key = text(s.name);
        if (lookup(d, key.get()) != s.value) return false;
    }
    return true;
}

bool text_is(PyObject* o, const char* expected) {
    return o && PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, expected) == 0;
}

// Whether `f` is a plain function of the module named `module` (its globals
// are that module's namespace) with the qualified name `qualname`: what a
// `def` in the standard library's json package made, not a replacement.
bool function_of(PyObject* f, const char* module, const char* qualname) {
    if (!f || !Py_IS_TYPE(f, &PyFunction_Type)) return false;
    PyObject* globals = PyFunction_GET_GLOBALS(f);
    Ref name_key = text("__name__");
    if (!text_is(dict_get(globals, name_key.get()).get(), module)) return false;
    Ref code = Ref::borrow(PyFunction_GET_CODE(f));
    return text_is(reinterpret_cast<PyCodeObject*>(code.get())->co_qualname, qualname);
}

}  // namespace

StandardDumps::StandardDumps()
    : s_default_encoder_(interned("_default_encoder")),
      s_encode_(interned("encode")),
      s_iterencode_(interned("iterencode")),
      s_item_separator_(interned("item_separator")),
      s_key_separator_(interned("key_separator")),
      s_encode_basestring_ascii_(interned("encode_basestring_ascii")),
      s_c_make_encoder_(interned("c_make_encoder")),
      s_infinity_(interned("INFINITY")),
      s_json_encoder_(interned("JSONEncoder")),
      s_make_encoder_(interned("make_encoder")) {}

// What one successful check saw: every object it checked, each named once
// in refs() (for the collector), and the items of the two dictionaries.
struct StandardDumps::Record {
    Ref json, dumps, dumps_code, dumps_kwdefaults;
    Ref encoder, encoder_type, encoder_dict;
    Ref encode, encode_code, iterencode, iterencode_code, iterencode_defaults;
    Ref item_separator, key_separator;
    Ref encoder_globals, string_encoder, make_encoder, infinity;
    Items dumps_kwdefault_items, encoder_items;
    auto refs() const {
        return std::tie(json, dumps, dumps_code, dumps_kwdefaults, encoder, encoder_type, encoder_dict, encode,
                        encode_code, iterencode, iterencode_code, iterencode_defaults, item_separator, key_separator,
                        encoder_globals, string_encoder, make_encoder, infinity);
    }
    auto items() const { return std::tie(dumps_kwdefault_items, encoder_items); }
};

StandardDumps::Shared StandardDumps::current() const {
#if PY_VERSION_HEX >= 0x030D0000
    PyMutex_Lock(&lock_);
    Shared r = record_;
    PyMutex_Unlock(&lock_);
    return r;
#else
    return record_;  // the GIL serialises every check
#endif
}

void StandardDumps::publish(Shared r) {
#if PY_VERSION_HEX >= 0x030D0000
    PyMutex_Lock(&lock_);
    record_.swap(r);
    PyMutex_Unlock(&lock_);
#else
    record_.swap(r);
#endif
    // The record replaced is released here, outside the lock.
}

bool StandardDumps::standard(PyObject* json, PyObject* dumps) {
    Shared r = current();
    if (r && json == r->json.get() && dumps == r->dumps.get()) {
        PyObject* saved = PyErr_GetRaisedException();
        bool same = false;
        try {
            same = unchanged(*r, dumps);
        } catch (PyError&) {
        }
        PyErr_SetRaisedException(saved);
        if (same) return true;
    }
    r = verify_or_forget(json, dumps);
    const bool valid = r != nullptr;
    publish(std::move(r));
    return valid;
}

bool StandardDumps::unchanged(const Record& r, PyObject* dumps) const {
    if (PyFunction_GET_CODE(dumps) != r.dumps_code.get() || PyFunction_GET_DEFAULTS(dumps) ||
        PyFunction_GET_KW_DEFAULTS(dumps) != r.dumps_kwdefaults.get() ||
        !same_items(r.dumps_kwdefaults.get(), r.dumps_kwdefault_items))
        return false;
    PyObject* encoder = lookup(PyFunction_GET_GLOBALS(dumps), s_default_encoder_.get());
    if (encoder != r.encoder.get() || Py_TYPE(encoder) != reinterpret_cast<PyTypeObject*>(r.encoder_type.get()))
        return false;
    Ref dict = own(PyObject_GenericGetDict(encoder, nullptr));
    if (dict.get() != r.encoder_dict.get() || !same_items(dict.get(), r.encoder_items)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(r.encoder_type.get());
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    Ref type_dict = own(PyType_GetDict(type));
    if (lookup(type_dict.get(), s_encode_.get()) != r.encode.get() ||
        lookup(type_dict.get(), s_iterencode_.get()) != r.iterencode.get() ||
        lookup(type_dict.get(), s_item_separator_.get()) != r.item_separator.get() ||
        lookup(type_dict.get(), s_key_separator_.get()) != r.key_separator.get())
        return false;
    PyObject* encode = r.encode.get();
    PyObject* iterencode = r.iterencode.get();
    if (PyFunction_GET_CODE(encode) != r.encode_code.get() || PyFunction_GET_DEFAULTS(encode) ||
        PyFunction_GET_KW_DEFAULTS(encode) || PyFunction_GET_CODE(iterencode) != r.iterencode_code.get() ||
        PyFunction_GET_DEFAULTS(iterencode) != r.iterencode_defaults.get() || PyFunction_GET_KW_DEFAULTS(iterencode))
        return false;
    PyObject* globals = r.encoder_globals.get();
    return lookup(globals, s_encode_basestring_ascii_.get()) == r.string_encoder.get() &&
           lookup(globals, s_c_make_encoder_.get()) == r.make_encoder.get() &&
           lookup(globals, s_infinity_.get()) == r.infinity.get();
}

StandardDumps::Shared StandardDumps::verify(PyObject* json, PyObject* dumps) const {
    // json.dumps itself, with its default options.
    if (!PyModule_CheckExact(json) || !function_of(dumps, "json", "dumps")) return nullptr;
    PyObject* globals = PyFunction_GET_GLOBALS(dumps);
    if (globals != PyModule_GetDict(json) || PyFunction_GET_DEFAULTS(dumps)) return nullptr;
    auto r = std::make_shared<Record>();  // filled with what the check sees as it goes
    r->json = Ref::borrow(json);
    r->dumps = Ref::borrow(dumps);
    r->dumps_code = Ref::borrow(PyFunction_GET_CODE(dumps));
    r->dumps_kwdefaults = Ref::borrow(PyFunction_GET_KW_DEFAULTS(dumps));
    if (!holds_exactly(r->dumps_kwdefaults.get(),
                       {{"skipkeys", Py_False}, {"ensure_ascii", Py_True}, {"check_circular", Py_True},
                        {"allow_nan", Py_True}, {"cls", Py_None}, {"indent", Py_None}, {"separators", Py_None},
                        {"default", Py_None}, {"sort_keys", Py_False}}))
        return nullptr;

    // The module's default encoder: a plain JSONEncoder with default settings.
    r->encoder = dict_get(globals, s_default_encoder_.get());
    if (!r->encoder) return nullptr;
    PyTypeObject* type = Py_TYPE(r->encoder.get());
    if (!Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type) || type->tp_getattro != PyObject_GenericGetAttr)
        return nullptr;
    r->encoder_type = Ref::borrow(reinterpret_cast<PyObject*>(type));
    Ref type_dict = own(PyType_GetDict(type));
    r->encode = dict_get(type_dict.get(), s_encode_.get());
    r->iterencode = dict_get(type_dict.get(), s_iterencode_.get());
    PyObject* encode = r->encode.get();
    PyObject* iterencode = r->iterencode.get();
    if (!function_of(encode, "json.encoder", "JSONEncoder.encode") || PyFunction_GET_DEFAULTS(encode) ||
        PyFunction_GET_KW_DEFAULTS(encode) || !function_of(iterencode, "json.encoder", "JSONEncoder.iterencode") ||
        PyFunction_GET_KW_DEFAULTS(iterencode))
        return nullptr;
    r->encode_code = Ref::borrow(PyFunction_GET_CODE(encode));
    r->iterencode_code = Ref::borrow(PyFunction_GET_CODE(iterencode));
    r->iterencode_defaults = Ref::borrow(PyFunction_GET_DEFAULTS(iterencode));
    PyObject* iter_defaults = r->iterencode_defaults.get();
    if (!iter_defaults || !PyTuple_CheckExact(iter_defaults) || PyTuple_GET_SIZE(iter_defaults) != 1 ||
        PyTuple_GET_ITEM(iter_defaults, 0) != Py_False)
        return nullptr;
    PyObject* encoder_globals = PyFunction_GET_GLOBALS(iterencode);
    if (lookup(encoder_globals, s_json_encoder_.get()) != reinterpret_cast<PyObject*>(type)) return nullptr;
    r->encoder_globals = Ref::borrow(encoder_globals);
    r->item_separator = dict_get(type_dict.get(), s_item_separator_.get());
    r->key_separator = dict_get(type_dict.get(), s_key_separator_.get());
    PyObject* item_separator = r->item_separator.get();
    PyObject* key_separator = r->key_separator.get();
    if (!item_separator || !PyUnicode_CheckExact(item_separator) || !text_is(item_separator, ", ") ||
        !key_separator || !PyUnicode_CheckExact(key_separator) || !text_is(key_separator, ": "))
        return nullptr;
    r->encoder_dict = own(PyObject_GenericGetDict(r->encoder.get(), nullptr));
    if (!holds_exactly(r->encoder_dict.get(), {{"skipkeys", Py_False}, {"ensure_ascii", Py_True},
                                               {"check_circular", Py_True}, {"allow_nan", Py_True},
                                               {"sort_keys", Py_False}, {"indent", Py_None}}))
        return nullptr;

    // The C pieces iterencode hands the work to: the string encoder and the
    // encoder type of the `_json` accelerator module.
    r->string_encoder = dict_get(encoder_globals, s_encode_basestring_ascii_.get());
    PyObject* string_encoder = r->string_encoder.get();
    if (!string_encoder || !PyCFunction_Check(string_encoder)) return nullptr;
    auto* cfunction = reinterpret_cast<PyCFunctionObject*>(string_encoder);
    PyObject* accelerator = PyCFunction_GET_SELF(string_encoder);
    if (std::strcmp(cfunction->m_ml->ml_name, "encode_basestring_ascii") != 0 || !accelerator ||
        !PyModule_Check(accelerator))
        return nullptr;
    Ref accelerator_name = own(PyModule_GetNameObject(accelerator));
    if (!text_is(accelerator_name.get(), "_json")) return nullptr;
    r->make_encoder = optional_attr(accelerator, s_make_encoder_.get());
    PyObject* make_encoder = r->make_encoder.get();
    if (!make_encoder || !PyType_Check(make_encoder) || lookup(encoder_globals, s_c_make_encoder_.get()) != make_encoder)
        return nullptr;
    r->infinity = dict_get(encoder_globals, s_infinity_.get());
    PyObject* infinity = r->infinity.get();
    if (!infinity || !PyFloat_CheckExact(infinity) || !std::isinf(PyFloat_AS_DOUBLE(infinity)) ||
        PyFloat_AS_DOUBLE(infinity) < 0)
        return nullptr;
    r->dumps_kwdefault_items = snapshot(r->dumps_kwdefaults.get());
    r->encoder_items = snapshot(r->encoder_dict.get());
    return r;
}

StandardDumps::Shared StandardDumps::verify_or_forget(PyObject* json, PyObject* dumps) const {
    Shared r;
    PyObject* saved = PyErr_GetRaisedException();
    try {
        r = verify(json, dumps);
    } catch (PyError&) {
        // a failed look means "not known to be standard"
    }
    PyErr_SetRaisedException(saved);
    return r;
}

int StandardDumps::traverse(visitproc visit, void* arg) {
    // Runs with the other threads stopped (or holding the GIL): no lock.
    static_assert(sizeof(Record) == std::tuple_size_v<decltype(std::declval<Record&>().refs())> * sizeof(Ref) +
                                        std::tuple_size_v<decltype(std::declval<Record&>().items())> * sizeof(Items),
                  "refs() and items() name every member of the record");
    const Record* r = record_.get();
    if (!r) return 0;
    int rc = 0;
    auto one = [&](const Ref& o) { return o && (rc = visit(o.get(), arg)) != 0; };  // true: stop
    auto all = [&](const Items& items) {
        for (const auto& [k, v] : items)
            if (one(k) || one(v)) return true;
        return false;
    };
    std::apply([&](const auto&... o) { (one(o) || ...); }, r->refs());
    if (!rc) std::apply([&](const auto&... items) { (all(items) || ...); }, r->items());
    return rc;
}

}  // namespace zv::conversation
