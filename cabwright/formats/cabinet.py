"""A device application's CAB file, read whole, as the device's installer reads it.

The cabinet itself is read by GCab (GNOME's cabinet library, through Debian's GObject
introspection binding): its folders, its files, each data block's checksum. Inside it, the
install script takes one of two forms, and a CAB may carry both: the .000 file (script000.py)
and _setup.xml (setup_xml.py). Each decodes into one Install (model.py); where a CAB carries
both, the two installs are compared, as each device reads one of them.

Every entry is checked against what the installer needs (each id it names defined, each file
present as exactly one member, each value's data fitting its type) and every fault is kept, one
line each, so a packager sees them all at once.
"""
import base64
import hashlib
import os
import pathlib
import re
import struct
import tempfile

from cabwright.formats import model, script000, setup_xml
from cabwright.formats.script000 import Short
from cabwright.diagnostics import Faults

SCRIPT_LIMIT = 16 << 20  # far past any real script: a member this big isn't read into memory
XML_SCRIPT = setup_xml.NAME
# Copy flags compared between the two scripts: those whose _setup.xml parms the SDK tool was
# seen to write. Other tools may leave the others out of _setup.xml.
COMPARED_FLAGS = model.CopyFlag.NO_OVERWRITE | model.CopyFlag.SELF_REGISTER
NUMBERED = re.compile(r"\.([0-9]{3})$")
UNPRINTABLE = re.compile(r"[\x00-\x1f\x7f-\x9f]")

SIGNED_HEADER = 60  # a signed cabinet's fixed header and its 20-byte reserve


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


def disagreements(script, xml):
    """Where the .000 file's install and _setup.xml's tell the device different things, one
    line each: devices install from one or the other, so a CAB whose two scripts differ installs
    differently on different devices. The .000 file's install is compared as _setup.xml carries
    it, its paths from the install folder _setup.xml names."""
    lines, install_dir = [], xml.install_dir or script.install_dir
    carried = setup_xml.carried(script)

    def where(path):
        return model.folded(setup_xml.resolved(path, install_dir))

    def compare(what, ours, theirs):
        for key in dict.fromkeys([*ours, *theirs]):
            a, b = ours.get(key, "nothing"), theirs.get(key, "nothing")
            if a != b:
                lines.append(f"{what} {key}: its .000 file says {a}, its {XML_SCRIPT} {b}")
    if xml.application not in (carried.application, script.application):
        lines.append(f"the application: its .000 file names '{script.application}' by "
                     f"'{script.provider}', its {XML_SCRIPT} '{xml.application}' (the provider, "
                     "a blank and the application, where they agree)")

    def files(one):
        return {where(f.path): f"{f.member} ({f.flags & COMPARED_FLAGS:#x})" for f in one.files}
    compare("file", files(script), files(xml))

    def links(one):
        return {where(f"{s.folder}\\{s.name}").removesuffix(".lnk"): where(s.target)
                for s in one.shortcuts}
    compare("shortcut", links(script), links(xml))

    def values(one, other=None):
        out = {}
        for v in one.registry:
            key = f"{model.folded(v.where)}: {v.name.casefold() or '(default)'}"
            data = v.data
            if other and isinstance(data, bytes) and other.get(key) != data:
                try:  # written as hexadecimal digits, which read as base64 too
                    data = bytes.fromhex(base64.b64encode(data).decode("ascii"))
                except ValueError:
                    data = v.data
            out[key] = (model.ValueType(v.type).shown, data, v.substitute)
        return out

    def told(kind, data, substitute):
        filled = ", filled in on the device" if substitute else ""
        return f"{kind} {data.hex(' ') if isinstance(data, bytes) else repr(data)}{filled}"
    ours = values(script)
    theirs = values(xml, {k: d for k, (_, d, _) in ours.items()})
    compare("registry value", {k: told(*v) for k, v in ours.items()},
            {k: told(*v) for k, v in theirs.items()})
    for name, count in (script.counts or script.declared()).items():
        if name in (xml.counts or {}) and xml.counts[name] != count:
            lines.append(f"{name}: its {XML_SCRIPT} says {xml.counts[name]}, its .000 file "
                         f"has {count}")
    return lines


class Cabinet:
    """A device CAB read whole: its members, its script in either form or both, what it
    installs (`install`, one Install whichever script it came from). `warnings`: lines for what
    the installer lets by."""

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
            self.script, found, warned = script000.decode(
                scripts_000[0], scripts[scripts_000[0]], numbers, code_page, shown)
            faults += found
            self.warnings += warned
        if xml:
            self.xml, found, warned = setup_xml.decode(xml[0], scripts[xml[0]],
                                                       [name for name, _ in members], shown)
            faults += found
            self.warnings += warned
        if not scripts_000 and not xml:
            faults.append("holds no description file for the device installer (a file whose "
                          "name ends in .000, or _setup.xml): not a device application's CAB")
        self.disagreements = disagreements(self.script, self.xml) \
            if self.script and self.xml and not faults else []
        self.warnings += self.disagreements
        dll = numbers.get(model.SETUP_DLL, [])
        self.setup_dll = next(((n, s) for n, s in members if n == dll[0]), None) if dll else None
        if len(dll) > 1:
            faults.append(f"{len(dll)} members are numbered .999 ({', '.join(dll)}); the "
                          "installer loads one setup DLL")
        installed = {f.member for one in (self.script, self.xml) if one for f in one.files}
        if self.xml and self.xml.setup_dll:
            installed.add(self.xml.setup_dll)
        for name, _ in members:
            if name not in installed | set(scripts) | set(dll):
                self.warnings.append(f"{name} is installed by nothing in the script")
        if faults:
            raise Faults(faults)
        self.install = self.script or self.xml
        if self.script and self.xml:  # the provisioning only _setup.xml carries
            self.install.before, self.install.after = self.xml.before, self.xml.after
        self.application = self.install.application
        self.provider = self.install.provider
        self.processor = self.install.processor
        self.minimum, self.maximum = self.install.minimum, self.install.maximum
        self.form = " and ".join(f for f, s in (("a .000 file", self.script),
                                                (XML_SCRIPT, self.xml)) if s)
        self.signature = None  # a signature.Signature, where one follows the cabinet

    def signed(self):
        return self.signature.shown() if self.signature else "not signed"

    def processor_name(self):
        return model.processor_name(self.processor)

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
    read them: ((each member's name, decoded as the format says, and its size) in the file
    table's order; every fault). The file table, each folder's data blocks and each member's place in its
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
            names.append((name, length))
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


def read(path, code_page="cp1252", digests=False, whole=True):
    """The Cabinet at `path`, once every member reads back whole and its script is sound;
    Faults with every fault otherwise. The cabinet is streamed from the file and its members
    extracted one at a time into a scratch folder, each removed once its size is known: only the
    script stays in memory, however big the CAB. `digests`: each member's SHA-256 kept too, in
    the Cabinet's `digests`. Not `whole`: only the scripts are extracted, the other members'
    sizes taken from the file table (a CAB just written, read back for what it says)."""
    GCab, Gio, GLib = gcab()
    path = pathlib.Path(path)
    try:
        with open(path, "rb") as file:
            head = file.read(SIGNED_HEADER)
            size = os.fstat(file.fileno()).st_size
            if head[:4] != b"MSCF":
                raise Faults("not a cabinet (a CAB file starts with MSCF)")
            # Checked before GCab sees it: GCab allocates whatever length the reserve gives.
            # The signature's reader (and its libraries) only for a CAB with a header reserve.
            signature = None
            if len(head) > 30 and head[30] & 4:
                from cabwright.formats import signature
            where = signature and signature.placed(head)
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
            if len(head) < 36:
                raise Faults(f"not a cabinet ({size} bytes, short of a cabinet's 36-byte "
                             "header)")
            # The installer compares the two: a file cut short or grown in transfer fails on
            # the user's machine.
            if not where and struct.unpack_from("<I", head, 8)[0] != size:
                raise Faults(f"its header records {struct.unpack_from('<I', head, 8)[0]} bytes, "
                             f"the file has {size} (cut short or padded on the way?)")
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
    members, scripts, faults, hashed = [], {}, [], {}
    with tempfile.TemporaryDirectory(prefix="cabinet-") as scratch:
        def done():
            """The member extracted last: its size kept, its bytes too if it's a script."""
            if not members:
                return
            name, length = members[-1]
            if length is not None:  # not extracted: its size as the table has it
                return
            extracted = os.path.join(scratch, str(len(members)))
            length = os.path.getsize(extracted) if os.path.exists(extracted) else 0
            members[-1] = (name, length)
            if is_script(name) and length > SCRIPT_LIMIT:
                faults.append(f"{name}: {length:,} bytes, too big to be an install script")
                scripts[name] = b""
            elif is_script(name):
                with open(extracted, "rb") as file:
                    scripts[name] = file.read()
            if digests and os.path.exists(extracted):
                with open(extracted, "rb") as file:
                    hashed[name] = hashlib.file_digest(file, "sha256").hexdigest()
            if os.path.exists(extracted):
                os.unlink(extracted)

        def each(member, *_):
            done()
            # A name of our own: the cabinet's names may hold '..' or '/'.
            member.set_extract_name(str(len(members) + 1))
            # The name as the table has it: GCab reads names as UTF-8 whatever the table says.
            name, length = names[len(members)] if len(members) < len(names) else \
                (f"(member {len(members) + 1})", None)
            if whole or is_script(name) or length is None:
                members.append((name, None))
                return True
            members.append((name, length))
            return False
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
    cab.signature, cab.digests = signed, hashed
    return cab
