// Operation descriptors: the class attributes through which a body is
// called. An operation binds and checks its arguments and returns a new
// coroutine object (or, for plain operations, a value); it presents itself
// as a coroutine function to `inspect`.
#pragma once

#include "support/args.hpp"
#include "support/module.hpp"
#include "support/py.hpp"

#include <source_location>

namespace zv {

struct OpObject;

using OpImpl = PyObject* (*)(OpObject* op, PyObject** args);

// Where an operation's body is defined, for the code object that names the
// operation to tools (tracebacks, cr_code, asyncio's task reprs). Written on
// the line just above the body:
//
//     constexpr SourceLine click_text_at = next_line();
//     Coro click_text(ModuleState& st, ClickText& f, bool dbl) {
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
    // members, in order, and the locals its frames show.
    ScalarMask scalars = 0;
};

struct OpObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const OpDef* def;
    PyObject* module;
    PyObject* name;
    PyObject* qualname;
    Signature* sig;
    PyObject* code;        // names the operation: see operation_code()
    PyObject* line_codes;  // {line: code}, made when a frame at that line is first asked for
    PyObject* frame_fn;    // makes the generator an operation runs in while tools watch (pyframe.hpp)
    bool frames_always;    // ...and whether it always does (development mode, ZORVANE_FRAMES=1)
};

// Adds an operation named def->name to `type`'s namespace.
int add_operation(PyObject* module, PyTypeObject* type, const OpDef* def);

// `code.replace(**changes)`, the keyword arguments given as a dict.
Ref code_replace(PyObject* code, PyObject* changes);

// The operation's code object, made once at add_operation (borrowed: it
// lives as long as the operation): co_name the operation's name, co_qualname
// "Type.name", co_filename the body's source file relative to the project
// ("src/core/context.cpp"), co_firstlineno the body's line.
PyObject* operation_code(OpObject* op);

// The same code object at `line` of the body (co_firstlineno = line), for a
// frame that shows where a suspended or failing operation is; made when
// first asked for and kept (borrowed). Null with an exception raised.
PyObject* operation_code_at(OpObject* op, unsigned line);

// make_coroutine's way to the module state (support/coro.hpp), until it
// calls module_state<M>(op->module) (support/module.hpp) itself.
template <class M>
M& state_of(OpObject* op) noexcept {
    return module_state<M>(op->module);
}

// The type of operation descriptors for `module` (support_exec creates it).
PyTypeObject* new_operation_type(PyObject* module, PyObject* module_name);

}  // namespace zv
