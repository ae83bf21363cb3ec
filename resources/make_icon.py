#!/usr/bin/env python3
"""Draw setup.exe's icon: a parcel in front of a handheld showing a green
"install" arrow.  Each size is drawn by hand so 16px stays crisp.

Usage: python3 make_icon.py [OUT.ico] [--preview PNG]
"""
import os
import struct
import sys
import zlib

# The stock 16-colour palette every Windows display can show.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
       (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
       (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
       (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]

# letter -> (colour for the 256-colour images, nearest VGA index)
INK = {
    'k': ((24, 24, 30), 0),      # handheld outline and screen bezel
    'h': ((112, 118, 134), 7),   # handheld body, lit edge
    'd': ((66, 70, 84), 8),      # handheld body
    'e': ((42, 44, 54), 8),      # handheld body, shaded edge
    't': ((150, 186, 170), 7),   # screen, shadow under the bezel
    's': ((206, 234, 220), 15),  # screen
    'l': ((120, 222, 110), 10),  # arrow, lit edge
    'g': ((40, 168, 56), 2),     # arrow
    'G': ((16, 96, 28), 2),      # arrow, shaded edge
    'b': ((48, 88, 184), 12),    # buttons
    'B': ((130, 168, 236), 14),  # button highlight
    'K': ((84, 50, 16), 0),      # box outline
    'Y': ((246, 212, 140), 11),  # box top
    'T': ((196, 150, 84), 3),    # parcel tape
    'y': ((222, 168, 86), 11),   # box front
    'o': ((164, 108, 42), 3),    # box side
}

ART = {16: """
......kkkkkkkkk.
.....khhhhhhhhdk
.....khsssssssdk
.....khssgggssdk
.....khssgggssdk
.....khsgggggsdk
.....khssgggssdk
.....khsssgsssdk
...KKKKKKKKsssdk
..KYYYYTYKKddddk
.KYYYYTYKoKddddk
KKKKKKKKooKdbbdk
KyyyTyyKooKdbbdk
KyyyyyyKoKdddddk
KyyyyyyKKddddddk
KKKKKKKKkkkkkkk.
""", 32: """
.............kkkkkkkkkkkkkkkk...
............khhhhhhhhhhhhhhhhk..
...........khddddddddddddddddek.
...........khdkkkkkkkkkkkkkkdek.
...........khdkttttttttttttkdek.
...........khdktssslggGsssskdek.
...........khdktssslggGsssskdek.
...........khdktssslggGsssskdek.
...........khdktssslggGsssskdek.
...........khdktlggggggggGskdek.
...........khdktslggggggGsskdek.
...........khdktsslggggGssskdek.
...........khdktssslggGsssskdek.
...........khdktsssslGssssskdek.
...........khdktssssssssssskdek.
.......KKKKKKKKKKKKKKKKKkkkkdek.
......KYYYYYYTTTYYYYYYKKdddddek.
.....KYYYYYYTTTYYYYYYKoKdddddek.
....KYYYYYYTTTYYYYYYKooKddbddek.
...KYYYYYYTTTYYYYYYKoooKdBbbdek.
..KYYYYYYTTTYYYYYYKooooKddbddek.
.KKKKKKKKKKKKKKKKKoooooKdddddek.
.KyyyyyyTTTyyyyyyKoooooKdddddek.
.KyyyyyyTTTyyyyyyKoooooKddbddek.
.KyyyyyyTTTyyyyyyKoooooKdBbbdek.
.KyyyyyyyyyyyyyyyKooooKdddbddek.
.KyyyyyyyyyyyyyyyKoooKdddddddek.
.KyyyyyyyyyyyyyyyKooKddddddddek.
.KyyyyyyyyyyyyyyyKoKdddddddddek.
.KyyyyyyyyyyyyyyyKKddddddddddek.
.KKKKKKKKKKKKKKKKKeeeeeeeeeeek..
.............kkkkkkkkkkkkkkkk...
"""}

# Index 0 stays black: transparent pixels point at it, hidden by the mask.
PAL256 = [(0, 0, 0)] + [rgb for rgb, _ in INK.values()]
INDEX256 = {ch: i + 1 for i, ch in enumerate(INK)}
# (size, bits per pixel) in the order the images go into the file.
IMAGES = [(16, 4), (16, 8), (32, 4), (32, 8)]


def grid(size):
    rows = ART[size].split()
    assert len(rows) == size and all(len(r) == size for r in rows), size
    return rows


def pixel_index(ch, bpp):
    if ch == '.':
        return 0
    return INK[ch][1] if bpp == 4 else INDEX256[ch]


def pack_row(values, bits):
    """Pack small ints MSB-first; DIB rows are padded to 4 bytes."""
    per = 8 // bits
    values += [0] * (-len(values) % per)
    out = bytes(sum(v << (8 - bits * (j + 1))
                    for j, v in enumerate(values[i:i + per]))
                for i in range(0, len(values), per))
    return out + b'\0' * (-len(out) % 4)


def icon_image(size, bpp):
    rows = grid(size)
    colours = VGA if bpp == 4 else PAL256 + [(0, 0, 0)] * (256 - len(PAL256))
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in colours)
    xor = b''.join(pack_row([pixel_index(c, bpp) for c in row], bpp)
                   for row in reversed(rows))  # DIBs are stored bottom-up
    mask = b''.join(pack_row([int(c == '.') for c in row], 1)
                    for row in reversed(rows))
    header = struct.pack('<IiiHHIIiiII', 40, size, 2 * size, 1, bpp, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + palette + xor + mask


def ico_bytes():
    blobs = [icon_image(size, bpp) for size, bpp in IMAGES]
    out = struct.pack('<HHH', 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for (size, bpp), blob in zip(IMAGES, blobs):
        out += struct.pack('<BBBBHHII', size, size, 16 if bpp == 4 else 0, 0,
                           1, bpp, len(blob), offset)
        offset += len(blob)
    return out + b''.join(blobs)


def write_preview(path, scale=8, gap=2):
    """All four images side by side over a checkerboard, scaled up."""
    cells = [(size, bpp, grid(size)) for size, bpp in IMAGES]
    width = (sum(s for s, _, _ in cells) + gap * (len(cells) + 1)) * scale
    height = (32 + 2 * gap) * scale
    canvas = [[(200, 200, 200) if (x // 8 + y // 8) % 2 else (232, 232, 232)
               for x in range(width)] for y in range(height)]
    x0 = gap * scale
    for size, bpp, rows in cells:
        for y, row in enumerate(rows):
            for x, ch in enumerate(row):
                if ch == '.':
                    continue
                rgb = VGA[INK[ch][1]] if bpp == 4 else INK[ch][0]
                for dy in range(scale):
                    line = canvas[gap * scale + y * scale + dy]
                    line[x0 + x * scale:x0 + (x + 1) * scale] = [rgb] * scale
        x0 += (size + gap) * scale
    raw = b''.join(b'\0' + bytes(c for px in line for c in px)
                   for line in canvas)  # filter type 0 on every row

    def chunk(tag, data):
        return (struct.pack('>I', len(data)) + tag + data
                + struct.pack('>I', zlib.crc32(tag + data)))
    ihdr = struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)  # 8-bit RGB
    png = (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', ihdr)
           + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))
    with open(path, 'wb') as f:
        f.write(png)


def main(args):
    preview = None
    if '--preview' in args:
        i = args.index('--preview')
        preview = args.pop(i + 1)
        args.pop(i)
    here = os.path.dirname(os.path.abspath(__file__))
    with open(args[0] if args else os.path.join(here, 'setup.ico'), 'wb') as f:
        f.write(ico_bytes())
    if preview:
        write_preview(preview)


if __name__ == '__main__':
    main(sys.argv[1:])
