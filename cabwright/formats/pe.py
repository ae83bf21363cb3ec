"""A launcher with other resources: the resource section windres compiles (a COFF object) put
into setup.exe or the carrying launcher as built, where the linker puts it.

The link lays the resources last but for the base relocations (toolchain/setup.ld, and MinGW's
own script for the 64-bit twin), and no code points into them. So the executable linked with
another resource script is the one built with its .rsrc section's bytes replaced, the .reloc
section after it moved, and the header fields that give their sizes and places set as the
linker sets them: no compiler needed, and the same bytes wherever it is done.
"""
import struct

from cabwright.diagnostics import Faults

RVA32 = 7  # IMAGE_REL_I386_DIR32NB: windres's one relocation, a data entry's address
SECTION = struct.Struct("<8sIIIIIIHHI")  # a section header, in a COFF object and a PE image
# Optional header fields, from its start: PE32 and PE32+ alike.
INITIALIZED_DATA, SECTION_ALIGNMENT, FILE_ALIGNMENT, IMAGE_SIZE, CHECKSUM = 8, 32, 36, 56, 64
RESOURCE_DIRECTORY, SECURITY_DIRECTORY = 2, 4


def checksum(data, field):
    """The image checksum: 16-bit words summed with end-around carry, the field itself as zero,
    plus the file's length."""
    words = data[:field] + bytes(4) + data[field + 4:] + bytes(len(data) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def up(value, alignment):
    return -(-value // alignment) * alignment


def resource_section(coff, rva):
    """The bytes of the .rsrc section of windres's COFF object, its data entries' addresses
    made relative to the image as the section lies at `rva`."""
    count, _, symbols, _, optional = struct.unpack_from("<2xHIIIH", coff)
    headers = [SECTION.unpack_from(coff, 20 + optional + SECTION.size * n) for n in range(count)]
    if [h[0] for h in headers] != [b".rsrc\0\0\0"]:
        raise Faults(f"windres wrote the sections {[h[0] for h in headers]}, not one .rsrc")
    _, _, _, size, start, relocations, _, relocation_count, _, _ = headers[0]
    data = bytearray(coff[start:start + size])
    for n in range(relocation_count):
        at, symbol, kind = struct.unpack_from("<IIH", coff, relocations + 10 * n)
        value, section = struct.unpack_from("<Ih", coff, symbols + 18 * symbol + 8)
        if kind != RVA32 or section != 1:
            raise Faults(f"windres wrote a relocation of type {kind} to section {section}")
        struct.pack_into("<I", data, at, struct.unpack_from("<I", data, at)[0] + value + rva)
    return bytes(data)


def with_resources(exe, coff):
    """`exe`'s bytes with the resources of windres's object `coff` in place of its own."""
    data = bytearray(exe)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    directories = optional + (96 if struct.unpack_from("<H", data, optional)[0] == 0x10B else 112)
    section_alignment, file_alignment = struct.unpack_from("<II", data,
                                                           optional + SECTION_ALIGNMENT)
    table = optional + optional_size
    headers = [list(SECTION.unpack_from(data, table + SECTION.size * n)) for n in range(count)]
    names = [h[0].rstrip(b"\0").decode("latin-1") for h in headers]
    if ".rsrc" not in names or names[names.index(".rsrc") + 1:] != [".reloc"] \
            or struct.unpack_from("<I", data, directories + 8 * SECURITY_DIRECTORY)[0]:
        raise Faults(f"the launcher's sections {names}: not the build's, .rsrc then .reloc, "
                     "unsigned")
    at = names.index(".rsrc")
    rsrc = headers[at]
    resources = resource_section(coff, rsrc[2])
    raw = up(len(resources), file_alignment)
    moved_by = up(rsrc[2] + len(resources), section_alignment) - headers[at + 1][2]
    grown_by = raw - rsrc[3]
    rest = data[rsrc[4] + rsrc[3]:]  # .reloc's bytes
    for header in headers[at + 1:]:
        for n in range(16):  # a directory in a moved section (the base relocations) moves too
            place = directories + 8 * n
            address = struct.unpack_from("<I", data, place)[0]
            if header[2] <= address < header[2] + header[1]:
                struct.pack_into("<I", data, place, address + moved_by)
        header[2] += moved_by
        header[4] += grown_by
    rsrc[1], rsrc[3] = len(resources), raw
    struct.pack_into("<II", data, directories + 8 * RESOURCE_DIRECTORY, rsrc[2], len(resources))
    for n, header in enumerate(headers):
        SECTION.pack_into(data, table + SECTION.size * n, *header)
    initialized = struct.unpack_from("<I", data, optional + INITIALIZED_DATA)[0]
    struct.pack_into("<I", data, optional + INITIALIZED_DATA, initialized + grown_by)
    last = headers[-1]
    struct.pack_into("<I", data, optional + IMAGE_SIZE,
                     last[2] + up(up(last[1], file_alignment), section_alignment))
    data = data[:rsrc[4]] + resources + bytes(raw - len(resources)) + rest
    if struct.unpack_from("<I", data, optional + CHECKSUM)[0]:  # the 64-bit twin has none
        struct.pack_into("<I", data, optional + CHECKSUM,
                         checksum(bytes(data), optional + CHECKSUM))
    return bytes(data)
