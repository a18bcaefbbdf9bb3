// Layer 5 of the message array: the window of stored messages, converted.
#pragma once

#include "core/state.hpp"

namespace zv::conversation {

// Appends to `messages` the entries of `history` (what the store returned
// for the window), converted as the LLM takes them, every tool call paired
// with its result and every result with its call.
void append_recent(ModuleState& st, PyObject* messages, PyObject* history);

}  // namespace zv::conversation
