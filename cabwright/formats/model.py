"""One install, as every part of the toolkit holds it: the .inf reader makes one, each script's
encoder writes one and its decoder reads one back, and the comparison of a CAB's two scripts,
cab-info's listing and its diff all read one. The device's limits are stated here, once.

A folder is a device path as the .000 file's DIRS entries name it: its parts joined by
backslashes, no leading backslash (`%CE1%\\Notes`, `windows\\Help`). The install folder is the
first of `folders`; a file or shortcut names its folder by path, a shortcut its target by the
path of the file or folder it points to.
"""
import enum
import functools
import re
from dataclasses import dataclass, field

# The device's limits.
MAX_FILES = 998  # members .001 to .998; with more the installer takes the CAB for a setup DLL's
SETUP_DLL = 999  # the setup DLL's member number
MAX_APPNAME, MAX_PROVIDER = 40, 32  # characters the device's installer takes
MAX_PATH = 260  # the longest path the device's file system and registry take
SCRIPT_WARNING = 32 * 1024  # older devices' installers refuse a longer .000 file
U16 = 0xFFFF  # the .000 file's every count, id, entry length and name offset is 16 bits
U32 = 0xFFFFFFFF  # its processor, system versions and builds 32
STANDARD_FOLDERS = range(1, 18)  # %CE1% to %CE17%: every device defines them
SOME_DEVICES_FOLDERS = range(18, 20)  # %CE18%, %CE19%: phone-class devices define them
CE_FOLDER = re.compile(r"%CE([0-9]+)%", re.IGNORECASE)


class Root(enum.IntEnum):
    HKCR = 1
    HKCU = 2
    HKLM = 3
    HKU = 4


class ValueType(enum.IntEnum):
    """A registry value's type, as the type bits of its flags."""
    STRING = 0x00000000
    MULTI_STRING = 0x00010000
    BINARY = 0x00000001
    DWORD = 0x00010001

    @property
    def shown(self):
        return {0: "string", 0x10000: "multi-string", 1: "binary", 0x10001: "DWORD"}[self]

    @property
    def datatype(self):
        """_setup.xml's name for it."""
        return {0: "string", 0x10000: "multiplestring", 1: "binary", 0x10001: "integer"}[self]


TYPE_BITS = 0x00010001
NOCLOBBER = 0x00000002  # a registry value kept where one is there already


class CopyFlag(enum.IntFlag):
    """A file's copy flags, as the .inf and both scripts number them."""
    WARN_IF_SKIP = 0x00000001
    NO_SKIP = 0x00000002
    NO_OVERWRITE = 0x00000010
    REPLACE_ONLY = 0x00000400
    SELF_REGISTER = 0x10000000
    NO_DATE_DIALOG = 0x20000000
    NO_DATE_CHECK = 0x40000000
    SHARED = 0x80000000


# Each flag: what the listing calls it, and its Extract parm in _setup.xml (NoOverwrite and
# SelfRegister as the SDK tool writes them; the others after the .inf's names), high bit first.
COPY_FLAGS = ((CopyFlag.SHARED, "shared", "Shared"),
              (CopyFlag.NO_DATE_CHECK, "always overwrite", "NoDateCheck"),
              (CopyFlag.NO_DATE_DIALOG, "don't overwrite newer", "NoDateDialog"),
              (CopyFlag.SELF_REGISTER, "self-register", "SelfRegister"),
              (CopyFlag.REPLACE_ONLY, "only over an existing file", "ReplaceOnly"),
              (CopyFlag.NO_OVERWRITE, "never overwrite", "NoOverwrite"),
              (CopyFlag.NO_SKIP, "never skipped", "NoSkip"),
              (CopyFlag.WARN_IF_SKIP, "warn if skipped", "WarnIfSkip"))


class Processor(enum.IntEnum):
    """Processor types the device's installer knows by number."""
    ANY = 0
    I386 = 386
    I486 = 486
    PENTIUM = 586
    STRONGARM = 2577
    MIPS = 4000
    SH3 = 10003
    SH3E = 10004
    SH4 = 10005
    ARM7TDMI = 70001


PROCESSOR_NAMES = {0: "any processor", 386: "x86", 486: "x86", 586: "x86", 2577: "ARM",
                   4000: "MIPS", 10003: "SH3", 10004: "SH3E", 10005: "SH4", 70001: "ARM"}


def processor_name(number):
    name = PROCESSOR_NAMES.get(number)
    return f"{name} ({number})" if name else f"processor type {number}"


def flag_words(flags):
    return ", ".join(word for bit, word, _ in COPY_FLAGS if flags & bit) or "no flags"


@dataclass
class File:
    number: int  # its cabinet member's .NNN
    folder: str
    name: str
    flags: int = 0
    member: str = ""  # the cabinet member's name
    source: object = field(default=None, compare=False, repr=False)  # the file here, building
    source_name: str = field(default="", compare=False, repr=False)  # as the .inf names it
    line: int = field(default=0, compare=False, repr=False)  # the .inf line

    @property
    def path(self):
        return f"{self.folder}\\{self.name}"


@dataclass
class Value:
    root: int  # a Root
    key: str  # under the root, its parts joined by backslashes
    name: str  # "" for the key's default value
    type: int  # a ValueType
    data: object  # int (DWORD), str (string), tuple of str (multi-string), bytes (binary)
    keep: bool = False  # NOCLOBBER: an existing value is kept
    substitute: bool = False  # %InstallDir% and %CEn% filled in on the device
    line: int = field(default=0, compare=False, repr=False)

    @property
    def where(self):
        return "\\".join(p for p in (Root(self.root).name if self.root in Root._value2member_map_
                                     else f"root {self.root}", self.key) if p)

    def shown(self):
        """The value as the listing shows it."""
        if self.type == ValueType.DWORD:
            return str(self.data)
        if self.type == ValueType.STRING:
            return f'"{self.data}"'
        if self.type == ValueType.MULTI_STRING:
            return ", ".join(f'"{t}"' for t in self.data)
        return self.data[:32].hex(" ") + (" ..." if len(self.data) > 32 else "")


@dataclass
class Shortcut:
    folder: str  # where the shortcut is made
    name: str  # its file name, ending in .lnk
    target: str  # the path of the file or folder it points to
    to_folder: bool = False
    line: int = field(default=0, compare=False, repr=False)


@dataclass(frozen=True)
class Element:
    """A provisioning XML element other than the install's own: a characteristic, a parm, or a
    whole <wap-provisioningdoc> pasted in."""
    tag: str
    attributes: tuple = ()  # (name, value) in the document's order
    children: tuple = ()
    text: str = ""

    def get(self, name, default=None):
        return next((v for k, v in self.attributes if k == name), default)


@dataclass
class Install:
    """What one CAB does to a device."""
    application: str = ""
    provider: str = ""
    processor: int = 0
    minimum: tuple = (0, 0)  # system version, major and minor; (0, 0) for any
    maximum: tuple = (0, 0)
    builds: tuple = (None, None)  # build numbers, None where none is given
    unsupported: tuple = ()  # platform names
    folders: list = field(default_factory=list)  # the DIRS entries, the install folder first
    files: list = field(default_factory=list)
    registry: list = field(default_factory=list)
    shortcuts: list = field(default_factory=list)
    setup_dll: str = None  # its member's name
    before: tuple = ()  # provisioning Elements before the install, and after it
    after: tuple = ()
    cpu: str = field(default=None, compare=False)  # the .inf's processor section
    setup_source: object = field(default=None, compare=False, repr=False)  # building
    counts: dict = field(default=None, compare=False)  # NumDirs ... as a script declares them
    folder_lines: dict = field(default_factory=dict, compare=False, repr=False)

    @property
    def install_dir(self):
        return self.folders[0] if self.folders else ""

    @property
    def provisioning(self):
        return (*self.before, *self.after)

    def hives(self):
        """[(root, key)] of the values, each key once (letter case aside), in order."""
        seen = {}
        for v in self.registry:
            seen.setdefault((v.root, v.key.casefold()), (v.root, v.key))
        return list(seen.values())

    def declared(self):
        """Its counts as _setup.xml's Install characteristic states them."""
        return {"NumDirs": len(self.folders), "NumFiles": len(self.files),
                "NumRegKeys": len(self.hives()), "NumRegVals": len(self.registry),
                "NumShortcuts": len(self.shortcuts)}


def split(path):
    return [p for p in path.split("\\") if p]


def standard(part):
    """A path part's standard-folder number (%CE11% is 11), or 0."""
    found = CE_FOLDER.fullmatch(part)
    return int(found.group(1)) if found and len(found.group(1)) <= 2 else 0


@functools.lru_cache(maxsize=4096)  # each script names a folder many times
def folded(path):
    """A device path as both scripts may write it: letter case, doubled and outer backslashes
    aside."""
    return "\\".join(split(path)).casefold()


def under(path, folder):
    """Whether `path` is `folder` or inside it, letter case aside."""
    path, folder = folded(path), folded(folder)
    return bool(folder) and (path == folder or path.startswith(folder + "\\"))
