"""`python3 -m tests.e2e.carrier CASE...`: the carrying launcher with a package, in e2e.py's prefix,
checked as e2e.py checks setup.exe (but it writes files), the users' folders left as they were."""
import re
import struct
import sys

from packager import carry
from tests.e2e import e2e
from wine import harness as wine

INI = b"[CEAppManager]\r\nComponent=C\r\n[C]\r\nCabFiles=cabs\\arm\\app.cab,cabs\\setup.cab\r\n"
CABS = [("cabs\\arm\\app.cab", True), ("cabs\\setup.cab", True)]  # present
FILES = {"install.ini": INI.ljust(256), "cabs\\arm\\app.cab": bytes(range(256)) * 4000,
         "cabs\\setup.cab": b"MSCF" + bytes(5000)}  # install.ini's size: 00 01 00 00
OK, MISSING = e2e.sz(wine.INSTALLER), re.escape(e2e.MESSAGE)
UNPACK = re.escape("Cannot unpack this installation into C:\\X\\setup-") + r"\w{16}\.\r\n\r\n\S.*"
DAMAGED = "This installation is damaged.  Please download it again."
INI_ARGUMENT = r'"C:\\users\\\w+\\Temp\\setup-[0-9a-f]{16}\\install\.ini"'  # in a new folder
# name: (registry, command tail, installer started, the message (a pattern) or None, a temporary
# folder of its own, the index damaged, a folder made)
CASES = {
    "carrier-package": (OK, "", True, None, None, False, True),
    "carrier-tail-before-ini": (OK, "/report  x", True, None, None, False, True),
    "carrier-no-key": ("none", "", False, MISSING, None, False, False),
    "carrier-installer-missing": (e2e.sz("C:\\X.EXE"), "", False, MISSING, None, False, True),
    "carrier-temp-not-writable": (OK, "", False, UNPACK, "C:\\X", False, True),
    "carrier-damaged-index": (OK, "", False, DAMAGED, None, True, False),
}


def package(damaged):  # built once a prefix; damaged: install.ini's size twice its resource's
    exe = wine.WINE_DIR / "carry" / ("damaged.exe" if damaged else "setup.exe")
    paths = {name: exe.parent / name.replace("\\", "/") for name in FILES}
    if not exe.exists():
        for name, path in paths.items():
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(FILES[name])
        data = carry.build(list(paths.items()), arch="i686" if wine.arch() == "i386" else "x86_64")
        (exe.parent / "setup.exe").write_bytes(data)
        (exe.parent / "damaged.exe").write_bytes(data.replace(b"\1\0\0install", b"\2\0\0install"))
    return exe


def users():  # every path under the users' folders, the temporary ones among them
    return sorted(map(str, (wine.PREFIX / "drive_c" / "users").rglob("*")))


def set_temp(value, kind="REG_SZ"):  # Wine's processes take TEMP and TMP from the registry
    for variable in ("TEMP", "TMP"):
        wine.wine("reg", "add", "HKCU\\Environment", "/v", variable, "/t", kind, "/d", value, "/f")


def run(name, runner=None, patience_s=30):
    registry, tail, starts, message, temp, damaged, made = CASES[name]
    exe, plain = package(damaged), e2e.image_range
    e2e.lay_out_files()
    before, failures = users(), []
    base, data = plain()[0], exe.read_bytes()
    e2e.image_range = lambda: (base, base + struct.unpack_from("<I", data, data[0x3C] + 80)[0])
    if temp:
        set_temp(temp)
    try:
        record, started, relay = wine.run_setup(
            f"setup.exe {tail}".rstrip(), "D:\\PKG", registry, dismiss=message is not None,
            launcher=wine.windows(exe), runner=runner, timeout_ms=patience_s * 1000)
        boxes, _ = e2e.check_trace(name, relay, starts, message, failures)
    finally:
        e2e.image_range = plain
        if temp:
            set_temp("%USERPROFILE%\\Temp", "REG_EXPAND_SZ")
    failures = [f for f in failures if not f.startswith(f"{name}: wrote ")]
    box = record.pop("box", None)
    if record != {**record, "exit": 0, "timed_out": False}:
        failures.append(f"{name}: launcher record {record}")
    if not (box is None and not boxes if message is None else
            box and (box["caption"], box["buttons"]) == ("Setup", 1) and len(boxes) == 1
            and re.fullmatch(message, box["text"], re.S) and ",00000010) ret=" in boxes[0]):
        failures.append(f"{name}: message box {box} {boxes}, expected {message}")
    # The tail, then the INI; every CAB it names beside it.
    want = re.escape(" ".join(filter(None, (wine.INSTALLER, tail))) + " ") + INI_ARGUMENT
    inis = [i for s in started for i in s["inis"] if i["path"].endswith("\\install.ini")]
    if len(started) != starts or starts and not (
            re.fullmatch(want, started[0]["command_line"]) and [
                (c["name"], c["present"]) for c in inis[0].get("cabs", [])] == CABS):
        failures.append(f"{name}: started {started}, expected {want!r} with its CABs")
    written = sum(int(c.split(",")[2], 16) for c in relay if ":Call KERNEL32.WriteFile(" in c)
    if any("createdirectorya" in line.lower() for line in relay) != made or (
            starts and written != sum(map(len, FILES.values()))):  # each file whole
        failures.append(f"{name}: a folder made: {made} expected; {written} bytes written")
    if users() != before:
        failures.append(f"{name}: the users' folders gained {set(users()) - set(before)}, "
                        f"lost {set(before) - set(users())}")
    return failures


def folder_named():
    """The folder the last run's installer got its INI in, from the stand-in's JSON record."""
    log = wine.WINE_DIR / "case" / "standin.log"
    text = log.read_text(encoding="latin-1") if log.exists() else ""
    return re.search(r"\\\\(setup-\w+)\\\\install", text)


def left_behind(runner=None, patience_s=30):
    """A folder of the name the last run picked, left behind as a killed run or a second
    download started at once leaves one: the next run unpacks into a folder of its own, and its
    installer finds every file there."""
    failures = run("carrier-package", runner, patience_s)
    first = folder_named()
    if failures or first is None:
        return failures or ["carrier-folder-left-behind: the first run named no folder"]
    temp = next(p for p in (wine.PREFIX / "drive_c" / "users").glob("*/Temp") if p.is_dir())
    (temp / first[1]).mkdir()
    try:
        failures = run("carrier-package", runner, patience_s)
        again = folder_named()
        if again is not None and again[1] == first[1]:
            failures.append(f"carrier-folder-left-behind: unpacked into {first[1]} again")
    finally:
        (temp / first[1]).rmdir()
    return [f.replace("carrier-package:", "carrier-folder-left-behind:") for f in failures]


if __name__ == "__main__":
    SPECIAL = {"carrier-folder-left-behind": left_behind}
    failures = [f for name in sys.argv[1:] for f in SPECIAL.get(name, run)(
        *([] if name in SPECIAL else [name]))]
    print("\n".join(failures) or f"{len(sys.argv) - 1} case(s) as expected")
    sys.exit(1 if failures else 0)
