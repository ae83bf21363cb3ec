"""A packager's resources for setup.exe: their icon, checked, and a version resource.

The version resource is written here as bytes and bound into the resource script raw, so
windres never has to interpret non-ASCII strings through a code page: every string goes in as
UTF-16LE exactly as given.
"""
import pathlib
import struct

LANGUAGE = 0x0409  # English (United States), as the default build's icon
CODE_PAGE = 1200  # Unicode strings
DEFAULT_ICON = pathlib.Path(__file__).resolve().parents[1] / "resources" / "setup.ico"


class BrandError(Exception):
    """One line for the packager: what is wrong and with which input."""


def check_icon(path):
    """The .ico file's bytes, once every image in its directory lies inside the file."""
    where = f"ICON {path}"
    try:
        data = pathlib.Path(path).read_bytes()
    except OSError as error:
        raise BrandError(f"{where}: cannot read it ({error.strerror})") from None
    if len(data) < 6:
        raise BrandError(f"{where}: not an icon file ({len(data)} bytes, too short for a header)")
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise BrandError(f"{where}: not an icon file (its first four bytes are "
                         f"{data[:4].hex(' ')}, an icon's are 00 00 01 00)")
    if count == 0:
        raise BrandError(f"{where}: the icon holds no images")
    end = 6 + 16 * count
    if end > len(data):
        raise BrandError(f"{where}: the directory of {count} images needs {end} bytes, "
                         f"the file has {len(data)}")
    for n in range(count):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * n + 8)
        if size == 0:
            raise BrandError(f"{where}: image {n + 1} is empty")
        if offset < end:
            raise BrandError(f"{where}: image {n + 1} starts inside the directory "
                             f"(offset {offset} < {end})")
        if offset + size > len(data):
            raise BrandError(f"{where}: image {n + 1} runs past the end of the file "
                             f"(offset {offset} + {size} > {len(data)} bytes)")
        image = data[offset:offset + size]
        if not (image.startswith(b"\x89PNG\r\n\x1a\n") or image[:4] == b"\x28\0\0\0"):
            raise BrandError(f"{where}: image {n + 1} is neither a bitmap nor a PNG image")
    return data


def parse_version(text):
    """Four numbers from 'a[.b[.c[.d]]]', the missing ones zero."""
    parts = text.split(".")
    if len(parts) > 4:
        raise BrandError(f"VERSION {text}: {len(parts)} numbers, at most four (a.b.c.d)")
    numbers = []
    for part in parts:
        if not part:
            raise BrandError(f"VERSION {text}: an empty number; write it as a.b.c.d")
        if not (part.isascii() and part.isdigit()):
            raise BrandError(f"VERSION {text}: '{part}' is not a number; write it as a.b.c.d")
        if int(part) > 65535:
            raise BrandError(f"VERSION {text}: {part} is past 65535, the largest a part can be")
        numbers.append(int(part))
    return tuple(numbers + [0] * (4 - len(numbers)))


def _node(key, value=b"", value_length=0, text=False, children=()):
    """One block of the version tree: length, value length, type, key, value, children, each
    of the last three starting on a 32-bit boundary."""
    body = key.encode("utf-16-le") + b"\0\0"
    body += b"\0" * (-(6 + len(body)) % 4) + value
    for child in children:
        body += b"\0" * (-(6 + len(body)) % 4) + child
    return struct.pack("<HHH", 6 + len(body), value_length, 1 if text else 0) + body


def _string(key, value):
    data = value.encode("utf-16-le") + b"\0\0"
    return _node(key, data, len(data) // 2, text=True)


def version_info(version, strings):
    """VS_VERSIONINFO for `version` (four numbers) and the strings given, in order."""
    ms, ls = version[0] << 16 | version[1], version[2] << 16 | version[3]
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x00010000, ms, ls, ms, ls,
                        0x3F, 0,  # flags mask, flags: a release build
                        0x00000004,  # Windows 32-bit API, every Win32 from 95 on
                        0x00000001,  # an application
                        0, 0, 0)
    table = _node(f"{LANGUAGE:04X}{CODE_PAGE:04X}", text=True,
                  children=[_string(k, v) for k, v in strings])
    translation = _node("Translation", struct.pack("<HH", LANGUAGE, CODE_PAGE), 4)
    return _node("VS_VERSION_INFO", fixed, len(fixed), children=[
        _node("StringFileInfo", text=True, children=[table]),
        _node("VarFileInfo", text=True, children=[translation])])


def version_strings(version, company="", product="", description="", copyright_=""):
    """The strings Explorer shows under Properties, Details; the empty ones left out."""
    if product and not description:
        description = f"{product} Setup"
    dotted = ".".join(map(str, version))
    strings = [("CompanyName", company), ("FileDescription", description),
               ("FileVersion", dotted), ("LegalCopyright", copyright_),
               ("OriginalFilename", "setup.exe"), ("ProductName", product),
               ("ProductVersion", dotted)]
    return [(k, v) for k, v in strings if v]


def write_resources(directory, icon=None, version=None):
    """The resource script and the files it names, in `directory`; returns the script's path.
    `icon` is the .ico's bytes (None: the default icon), `version` a VS_VERSIONINFO or None."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "icon.ico").write_bytes(icon if icon is not None else DEFAULT_ICON.read_bytes())
    lines = ["// Generated by make release.", "LANGUAGE 0x09, 0x01", '102 ICON "icon.ico"']
    (directory / "version.bin").unlink(missing_ok=True)
    if version is not None:
        (directory / "version.bin").write_bytes(version)
        # Type 16 is the version resource; bound raw, so windres copies the bytes as they are.
        lines.append('1 16 "version.bin"')
    script = directory / "setup.rc"
    script.write_text("\n".join(lines) + "\n")
    return script
