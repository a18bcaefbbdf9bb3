#include "support/stack.hpp"

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__APPLE__) || defined(__linux__)
#include <pthread.h>
#endif

namespace zv {

namespace {

// What is kept free for the code that runs after the check: the interpreter
// and the collaborators between two levels, the raising and the unwinding.
constexpr std::uintptr_t margin = 64 * 1024;

struct Bounds {
    bool looked = false;
    std::uintptr_t low = 0;   // lowest usable address
    std::uintptr_t high = 0;  // one past the highest
};

thread_local Bounds bounds;

void look_up(Bounds& b) noexcept {
#if defined(_WIN32)
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    b.low = std::uintptr_t(low);
    b.high = std::uintptr_t(high);
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    std::uintptr_t top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    b.high = top;
    b.low = top - pthread_get_stacksize_np(self);
#elif defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
            b.low = reinterpret_cast<std::uintptr_t>(addr);
            b.high = b.low + size;
        }
        pthread_attr_destroy(&attr);
    }
#endif
}

}  // namespace

bool stack_nearly_exhausted() noexcept {
    Bounds& b = bounds;
    if (!b.looked) {
        look_up(b);
        b.looked = true;
    }
    volatile char here = 0;
    std::uintptr_t at = reinterpret_cast<std::uintptr_t>(&here);
    // Stacks grow down on every platform the modules are built for. An
    // address outside the bounds (unknown bounds, a sanitizer's separate
    // stack for locals) tells nothing.
    if (at < b.low || at >= b.high) return false;
    return at - b.low < margin;
}

}  // namespace zv
