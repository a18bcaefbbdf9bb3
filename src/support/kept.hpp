// The kept struct: what a body keeps across its suspensions.
//
// The cyclic garbage collector cannot see the C++ locals of a suspended body,
// and a collaborator that keeps the coroutine (or the object it works on)
// would close a cycle through them that could never be collected. So every
// Python reference that a body still needs after a `co_await`, its arguments
// included, is a member of the body's kept struct, which the body takes by
// value: it lives in the body's C++ frame, where the promise finds it, and
// the body object that carries a suspended body visits it (body.cpp). C++
// locals that hold Python references end before the next `co_await` (a
// block, or a helper that returns only the awaitable); scalars may live
// anywhere.
//
// A kept struct holds only `Ref` members and names each of them once in
// `refs()`; make_coroutine refuses to compile when one is left out (the count
// differs from the struct's size), and a debug build checks that the names
// are distinct members. The arguments come first, in the parameters' order
// (they are also the locals of the operation's frame); the values the body
// sets later follow, initialised `{}` (null). The body takes the module
// state, its kept struct and any scalar arguments:
//
//     struct ClickColor {
//         Ref self, hex_color, tolerance, button, region;  // the arguments
//         Ref match{};                                     // what was found
//         auto refs() { return std::tie(self, hex_color, tolerance, button, region, match); }
//     };
//     Coro click_color(ModuleState& st, ClickColor f);
//     ...
//     return make_coroutine<click_color>(op, ClickColor{b(a[0]), b(a[1]), std::move(tolerance), ...});
#pragma once

#include "support/py.hpp"

#include <cassert>
#include <cstddef>
#include <tuple>
#include <utility>

namespace zv {

// How the body object visits a kept struct.
struct KeptOps {
    int (*traverse)(void* kept, visitproc visit, void* arg);
};

namespace detail {

template <class S>
int kept_traverse(void* kept, visitproc visit, void* arg) {
    int rc = 0;
    std::apply([&](auto&... r) { (void)(((r && (rc = visit(r.get(), arg)) != 0)) || ...); },
               static_cast<S*>(kept)->refs());
    return rc;
}

template <class S>
inline constexpr KeptOps kept_ops_of = {kept_traverse<S>};

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

}  // namespace detail

}  // namespace zv
