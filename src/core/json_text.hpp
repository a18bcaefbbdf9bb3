// A native JSON encoder for tool-call arguments.
#pragma once

#include "support/py.hpp"

namespace zv::conversation {

// The text json.dumps(value) gives with default settings, for values built
// only from exact dict (with exact str keys), list, tuple, str, int, float,
// bool and None, without cycles and not nested too deeply. Returns a null
// Ref, with no exception set, for anything else, so that the caller hands
// the value to json.dumps itself.
Ref dumps_exact(PyObject* value);

}  // namespace zv::conversation
