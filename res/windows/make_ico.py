#!/usr/bin/env python3
"""Writes icon 130 for Windows (130.ico) from the PNGs beside it.

Every PNG goes in as it is: Windows has read PNG-compressed icon images
since Vista. Run from the source tree after re-making the PNGs:

    python3 res/windows/make_ico.py res/icons/130.png res/icons/130-256.png res/icons/130.ico
"""
import struct
import sys


def png_size(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        raise SystemExit("not a PNG")
    return struct.unpack(">II", data[16:24])


def main(args):
    *sources, target = args
    images = [open(path, "rb").read() for path in sources]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for data in images:
        width, height = png_size(data)
        # 0 stands for 256 in the one-byte width and height fields.
        out += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    open(target, "wb").write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1:])
