"""SeekPress on programs from Debian that this project did not write.

    python tests/e2e/apps.py [--adapters DIR] [--json FILE] [-k WORD]

Starts a private Xvfb, then runs each operation of SCENARIOS against a fresh
copy of a third-party program (yad's GTK dialogs, the Xt programs xmessage and
xcalc, Tk's message box through wish, the GTK text editor mousepad) and checks
what the program itself reports: its exit code, its standard output, the file
it saved, its display. Prints one row per operation and a
summary per program: operations tried, done as asked, misclicks (a click that
made the program do something other than what was asked), and the time of
each screen-reader search (median and maximum).

``--adapters DIR`` runs the same operations with DIR/adapters/ in place of
this checkout's (to compare adapters). The e2e test
tests/e2e/test_apps.py runs these scenarios and requires every one to pass.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
for _p in (ROOT, HERE):
    if str(_p) not in sys.path:
        sys.path.insert(0, str(_p))

from adapters.xvfb import VirtualDisplay  # noqa: E402
from client import Driver  # noqa: E402

PROGRAMS = ("yad", "xmessage", "wish", "mousepad", "xcalc")
TOOLS = ("Xvfb", "tesseract", "xdotool", "scrot", "xwininfo", *PROGRAMS)

# Search limits: long enough for a fallback pass, short enough that a miss
# costs little.
FIND = {"timeout": 6.0, "retry_interval": 1.0}
ABSENT = {"timeout": 2.0, "retry_interval": 1.0}


class App:
    """A third-party program on the display: started, found, and its output read."""

    def __init__(self, args: list[str], title: str, env: dict[str, str], *,
                 stdin: str | None = None, startup: float = 15.0) -> None:
        self.args, self.title, self.env = args, title, env
        self.proc = subprocess.Popen(args, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if stdin is not None:
            self.proc.stdin.write(stdin)
            self.proc.stdin.flush()
        self.window = self._find_window(startup)
        time.sleep(0.4)  # first paint

    def _find_window(self, timeout: float) -> str:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"{self.args[0]} exited with {self.proc.returncode} at start")
            out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name",
                                  f"^{re.escape(self.title)}$"],
                                 env=self.env, capture_output=True, text=True).stdout.split()
            if out:
                return out[-1]
            time.sleep(0.1)
        raise RuntimeError(f"no window titled {self.title!r} from {self.args[0]}")

    def geometry(self) -> list[int]:
        """The window's box [x, y, width, height] in screen pixels."""
        out = subprocess.run(["xwininfo", "-id", self.window], env=self.env, capture_output=True,
                             text=True, check=True).stdout
        info = {}
        for line in out.splitlines():
            key, _, value = line.strip().partition(":")
            info[key] = value.strip()
        return [int(info["Absolute upper-left X"]), int(info["Absolute upper-left Y"]),
                int(info["Width"]), int(info["Height"])]

    def children(self) -> list[list[int]]:
        """Boxes of all windows inside the window (Xt widgets), in screen pixels."""
        out = subprocess.run(["xwininfo", "-tree", "-id", self.window], env=self.env,
                             capture_output=True, text=True, check=True).stdout
        boxes = []
        for line in out.splitlines():
            parts = line.split()
            if not parts or not parts[0].startswith("0x") or len(parts) < 3:
                continue
            # ... WxH+X+Y +ABSX+ABSY: the size, then the absolute position
            size = parts[-2].split("+")[0]
            w, h = (int(v) for v in size.split("x"))
            x, y = (int(v) for v in parts[-1].lstrip("+").split("+")[:2])
            boxes.append([x, y, w, h])
        return boxes

    def buttons(self) -> list[list[int]]:
        """Boxes of the Xt buttons: the lowest row of inner windows, left to right."""
        boxes = self.children()
        low = max(b[1] for b in boxes)
        return sorted((b for b in boxes if b[1] == low), key=lambda b: b[0])

    def result(self, timeout: float = 3.0) -> tuple[int | None, str]:
        """(exit code, stdout) once the program ended; (None, "") while it runs."""
        try:
            out, _ = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None, ""
        return self.proc.returncode, out

    def still_running(self, wait: float = 0.5) -> bool:
        time.sleep(wait)
        return self.proc.poll() is None

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.communicate(timeout=5)
        except (subprocess.TimeoutExpired, ValueError):
            pass


@dataclass
class Outcome:
    program: str
    name: str
    ops: int = 0
    done: int = 0
    misclicks: int = 0
    searches: list[float] = field(default_factory=list)
    passes: list[dict] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return self.done == self.ops and not self.misclicks


class Session:
    """One display, one driver; scenarios call op() and check() through it."""

    def __init__(self, env: dict[str, str], driver: Driver, work: Path) -> None:
        self.env, self.sp, self.work = env, driver, work
        self.outcome: Outcome | None = None

    def app(self, args: list[str], title: str, **kw) -> App:
        return App(args, title, self.env, **kw)

    def hover(self, box: list[int]) -> None:
        x, y, w, h = box
        subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2)], env=self.env,
                       check=True)
        time.sleep(0.3)

    def op(self, name: str, *args, **kwargs) -> dict:
        """One SeekPress operation; counted, its searches timed."""
        reply = self.sp.request(name, *args, **kwargs)
        out = self.outcome
        out.ops += 1
        out.searches += reply.get("searches", [])
        out.passes += reply.get("passes", [])
        if not reply["ok"]:
            out.notes.append(f"{name} raised {reply['error']}")
            return {"success": False, "error": reply["error"]}
        res = reply["result"]
        out.notes.append(f"{name}{tuple(args)!r}: success={res.get('success')}"
                         + (f" at {res['clicked_at']}" if "clicked_at" in res else "")
                         + (f" error={res['error']!r}" if "error" in res else ""))
        return res

    def check(self, res: dict, ok: bool, wrong: bool, what: str) -> None:
        """Record the program's verdict on the last operation.

        ``ok``: the program did what was asked. ``wrong``: it did something
        else because of a click (a misclick)."""
        if ok:
            self.outcome.done += 1
        else:
            self.outcome.notes.append(f"  NOT DONE: {what}")
        if wrong and "clicked_at" in res:
            self.outcome.misclicks += 1
            self.outcome.notes.append(f"  MISCLICK: {what}")


# -- scenarios ----------------------------------------------------------------
# Each scenario starts its program(s), runs SeekPress operations and checks
# the program's own output. Windows are placed apart so that one search sees
# several programs' text at once, as on a real desktop.

def _exit_is(s: Session, app: App, res: dict, code: int, what: str) -> None:
    got, _ = app.result()
    s.check(res, got == code, got is not None and got != code, f"{what}: exit {got}, wanted {code}")


def xmessage_buttons(s: Session) -> None:
    """Xt buttons with rounded borders: words, other case, symbols, colour, absent text."""
    buttons = "Alpha:10,Beta:11,Gamma:12,+:13,=:14,?:15"
    for target, code in (("Beta", 11), ("gamma", 12), ("+", 13), ("=", 14), ("?", 15)):
        app = s.app(["xmessage", "-title", "Pick", "-geometry", "+40+420", "-buttons", buttons,
                     "Pick one"], "Pick")
        try:
            if target == "Beta":  # the pointer rests on the button sought: it is drawn highlighted
                s.hover(app.buttons()[1])
            res = s.op("click_text", target, **FIND)
            _exit_is(s, app, res, code, f"click_text({target!r})")
        finally:
            app.close()
    # click_color: only Beta is green
    app = s.app(["xmessage", "-title", "Pick", "-geometry", "+40+420", "-buttons", buttons,
                 "-xrm", "*Beta.background: #00a000", "Pick one"], "Pick")
    try:
        res = s.op("click_color", "#00a000", tolerance=10)
        _exit_is(s, app, res, 11, "click_color('#00a000')")
    finally:
        app.close()
    # absent label: nothing pressed
    app = s.app(["xmessage", "-title", "Pick", "-geometry", "+40+420", "-buttons", buttons,
                 "Pick one"], "Pick")
    try:
        res = s.op("click_text", "Delta", **ABSENT)
        running = app.still_running()
        s.check(res, res.get("success") is False and running, not running,
                "click_text('Delta') on a dialog without it")
    finally:
        app.close()


def xmessage_region_and_image(s: Session) -> None:
    """Two dialogs with the same buttons: region picks one; an image of a button is clicked."""
    left = s.app(["xmessage", "-title", "Left", "-geometry", "+40+420", "-buttons",
                  "Beta:21,Gamma:22", "Left one"], "Left")
    right = s.app(["xmessage", "-title", "Right", "-geometry", "+520+420", "-buttons",
                   "Beta:31,Gamma:32", "Right one"], "Right")
    try:
        res = s.op("click_text", "Beta", region=right.geometry(), **FIND)
        got_r, _ = right.result()
        got_l = left.proc.poll()
        s.check(res, got_r == 31 and got_l is None, got_l is not None or got_r not in (None, 31),
                f"click_text('Beta', region=right): right exit {got_r}, left {got_l}")
        # click_image: a template cut from the left dialog's Gamma button
        from PIL import ImageGrab
        gamma = left.buttons()[-1]
        shot = ImageGrab.grab(xdisplay=s.env["DISPLAY"])
        template = s.work / "gamma.png"
        x, y, w, h = gamma
        shot.crop((x, y, x + w, y + h)).save(template)
    finally:
        left.close()
        right.close()
    app = s.app(["xmessage", "-title", "Pick", "-geometry", "+300+300", "-buttons",
                 "Alpha:10,Beta:11,Gamma:12", "Pick one"], "Pick")
    try:
        res = s.op("click_image", str(template), confidence=0.95)
        _exit_is(s, app, res, 12, "click_image(gamma.png)")
    finally:
        app.close()
    app = s.app(["xmessage", "-title", "Pick", "-geometry", "+300+300", "-buttons",
                 "Alpha:10,Beta:11", "Pick one"], "Pick")
    try:
        res = s.op("click_image", str(template), confidence=0.95)
        running = app.still_running()
        s.check(res, res.get("success") is False and res.get("error") == "Image not found on screen"
                and running, not running, f"click_image(absent): {res.get('error')!r}")
    finally:
        app.close()


def yad_form(s: Session) -> None:
    """GTK entry fields with prefilled text: replace one, append to another, press OK."""
    app = s.app(["yad", "--form", "--title=Form", "--geometry=+40+40",
                 "--field=Your name:", "--field=City", "old", "Paris"], "Form")
    try:
        r1 = s.op("type_into", "Your name:", "Ada")
        r2 = s.op("type_into", "City", " Cedex", clear_first=False)
        r3 = s.op("click_text", "ok", **FIND)  # other case
        code, out = app.result()
        fields = out.strip().split("|")
        wrong = code not in (None, 0)
        s.check(r1, code == 0 and fields[:1] == ["Ada"], wrong, f"type_into('Your name:'): {out!r}")
        s.check(r2, code == 0 and fields[1:2] == ["Paris Cedex"], wrong, f"type_into('City'): {out!r}")
        s.check(r3, code == 0, wrong, f"click_text('ok'): exit {code}")
    finally:
        app.close()


def yad_list(s: Session) -> None:
    """A GTK list: a double click on a row activates it; a click below a grey header selects."""
    cols = ["--column=Fruit", "--column=Count", "apple", "3", "banana", "5", "cherry", "7"]
    app = s.app(["yad", "--list", "--title=Fruits", "--geometry=320x260+520+40", *cols], "Fruits")
    try:
        res = s.op("click_text", "banana", double=True, **FIND)
        code, out = app.result()
        s.check(res, code == 0 and out.startswith("banana|"), code not in (None, 0)
                or (code == 0 and not out.startswith("banana|")), f"double click 'banana': {out!r}")
    finally:
        app.close()
    app = s.app(["yad", "--list", "--title=Fruits", "--geometry=320x260+520+40", *cols], "Fruits")
    try:
        # the third row ("cherry") lies about three rows below the header
        r1 = s.op("click_near_text", "Fruit", offset_y=70)
        r2 = s.op("click_text", "OK", **FIND)
        code, out = app.result()
        s.check(r1, code == 0 and out.startswith("cherry|"), code == 0 and not out.startswith("cherry|"),
                f"click_near_text('Fruit'): {out!r}")
        s.check(r2, code == 0, code not in (None, 0), f"click_text('OK'): exit {code}")
    finally:
        app.close()


def yad_buttons(s: Session) -> None:
    """GTK buttons labelled with punctuation and symbols."""
    buttons = ["--button=Save As…:3", "--button=Don't Save:4", "--button=?:5"]
    for target, code in (("Save As…", 3), ("Don't Save", 4), ("?", 5)):
        app = s.app(["yad", "--title=Close", "--geometry=+40+240", "--text=Save changes?",
                     *buttons], "Close")
        try:
            res = s.op("click_text", target, **FIND)
            _exit_is(s, app, res, code, f"click_text({target!r})")
        finally:
            app.close()


TK_BOX = """
wm withdraw .
puts [tk_messageBox -title Question -type yesnocancel -icon question \\
      -message "Discard the draft?"]
exit
"""


def tk_message_box(s: Session) -> None:
    """Tk's message box (wish): its answer is printed on standard output."""
    for target, answer, kw in (("No", "no", {}), ("cancel", "cancel", {}),
                               ("Yes", "yes", {"double": True})):
        app = s.app(["wish"], "Question", stdin=TK_BOX)
        try:
            res = s.op("click_text", target, **kw, **FIND)
            code, out = app.result()
            got = out.strip()
            s.check(res, got == answer, code is not None and got != answer,
                    f"click_text({target!r}): {got!r}")
        finally:
            app.close()


def mousepad_save(s: Session) -> None:
    """A GTK text editor: replace the text, append to it, save through the File menu."""
    note = s.work / "note.txt"
    note.write_text("old text\n")
    home = s.work / "home"
    home.mkdir(exist_ok=True)
    env = dict(s.env, HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"),
               XDG_DATA_HOME=str(home / ".local"), NO_AT_BRIDGE="1")
    app = App(["mousepad", "--disable-server", str(note)], f"{note} - Mousepad", env)
    try:
        r1 = s.op("type_into", "old text", "fresh words", offset_x=0)  # click the text itself
        r2 = s.op("type_into", "fresh words", " and more", offset_x=80, clear_first=False)
        r3 = s.op("click_text", "File", **FIND)
        r4 = s.op("click_text", "Save", **FIND)
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline and note.read_text() == "old text\n":
            time.sleep(0.1)
        text = note.read_text()
        saved = text != "old text\n"
        s.check(r1, saved and text.startswith("fresh words"), False, f"type_into(clear): {text!r}")
        s.check(r2, saved and text.rstrip("\n") == "fresh words and more", False,
                f"type_into(append): {text!r}")
        menu_open = app.proc.poll() is None
        s.check(r3, saved, not menu_open, f"click_text('File'): saved={saved}")
        # "Save" must not press "Save As…" (a file dialog would open, nothing saved)
        s.check(r4, saved, not saved and "clicked_at" in r4, f"click_text('Save'): {text!r}")
    finally:
        app.close()


XCALC_KEYS = {"7": 36, "+": 49, "5": 42, "=": 54}  # index among the keys, row by row


def xcalc_keys(s: Session) -> None:
    """Xt calculator keys (small child windows): 7 + 5 = by text within the keypad, then by
    templates of the keys; every click lands on its key, the display (its selection) says 12."""
    from PIL import ImageGrab

    app = s.app(["xcalc", "-geometry", "+300+160"], "Calculator")
    try:
        boxes = app.children()
        size = statistics.mode((b[2], b[3]) for b in boxes)
        keys = sorted((b for b in boxes if (b[2], b[3]) == size), key=lambda b: (b[1], b[0]))
        lcd = max((b for b in boxes if 16 < b[3] < 40), key=lambda b: b[2])
        pad = [*keys[0][:2], keys[-1][0] + size[0] - keys[0][0], keys[-1][1] + size[1] - keys[0][1]]
        s.hover([0, 0, 1, 1])  # templates of keys not drawn highlighted
        shot = ImageGrab.grab(xdisplay=s.env["DISPLAY"])
        for label, i in [*XCALC_KEYS.items(), *((None, i) for i in XCALC_KEYS.values())]:
            x, y, w, h = keys[i]
            shot.crop((x, y, x + w, y + h)).save(s.work / f"key{i}.png")
            res = (s.op("click_text", label, region=pad, **FIND) if label
                   else s.op("click_image", str(s.work / f"key{i}.png"), confidence=0.95))
            at = res.get("clicked_at")
            on = at is not None and x <= at[0] < x + w and y <= at[1] < y + h
            shown = None
            if i == XCALC_KEYS["="]:
                for box in (lcd, keys[3]):  # select the display's number and read it; then CE/C
                    s.hover(box)
                    subprocess.run(["xdotool", "click", "1"], env=s.env, check=True)
                    shown = shown or subprocess.run(
                        ["wish"], input="wm withdraw .\nputs [selection get]\nexit\n", env=s.env,
                        capture_output=True, text=True).stdout.strip()
            s.check(res, on and shown in (None, "12"), at is not None and not on,
                    f"{label or 'image'} on key {i}: clicked at {at}, display {shown!r}")
    finally:
        app.close()


SCENARIOS: list[tuple[str, Callable[[Session], None]]] = [
    ("yad", yad_form), ("yad", yad_list), ("yad", yad_buttons),
    ("xmessage", xmessage_buttons), ("xmessage", xmessage_region_and_image),
    ("wish", tk_message_box), ("mousepad", mousepad_save), ("xcalc", xcalc_keys),
]


def missing_tools() -> list[str]:
    return [t for t in TOOLS if not shutil.which(t)]


def run_all(adapters_root: str | None = None, only: str | None = None,
            log=print) -> tuple[list[Outcome], dict]:
    """Run the scenarios on a private display; returns outcomes and the driver's hello."""
    outcomes: list[Outcome] = []
    with tempfile.TemporaryDirectory(prefix="zorvane-apps-") as tmp, \
            VirtualDisplay(1024, 768) as display:
        env = display.env()
        driver = Driver(env, Path(tmp), adapters_root=adapters_root, verbose=False)
        try:
            if not driver.hello.get("ready"):
                raise RuntimeError(f"driver not ready: {driver.hello}")
            session = Session(env, driver, Path(tmp))
            for program, scenario in SCENARIOS:
                if only and only not in scenario.__name__ and only != program:
                    continue
                session.outcome = out = Outcome(program, scenario.__name__)
                t0 = time.monotonic()
                try:
                    scenario(session)
                except Exception as exc:  # a broken scenario counts as not done
                    out.notes.append(f"  SCENARIO FAILED: {type(exc).__name__}: {exc}")
                    out.ops += 1
                outcomes.append(out)
                log(f"{scenario.__name__:28s} {out.done}/{out.ops} done, {out.misclicks} misclicks,"
                    f" {time.monotonic() - t0:.1f} s")
                for note in out.notes:
                    log(f"    {note}")
        finally:
            driver.close()
    return outcomes, driver.hello


def table(outcomes: list[Outcome]) -> str:
    rows = ["| program | operations | done as asked | misclicks | searches | OCR s/search median | max |",
            "|---|---|---|---|---|---|---|"]
    groups: dict[str, list[Outcome]] = {}
    for o in outcomes:
        groups.setdefault(o.program, []).append(o)
    groups["all"] = outcomes
    for name, outs in groups.items():
        ops = sum(o.ops for o in outs)
        done = sum(o.done for o in outs)
        mis = sum(o.misclicks for o in outs)
        times = [t for o in outs for t in o.searches]
        med = f"{statistics.median(times):.2f}" if times else "-"
        top = f"{max(times):.2f}" if times else "-"
        rows.append(f"| {name} | {ops} | {done} | {mis} | {len(times)} | {med} | {top} |")
    return "\n".join(rows)


def pass_table(outcomes: list[Outcome]) -> str:
    """Seconds per pass of the screen reader: how many searches ran it, median, max."""
    per: dict[str, list[float]] = {}
    total = 0
    for o in outcomes:
        for timing in o.passes:
            total += 1
            for key, value in timing.items():
                per.setdefault(key.removesuffix("_s"), []).append(value)
    if not per:
        return "(the screen reader reports no timing per pass)"
    rows = [f"| pass | searches that ran it (of {total}) | s median | s max |", "|---|---|---|---|"]
    for key, values in per.items():
        rows.append(f"| {key} | {len(values)} | {statistics.median(values):.2f} | {max(values):.2f} |")
    return "\n".join(rows)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--adapters", help="directory holding the adapters/ package to measure")
    ap.add_argument("--json", help="write the outcomes to this file")
    ap.add_argument("-k", dest="only", help="run only scenarios whose name contains this")
    args = ap.parse_args(argv)
    missing = missing_tools()
    if missing:
        print("needs: " + ", ".join(missing) + " (tools/system-deps)", file=sys.stderr)
        return 2
    outcomes, hello = run_all(args.adapters, args.only)
    print(f"\nseek_press: {hello.get('module')}; adapters: {args.adapters or ROOT}")
    print(table(outcomes))
    print()
    print(pass_table(outcomes))
    if args.json:
        Path(args.json).write_text(json.dumps([o.__dict__ for o in outcomes], indent=1))
    return 0 if all(o.ok for o in outcomes) else 1


if __name__ == "__main__":
    sys.exit(main())
