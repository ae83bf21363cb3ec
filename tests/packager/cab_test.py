#!/usr/bin/env python3
"""The CAB reader and make cab-info: /usr/bin/python3 -m tests.packager.cab_test GROUP, GROUP good
(a script assembled by hand read back and listed, the demo's CABs listed, a _setup.xml CAB shipped
by make package, signed CABs), damaged (scripts and signatures), fuzz (mutated scripts) or scripts
(each script's golden bytes, and decoding what was encoded)."""
import hashlib
import json
import os
import random
import resource
import struct
import subprocess
import sys
import time
import tracemalloc

from tests.packager.package_test import ROOT, WORK
from tests.packager import release_test
from tests.packager.release_test import make
from wine import demo

from asn1crypto import cms, core, pem, x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

from cabwright.formats import cabinet, script000, setup_xml, signature
from cabwright.formats.model import CopyFlag, File, Install, Root, Shortcut, Value, ValueType
from cabwright.diagnostics import Faults

# Header: size 331, ARM (2577), system 4.20 to 5.0, builds 1000 to 2000; 5 strings, 1 folder,
# 2 files, 1 hive, 2 values, 2 shortcuts at 127, 186, 196, 238, 252, 303; names at 100, 106, 114.
SIZE = 331
SCRIPT = (script000.header(size=SIZE, processor=2577, min_major=4, min_minor=20, max_major=5,
                          min_build=1000, max_build=2000, strings=5, dirs=1, files=2, hives=1,
                          values=2, links=2, strings_at=127, dirs_at=186, files_at=196,
                          hives_at=238, values_at=252, links_at=303, application_at=100,
                          application_length=6, provider_at=106, provider_length=8,
                          unsupported_at=114, unsupported_length=13)
          + b"Notes\0" + b"Example\0" + b"ABC\0BOARD07\0\0"
          + b"\1\0\6\0%CE1%\0" + b"\2\0\6\0Notes\0" + b"\3\0\x09\0Software\0"
          + b"\4\0\x08\0Example\0" + b"\5\0\x0a\0Notes.lnk\0"
          + struct.pack("<5H", 1, 6, 1, 2, 0)  # folder 1: %CE1%\Notes
          + struct.pack("<3HIH", 1, 1, 1, 0x40000002, 10) + b"notes.exe\0"
          + struct.pack("<3HIH", 2, 1, 2, 0x90000000, 8) + b"ink.dll\0"
          + struct.pack("<7H", 1, 3, 0, 6, 3, 4, 0)  # hive 1: HKLM\Software\Example
          + struct.pack("<3HIH", 1, 1, 0, 0x00010003, 9) + b"Size\0" + struct.pack("<I", 42)
          + struct.pack("<3HIH", 2, 1, 1, 0, 18) + b"Path\0%InstallDir%\0"
          # As the SDK tool writes shortcuts, their name lists not ended by 0: %CE11%\Notes.lnk,
          # then base 0 and folder 1, %CE1%\Notes\Notes.lnk, both to file 1.
          + struct.pack("<7H", 1, 0, 11, 1, 1, 2, 5) + struct.pack("<7H", 2, 1, 0, 1, 1, 2, 5))
MEMBERS = {"NOTES.000": SCRIPT, "NOTES.001": b"program\n" * 100, "INK.002": b"library",
           "SETUP.999": b"setup DLL"}
XML = (b'<wap-provisioningdoc><characteristic type="Install"><parm name="AppName" '
       b'value="Notes"/><parm name="InstallDir" value="%CE1%\\Notes"/></characteristic>'
       b'<characteristic type="FileOperation"><characteristic type="%CE1%\\Notes">'
       b'<characteristic type="notes.exe"><characteristic type="Extract"><parm name="Source" '
       b'value="NOTES.001"/></characteristic></characteristic></characteristic>'
       b'</characteristic></wap-provisioningdoc>')
# SCRIPT's _setup.xml, as the SDK tool would write it beside: entry for entry the same install,
# one shortcut's target named from %InstallDir%.
XML_BESIDE = rb"""<wap-provisioningdoc><characteristic type="Install">
<parm name="AppName" value="Example Notes"/><parm name="InstallDir" value="%CE1%\Notes"/>
<parm name="SetupDLL" value="SETUP.999"/><parm name="NumDirs" value="1"/>
<parm name="NumFiles" value="2"/><parm name="NumRegKeys" value="1"/>
<parm name="NumRegVals" value="2"/><parm name="NumShortcuts" value="2"/></characteristic>
<characteristic type="FileOperation"><characteristic type="%CE1%\Notes" translation="install">
<characteristic type="notes.exe"><characteristic type="Extract">
<parm name="Source" value="NOTES.001"/></characteristic></characteristic>
<characteristic type="ink.dll"><characteristic type="Extract"><parm name="Source" value="INK.002"/>
<parm name="SelfRegister"/></characteristic></characteristic>
<characteristic type="Notes.lnk"><characteristic type="Shortcut">
<parm name="Source" value="%CE1%\Notes\notes.exe"/></characteristic></characteristic>
</characteristic><characteristic type="%CE11%" translation="install">
<characteristic type="Notes.lnk"><characteristic type="Shortcut">
<parm name="Source" value="%InstallDir%\notes.exe"/></characteristic></characteristic>
</characteristic></characteristic><characteristic type="Registry">
<characteristic type="HKLM\Software\Example"><parm name="Size" value="42" datatype="integer"/>
<parm name="Path" value="%InstallDir%" datatype="string" translation="install"/>
</characteristic></characteristic></wap-provisioningdoc>"""
LISTING = """{}: Notes by Example
  script       a .000 file
  signature    not signed
  processor    ARM (2577)
  system       4.20 to 5.0
  builds       1000 to 2000
  unsupported  ABC, BOARD07
  folder %CE1%\\Notes
    notes.exe  NOTES.001, 800 bytes, always overwrite, never skipped
    ink.dll  INK.002, 7 bytes, shared, self-register
  registry HKLM\\Software\\Example: Size DWORD 42, kept if present
  registry HKLM\\Software\\Example: Path string "%InstallDir%", filled in on the device
  shortcut %CE11%\\Notes.lnk -> file notes.exe in %CE1%\\Notes
  shortcut %CE1%\\Notes\\Notes.lnk -> file notes.exe in %CE1%\\Notes
  setup DLL    SETUP.999, 9 bytes: the installer runs it
"""


def put(at, data, script=SCRIPT):
    return script[:at] + data + script[at + len(data):]


def signed_cab(header=20, sid=None, carried=("signing", "ca")):
    """(bytes, digest): gcab's cabinet laid out and signed as the platform's signing tools do (44
    reserve bytes after its folder entry) by this double, over the digest the reader computes."""
    certs = WORK / "cab" / "certs"
    if not (certs / "leaf.key").exists():
        release_test.certificates(certs)
    demo.cabinet(path := WORK / "cab" / "unsigned.cab", MEMBERS)
    cab, shift = bytearray(path.read_bytes()), 4 + header + 44
    for at in (8, 16, 36):  # the cabinet's size, the offsets of its file table and its data
        struct.pack_into("<I", cab, at, struct.unpack_from("<I", cab, at)[0] + shift)
    cab[30] |= 4
    cab[36:44] = struct.pack("<HBBIII", header, 44, 0, 0x100000, len(cab) + shift, 1) + bytes(
        header - 12) + cab[36:44] + b"\xa5" * 44
    path.write_bytes(cab)
    digest = signature.cab_digest(path, "sha1") if header == 20 else bytes(20)
    indirect = signature.IndirectData({"data": core.Any.load(bytes.fromhex(
        "300c060a2b060104018237020119")), "message_digest": {"digest_algorithm": {
            "algorithm": "sha1"}, "digest": digest}})
    attributes = cms.CMSAttributes([
        {"type": "content_type", "values": [signature.INDIRECT_DATA]},
        {"type": "message_digest", "values": [hashlib.sha1(indirect.contents).digest()]}])
    key = serialization.load_pem_private_key((certs / "leaf.key").read_bytes(), None)
    ours = [x509.Certificate.load(pem.unarmor((certs / f"{n}.pem").read_bytes())[2])
            for n in carried]
    sid = hashlib.sha1(ours[0].public_key["public_key"].contents[1:]).digest() \
        if sid == "ski" else sid  # the key identifier: SHA-1 of the public key's bits
    der = cms.ContentInfo({"content_type": "signed_data", "content": {
        "version": "v1", "digest_algorithms": [{"algorithm": "sha1"}],
        "encap_content_info": {"content_type": signature.INDIRECT_DATA,
                               "content": indirect.retag({"explicit": 0})},
        "certificates": ours, "signer_infos": [{
            "version": "v3" if sid else "v1", "sid": {"subject_key_identifier": sid} if sid
            else {"issuer_and_serial_number": {"issuer": ours[0].issuer,
                                               "serial_number": ours[0].serial_number}},
            "digest_algorithm": {"algorithm": "sha1"}, "signed_attrs": attributes,
            "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"}, "signature": key.sign(
                attributes.dump(), padding.PKCS1v15(), hashes.SHA1())}]}}).dump()
    der += bytes(-len(der) % 8)
    struct.pack_into("<I", cab, 48, len(der))
    return bytes(cab) + der, digest


def info(data):
    """cabwright cab-info on a CAB of these bytes, within 1 GiB of address space."""
    (path := WORK / "cab" / "signed.cab").write_bytes(data)
    return subprocess.run(["/usr/bin/python3", "-m", "cabwright", "cab-info", str(path)],
                          capture_output=True, text=True, preexec_fn=lambda: resource.setrlimit(
                              resource.RLIMIT_AS, (1 << 30, 1 << 30)))


def good():
    demo.sample(WORK / "cab" / "demo")
    demo.cabinet(path := WORK / "cab" / "demo" / "notes.cab", MEMBERS)
    cab = cabinet.read(path)
    found = (cab.script, cab.setup_dll, cab.members, cab.warnings)
    folder = "%CE1%\\Notes"
    want = (Install("Notes", "Example", 2577, (4, 20), (5, 0), (1000, 2000), ("ABC", "BOARD07"),
                    [folder], [File(1, folder, "notes.exe", 0x40000002, "NOTES.001"),
                               File(2, folder, "ink.dll", 0x90000000, "INK.002")],
                    [Value(3, "Software\\Example", "Size", ValueType.DWORD, 42, True),
                     Value(3, "Software\\Example", "Path", ValueType.STRING, "%InstallDir%",
                           False, True)],
                    [Shortcut("%CE11%", "Notes.lnk", f"{folder}\\notes.exe"),
                     Shortcut(folder, "Notes.lnk", f"{folder}\\notes.exe")]),
            ("SETUP.999", 9),
            [("NOTES.000", SIZE), ("NOTES.001", 800), ("INK.002", 7), ("SETUP.999", 9)], [])
    failures = [f"read {a!r}, wrote {b!r}" for a, b in zip(found, want) if a != b]
    # Beside its _setup.xml, which names the provider in AppName too: nothing to warn about.
    beside = cabinet.Cabinet([*cab.members, ("_setup.xml", 1)],
                             {"NOTES.000": SCRIPT, "_setup.xml": XML_BESIDE}).warnings
    failures += [f"SCRIPT beside XML_BESIDE: {line}" for line in beside]
    # libmspack, a reader of its own, sees the same members and sizes.
    listed = subprocess.run(["cabextract", "-l", str(path)], capture_output=True, text=True)
    if not all(f"{size:>10} |" in listed.stdout for _, size in want[-2]):
        failures.append(f"cabextract lists otherwise:\n{listed.stdout}")
    result = make("cab-info", f"CAB={path}")
    if result.stdout != LISTING.format(path) or result.returncode:
        failures.append(f"cab-info listed {result.stdout}{result.stderr}")
    failures += json_listing(path)
    for name in ("notes.arm.cab", "notes.sh3.cab"):
        result = make("cab-info", f"CAB={WORK / 'cab' / 'demo' / name}")
        if result.returncode or "    Notes.exe  NOTES.001, 2,160 bytes" not in result.stdout:
            failures.append(f"cab-info {name}: {result.stdout}{result.stderr}")
    folder = WORK / "cab" / "sp"
    demo.sample(folder, demo.INI.replace("notes.arm.cab,notes.sh3.cab", "notes.sp.cab"), ())
    demo.cabinet(folder / "notes.sp.cab", {"_setup.xml": XML, "NOTES.001": b"program"})
    result = make("package", f"PACKAGE={folder}", f"OUT={WORK / 'cab' / 'sp-out'}")
    if result.returncode or result.stderr or "Notes, any processor (0), system any to any, its " \
            "script _setup.xml" not in result.stdout:
        failures.append(f"make package, a _setup.xml CAB: {result.stdout}{result.stderr}")
    # Signed by the test double with a per-folder reserve, the digest worked out by hand for this
    # layout: header bytes 0-3, 8-33, then 56 on (the folder entry and its 44 reserve bytes at
    # 60-111, the file table right after), up to the signature at 477.
    data, digest = signed_cab()
    if digest != hashlib.sha1(data[:4] + data[8:34] + data[56:477]).digest():
        failures.append("the digest of a CAB with a per-folder reserve isn't the hand-worked one")
    for kwargs, chain in (({}, " < Release Test CA: a root this machine doesn't hold (the"),
                          ({"sid": "ski"}, " < Release Test CA: "),
                          ({"carried": ("signing",)}, ": its issuer Release Test CA is neither")):
        result = info(signed_cab(**kwargs)[0])
        if result.returncode or result.stderr or ", verifies\n  chain        Müller & Söhne " \
                f"GmbH{chain}" not in result.stdout:
            failures.append(f"signed {kwargs}: {result.stdout}{result.stderr}")
    return failures


def damaged():
    many = b"".join(struct.pack("<3HIH", n, 1, n, 0, 6) + b"f.%03d\0" % (n % 1000)
                    for n in range(1, 1000))
    rows = [  # (the script, member names dropped or added, how each line starts)
        (put(8, b"\x40\x01"), [], ["NOTES.000: its header records 320 bytes, the file has 331"]),
        (put(192, b"\x09"), [], ["NOTES.000: folder 1 names string 9, which isn't defined"]),
        (SCRIPT, ["-INK.002"], ["NOTES.000: file 2 (ink.dll): no member of the cabinet is "]),
        (put(218, b"\1"), [], ["NOTES.000: file id 1 is listed twice"]),
        (put(315, b"\x09"), [], ["NOTES.000: shortcut 1 names string 9, which isn't defined"]),
        (put(319, b"\7"), [], ["NOTES.000: shortcut 2 is in folder 7, which isn't defined"]),
        (put(190, b"\3", put(151, b"%CE20%\0")), [], ["NOTES.000: folder 1: %CE20% names no "]),
        (put(190, b"\3", put(151, b"%CE18%\0")), [],
         ["warning: NOTES.000: folder 1: %CE18% is a folder only some devices define"]),
        (put(68, struct.pack("<I", SIZE), put(52, b"\xe7\x03", put(8, struct.pack(
            "<I", SIZE + len(many))))) + many, [f"+F.{n:03d}" for n in range(3, 999)],
         ["NOTES.000: installs 999 files; with more than 998", "NOTES.000: file 999 (f.999)"]),
        (put(64, struct.pack("<I", SIZE), put(8, struct.pack("<I", SIZE + 204))) + struct.pack(
            "<2H", 1, 200) + b"\3\0" * 99 + b"\0\0", [],
         ["NOTES.000: folder 1: its path is 890 characters long, over the 260"]),
        (put(279, b"\1\0\1\0"), [], ["NOTES.000: registry value 2 (Path): a DWORD of 13 bytes"]),
        (put(302, b"!"), [], ["NOTES.000: registry value 2 (Path): a string without its closing"]),
        (SCRIPT[:310], [], ["NOTES.000: its header records 331 bytes, the file has 310",
                            "NOTES.000: its shortcuts section runs past the end of the file"]),
        (SCRIPT, ["+NOTES2.001"], ["NOTES.000: file 1 (notes.exe): 2 members are numbered .001"]),
        (XML.replace(b"NOTES.001", b"NOTES.003"), ["-NOTES.000"],
         ["_setup.xml: the Extract of %CE1%\\Notes\\notes.exe: Source NOTES.003 is not a"]),
        (b'<!DOCTYPE x [<!ENTITY a "aaaa">]><wap-provisioningdoc>&a;</wap-provisioningdoc>',
         ["-NOTES.000"], ["_setup.xml: declares an entity or a DTD"]),
        (b'<?xml version="1.0" encoding="x-unknown"?><wap-provisioningdoc/>', ["-NOTES.000"],
         ["_setup.xml: declares an encoding this reader doesn't know (unknown encoding: x-un"]),
    ]
    # The two scripts telling the device different things: a warning each.
    rows += [({"NOTES.000": SCRIPT, "_setup.xml": XML_BESIDE.replace(old, new)}, [], says)
             for old, new, says in (
        (b'"Example Notes"', b'"Example Pads"', ["warning: the application: its .000 file "
                                                 "names 'Notes' by 'Example', its _setup.xml "
                                                 "'Example Pads'"]),
        (b'"42"', b'"43"', ["warning: registry value hklm\\software\\example: size: its .000 "
                            "file says DWORD 42, its _setup.xml DWORD 43"]),
        (b'<parm name="SelfRegister"/>', b"", ["warning: file %ce1%\\notes\\ink.dll: its "
                                               ".000 file says INK.002 (0x10000000), its "
                                               "_setup.xml INK.002 (0x0)"]),
        (b'<parm name="NumShortcuts" value="2"/>', b'<parm name="NumShortcuts" value="1"/>',
         ["warning: NumShortcuts: its _setup.xml says 1, its .000 file has 2"]))]
    failures = []
    for n, (script, changes, says) in enumerate(rows, 1):
        names = [name for name in MEMBERS if "-" + name not in changes]
        names += [change[1:] for change in changes if change[0] == "+"]
        xml = isinstance(script, bytes) and script.startswith(b"<")
        scripts = script if isinstance(script, dict) else {
            "_setup.xml" if xml else "NOTES.000": script}
        try:
            lines = ["warning: " + line for line in cabinet.Cabinet(
                [("_setup.xml", 1)] * ("_setup.xml" in scripts) + [(name, 1) for name in names],
                scripts).warnings]
        except Faults as error:
            lines = error.lines
        if len(lines) != len(says) or not all(map(str.startswith, lines, says)):
            failures.append(f"row {n}: said {lines}, expected {says}")
    # A cabinet's own tables damaged as the format says they can't be: one line each. A member
    # named in the OEM code page, as Windows' tools write names, read as such.
    demo.cabinet(plain := WORK / "cab" / "plain.cab", {**MEMBERS, "R\xd6ADME.TXT": b"x"})
    data = bytearray(plain.read_bytes())
    at = data.index(b"R\xc3\x96ADME")
    data[at + 1:at + 3], data[at - 2] = b"\x99\x99", data[at - 2] & ~0x80  # RÖÖADME in cp850
    data = bytes(data)
    for n, (changed, says) in enumerate((
            (data[:16] + struct.pack("<I", 0xFFFFFFF0) + data[20:], "its file table is said "
             "to start at byte 4294967280, outside"),
            (data[:40] + b"\0\0" + data[42:], "its folder 1 claims no data blocks"),
            (data[:26] + b"\0\0" + data[28:], "it lists 5 files and no folder")), 1):
        if (result := info(changed)).returncode != 1 or says not in result.stderr or \
                result.stderr.count("\n") != 1:
            failures.append(f"cabinet row {n}: status {result.returncode}, {result.stderr}")
    if "R\xd6\xd6ADME.TXT is installed by nothing" not in (result := info(data)).stderr:
        failures.append(f"a member named in the OEM code page: {result.stderr}")
    # Text from the CAB that would steer a terminal (an escape, a right-to-left override) is
    # shown escaped, in the listing and in the warnings alike.
    demo.cabinet(plain, {"_setup.xml": XML.replace(b'value="Notes"', b'value="\xe2\x80\xaeNotes"'),
                         "NOTES.001": b"x", "\x1b[2J": b"x"})
    result = info(plain.read_bytes())
    if "\x1b" in result.stdout + result.stderr or "\u202e" in result.stdout or \
            "\\u202eNotes" not in result.stdout or "\\x1b[2J is installed by nothing" not in \
            result.stderr:
        failures.append(f"control characters shown raw: {result.stdout!r} {result.stderr!r}")
    # The test double's signed CAB, one thing changed in each row: one line each.
    data, digest = signed_cab()
    flip = lambda at: data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]  # noqa: E731
    ca = x509.Certificate.load(pem.unarmor((WORK / "cab/certs/ca.pem").read_bytes())[2])
    for n, (changed, says) in enumerate((
            (flip(70), "doesn't verify: the CAB changed after it was signed"),  # folder reserve
            (flip(data.rindex(digest) + 3), "doesn't verify: the digest it signs isn't the one"),
            (flip(data.rindex(digest) - 2), "(its signed digest (DigestInfo) is malformed"),
            (flip(data.index(bytes.fromhex("2a864886f70d010702")) + 8), "(its content type is "
             "1.2.840.113549.1.7.3, not SignedData)"),
            (data[:48] + struct.pack("<I", 0xFFFFFFF0) + data[52:], "4,294,967,280 bytes after"),
            (signed_cab(sid=bytes(20))[0], "doesn't verify: its signer names no certificate it"),
            (signed_cab(header=24)[0], "can't be checked: its digest can't be computed (its hea"),
            (flip(data.rindex(ca.public_key.dump()) + 99), "doesn't verify: the certificate of "
             "Müller & Söhne GmbH isn't signed by the certificate of its issuer")), 1):
        if (result := info(changed)).returncode != 1 or result.stdout or says not in \
                result.stderr or result.stderr.count("\n") != 1:
            failures.append(f"signature row {n}: status {result.returncode}, {result.stderr}")
    return failures


def fuzz(count=20000):
    seeds = [SCRIPT, demo.description_file("Notes", "Example Software", demo.ARM), XML]
    chance, failures, slowest = random.Random(23), [], 0
    tracemalloc.start()
    for n in range(count):
        data = bytearray(chance.choice(seeds))
        for _ in range(chance.randint(1, 4)):  # 1, 2 or 4 bytes set to a value that matters
            at, width = chance.randrange(len(data)), chance.choice((1, 2, 4))
            value = chance.choice((0, 1, 2, 0xff, -1, len(data), at, chance.getrandbits(32)))
            data[at:at + width] = (value & (1 << 8 * width) - 1).to_bytes(width, "little")
            data = data[:chance.randrange(1, len(data) + 1)] if chance.random() < 0.1 else data
        tracemalloc.reset_peak()
        began, held = time.monotonic(), tracemalloc.get_traced_memory()[0]
        try:
            faults = (setup_xml.decode("NOTES.000", bytes(data), ["NOTES.001"]) if data[:1] ==
                      b"<" else script000.decode("NOTES.000", bytes(data), {1: ["NOTES.001"]}))[1]
        except Exception as error:  # noqa: BLE001 -- any exception is the finding
            faults = [repr(error)]
        slowest, peak = max(slowest, time.monotonic() - began), tracemalloc.get_traced_memory()[1]
        if peak - held > 1 << 20 or any("\n" in f or f[:11] != "NOTES.000: " for f in faults):
            failures.append(f"input {n} ({bytes(data).hex()}): {faults}, {peak - held} bytes")
    print(f"{count} mutated scripts, the slowest {slowest * 1000:.1f} ms")
    return failures[:5] + ([f"an input took {slowest:.2f} s"] if slowest > 0.5 else [])


# One small install and its two scripts as make cab writes them, each byte reviewed by hand.
GOLDEN = Install("Ab", "Co", 2577, (4, 20), (5, 0), folders=["%CE1%\\Ab"],
                 files=[File(1, "%CE1%\\Ab", "a.exe", 0x10, "0000000a.001")],
                 registry=[Value(3, "Software\\Co", "N", ValueType.DWORD, 7)],
                 shortcuts=[Shortcut("%CE11%", "Ab.lnk", "%CE1%\\Ab\\a.exe")])
GOLDEN_000 = bytes.fromhex(
    "4d534345 00000000 de000000 00000000 01000000"  # MSCE, 222 bytes, 1
    " 110a0000 04000000 14000000 05000000 00000000 00000000 00000000"  # ARM, 4.20 to 5.0
    " 0400 0100 0100 0100 0100 0100"  # 4 strings, 1 folder, file, key, value, shortcut
    " 6a000000 96000000 9e000000 b0000000 be000000 d0000000"  # where each section starts
    " 6400 0300 6700 0300 0000 0000 0000 0000"  # Ab at 100, Co at 103, nothing unsupported
    " 41620043 6f00"  # Ab, Co
    " 0100 0900 2543453125 5c 416200"  # string 1 %CE1%\Ab: the install folder, one part
    " 0200 0900 536f667477617265 00  0300 0300 436f00  0400 0700 41622e6c6e6b00"
    " 0100 0400 0100 0000"  # folder 1: string 1, ended by 0
    " 0100 0100 0100 10000000 0600 612e65786500"  # file 1 into folder 1, NoOverwrite, a.exe
    " 0100 0300 0000 0600 0200 0300 0000"  # hive 1: HKLM, Software\Co, ended by 0
    " 0100 0100 0000 01000100 0600 4e00 07000000"  # value 1: DWORD N = 7
    " 0100 0000 0b00 0100 0100 0200 0400")  # shortcut 1: %CE11%, file 1, Ab.lnk, no 0 after it
GOLDEN_XML = rb"""<wap-provisioningdoc>
<characteristic type="Install">
<parm name="InstallPhase" value="install"/>
<parm name="ProcessorType" value="2577"/>
<parm name="OSVersionMin" value="4.20"/>
<parm name="OSVersionMax" value="5.0"/>
<parm name="AppName" value="Co Ab"/>
<parm name="InstallDir" value="%CE1%\Ab" translation="install"/>
<parm name="NumDirs" value="1"/>
<parm name="NumFiles" value="1"/>
<parm name="NumRegKeys" value="1"/>
<parm name="NumRegVals" value="1"/>
<parm name="NumShortcuts" value="1"/>
</characteristic>
<characteristic type="FileOperation">
<characteristic type="%InstallDir%" translation="install">
<characteristic type="MakeDir"/>
<characteristic type="a.exe" translation="install">
<characteristic type="Extract">
<parm name="Source" value="0000000a.001"/>
<parm name="NoOverwrite"/>
</characteristic>
</characteristic>
</characteristic>
<characteristic type="%CE11%" translation="install">
<characteristic type="MakeDir"/>
<characteristic type="Ab.lnk" translation="install">
<characteristic type="Shortcut">
<parm name="Source" value="%InstallDir%\a.exe" translation="install"/>
</characteristic>
</characteristic>
</characteristic>
</characteristic>
<characteristic type="Registry">
<characteristic type="HKLM\Software\Co">
<parm name="N" value="7" datatype="integer"/>
</characteristic>
</characteristic>
</wap-provisioningdoc>
"""


def installs():
    """Hypothesis's installs, as the .inf reader makes them: the install folder first, each
    file in a folder of the DIRS entries, each shortcut under a standard folder or in one."""
    from hypothesis import strategies as st
    name = st.text("abcXYZ019 _-", min_size=1, max_size=6).map(str.strip).filter(bool)
    u32 = st.integers(0, 0xFFFFFFFF)

    @st.composite
    def install(draw):
        top = f"%CE{draw(st.integers(1, 17))}%\\{draw(name)}"
        folders = [top] + [f"{base}\\{n}" for base, n in draw(st.lists(st.tuples(
            st.sampled_from([top, "%CE2%", "%CE5%"]), name), max_size=3))]
        folders = list({f.casefold(): f for f in reversed(folders)}.values())[::-1]
        folders = [top] + [f for f in folders if f.casefold() != top.casefold()]
        files = []
        for n, (where, stem, bits) in enumerate(draw(st.lists(st.tuples(
                st.sampled_from(folders), name, st.integers(0, 255)), max_size=4)), 1):
            flags = sum(bit for i, bit in enumerate(CopyFlag) if bits >> i & 1)
            if all((where.casefold(), f"{stem}.exe".casefold()) != (f.folder.casefold(),
                                                                     f.name.casefold())
                   for f in files):
                files.append(File(len(files) + 1, where, f"{stem}.exe", flags,
                                  f"{stem[:8]:0>8}.{len(files) + 1:03d}"))
        kinds = {ValueType.DWORD: u32, ValueType.STRING: name,
                 ValueType.MULTI_STRING: st.lists(name, min_size=1, max_size=3).map(tuple),
                 ValueType.BINARY: st.binary(max_size=6)}
        registry = []
        for root, key, value, kind, keep, substitute in draw(st.lists(st.tuples(
                st.sampled_from(list(Root)), st.lists(name, min_size=1, max_size=2),
                st.one_of(st.just(""), name), st.sampled_from(list(kinds)), st.booleans(),
                st.booleans()), max_size=4)):
            registry.append(Value(root, "\\".join(key), value, kind, draw(kinds[kind]), keep,
                                  substitute))
        shortcuts = []
        for where, label, to_folder in draw(st.lists(st.tuples(st.one_of(
                st.sampled_from(folders), st.integers(1, 19).map(lambda n: f"%CE{n}%")),
                name, st.booleans()), max_size=3)):
            if to_folder or not files:
                shortcuts.append(Shortcut(where, f"{label}.lnk", draw(st.sampled_from(folders)),
                                          True))
            else:
                shortcuts.append(Shortcut(where, f"{label}.lnk",
                                          draw(st.sampled_from(files)).path))
        builds = draw(st.tuples(st.one_of(st.none(), st.integers(1, 0xFFFFFFFF)),
                                st.one_of(st.none(), st.integers(1, 0xFFFFFFFF))))
        return Install(draw(name), draw(name), draw(u32), draw(st.tuples(u32, u32)),
                       draw(st.tuples(u32, u32)), builds, tuple(draw(st.lists(name, max_size=2))),
                       folders, files, registry, shortcuts)
    return install()


def scripts():
    """Each script's encoder against its golden bytes, and decoding what it encoded, for any
    install hypothesis makes: the .000 file gives the install back, _setup.xml what it holds."""
    from hypothesis import given, settings, HealthCheck
    failures = []
    if script000.encode(GOLDEN, "cp1252") != GOLDEN_000:
        failures.append(f"the .000 file: {script000.encode(GOLDEN, 'cp1252').hex(' ')}")
    if setup_xml.encode(GOLDEN) != GOLDEN_XML:
        failures.append(f"_setup.xml:\n{setup_xml.encode(GOLDEN).decode()}")

    @settings(max_examples=300, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(installs())
    def round_trip(one):
        decoded, faults, _ = script000.decode("X.000", script000.encode(one, "cp1252"),
                                              {f.number: [f.member] for f in one.files})
        assert (decoded, faults) == (one, []), f"the .000 file: {decoded} from {one}"
        decoded, faults, _ = setup_xml.decode("_setup.xml", setup_xml.encode(one),
                                              [f.member for f in one.files])
        assert (decoded, faults, decoded.counts) == (setup_xml.carried(one), [],
                                                     one.declared()), \
            f"_setup.xml: {decoded} from {one}"
    try:
        round_trip()
    except AssertionError as error:
        failures.append(str(error))
    return failures


def json_listing(path):
    """The program as installed: run from another folder with a relative path, its --json is
    one document with every file, value and shortcut the text lists; a closed standard output
    ends it quietly."""
    program = ["/usr/bin/python3", "-m", "cabwright", "cab-info"]
    env = {**os.environ, "PYTHONPATH": str(ROOT)}
    relative = os.path.relpath(path, path.parent.parent)
    text, data = (subprocess.run([*program, relative, *extra], capture_output=True, text=True,
                                 cwd=path.parent.parent, env=env) for extra in ([], ["--json"]))
    try:
        document = json.loads(data.stdout)
    except ValueError as error:
        return [f"cab-info --json: not JSON ({error}): {data.stdout}{data.stderr}"]
    shown = [f"    {f['name']}  {f['member']}, {f['size']:,} bytes, {f['flags']}"
             for folder in document["folders"] for f in folder["files"]]
    shown += [f"  registry {r['key']}: {r['name'] or '(default)'} {r['type']} {r['value']}"
              for r in document["registry"]]
    shown += [f"  shortcut {s['folder']}\\{s['name']} -> " for s in document["shortcuts"]]
    shown.append(f"{relative}: {document['application']} by {document['provider']}")
    missing = [line for line in shown if line not in text.stdout]
    reader, writer = os.pipe()
    os.close(reader)
    closed = subprocess.run([*program, str(path)], stdout=writer, stderr=subprocess.PIPE,
                            env=env)
    os.close(writer)
    if missing or not shown[4:] or text.returncode or data.returncode or document["faults"] or \
            closed.returncode or closed.stderr:
        return [f"cab-info --json against the text: {missing}, {data.stdout[:300]}{data.stderr}, "
                f"with standard output closed: {closed.returncode} {closed.stderr}"]
    return []

def main(argv):
    failures = {"good": good, "damaged": damaged, "fuzz": fuzz, "scripts": scripts}[argv[0]]()
    print("\n".join(failures) if failures else f"{argv[0]}: as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
