#!/usr/bin/env python3
"""Hostile input for the real setup.exe, cell by cell:  python3 -m tests.e2e.matrix FAMILY

    registry   every value type the key may hold, at 0, 1, 259, 260 and 261 bytes, with and
               without a terminating NUL
    directory  current directories of 245, 246 and over 260 bytes, and a drive root
    tail       a 32,000-byte command tail, and one of control bytes
    dbcs       code page 932: a lead byte at the end of the command line, a trail byte equal
               to a backslash in the installer path, and an expandable value whose expansion is
               double-byte

Every cell says what must happen and holds exactly that: status 0 and no crash, the child with
its argument whole or nothing started, the message or none. A cell that Wine won't set up (a
current directory past 260 bytes, refused to a new process as Windows does) is skipped, with
the reason, and not counted as passed.
"""
import shutil
import sys

from tests.e2e import e2e
from wine import harness as wine

TYPES = {1: "REG_SZ", 2: "REG_EXPAND_SZ", 7: "REG_MULTI_SZ", 4: "REG_DWORD", 3: "REG_BINARY"}
STRINGS = (1, 2, 7)
ARGUMENT = '"D:\\PKG\\install.ini"'


def installer_of_length(length):
    """A path of exactly `length` bytes naming a copy of the stand-in."""
    path = "C:\\M\\" + "d" * (length - 18) + "\\CEAPPMGR.EXE"
    if length <= 260:
        target = wine.unix(path)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(wine.standin(), target)
    return path


def registry_cells():
    for type_ in TYPES:
        for size in (0, 1, 259, 260, 261):
            for nul in (False, True):
                if size == 0 and nul:
                    continue
                length = size - nul
                path = installer_of_length(length) if length >= 20 else "C" * length
                data = path.encode() + b"\0" * nul
                name = f"{TYPES[type_]}-{size}-{'nul' if nul else 'no-nul'}"
                # Nothing started means the message, whatever the reason.
                if size > 260:
                    expected = None  # longer than the 260 bytes offered: the read fails
                elif length == 260 and type_ in STRINGS:
                    expected = None  # Wine's string read wants room for a NUL after 260 bytes
                elif length == 260:
                    # Read whole and used as a path, but a path of 260 bytes leaves no room for
                    # its NUL: no program is found there.
                    expected = None
                else:
                    expected = f"{path} {ARGUMENT}" if length >= 20 else None
                yield (name, f"default:{type_}:{data.hex()}", "D:\\PKG", "setup.exe", expected,
                       expected is None, None)


def directory_cells():
    value = e2e.sz(wine.INSTALLER)
    for length in (245, 246, 300):
        directory = "D:\\" + "\\".join(["x" * 99] * 3)
        directory = directory[:length]
        wine.unix(directory).mkdir(parents=True, exist_ok=True)
        yield (f"directory-{length}", value, directory, "setup.exe",
               f'{wine.INSTALLER} "{directory}\\install.ini"', False, None)
    yield ("drive-root", value, "D:\\", "setup.exe", f'{wine.INSTALLER} "D:\\\\install.ini"',
           False, None)


def tail_cells():
    value = e2e.sz(wine.INSTALLER)
    long_tail = " ".join(f"w{i:05}" for i in range(32000 // 7))[:32000]
    yield ("tail-32000-bytes", value, "D:\\PKG", "setup.exe " + long_tail,
           f"{wine.INSTALLER} {long_tail}", False, None)
    controls = "a\x01b\x02\x1bc\x7f d\x1f"
    yield ("tail-of-control-bytes", value, "D:\\PKG", "setup.exe \x01\x02\x1f " + controls,
           f"{wine.INSTALLER} {controls}", False, None)


def dbcs_cells():
    japanese = {"LC_ALL": "ja_JP.UTF-8", "LANG": "ja_JP.UTF-8"}
    value = e2e.sz(wine.INSTALLER)
    # An unclosed quoted name ending in a lead byte: the name runs to the end, the tail is empty.
    yield ("lead-byte-last", value, "D:\\PKG", '"D:\\PKG\\setup\x83',
           f"{wine.INSTALLER} {ARGUMENT}", False, japanese)
    # 0x95 0x5C is one character: the dot before it is in the file name, which is then probed
    # as it stands. Taking 0x5C for a separator would probe D.\x95\\PROG.com and so on instead.
    path = "C:\\D.\x95\\PROG"
    target = wine.PREFIX / "drive_c" / "D.\u8868PROG"
    shutil.copy(wine.standin(), target)
    yield ("trail-byte-backslash", e2e.sz(path), "D:\\PKG", "setup.exe",
           f"{path} {ARGUMENT}", False, japanese)
    # An expandable value whose expansion is double-byte: the whole path, to its last byte.
    nihon = "C:\\\x93\xfa\x96{"  # C:\日本 in code page 932
    target = wine.unix("C:\\\u65e5\u672c\\CEAPPMGR.EXE")
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(wine.standin(), target)
    yield ("expandable-double-byte", e2e.sz("%J%\\CEAPPMGR.EXE", type_=2), "D:\\PKG",
           "setup.exe", f"{nihon}\\CEAPPMGR.EXE {ARGUMENT}", False,
           {**japanese, "J": "C:\\\u65e5\u672c"})


FAMILIES = {"registry": registry_cells, "directory": directory_cells, "tail": tail_cells,
            "dbcs": dbcs_cells}


def main(argv):
    e2e.lay_out_files()
    failures, passed, failed, skipped = [], 0, 0, 0
    for name, registry, directory, command, expected, message, env in FAMILIES[argv[0]]():
        found = e2e.verify(name, registry, directory, command, expected, message, extra_env=env)
        if found is None:  # it said why; not counted as passed
            skipped += 1
            continue
        passed += not found
        failed += bool(found)
        print(f"{name:28} {'ok' if not found else 'FAILED'}")
        failures += found
    print("\n".join(failures))
    print(f"{passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failures else 77 if not passed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
