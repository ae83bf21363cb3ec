"""An application's .inf file, read as the device SDK's CAB tool documents it, into what one
device CAB installs: for each processor named, the files with their sources and destinations,
the registry values, the shortcuts, the setup DLL.

The file is INF syntax: [sections] in any letter case (one named twice is one section), ';'
comments outside quotes, comma-separated fields, "quoted" values, %name% from [Strings] and
[CEStrings] wherever a string may stand, %CE1% to %CE17% kept for the device's installer.
UTF-16 (either byte order) or UTF-8 where a byte-order mark says so, as development
environments write them; else UTF-8 (as the SDK tool asks for text beyond ASCII), else the code
page given; a NUL at the end, as an older environment leaves one, ends the file. For a processor
name, the sections [CEDevice], [SourceDisksNames] and [SourceDisksFiles] suffixed with
'.<name>' add to the plain ones, their keys standing in for the plain ones' keys; the lists of
[DefaultInstall.<name>] follow those of [DefaultInstall], as the SDK tool takes them.

A device folder is a path (model.py): written in the .inf split at its backslashes, a leading
one dropped, except the value of InstallDir, which is one part whatever it holds.
"""
import os
import re

from cabwright.diagnostics import told
from cabwright.formats import model
from cabwright.formats.model import CopyFlag, ValueType

SIGNATURES = ("$windows nt$", "$chicago$", "$windows 95$")
CE_SIGNATURE = "$Windows CE$"
ROOTS = {"HKCR": 1, "HKCU": 2, "HKLM": 3}
# [DefaultInstall]'s keys that list sections or files: the plain section's entries, then the
# processor's.
LISTS = ("copyfiles", "addreg", "ceshortcuts", "ceselfregister")
VARIABLE = re.compile(r"%([^%]*)%")
# What the device's installer fills in itself in a registry value: the folder the user picked.
SUBSTITUTED = re.compile(r"%(InstallDir|CE[0-9]+)%", re.IGNORECASE)
KEPT_IN_VALUES = ("installdir",)  # and in folders, as one part
BOMS = ((b"\xef\xbb\xbf", "utf-8"), (b"\xff\xfe", "utf-16-le"), (b"\xfe\xff", "utf-16-be"))
EXPANDED = 64 * 1024  # the most one value's strings may expand to
NESTED = 9  # strings naming strings, this deep at most
QUOTED = 60  # the most of a bad value a fault line quotes


def shortened(text):
    """A value quoted in a fault: its start, where it is long."""
    return text if len(text) <= QUOTED else f"{text[:QUOTED]}... ({len(text):,} characters)"


class Section:
    def __init__(self, name, line):
        self.name, self.line, self.lines = name, line, []  # (line number, text)


def written_flags(flags):
    """A copy line's flags as the SDK tool writes them into both scripts, so that a rebuilt CAB
    installs as the one it built: of the three device-only flags in the top bits, 0x80000000
    (a shared, reference-counted file) is not written and 0x40000000 (ignore the date) comes out
    as 0x10, NoOverwrite, as measured on CABs it built; the others as given."""
    out = flags & ~(CopyFlag.SHARED | CopyFlag.NO_DATE_CHECK)
    return out | (CopyFlag.NO_OVERWRITE if flags & CopyFlag.NO_DATE_CHECK else 0)


def fields(text):
    """A line's comma-separated fields: blanks around each trimmed, quotes dropped ("" inside
    quotes is a quote), commas inside quotes kept. Linear in the line, however many blanks."""
    out, field, quoted, i = [], [], False, 0
    while i < len(text):
        c = text[i]
        if c == '"' and quoted and text[i + 1:i + 2] == '"':
            field.append(('"', True))
            i += 1
        elif c == '"':
            quoted = not quoted
        elif c == "," and not quoted:
            out.append(field)
            field = []
        else:
            field.append((c, quoted))
        i += 1
    out.append(field)

    def trimmed(field):
        start, end = 0, len(field)
        while start < end and not field[start][1] and field[start][0].isspace():
            start += 1
        while end > start and not field[end - 1][1] and field[end - 1][0].isspace():
            end -= 1
        return "".join(c for c, _ in field[start:end])
    return [trimmed(f) for f in out]


def uncomment(text):
    """The line up to a ';' outside quotes, blanks trimmed."""
    quoted = False
    for i, c in enumerate(text):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return text[:i].strip()
    return text.strip()


def decoded(data, code_page):
    """The .inf's text: by its byte-order mark, else UTF-8, else the code page; a NUL at its end
    is the end of the file."""
    for mark, encoding in BOMS:
        if data.startswith(mark):
            text = data[len(mark):].decode(encoding, "replace")
            break
    else:
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            text = data.decode(code_page, "replace")
    return text.rstrip("\0")


class Inf:
    def __init__(self, path, code_page, drives=None):
        """`drives`: [(a Windows folder's parts, the key as written, the folder here that
        stands for it)]."""
        self.path, self.code_page, self.drives = path, code_page, drives or []
        self.faults, self.warnings = [], []
        self.commented = set()  # the lines a comment ends
        self.installation, self.budget, self.seen = None, EXPANDED, set()
        self.overflowed = False  # a value's strings expanded past the limit: told already
        self.sections, section = {}, None
        for number, raw in enumerate(decoded(path.read_bytes(), code_page).splitlines(), 1):
            line = uncomment(raw)
            if line != raw.strip():
                self.commented.add(number)
            if not line:
                continue
            if line.startswith("[") and not line.endswith("]"):
                self.fault(number, f"'{line}': a section header without its closing ']'")
                line += "]"
            if line.startswith("[") and line.endswith("]"):
                name = line[1:-1].strip()
                section = self.sections.setdefault(name.casefold(), Section(name, number))
            elif section is None:
                self.warn(number, "a line before the first [section]; ignored")
            else:
                section.lines.append((number, line))
        self.strings = {}
        for name in ("Strings", "CEStrings"):  # [CEStrings] wins over [Strings]
            for key, (value, number) in self.keys(self.sections.get(name.casefold())).items():
                self.strings[key] = (value, number)

    def fault(self, line, text):
        told(self.faults, self.seen, f"{self.path.name}:{line}: {text}" if line else
             f"{self.path.name}: {text}", self.path.name)

    def warn(self, line, text):
        told(self.warnings, self.seen, f"{self.path.name}:{line}: {text}", self.path.name)

    def keys(self, section):
        """{key casefolded: (raw value, line)} of a key = value section; the first of a
        repeated key; a line that isn't key = value warned about and skipped."""
        keys = {}
        for number, line in section.lines if section else ():
            key, sep, value = line.partition("=")
            if not sep or not key.strip():
                self.warn(number, f"[{section.name}]: '{line}' is not key = value; ignored")
                continue
            keys.setdefault(key.strip().strip('"').casefold(), (value.strip(), number))
        return keys

    def expand(self, text, line, depth=0, kept=()):
        """`text` with every %name% replaced; %CEn%, and the names in `kept`, left for the
        device's installer. What one value expands to is bounded (EXPANDED characters): strings
        that each name the next many times would otherwise grow without end."""
        if depth == 0:
            self.budget = EXPANDED

        def one(match):
            name = match.group(1)
            if self.budget < 0:  # told once, where the limit was passed
                return ""
            if not name:
                return "%"
            if name.casefold() in kept:
                return match.group(0)
            number = re.fullmatch(r"CE([0-9]{1,9})", name, re.IGNORECASE)
            if number:
                n = int(number.group(1)) if len(number.group(1)) <= 2 else 0
                if n in model.SOME_DEVICES_FOLDERS:
                    self.warn(line, f"%{name}%: a folder only some devices define (phone-class "
                              "ones); other devices refuse the CAB")
                elif n not in model.STANDARD_FOLDERS:
                    self.fault(line, f"%{name}%: the device's folders are %CE1% to %CE17%, and "
                               "%CE18% and %CE19% on some devices")
                return f"%CE{n}%" if n else match.group(0)
            found = self.strings.get(name.casefold())
            if found is None:
                self.fault(line, f"%{shortened(name)}% is not defined in [Strings] or "
                           "[CEStrings]")
                return match.group(0)
            if depth >= NESTED:
                self.fault(line, f"%{shortened(name)}%: strings name each other more than "
                           f"{NESTED} deep (does one name itself?)")
                self.budget = -1
                return ""
            value = fields(found[0])[0]
            self.budget -= len(value)
            if self.budget < 0:
                self.overflowed = True
                self.fault(line, f"%{shortened(name)}%: strings expand past {EXPANDED:,} "
                           "characters in one value; no real .inf comes near (do they name "
                           "each other?)")
                return ""
            return self.expand(value, found[1], depth + 1, kept)
        expanded = VARIABLE.sub(one, text)
        return "" if depth == 0 and self.budget < 0 else expanded

    def values(self, text, line):
        return [self.expand(f, line) for f in fields(text)]

    def install_dir(self):
        """InstallDir's value: one name part, whatever it holds (a leading backslash too);
        worked out once, however often a folder names it."""
        if self.installation is None:
            value, line = self.strings.get("installdir", ("", 0))
            self.installation = self.expand(fields(value)[0], line) if value else ""
        return self.installation

    def device_folder(self, text, line):
        """A device folder written in the .inf, as a path: split at backslashes, a leading one
        dropped, each part expanded; %InstallDir% the one part of its value."""
        pieces = self.expand(text, line, kept=KEPT_IN_VALUES).split("\\")
        parts = tuple(self.install_dir() if p.casefold() == "%installdir%" else p
                      for p in pieces if p)
        for part in parts:
            self.fits(part, line, "folder")
        return "\\".join(parts)

    def section(self, name, cpu=None):
        """A section's lines: the plain one's, then the '.<cpu>' one's (key = value sections
        merge with the suffixed keys first)."""
        plain = self.sections.get(name.casefold())
        special = self.sections.get(f"{name}.{cpu}".casefold()) if cpu else None
        return [s for s in (special, plain) if s]

    def merged(self, name, cpu):
        keys = {}
        for section in self.section(name, cpu):
            for key, value in self.keys(section).items():
                keys.setdefault(key, value)
        return keys

    def fits(self, text, line, what):
        """Whether the device's 8-bit script can hold `text`; a fault if not."""
        try:
            text.encode(self.code_page)
            return True
        except UnicodeEncodeError as error:
            self.fault(line, f"{what} '{shortened(text)}': {text[error.start]!r} is not in code page "
                       f"{self.code_page.removeprefix('cp')} (CODEPAGE), which the device's "
                       "script is written in")
            return False

    def number(self, text, line, what, bits=32):
        try:  # a number of thousands of digits is no number here: not converted at all
            value = int(text, 0) if text and len(text) <= 40 else 0 if not text else -1
        except ValueError:
            value = -1
        if not 0 <= value < 1 << bits:
            self.fault(line, f"{what} '{shortened(text)}' is not a number")
            return 0
        return value


def read(path, cpus, code_page, drives=None):
    """The .inf at `path` read for each processor name (None for one CAB without): (the Inf,
    its faults and warnings; [Install] one per processor)."""
    inf = Inf(path, code_page, drives)
    installs = []
    for cpu in cpus:
        if cpu is not None and not any(name.endswith(f".{cpu}".casefold())
                                       for name in inf.sections):
            inf.fault(None, f"CPU {cpu}: no section ends in '.{cpu}', so its CAB would be the "
                      "plain one's")
        else:
            installs.append(install(inf, cpu))
    return inf, installs


def required(inf, name):
    section = inf.sections.get(name.casefold())
    if section is None:
        inf.fault(None, f"no [{name}] section")
    return section


def install(inf, cpu):
    one = model.Install(cpu=cpu)
    version = required(inf, "Version")
    keys = inf.keys(version)
    for key in ("Signature", "CESignature", "Provider"):
        if version and key.casefold() not in keys:
            inf.fault(version.line, f"[Version] has no {key}")
    if "signature" in keys and fields(keys["signature"][0])[0].casefold() not in SIGNATURES:
        inf.fault(keys["signature"][1], 'Signature: must be "$Windows NT$", "$Chicago$" or '
                  '"$Windows 95$"')
    if "cesignature" in keys and fields(keys["cesignature"][0])[0] != CE_SIGNATURE:
        inf.fault(keys["cesignature"][1], f'CESignature: must be "{CE_SIGNATURE}"')
    if "provider" in keys:
        value, line = keys["provider"]
        one.provider = inf.expand(fields(value)[0], line)
        if len(one.provider) > model.MAX_PROVIDER:
            inf.fault(line, f"Provider '{shortened(one.provider)}' has {len(one.provider)} "
                      f"characters; the device's installer takes {model.MAX_PROVIDER}")
        inf.fits(one.provider, line, "Provider")
    strings = required(inf, "CEStrings")
    for key in ("AppName", "InstallDir"):
        if strings and key.casefold() not in inf.keys(strings):
            inf.fault(strings.line, f"[CEStrings] has no {key}")
    if "appname" in inf.strings:
        value, line = inf.strings["appname"]
        one.application = inf.expand(fields(value)[0], line)
        if len(one.application) > model.MAX_APPNAME:
            inf.fault(line, f"AppName '{shortened(one.application)}' has "
                      f"{len(one.application)} characters; the device's installer takes "
                      f"{model.MAX_APPNAME}")
        inf.fits(one.application, line, "AppName")
    device(inf, one, inf.merged("CEDevice", cpu))
    folders = Folders(inf.install_dir(), inf.strings.get("installdir", ("", 0))[1])
    if "installdir" in inf.strings:
        line = inf.strings["installdir"][1]
        if not inf.install_dir() and not inf.overflowed:
            inf.fault(line, "InstallDir is empty; the device's installer needs a folder to "
                      "install into")
        inf.fits(inf.install_dir(), line, "InstallDir")
    lists, setup_dll = install_lists(inf, cpu)
    sources = Sources(inf, cpu)
    destinations = Destinations(inf)
    # A DIRS entry for each [DestinationDirs] line whose section this install names, even an
    # empty one, as the SDK tool makes them; then the folders files and shortcuts need.
    named = {name.casefold() for key in ("copyfiles", "ceshortcuts") for name, _ in lists[key]}
    for section, (_, number) in destinations.dirs.items():
        if section in named:
            found = destinations.folder(section, number, "")
            if found is not None:
                folders.add(found, number)
    for name, line in lists["copyfiles"]:
        copy(inf, one, name, line, sources, destinations)
    if len(one.files) > model.MAX_FILES:
        inf.fault(lists["copyfiles"][-1][1], f"CopyFiles: {len(one.files):,} files; a device "
                  f"CAB holds {model.MAX_FILES}")
    seen = {}
    for number, f in enumerate(one.files, 1):
        f.number = number
        folders.add(f.folder, f.line)
        where = (model.folded(f.folder), f.name.casefold())
        if where in seen:
            inf.fault(f.line, f"{f.path} is installed by line {seen[where]} too")
        seen.setdefault(where, f.line)
    if setup_dll:
        one.setup_source = sources.find(fields(setup_dll[0])[0], setup_dll[1])
    for name, line in lists["ceselfregister"]:
        # By the name it is installed as, else by its source's, as the SDK tool takes it.
        chosen = [f for f in one.files if f.name.casefold() == name.casefold()] or \
            [f for f in one.files if f.source_name.casefold() == name.casefold()]
        if not chosen:
            inf.fault(line, f"CESelfRegister: {name} is not a file CopyFiles installs")
        for f in chosen:
            f.flags |= CopyFlag.SELF_REGISTER
    for name, line in lists["addreg"]:
        registry(inf, one, name, line)
    for name, line in lists["ceshortcuts"]:
        shortcuts(inf, one, name, line, destinations, folders)
    one.folders, one.folder_lines = folders.paths(), folders.lines
    return one


class Folders:
    """The DIRS entries in order, the install folder first, each once (letter case aside, as
    first written), with the .inf line that names it."""

    def __init__(self, install_dir, line):
        self.found, self.lines = {}, {}
        self.add(install_dir, line)

    def add(self, path, line):
        if model.folded(path) not in self.found:
            self.found[model.folded(path)] = path
            self.lines[path] = line

    def paths(self):
        return list(self.found.values())


def install_lists(inf, cpu):
    """[DefaultInstall], then [DefaultInstall.<cpu>]: each list key's names with their lines,
    the plain section's first, a name listed by both taken once; and CESetupDLL, the
    processor's where it names one."""
    plain = inf.sections.get("defaultinstall")
    special = inf.sections.get(f"defaultinstall.{cpu}".casefold()) if cpu else None
    found = [s for s in (plain, special) if s]
    if not found:
        inf.fault(None, "no [DefaultInstall] section")
    lists, setup_dll = {key: {} for key in LISTS}, None
    for section in found:
        keys = inf.keys(section)
        for key in LISTS:
            value, line = keys.get(key, ("", 0))
            for name in filter(None, fields(value)):
                lists[key].setdefault(name.casefold(), (name, line))
        setup_dll = keys.get("cesetupdll", setup_dll)
    if found and not any("copyfiles" in inf.keys(s) for s in found):
        inf.fault(found[0].line, "[DefaultInstall] has no CopyFiles")
    return {key: list(names.values()) for key, names in lists.items()}, setup_dll


def named_section(inf, key, name, line):
    """The section a list key names, or None with a warning where it is missing or empty: the
    SDK tool builds the CAB without it."""
    section = inf.sections.get(name.casefold())
    if section is None or not section.lines:
        inf.warn(line, f"Section [{name}] has no data ({key} names it); the CAB is built "
                 "without it")
        return None
    return section


def device(inf, one, keys):
    value, line = keys.get("processortype", ("", 0))
    one.processor = inf.number(fields(value)[0], line, "ProcessorType") if value else 0
    value, line = keys.get("unsupportedplatforms", ("", 0))
    one.unsupported = tuple(v for v in inf.values(value, line) if v) if value else ()
    for name in one.unsupported:
        inf.fits(name, line, "UnsupportedPlatforms")
    versions = []
    for key in ("VersionMin", "VersionMax"):
        value, line = keys.get(key.casefold(), ("", 0))
        value = fields(value)[0] if value else ""
        version = (0, 0)
        if value:
            match = re.fullmatch(r"([0-9]{1,9})(?:\.([0-9]{1,9}))?", value)
            if not match:
                inf.fault(line, f"{key} '{shortened(value)}' is not major.minor (each part "
                          "below 2^32)")
            else:
                version = (int(match.group(1)), int(match.group(2) or 0))
        versions.append(version)
    one.minimum, one.maximum = versions
    builds = []
    for key in ("BuildMin", "BuildMax"):
        value, line = keys.get(key.casefold(), ("", 0))
        builds.append(inf.number(fields(value)[0].split(".")[0], line, key) if value else None)
    one.builds = tuple(builds)


class Sources:
    """[SourceDisksNames] and [SourceDisksFiles]: where each source file is on this machine."""

    def __init__(self, inf, cpu):
        self.inf = inf
        for name in ("SourceDisksNames", "SourceDisksFiles"):
            if not inf.section(name, cpu):
                inf.fault(None, f"no [{name}] section")
        self.disks = {k: (inf.values(v, n), n)
                      for k, (v, n) in inf.merged("SourceDisksNames", cpu).items()}
        # Keys are names, [Strings] references in them substituted as in a copy line's.
        self.files = {inf.expand(k, n).casefold(): (inf.values(v, n), n)
                      for k, (v, n) in inf.merged("SourceDisksFiles", cpu).items()}
        self.found, self.listings, self.missing = {}, {}, set()

    def find(self, name, line):
        """The path of source file `name`, or None with a fault."""
        key = self.inf.expand(name, line).casefold()
        if key in self.found:
            return self.found[key]
        self.found[key] = None
        if key not in self.files:
            self.inf.fault(line, f"{name}: not listed in [SourceDisksFiles]")
            return None
        (disk, *rest), number = self.files[key]
        if disk.casefold() not in self.disks:
            self.inf.fault(number, f"{name}: disk {disk} is not in [SourceDisksNames]")
            return None
        values, disk_line = self.disks[disk.casefold()]
        folder = values[3] if len(values) > 3 else ""
        base, mapped = self.inf.path.parent, None
        drive = re.match(r"([A-Za-z]):[\\/]", folder)
        if drive:
            windows = [drive.group(1).upper() + ":", *(p for p in re.split(r"[\\/]", folder[3:])
                                                      if p)]
            mapped = mapping(self.inf.drives, windows)
            if mapped is None:
                self.inf.fault(disk_line, f"source folder {folder} is on drive "
                               f"{drive.group(1).upper()}:, which DRIVES doesn't map to a folder "
                               f"here (DRIVES='{drive.group(1).upper()}=/path/to/it')")
                return None
            (prefix, shown), base = mapped
            folder = "\\".join(windows[len(prefix):])
        elif re.match(r"[A-Za-z]:|\\\\|/", folder) or folder.startswith("\\"):
            self.inf.fault(disk_line, f"source folder {folder} is a Windows absolute path "
                           "without a drive to map (DRIVES); give the folder relative to the "
                           ".inf, or with its drive letter")
            return None
        parts = [p for p in re.split(r"[\\/]", folder) if p] + \
                [p for p in re.split(r"[\\/]", rest[0] if rest else "") if p] + \
                [self.inf.expand(name, line)]
        path, problem, depth = locate(base, parts, self.listings)
        if problem and depth < len(parts) - 1:  # a folder on the way: told once, as a folder
            inside = "/".join(parts[:depth + 1])
            if (base, inside.casefold()) not in self.missing:
                self.missing.add((base, inside.casefold()))
                told = f"no folder {inside}" if mapped is None else (
                    f"no folder {chr(92).join(windows[:len(prefix)] + parts[:depth + 1])}: "
                    f"DRIVES maps {shown} to {base}, which has no {inside}")
                self.inf.fault(number, f"{name}: {told}")
        elif problem:
            self.inf.fault(number, f"{name}: {problem}")
        self.found[key] = path
        return path


def locate(base, parts, listings):
    """The file `parts` names under `base`, each part found as Windows finds it (letter case
    aside); or why none is, and how many parts were found before it. `listings` keeps each folder's names by their folded case: a
    thousand files in one folder are looked up, not listed a thousand times."""
    here = base
    for depth, part in enumerate(parts):
        if part in (".", ".."):
            here = here if part == "." else here.parent
            continue
        if here not in listings:
            listings[here] = {}
            try:
                for n in os.listdir(here):
                    listings[here].setdefault(n.casefold(), []).append(n)
            except OSError:
                pass
        names = listings[here].get(part.casefold(), [])
        if len(names) != 1:
            shown = os.path.relpath(here / part, base)
            return None, (f"no file {shown}" if not names else
                          f"{len(names)} files match {shown} once letter case is ignored "
                          f"({', '.join(sorted(names))}); Windows sees only one"), \
                depth if not names else len(parts)
        here = here / names[0]
    if not here.is_file():
        return None, f"{os.path.relpath(here, base)} is not a file", len(parts)
    return here, None, len(parts)


def mapping(drives, windows):
    """((the DRIVES key's parts, as given, as written), the folder here) of the longest DRIVES
    key that `windows` (a drive and folder names) starts with, letter case aside; or None."""
    best = None
    for parts, shown, folder in drives:
        if [p.casefold() for p in windows[:len(parts)]] == [p.casefold() for p in parts] and \
                (best is None or len(parts) > len(best[0][0])):
            best = ((parts, shown), folder)
    return best


class Destinations:
    """[DestinationDirs]: the device folder of each copy or shortcut section."""

    def __init__(self, inf):
        self.inf = inf
        if required(inf, "DestinationDirs") is None:
            self.dirs = {}
            return
        self.dirs = {}
        for key, (value, number) in inf.keys(inf.sections["destinationdirs"]).items():
            values = fields(value)
            if len(values) < 2 or values[0] != "0":
                # Without its 0, the folder would be taken as none: the device's root.
                inf.fault(number, f"[DestinationDirs] {key}: '{value}' is not 0, a folder "
                          f"(write {key} = 0, {values[-1] if len(values) < 2 else values[1]})")
                continue
            self.dirs[key] = (values, number)

    def folder(self, section, line, what):
        """The folder's path, or None with a fault."""
        found = self.dirs.get(section.casefold()) or self.dirs.get("defaultdestdir")
        if found is None:
            if what and (self.dirs or "destinationdirs" in self.inf.sections):
                self.inf.fault(line, f"{what} {section} has no folder in [DestinationDirs] "
                               "and there is no DefaultDestDir")
            return None
        values, number = found
        return self.inf.device_folder(values[1], number)


def copy(inf, one, name, line, sources, destinations):
    section = named_section(inf, "CopyFiles", name, line)
    if section is None:
        return
    folder = destinations.folder(name, line, "copy section")
    for number, text in section.lines:
        given = fields(text)
        values = [inf.expand(f, number) for f in given] + ["", "", ""]
        target, source = values[0], values[1] or values[0]
        if not target:
            inf.fault(number, f"[{section.name}]: a line without a file name")
            continue
        inf.fits(target, number, "file name")
        flags = inf.number(values[3], number, "copy flags")
        if number in inf.commented and len(given) >= 4 and flags:
            # The SDK tool reads the comment into the flags, and then reads no number.
            inf.warn(number, f"copy flags {given[3]} followed by a comment: the SDK tool "
                     "writes no flags for this file, and so does this build (a comment on a "
                     "line of its own keeps them)")
            flags = 0
        # Listed even when its source or folder is at fault: the checks after this one see
        # the file and tell nothing more about it.
        one.files.append(model.File(0, folder or "", target, written_flags(flags),
                                    source=sources.find(source, number),
                                    source_name=source, line=number))


def registry(inf, one, name, line):
    section = named_section(inf, "AddReg", name, line)
    if section is None:
        return
    for number, text in section.lines:
        raw = fields(text) + ["", "", "", ""]
        root, key, value_name, flags = (inf.expand(v, number) for v in raw[:4])
        key = key.strip("\\")
        # %InstallDir% stays for the device, which puts in the folder the user picked.
        data = [inf.expand(v, number, kept=KEPT_IN_VALUES) for v in raw[4:]]
        while len(data) > 1 and data[-1] == "":
            data.pop()
        if root.upper() not in ROOTS:
            inf.fault(number, f"registry root '{root}': one of HKCR, HKCU, HKLM")
            continue
        flags = inf.number(flags, number, "registry flags")
        kind = ValueType(flags & model.TYPE_BITS)
        for text_ in (key, value_name):
            inf.fits(text_, number, "registry name")
        if kind == ValueType.DWORD:
            value = inf.number(data[0], number, "DWORD value")
        elif kind == ValueType.BINARY:
            if any(not re.fullmatch(r"(0x)?[0-9A-Fa-f]{1,2}", b) for b in data if b):
                inf.fault(number, f"binary value {','.join(data)[:60]}: not bytes in "
                          "hexadecimal (01,a0,ff)")
                continue
            value = bytes(int(b, 16) for b in data if b)
        else:
            strings = [s for s in (data if kind == ValueType.MULTI_STRING else data[:1])
                       if inf.fits(s, number, "registry value")]
            value = tuple(s for s in strings if s) if kind == ValueType.MULTI_STRING else \
                (strings[0] if strings else "")
        substitute = kind in (ValueType.STRING, ValueType.MULTI_STRING) and \
            any(SUBSTITUTED.search(s) for s in data)
        one.registry.append(model.Value(ROOTS[root.upper()], key, value_name, kind, value,
                                        bool(flags & model.NOCLOBBER), substitute, number))


def shortcuts(inf, one, name, line, destinations, folders):
    """Each shortcut, its folder and target as paths."""
    section = named_section(inf, "CEShortcuts", name, line)
    if section is None:
        return
    default = None
    install_dir = inf.install_dir()
    for number, text in section.lines:
        raw = fields(text) + ["", "", ""]
        label, kind, target = (inf.expand(v, number) for v in raw[:3])
        if raw[3]:
            folder = inf.device_folder(raw[3], number)
        else:
            default = default or destinations.folder(name, line, "shortcut section")
            folder = default
        inf.fits(label, number, "shortcut")
        to_folder = inf.number(kind, number, "shortcut type") != 0
        if to_folder:
            place = inf.device_folder(raw[2], number)
            if model.folded(place) == model.folded(install_dir):
                pass
            elif target.casefold() in destinations.dirs:
                place = destinations.folder(target, number, "shortcut target")
            else:
                inf.fault(number, f"shortcut {label}: {target} is no folder of "
                          "[DestinationDirs] nor %InstallDir%")
                continue
            folders.add(place, number)
        else:
            files = [f for f in one.files if f.name.casefold() == target.casefold()]
            if not files:
                inf.fault(number, f"shortcut {label}: {target} is not a file CopyFiles "
                          "installs")
                continue
            place = files[0].path
        if folder == "":
            inf.fault(number, f"shortcut {label}: no folder to put it in")
        elif folder is not None:
            parts = model.split(folder)
            if model.under(folder, install_dir) or not model.standard(parts[0]):
                folders.add(folder, number)  # a shortcut outside the standard folders
            name_ = label if label.lower().endswith(".lnk") else label + ".lnk"
            one.shortcuts.append(model.Shortcut(folder, name_, place, to_folder, number))



def cab_name(path, cpu):
    return f"{path.stem}.{cpu}.CAB" if cpu else f"{path.stem}.CAB"

