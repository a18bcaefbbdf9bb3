// Slots shared by the modules' classes, whose instances keep their
// attributes in an instance dictionary: `T` has `dict` and `weakrefs` members.
#pragma once

#include "support/py.hpp"

namespace zv {

template <class T>
int instance_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<T*>(self)->dict);
    return 0;
}

template <class T>
int instance_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<T*>(self)->dict);
    return 0;
}

template <class T>
void instance_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<T*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    instance_clear<T>(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace zv
