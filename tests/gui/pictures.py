"""Pixels of the window's pictures, read through ImageMagick."""

import subprocess

from guiharness import HarnessError


class Picture:
    """The pixels of a PNG, read through ImageMagick's PPM output."""

    def __init__(self, path):
        self.path = path
        data = subprocess.run(["convert", path, "ppm:-"], stdout=subprocess.PIPE, check=True,
                              timeout=30).stdout
        header = []
        position = 0
        while len(header) < 4:
            while data[position:position + 1].isspace():
                position += 1
            if data[position:position + 1] == b"#":
                position = data.index(b"\n", position) + 1
                continue
            end = position
            while not data[end:end + 1].isspace():
                end += 1
            header.append(data[position:end])
            position = end
        position += 1
        if header[0] != b"P6" or int(header[3]) != 255:
            raise HarnessError("unexpected picture format in %s" % path)
        self.width = int(header[1])
        self.height = int(header[2])
        self.pixels = data[position:]

    def pixel(self, x, y):
        offset = (y * self.width + x) * 3
        return tuple(self.pixels[offset:offset + 3])

    def distinct_colours(self, step=4):
        colours = set()
        for y in range(0, self.height, step):
            for x in range(0, self.width, step):
                colours.add(self.pixel(x, y))
        return len(colours)


def colour_of(text):
    text = text.lstrip("#")
    return tuple(int(text[index:index + 2], 16) for index in (0, 2, 4))


def blend(left, right, fraction):
    return tuple(round(a + (b - a) * fraction) for a, b in zip(left, right))


def near(actual, expected, tolerance=12):
    return all(abs(a - e) <= tolerance for a, e in zip(actual, expected))
