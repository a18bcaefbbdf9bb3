#include "support/attr.hpp"

namespace zv {

void InstanceAttrs::init(PyTypeObject* cls, std::initializer_list<PyObject*> attrs) {
    type = cls;
    count = 0;
    for (PyObject* n : attrs)
        if (count < max_names) names[count++] = n;
    clean = 0;
}

bool InstanceAttrs::recheck() {
    clean = 0;
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset <= 0) return false;
    if (!PyUnstable_Type_AssignVersionTag(type)) return false;
    unsigned tag = type->tp_version_tag;
    PyObject* mro = type->tp_mro;
    if (!mro) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        // (a built-in base keeps its dict per interpreter: PyType_GetDict)
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) {
            PyErr_Clear();
            return false;
        }
        for (int k = 0; k < count; ++k) {
            PyObject* found = PyDict_GetItemWithError(dict.get(), names[k]);
            if (found) return false;
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        }
    }
    clean = tag;
    return true;
}

}  // namespace zv
