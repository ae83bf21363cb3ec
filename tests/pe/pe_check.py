#!/usr/bin/env python3
"""Checks of the shipped setup.exe as a file: what Windows' loader and Explorer will read.

    pe_check.py SETUP_EXE CHECK     CHECK: header, imports, icons, size (carrier.exe: its own)
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
                     "LoadLibraryA", "WideCharToMultiByte"},
    "ADVAPI32.dll": {"RegCloseKey", "RegOpenKeyExA", "RegQueryValueExA"},
}
# The carrying launcher's, beyond setup.exe's: resources, folders, files, error text.
CARRIER_IMPORTS = {"ADVAPI32.dll": ALLOWED_IMPORTS["ADVAPI32.dll"], "KERNEL32.dll": {
    "CloseHandle", "CreateDirectoryA", "CreateFileA", "DeleteFileA", "FindResourceA", "WriteFile",
    "FormatMessageA", "GetLastError", "LoadResource", "LockResource", "MoveFileA",
    "SizeofResource", "RemoveDirectoryA", *ALLOWED_IMPORTS["KERNEL32.dll"]}}
# (name, width, height, bits per pixel) in the order Explorer is offered them.
ICONS = [(1, 16, 16, 4), (2, 16, 16, 8), (3, 32, 32, 4), (4, 32, 32, 8)]
SIZE_LIMIT = 10240


# Every section, its name and flags. Code, constants and the import tables share .text, so it
# is code and initialised data, executable and readable, never writable; resources are read-only
# data; relocations are read-only data the loader may discard.
SECTIONS = [(".text", 0x60000060), (".rsrc", 0x40000040), (".reloc", 0x42000040)]


class Image:
    """The headers as the loader reads them, and file bytes by RVA."""

    def __init__(self, data):
        self.data = data
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[self.pe:self.pe + 4] == b"PE\0\0", "no PE signature"
        count, optional_size = struct.unpack_from("<H12xH", data, self.pe + 6)
        self.opt = self.pe + 24
        table = self.opt + optional_size
        self.sections = []
        for n in range(count):
            name, size, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, table + 40 * n)
            flags = struct.unpack_from("<I", data, table + 40 * n + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode(), rva, size, raw, raw_size, flags))

    def directory(self, index):
        """(RVA, size) of a data directory entry of a PE32 optional header."""
        return struct.unpack_from("<II", self.data, self.opt + 96 + 8 * index)

    def at(self, rva, length):
        # As mapped: a section's bytes past its raw data are zeros.
        for _, start, size, raw, raw_size, _ in self.sections:
            if start <= rva and rva + length <= start + size:
                image = self.data[raw:raw + raw_size].ljust(size, b"\0")
                return image[rva - start:rva - start + length]
        raise ValueError(f"RVA {rva:#x} ({length} bytes) lies in no section")

    def u32(self, rva):
        return struct.unpack("<I", self.at(rva, 4))[0]

    def string(self, rva):
        text = b""
        while not text.endswith(b"\0"):
            text += self.at(rva + len(text), 1)
        return text[:-1].decode("ascii")


def file_checksum(data, field):
    """16-bit words summed, carries folded back in, the stored checksum counted as zero, plus the
    file's length."""
    words = data[:field] + bytes(4) + data[field + 4:] + bytes(len(data) % 2)
    total = sum(word for (word,) in struct.iter_unpack("<H", words))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def header(data):
    image = Image(data)
    pe, opt = image.pe, image.opt
    machine, sections, stamp = struct.unpack_from("<HHI", data, pe + 4)
    characteristics = struct.unpack_from("<H", data, pe + 22)[0]
    magic = struct.unpack_from("<H", data, opt)[0]
    major, minor = struct.unpack_from("<HH", data, opt + 48)
    checksum = struct.unpack_from("<I", data, opt + 64)[0]
    subsystem, dll_characteristics = struct.unpack_from("<HH", data, opt + 68)
    return {"machine": hex(machine), "magic": hex(magic), "timestamp": stamp,
            "subsystem": subsystem, "subsystem_version": f"{major}.{minor}",
            "aslr": bool(dll_characteristics & 0x40), "dep": bool(dll_characteristics & 0x100),
            "relocations_stripped": bool(characteristics & 0x1),
            "checksum_right": checksum == file_checksum(data, opt + 64),
            "sections": [(name, hex(flags)) for name, *_, flags in image.sections]}


def check_header(exe):
    got = header(exe.read_bytes())
    want = {"machine": "0x14c", "magic": "0x10b", "timestamp": 0, "subsystem": 2,
            "subsystem_version": "4.0", "aslr": True, "dep": True, "relocations_stripped": False,
            "checksum_right": True, "sections": [(name, hex(flags)) for name, flags in SECTIONS]}
    return [f"{k}: {got[k]!r}, expected {v!r}" for k, v in want.items() if got[k] != v]


def check_imports(exe):
    """Reads the import directory as the loader does, from its data directory entry."""
    image = Image(exe.read_bytes())
    start, size = image.directory(1)
    problems = []
    if size % 20:
        problems.append(f"import directory of {size} bytes, not whole descriptors")
    descriptors = [image.at(start + 20 * n, 20) for n in range(size // 20)]
    if not descriptors or any(descriptors[-1]):
        problems.append("the import directory's last descriptor is not all zero")
    dlls = descriptors[:next((n for n, d in enumerate(descriptors) if not any(d)),
                             len(descriptors))]
    if size != 20 * (len(dlls) + 1):
        problems.append(f"import directory of {size} bytes for {len(dlls)} DLLs")
    imports = {}
    for descriptor in dlls:
        lookup, _, _, name, addresses = struct.unpack("<5I", descriptor)
        functions = imports.setdefault(image.string(name), set())
        entries = []
        while image.u32(lookup + 4 * len(entries)):
            entries.append(image.u32(lookup + 4 * len(entries)))
        if [image.u32(addresses + 4 * n) for n in range(len(entries) + 1)] != entries + [0]:
            problems.append(f"{image.string(name)}: address table differs from lookup table")
        for entry in entries:
            # Hint/name entries only: the high bit would mean an import by ordinal.
            functions.add(f"ordinal {entry & 0xFFFF}" if entry & 0x80000000
                          else image.string(entry + 2))
    allowed = CARRIER_IMPORTS if exe.name == "carrier.exe" else ALLOWED_IMPORTS
    if imports != allowed:
        problems.append(f"imports {sorted((d, sorted(f)) for d, f in imports.items())}, "
                        f"expected {sorted((d, sorted(f)) for d, f in allowed.items())}")
    return problems


def resource_list(exe):
    """Each resource's type, name and language, as wrestool's options name them."""
    listing = subprocess.run(["wrestool", "-l", str(exe)], capture_output=True, text=True,
                             check=True).stdout
    return [t.split("[")[0].split() for t in listing.splitlines() if t.strip()]


def resource(exe, kind, name):
    return subprocess.run(["wrestool", "-x", "--raw", f"--type={kind}", f"--name={name}",
                           str(exe)], capture_output=True, check=True).stdout


def icon_group(group):
    """An icon group's entries: width, height, colours, reserved, planes, bits, bytes, name."""
    count = struct.unpack_from("<H", group, 4)[0]
    return [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i) for i in range(count)]


def check_icons(exe):
    resources = resource_list(exe)
    want = [["--type=3", f"--name={n}", "--language=1033"] for n, *_ in ICONS]
    want.append(["--type=14", "--name=102", "--language=1033"])
    problems = [] if resources == want else [f"resources {resources}, expected {want}"]
    got = [(e[7], e[0], e[1], e[5]) for e in icon_group(resource(exe, 14, 102))]
    if got != ICONS:
        problems.append(f"icon group lists {got}, expected {ICONS}")
    for name, width, height, bits in ICONS:
        image = resource(exe, 3, name)
        w, h2, _, b = struct.unpack_from("<iiHH", image, 4)
        if (w, h2, b) != (width, 2 * height, bits):
            problems.append(f"icon {name}: {w}x{h2 // 2} at {b} bits")
    return problems


def check_size(exe):
    size = exe.stat().st_size
    limit = 13312 if exe.name == "carrier.exe" else SIZE_LIMIT  # the carrier without a package
    return [] if size <= limit else [f"{size} bytes, limit {limit}"]


def check_reproducible(source):
    builds = []
    with tempfile.TemporaryDirectory() as scratch:
        for n in (1, 2):
            tree = pathlib.Path(scratch) / f"b{n}"
            subprocess.run(["cmake", "-S", source, "-B", str(tree), "-DCMAKE_BUILD_TYPE=MinSizeRel",
                            f"-DCMAKE_TOOLCHAIN_FILE={source}/toolchain/i686-w64-mingw32.cmake"],
                           check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", str(tree), "--target", "setup", "carrier"],
                           check=True, stdout=subprocess.DEVNULL)
            builds.append([(tree / name).read_bytes() for name in ("setup.exe", "carrier.exe")])
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
