"""One benchmark case run a fixed number of times, for instruction counting.

    python bench/cg_case.py native|python ITERATIONS [--layers] [--window W]

bench/callgrind.sh runs this under callgrind twice with different iteration
counts; the difference removes interpreter start-up and set-up.
"""

import argparse
import os
import sys

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("impl", choices=("native", "python", "floor"))
    ap.add_argument("iterations", type=int)
    ap.add_argument("--window", type=int, default=200)
    ap.add_argument("--layers", action="store_true")
    ap.add_argument("--native-path", default=os.environ.get("ZORVANE_NATIVE_PATH")
                    or os.environ.get("ZORVANE_BUILD_PKG") or os.path.join(ROOT, "build", "dev", "pkg"))
    args = ap.parse_args()
    sys.path[:0] = [args.native_path, BENCH, os.path.join(ROOT, "host")]

    import floor
    import stores
    if args.impl == "native":
        import zorvane.core.conversation as mod
    else:
        from pyref import conversation as mod

    conv = "0b7c9a8e-5d1f-4c3a-9e2b-6f4d8a1c2e3f"
    store = stores.MemoryStore()
    store.load(conv, stores.generate_history(args.window))
    planner = summarizer = None
    if args.layers:
        store.facts = stores.make_facts(10)
        store.summaries[conv] = {"summary": "Earlier work.", "goals": ["g"], "summarized_up_to": 0}
        planner, summarizer = stores.Planner(), stores.Summarizer()
    mgr = mod.ConversationManager(store, args.window, planner, summarizer)
    c = mgr.resume_conversation(conv)
    try:
        c.send(None)
    except StopIteration:
        pass
    if args.impl == "floor":
        import functools
        make = functools.partial(floor.build_messages, store, conv, args.window, planner, summarizer,
                                 store.summaries.get(conv))
    else:
        make = mgr.build_messages
    for _ in range(args.iterations):
        c = make()
        try:
            c.send(None)
        except StopIteration:
            pass


if __name__ == "__main__":
    main()
