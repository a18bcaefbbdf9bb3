// How a native coroutine shows itself to tools: the frames behind cr_frame and
// the traceback entries of the exceptions that leave an operation (or that a
// body reports), each naming the operation, its source file and the line of
// the step it is in, with the operation's arguments as its locals.
//
// Everything here is made only when asked for: a frame when cr_frame is read
// or an exception leaves the body, a code object per line once per operation
// (operation_code_at). A step only records which co_await it reached
// (Promise::at). Frames come from PyFrame_New and the code objects from
// PyCode_NewEmpty and code.replace, so no interpreter internals are touched.
#include "support/coro_object.hpp"

#include <frameobject.h>

#include <cstring>

namespace zv::detail {

namespace {

// The operation's arguments by name: the frame state's first members, except
// the parameters the body takes as scalars.
Ref argument_locals(CoroObject* self) {
    Ref locals = new_dict();
    if (!self->kept) return locals;
    const OpDef* def = self->op->def;
    std::size_t k = 0;
    for (int i = 0; i < def->nparams; ++i) {
        if (i < 32 && (def->scalars & (1u << i))) continue;
        PyObject* value = self->kept_ops->ref(self->kept, k++);
        if (!value) break;
        dict_set(locals.get(), interned(def->params[i].name).get(), value);
    }
    return locals;
}

Ref new_frame(CoroObject* self, unsigned line, PyObject* locals) {
    PyObject* code = operation_code_at(self->op, line);
    if (!code) throw_error();
    PyObject* globals = PyModule_GetDict(self->op->module);
    return own(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, locals)));
}

// cr_frame for the claimant or a reader holding the coroutine still: the
// frame made for this step, or a new one.
PyObject* claimant_frame(CoroObject* self) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        unsigned line = step_line(self);
        if (self->tool_frame && self->tool_frame_line == line) return Py_NewRef(self->tool_frame);
        if (!self->tool_locals) self->tool_locals = argument_locals(self).release();
        Ref frame = new_frame(self, line, self->tool_locals);
        Ref previous = Ref::steal(self->tool_frame);
        self->tool_frame = Py_NewRef(frame.get());
        self->tool_frame_line = line;
        return frame.release();
    });
}

}  // namespace

unsigned step_line(CoroObject* self) noexcept {
    if (!self->frame) return 0;
    const std::source_location& at = self->frame.promise().at;
    // A line the compiler gave for another file (not the co_await's) would
    // mislead: the body's own line is shown instead.
    const char* body_file = self->op->def->body.file;
    if (at.line() == 0 || !body_file || std::strcmp(at.file_name(), body_file) != 0) return 0;
    return at.line();
}

void add_entry(CoroObject* self, PyObject* exc, unsigned line) noexcept {
    PyObject* saved = PyErr_GetRaisedException();
    int done = boundary<int>(-1, [&] {
        Ref locals = argument_locals(self);
        Ref frame = new_frame(self, line, locals.get());
        PyErr_SetRaisedException(Py_NewRef(exc));
        int rc = PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
        Ref::steal(PyErr_GetRaisedException());  // exc, its traceback extended
        return rc;
    });
    if (done < 0) PyErr_Clear();
    PyErr_SetRaisedException(saved);
}

void drop_tool_frame(CoroObject* self) noexcept {
    if (self->tool_locals) PyDict_Clear(self->tool_locals);
    Py_CLEAR(self->tool_locals);
    Py_CLEAR(self->tool_frame);
}

int traverse_tool_frame(CoroObject* self, visitproc visit, void* arg) {
    Py_VISIT(self->tool_frame);
    Py_VISIT(self->tool_locals);
    return 0;
}

PyObject* coro_frame(CoroObject* self) {
    if (running_here(self)) return claimant_frame(self);  // asked from inside its own step
    State was = hold(self);
    if (claimed(was)) {
        // Held still while the frame is read or made: a sender in another
        // thread meanwhile is refused.
        PyObject* frame = claimant_frame(self);
        release(self, was);
        return frame;
    }
    if (was == State::Finished) Py_RETURN_NONE;
    // Running a step in another thread: its step and arguments are that
    // thread's to read; a frame at the body's line says which operation runs.
    return boundary<PyObject*>(nullptr, [&] {
        Ref locals = new_dict();
        return new_frame(self, 0, locals.get()).release();
    });
}

void add_traceback_entry(PyObject* coro, PyObject* exc) noexcept {
    CoroObject* self = as_coro(coro);
    add_entry(self, exc, step_line(self));
}

PyObject* coroutine_of(void* kept, std::size_t align) noexcept {
    return reinterpret_cast<PyObject*>(static_cast<char*>(kept) - kept_offset(align));
}

}  // namespace zv::detail
