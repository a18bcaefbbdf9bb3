// Operation descriptors: the class attributes through which a body is
// called. An operation binds and checks its arguments and returns a new
// coroutine object (or, for plain operations, a value); it presents itself
// as a coroutine function to `inspect`.
#pragma once

#include "support/args.hpp"
#include "support/py.hpp"

namespace zv {

struct OpObject;

using OpImpl = PyObject* (*)(OpObject* op, PyObject** args);

struct OpDef {
    const char* name;
    const char* text_signature;  // "(self, title=None)"
    const char* doc;
    const ParamDef* params;
    int nparams;
    OpImpl impl;
};

struct OpObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const OpDef* def;
    PyObject* module;
    PyObject* name;
    PyObject* qualname;
    Signature* sig;
};

// Adds an operation named def->name to `type`'s namespace.
int add_operation(PyObject* module, PyTypeObject* type, const OpDef* def);

// The module state of the operation's module.
template <class State>
State& state_of(OpObject* op) {
    return *static_cast<State*>(PyModule_GetState(op->module));
}

// The type of operation descriptors for `module` (support_exec creates it).
PyTypeObject* new_operation_type(PyObject* module, PyObject* module_name);

}  // namespace zv
