// Module state of zorvane.pc.seek_press, shared by its source files.
#pragma once

#include "support/args.hpp"
#include "support/coro.hpp"
#include "support/py.hpp"

namespace zv::seek_press {

// Attribute, method, key and module names used by the module, interned once.
#define ZV_SEEK_PRESS_NAMES(X)                                                                        \
    X(_mouse) X(_screen) X(find_text) X(find_color) X(click) X(double_click) X(click_near_text)       \
    X(type_text) X(locateOnScreen) X(center) X(sleep) X(time) X(asyncio) X(get)                         \
    X(x) X(y) X(width) X(height) X(left) X(top) X(found) X(matches)                                     \
    X(success) X(target) X(clicked_at) X(match) X(attempts) X(offset) X(color) X(error) X(image)       \
    X(region) X(label) X(value) X(typed) X(button) X(tolerance) X(max_results) X(confidence)         \
    X(offset_x) X(offset_y) X(clear_first) X(KeyboardController)

struct ModuleState {
    SupportState support;      // must stay first
    PyObject* dict = nullptr;  // the module's namespace (borrowed: lives as long as the module)
    PyTypeObject* seek_press_type = nullptr;
    Signature* init_signature = nullptr;  // SeekPress.__init__

    // Keyword-name tuples for collaborator calls.
    PyObject* kw_region = nullptr;        // ("region",)
    PyObject* kw_button = nullptr;        // ("button",)
    PyObject* kw_find_color = nullptr;    // ("tolerance", "region", "max_results")
    PyObject* kw_confidence = nullptr;    // ("confidence",)
    PyObject* kw_near = nullptr;          // ("offset_x", "offset_y", "region")
    PyObject* kw_clear_first = nullptr;   // ("clear_first",)

    // Fixed texts and numbers.
    PyObject* n_zero = nullptr;              // 0
    PyObject* n_one = nullptr;               // 1
    PyObject* n_two = nullptr;               // 2
    PyObject* f_type_pause = nullptr;        // 0.2
    PyObject* t_fast = nullptr;              // "fast"
    PyObject* t_no_pyautogui = nullptr;      // "pyautogui not installed"
    PyObject* t_image_not_found = nullptr;   // "Image not found on screen"

    // Modules imported at call time.
    PyObject* m_pyautogui = nullptr;  // "pyautogui"
    PyObject* m_keyboard = nullptr;   // "zorvane.pc.keyboard"

#define ZV_DECLARE_NAME(n) PyObject* s_##n = nullptr;
    ZV_SEEK_PRESS_NAMES(ZV_DECLARE_NAME)
#undef ZV_DECLARE_NAME
};

extern PyModuleDef module_def;

inline ModuleState& state_of(OpObject* op) { return *static_cast<ModuleState*>(PyModule_GetState(op->module)); }

// The operations of SeekPress (operations.cpp).
extern const OpDef op_defs[];
extern const int op_count;

}  // namespace zv::seek_press
