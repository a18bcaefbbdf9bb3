"""Allocation-failure injection into one operation of the catalogue, run in a
process of its own (an interpreter whose allocations fail may be left unfit to
go on). ``python tests/_nomemory.py NAME...`` sweeps the named operations (all
when none is named), prints a table and, with --json, one JSON line each.

For k = 0, 1, 2, ... the operation is called and awaited to its end while
``_testcapi.set_nomemory`` makes every allocation from the (k+1)-th on fail,
until a run completes untouched: that k is N, the allocations of one run
(argument binding, the coroutine, the collaborators' Python code). Then each of
the first N allocations fails alone. Each outcome must be the clean result,
MemoryError, or what the operation makes of a collaborator's MemoryError (a
logged failed summarisation pass, click_image's failed result), with the
manager's or controller's state one of those outcomes leave; after each
trial a clean run must give the clean result again. Both sweeps then run
REPEATS more times: the allocated-block count (and on a debug interpreter the
total reference count) must grow by less than one per repetition."""

from __future__ import annotations

import gc
import json
import logging
import sys
import types

try:
    import _testcapi
except ImportError:  # built without the interpreter's test modules
    _testcapi = None

from _collab import CONVERSATION_OPS, SEEK_PRESS_OPS, Env, Patched

MAX_K = 50_000
DEBUG = hasattr(sys, "gettotalrefcount")
# 0 under PYTHONMALLOC=malloc. CPython 3.12 keeps one block more per sweep for
# the async def rendition as for the operations, so the count tells nothing there.
COUNTING = sys.getallocatedblocks() > 0 and sys.version_info >= (3, 13)
REPEATS = 6  # measured repetitions of both sweeps for the leak check
TRACE = "--trace" in sys.argv

# build_messages with an existing summary, a plan, facts and twelve tool-call
# turns behind a window of 4: summarised, merged, paired.
SUMMARY = {"summary": "earlier", "goals": ["g"], "key_facts": ["k"], "key_decisions": ["d"], "progress": ["p0"],
           "summarized_up_to": 2}
OPS = {name: (call, {}, None) for name, call in CONVERSATION_OPS + SEEK_PRESS_OPS}
OPS["build_messages_12_turns"] = (lambda e: e.manager.build_messages(), {"history_len": 48}, SUMMARY)
SUSPENDED = object()


class Records(logging.Handler):
    """Notes that a record came (setting the flag allocates nothing)."""

    def __init__(self) -> None:
        super().__init__()
        self.seen = False

    def handle(self, record):
        self.seen = True
        return True


class Unraisable:
    """sys.unraisablehook noting that an error could not be raised."""

    seen = False

    def __call__(self, args):
        self.seen = True


async def awaited(coro):
    return await coro


def trial(env, call, start, stop):
    """One run with allocations start+1 .. stop failing (stop 0: all from start+1 on)."""
    result = err = None
    if start >= 0:
        _testcapi.set_nomemory(start, stop)
    try:
        coro = awaited(call(env))
        try:
            coro.send(None)
            result = SUSPENDED
        except StopIteration as stopped:
            result = stopped.value
    except BaseException as e:
        err = e
    finally:
        _testcapi.remove_mem_hooks()
    if result is SUSPENDED:
        coro.close()
    # When its free list is empty, CPython raises one last-resort MemoryError
    # that lives on: its traceback would keep every frame it ever left.
    chained = err
    while chained is not None:
        chained.__traceback__ = None
        chained = chained.__context__
    return result, err


def normal(value):
    """Comparable form of a result or state: a new conversation's id is any uuid."""
    if isinstance(value, str) and len(value) == 36 and value.count("-") == 4:
        return "<uuid>"
    if isinstance(value, dict):
        return {k: normal(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [normal(v) for v in value]
    return value


class Sweep:
    def __init__(self, name: str) -> None:
        self.name = name
        self.call, env_args, self.summary = OPS[name]
        self.env = Env(log=True, **env_args)
        # pyautogui's answers without an instance dictionary: CPython 3.13
        # needs an allocation to free an object with inline attribute values,
        # and when it fails, reports it as unraisable and leaks the values.
        self.script = {"locateOnScreen": types.SimpleNamespace(left=1, top=2, width=10, height=10),
                       "center": types.SimpleNamespace(x=6, y=7)}
        self.env.script.update(self.script)
        self.records = Records()
        self.unraisable = Unraisable()
        self.outcomes = {"from": {}, "single": {}}
        self.faults: list[str] = []
        self.n = None

    def prepare(self) -> None:
        name = self.name
        self.reset()
        self.clean, err = trial(self.env, self.call, -1, 0)
        assert err is None, f"{name} fails without injection: {err!r}"
        self.after = self.state()
        called = dict.fromkeys(c[0] for c in self.env.calls)
        # The collaborators' methods made once: a function made while an
        # allocation fails is freed twice by CPython 3.13's MAKE_FUNCTION
        # (python/cpython#122752), which is not what is under test.
        for collab in (self.env.store, self.env.planner, self.env.summarizer, self.env.screen, self.env.mouse,
                       self.env.keyboard):
            for method in called:
                setattr(collab, method, getattr(collab, method))
        self.env.log = False
        # What the operation leaves when a collaborator raises MemoryError:
        # results it returns then, states it leaves either way.
        self.results = [normal(self.clean)]
        self.states = [self.before, self.after]
        for method in called:
            self.reset()
            self.env.script[method] = MemoryError()
            result, err = trial(self.env, self.call, -1, 0)
            self.env.script.clear()
            self.env.script.update(self.script)
            if err is None:
                self.results.append(normal(result))
            self.states.append(self.state())

    def reset(self) -> None:
        m = self.env.manager
        m._active_conversation_id = "c"
        m._current_summary = dict(self.summary) if self.summary else None
        m._summarized_up_to = self.summary["summarized_up_to"] if self.summary else 0
        self.env.counts.clear()
        self.env.next_id = 100
        self.before = self.state()

    def state(self):
        m, s = self.env.manager, self.env.seek
        return normal((m._active_conversation_id, m._current_summary, m._summarized_up_to,
                       s._mouse is self.env.mouse, s._screen is self.env.screen))

    def one(self, mode: str, k: int) -> bool:
        """Runs one trial and its checks; True when nothing failed (the run was untouched)."""
        self.reset()
        self.records.seen = self.unraisable.seen = False
        if TRACE:
            print(self.name, mode, k, file=sys.stderr, flush=True)
        result, err = trial(self.env, self.call, k, k + 1 if mode == "single" else 0)
        logged, unraisable = self.records.seen, self.unraisable.seen
        state = self.state()
        if err is not None:
            outcome = type(err).__name__
            ok = type(err) is MemoryError
        elif result is SUSPENDED:
            outcome, ok = "suspended", False
        else:
            outcome = "clean" if normal(result) == self.results[0] and not logged else "handled"
            ok = normal(result) in self.results
        if logged:
            outcome += "+logged"
        if unraisable:
            outcome += "+unraisable"
        if not ok:
            self.faults.append(f"{mode} k={k}: {outcome} {err!r:.200}" if err is not None
                               else f"{mode} k={k}: result {result!r:.300}")
        if state not in self.states:
            self.faults.append(f"{mode} k={k}: {outcome}, state left {state!r:.300}")
        del err
        self.reset()
        again, err = trial(self.env, self.call, -1, 0)
        if err is not None or normal(again) != self.results[0] or self.state() != self.after:
            self.faults.append(f"{mode} k={k}: the next clean run gives {err or again!r:.300}")
        counts = self.outcomes[mode]
        counts[outcome] = counts.get(outcome, 0) + 1
        return outcome == "clean"

    def sweeps(self) -> None:
        k = 0
        while not self.one("from", k):
            k += 1
            if k > MAX_K:
                self.faults.append(f"no untouched run within {MAX_K} allocations")
                return
        self.n = k
        # A run's count may differ by one or two (a random uuid's digits).
        for k in range(self.n + 3):
            self.one("single", k)

    def run(self) -> dict:
        for logger in map(logging.getLogger, ("zorvane.conversation", "zorvane.pc.seek_press")):
            logger.handlers[:], logger.propagate = [self.records], False
        sys.unraisablehook = self.unraisable
        with Patched(self.env):
            self.prepare()
            self.sweeps()
            growth = []
            if not self.faults:
                # A block left behind by one failure path is REPEATS blocks
                # over the measured repetitions (after one that fills caches).
                n, saved = self.n, self.outcomes
                self.outcomes = {"from": {}, "single": {}}
                for rep in range(REPEATS + 1):
                    if rep == 1:
                        blocks, refs = counters()
                    for k in range(n + 3):
                        self.one("from", k)
                        self.one("single", k)
                after = counters()
                self.outcomes = saved
                growth = [after[0] - blocks, after[1] - refs]
                if COUNTING and growth[0] >= REPEATS:
                    self.faults.append(f"allocated blocks grew by {growth[0]} over {REPEATS} repeated sweeps")
                if DEBUG and growth[1] >= REPEATS:
                    self.faults.append(f"total refcount grew by {growth[1]} over {REPEATS} repeated sweeps")
        return {"name": self.name, "n": self.n, "outcomes": self.outcomes, "growth": growth,
                "faults": self.faults[:20], "fault_count": len(self.faults)}


def counters():
    # The interpreter's method cache keeps the attribute names of recent
    # lookups (up to its size, names made afresh by some failure paths).
    (getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache)()
    gc.collect()
    return sys.getallocatedblocks(), sys.gettotalrefcount() if DEBUG else 0


def main(argv: list[str]) -> int:
    as_json = "--json" in argv
    names = [a for a in argv if not a.startswith("--")] or list(OPS)
    bad = 0
    for name in names:
        report = Sweep(name).run()
        bad |= bool(report["faults"])
        if as_json:
            print(json.dumps(report), flush=True)
        else:
            tally = "; ".join(f"{mode}: " + ", ".join(f"{v} {k}" for k, v in sorted(c.items()))
                              for mode, c in report["outcomes"].items())
            print(f"{name:24} N={report['n']!s:5} {tally}  growth {report['growth']}", flush=True)
            for fault in report["faults"]:
                print(f"    {fault}")
    return bad


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
