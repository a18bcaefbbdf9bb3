#include "support/await_wrapper.hpp"

namespace zv {

namespace {

struct AwaitObject {
    PyObject_HEAD
    PyObject* coro;
};


PyObject* await_coro(PyObject* w) { return reinterpret_cast<AwaitObject*>(w)->coro; }

PyObject* await_iternext(PyObject* w) { return coro_iternext(await_coro(w)); }
PyObject* await_send(PyObject* w, PyObject* arg) { return coro_send_method(await_coro(w), arg); }
PyObject* await_throw(PyObject* w, PyObject* const* args, Py_ssize_t nargs) {
    return coro_throw_method(await_coro(w), args, nargs);
}
PyObject* await_close(PyObject* w, PyObject*) { return coro_close(await_coro(w), nullptr); }

int await_traverse(PyObject* w, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(w));
    Py_VISIT(await_coro(w));
    return 0;
}

int await_clear(PyObject* w) {
    Py_CLEAR(reinterpret_cast<AwaitObject*>(w)->coro);
    return 0;
}

void await_dealloc(PyObject* w) {
    PyTypeObject* type = Py_TYPE(w);
    PyObject_GC_UnTrack(w);
    await_clear(w);
    type->tp_free(w);
    Py_DECREF(type);
}

PyMethodDef await_methods[] = {
    {"send", await_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(await_throw)), METH_FASTCALL, nullptr},
    {"close", await_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot await_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(await_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(await_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(await_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(await_iternext)},
    {Py_tp_methods, await_methods},
    {0, nullptr},
};

}  // namespace

PyObject* new_await_wrapper(PyTypeObject* type, PyObject* coro) {
    AwaitObject* w = PyObject_GC_New(AwaitObject, type);
    if (!w) return nullptr;
    w->coro = Py_NewRef(coro);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

PyTypeObject* new_await_type(PyObject* module, PyObject* module_name) {
    Ref await_spec_name = own(PyUnicode_FromFormat("%U.native_coroutine_wrapper", module_name));
    PyType_Spec await_spec = {nullptr, int(sizeof(AwaitObject)), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                  Py_TPFLAGS_IMMUTABLETYPE,
                              await_slots};
    await_spec.name = PyUnicode_AsUTF8(await_spec_name.get());
    if (!await_spec.name) throw_error();
    return reinterpret_cast<PyTypeObject*>(own(PyType_FromModuleAndSpec(module, &await_spec, nullptr)).release());
}

}  // namespace zv
