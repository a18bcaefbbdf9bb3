// zorvane.pc.seek_press: find what the assistant names on screen and press it.
#include "support/coro.hpp"

namespace {

PyModuleDef_Slot module_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zorvane.pc.seek_press", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_seek_press(void) { return PyModuleDef_Init(&module_def); }
