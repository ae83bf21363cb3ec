"""A device application's CAB file, read as the installer needs it.

The cabinet itself is read by GCab (GNOME's cabinet library, through Debian's GObject
introspection binding): its folders, its files, each file's data with its checksums. Inside it,
the device installer's description file, the one whose name ends in .000, starts with a fixed
header of 100 bytes, little-endian, from which we take what a packager wants to see: which
processor and which versions of the device's system the application is for, and its name and
provider.
"""
import struct

HEADER = 100
# Processor types the device installer knows by number; others are shown as the number.
PROCESSORS = {0: "any processor", 386: "x86", 486: "x86", 586: "x86", 2577: "ARM",
              4000: "MIPS", 10003: "SH3", 10004: "SH3E", 10005: "SH4", 70001: "ARM"}


class CabError(Exception):
    """What is wrong with the file, as one line's text."""


def gcab():
    import gi
    gi.require_version("GCab", "1.0")
    from gi.repository import GCab, Gio, GLib
    return GCab, Gio, GLib


class Description:
    """The fields of a .000 file's header a packager checks."""

    def __init__(self, name, data):
        if len(data) < HEADER or not data.startswith(b"MSCE"):
            raise CabError(f"{name}, its description file, is not one (it must start with MSCE "
                           f"and hold a {HEADER}-byte header; it has {len(data)} bytes "
                           f"starting {data[:4]!r})")
        self.file = name
        self.processor, minimum_major, minimum_minor, maximum_major, maximum_minor = \
            struct.unpack_from("<5I", data, 20)
        self.minimum = (minimum_major, minimum_minor)
        self.maximum = (maximum_major, maximum_minor)
        self.application = self.text(data, 84, "application name")
        self.provider = self.text(data, 88, "provider")

    def text(self, data, at, what):
        offset, length = struct.unpack_from("<HH", data, at)
        if offset + length > len(data):
            raise CabError(f"{self.file}: its {what} runs past the end of the file (offset "
                           f"{offset} + {length} > {len(data)} bytes)")
        # Written in the device's 8-bit code page, NUL-terminated within its length.
        return data[offset:offset + length].split(b"\0", 1)[0].decode("cp1252", "replace")

    def processor_name(self):
        name = PROCESSORS.get(self.processor)
        return f"{name} ({self.processor})" if name else f"processor type {self.processor}"

    def versions(self):
        low = "{}.{}".format(*self.minimum) if any(self.minimum) else "any"
        high = "{}.{}".format(*self.maximum) if any(self.maximum) else "any"
        return f"system {low} to {high}"


def read(path):
    """The Description of the cabinet at `path`, once the whole cabinet reads back; CabError
    with what is wrong otherwise."""
    GCab, Gio, GLib = gcab()
    data = path.read_bytes()
    if not data.startswith(b"MSCF"):
        raise CabError("not a cabinet (a CAB file starts with MSCF)")
    cabinet = GCab.Cabinet.new()
    try:
        cabinet.load(Gio.MemoryInputStream.new_from_bytes(GLib.Bytes.new(data)), None)
    except GLib.Error as error:
        raise CabError(f"not a cabinet GCab can read ({error.message})") from None
    # The installer compares the two: a file cut short or grown in transfer fails on the user's
    # machine.
    if cabinet.get_size() != len(data):
        raise CabError(f"its header records {cabinet.get_size()} bytes, the file has "
                       f"{len(data)} (cut short or padded on the way?)")
    try:
        cabinet.extract(None, None, None, None)  # into memory, every checksum checked
    except GLib.Error as error:
        raise CabError(f"its files don't read back whole ({error.message})") from None
    files = [(f.get_name(), f.get_bytes()) for folder in cabinet.get_folders()
             for f in folder.get_files()]
    broken = [name for name, contents in files if contents is None]
    if broken:
        raise CabError(f"{broken[0]} in it doesn't read back")
    found = [(name, contents) for name, contents in files if name.endswith(".000")]
    if not found:
        raise CabError("holds no description file for the device installer (a file whose name "
                       "ends in .000): not a device application's CAB")
    name, contents = found[0]
    return Description(name, contents.get_data())
