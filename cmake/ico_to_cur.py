"""Turns a one-image .ico file into a .cur file with the given hot spot.

The two formats share their layout: a cursor's header says type 2 instead of
1, and its directory entry holds the hot spot where an icon's holds the plane
count and the bit depth. ImageMagick writes only the icon form, so the
cursor is made from it here.

usage: ico_to_cur.py ICON CURSOR HOTSPOT_X HOTSPOT_Y
"""

import struct
import sys


def main(argv):
    if len(argv) != 5:
        sys.exit("usage: ico_to_cur.py ICON CURSOR HOTSPOT_X HOTSPOT_Y")
    icon_path, cursor_path = argv[1], argv[2]
    hot_x, hot_y = int(argv[3]), int(argv[4])
    with open(icon_path, "rb") as icon_file:
        data = bytearray(icon_file.read())
    if len(data) < 22:
        sys.exit(f"{icon_path}: too short for an icon file ({len(data)} bytes)")
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        sys.exit(f"{icon_path}: not an icon file (header {reserved}, {kind})")
    if count != 1:
        sys.exit(f"{icon_path}: holds {count} images, a cursor is made from exactly one")
    width = data[6] or 256
    height = data[7] or 256
    if not (0 <= hot_x < width and 0 <= hot_y < height):
        sys.exit(f"hot spot ({hot_x}, {hot_y}) lies outside the {width}x{height} image")
    struct.pack_into("<H", data, 2, 2)
    struct.pack_into("<HH", data, 10, hot_x, hot_y)
    with open(cursor_path, "wb") as cursor_file:
        cursor_file.write(data)


if __name__ == "__main__":
    main(sys.argv)
