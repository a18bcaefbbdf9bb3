// Binding of call arguments to declared parameters, and the conversions of
// the declared parameter and result types.
#pragma once

#include "support/py.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace zv {

// The limits of an operation's declaration, checked when it is added to its
// class (check_limits): its arguments are bound into an array of
// `max_bound` slots, and the parameters its body takes as scalars are marked
// in a ScalarMask, bit i for parameter i.
inline constexpr int max_bound = 16;
using ScalarMask = std::uint32_t;
inline constexpr int scalar_mask_bits = 32;
static_assert(max_bound <= scalar_mask_bits, "every parameter has its bit");

// Raises SystemError, naming the operation `qualname`, when it declares more
// than max_bound parameters or marks as a scalar a parameter it lacks.
void check_limits(const char* qualname, int nparams, ScalarMask scalars);

// A parameter's default, described statically and materialised once.
struct Default {
    enum Kind { Required, None, Int, Float, Str, True, False } kind = Required;
    long long i = 0;
    double f = 0.0;
    const char* s = nullptr;
};
constexpr Default required() { return {}; }
constexpr Default default_none() { return {Default::None}; }
constexpr Default default_int(long long v) { return {Default::Int, v}; }
constexpr Default default_float(double v) { return {Default::Float, 0, v}; }
constexpr Default default_str(const char* v) { return {Default::Str, 0, 0.0, v}; }
constexpr Default default_bool(bool v) { return {v ? Default::True : Default::False}; }

struct ParamDef {
    const char* name;
    Default def;
};

// The materialised parameter list of one callable.
class Signature {
public:
    Signature() = default;
    Signature(std::string qualname, const ParamDef* params, int count);

    int size() const noexcept { return int(names_.size()); }

    // The parameter list as __text_signature__ shows it, each default as its
    // repr(): "(self, title=None)". The first `skip` parameters are left
    // out, and `head` (such as "$module, /") leads the list.
    std::string text_signature(int skip = 0, const char* head = nullptr) const;

    // Fills out[0..size()) with borrowed references: the arguments given by
    // position or keyword, then the defaults. Raises TypeError (as a Python
    // function would) for a wrong count, an unknown or a repeated keyword.
    void bind(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** out) const;
    // Same for `first` (when not null) followed by a tuple and an optional
    // keyword dictionary, as tp_init receives them.
    void bind_tuple(PyObject* first, PyObject* args, PyObject* kwargs, PyObject** out) const;

    int traverse(visitproc visit, void* arg) const;

private:
    [[noreturn]] void too_many(size_t given) const;
    [[noreturn]] void missing(PyObject** out) const;
    int index_of(PyObject* keyword) const;

    std::string qualname_;
    std::vector<Ref> names_;
    std::vector<Ref> defaults_;  // null where required
    int required_ = 0;
};

// Declared parameter types, checked at call time.
// "str": exact str only. Returns the argument (borrowed).
PyObject* arg_str(PyObject* v, const char* name);
// "str | None".
PyObject* arg_str_or_none(PyObject* v, const char* name);
// "list | None": exact list or None.
PyObject* arg_list_or_none(PyObject* v, const char* name);
// "dict": exact dict only. Returns the argument (borrowed).
PyObject* arg_dict(PyObject* v, const char* name);
// "int": an int as it is (a bool becomes 0 or 1), any other real number
// truncated toward zero; anything else is refused.
Ref arg_int(PyObject* v, const char* name);
// "float": conversion to a double, as a new float object.
Ref arg_float(PyObject* v);
// "bool": the truth value.
bool arg_bool(PyObject* v);

// Declared result types, enforced when an operation returns.
// "int": an int passes unchanged, another number is converted, None passes.
Ref result_int(Ref v);
// Exactly `type` (no subclass) or None.
Ref result_exact_or_none(Ref v, PyTypeObject* type);

}  // namespace zv
