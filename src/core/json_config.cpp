#include "core/json_config.hpp"

#include <cmath>
#include <cstring>
#include <initializer_list>

namespace zv::conversation {

namespace {

using Items = std::vector<std::pair<Ref, Ref>>;

// The keys and values of a dictionary, in order.
Items snapshot(PyObject* d) {
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

struct Setting {
    const char* name;
    PyObject* value;
};

// Whether `d` is an exact dict holding exactly these names (exact str keys)
// bound to these very objects.
bool holds_exactly(PyObject* d, std::initializer_list<Setting> settings) {
    if (!d || !PyDict_CheckExact(d) || PyDict_GET_SIZE(d) != Py_ssize_t(settings.size())) return false;
    Py_ssize_t pos = 0;
    PyObject* k;
    while (PyDict_Next(d, &pos, &k, nullptr))
        if (!PyUnicode_CheckExact(k)) return false;
    for (const Setting& s : settings) {
        Ref key = text(s.name);
        PyObject* v = PyDict_GetItemWithError(d, key.get());
        if (!v && PyErr_Occurred()) throw_error();
        if (v != s.value) return false;
    }
    return true;
}

bool text_is(PyObject* o, const char* expected) {
    return o && PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, expected) == 0;
}

// `d[key]`, borrowed; null when missing.
PyObject* lookup(PyObject* d, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v && PyErr_Occurred()) throw_error();
    return v;
}

// Whether `f` is a plain function of the module named `module` (its globals
// are that module's namespace) with the qualified name `qualname`: what a
// `def` in the standard library's json package made, not a replacement.
bool function_of(PyObject* f, const char* module, const char* qualname) {
    if (!f || !Py_IS_TYPE(f, &PyFunction_Type)) return false;
    PyObject* globals = PyFunction_GET_GLOBALS(f);
    Ref name_key = text("__name__");
    if (!text_is(lookup(globals, name_key.get()), module)) return false;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f));
    return text_is(code->co_qualname, qualname);
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

bool StandardDumps::standard(PyObject* json, PyObject* dumps) {
    if (valid_ && json == json_.get() && dumps == dumps_.get()) {
        PyObject* saved = PyErr_GetRaisedException();
        bool same = false;
        try {
            same = unchanged(dumps);
        } catch (PyError&) {
        }
        PyErr_SetRaisedException(saved);
        if (same) return true;
    }
    return verify_or_forget(json, dumps);
}

bool StandardDumps::unchanged(PyObject* dumps) {
    if (PyFunction_GET_CODE(dumps) != dumps_code_.get() || PyFunction_GET_DEFAULTS(dumps) ||
        PyFunction_GET_KW_DEFAULTS(dumps) != dumps_kwdefaults_.get() ||
        !same_items(dumps_kwdefaults_.get(), dumps_kwdefault_items_))
        return false;
    PyObject* encoder = lookup(PyFunction_GET_GLOBALS(dumps), s_default_encoder_.get());
    if (encoder != encoder_.get() || Py_TYPE(encoder) != reinterpret_cast<PyTypeObject*>(encoder_type_.get()))
        return false;
    Ref dict = own(PyObject_GenericGetDict(encoder, nullptr));
    if (dict.get() != encoder_dict_.get() || !same_items(dict.get(), encoder_items_)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(encoder_type_.get());
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    Ref type_dict = own(PyType_GetDict(type));
    if (lookup(type_dict.get(), s_encode_.get()) != encode_.get() ||
        lookup(type_dict.get(), s_iterencode_.get()) != iterencode_.get() ||
        lookup(type_dict.get(), s_item_separator_.get()) != item_separator_.get() ||
        lookup(type_dict.get(), s_key_separator_.get()) != key_separator_.get())
        return false;
    if (PyFunction_GET_CODE(encode_.get()) != encode_code_.get() || PyFunction_GET_DEFAULTS(encode_.get()) ||
        PyFunction_GET_KW_DEFAULTS(encode_.get()) || PyFunction_GET_CODE(iterencode_.get()) != iterencode_code_.get() ||
        PyFunction_GET_DEFAULTS(iterencode_.get()) != iterencode_defaults_.get() ||
        PyFunction_GET_KW_DEFAULTS(iterencode_.get()))
        return false;
    PyObject* globals = encoder_globals_.get();
    return lookup(globals, s_encode_basestring_ascii_.get()) == string_encoder_.get() &&
           lookup(globals, s_c_make_encoder_.get()) == make_encoder_.get() &&
           lookup(globals, s_infinity_.get()) == infinity_.get();
}

bool StandardDumps::verify(PyObject* json, PyObject* dumps) {
    // json.dumps itself, with its default options.
    if (!PyModule_CheckExact(json) || !function_of(dumps, "json", "dumps")) return false;
    PyObject* globals = PyFunction_GET_GLOBALS(dumps);
    if (globals != PyModule_GetDict(json) || PyFunction_GET_DEFAULTS(dumps)) return false;
    PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(dumps);
    if (!holds_exactly(kwdefaults, {{"skipkeys", Py_False}, {"ensure_ascii", Py_True}, {"check_circular", Py_True},
                                    {"allow_nan", Py_True}, {"cls", Py_None}, {"indent", Py_None},
                                    {"separators", Py_None}, {"default", Py_None}, {"sort_keys", Py_False}}))
        return false;

    // The module's default encoder: a plain JSONEncoder with default settings.
    Ref encoder = Ref::borrow(lookup(globals, s_default_encoder_.get()));
    if (!encoder) return false;
    PyTypeObject* type = Py_TYPE(encoder.get());
    if (!Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type) || type->tp_getattro != PyObject_GenericGetAttr)
        return false;
    Ref type_dict = own(PyType_GetDict(type));
    Ref encode = Ref::borrow(lookup(type_dict.get(), s_encode_.get()));
    Ref iterencode = Ref::borrow(lookup(type_dict.get(), s_iterencode_.get()));
    if (!function_of(encode.get(), "json.encoder", "JSONEncoder.encode") || PyFunction_GET_DEFAULTS(encode.get()) ||
        PyFunction_GET_KW_DEFAULTS(encode.get()) ||
        !function_of(iterencode.get(), "json.encoder", "JSONEncoder.iterencode") ||
        PyFunction_GET_KW_DEFAULTS(iterencode.get()))
        return false;
    PyObject* iter_defaults = PyFunction_GET_DEFAULTS(iterencode.get());
    if (!iter_defaults || !PyTuple_CheckExact(iter_defaults) || PyTuple_GET_SIZE(iter_defaults) != 1 ||
        PyTuple_GET_ITEM(iter_defaults, 0) != Py_False)
        return false;
    PyObject* encoder_globals = PyFunction_GET_GLOBALS(iterencode.get());
    if (lookup(encoder_globals, s_json_encoder_.get()) != reinterpret_cast<PyObject*>(type)) return false;
    Ref item_separator = Ref::borrow(lookup(type_dict.get(), s_item_separator_.get()));
    Ref key_separator = Ref::borrow(lookup(type_dict.get(), s_key_separator_.get()));
    if (!item_separator || !PyUnicode_CheckExact(item_separator.get()) || !text_is(item_separator.get(), ", ") ||
        !key_separator || !PyUnicode_CheckExact(key_separator.get()) || !text_is(key_separator.get(), ": "))
        return false;
    Ref encoder_dict = own(PyObject_GenericGetDict(encoder.get(), nullptr));
    if (!holds_exactly(encoder_dict.get(), {{"skipkeys", Py_False}, {"ensure_ascii", Py_True},
                                            {"check_circular", Py_True}, {"allow_nan", Py_True},
                                            {"sort_keys", Py_False}, {"indent", Py_None}}))
        return false;

    // The C pieces iterencode hands the work to: the string encoder and the
    // encoder type of the `_json` accelerator module.
    Ref string_encoder = Ref::borrow(lookup(encoder_globals, s_encode_basestring_ascii_.get()));
    if (!string_encoder || !PyCFunction_Check(string_encoder.get())) return false;
    auto* cfunction = reinterpret_cast<PyCFunctionObject*>(string_encoder.get());
    PyObject* accelerator = PyCFunction_GET_SELF(string_encoder.get());
    if (std::strcmp(cfunction->m_ml->ml_name, "encode_basestring_ascii") != 0 || !accelerator ||
        !PyModule_Check(accelerator))
        return false;
    Ref accelerator_name = own(PyModule_GetNameObject(accelerator));
    if (!text_is(accelerator_name.get(), "_json")) return false;
    Ref make_encoder = optional_attr(accelerator, s_make_encoder_.get());
    if (!make_encoder || !PyType_Check(make_encoder.get()) ||
        lookup(encoder_globals, s_c_make_encoder_.get()) != make_encoder.get())
        return false;
    Ref infinity = Ref::borrow(lookup(encoder_globals, s_infinity_.get()));
    if (!infinity || !PyFloat_CheckExact(infinity.get()) || !std::isinf(PyFloat_AS_DOUBLE(infinity.get())) ||
        PyFloat_AS_DOUBLE(infinity.get()) < 0)
        return false;

    json_ = Ref::borrow(json);
    dumps_ = Ref::borrow(dumps);
    dumps_code_ = Ref::borrow(PyFunction_GET_CODE(dumps));
    dumps_kwdefaults_ = Ref::borrow(kwdefaults);
    dumps_kwdefault_items_ = snapshot(kwdefaults);
    encoder_ = std::move(encoder);
    encoder_type_ = Ref::borrow(reinterpret_cast<PyObject*>(type));
    encoder_items_ = snapshot(encoder_dict.get());
    encoder_dict_ = std::move(encoder_dict);
    encode_code_ = Ref::borrow(PyFunction_GET_CODE(encode.get()));
    encode_ = std::move(encode);
    iterencode_code_ = Ref::borrow(PyFunction_GET_CODE(iterencode.get()));
    iterencode_defaults_ = Ref::borrow(iter_defaults);
    iterencode_ = std::move(iterencode);
    item_separator_ = std::move(item_separator);
    key_separator_ = std::move(key_separator);
    encoder_globals_ = Ref::borrow(encoder_globals);
    string_encoder_ = std::move(string_encoder);
    make_encoder_ = std::move(make_encoder);
    infinity_ = std::move(infinity);
    return true;
}

bool StandardDumps::verify_or_forget(PyObject* json, PyObject* dumps) {
    valid_ = false;
    json_ = dumps_ = Ref();  // nothing is compared against stale objects
    PyObject* saved = PyErr_GetRaisedException();
    try {
        valid_ = verify(json, dumps);
    } catch (PyError&) {
        valid_ = false;  // a failed look means "not known to be standard"
    }
    PyErr_SetRaisedException(saved);
    if (!valid_) {
        json_ = dumps_ = dumps_code_ = dumps_kwdefaults_ = Ref();
        dumps_kwdefault_items_.clear();
        encoder_ = encoder_type_ = encoder_dict_ = Ref();
        encoder_items_.clear();
        encode_ = encode_code_ = iterencode_ = iterencode_code_ = iterencode_defaults_ = Ref();
        item_separator_ = key_separator_ = encoder_globals_ = string_encoder_ = make_encoder_ = infinity_ = Ref();
    }
    return valid_;
}

int StandardDumps::traverse(visitproc visit, void* arg) {
    for (const Ref* r : {&json_, &dumps_, &dumps_code_, &dumps_kwdefaults_, &encoder_, &encoder_type_, &encoder_dict_,
                         &encode_, &encode_code_, &iterencode_, &iterencode_code_, &iterencode_defaults_,
                         &item_separator_, &key_separator_, &encoder_globals_, &string_encoder_, &make_encoder_,
                         &infinity_})
        Py_VISIT(r->get());
    for (const Items* items : {&dumps_kwdefault_items_, &encoder_items_})
        for (const auto& [k, v] : *items) {
            Py_VISIT(k.get());
            Py_VISIT(v.get());
        }
    return 0;
}

}  // namespace zv::conversation
