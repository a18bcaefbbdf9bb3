#include "support/pyframe.hpp"

#include <cstdint>

namespace zv {

namespace {

using detail::CoroObject;
using detail::State;

// The iterator the frame yields from. It reaches the coroutine while the
// coroutine holds the frame (borrowed: the coroutine owns the generator,
// whose frame owns the driver) and keeps the body's result until the
// coroutine takes it: the frame returns None, so the result never travels
// in a StopIteration.
struct DriverObject {
    PyObject_HEAD
    CoroObject* coro;
    State was;  // the state the running step was claimed in
    PyObject* result;
};

DriverObject* as_driver(PyObject* o) { return reinterpret_cast<DriverObject*>(o); }

// Ends a driver call: the next value the frame yields, or null with the
// body's result kept (no exception: the frame's `yield from` ends with None),
// or null with the error raised.
PyObject* step_outcome(DriverObject* d, PySendResult st, PyObject* out) {
    if (st == PYGEN_NEXT) return out;
    if (st == PYGEN_RETURN) Py_XSETREF(d->result, out);
    return nullptr;
}

// A driver whose coroutine let its frame go ends the frame at once.
bool detached(DriverObject* d) { return d->coro == nullptr; }

PyObject* driver_iternext(PyObject* obj) {
    DriverObject* d = as_driver(obj);
    if (detached(d)) return nullptr;
    PyObject* out = nullptr;
    PySendResult st = detail::send_step(d->coro, d->was, Py_None, &out);
    return step_outcome(d, st, out);
}

// A value other than None is sent through a method call; its end needs a
// StopIteration (null without an exception is an error for a method).
PyObject* driver_send(PyObject* obj, PyObject* arg) {
    DriverObject* d = as_driver(obj);
    PyObject* r = nullptr;
    if (!detached(d)) {
        PyObject* out = nullptr;
        PySendResult st = detail::send_step(d->coro, d->was, arg, &out);
        r = step_outcome(d, st, out);
    }
    if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return r;
}

// throw(exc) or, as the interpreter forwards it, throw(type, exc, tb).
PyObject* driver_throw(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
    DriverObject* d = as_driver(obj);
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "throw expected an exception");
        return nullptr;
    }
    PyObject* exc = nargs > 1 && PyExceptionInstance_Check(args[1]) ? args[1] : args[0];
    if (!PyExceptionInstance_Check(exc)) {
        PyErr_SetString(PyExc_TypeError, "throw expected an exception instance");
        return nullptr;
    }
    if (detached(d)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
        return nullptr;
    }
    PyObject* out = nullptr;
    PySendResult st = detail::throw_step(d->coro, d->was, Ref::borrow(exc), &out);
    PyObject* r = step_outcome(d, st, out);
    if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return r;
}

void driver_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    Py_CLEAR(as_driver(obj)->result);
    type->tp_free(obj);
    Py_DECREF(type);
}

PyMethodDef driver_methods[] = {
    {"send", driver_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(driver_throw)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot driver_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(driver_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(driver_iternext)},
    {Py_tp_methods, driver_methods},
    {0, nullptr},
};

// Runs one call into the frame with the coroutine claimed in state `was`,
// then publishes the state its step left (the step ran under the frame, so
// its release() only noted it).
template <class Call>
PySendResult through_frame(CoroObject* self, State was, PyObject** out, Call&& call) {
    DriverObject* d = as_driver(self->driver);
    d->was = was;
    self->next = was;
    self->via_frame = true;
    PyObject* res = nullptr;
    PySendResult st = call(&res);
    self->via_frame = false;
    Ref result = Ref::steal(d->result);
    d->result = nullptr;
    if (st == PYGEN_NEXT) {
        *out = res;
    } else {
        Py_XDECREF(res);  // the frame's own return: None
        if (result) {
            // The body returned; after a throw that reaches the caller as the
            // frame's StopIteration.
            PyErr_Clear();
            *out = result.release();
            st = PYGEN_RETURN;
        } else {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "operation frame ended without a result");
            *out = nullptr;
            st = PYGEN_ERROR;
        }
        // The frame has ended; should the body still wait (the frame failed
        // on its own), it goes on without one.
        detail::drop_frame(self, self->next != State::Finished);
    }
    detail::release(self, self->next);
    return st;
}

}  // namespace

namespace detail {

bool frames_wanted(CoroObject* self) {
    if (self->op->frames_always) return true;
    PyThreadState* ts = self->runner.load(std::memory_order_relaxed);  // the claimant: this thread
    // asyncio's debug mode tracks where coroutines were created; trace and
    // profile functions (debuggers, coverage's tracer, profilers of 3.12).
    if (ts->coroutine_origin_tracking_depth > 0 || ts->c_tracefunc || ts->c_profilefunc) return true;
#if PY_VERSION_HEX >= 0x030D0000
    // A sys.monitoring tool listening for function starts (cProfile, the
    // legacy trace and profile hooks, coverage's monitoring core, debuggers).
    PyMonitoringState start{};
    std::uint64_t version = 0;
    const std::uint8_t events[] = {PY_MONITORING_EVENT_PY_START};
    if (PyMonitoring_EnterScope(&start, &version, events, 1) == 0) {
        PyMonitoring_ExitScope();
        if (start.active) return true;
    } else {
        PyErr_Clear();
    }
#endif
    return false;
}

bool start_frame(CoroObject* self) {
    if (!self->op->frame_fn) return true;  // the module is being torn down
    SupportState* st = support_state(self->op->module);
    DriverObject* d = PyObject_New(DriverObject, st->driver_type);
    if (!d) return false;
    d->coro = self;
    d->was = State::Created;
    d->result = nullptr;
    Ref driver = Ref::steal(reinterpret_cast<PyObject*>(d));
    PyObject* gen = PyObject_CallOneArg(self->op->frame_fn, driver.get());
    if (!gen) return false;
    self->live = gen;
    self->driver = driver.release();
    return true;
}

PySendResult frame_send(CoroObject* self, State was, PyObject* arg, PyObject** out) {
    return through_frame(self, was, out, [&](PyObject** res) { return PyIter_Send(self->live, arg, res); });
}

PySendResult frame_throw(CoroObject* self, State was, Ref exc, PyObject** out) {
    return through_frame(self, was, out, [&](PyObject** res) {
        Ref r = Ref::steal(PyObject_CallMethod(self->live, "throw", "O", exc.get()));
        if (r) {
            *res = r.release();
            return PYGEN_NEXT;
        }
        return PYGEN_ERROR;
    });
}

void drop_frame(CoroObject* self, bool close) noexcept {
    if (!self->live) return;
    as_driver(self->driver)->coro = nullptr;
    PyObject* gen = self->live;
    PyObject* driver = self->driver;
    self->live = nullptr;
    self->driver = nullptr;
    if (close) {
        // Unwinds the generator's frame; the driver, detached, runs nothing.
        PyObject* saved = PyErr_GetRaisedException();
        PyObject* r = PyObject_CallMethod(gen, "close", nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(gen);
        PyErr_SetRaisedException(saved);
    }
    Py_DECREF(gen);
    Py_DECREF(driver);
}

int frame_traverse(CoroObject* self, visitproc visit, void* arg) {
    Py_VISIT(self->live);
    return 0;
}

}  // namespace detail

PyTypeObject* new_driver_type(PyObject* module, PyObject* module_name) {
    Ref name = own(PyUnicode_FromFormat("%U.operation_steps", module_name));
    PyType_Spec spec = {nullptr, int(sizeof(DriverObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                        driver_slots};
    spec.name = PyUnicode_AsUTF8(name.get());
    if (!spec.name) throw_error();
    // The spec's name must outlive the type: the type keeps its own copy of
    // the part after the last dot, and __module__ is set from the rest.
    return reinterpret_cast<PyTypeObject*>(own(PyType_FromModuleAndSpec(module, &spec, nullptr)).release());
}

static bool frames_always() {
    Ref os = own(PyImport_ImportModule("os"));
    // (not named `environ`: the Windows C runtime defines that as a macro)
    Ref variables = getattr(os.get(), interned("environ").get());
    Ref value = own(PyObject_CallMethod(variables.get(), "get", "s", "ZORVANE_FRAMES"));
    if (PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), "1") == 0) return true;
    Ref sys = own(PyImport_ImportModule("sys"));
    Ref flags = getattr(sys.get(), interned("flags").get());
    Ref dev = getattr(flags.get(), interned("dev_mode").get());
    return truthy(dev.get());
}

void frame_support_exec(SupportState* st) {
    // The frames' code: a generator that only forwards to the driver, which
    // each operation renames and places as its own code object.
    Ref source_code = own(Py_CompileString("def _(steps): yield from steps\n", "<operation frame>", Py_file_input));
    Ref consts = getattr(source_code.get(), interned("co_consts").get());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i)
        if (!st->frame_template && PyCode_Check(PyTuple_GET_ITEM(consts.get(), i)))
            st->frame_template = Py_NewRef(PyTuple_GET_ITEM(consts.get(), i));
    if (!st->frame_template) raise(PyExc_SystemError, "no code for the operation frame");
    // Their globals name the module for warnings and the import machinery,
    // with the builtins, which code the body runs (PyImport_Import) looks up
    // in the current frame's globals.
    Ref globals = new_dict();
    dict_set(globals.get(), interned("__name__").get(), st->module_name);
    dict_set(globals.get(), interned("__builtins__").get(), own(PyImport_ImportModule("builtins")).get());
    st->frame_globals = globals.release();
    st->frames_always = frames_always();
}

PyObject* new_frame_function(PyObject* module, PyObject* code) {
    SupportState* st = support_state(module);
    Ref changes = new_dict();
    for (const char* field : {"co_name", "co_qualname", "co_filename", "co_firstlineno"})
        dict_set(changes.get(), interned(field).get(), getattr(code, interned(field).get()).get());
    Ref renamed = code_replace(st->frame_template, changes.get());
    Ref fn = own(PyFunction_New(renamed.get(), st->frame_globals));
    check(PyObject_SetAttr(fn.get(), interned("__qualname__").get(), getattr(code, interned("co_qualname").get()).get()));
    return fn.release();
}


}  // namespace zv
