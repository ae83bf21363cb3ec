"""Clears the write flag of setup.exe's .rsrc section and sets the header checksum again.

    python3 -m toolchain.readonly_resources SETUP_EXE   (from the repository's root)

The link script can't do this: GNU ld 2.40 (Debian 12) forces IMAGE_SCN_MEM_WRITE onto any
section named .rsrc when it writes the section headers, whatever the input sections' flags, and
it fills the resource directory entry from the section of that name only. objcopy writes through
the same code. So the two header fields are set here, after the link.
"""
import struct
import sys

from cabwright.formats.pe import checksum

MEM_WRITE = 0x80000000


def main(path):
    data = bytearray(open(path, "rb").read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    table = pe + 24 + optional_size
    for n in range(sections):
        entry = table + 40 * n
        if data[entry:entry + 8] == b".rsrc\0\0\0":
            flags = struct.unpack_from("<I", data, entry + 36)[0]
            struct.pack_into("<I", data, entry + 36, flags & ~MEM_WRITE)
            break
    else:
        sys.exit(f"{path}: no .rsrc section")
    field = pe + 24 + 64
    struct.pack_into("<I", data, field, checksum(bytes(data), field))
    open(path, "wb").write(data)


if __name__ == "__main__":
    main(sys.argv[1])
