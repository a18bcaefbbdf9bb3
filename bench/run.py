"""Benchmarks: the native modules against a pure-Python rendition and the floor.

    .venv/bin/python bench/run.py            # full run (a few minutes)
    .venv/bin/python bench/run.py --quick    # short repeats, for a first look
    .venv/bin/python bench/run.py -k build   # only rows whose name contains "build"

Columns, measured side by side in one process, repeats interleaved:
  native  zorvane.core.conversation / zorvane.pc.seek_press (n/a when they do
          not import; the build tree defaults to build/dev/pkg, the host
          stand-ins are taken from host/)
  cython  bench/pyref compiled unchanged by Cython (bench/cybuild.py; built
          into build/bench-cython/ on first use, with the Cython pinned in
          bench/requirements.txt; n/a when the build fails)
  python  bench/pyref, the pure-Python rendition
  floor   bench/floor.py, the collaborator calls alone
Times are per operation: median (and min) over the repeats, each repeat
timing many iterations. Coroutines are driven by ``coro.send(None)``, which
is enough because no collaborator suspends; rows marked "awaited" run the
operation under an ``await`` in an ``async def`` (the host's way), rows
marked "asyncio" do the same inside a running event loop.
"""

import argparse
import asyncio
import functools
import gc
import importlib
import json
import os
import statistics
import sys
import time

import cybuild

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)


def _setup_path(native_path):
    paths = [BENCH, os.path.join(ROOT, "host")]
    if native_path:
        paths.insert(0, native_path)
    for p in reversed(paths):
        if p not in sys.path:
            sys.path.insert(0, p)


def _import(name):
    try:
        return importlib.import_module(name), None
    except Exception as e:  # any failure just empties the native column
        return None, "%s: %s" % (type(e).__name__, e)


def _cython():
    """Both renditions compiled by Cython (built on first use), or an error."""
    try:
        path = cybuild.ensure(log=lambda m: print(m, file=sys.stderr, flush=True))
    except Exception as e:
        return None, None, "%s: %s" % (type(e).__name__, e)
    if path not in sys.path:
        sys.path.insert(0, path)
    mods = []
    for name in ("conversation", "seek_press"):
        mod, err = _import("%s.%s" % (cybuild.PACKAGE, name))
        if mod is None:
            return None, None, err
        mods.append(mod)
    return mods[0], mods[1], None


def _probe_send(native_path):
    """Drive one native coroutine by send(None) in a child process, so that a
    crash there empties the native column instead of ending the run."""
    import subprocess
    code = ("import sys; sys.path[:0] = %r\n"
            "import zorvane.core.conversation as c\n"
            "class S:\n"
            "    async def get_conversation_summary(self, cid): return None\n"
            "co = c.ConversationManager(S()).resume_conversation('x')\n"
            "try: co.send(None)\n"
            "except StopIteration: pass\n" % ([p for p in (native_path, os.path.join(ROOT, "host")) if p],))
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if r.returncode == 0:
        return None
    tail = (r.stderr.strip().splitlines() or ["exit status %d" % r.returncode])[-1]
    return "driving a native coroutine by send(None) failed in a probe process: %s" % tail


# -- drivers ------------------------------------------------------------------

def _time_send(make, n):
    """n coroutines from make(), each run to completion by one send(None)."""
    t0 = time.perf_counter()
    for _ in range(n):
        c = make()
        try:
            c.send(None)
        except StopIteration:
            pass
        else:
            raise RuntimeError("a collaborator suspended")
    return (time.perf_counter() - t0) / n


def _time_call(make, n):
    t0 = time.perf_counter()
    for _ in range(n):
        make()
    return (time.perf_counter() - t0) / n


def _time_awaited(make, n):
    from awaiting import awaiting_loop
    c = awaiting_loop(make)(n)
    t0 = time.perf_counter()
    try:
        c.send(None)
    except StopIteration:
        pass
    else:
        raise RuntimeError("a collaborator suspended")
    return (time.perf_counter() - t0) / n


_loop = None


async def _timed_awaiting(loop, n):
    t0 = time.perf_counter()
    await loop(n)
    return (time.perf_counter() - t0) / n


def _time_asyncio(make, n):
    from awaiting import awaiting_loop
    global _loop
    if _loop is None:
        _loop = asyncio.new_event_loop()
    return _loop.run_until_complete(_timed_awaiting(awaiting_loop(make), n))


DRIVERS = {"send": _time_send, "call": _time_call, "awaited": _time_awaited, "asyncio": _time_asyncio}


def _run(coro):
    """Run a coroutine that does not suspend; return its value."""
    try:
        coro.send(None)
    except StopIteration as e:
        return e.value
    raise RuntimeError("a collaborator suspended")


# -- rows ---------------------------------------------------------------------

class Row:
    def __init__(self, name, driver, cols, check=None, around=None):
        self.name = name
        self.driver = driver
        self.cols = cols          # column name -> zero-argument callable
        self.check = check        # optional: verifies native and python agree
        self.around = around      # optional context manager factory for timing


class _Patched:
    """Virtual clock: time.time and asyncio.sleep replaced on their modules."""

    def __init__(self, clock):
        self.clock = clock

    def __enter__(self):
        self.saved = (time.time, asyncio.sleep)
        time.time = self.clock.time
        asyncio.sleep = self.clock.sleep

    def __exit__(self, *exc):
        time.time, asyncio.sleep = self.saved


def build_rows(conv_mods, sp_mods, args):
    import floor
    import stores

    rows = []
    CONV = "0b7c9a8e-5d1f-4c3a-9e2b-6f4d8a1c2e3f"

    # build_messages -----------------------------------------------------
    for window in (20, 200, 2000):
        history = stores.generate_history(window)
        for layers in (False, True):
            store = stores.MemoryStore()
            store.load(CONV, history)
            if layers:
                store.facts = stores.make_facts(10)
                store.summaries[CONV] = {
                    "summary": "Earlier: the user asked to set up the build.",
                    "goals": ["set up the build"], "key_facts": ["python 3.13"],
                    "key_decisions": [], "progress": ["inspected"], "summarized_up_to": 0,
                }
            planner = stores.Planner() if layers else None
            summarizer = stores.Summarizer() if layers else None
            cols = {}
            mgrs = {}
            for col, mod in conv_mods.items():
                mgr = mod.ConversationManager(store, window, planner, summarizer)
                _run(mgr.resume_conversation(CONV))
                mgrs[col] = mgr
                cols[col] = mgr.build_messages
            summary = store.summaries.get(CONV)
            cols["floor"] = functools.partial(floor.build_messages, store, CONV, window,
                                              planner, summarizer, summary)
            name = "build_messages W=%d %s" % (window, "all layers" if layers else "no layers")
            rows.append(Row(name, "send", cols, check=_same_results(mgrs, "build_messages")))
            if window == 200 and layers:
                rows.append(Row(name + " (asyncio)", "asyncio", dict(cols)))

    # _maybe_summarize with nothing new ------------------------------------
    for total in (1000, 100_000):
        window = 20
        store = stores.MemoryStore()
        stored = store.load(CONV, stores.generate_history(total))
        store.summaries[CONV] = {"summary": "s", "goals": [], "summarized_up_to": stored[total - window - 1]["id"]}
        summarizer = stores.Summarizer()
        cols = {}
        for col, mod in conv_mods.items():
            mgr = mod.ConversationManager(store, window, None, summarizer)
            _run(mgr.resume_conversation(CONV))
            cols[col] = mgr._maybe_summarize
        cols["floor"] = functools.partial(floor.maybe_summarize, store, CONV)
        rows.append(Row("_maybe_summarize nothing new, %d msgs" % total, "send", cols,
                        check=_never_summarizes(summarizer)))

    # _merge_summaries -------------------------------------------------------
    for n in (10, 1000, 100_000):
        old, new = stores.make_summary_lists(n)
        cols = {col: functools.partial(mod._merge_summaries, old, new) for col, mod in conv_mods.items()}
        cols["floor"] = functools.partial(floor.merge_summaries, old, new)
        rows.append(Row("_merge_summaries %d items" % n, "call", cols, check=_same_calls(cols)))

    # recording and lifecycle ------------------------------------------------
    store = stores.DiscardingStore()
    calls = [{"id": "call_1", "name": "shell", "arguments": {"command": "ls"}}]
    rec = {
        "add_user_message": (("list the files",), floor.add_user_message),
        "add_assistant_message": ((None, calls), floor.add_assistant_message),
        "add_tool_result": (("call_1", "a.txt\nb.txt"), floor.add_tool_result),
    }
    # get_summary awaits the store (no summary is cached); list_conversations
    # returns what the store listed.
    rec["get_summary"] = ((), None)
    rec["list_conversations"] = ((), None)
    for op, (op_args, floor_fn) in rec.items():
        for driver in ("send", "awaited"):
            cols = {}
            for col, mod in conv_mods.items():
                mgr = mod.ConversationManager(store)
                _run(mgr.resume_conversation(CONV))
                cols[col] = functools.partial(getattr(mgr, op), *op_args)
            if floor_fn:
                cols["floor"] = functools.partial(floor_fn, store, CONV, *op_args)
            rows.append(Row(op + ("" if driver == "send" else " (awaited)"), driver, cols))
    for driver in ("send", "awaited"):
        cols = {}
        for col, mod in conv_mods.items():
            mgr = mod.ConversationManager(store)
            cols[col] = mgr.start_conversation
        cols["floor"] = functools.partial(floor.start_conversation, store)
        rows.append(Row("start_conversation" + ("" if driver == "send" else " (awaited)"), driver, cols))

    # click_text with a virtual clock ---------------------------------------
    for misses in (0, 3):
        clock = stores.VirtualClock()
        cols = {}
        for col, mod in sp_mods.items():
            sp = mod.SeekPress(stores.Mouse(), stores.Screen(misses))
            cols[col] = functools.partial(sp.click_text, "OK")
        cols["floor"] = functools.partial(floor.click_text, stores.Screen(misses), stores.Mouse(), "OK", misses)
        name = "click_text found at once" if misses == 0 else "click_text after %d misses" % misses
        rows.append(Row(name, "send", cols, around=functools.partial(_Patched, clock)))

    # the other clicks, each finding its target at once
    clicks = {
        "click_text found at once": ("click_text", ("OK",)),
        "click_near_text": ("click_near_text", ("Name:", 120, 0)),
        "click_color": ("click_color", ("#ff0000",)),
    }
    for name, (op, op_args) in clicks.items():
        for driver in ("send", "awaited"):
            if op == "click_text" and driver == "send":
                continue  # the row above
            cols = {col: functools.partial(getattr(mod.SeekPress(stores.Mouse(), stores.Screen()), op), *op_args)
                    for col, mod in sp_mods.items()}
            rows.append(Row(name + ("" if driver == "send" else " (awaited)"), driver, cols,
                            around=functools.partial(_Patched, stores.VirtualClock())))

    # the runner itself, for reference
    async def empty():
        return None
    rows.append(Row("(reference) empty async def", "send", {"python": empty, "floor": empty}))
    return rows


def _differ(results):
    """Columns whose result is not the pure-Python one, as a note (or None)."""
    bad = [col for col, r in results.items() if col != "python" and r != results["python"]]
    return "%s and python results differ" % " and ".join(bad) if bad else None


def _same_results(mgrs, op):
    def check():
        return _differ({col: _run(getattr(mgr, op)()) for col, mgr in mgrs.items()})
    return check


def _same_calls(cols):
    def check():
        return _differ({col: make() for col, make in cols.items() if col != "floor"})
    return check


def _never_summarizes(summarizer):
    def check():
        return None if summarizer.calls == 0 else "the summarizer was called"
    return check


# -- measuring ------------------------------------------------------------------

def _calibrate(fn, make, target):
    """Iterations for one repeat of about ``target`` seconds."""
    n = 1
    while True:
        t = fn(make, n) * n
        if t >= target / 5 or n >= 1 << 24:
            return max(1, int(n * target / max(t, 1e-9)))
        n *= 8 if t < target / 100 else 2


def measure(row, repeats, target):
    gc.collect()
    fn = DRIVERS[row.driver]
    ctx = row.around() if row.around else None
    if ctx:
        ctx.__enter__()
    try:
        ns = {}
        notes = []
        for col, make in row.cols.items():
            try:
                ns[col] = _calibrate(fn, make, target)
            except Exception as e:  # a column that fails is left out of the row
                notes.append("%s failed: %s: %s" % (col, type(e).__name__, e))
        samples = {col: [] for col in ns}
        for _ in range(repeats):
            for col in ns:
                samples[col].append(fn(row.cols[col], ns[col]))
        if row.check:
            try:
                check = row.check()
            except Exception as e:
                check = "check failed: %s: %s" % (type(e).__name__, e)
            if check:
                notes.append(check)
        note = "; ".join(notes) or None
    finally:
        if ctx:
            ctx.__exit__(None, None, None)
    return {col: (statistics.median(s), min(s)) for col, s in samples.items()}, note


def _fmt(t):
    if t is None:
        return "n/a"
    if t < 1e-6:
        return "%.0f ns" % (t * 1e9)
    if t < 1e-3:
        return "%.2f us" % (t * 1e6) if t < 1e-5 else "%.1f us" % (t * 1e6)
    return "%.2f ms" % (t * 1e3)


def _ratio(a, b):
    if a is None or b is None or b == 0:
        return "n/a"
    return "%.2fx" % (a / b)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer, shorter repeats (7 x ~10 ms per column)")
    ap.add_argument("--repeats", type=int, help="repeats per column (at least 7; default 9, quick 7)")
    ap.add_argument("--target", type=float, help="seconds per repeat per column (default 0.05, quick 0.01)")
    ap.add_argument("-k", dest="filter", help="only rows whose name contains this text")
    ap.add_argument("--native-path",
                    default=os.environ.get("ZORVANE_NATIVE_PATH") or os.environ.get("ZORVANE_BUILD_PKG"),
                    help="directory holding the built zorvane package (default: build/dev/pkg when "
                         "present, else the installed one)")
    ap.add_argument("--no-native", action="store_true", help="leave the native column out")
    ap.add_argument("--no-cython", action="store_true",
                    help="leave the Cython column out (and do not build it)")
    ap.add_argument("--json", help="also write the figures to this file")
    args = ap.parse_args()

    repeats = max(7, args.repeats or (7 if args.quick else 9))
    target = args.target or (0.01 if args.quick else 0.05)
    native_path = args.native_path
    if native_path is None and os.path.isdir(os.path.join(ROOT, "build", "dev", "pkg")):
        native_path = os.path.join(ROOT, "build", "dev", "pkg")
    _setup_path(native_path)

    from pyref import conversation as py_conv
    from pyref import seek_press as py_sp

    conv_mods = {}
    sp_mods = {}
    notes = []
    if not args.no_native:
        for name, attr, mods in (("zorvane.core.conversation", "ConversationManager", conv_mods),
                                 ("zorvane.pc.seek_press", "SeekPress", sp_mods)):
            mod, err = _import(name)
            if mod is not None and not hasattr(mod, attr):
                mod, err = None, "it has no %s" % attr
            if mod is not None and attr == "ConversationManager":
                err = _probe_send(native_path)
                if err:
                    mod = None
            if mod is not None:
                mods["native"] = mod
            else:
                notes.append("native %s: n/a (%s)" % (name, err))
    if not args.no_cython:
        cy_conv, cy_sp, err = _cython()
        if err:
            notes.append("cython: n/a (%s)" % err)
        else:
            conv_mods["cython"] = cy_conv
            sp_mods["cython"] = cy_sp
            notes.append("cython: Cython %s, %s" % (cybuild.version(os.path.dirname(os.path.dirname(
                cy_conv.__file__))), os.path.relpath(os.path.dirname(cy_conv.__file__), ROOT)))
    conv_mods["python"] = py_conv
    sp_mods["python"] = py_sp

    print("CPython %s, %s; %d repeats x ~%g s per column" % (
        sys.version.split()[0], sys.platform, repeats, target))
    for m in (conv_mods.get("native"), sp_mods.get("native")):
        if m is not None:
            print("native: %s" % getattr(m, "__file__", m.__name__))
    for n in notes:
        print(n)
    print()

    cols = ("native", "cython", "python", "floor")
    ratios = (("native", "cython"), ("native", "python"), ("cython", "python"),
              ("native", "floor"), ("python", "floor"))
    short = {"native": "nat", "cython": "cy", "python": "py", "floor": "floor"}
    header = ("operation",) + cols + tuple("%s/%s" % (short[a], short[b]) for a, b in ratios)
    widths = (44,) + (19,) * len(cols) + (9,) * len(ratios)
    line = "  ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, (h, w) in enumerate(zip(header, widths)))
    print(line)
    print("-" * len(line))
    results = []
    for row in build_rows(conv_mods, sp_mods, args):
        if args.filter and args.filter not in row.name:
            continue
        figs, note = measure(row, repeats, target)

        def cell(col):
            if col not in figs:
                return "n/a"
            med, mn = figs[col]
            return "%s (%s)" % (_fmt(med), _fmt(mn))

        med = {col: figs[col][0] for col in figs}
        cells = ((row.name,) + tuple(cell(c) for c in cols)
                 + tuple(_ratio(med.get(a), med.get(b)) for a, b in ratios))
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))),
              flush=True)
        if note:
            print("    !! %s" % note)
        results.append({"operation": row.name, "driver": row.driver, "note": note,
                        **{col: {"median": figs[col][0], "min": figs[col][1]} for col in figs}})
    print()
    print("cells: median (min) per operation; ratios from medians")
    if _loop is not None:
        _loop.close()
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"python": sys.version, "repeats": repeats, "rows": results}, f, indent=1)


if __name__ == "__main__":
    main()
