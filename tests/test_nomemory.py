"""Allocation failures: every operation of the catalogue with each of its
allocations failing in turn, alone and with every later one (tests/_nomemory.py,
one process per operation). Needs the interpreter's _testcapi."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import sysconfig

import pytest

import _nomemory

pytestmark = [
    pytest.mark.nomemory,
    pytest.mark.skipif(_nomemory._testcapi is None, reason="this interpreter has no _testcapi"),
    # Its PyList_New frees a list holding a stale item array when the array's
    # allocation fails, corrupting the heap (python/cpython#152125).
    pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                       reason="free-threaded CPython corrupts its heap on some allocation failures"),
]


@pytest.mark.parametrize("name", list(_nomemory.OPS))
def test_every_allocation_may_fail(name):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-W", "ignore::RuntimeWarning",
                           _nomemory.__file__, "--json", "--trace", name],
                          capture_output=True, text=True, env=env, timeout=240)
    # --trace names each trial on stderr before it runs: the last one is where a crash happened.
    assert proc.returncode in (0, 1), f"exit {proc.returncode}\n{proc.stdout[-2000:]}\n{proc.stderr[-6000:]}"
    report = json.loads(proc.stdout.splitlines()[-1])
    print(f"{name}: N={report['n']} {report['outcomes']} growth {report['growth']}")
    assert not report["faults"], f"{report['fault_count']} faults:\n" + "\n".join(report["faults"])
    assert report["n"] > 0
