#!/usr/bin/env python3
"""make package, checked from the outside, with packages made at test time.

    python3 -m tests.packager.package_test GROUP   (from the repository's root)

    bad    each bad package: its lines, a non-zero status, OUT exactly as it was
    good   two CABs in subfolders and an icon, as a folder, a ZIP and one program, read back; a
           second run gives the same bytes; setup.exe is what make release makes from the same
           settings
"""
import pathlib
import shutil
import sys
import time
import zipfile

from tests.pe import pe_check
from tests.packager.release_test import ICON_IMAGES, icon_file, make
from wine import demo

ROOT = pathlib.Path(__file__).resolve().parents[2]
WORK = ROOT / "build" / "package-test"
INI = ("[CEAppManager]\r\nVersion = 1.0\r\nComponent = Notes\r\n\r\n[Notes]\r\n"
       "Description = Notes for handhelds\r\nCabFiles = cabs\\arm\\notes.cab,cabs\\sh3\\notes.cab\r\n"
       "IconFile = notes.ico\r\n")
CABS = (("cabs/arm/notes.cab", demo.ARM), ("cabs/sh3/notes.cab", demo.SH3))


def source(folder, ini=INI, cabs=CABS):
    shutil.rmtree(folder, ignore_errors=True)
    demo.sample(folder, ini, cabs)
    (folder / "notes.ico").write_bytes(icon_file(ICON_IMAGES))
    return folder


def edit(old, new):
    return lambda folder: (folder / "install.ini").write_text(INI.replace(old, new), "cp1252")


def bad():
    arm = "cabs/arm/notes.cab"
    rows = [  # (what is done to a good package, OUT's name, what each line says, in order)
        (edit("= Notes\r\n", "= Other\r\n"), "out", ["install.ini:3: Component Other: no [Other]"]),
        (edit(",", ", "), "out", ["install.ini:7: CabFiles: a blank around 'cabs\\sh3\\notes.cab'"]),
        (lambda f: (f / arm).unlink(), "out", ["install.ini:7: CabFiles cabs\\arm\\notes.cab: no "
                                               "file cabs/arm/notes.cab"]),
        (lambda f: (f / arm).write_bytes((f / arm).read_bytes()[:-9]), "out",
         [f"{arm}: its header records"]),
        (lambda f: (f / arm).write_text("MSCF, but no more"), "out", [f"{arm}: not a cabinet"]),
        (lambda f: demo.cabinet(f / arm, {"README.TXT": b"no description\n"}), "out",
         [f"{arm}: holds no description file"]),
        # A key line without '=' is the key, without a value: the later line is not read.
        (edit("CabFiles =", "CabFiles\r\nCabFiles ="), "out", ["install.ini:5: [Notes] has no "
                                                                "CabFiles"]),
        (lambda f: demo.cabinet(f / arm, {"NOTES.000": demo.description_file("N", "P", 0)[:-1]}),
         "out", [f"{arm}: NOTES.000: its header records", f"{arm}: NOTES.000: its files section"]),
        (edit("1.0", "2.0"), "out", ["install.ini:2: Version 2.0: the installer reads version "
                                     "1.0 only"]),
        # Every fault at once, in the order of the file.
        (edit("cabs\\arm\\notes.cab,cabs\\sh3", "C:\\notes.cab,..\\sh3"), "out",
         ["install.ini:7: CabFiles C:\\notes.cab: is absolute",
          "install.ini:7: CabFiles ..\\sh3\\notes.cab: leaves install.ini's folder"]),
        (edit("notes.ico\r\n", "notes.ico\r\nIconIndex = 1\r\n"), "out",
         ["install.ini:9: IconIndex 1: notes.ico holds 1 icon (0 to 0)"]),
        (lambda f: (edit("sh3\\", "sh3\\\xc4")(f), (f / "cabs/sh3/notes.cab").rename(
            f / "cabs/sh3/\xc4notes.cab")), "out.zip", ["cabs/sh3/\xc4notes.cab: its name is not "
                                                         "ASCII"]),
    ]
    rows.append((lambda f: None, "out.exe", ["FOLDER con.notes: con is a device's name"],
                 ["FOLDER=con.notes"]))
    # Hostile lists: ten thousand names after ", " told in at most a hundred lines, each
    # quoting the list once, shortened; a million commas one line. Each well within the bound.
    names = "CabFiles = " + ", ".join(f"c{n}.cab" for n in range(10000))
    rows += [(edit("CabFiles = cabs\\arm\\notes.cab,cabs\\sh3\\notes.cab", names), "out",
              ["install.ini:7: CabFiles"] * 100 + ["{package}: more than 100 lines"]),
             (edit("notes.cab,", "notes.cab" + "," * 1000000), "out",
              ["install.ini:7: CabFiles: an empty name between commas"])]
    # OUT where something not of make package's making is: refused, every byte kept.
    rows += [(lambda f: None, "mine", ["OUT {out}: a folder holding notes.txt, which package "
                                       "didn't write"], [], {"notes.txt": b"the user's"}),
             (lambda f: None, "file", ["OUT {out}: a file, not a folder"], [], b"the user's"),
             # A clone's own sources, as OUT=cabwright in a checkout names them.
             (lambda f: None, "cabwright", ["OUT {out}: a folder holding __init__.py, commands"],
              [], {"__init__.py": b"", "commands/cab.py": b"# the project's own"}),
             (lambda f: None, "out.msi", ["OUT {out}: names a .msi file"], [], None)]
    failures = []
    for n, (change, name, says, settings, *there) in enumerate(
            [(*row, []) if len(row) == 3 else row for row in rows], 1):
        folder = source(WORK / "bad" / "package")
        change(folder)
        out = WORK / "bad" / name
        shutil.rmtree(out, ignore_errors=True)
        out.unlink(missing_ok=True)
        previous(out, *there)
        before = (snapshot(out), sorted(p.name for p in out.parent.iterdir()))
        began = time.monotonic()
        result = make("package", f"PACKAGE={folder}", f"OUT={out}", *settings)
        if time.monotonic() - began > 20 or len(result.stderr) > 100000:
            failures.append(f"row {n}: {time.monotonic() - began:.1f} s, "
                            f"{len(result.stderr):,} characters told")
        lines = [t.removeprefix("package: ") for t in result.stderr.splitlines()
                 if t.startswith("package: ") and not t.startswith("package: warning: ")]
        says = [line.format(out=out, package=folder) for line in says]
        if result.returncode == 0 or len(lines) != len(says) or not all(
                line.startswith(want) for line, want in zip(lines, says)):
            failures.append(f"row {n}: status {result.returncode}, said {lines}, expected {says}")
        if (snapshot(out), sorted(p.name for p in out.parent.iterdir())) != before:
            failures.append(f"row {n}: OUT or its folder changed")
    return failures


def previous(out, there=()):
    """What OUT holds before a run: `there` (a file's bytes, a folder's files), or by default
    what make package wrote there before, in OUT's form."""
    ini = b"[Notes]\r\nCabFiles = old.cab\r\n"
    if there is None or out.suffix == ".exe":
        return
    if isinstance(there, bytes):
        out.write_bytes(there)
    elif out.suffix == ".zip":
        with zipfile.ZipFile(out, "w") as archive:
            archive.writestr("setup.exe", b"MZ")
            archive.writestr("install.ini", ini)
    else:
        for name, data in (there or {"setup.exe": b"MZ", "install.ini": ini,
                                     "old.cab": b"MSCF"}).items():
            (out / name).parent.mkdir(parents=True, exist_ok=True)
            (out / name).write_bytes(data)


def snapshot(out):
    if out.is_dir():
        return {str(p.relative_to(out)): p.read_bytes() for p in out.rglob("*") if p.is_file()}
    return out.read_bytes() if out.exists() else None


def tree(out):
    """Each file OUT ships, by its relative path: a program's from its index (resource 1: size,
    name, NUL, each) and the resources after it."""
    if out.suffix == ".exe":
        index, files, at = pe_check.resource(out, 10, 1), {}, 0
        while at < len(index):
            end = index.index(b"\0", at + 4)
            files[index[at + 4:end].decode().replace("\\", "/")] = \
                pe_check.resource(out, 10, len(files) + 2)
            at = end + 1
        return {"setup.exe": out.read_bytes(), **files}
    if out.suffix == ".zip":
        with zipfile.ZipFile(out) as archive:
            return {entry.filename: archive.read(entry) for entry in archive.infolist()}
    return {str(p.relative_to(out)): p.read_bytes() for p in sorted(out.rglob("*")) if p.is_file()}


def good():
    folder = source(WORK / "good" / "package")
    (folder / "unnamed.txt").write_text("not named by install.ini: not shipped")
    branded = ["VERSION=2.1", "PRODUCT=Notes"]
    failures = []
    released = make("release", f"OUT={WORK / 'good' / 'setup.exe'}", *branded)
    if released.returncode != 0:
        return [f"make release: {released.stderr}"]
    want = {"setup.exe": (WORK / "good" / "setup.exe").read_bytes(),
            **{name: (folder / name).read_bytes()
               for name in ("install.ini", *(c for c, _ in CABS), "notes.ico")}}
    for name in ("out", "out.zip", "out-setup.exe"):
        out, runs = WORK / "good" / name, []
        for _ in range(2):  # the second replaces the first
            result = make("package", f"PACKAGE={folder}", f"OUT={out}", *branded)
            if result.returncode != 0 or result.stderr:
                return [f"make package OUT={out}: status {result.returncode}\n{result.stderr}"]
            runs.append(out.read_bytes() if out.is_file() else tree(out))
        if name == "out-setup.exe":  # the program itself, not setup.exe, carries the files, in the
            # folder the installer shows: the first CAB's provider and application
            want = {"setup.exe": out.read_bytes(), **{
                f"Example Software Notes/{n}": data for n, data in want.items() if n != "setup.exe"}}
            if "<the installer's folder>\\Example Software Notes" not in result.stdout:
                failures.append(f"{name}: the summary names no folder:\n{result.stdout}")
        if tree(out) != want:
            failures.append(f"{name} holds {sorted(tree(out))}, expected {sorted(want)} with "
                            "the same bytes")
        if runs[0] != runs[1]:
            failures.append(f"{name}: two runs of the same inputs differ")
        if "ARM (2577)" not in result.stdout or "SH3 (10003)" not in result.stdout:
            failures.append(f"{name}: the summary names no processors:\n{result.stdout}")
    return failures


def main(argv):
    failures = {"bad": bad, "good": good}[argv[0]]()
    print("\n".join(failures) if failures else f"{argv[0]}: as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
