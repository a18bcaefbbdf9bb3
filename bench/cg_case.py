"""One benchmark case run a fixed number of times, for instruction counting.

    python bench/cg_case.py native|cython|python|floor ITERATIONS [--op OP] [--layers] [--window W]
                            [--drive send|await]

bench/callgrind.sh runs this under callgrind twice with different iteration
counts; the difference removes interpreter start-up and set-up. OP is
build_messages (default) or one of the thin operations (THIN below). ``--drive send`` runs each coroutine by
one ``send(None)``; ``--drive await`` awaits it inside an ``async def``, as the
host does (the default for the thin operations). ``cython`` is bench/pyref
compiled by bench/cybuild.py, which must have been built already (callgrind.sh
builds it first, outside the count).
"""

import argparse
import functools
import os
import sys

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
CONV = "0b7c9a8e-5d1f-4c3a-9e2b-6f4d8a1c2e3f"


THIN = ("add_user_message", "add_assistant_message", "add_tool_result", "get_summary", "list_conversations",
        "start_conversation", "click_text", "click_near_text", "click_color")
SEEK_PRESS = {"click_text": ("OK",), "click_near_text": ("Name:", 120, 0), "click_color": ("#ff0000",)}


def _run(coro):
    try:
        coro.send(None)
    except StopIteration:
        pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("impl", choices=("native", "cython", "python", "floor"))
    ap.add_argument("iterations", type=int)
    ap.add_argument("--op", default="build_messages",
                    choices=("build_messages",) + THIN)
    ap.add_argument("--window", type=int, default=200)
    ap.add_argument("--layers", action="store_true")
    ap.add_argument("--drive", choices=("send", "await"))
    ap.add_argument("--native-path", default=os.environ.get("ZORVANE_NATIVE_PATH")
                    or os.environ.get("ZORVANE_BUILD_PKG") or os.path.join(ROOT, "build", "dev", "pkg"))
    args = ap.parse_args()
    sys.path[:0] = [args.native_path, BENCH, os.path.join(ROOT, "host")]
    drive = args.drive or ("send" if args.op == "build_messages" else "await")

    import floor
    import stores
    if args.op in SEEK_PRESS:
        if args.impl == "native":
            import zorvane.pc.seek_press as sp
        elif args.impl == "python":
            from pyref import seek_press as sp
        else:
            sys.exit("%s: only the native and python columns" % args.op)
        make = functools.partial(getattr(sp.SeekPress(stores.Mouse(), stores.Screen()), args.op),
                                 *SEEK_PRESS[args.op])
        _drive(make, drive, args.iterations)
        return
    if args.impl == "native":
        import zorvane.core.conversation as mod
    elif args.impl == "cython":
        import cybuild
        path = cybuild.built()
        if path is None:
            sys.exit("no Cython build of bench/pyref: run bench/cybuild.py")
        sys.path.insert(0, path)
        from pyref_cy import conversation as mod
    else:
        from pyref import conversation as mod

    planner = summarizer = None
    if args.op == "build_messages":
        store = stores.MemoryStore()
        store.load(CONV, stores.generate_history(args.window))
        if args.layers:
            store.facts = stores.make_facts(10)
            store.summaries[CONV] = {"summary": "Earlier work.", "goals": ["g"], "summarized_up_to": 0}
            planner, summarizer = stores.Planner(), stores.Summarizer()
    else:
        store = stores.DiscardingStore()
    mgr = mod.ConversationManager(store, args.window, planner, summarizer)
    if args.impl != "floor" and args.op != "start_conversation":
        if drive == "send":
            _run(mgr.resume_conversation(CONV))
        else:
            async def resume():
                await mgr.resume_conversation(CONV)
            _run(resume())

    calls = [{"id": "call_1", "name": "shell", "arguments": {"command": "ls"}}]
    op_args = {"add_user_message": ("list the files",), "add_tool_result": ("call_1", "a.txt\nb.txt"),
               "add_assistant_message": (None, calls)}
    if args.impl == "floor":
        make = {
            "build_messages": functools.partial(floor.build_messages, store, CONV, args.window, planner,
                                                summarizer, store.summaries.get(CONV)),
            "add_user_message": functools.partial(floor.add_user_message, store, CONV, *op_args.get(args.op, ())),
            "add_tool_result": functools.partial(floor.add_tool_result, store, CONV, *op_args.get(args.op, ())),
            "start_conversation": functools.partial(floor.start_conversation, store),
            "add_assistant_message": functools.partial(floor.add_assistant_message, store, CONV,
                                                       *op_args.get(args.op, ())),
        }.get(args.op)
        if make is None:
            sys.exit("%s: no floor" % args.op)
    else:
        make = functools.partial(getattr(mgr, args.op), *op_args.get(args.op, ()))

    _drive(make, drive, args.iterations)


def _drive(make, drive, iterations):
    if drive == "send":
        for _ in range(iterations):
            _run(make())
    else:
        from awaiting import awaiting_loop
        _run(awaiting_loop(make)(iterations))


if __name__ == "__main__":
    main()
