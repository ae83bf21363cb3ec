#!/usr/bin/env python3
"""Hostile input for the real setup.exe, cell by cell:  matrix.py FAMILY

    registry   every value type the key may hold, at 0, 1, 259, 260 and 261 bytes, with and
               without a terminating NUL
    directory  current directories of 245, 246 and over 260 bytes, and a drive root
    tail       a 32,000-byte command tail, and one of control bytes
    dbcs       code page 932: a lead byte at the end of the command line, and a trail byte equal
               to a backslash in the installer path

Every cell must end with status 0 and no crash, and either start the expected child with its
argument whole, or start nothing; the message appears exactly when the registry lookup fails.
"""
import shutil
import sys

import e2e
import wine

TYPES = {1: "REG_SZ", 2: "REG_EXPAND_SZ", 7: "REG_MULTI_SZ", 4: "REG_DWORD", 3: "REG_BINARY"}
ARGUMENT = '"D:\\PKG\\install.ini"'


def installer_of_length(length):
    """A path of exactly `length` bytes naming a copy of the stand-in."""
    path = "C:\\M\\" + "d" * (length - 18) + "\\CEAPPMGR.EXE"
    if length <= 260:
        target = wine.unix(path)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(wine.exe_dir() / "tools" / "standin.exe", target)
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
                # A path is started whole or not at all; one at the platform's limit may be
                # refused. A string without room for a NUL may fail the read itself (Wine's
                # does), and then the message is due: the trace decides.
                at_limit = length == 260
                expected = None if size > 260 or length < 20 else f"{path} {ARGUMENT}"
                message = size > 260 or (None if at_limit and type_ in (1, 2, 7) else False)
                yield (name, f"default:{type_}:{data.hex()}", "D:\\PKG", "setup.exe", expected,
                       message, at_limit, None)


def directory_cells():
    value = e2e.sz(wine.INSTALLER)
    for length in (245, 246, 300):
        directory = "D:\\" + "\\".join(["x" * 99] * 3)
        directory = directory[:length]
        wine.unix(directory).mkdir(parents=True, exist_ok=True)
        yield (f"directory-{length}", value, directory, "setup.exe",
               f'{wine.INSTALLER} "{directory}\\install.ini"', False, False, None)
    yield ("drive-root", value, "D:\\", "setup.exe", f'{wine.INSTALLER} "D:\\\\install.ini"',
           False, False, None)


def tail_cells():
    value = e2e.sz(wine.INSTALLER)
    long_tail = " ".join(f"w{i:05}" for i in range(32000 // 7))[:32000]
    yield ("tail-32000-bytes", value, "D:\\PKG", "setup.exe " + long_tail,
           f"{wine.INSTALLER} {long_tail}", False, False, None)
    controls = "a\x01b\x02\x1bc\x7f d\x1f"
    yield ("tail-of-control-bytes", value, "D:\\PKG", "setup.exe \x01\x02\x1f " + controls,
           f"{wine.INSTALLER} {controls}", False, False, None)


def dbcs_cells():
    japanese = {"LC_ALL": "ja_JP.UTF-8", "LANG": "ja_JP.UTF-8"}
    value = e2e.sz(wine.INSTALLER)
    # An unclosed quoted name ending in a lead byte: the name runs to the end, the tail is empty.
    yield ("lead-byte-last", value, "D:\\PKG", '"D:\\PKG\\setup\x83',
           f"{wine.INSTALLER} {ARGUMENT}", False, False, japanese)
    # 0x95 0x5C is one character: the dot before it is in the file name, which is then probed
    # as it stands. Taking 0x5C for a separator would probe D.\x95\\PROG.com and so on instead.
    path = "C:\\D.\x95\\PROG"
    target = wine.PREFIX / "drive_c" / "D.\u8868PROG"
    shutil.copy(wine.exe_dir() / "tools" / "standin.exe", target)
    yield ("trail-byte-backslash", e2e.sz(path), "D:\\PKG", "setup.exe",
           f"{path} {ARGUMENT}", False, False, japanese)


FAMILIES = {"registry": registry_cells, "directory": directory_cells, "tail": tail_cells,
            "dbcs": dbcs_cells}


def main(argv):
    e2e.lay_out_files()
    failures, count = [], 0
    for name, registry, directory, command, expected, message, may_not_start, env in \
            FAMILIES[argv[0]]():
        # Wine, like Windows, refuses a current directory past 260 bytes to a new process; the
        # unit tests cover the launcher's side of that.
        found = e2e.verify(name, registry, directory, command, expected, message,
                           may_not_start=may_not_start, extra_env=env,
                           may_be_refused=len(directory) > 260)
        count += 1
        print(f"{name:28} {'ok' if not found else 'FAILED'}")
        failures += found
    print("\n".join(failures) if failures else f"{count} cell(s) as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
