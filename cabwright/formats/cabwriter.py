"""A device CAB written with GCab, as the device SDK's CAB tool writes one: the installer's scripts
(the .000 file and _setup.xml, both encoded from one Install) first, then the setup DLL as .999
and the files as .NNN in descending order, each under its source's short (8.3) name. Files are
read from disk as GCab writes them, one at a time: the CAB is never held in memory.
"""
import re

from cabwright.diagnostics import Faults
from cabwright.formats import model

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


class Contents:
    """What one CAB holds besides its scripts: each member's name and source, the install's
    files and setup DLL named after their members."""

    def __init__(self, one, cab_name):
        self.one, self.scripts = one, {}
        sources = [(f.number, f.source) for f in sorted(one.files, key=lambda f: f.number)]
        if one.setup_source is not None:
            sources.append((model.SETUP_DLL, one.setup_source))
        stems = short_stems([cab_name] + [source.name for _, source in sources])
        self.script_name = f"{stems[0]}.000"
        names = {n: f"{stem}.{n:03d}" for stem, (n, _) in zip(stems[1:], sources)}
        for f in one.files:
            f.member = names[f.number]
        one.setup_dll = names.get(model.SETUP_DLL)
        # In the cabinet: the scripts first, then the others in descending order.
        self.members = sorted(((names[n], source) for n, source in sources),
                              key=lambda m: -int(m[0][-3:]))


def member_time(path, epoch):
    """A member's date: the source's modification time, no later than SOURCE_DATE_EPOCH when
    it is set, no earlier than a cabinet can hold."""
    when = int(path.stat().st_mtime)
    if epoch is not None:
        when = min(when, epoch)
    return max(when, DOS_EPOCH)


def write(contents, path, compress, epoch):
    """The CAB of `contents` at `path`: its scripts {member name: bytes} first, then its files."""
    GCab, Gio, GLib = gcab()
    folder = GCab.Folder.new(GCab.Compression.MSZIP if compress else GCab.Compression.NONE)
    members = [(name, None, data) for name, data in contents.scripts.items()]
    members += [(name, source, None) for name, source in contents.members]
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
