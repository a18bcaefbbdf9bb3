// The C++ coroutine type of an operation's body and its promise: `co_await`
// of a Python awaitable delegates to it exactly like `await`/`yield from`.
// The Python object that drives a body is in body.hpp.
#pragma once

#include "support/kept.hpp"
#include "support/py.hpp"

#include <coroutine>

namespace zv {

class Coro;
struct SupportState;

namespace detail {

struct Promise {
    Ref delegate;   // iterator of the awaitable the body is suspended on
    Ref yielded;    // what that iterator yielded, for our caller
    Ref value;      // what the pending co_await resumes with...
    Ref error;      // ...or the exception it raises
    Ref result;     // the body's return value
    Ref exception;  // the exception that ended the body
    // The module's names (`cr_await`, ...) for the awaiter's attribute reads;
    // set when the body starts.
    const SupportState* support = nullptr;
    // The body's kept struct: its by-value parameter, in this frame.
    void* kept;
    const KeptOps* kept_ops;

    // A body `Coro (ModuleState&, Kept, scalars...)`: the promise is made with
    // the frame's copies of the parameters.
    template <class St, class S, class... P>
    Promise(St&, S& k, P&...) noexcept : kept(&k), kept_ops(&kept_ops_of<S>) {}

    // Bodies come from the interpreter's small-object allocator, which is
    // faster than the C++ heap for frames of this size; a failure surfaces
    // as std::bad_alloc at the call, like any C++ allocation.
    static void* operator new(std::size_t size);
    static void operator delete(void* frame, std::size_t) noexcept;

    Coro get_return_object() noexcept;
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(Ref v) noexcept { result = std::move(v); }
    void unhandled_exception() noexcept;

    struct Awaiter {
        Promise& promise;
        Ref awaitable;
        bool await_ready();
        void await_suspend(std::coroutine_handle<>) noexcept {}
        Ref await_resume();
    };
    Awaiter await_transform(Ref awaitable) noexcept { return Awaiter{*this, std::move(awaitable)}; }

    // The kept struct and the references the promise holds.
    int traverse(visitproc visit, void* arg);
};

}  // namespace detail

// The return type of every operation body.
class Coro {
public:
    using promise_type = detail::Promise;
    using handle = std::coroutine_handle<promise_type>;

    explicit Coro(handle h) noexcept : h_(h) {}
    Coro(Coro&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    Coro(const Coro&) = delete;
    Coro& operator=(const Coro&) = delete;
    ~Coro() {
        if (h_) h_.destroy();
    }
    handle release() noexcept {
        handle h = h_;
        h_ = nullptr;
        return h;
    }

private:
    handle h_;
};

}  // namespace zv
