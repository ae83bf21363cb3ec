"""The .000 file, the device installer's script in a CAB, encoded from an Install and decoded into
one. Little-endian: the header below, the application's and provider's names and the unsupported
platforms, then six sections of numbered entries, each entry's variable part counted by a 16-bit
length: STRINGS (each folder, key and shortcut name part once), DIRS (lists of string ids, ended
by 0), FILES (each a cabinet member numbered .NNN, installed into a folder under a name),
REGHIVES (a root and a list of string ids, ended by 0), REGKEYS (a hive, a name and the data),
LINKS (a base folder or a DIRS entry, a target, and a list of string ids that no 0 ends).

The decoder reads only the bytes it was given, through Data, whose every read is bounds-checked:
no count or length in the file makes it loop or allocate more than the file's own size allows.
Every fault is kept, one line each.
"""
import collections
import struct

from cabwright.formats import model
from cabwright.formats.model import (File, Install, Shortcut, Value, ValueType, MAX_FILES,
                                     MAX_PATH, NOCLOBBER, TYPE_BITS, U16, U32)

# The header, field by field: its one description, which the encoder, the decoder and the tests'
# hand-made scripts all use.
HEADER_FIELDS = (
    ("magic", "4s"), ("unknown1", "I"), ("size", "I"), ("unknown2", "I"), ("one", "I"),
    ("processor", "I"), ("min_major", "I"), ("min_minor", "I"), ("max_major", "I"),
    ("max_minor", "I"), ("min_build", "I"), ("max_build", "I"),
    ("strings", "H"), ("dirs", "H"), ("files", "H"), ("hives", "H"), ("values", "H"),
    ("links", "H"),
    ("strings_at", "I"), ("dirs_at", "I"), ("files_at", "I"), ("hives_at", "I"),
    ("values_at", "I"), ("links_at", "I"),
    ("application_at", "H"), ("application_length", "H"), ("provider_at", "H"),
    ("provider_length", "H"), ("unsupported_at", "H"), ("unsupported_length", "H"),
    ("unknown3", "H"), ("unknown4", "H"))
HEADER = struct.Struct("<" + "".join(kind for _, kind in HEADER_FIELDS))
Header = collections.namedtuple("Header", [name for name, _ in HEADER_FIELDS])
MAGIC = b"MSCE"
SECTIONS = ("strings", "dirs", "files", "hives", "values", "links")
# Each entry's fixed part, its last field the length of what follows.
ENTRIES = {"strings": struct.Struct("<HH"),  # id, length
           "dirs": struct.Struct("<HH"),  # id, length
           "files": struct.Struct("<HHHIH"),  # id, folder, id again, copy flags, length
           "hives": struct.Struct("<HHHH"),  # id, root, 0, length
           "values": struct.Struct("<HHHIH"),  # id, hive, substitute, flags, length
           "links": struct.Struct("<HHHHHH")}  # id, folder, base, target, 0 folder/1 file, length


def header(**given):
    """The header's bytes: the fields given, MSCE and the constant 1 in place, the others 0."""
    values = {name: 0 for name in Header._fields}
    values.update(magic=MAGIC, one=1)
    values.update(given)
    return HEADER.pack(*Header(**values))


class Unwritable(Exception):
    """What the install asks for that the .000 file can't hold: [(the .inf line or 0, text)]."""

    def __init__(self, faults):
        super().__init__(faults)
        self.faults = faults


def folder_parts(path, install_dir):
    """A folder's string parts: the install folder one part whatever it holds, a path under it
    that part and the rest split at backslashes, any other path split."""
    if install_dir and (path == install_dir or path.startswith(install_dir + "\\")):
        return [install_dir, *model.split(path[len(install_dir):])]
    return model.split(path)


def encode(one, code_page):
    """The .000 file's bytes for the Install `one`; Unwritable with every fault first."""
    faults, strings = [], {}

    def fault(line, text):
        if (line, text) not in faults:
            faults.append((line, text))

    def text(value, line, what):
        try:
            return value.encode(code_page)
        except UnicodeEncodeError:
            fault(line, f"{what} '{value}' is not in code page {code_page}")
            return value.encode(code_page, "replace")

    def ids(parts, line, ended=True):
        for p in parts:
            if p not in strings:
                strings[p] = (len(strings) + 1, line)
        numbers = [strings[p][0] for p in parts] + [0] * ended
        return struct.pack(f"<{len(numbers)}H", *(n & U16 for n in numbers))

    def entry(kind, line, what, *fields, data):
        if len(data) > U16:
            fault(line, f"{what}: {len(data):,} bytes, past the {U16:,} a .000 entry holds")
        layout = ENTRIES[kind].format[1:]
        return struct.pack("<" + layout, *(f & (U16 if c == "H" else U32) for f, c in
                                          zip((*fields, len(data)), layout))) + data

    install_dir = one.install_dir
    unique = {}
    for path in one.folders:
        unique.setdefault(model.folded(path), path)
    dirs = {folded: n for n, folded in enumerate(unique, 1)}
    line_of = {model.folded(p): n for p, n in one.folder_lines.items()}
    sections = {"dirs": b"".join(
        entry("dirs", line_of.get(folded, 0), f"folder {path}", dirs[folded],
              data=ids(folder_parts(path, install_dir), line_of.get(folded, 0)))
        for folded, path in unique.items())}
    files = []
    for f in one.files:
        folder = dirs.get(model.folded(f.folder))
        if folder is None:
            fault(f.line, f"{f.path}: its folder is no DIRS entry")
        if not 1 <= f.number <= MAX_FILES:
            fault(f.line, f"{f.path}: file number {f.number}; a device CAB numbers its files 1 "
                  f"to {MAX_FILES}")
        files.append(entry("files", f.line, f"file {f.name}", f.number, folder or 0, f.number,
                           f.flags, data=text(f.name, f.line, "file name") + b"\0"))
    sections["files"] = b"".join(files)
    hives, values = {}, []
    for v in one.registry:
        folded = (v.root, v.key.casefold())
        if folded not in hives:
            hives[folded] = (len(hives) + 1, v.root, v.key, v.line)
        values.append(entry("values", v.line, f"registry value {v.name or '(default)'}",
                            len(values) + 1, hives[folded][0], int(v.substitute),
                            v.type | (NOCLOBBER if v.keep else 0),
                            data=text(v.name, v.line, "registry name") + b"\0" +
                            payload(v, lambda s: text(s, v.line, "registry value"))))
    sections["hives"] = b"".join(
        entry("hives", line, f"registry key {key}", n, root, 0,
              data=ids([text_ for text_ in key.split("\\") if text_], line))
        for n, root, key, line in hives.values())
    sections["values"] = b"".join(values)
    links, paths = [], {model.folded(f.path): f.number for f in one.files}
    for n, s in enumerate(one.shortcuts, 1):
        parts = folder_parts(s.folder, install_dir)
        base = model.standard(parts[0]) if parts and not model.under(s.folder, install_dir) \
            else 0
        folder = 0 if base or model.folded(s.folder) == "%installdir%" else \
            dirs.get(model.folded(s.folder))
        if folder is None:
            fault(s.line, f"shortcut {s.name}: its folder {s.folder} is no DIRS entry")
        if s.to_folder:
            target = 0 if model.folded(s.target) == "%installdir%" else \
                dirs.get(model.folded(s.target))
        else:
            target = paths.get(model.folded(s.target))
        if target is None:
            fault(s.line, f"shortcut {s.name}: its target {s.target} is no "
                  f"{'DIRS entry' if s.to_folder else 'file the CAB installs'}")
        names = (*parts[1:], s.name) if base else (s.name,)
        links.append(entry("links", s.line, f"shortcut {s.name}", n, folder or 0, base,
                           target or 0, 0 if s.to_folder else 1, data=ids(names, s.line, False)))
    sections["links"] = b"".join(links)
    sections["strings"] = b"".join(
        entry("strings", line, f"name {value}", n, data=text(value, line, "name") + b"\0")
        for value, (n, line) in strings.items())
    counts = {"strings": len(strings), "dirs": len(dirs), "files": len(one.files),
              "hives": len(hives), "values": len(one.registry), "links": len(one.shortcuts)}
    lines = {"strings": [n for n, _ in strings.values()], "files": [f.line for f in one.files],
             "values": [v.line for v in one.registry], "links": [s.line for s in one.shortcuts],
             "dirs": [line_of.get(model.folded(p), 0) for p in one.folders],
             "hives": [h[3] for h in hives.values()]}
    for kind, count in counts.items():
        if count > U16:
            fault(lines[kind][U16] if len(lines[kind]) > U16 else 0,
                  f"{count:,} {ENTRY_NAMES[kind]}; a .000 file holds {U16:,}")
    if len(one.files) > MAX_FILES:
        fault(one.files[MAX_FILES].line, f"{len(one.files):,} files; a device CAB holds "
              f"{MAX_FILES}")
    application = text(one.application, 0, "AppName") + b"\0"
    provider = text(one.provider, 0, "Provider") + b"\0"
    unsupported = b"".join(text(p, 0, "UnsupportedPlatforms") + b"\0"
                           for p in one.unsupported) + b"\0" if one.unsupported else b""
    numbers = {"processor": one.processor, "min_major": one.minimum[0],
               "min_minor": one.minimum[1], "max_major": one.maximum[0],
               "max_minor": one.maximum[1], "min_build": one.builds[0] or 0,
               "max_build": one.builds[1] or 0}
    for name, value in numbers.items():
        if not 0 <= value <= U32:
            fault(0, f"{name.replace('_', ' ')} {value}: the .000 file holds 0 to {U32:,}")
    at = HEADER.size
    offsets = {}
    for name, part in (("application", application), ("provider", provider),
                       ("unsupported", unsupported)):
        offsets[name] = at
        at += len(part)
        if at > U16:
            fault(0, f"the names and unsupported platforms take {at:,} bytes; the .000 "
                  f"header points to them with 16 bits")
    for kind in SECTIONS:
        offsets[kind] = at
        at += len(sections[kind])
    if at > U32:
        fault(0, f"{at:,} bytes, past what the .000 file's header can record")
    if faults:
        raise Unwritable(faults)
    return header(size=at, **numbers, **counts,
                  **{f"{kind}_at": offsets[kind] for kind in SECTIONS},
                  application_at=offsets["application"], application_length=len(application),
                  provider_at=offsets["provider"], provider_length=len(provider),
                  unsupported_at=offsets["unsupported"] if unsupported else 0,
                  unsupported_length=len(unsupported)) + \
        application + provider + unsupported + b"".join(sections[kind] for kind in SECTIONS)


ENTRY_NAMES = {"strings": "strings", "dirs": "folders", "files": "files",
               "hives": "registry keys", "values": "registry values", "links": "shortcuts"}


def payload(value, text):
    """A registry value's data as the .000 file holds it."""
    if value.type == ValueType.DWORD:
        return struct.pack("<I", value.data & U32)
    if value.type == ValueType.BINARY:
        return bytes(value.data)
    if value.type == ValueType.MULTI_STRING:
        return b"".join(text(s) + b"\0" for s in value.data) + b"\0"
    return text(value.data) + b"\0"


class Short(Exception):
    def __init__(self, at, size):
        super().__init__(at, size)
        self.at, self.size = at, size


class Data:
    """The script's bytes; every read inside them or Short."""

    def __init__(self, data):
        self.data = bytes(data)

    def take(self, at, size):
        if at < 0 or size < 0 or at + size > len(self.data):
            raise Short(at, size)
        return self.data[at:at + size]

    def unpack(self, layout, at):
        return layout.unpack(self.take(at, layout.size))


class Decoder:
    """The .000 file's bytes read into an Install, every fault and warning kept."""

    def __init__(self, name, data, numbers, code_page, shown):
        """`numbers`: the cabinet's members by their number (.NNN), each a list of names;
        `shown`: how text from the file is made printable."""
        self.name, self.numbers, self.code_page, self.shown = name, numbers, code_page, shown
        self.faults, self.warnings = [], []
        self.install = Install()
        self.strings, self.folders, self.files, self.hives = {}, {}, {}, {}
        if len(data) < HEADER.size or not data.startswith(MAGIC):
            self.fault(f"not a .000 file (it must start with MSCE and hold a {HEADER.size}-byte "
                       f"header; it has {len(data)} bytes starting {bytes(data[:4])!r})")
            return
        self.decode(Data(data))

    def fault(self, line):
        self.faults.append(f"{self.name}: {line}")

    def text(self, raw):
        return self.shown(raw.split(b"\0", 1)[0].decode(self.code_page, "replace"))

    def decode(self, data):
        size, one = len(data.data), self.install
        h = Header(*data.unpack(HEADER, 0))
        if h.size != size:
            self.fault(f"its header records {h.size} bytes, the file has {size}")
        one.processor = h.processor
        one.minimum, one.maximum = (h.min_major, h.min_minor), (h.max_major, h.max_minor)
        one.builds = (h.min_build or None, h.max_build or None)
        one.application = self.string(data, h.application_at, h.application_length,
                                      "application name")
        one.provider = self.string(data, h.provider_at, h.provider_length, "provider name")
        if not one.application:
            self.fault("names no application")
        unsupported = self.string(data, h.unsupported_at, h.unsupported_length,
                                  "list of unsupported platforms", whole=True)
        one.unsupported = tuple(t for t in unsupported.split("\0") if t)
        if size > model.SCRIPT_WARNING:
            self.warnings.append(f"{self.name}: {size:,} bytes, over 32 KB: older devices' "
                                 "installers refuse it")
        if h.files > MAX_FILES:
            self.fault(f"installs {h.files} files; with more than {MAX_FILES} the device's "
                       "installer takes the CAB for a setup DLL's and refuses it")
        one.counts = {"NumDirs": h.dirs, "NumFiles": h.files, "NumRegKeys": h.hives,
                      "NumRegVals": h.values, "NumShortcuts": h.links}
        # In this order each section names only ids defined by the ones before it.
        labels = ("strings", "folders", "files", "registry hives", "registry values",
                  "shortcuts")
        for kind, label in zip(SECTIONS, labels):
            count, at = getattr(h, kind), getattr(h, f"{kind}_at")
            if count == 0:
                continue
            if not HEADER.size <= at < size:
                self.fault(f"its {label} section ({count} entries) starts at byte {at}, "
                           f"outside the file ({HEADER.size} to {size - 1})")
                continue
            for n in range(count):
                try:
                    fields = data.unpack(ENTRIES[kind], at)
                    raw = data.take(at + ENTRIES[kind].size, fields[-1])
                except Short as short:
                    self.fault(f"its {label} section runs past the end of the file in entry "
                               f"{n + 1} of {count} (byte {short.at} + {short.size} > {size})")
                    break
                getattr(self, f"read_{kind}")(*fields[:-1], raw)
                at += ENTRIES[kind].size + len(raw)
        one.folders = list(self.folders.values())

    def string(self, data, at, length, what, whole=False):
        if length == 0:
            return ""
        try:
            raw = data.take(at, length)
        except Short:
            self.fault(f"its {what} runs past the end of the file (byte {at} + {length} > "
                       f"{len(data.data)})")
            return ""
        if not raw.endswith(b"\0"):
            self.fault(f"its {what} doesn't end in a NUL within its {length} bytes")
        if whole:
            return "\0".join(self.text(part) for part in raw.split(b"\0"))
        return self.text(raw)

    def path(self, raw, what):
        """The string ids of a folder, hive key or shortcut, joined; a fault for each id not
        defined. The list is as long as its length says: a folder's or key's ends in 0, a
        shortcut's doesn't, and a 0 ends any of them early."""
        ids = struct.unpack(f"<{len(raw) // 2}H", raw[:len(raw) // 2 * 2])
        if 0 in ids:
            ids = ids[:ids.index(0)]
        parts = []
        for n in ids:
            if n not in self.strings:
                self.fault(f"{what} names string {n}, which isn't defined")
            else:
                parts.append(self.strings[n])
        length = sum(len(part) + 1 for part in parts) - 1
        if length > MAX_PATH:  # and never joined: ids can name one long string many times
            self.fault(f"{what}: its path is {length} characters long, over the "
                       f"{MAX_PATH} the device takes")
            return ["..."]
        return parts

    def standard_folders(self, path, what):
        for found in model.CE_FOLDER.finditer(path):
            digits = found.group(1)
            number = int(digits) if len(digits) <= 2 else 0
            if number in model.SOME_DEVICES_FOLDERS:
                self.warnings.append(f"{self.name}: {what}: %CE{number}% is a folder only some "
                                     "devices define; others refuse the CAB")
            elif number not in model.STANDARD_FOLDERS:
                self.fault(f"{what}: %CE{digits}% names no standard folder (%CE1% to %CE17%, "
                           "%CE18% and %CE19% on some devices)")

    def read_strings(self, n, raw):
        if n in self.strings:
            self.fault(f"string {n} is defined twice")
        self.strings[n] = self.text(raw)

    def read_dirs(self, n, raw):
        what = f"folder {n}"
        if n in self.folders:
            self.fault(f"{what} is defined twice")
        self.folders[n] = "\\".join(self.path(raw, what))
        self.standard_folders(self.folders[n], what)

    def read_files(self, n, folder, _, flags, raw):
        name = self.text(raw)
        what = f"file {n} ({name})"
        if not name:
            self.fault(f"file {n} has no name to install as")
        if n in self.files:
            self.fault(f"file id {n} is listed twice")
        if folder not in self.folders:
            self.fault(f"{what} goes into folder {folder}, which isn't defined")
        member = ""
        if not 1 <= n <= MAX_FILES:
            self.fault(f"{what}: its id names no member of the cabinet (1 to {MAX_FILES}; "
                       f".000 is the script, .999 the setup DLL)")
        elif not self.numbers.get(n):
            self.fault(f"{what}: no member of the cabinet is numbered .{n:03d}")
        elif len(self.numbers[n]) > 1:
            self.fault(f"{what}: {len(self.numbers[n])} members are numbered .{n:03d} "
                       f"({', '.join(self.numbers[n])}); the installer takes one of them")
        else:
            member = self.numbers[n][0]
        self.files[n] = File(n, self.folders.get(folder, "?"), name, flags, member)
        self.install.files.append(self.files[n])

    def read_hives(self, n, root, _, raw):
        what = f"registry hive {n}"
        if n in self.hives:
            self.fault(f"{what} is defined twice")
        if root not in model.Root._value2member_map_:
            self.fault(f"{what}: root {root} is none of 1 to 4 (HKCR, HKCU, HKLM, HKU)")
        self.hives[n] = (root, "\\".join(self.path(raw, what)))

    def read_values(self, n, hive, substitute, flags, raw):
        name, nul, rest = raw.partition(b"\0")
        name = self.text(name)
        what = f"registry value {n} ({name or 'default'})"
        kind = ValueType(flags & TYPE_BITS)
        data = None
        if hive not in self.hives:
            self.fault(f"{what} is in registry hive {hive}, which isn't defined")
        if not nul:
            self.fault(f"{what}: its name doesn't end in a NUL")
        elif kind == ValueType.DWORD:
            if len(rest) != 4:
                self.fault(f"{what}: a DWORD of {len(rest)} bytes, not 4")
            else:
                data = struct.unpack("<I", rest)[0]
        elif kind in (ValueType.STRING, ValueType.MULTI_STRING):
            if not rest.endswith(b"\0"):
                self.fault(f"{what}: a {kind.shown} without its closing NUL")
            elif kind == ValueType.STRING:
                data = self.text(rest)
            else:
                data = tuple(self.text(t) for t in rest[:-1].split(b"\0") if t)
        else:
            data = rest
        root, key = self.hives.get(hive, (0, "?"))
        self.install.registry.append(Value(root, key, name, kind, data, bool(flags & NOCLOBBER),
                                           bool(substitute)))

    def read_links(self, n, folder, base, target, kind, raw):
        # The folder field names a DIRS entry, used where the base is 0 (not a standard folder).
        what = f"shortcut {n}"
        parts = self.path(raw, what)
        if base and base not in model.STANDARD_FOLDERS and \
                base not in model.SOME_DEVICES_FOLDERS:
            self.fault(f"{what}: its folder %CE{base}% is no standard folder (%CE1% to %CE17%)")
        elif base in model.SOME_DEVICES_FOLDERS:
            self.warnings.append(f"{self.name}: {what}: %CE{base}% is a folder only some "
                                 "devices define; others refuse the CAB")
        if not base and folder and folder not in self.folders:
            self.fault(f"{what} is in folder {folder}, which isn't defined")
        if kind == 0 and target and target not in self.folders:
            self.fault(f"{what} points to folder {target}, which isn't defined")
        elif kind == 1 and target not in self.files:
            self.fault(f"{what} points to file {target}, which isn't defined")
        elif kind not in (0, 1):
            self.fault(f"{what}: its type {kind} is neither 0 (a folder) nor 1 (a file)")
        if base:
            where = "\\".join([f"%CE{base}%", *parts[:-1]])
        else:
            where = self.folders.get(folder, "%InstallDir%") if folder else "%InstallDir%"
            where = "\\".join([where, *parts[:-1]])
        if kind == 1:
            points = self.files[target].path if target in self.files else "?"
        else:
            points = self.folders.get(target, "%InstallDir%") if target else "%InstallDir%"
        self.install.shortcuts.append(Shortcut(where, parts[-1] if parts else "", points,
                                               kind == 0))


def decode(name, data, numbers, code_page="cp1252", shown=str):
    """(the Install, faults, warnings) of the .000 file `data`."""
    decoder = Decoder(name, data, numbers, code_page, shown)
    return decoder.install, decoder.faults, decoder.warnings
