// Module state of zorvane.pc.seek_press, shared by its source files.
#pragma once

#include "support/args.hpp"
#include "support/attr.hpp"
#include "support/coro.hpp"
#include "support/module.hpp"
#include "support/py.hpp"

namespace zv::seek_press {

// The module's names and constants (support/module.hpp): the attribute,
// method, key and module names it uses, the keyword-name tuples of its
// collaborator calls, fixed texts and numbers, and the modules it imports
// at call time.
#define ZV_SEEK_PRESS_CONSTANTS(NAME, CONSTANT)                                                             \
    NAME(_mouse) NAME(_screen) NAME(find_text) NAME(find_color) NAME(click) NAME(double_click)              \
    NAME(click_near_text) NAME(type_text) NAME(locateOnScreen) NAME(center) NAME(sleep) NAME(time)         \
    NAME(asyncio) NAME(get) NAME(x) NAME(y) NAME(width) NAME(height) NAME(left) NAME(top) NAME(found)      \
    NAME(matches) NAME(success) NAME(target) NAME(clicked_at) NAME(match) NAME(attempts) NAME(offset)      \
    NAME(color) NAME(error) NAME(image) NAME(region) NAME(label) NAME(value) NAME(typed) NAME(button)      \
    NAME(tolerance) NAME(max_results) NAME(confidence) NAME(offset_x) NAME(offset_y) NAME(clear_first)    \
    NAME(KeyboardController)                                                                                \
    CONSTANT(kw_region, keywords, "region")                                                                 \
    CONSTANT(kw_button, keywords, "button")                                                                 \
    CONSTANT(kw_find_color, keywords, "tolerance region max_results")                                       \
    CONSTANT(kw_confidence, keywords, "confidence")                                                         \
    CONSTANT(kw_near, keywords, "offset_x offset_y region")                                                 \
    CONSTANT(kw_clear_first, keywords, "clear_first")                                                       \
    CONSTANT(n_zero, integer, 0)                                                                            \
    CONSTANT(n_one, integer, 1)                                                                             \
    CONSTANT(n_two, integer, 2)                                                                             \
    CONSTANT(f_type_pause, real, 0.2)                                                                       \
    CONSTANT(t_fast, interned, "fast")                                                                      \
    CONSTANT(t_no_pyautogui, interned, "pyautogui not installed")                                           \
    CONSTANT(t_image_not_found, interned, "Image not found on screen")                                      \
    CONSTANT(m_pyautogui, interned, "pyautogui")                                                            \
    CONSTANT(m_keyboard, interned, "zorvane.pc.keyboard")

struct ModuleState {
    SupportState support;      // must stay first
    PyObject* dict = nullptr;  // the module's namespace (borrowed: lives as long as the module)
    PyTypeObject* seek_press_type = nullptr;
    InstanceAttrs seek_press_attrs;  // _mouse and _screen, read through controller_attr
    Signature* init_signature = nullptr;  // SeekPress.__init__
    ZV_MODULE_CONSTANTS(ZV_SEEK_PRESS_CONSTANTS)

    // What the module adds to its exec, traverse and clear (seek_press.cpp).
    void exec(PyObject* module);
    int traverse(visitproc visit, void* arg);
    void clear() noexcept;
};

extern PyModuleDef module_def;

// The module state, reached from a class the module defined (or a subclass
// of one); make_coroutine reaches it from the operation's module.
inline ModuleState& state_from_type(PyTypeObject* type) { return module_state<ModuleState>(type, &module_def); }

// `self.<name>` for the mouse or the screen reader (support/attr.hpp).
inline Ref controller_attr(ModuleState& st, PyObject* self, PyObject* name) {
    return instance_attr(st.seek_press_attrs, self, name);
}

// The operations of SeekPress (operations.cpp).
extern const OpDef op_defs[];
extern const int op_count;

}  // namespace zv::seek_press
