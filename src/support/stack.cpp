#include "support/stack.hpp"

#include "support/py.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

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

// The lowest usable address of each thread's stack, plus one (zero: not
// looked up yet), in the interpreter's thread-specific storage: a C++
// thread_local in a shared library would tie the module to the platform's
// dynamic loader. The key holds a machine address per OS thread, no Python
// object, so one key serves every interpreter of the process; interpreters
// with their own GIL may execute the modules at the same moment, so the key
// is created once under `key_state` (0 none, 1 being created, 2 ready).
// All zero, as Py_tss_NEEDS_INIT: that macro's `{0}` leaves a field to
// clang's missing-field-initializer warning.
Py_tss_t low_key{};
std::atomic<int> key_state{0};

// The lowest usable address of the current thread's stack; 0 when unknown.
std::uintptr_t look_up_low() noexcept {
#if defined(_WIN32)
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    return std::uintptr_t(low);
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    return reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self)) - pthread_get_stacksize_np(self);
#elif defined(__linux__)
    std::uintptr_t low = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0) low = reinterpret_cast<std::uintptr_t>(addr);
        pthread_attr_destroy(&attr);
    }
    return low;
#else
    return 0;
#endif
}

}  // namespace

int stack_guard_init() {
    for (;;) {
        int state = key_state.load(std::memory_order_acquire);
        if (state == 2) return 0;
        if (state == 0 && key_state.compare_exchange_strong(state, 1, std::memory_order_acq_rel)) {
            if (PyThread_tss_create(&low_key) != 0) {
                key_state.store(0, std::memory_order_release);
                PyErr_NoMemory();
                return -1;
            }
            key_state.store(2, std::memory_order_release);
            return 0;
        }
        std::this_thread::yield();  // another interpreter is creating it
    }
}

bool stack_nearly_exhausted() noexcept {
    if (key_state.load(std::memory_order_acquire) != 2) return false;
    std::uintptr_t stored = reinterpret_cast<std::uintptr_t>(PyThread_tss_get(&low_key));
    if (stored == 0) {
        stored = look_up_low() + 1;
        if (PyThread_tss_set(&low_key, reinterpret_cast<void*>(stored)) != 0) return false;
    }
    const std::uintptr_t low = stored - 1;
    volatile char here = 0;
    std::uintptr_t at = reinterpret_cast<std::uintptr_t>(&here);
    // Stacks grow down on every platform the modules are built for. Unknown
    // bounds (low 0) or an address below them (a sanitizer's separate stack
    // for locals) tell nothing.
    return low != 0 && at >= low && at - low < margin;
}

}  // namespace zv
