"""Packs and checks the project's wheels (tools/wheels, tools/windows-stage).

    python tools/wheel_files.py pack PKGDIR TAG OUTDIR     wheel from an install tree (cmake --install)
    python tools/wheel_files.py check [--native] WHEEL TAG...   fails unless the wheel is what it must be
    python tools/wheel_files.py check-sdist SDIST TREE      fails unless the sdist holds TREE's build inputs

`pack` takes the metadata from the build backend (scikit-build-core's
prepare_metadata_for_build_wheel, run on this checkout), so a packed wheel's
METADATA is the one `pip wheel .` writes. `check` reads the wheel and the
modules in it and fails (exit 1, one line per fault) unless: its file name and
WHEEL carry exactly the TAGs given; it holds the two extension modules (named
with the interpreter's suffix for those tags), their stubs (the same bytes as
stubs/) and py.typed, and the dist-info files, nothing else; METADATA names the
project, version and Requires-Python of pyproject.toml and no dependency; RECORD
lists every file once with its sha256 and size; and each module exports only its
PyInit_ function and links against nothing but the C library (ELF) or
pythonXY.dll, the Windows API, the UCRT and the VC++ runtime DLLs python.org's
installer ships (PE); --native (a wheel built by this machine's compiler for
itself) leaves out the last two. On success it prints the wheel's size, its
tags and each module's libraries. `check-sdist` wants pyproject.toml,
CMakeLists.txt, README.md, src/ and stubs/ as they are in TREE, PKG-INFO with
the name, version and Requires-Python of pyproject.toml, and nothing else.
"""

from __future__ import annotations

import base64
import csv
import hashlib
import io
import re
import struct
import subprocess
import sys
import tarfile
import tempfile
import tomllib
import zipfile
from email.parser import Parser
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULES = ("zorvane/core/conversation", "zorvane/pc/seek_press")
STUBS = ("zorvane/core/conversation.pyi", "zorvane/pc/seek_press.pyi", "zorvane/py.typed")

# ELF: the C library and the dynamic loader only; the C++ runtime is inside.
ELF_LIBS = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2"}
# PE: the interpreter's DLL, the Windows API and the UCRT (by its api sets),
# and the VC++ runtime python.org's installer puts beside python.exe.
PE_SYSTEM = {"kernel32.dll", "ntdll.dll", "advapi32.dll", "user32.dll", "bcrypt.dll", "ws2_32.dll",
             "ucrtbase.dll", "vcruntime140.dll", "vcruntime140_1.dll"}


def project() -> dict[str, str]:
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def record_hash(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def ext_suffix(tag: str) -> str:
    """The extension-module suffix the interpreter of a wheel tag loads:
    cp313-cp313t-manylinux_2_17_x86_64 -> .cpython-313t-x86_64-linux-gnu.so."""
    _py, abi, plat = tag.split("-")
    m = re.fullmatch(r"cp(\d+)([a-z]*)", abi)
    if not m:
        raise SystemExit(f"wheel_files: not a CPython ABI tag: {tag}")
    ver, flags = m.groups()
    if plat == "win_amd64":
        return f".cp{ver}{flags}-win_amd64.pyd"
    if plat.endswith("_x86_64") and ("linux" in plat):
        return f".cpython-{ver}{flags}-x86_64-linux-gnu.so"
    raise SystemExit(f"wheel_files: no suffix known for {tag}")


# ---------------------------------------------------------------------------
# pack


def pack(pkgdir: Path, tag: str, outdir: Path) -> Path:
    meta = project()
    dist = f"{meta['name'].replace('-', '_')}-{meta['version']}"
    with tempfile.TemporaryDirectory() as tmp:
        # The backend's own metadata hook, run in this checkout.
        info = subprocess.run(
            [sys.executable, "-c", "import sys, scikit_build_core.build as b; "
             "print(b.prepare_metadata_for_build_wheel(sys.argv[1]))", tmp],
            cwd=ROOT, check=True, capture_output=True, text=True).stdout.split()[-1]
        metadata = (Path(tmp) / info / "METADATA").read_bytes()
    import scikit_build_core
    wheel_info = (f"Wheel-Version: 1.0\nGenerator: tools/wheel_files.py (metadata: scikit-build-core "
                  f"{scikit_build_core.__version__})\nRoot-Is-Purelib: false\nTag: {tag}\n\n").encode()
    files = sorted(p.relative_to(pkgdir).as_posix() for p in pkgdir.rglob("*") if p.is_file())
    outdir.mkdir(parents=True, exist_ok=True)
    out = outdir / f"{dist}-{tag}.whl"
    records = []
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as zf:
        def add(name: str, data: bytes) -> None:
            zf.writestr(zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0)), data, zipfile.ZIP_DEFLATED)
            records.append((name, record_hash(data), str(len(data))))
        for name in files:
            add(name, (pkgdir / name).read_bytes())
        add(f"{dist}.dist-info/METADATA", metadata)
        add(f"{dist}.dist-info/WHEEL", wheel_info)
        buf = io.StringIO()
        writer = csv.writer(buf, lineterminator="\n")
        writer.writerows(records)
        writer.writerow((f"{dist}.dist-info/RECORD", "", ""))
        zf.writestr(zipfile.ZipInfo(f"{dist}.dist-info/RECORD", date_time=(2020, 1, 1, 0, 0, 0)),
                    buf.getvalue(), zipfile.ZIP_DEFLATED)
    return out


# ---------------------------------------------------------------------------
# Reading the modules


def elf_links(data: bytes) -> tuple[list[str], set[str]]:
    """DT_NEEDED entries and the defined global or weak dynamic symbols."""
    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile
    from elftools.elf.sections import SymbolTableSection

    elf = ELFFile(io.BytesIO(data))
    needed: list[str] = []
    exported: set[str] = set()
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            needed += [t.needed for t in section.iter_tags() if t.entry.d_tag == "DT_NEEDED"]
        if isinstance(section, SymbolTableSection) and section.name == ".dynsym":
            exported |= {s.name for s in section.iter_symbols()
                         if s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
                         and s.name}
    return needed, exported


def pe_links(data: bytes) -> tuple[list[str], set[str]]:
    """The DLLs a PE32+ image imports (normal and delay-loaded) and the names it exports."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    machine, nsections = struct.unpack_from("<HH", data, pe + 4)
    opt_size = struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    if machine != 0x8664 or struct.unpack_from("<H", data, opt)[0] != 0x20B:
        raise ValueError("not an x86-64 PE32+ image")
    ndirs = struct.unpack_from("<I", data, opt + 108)[0]
    dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(ndirs)]
    sections = [struct.unpack_from("<IIII", data, opt + opt_size + 40 * i + 8) for i in range(nsections)]

    def offset(rva: int) -> int:
        for vsize, va, rawsize, raw in sections:
            if va <= rva < va + max(vsize, rawsize):
                return rva - va + raw
        raise ValueError(f"RVA {rva:#x} is in no section")

    def cstr(rva: int) -> str:
        start = offset(rva)
        return data[start:data.index(b"\0", start)].decode("ascii")

    dlls: list[str] = []
    for index, size, name_at in ((1, 20, 12), (13, 32, 4)):  # import, delay-load import
        rva = dirs[index][0] if index < ndirs else 0
        while rva:
            entry = data[offset(rva):offset(rva) + size]
            if not any(entry):
                break
            name_rva = struct.unpack_from("<I", entry, name_at)[0]
            if not name_rva:
                break
            dlls.append(cstr(name_rva))
            rva += size
    exported: set[str] = set()
    if ndirs and dirs[0][0]:
        at = offset(dirs[0][0])
        nnames, _funcs, names = struct.unpack_from("<III", data, at + 24)
        exported = {cstr(struct.unpack_from("<I", data, offset(names) + 4 * i)[0]) for i in range(nnames)}
    return dlls, exported


def pe_allowed(dll: str, python_dll: str) -> bool:
    name = dll.lower()
    return name == python_dll or name in PE_SYSTEM or name.startswith(("api-ms-win-crt-", "api-ms-win-core-"))


# ---------------------------------------------------------------------------
# check


def core_metadata_faults(label, message, meta):
    """What the name, version and Requires-Python of `message` (METADATA or PKG-INFO) get wrong."""
    return [f"{label} {field}: {message[field]!r}, expected {want!r}"
            for field, want in (("Name", meta["name"]), ("Version", meta["version"]),
                                ("Requires-Python", meta["requires-python"]))
            if message[field] != want]

def check(wheel: Path, tags: list[str], native: bool = False) -> list[str]:
    faults: list[str] = []
    meta = project()
    dist = f"{meta['name'].replace('-', '_')}-{meta['version']}"
    compressed = ".".join(sorted({t.split("-")[2] for t in tags}))
    py_abi = {"-".join(t.split("-")[:2]) for t in tags}
    if len(py_abi) != 1:
        raise SystemExit("wheel_files: the tags must share one interpreter and ABI")
    expected_name = f"{dist}-{py_abi.pop()}-{compressed}.whl"
    if wheel.name != expected_name:
        faults.append(f"file name {wheel.name}, expected {expected_name}")
    ext = ext_suffix(tags[0])
    ours = {m + ext for m in MODULES} | set(STUBS)
    info = f"{dist}.dist-info"
    with zipfile.ZipFile(wheel) as zf:
        names = [n for n in zf.namelist() if not n.endswith("/")]
        content = {n: zf.read(n) for n in names}
    if len(names) != len(set(names)):
        faults.append("a file is in the archive twice")
    expected = ours | {f"{info}/METADATA", f"{info}/WHEEL", f"{info}/RECORD"}
    for name in sorted(set(names) - expected):
        faults.append(f"unexpected file {name}")
    for name in sorted(expected - set(names)):
        faults.append(f"missing file {name}")
    for stub in STUBS:
        if stub in content and content[stub] != (ROOT / "stubs" / stub).read_bytes():
            faults.append(f"{stub} differs from stubs/{stub}")

    wheel_info = Parser().parsestr(content.get(f"{info}/WHEEL", b"").decode())
    if wheel_info["Wheel-Version"] != "1.0" or wheel_info["Root-Is-Purelib"] != "false":
        faults.append("WHEEL: expected Wheel-Version 1.0 and Root-Is-Purelib false")
    if sorted(wheel_info.get_all("Tag") or []) != sorted(tags):
        faults.append(f"WHEEL tags {wheel_info.get_all('Tag')}, expected {sorted(tags)}")
    metadata = Parser().parsestr(content.get(f"{info}/METADATA", b"").decode())
    faults += core_metadata_faults("METADATA", metadata, meta)
    if metadata.get_all("Requires-Dist"):
        faults.append(f"METADATA has dependencies: {metadata.get_all('Requires-Dist')}")

    rows = list(csv.reader(io.StringIO(content.get(f"{info}/RECORD", b"").decode())))
    listed = [r[0] for r in rows]
    if sorted(listed) != sorted(names):
        faults.append(f"RECORD lists {sorted(set(listed) ^ set(names))} wrongly (or twice)")
    for row in rows:
        if len(row) != 3:
            faults.append(f"RECORD row {row}")
        elif row[0] == f"{info}/RECORD":
            if row[1:] != ["", ""]:
                faults.append("RECORD lists a hash for itself")
        elif row[0] in content and row[1:] != [record_hash(content[row[0]]), str(len(content[row[0]]))]:
            faults.append(f"RECORD: wrong hash or size for {row[0]}")

    lines = [f"{wheel.name}  {wheel.stat().st_size} bytes  tags: {', '.join(sorted(tags))}"]
    python_dll = "python" + re.sub(r"\D", "", ext.split("-")[0]) + ".dll"
    for module in MODULES:
        name = module + ext
        if name not in content:
            continue
        init = "PyInit_" + module.rsplit("/", 1)[1]
        if ext.endswith(".pyd"):
            libs, exported = pe_links(content[name])
            bad = [d for d in libs if not pe_allowed(d, python_dll)]
        else:
            libs, exported = elf_links(content[name])
            bad = [d for d in libs if d not in ELF_LIBS]
        if bad and not native:
            faults.append(f"{name} links against {', '.join(bad)}")
        if exported != {init} and not native:
            faults.append(f"{name} exports {sorted(exported)}, expected only {init}")
        lines.append(f"  {name} ({len(content[name])} bytes): {', '.join(libs)}")
    if not faults:
        print("\n".join(lines))
    return faults


def check_sdist(sdist: Path, tree: Path) -> list[str]:
    faults: list[str] = []
    meta = project()
    top = f"{meta['name'].replace('-', '_')}-{meta['version']}"
    with tarfile.open(sdist) as tf:
        members = {m.name: m for m in tf.getmembers() if m.isfile()}
        content = {name: tf.extractfile(m).read() for name, m in members.items()}  # type: ignore[union-attr]
    inputs = {"pyproject.toml", "CMakeLists.txt", "README.md"}
    inputs |= {p.relative_to(tree).as_posix() for d in ("src", "stubs") for p in (tree / d).rglob("*") if p.is_file()}
    expected = {f"{top}/{n}" for n in inputs | {"PKG-INFO"}}
    for name in sorted(set(content) - expected):
        faults.append(f"unexpected file {name}")
    for name in sorted(expected - set(content)):
        faults.append(f"missing file {name}")
    for name in sorted(inputs):
        if f"{top}/{name}" in content and content[f"{top}/{name}"] != (tree / name).read_bytes():
            faults.append(f"{name} differs from the tree's")
    info = Parser().parsestr(content.get(f"{top}/PKG-INFO", b"").decode())
    faults += core_metadata_faults("PKG-INFO", info, meta)
    if not faults:
        print(f"{sdist.name}  {sdist.stat().st_size} bytes  {len(content)} files")
    return faults


def main(argv: list[str]) -> int:
    if len(argv) == 4 and argv[0] == "pack":
        print(pack(Path(argv[1]), argv[2], Path(argv[3])))
        return 0
    native = argv[1:2] == ["--native"]
    if native:
        del argv[1]
    if len(argv) >= 3 and argv[0] in ("check", "check-sdist"):
        if argv[0] == "check":
            faults = check(Path(argv[1]), argv[2:], native)
        elif len(argv) == 3 and not native:
            faults = check_sdist(Path(argv[1]), Path(argv[2]))
        else:
            faults = ["check-sdist takes SDIST TREE"]
        for fault in faults:
            print(f"wheel_files: {Path(argv[1]).name}: {fault}", file=sys.stderr)
        return 1 if faults else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
