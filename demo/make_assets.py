"""Regenerate demo/assets/target.png, the image the form shows and click_image looks for.

Pure standard library (zlib + struct), so the form needs no imaging package.
The pattern (rings, a diagonal band and a corner notch) has no symmetry and
no flat area, which keeps template matching unambiguous; it avoids green so it
never answers a search for the form's green square.
"""

from __future__ import annotations

import math
import struct
import zlib
from pathlib import Path

SIZE = 96
PALETTE = [(200, 0, 128), (20, 30, 140), (255, 140, 0), (250, 250, 250)]


def pixel(x: int, y: int) -> tuple[int, int, int]:
    if x < 18 and y < 18:
        return (0, 0, 0)  # notch: breaks the rotational symmetry of the rings
    if abs((x - y) - 10) < 6:
        return (250, 220, 40)  # diagonal band
    ring = int(math.hypot(x - 52, y - 44) // 9)
    return PALETTE[ring % len(PALETTE)]


def png_bytes(width: int, height: int, rgb) -> bytes:
    raw = b"".join(b"\x00" + bytes(c for x in range(width) for c in rgb(x, y)) for y in range(height))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main() -> None:
    out = Path(__file__).resolve().parent / "assets" / "target.png"
    out.write_bytes(png_bytes(SIZE, SIZE, pixel))
    print(out)


if __name__ == "__main__":
    main()
