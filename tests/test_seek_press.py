"""zorvane.pc.seek_press: SeekPress and its five operations, against scripted collaborators."""

import asyncio
import inspect
import logging
import os
import subprocess
import sys
import textwrap
import time
import types
from collections import namedtuple
from pathlib import Path

import pytest

from zorvane.pc import seek_press
from zorvane.pc.seek_press import SeekPress

_real_sleep = asyncio.sleep
CLICKED = object()  # what the scripted mouse answers
TYPED = object()  # what the scripted keyboard answers


# ---------------------------------------------------------------------------
# Scripted collaborators


class Clock:
    """Virtual wall clock and sleep, patched onto the time and asyncio modules."""

    def __init__(self, now=1000.0):
        self.now = now
        self.reads = 0
        self.sleeps = []
        self.suspend = False  # sleeps really yield to the loop

    def time(self):
        self.reads += 1
        return self.now

    async def sleep(self, seconds, result=None):
        self.sleeps.append(seconds)
        self.now += seconds
        if self.suspend:
            await _real_sleep(0)
        return result

    @property
    def elapsed(self):
        return self.now - 1000.0


@pytest.fixture
def clock(monkeypatch):
    c = Clock()
    monkeypatch.setattr(time, "time", c.time)
    monkeypatch.setattr(asyncio, "sleep", c.sleep)
    return c


def scripted(log, name, outcomes, clock=None, cost=0.0, starts=None):
    """A coroutine method answering with `outcomes` in turn (the last repeats);
    an exception instance is raised instead of returned."""
    outcomes = list(outcomes)

    async def method(*args, **kwargs):
        log.append((name, args, list(kwargs.items())))
        if clock is not None:
            starts.append(clock.elapsed)
        if clock is not None:
            clock.now += cost
        out = outcomes.pop(0) if len(outcomes) > 1 else outcomes[0]
        if isinstance(out, BaseException):
            raise out
        return out

    return method


def make(texts=({"found": False, "matches": []},), colors=({"found": False},), click=(CLICKED,),
         double_click=(CLICKED,), clock=None, cost=0.0):
    log, starts = [], []
    screen = types.SimpleNamespace(find_text=scripted(log, "find_text", texts, clock, cost, starts),
                                   find_color=scripted(log, "find_color", colors))
    mouse = types.SimpleNamespace(click=scripted(log, "click", click),
                                  double_click=scripted(log, "double_click", double_click))
    sp = SeekPress(mouse, screen)
    sp.log, sp.starts = log, starts  # instance __dict__ holds test bookkeeping too
    return sp


def run(coro):
    """Drives a coroutine whose collaborators never suspend."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    coro.close()
    raise AssertionError("the operation suspended")


def same(result, *items):
    """Keys in order, scalar values equal with the same type, others identical."""
    assert type(result) is dict
    assert list(result) == [k for k, _ in items]
    for key, want in items:
        got = result[key]
        if want is None or isinstance(want, (bool, int, float, str)):
            assert type(got) is type(want) and got == want, key
        elif isinstance(want, tuple):
            assert type(got) is tuple and got == want, key
            assert [type(v) for v in got] == [type(v) for v in want], key
        else:
            assert got is want, key


def found(*matches):
    return {"found": True, "matches": list(matches)}


BOX = {"x": 100, "y": 50, "width": 41, "height": 20, "text": "OK"}
MISS = {"found": False, "matches": []}


# ---------------------------------------------------------------------------
# Module and class


def test_module_namespace():
    assert isinstance(seek_press.logger, logging.Logger)
    assert seek_press.logger is logging.getLogger("zorvane.pc.seek_press")
    assert seek_press.asyncio is asyncio and seek_press.time is time
    from zorvane.pc.mouse import MouseController
    from zorvane.pc.screen import ScreenReader, ScreenRegion

    assert seek_press.MouseController is MouseController
    assert (seek_press.ScreenReader, seek_press.ScreenRegion) == (ScreenReader, ScreenRegion)
    assert SeekPress.__module__ == "zorvane.pc.seek_press" and SeekPress.__mro__ == (SeekPress, object)


def test_class_doc_shows_the_four_uses():
    doc = SeekPress.__doc__
    assert doc.startswith("Find-and-click: locate UI elements by text or image, then click them.")
    for use in ('click_text("OK")', 'click_text("Submit", double=True)',
                'click_near_text("Username", offset_y=30)', 'click_color("#00ff00")'):
        assert use in doc


def test_constructor_stores_collaborators_in_order():
    mouse, screen = object(), object()
    sp = SeekPress(mouse, screen)
    assert list(vars(sp).items()) == [("_mouse", mouse), ("_screen", screen)]
    assert SeekPress(screen=screen, mouse=mouse)._screen is screen
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'screen'"):
        SeekPress(mouse)
    with pytest.raises(TypeError):
        SeekPress(mouse, screen, None)
    with pytest.raises(TypeError, match="unexpected keyword argument 'keyboard'"):
        SeekPress(mouse, screen, keyboard=None)

    class Sub(SeekPress):
        pass

    assert Sub(mouse, screen)._mouse is mouse


OPERATIONS = {
    "click_text": ("Find text on screen via OCR and click its center.",
                   "(target, button='left', double=False, region=None, timeout=5.0, retry_interval=1.0)"),
    "click_near_text": ("Find text on screen and click at an offset from it.",
                        "(target, offset_x=0, offset_y=0, button='left', region=None)"),
    "click_color": ("Find a colored element on screen and click it.",
                    "(hex_color, tolerance=20, button='left', region=None)"),
    "click_image": ("Find an image on screen and click its center.",
                    "(image_path, button='left', confidence=0.8)"),
    "type_into": ("Find a label on screen, click the input field next to it, and type text.",
                  "(label_text, value, offset_x=200, offset_y=0, clear_first=True, region=None)"),
}


@pytest.mark.parametrize("name", OPERATIONS)
def test_operation_surface(name):
    first_line, signature = OPERATIONS[name]
    func = getattr(SeekPress, name)
    bound = getattr(SeekPress(None, None), name)
    assert inspect.iscoroutinefunction(func) and inspect.iscoroutinefunction(bound)
    assert str(inspect.signature(bound)) == signature
    assert str(inspect.signature(func)) == "(self, " + signature[1:]
    assert func.__doc__.startswith(first_line)
    assert func.__name__ == name and func.__qualname__ == "SeekPress." + name


def test_image_doc_names_the_template_matcher():
    assert "Uses PyAutoGUI's locateOnScreen for template matching." in SeekPress.click_image.__doc__
    assert "highest-level form-filling operation" in SeekPress.type_into.__doc__


def _host_tree(tmp_path, files):
    for rel, body in files.items():
        p = tmp_path / "zorvane" / "pc" / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(textwrap.dedent(body))
    pkg = Path(seek_press.__file__).resolve().parents[2]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(pkg), str(tmp_path)]))
    code = ("import sys\ntry:\n    import zorvane.pc.seek_press as m\nexcept ImportError as e:\n"
            "    print('ImportError', e)\nelse:\n    print('ok', 'zorvane.pc.keyboard' in sys.modules)\n")
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


GOOD_MOUSE = "class MouseController: pass\n"
GOOD_SCREEN = "class ScreenReader: pass\nclass ScreenRegion: pass\n"


@pytest.mark.parametrize("files, expect", [
    ({"mouse.py": GOOD_MOUSE, "screen.py": GOOD_SCREEN}, "ok False"),
    ({"screen.py": GOOD_SCREEN}, "ImportError No module named 'zorvane.pc.mouse'"),
    ({"mouse.py": "Mouse = 1\n", "screen.py": GOOD_SCREEN}, "ImportError cannot import name 'MouseController'"),
    ({"mouse.py": GOOD_MOUSE}, "ImportError No module named 'zorvane.pc.screen'"),
    ({"mouse.py": GOOD_MOUSE, "screen.py": "class ScreenReader: pass\n"},
     "ImportError cannot import name 'ScreenRegion'"),
])
def test_import_needs_the_host_modules(tmp_path, files, expect):
    assert _host_tree(tmp_path, files).startswith(expect)


# ---------------------------------------------------------------------------
# click_text: the deadline rule, on a virtual clock


def test_found_at_once(clock):
    sp = make(texts=[found(BOX, {"x": 1})], clock=clock)
    res = run(sp.click_text("OK"))
    same(res, ("success", True), ("target", "OK"), ("clicked_at", (120, 60)), ("match", res["match"]),
         ("attempts", 1), ("click", CLICKED))
    assert res["match"] is BOX
    assert sp.log == [("find_text", ("OK",), [("region", None)]), ("click", (120, 60), [("button", "left")])]
    assert clock.sleeps == [] and clock.reads == 2


@pytest.mark.parametrize("timeout, retry, cost, starts, sleeps", [
    # the pauses stop once one would end at the deadline; then searches follow back to back
    (5.0, 1.0, 0.25, [0, 1.25, 2.5, 3.75, 4.0, 4.25, 4.5, 4.75], [1.0, 1.0, 1.0]),
    # a search ending at 4.0 with a 1 s pause would end exactly at the deadline: no pause
    (5.0, 1.0, 1.5, [0, 2.5, 4.0], [1.0]),
    # the deadline test is strict too: at exactly 4.0 of 4.0 no search starts
    (4, 1, 1.0, [0, 2.0, 3.0], [1.0]),
    (5.0, 0.0, 2.0, [0, 2.0, 4.0], [0.0, 0.0]),
    (1.0, 5.0, 0.5, [0, 0.5], []),
])
def test_retry_timing(clock, timeout, retry, cost, starts, sleeps):
    sp = make(texts=[MISS], clock=clock, cost=cost)
    res = run(sp.click_text("Save", timeout=timeout, retry_interval=retry))
    n = len(starts)
    same(res, ("success", False), ("target", "Save"),
         ("error", f"Text 'Save' not found on screen after {n} attempts"), ("attempts", n))
    assert sp.starts == starts and clock.sleeps == sleeps
    assert all(type(s) is float for s in clock.sleeps)


@pytest.mark.parametrize("timeout", [0, 0.0, -1.5, float("nan")])
def test_no_time_no_search(clock, timeout):
    sp = make(clock=clock)
    res = run(sp.click_text("x", timeout=timeout))
    same(res, ("success", False), ("target", "x"), ("error", "Text 'x' not found on screen after 0 attempts"),
         ("attempts", 0))
    assert sp.log == [] and clock.reads == 2


def test_slow_search_past_deadline_still_succeeds(clock):
    sp = make(texts=[MISS, found(BOX)], clock=clock, cost=4.75)
    res = run(sp.click_text("OK", timeout=5.0))
    assert res["success"] is True and res["attempts"] == 2
    assert sp.starts == [0, 4.75] and clock.sleeps == [] and clock.elapsed > 5.0


def test_found_after_retries(clock):
    sp = make(texts=[MISS, {"found": True, "matches": []}, {"found": False, "matches": [BOX]}, found(BOX)],
              clock=clock, cost=0.1)
    res = run(sp.click_text("OK", retry_interval=0.5))
    assert res["attempts"] == 4 and clock.sleeps == [0.5, 0.5, 0.5]


def test_one_attempt_has_no_singular(clock):
    sp = make(clock=clock, cost=1.0)
    res = run(sp.click_text("it's \"here\"", timeout=1.0))
    assert res["error"] == "Text 'it's \"here\"' not found on screen after 1 attempts"


def test_clock_read_on_the_module_each_time(clock, monkeypatch):
    sp = make(clock=clock, cost=0.0)
    later = Clock(now=5000.0)
    reads = []

    def swapping_clock():
        reads.append(1)
        # the second read comes from a clock installed after the call began
        monkeypatch.setattr(time, "time", later.time)
        return 0.0

    monkeypatch.setattr(time, "time", swapping_clock)
    res = run(sp.click_text("x"))
    assert res["attempts"] == 0 and len(reads) == 1 and later.reads == 1


def test_integer_clock_values_use_python_arithmetic(monkeypatch):
    ticks = iter([10, 10, 12, 14])
    monkeypatch.setattr(time, "time", lambda: next(ticks))
    sleeps = []

    async def sleep(s):
        sleeps.append(s)

    monkeypatch.setattr(asyncio, "sleep", sleep)
    sp = make()
    res = run(sp.click_text("x", timeout=3, retry_interval=1))
    # 10-10 < 3: search; 12-10+1 < 3 false: no pause; 14-10 < 3 false: stop
    assert res["attempts"] == 1 and sleeps == []


def test_double_click_ignores_button(clock):
    sp = make(texts=[found(BOX)], clock=clock)
    res = run(sp.click_text("OK", button="right", double=1))
    assert sp.log[1] == ("double_click", (120, 60), [])
    assert res["click"] is CLICKED


def test_region_and_button_passed_through(clock):
    region = object()
    sp = make(texts=[found(BOX)], clock=clock)
    run(sp.click_text("OK", "middle", False, region))
    assert sp.log == [("find_text", ("OK",), [("region", region)]), ("click", (120, 60), [("button", "middle")])]


# ---------------------------------------------------------------------------
# Centre and offset arithmetic, shared by click_text and click_near_text


@pytest.mark.parametrize("match, centre", [
    ({"x": 100, "y": 50, "width": 41, "height": 20}, (120, 60)),
    ({"x": 100, "y": 50}, (100, 50)),
    ({}, (0, 0)),
    ({"x": 10, "y": 10, "width": -7, "height": -1}, (6, 9)),  # floor, not truncation
    ({"x": -5, "y": -5, "width": 3, "height": 1}, (-4, -5)),
    ({"x": 1.5, "y": 0, "width": 3.0, "height": True}, (2.5, 0)),
    ({"x": 2**70, "width": 2**71 + 1, "y": 0, "height": 7}, (2**70 + 2**70, 3)),
])
def test_centre(clock, match, centre):
    sp = make(texts=[found(match)], clock=clock)
    assert run(sp.click_text("t"))["clicked_at"] == centre
    sp = make(texts=[found(match)])
    res = run(sp.click_near_text("t", -3, 7))
    assert res["clicked_at"] == (centre[0] - 3, centre[1] + 7)
    assert [type(v) for v in res["clicked_at"]] == [type(c) for c in centre]
    assert sp.log[-1] == ("click", (centre[0] - 3, centre[1] + 7), [("button", "left")])


class RecordingRecord:
    """A match record that is not a dict: read through its own get."""

    def __init__(self):
        self.keys = []

    def get(self, key, default):
        self.keys.append((key, default))
        return {"x": 4, "width": 4}.get(key, default)


def test_match_record_read_through_get():
    rec = RecordingRecord()
    sp = make(texts=[found(rec)])
    res = run(sp.click_near_text("t", offset_x=1))
    assert rec.keys == [("x", 0), ("width", 0), ("y", 0), ("height", 0)]
    assert res["clicked_at"] == (7, 0) and res["match"] is rec


def test_centre_arithmetic_errors_propagate():
    sp = make(texts=[found({"x": "1", "width": 2})])
    with pytest.raises(TypeError):
        run(sp.click_near_text("t"))
    assert [c[0] for c in sp.log] == ["find_text"]


# ---------------------------------------------------------------------------
# click_near_text


def test_near_text_result():
    sp = make(texts=[found(BOX, {"x": 0})])
    res = run(sp.click_near_text("OK", offset_y=30.9))
    same(res, ("success", True), ("target", "OK"), ("offset", (0, 30)), ("clicked_at", (120, 90)),
         ("match", BOX), ("click", CLICKED))
    assert sp.log == [("find_text", ("OK",), [("region", None)]), ("click", (120, 90), [("button", "left")])]


class ResultObject:
    """A search result that is not a dict; records which keys were read."""

    def __init__(self, data):
        self.data, self.keys = data, []

    def get(self, key):
        self.keys.append(key)
        return self.data.get(key)

    def __getitem__(self, key):
        self.keys.append("[%s]" % key)
        return self.data[key]


@pytest.mark.parametrize("data, hit, keys", [
    ({"found": True, "matches": []}, False, ["found", "matches"]),
    ({"found": False, "matches": [BOX]}, False, ["found"]),
    ({"matches": [BOX]}, False, ["found"]),
    ({"found": True}, False, ["found", "matches"]),
    ({"found": 0, "matches": [BOX]}, False, ["found"]),
    ({"found": "yes", "matches": (BOX,)}, True, ["found", "matches", "[matches]"]),
    ({"found": [0], "matches": [BOX, {}]}, True, ["found", "matches", "[matches]"]),
])
def test_found_and_matches_truth(data, hit, keys):
    for op in ("near", "color", "text"):
        result = ResultObject(data)
        sp = make(texts=[result], colors=[result])
        if op == "near":
            res = run(sp.click_near_text("OK"))
        elif op == "color":
            res = run(sp.click_color("#fff"))
        else:
            res = run(sp.click_text("OK", timeout=0.5, retry_interval=1.0)) if hit else None
            if not hit:
                continue  # retries on the real clock; covered by the timing tests
        assert res["success"] is hit
        assert result.keys == keys
        if not hit:
            assert len(sp.log) == 1


def test_near_text_not_found():
    sp = make(texts=[{"found": True, "matches": []}])
    res = run(sp.click_near_text("a 'b'", 5, 5, "right", None))
    same(res, ("success", False), ("target", "a 'b'"), ("error", "Text 'a 'b'' not found on screen"))
    assert len(sp.log) == 1


def test_dict_subclass_result_uses_its_get():
    class Weird(dict):
        def get(self, key, default=None):
            return {"found": True, "matches": [BOX]}.get(key, default)

    sp = make(texts=[Weird(matches=[{"x": 9}])])
    # `get` says found, subscript gives the stored matches
    assert run(sp.click_near_text("OK"))["match"] == {"x": 9}


# ---------------------------------------------------------------------------
# click_color


def test_color_result_and_calls():
    match = {"x": 40, "y": 75, "color": "#00ff00"}
    sp = make(colors=[{"found": True, "matches": [match, {"x": 1, "y": 1}]}])
    res = run(sp.click_color("#00FF00"))
    same(res, ("success", True), ("color", "#00FF00"), ("clicked_at", (40, 75)), ("click", CLICKED))
    assert sp.log == [("find_color", ("#00FF00",), [("tolerance", 20), ("region", None), ("max_results", 1)]),
                      ("click", (40, 75), [("button", "left")])]


def test_color_not_found():
    sp = make(colors=[{"found": False, "matches": [{"x": 1, "y": 1}]}])
    res = run(sp.click_color("00ff00", 5, "right", "R"))
    same(res, ("success", False), ("color", "00ff00"), ("error", "Color 00ff00 not found on screen"))
    assert sp.log == [("find_color", ("00ff00",), [("tolerance", 5), ("region", "R"), ("max_results", 1)])]


def test_color_point_passed_unchanged():
    x, y = 40.5, -3
    sp = make(colors=[found({"x": x, "y": y})])
    assert run(sp.click_color("#000"))["clicked_at"] == (40.5, -3)
    assert sp.log[1] == ("click", (40.5, -3), [("button", "left")])


def test_color_match_without_x_raises():
    sp = make(colors=[found({"y": 1})])
    with pytest.raises(KeyError):
        run(sp.click_color("#000"))
    assert len(sp.log) == 1


# ---------------------------------------------------------------------------
# Argument handling at the call


class S(str):
    pass


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


REFUSED = [
    # (operation, args, kwargs, exception, message fragment or None)
    ("click_text", (5,), {}, TypeError, "Argument 'target' has incorrect type (expected str, got int)"),
    ("click_text", (None,), {}, TypeError, "Argument 'target' has incorrect type (expected str, got NoneType)"),
    ("click_text", (S("x"),), {}, TypeError, "expected str, got S"),
    ("click_text", ("x", b"left"), {}, TypeError, "Argument 'button' has incorrect type (expected str, got bytes)"),
    ("click_text", ("x",), {"timeout": "5"}, TypeError, None),
    ("click_text", ("x",), {"retry_interval": None}, TypeError, None),
    ("click_text", (5,), {"timeout": "5"}, TypeError, "str"),  # timeout is converted before target is checked
    ("click_text", (5,), {"double": BadBool()}, ZeroDivisionError, None),  # truth value first of all
    ("click_text", ("x",), {"tries": 3}, TypeError, "unexpected keyword argument 'tries'"),
    ("click_text", ("x", "l", 0, None, 1.0, 1.0, 7), {}, TypeError, "positional argument"),
    ("click_text", (), {}, TypeError, "missing 1 required positional argument: 'target'"),
    ("click_near_text", ("x", "1"), {}, TypeError, "Argument 'offset_x' has incorrect type (expected int, got str)"),
    ("click_near_text", ("x", 0, None), {}, TypeError, "Argument 'offset_y'"),
    ("click_near_text", (None,), {"offset_y": "1"}, TypeError, "Argument 'offset_y'"),
    ("click_near_text", (b"x",), {}, TypeError, "Argument 'target'"),
    ("click_near_text", ("x",), {"button": None}, TypeError, "Argument 'button'"),
    ("click_near_text", ("x", float("inf")), {}, OverflowError, None),
    ("click_near_text", ("x", 0, float("nan")), {}, ValueError, None),
    ("click_color", ("#fff", "20"), {}, TypeError, "Argument 'tolerance' has incorrect type (expected int, got str)"),
    ("click_color", (None,), {"tolerance": []}, TypeError, "Argument 'tolerance'"),
    ("click_color", (S("#fff"),), {}, TypeError, "Argument 'hex_color'"),
    ("click_color", ("#fff",), {"button": 1}, TypeError, "Argument 'button'"),
    ("click_color", ("#fff",), {"region": None, "max_results": 1}, TypeError, "unexpected keyword"),
    ("click_image", ("a.png",), {"confidence": "0.9"}, TypeError, None),
    ("click_image", (Path("a.png"),), {}, TypeError, "Argument 'image_path' has incorrect type (expected str, got"),
    ("click_image", (None,), {"confidence": "x"}, TypeError, "must be real number"),
    ("click_image", ("a.png", None), {}, TypeError, "Argument 'button'"),
    ("click_image", ("a.png",), {"region": None}, TypeError, "unexpected keyword argument 'region'"),
    ("type_into", ("User", "v", "200"), {}, TypeError, "Argument 'offset_x'"),
    ("type_into", (None, None), {"offset_y": "0"}, TypeError, "Argument 'offset_y'"),
    ("type_into", (None, "v"), {"clear_first": BadBool()}, ZeroDivisionError, None),
    ("type_into", (b"User", "v"), {}, TypeError, "Argument 'label_text'"),
    ("type_into", ("User", b"v"), {}, TypeError, "Argument 'value' has incorrect type (expected str, got bytes)"),
    ("type_into", ("User",), {}, TypeError, "missing 1 required positional argument: 'value'"),
]


@pytest.mark.parametrize("name, args, kwargs, exc, message", REFUSED)
def test_refused_at_the_call(monkeypatch, name, args, kwargs, exc, message):
    sp = make(texts=[found(BOX)], colors=[found(BOX)])
    fake = types.ModuleType("pyautogui")
    fake.locateOnScreen = lambda *a, **k: pytest.fail("searched")
    monkeypatch.setitem(sys.modules, "pyautogui", fake)
    with pytest.raises(exc) as info:
        getattr(sp, name)(*args, **kwargs)  # not awaited: the call itself raises
    if message:
        assert message in str(info.value)
    assert sp.log == []


class Number:
    """Real-number-like without being int or float."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        return float(self.v)


@pytest.mark.parametrize("given, passed", [
    (12.9, 12), (-3.7, -3), (True, 1), (False, 0), (7, 7), (2**80, 2**80), (Number(9.99), 9),
])
def test_int_conversion(given, passed):
    sp = make(texts=[found({})], colors=[found({"x": 0, "y": 0})])
    res = run(sp.click_near_text("t", offset_x=given, offset_y=given))
    assert res["offset"] == (passed, passed) and type(res["offset"][0]) is int
    run(sp.click_color("#000", given))
    assert sp.log[2][2][0] == ("tolerance", passed) and type(sp.log[2][2][0][1]) is int


@pytest.mark.parametrize("given", [1, True, 0.25, Number(2)])
def test_float_conversion(clock, given):
    sp = make(clock=clock, cost=100.0)
    run(sp.click_text("t", timeout=given, retry_interval=given))
    assert sp.log  # one search made with a converted timeout
    sp = make(clock=clock, cost=0.5)
    run(sp.click_text("t", timeout=10, retry_interval=given))
    assert type(clock.sleeps[-1]) is float and clock.sleeps[-1] == float(given)


# ---------------------------------------------------------------------------
# Exceptions from collaborators propagate unchanged


class Boom(Exception):
    pass


@pytest.mark.parametrize("name, call, setup", [
    ("find_text", lambda sp: sp.click_text("OK"), {"texts": [Boom()]}),
    ("click", lambda sp: sp.click_text("OK"), {"texts": [found(BOX)], "click": [Boom()]}),
    ("double_click", lambda sp: sp.click_text("OK", double=True), {"texts": [found(BOX)], "double_click": [Boom()]}),
    ("find_text", lambda sp: sp.click_near_text("OK"), {"texts": [Boom()]}),
    ("click", lambda sp: sp.click_near_text("OK"), {"texts": [found(BOX)], "click": [Boom()]}),
    ("find_color", lambda sp: sp.click_color("#fff"), {"colors": [Boom()]}),
    ("click", lambda sp: sp.click_color("#fff"), {"colors": [found(BOX)], "click": [Boom()]}),
    ("find_text", lambda sp: sp.type_into("OK", "v"), {"texts": [Boom()]}),
])
def test_collaborator_exception_propagates(clock, name, call, setup):
    boom = (setup.get("texts") or setup.get("colors") or [None])[0]
    for key in ("click", "double_click"):
        if key in setup:
            boom = setup[key][0]
    sp = make(clock=clock, **setup)
    with pytest.raises(Boom) as info:
        run(call(sp))
    assert info.value is boom
    assert sp.log[-1][0] == name and sum(1 for c in sp.log if c[0] == name) == 1


def test_sleep_exception_propagates(clock, monkeypatch):
    boom = Boom()

    async def sleep(s):
        raise boom

    monkeypatch.setattr(asyncio, "sleep", sleep)
    sp = make(clock=clock, cost=0.1)
    with pytest.raises(Boom) as info:
        run(sp.click_text("OK"))
    assert info.value is boom and len(sp.log) == 1


@pytest.mark.parametrize("bad", [None, 5, [("found", True)]])
def test_search_result_of_wrong_kind(bad):
    sp = make(texts=[bad], colors=[bad])
    for call in (sp.click_near_text("OK"), sp.click_color("#fff")):
        with pytest.raises((AttributeError, TypeError)):
            run(call)


def test_missing_collaborator_attribute():
    sp = SeekPress(object(), object())
    with pytest.raises(AttributeError):
        run(sp.click_near_text("OK"))
    del sp._screen
    with pytest.raises(AttributeError, match="_screen"):
        run(sp.click_color("#fff"))


def test_collaborators_read_at_each_use():
    sp = make(texts=[found(BOX)])
    other = make(texts=[MISS])
    sp._screen = other._screen
    assert run(sp.click_near_text("OK"))["success"] is False
    assert sp.log == [] and len(other.log) == 1


# ---------------------------------------------------------------------------
# Cancellation reaches the operation at its suspension point


def test_cancel_during_sleep(clock):
    clock.suspend = True

    async def main():
        sp = make(clock=clock, cost=0.1)
        gate = asyncio.get_running_loop().create_future()

        async def sleep(seconds):
            clock.sleeps.append(seconds)
            await gate

        asyncio.sleep = sleep  # restored by the fixture
        task = asyncio.ensure_future(sp.click_text("OK"))
        while not clock.sleeps:
            await _real_sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert gate.cancelled() and len(sp.log) == 1

    asyncio.run(main())


def test_cancel_during_search(clock):
    async def main():
        gate = asyncio.get_running_loop().create_future()
        started = []

        async def find_text(*args, **kwargs):
            started.append(args)
            return await gate

        sp = SeekPress(None, types.SimpleNamespace(find_text=find_text))
        task = asyncio.ensure_future(sp.click_text("OK"))
        while not started:
            await _real_sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert gate.cancelled() and clock.sleeps == []

    asyncio.run(main())


def test_concurrent_calls_keep_their_own_counters(clock):
    clock.suspend = True
    screen_log = []

    async def find_text(target, *, region=None):
        screen_log.append(target)
        clock.now += 0.5
        await _real_sleep(0)
        return found(BOX) if screen_log.count(target) == 2 and target == "B" else MISS

    async def main():
        sp = SeekPress(types.SimpleNamespace(click=scripted([], "click", [CLICKED])),
                       types.SimpleNamespace(find_text=find_text))
        return await asyncio.gather(sp.click_text("A", timeout=10.0), sp.click_text("B", timeout=10.0))

    a, b = asyncio.run(main())
    assert b["success"] is True and b["attempts"] == 2
    assert a["success"] is False and a["attempts"] == screen_log.count("A") > 2


# ---------------------------------------------------------------------------
# click_image, with a scripted pyautogui


Box = namedtuple("Box", "left top width height")
Point = namedtuple("Point", "x y")


@pytest.fixture
def gui(monkeypatch):
    mod = types.ModuleType("pyautogui")
    mod.calls = []
    mod.location = Box(10, 20, 30, 40)

    def locateOnScreen(*args, **kwargs):
        mod.calls.append(("locateOnScreen", args, list(kwargs.items())))
        if isinstance(mod.location, BaseException):
            raise mod.location
        return mod.location

    def center(*args, **kwargs):
        mod.calls.append(("center", args, list(kwargs.items())))
        return Point(25, 40)

    mod.locateOnScreen, mod.center = locateOnScreen, center
    monkeypatch.setitem(sys.modules, "pyautogui", mod)
    return mod


def test_image_success(gui):
    sp = make()
    res = run(sp.click_image("ok.png"))
    same(res, ("success", True), ("image", "ok.png"), ("clicked_at", (25, 40)), ("region", res["region"]),
         ("click", CLICKED))
    assert list(res["region"].items()) == [("x", 10), ("y", 20), ("width", 30), ("height", 40)]
    assert gui.calls == [("locateOnScreen", ("ok.png",), [("confidence", 0.8)]),
                         ("center", (Box(10, 20, 30, 40),), [])]
    assert sp.log == [("click", (25, 40), [("button", "left")])]


def test_image_confidence_arrives_as_float(gui):
    sp = make()
    run(sp.click_image("ok.png", "right", 1))
    conf = gui.calls[0][2][0][1]
    assert type(conf) is float and conf == 1.0
    assert sp.log[0][2] == [("button", "right")]


def test_image_package_absent(monkeypatch):
    monkeypatch.setitem(sys.modules, "pyautogui", None)
    sp = make()
    same(run(sp.click_image("ok.png")), ("success", False), ("error", "pyautogui not installed"))
    assert sp.log == []


def test_image_imported_at_every_call(gui, monkeypatch):
    sp = make()
    assert run(sp.click_image("a.png"))["success"] is True
    monkeypatch.setitem(sys.modules, "pyautogui", None)
    assert run(sp.click_image("a.png"))["error"] == "pyautogui not installed"
    monkeypatch.setitem(sys.modules, "pyautogui", gui)
    assert run(sp.click_image("a.png"))["success"] is True


@pytest.mark.parametrize("location", [None, False, 0, ()])
def test_image_not_found(gui, location):
    gui.location = location
    sp = make()
    same(run(sp.click_image("ok.png")), ("success", False), ("image", "ok.png"),
         ("error", "Image not found on screen"))
    assert sp.log == [] and len(gui.calls) == 1


@pytest.mark.parametrize("exc, error", [
    (ValueError("cannot read ok.png"), "cannot read ok.png"),
    (OSError(), ""),
    (KeyError("DISPLAY"), "'DISPLAY'"),
    (ModuleNotFoundError("No module named 'cv2'"), "pyautogui not installed"),
    (ImportError("inner"), "pyautogui not installed"),
])
def test_image_search_raises(gui, exc, error):
    gui.location = exc
    sp = make()
    same(run(sp.click_image("ok.png")), ("success", False), ("error", error))
    assert sp.log == []


@pytest.mark.parametrize("exc, error", [(RuntimeError("mouse gone"), "mouse gone"),
                                        (ImportError("late"), "pyautogui not installed")])
def test_image_click_raises(gui, exc, error):
    sp = make(click=[exc])
    same(run(sp.click_image("ok.png")), ("success", False), ("error", error))
    assert len(sp.log) == 1


def test_image_result_building_guarded(gui):
    class Located:  # truthy, but without the box attributes
        pass

    gui.location = Located()
    sp = make()
    res = run(sp.click_image("ok.png"))
    assert res == {"success": False, "error": "'Located' object has no attribute 'left'"}
    assert len(sp.log) == 1  # the click happened and is not undone


def test_image_center_raises(gui):
    def center(location):
        raise ZeroDivisionError("centre")

    gui.center = center
    assert run(make().click_image("ok.png")) == {"success": False, "error": "centre"}


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), asyncio.CancelledError(), GeneratorExit()])
def test_image_base_exceptions_propagate(gui, exc):
    gui.location = exc
    with pytest.raises(type(exc)) as info:
        run(make().click_image("ok.png"))
    assert info.value is exc


def test_image_unprintable_exception(gui):
    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no text")

    original = Unprintable()
    gui.location = original
    with pytest.raises(RuntimeError, match="no text") as info:
        run(make().click_image("ok.png"))
    assert info.value.__context__ is original


def test_image_cancel_during_click(gui):
    async def main():
        gate = asyncio.get_running_loop().create_future()
        entered = []

        async def click(*args, **kwargs):
            entered.append(args)
            return await gate

        sp = SeekPress(types.SimpleNamespace(click=click), None)
        task = asyncio.ensure_future(sp.click_image("ok.png"))
        while not entered:
            await _real_sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert gate.cancelled()

    asyncio.run(main())


@types.coroutine
def _suspend():
    yield "suspended"


def test_image_close_while_suspended(gui):
    async def click(*args, **kwargs):
        await _suspend()

    coro = SeekPress(types.SimpleNamespace(click=click), None).click_image("ok.png")
    assert coro.send(None) == "suspended"
    assert coro.close() is None  # GeneratorExit passes the guard: no failure result
    assert not coro.cr_suspended


# ---------------------------------------------------------------------------
# type_into


@pytest.fixture
def keyboard(monkeypatch):
    mod = types.ModuleType("zorvane.pc.keyboard")
    mod.built, mod.typed, mod.answer = [], [], TYPED

    class KeyboardController:
        def __init__(self, *args, **kwargs):
            mod.built.append((args, kwargs))

        async def type_text(self, *args, **kwargs):
            mod.typed.append((self, args, list(kwargs.items())))
            if isinstance(mod.answer, BaseException):
                raise mod.answer
            return mod.answer

    mod.KeyboardController = KeyboardController
    monkeypatch.setitem(sys.modules, "zorvane.pc.keyboard", mod)
    return mod


def test_type_into_success(clock, keyboard):
    sp = make(texts=[found(BOX)], clock=clock)
    res = run(sp.type_into("Username", "john_doe"))
    same(res, ("success", True), ("label", "Username"), ("value", "john_doe"), ("clicked_at", (320, 60)),
         ("typed", TYPED))
    assert sp.log == [("find_text", ("Username",), [("region", None)]), ("click", (320, 60), [("button", "left")])]
    assert clock.sleeps == [0.2] and keyboard.built == [(("fast",), {})]
    assert keyboard.typed[0][1:] == (("john_doe",), [("clear_first", True)])


def test_type_into_calls_click_near_text_of_the_instance(clock, keyboard):
    sp = make()
    calls, answer = [], {"success": 1, "clicked_at": "here"}

    async def click_near_text(*args, **kwargs):
        calls.append((args, list(kwargs.items())))
        return answer

    sp.click_near_text = click_near_text
    region = object()
    res = run(sp.type_into("Email", "", 12.9, -3.7, [1], region))
    assert calls == [(("Email",), [("offset_x", 12), ("offset_y", -3), ("region", region)])]
    assert res["clicked_at"] == "here" and res["success"] is True
    assert keyboard.typed[0][1:] == (("",), [("clear_first", True)])
    run(sp.type_into("Email", "v"))
    assert calls[1] == (("Email",), [("offset_x", 200), ("offset_y", 0), ("region", None)])


@pytest.mark.parametrize("given, passed", [(0, False), ("", False), (None, False), ([], False),
                                           (1, True), ([0], True), ("no", True), (True, True)])
def test_type_into_clear_first(clock, keyboard, given, passed):
    sp = make(texts=[found(BOX)], clock=clock)
    run(sp.type_into("User", "v", clear_first=given))
    assert keyboard.typed[0][2] == [("clear_first", passed)] and keyboard.typed[0][2][0][1] is passed


def test_type_into_new_keyboard_each_call(clock, keyboard):
    sp = make(texts=[found(BOX)], clock=clock)
    run(sp.type_into("User", "a"))
    run(sp.type_into("User", "b"))
    assert len(keyboard.built) == 2 and keyboard.typed[0][0] is not keyboard.typed[1][0]


def test_type_into_failure_is_the_click_result(clock, keyboard):
    sp = make()
    failure = {"success": False, "error": "mine", "extra": 1}

    async def click_near_text(*args, **kwargs):
        return failure

    sp.click_near_text = click_near_text
    assert run(sp.type_into("User", "v")) is failure
    assert clock.sleeps == [] and keyboard.built == [] and keyboard.typed == []
    del sp.click_near_text
    res = run(sp.type_into("Missing", "v"))
    same(res, ("success", False), ("target", "Missing"), ("error", "Text 'Missing' not found on screen"))


def test_type_into_failure_must_be_a_plain_dict(clock, keyboard):
    class Sub(dict):
        pass

    class Answer:
        def get(self, key):
            return None

    sp = make()
    for bad, name in ((Sub(success=False), "Sub"), (Answer(), "Answer")):
        async def click_near_text(*args, _bad=bad, **kwargs):
            return _bad

        sp.click_near_text = click_near_text
        with pytest.raises(TypeError, match=f"Expected dict, got {name}"):
            run(sp.type_into("User", "v"))
    assert keyboard.built == []


def test_type_into_missing_clicked_at_and_failed_typing(clock, keyboard):
    sp = make()
    keyboard.answer = {"success": False, "error": "stuck key"}

    async def click_near_text(*args, **kwargs):
        return {"success": True}

    sp.click_near_text = click_near_text
    res = run(sp.type_into("User", "v"))
    same(res, ("success", True), ("label", "User"), ("value", "v"), ("clicked_at", None),
         ("typed", keyboard.answer))


@pytest.mark.parametrize("entry", [None, types.ModuleType("zorvane.pc.keyboard")])
def test_type_into_keyboard_import_fails_before_any_click(clock, monkeypatch, entry):
    monkeypatch.setitem(sys.modules, "zorvane.pc.keyboard", entry)
    sp = make(texts=[found(BOX)], clock=clock)
    coro = sp.type_into("User", "v")  # the import happens when the coroutine runs
    with pytest.raises(ImportError):
        run(coro)
    assert sp.log == []


def test_type_into_keyboard_imported_at_every_call(clock, keyboard, monkeypatch):
    sp = make(texts=[found(BOX)], clock=clock)
    run(sp.type_into("User", "v"))
    other = types.ModuleType("zorvane.pc.keyboard")
    other.KeyboardController = keyboard.KeyboardController
    built = []
    other.KeyboardController = type("K2", (keyboard.KeyboardController,),
                                    {"__init__": lambda self, *a: built.append(a)})
    monkeypatch.setitem(sys.modules, "zorvane.pc.keyboard", other)
    run(sp.type_into("User", "v"))
    assert built == [("fast",)]


@pytest.mark.parametrize("where", ["sleep", "construct", "type_text", "click"])
def test_type_into_exceptions_propagate(clock, keyboard, monkeypatch, where):
    boom = Boom()
    sp = make(texts=[found(BOX)], click=[boom] if where == "click" else [CLICKED], clock=clock)
    if where == "sleep":
        async def sleep(s):
            raise boom
        monkeypatch.setattr(asyncio, "sleep", sleep)
    elif where == "construct":
        def construct(*args):
            raise boom
        keyboard.KeyboardController = construct
    elif where == "type_text":
        keyboard.answer = boom
    with pytest.raises(Boom) as info:
        run(sp.type_into("User", "v"))
    assert info.value is boom


# ---------------------------------------------------------------------------
# The host stand-ins, end to end


def test_with_simulated_desktop():
    from zorvane.pc.keyboard import KeyboardController
    from zorvane.pc.mouse import MouseController
    from zorvane.pc.screen import ScreenReader, ScreenRegion

    screen, mouse = ScreenReader(), MouseController()
    screen.add_text("Username", 40, 100, 80, 20)
    screen.add_text("OK", 300, 400, 30, 18)
    screen.add_color("#10f010", 500, 20)
    sp = SeekPress(mouse, screen)
    before = len(KeyboardController.history)

    async def main():
        a = await sp.click_text("ok", region=ScreenRegion(250, 350, 200, 100))
        b = await sp.type_into("username", "alice")
        c = await sp.click_color("#00ff00")
        d = await sp.click_text("Cancel", timeout=0.05, retry_interval=0.01)
        return a, b, c, d

    a, b, c, d = asyncio.run(main())
    assert a["clicked_at"] == (315, 409) and a["match"]["text"] == "OK"
    assert b["clicked_at"] == (280, 110) and KeyboardController.history[before:] == [("fast", "alice", True)]
    assert c["clicked_at"] == (500, 20)
    assert d["success"] is False and d["attempts"] >= 1
    assert [e[:3] for e in mouse.events] == [("click", 315, 409), ("click", 280, 110), ("click", 500, 20)]
