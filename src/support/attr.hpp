// Reads of the instance attributes of a module's own classes (the
// collaborators and state a ConversationManager or SeekPress keeps in its
// instance dictionary), as `self.<name>` reads them, without the generic
// lookup's walk of the class when nothing can make it differ.
#pragma once

#include "support/py.hpp"

#include <cstddef>
#include <initializer_list>

namespace zv {

// One class of the module and the instance attributes read through
// instance_attr. `clean` is the class's version tag when it was last seen to
// define none of the names on itself or a base (no descriptor can stand in
// for the instance dictionary) and to look attributes up generically, else
// 0. Changing the class (a property or __getattr__ assigned) gives it a new
// tag, and the next read looks again.
struct InstanceAttrs {
    static constexpr int max_names = 8;
    PyTypeObject* type = nullptr;  // borrowed: the module state holds it
    PyObject* names[max_names] = {};
    int count = 0;
    unsigned clean = 0;

    // Records the class and the names (at most max_names, interned).
    void init(PyTypeObject* cls, std::initializer_list<PyObject*> attrs);
    // Whether the class is clean now, recording its tag when it is.
    bool recheck();
};

// `self.<name>`: for an instance of exactly the class, while the class is
// clean, the instance dictionary's entry; otherwise (a subclass, a changed
// class, a name not in the dictionary, a free-threaded build) getattr.
inline Ref instance_attr(InstanceAttrs& a, PyObject* self, PyObject* name) {
#ifndef Py_GIL_DISABLED
    PyTypeObject* type = Py_TYPE(self);
    if (type == a.type && type->tp_version_tag != 0 && (type->tp_version_tag == a.clean || a.recheck())) {
        PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + type->tp_dictoffset);
        if (dict) {
            PyObject* v = PyDict_GetItemWithError(dict, name);  // borrowed; an exact str key runs no code
            if (v) return Ref::borrow(v);
            if (PyErr_Occurred()) throw_error();
        }
    }
#else
    (void)a;
#endif
    return getattr(self, name);
}

}  // namespace zv
