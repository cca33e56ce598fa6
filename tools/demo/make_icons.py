#!/usr/bin/env python3
"""Writes the two sample icons the demo lays out beside the service.

Usage: make_icons.py FOLDER   (writes FOLDER/normal.ico and FOLDER/update.ico)

normal.ico is a green disc with a white tick; update.ico an orange disc with a
white downward arrow, so the two are told apart at a glance on the desktop.
"""
import os
import struct
import sys

SIZE = 32


def disc_icon(fill, mark):
    """A 32x32, 32-bit icon: a disc of colour fill with the pixels mark(x, y) in white."""
    centre = (SIZE - 1) / 2
    rows = []
    for y in range(SIZE - 1, -1, -1):  # bitmaps run bottom-up
        row = bytearray()
        for x in range(SIZE):
            distance = ((x - centre) ** 2 + (y - centre) ** 2) ** 0.5
            if distance > SIZE / 2 - 1:
                row += bytes((0, 0, 0, 0))
            elif mark(x, y):
                row += bytes((255, 255, 255, 255))
            else:
                r, g, b = fill
                row += bytes((b, g, r, 255))
        rows.append(bytes(row))
    pixels = b"".join(rows)
    mask = bytes(4 * SIZE)  # the alpha channel decides; the AND mask is all opaque
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    image = header + pixels + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def tick(x, y):
    return (8 <= x <= 14 and abs((y - 16) - (x - 8)) <= 1) or \
           (14 <= x <= 24 and abs((y - 22) + (x - 14) * 1.2) <= 1.5)


def arrow(x, y):
    shaft = 14 <= x <= 17 and 6 <= y <= 18
    head = 18 <= y <= 26 and abs(x - 15.5) <= (26 - y)
    return shaft or head


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "normal.ico"), "wb") as f:
        f.write(disc_icon((40, 160, 70), tick))
    with open(os.path.join(folder, "update.ico"), "wb") as f:
        f.write(disc_icon((235, 120, 20), arrow))
    return 0


if __name__ == "__main__":
    sys.exit(main())
