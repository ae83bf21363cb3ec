"""A packager's resources for setup.exe: their icon, checked, and a version resource's text.

The version resource is a VERSIONINFO statement in the resource script; windres lays out the
tree. The script is UTF-8 and says so (code page 65001), so windres stores every string as the
UTF-16 of exactly what was given.
"""
import pathlib
import struct
from cabwright.diagnostics import Faults

LANGUAGE = 0x0409  # English (United States), as the default build's icon
CODE_PAGE = 1200  # Unicode strings


def check_icon(path):
    """The .ico file's bytes, once every image in its directory lies inside the file."""
    where = f"ICON {path}"
    try:
        data = pathlib.Path(path).read_bytes()
    except OSError as error:
        raise Faults(f"{where}: cannot read it ({error.strerror})") from None
    if len(data) < 6:
        raise Faults(f"{where}: not an icon file ({len(data)} bytes, too short for a header)")
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise Faults(f"{where}: not an icon file (its first four bytes are "
                         f"{data[:4].hex(' ')}, an icon's are 00 00 01 00)")
    if count == 0:
        raise Faults(f"{where}: the icon holds no images")
    end = 6 + 16 * count
    if end > len(data):
        raise Faults(f"{where}: the directory of {count} images needs {end} bytes, "
                         f"the file has {len(data)}")
    for n in range(count):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * n + 8)
        if size == 0:
            raise Faults(f"{where}: image {n + 1} is empty")
        if offset < end:
            raise Faults(f"{where}: image {n + 1} starts inside the directory "
                             f"(offset {offset} < {end})")
        if offset + size > len(data):
            raise Faults(f"{where}: image {n + 1} runs past the end of the file "
                             f"(offset {offset} + {size} > {len(data)} bytes)")
        image = data[offset:offset + size]
        if not (image.startswith(b"\x89PNG\r\n\x1a\n") or image[:4] == b"\x28\0\0\0"):
            raise Faults(f"{where}: image {n + 1} is neither a bitmap nor a PNG image")
        problem = image_fault(data[6 + 16 * n:6 + 16 * n + 8], image)
        if problem:
            raise Faults(f"{where}: image {n + 1} {problem}")
    return data


def parse_version(text):
    """Four numbers from 'a[.b[.c[.d]]]', the missing ones zero."""
    parts = text.split(".")
    if len(parts) > 4:
        raise Faults(f"VERSION {text}: {len(parts)} numbers, at most four (a.b.c.d)")
    numbers = []
    for part in parts:
        if not part:
            raise Faults(f"VERSION {text}: an empty number; write it as a.b.c.d")
        if not (part.isascii() and part.isdigit()):
            raise Faults(f"VERSION {text}: '{part}' is not a number; write it as a.b.c.d")
        if int(part) > 65535:
            raise Faults(f"VERSION {text}: {part} is past 65535, the largest a part can be")
        numbers.append(int(part))
    return tuple(numbers + [0] * (4 - len(numbers)))


# How windres reads a string back exactly: a quotation mark doubled (it warns about \" and takes
# it the same), a backslash escaped, a control character in octal, whose three digits never take
# in a digit that follows.
ESCAPES = {ord('"'): '""', ord("\\"): "\\\\", **{c: f"\\{c:03o}" for c in [*range(32), 127]}}


def version_info(version, strings):
    """A VERSIONINFO statement for `version` (four numbers) and the strings given, in order."""
    numbers = ",".join(map(str, version))
    return "\n".join([
        "1 VERSIONINFO",
        f"FILEVERSION {numbers}",
        f"PRODUCTVERSION {numbers}",
        "FILEFLAGSMASK 0x3F",  # with FILEFLAGS 0: a release build
        "FILEFLAGS 0",
        "FILEOS 0x4",  # Windows 32-bit API, every Win32 from 95 on
        "FILETYPE 0x1",  # an application
        "FILESUBTYPE 0",
        "BEGIN",
        '  BLOCK "StringFileInfo"',
        "  BEGIN",
        f'    BLOCK "{LANGUAGE:04X}{CODE_PAGE:04X}"',
        "    BEGIN",
        *(f'      VALUE "{key}", "{value.translate(ESCAPES)}"' for key, value in strings),
        "    END",
        "  END",
        '  BLOCK "VarFileInfo"',
        "  BEGIN",
        f'    VALUE "Translation", 0x{LANGUAGE:04X}, {CODE_PAGE}',
        "  END",
        "END"])


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


def image_fault(entry, image):
    """Why an icon image can't be shown as its directory entry says, or None: its own header
    read in full, as Windows reads it (a bitmap's size, planes and depth; a PNG's size)."""
    width, height, _, _, planes, depth = struct.unpack("<4B2H", entry)
    width, height = width or 256, height or 256
    if planes > 1 or depth not in (0, 1, 4, 8, 16, 24, 32):
        return f"has {planes} planes and {depth} bits a pixel in the directory (1 plane; 1, 4, " \
               "8, 16, 24 or 32 bits)"
    if image.startswith(b"\x89PNG"):
        if len(image) < 24 or image[12:16] != b"IHDR":
            return "is a PNG image without its header"
        found = struct.unpack(">II", image[16:24])
    else:
        if len(image) < 40:
            return "is a bitmap without its 40-byte header"
        bits_width, bits_height, bits_planes, bits, compression = \
            struct.unpack_from("<iiHHI", image, 4)
        if bits_width <= 0 or bits_height <= 0 or bits_height % 2 or bits_planes != 1 or \
                bits not in (1, 4, 8, 16, 24, 32) or compression not in (0, 3):
            return (f"is a bitmap of {bits_width} by {bits_height}, {bits_planes} planes, "
                    f"{bits} bits a pixel, compression {compression}: not an icon's (a width, "
                    "twice the height, 1 plane, 1 to 32 bits, uncompressed)")
        found = (bits_width, bits_height // 2)
        rows = (bits_width * bits + 31) // 32 * 4 + (bits_width + 31) // 32 * 4
        colours = (1 << bits) * 4 if bits <= 8 else 0
        if 40 + colours + rows * found[1] > len(image):
            return f"holds {len(image):,} bytes; a bitmap of its size needs " \
                   f"{40 + colours + rows * found[1]:,}"
    if found != (width, height):
        return f"is {found[0]} by {found[1]} pixels; the directory says {width} by {height}"
    return None
