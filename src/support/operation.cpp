#include "support/operation.hpp"

#include "support/support.hpp"

#include <cstddef>
#include <new>
#include <string>

namespace zv {

namespace {

OpObject* as_op(PyObject* o) { return reinterpret_cast<OpObject*>(o); }

PyObject* op_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    OpObject* op = as_op(callable);
    PyObject* bound[max_bound];  // check_limits holds the operation's parameters to it
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        op->sig->bind(args, nargsf, kwnames, bound);
        return op->def->impl(op, bound);
    });
}

PyObject* op_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int op_traverse(PyObject* obj, visitproc visit, void* arg) {
    OpObject* op = as_op(obj);
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(op->module);
    Py_VISIT(op->code);
    Py_VISIT(op->function);
    Py_VISIT(op->run);
    if (op->sig) return op->sig->traverse(visit, arg);
    return 0;
}

int op_clear(PyObject* obj) {
    OpObject* op = as_op(obj);
    Py_CLEAR(op->module);
    Py_CLEAR(op->function);
    Py_CLEAR(op->run);
    return 0;
}

void op_dealloc(PyObject* obj) {
    OpObject* op = as_op(obj);
    PyObject_GC_UnTrack(obj);
    PyTypeObject* type = Py_TYPE(obj);
    Py_CLEAR(op->module);
    Py_CLEAR(op->name);
    Py_CLEAR(op->qualname);
    Py_CLEAR(op->code);
    Py_CLEAR(op->function);
    Py_CLEAR(op->run);
    delete op->sig;
    op->sig = nullptr;
    type->tp_free(obj);
    Py_DECREF(type);
}

PyObject* op_repr(PyObject* obj) {
    return PyUnicode_FromFormat("<native coroutine function %U>", as_op(obj)->qualname);
}

PyObject* op_get_name(PyObject* obj, void*) { return Py_NewRef(as_op(obj)->name); }
PyObject* op_get_qualname(PyObject* obj, void*) { return Py_NewRef(as_op(obj)->qualname); }
PyObject* op_get_doc(PyObject* obj, void*) {
    const char* doc = as_op(obj)->def->doc;
    if (!doc) Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}
PyObject* op_get_text_signature(PyObject* obj, void*) {
    return boundary<PyObject*>(nullptr, [&] { return text(as_op(obj)->sig->text_signature().c_str()).release(); });
}
PyObject* op_get_module(PyObject* obj, void*) {
    OpObject* op = as_op(obj);
    if (!op->module) Py_RETURN_NONE;
    return Py_NewRef(support_state(op->module)->module_name);
}
PyObject* op_get_marker(PyObject* obj, void*) {
    OpObject* op = as_op(obj);
    if (!op->module) Py_RETURN_NONE;
    return Py_NewRef(support_state(op->module)->coroutine_mark);
}

PyGetSetDef op_getset[] = {
    {"__name__", op_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", op_get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", op_get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", op_get_text_signature, nullptr, nullptr, nullptr},
    {"__module__", op_get_module, nullptr, nullptr, nullptr},
    {"_is_coroutine_marker", op_get_marker, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef op_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(OpObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot op_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(op_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(op_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(op_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(op_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(op_descr_get)},
    {Py_tp_getset, op_getset},
    {Py_tp_members, op_members},
    {0, nullptr},
};

}  // namespace

PyTypeObject* new_operation_type(PyObject* module, PyObject* module_name) {
    Ref op_spec_name = own(PyUnicode_FromFormat("%U.native_coroutine_function", module_name));
    PyType_Spec op_spec = {nullptr, int(sizeof(OpObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                               Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
                           op_slots};
    op_spec.name = PyUnicode_AsUTF8(op_spec_name.get());
    if (!op_spec.name) throw_error();
    return reinterpret_cast<PyTypeObject*>(own(PyType_FromModuleAndSpec(module, &op_spec, nullptr)).release());
}

int add_operation(PyObject* module, PyTypeObject* type, const OpDef* def) {
    return boundary<int>(-1, [&] {
        SupportState* st = support_state(module);
        OpObject* op = PyObject_GC_New(OpObject, st->operation_type);
        if (!op) throw_error();
        op->vectorcall = op_vectorcall;
        op->def = def;
        op->module = Py_NewRef(module);
        op->name = nullptr;
        op->qualname = nullptr;
        op->sig = nullptr;
        op->code = nullptr;
        op->function = nullptr;
        op->run = nullptr;
        new (&op->runner) std::atomic<OpRunner>(nullptr);
        op->nkept = 0;
        Ref holder = Ref::steal(reinterpret_cast<PyObject*>(op));
        PyObject_GC_Track(op);
        op->name = interned(def->name).release();
        const char* type_name = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname
                                    ? PyUnicode_AsUTF8(reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname)
                                    : type->tp_name;
        if (!type_name) throw_error();
        op->qualname = own(PyUnicode_FromFormat("%s.%s", type_name, def->name)).release();
        std::string qualname = std::string(type_name) + "." + def->name;
        check_limits(qualname.c_str(), def->nparams, def->scalars);
        op->sig = new Signature(qualname, def->params, def->nparams);
        add_operation_function(op);
        check(PyObject_SetAttr(reinterpret_cast<PyObject*>(type), op->name, holder.get()));
        return 0;
    });
}

}  // namespace zv
