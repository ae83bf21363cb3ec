"""A device CAB's _setup.xml, the provisioning document newer devices install from instead of the
.000 file, encoded from an Install and decoded into one.

    <wap-provisioningdoc>
      provisioning before the install: characteristics, or a whole <wap-provisioningdoc>
      Install: InstallPhase, ProcessorType, OSVersionMin/Max, BuildNumberMin/Max where given,
               AppName (provider, a blank, application), InstallDir, SetupDLL, NumDirs ...
               NumShortcuts
      FileOperation: each folder something goes into, MakeDir, then each file's Extract
               (Source: its member, a parm per copy flag) and each shortcut as <name>.lnk
               (Shortcut, Source: its target)
      Registry: each key, each value with its datatype
      provisioning after the install
    </wap-provisioningdoc>

Paths carry translation="install": the install folder and every path in it are written from
%InstallDir%, which the device replaces with the folder the user picked. A CAB may hold only
provisioning (certificates for the device's stores): a document without Install, FileOperation
and Registry.
"""
import base64
import re
import struct

from cabwright.formats import model
from cabwright.formats.model import (COPY_FLAGS, Element, File, Install, Root, Shortcut, Value,
                                     ValueType, U32)

NAME = "_setup.xml"
MULTI_SEPARATOR = "\uf000"  # between a multi-string's parts, and twice at its end
INSTALL = ' translation="install"'
INSTALL_PARTS = ("Install", "FileOperation", "Registry")
DATATYPES = {t.datatype: t for t in ValueType}
CARRIED_FLAGS = sum(bit for bit, _, _ in COPY_FLAGS)
NUMBERED = re.compile(r"\.([0-9]{3})$")
DEPTH = 64  # elements deeper than any provisioning document nests are not read


# XML's escapes, as the standard library's saxutils writes them, without the network modules
# saxutils brings in: every run of make cab starts faster.
def escape(text):
    return text.replace("&", "&amp;").replace(">", "&gt;").replace("<", "&lt;")


def quoteattr(text):
    text = escape(text).replace("\n", "&#10;").replace("\r", "&#13;").replace("\t", "&#9;")
    if '"' not in text:
        return f'"{text}"'
    return f"'{text}'" if "'" not in text else '"' + text.replace('"', "&quot;") + '"'


def signed(value):
    return struct.unpack("<i", struct.pack("<I", value & U32))[0]


def in_install(path, install_dir):
    """A path as _setup.xml writes it: from %InstallDir% where it is in the install folder."""
    if model.folded(path).startswith("%installdir%"):
        return path
    if model.under(path, install_dir):
        return "%InstallDir%" + path[len(install_dir):]
    return path


def device_path(path):
    """A path as the device reads it: a standard folder, %InstallDir%, or absolute."""
    return path if path.startswith(("%", "\\")) else "\\" + path


def resolved(path, install_dir):
    """A path read from _setup.xml as the model holds it: %InstallDir% as the install folder."""
    if model.folded(path).startswith("%installdir%") and install_dir and \
            model.folded(path)[12:13] in ("", "\\"):
        return install_dir + path[len("%InstallDir%"):]
    return path.lstrip("\\") if not model.under(path, install_dir) else path


def parm(name, value=None, attributes=""):
    shown = "" if value is None else f" value={quoteattr(str(value))}"
    return f"<parm name={quoteattr(name)}{shown}{attributes}/>"


def rendered(element):
    """An Element as XML text."""
    attributes = "".join(f" {k}={quoteattr(v)}" for k, v in element.attributes)
    inside = escape(element.text) + "".join(rendered(c) for c in element.children)
    return f"<{element.tag}{attributes}>{inside}</{element.tag}>" if inside else \
        f"<{element.tag}{attributes}/>"


def value_text(value):
    """A registry value's data as the document writes it."""
    if value.type == ValueType.DWORD:
        return str(signed(value.data))
    if value.type == ValueType.BINARY:
        return base64.b64encode(bytes(value.data)).decode("ascii")
    if value.type == ValueType.MULTI_STRING:  # the parts, each ended, and an empty one ending
        return "".join(p + MULTI_SEPARATOR for p in value.data) + MULTI_SEPARATOR
    return value.data


def written_folders(one):
    """The folders that FileOperation names, in order: each DIRS entry that a file or shortcut
    goes into, then the standard folders only shortcuts go into."""
    used = {model.folded(f.folder) for f in one.files} | \
        {model.folded(s.folder) for s in one.shortcuts}
    folders = {}
    for path in [*one.folders, *(s.folder for s in one.shortcuts)]:
        if model.folded(path) in used:
            folders.setdefault(model.folded(path), path)
    return list(folders.values())


def encode(one):
    """_setup.xml's bytes (UTF-8) for the Install `one`, its provisioning before and after."""
    out = [rendered(e) for e in one.before]
    if one.application or one.folders:
        out += install_characteristics(one)
    out += [rendered(e) for e in one.after]
    body = "\n".join(out).replace(MULTI_SEPARATOR, "&#xF000;")
    return f"<wap-provisioningdoc>\n{body}\n</wap-provisioningdoc>\n".encode("utf-8")


def install_characteristics(one):
    out, install_dir = [], one.install_dir
    install = [("InstallPhase", "install"), ("ProcessorType", one.processor),
               ("OSVersionMin", "{}.{}".format(*one.minimum)),
               ("OSVersionMax", "{}.{}".format(*one.maximum))]
    install += [(name, signed(build)) for name, build in
                zip(("BuildNumberMin", "BuildNumberMax"), one.builds) if build is not None]
    install.append(("AppName", f"{one.provider} {one.application}"))
    out.append('<characteristic type="Install">')
    out += [parm(name, value) for name, value in install]
    out.append(parm("InstallDir", install_dir, INSTALL))
    if one.setup_dll is not None:
        out.append(parm("SetupDLL", one.setup_dll))
    out += [parm(name, count) for name, count in one.declared().items()]
    out.append("</characteristic>")
    out.append('<characteristic type="FileOperation">')
    for folder in written_folders(one):
        where = device_path(in_install(folder, install_dir))
        out.append(f"<characteristic type={quoteattr(where)}{INSTALL}>")
        out.append('<characteristic type="MakeDir"/>')
        for f in one.files:
            if model.folded(f.folder) == model.folded(folder):
                flags = [parm(name) for bit, _, name in COPY_FLAGS if f.flags & bit]
                out += [f"<characteristic type={quoteattr(f.name)}{INSTALL}>",
                        '<characteristic type="Extract">', parm("Source", f.member),
                        *flags, "</characteristic>", "</characteristic>"]
        for s in one.shortcuts:
            if model.folded(s.folder) == model.folded(folder):
                points = device_path(in_install(s.target, install_dir))
                out += [f"<characteristic type={quoteattr(s.name)}{INSTALL}>",
                        '<characteristic type="Shortcut">', parm("Source", points, INSTALL),
                        "</characteristic>", "</characteristic>"]
        out.append("</characteristic>")
    out.append("</characteristic>")
    if one.registry:
        out.append('<characteristic type="Registry">')
        for root, key in one.hives():
            out.append(f"<characteristic type={quoteattr(chr(92).join(p for p in (Root(root).name, key) if p))}>")
            for v in one.registry:
                if (v.root, v.key.casefold()) == (root, key.casefold()):
                    out.append(parm(v.name, value_text(v), f' datatype="{v.type.datatype}"' +
                                    (INSTALL if v.substitute else "")))
            out.append("</characteristic>")
        out.append("</characteristic>")
    return out


def carried(one):
    """What of the Install `one` _setup.xml holds: what its decoder gives back for what the
    encoder wrote. The .000 file's unsupported platforms and kept registry values aren't in it,
    its AppName holds the provider, folders nothing goes into aren't written, and the files,
    values and shortcuts come in the document's order."""
    install_dir = one.install_dir

    def whole(path):
        return resolved(in_install(path, install_dir), install_dir) if install_dir else path
    order = {model.folded(p): n for n, p in enumerate(written_folders(one))}
    folders = [install_dir] if install_dir else []
    folders += [whole(p) for p in written_folders(one)
                if model.folded(whole(p)) != model.folded(install_dir)]
    files = sorted(one.files, key=lambda f: order.get(model.folded(f.folder), 0))
    hives = {folded: n for n, folded in enumerate((r, k.casefold()) for r, k in one.hives())}
    registry = sorted(one.registry, key=lambda v: hives[(v.root, v.key.casefold())])
    shortcuts = sorted(one.shortcuts, key=lambda s: order.get(model.folded(s.folder), 0))
    application = f"{one.provider} {one.application}" if one.application or one.provider \
        else ""
    return Install(
        application=application, processor=one.processor, minimum=one.minimum,
        maximum=one.maximum, builds=one.builds, folders=folders,
        files=[File(f.number, whole(f.folder), f.name, f.flags & CARRIED_FLAGS, f.member)
               for f in files],
        registry=[Value(v.root, v.key, v.name, v.type, v.data, False, v.substitute)
                  for v in registry],
        shortcuts=[Shortcut(whole(s.folder), s.name, whole(s.target), s.to_folder)
                   for s in shortcuts],
        setup_dll=one.setup_dll, before=one.before, after=one.after)


def element(node, depth=0):
    """An ElementTree element as an Element, to `DEPTH` levels."""
    children = tuple(element(c, depth + 1) for c in node) if depth < DEPTH else ()
    return Element(str(node.tag), tuple((str(k), str(v)) for k, v in node.attrib.items()),
                   children, (node.text or "").strip())


class Decoder:
    """_setup.xml's bytes read into an Install, every fault kept."""

    def __init__(self, name, data, members, shown):
        self.name, self.shown = name, shown
        self.faults, self.warnings = [], []
        self.install = Install()
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
        self.members = {m.casefold(): m for m in members}
        self.decode(root)

    def fault(self, line):
        self.faults.append(f"{self.name}: {line}")

    def decode(self, root):
        one, parts, provisioning = self.install, {}, ([], [])
        for child in root:
            kind = child.get("type") if child.tag == "characteristic" else None
            if kind in INSTALL_PARTS:
                parts.setdefault(kind, []).append(child)
            else:
                provisioning["Install" in parts].append(element(child))
        one.before, one.after = tuple(provisioning[0]), tuple(provisioning[1])
        if "Install" not in parts:
            if parts:
                self.fault("has no Install characteristic")
            elif not one.before:
                self.fault("holds no characteristic: neither an install nor provisioning")
            return
        self.install_parms(parts["Install"][0])
        for operation in parts.get("FileOperation", []):
            for folder in operation.findall("characteristic"):
                self.folder(folder)
        paths = {model.folded(f.path) for f in one.files}
        for s in one.shortcuts:
            s.to_folder = model.folded(s.target) not in paths
        for registry in parts.get("Registry", []):
            for key in registry.findall("characteristic"):
                self.key(key)

    def number(self, parms, name, reading=int):
        text = parms.get(name)
        if text is None:
            return None
        try:
            return reading(text)
        except ValueError:
            self.fault(f"its Install characteristic's {name} '{self.shown(text)[:40]}' is not "
                       "a number")
            return None

    def install_parms(self, install):
        one = self.install
        parms = {p.get("name"): p.get("value") or "" for p in install.iter("parm")}
        one.application = self.shown(parms.get("AppName", ""))
        if not one.application:
            self.fault("its Install characteristic names no AppName")
        if "InstallDir" in parms:
            one.folders = [self.shown(parms["InstallDir"])]
        one.processor = self.number(parms, "ProcessorType") or 0

        def version(text):
            major, _, minor = text.partition(".")
            return int(major), int(minor or 0)
        one.minimum = self.number(parms, "OSVersionMin", version) or (0, 0)
        one.maximum = self.number(parms, "OSVersionMax", version) or (0, 0)
        builds = [self.number(parms, name) for name in ("BuildNumberMin", "BuildNumberMax")]
        one.builds = tuple(None if b is None else b & U32 for b in builds)
        one.setup_dll = self.shown(parms["SetupDLL"]) if parms.get("SetupDLL") else None
        one.counts = {name: count for name in one.declared()
                      if (count := self.number(parms, name)) is not None}

    def folder(self, folder):
        one = self.install
        where = self.shown(folder.get("type") or "")
        path = resolved(where, one.install_dir)
        if model.folded(path) not in {model.folded(p) for p in one.folders}:
            one.folders.append(path)
        for item in folder.findall("characteristic"):
            target = self.shown(item.get("type") or "")
            for action in item.findall("characteristic"):
                parms = {p.get("name"): self.shown(p.get("value") or "")
                         for p in action.findall("parm")}
                source = parms.get("Source")
                if action.get("type") == "Extract":
                    if not source:
                        self.fault(f"the Extract of {where}\\{target} names no Source")
                    elif source.casefold() not in self.members:
                        self.fault(f"the Extract of {where}\\{target}: Source {source} is "
                                   "not a member of the cabinet")
                    flags = sum(bit for bit, _, name in COPY_FLAGS if name in parms)
                    member = self.members.get((source or "").casefold(), source or "")
                    found = NUMBERED.search(member)
                    one.files.append(File(int(found.group(1)) if found else 0, path, target,
                                          flags, member))
                elif action.get("type") == "Shortcut":
                    one.shortcuts.append(Shortcut(path, target,
                                                  resolved(source or "", one.install_dir)))

    def key(self, key):
        where = self.shown(key.get("type") or "")
        root, _, path = where.partition("\\")
        if root.upper() not in Root.__members__:
            self.fault(f"registry key {where}: its root is none of HKCR, HKCU, HKLM, HKU")
            return
        for value in key.findall("parm"):
            name = self.shown(value.get("name") or "")
            text, datatype = value.get("value") or "", value.get("datatype") or "string"
            kind = DATATYPES.get(datatype)
            what = f"registry value {where}: {name or '(default)'}"
            if kind is None:
                self.warnings.append(f"{self.name}: {what}: datatype '{self.shown(datatype)}' "
                                     "is none the device knows; read as a string")
                kind = ValueType.STRING
            data = self.data(kind, text, what)
            self.install.registry.append(Value(Root[root.upper()], path, name, kind, data,
                                               False, value.get("translation") == "install"))

    def data(self, kind, text, what):
        if kind == ValueType.DWORD:
            try:
                return (int(text, 16) if text.lower().startswith("0x") else int(text)) & U32
            except ValueError:
                self.fault(f"{what}: integer '{self.shown(text)[:40]}' is not a number")
                return 0
        if kind == ValueType.MULTI_STRING:
            return tuple(self.shown(t) for t in text.split(MULTI_SEPARATOR) if t)
        if kind == ValueType.BINARY:
            for reading in (lambda: base64.b64decode(text, validate=True),
                            lambda: bytes.fromhex(text)):
                try:
                    return reading()
                except ValueError:
                    pass
            self.fault(f"{what}: binary data neither base64 nor hexadecimal digits")
            return b""
        return self.shown(text)


def decode(name, data, members, shown=str):
    """(the Install, faults, warnings) of the document `data`; `members`: the cabinet's."""
    decoder = Decoder(name, data, members, shown)
    return decoder.install, decoder.faults, decoder.warnings


def certificates(one):
    """[(store, thumbprint, DER bytes or None)] of every certificate the provisioning adds, in
    a CertificateStore characteristic anywhere in it."""
    found = []

    def walk(e, depth=0):
        if e.tag == "characteristic" and e.get("type") == "CertificateStore":
            for store in e.children:
                for cert in store.children:
                    encoded = next((p.get("value") for p in cert.children if p.tag == "parm"
                                    and p.get("name") == "EncodedCertificate"), None)
                    try:
                        der = base64.b64decode(encoded or "", validate=False) or None
                    except ValueError:
                        der = None
                    found.append((store.get("type") or "", cert.get("type") or "", der))
        elif depth < DEPTH:
            for c in e.children:
                walk(c, depth + 1)
    for e in one.provisioning:
        walk(e)
    return found


def parsed(text):
    """Provisioning written by a packager (/prexml, /postxml): characteristics, or a whole
    document, which goes in as it stands, root and all; (Elements, fault or None)."""
    from defusedxml import DefusedXmlException, ElementTree
    body = re.sub(r"^\s*<\?xml[^>]*\?>", "", text)
    try:
        root = ElementTree.fromstring(f"<wap-provisioningdoc>{body}</wap-provisioningdoc>")
    except (DefusedXmlException, ElementTree.ParseError) as error:
        return (), f"not provisioning XML ({error})"
    others = [c.tag for c in root if c.tag not in ("characteristic", "wap-provisioningdoc")]
    if others:
        return (), (f"holds {', '.join(f'<{t}>' for t in others)}; it must hold "
                    "<characteristic> elements or a <wap-provisioningdoc>")
    return tuple(element(c) for c in root), None
