// Operation descriptors: the class attributes through which a body is
// called. An operation binds and checks its arguments and returns a new
// coroutine object (or, for plain operations, a value); it presents itself
// as a coroutine function to `inspect`.
#pragma once

#include "support/args.hpp"
#include "support/module.hpp"
#include "support/py.hpp"

#include <atomic>
#include <cstddef>
#include <source_location>

namespace zv {

struct OpObject;

using OpImpl = PyObject* (*)(OpObject* op, PyObject** args);

// Where an operation's body is defined, for the code object that names the
// operation to tools (tracebacks, cr_code, asyncio's task reprs). Written on
// the line just above the body:
//
//     constexpr SourceLine click_text_at = next_line();
//     Coro click_text(ModuleState& st, ClickText f, bool dbl) {
struct SourceLine {
    const char* file;  // as the compiler names it; made relative to the project at init
    unsigned line;
};
consteval SourceLine next_line(std::source_location here = std::source_location::current()) {
    return {here.file_name(), here.line() + 1};
}

struct OpDef {
    const char* name;
    const char* doc;
    const ParamDef* params;  // what __text_signature__ shows, rendered (Signature::text_signature)
    int nparams;
    OpImpl impl;
    SourceLine body;
    // Parameters the body takes as scalar arguments instead of in its kept
    // struct (bit i: parameter i); the others are the kept struct's first
    // members, in order. All are the locals of the operation's frame.
    ScalarMask scalars = 0;
};

inline bool is_scalar(const OpDef& def, int i) { return i < scalar_mask_bits && (def.scalars & (1u << i)) != 0; }

// Starts the body of an operation from what its coroutine's frame holds
// (make_coroutine sets it: coro.hpp).
using OpRunner = Ref (*)(OpObject* op, PyObject* const* args, std::size_t nargs);

struct OpObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const OpDef* def;
    PyObject* module;
    PyObject* name;
    PyObject* qualname;
    Signature* sig;
    PyObject* code;      // the code object of the operation's coroutines (coro.cpp)...
    PyObject* function;  // ...the function that makes them...
    PyObject* run;       // ...and the callable their frames start the body with
    std::atomic<OpRunner> runner;
    std::size_t nkept;  // the parameters that are the kept struct's arguments (not scalars)
};

// Adds an operation named def->name to `type`'s namespace.
int add_operation(PyObject* module, PyTypeObject* type, const OpDef* def);

// The type of operation descriptors for `module` (support_exec creates it).
PyTypeObject* new_operation_type(PyObject* module, PyObject* module_name);

// Gives `op` the code object and function of its coroutines (coro.cpp).
void add_operation_function(OpObject* op);

}  // namespace zv
