#!/usr/bin/env python3
"""Install the two extension modules into an application's own package tree.

    python tools/install_into_app.py APP [--wheel WHEEL | --from DIR] [--stubs]

APP is the folder that holds the application's `zorvane` package, which must
already have `zorvane/core/` and `zorvane/pc/`. Exactly the two extension
files (with --stubs also their .pyi stubs) are copied into those folders;
nothing else in APP is created, changed or removed. Each file written is
reported on stdout.

Where the modules come from:
  --wheel WHEEL  a built wheel (pip wheel . -w dist)
  --from DIR     a tree holding zorvane/core/conversation.<suffix> and
                 zorvane/pc/seek_press.<suffix> (a site-packages folder, or
                 the pkg folder of tools/dev-build)
  neither        a wheel is built from this checkout for the running
                 interpreter (python -m pip wheel), so run this with the
                 interpreter the application uses.

Exit status: 0 when installed, 2 when refused (nothing written), 1 on error.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import os
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path, PurePosixPath

ROOT = Path(__file__).resolve().parent.parent
MODULES = (("core", "conversation"), ("pc", "seek_press"))


class Refused(Exception):
    pass


def extension_suffix(name: str, stem: str) -> str | None:
    """The extension-module suffix of file `name` for module `stem`, if it is one."""
    if not name.startswith(stem + "."):
        return None
    suffix = name[len(stem):]
    # Any platform's suffix: a wheel built for another interpreter is
    # reported as such below rather than skipped.
    if suffix.endswith((".so", ".pyd")):
        return suffix
    return None


def pick(names: list[str], package: str, stem: str, what: str) -> str:
    """The one extension file for zorvane.<package>.<stem> among `names` (posix paths)."""
    found = [
        n for n in names
        if str(PurePosixPath(n).parent) == f"zorvane/{package}" and extension_suffix(PurePosixPath(n).name, stem)
    ]
    if len(found) != 1:
        raise Refused(f"{what} holds {len(found)} extension files for zorvane.{package}.{stem}, expected one"
                      + (f": {', '.join(sorted(found))}" if found else ""))
    return found[0]


def collect_from_dir(src: Path, stubs: bool) -> dict[str, bytes]:
    names = [p.relative_to(src).as_posix() for p in src.glob("zorvane/*/*") if p.is_file()]
    out: dict[str, bytes] = {}
    for package, stem in MODULES:
        rel = pick(names, package, stem, str(src))
        out[rel] = (src / rel).read_bytes()
        if stubs:
            stub = src / "zorvane" / package / f"{stem}.pyi"
            if not stub.is_file():
                raise Refused(f"{src} has no stub {stub.relative_to(src).as_posix()}")
            out[f"zorvane/{package}/{stem}.pyi"] = stub.read_bytes()
    return out


def collect_from_wheel(wheel: Path, stubs: bool) -> dict[str, bytes]:
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        out: dict[str, bytes] = {}
        for package, stem in MODULES:
            rel = pick(names, package, stem, wheel.name)
            out[rel] = zf.read(rel)
            if stubs:
                stub = f"zorvane/{package}/{stem}.pyi"
                if stub not in names:
                    raise Refused(f"{wheel.name} has no stub {stub}")
                out[stub] = zf.read(stub)
    return out


def build_wheel(into: Path) -> Path:
    print(f"building a wheel for {sys.executable} ...", file=sys.stderr)
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "--disable-pip-version-check",
                    "-q", "-w", str(into), str(ROOT)], check=True)
    wheels = sorted(into.glob("zorvane_native-*.whl"))
    if len(wheels) != 1:
        raise Refused(f"pip wheel left {len(wheels)} wheels in {into}")
    return wheels[0]


def install(app: Path, files: dict[str, bytes]) -> list[Path]:
    """Writes `files` (posix paths under APP) and returns what was written."""
    written = []
    for rel, data in sorted(files.items()):
        dest = app.joinpath(*PurePosixPath(rel).parts)
        # Through a temporary file in the same folder, so that a running
        # application never sees half a module.
        fd, tmp = tempfile.mkstemp(prefix=f".{dest.name}.", dir=dest.parent)
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
            if dest.suffix in (".so", ".pyd"):
                os.chmod(tmp, 0o755)
            else:
                os.chmod(tmp, 0o644)
            os.replace(tmp, dest)
        except BaseException:
            if os.path.exists(tmp):
                os.unlink(tmp)
            raise
        written.append(dest)
    return written


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Copy the two extension modules into APP/zorvane/core and APP/zorvane/pc.")
    parser.add_argument("app", type=Path, help="the folder holding the application's zorvane package")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--wheel", type=Path, help="take the modules from this wheel")
    source.add_argument("--from", dest="from_dir", type=Path, metavar="DIR",
                        help="take the modules from this tree (DIR/zorvane/core, DIR/zorvane/pc)")
    parser.add_argument("--stubs", action="store_true", help="copy the .pyi stubs as well")
    args = parser.parse_args(argv)

    try:
        app = args.app.resolve()
        for package, _ in MODULES:
            if not (app / "zorvane" / package).is_dir():
                raise Refused(f"{app / 'zorvane' / package} is not a folder: APP must be the folder "
                              "holding the application's zorvane package with its core and pc packages")
        if args.wheel:
            files = collect_from_wheel(args.wheel, args.stubs)
        elif args.from_dir:
            files = collect_from_dir(args.from_dir, args.stubs)
        else:
            with tempfile.TemporaryDirectory() as tmp:
                files = collect_from_wheel(build_wheel(Path(tmp)), args.stubs)
    except Refused as exc:
        print(f"install_into_app: refused: {exc}; nothing was written", file=sys.stderr)
        return 2
    except (OSError, zipfile.BadZipFile, subprocess.CalledProcessError) as exc:
        print(f"install_into_app: {exc}; nothing was written", file=sys.stderr)
        return 1

    here = set(importlib.machinery.EXTENSION_SUFFIXES)
    for rel in files:
        name = PurePosixPath(rel).name
        stem = name.split(".", 1)[0]
        suffix = extension_suffix(name, stem)
        if suffix and suffix not in here:
            print(f"install_into_app: note: {name} is not for this interpreter ({sys.version.split()[0]})",
                  file=sys.stderr)
    try:
        written = install(app, files)
    except OSError as exc:
        print(f"install_into_app: {exc}", file=sys.stderr)
        return 1
    for path in written:
        print(f"wrote {path} ({path.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
