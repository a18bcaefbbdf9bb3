// The body object: an operation's C++ body (a `Coro`) and the references it
// keeps across its suspensions, as one Python object. The operation's
// coroutine calls it once to run the body; when a collaborator suspends, the
// coroutine awaits it, and it carries the body on from there (body.cpp).
// Internal to the support layer: bodies are made through make_coroutine
// (coro.hpp).
#pragma once

#include "support/promise.hpp"

#include <cstddef>

namespace zv {

struct OpObject;

// How the body object visits and destroys the kept struct it holds (the
// `Ref`s a body keeps across its suspensions: coro.hpp), and reads its i-th
// reference (null past the end).
struct KeptOps {
    int (*traverse)(void* kept, visitproc visit, void* arg);
    void (*destroy)(void* kept) noexcept;
    PyObject* (*ref)(void* kept, std::size_t i) noexcept;
};

// A new, untracked body object for `op` with room for a kept struct of
// `size` bytes aligned to `align`; `*kept` receives the room.
PyObject* new_body_object(OpObject* op, std::size_t size, std::size_t align, void** kept);

// Hands the body object its kept struct, constructed in that room, and the
// C++ body, and starts tracking it.
void start_body_object(PyObject* obj, void* kept, const KeptOps* ops, Coro body) noexcept;

// The body object whose kept struct, aligned to `align`, is at `kept`.
PyObject* body_object_of(void* kept, std::size_t align) noexcept;

// The operation a body object runs (borrowed).
OpObject* body_operation(PyObject* obj) noexcept;

// The type of body objects for `module` (support_exec makes it).
PyTypeObject* new_body_type(PyObject* module, PyObject* module_name);

}  // namespace zv
