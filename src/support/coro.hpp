// What operation bodies use: the kept struct, make_coroutine and the
// collaborator calls. An operation is a real coroutine: calling it makes the
// body (a C++20 coroutine whose `co_await` delegates to a Python awaitable
// like `await`) and a coroutine object that CPython makes from the
// operation's own code object, whose frame runs the body (coro.cpp).
//
// The support layer in files by concept:
//   promise.hpp/.cpp    the C++ coroutine type of a body and its promise: co_await of a Python awaitable
//   body.hpp/.cpp       the body object: runs a body, and carries it on from a suspension (the steps)
//   coro.hpp/.cpp       the operation's coroutine: its code object and function, make_coroutine
//   operation.hpp/.cpp  the operation descriptors whose calls make the coroutines
//   support.hpp/.cpp    the support layer's part of a module's state
#pragma once

#include "support/args.hpp"
#include "support/body.hpp"
#include "support/operation.hpp"
#include "support/promise.hpp"
#include "support/py.hpp"
#include "support/support.hpp"

#include <cassert>
#include <cstddef>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

namespace zv {

// The globals of `module`'s operation functions, into `st` (support_exec).
void coroutine_exec(PyObject* module, SupportState* st);

// ---------------------------------------------------------------------------
// The kept struct: what a body keeps across its suspensions.
//
// The cyclic garbage collector cannot see the C++ locals of a suspended body,
// and a collaborator that keeps the coroutine (or the object it works on)
// would close a cycle through them that could never be collected. So every
// Python reference that a body still needs after a `co_await`, its arguments
// included, is a member of the body's kept struct. make_coroutine allocates
// that struct inside the body object; the body object's traverse visits it,
// and it is released with the body (when the body ends, or by the
// collector's clear). C++ locals that hold Python references end
// before the next `co_await` (a block, or a helper that returns only the
// awaitable); scalars may live anywhere.
//
// A kept struct holds only `Ref` members and names each of them once
// in `refs()`; make_coroutine refuses to compile when one is left out (the
// count differs from the struct's size), and a debug build checks that the
// names are distinct members. The
// arguments come first; the values the body sets later follow, initialised
// `{}` (null); the arguments are also the locals of the operation's frame.
// The body takes the module state, a reference to its kept struct and any
// scalar arguments:
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

// The operation's coroutine, made by CPython from the operation's function,
// with the body object and the first `nargs` of `args` (its arguments, the
// locals of its frame).
PyObject* new_operation_coroutine(OpObject* op, PyObject* body, PyObject* const* args, std::size_t nargs);
void add_traceback_entry(PyObject* body, PyObject* exc) noexcept;


// The module state and frame state types of a body `Coro (State&, S&, scalars...)`.
template <class F>
struct BodyOf;
template <class St, class S, class... P>
struct BodyOf<Coro (*)(St&, S&, P...)> {
    using ModuleState = St;
    using Kept = S;
};

}  // namespace detail

// A new coroutine object of `op`, running `Body(module state, kept struct,
// scalars...)` once awaited.
template <auto Body, class S, class... A>
PyObject* make_coroutine(OpObject* op, S&& kept, A&&... scalars) {
    using St = typename detail::BodyOf<decltype(Body)>::ModuleState;
    static_assert(std::is_same_v<S, typename detail::BodyOf<decltype(Body)>::Kept>, "the body takes this kept struct");
    static_assert(detail::names_every_ref<S>(), "a kept struct holds only Refs, and refs() names every one of them");
    void* room = nullptr;
    Ref body = Ref::steal(new_body_object(op, sizeof(S), alignof(S), &room));
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
    start_body_object(body.get(), state, &detail::kept_ops<S>, std::move(frame));
    return std::apply(
        [&](auto&... r) {
            PyObject* args[] = {r.get()...};
            return detail::new_operation_coroutine(op, body.get(), args, sizeof...(r));
        },
        state->refs());
}

// Puts an entry for the operation running with kept struct `kept` at the
// head of the traceback of `exc`, an exception the body caught and reports
// without raising it (as a Python function catching it would appear there):
// the operation's frame, when it is the one running. An exception that
// leaves the body gets its entry from that frame without this. Best effort:
// a failure leaves the traceback as it was.
template <class S>
void add_traceback_entry(S& kept, PyObject* exc) noexcept {
    detail::add_traceback_entry(body_object_of(&kept, alignof(S)), exc);
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
