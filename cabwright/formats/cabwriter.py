"""A device CAB written with GCab, as the device SDK's CAB tool writes one: the installers'
scripts (the .000 file and _setup.xml, both from one Layout) first, then the setup DLL as .999
and the files as .NNN in descending order, each under its source's short (8.3) name.

The script, little-endian: a 100-byte header (its own length at offset 8, the processor, the
system versions and builds, each table's count and offset, where the application's name, the
provider and the unsupported platforms are), those three strings, then the tables: STRINGS
(each folder, key and shortcut name part once), DIRS, FILES, REGHIVES, REGKEYS, LINKS. Files are
read from disk as GCab writes them, one at a time: the CAB is never held in memory.
"""
import re
import struct
from cabwright.diagnostics import Faults

HEADER = 100
SCRIPT_WARNING = 32 * 1024  # older devices' installers refuse a longer script
DOS_EPOCH = 315532800  # 1980-01-01, the earliest date a cabinet member can carry
ARCHIVE = 0x20


def gcab():
    import gi
    gi.require_version("GCab", "1.0")
    from gi.repository import GCab, Gio, GLib
    return GCab, Gio, GLib


# Characters a short (8.3) name holds as they are; others become '_', blanks and dots go.
SHORT_CHARACTERS = re.compile(r"[A-Za-z0-9!#$%&'()@^_`{}~-]")
FITS_SHORT = re.compile(r"[A-Za-z0-9!#$%&'()@^_`{}~-]{1,8}(\.[A-Za-z0-9!#$%&'()@^_`{}~-]{1,3})?")
CE_FOLDER = re.compile(r"%CE([0-9]+)%")


def short_stems(names):
    """Each name's stem as Windows makes its short (8.3) name, padded on the left with '0' to
    eight characters as the SDK tool does: a name that fits 8.3 keeps its case; another becomes
    its first six characters in upper case and ~N, N counting up among the names' stems."""
    taken, stems = set(), []
    for name in names:
        if FITS_SHORT.fullmatch(name):
            stem = name.split(".")[0]
        else:
            base = name[:name.rfind(".")] if "." in name.lstrip(".") else name
            base = "".join(c.upper() if SHORT_CHARACTERS.fullmatch(c) else "_"
                           for c in base if c not in " .") or "_"
            n = 1
            while (stem := f"{base[:8 - len(str(n)) - 1]}~{n}").casefold() in taken:
                n += 1
        taken.add(stem.casefold())
        stems.append(stem.rjust(8, "0"))
    return stems


def standard(part):
    """A folder part's standard-folder number (%CE11% is 11), or 0."""
    match = CE_FOLDER.fullmatch(part)
    return int(match.group(1)) if match else 0


class Layout:
    """One install as both of its scripts number it: each folder, file, registry hive and value,
    and shortcut by id, and each cabinet member by name. The .000 file and _setup.xml are both
    written from it, so the two can't tell the device different things."""

    def __init__(self, one, cab_name):
        self.one = one
        self.dirs = {}  # folded name parts -> (id, name parts)
        self.folder(one.install_dir)  # every folder a DIRS entry, the installation folder first
        self.files = [(f.number, self.folder(f.folder), f) for f in one.files]
        self.hives, self.values = {}, []
        for root, key, name, flags, payload, substitute in one.registry:
            parts = tuple(p for p in key.split("\\") if p)
            folded = (root, tuple(p.casefold() for p in parts))
            hive = self.hives.setdefault(folded, (len(self.hives) + 1, root, parts))[0]
            self.values.append((hive, name, flags, payload, substitute))
        # A shortcut under a standard folder names it as its base; one anywhere else names its
        # folder's DIRS entry, base 0.
        self.links = []
        for label, folder, to_folder, place, _ in one.shortcuts:
            name = label if label.lower().endswith(".lnk") else label + ".lnk"
            base, dir_id = standard(folder[0]), self.folder(folder)
            target = self.folder(place) if to_folder else place.number
            self.links.append((base, 0 if base else dir_id, (*folder[1:], name) if base
                               else (name,), to_folder, target, dir_id))
        sources = [(f.number, f.source) for f in sorted(one.files, key=lambda f: f.number)]
        if one.setup_dll is not None:
            sources.append((999, one.setup_dll))
        stems = short_stems([cab_name] + [source.name for _, source in sources])
        self.script_name = f"{stems[0]}.000"
        # In the cabinet: the .000 file first, then the others in descending order.
        self.members = sorted(((f"{stem}.{n:03d}", source)
                               for stem, (n, source) in zip(stems[1:], sources)),
                              key=lambda m: -int(m[0][-3:]))
        self.member = {int(name[-3:]): name for name, _ in self.members}

    def folder(self, parts):
        key = tuple(p.casefold() for p in parts)
        return self.dirs.setdefault(key, (len(self.dirs) + 1, tuple(parts)))[0]

    def folders(self):
        """[(id, name parts)] in id order."""
        return sorted(self.dirs.values())

    def path(self, dir_id):
        return "\\".join(dict(self.folders())[dir_id])


class Strings:
    """The STRINGS section, built up as the other sections name its parts."""

    def __init__(self, code_page):
        self.code_page, self.ids = code_page, {}

    def text(self, text):
        return text.encode(self.code_page)

    def list(self, parts, ended=True):
        """A list of string ids: ended by 0 for folders and keys; a shortcut's is not, its
        length tells where it ends."""
        ids = [self.ids.setdefault(p, len(self.ids) + 1) for p in parts] + [0] * ended
        return struct.pack(f"<{len(ids)}H", *ids)


def script(layout, code_page):
    """The .000 file's bytes."""
    one, s = layout.one, Strings(code_page)
    dirs = b"".join(struct.pack("<H", n) + counted(s.list(parts)) for n, parts in
                    layout.folders())
    files = b"".join(struct.pack("<3HI", number, dir_id, number, f.flags) +
                     counted(s.text(f.name) + b"\0") for number, dir_id, f in layout.files)
    hives = b"".join(struct.pack("<3H", n, root, 0) + counted(s.list(parts))
                     for n, root, parts in layout.hives.values())
    keys = b"".join(struct.pack("<3HI", n, hive, int(substitute), flags) +
                    counted(s.text(name) + b"\0" + payload)
                    for n, (hive, name, flags, payload, substitute) in
                    enumerate(layout.values, 1))
    links = b"".join(struct.pack("<5H", n, dir_id, base, target, 0 if to_folder else 1) +
                     counted(s.list(parts, ended=False))
                     for n, (base, dir_id, parts, to_folder, target, _) in
                     enumerate(layout.links, 1))
    strings = b"".join(struct.pack("<H", n) + counted(s.text(text) + b"\0")
                       for text, n in s.ids.items())
    application = s.text(one.application) + b"\0"
    provider = s.text(one.provider) + b"\0"
    unsupported = b"".join(s.text(p) + b"\0" for p in one.unsupported) + b"\0" \
        if one.unsupported else b""
    parts = [application, provider, unsupported, strings, dirs, files, hives, keys, links]
    at, offsets = HEADER, []
    for part in parts:
        offsets.append(at)
        at += len(part)
    counts = [len(s.ids), len(layout.dirs), len(layout.files), len(layout.hives),
              len(layout.values), len(layout.links)]
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


def write(layout, scripts, path, compress, epoch):
    """The CAB for `layout` at `path`: `scripts` {member name: bytes} first, then its files."""
    GCab, Gio, GLib = gcab()
    folder = GCab.Folder.new(GCab.Compression.MSZIP if compress else GCab.Compression.NONE)
    members = [(name, None, data) for name, data in scripts.items()]
    members += [(name, source, None) for name, source in layout.members]
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
        raise Faults(error.message) from None
    try:
        cabinet.write_simple(stream, None, None, None)
    except GLib.Error as error:
        raise Faults(error.message) from None
    finally:
        stream.close(None)
