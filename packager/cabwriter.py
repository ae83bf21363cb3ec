"""A device CAB written with GCab: the installer's script (the .000 file) first, then the setup
DLL as .999 and the files as .NNN in descending order, each under an 8.3 stem of its name.

The script, little-endian: a 100-byte header (its own length at offset 8, the processor, the
system versions and builds, each table's count and offset, where the application's name, the
provider and the unsupported platforms are), those three strings, then the tables: STRINGS
(each folder, key and shortcut name part once), DIRS, FILES, REGHIVES, REGKEYS, LINKS. Files are
read from disk as GCab writes them, one at a time: the CAB is never held in memory.
"""
import re
import struct

HEADER = 100
SCRIPT_WARNING = 32 * 1024  # older devices' installers refuse a longer script
DOS_EPOCH = 315532800  # 1980-01-01, the earliest date a cabinet member can carry
ARCHIVE = 0x20


class WriteError(Exception):
    """GCab's reason a CAB couldn't be written: a source unreadable, the disk full."""


def gcab():
    import gi
    gi.require_version("GCab", "1.0")
    from gi.repository import GCab, Gio, GLib
    return GCab, Gio, GLib


def stem(name):
    """An 8.3 stem for a member: the name's letters and digits, cut to 8 or padded on the left
    with '0' as the SDK tool does; the number after it is what identifies the file."""
    base = re.sub(r"[^A-Za-z0-9_~-]", "", name.rsplit(".", 1)[0]) or "FILE"
    return (base[:6] + "~1") if len(base) > 8 else base.rjust(8, "0")


class Script:
    """The tables, built up with their ids; `bytes()` lays them out."""

    def __init__(self, code_page):
        self.code_page = code_page
        self.strings, self.dirs, self.hives = {}, {}, {}

    def text(self, text):
        return text.encode(self.code_page)

    def string(self, part):
        return self.strings.setdefault(part, len(self.strings) + 1)

    def path_ids(self, parts):
        return struct.pack(f"<{len(parts) + 1}H", *(self.string(p) for p in parts), 0)

    def folder(self, path):
        key = tuple(p for p in path.split("\\") if p)
        return self.dirs.setdefault(key, len(self.dirs) + 1)


def split_base(folder):
    """A shortcut's folder as the LINKS table takes it: %CEn% as its number, the rest as name
    parts (0: under the installation folder)."""
    parts = [p for p in folder.split("\\") if p]
    match = re.fullmatch(r"%CE([0-9]+)%", parts[0]) if parts else None
    return (int(match.group(1)), parts[1:]) if match else (0, parts)


def script(one, code_page):
    """The .000 file's bytes for an inf.Install whose files are numbered."""
    s = Script(code_page)
    files = b"".join(struct.pack("<3HI", f.number, s.folder(f.folder), f.number, f.flags) +
                     counted(s.text(f.name) + b"\0") for f in one.files)
    keys = []
    for n, (root, key, name, flags, payload, substitute) in enumerate(one.registry, 1):
        hive = s.hives.setdefault((root, key.casefold()), (len(s.hives) + 1, root, key))[0]
        keys.append(struct.pack("<3HI", n, hive, int(substitute), flags) +
                    counted(s.text(name) + b"\0" + payload))
    links = []
    for n, (label, folder, to_folder, place, _) in enumerate(one.shortcuts, 1):
        base, parts = split_base(folder)
        if to_folder:
            target = s.folder(place)
        else:
            target = place.number
        name = label if label.lower().endswith(".lnk") else label + ".lnk"
        links.append(struct.pack("<5H", n, 0, base, target, 0 if to_folder else 1) +
                     counted(s.path_ids(parts + [name])))
    dirs = b"".join(struct.pack("<H", n) + counted(s.path_ids(list(key)))
                    for key, n in s.dirs.items())
    hives = b"".join(struct.pack("<3H", n, root, 0) + counted(s.path_ids(
        [p for p in key.split("\\") if p])) for n, root, key in s.hives.values())
    strings = b"".join(struct.pack("<H", n) + counted(s.text(text) + b"\0")
                       for text, n in s.strings.items())
    application = s.text(one.application) + b"\0"
    provider = s.text(one.provider) + b"\0"
    unsupported = b"".join(s.text(p) + b"\0" for p in one.unsupported) + b"\0" \
        if one.unsupported else b""
    parts = [application, provider, unsupported, strings, dirs, files, hives,
             b"".join(keys), b"".join(links)]
    at, offsets = HEADER, []
    for part in parts:
        offsets.append(at)
        at += len(part)
    counts = [len(s.strings), len(s.dirs), len(one.files), len(s.hives), len(keys), len(links)]
    header = struct.pack("<4s5I4I2I6H6I6H2H", b"MSCE", 0, at, 0, 1, one.processor,
                         *one.versions, *one.builds, *counts, *offsets[3:],
                         offsets[0], len(application), offsets[1], len(provider),
                         offsets[2] if unsupported else 0, len(unsupported), 0, 0)
    return header + b"".join(parts)


def counted(data):
    return struct.pack("<H", len(data)) + data


def member_time(path, epoch):
    """A member's date: the source's modification time, no later than SOURCE_DATE_EPOCH when
    it is set, no earlier than a cabinet can hold."""
    when = int(path.stat().st_mtime)
    if epoch is not None:
        when = min(when, epoch)
    return max(when, DOS_EPOCH)


def write(one, data, path, compress, epoch):
    """The CAB for `one` with its script `data`, at `path`."""
    GCab, Gio, GLib = gcab()
    folder = GCab.Folder.new(GCab.Compression.MSZIP if compress else GCab.Compression.NONE)
    members = [(f"{stem(one.application)}.000", None, data)]
    if one.setup_dll is not None:
        members.append((f"{stem(one.setup_dll.name)}.999", one.setup_dll, None))
    members += [(f"{stem(f.name)}.{f.number:03d}", f.source, None)
                for f in sorted(one.files, key=lambda f: -f.number)]
    newest = max([member_time(source, epoch) for _, source, _ in members if source] +
                 [DOS_EPOCH if epoch is None else max(epoch, DOS_EPOCH)])
    for name, source, contents in members:
        if source is None:  # the script: dated as the newest file, so the same inputs agree
            member = GCab.File.new_with_bytes(name, GLib.Bytes.new(contents))
            when = newest
        else:
            member = GCab.File.new_with_file(name, Gio.File.new_for_path(str(source)))
            when = member_time(source, epoch)
        member.set_date_time(GLib.DateTime.new_from_unix_utc(when))
        member.set_attributes(ARCHIVE)
        folder.add_file(member, False, None)
    cabinet = GCab.Cabinet.new()
    cabinet.add_folder(folder)
    try:
        stream = Gio.File.new_for_path(str(path)).replace(None, False,
                                                          Gio.FileCreateFlags.NONE, None)
    except GLib.Error as error:
        raise WriteError(error.message) from None
    try:
        cabinet.write_simple(stream, None, None, None)
    except GLib.Error as error:
        raise WriteError(error.message) from None
    finally:
        stream.close(None)
