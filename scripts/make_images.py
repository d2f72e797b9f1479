#!/usr/bin/env python3
"""Draws the program's simple pictures (adapter tiles, close button, arrow,
logo) as PNG files and the logo as ICO, so no artwork has to be shipped."""
import struct
import sys
import zlib
from pathlib import Path


def png(width, height, pixel):
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows.extend(pixel(x, y))
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def rounded_box(width, height, radius, colour, accent):
    def pixel(x, y):
        dx = max(radius - x, 0, x - (width - 1 - radius))
        dy = max(radius - y, 0, y - (height - 1 - radius))
        if dx * dx + dy * dy > radius * radius:
            return (0, 0, 0, 0)
        # a horizontal band marks the adapter's face
        if height * 2 // 5 < y < height * 3 // 5 and width // 5 < x < width * 4 // 5:
            return accent + (255,)
        return colour + (255,)
    return png(width, height, pixel)


def cross(size, colour):
    def pixel(x, y):
        on = abs(x - y) < 3 or abs(x + y - (size - 1)) < 3
        inside = size // 5 <= x < size * 4 // 5 and size // 5 <= y < size * 4 // 5
        return colour + (255,) if on and inside else (0, 0, 0, 0)
    return png(size, size, pixel)


def arrow(width, height, colour):
    def pixel(x, y):
        mid = height // 2
        shaft = abs(y - mid) < 2 and x < width - height // 2
        head = x >= width - height // 2 and abs(y - mid) <= (width - x)
        return colour + (255,) if shaft or head else (0, 0, 0, 0)
    return png(width, height, pixel)


def ico(png_bytes, size):
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(png_bytes), 22)
    return header + entry + png_bytes


def main(folder):
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    blue, light, white = (40, 167, 225), (217, 239, 249), (255, 255, 255)
    shades = {"T5": (45, 189, 255), "M7": (84, 183, 97), "K3": (102, 102, 102)}
    for model, colour in shades.items():
        (out / f"{model}.png").write_bytes(rounded_box(320, 136, 24, colour, white))
        (out / f"guide_{model}.png").write_bytes(rounded_box(144, 132, 16, light, colour))
    (out / "close.png").write_bytes(cross(32, white))
    (out / "arrow.png").write_bytes(arrow(48, 16, white))
    logo = rounded_box(64, 64, 14, blue, white)
    (out / "logo.png").write_bytes(logo)
    (out / "logo.ico").write_bytes(ico(logo, 64))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/images")
