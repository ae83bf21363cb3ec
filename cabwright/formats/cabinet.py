"""A device application's CAB file, read whole, as the device's installer reads it.

The cabinet itself is read by GCab (GNOME's cabinet library, through Debian's GObject
introspection binding): its folders, its files, each data block's checksum. Inside it, the
install script takes one of two forms, and a CAB may carry both:

- the .000 file: a 100-byte little-endian header (lengths, counts and offsets, the processor and
  system versions, the application's and provider's names), then six sections of numbered
  entries: strings, folders (lists of string ids), files (each a cabinet member numbered .NNN,
  installed into a folder under a name), registry hives and values, and shortcuts;
- _setup.xml: provisioning XML whose Install characteristic names the application and whose
  FileOperation characteristic extracts members into folders.

Every entry is checked against what the installer needs (each id it names defined, each file
present as exactly one member, each value's data fitting its type) and every fault is kept, one
line each, so a packager sees them all at once. The decoder reads only the bytes it was given,
through Data, whose every read is bounds-checked; no count or length in the file makes it loop
or allocate more than the file's own size allows.
"""
import base64
import os
import pathlib
import re
import struct
import tempfile

from cabwright.formats import signature
from cabwright.diagnostics import Faults

HEADER = 100
SCRIPT_WARNING = 32 * 1024  # older devices' installers refuse a larger .000 file
SCRIPT_LIMIT = 16 << 20  # far past any real script: a member this big isn't read into memory
MOST_FILES = 998  # with more, the installer takes the CAB for a setup DLL's and refuses it
SETUP_DLL = 999
PATH_LIMIT = 260  # the longest path the device's file system and registry take
STANDARD_FOLDERS = range(1, 18)  # %CE1% to %CE17%
XML_SCRIPT = "_setup.xml"
# Processor types the device installer knows by number; others are shown as the number.
PROCESSORS = {0: "any processor", 386: "x86", 486: "x86", 586: "x86", 2577: "ARM",
              4000: "MIPS", 10003: "SH3", 10004: "SH3E", 10005: "SH4", 70001: "ARM"}
ROOTS = {1: "HKCR", 2: "HKCU", 3: "HKLM", 4: "HKU"}
DWORD, STRING, MULTI_STRING, BINARY = 0x00010001, 0, 0x00010000, 1
TYPES = {DWORD: "DWORD", STRING: "string", MULTI_STRING: "multi-string", BINARY: "binary"}
NOCLOBBER = 2
FILE_FLAGS = ((0x80000000, "shared"), (0x40000000, "always overwrite"),
              (0x20000000, "don't overwrite newer"), (0x10000000, "self-register"),
              (0x00000400, "only over an existing file"), (0x00000010, "never overwrite"),
              (0x00000002, "never skipped"), (0x00000001, "warn if skipped"))
# Copy flags as _setup.xml's Extract parms: the names the SDK tool was seen to write. Other
# flags' parms go unread, and only these bits are compared with the .000 file's.
COPY_PARMS = ((0x00000010, "NoOverwrite"), (0x10000000, "SelfRegister"))
COMPARED_FLAGS = sum(bit for bit, _ in COPY_PARMS)
MULTI_SEPARATOR = "\uf000"  # between a multi-string's parts in _setup.xml
NUMBERED = re.compile(r"\.([0-9]{3})$")
CE_FOLDER = re.compile(r"%CE([0-9]+)%", re.IGNORECASE)
UNPRINTABLE = re.compile(r"[\x00-\x1f\x7f-\x9f]")


def gcab():
    import gi
    gi.require_version("GCab", "1.0")
    from gi.repository import GCab, Gio, GLib
    return GCab, Gio, GLib


def shown(text):
    """Text from the file as it may be printed on one line: control characters escaped."""
    return UNPRINTABLE.sub(lambda m: f"\\x{ord(m.group()):02x}", text)


def member_number(name):
    found = NUMBERED.search(name)
    return int(found.group(1)) if found else None


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
        return struct.unpack(layout, self.take(at, struct.calcsize(layout)))


def text(raw, code_page="cp1252"):
    """A string as the installer writes it: 8-bit code page, up to its NUL."""
    return shown(raw.split(b"\0", 1)[0].decode(code_page, "replace"))


class Script:
    """The .000 file, decoded: header fields, the six sections by id, and every fault."""

    def __init__(self, name, data, numbers, code_page="cp1252"):
        """`numbers`: the cabinet's members by their number (.NNN), each a list of names;
        `code_page`: the one the script's strings are in."""
        self.name, self.numbers, self.code_page = name, numbers, code_page
        self.faults, self.warnings = [], []
        self.application = self.provider = ""
        self.processor, self.minimum, self.maximum, self.builds = 0, (0, 0), (0, 0), (0, 0)
        self.unsupported = []
        self.strings, self.folders, self.hives = {}, {}, {}
        self.files = {}  # id -> (folder id, flags, name, member name)
        self.values = []  # (hive id, name, type, flags, value shown)
        self.registry = {}  # (hive id, name folded) -> (type, value, substituted on the device)
        self.links = []  # (folder, path, kind, target)
        if len(data) < HEADER or not data.startswith(b"MSCE"):
            self.fault(f"not a .000 file (it must start with MSCE and hold a {HEADER}-byte "
                       f"header; it has {len(data)} bytes starting {bytes(data[:4])!r})")
            return
        self.decode(Data(data))

    def fault(self, line):
        self.faults.append(f"{self.name}: {line}")

    def text(self, raw):
        return text(raw, self.code_page)

    def decode(self, data):
        size = len(data.data)
        (length,) = data.unpack("<I", 8)
        if length != size:
            self.fault(f"its header records {length} bytes, the file has {size}")
        fields = data.unpack("<7I", 20)
        self.processor = fields[0]
        self.minimum, self.maximum, self.builds = fields[1:3], fields[3:5], fields[5:7]
        counts, offsets = data.unpack("<6H", 48), data.unpack("<6I", 60)
        names = data.unpack("<6H", 84)
        self.application = self.string(data, *names[0:2], "application name")
        self.provider = self.string(data, *names[2:4], "provider name")
        if not self.application:
            self.fault("names no application")
        unsupported = self.string(data, *names[4:6], "list of unsupported platforms", whole=True)
        self.unsupported = [t for t in unsupported.split("\0") if t]
        if size > SCRIPT_WARNING:
            self.warnings.append(f"{self.name}: {size:,} bytes, over 32 KB: older devices' "
                                 "installers refuse it")
        if counts[2] > MOST_FILES:
            self.fault(f"installs {counts[2]} files; with more than {MOST_FILES} the device's "
                       "installer takes the CAB for a setup DLL's and refuses it")
        # In this order each section names only ids defined by the ones before it.
        sections = (("strings", self.string_entry), ("folders", self.folder_entry),
                    ("files", self.file_entry), ("registry hives", self.hive_entry),
                    ("registry values", self.value_entry), ("shortcuts", self.link_entry))
        for (label, entry), count, at in zip(sections, counts, offsets):
            if count == 0:
                continue
            if not HEADER <= at < size:
                self.fault(f"its {label} section ({count} entries) starts at byte {at}, "
                           f"outside the file ({HEADER} to {size - 1})")
                continue
            for n in range(count):
                try:
                    at = entry(data, at)
                except Short as short:
                    self.fault(f"its {label} section runs past the end of the file in entry "
                               f"{n + 1} of {count} (byte {short.at} + {short.size} > {size})")
                    break

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

    def path(self, raw, what, separator="\\"):
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
        if length > PATH_LIMIT:  # and never joined: ids can name one long string many times
            self.fault(f"{what}: its path is {length} characters long, over the "
                       f"{PATH_LIMIT} the device takes")
            return "..."
        return separator.join(parts)

    def standard_folders(self, path, what):
        for found in CE_FOLDER.finditer(path):
            digits = found.group(1)
            if len(digits) > 2 or int(digits) not in STANDARD_FOLDERS:
                self.fault(f"{what}: %CE{digits}% names no standard folder (%CE1% to %CE17%)")

    def string_entry(self, data, at):
        n, length = data.unpack("<HH", at)
        raw = data.take(at + 4, length)
        if n in self.strings:
            self.fault(f"string {n} is defined twice")
        self.strings[n] = self.text(raw)
        return at + 4 + length

    def folder_entry(self, data, at):
        n, length = data.unpack("<HH", at)
        raw = data.take(at + 4, length)
        what = f"folder {n}"
        if n in self.folders:
            self.fault(f"{what} is defined twice")
        self.folders[n] = self.path(raw, what)
        self.standard_folders(self.folders[n], what)
        return at + 4 + length

    def file_entry(self, data, at):
        n, folder, _, flags, length = data.unpack("<HHHIH", at)
        name = self.text(data.take(at + 12, length))
        what = f"file {n} ({name})"
        if not name:
            self.fault(f"file {n} has no name to install as")
        if n in self.files:
            self.fault(f"file id {n} is listed twice")
        if folder not in self.folders:
            self.fault(f"{what} goes into folder {folder}, which isn't defined")
        member = None
        if not 1 <= n <= MOST_FILES:
            self.fault(f"{what}: its id names no member of the cabinet (1 to {MOST_FILES}; "
                       f".000 is the script, .999 the setup DLL)")
        elif not self.numbers.get(n):
            self.fault(f"{what}: no member of the cabinet is numbered .{n:03d}")
        elif len(self.numbers[n]) > 1:
            self.fault(f"{what}: {len(self.numbers[n])} members are numbered .{n:03d} "
                       f"({', '.join(self.numbers[n])}); the installer takes one of them")
        else:
            member = self.numbers[n][0]
        self.files[n] = (folder, flags, name, member)
        return at + 12 + length

    def hive_entry(self, data, at):
        n, root, _, length = data.unpack("<HHHH", at)
        raw = data.take(at + 8, length)
        what = f"registry hive {n}"
        if n in self.hives:
            self.fault(f"{what} is defined twice")
        if root not in ROOTS:
            self.fault(f"{what}: root {root} is none of 1 to 4 (HKCR, HKCU, HKLM, HKU)")
        self.hives[n] = f"{ROOTS.get(root, f'root {root}')}\\{self.path(raw, what)}"
        return at + 8 + length

    def value_entry(self, data, at):
        n, hive, substitute, flags, length = data.unpack("<HHHIH", at)
        raw = data.take(at + 12, length)
        name, nul, rest = raw.partition(b"\0")
        name = self.text(name)
        what = f"registry value {n} ({name or 'default'})"
        kind = flags & (DWORD | STRING | MULTI_STRING | BINARY)
        value = data = None
        if hive not in self.hives:
            self.fault(f"{what} is in registry hive {hive}, which isn't defined")
        if not nul:
            self.fault(f"{what}: its name doesn't end in a NUL")
        elif kind == DWORD:
            if len(rest) != 4:
                self.fault(f"{what}: a DWORD of {len(rest)} bytes, not 4")
            else:
                data = struct.unpack("<I", rest)[0]
                value = str(data)
        elif kind in (STRING, MULTI_STRING):
            if not rest.endswith(b"\0"):
                self.fault(f"{what}: a {TYPES[kind]} without its closing NUL")
            elif kind == STRING:
                data = self.text(rest)
                value = f'"{data}"'
            else:
                data = tuple(self.text(t) for t in rest[:-1].split(b"\0") if t)
                value = ", ".join(f'"{t}"' for t in data)
        else:
            data = rest
            value = rest[:32].hex(" ") + (" ..." if len(rest) > 32 else "")
        self.registry[(hive, name.casefold())] = (TYPES[kind], data, bool(substitute))
        self.values.append((hive, name, TYPES[kind], flags, value))
        return at + 12 + length

    def link_entry(self, data, at):
        # The folder field names a DIRS entry, used where the base is 0 (not a standard folder).
        n, folder, base, target, kind, length = data.unpack("<6H", at)
        raw = data.take(at + 12, length)
        what = f"shortcut {n}"
        path = self.path(raw, what)
        if base and base not in STANDARD_FOLDERS:
            self.fault(f"{what}: its folder %CE{base}% is no standard folder (%CE1% to %CE17%)")
        if not base and folder and folder not in self.folders:
            self.fault(f"{what} is in folder {folder}, which isn't defined")
        if kind == 0 and target and target not in self.folders:
            self.fault(f"{what} points to folder {target}, which isn't defined")
        elif kind == 1 and target not in self.files:
            self.fault(f"{what} points to file {target}, which isn't defined")
        elif kind not in (0, 1):
            self.fault(f"{what}: its type {kind} is neither 0 (a folder) nor 1 (a file)")
        self.links.append((self.link_folder(base, folder), path, kind, target))
        return at + 12 + length

    def link_folder(self, base, folder):
        if base:
            return f"%CE{base}%"
        return self.folders.get(folder, "%InstallDir%") if folder else "%InstallDir%"


class SetupXml:
    """_setup.xml: the Install characteristic's parms, and what its FileOperation and Registry
    characteristics do."""

    def __init__(self, name, data, members):
        self.name = name
        self.faults = []
        self.application, self.folder, self.install = "", None, {}
        self.folders = []  # each folder's path, in the document's order
        self.files = []  # (folder, name, member, copy flags)
        self.links = []  # (folder, name, target)
        self.registry = []  # (key, name, type, value, substituted on the device)
        from defusedxml import DefusedXmlException, ElementTree
        try:
            root = ElementTree.fromstring(data)
        except DefusedXmlException as error:  # an entity can expand to gigabytes: none is read
            self.fault(f"declares an entity or a DTD, which an install script needs not "
                       f"({shown(repr(error))})")
            return
        except (ElementTree.ParseError, ValueError) as error:
            self.fault(f"not well-formed XML ({shown(str(error))})")
            return
        except LookupError as error:  # an encoding declared that no decoder here knows
            self.fault(f"declares an encoding this reader doesn't know ({shown(str(error))}); "
                       "the device reads UTF-8")
            return
        if root.tag != "wap-provisioningdoc":
            self.fault(f"its root element is <{shown(str(root.tag))}>, not <wap-provisioningdoc>")
            return
        install = next(iter(self.characteristics(root, "Install")), None)
        if install is None:
            self.fault("has no Install characteristic")
        else:
            self.install = {p.get("name"): shown(p.get("value") or "") for p in install.iter("parm")}
            self.application = self.install.get("AppName", "")
            self.folder = self.install.get("InstallDir")
            if not self.application:
                self.fault("its Install characteristic names no AppName")
        names = {m.casefold(): m for m in members}
        operations = self.characteristics(root, "FileOperation")
        for folder in (f for o in operations for f in o.findall("characteristic")):
            where = shown(folder.get("type") or "")
            self.folders.append(where)
            for item in folder.findall("characteristic"):
                target = shown(item.get("type") or "")
                for action in item.findall("characteristic"):
                    parms = {p.get("name"): shown(p.get("value") or "")
                             for p in action.findall("parm")}
                    source = parms.get("Source")
                    if action.get("type") == "Extract":
                        if not source:
                            self.fault(f"the Extract of {where}\\{target} names no Source")
                        elif source.casefold() not in names:
                            self.fault(f"the Extract of {where}\\{target}: Source {source} is "
                                       "not a member of the cabinet")
                        flags = sum(bit for bit, parm in COPY_PARMS if parm in parms)
                        self.files.append((where, target, names.get((source or "").casefold()),
                                           flags))
                    elif action.get("type") == "Shortcut":
                        self.links.append((where, target, source))
        registry = self.characteristics(root, "Registry")
        for key in (k for r in registry for k in r.findall("characteristic")):
            for value in key.findall("parm"):
                self.registry.append((shown(key.get("type") or ""), value.get("name") or "",
                                      value.get("datatype") or "", value.get("value") or "",
                                      value.get("translation") == "install"))

    def fault(self, line):
        self.faults.append(f"{self.name}: {line}")

    @staticmethod
    def characteristics(root, kind):
        return [c for c in root.findall("characteristic") if c.get("type") == kind]


def folded(path):
    """A device path as both scripts may write it: letter case, doubled and outer backslashes
    aside."""
    while "\\\\" in path:
        path = path.replace("\\\\", "\\")
    return path.strip("\\").casefold()


def xml_value(datatype, value, expected=None):
    """(type, value) of a _setup.xml registry parm, in the reader's terms of the .000 file. A
    binary value may be base64 or hexadecimal digits: the reading that gives the .000 file's
    bytes (`expected`), where one does."""
    if datatype == "integer":
        try:
            number = int(value, 16) if value.lower().startswith("0x") else int(value)
            return "DWORD", number & 0xFFFFFFFF
        except ValueError:
            return "DWORD", value
    if datatype == "multiplestring":
        return "multi-string", tuple(t for t in value.split(MULTI_SEPARATOR) if t)
    if datatype == "binary":
        readings = []
        for reading in (lambda: base64.b64decode(value, validate=True),
                        lambda: bytes.fromhex(value)):
            try:
                readings.append(reading())
            except ValueError:
                pass
        return "binary", expected if expected in readings else next(iter(readings), value)
    return datatype, value


def disagreements(script, xml):
    """Where the .000 file and _setup.xml tell the device different things, one line each:
    devices install from one or the other, so a CAB whose two scripts differ installs
    differently on different devices."""
    lines = []
    install_dir = xml.folder or "%InstallDir%"

    def where(path):
        """A folder, or a file in one, as both name it: from %InstallDir% or as its value."""
        first, sep, rest = path.partition("\\")
        return folded(install_dir + sep + rest if first.casefold() == "%installdir%" else path)

    def link(path):  # a shortcut's name, with or without its .lnk
        return where(path).removesuffix(".lnk")

    def compare(what, ours, theirs):
        for key in dict.fromkeys([*ours, *theirs]):
            a, b = ours.get(key, "nothing"), theirs.get(key, "nothing")
            if a != b:
                lines.append(f"{what} {key}: its .000 file says {a}, its {XML_SCRIPT} {b}")
    if xml.application not in (f"{script.provider} {script.application}", script.application):
        lines.append(f"the application: its .000 file names '{script.application}' by "
                     f"'{script.provider}', its {XML_SCRIPT} '{xml.application}' (the provider, "
                     "a blank and the application, where they agree)")
    compare("file", {f"{where(script.folders.get(d, '?'))}\\{n.casefold()}":
                     f"{m} ({f & COMPARED_FLAGS:#x})" for d, f, n, m in script.files.values()},
            {f"{where(d)}\\{n.casefold()}": f"{m} ({f & COMPARED_FLAGS:#x})"
             for d, n, m, f in xml.files})
    ours = {}
    for folder, path, kind, target in script.links:
        *inside, name = path.split("\\")
        if kind == 1 and target in script.files:
            d, _, n, _ = script.files[target]
            points = f"{script.folders.get(d, '?')}\\{n}"
        else:
            points = script.folders.get(target, "%InstallDir%")
        ours[link("\\".join([folder, *inside, name]))] = where(points)
    compare("shortcut", ours, {link(f"{d}\\{n}"): where(t or "") for d, n, t in xml.links})

    def value(kind, data, substitute):
        filled = ", filled in on the device" if substitute else ""
        return f"{kind} {data.hex(' ') if isinstance(data, bytes) else repr(data)}{filled}"
    ours = {f"{folded(script.hives.get(h, '?'))}: {n or '(default)'}": v
            for (h, n), v in script.registry.items()}
    theirs = {}
    for k, n, t, v, s in xml.registry:
        key = f"{folded(k)}: {n.casefold() or '(default)'}"
        theirs[key] = value(*xml_value(t, v, ours.get(key, (0, None))[1]), s)
    compare("registry value", {key: value(*v) for key, v in ours.items()}, theirs)
    counts = (("NumDirs", script.folders), ("NumFiles", script.files),
              ("NumRegKeys", script.hives), ("NumRegVals", script.registry),
              ("NumShortcuts", script.links))
    for name, items in counts:
        if name in xml.install and xml.install[name] != str(len(items)):
            lines.append(f"{name}: its {XML_SCRIPT} says {xml.install[name]}, its .000 file "
                         f"has {len(items)}")
    return lines


class Cabinet:
    """A device CAB read whole: its members, its script in either form or both, what it
    installs. `warnings`: lines for what the installer lets by."""

    def __init__(self, members, scripts, code_page="cp1252"):
        """`members`: (name, size) in the cabinet's order; `scripts`: member name -> bytes of
        each script member read (the .000 file, _setup.xml); `code_page`: the .000 file's."""
        self.members = members
        faults, self.warnings = [], []
        numbers = {}
        for name, _ in members:
            numbers.setdefault(member_number(name), []).append(name)
        self.script = self.xml = None
        scripts_000 = numbers.get(0, [])
        xml = [name for name, _ in members if name.casefold() == XML_SCRIPT]
        if len(scripts_000) > 1:
            faults.append(f"{len(scripts_000)} members are numbered .000 "
                          f"({', '.join(scripts_000)}); the installer reads one script")
        elif scripts_000:
            self.script = Script(scripts_000[0], scripts[scripts_000[0]], numbers, code_page)
            faults += self.script.faults
            self.warnings += self.script.warnings
        if xml:
            self.xml = SetupXml(xml[0], scripts[xml[0]], [name for name, _ in members])
            faults += self.xml.faults
        if not scripts_000 and not xml:
            faults.append("holds no description file for the device installer (a file whose "
                          "name ends in .000, or _setup.xml): not a device application's CAB")
        self.disagreements = disagreements(self.script, self.xml) \
            if self.script and self.xml and not faults else []
        self.warnings += self.disagreements
        dll = numbers.get(SETUP_DLL, [])
        self.setup_dll = next(((n, s) for n, s in members if n == dll[0]), None) if dll else None
        if len(dll) > 1:
            faults.append(f"{len(dll)} members are numbered .999 ({', '.join(dll)}); the "
                          "installer loads one setup DLL")
        installed = {f[3] for f in self.script.files.values()} if self.script else set()
        installed |= {f[2] for f in self.xml.files} if self.xml else set()
        if self.xml and self.xml.install.get("SetupDLL"):
            installed.add(self.xml.install["SetupDLL"])
        for name, _ in members:
            if name not in installed | set(scripts) | set(dll):
                self.warnings.append(f"{name} is installed by nothing in the script")
        if faults:
            raise Faults(faults)
        source = self.script or self.xml
        self.application = source.application
        self.provider = self.script.provider if self.script else ""
        self.processor = self.script.processor if self.script else 0
        self.minimum = self.script.minimum if self.script else (0, 0)
        self.maximum = self.script.maximum if self.script else (0, 0)
        self.form = " and ".join(f for f, s in (("a .000 file", self.script),
                                                (XML_SCRIPT, self.xml)) if s)
        self.signature = None  # a signature.Signature, where one follows the cabinet

    def signed(self):
        return self.signature.shown() if self.signature else "not signed"

    def processor_name(self):
        name = PROCESSORS.get(self.processor)
        return f"{name} ({self.processor})" if name else f"processor type {self.processor}"

    def versions(self):
        low = "{}.{}".format(*self.minimum) if any(self.minimum) else "any"
        high = "{}.{}".format(*self.maximum) if any(self.maximum) else "any"
        return f"system {low} to {high}"


def is_script(name):
    return member_number(name) == 0 or name.casefold() == XML_SCRIPT


# The OEM code page a cabinet's member names are in, for each ANSI code page the packager may
# give: Windows' cabinet tools write names in it unless a name's UTF-8 attribute is set.
OEM = {"cp1250": "cp852", "cp1251": "cp866", "cp1252": "cp850", "cp1253": "cp737",
       "cp1254": "cp857", "cp1255": "cp862", "cp1256": "cp720", "cp1257": "cp775"}
NAME_IS_UTF = 0x80
BLOCK_MOST = 32768 + 6144  # the most one data block unpacks to (an uncompressible block grows)


def structure(file, size, code_page="cp1252"):
    """The cabinet's own tables read from its bytes, as the device's installer and libmspack
    read them: (each member's name, decoded as the format says, in the file table's order;
    every fault). The file table, each folder's data blocks and each member's place in its
    folder must lie inside the cabinet; a folder holds at least one block."""
    def take(at, length):
        if at < 0 or length < 0 or at + length > size:
            raise Short(at, length)
        file.seek(at)
        return file.read(length)
    faults, names = [], []
    try:
        head = take(0, 36)
        size = min(size, struct.unpack_from("<I", head, 8)[0])
        files_at, = struct.unpack_from("<I", head, 16)
        folders, count, flags = struct.unpack_from("<3H", head, 26)
        folder_reserve = data_reserve = 0
        at = 36
        if folders == 0 and count:
            return [], [f"it lists {count} files and no folder to hold them"]
        if flags & 4:
            header_reserve, folder_reserve, data_reserve = struct.unpack("<HBB", take(36, 4))
            at = 40 + header_reserve
        for _ in range(2 * bool(flags & 1) + 2 * bool(flags & 2)):  # the set's other cabinets
            end = take(at, min(256, size - at)).find(b"\0")
            if end < 0:
                raise Short(at, 256)
            at += end + 1
        if not files_at or files_at >= size or files_at < at:
            return [], [f"its file table is said to start at byte {files_at}, outside the "
                        f"cabinet's {size} bytes past its header"]
        sizes = []  # each folder's unpacked size; None where the folder is told as damaged
        for n in range(folders):
            start, blocks, _ = struct.unpack("<IHH", take(at + n * (8 + folder_reserve), 8))
            told = len(faults)
            if blocks == 0:
                faults.append(f"its folder {n + 1} claims no data blocks")
            unpacked, block = 0, start
            for _ in range(blocks):
                _, packed, length = struct.unpack("<IHH", take(block, 8))
                if length > BLOCK_MOST:
                    faults.append(f"its folder {n + 1} has a data block of {length:,} bytes, "
                                  f"past the {BLOCK_MOST:,} a block holds")
                    break
                unpacked += length
                block += 8 + data_reserve + packed
                if block > size:
                    faults.append(f"its folder {n + 1}'s data blocks run past the cabinet's "
                                  f"{size} bytes")
                    break
            sizes.append(unpacked if len(faults) == told else None)
        oem = OEM.get(code_page, "cp850")
        at = files_at
        for n in range(count):
            length, offset, folder, _, _, attributes = struct.unpack("<IIHHHH", take(at, 16))
            raw = take(at + 16, min(256, size - at - 16))
            end = raw.find(b"\0")
            if end < 0:
                return names, faults + [f"its file table's entry {n + 1} has a name without an "
                                        "end"]
            name = shown(raw[:end].decode("utf-8" if attributes & NAME_IS_UTF else oem,
                                          "replace"))
            names.append(name)
            at += 16 + end + 1
            if folder >= folders:
                faults.append(f"{name}: in folder {folder + 1}, and the cabinet has "
                              f"{folders} (a cabinet set's continued member?)")
            elif sizes[folder] is not None and offset + length > sizes[folder]:
                faults.append(f"{name}: its {length:,} bytes at {offset:,} run past its folder's "
                              f"{sizes[folder]:,}")
    except Short:
        faults.append("its tables run past the cabinet's end")
    return names, faults


def read(path, code_page="cp1252"):
    """The Cabinet at `path`, once every member reads back whole and its script is sound;
    Faults with every fault otherwise. The cabinet is streamed from the file and its members
    extracted one at a time into a scratch folder, each removed once its size is known: only the
    script stays in memory, however big the CAB."""
    GCab, Gio, GLib = gcab()
    path = pathlib.Path(path)
    try:
        with open(path, "rb") as file:
            head = file.read(signature.HEADER)
            size = os.fstat(file.fileno()).st_size
            if head[:4] != b"MSCF":
                raise Faults("not a cabinet (a CAB file starts with MSCF)")
            # Checked before GCab sees it: GCab allocates whatever length the reserve gives.
            where = signature.placed(head)
            recorded = struct.unpack_from("<I", head, 8)[0] if where else 0
            if where and where[0] != recorded:
                raise Faults(f"its header reserve puts a signature at byte {where[0]}, not "
                               f"right after the cabinet's {recorded} bytes")
            if where and sum(where) != size:
                raise Faults(f"its header records {recorded} bytes and a signature of "
                               f"{where[1]:,} bytes after them, the file has {size} (cut short "
                               "or padded on the way?)")
            if where:
                file.seek(where[0])
                der = file.read(where[1])
            names, faults = structure(file, size, code_page)
            if faults:
                raise Faults(faults)
    except OSError as error:
        raise Faults(f"cannot be read ({error.strerror})") from None
    cabinet = GCab.Cabinet.new()
    try:
        cabinet.load(Gio.File.new_for_path(str(path)).read(None), None)
    except GLib.Error as error:
        raise Faults(f"not a cabinet GCab can read ({error.message})") from None
    signed = None
    if where:
        try:
            signed = signature.Signature(der)
        except signature.Unreadable as error:
            raise Faults(f"its signature ({where[1]:,} bytes at byte {where[0]}) can't be "
                           f"read as one ({shown(str(error))})") from None
    # The installer compares the two: a file cut short or grown in transfer fails on the
    # user's machine.
    elif cabinet.get_size() != size:
        raise Faults(f"its header records {cabinet.get_size()} bytes, the file has {size} "
                       "(cut short or padded on the way?)")
    members, scripts, faults = [], {}, []
    with tempfile.TemporaryDirectory(prefix="cabinet-") as scratch:
        def done():
            """The member extracted last: its size kept, its bytes too if it's a script."""
            if not members:
                return
            name, _ = members[-1]
            extracted = os.path.join(scratch, str(len(members)))
            length = os.path.getsize(extracted) if os.path.exists(extracted) else 0
            members[-1] = (name, length)
            if is_script(name) and length > SCRIPT_LIMIT:
                faults.append(f"{name}: {length:,} bytes, too big to be an install script")
                scripts[name] = b""
            elif is_script(name):
                with open(extracted, "rb") as file:
                    scripts[name] = file.read()
            if os.path.exists(extracted):
                os.unlink(extracted)

        def each(member, *_):
            done()
            # A name of our own: the cabinet's names may hold '..' or '/'.
            member.set_extract_name(str(len(members) + 1))
            # The name as the table has it: GCab reads names as UTF-8 whatever the table says.
            members.append((names[len(members)] if len(members) < len(names) else
                            f"(member {len(members) + 1})", None))
            return True
        try:
            cabinet.extract(Gio.File.new_for_path(scratch), each, None, None)
        except GLib.Error as error:
            raise Faults(f"its files don't read back whole ({error.message})") from None
        done()
    if signed:
        faults += [shown(line) for line in signed.check(path)]
    if faults:
        raise Faults(faults)
    cab = Cabinet(members, scripts, code_page)
    cab.signature = signed
    return cab
