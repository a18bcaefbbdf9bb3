// Native coroutines: operation bodies are C++20 coroutines whose `co_await`
// delegates to a Python awaitable exactly like `await`/`yield from`, wrapped
// in one Python type that speaks the coroutine protocol (send, throw, close,
// __await__, am_send) so asyncio drives it like an `async def`.
//
// The support layer in files by concept:
//   promise.hpp/.cpp        the C++ frame: promise, co_await of a Python awaitable
//   coro.hpp/.cpp           the Python coroutine object that drives a frame (its steps)
//   coro_object.hpp         its layout and state, shared with coro_type.cpp
//   coro_type.cpp           its Python type: getters, methods, slots, support_exec
//   await_wrapper.hpp/.cpp  the iterator that coro.__await__() returns
//   operation.hpp/.cpp      the operation descriptors that create coroutines
#pragma once

#include "support/args.hpp"
#include "support/operation.hpp"
#include "support/promise.hpp"
#include "support/py.hpp"

#include <cassert>
#include <cstddef>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

namespace zv {

// What the support layer keeps in each module's state; every module state
// starts with it.
struct SupportState {
    PyTypeObject* coroutine_type = nullptr;
    PyTypeObject* operation_type = nullptr;
    PyTypeObject* await_type = nullptr;  // what __await__() returns
    PyObject* coroutine_mark = nullptr;  // inspect's marker for coroutine functions
    PyObject* module_name = nullptr;
    PyTypeObject* driver_type = nullptr;  // runs an operation's steps from its frame (pyframe.hpp)
    PyObject* frame_template = nullptr;   // the code those frames rename (pyframe.cpp)
    PyObject* frame_globals = nullptr;    // the globals of those frames
    bool frames_always = false;           // development mode or ZORVANE_FRAMES=1
};

// The support layer's part of `module`'s state (each module's state starts with it).
inline SupportState* support_state(PyObject* module) {
    return static_cast<SupportState*>(PyModule_GetState(module));
}

// Creates the support types (coroutine, operation, await wrapper) for
// `module` and fills `state`.
int support_exec(PyObject* module, SupportState* state);
int support_traverse(SupportState* state, visitproc visit, void* arg);
void support_clear(SupportState* state);

// ---------------------------------------------------------------------------
// Frame state: what a body keeps across its suspensions.
//
// The cyclic garbage collector cannot see the C++ locals of a suspended body,
// and a collaborator that keeps the coroutine (or the object it works on)
// would close a cycle through them that could never be collected. So every
// Python reference that a body still needs after a `co_await`, its arguments
// included, is a member of the body's frame-state struct. make_coroutine
// allocates that struct inside the coroutine object; the coroutine object's
// traverse visits it, and it is released with the frame (when the body ends,
// or by the collector's clear). C++ locals that hold Python references end
// before the next `co_await` (a block, or a helper that returns only the
// awaitable); scalars may live anywhere.
//
// A frame-state struct holds only `Ref` members and names each of them once
// in `refs()`; make_coroutine refuses to compile when one is left out (the
// count differs from the struct's size), and a debug build checks that the
// names are distinct members. The
// arguments come first; the values the body sets later follow, initialised
// `{}` (null). The body takes the module state, a reference to its frame
// state and any scalar arguments:
//
//     struct ClickColor {
//         Ref self, hex_color, tolerance, button, region;  // the arguments
//         Ref match{};                                     // what was found
//         auto refs() { return std::tie(self, hex_color, tolerance, button, region, match); }
//     };
//     Coro click_color(State& st, ClickColor& f);
//     ...
//     return make_coroutine<click_color>(op, ClickColor{b(a[0]), b(a[1]), std::move(tolerance), ...});

namespace detail {

// How the coroutine object visits and destroys a frame state it holds.
struct KeptOps {
    int (*traverse)(void* kept, visitproc visit, void* arg);
    void (*destroy)(void* kept) noexcept;
    PyObject* (*ref)(void* kept, std::size_t i) noexcept;  // the i-th of refs(), null past the end
};

template <class S>
int kept_traverse(void* kept, visitproc visit, void* arg) {
    int rc = 0;
    std::apply([&](auto&... r) { (void)(((r && (rc = visit(r.get(), arg)) != 0)) || ...); },
               static_cast<S*>(kept)->refs());
    return rc;
}

template <class S>
void kept_destroy(void* kept) noexcept {
    static_cast<S*>(kept)->~S();
}

template <class S>
PyObject* kept_ref(void* kept, std::size_t i) noexcept {
    PyObject* found = nullptr;
    std::size_t k = 0;
    std::apply([&](auto&... r) { ((k++ == i ? (void)(found = r.get()) : (void)0), ...); },
               static_cast<S*>(kept)->refs());
    return found;
}

template <class S>
inline constexpr KeptOps kept_ops = {kept_traverse<S>, kept_destroy<S>, kept_ref<S>};

// Whether refs() names as many Refs as S holds, and S holds nothing else.
template <class S>
constexpr bool names_every_ref() {
    using List = decltype(std::declval<S&>().refs());
    return sizeof(S) == std::tuple_size_v<List> * sizeof(Ref);
}

// Debug builds: refs() names distinct members of `s`.
template <class S>
void check_refs(S& s) {
    std::apply(
        [&](auto&... r) {
            const void* p[] = {&r...};
            [[maybe_unused]] const char* begin = reinterpret_cast<const char*>(&s);  // read by assert() only
            for (std::size_t i = 0; i < sizeof...(r); ++i) {
                assert(p[i] >= begin && p[i] < begin + sizeof(S));
                for (std::size_t j = 0; j < i; ++j) assert(p[i] != p[j]);
            }
        },
        s.refs());
}

// A new, untracked coroutine object for `op` with room for a frame state of
// `size` bytes aligned to `align`; `*kept` receives the room.
PyObject* new_coroutine_object(OpObject* op, std::size_t size, std::size_t align, void** kept);
// The coroutine object whose frame state, aligned to `align`, is at `kept`.
PyObject* coroutine_of(void* kept, std::size_t align) noexcept;
void add_traceback_entry(PyObject* coro, PyObject* exc) noexcept;
// Hands the coroutine object its frame state, constructed in that room, and
// the body's frame, and starts tracking it.
void start_coroutine(PyObject* coro, void* kept, const KeptOps* ops, Coro body) noexcept;

}  // namespace detail

namespace detail {

// The module state and frame state types of a body `Coro (State&, S&, scalars...)`.
template <class F>
struct BodyOf;
template <class St, class S, class... P>
struct BodyOf<Coro (*)(St&, S&, P...)> {
    using ModuleState = St;
    using Kept = S;
};

}  // namespace detail

// A new Python coroutine object named after `op`, running
// `Body(module state, frame state, scalars...)` once awaited.
template <auto Body, class S, class... A>
PyObject* make_coroutine(OpObject* op, S&& kept, A&&... scalars) {
    using St = typename detail::BodyOf<decltype(Body)>::ModuleState;
    static_assert(std::is_same_v<S, typename detail::BodyOf<decltype(Body)>::Kept>,
                  "the body takes this frame state");
    static_assert(detail::names_every_ref<S>(),
                  "a frame state holds only Refs, and refs() names every one of them");
    void* room = nullptr;
    Ref coro = Ref::steal(detail::new_coroutine_object(op, sizeof(S), alignof(S), &room));
    S* state = new (room) S(std::move(kept));
#ifndef NDEBUG
    detail::check_refs(*state);
#endif
    Coro frame = [&] {
        try {
            return Body(state_of<St>(op), *state, std::forward<A>(scalars)...);
        } catch (...) {
            state->~S();
            throw;
        }
    }();
    detail::start_coroutine(coro.get(), state, &detail::kept_ops<S>, std::move(frame));
    return coro.release();
}

// Puts an entry for the operation running with frame state `kept`, at the
// step it is in, at the head of the traceback of `exc`, an exception the body
// caught and reports without raising it (as a Python function catching it
// would appear there). An exception that leaves the body gets its entry
// without this. Best effort: a failure leaves the traceback as it was.
template <class S>
void add_traceback_entry(S& kept, PyObject* exc) noexcept {
    detail::add_traceback_entry(detail::coroutine_of(&kept, alignof(S)), exc);
}

// ---------------------------------------------------------------------------
// Collaborator calls.
//
// A body awaits a collaborator call as one expression, `co_await call(...)`,
// where `call` is a plain function that looks the collaborator up, reads the
// call's arguments in the order the Python code would, calls it and returns
// only the awaitable. The collaborator and those arguments never sit in a
// C++ local of the suspended body, where the garbage collector could not see
// them; a body passes values from its frame state.

// `owner.<attr>.<name>(args...)`, the collaborator looked up at the call.
template <class... A>
Ref collaborator_call(PyObject* owner, PyObject* attr, PyObject* name, A&&... args) {
    Ref collaborator = getattr(owner, attr);
    return call_method(collaborator.get(), name, std::forward<A>(args)...);
}

// The same with keyword arguments: the last len(kwnames) are their values.
template <class... A>
Ref collaborator_call_kw(PyObject* owner, PyObject* attr, PyObject* name, PyObject* kwnames, A&&... args) {
    Ref collaborator = getattr(owner, attr);
    return call_method_kw(collaborator.get(), name, kwnames, std::forward<A>(args)...);
}

}  // namespace zv
