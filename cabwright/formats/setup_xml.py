"""A device CAB's _setup.xml, the provisioning document newer devices install from instead of the
.000 file, written from the same Layout so that the two say the same thing entry for entry.

    <wap-provisioningdoc>
      Install: InstallPhase, ProcessorType, OSVersionMin/Max, BuildNumberMin/Max, AppName
               (provider, a blank, application), InstallDir, NumDirs ... NumShortcuts
      FileOperation: each folder, MakeDir, then each file's Extract (Source: its member, a parm
               per copy flag) and each shortcut as <name>.lnk (Shortcut, Source: its target)
      Registry: each key, each value with its datatype
    </wap-provisioningdoc>

Paths, and values the device fills in (%InstallDir%, %CEn%), carry translation="install".
"""
import base64
import struct
from xml.sax.saxutils import quoteattr

from cabwright.formats.inf import ROOTS

# A file's copy flags as Extract parms. NoOverwrite and SelfRegister are the names the SDK tool
# was seen to write; the others follow the .inf's names for the same flags.
COPY_FLAGS = ((0x00000001, "WarnIfSkip"), (0x00000002, "NoSkip"), (0x00000010, "NoOverwrite"),
              (0x00000400, "ReplaceOnly"), (0x10000000, "SelfRegister"),
              (0x20000000, "NoDateDialog"), (0x40000000, "NoDateCheck"),
              (0x80000000, "Shared"))
DATATYPES = {0x00000000: "string", 0x00010000: "multiplestring", 0x00000001: "binary",
             0x00010001: "integer"}
MULTI_SEPARATOR = "\uf000"  # between a multi-string's parts, and twice at its end
INSTALL = ' translation="install"'


def signed(value):
    return struct.unpack("<i", struct.pack("<I", value & 0xFFFFFFFF))[0]


def device_path(parts):
    """A folder's name parts as the device's path: a standard folder or an absolute path."""
    path = "\\".join(parts)
    return path if path.startswith(("%", "\\")) else "\\" + path


def parm(name, value=None, attributes=""):
    shown = "" if value is None else f" value={quoteattr(str(value))}"
    return f"<parm name={quoteattr(name)}{shown}{attributes}/>"


def registry_value(payload, kind, code_page):
    """A registry value's bytes as the document writes them."""
    if kind == 0x00010001:
        return str(signed(struct.unpack("<I", payload)[0]))
    if kind == 0x00000001:
        return base64.b64encode(payload).decode("ascii")
    parts = payload.decode(code_page).split("\0")
    if kind == 0x00010000:  # the parts, each ended, and an empty one ending the list
        return "".join(p + MULTI_SEPARATOR for p in parts[:-2]) + MULTI_SEPARATOR
    return parts[0]


def document(layout, code_page, before="", after=""):
    """_setup.xml's bytes (UTF-8); `before` and `after`: provisioning XML to put before and after
    what the .inf describes."""
    one, out = layout.one, []
    folders = dict(layout.folders())
    install = [("InstallPhase", "install"), ("ProcessorType", one.processor),
               ("OSVersionMin", "{}.{}".format(*one.versions[:2])),
               ("OSVersionMax", "{}.{}".format(*one.versions[2:])),
               ("BuildNumberMin", signed(one.builds[0])),
               ("BuildNumberMax", signed(one.builds[1])),
               ("AppName", f"{one.provider} {one.application}")]
    out.append('<characteristic type="Install">')
    out += [parm(name, value) for name, value in install]
    out.append(parm("InstallDir", "\\".join(one.install_dir), INSTALL))
    if one.setup_dll is not None:
        out.append(parm("SetupDLL", layout.member[999]))
    counts = (("NumDirs", folders), ("NumFiles", layout.files), ("NumRegKeys", layout.hives),
              ("NumRegVals", layout.values), ("NumShortcuts", layout.links))
    out += [parm(name, len(items)) for name, items in counts]
    out.append("</characteristic>")
    out.append('<characteristic type="FileOperation">')
    for dir_id, parts in layout.folders():
        out.append(f"<characteristic type={quoteattr(device_path(parts))}{INSTALL}>")
        out.append('<characteristic type="MakeDir"/>')
        for number, in_dir, f in layout.files:
            if in_dir == dir_id:
                flags = [parm(name) for bit, name in COPY_FLAGS if f.flags & bit]
                out += [f"<characteristic type={quoteattr(f.name)}{INSTALL}>",
                        '<characteristic type="Extract">', parm("Source", layout.member[number]),
                        *flags, "</characteristic>", "</characteristic>"]
        for base, _, name_parts, to_folder, target, link_dir in layout.links:
            if link_dir == dir_id:
                if to_folder:
                    points = device_path(folders[target])
                else:
                    f = next(f for n, _, f in layout.files if n == target)
                    points = device_path((*f.folder, f.name))
                out += [f"<characteristic type={quoteattr(name_parts[-1])}{INSTALL}>",
                        '<characteristic type="Shortcut">', parm("Source", points, INSTALL),
                        "</characteristic>", "</characteristic>"]
        out.append("</characteristic>")
    out.append("</characteristic>")
    if layout.values:
        out.append('<characteristic type="Registry">')
        roots = {n: name for name, n in ROOTS.items()}
        for hive, root, parts in layout.hives.values():
            key = "\\".join((roots[root], *parts))
            out.append(f"<characteristic type={quoteattr(key)}>")
            for in_hive, name, flags, payload, substitute in layout.values:
                if in_hive == hive:
                    kind = flags & 0x00010001
                    out.append(parm(name, registry_value(payload, kind, code_page),
                                    f' datatype="{DATATYPES[kind]}"' +
                                    (INSTALL if substitute else "")))
            out.append("</characteristic>")
        out.append("</characteristic>")
    body = "\n".join(out).replace(MULTI_SEPARATOR, "&#xF000;")
    pieces = ("<wap-provisioningdoc>", before.strip("\r\n"), body, after.strip("\r\n"),
              "</wap-provisioningdoc>")
    return "".join(f"{piece}\n" for piece in pieces if piece).encode("utf-8")
