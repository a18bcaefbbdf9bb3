// The operation's coroutine. Every operation has a Python function of its
// own, made once when the operation is added to its class, compiled from
//
//     async def NAME(.run, ARGUMENTS...):
//         return .result if type(.result := .run(ARGUMENTS...)) is not BODY else await .result
//
// (on one line) and placed as the operation: co_name the operation's name,
// co_qualname "Type.name", co_filename the body's C++ source relative to the
// project ("src/core/context.cpp") and every instruction at the body's line.
// ARGUMENTS are the kept struct's arguments, then the scalars, as the
// operation's impl made them; BODY is the type of body objects. Calling the
// operation checks its arguments and calls that function (make_coroutine),
// so the coroutine object is CPython's own: its type and protocol, cr_frame
// and cr_code, tracebacks, monitoring events, the "never awaited" warning,
// and a frame on the stack while the body calls its collaborators, for
// every tool that walks the interpreter's stack. Awaited, the frame calls
// `.run`, the operation's run callable, which makes the body and runs it
// (body.cpp); when a collaborator suspends, that call returns the body
// object, and the frame awaits it.
#include "support/coro.hpp"

#include <cstddef>
#include <string>

namespace zv {

namespace {

// The body's source file as a maintainer finds it in the project: from the
// last "src" directory of the path the compiler was given, with forward
// slashes, whatever the build directory and platform were.
std::string project_path(const char* file) {
    std::string path = file ? file : "";
    for (char& c : path)
        if (c == '\\') c = '/';
    for (std::size_t at = path.size(); at != std::string::npos && at > 0;) {
        at = path.rfind("src/", at - 1);
        if (at == std::string::npos) break;
        if (at == 0 || path[at - 1] == '/') return path.substr(at);
    }
    if (path.rfind("./", 0) == 0) path.erase(0, 2);
    return path;
}

// `code.replace(**changes)`, the keyword arguments given as a dict.
Ref code_replace(PyObject* code, PyObject* changes) {
    Ref replace = getattr(code, interned("replace").get());
    Ref no_args = own(PyTuple_New(0));
    return own(PyObject_Call(replace.get(), no_args.get(), changes));
}

// The names the source gives the run callable and the result, which the
// code object then renames to names no parameter can have.
constexpr const char* run_name = "zv_run_";
constexpr const char* result_name = "zv_result_";

// The code object of `op`'s function.
Ref new_operation_code(OpObject* op) {
    const OpDef* def = op->def;
    std::string args;
    for (int scalars = 0; scalars < 2; ++scalars)
        for (int i = 0; i < def->nparams; ++i)
            if (is_scalar(*def, i) == bool(scalars)) args = args + (args.empty() ? "" : ", ") + def->params[i].name;
    const std::string run = run_name, r = result_name;
    const std::string source = "async def " + std::string(def->name) + "(" + run + ", " + args + "): return " + r +
                               " if type(" + r + " := " + run + "(" + args + ")) is not zv_body_ else await " + r +
                               "\n";
    const std::string file = project_path(def->body.file);
    Ref module_code = own(Py_CompileString(source.c_str(), file.c_str(), Py_file_input));
    Ref consts = getattr(module_code.get(), interned("co_consts").get());
    Ref code;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i)
        if (PyCode_Check(PyTuple_GET_ITEM(consts.get(), i))) code = Ref::borrow(PyTuple_GET_ITEM(consts.get(), i));
    if (!code) raise(PyExc_SystemError, "no code for the operation");
    // ".run" and ".result", like the interpreter's own hidden locals (".0"):
    // shown as they are, never taken for an argument.
    Ref names = getattr(code.get(), interned("co_varnames").get());
    Ref renamed = own(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), i);
        if (PyUnicode_CompareWithASCIIString(name, run_name) == 0)
            list_append(renamed.get(), text(".run").get());
        else if (PyUnicode_CompareWithASCIIString(name, result_name) == 0)
            list_append(renamed.get(), text(".result").get());
        else
            list_append(renamed.get(), name);
    }
    Ref changes = new_dict();
    dict_set(changes.get(), interned("co_qualname").get(), op->qualname);
    dict_set(changes.get(), interned("co_firstlineno").get(), integer(def->body.line > 0 ? def->body.line : 1).get());
    dict_set(changes.get(), interned("co_varnames").get(), own(PyList_AsTuple(renamed.get())).get());
    return code_replace(code.get(), changes.get());
}

// The run callable: makes the body from what the frame passes and runs it.
PyObject* op_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    OpObject* op = reinterpret_cast<OpObject*>(self);
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        OpRunner runner = op->runner.load(std::memory_order_relaxed);
        if (!runner) raise(PyExc_SystemError, "an operation's coroutine ran before it was made");
        return runner(op, args, std::size_t(nargs)).release();
    });
}

PyMethodDef run_def = {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(op_run)), METH_FASTCALL,
                       nullptr};

}  // namespace

void coroutine_exec(PyObject* module, SupportState* st) {
    // The functions' globals name the module (warnings, logging, the import
    // machinery) and hold the builtins, which code the body runs under the
    // frame (PyImport_Import) looks up in the current frame's globals.
    Ref globals = new_dict();
    Ref name = own(PyModule_GetNameObject(module));
    dict_set(globals.get(), interned("__name__").get(), name.get());
    dict_set(globals.get(), interned("__builtins__").get(), own(PyImport_ImportModule("builtins")).get());
    dict_set(globals.get(), interned("zv_body_").get(), reinterpret_cast<PyObject*>(st->body_type));
    st->function_globals = globals.release();
}

void add_operation_function(OpObject* op) {
    Ref code = new_operation_code(op);
    SupportState* st = support_state(op->module);
    op->function = own(PyFunction_New(code.get(), st->function_globals)).release();
    op->code = code.release();
    op->run = own(PyCFunction_NewEx(&run_def, reinterpret_cast<PyObject*>(op), st->module_name)).release();
    op->nkept = 0;
    for (int i = 0; i < op->def->nparams; ++i)
        if (!is_scalar(*op->def, i)) ++op->nkept;
}

namespace detail {

PyObject* new_operation_coroutine(OpObject* op, PyObject* const* args, std::size_t nargs) {
    PyObject* coro = PyObject_Vectorcall(op->function, args, nargs, nullptr);
    if (!coro) throw_error();
    return coro;
}

void add_traceback_entry(const SupportState& support, PyObject* exc) noexcept {
    PyFrameObject* frame = PyEval_GetFrame();  // borrowed
    if (!frame) return;
    // One of the module's operation frames: the one whose body runs now (a
    // body that an exception was thrown into runs without its frame on the
    // stack, and gets no entry).
    Ref globals = Ref::steal(PyFrame_GetGlobals(frame));
    if (globals.get() != support.function_globals) return;
    PyObject* saved = PyErr_GetRaisedException();
    PyErr_SetRaisedException(Py_NewRef(exc));
    if (PyTraceBack_Here(frame) < 0) PyErr_Clear();
    Py_XDECREF(PyErr_GetRaisedException());  // exc, which now carries the entry
    PyErr_SetRaisedException(saved);
}

}  // namespace detail

}  // namespace zv
