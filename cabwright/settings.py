"""The packager's settings: each one's name, commands and help (the program's options and man
pages come from SETTINGS), the frozen, typed value a command is given, and how they go together,
checked before any file is read. Every fault is one line, and all of them are told at once.
"""
import codecs
import collections.abc
import pathlib
import types
import urllib.parse
from cabwright.diagnostics import Faults

DEVICE = ("PKCS11_MODULE", "PKCS11_KEY", "CERT", "PIN_FILE")


class Settings(collections.abc.Mapping):
    """The settings given, parsed once and frozen: by name, the text as given, for the lines
    that quote it; and typed, paths as paths, flags as booleans, the code page as a codec. A
    setting not given is absent, and an empty one is not given."""

    def __init__(self, given=()):
        self._given = types.MappingProxyType({k: v for k, v in dict(given).items() if v})

    def __getitem__(self, name):
        return self._given[name]

    def __iter__(self):
        return iter(self._given)

    def __len__(self):
        return len(self._given)

    def __repr__(self):
        return f"Settings({dict(self._given)!r})"

    def replaced(self, **changes):
        """These settings with some given anew."""
        return Settings({**self._given, **{k: str(v) for k, v in changes.items()}})

    def path(self, name):
        return pathlib.Path(self._given[name]) if name in self._given else None

    @property
    def out(self):
        return self.path("OUT")

    @property
    def inf(self):
        return self.path("INF")

    @property
    def package(self):
        return self.path("PACKAGE")

    @property
    def compress(self):
        return self._given.get("COMPRESS") == "1"

    @property
    def dual_sign(self):
        return self._given.get("DUAL_SIGN") == "1"

    @property
    def code_page(self):
        """Python's codec for CODEPAGE (1252 where not given); None for one it doesn't know."""
        try:
            number = int(self._given.get("CODEPAGE", "1252"))
            return codecs.lookup(f"cp{number}").name and f"cp{number}"
        except (LookupError, ValueError, OverflowError):
            return None

    @property
    def cpus(self):
        """The processors to build for; [None] for one CAB without."""
        names = self._given.get("CPU", "").split()
        return names or [None]

    @property
    def device_digest(self):
        return self._given.get("DEVICE_DIGEST", "sha1")


def check_settings(values):
    """How the settings go together, before any file is read: every fault, one line each."""
    faults = []
    device = [name for name in DEVICE if name in values]
    if "PFX" in values and device:
        faults.append(f"PFX {values['PFX']} and {device[0]} {values[device[0]]}: two ways to "
                      "sign, a certificate file or a key on a device; give one (PFX with "
                      "PFX_PASS_FILE, or PKCS11_MODULE, PKCS11_KEY, CERT and PIN_FILE)")
    if device and len(device) < len(DEVICE):
        missing = [name for name in DEVICE if name not in values]
        faults.append(f"{device[0]} {values[device[0]]}: signing through a device takes "
                      "PKCS11_MODULE, PKCS11_KEY, CERT and PIN_FILE together; missing: "
                      f"{', '.join(missing)}")
    if "PFX_PASS_FILE" in values and "PFX" not in values:
        faults.append("PFX_PASS_FILE is given without PFX, the certificate file it opens")
    if "PFX" in values and "PFX_PASS_FILE" not in values:
        faults.append(f"PFX {values['PFX']}: PFX_PASS_FILE names the file holding its password "
                      "(an empty file for none)")
    if values.get("DUAL_SIGN", "0") not in ("0", "1"):
        faults.append(f"DUAL_SIGN {values['DUAL_SIGN']}: 1 signs twice, SHA-1 and then "
                      "SHA-256 nested in it; 0 or nothing signs once, SHA-256")
    for name in ("TIMESTAMP_URL", "DUAL_SIGN"):
        if values.get(name, "0") != "0" and "PFX" not in values and not device:
            faults.append(f"{name} is given without a key to sign with (PFX, or PKCS11_MODULE "
                          "and the settings beside it)")
    url = values.get("TIMESTAMP_URL", "http://")
    if urllib.parse.urlsplit(url).scheme not in ("http", "https"):
        faults.append(f"TIMESTAMP_URL {url}: not an http:// or https:// address")
    return faults


def gather(faults, step, *args):
    """What `step` returns, or None with its fault's lines added to `faults`: the checks that
    don't depend on each other all run, so one run tells every fault."""
    try:
        return step(*args)
    except Faults as error:
        faults += str(error).splitlines()
        return None


def first_line(name, path):
    """The first line of the file, without its line end, whichever system wrote it. The tools
    read a file's line ends each in its own way, so osslsigncode is given the password or PIN in
    a file of its own (see sign)."""
    try:
        text = pathlib.Path(path).read_bytes()
    except OSError as error:
        raise Faults(f"{name} {path}: cannot read it ({error.strerror})") from None
    return text.split(b"\n", 1)[0].removesuffix(b"\r")


class Setting:
    """One setting: its name as make and NAME=value words spell it, what it is for, and the
    commands that read it."""

    def __init__(self, name, commands, metavar, text):
        self.name, self.commands, self.metavar, self.help = name, set(commands.split()), \
            metavar, text

    @property
    def option(self):
        return "--" + self.name.lower().replace("_", "-")


SIGNING_TEXT = "release package cab"
BRANDING = "release package"
CABS = "package cab"
SETTINGS = (
    Setting("OUT", "release package cab", "PATH",
            "what to write: release, a file (setup.exe); package, a folder, a .zip file or one "
            "program (.exe); cab, the folder the CABs go into. An existing OUT is replaced only "
            "where this tool wrote it"),
    Setting("PACKAGE", "package", "FOLDER",
            "the package folder: install.ini and the files it names"),
    Setting("INF", CABS, "FILE", "the application's .inf, which the CABs are made from"),
    Setting("CPU", CABS, "NAMES",
            "the .inf's processor sections to build, blank-separated (\"ARM SH3\"): one CAB each"),
    Setting("COMPRESS", CABS, "0|1", "1: MSZIP-compressed CABs; 0 (the default): stored"),
    Setting("CODEPAGE", CABS, "NUMBER",
            "the code page of the .inf, install.ini and the CABs' scripts (default 1252)"),
    Setting("DRIVES", CABS, "MAP",
            "where the .inf's absolute source folders are here: 'E:\\Product=/src/product "
            "C=/opt/sdk', a drive letter or a Windows folder each; the longest prefix wins"),
    Setting("DEVICE_DIGEST", CABS, "sha1|sha256",
            "the CABs' signature digest: sha1 (the default, every device) or sha256"),
    Setting("FOLDER", "package", "NAME",
            "the one program's folder in the installer's (default: the first CAB's provider and "
            "application)"),
    Setting("ICON", BRANDING, "FILE", "setup.exe's icon (.ico)"),
    Setting("VERSION", BRANDING, "a.b.c.d", "the file and product version"),
    Setting("COMPANY", BRANDING, "TEXT", "CompanyName in the version resource"),
    Setting("PRODUCT", BRANDING, "TEXT", "ProductName in the version resource"),
    Setting("DESCRIPTION", BRANDING, "TEXT",
            "FileDescription (default '<PRODUCT> Setup'); for package INF=, install.ini's "
            "Description too"),
    Setting("COPYRIGHT", BRANDING, "TEXT", "LegalCopyright in the version resource"),
    Setting("PFX", SIGNING_TEXT, "FILE", "a PKCS#12 file with the code-signing key"),
    Setting("PFX_PASS_FILE", SIGNING_TEXT, "FILE",
            "the file whose first line is PFX's password (an empty file for none)"),
    Setting("PKCS11_MODULE", SIGNING_TEXT, "LIBRARY", "the PKCS#11 library of a signing device"),
    Setting("PKCS11_KEY", SIGNING_TEXT, "URI", "the key on the device, a pkcs11: URI"),
    Setting("CERT", SIGNING_TEXT, "FILE", "the device key's certificate and its chain (PEM)"),
    Setting("PIN_FILE", SIGNING_TEXT, "FILE", "the file whose first line is the device's PIN"),
    Setting("TIMESTAMP_URL", SIGNING_TEXT, "URL", "an RFC 3161 time-stamp server"),
    Setting("DUAL_SIGN", BRANDING, "0|1",
            "1: a SHA-1 signature with a SHA-256 one nested in it; 0 (the default): SHA-256"),
    Setting("CAB", "cab-info", "FILE", "the CAB to list"),
)
BY_NAME = {setting.name: setting for setting in SETTINGS}
