"""The carrying launcher with a package inside it: one executable in place of a folder.

    build(files, icon=None, version=None) -> bytes

`files` is a list of (name, path): the name the file has in the package, a relative Windows path
with '\\' between its parts ("install.ini", "cabs\\notes.arm.cab"); the path the file to carry.
The launcher is built in a tree of its own (build/carry; build/carry64 for the 64-bit twin the
Wine cases run), with the package's files as RT_RCDATA resources in the order given, ID 2
onwards, and their index as ID 1: for each file its size (4 bytes, little-endian) and its name
(ASCII, a NUL after it), under `folder`, the package's own folder, which the launcher puts in
the installer's folder. carrier/index.h reads it and refuses what this module refuses.
"""
import pathlib
import struct
import unicodedata

from packager import brand

ROOT = pathlib.Path(__file__).resolve().parents[1]
TREES = {"i686": ROOT / "build" / "carry", "x86_64": ROOT / "build" / "carry64"}
NAME_BYTES = set(range(0x20, 0x7F)) - set(b':/*?"<>|')
# Names no Windows gives a file or folder, with or without an extension.
RESERVED = {"CON", "PRN", "AUX", "NUL", *(f"{d}{n}" for d in ("COM", "LPT") for n in range(1, 10))}


class CarryError(Exception):
    """One line: which file of the package, and what is wrong with it."""


def check_name(name):
    """What the launcher refuses, said before it is built: it would say only "damaged"."""
    parts = name.split("\\")
    if not name.isascii() or set(name.encode()) - NAME_BYTES - {ord("\\")}:
        raise CarryError(f"{name!r}: only printable ASCII but : / * ? \" < > | in a name")
    if any(not part or part.endswith((".", " ")) for part in parts):
        raise CarryError(f"{name!r}: an empty part, or one ending in '.' or ' ' (such as ..), "
                         "in a name relative to the package's folder")


def folder_fault(name):
    """Why Windows can't hold a folder of this name, or None."""
    if not name:
        return "empty, once reduced to what every Windows takes; FOLDER= names one"
    if not name.isascii() or set(name.encode()) - NAME_BYTES or "\\" in name:
        return "only printable ASCII but \\ : / * ? \" < > | in a folder's name"
    if name.endswith((".", " ")) or name.startswith(" "):
        return "a blank or '.' at its end, or a blank at its start, which Windows drops"
    if name.split(".")[0].rstrip(" ").upper() in RESERVED:
        return f"{name.split('.')[0]} is a device's name on Windows, never a folder's"
    return None


def default_folder(provider, application):
    """The package's folder as the installer shows the application: provider, a blank and the
    application, reduced to what every Windows takes in an ANSI program's folder name: accents
    dropped ("Müller" is "Muller"), other characters beyond ASCII a blank."""
    text = "".join("" if unicodedata.combining(c) else c if c.isascii() and ord(c) in NAME_BYTES
                   else " " for c in unicodedata.normalize("NFKD", f"{provider} {application}"))
    return " ".join(text.split()).rstrip(". ")


def index(entries):
    """The index resource for (name, size) pairs."""
    return b"".join(struct.pack("<I", size) + name.encode("ascii") + b"\0"
                    for name, size in entries)


def build(files, icon=None, version=None, arch="i686", folder="Setup"):
    """The unsigned carrying launcher's bytes, the package inside it, in `folder`."""
    if not files:
        raise CarryError("the package has no files")
    if folder_fault(folder):
        raise CarryError(f"the folder {folder!r}: {folder_fault(folder)}")
    files = [(f"{folder}\\{name}", path) for name, path in files]
    seen = {}
    for name, path in files:
        check_name(name)
        for other in seen:  # Windows' file names: letter case aside, a file is no folder
            a, b = name.upper(), other.upper()
            if a == b or a.startswith(b + "\\") or b.startswith(a + "\\"):
                raise CarryError(f"{name!r}: the same file or folder as {other!r}")
        try:
            seen[name] = pathlib.Path(path).resolve(strict=True).stat().st_size
        except OSError as error:
            raise CarryError(f"{name!r}: cannot read {path} ({error.strerror})") from None
    tree = TREES[arch]
    script = brand.write_resources(tree / "package", icon, version)
    (tree / "package" / "index.bin").write_bytes(index(seen.items()))
    lines = ['1 RCDATA "index.bin"']
    for n, (name, path) in enumerate(files, 2):
        # windres reads each file where it lies, through a link of a name it can't misread.
        link = tree / "package" / f"{n}.bin"
        link.unlink(missing_ok=True)
        link.symlink_to(pathlib.Path(path).resolve())
        lines.append(f'{n} RCDATA "{link.name}"')
    with script.open("a", encoding="utf-8") as text:
        text.write("\n".join(lines) + "\n")
    # The script is written anew each time, so the resources are compiled again.
    return brand.build(tree, script, "carrier", "building the carrying launcher", arch)
