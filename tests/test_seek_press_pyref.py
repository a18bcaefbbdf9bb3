"""Differential test: the native SeekPress against the pure-Python rendition in bench/pyref,
on random collaborator answers, arguments and virtual clocks."""

import asyncio
import importlib.util
import sys
import time
import types
from collections import namedtuple
from pathlib import Path
from unittest import mock

import pytest
from hypothesis import given, settings, strategies as st

from zorvane.pc.seek_press import SeekPress

_PYREF = Path(__file__).resolve().parent.parent / "bench" / "pyref" / "seek_press.py"
if not _PYREF.exists():
    pytest.skip("no pure-Python rendition", allow_module_level=True)
_spec = importlib.util.spec_from_file_location("pyref_seek_press", _PYREF)
pyref = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(pyref)

Box = namedtuple("Box", "left top width height")
Point = namedtuple("Point", "x y")


class Boom(Exception):
    pass


# ---------------------------------------------------------------------------
# One run of one implementation against a script of collaborator answers


class World:
    def __init__(self, script):
        self.script = script
        self.log = []
        self.now = 0.0
        self.reads = 0
        self.cursor = {}

    def answer(self, name):
        outs = self.script[name]
        i = self.cursor.get(name, 0)
        self.cursor[name] = i + 1
        out = outs[min(i, len(outs) - 1)]
        if isinstance(out, BaseException):
            raise type(out)(*out.args)
        return out

    def method(self, name, cost=0.0):
        async def call(*args, **kwargs):
            self.log.append((name, args, list(kwargs.items())))
            self.now += cost
            return self.answer(name)

        return call

    def time(self):
        self.reads += 1
        return self.now

    async def sleep(self, seconds):
        self.log.append(("sleep", (seconds, type(seconds).__name__), []))
        self.now += seconds


def run_once(cls, op, args, kwargs, script):
    w = World(script)
    screen = types.SimpleNamespace(find_text=w.method("find_text", script.get("cost", 0.0)),
                                   find_color=w.method("find_color"))
    mouse = types.SimpleNamespace(click=w.method("click"), double_click=w.method("double_click"))

    gui = types.ModuleType("pyautogui")

    def locate(*a, **k):
        w.log.append(("locateOnScreen", a, [(n, v, type(v).__name__) for n, v in k.items()]))
        return w.answer("locate")

    def center(loc):
        w.log.append(("center", (loc,), []))
        return Point(loc.left + loc.width // 2, loc.top + loc.height // 2)

    gui.locateOnScreen, gui.center = locate, center

    keyboard = types.ModuleType("zorvane.pc.keyboard")

    class KeyboardController:
        def __init__(self, *a):
            w.log.append(("KeyboardController", a, []))

        async def type_text(self, *a, **k):
            w.log.append(("type_text", a, [(n, v, type(v).__name__) for n, v in k.items()]))
            return w.answer("type_text")

    keyboard.KeyboardController = KeyboardController

    with mock.patch.object(time, "time", w.time), mock.patch.object(asyncio, "sleep", w.sleep), \
            mock.patch.dict(sys.modules, {"pyautogui": gui, "zorvane.pc.keyboard": keyboard}):
        try:
            coro = getattr(cls(mouse, screen), op)(*args, **kwargs)
            try:
                coro.send(None)
            except StopIteration as stop:
                outcome = ("return", repr(stop.value), [type(v).__name__ for v in stop.value.values()])
            else:
                raise AssertionError("suspended")
        except (Exception, asyncio.CancelledError) as exc:
            outcome = ("raise", type(exc).__name__, str(exc) if str(exc).startswith("Argument") and "expected float" not in str(exc) else "")
    return outcome, repr(w.log), w.reads


def check(op, args, kwargs, script):
    native = run_once(SeekPress, op, args, kwargs, script)
    rendition = run_once(pyref.SeekPress, op, args, kwargs, script)
    assert native == rendition


# ---------------------------------------------------------------------------
# Strategies

truthish = st.sampled_from([True, False, None, 0, 1, "", "x", [], [0]])
number = st.one_of(st.integers(-300, 300), st.sampled_from([0.5, -2.5, True, False, 2**65]))
match = st.dictionaries(st.sampled_from(["x", "y", "width", "height", "text"]), number, max_size=5)
errors = st.sampled_from([Boom("search failed"), KeyError("x"), ValueError(""), ImportError("gone"),
                          asyncio.CancelledError()])
search_result = st.one_of(
    st.fixed_dictionaries({}, optional={"found": truthish, "matches": st.lists(match, max_size=3)}),
    errors,
    st.sampled_from([None, 5, {"found": True, "matches": None}, {"found": True, "matches": "ab"}]),
)
answers = st.lists(st.one_of(st.sampled_from(["clicked", None, {"success": False}]), errors), min_size=1,
                   max_size=2)
text = st.text(alphabet="ab '\"#0f", max_size=6)
button = st.sampled_from(["left", "right"])
region = st.sampled_from([None, "R"])
offset = st.one_of(st.integers(-500, 500), st.floats(-50, 50), st.booleans())
locate = st.one_of(st.sampled_from([None, 0, ()]), st.builds(Box, number, number, st.integers(-9, 99), number),
                   errors)


@st.composite
def scripts(draw):
    return {
        "find_text": draw(st.lists(search_result, min_size=1, max_size=4)),
        "find_color": draw(st.lists(search_result, min_size=1, max_size=1)),
        "click": draw(answers),
        "double_click": draw(answers),
        "type_text": draw(answers),
        "locate": draw(st.lists(locate, min_size=1, max_size=1)),
        "cost": draw(st.sampled_from([0.25, 0.5, 1.0, 2.5])),
    }


# ---------------------------------------------------------------------------
# The comparisons

@settings(max_examples=300, deadline=None)
@given(scripts(), text, button, truthish, region, st.sampled_from([0, 0.5, 1, 3, 5.0, -1.0]),
       st.sampled_from([0, 0.5, 1.0, 2]))
def test_click_text(script, target, btn, double, reg, timeout, retry):
    check("click_text", (target,), {"button": btn, "double": double, "region": reg, "timeout": timeout,
                                    "retry_interval": retry}, script)


@settings(max_examples=300, deadline=None)
@given(scripts(), text, offset, offset, button, region)
def test_click_near_text(script, target, ox, oy, btn, reg):
    check("click_near_text", (target, ox, oy, btn, reg), {}, script)


@settings(max_examples=200, deadline=None)
@given(scripts(), text, offset, button, region)
def test_click_color(script, color, tolerance, btn, reg):
    check("click_color", (color,), {"tolerance": tolerance, "button": btn, "region": reg}, script)


@settings(max_examples=200, deadline=None)
@given(scripts(), text, button, st.one_of(st.floats(0, 1), st.integers(0, 1)))
def test_click_image(script, path, btn, confidence):
    check("click_image", (path, btn, confidence), {}, script)


@settings(max_examples=200, deadline=None)
@given(scripts(), text, text, offset, offset, truthish, region)
def test_type_into(script, label, value, ox, oy, clear, reg):
    check("type_into", (label, value), {"offset_x": ox, "offset_y": oy, "clear_first": clear, "region": reg},
          script)


# Mixed valid and invalid arguments: the same refusals (the native module raises
# at the call, the rendition when first resumed).
anything = st.sampled_from(["s", b"b", None, 3, 2.5, True, float("inf"), float("nan"), [], "12"])


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(["click_text", "click_near_text", "click_color", "click_image", "type_into"]),
       st.lists(anything, min_size=1, max_size=4))
def test_refusals_agree(op, args):
    script = {"find_text": [{"found": False}], "find_color": [{"found": False}], "click": ["c"],
              "double_click": ["d"], "type_text": ["t"], "locate": [None], "cost": 1.0}
    if op == "click_text":
        # target, then timeout and retry_interval; an infinite timeout would
        # search forever (in both), as the screen never shows the text
        deadline = [2.5 if a == float("inf") else a for a in args[1:2]]
        args = args[:1] + ["left", False, None] + deadline + args[2:3]
    check(op, tuple(args), {}, script)
