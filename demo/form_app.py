"""A small login form for exercising find-and-press on a real X display.

    python demo/form_app.py --state /tmp/form-state.json [--prefill username=old]

The window opens at the top-left corner of the screen and shows:

* "Username" and "Password" labels with entry fields to their right,
* "OK" and "Submit" buttons,
* a pure green (#00ff00) square,
* the image demo/assets/target.png.

Every event (button press, double click, focus change, field edit, click on
the square or the image) rewrites the state file atomically as JSON, so a test
or demo process can read what the form saw. The state also carries the screen
geometry of every widget (x, y, width, height in root-window pixels) and
"ready": true once the window is mapped and laid out.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
import tkinter as tk
from pathlib import Path

ASSETS = Path(__file__).resolve().parent / "assets"
FONT = ("DejaVu Sans", 24)
BUTTON_FONT = ("DejaVu Sans", 24, "bold")
BACKGROUND = "#ffffff"


class FormApp:
    def __init__(self, root: tk.Tk, state_path: Path, prefill: dict[str, str]) -> None:
        self.root = root
        self.state_path = state_path
        self.state: dict = {
            "ready": False, "pid": os.getpid(),
            "presses": {"OK": 0, "Submit": 0}, "double_clicks": {"OK": 0, "Submit": 0},
            "fields": {"username": "", "password": ""}, "focus": None,
            "square_clicks": [], "image_clicks": [], "events": [], "geometry": {},
        }
        root.title("Sign in")
        root.configure(bg=BACKGROUND, padx=30, pady=24)
        root.geometry("+0+0")

        self.widgets: dict[str, tk.Widget] = {}
        self.vars: dict[str, tk.StringVar] = {}
        for row, (name, label) in enumerate((("username", "Username"), ("password", "Password"))):
            lab = tk.Label(root, text=label, font=FONT, bg=BACKGROUND, fg="#000000")
            lab.grid(row=row, column=0, sticky="w", padx=(0, 40), pady=14)
            var = tk.StringVar(value=prefill.get(name, ""))
            entry = tk.Entry(root, textvariable=var, font=FONT, width=16, relief="solid",
                             borderwidth=2, bg="#f4f4f4", fg="#000000",
                             show="*" if name == "password" else "")
            entry.grid(row=row, column=1, columnspan=2, sticky="w", pady=14)
            entry.bind("<FocusIn>", lambda _e, n=name: self._focus(n))
            var.trace_add("write", lambda *_a, n=name, v=var: self._field(n, v.get()))
            self.state["fields"][name] = var.get()
            self.widgets[f"{name}_label"] = lab
            self.widgets[f"{name}_entry"] = entry
            self.vars[name] = var

        buttons = tk.Frame(root, bg=BACKGROUND)
        buttons.grid(row=2, column=0, columnspan=3, sticky="w", pady=(24, 10))
        for col, text in enumerate(("OK", "Submit")):
            btn = tk.Button(buttons, text=text, font=BUTTON_FONT, width=7, relief="raised",
                            bg="#dcdcdc", activebackground="#c8c8c8", fg="#000000",
                            command=lambda t=text: self._press(t))
            btn.grid(row=0, column=col, padx=(0, 60))
            btn.bind("<Double-Button-1>", lambda _e, t=text: self._double(t))
            self.widgets[f"{text.lower()}_button"] = btn

        extras = tk.Frame(root, bg=BACKGROUND)
        extras.grid(row=3, column=0, columnspan=3, sticky="w", pady=(20, 0))
        square = tk.Canvas(extras, width=80, height=80, bg="#00ff00", highlightthickness=0,
                           borderwidth=0)
        square.grid(row=0, column=0, padx=(0, 80))
        square.bind("<Button-1>", lambda e: self._clicked("square_clicks", e))
        self.image = tk.PhotoImage(file=str(ASSETS / "target.png"))
        picture = tk.Label(extras, image=self.image, borderwidth=0, highlightthickness=0,
                           bg=BACKGROUND)
        picture.grid(row=0, column=1)
        picture.bind("<Button-1>", lambda e: self._clicked("image_clicks", e))
        self.widgets["square"] = square
        self.widgets["image"] = picture

        root.after(300, self._ready)

    # -- event handlers ---------------------------------------------------------

    def _log(self, kind: str, detail) -> None:
        self.state["events"].append({"t": round(time.time(), 3), "kind": kind, "detail": detail})
        self._save()

    def _press(self, text: str) -> None:
        self.state["presses"][text] += 1
        self._log("press", text)

    def _double(self, text: str) -> None:
        self.state["double_clicks"][text] += 1
        self._log("double_click", text)

    def _focus(self, name: str) -> None:
        self.state["focus"] = name
        self._log("focus", name)

    def _field(self, name: str, value: str) -> None:
        self.state["fields"][name] = value
        self._log("field", {name: value})

    def _clicked(self, key: str, event: tk.Event) -> None:
        self.state[key].append([event.x_root, event.y_root])
        self._log(key, [event.x_root, event.y_root])

    def _ready(self) -> None:
        self.root.update_idletasks()
        for name, w in self.widgets.items():
            self.state["geometry"][name] = [w.winfo_rootx(), w.winfo_rooty(),
                                            w.winfo_width(), w.winfo_height()]
        self.state["ready"] = True
        self._log("ready", None)

    def _save(self) -> None:
        tmp = self.state_path.with_name(self.state_path.name + ".tmp")
        tmp.write_text(json.dumps(self.state))
        os.replace(tmp, self.state_path)


class FormProcess:
    """Runs this form in a child process and reads its state file.

        form = FormProcess(state_path, env=display.env(), prefill={"username": "old"})
        form.start()                      # returns once the window is laid out
        form.wait_for(lambda s: s["presses"]["OK"] == 1)
        form.stop()
    """

    def __init__(self, state_path: Path, *, env: dict[str, str] | None = None,
                 prefill: dict[str, str] | None = None, python: str = sys.executable) -> None:
        self.state_path = Path(state_path)
        self.env = env
        self.prefill = dict(prefill or {})
        self.python = python
        self.proc = None

    def start(self, timeout: float = 20.0) -> dict:
        import subprocess

        self.state_path.unlink(missing_ok=True)
        args = [self.python, str(Path(__file__).resolve()), "--state", str(self.state_path)]
        for key, value in self.prefill.items():
            args += ["--prefill", f"{key}={value}"]
        self.proc = subprocess.Popen(args, env=self.env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        try:
            return self.wait_for(lambda st: st["ready"], timeout=timeout)
        except BaseException:
            self.stop()
            raise

    def state(self) -> dict | None:
        try:
            return json.loads(self.state_path.read_text())
        except (FileNotFoundError, json.JSONDecodeError):
            return None

    def wait_for(self, condition, timeout: float = 5.0, interval: float = 0.05) -> dict:
        """Poll the state until ``condition(state)`` holds; the last state is returned.

        Raises TimeoutError (carrying the last state) when it never does.
        """
        deadline = time.monotonic() + timeout
        while True:
            st = self.state()
            if st is not None and condition(st):
                return st
            if self.proc is not None and self.proc.poll() is not None:
                err = self.proc.stderr.read() if self.proc.stderr else ""
                raise RuntimeError(f"form exited with {self.proc.returncode}: {err}")
            if time.monotonic() >= deadline:
                raise TimeoutError(f"form state never matched; last state: {st}")
            time.sleep(interval)

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except Exception:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--state", required=True, type=Path, help="JSON file rewritten on every event")
    ap.add_argument("--prefill", action="append", default=[], metavar="FIELD=TEXT",
                    help="initial text of a field (username or password)")
    args = ap.parse_args(argv)
    prefill = dict(item.split("=", 1) for item in args.prefill)
    root = tk.Tk()
    FormApp(root, args.state, prefill)
    root.mainloop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
