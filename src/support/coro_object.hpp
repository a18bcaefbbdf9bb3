// The coroutine object's layout and its state, shared by the files of the
// coroutine layer: the step machinery (coro.cpp) and the Python-facing type
// (coro_type.cpp). Internal to the support layer.
#pragma once

#include "support/coro.hpp"

#include <atomic>
#include <cstddef>

namespace zv::detail {

// A coroutine object's life. Only the thread that moves it from Created or
// Suspended to Running (a compare-and-swap: see claim()) touches its C++
// frame and promise until it publishes the next state with release(), after
// its last touch of them. With the GIL this costs two uncontended atomic
// operations per step; without it, a second thread that sends, throws or
// closes concurrently is refused instead of resuming the same frame.
enum class State : unsigned char { Created, Suspended, Running, Finished };

// The body's frame state lives in the object's variable part, `kept`
// pointing at it while it is alive.
struct CoroObject {
    PyObject_VAR_HEAD
    Coro::handle frame;
    OpObject* op;
    PyObject* weakrefs;
    PyObject* origin;  // cr_origin: where it was created, when tracked
    void* kept;
    const detail::KeptOps* kept_ops;
    std::atomic<PyThreadState*> runner;  // the thread running a step, while Running
    std::atomic<State> state;
    // What tools see (coro_frame.cpp), made only when one asks: cr_frame as
    // last made, the step line it shows, and its locals (the arguments),
    // emptied when the coroutine finishes.
    PyObject* tool_frame;
    PyObject* tool_locals;
    unsigned tool_frame_line;
    // The interpreter frame an operation runs in while tools watch (see
    // pyframe.hpp): the generator whose frame it is, and the iterator it
    // yields from, which runs the steps. Null when the operation runs without.
    PyObject* live;
    PyObject* driver;
    bool via_frame;  // a step runs under that frame: release() only notes the next state...
    State next;      // ...which the frame's driver publishes once the frame has stopped
};

inline CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

// Where the frame state starts in the object's variable part: after the fixed
// part, rounded up to the state's alignment.
constexpr std::size_t kept_offset(std::size_t align) { return (sizeof(CoroObject) + align - 1) / align * align; }

inline State state_of(CoroObject* self) { return self->state.load(std::memory_order_acquire); }

inline bool claimed(State was) { return was == State::Created || was == State::Suspended; }

// Moves a created or suspended coroutine to Running by compare-and-swap and
// returns the state it was in; a running or finished one is left as it is
// and its state returned. The holder may touch the frame until release().
inline State hold(CoroObject* self) {
    State was = state_of(self);
    while (claimed(was)) {
        if (self->state.compare_exchange_weak(was, State::Running, std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
            self->runner.store(PyThreadState_Get(), std::memory_order_relaxed);
            break;
        }
    }
    return was;
}

// Takes the coroutine for a step: hold(), with the error Python's coroutines
// raise when it is running or finished.
inline State claim(CoroObject* self) {
    State was = hold(self);
    if (was == State::Running) PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    if (was == State::Finished) PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return was;
}

// Ends a claim: publishes `next` after the claimant's last touch of the frame.
inline void release(CoroObject* self, State next) {
    if (self->via_frame) {
        self->next = next;
        return;
    }
    self->runner.store(nullptr, std::memory_order_relaxed);
    self->state.store(next, std::memory_order_release);
}

// Whether the calling thread is the one running a step of the coroutine (a
// collaborator looking at the coroutine that awaits it).
inline bool running_here(CoroObject* self) {
    return state_of(self) == State::Running &&
           self->runner.load(std::memory_order_relaxed) == PyThreadState_Get();
}


// Destroys the body's frame, then the frame state it worked on.
void destroy_frame(CoroObject* self);

// Frames for tools (coro_frame.cpp).
// cr_frame: a frame at the step the coroutine is in while it can still run,
// None once it has finished.
PyObject* coro_frame(CoroObject* self);
// The line of the step the claimant's body is in; 0 for the body's own line.
unsigned step_line(CoroObject* self) noexcept;
// Puts an entry for the operation at `line` at the head of exc's traceback.
void add_entry(CoroObject* self, PyObject* exc, unsigned line) noexcept;
// Ends what tools were given: cr_frame's locals are emptied, so that a frame
// kept by a tool does not keep the arguments of a finished operation alive.
void drop_tool_frame(CoroObject* self) noexcept;
int traverse_tool_frame(CoroObject* self, visitproc visit, void* arg);

// A step that sends `arg` in (am_send, and the protocol methods).
PySendResult coro_send(PyObject* obj, PyObject* arg, PyObject** out);

// The steps of a claimed coroutine that was in state `was`: send `arg` in, or
// raise `exc` at its suspension point. Each ends by publishing the next state
// (release()).
PySendResult send_step(CoroObject* self, State was, PyObject* arg, PyObject** out);
PySendResult throw_step(CoroObject* self, State was, Ref exc, PyObject** out);

}  // namespace zv::detail
