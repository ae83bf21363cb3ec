"""An application's .inf file, read as the device SDK's CAB tool documents it, into what one
device CAB installs: for each processor named, the files with their sources and destinations,
the registry values, the shortcuts, the setup DLL.

The file is INF syntax: [sections] in any letter case (one named twice is one section), ';'
comments outside quotes, comma-separated fields, "quoted" values, %name% from [Strings] and
[CEStrings] wherever a string may stand, %CE1% to %CE17% kept for the device's installer.
UTF-8 (as the SDK tool asks for text beyond ASCII), else the code page given. For a processor
name, the sections [CEDevice], [SourceDisksNames] and [SourceDisksFiles] suffixed with
'.<name>' add to the plain ones, their keys standing in for the plain ones' keys; the lists of
[DefaultInstall.<name>] follow those of [DefaultInstall], as the SDK tool takes them.

A device folder is a list of name parts, as the script stores it: a path is split at its
backslashes, except the value of InstallDir, which is one part whatever it holds.
"""
import os
import re

SIGNATURES = ("$windows nt$", "$chicago$", "$windows 95$")
CE_SIGNATURE = "$Windows CE$"
ROOTS = {"HKCR": 1, "HKCU": 2, "HKLM": 3}
# A registry line's flags: the type bits and NOCLOBBER; the .000 file takes them as they are.
TYPES = {0x00000000: "string", 0x00010000: "multi-string", 0x00000001: "binary",
         0x00010001: "DWORD"}
NOCLOBBER = 0x2
SELF_REGISTER = 0x10000000
MAX_FILES = 998  # .001 to .998; .999 is the setup DLL
MAX_APPNAME, MAX_PROVIDER = 40, 32
# [DefaultInstall]'s keys that list sections or files: the plain section's entries, then the
# processor's.
LISTS = ("copyfiles", "addreg", "ceshortcuts", "ceselfregister")
VARIABLE = re.compile(r"%([^%]*)%")
# What the device's installer fills in itself in a registry value: the folder the user picked.
SUBSTITUTED = re.compile(r"%(InstallDir|CE[0-9]+)%", re.IGNORECASE)
KEPT_IN_VALUES = ("installdir",)  # and in folders, as one part
EXPANDED = 64 * 1024  # the most one value's strings may expand to
MOST_TOLD = 100  # faults, or warnings, told of one file
NESTED = 9  # strings naming strings, this deep at most
QUOTED = 60  # the most of a bad value a fault line quotes


def shortened(text):
    """A value quoted in a fault: its start, where it is long."""
    return text if len(text) <= QUOTED else f"{text[:QUOTED]}... ({len(text):,} characters)"


class Section:
    def __init__(self, name, line):
        self.name, self.line, self.lines = name, line, []  # (line number, text)


class File:
    """One file the device installs: its number, source, folder on the device (name parts) and
    name."""

    def __init__(self, source, folder, name, flags, line):
        self.source, self.folder, self.name, self.flags, self.line = \
            source, folder, name, flags, line
        self.number = 0


class Install:
    """What one CAB installs, every string as the device's installer will see it."""

    def __init__(self, cpu):
        self.cpu = cpu
        self.application = self.provider = ""
        self.processor = 0
        self.unsupported = []
        self.versions = [0, 0, 0, 0]  # minimum major, minor, maximum major, minor
        self.builds = [0, 0]
        self.install_dir = ()  # the installation folder's name parts
        self.files, self.registry, self.shortcuts = [], [], []
        self.setup_dll = None  # its source path


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


class Inf:
    def __init__(self, path, code_page, drives=None):
        """`drives`: [(a Windows folder's parts, the key as written, the folder here that
        stands for it)]."""
        self.path, self.code_page, self.drives = path, code_page, drives or []
        self.faults, self.warnings = [], []
        self.installation, self.budget, self.seen = None, EXPANDED, set()
        self.overflowed = False  # a value's strings expanded past the limit: told already
        data = path.read_bytes()
        try:
            text = data.removeprefix(b"\xef\xbb\xbf").decode("utf-8")
        except UnicodeDecodeError:
            text = data.decode(code_page, "replace")
        self.sections, section = {}, None
        for number, raw in enumerate(text.splitlines(), 1):
            line = uncomment(raw)
            if not line:
                continue
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
        self.told(self.faults, f"{self.path.name}:{line}: {text}" if line else
                  f"{self.path.name}: {text}")

    def warn(self, line, text):
        self.told(self.warnings, f"{self.path.name}:{line}: {text}")

    def told(self, lines, entry):
        """Each line once, and no more than MOST_TOLD of a kind: a damaged file can't flood
        the terminal."""
        if entry in self.seen or len(lines) > MOST_TOLD:
            return
        self.seen.add(entry)
        lines.append(entry if len(lines) < MOST_TOLD else
                     f"{self.path.name}: more than {MOST_TOLD} lines like these; the rest "
                     "are not told")

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
                if not 1 <= int(number.group(1)) <= 17:
                    self.fault(line, f"%{name}%: the device's folders are %CE1% to %CE17%")
                return f"%CE{int(number.group(1))}%"
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
        """A device folder written in the .inf as its name parts: split at backslashes, a
        leading one dropped, each part expanded; %InstallDir% the one part of its value."""
        pieces = self.expand(text, line, kept=KEPT_IN_VALUES).split("\\")
        parts = tuple(self.install_dir() if p.casefold() == "%installdir%" else p
                      for p in pieces if p)
        for part in parts:
            self.fits(part, line, "folder")
        return parts

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
    one = Install(cpu)
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
        if len(one.provider) > MAX_PROVIDER:
            inf.fault(line, f"Provider '{shortened(one.provider)}' has {len(one.provider)} characters; "
                      f"the device's installer takes {MAX_PROVIDER}")
        inf.fits(one.provider, line, "Provider")
    strings = required(inf, "CEStrings")
    for key in ("AppName", "InstallDir"):
        if strings and key.casefold() not in inf.keys(strings):
            inf.fault(strings.line, f"[CEStrings] has no {key}")
    if "appname" in inf.strings:
        value, line = inf.strings["appname"]
        one.application = inf.expand(fields(value)[0], line)
        if len(one.application) > MAX_APPNAME:
            inf.fault(line, f"AppName '{shortened(one.application)}' has {len(one.application)} "
                      f"characters; the device's installer takes {MAX_APPNAME}")
        inf.fits(one.application, line, "AppName")
    device(inf, one, inf.merged("CEDevice", cpu))
    one.install_dir = (inf.install_dir(),)
    if "installdir" in inf.strings:
        line = inf.strings["installdir"][1]
        if not inf.install_dir() and not inf.overflowed:
            inf.fault(line, "InstallDir is empty; the device's installer needs a folder to "
                      "install into")
        inf.fits(inf.install_dir(), line, "InstallDir")
    lists, setup_dll = install_lists(inf, cpu)
    sources = Sources(inf, cpu)
    destinations = Destinations(inf)
    for name, line in lists["copyfiles"]:
        copy(inf, one, name, line, sources, destinations)
    if len(one.files) > MAX_FILES:
        inf.fault(lists["copyfiles"][-1][1], f"CopyFiles: {len(one.files):,} files; a device "
                  f"CAB holds {MAX_FILES}")
    seen = {}
    for f in one.files:
        where = (tuple(p.casefold() for p in f.folder), f.name.casefold())
        if where in seen:
            inf.fault(f.line, f"{joined(f.folder)}\\{f.name} is installed by line {seen[where]} "
                      "too")
        seen.setdefault(where, f.line)
    if setup_dll:
        one.setup_dll = sources.find(fields(setup_dll[0])[0], setup_dll[1])
    for name, line in lists["ceselfregister"]:
        chosen = [f for f in one.files if f.name.casefold() == name.casefold()]
        if not chosen:
            inf.fault(line, f"CESelfRegister: {name} is not a file CopyFiles installs")
        for f in chosen:
            f.flags |= SELF_REGISTER
    for name, line in lists["addreg"]:
        registry(inf, one, name, line)
    for name, line in lists["ceshortcuts"]:
        shortcuts(inf, one, name, line, destinations)
    return one


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


def joined(parts):
    return "\\".join(parts)


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
    one.unsupported = [v for v in inf.values(value, line) if v] if value else []
    for name in one.unsupported:
        inf.fits(name, line, "UnsupportedPlatforms")
    for i, key in enumerate(("VersionMin", "VersionMax")):
        value, line = keys.get(key.casefold(), ("", 0))
        value = fields(value)[0] if value else ""
        if value:
            match = re.fullmatch(r"([0-9]{1,9})(?:\.([0-9]{1,9}))?", value)
            if not match:
                inf.fault(line, f"{key} '{shortened(value)}' is not major.minor (each part "
                          "below 2^32)")
            elif max(int(match.group(1)), int(match.group(2) or 0)) >= 1 << 32:
                inf.fault(line, f"{key} '{value}': a part past 2^32 - 1, the most the script "
                          "holds")
            else:
                one.versions[2 * i:2 * i + 2] = [int(match.group(1)), int(match.group(2) or 0)]
    for i, key in enumerate(("BuildMin", "BuildMax")):
        value, line = keys.get(key.casefold(), ("", 0))
        if value:
            one.builds[i] = inf.number(fields(value)[0].split(".")[0], line, key)


class Sources:
    """[SourceDisksNames] and [SourceDisksFiles]: where each source file is on this machine."""

    def __init__(self, inf, cpu):
        self.inf = inf
        for name in ("SourceDisksNames", "SourceDisksFiles"):
            if not inf.section(name, cpu):
                inf.fault(None, f"no [{name}] section")
        self.disks = {k: (inf.values(v, n), n)
                      for k, (v, n) in inf.merged("SourceDisksNames", cpu).items()}
        self.files = {k: (inf.values(v, n), n)
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
        self.dirs = {k: (fields(v), n)
                     for k, (v, n) in inf.keys(inf.sections["destinationdirs"]).items()}

    def folder(self, section, line, what):
        """The folder's name parts, or None with a fault."""
        found = self.dirs.get(section.casefold()) or self.dirs.get("defaultdestdir")
        if found is None:
            if self.dirs or "destinationdirs" in self.inf.sections:
                self.inf.fault(line, f"{what} {section} has no folder in [DestinationDirs] "
                               "and there is no DefaultDestDir")
            return None
        values, number = found
        return self.inf.device_folder(values[1] if len(values) > 1 else "", number)


def copy(inf, one, name, line, sources, destinations):
    section = named_section(inf, "CopyFiles", name, line)
    if section is None:
        return
    folder = destinations.folder(name, line, "copy section")
    for number, text in section.lines:
        values = inf.values(text, number) + ["", "", ""]
        target, source = values[0], values[1] or values[0]
        if not target:
            inf.fault(number, f"[{section.name}]: a line without a file name")
            continue
        inf.fits(target, number, "file name")
        flags = inf.number(values[3], number, "copy flags")
        # Listed even when its source or folder is at fault: the checks after this one see
        # the file and tell nothing more about it.
        one.files.append(File(sources.find(source, number), folder or (), target, flags, number))


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
        kind = flags & 0x00010001
        for text_ in (key, value_name):
            inf.fits(text_, number, "registry name")
        if kind == 0x00010001:
            raw = data[0]
            value = inf.number(raw, number, "DWORD value")
            payload = value.to_bytes(4, "little")
        elif kind == 0x00000001:
            if any(not re.fullmatch(r"(0x)?[0-9A-Fa-f]{1,2}", b) for b in data if b):
                inf.fault(number, f"binary value {','.join(data)}: not bytes in hexadecimal "
                          "(01,a0,ff)")
                continue
            payload = bytes(int(b, 16) for b in data if b)
        else:
            strings = data if kind == 0x00010000 else data[:1]
            payload = b"".join(s.encode(inf.code_page, "replace") + b"\0" for s in strings
                               if inf.fits(s, number, "registry value"))
            if kind == 0x00010000:
                payload += b"\0"
        substitute = kind in (0, 0x00010000) and any(SUBSTITUTED.search(s) for s in data)
        one.registry.append((ROOTS[root.upper()], key, value_name,
                             flags & (0x00010001 | NOCLOBBER), payload, substitute))


def shortcuts(inf, one, name, line, destinations):
    """Each shortcut: (its name, its folder's parts, whether it points to a folder, the folder's
    parts or the File it points to, its line)."""
    section = named_section(inf, "CEShortcuts", name, line)
    if section is None:
        return
    default = None
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
            if [p.casefold() for p in place] == [p.casefold() for p in one.install_dir]:
                pass
            elif target.casefold() in destinations.dirs:
                place = destinations.folder(target, number, "shortcut target")
            else:
                inf.fault(number, f"shortcut {label}: {target} is no folder of "
                          "[DestinationDirs] nor %InstallDir%")
                continue
        else:
            files = [f for f in one.files if f.name.casefold() == target.casefold()]
            if not files:
                inf.fault(number, f"shortcut {label}: {target} is not a file CopyFiles "
                          "installs")
                continue
            place = files[0]
        if folder == ():
            inf.fault(number, f"shortcut {label}: no folder to put it in")
        elif folder is not None:
            one.shortcuts.append((label, folder, to_folder, place, number))


def cpu_names(text):
    return [None] if not text or not text.split() else text.split()


def cab_name(path, cpu):
    return f"{path.stem}.{cpu}.CAB" if cpu else f"{path.stem}.CAB"

