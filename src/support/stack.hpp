// How much of the current thread's C stack is left.
#pragma once

namespace zv {

// Prepares the per-thread record of the stack's bounds; called when a module
// is executed. Returns -1 with an exception set on failure.
int stack_guard_init();

// True when less than a safe margin of the current thread's C stack is left.
// Native coroutines that await each other (a collaborator calling back into
// an operation) nest C frames at every level, where `async def` code nests
// none; before the stack runs out they raise RecursionError, as Python code
// would at its recursion limit. False when the platform does not tell the
// stack's bounds.
bool stack_nearly_exhausted() noexcept;

}  // namespace zv
