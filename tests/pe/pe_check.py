#!/usr/bin/env python3
"""Checks of the shipped setup.exe as a file: what Windows' loader and Explorer will read.

    pe_check.py SETUP_EXE CHECK     CHECK: header, imports, icons, size
    pe_check.py --reproducible SOURCE_DIR
"""
import pathlib
import struct
import subprocess
import sys
import tempfile

# Every import, each present in Windows 95 and NT 4.0. A new one is a decision: add it here.
ALLOWED_IMPORTS = {
    "KERNEL32.dll": {"CreateProcessA", "ExitProcess", "ExpandEnvironmentStringsA",
                     "GetCommandLineA", "GetCurrentDirectoryA", "GetFileAttributesA",
                     "GetFileType", "GetModuleHandleA", "GetProcAddress", "GetProcessHeap",
                     "GetStartupInfoA", "GetStdHandle", "HeapAlloc", "HeapFree", "IsDBCSLeadByte",
                     "LoadLibraryA"},
    "ADVAPI32.dll": {"RegCloseKey", "RegOpenKeyExA", "RegQueryValueExA"},
}
# (name, width, height, bits per pixel) in the order Explorer is offered them.
ICONS = [(1, 16, 16, 4), (2, 16, 16, 8), (3, 32, 32, 4), (4, 32, 32, 8)]
SIZE_LIMIT = 10240


def header(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "no PE signature"
    machine, sections, stamp = struct.unpack_from("<HHI", data, pe + 4)
    characteristics = struct.unpack_from("<H", data, pe + 22)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    major, minor = struct.unpack_from("<HH", data, opt + 48)
    subsystem, dll_characteristics = struct.unpack_from("<HH", data, opt + 68)
    return {"machine": hex(machine), "magic": hex(magic), "timestamp": stamp,
            "subsystem": subsystem, "subsystem_version": f"{major}.{minor}",
            "aslr": bool(dll_characteristics & 0x40), "dep": bool(dll_characteristics & 0x100),
            "relocations_stripped": bool(characteristics & 0x1)}


def check_header(exe):
    got = header(exe.read_bytes())
    want = {"machine": "0x14c", "magic": "0x10b", "timestamp": 0, "subsystem": 2,
            "subsystem_version": "4.0", "aslr": True, "dep": True, "relocations_stripped": False}
    return [f"{k}: {got[k]!r}, expected {v!r}" for k, v in want.items() if got[k] != v]


def check_imports(exe):
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(exe)], capture_output=True,
                          text=True, check=True).stdout
    imports, dll = {}, None
    for text in dump.splitlines():
        if "DLL Name:" in text:
            dll = text.split("DLL Name:")[1].strip()
            imports[dll] = set()
        elif dll and text.strip() and len(text.split()) == 3 and text.split()[1].isdigit():
            imports[dll].add(text.split()[2])
        elif dll and not text.strip():
            dll = None
    problems = [f"imports from {d}" for d in imports if d not in ALLOWED_IMPORTS]
    for d, names in imports.items():
        extra = names - ALLOWED_IMPORTS.get(d, set())
        if extra:
            problems.append(f"{d}: imports not on the list: {sorted(extra)}")
    if set(imports) != set(ALLOWED_IMPORTS):
        problems.append(f"import DLLs {sorted(imports)}")
    return problems


def check_icons(exe):
    listing = subprocess.run(["wrestool", "-l", str(exe)], capture_output=True, text=True,
                             check=True).stdout.split("\n")
    resources = [t.split("[")[0].split() for t in listing if t.strip()]
    want = [["--type=3", f"--name={n}", "--language=1033"] for n, *_ in ICONS]
    want.append(["--type=14", "--name=102", "--language=1033"])
    problems = [] if resources == want else [f"resources {resources}, expected {want}"]
    group = subprocess.run(["wrestool", "-x", "--raw", "--type=14", "--name=102", str(exe)],
                           capture_output=True, check=True).stdout
    count = struct.unpack_from("<H", group, 4)[0]
    entries = [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i) for i in range(count)]
    got = [(e[7], e[0], e[1], e[5]) for e in entries]
    if got != ICONS:
        problems.append(f"icon group lists {got}, expected {ICONS}")
    for name, width, height, bits in ICONS:
        image = subprocess.run(["wrestool", "-x", "--raw", "--type=3", f"--name={name}", str(exe)],
                               capture_output=True, check=True).stdout
        w, h2, _, b = struct.unpack_from("<iiHH", image, 4)
        if (w, h2, b) != (width, 2 * height, bits):
            problems.append(f"icon {name}: {w}x{h2 // 2} at {b} bits")
    return problems


def check_size(exe):
    size = exe.stat().st_size
    return [] if size <= SIZE_LIMIT else [f"{size} bytes, limit {SIZE_LIMIT}"]


def check_reproducible(source):
    builds = []
    with tempfile.TemporaryDirectory() as scratch:
        for n in (1, 2):
            tree = pathlib.Path(scratch) / f"b{n}"
            subprocess.run(["cmake", "-S", source, "-B", str(tree), "-DCMAKE_BUILD_TYPE=MinSizeRel",
                            f"-DCMAKE_TOOLCHAIN_FILE={source}/cmake/i686-w64-mingw32.cmake"],
                           check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", str(tree), "--target", "setup"], check=True,
                           stdout=subprocess.DEVNULL)
            builds.append((tree / "setup.exe").read_bytes())
    return [] if builds[0] == builds[1] else ["two clean builds differ"]


def main(argv):
    if argv[0] == "--reproducible":
        problems = check_reproducible(argv[1])
    else:
        problems = globals()["check_" + argv[1]](pathlib.Path(argv[0]))
    print("\n".join(problems) if problems else "as expected")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
