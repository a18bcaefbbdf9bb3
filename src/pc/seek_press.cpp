// zorvane.pc.seek_press: find what the assistant names on screen and press it.
// The module, its imports and the SeekPress type; the operations live in
// operations.cpp.
#include "support/instance.hpp"
#include "pc/state.hpp"

#include <cstddef>
#include <initializer_list>

namespace zv::seek_press {

namespace {

struct SeekPressObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
};

constexpr ParamDef p_init[] = {{"self", required()}, {"mouse", required()}, {"screen", required()}};

ModuleState& state_of_type(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &module_def);
    if (!module) throw_error();
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

int seek_press_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary<int>(-1, [&] {
        ModuleState& st = state_of_type(Py_TYPE(self));
        PyObject* a[3];
        st.init_signature->bind_tuple(self, args, kwargs, a);
        setattr(self, st.s__mouse, a[1]);
        setattr(self, st.s__screen, a[2]);
        return 0;
    });
}

PyMemberDef seek_press_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(SeekPressObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(SeekPressObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef seek_press_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char seek_press_doc[] =
    "SeekPress(mouse, screen)\n--\n\n"
    "Find-and-click: locate UI elements by text or image, then click them.\n"
    "\n"
    "    The highest-level desktop interaction primitive: instead of exact\n"
    "    coordinates the assistant names what to press (\"click the OK button\"),\n"
    "    and SeekPress finds it on screen (OCR, colour or image matching) and\n"
    "    clicks it with the mouse controller.\n"
    "\n"
    "    Usage:\n"
    "        fc = SeekPress(mouse, screen)\n"
    "        await fc.click_text(\"OK\")\n"
    "        await fc.click_text(\"Submit\", double=True)\n"
    "        await fc.click_near_text(\"Username\", offset_y=30)  # 30 px below the label\n"
    "        await fc.click_color(\"#00ff00\")  # the green element\n"
    "    ";

PyType_Slot seek_press_slots[] = {
    {Py_tp_doc, const_cast<char*>(seek_press_doc)},
    {Py_tp_init, reinterpret_cast<void*>(seek_press_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse<SeekPressObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(instance_clear<SeekPressObject>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<SeekPressObject>)},
    {Py_tp_members, seek_press_members},
    {Py_tp_getset, seek_press_getset},
    {0, nullptr},
};

PyType_Spec seek_press_spec = {
    "zorvane.pc.seek_press.SeekPress",
    int(sizeof(SeekPressObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    seek_press_slots,
};

// ---------------------------------------------------------------------------
// The module

const char module_doc[] =
    "Find-and-press: the assistant names what to press and it is found on screen and pressed.\n\n"
    "SeekPress clicks a text found by OCR (retrying until a deadline), clicks at an offset from\n"
    "a found label, clicks an element of a given colour, clicks the centre of an image found on\n"
    "screen, and fills a form field by clicking beside its label and typing. Every operation\n"
    "reports its outcome as a result dictionary.";

Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref t = own(PyTuple_New(Py_ssize_t(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    return t;
}

void bind_global(PyObject* module, const char* name, Ref value) {
    check(PyModule_AddObjectRef(module, name, value.get()));
}

int module_exec(PyObject* module) {
    ModuleState* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (support_exec(module, &st->support) < 0) return -1;
    return boundary<int>(-1, [&] {
        st->dict = PyModule_GetDict(module);
#define ZV_INTERN_NAME(n) st->s_##n = interned(#n).release();
        ZV_SEEK_PRESS_NAMES(ZV_INTERN_NAME)
#undef ZV_INTERN_NAME
        st->kw_region = tuple_of({st->s_region}).release();
        st->kw_button = tuple_of({st->s_button}).release();
        st->kw_find_color = tuple_of({st->s_tolerance, st->s_region, st->s_max_results}).release();
        st->kw_confidence = tuple_of({st->s_confidence}).release();
        st->kw_near = tuple_of({st->s_offset_x, st->s_offset_y, st->s_region}).release();
        st->kw_clear_first = tuple_of({st->s_clear_first}).release();
        st->n_zero = integer(0).release();
        st->n_one = integer(1).release();
        st->n_two = integer(2).release();
        st->f_type_pause = own(PyFloat_FromDouble(0.2)).release();
        st->t_fast = interned("fast").release();
        st->t_no_pyautogui = interned("pyautogui not installed").release();
        st->t_image_not_found = interned("Image not found on screen").release();
        st->m_pyautogui = interned("pyautogui").release();
        st->m_keyboard = interned("zorvane.pc.keyboard").release();
        st->init_signature = new Signature("SeekPress.__init__", p_init, 3);

        // The imports a Python rendition of this module makes, in order. The
        // host's names serve as declared types only, but a missing one fails
        // the import of this module.
        bind_global(module, "asyncio", own(PyImport_ImportModule("asyncio")));
        Ref logging = own(PyImport_ImportModule("logging"));
        bind_global(module, "logging", logging);
        bind_global(module, "time", own(PyImport_ImportModule("time")));
        bind_global(module, "Any", import_from("typing", "Any"));
        bind_global(module, "MouseController", import_from("zorvane.pc.mouse", "MouseController"));
        bind_global(module, "ScreenReader", import_from("zorvane.pc.screen", "ScreenReader"));
        bind_global(module, "ScreenRegion", import_from("zorvane.pc.screen", "ScreenRegion"));
        Ref logger_name = text("zorvane.pc.seek_press");
        bind_global(module, "logger", call_method(logging.get(), interned("getLogger").get(), logger_name));

        Ref type = own(PyType_FromModuleAndSpec(module, &seek_press_spec, nullptr));
        st->seek_press_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
        for (int i = 0; i < op_count; ++i) check(add_operation(module, st->seek_press_type, &op_defs[i]));
        bind_global(module, "SeekPress", type);
        return 0;
    });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!st) return 0;
    if (int r = support_traverse(&st->support, visit, arg)) return r;
    Py_VISIT(reinterpret_cast<PyObject*>(st->seek_press_type));
    if (st->init_signature) return st->init_signature->traverse(visit, arg);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!st) return 0;
    support_clear(&st->support);
    Py_CLEAR(st->seek_press_type);
    PyObject** owned[] = {&st->kw_region,      &st->kw_button,         &st->kw_find_color, &st->kw_confidence,
                          &st->kw_near,        &st->kw_clear_first,    &st->n_zero,        &st->n_one,
                          &st->n_two,          &st->f_type_pause,      &st->t_fast,        &st->t_no_pyautogui,
                          &st->t_image_not_found, &st->m_pyautogui,    &st->m_keyboard};
    for (PyObject** p : owned) Py_CLEAR(*p);
#define ZV_CLEAR_NAME(n) Py_CLEAR(st->s_##n);
    ZV_SEEK_PRESS_NAMES(ZV_CLEAR_NAME)
#undef ZV_CLEAR_NAME
    delete st->init_signature;
    st->init_signature = nullptr;
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // Every Python object the module uses lives in its state (nothing process-wide):
    // isolated interpreters with their own GIL may import it.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#if PY_VERSION_HEX >= 0x030D0000
    // Safe without the GIL: a free-threaded interpreter keeps it off on import.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zorvane.pc.seek_press",
    module_doc,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace zv::seek_press

PyMODINIT_FUNC PyInit_seek_press(void) { return PyModuleDef_Init(&zv::seek_press::module_def); }
