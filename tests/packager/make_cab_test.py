#!/usr/bin/env python3
"""make cab and make package INF=, from the outside, with an application made at test time.

    python3 -m tests.packager.make_cab_test GROUP   (from the repository's root)

    bad      each bad .inf: its lines, a non-zero status, OUT exactly as it was
    good     an .inf using every section, two processors: read back by GCab, listed and
             extracted by cabextract; the same inputs twice give the same bytes
    package  make package INF= to a ZIP and to one program
    facts    one .inf each for the ways real ones are written, and provisioning
    diff     cab-info --diff: one change of each kind
"""
import contextlib
import io
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time
import zipfile

from cabwright import cli  # the reader, written apart from the writer
from cabwright.commands import cab as make_cab
from cabwright.formats import cabinet, script000, signature
from cabwright.formats.model import ValueType
from tests.packager.package_test import tree
from tests.packager.release_test import make
from wine import demo

ROOT = pathlib.Path(__file__).resolve().parents[2]
WORK = ROOT / "build" / "cab-test"
INF = r"""[version]
Signature   = "$Windows NT$"
Provider    = "Example Software"   ; a comment after a value
CESignature = "$Windows CE$"
[CEStrings]
AppName = "Notes"
InstallDir = %CE1%\%AppName%
[Strings]
Help = "Notes Help"
a line without the sign
[CEDevice]
VersionMin = 3.0
VersionMax = 6.99
BuildMin = 100
BuildMax = 0xE0000000
UnsupportedPlatforms = "Kiosk", "Terminal"
[CEDevice.ARM]
ProcessorType = 2577
[cedevice.sh3]
ProcessorType = 10003
[SourceDisksNames]
1 = , "Common",, ..\common
[SourceDisksNames.ARM]
2 = , "ARM",, bin\arm
[SourceDisksNames.SH3]
2 = , "SH3",, bin\sh3
[SourceDisksFiles]
Notes.htm = 1
Setup.dll = 1
NotesImage.dll = 1
NotesImageList.dll = 1
[SourceDisksFiles.ARM]
notes.exe = 2
[SourceDisksFiles.SH3]
notes.exe = 2
[DefaultInstall]
CopyFiles = Files.Help, Files.App, Files.Bin
AddReg = Reg, Reg.Missing
CEShortcuts = Links
CESetupDLL = Setup.dll
[DefaultInstall.ARM]
CESelfRegister = Setup.dll
AddReg = Reg.ARM
CEShortcuts = Links.ARM
[DestinationDirs]
Files.Help = 0, %CE2%\Help
Files.Bin = 0, %InstallDir%\bin
Links = 0, %CE11%
DefaultDestDir = 0, %InstallDir%
[Files.Help]
"%Help%.htm", Notes.htm, , 0x40000000
Setup.dll
[Files.App]
NOTES.EXE
[Files.Bin]
NotesImage.dll
NotesImageList.dll
[Reg]
HKCU, \Software\Example\Notes, Folder, 0x00000000, %InstallDir%
HKCU, Software\Example\Notes, Count, 0x00010001, 42
HKLM, Software\Example\Notes, Blob, 0x00000001, 01, a0, ff
HKLM, Software\Example\Notes, List, 0x00010002, one, two
[Links]
Notes, 0, NOTES.EXE
Notes folder, 1, %InstallDir%, %CE17%
[Reg.ARM]
HKLM, Software\Example\Notes, Arm, 0x00010001, 1
[Links.ARM]
Help, 0, "Notes Help.htm", "\windows\help"
"""
SOURCES = {"common/Notes.htm": b"<p>help</p>\n", "common/Setup.dll": b"MZ setup\n" * 9,
           "common/NotesImage.dll": b"MZ image\n", "common/NotesImageList.dll": b"MZ list\n",
           "setup/bin/arm/notes.exe": b"MZ arm\n" * 99, "setup/bin/SH3/Notes.EXE": b"MZ sh3\n"}
# Each CAB's members after the .000 and _setup.xml, in order: (number, its source, its name, where
# it goes, its copy flags); the stems are Windows' short names of the sources.
MEMBERS = {cpu: [(999, "common/Setup.dll", "000Setup", None, None),
                 (5, "common/NotesImageList.dll", "NOTESI~2", "%CE1%\\Notes\\bin\\NotesImageList.dll", 0),
                 (4, "common/NotesImage.dll", "NOTESI~1", "%CE1%\\Notes\\bin\\NotesImage.dll", 0),
                 (3, program, stem, "%CE1%\\Notes\\NOTES.EXE", 0),
                 (2, "common/Setup.dll", "000Setup", "%CE2%\\Help\\Setup.dll",
                  0x10000000 if cpu == "ARM" else 0),
                 (1, "common/Notes.htm", "000Notes", "%CE2%\\Help\\Notes Help.htm", 0x10)]
           for cpu, program, stem in (("ARM", "setup/bin/arm/notes.exe", "000notes"),
                                      ("SH3", "setup/bin/SH3/Notes.EXE", "000Notes"))}
# The plain section's values, then the ARM section's; %InstallDir% left for the device to fill in.
REGISTRY = [("HKCU\\Software\\Example\\Notes", "Folder", "string", 0, '"%InstallDir%"', True),
            ("HKCU\\Software\\Example\\Notes", "Count", "DWORD", 0x10001, "42", False),
            ("HKLM\\Software\\Example\\Notes", "Blob", "binary", 1, "01 a0 ff", False),
            ("HKLM\\Software\\Example\\Notes", "List", "multi-string", 0x10002, '"one", "two"',
             False),
            ("HKLM\\Software\\Example\\Notes", "Arm", "DWORD", 0x10001, "1", False)]
# The DIRS entries: the installation folder first and one string, %CE1%\Notes; then each
# [DestinationDirs] line whose section is named; then a shortcut's folder outside the standard
# folders (not %CE17%, whose shortcut names it by number).
FOLDERS = ["%CE1%\\Notes", "%CE2%\\Help", "%CE1%\\Notes\\bin", "%CE11%", "windows\\help"]
LINKS = [("%CE11%", "Notes.lnk", 1, 3, "%CE1%\\Notes\\NOTES.EXE"),
         ("%CE17%", "Notes folder.lnk", 0, 1, "%CE1%\\Notes"),
         ("windows\\help", "Help.lnk", 1, 1, "%CE2%\\Help\\Notes Help.htm")]
WHEN = 1620284890  # 2021-05-06 07:08:10 UTC, the sources' modification time


def application(text=INF, change=None):
    top = WORK / "app"
    shutil.rmtree(top, ignore_errors=True)
    for name, data in SOURCES.items():
        (top / name).parent.mkdir(parents=True, exist_ok=True)
        (top / name).write_bytes(data)
        os.utime(top / name, (WHEN, WHEN))
    (top / "setup" / "notes.inf").write_text(text, "utf-8")
    if change:
        change(top)
    return top / "setup" / "notes.inf"


def at(text, marker):
    """The line of `text` holding `marker`, as make cab names it."""
    return f"notes.inf:{next(n for n, line in enumerate(text.splitlines(), 1) if marker in line)}"


def bad():
    many = "[Files.App]\nNOTES.EXE\n" + "".join(f"f{n}.txt, Notes.htm\n" for n in range(999))
    rows = [  # (replacements in the .inf, a change to the files, CPU, [(marker, says)])
        ([("[version]", "[Versions]")], None, "ARM SH3", [(None, "no [Version] section")]),
        ([("Provider ", "Maker ")], None, "ARM SH3", [("[version]", "[Version] has no Pro")]),
        ([("%Help%.htm", "%Hlep%.htm")], None, "SH3", [("Hlep", "%Hlep% is not defined")]),
        ([("DefaultDestDir", "; DefaultDestDir")], None, "ARM",
         [("CopyFiles =", "copy section Files.App has no folder in [DestinationDirs]")]),
        ([], lambda t: (t / "common/Notes.htm").unlink(), "ARM",
         [("Notes.htm = 1", "Notes.htm: no file ../common/Notes.htm")]),
        ([], lambda t: (t / "common/NOTES.HTM").write_text("twin"), "ARM",
         [("Notes.htm = 1", "Notes.htm: 2 files match ../common/Notes.htm once letter case")]),
        ([("Notes, 0, NOTES.EXE", "Notes, 0, other.exe")], None, "ARM",
         [("other.exe", "shortcut Notes: other.exe is not a file CopyFiles installs")]),
        ([("HKLM, Software\\Example\\Notes, Blob", "HKU, Software\\Example\\Notes, Blob")],
         None, "ARM", [("HKU,", "registry root 'HKU': one of HKCR, HKCU, HKLM")]),
        ([("0x00010001, 42", "0x00010001, forty-two")], None, "ARM",
         [("forty", "DWORD value 'forty-two' is not a number")]),
        ([("01, a0, ff", "01, a0, fff")], None, "ARM", [("fff", "binary value 01,a0,fff: ")]),
        ([("%CE11%", "%CE20%")], None, "ARM", [("%CE20%", "%CE20%: the device's folders")]),
        ([("Setup.dll\n[Files.App]", "Setup.dll\n\"Notes Help.htm\", Setup.dll\n[Files.App]")],
         None, "ARM", [('"Notes Help.htm"', "%CE2%\\Help\\Notes Help.htm is installed by line")]),
        ([("[Files.App]\nNOTES.EXE\n", many)], None, "ARM",
         [("CopyFiles =", "CopyFiles: 1,004 files; a device CAB holds 998")]),
        ([('"Notes"', '"' + "N" * 41 + '"')], None, "ARM", [("NNN", "AppName 'NNNNN")]),
        ([('"Example Software"', '"' + "E" * 33 + '"')], None, "ARM",
         [("EEE", "Provider 'EEEEE")]),
        ([("Example Software", "Snow \u2603 Software")], None, "ARM",
         [("Snow", "Provider 'Snow \u2603 Software': '\u2603' is not in code page 1252")]),
        ([], None, "ARM MIPS", [(None, "CPU MIPS: no section ends in '.MIPS'")]),
        ([("..\\common", "C:\\projects\\common")], None, "ARM",
         [("C:\\projects", "source folder C:\\projects\\common is on drive C:, which DRIVES "
                            "doesn't map to a folder here (DRIVES='C=/path/to/it')")]),
        # Every fault at once, in the order of the file.
        ([("%Help%.htm", "%Hlep%.htm"), ("HKLM, Software\\Example\\Notes, Blob", "HKU, x, y"),
          ("0x00010001, 42", "0x00010001, 4x2")], None, "SH3",
         [("Hlep", "%Hlep%"), ("4x2", "DWORD value '4x2'"), ("HKU,", "registry root 'HKU'")]),
    ]
    # A [DestinationDirs] value without its 0, and a section header without its ]: each at its
    # own line. A registry string past the 64 KB one .000 entry holds: told before writing.
    rows += [([("Links = 0, %CE11%", "Links = %CE11%")], None, "ARM",
              [("Links = %CE11%", "[DestinationDirs] links: '%CE11%' is not 0, a folder")]),
             ([("[Files.Bin]", "[Files.Bin")], None, "ARM",
              [("[Files.Bin", "'[Files.Bin': a section header without its closing ']'")]),
             ([("Folder, 0x00000000, %InstallDir%", "Folder, 0x00000000, " + "x" * 70000)], None,
              "ARM", [("Folder, 0x", "notes.ARM.CAB: registry value Folder: 70,008 bytes, past "
                       "the 65,535 a .000 entry holds")])]
    # The read-back seen to work: a writer whose script comes out cut short, run in this
    # process; make cab says so in one line.
    rows.append(([], None, "ARM", [(False, "notes.ARM.CAB: written, but doesn't read back: "
                                           "NOTESA~1.000: its header records")]))
    # A file of a CAB's name that is no cabinet is the user's: refused, kept.
    rows.append(([], None, "ARM", [("OUT", "OUT {out}: holds notes.ARM.CAB, which is not a cabinet")]))
    # Settings: a misspelt one, one of another command, a folder DRIVES maps that isn't there
    # (told once for the four files in it). "=": the line as it stands.
    mapped = f"DRIVES=E:\\product={WORK / 'app'}"
    rows += [([], None, ["CPU=ARM", "COMPRES=1"], [("=", "COMPRES: no such setting; did you "
                                                        "mean COMPRESS?")]),
             ([], None, ["FOLDER=Notes"], [("=", "FOLDER: not a setting of cab; it goes with "
                                                 "package")]),
             ([("..\\common", "e:\\Product\\Missing")], None, ["CPU=ARM", mapped],
              [("Notes.htm = 1", "Notes.htm: no folder E:\\Product\\Missing: DRIVES maps "
                f"E:\\product to {WORK / 'app'}, which has no Missing")])]
    # Hostile .inf files, each one line within the bound: strings that name the next a hundred
    # times, four deep (10^8 characters); a number of 5,000 digits; 100,000 blanks after a
    # comma; a standard folder of 5,000 digits.
    bomb = "".join(f's{n} = "{f"%s{n + 1}%" * 100}"\n' for n in range(4)) + "s4 = xxxxxxxxxx\n"
    rows += [([("[CEStrings]\n", "[CEStrings]\n" + bomb), ('"Notes"', '"%s0%"')], None, "ARM",
              [("s3 = ", "%s4%: strings expand past 65,536 characters")]),
             ([("2577", "9" * 5000)], None, "ARM", [("99999", "ProcessorType '" + "9" * 60 +
                                                     "... (5,000 characters)' is not a number")]),
             ([("Notes.htm = 1", "Notes.htm = 1," + " " * 100000 + "x")], None, "ARM",
              [("Notes.htm = 1", "Notes.htm: no folder ../common/x")]),
             ([("%AppName%\n", "%AppName%" + ",x" * 500000 + "\n"), ("%Help%.htm", "%Hlep%.htm")],
              None, "SH3", [("Hlep", "%Hlep% is not defined")]),  # an InstallDir of 500,001 fields
             ([("%CE1%", "%CE" + "1" * 5000 + "%")], None, "ARM",
              [("%CE111", "%CE" + "1" * 58 + "... (5,002 characters)% is not defined")])]
    failures, script = [], script000.encode
    for n, (replacements, change, cpu, says) in enumerate(rows, 1):
        text = INF
        for old, new in replacements:
            text = text.replace(old, new)
        inf = application(text, change)
        out = WORK / "bad" / "out"
        shutil.rmtree(out.parent, ignore_errors=True)
        out.mkdir(parents=True)
        there = b"what was there" if says[0][0] == "OUT" else b"MSCF, what was there"
        (out / "notes.ARM.CAB").write_bytes(there)
        settings = [f"INF={inf}", f"OUT={out}",
                    *([f"CPU={cpu}"] if isinstance(cpu, str) else cpu or [])]
        if says[0][0] is False:
            script000.encode = lambda *args: script(*args)[:-2]
            with contextlib.redirect_stderr(io.StringIO()) as told:
                result = subprocess.CompletedProcess(settings, cli.main(["cab", *settings]), "",
                                                     told.getvalue())
            script000.encode = script
        else:
            began = time.monotonic()
            result = make("cab", *settings)
            if time.monotonic() - began > 20 or len(result.stderr) > 100000:
                failures.append(f"row {n}: {time.monotonic() - began:.1f} s, "
                                f"{len(result.stderr):,} characters told")
        lines = [t.removeprefix("cab: ") for t in result.stderr.splitlines()
                 if t.startswith("cab: ") and not t.startswith("cab: warning: ")]
        want = [says.format(out=out) if m in (False, "OUT", "=") else f"{at(text, m) if m else 'notes.inf'}: {says}"
                for m, says in says]
        if result.returncode == 0 or len(lines) != len(want) or not all(
                line.startswith(w) for line, w in zip(lines, want)):
            failures.append(f"row {n}: status {result.returncode}, said {lines}, expected {want}")
        if [p.name for p in out.parent.iterdir()] != ["out"] or [p.name for p in out.iterdir()] \
                != ["notes.ARM.CAB"] or (out / "notes.ARM.CAB").read_bytes() != there:
            failures.append(f"row {n}: OUT or its folder changed")
    return failures


def members(cab):
    """cabextract's list of a CAB: [(name, date and time)], in the cabinet's order."""
    listed = subprocess.run(["cabextract", "-l", str(cab)], capture_output=True, text=True)
    return re.findall(r"\|\s*(\S+ \S+)\s*\|\s*(\S+)$", listed.stdout, re.M)


def good():
    inf, failures, runs = application(), [], []
    # The third run: dates clamped to SOURCE_DATE_EPOCH, MSZIP; cabextract extracts that one.
    for n, epoch in enumerate(("", "", "1600000000")):
        out = WORK / "good" / f"out{n}"
        shutil.rmtree(out, ignore_errors=True)
        os.environ["SOURCE_DATE_EPOCH"] = epoch
        result = make("cab", f"INF={inf}", f"OUT={out}", "CPU=ARM SH3", f"COMPRESS={n // 2}")
        # Two warnings: the [Strings] line; the missing section, the CAB built all the same.
        if result.returncode != 0 or result.stderr.count("\n") != 2 or \
                "Section [Reg.Missing] has no data" not in result.stderr:
            return [f"make cab: status {result.returncode}\n{result.stderr}"]
        runs.append({p.name: p.read_bytes() for p in out.iterdir()})
    if runs[0] != runs[1] or sorted(runs[0]) != ["notes.ARM.CAB", "notes.SH3.CAB"] or \
            len(runs[2]["notes.ARM.CAB"]) >= len(runs[0]["notes.ARM.CAB"]):
        failures.append(f"two runs of the same inputs differ, wrote {sorted(runs[0])}, or "
                        "MSZIP made nothing smaller")
    # The same CABs from absolute source folders under a mapped Windows folder, found letter
    # case aside, PFX in the environment warned about and not used; and from the SDK tool's own
    # command line as a build has it, the map in the environment, /dest a Windows path, a
    # mistyped \\compress after /cpu passed over.
    os.environ["SOURCE_DATE_EPOCH"], top = "", inf.parents[1]
    drives, again = WORK / "good" / "drives", WORK / "good" / "drives2"
    shutil.rmtree(again, ignore_errors=True)
    absolute = application(INF.replace("..\\common", "e:\\Product\\COMMON"))
    os.environ["PFX"], os.environ["SOURCE_DATE_EPOCH"] = "unused.pfx", "yesterday"
    refused = make("cab", f"INF={absolute}", f"OUT={drives}", "CPU=ARM SH3",
                   f"DRIVES=E:\\product={top}")
    os.environ["SOURCE_DATE_EPOCH"] = ""
    result = make("cab", f"INF={absolute}", f"OUT={drives}", "CPU=ARM SH3",
                  f"DRIVES=E:\\product={top}")
    del os.environ["PFX"]
    if "cab: SOURCE_DATE_EPOCH yesterday: not a count of seconds" not in refused.stderr:
        failures.append(f"SOURCE_DATE_EPOCH=yesterday: {refused.stderr}")
    if result.returncode or {p.name: p.read_bytes() for p in drives.iterdir()} != runs[0] or \
            "cab: warning: PFX is in the environment and not used" not in result.stderr:
        failures.append(f"DRIVES=E:\\product={top}: status {result.returncode}, {result.stderr}")
    told = WORK / "good" / "told.txt"
    result = subprocess.run(["/usr/bin/python3", "-m", "cabwright", "inf2cab", absolute, "/bogus",
                             "/DEST", "X:\\cabs\\drives2", "/Err", told, "/Cpu", "ARM", "SH3",
                             "\\compress"], capture_output=True,
                            env={**os.environ, "DRIVES": f"E={WORK} E:\\product={top} "
                                                     f"x:\\CABS={WORK / 'good'}"})
    lines = told.read_bytes().decode("utf-16").splitlines() if told.exists() else []
    if result.returncode or not again.is_dir() or \
            {p.name: p.read_bytes() for p in again.iterdir()} != runs[0] or \
            not told.read_bytes().startswith(b"\xff\xfe") or lines[:3] != [
                "warning: /bogus: not an option this tool knows; passed over",
                "warning: \\compress: not a CPU section; passed over",
                "took DRIVES from the environment"] or "[Reg.Missing]" not in lines[-1]:
        failures.append(f"inf2cab: status {result.returncode}, {result.stderr}, told {lines}")
    for cpu, number, arm in (("ARM", 2577, 5), ("SH3", 10003, 4)):  # where ARM's own end
        cab = WORK / "good" / "out0" / f"notes.{cpu}.CAB"
        described = cabinet.read(cab)
        if (described.application, described.provider, described.processor_name(),
                described.versions()) != ("Notes", "Example Software", f"{cpu} ({number})",
                                          "system 3.0 to 6.99"):
            failures.append(f"{cab.name} reads back as {vars(described)}")
        listed, clamped = members(cab), members(WORK / "good" / "out2" / cab.name)
        want = [f"NOTES{cpu[0]}~1.000", "_setup.xml"] + [f"{stem}.{n:03d}" for n, _, stem, *_
                                                         in MEMBERS[cpu]]
        if [name for _, name in listed] != want or {d for d, _ in listed} != \
                {"06.05.2021 07:08:10"} or {d for d, _ in clamped} != {"13.09.2020 12:26:40"}:
            failures.append(f"{cab.name}: cabextract lists {listed}, dated then {clamped}")
        extracted = WORK / "good" / "x" / cpu
        shutil.rmtree(extracted, ignore_errors=True)
        subprocess.run(["cabextract", "-q", "-d", str(extracted),
                        str(WORK / "good" / "out2" / cab.name)], check=True)
        got = {p.suffix: p.read_bytes() for p in extracted.iterdir()}
        if any(got[f".{n:03d}"] != SOURCES[source] for n, source, *_ in MEMBERS[cpu]):
            failures.append(f"{cab.name}: cabextract extracts {sorted(got)}, not the sources")
        # What the reader decodes of each script, against what the .inf says.
        script, xml = described.script, described.xml
        files = {f.number: (f.path, f.flags) for f in script.files}
        values = [(v.where, v.name, ValueType(v.type).shown, v.type | 2 * v.keep, v.shown(),
                   v.substitute) for v in script.registry]
        links = [(s.folder, s.name, int(not s.to_folder), s.target) for s in script.shortcuts]
        want_links = [(f, n, kind, t) for f, n, kind, _, t in LINKS[:arm - 2]]
        if files != {n: (to, flags) for n, _, _, to, flags in MEMBERS[cpu] if to} or \
                described.warnings or values != REGISTRY[:arm] or links != want_links or \
                script.folders != FOLDERS[:arm] or b"\0%CE1%\\Notes\0" not in got[".000"] \
                or script.builds != (100, 0xE0000000):
            failures.append(f"{cab.name}: its .000 reads back as {files}, {values}, {links}, "
                            f"{script.folders}, warnings {described.warnings}")
        # _setup.xml: the install folder's paths from %InstallDir%, as the device fills it in.
        counts = {"NumDirs": arm, "NumFiles": 5, "NumRegKeys": 2, "NumRegVals": arm,
                  "NumShortcuts": arm - 2}
        written = (xml.application, xml.processor, xml.minimum, xml.maximum, xml.builds,
                   xml.install_dir, xml.setup_dll, xml.counts)
        xml_files = {f.path: (f.member, f.flags) for f in xml.files}
        xml_values = [(v.where, v.name, ValueType(v.type).shown, v.substitute)
                      for v in xml.registry]
        if written != ("Example Software Notes", number, (3, 0), (6, 99), (100, 0xE0000000),
                       "%CE1%\\Notes", "000Setup.999", counts) or \
                sorted((s.folder, s.name, int(not s.to_folder), s.target)
                       for s in xml.shortcuts) != sorted(want_links) or xml_files != {
                to: (f"{stem}.{n:03d}", flags) for n, _, stem, to, flags in MEMBERS[cpu] if to} \
                or xml_values != [(k, n, t, s) for k, n, t, _, _, s in REGISTRY[:arm]] or \
                b'type="%InstallDir%\\bin" translation="install"' not in got[".xml"]:
            failures.append(f"{cab.name}: its _setup.xml reads back as {written}, "
                            f"{xml.shortcuts}, {xml_files}, {xml_values}")
    return failures


def certificate():
    """A self-signed certificate's DER bytes, and its SHA-1 thumbprint."""
    import datetime
    import hashlib
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(x509.oid.NameOID.COMMON_NAME, "Test Privileged Root")])
    now = datetime.datetime(2020, 1, 1)
    der = x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(
        key.public_key()).serial_number(1).not_valid_before(now).not_valid_after(
        now + datetime.timedelta(days=9000)).sign(key, hashes.SHA256()).public_bytes(
        serialization.Encoding.DER)
    return der, hashlib.sha1(der).hexdigest().upper()


def facts():
    """One row per way real .inf files and CABs are built: each .inf changed from INF, built for
    ARM (or as the row says), and what make cab says and writes checked."""
    import base64
    der, thumbprint = certificate()
    store = ('<wap-provisioningdoc><characteristic type="CertificateStore"><characteristic '
             'type="Privileged Execution Trust Authorities"><characteristic type="'
             f'{thumbprint}"><parm name="EncodedCertificate" value="'
             f'{base64.b64encode(der).decode()}"/></characteristic></characteristic>'
             '</characteristic></wap-provisioningdoc>')
    (WORK / "prexml.xml").write_text(store)
    utf16 = lambda t: (t / "setup/notes.inf").write_bytes(  # noqa: E731
        ("\ufeff" + INF).encode("utf-16-le"))
    nul = lambda t: (t / "setup/notes.inf").write_bytes(INF.encode() + b"\0")  # noqa: E731
    flagged = ('"%Help%.htm", Notes.htm, , 0x00000010 ;no overwrite\nSetup.dll\n', )
    rows = [  # (replacements, change, settings, what must hold of (status, told, install, xml))
        ([], utf16, [], lambda r, t, i, x: r == 0 and i.application == "Notes"),
        ([], nul, [], lambda r, t, i, x: r == 0 and i.application == "Notes"),
        ([("CESelfRegister = Setup.dll", "CESelfRegister = Notes.htm")], None, [],
         lambda r, t, i, x: i.files[0].name == "Notes Help.htm" and i.files[0].flags & 0x10000000),
        ([("Links = 0, %CE11%", "Links = 0, %CE19%\\Home")], None, [],
         lambda r, t, i, x: r == 0 and "%CE19%: a folder only some devices define" in t and
         i.shortcuts[0].folder == "%CE19%\\Home"),
        ([("[Strings]\n", "[Strings]\nImage = NotesImage\n"),
          ("NotesImage.dll = 1", "%Image%.dll = 1"), ("[Files.Bin]\nNotesImage.dll",
                                                      "[Files.Bin]\n%Image%.dll")], None, [],
         lambda r, t, i, x: r == 0 and i.files[3].name == "NotesImage.dll"),
        ([("DefaultDestDir = 0, %InstallDir%", "DefaultDestDir = 0, %CE2%\nFiles.Empty = 0, "
           "%CE1%\\Empty\nFiles.Unused = 0, %CE5%"),
          ("CopyFiles = Files.Help,", "CopyFiles = Files.Empty, Files.Help,")], None, [],
         lambda r, t, i, x: r == 0 and i.folders == ["%CE1%\\Notes", "%CE2%\\Help",
                                                     "%CE1%\\Notes\\bin", "%CE11%",
                                                     "%CE1%\\Empty", "%CE2%", "windows\\help"]
         and b'type="%InstallDir%" ' not in x and b'"NumDirs" value="7"' in x),
        ([("BuildMin = 100\n", ""), ("BuildMax = 0xE0000000\n", "")], None, [],
         lambda r, t, i, x: r == 0 and b"BuildNumber" not in x and b"OSVersionMin" in x),
        ([('"%Help%.htm", Notes.htm, , 0x40000000\nSetup.dll\n', flagged[0]),
          ("NotesImage.dll\nNotesImageList.dll", "NotesImage.dll,,,0x80000000\n"
           "NotesImageList.dll,,,0xC0000000")], None, [],
         lambda r, t, i, x: r == 0 and "copy flags 0x00000010 followed by a comment" in t and
         [f.flags & ~0x10000000 for f in i.files] == [0, 0, 0, 0, 0x10]),
        ([("Links = 0, %CE11%", "Links = 0, %CE11%\nLinks.ARM = 0, \\windows\\Help")], None,
         [], lambda r, t, i, x: r == 0 and "windows\\Help" in i.folders and
         "windows\\help" not in i.folders),
        ([("ProcessorType = 2577", ""), ("ProcessorType = 10003", "")], None, ["CPU=ARM SH3"],
         lambda r, t, i, x: r == 0 and "each declare any processor" in t),
        ([], None, ["inf2cab", "/prexml", str(WORK / "prexml.xml")],
         lambda r, t, i, x: r == 0 and x.startswith(b"<wap-provisioningdoc>\n"
                                                    b"<wap-provisioningdoc>") and
         [e.tag for e in i.before] == ["wap-provisioningdoc"]),
    ]
    failures, out = [], WORK / "facts"
    for n, (replacements, change, settings, holds) in enumerate(rows, 1):
        text = INF
        for old, new in replacements:
            text = text.replace(old, new)
        inf = application(text, change)
        shutil.rmtree(out, ignore_errors=True)
        if settings[:1] == ["inf2cab"]:  # /prexml is the SDK tool's option
            result = subprocess.run(["/usr/bin/python3", "-m", "cabwright", "inf2cab", str(inf),
                                     "/dest", str(out), "/cpu", "ARM", *settings[1:]],
                                    capture_output=True, text=True)
        else:
            result = make("cab", f"INF={inf}", f"OUT={out}", *(settings or ["CPU=ARM"]))
        cab = out / "notes.ARM.CAB"
        install = cabinet.read(cab).install if result.returncode == 0 else None
        xml = subprocess.run(["cabextract", "-q", "-p", "-F", "_setup.xml", str(cab)],
                             capture_output=True).stdout if install else b""
        try:
            held = bool(holds(result.returncode, result.stderr, install, xml))
        except (AttributeError, IndexError, TypeError):
            held = False
        if not held:
            failures.append(f"facts row {n}: status {result.returncode}, {result.stderr}, "
                            f"{install}, {xml[:300]}")
    # The CAB above, with a certificate for the privileged store: cab-info names it so.
    listed = make("cab-info", f"CAB={out / 'notes.ARM.CAB'}")
    if "  certificate Test Privileged Root into Privileged Execution Trust Authorities (the " \
            f"device's privileged store: a program signed under it runs with full rights), " \
            f"thumbprint {thumbprint}\n" not in listed.stdout:
        failures.append(f"cab-info, a certificate: {listed.stdout}{listed.stderr}")
    # A CAB that holds only provisioning, as the platform's SDKs ship for the device's stores.
    folder = WORK / "provisioning"
    shutil.rmtree(folder, ignore_errors=True)
    demo.sample(folder, demo.INI.replace("notes.arm.cab,notes.sh3.cab", "certs.cab"), ())
    demo.cabinet(folder / "certs.cab", {"_setup.xml": store.encode()})
    listed = make("cab-info", f"CAB={folder / 'certs.cab'}")
    shipped = make("package", f"PACKAGE={folder}", f"OUT={WORK / 'provisioning-out'}")
    if listed.returncode or "provisioning only, no application" not in listed.stdout or \
            "certificate Test Privileged Root" not in listed.stdout or shipped.returncode or \
            "provisioning only: 1 certificates (1 into the privileged store)" not in \
            shipped.stdout:
        failures.append(f"a provisioning-only CAB: {listed.stdout}{listed.stderr}"
                        f"{shipped.stdout}{shipped.stderr}")
    return failures


def diff():
    """cab-info --diff: one change of each kind against the ARM CAB the .inf builds, each row's
    changes in --json's data, and the text naming them."""
    (WORK / "prexml.xml").write_text('<characteristic type="SecurityPolicy"><parm name="4102" '
                                     'value="1"/></characteristic>')
    app = "%CE1%\\Notes"
    rows = [  # (replacements, a change to the files, [(kind, change, what)])
        ([("[Files.App]\nNOTES.EXE", "[Files.App]\nNOTES.EXE\nReadme.htm, Notes.htm")], None,
         [("file", "added", f"{app}\\Readme.htm")]),
        ([("NotesImage.dll\nNotesImageList.dll", "NotesImage.dll")], None,
         [("file", "removed", f"{app}\\bin\\NotesImageList.dll")]),
        ([], lambda t: (t / "common/NotesImage.dll").write_bytes(b"MZ image, rebuilt\n"),
         [("file", "changed", f"{app}\\bin\\NotesImage.dll")]),
        ([("NotesImage.dll\nNotesImageList.dll", "NotesImage.dll\n"),
          ("[Files.App]\nNOTES.EXE", "[Files.App]\nNOTES.EXE\nNotesImageList.dll")], None,
         [("file", "moved", "NotesImageList.dll")]),
        ([("NotesImage.dll\nNotesImageList.dll", "NotesImage.dll,,,0x10\nNotesImageList.dll")],
         None, [("file", "flags", f"{app}\\bin\\NotesImage.dll")]),
        ([("[Reg]\n", "[Reg]\nHKCU, Software\\Example\\Notes, New, 0x00010001, 1\n")], None,
         [("registry", "added", "HKCU\\Software\\Example\\Notes: New")]),
        ([("HKCU, Software\\Example\\Notes, Count, 0x00010001, 42\n", "")], None,
         [("registry", "removed", "HKCU\\Software\\Example\\Notes: Count")]),
        ([("0x00010001, 42", "0x00010001, 43")], None,
         [("registry", "changed", "HKCU\\Software\\Example\\Notes: Count")]),
        ([("[Links]\n", "[Links]\nHelp, 0, Notes Help.htm\n")], None,
         [("shortcut", "added", "%CE11%\\Help.lnk")]),
        ([('Help, 0, "Notes Help.htm", "\\windows\\help"\n', "")], None,
         [("shortcut", "removed", "windows\\help\\Help.lnk")]),
        ([("Notes, 0, NOTES.EXE", "Notes, 0, Notes Help.htm")], None,
         [("shortcut", "changed", "%CE11%\\Notes.lnk")]),
        ([("ProcessorType = 2577", "ProcessorType = 70001")], None,
         [("processor", "changed", "type")]),
        ([("VersionMax = 6.99", "VersionMax = 7.0")], None, [("system", "changed", "range")]),
        ([], None, [("provisioning", "added", "provisioning SecurityPolicy: 4102 = 1")]),
    ]
    failures, old = [], WORK / "diff" / "old"
    shutil.rmtree(old.parent, ignore_errors=True)
    make("cab", f"INF={application()}", f"OUT={old}", "CPU=ARM")
    for n, (replacements, change, want) in enumerate(rows, 1):
        text = INF
        for before, after in replacements:
            text = text.replace(before, after)
        inf, new = application(text, change), WORK / "diff" / f"new{n}"
        if n == len(rows):  # provisioning: the SDK tool's /prexml
            subprocess.run(["/usr/bin/python3", "-m", "cabwright", "inf2cab", str(inf), "/dest",
                            str(new), "/cpu", "ARM", "/prexml", str(WORK / "prexml.xml")],
                           capture_output=True)
        else:
            make("cab", f"INF={inf}", f"OUT={new}", "CPU=ARM")
        pair = [str(old / "notes.ARM.CAB"), str(new / "notes.ARM.CAB")]
        data = subprocess.run(["/usr/bin/python3", "-m", "cabwright", "cab-info", "--json",
                               "--diff", *pair], capture_output=True, text=True)
        text = subprocess.run(["/usr/bin/python3", "-m", "cabwright", "cab-info", "--diff",
                               *pair], capture_output=True, text=True)
        try:
            found = [(c["kind"], c["change"], c["what"]) for c in json.loads(data.stdout)["changes"]]
        except (ValueError, KeyError):
            found = data.stdout + data.stderr
        if found != want or data.returncode or not all(
                f"  {kind} {change}: {what}" in text.stdout for kind, change, what in want):
            failures.append(f"diff row {n}: {found}, expected {want}; {text.stdout}{text.stderr}")
    return failures


def package():
    inf, failures = application(), []
    cabs = {p.name: p.read_bytes() for p in (WORK / "good" / "out0").iterdir()}
    ini = ("[CEAppManager]\r\nVersion = 1.0\r\nComponent = Notes\r\n\r\n[Notes]\r\n"
           "Description = Notes for handhelds\r\nCabFiles = notes.ARM.CAB,notes.SH3.CAB\r\n")
    for name in ("notes.zip", "notes-setup.exe"):
        out = WORK / "package" / name
        result = make("package", f"INF={inf}", "CPU=ARM SH3", f"OUT={out}",
                      "DESCRIPTION=Notes for handhelds")
        if result.returncode != 0:
            return [f"make package OUT={out}: status {result.returncode}\n{result.stderr}"]
        files = {k.removeprefix("Example Software Notes/"): v for k, v in tree(out).items()} \
            if name.endswith(".exe") else zipfile.ZipFile(out).read
        got = {n: files[n] if isinstance(files, dict) else files(n)
               for n in ("install.ini", *cabs)}
        if got != {"install.ini": ini.encode(), **cabs}:
            failures.append(f"{name}: holds {got.get('install.ini')!r} and CABs unlike make cab's")
    return failures


def signed():
    """Signing while building, with release_test's CA, token and time-stamp authority: two
    program files are the default setup.exe's bytes, Setup.dll one a vendor signed already."""
    from tests.packager import release_test
    work = WORK / "signed"
    shutil.rmtree(work, ignore_errors=True)
    certs = release_test.certificates(work / "certs")
    device, (server, url) = release_test.token(certs), release_test.authority(certs)
    pfx = {"PFX": certs / "signing.pfx", "PFX_PASS_FILE": certs / "pass.txt"}
    given = lambda settings: [f"{k}={v}" for k, v in settings.items()]  # noqa: E731

    def sign(unsigned, signed):  # as a vendor's, or a packager's own signing step, leaves it
        subprocess.run(["osslsigncode", "sign", "-pkcs12", pfx["PFX"], "-readpass",
                        pfx["PFX_PASS_FILE"], "-h", "sha1", "-in", unsigned, "-out", signed],
                       check=True, capture_output=True)
        return signed.read_bytes()
    program, vendor = release_test.DEFAULT.read_bytes(), sign(release_test.DEFAULT,
                                                              work / "vendor.dll")

    def programs(top):
        for name, data in (("setup/bin/arm/notes.exe", program), ("common/NotesImage.dll", program),
                           ("common/Setup.dll", vendor)):
            (top / name).write_bytes(data)
            os.utime(top / name, (WHEN, WHEN))
    inf, failures, out = application(change=programs), [], work / "out"
    sources = {p: p.read_bytes() for p in inf.parents[1].rglob("*") if p.is_file()}
    result = make("cab", f"INF={inf}", f"OUT={out}", "CPU=ARM", f"TIMESTAMP_URL={url}",
                  *given(device))
    cab = out / "notes.ARM.CAB"
    if result.returncode or "Setup.dll: signed already" not in result.stderr or "verif" in \
            result.stderr:  # the test CA, a root this machine doesn't hold: no warning
        return [f"make cab, signing: status {result.returncode}\n{result.stderr}"]
    extracted = work / "x"
    subprocess.run(["cabextract", "-q", "-d", extracted, cab], check=True)
    for checked in (cab, extracted / "000notes.003", extracted / "NOTESI~1.004"):
        verdict = release_test.verify(checked, certs / "ca.pem")
        if verdict.returncode or "Message digest algorithm  : SHA1" not in verdict.stdout or \
                "Timestamp Server Signature verification: ok" not in verdict.stdout or checked == \
                cab and "Calculated message digest : " + signature.cab_digest(  # its own rule
                    cab, "sha1").hex().upper() not in verdict.stdout:
            failures.append(f"{checked.name}: osslsigncode says\n{verdict.stdout}{verdict.stderr}")
    if {(extracted / n).read_bytes() for n in ("000Setup.002", "000Setup.999")} != {vendor} or \
            sources != {p: p.read_bytes() for p in inf.parents[1].rglob("*") if p.is_file()}:
        failures.append("the vendor's DLL changed in the CAB, or a source changed on disk")
    listed = make("cab-info", f"CAB={cab}")
    if "  signature    signed by Müller & Söhne GmbH, issued by Release Test CA, SHA-1, " \
            "time-stamped 20" not in listed.stdout or not listed.stdout.count(", verifies\n"):
        failures.append(f"make cab-info lists {listed.stdout}{listed.stderr}")
    # A bit flipped in the set id (only the signature covers it), the RSA signature, the stamp's.
    signer = cabinet.read(cab).signature.signer
    for value, says in ((None, "its signature doesn't verify: the CAB changed after it was"),
                        (signer["signature"].native, "its signature over its attributes is wrong"),
                        (signer["unsigned_attrs"][0]["values"][0]["content"]["signer_infos"][0][
                            "signature"].native, "its time-stamp doesn't verify: its signature")):
        tampered = bytearray(cab.read_bytes())
        tampered[tampered.rindex(value) + 9 if value else 32] ^= 1
        (work / "tampered.cab").write_bytes(tampered)
        listed = make("cab-info", f"CAB={work / 'tampered.cab'}")
        if listed.returncode == 0 or says not in listed.stderr or says not in make_cab.read_back(
                work / "tampered.cab", None, "cp1252", False, True):
            failures.append(f"{says}: make cab-info says {listed.stdout}{listed.stderr}")
    # A CAB signed outside our tools.
    (folder := work / "package").mkdir()
    (folder / "install.ini").write_text("[CEAppManager]\nVersion = 1.0\nComponent = Notes\n"
                                        "[Notes]\nDescription = Notes\nCabFiles = notes.cab\n")
    sign(WORK / "good" / "out0" / "notes.ARM.CAB", folder / "notes.cab")
    shipped = make("package", f"PACKAGE={folder}", f"OUT={work / 'shipped'}")
    size = f"{(folder / 'notes.cab').stat().st_size:,}"
    if shipped.returncode or not re.search(rf"notes\.cab +{size}  Notes by .*, signed by Müller",
                                           shipped.stdout):
        failures.append(f"make package, a CAB signed elsewhere: {shipped.stdout}{shipped.stderr}")
    # The one command: the program files, the CAB and setup.exe signed.
    shipped = make("package", f"INF={inf}", "CPU=ARM", f"OUT={work / 'notes.zip'}", *given(pfx))
    if shipped.returncode or not re.search(r"setup\.exe .* signature\n.*\n.*notes\.ARM\.CAB .*"
                                           r"signed by Müller .*, verifies", shipped.stdout):
        failures.append(f"make package INF= PFX=: {shipped.stdout}{shipped.stderr}")
    # Each bad setting: its one line, OUT untouched; a wrong PIN tried once by make package INF=.
    os.environ.update(PKCS11SPY=release_test.SOFTHSM, PKCS11SPY_OUTPUT=str(work / "spy.log"))
    rows = [("cab", {**pfx, "PFX_PASS_FILE": certs / "wrong.txt"}, "wrong password"),
            ("cab", {**pfx, "DEVICE_DIGEST": "md5"}, "DEVICE_DIGEST md5: sha1"),
            ("cab", {"DEVICE_DIGEST": "sha256"}, "DEVICE_DIGEST is given without a key"),
            ("cab", {**pfx, "TIMESTAMP_URL": "http://127.0.0.1:9/"}, "cannot reach it"),
            ("package", {**device, "PKCS11_MODULE": release_test.SPY, "PIN_FILE": certs /
                         "wrong.txt"}, "wrong PIN for token 'Release Test'")]
    for command, settings, says in rows:
        (out / "notes.ARM.CAB").write_bytes(b"MSCF, what was there")
        target = out if command == "cab" else out.parent / "never-written"
        result = make(command, f"INF={inf}", f"OUT={target}", "CPU=ARM", *given(settings))
        lines = [t for t in result.stderr.splitlines() if t.startswith(f"{command}: ")
                 and "warning:" not in t]
        if result.returncode == 0 or len(lines) != 1 or says not in lines[0] or \
                [p.name for p in out.iterdir()] != ["notes.ARM.CAB"] or target != out and \
                target.exists() or (out / "notes.ARM.CAB").read_bytes() != b"MSCF, what was there":
            failures.append(f"make {command} {settings}: said {lines}, OUT {list(out.iterdir())}")
    server.shutdown()
    if (logins := (work / "spy.log").read_text().count("C_Login")) != 1:
        failures.append(f"a wrong PIN was tried {logins} times, not once")
    return failures


def main(argv):
    failures = {"bad": bad, "good": good, "package": package, "signed": signed,
                "facts": facts, "diff": diff}[argv[0]]()
    print("\n".join(failures) if failures else f"{argv[0]}: as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
