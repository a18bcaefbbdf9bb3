// An operation's body: its first step, run from the operation's coroutine,
// and the body object that carries a body on from its first suspension
// (body.cpp). Internal to the support layer: bodies are made and run
// through make_coroutine (coro.hpp).
#pragma once

#include "support/promise.hpp"

namespace zv {

struct OpObject;

// Runs `body`, an operation's body just made, to its end or to its first
// suspension: its result, or, when a collaborator suspended it, a new body
// object holding it, which the operation's coroutine awaits. Throws the
// body's exception.
Ref run_body(OpObject* op, Coro body);

// The type of body objects for `module` (support_exec makes it).
PyTypeObject* new_body_type(PyObject* module, PyObject* module_name);

}  // namespace zv
