// Fast readers for the exact built-in containers a memory store normally
// returns (dict, list, str, int), used while the message array is built and
// the history is summarised.
//
// When they apply: only to objects whose type is exactly the built-in type
// (and, for dictionaries, whose keys are all exact strings). Anything else,
// a subclass included, is read through the ordinary protocol (`o[key]`,
// `bool(o)`, `id > marker`), one call at a time, as Python code would.
//
// Why they are safe: reading an exact container with exact keys runs no
// Python code, so the answer is the one `o[key]` would give at that moment:
// dictionary keys are unique, and an interned name identical to a key is the
// key a lookup finds (an equal but distinct key is left to a real lookup).
// What was read in one pass is used only while no Python code can have run
// since (a `Calls::Quiet` token that still holds), because Python code could
// change the container. The private slice reads a list that no one else
// holds, so nothing can change it; a free-threaded build never takes that
// path.
//
// Without the GIL, another thread may change a host's container during a
// read: values are taken as owned references (support/py.hpp), a one-pass
// read holds the container's lock (it runs no Python code), and a list that
// shrinks under a walk ends it where a for loop would end.
#pragma once

#include "support/py.hpp"

#include <cstddef>
#include <optional>

namespace zv::conversation {

// The calls into Python code of one conversion, and the tokens that say that
// none has happened since a point of it.
//
// A value read in one pass without running Python code (the fields `scan`
// finds, the json.dumps a lookup found) is what a fresh read would give only
// while no Python code has run since. A `Quiet` token taken right after the
// read says so until the conversion next calls into Python code. Every
// helper of the conversion that may call into Python code takes its `Calls`
// and goes through `python()` first, which spends every token taken before;
// a read that finds its token spent reads afresh.
class Calls {
public:
    class Quiet {
    public:
        Quiet() noexcept = default;  // taken never: holds nothing

    private:
        friend class Calls;
        explicit Quiet(unsigned at) noexcept : at_(at) {}
        unsigned at_ = 0;
    };

    Quiet quiet() const noexcept { return Quiet(count_); }
    bool holds(Quiet q) const noexcept { return q.at_ == count_; }
    // What the caller does next may run Python code.
    void python() noexcept { ++count_; }

private:
    unsigned count_ = 1;
};

// `o[key]` for a message, fact or tool-call entry: exact dicts directly (a
// missing key raises KeyError as the subscript would), anything else
// through its own __getitem__.
inline Ref item(PyObject* o, PyObject* key) {
    if (PyDict_CheckExact(o)) {
        if (Ref v = dict_get(o, key)) return v;
        PyErr_SetObject(PyExc_KeyError, key);
        throw_error();
    }
    return getitem(o, key);
}

// The truth test, without a call for the common exact types.
inline bool truth(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
    if (PyList_CheckExact(o)) return PyList_GET_SIZE(o) != 0;
    return truthy(o);
}

// The same during a conversion, which calls __bool__ through `calls`.
inline bool truth(PyObject* o, Calls& calls) {
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
    if (PyList_CheckExact(o)) return PyList_GET_SIZE(o) != 0;
    if (o == Py_None || o == Py_False) return false;
    if (o == Py_True) return true;
    if (PyTuple_CheckExact(o)) return PyTuple_GET_SIZE(o) != 0;
    if (PyDict_CheckExact(o)) return PyDict_GET_SIZE(o) != 0;
    calls.python();
    return truthy(o);
}

// The value of an exact int, when it fits in a long long.
inline bool large_int(PyObject* o, long long& value) {
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (value == -1 && PyErr_Occurred()) throw_error();
    return !overflow;
}

inline bool small_int(PyObject* o, long long& value) {
    if (!PyLong_CheckExact(o)) return false;
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        value = (long long)PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
        return true;
    }
    return large_int(o, value);
}

// `o == s` for a text constant `s`; exact strings without a rich comparison.
inline bool equals_text(PyObject* o, PyObject* s) {
    if (o == s) return true;
    if (PyUnicode_CheckExact(o)) {
        if (PyUnicode_GET_LENGTH(o) != PyUnicode_GET_LENGTH(s)) return false;
        return PyUnicode_Compare(o, s) == 0;
    }
    Ref eq = own(PyObject_RichCompare(o, s, Py_EQ));
    return truthy(eq.get());
}

// The same during a conversion, which calls __eq__ through `calls`.
inline bool equals_text(PyObject* o, PyObject* s, Calls& calls) {
    if (o != s && !PyUnicode_CheckExact(o)) calls.python();
    return equals_text(o, s);
}

// Calls f(borrowed item) for every item of `iterable`, as a for loop would.
// Lists and tuples are walked by index (re-reading the size at each step,
// so a list changed by the callback or another thread behaves as under a
// for loop). Any other iterable runs Python code at each step: during a
// conversion, through its `calls`.
template <class F>
inline void for_each(PyObject* iterable, F&& f, Calls* calls = nullptr) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0;; ++i) {
            Ref v = list_item(iterable, i);
            if (!v) return;
            f(v.get());
        }
    }
    if (PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i) f(PyTuple_GET_ITEM(iterable, i));
        return;
    }
    if (calls) calls->python();
    Ref it = own(PyObject_GetIter(iterable));
    for (;;) {
        if (calls) calls->python();
        PyObject* raw = PyIter_Next(it.get());
        if (!raw) break;
        Ref v = Ref::steal(raw);
        f(v.get());
    }
    if (PyErr_Occurred()) throw_error();
}

// `d[key]` of an exact dict (null when missing), for a run of dicts that
// mostly share a key layout: `hint` is the iteration position at which the
// previous one held `key` (the interned name itself), tried first by one
// PyDict_Next step, which finds it in the entry table without hashing.
// Dict keys are unique, so an identical key there is the one a lookup
// would find; any other outcome is a plain lookup that also learns the
// position for the next dict. Only for the private slice's messages, read
// with the GIL held (see private_slice_stop).
inline PyObject* id_at(PyObject* d, PyObject* key, Py_ssize_t& hint) {
    Py_ssize_t pos = hint;
    PyObject* k;
    PyObject* v;
    if (PyDict_Next(d, &pos, &k, &v) && k == key) return v;
    v = PyDict_GetItemWithError(d, key);
    if (v && PyDict_GET_SIZE(d) <= 8) {
        Py_ssize_t before = 0;
        for (pos = 0; PyDict_Next(d, &pos, &k, nullptr); before = pos) {
            if (k == key) {
                hint = before;
                break;
            }
        }
    }
    return v;
}

// Where `list[:-keep_count]` ends, for an exact list that only the caller
// holds and an exact int that fits; none when the slice must be taken.
inline std::optional<Py_ssize_t> private_slice_stop(PyObject* list, PyObject* keep_count) {
#ifdef Py_GIL_DISABLED
    (void)list;
    (void)keep_count;
    return std::nullopt;
#else
    if (!PyList_CheckExact(list) || Py_REFCNT(list) != 1) return std::nullopt;
    long long k = 0;
    if (!small_int(keep_count, k) || k <= -PY_SSIZE_T_MAX || k >= PY_SSIZE_T_MAX) return std::nullopt;
    Py_ssize_t n = PyList_GET_SIZE(list), stop = Py_ssize_t(-k);
    if (stop < 0) return stop + n < 0 ? 0 : stop + n;
    return stop > n ? n : stop;
#endif
}

// The values under `keys` of a small exact dict whose keys are all exact
// strings, read in one pass over it, as `o[key]` would find them while no
// Python code runs. A key equal to a name but not the interned name itself
// is left unread (null), for a lookup. False, with nothing read, for any
// other object: its lookups may run Python code and are made one by one.
template <size_t N>
bool scan(PyObject* d, PyObject* const (&keys)[N], Ref (&out)[N]) {
    if (!PyDict_CheckExact(d)) return false;
    Locked lock(d);
    if (PyDict_GET_SIZE(d) > Py_ssize_t(2 * N + 4)) return false;
    PyObject* found[N] = {};
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) return false;
        for (size_t j = 0; j < N; ++j) {
            if (k == keys[j]) {
                found[j] = v;
                break;
            }
        }
    }
    for (size_t j = 0; j < N; ++j) out[j] = Ref::borrow(found[j]);
    return true;
}

// The fields of one object during a conversion, read in one pass when `scan`
// can, otherwise (or once Python code may have run since the scan) by
// `o[key]` each, which calls into Python code through `calls` unless it is a
// lookup in the dict the scan found made only of exact str keys.
template <size_t N>
struct Fields {
    Fields(PyObject* o, PyObject* const (&names)[N], const Calls& calls)
        : obj(o), keys(names), scanned(scan(o, names, values)), quiet(calls.quiet()) {}
    Ref get(size_t j, Calls& calls) {
        if (scanned && calls.holds(quiet)) {
            if (values[j]) return std::move(values[j]);
        } else {
            calls.python();
        }
        return item(obj, keys[j]);
    }
    PyObject* obj;
    PyObject* const (&keys)[N];
    Ref values[N];
    bool scanned;
    Calls::Quiet quiet;  // taken at the scan
};

}  // namespace zv::conversation
