#!/usr/bin/env python3
"""The carrying launcher under Wine, with a package of an install.ini and two CABs in subfolders
built into it by release/carry.py.

    python3 -m tests.e2e.carrier CASE     (in the prefix `tests.e2e.e2e setup` makes)

Each case checks what the stand-in saw, the message or none, that the launcher's own calls keep
the DLL search restricted and start the installer as setup.exe does, and that the temporary
folder is afterwards as it was before.
"""
import pathlib
import re
import struct
import sys

from release import carry
from tests.e2e import e2e
from wine import harness as wine

INI = ("[CEAppManager]\r\nVersion = 1.0\r\nComponent = Carried\r\n"
       "[Carried]\r\nDescription = Carried\r\nCabFiles = cabs\\arm\\app.cab,cabs\\setup.cab\r\n")
FILES = {"install.ini": INI.encode(), "cabs\\arm\\app.cab": bytes(range(256)) * 4000,
         "cabs\\setup.cab": b"MSCF" + bytes(5000)}
UNPACK = "Cannot unpack this installation into "
DAMAGED = "This installation is damaged.  Please download it again."
# name: (registry, launcher's command tail, what the installer must be given after its own
# name (None: nothing started), the message shown (None: none), the temporary folder if not
# the user's own, damaged)
CASES = {
    "carrier-package": (e2e.sz(wine.INSTALLER), "", "{ini}", None, None, False),
    "carrier-tail-before-ini": (e2e.sz(wine.INSTALLER), "/report  x", "/report  x {ini}", None,
                                None, False),
    "carrier-no-key": ("none", "", None, e2e.MESSAGE, None, False),
    "carrier-installer-missing": (e2e.sz("C:\\Nowhere\\CEAPPMGR.EXE"), "", None, e2e.MESSAGE,
                                  None, False),
    "carrier-temp-not-writable": (e2e.sz(wine.INSTALLER), "", None,
                                  re.compile(re.escape(UNPACK + "C:\\Nowhere\\setup-") +
                                             r"[0-9a-f]{16}\.\r?\n\r?\n\S.*", re.S),
                                  "C:\\Nowhere", False),
    "carrier-damaged-index": (e2e.sz(wine.INSTALLER), "", None, DAMAGED, None, True),
}


def package(damaged):
    """The launcher with FILES inside it, built once per prefix; the damaged one's index says
    install.ini is a byte longer than its resource."""
    exe = wine.WINE_DIR / "carry" / ("damaged.exe" if damaged else "setup.exe")
    if not exe.exists():
        source = exe.parent / "files"
        files = []
        for name, data in FILES.items():
            path = source / name.replace("\\", "/")
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
            files.append((name, path))
        data = carry.build(files, arch="i686" if wine.arch() == "i386" else "x86_64")
        (exe.parent / "setup.exe").write_bytes(data)
        entry = struct.pack("<I", len(INI)) + b"install.ini\0"
        (exe.parent / "damaged.exe").write_bytes(
            data.replace(entry, struct.pack("<I", len(INI) + 1) + b"install.ini\0"))
    return exe


def temp_snapshot():
    """Every path under the prefix's users' folders (the temporary folders among them)."""
    users = wine.PREFIX / "drive_c" / "users"
    return sorted(str(p.relative_to(users)) for p in users.rglob("*"))


def run(name, runner=None, patience_s=30):
    registry, tail, expected, message, temp, damaged = CASES[name]
    exe = package(damaged)
    e2e.lay_out_files()
    before = temp_snapshot()
    # The launcher's own calls are those returning into its image, not setup.exe's.
    plain_range = e2e.image_range
    data = exe.read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    base = e2e.image_range()[0]
    e2e.image_range = lambda: (base, base + struct.unpack_from("<I", data, pe + 80)[0])
    # A process Wine starts from Linux takes TEMP and TMP from the registry, not from Linux.
    for variable in ("TEMP", "TMP") if temp else ():
        wine.wine("reg", "add", "HKCU\\Environment", "/v", variable, "/d", temp, "/f")
    try:
        record, _, relay = wine.run_setup(f"setup.exe {tail}".rstrip(" ") if tail else "setup.exe",
                                          "D:\\PKG", registry, dismiss=message is not None,
                                          launcher=wine.windows(exe),
                                          runner=runner, timeout_ms=patience_s * 1000)
        failures = []
        boxes, launched = e2e.check_trace(name, relay, expected is not None, message is not None,
                                          failures)
    finally:
        e2e.image_range = plain_range
        for variable in ("TEMP", "TMP") if temp else ():
            wine.wine("reg", "add", "HKCU\\Environment", "/v", variable, "/t", "REG_EXPAND_SZ",
                      "/d", "%USERPROFILE%\\Temp", "/f")
    # It writes files, as setup.exe never does.
    failures = [f for f in failures if not f.startswith(f"{name}: wrote ")]
    started = wine.finish(b"", wine.WINE_DIR / "case" / "standin.log",
                          wine.WINE_DIR / "case" / "relay.txt")[1]
    if record.get("exit") != 0 or record.get("timed_out"):
        failures.append(f"{name}: launcher record {record}")
    box = record.get("box") or {}
    if message is None and box:
        failures.append(f"{name}: unexpected message box {box}")
    elif message is not None and not (box.get("caption") == "Setup" and box.get("buttons") == 1
                                      and (message.fullmatch(box.get("text", ""))
                                           if isinstance(message, re.Pattern)
                                           else box.get("text") == message)):
        failures.append(f"{name}: message box {box}, expected {message}")
    icons = [re.search(r",(\w+)\) ret=", b) for b in boxes]
    if len(boxes) != (message is not None) or any(int(i[1], 16) != 0x10 for i in icons if i):
        failures.append(f"{name}: MessageBoxA called as {boxes}")
    if expected is None:
        if started or launched:
            failures.append(f"{name}: started {started or 'a process'}")
    elif len(started) != 1:
        failures.append(f"{name}: expected one start, got {started}")
    else:
        failures += check_child(name, started[0], expected, before)
    made = any("createdirectorya" in line.lower() for line in relay)
    if made != (name in ("carrier-package", "carrier-tail-before-ini",
                         "carrier-installer-missing", "carrier-temp-not-writable")):
        failures.append(f"{name}: a folder {'made' if made else 'never made'}")
    after = temp_snapshot()
    if after != before:
        failures.append(f"{name}: under the users' folders, now there "
                        f"{sorted(set(after) - set(before))}, gone {sorted(set(before) - set(after))}")
    return failures


def check_child(name, child, expected, before):
    """The INI in a folder new under the temporary folder, every CAB it names there."""
    failures = []
    ini = next((i for i in child.get("inis", []) if i["path"].endswith(":\\" + i["path"][3:])
                and i["path"].endswith("\\install.ini")), {"path": "C:\\install.ini"})
    path = ini["path"]
    folder = pathlib.PureWindowsPath(path).parent
    want = f"{wine.INSTALLER} " + expected.format(ini=f'"{folder}\\install.ini"')
    temp = wine.PREFIX / "drive_c" / "users"
    if child["command_line"] != want or not re.fullmatch(r"setup-[0-9a-f]{16}", folder.name):
        failures.append(f"{name}: child saw {child['command_line']!r}, expected {want!r}")
    relative = str(wine.unix(str(folder))).removeprefix(str(temp) + "/")
    if relative in before or not str(folder.parent).lower().endswith("\\temp"):
        failures.append(f"{name}: {folder} is no new folder in the temporary folder")
    cabs = [(c["name"], c["present"]) for c in ini.get("cabs", [])]
    if not ini.get("exists") or cabs != [("cabs\\arm\\app.cab", True), ("cabs\\setup.cab", True)]:
        failures.append(f"{name}: the installer found {ini}")
    return failures


def main(argv):
    if argv[:1] == ["list"]:
        print("\n".join(CASES))
        return 0
    failures = [f for name in argv for f in run(name)]
    print("\n".join(failures) if failures else f"{len(argv)} case(s) as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
