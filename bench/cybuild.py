"""The pure-Python rendition compiled with Cython, as a user would build it.

    python bench/cybuild.py     # build when needed; print the directory to add to sys.path

``ensure()`` returns a directory holding the package ``pyref_cy``: the files
of bench/pyref compiled unchanged by ``cythonize`` with its defaults
(language level 3) and the interpreter's own C flags. The first use installs
the tools pinned in bench/requirements.txt into build/bench-cython/tools-KEY
(the venv is left alone) and compiles into build/bench-cython/KEY. KEY covers
the sources, the requirements, this file and the interpreter, so an edited
rendition is rebuilt and an unchanged one is built once.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
CACHE = os.path.join(ROOT, "build", "bench-cython")
REQUIREMENTS = os.path.join(BENCH, "requirements.txt")
PACKAGE = "pyref_cy"
MODULES = ("conversation", "seek_press")

_SETUP = """\
from Cython.Build import cythonize
from setuptools import setup
setup(script_args=["build_ext", "--inplace"],
      ext_modules=cythonize(%r, compiler_directives={"language_level": 3}))
"""


class BuildError(RuntimeError):
    pass


def _key(paths):
    h = hashlib.sha256()
    h.update(("%s|%s" % (sys.version, sysconfig.get_config_var("EXT_SUFFIX"))).encode())
    for p in paths:
        h.update(os.path.basename(p).encode())
        with open(p, "rb") as f:
            h.update(f.read())
    return h.hexdigest()[:16]


def _sources():
    return [os.path.join(BENCH, "pyref", m + ".py") for m in MODULES]


def _run(cmd, log, **kw):
    with open(log, "a") as out:
        r = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, **kw)
    if r.returncode != 0:
        with open(log) as f:
            tail = f.read().strip().splitlines()[-15:]
        raise BuildError("%s failed (exit %d); log %s:\n  %s"
                         % (" ".join(cmd[:4]), r.returncode, log, "\n  ".join(tail)))


def _publish(tmp, final):
    """Move a finished build into place; a build that lost a race is dropped."""
    try:
        os.rename(tmp, final)
    except OSError:
        if not os.path.isdir(final):
            raise
        shutil.rmtree(tmp, ignore_errors=True)


def _tools(log):
    tools = os.path.join(CACHE, "tools-" + _key([REQUIREMENTS]))
    if os.path.isdir(tools):
        return tools
    tmp = "%s.tmp-%d" % (tools, os.getpid())
    shutil.rmtree(tmp, ignore_errors=True)
    try:
        _run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
              "--no-warn-script-location", "--target", tmp, "-r", REQUIREMENTS], log)
        _publish(tmp, tools)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return tools


def _target():
    return os.path.join(CACHE, _key([REQUIREMENTS, os.path.abspath(__file__)] + _sources()))


def built():
    """The directory of an up-to-date build, or None; never builds."""
    out = _target()
    return out if os.path.isdir(out) else None


def ensure(log=None):
    """The directory to put on sys.path for ``import pyref_cy.conversation``.
    Builds on first use (about a minute); raises BuildError when it cannot."""
    sources = _sources()
    out = _target()
    if os.path.isdir(out):
        return out
    os.makedirs(CACHE, exist_ok=True)
    if log:
        log("compiling bench/pyref with Cython into %s (first use)" % os.path.relpath(out, ROOT))
    tmp = "%s.tmp-%d" % (out, os.getpid())
    buildlog = os.path.join(CACHE, "build-%d.log" % os.getpid())
    shutil.rmtree(tmp, ignore_errors=True)
    if os.path.exists(buildlog):
        os.remove(buildlog)
    try:
        tools = _tools(buildlog)
        pkg = os.path.join(tmp, PACKAGE)
        os.makedirs(pkg)
        with open(os.path.join(pkg, "__init__.py"), "w") as f:
            f.write('"""bench/pyref compiled by Cython (bench/cybuild.py)."""\n')
        rel = []
        for src in sources:
            shutil.copy(src, pkg)
            rel.append(os.path.join(PACKAGE, os.path.basename(src)))
        env = dict(os.environ, PYTHONPATH=tools)
        _run([sys.executable, "-c", _SETUP % rel], buildlog, cwd=tmp, env=env)
        # Only the extension modules stay importable: no .py beside them.
        for r in rel:
            os.remove(os.path.join(tmp, r))
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        missing = [m for m in MODULES if not os.path.exists(os.path.join(pkg, m + suffix))]
        if missing:
            raise BuildError("no extension module built for %s; log %s" % (", ".join(missing), buildlog))
        shutil.rmtree(os.path.join(tmp, "build"), ignore_errors=True)
        os.replace(buildlog, os.path.join(tmp, "build.log"))
        _publish(tmp, out)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return out


def version(path):
    """The Cython version that made the build at ``path``."""
    with open(os.path.join(path, PACKAGE, "conversation.c")) as f:
        first = f.readline()  # /* Generated by Cython 3.x.y */
    return first.split("Cython ", 1)[1].split()[0] if "Cython " in first else "?"


if __name__ == "__main__":
    try:
        print(ensure(log=lambda m: print(m, file=sys.stderr)))
    except BuildError as e:
        print("cybuild: %s" % e, file=sys.stderr)
        sys.exit(1)
