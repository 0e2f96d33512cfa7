#!/usr/bin/env python3
"""Builds the loudness views' BMP artwork from its drawing source (artwork.txt).

    lm_art.py SOURCE OUTPUT_FOLDER

The source lists images, each followed by drawing commands; coordinates are pixels with the
right and bottom edges exclusive, colours are #RRGGBB. Glyphs for `text` are defined in the
source as rows of '#' and '.'. Every image is written as a bottom-up, uncompressed 24-bit BMP.
"""
import os
import struct
import sys


class Image:
    def __init__(self, name, width, height):
        self.name, self.width, self.height = name, width, height
        self.pixels = [[(0, 0, 0)] * width for _ in range(height)]

    def put(self, x, y, color):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = color

    def fill(self, x0, y0, x1, y1, color):
        for y in range(max(y0, 0), min(y1, self.height)):
            for x in range(max(x0, 0), min(x1, self.width)):
                self.pixels[y][x] = color

    def write(self, path):
        row_bytes = (self.width * 3 + 3) & ~3
        data = bytearray()
        for y in range(self.height - 1, -1, -1):
            row = bytearray()
            for r, g, b in self.pixels[y]:
                row += bytes((b, g, r))
            row += b"\0" * (row_bytes - len(row))
            data += row
        header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
        info = struct.pack("<IiiHHIIiiII", 40, self.width, self.height, 1, 24, 0, len(data),
                           2835, 2835, 0, 0)
        with open(path, "wb") as f:
            f.write(header + info + data)


def color(text):
    if not (text.startswith("#") and len(text) == 7):
        raise ValueError("colour %r is not #RRGGBB" % text)
    v = int(text[1:], 16)
    return ((v >> 16) & 255, (v >> 8) & 255, v & 255)


def draw(image, command, args, glyphs):
    quoted = " ".join(args).split('"')
    args = quoted[0].split()
    n = [int(a) for a in args if not a.startswith("#")]
    cols = [color(a) for a in args if a.startswith("#")]
    if command == "rect":  # x0 y0 x1 y1 #fill
        image.fill(*n[:4], cols[0])
    elif command == "frame":  # x0 y0 x1 y1 #line
        x0, y0, x1, y1 = n[:4]
        image.fill(x0, y0, x1, y0 + 1, cols[0])
        image.fill(x0, y1 - 1, x1, y1, cols[0])
        image.fill(x0, y0, x0 + 1, y1, cols[0])
        image.fill(x1 - 1, y0, x1, y1, cols[0])
    elif command == "round":  # x0 y0 x1 y1 radius #fill: a rectangle with rounded corners
        x0, y0, x1, y1, r = n[:5]
        for y in range(y0, y1):
            for x in range(x0, x1):
                dx = max(x0 + r - x - 0.5, x - (x1 - r) + 0.5, 0)
                dy = max(y0 + r - y - 0.5, y - (y1 - r) + 0.5, 0)
                if dx * dx + dy * dy <= r * r:
                    image.put(x, y, cols[0])
    elif command == "disc":  # cx cy radius #fill (centre between pixels when cx, cy are edges)
        cx, cy, r = n[:3]
        for y in range(cy - r, cy + r):
            for x in range(cx - r, cx + r):
                if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= r * r:
                    image.put(x, y, cols[0])
    elif command == "stripes":  # x0 y0 x1 y1 period #lit #gap: the last row of each period is a gap
        x0, y0, x1, y1, period = n[:5]
        for y in range(y0, y1):
            lit = (y - y0) % period != period - 1
            image.fill(x0, y, x1, y + 1, cols[0] if lit else cols[1])
    elif command == "triangle":  # x0 y0 x1 y1 #fill: pointing right
        x0, y0, x1, y1 = n[:4]
        h = y1 - y0
        for y in range(y0, y1):
            t = 1 - abs((y - y0) + 0.5 - h / 2) / (h / 2)
            image.fill(x0, y, x0 + round((x1 - x0) * t), y + 1, cols[0])
    elif command == "text":  # x y #ink "TEXT": left-aligned, top at y
        x, y = n[:2]
        text = quoted[1]
        for ch in text:
            glyph = glyphs.get(ch)
            if glyph is None:
                raise ValueError("no glyph for %r" % ch)
            for gy, row in enumerate(glyph):
                for gx, cell in enumerate(row):
                    if cell == "#":
                        image.put(x + gx, y + gy, cols[0])
            x += len(glyph[0]) + 1
    else:
        raise ValueError("unknown command %r" % command)


def build(source, folder):
    images, glyphs = [], {}
    glyph, image = None, None
    with open(source, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            try:
                if glyph is not None and line and line[0] in "#." and " " not in line:
                    glyph.append(line)
                    continue
                glyph = None
                words = line.split()
                if not words or words[0].startswith("//"):
                    continue
                if words[0] == "glyph":
                    glyph = glyphs.setdefault(line.split('"')[1], [])
                elif words[0] == "image":
                    image = Image(words[1], int(words[2]), int(words[3]))
                    images.append(image)
                elif image is None:
                    raise ValueError("drawing before the first image")
                else:
                    draw(image, words[0], words[1:], glyphs)
            except (ValueError, IndexError) as e:
                sys.exit("%s:%d: %s" % (source, number, e))
    os.makedirs(folder, exist_ok=True)
    for image in images:
        image.write(os.path.join(folder, image.name))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: lm_art.py SOURCE OUTPUT_FOLDER")
    build(sys.argv[1], sys.argv[2])
