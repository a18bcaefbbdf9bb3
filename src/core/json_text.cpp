#include "core/json_text.hpp"

namespace zv::conversation {

Ref dumps_exact(PyObject*) { return Ref(); }

}  // namespace zv::conversation
