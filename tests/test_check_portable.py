"""tools/check-portable: what only the Windows build would reject is found, and
the same words in comments, strings, guarded code and longer names are not."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
_loader = importlib.machinery.SourceFileLoader("check_portable", str(ROOT / "tools" / "check-portable"))
_spec = importlib.util.spec_from_loader("check_portable", _loader)
check = importlib.util.module_from_spec(_spec)
_loader.exec_module(check)


def cpp(code: str) -> list[int]:
    return [line for line, _ in check.check_cpp(Path("x.cpp"), textwrap.dedent(code))]


def py(code: str) -> list[int]:
    return [line for line, _ in check.check_python(Path("test_x.py"), textwrap.dedent(code))]


@pytest.mark.parametrize("line", [
    "#include <unistd.h>",
    "# include <sys/time.h>",
    "#pragma GCC diagnostic ignored \"-Wshadow\"",
    "#warning not yet",
    "static int f() __attribute__((noinline));",
    "int n = __builtin_popcount(x);",
    "long n = 0;",
    "unsigned long n = 0;",
    "auto v = static_cast<long>(x);",
    "auto n = PyLong_AsLong(o);",
    "Ref r = own(PyLong_FromUnsignedLong(n));",
    "int big = PyLong_AsLongAndOverflow(o, &overflow);",
    "std::sprintf(buf, \"%d\", n);",
    "const char* home = getenv(\"HOME\");",
    "char* s = strdup(t);",
    "usleep(10);",
    "if (strcasecmp(a, b) == 0) {}",
    "Ref environ = getattr(os, name);",
])
def test_cpp_findings(line):
    assert cpp(f"int a;\n{line}\n") == [2]


@pytest.mark.parametrize("code", [
    "#include <cstdint>\n#include <Python.h>\n#pragma once",
    "long long n = 0; unsigned long long m = 0; long double d = 0;",
    "auto n = PyLong_AsLongLong(o); auto m = PyLong_FromSsize_t(i); auto u = PyLong_AsUnsignedLongLong(o);",
    "// long ago we called getenv() and usleep(1) here",
    "/* a long\n   comment with #include <unistd.h> */",
    "const char* t = \"however long it runs, sprintf(x)\";",
    "const char* r = R\"(long \"quoted\" fork())\";",
    "char c = 'l'; int along = 0; obj.sleep(1); p->kill(); int belong = 1; auto e = o.environ;",
    "[[nodiscard]] int f();",
    "std::snprintf(buf, sizeof buf, \"%d\", n);",
])
def test_cpp_clean(code):
    assert cpp(code) == []


def test_cpp_branches_msvc_never_compiles_are_left_out():
    code = """
        #if defined(_WIN32)
        #include <windows.h>
        long a;
        #elif defined(__APPLE__) || defined(__linux__)
        #include <pthread.h>
        #else
        #include <unistd.h>
        #endif
        #ifndef _WIN32
        long b;
        #else
        long c;
        #endif
        #if defined(__linux__)
        #include <sys/mman.h>
        #else
        long d;
        #endif
        #ifdef NDEBUG
        long e;
        #endif
        long f;
    """
    assert cpp(code) == [4, 13, 18, 21, 23]


def test_cpp_line_numbers_survive_blanked_comments():
    assert cpp("/* one\n two\n three */\nlong x;\n\"a\\\nb\";\nlong y;\n") == [4, 7]


@pytest.mark.parametrize("code, lines", [
    ("import os, signal\nos.kill(p.pid, signal.SIGKILL)\n", [2]),
    ("from signal import SIGKILL, SIGTERM\n", [1]),
    ("import fcntl\n", [1]),
    ("import os\npid = os.fork()\n", [2]),
    ("import subprocess\nsubprocess.run(['x'], preexec_fn=lambda: None)\n", [2]),
    ("open('/dev/null', 'w')\n", [1]),
    ("import signal\ndef test_x():\n    signal.alarm(1)\n", [3]),
])
def test_python_findings(code, lines):
    assert py(code) == lines


@pytest.mark.parametrize("code", [
    # the portable path
    "child.kill()\nchild.terminate()\nimport signal\nsignal.SIGTERM\nsignal.SIGINT\n",
    # guarded by an if, a skipif, a try or a module skip
    "import os, sys, signal\nif sys.platform != 'win32':\n    os.kill(pid, signal.SIGKILL)\n",
    "import signal\nsig = signal.SIGKILL if hasattr(signal, 'SIGKILL') else signal.SIGTERM\n",
    "import os, pytest, signal\n@pytest.mark.skipif(os.name == 'nt', reason='POSIX')\n"
    "def test_x():\n    signal.alarm(1)\n",
    "try:\n    import fcntl\nexcept ImportError:\n    fcntl = None\n",
    "import sys, pytest\nif sys.platform == 'win32':\n    pytest.skip('POSIX', allow_module_level=True)\n"
    "import fcntl\n",
    "import sys, pytest\npytestmark = pytest.mark.skipif(sys.platform == 'win32', reason='POSIX')\nimport pwd\n",
    # words that only look alike
    "text = 'signal.SIGKILL and /dev/null in prose'\nimport os\nos.getpid()\n",
])
def test_python_clean(code):
    assert py(code) == []


def test_the_project_passes(capsys):
    assert check.main([]) == 0
