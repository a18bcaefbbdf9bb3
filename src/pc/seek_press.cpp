// zorvane.pc.seek_press: find what the assistant names on screen and press it.
// The module, its imports and the SeekPress type; the operations live in
// operations.cpp.
#include "support/instance.hpp"
#include "pc/state.hpp"

#include <cstddef>

namespace zv::seek_press {

namespace {

struct SeekPressObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
};

constexpr ParamDef p_init[] = {{"self", required()}, {"mouse", required()}, {"screen", required()}};

int seek_press_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary<int>(-1, [&] {
        ModuleState& st = state_from_type(Py_TYPE(self));
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

}  // namespace

void ModuleState::exec(PyObject* module) {
    dict = PyModule_GetDict(module);
    init_signature = new Signature("SeekPress.__init__", p_init, count(p_init));

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

    Ref type = new_class(module, seek_press_spec, *init_signature, seek_press_doc);
    seek_press_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
    seek_press_attrs.init(seek_press_type, {s__mouse, s__screen});
    for (int i = 0; i < op_count; ++i) check(add_operation(module, seek_press_type, &op_defs[i]));
    bind_global(module, "SeekPress", type);
}

int ModuleState::traverse(visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PyObject*>(seek_press_type));
    if (init_signature) return init_signature->traverse(visit, arg);
    return 0;
}

void ModuleState::clear() noexcept {
    Py_CLEAR(seek_press_type);
    delete init_signature;
    init_signature = nullptr;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zorvane.pc.seek_press",
    module_doc,
    sizeof(ModuleState),
    nullptr,
    module_slots<ModuleState>,
    module_traverse<ModuleState>,
    module_clear<ModuleState>,
    module_free<ModuleState>,
};

}  // namespace zv::seek_press

PyMODINIT_FUNC PyInit_seek_press(void) { return PyModuleDef_Init(&zv::seek_press::module_def); }
