// What every module is made of: the one way to its state, the list its names
// and constants are made from, its exec, traverse and clear, and the helpers
// its source files share.
#pragma once

#include "support/args.hpp"
#include "support/py.hpp"
#include "support/support.hpp"

#include <cstddef>
#include <type_traits>

namespace zv {

// The state of `module`, whose PyModuleDef declares `M` as its state
// (m_size = sizeof(M)). Every way to a module's state goes through here.
template <class M>
M& module_state(PyObject* module) noexcept {
    return *static_cast<M*>(PyModule_GetState(module));
}

// The state of the module that defined `type` (from its PyModuleDef `def`),
// or of the module that defined the base of `type` that has one: for the
// slots of a module's classes, which subclasses inherit.
template <class M>
M& module_state(PyTypeObject* type, PyModuleDef* def) {
    PyObject* module = PyType_GetModuleByDef(type, def);
    if (!module) throw_error();
    return module_state<M>(module);
}

// ---------------------------------------------------------------------------
// Names and constants, made once per module from one list.
//
// A module lists them in a macro LIST(NAME, CONSTANT): NAME(n) is the interned
// name "n" in the slot `s_n`; CONSTANT(slot, make, value) is the object
// make(value) in `slot`, `make` one of interned("text"), integer(n), real(x)
// and keywords("a b") (a keyword-name tuple for calls). In the module state's
// struct, ZV_MODULE_CONSTANTS(LIST) declares the slots (null until made) and
// the make_constants() and clear_constants() that module_exec and module_clear
// call.
#define ZV_MODULE_CONSTANTS(LIST)                                     \
    LIST(ZV_DECLARE_NAME_, ZV_DECLARE_CONSTANT_)                      \
    void make_constants() { LIST(ZV_MAKE_NAME_, ZV_MAKE_CONSTANT_) } \
    void clear_constants() noexcept { LIST(ZV_CLEAR_NAME_, ZV_CLEAR_CONSTANT_) }
#define ZV_DECLARE_NAME_(n) PyObject* s_##n = nullptr;
#define ZV_DECLARE_CONSTANT_(slot, make, value) PyObject* slot = nullptr;
#define ZV_MAKE_NAME_(n) s_##n = ::zv::interned(#n).release();
#define ZV_MAKE_CONSTANT_(slot, make, value) slot = ::zv::make(value).release();
#define ZV_CLEAR_NAME_(n) Py_CLEAR(s_##n);
#define ZV_CLEAR_CONSTANT_(slot, make, value) Py_CLEAR(slot);

// The tuple of the interned names in `words`, separated by single spaces:
// keywords("content tool_calls") is ("content", "tool_calls").
Ref keywords(const char* words);

// ---------------------------------------------------------------------------
// A module's exec, traverse, clear and free, the same for every module: the
// support layer's part, the names and constants of its list, then what the
// module's state struct adds, as its members
//
//     void exec(PyObject* module);             // types, signatures, imports, globals
//     int traverse(visitproc visit, void* arg);
//     void clear() noexcept;
//
// CPython calls traverse, clear and free only once the state exists.

template <class M>
int module_exec(PyObject* module) {
    // CPython allocates the state zeroed, constructing nothing; the support
    // layer finds its part at the head.
    static_assert(std::is_standard_layout_v<M> && offsetof(M, support) == 0, "SupportState comes first");
    M& st = module_state<M>(module);
    if (support_exec(module, &st.support) < 0) return -1;
    return boundary<int>(-1, [&] {
        st.make_constants();
        st.exec(module);
        return 0;
    });
}

template <class M>
int module_traverse(PyObject* module, visitproc visit, void* arg) {
    M& st = module_state<M>(module);
    if (int r = support_traverse(&st.support, visit, arg)) return r;
    return st.traverse(visit, arg);
}

template <class M>
int module_clear(PyObject* module) {
    M& st = module_state<M>(module);
    support_clear(&st.support);
    st.clear();
    st.clear_constants();
    return 0;
}

template <class M>
void module_free(void* module) {
    module_clear<M>(static_cast<PyObject*>(module));
}

// The slots of every module: its exec; every Python object it uses lives in
// its state (nothing process-wide), so isolated interpreters with their own
// GIL may import it; and it is safe without the GIL, so a free-threaded
// interpreter keeps the GIL off when importing it.
inline constexpr int module_slot_count = PY_VERSION_HEX >= 0x030D0000 ? 4 : 3;  // with the end marker
template <class M>
inline PyModuleDef_Slot module_slots[module_slot_count] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec<M>)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Helpers of the modules' source files

// A bound argument as a kept struct holds it: borrowed into a Ref.
inline Ref b(PyObject* o) { return Ref::borrow(o); }

// The length of a parameter list.
template <std::size_t N>
constexpr int count(const ParamDef (&)[N]) {
    return int(N);
}

// A class of `module` made from `spec` (which has no Py_tp_doc), its
// docstring `doc` headed by the signature of its `init` without self,
// "Name(memory, context_window=20)\n--\n\n", which __text_signature__ and
// inspect.signature() read.
Ref new_class(PyObject* module, const PyType_Spec& spec, const Signature& init, const char* doc);

// `name = value` in the module's namespace.
inline void bind_global(PyObject* module, const char* name, const Ref& value) {
    check(PyModule_AddObjectRef(module, name, value.get()));
}

}  // namespace zv
