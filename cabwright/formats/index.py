"""The carrying launcher with a package inside it: one executable in place of a folder.

    build(files, icon=None, version=None) -> bytes

`files` is a list of (name, path): the name the file has in the package, a relative Windows path
with '\\' between its parts ("install.ini", "cabs\\notes.arm.cab"); the path the file to carry.
The launcher as built (build/win; build/win64 for the 64-bit twin the Wine cases run) takes the
package's files as RT_RCDATA resources (services/launcher.py) in the order given, install.ini
first, ID 2 onwards, and their index as ID 1: for each file its size (4 bytes, little-endian) and
its name (ASCII, a NUL after it), under `folder`, the package's own folder, which the launcher
puts in the installer's folder. carrier/index.h reads it and refuses what this module refuses.
"""
import struct
import unicodedata
from cabwright.diagnostics import Faults

NAME_BYTES = set(range(0x20, 0x7F)) - set(b':/*?"<>|')
# Names no Windows gives a file or folder, with or without an extension.
RESERVED = {"CON", "PRN", "AUX", "NUL", *(f"{d}{n}" for d in ("COM", "LPT") for n in range(1, 10))}


def check_name(name):
    """What the launcher refuses, said before it is built: it would say only "damaged"."""
    parts = name.split("\\")
    if not name.isascii() or set(name.encode()) - NAME_BYTES - {ord("\\")}:
        raise Faults(f"{name!r}: only printable ASCII but : / * ? \" < > | in a name")
    if any(not part or part.endswith((".", " ")) for part in parts):
        raise Faults(f"{name!r}: an empty part, or one ending in '.' or ' ' (such as ..), "
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
