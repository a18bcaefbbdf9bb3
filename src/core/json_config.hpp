// Whether `json.dumps(value)` would give the native encoder's text: true
// only while everything that call reaches is the standard library's own,
// unchanged.
#pragma once

#include "support/py.hpp"

#include <memory>
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
//
// What a check saw is an immutable record, replaced as a whole under a
// lock (free-threaded builds run checks in several threads at once): a
// check compares against the record it took, whatever another thread
// publishes meanwhile.
class StandardDumps {
public:
    StandardDumps();
    StandardDumps(const StandardDumps&) = delete;
    StandardDumps& operator=(const StandardDumps&) = delete;

    // True when `dumps`, got from `json` as `json.dumps`, is the standard
    // function and everything it reaches is unchanged.
    bool standard(PyObject* json, PyObject* dumps);

    int traverse(visitproc visit, void* arg);

private:
    using Items = std::vector<std::pair<Ref, Ref>>;
    struct Record;
    using Shared = std::shared_ptr<const Record>;

    bool unchanged(const Record& r, PyObject* dumps) const;
    Shared verify(PyObject* json, PyObject* dumps) const;
    Shared verify_or_forget(PyObject* json, PyObject* dumps) const;
    Shared current() const;
    void publish(Shared r);

    // Names, interned once.
    Ref s_default_encoder_, s_encode_, s_iterencode_, s_item_separator_, s_key_separator_;
    Ref s_encode_basestring_ascii_, s_c_make_encoder_, s_infinity_, s_json_encoder_;
    Ref s_make_encoder_;

    // What the last successful check saw; null when none did.
    Shared record_;
#if PY_VERSION_HEX >= 0x030D0000
    mutable PyMutex lock_{};  // guards record_ (the pointer, not the record)
#endif
};

}  // namespace zv::conversation
