"""Demo: a long agent task kept in context, then a login form filled on screen.

    tools/demo                       # sets everything up, then runs this
    python demo/run.py [--window 6] [--skip-desktop] [--use-display]

Part 1 records a scripted agent task (user requests, assistant replies with
tool calls, tool results) through ConversationManager on the SQLite memory
store, with the rule-based summarizer and planner of adapters/. The window is
small, so the history outgrows it: the demo shows each summary being made and
merged, the final message array sent to the model, and a second manager
resuming the conversation from the database file.

Part 2 starts a private X server (Xvfb; --use-display takes $DISPLAY
instead), opens demo/form_app.py and fills it through SeekPress: OCR text
clicks, a click beside a label, typing into fields, a colour click and an
image click. It prints every result dictionary, reads back what the form
received, and saves a screenshot under demo-output/.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import os
import shutil
import sys
import textwrap
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DEMO = ROOT / "demo"
OUT = ROOT / "demo-output"
# The host modules the native ones import (zorvane.core.memory,
# zorvane.pc.{mouse,screen,keyboard}) come from demo/host, backed by adapters/.
for _p in (DEMO, ROOT, DEMO / "host"):
    if str(_p) in sys.path:
        sys.path.remove(str(_p))
    sys.path.insert(0, str(_p))

from adapters.simple_agents import SimplePlanner, SimpleSummarizer  # noqa: E402
from adapters.sqlite_memory import SQLiteMemoryStore  # noqa: E402


def heading(text: str) -> None:
    print(f"\n=== {text} " + "=" * max(0, 70 - len(text)))


def clip(text, n: int = 90) -> str:
    if text is None:
        return "None"
    text = " ".join(str(text).split())
    return text if len(text) <= n else text[: n - 1] + "…"


def plain(value):
    """numpy integers (from the image search) shown as plain ints."""
    if isinstance(value, tuple):
        return tuple(plain(v) for v in value)
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if not isinstance(value, (bool, int)) and hasattr(value, "__index__"):
        return int(value)
    return value


# -- part 1: conversation ----------------------------------------------------

# One scripted agent run: (kind, payload). "tool" turns answer the calls of the
# assistant turn before them, in order.
SCRIPT: list[tuple[str, object]] = [
    ("user", "Sign in to the staging portal as alice and download this month's invoice report. "
             "The password must come from the vault; never type it from memory."),
    ("assistant", ("I'll read the vault entry first.",
                   [("vault_read", {"entry": "staging/alice"})])),
    ("tool", ["Entry staging/alice: user=alice, password=<redacted>, updated 3 days ago."]),
    ("assistant", ("Now I will open the portal's sign-in window.",
                   [("open_app", {"name": "portal", "page": "login"})])),
    ("tool", ["Portal window open; form with Username and Password fields and OK/Submit buttons."]),
    ("assistant", (None, [("type_into", {"label": "Username", "value": "alice"}),
                          ("type_into", {"label": "Password", "value": "<from vault>"})])),
    ("tool", ['{"success": true, "label": "Username", "clicked_at": [317, 61]}',
              '{"success": true, "label": "Password", "clicked_at": [317, 136]}']),
    ("assistant", ("Fields filled. I'll press OK.", [("click_text", {"target": "OK"})])),
    ("tool", ["Pressed OK. Banner: 'Account locked after 3 failed attempts'."]),
    ("assistant", "The account is locked, so I can't sign in yet. Should I unlock it?"),
    ("user", "Yes, unlock it through the admin console, then retry. Note: admin actions need ticket OPS-1142."),
    ("assistant", ("Decision: unlock via the admin console citing OPS-1142.",
                   [("admin_unlock", {"user": "alice", "ticket": "OPS-1142"})])),
    ("tool", ["User alice unlocked (ticket OPS-1142)."]),
    ("assistant", ("Retrying the sign-in now.", [("click_text", {"target": "Submit"})])),
    ("tool", ["Signed in as alice. Dashboard visible."]),
    ("assistant", ("I'll open Reports and pick the invoice report.",
                   [("click_text", {"target": "Reports"}), ("click_text", {"target": "Invoices"})])),
    ("tool", ["Reports menu open.", ""]),  # an empty result is stored as "(no output)"
    ("assistant", ("Let's choose the current month.", [("select", {"field": "Month", "value": "this month"})])),
    ("tool", ["Month set to the current month; 42 invoices listed."]),
    ("user", "Also, remember that reports must be saved as PDF, not CSV."),
    ("assistant", ("Going to export as PDF.", [("click_text", {"target": "Export PDF"})])),
    ("tool", ["Saved invoices-report.pdf (42 invoices, 310 KB) to Downloads."]),
    ("assistant", "The invoice report is saved as Downloads/invoices-report.pdf (42 invoices)."),
    ("user", "Great. What's left?"),
]


async def part_conversation(window: int) -> int:
    heading("Part 1: a long task in a small context window")
    try:
        from zorvane.core import conversation
    except ImportError as exc:
        print(f"zorvane.core.conversation is not importable yet ({exc}); skipping part 1.")
        return 1

    OUT.mkdir(exist_ok=True)
    db = OUT / "demo.db"
    for suffix in ("", "-wal", "-shm"):
        Path(f"{db}{suffix}").unlink(missing_ok=True)
    store = SQLiteMemoryStore(str(db))
    summarizer = SimpleSummarizer()
    planner = SimplePlanner()
    await store.add_fact("user", "Alice works in finance operations")
    await store.add_fact("environment", "Portal runs on the staging cluster", importance=1)

    mgr = conversation.ConversationManager(store, context_window=window, planner=planner,
                                           summarizer=summarizer)
    conv_id = await mgr.start_conversation("Invoice report from the staging portal")
    print(f"module: {conversation.__file__}")
    print(f"conversation {conv_id}, window {window}: summaries start past "
          f"{int(window * 1.5)} stored messages")
    planner.set_plan(conv_id, "Download this month's invoice report",
                     ["Read the vault entry", "Sign in", "Open the invoice report", "Export as PDF",
                      "Report back to the user"])
    plan_steps_after = {2: 0, 14: 1, 18: 2, 21: 3}  # script index -> plan step finished

    pending: list[str] = []
    call_no = 0
    last_up_to = 0
    t0 = time.perf_counter()
    for i, (kind, payload) in enumerate(SCRIPT):
        if kind == "user":
            mid = await mgr.add_user_message(payload)
            print(f"[{mid:>2}] user       {clip(payload, 80)}")
        elif kind == "assistant":
            content, calls = payload if isinstance(payload, tuple) else (payload, None)
            entries = None
            if calls:
                entries = []
                for name, args in calls:
                    call_no += 1
                    entries.append({"id": f"call_{call_no}", "name": name, "arguments": args})
                pending = [e["id"] for e in entries]
            mid = await mgr.add_assistant_message(content, entries)
            names = ", ".join(f"{e['name']}()" for e in entries or [])
            print(f"[{mid:>2}] assistant  {clip(content, 60) if content else '-'}"
                  + (f"  -> calls {names}" if names else ""))
        else:
            for call_id, text in zip(pending, payload):
                mid = await mgr.add_tool_result(call_id, text)
                print(f"[{mid:>2}] tool       {call_id}: {clip(text, 66) or '(empty)'}")
            pending = []
        if i in plan_steps_after:
            planner.mark_step(conv_id, plan_steps_after[i])
        # An agent builds the array before every model call; that is also
        # where the history gets summarised.
        if kind in ("user", "tool"):
            await mgr.build_messages()
            summary = await mgr.get_summary()
            if summary and summary.get("summarized_up_to") != last_up_to:
                verb = "made" if summarizer.calls == 1 else f"merged (pass {summarizer.calls})"
                print(f"     ** summary {verb}: covers messages up to id {summary['summarized_up_to']} "
                      f"({summary.get('summarized_count')} of {summary.get('message_count')}); "
                      f"{len(summary.get('goals', []))} goals, {len(summary.get('key_facts', []))} facts, "
                      f"{len(summary.get('progress', []))} progress items")
                last_up_to = summary["summarized_up_to"]
    elapsed = time.perf_counter() - t0

    messages = await mgr.build_messages()
    heading(f"Final message array ({len(messages)} entries)")
    for n, msg in enumerate(messages):
        line = f"{n:>2} {msg['role']:<9}"
        if msg["role"] == "system":
            body = msg["content"]
            first = body.splitlines()[0] if body else ""
            print(f"{line} {clip(first, 70)}  [{len(body.splitlines())} lines]")
            continue
        if "tool_call_id" in msg:
            line += f" ({msg['tool_call_id']})"
        print(f"{line} {clip(msg.get('content'), 70)}")
        for call in msg.get("tool_calls", []):
            print(f"{'':13}call {call['id']}: {call['function']['name']}({clip(call['function']['arguments'], 60)})")

    heading("Summary layer as the model sees it")
    summary_layers = [m["content"] for m in messages[1:] if m["role"] == "system"]
    for layer in summary_layers:
        print(textwrap.indent(layer, "  | "))
        print()

    await store.close()
    heading("Resume from the database file in a new manager")
    store2 = SQLiteMemoryStore(str(db))
    mgr2 = conversation.ConversationManager(store2, context_window=window,
                                            summarizer=SimpleSummarizer())
    await mgr2.resume_conversation(conv_id)
    resumed = await mgr2.get_summary()
    print(f"resumed {mgr2.conversation_id}: summary up to id {resumed.get('summarized_up_to')}, "
          f"goals: {resumed.get('goals')}")
    print(f"conversations: {[(c['id'][:8], c['title'], c['message_count']) for c in await mgr2.list_conversations()]}")
    rebuilt = await mgr2.build_messages()
    print(f"rebuilt array: {len(rebuilt)} entries "
          f"({sum(1 for m in rebuilt if m['role'] == 'system')} system layers)")
    await store2.close()
    print(f"\n{len(SCRIPT)} scripted turns recorded and {summarizer.calls} summaries made in "
          f"{elapsed * 1000:.0f} ms; database: {db.relative_to(ROOT)}")
    return 0


# -- part 2: desktop -----------------------------------------------------------

async def part_desktop(use_display: bool) -> int:
    heading("Part 2: filling a form on screen with SeekPress")
    missing = [t for t in ("tesseract", "xdotool") if not shutil.which(t)]
    if not use_display and not shutil.which("Xvfb"):
        missing.append("Xvfb")
    if use_display and not os.environ.get("DISPLAY"):
        missing.append("$DISPLAY")
    import importlib.util
    missing += [f"python package {m} (requirements-e2e.txt)" for m in ("PIL", "numpy", "tkinter")
                if importlib.util.find_spec(m) is None]
    if missing:
        print(f"skipped: needs {', '.join(missing)} (see tools/system-deps)")
        return 0
    try:
        from zorvane.pc import seek_press
    except ImportError as exc:
        print(f"zorvane.pc.seek_press is not importable yet ({exc}); skipping part 2.")
        return 1

    from adapters.desktop import ScreenRegion, XMouse, XScreenReader, configure_pyautogui
    from adapters.xvfb import VirtualDisplay, clean_env
    from form_app import FormProcess

    display = None
    if not use_display:
        display = VirtualDisplay(1024, 768).start()
        os.environ.update(display.env())
    else:
        os.environ.setdefault("XDG_SESSION_TYPE", "x11")
    print(f"module: {seek_press.__file__}; display {os.environ['DISPLAY']}"
          + (" (private Xvfb)" if display else ""))
    OUT.mkdir(exist_ok=True)
    form = FormProcess(OUT / "form-state.json", env=clean_env(),
                       prefill={"username": "guest"})
    rc = 0
    try:
        form.start()
        configure_pyautogui()  # a missing image is None: "Image not found on screen"
        screen = XScreenReader()  # parks the pointer off the searched windows while reading
        sp = seek_press.SeekPress(XMouse(), screen)
        await screen.screenshot(OUT / "form-before.png")
        geo = form.state()["geometry"]
        sub = geo["submit_button"]
        steps = [
            ("type_into('Username', 'alice')  # clears 'guest' first",
             lambda: sp.type_into("Username", "alice")),
            ("type_into('Password', 'hunter2')", lambda: sp.type_into("Password", "hunter2")),
            ("click_text('OK')", lambda: sp.click_text("OK")),
            ("click_text('Submit', double=True)", lambda: sp.click_text("Submit", double=True)),
            ("click_text('Submit', region=<around Submit>)",
             lambda: sp.click_text("Submit", region=ScreenRegion(sub[0] - 10, sub[1] - 10, sub[2] + 20, sub[3] + 20))),
            ("click_near_text('Password', offset_x=200)", lambda: sp.click_near_text("Password", offset_x=200)),
            ("click_color('#00ff00')", lambda: sp.click_color("#00ff00")),
            ("click_image('demo/assets/target.png')", lambda: sp.click_image(str(DEMO / "assets" / "target.png"))),
            ("click_text('Forgot password?', timeout=2)",
             lambda: sp.click_text("Forgot password?", timeout=2.0, retry_interval=0.5)),
        ]
        # Each step is made when it runs, so a failing one leaves no
        # coroutine behind unawaited.
        for title, step in steps:
            t0 = time.perf_counter()
            result = await step()
            dt = time.perf_counter() - t0
            shown = {k: (plain(v) if k not in ("match", "click", "typed") else clip(v, 70))
                     for k, v in result.items()}
            print(f"\n> {title}   [{dt:.2f} s]")
            for key, value in shown.items():
                print(f"    {key}: {value}")
        time.sleep(0.3)
        state = form.state()
        heading("What the form received")
        print(f"fields:        {state['fields']}")
        print(f"presses:       {state['presses']}")
        print(f"double clicks: {state['double_clicks']}")
        print(f"focus:         {state['focus']}")
        print(f"square clicks: {state['square_clicks']}   image clicks: {state['image_clicks']}")
        shot = OUT / "form-after.png"
        await screen.screenshot(shot)
        print(f"screenshots:   {(OUT / 'form-before.png').relative_to(ROOT)}, {shot.relative_to(ROOT)}")
        ok = (state["fields"]["username"] == "alice" and state["fields"]["password"] == "hunter2"
              and state["presses"]["OK"] >= 1 and state["double_clicks"]["Submit"] >= 1
              and state["square_clicks"] and state["image_clicks"])
        print("result:        " + ("everything arrived" if ok else "SOMETHING DID NOT ARRIVE"))
        rc = 0 if ok else 1
    finally:
        form.stop()
        if display is not None:
            display.stop()
    return rc


async def main_async(args) -> int:
    rc = 0
    if not args.skip_conversation:
        rc |= await part_conversation(args.window)
    if not args.skip_desktop:
        rc |= await part_desktop(args.use_display)
    return rc


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description="Zorvane native modules demo")
    ap.add_argument("--window", type=int, default=6, help="context window (default 6)")
    ap.add_argument("--skip-conversation", action="store_true")
    ap.add_argument("--skip-desktop", action="store_true")
    ap.add_argument("--use-display", action="store_true",
                    help="use $DISPLAY instead of a private Xvfb (moves your pointer!)")
    ap.add_argument("-v", "--verbose", action="store_true", help="show the modules' log lines")
    args = ap.parse_args(argv)
    logging.basicConfig(level=logging.INFO if args.verbose else logging.WARNING,
                        format="     log %(name)s: %(message)s")
    return asyncio.run(main_async(args))


if __name__ == "__main__":
    sys.exit(main())
