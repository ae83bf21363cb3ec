"""`python3 -m tests.e2e.carrier CASE...`: the carrying launcher with a package, in e2e.py's prefix,
checked as e2e.py checks setup.exe, but it writes its files: into the stand-in's folder, else the
user's application data folder, where they stay for the installer; the temporary folder and
everything else under the users' folders as they were."""
import re
import shutil
import struct
import sys

from cabwright.services import carry
from tests.e2e import e2e
from wine import harness as wine

FOLDER = "Sample Co Notes"  # the package's own folder, named at build time
INI = b"[CEAppManager]\r\nComponent=C\r\n[C]\r\nCabFiles=cabs\\arm\\app.cab,cabs\\setup.cab\r\n"
CABS = [("cabs\\arm\\app.cab", True), ("cabs\\setup.cab", True)]  # present
FILES = {"cabs\\arm\\app.cab": bytes(range(256)) * 4000, "cabs\\setup.cab": b"MSCF" + bytes(5000),
         "install.ini": INI.ljust(256)}  # its size: 00 01 00 00; carry.build puts it first
OK, MISSING = e2e.sz(wine.INSTALLER), re.escape(e2e.MESSAGE)
DAMAGED = "This installation is damaged.  Please download it again."
PLACES = {"installer": "C:\\ActiveSync", "user": "C:\\users\\{user}\\AppData\\Local"}
SEEN = {where: re.escape(path).replace(re.escape("{user}"), r"\w+")
        for where, path in PLACES.items()}
UNPACK = re.escape("Cannot unpack this installation into ") + SEEN["user"] + re.escape(
    f"\\{FOLDER}.\r\n\r\n") + r"\S.*"
# name: (registry, command tail, where the files go (None: nowhere), the message (a pattern) or
# None, the index damaged, the places blocked by a file of the package folder's name)
CASES = {
    "carrier-package": (OK, "", "installer", None, False, ()),
    "carrier-tail-before-ini": (OK, "/report  x", "installer", None, False, ()),
    "carrier-no-key": ("none", "", None, MISSING, False, ()),
    "carrier-installer-missing": (e2e.sz("C:\\X.EXE"), "", None, MISSING, False, ()),
    "carrier-installer-folder-not-writable": (OK, "", "user", None, False, ("installer",)),
    "carrier-nowhere-to-write": (OK, "", None, UNPACK, False, ("installer", "user")),
    "carrier-damaged-index": (OK, "", None, DAMAGED, True, ()),
    "carrier-upgrade": (OK, "", "installer", None, False, ()),
    "carrier-upgrade-fails": (OK, "", "user", None, False, ()),
    "carrier-upgrade-after-stop": (OK, "", "installer", None, False, ()),
}
OLD = {"install.ini": INI.ljust(300), "cabs\\arm\\app.cab": bytes(9), "cabs\\setup.cab": bytes(9)}
MINE = {"notes.txt": b"the user's own\r\n", "cabs\\mine.txt": b"the user's too\r\n"}
LEFT = {**MINE, **{n + ".setup-old": d for n, d in OLD.items()}, "install.ini.setup-new": INI,
        "cabs\\setup.cab": FILES["cabs\\setup.cab"]}  # by a run stopped while moving files in
UPGRADES = {"carrier-upgrade": ({**OLD, **MINE}, None), "carrier-upgrade-after-stop": (LEFT, None),
            "carrier-upgrade-fails": ({**OLD, **MINE}, "cabs\\setup.cab")}  # a file read-only


def package(damaged):  # built once a prefix; damaged: install.ini's size twice its resource's
    exe = wine.WINE_DIR / "carry" / ("damaged.exe" if damaged else "setup.exe")
    paths = {name: exe.parent / name.replace("\\", "/") for name in FILES}
    if not exe.exists():
        for name, path in paths.items():
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(FILES[name])
        data = carry.build(list(paths.items()), arch="i686" if wine.arch() == "i386" else "x86_64",
                           folder=FOLDER)
        (exe.parent / "setup.exe").write_bytes(data)
        (exe.parent / "damaged.exe").write_bytes(data.replace(b"\1\0\0Sample", b"\2\0\0Sample"))
    return exe


def place(where):
    """The package folder in a place, as Linux sees it."""
    user = next(p for p in (wine.PREFIX / "drive_c" / "users").iterdir() if (p / "Temp").is_dir())
    return wine.unix(PLACES[where].format(user=user.name)) / FOLDER


def users():  # every path under the users' folders, the temporary ones among them
    return sorted(map(str, (wine.PREFIX / "drive_c" / "users").rglob("*")))


def clear():
    for where in PLACES:
        shutil.rmtree(place(where), ignore_errors=True)
        place(where).unlink(missing_ok=True)


def run(name, runner=None, patience_s=30, earlier=None):
    """One case; `earlier`: {name: bytes} in the installer's folder before the run."""
    registry, tail, where, message, damaged, blocked = CASES[name]
    earlier, locked = UPGRADES.get(name, (earlier, None))
    exe, plain = package(damaged), e2e.image_range
    e2e.lay_out_files()
    clear()
    for path, data in (earlier or {}).items():
        (place("installer") / path.replace("\\", "/")).parent.mkdir(parents=True, exist_ok=True)
        (place("installer") / path.replace("\\", "/")).write_bytes(data)
    if locked:
        (place("installer") / locked.replace("\\", "/")).chmod(0o444)
    for blocking in blocked:
        place(blocking).write_text("a file in the way\r\n")
    before, failures = users(), []
    base, data = plain()[0], exe.read_bytes()
    e2e.image_range = lambda: (base, base + struct.unpack_from("<I", data, data[0x3C] + 80)[0])
    try:
        record, started, relay = wine.run_setup(
            f"setup.exe {tail}".rstrip(), "D:\\PKG", registry, dismiss=message is not None,
            launcher=wine.windows(exe), runner=runner, timeout_ms=patience_s * 1000)
        libraries = ["shell32.dll"] * (where == "user" or "user" in blocked)
        boxes, launched = e2e.check_trace(name, relay, where is not None, message, failures,
                                          libraries)
        # The installer writes its record after the launcher has ended: wait for it, but where
        # the trace shows that none was started.
        started = started or ([] if launched is False else wine.wait_for_child(patience_s))
        failures = [f for f in failures if not f.startswith(f"{name}: wrote ")]
        box = record.pop("box", None)
        if record != {**record, "exit": 0, "timed_out": False}:
            failures.append(f"{name}: launcher record {record}")
        if not (box is None and not boxes if message is None else
                box and (box["caption"], box["buttons"]) == ("Setup", 1) and len(boxes) == 1
                and re.fullmatch(message, box["text"], re.S) and ",00000010) ret=" in boxes[0]):
            failures.append(f"{name}: message box {box} {boxes}, expected {message}")
        # The tail, then the INI in the folder the files went to; every CAB it names beside it.
        want = re.escape(" ".join(filter(None, (wine.INSTALLER, tail))) + ' "') + \
            SEEN.get(where, "") + re.escape(f"\\{FOLDER}\\install.ini") + '"'
        inis = [i for s in started for i in s["inis"] if i["path"].endswith("\\install.ini")]
        if len(started) != (where is not None) or where and not (
                re.fullmatch(want, started[0]["command_line"]) and [
                    (c["name"], c["present"]) for c in inis[0].get("cabs", [])] == CABS):
            failures.append(f"{name}: started {started}, expected {want!r} with its CABs")
        # Every file whole where it went, nothing anywhere else; the users' folders otherwise
        # as they were, the temporary folder among them.
        held = {w: {str(p.relative_to(place(w))).replace("/", "\\"): p.read_bytes()
                    for p in place(w).rglob("*") if p.is_file()} for w in PLACES}
        mine = MINE if earlier and where == "installer" else {}  # the user's files, kept
        want = {"installer": earlier or {}, **({where: {**mine, **FILES}} if where else {})}
        if any(held[w] != files for w, files in want.items()):
            failures.append(f"{name}: the folders hold {({w: sorted(h) for w, h in held.items()})}")
        if where is None and any(place(w).is_dir() for w in PLACES):
            failures.append(f"{name}: a package folder was made")
        gained = set(users()) - set(before)
        if set(before) - set(users()) or any(str(place("user")) not in g for g in gained) or (
                gained and where != "user"):
            failures.append(f"{name}: the users' folders gained {gained}, lost "
                            f"{set(before) - set(users())}")
    finally:
        e2e.image_range = plain
        clear()
    return failures


if __name__ == "__main__":
    failures = [f for name in sys.argv[1:] for f in run(name)]
    print("\n".join(failures) or f"{len(sys.argv) - 1} case(s) as expected")
    sys.exit(1 if failures else 0)
