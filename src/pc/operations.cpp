// The operations of SeekPress: text click with its deadline, click near a
// label, colour click, image click and typing into a labelled field.
#include "pc/state.hpp"

#include <cstddef>
#include <tuple>
#include <utility>

namespace zv::seek_press {

namespace {

// ---------------------------------------------------------------------------
// Helpers (plain functions: no braced lists inside coroutine bodies)

// `result.get("found") and result.get("matches")`, each tested once;
// "matches" is not read when "found" fails.
bool found_with_matches(ModuleState& st, PyObject* result) {
    Ref found = mapping_get1(result, st.s_found, st.s_get);
    if (!truthy(found.get())) return false;
    Ref matches = mapping_get1(result, st.s_matches, st.s_get);
    return truthy(matches.get());
}

// `result["matches"][0]` when the search found something, else null.
Ref found_match(ModuleState& st, const Ref& result) {
    if (!found_with_matches(st, result.get())) return Ref();
    Ref matches = getitem(result.get(), st.s_matches);
    return getitem(matches.get(), st.n_zero);
}

// `match.get(pos, 0) + match.get(size, 0) // 2`: one coordinate of the centre
// of a match record, on whatever numbers the record holds.
Ref centre(ModuleState& st, PyObject* match, PyObject* pos_key, PyObject* size_key) {
    Ref pos = mapping_get(match, pos_key, st.s_get, st.n_zero);
    Ref size = mapping_get(match, size_key, st.s_get, st.n_zero);
    Ref half = own(PyNumber_FloorDivide(size.get(), st.n_two));
    return own(PyNumber_Add(pos.get(), half.get()));
}

Ref add(PyObject* a, PyObject* b) { return own(PyNumber_Add(a, b)); }

bool less(PyObject* a, PyObject* b) {
    Ref r = own(PyObject_RichCompare(a, b, Py_LT));
    return truthy(r.get());
}

// `time.time()`, with `time` looked up in the module's namespace at each use
// so that a substituted clock is honoured.
Ref clock(ModuleState& st) {
    Ref time = module_global(st.dict, st.s_time);
    return call_method(time.get(), st.s_time);
}

// `time.time() - start`
Ref elapsed_since(ModuleState& st, PyObject* start) {
    Ref now = clock(st);
    return own(PyNumber_Subtract(now.get(), start));
}

// `asyncio.sleep(seconds)`, looked up at each use; the caller awaits it.
Ref sleep_for(ModuleState& st, PyObject* seconds) {
    Ref asyncio = module_global(st.dict, st.s_asyncio);
    return call_method(asyncio.get(), st.s_sleep, seconds);
}

Ref ssize(Py_ssize_t n) { return own(PyLong_FromSsize_t(n)); }

// `from zorvane.pc.keyboard import KeyboardController`
Ref keyboard_controller(ModuleState& st) { return import_from(st.m_keyboard, st.s_KeyboardController); }

// The guard of click_image: the failure result for an ordinary exception,
// null for one that must propagate (cancellation, interrupts, exit).
Ref image_failure(ModuleState& st, const Ref& exc) {
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_ImportError))
        return dict_of(st.s_success, Py_False, st.s_error, st.t_no_pyautogui);
    if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) return Ref();
    // str(exc) runs with exc as the exception being handled, as in an
    // `except` block, so that anything it raises is chained to it.
    Handling handling(exc.get());
    Ref message = str_of(exc.get());
    return dict_of(st.s_success, Py_False, st.s_error, message);
}

// ---------------------------------------------------------------------------
// Collaborator calls (support/coro.hpp): each looks the collaborator up,
// calls it and returns only the awaitable.

// `self._screen.find_text(target, region=region)`
Ref find_text_call(ModuleState& st, PyObject* self, PyObject* target, PyObject* region) {
    return call_method_kw(controller_attr(st, self, st.s__screen).get(), st.s_find_text, st.kw_region, target, region);
}

// `self._screen.find_color(hex_color, tolerance=tolerance, region=region, max_results=1)`
Ref find_color_call(ModuleState& st, PyObject* self, PyObject* hex_color, PyObject* tolerance, PyObject* region) {
    return call_method_kw(controller_attr(st, self, st.s__screen).get(), st.s_find_color, st.kw_find_color, hex_color, tolerance, region,
                                st.n_one);
}

// `self._mouse.click(x, y, button=button)`, its arguments already computed
Ref click_call(ModuleState& st, PyObject* self, PyObject* x, PyObject* y, PyObject* button) {
    return call_method_kw(controller_attr(st, self, st.s__mouse).get(), st.s_click, st.kw_button, x, y, button);
}

// `self._mouse.double_click(x, y)`
Ref double_click_call(ModuleState& st, PyObject* self, PyObject* x, PyObject* y) {
    return call_method(controller_attr(st, self, st.s__mouse).get(), st.s_double_click, x, y);
}

// `self._mouse.click(point[x_key], point[y_key], button=button)`: the method is
// looked up before its arguments are read, by subscript or by attribute.
Ref click_read_call(ModuleState& st, PyObject* self, PyObject* point, bool by_attribute, PyObject* button) {
    Ref mouse = controller_attr(st, self, st.s__mouse);
    Ref method = getattr(mouse.get(), st.s_click);
    Ref x = by_attribute ? getattr(point, st.s_x) : getitem(point, st.s_x);
    Ref y = by_attribute ? getattr(point, st.s_y) : getitem(point, st.s_y);
    return call_kw(method.get(), st.kw_button, x, y, button);
}

// `KeyboardController("fast").type_text(value, clear_first=clear_first)`
Ref type_text_call(ModuleState& st, PyObject* keyboard_type, PyObject* value, bool clear_first) {
    Ref keyboard = call(keyboard_type, st.t_fast);
    return call_method_kw(keyboard.get(), st.s_type_text, st.kw_clear_first, value, boolean(clear_first));
}

// ---------------------------------------------------------------------------
// Bodies, each with its kept struct (support/coro.hpp): the arguments and
// what is still needed after a suspension.

struct ClickText {
    Ref self, target, button, region, timeout, retry_interval;  // the arguments
    Ref start{};                                                // the clock when the search began
    Ref match{}, x{}, y{};                                      // what was found, and where it was clicked
    auto refs() { return std::tie(self, target, button, region, timeout, retry_interval, start, match, x, y); }
};

// Whether a pause of retry_interval from now would end before the deadline.
bool pause_fits(ModuleState& st, ClickText& f) {
    Ref elapsed = elapsed_since(st, f.start.get());
    Ref pause_end = add(elapsed.get(), f.retry_interval.get());
    return less(pause_end.get(), f.timeout.get());
}

constexpr SourceLine click_text_at = next_line();
Coro click_text(ModuleState& st, ClickText f, bool dbl) {
    f.start = clock(st);
    Py_ssize_t attempts = 0;
    while (less(elapsed_since(st, f.start.get()).get(), f.timeout.get())) {
        ++attempts;
        f.match = found_match(st, co_await find_text_call(st, f.self.get(), f.target.get(), f.region.get()));
        if (f.match) {
            f.x = centre(st, f.match.get(), st.s_x, st.s_width);
            f.y = centre(st, f.match.get(), st.s_y, st.s_height);
            Ref click;
            if (dbl)
                click = co_await double_click_call(st, f.self.get(), f.x.get(), f.y.get());
            else
                click = co_await click_call(st, f.self.get(), f.x.get(), f.y.get(), f.button.get());
            Ref at = pair(f.x.get(), f.y.get());
            Ref count = ssize(attempts);
            co_return dict_of(st.s_success, Py_True, st.s_target, f.target, st.s_clicked_at, at, st.s_match, f.match,
                              st.s_attempts, count, st.s_click, click);
        }
        if (pause_fits(st, f)) co_await sleep_for(st, f.retry_interval.get());
    }
    Ref error =
        own(PyUnicode_FromFormat("Text '%U' not found on screen after %zd attempts", f.target.get(), attempts));
    Ref count = ssize(attempts);
    co_return dict_of(st.s_success, Py_False, st.s_target, f.target, st.s_error, error, st.s_attempts, count);
}

struct ClickNearText {
    Ref self, target, offset_x, offset_y, button, region;  // the arguments
    Ref match{}, x{}, y{};                                 // what was found, and where it was clicked
    auto refs() { return std::tie(self, target, offset_x, offset_y, button, region, match, x, y); }
};

constexpr SourceLine click_near_text_at = next_line();
Coro click_near_text(ModuleState& st, ClickNearText f) {
    f.match = found_match(st, co_await find_text_call(st, f.self.get(), f.target.get(), f.region.get()));
    if (!f.match) {
        Ref error = own(PyUnicode_FromFormat("Text '%U' not found on screen", f.target.get()));
        co_return dict_of(st.s_success, Py_False, st.s_target, f.target, st.s_error, error);
    }
    f.x = add(centre(st, f.match.get(), st.s_x, st.s_width).get(), f.offset_x.get());
    f.y = add(centre(st, f.match.get(), st.s_y, st.s_height).get(), f.offset_y.get());
    Ref click = co_await click_call(st, f.self.get(), f.x.get(), f.y.get(), f.button.get());
    Ref offset = pair(f.offset_x.get(), f.offset_y.get());
    Ref at = pair(f.x.get(), f.y.get());
    co_return dict_of(st.s_success, Py_True, st.s_target, f.target, st.s_offset, offset, st.s_clicked_at, at,
                      st.s_match, f.match, st.s_click, click);
}

struct ClickColor {
    Ref self, hex_color, tolerance, button, region;  // the arguments
    Ref match{};                                     // what was found
    auto refs() { return std::tie(self, hex_color, tolerance, button, region, match); }
};

constexpr SourceLine click_color_at = next_line();
Coro click_color(ModuleState& st, ClickColor f) {
    f.match = found_match(
        st, co_await find_color_call(st, f.self.get(), f.hex_color.get(), f.tolerance.get(), f.region.get()));
    if (!f.match) {
        Ref error = own(PyUnicode_FromFormat("Color %U not found on screen", f.hex_color.get()));
        co_return dict_of(st.s_success, Py_False, st.s_color, f.hex_color, st.s_error, error);
    }
    Ref click = co_await click_read_call(st, f.self.get(), f.match.get(), false, f.button.get());
    Ref at_x = getitem(f.match.get(), st.s_x);
    Ref at_y = getitem(f.match.get(), st.s_y);
    Ref at = pair(at_x.get(), at_y.get());
    co_return dict_of(st.s_success, Py_True, st.s_color, f.hex_color, st.s_clicked_at, at, st.s_click, click);
}

struct ClickImage {
    Ref self, image_path, button, confidence;  // the arguments
    Ref location{}, point{};                   // where the image was found, and its centre
    auto refs() { return std::tie(self, image_path, button, confidence, location, point); }
};

constexpr SourceLine click_image_at = next_line();
Coro click_image(ModuleState& st, ClickImage f) {
    Ref failure;
    try {
        {
            Ref pyautogui = own(PyImport_Import(st.m_pyautogui));
            // Synchronous: the image search holds the loop for its whole length.
            f.location = call_method_kw(pyautogui.get(), st.s_locateOnScreen, st.kw_confidence, f.image_path,
                                        f.confidence);
            if (!truthy(f.location.get()))
                co_return dict_of(st.s_success, Py_False, st.s_image, f.image_path, st.s_error,
                                  st.t_image_not_found);
            f.point = call_method(pyautogui.get(), st.s_center, f.location);
        }
        Ref click = co_await click_read_call(st, f.self.get(), f.point.get(), true, f.button.get());
        Ref at_x = getattr(f.point.get(), st.s_x);
        Ref at_y = getattr(f.point.get(), st.s_y);
        Ref at = pair(at_x.get(), at_y.get());
        Ref left = getattr(f.location.get(), st.s_left);
        Ref top = getattr(f.location.get(), st.s_top);
        Ref width = getattr(f.location.get(), st.s_width);
        Ref height = getattr(f.location.get(), st.s_height);
        Ref found_at = dict_of(st.s_x, left, st.s_y, top, st.s_width, width, st.s_height, height);
        co_return dict_of(st.s_success, Py_True, st.s_image, f.image_path, st.s_clicked_at, at, st.s_region,
                          found_at, st.s_click, click);
    } catch (PyError& e) {
        failure = image_failure(st, e.exception());
        if (!failure) throw;
    }
    co_return failure;
}

struct TypeInto {
    Ref self, label_text, value, offset_x, offset_y, region;  // the arguments
    Ref keyboard_type{}, click{};                             // the keyboard controller class, the click's result
    auto refs() { return std::tie(self, label_text, value, offset_x, offset_y, region, keyboard_type, click); }
};

constexpr SourceLine type_into_at = next_line();
Coro type_into(ModuleState& st, TypeInto f, bool clear_first) {
    f.keyboard_type = keyboard_controller(st);
    // Through the instance, so an override of click_near_text is honoured.
    f.click = co_await call_method_kw(f.self.get(), st.s_click_near_text, st.kw_near, f.label_text, f.offset_x,
                                      f.offset_y, f.region);
    if (!truthy(mapping_get1(f.click.get(), st.s_success, st.s_get).get()))
        co_return result_exact_or_none(std::move(f.click), &PyDict_Type);
    co_await sleep_for(st, st.f_type_pause);
    Ref typed = co_await type_text_call(st, f.keyboard_type.get(), f.value.get(), clear_first);
    Ref at = mapping_get1(f.click.get(), st.s_clicked_at, st.s_get);
    co_return dict_of(st.s_success, Py_True, st.s_label, f.label_text, st.s_value, f.value, st.s_clicked_at, at,
                      st.s_typed, typed);
}

// ---------------------------------------------------------------------------
// Argument handling, before the coroutine exists, in the order the async def
// rendition handles them: the conversions of numbers and truth values first,
// then the checks of the str parameters, so that a call with several wrong
// arguments fails on the one the rendition fails on.

// a: self, target, button, double, region, timeout, retry_interval
PyObject* impl_click_text(OpObject* op, PyObject** a) {
    bool dbl = arg_bool(a[3]);
    Ref timeout = arg_float(a[5]);
    Ref retry_interval = arg_float(a[6]);
    arg_str(a[1], "target");
    arg_str(a[2], "button");
    return make_coroutine<click_text>(
        op, ClickText{b(a[0]), b(a[1]), b(a[2]), b(a[4]), std::move(timeout), std::move(retry_interval)}, dbl);
}

// a: self, target, offset_x, offset_y, button, region
PyObject* impl_click_near_text(OpObject* op, PyObject** a) {
    Ref offset_x = arg_int(a[2], "offset_x");
    Ref offset_y = arg_int(a[3], "offset_y");
    arg_str(a[1], "target");
    arg_str(a[4], "button");
    return make_coroutine<click_near_text>(
        op, ClickNearText{b(a[0]), b(a[1]), std::move(offset_x), std::move(offset_y), b(a[4]), b(a[5])});
}

// a: self, hex_color, tolerance, button, region
PyObject* impl_click_color(OpObject* op, PyObject** a) {
    Ref tolerance = arg_int(a[2], "tolerance");
    arg_str(a[1], "hex_color");
    arg_str(a[3], "button");
    return make_coroutine<click_color>(op, ClickColor{b(a[0]), b(a[1]), std::move(tolerance), b(a[3]), b(a[4])});
}

// a: self, image_path, button, confidence
PyObject* impl_click_image(OpObject* op, PyObject** a) {
    Ref confidence = arg_float(a[3]);
    arg_str(a[1], "image_path");
    arg_str(a[2], "button");
    return make_coroutine<click_image>(op, ClickImage{b(a[0]), b(a[1]), b(a[2]), std::move(confidence)});
}

// a: self, label_text, value, offset_x, offset_y, clear_first, region
PyObject* impl_type_into(OpObject* op, PyObject** a) {
    Ref offset_x = arg_int(a[3], "offset_x");
    Ref offset_y = arg_int(a[4], "offset_y");
    bool clear_first = arg_bool(a[5]);
    arg_str(a[1], "label_text");
    arg_str(a[2], "value");
    return make_coroutine<type_into>(
        op, TypeInto{b(a[0]), b(a[1]), b(a[2]), std::move(offset_x), std::move(offset_y), b(a[6])}, clear_first);
}

constexpr ParamDef p_click_text[] = {{"self", required()},         {"target", required()},
                                     {"button", default_str("left")}, {"double", default_bool(false)},
                                     {"region", default_none()},     {"timeout", default_float(5.0)},
                                     {"retry_interval", default_float(1.0)}};
constexpr ParamDef p_click_near_text[] = {{"self", required()},       {"target", required()},
                                          {"offset_x", default_int(0)}, {"offset_y", default_int(0)},
                                          {"button", default_str("left")}, {"region", default_none()}};
constexpr ParamDef p_click_color[] = {{"self", required()},
                                      {"hex_color", required()},
                                      {"tolerance", default_int(20)},
                                      {"button", default_str("left")},
                                      {"region", default_none()}};
constexpr ParamDef p_click_image[] = {{"self", required()},
                                      {"image_path", required()},
                                      {"button", default_str("left")},
                                      {"confidence", default_float(0.8)}};
constexpr ParamDef p_type_into[] = {{"self", required()},          {"label_text", required()},
                                    {"value", required()},         {"offset_x", default_int(200)},
                                    {"offset_y", default_int(0)},  {"clear_first", default_bool(true)},
                                    {"region", default_none()}};

const char click_text_doc[] =
    "Find text on screen via OCR and click its center.\n"
    "\n"
    "        Keeps searching until the text appears or the timeout runs out.\n"
    "\n"
    "        Args:\n"
    "            target: Text to find (case-insensitive).\n"
    "            button: Mouse button to click with.\n"
    "            double: Double-click instead of a single click.\n"
    "            region: Limit the search to this screen region.\n"
    "            timeout: Seconds to keep searching, counted from the call.\n"
    "            retry_interval: Seconds to wait between searches.\n"
    "\n"
    "        Returns:\n"
    "            dict with success, target, clicked_at, match, attempts and click;\n"
    "            on failure success, target, error and attempts.\n"
    "        ";

const char click_near_text_doc[] =
    "Find text on screen and click at an offset from it.\n"
    "\n"
    "        Useful for clicking the input field next to its label.\n"
    "\n"
    "        Example:\n"
    "            # Click 30 px below the \"Username\" label\n"
    "            await fc.click_near_text(\"Username\", offset_y=30)\n"
    "            # Click 200 px to the right of the \"Email\" label\n"
    "            await fc.click_near_text(\"Email\", offset_x=200)\n"
    "        ";

const char click_color_doc[] =
    "Find a colored element on screen and click it.\n"
    "\n"
    "        Args:\n"
    "            hex_color: Colour to find, e.g. \"#00ff00\".\n"
    "            tolerance: How far a colour may differ and still match.\n"
    "            button: Mouse button to click with.\n"
    "            region: Limit the search to this screen region.\n"
    "        ";

const char click_image_doc[] =
    "Find an image on screen and click its center.\n"
    "\n"
    "        Uses PyAutoGUI's locateOnScreen for template matching.\n"
    "\n"
    "        Args:\n"
    "            image_path: File of the reference image.\n"
    "            button: Mouse button to click with.\n"
    "            confidence: Match confidence for the search (0 to 1).\n"
    "        ";

const char type_into_doc[] =
    "Find a label on screen, click the input field next to it, and type text.\n"
    "\n"
    "        This is the highest-level form-filling operation.\n"
    "\n"
    "        Example:\n"
    "            await fc.type_into(\"Username\", \"john_doe\")\n"
    "        ";

}  // namespace

const OpDef op_defs[] = {
    {"click_text", click_text_doc, p_click_text, count(p_click_text), impl_click_text, click_text_at, 1u << 3},
    {"click_near_text", click_near_text_doc, p_click_near_text, count(p_click_near_text), impl_click_near_text,
     click_near_text_at},
    {"click_color", click_color_doc, p_click_color, count(p_click_color), impl_click_color, click_color_at},
    {"click_image", click_image_doc, p_click_image, count(p_click_image), impl_click_image, click_image_at},
    {"type_into", type_into_doc, p_type_into, count(p_type_into), impl_type_into, type_into_at, 1u << 5},
};
const int op_count = int(sizeof(op_defs) / sizeof(op_defs[0]));

}  // namespace zv::seek_press
