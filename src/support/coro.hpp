// What operation bodies use: make_coroutine and add_traceback_entry, and how
// collaborator calls are written. An operation is a real coroutine: calling it makes the
// body (a C++20 coroutine whose `co_await` delegates to a Python awaitable
// like `await`) and a coroutine object that CPython makes from the
// operation's own code object, whose frame runs the body (coro.cpp).
//
// The support layer in files by concept:
//   promise.hpp/.cpp    the C++ coroutine type of a body and its promise: co_await of a Python awaitable
//   body.hpp/.cpp       the body object: runs a body, and carries it on from a suspension (the steps)
//   kept.hpp            the kept struct: the references a body keeps across its suspensions
//   coro.hpp/.cpp       the operation's coroutine: its code object and function, make_coroutine
//   operation.hpp/.cpp  the operation descriptors whose calls make the coroutines
//   support.hpp/.cpp    the support layer's part of a module's state
//   attr.hpp/.cpp       reads of the modules' own instance attributes
#pragma once

#include "support/args.hpp"
#include "support/body.hpp"
#include "support/kept.hpp"
#include "support/module.hpp"
#include "support/operation.hpp"
#include "support/promise.hpp"
#include "support/py.hpp"
#include "support/support.hpp"

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

namespace zv {

// The globals of `module`'s operation functions, into `st` (support_exec).
void coroutine_exec(PyObject* module, SupportState* st);

namespace detail {

// A scalar argument as the coroutine's frame holds it, and back.
inline PyObject* boxed(bool v) noexcept { return v ? Py_True : Py_False; }
template <class P>
P unboxed(PyObject* o) noexcept;
template <>
inline bool unboxed<bool>(PyObject* o) noexcept {
    return o == Py_True;
}

// The parts of a body `Coro (ModuleState&, Kept, scalars...)`, and how it
// starts when its coroutine's frame calls the operation's `run` with the
// kept struct's arguments and the scalars (coro.cpp): the kept struct is
// made again from them.
template <class F>
struct BodyOf;
template <class St, class S, class... P>
struct BodyOf<Coro (*)(St&, S, P...)> {
    using ModuleState = St;
    using Kept = S;
    static constexpr std::size_t scalars = sizeof...(P);

    template <auto Body>
    static Ref run(OpObject* op, PyObject* const* args, std::size_t nargs) {
        return start<Body>(op, args, nargs - sizeof...(P), std::index_sequence_for<P...>{});
    }

    template <auto Body, std::size_t... I>
    static Ref start(OpObject* op, PyObject* const* args, std::size_t nkept, std::index_sequence<I...>) {
        S kept{};
        std::size_t i = 0;
        std::apply([&](auto&... r) { ((i < nkept ? (void)(r = Ref::borrow(args[i])) : (void)0, ++i), ...); },
                   kept.refs());
        return run_body(op, Body(module_state<St>(op->module), std::move(kept), unboxed<P>(args[nkept + I])...));
    }
};

// The operation's coroutine, made by CPython from the operation's function
// with `args` (its `run`, the kept struct's arguments, the scalars).
PyObject* new_operation_coroutine(OpObject* op, PyObject* const* args, std::size_t nargs);
void add_traceback_entry(const SupportState& support, PyObject* exc) noexcept;

}  // namespace detail

// A new coroutine object of `op`, running `Body(module state, kept struct,
// scalars...)` once awaited. The coroutine's frame holds the arguments
// (`kept`'s first members) and the scalars; the body and its kept struct
// are made when it first runs.
template <auto Body, class S, class... A>
PyObject* make_coroutine(OpObject* op, S&& kept, A&&... scalars) {
    using B = detail::BodyOf<decltype(Body)>;
    static_assert(std::is_same_v<std::remove_cvref_t<S>, typename B::Kept>, "the body takes this kept struct");
    static_assert(detail::names_every_ref<typename B::Kept>(),
                  "a kept struct holds only Refs, and refs() names every one of them");
    static_assert(sizeof...(A) == B::scalars, "the body takes these scalars");
#ifndef NDEBUG
    detail::check_refs(kept);
#endif
    // The same value at every call: read first, so that threads making this
    // operation's coroutines at once do not keep writing the record's line.
    if (!op->runner.load(std::memory_order_relaxed))
        op->runner.store(&B::template run<Body>, std::memory_order_relaxed);
    PyObject* args[1 + max_bound];
    std::size_t n = 0;
    args[n++] = op->run;
    std::apply([&](auto&... r) { ((n <= op->nkept ? (void)(args[n++] = r.get()) : (void)0), ...); }, kept.refs());
    ((args[n++] = detail::boxed(scalars)), ...);
    return detail::new_operation_coroutine(op, args, n);
}

// Puts an entry for the operation whose body runs now at the head of the
// traceback of `exc`, an exception the body caught and reports without
// raising it (as a Python function catching it would appear there): the
// operation's frame, when it is the one running (an exception thrown into
// the coroutine reaches the body without it). An exception that leaves the
// body gets its entry from that frame without this. Best effort: a failure
// leaves the traceback as it was.
template <class St>
void add_traceback_entry(St& st, PyObject* exc) noexcept {
    detail::add_traceback_entry(st.support, exc);
}

// ---------------------------------------------------------------------------
// Collaborator calls.
//
// A body awaits a collaborator call as one expression, `co_await call(...)`,
// where `call` is a plain function that looks the collaborator up, reads the
// call's arguments in the order the Python code would, calls it and returns
// only the awaitable. The collaborator and those arguments never sit in a
// C++ local of the suspended body, where the garbage collector could not see
// them; a body passes values from its kept struct. A module's own attribute
// reads (`self._memory`) go through instance_attr (attr.hpp).

}  // namespace zv
