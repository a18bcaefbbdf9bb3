// The interpreter frame of an operation, while tools watch.
//
// Tools that walk the interpreter's own stack (debuggers, profilers,
// sys.monitoring and sys.setprofile, coverage, faulthandler,
// traceback.extract_stack, tracemalloc, logging's record origin) see only
// frames the interpreter runs. An operation that starts while such a tool is
// attached (or in development mode, asyncio's debug mode, or with
// ZORVANE_FRAMES=1) therefore runs its steps inside a real frame: a
// generator whose code is the operation's (named and placed as its code
// object, see operation_code()) and which does nothing but
// `yield from driver`, where the driver is a small iterator that runs the
// coroutine's steps. Each send and throw goes into that generator; the
// interpreter then fires the events, keeps the frame on the stack while the
// body calls its collaborators, and adds the frame's entry to a traceback,
// exactly as for an `async def`. Without a tool, an operation runs without
// it and pays one test at its first step.
//
// The coroutine object stays what it is (type, repr, cr_await, close(), the
// never-awaited warning): the frame is private to it. close() and a thrown
// GeneratorExit run natively after the frame is let go, so that their
// outcome (a value returned, "ignored GeneratorExit") stays the coroutine's.
#pragma once

#include "support/coro_object.hpp"

namespace zv::detail {

// Whether an operation starting now runs in an interpreter frame.
bool frames_wanted(CoroObject* self);

// Gives `self`, claimed in state Created, its frame. False with an
// exception raised on failure.
bool start_frame(CoroObject* self);

// The steps (see send_step, throw_step) run through the frame.
PySendResult frame_send(CoroObject* self, State was, PyObject* arg, PyObject** out);
PySendResult frame_throw(CoroObject* self, State was, Ref exc, PyObject** out);

// Lets the frame go: the driver no longer reaches the coroutine, and a
// suspended generator is closed (`close`: its frame unwinds, running no step).
void drop_frame(CoroObject* self, bool close = true) noexcept;

int frame_traverse(CoroObject* self, visitproc visit, void* arg);

}  // namespace zv::detail

namespace zv {

// Support-level parts: the driver's type; once per module, the frames' code
// template and globals, and whether development mode or ZORVANE_FRAMES=1 give
// every operation its frame; the function whose generators are an
// operation's frames (made once per operation, at add_operation).
PyTypeObject* new_driver_type(PyObject* module, PyObject* module_name);
void frame_support_exec(SupportState* st);
PyObject* new_frame_function(PyObject* module, PyObject* code);

}  // namespace zv
