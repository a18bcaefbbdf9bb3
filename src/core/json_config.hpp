// Whether `json.dumps(value)` would give the native encoder's text: true
// only while everything that call reaches is the standard library's own,
// unchanged.
#pragma once

#include "support/py.hpp"

#include <utility>
#include <vector>

namespace zv::conversation {

// With no options, json.dumps(value) runs `_default_encoder.encode(value)`,
// which runs `iterencode(value, _one_shot=True)`, which hands the encoder's
// settings to the C encoder `c_make_encoder` with the string encoder
// `encode_basestring_ascii`. For exact built-in values the outcome is the
// text of `dumps_exact` exactly when all of that is as the standard library
// defines it. A host can change any piece (rebind `json.dumps`, its keyword
// defaults, `_default_encoder` or its attributes, the JSONEncoder methods or
// separators, the json.encoder functions), before or after this module was
// imported.
//
// The first time a json module and dumps function are seen, `standard`
// verifies all of it: the functions are plain functions defined in the
// json package's own files under their own names, the settings are the
// defaults, the C pieces come from the `_json` module. It then keeps every
// object it checked, and later calls only compare identities (and the few
// small dictionaries item by item); any difference means a full check
// again. None of it runs Python code.
class StandardDumps {
public:
    StandardDumps();

    // True when `dumps`, got from `json` as `json.dumps`, is the standard
    // function and everything it reaches is unchanged.
    bool standard(PyObject* json, PyObject* dumps);

    int traverse(visitproc visit, void* arg);

private:
    using Items = std::vector<std::pair<Ref, Ref>>;

    bool unchanged(PyObject* dumps);
    bool verify(PyObject* json, PyObject* dumps);
    bool verify_or_forget(PyObject* json, PyObject* dumps);

    // Names, interned once.
    Ref s_default_encoder_, s_encode_, s_iterencode_, s_item_separator_, s_key_separator_;
    Ref s_encode_basestring_ascii_, s_c_make_encoder_, s_infinity_, s_json_encoder_;
    Ref s_make_encoder_;

    // What the last successful check saw.
    bool valid_ = false;
    Ref json_, dumps_, dumps_code_, dumps_kwdefaults_;
    Items dumps_kwdefault_items_;
    Ref encoder_, encoder_type_, encoder_dict_;
    Items encoder_items_;
    Ref encode_, encode_code_, iterencode_, iterencode_code_, iterencode_defaults_;
    Ref item_separator_, key_separator_;
    Ref encoder_globals_, string_encoder_, make_encoder_, infinity_;
};

}  // namespace zv::conversation
