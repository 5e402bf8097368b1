#!/usr/bin/env python3
"""Draws the desktop program's artwork and startup chime.

Everything is computed here from simple shapes and a tiny pixel font, and
written as BMP, PNG and WAV bytes by hand, so that the repository needs no
drawing program and no third-party Python package. The generated files are
committed (the desktop icon at every hicolor size and as SVG among them); run
this again only after changing a drawing:

    python3 resources/generate_assets.py
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

# --------------------------------------------------------------------------
# A small RGB canvas with the few primitives the pictures need.


class Canvas:
    def __init__(self, width, height, colour=(255, 255, 255)):
        self.width = width
        self.height = height
        self.pixels = [list(colour) for _ in range(width * height)]

    def put(self, x, y, colour, alpha=1.0):
        if 0 <= x < self.width and 0 <= y < self.height:
            p = self.pixels[y * self.width + x]
            if alpha >= 1.0:
                p[0], p[1], p[2] = colour
            else:
                for i in range(3):
                    p[i] = int(p[i] * (1 - alpha) + colour[i] * alpha)

    def get(self, x, y):
        return tuple(self.pixels[y * self.width + x])

    def rect(self, x0, y0, x1, y1, colour):
        for y in range(max(0, y0), min(self.height, y1)):
            for x in range(max(0, x0), min(self.width, x1)):
                self.put(x, y, colour)

    def frame(self, x0, y0, x1, y1, colour, thickness=1):
        self.rect(x0, y0, x1, y0 + thickness, colour)
        self.rect(x0, y1 - thickness, x1, y1, colour)
        self.rect(x0, y0, x0 + thickness, y1, colour)
        self.rect(x1 - thickness, y0, x1, y1, colour)

    def vgradient(self, x0, y0, x1, y1, top, bottom):
        for y in range(y0, y1):
            t = (y - y0) / max(1, y1 - y0 - 1)
            c = tuple(int(top[i] + (bottom[i] - top[i]) * t) for i in range(3))
            self.rect(x0, y, x1, y + 1, c)

    def circle(self, cx, cy, r, colour, ring=None):
        for y in range(int(cy - r - 1), int(cy + r + 2)):
            for x in range(int(cx - r - 1), int(cx + r + 2)):
                d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
                if ring is None:
                    a = max(0.0, min(1.0, r - d + 0.5))
                else:
                    a = max(0.0, min(1.0, ring / 2 - abs(d - r) + 0.5))
                if a > 0:
                    self.put(x, y, colour, a)

    def polygon(self, points, colour):
        ys = [p[1] for p in points]
        for y in range(int(min(ys)), int(max(ys)) + 1):
            yc = y + 0.5
            xs = []
            for i in range(len(points)):
                (xa, ya), (xb, yb) = points[i], points[(i + 1) % len(points)]
                if (ya <= yc < yb) or (yb <= yc < ya):
                    xs.append(xa + (yc - ya) * (xb - xa) / (yb - ya))
            xs.sort()
            for i in range(0, len(xs) - 1, 2):
                for x in range(int(round(xs[i])), int(round(xs[i + 1]))):
                    self.put(x, y, colour)

    def line(self, x0, y0, x1, y1, colour, width=2):
        steps = int(max(abs(x1 - x0), abs(y1 - y0)) * 2) + 1
        for s in range(steps + 1):
            t = s / steps
            self.circle(x0 + (x1 - x0) * t, y0 + (y1 - y0) * t, width / 2, colour)

    def text(self, x, y, string, colour, scale=1, shadow=None):
        if shadow:
            self.text(x + max(1, scale // 2), y + max(1, scale // 2), string, shadow, scale)
        cx = x
        for ch in string:
            glyph = FONT.get(ch.upper(), FONT["?"])
            for row, bits in enumerate(glyph):
                for col in range(5):
                    if bits & (1 << (4 - col)):
                        self.rect(cx + col * scale, y + row * scale,
                                  cx + (col + 1) * scale, y + (row + 1) * scale, colour)
            cx += 6 * scale

    def crop(self, x0, y0, w, h):
        out = Canvas(w, h)
        for y in range(h):
            for x in range(w):
                out.pixels[y * w + x] = list(self.get(x0 + x, y0 + y))
        return out

    def paste(self, other, x0, y0):
        for y in range(other.height):
            for x in range(other.width):
                self.put(x0 + x, y0 + y, other.get(x, y))


def text_width(string, scale=1):
    return len(string) * 6 * scale - scale


# A 5x7 pixel font for capitals, digits and a little punctuation.
FONT = {
    "A": [14, 17, 17, 31, 17, 17, 17], "B": [30, 17, 17, 30, 17, 17, 30],
    "C": [14, 17, 16, 16, 16, 17, 14], "D": [30, 17, 17, 17, 17, 17, 30],
    "E": [31, 16, 16, 30, 16, 16, 31], "F": [31, 16, 16, 30, 16, 16, 16],
    "G": [14, 17, 16, 23, 17, 17, 15], "H": [17, 17, 17, 31, 17, 17, 17],
    "I": [14, 4, 4, 4, 4, 4, 14], "J": [7, 2, 2, 2, 2, 18, 12],
    "K": [17, 18, 20, 24, 20, 18, 17], "L": [16, 16, 16, 16, 16, 16, 31],
    "M": [17, 27, 21, 21, 17, 17, 17], "N": [17, 17, 25, 21, 19, 17, 17],
    "O": [14, 17, 17, 17, 17, 17, 14], "P": [30, 17, 17, 30, 16, 16, 16],
    "Q": [14, 17, 17, 17, 21, 18, 13], "R": [30, 17, 17, 30, 20, 18, 17],
    "S": [15, 16, 16, 14, 1, 1, 30], "T": [31, 4, 4, 4, 4, 4, 4],
    "U": [17, 17, 17, 17, 17, 17, 14], "V": [17, 17, 17, 17, 17, 10, 4],
    "W": [17, 17, 17, 21, 21, 21, 10], "X": [17, 17, 10, 4, 10, 17, 17],
    "Y": [17, 17, 10, 4, 4, 4, 4], "Z": [31, 1, 2, 4, 8, 16, 31],
    "0": [14, 17, 19, 21, 25, 17, 14], "1": [4, 12, 4, 4, 4, 4, 14],
    "2": [14, 17, 1, 2, 4, 8, 31], "3": [30, 1, 1, 14, 1, 1, 30],
    "4": [2, 6, 10, 18, 31, 2, 2], "5": [31, 16, 30, 1, 1, 17, 14],
    "6": [6, 8, 16, 30, 17, 17, 14], "7": [31, 1, 2, 4, 8, 8, 8],
    "8": [14, 17, 17, 14, 17, 17, 14], "9": [14, 17, 17, 15, 1, 2, 12],
    " ": [0] * 7, ".": [0, 0, 0, 0, 0, 12, 12], "-": [0, 0, 0, 31, 0, 0, 0],
    "?": [14, 17, 1, 2, 4, 0, 4], "!": [4, 4, 4, 4, 4, 0, 4],
    "/": [1, 1, 2, 4, 8, 16, 16], ":": [0, 12, 12, 0, 12, 12, 0],
}

# --------------------------------------------------------------------------
# File writers.

def median_cut(colours, count=256):
    """A palette of at most `count` colours for the picture's own colours:
    boxes of colours are split at the median of their widest channel."""
    boxes = [sorted(set(colours))]
    while len(boxes) < count:
        boxes.sort(key=lambda b: max(max(c[i] for c in b) - min(c[i] for c in b) for i in range(3)) if len(b) > 1 else -1)
        box = boxes.pop()
        if len(box) < 2:
            boxes.append(box)
            break
        channel = max(range(3), key=lambda i: max(c[i] for c in box) - min(c[i] for c in box))
        box.sort(key=lambda c: c[channel])
        middle = len(box) // 2
        boxes += [box[:middle], box[middle:]]
    palette = []
    for box in boxes:
        palette.append(tuple(sum(c[i] for c in box) // len(box) for i in range(3)))
    return palette + [(0, 0, 0)] * (count - len(palette))


def nearest(palette, colour, cache):
    if colour not in cache:
        cache[colour] = min(range(len(palette)),
                            key=lambda i: sum((palette[i][k] - colour[k]) ** 2 for k in range(3)))
    return cache[colour]


def write_bmp(path, canvas, bits=8):
    """A bottom-up BMP with a 40-byte information header."""
    w, h = canvas.width, canvas.height
    if bits == 8:
        stride = (w + 3) & ~3
        palette = median_cut([canvas.get(x, y) for y in range(h) for x in range(w)])
        cache = {}
        table = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
        rows = []
        for y in range(h - 1, -1, -1):
            row = bytes(nearest(palette, canvas.get(x, y), cache) for x in range(w))
            rows.append(row + b"\0" * (stride - w))
        colours = 256
    else:
        stride = (w * 3 + 3) & ~3
        table = b""
        rows = []
        for y in range(h - 1, -1, -1):
            row = b"".join(struct.pack("<BBB", *reversed(canvas.get(x, y))) for x in range(w))
            rows.append(row + b"\0" * (stride - w * 3))
        colours = 0
    bits_data = b"".join(rows)
    header = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 0, len(bits_data), 2835, 2835, colours, 0)
    offset = 14 + len(header) + len(table)
    file_header = struct.pack("<2sIHHI", b"BM", offset + len(bits_data), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(file_header + header + table + bits_data)


def write_png(path, canvas):
    raw = b"".join(b"\0" + bytes(v for x in range(canvas.width) for v in canvas.get(x, y))
                   for y in range(canvas.height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", canvas.width, canvas.height, 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9))
                + chunk(b"IEND", b""))


def write_wav(path, samples, rate):
    data = b"".join(struct.pack("<h", s) for s in samples)
    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate * 2, 2, 16)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


# --------------------------------------------------------------------------
# The drawings.

NAVY = (20, 30, 90)
BLUE = (0, 0, 255)
SKY = (120, 170, 240)
GOLD = (250, 200, 40)
MAGENTA = (200, 0, 160)
TEAL = (0, 140, 140)
WHITE = (255, 255, 255)
RED = (220, 40, 40)
GREEN = (40, 170, 70)
GREY = (150, 150, 150)
DARK = (40, 40, 40)


def delta_mark(c, cx, cy, size, colour, outline=None):
    """The program's sign: a Greek capital delta with a small arrow in it."""
    top = (cx, cy - size)
    left = (cx - size * 1.1, cy + size * 0.8)
    right = (cx + size * 1.1, cy + size * 0.8)
    if outline:
        grow = size * 0.12
        c.polygon([(cx, cy - size - grow * 2), (cx - size * 1.1 - grow * 2, cy + size * 0.8 + grow),
                   (cx + size * 1.1 + grow * 2, cy + size * 0.8 + grow)], outline)
    c.polygon([top, left, right], colour)
    inner = size * 0.45
    c.polygon([(cx, cy - inner * 0.6), (cx - inner, cy + inner), (cx + inner, cy + inner)], WHITE)


def document(c, x, y, w, h, colour=WHITE, lines=4):
    fold = w // 4
    c.polygon([(x, y), (x + w - fold, y), (x + w, y + fold), (x + w, y + h), (x, y + h)], DARK)
    c.polygon([(x + 1, y + 1), (x + w - fold, y + 1), (x + w - 1, y + fold), (x + w - 1, y + h - 1),
               (x + 1, y + h - 1)], colour)
    for i in range(lines):
        ly = y + 8 + i * (h - 12) // max(1, lines)
        c.rect(x + 5, ly, x + w - 6, ly + 2, GREY)


def toolbar_strip():
    c = Canvas(562, 63, (192, 192, 192))
    labels = ["CREATE", "RESTORE", "WIZARD", "HELP", "FRIEND", "IDEAS", "ABOUT", "EXIT"]
    for i, label in enumerate(labels):
        x0 = 70 * i
        cell = Canvas(70, 63, (192, 192, 192))
        if i == 0:  # Create: two documents and a delta between them
            document(cell, 6, 6, 22, 30)
            document(cell, 42, 6, 22, 30)
            delta_mark(cell, 35, 28, 9, BLUE)
        elif i == 1:  # Restore: a delta turning back into a document
            delta_mark(cell, 18, 24, 10, BLUE)
            cell.line(30, 20, 42, 20, GREEN, 3)
            cell.polygon([(42, 14), (50, 20), (42, 26)], GREEN)
            document(cell, 48, 6, 18, 28, lines=3)
        elif i == 2:  # Wizard: a wand with a star
            cell.line(14, 40, 44, 12, DARK, 4)
            for k in range(5):
                a = -math.pi / 2 + k * 2 * math.pi / 5
                cell.line(48, 12, 48 + 10 * math.cos(a), 12 + 10 * math.sin(a), GOLD, 3)
            cell.circle(48, 12, 4, GOLD)
        elif i == 3:  # Help: a question mark in a blue disc
            cell.circle(35, 22, 17, BLUE)
            cell.text(28, 12, "?", WHITE, 3)
        elif i == 4:  # Tell a friend: an envelope
            cell.rect(10, 10, 60, 38, WHITE)
            cell.frame(10, 10, 60, 38, DARK)
            cell.line(11, 11, 35, 27, DARK, 2)
            cell.line(59, 11, 35, 27, DARK, 2)
        elif i == 5:  # Opportunities: a light bulb
            cell.circle(35, 20, 13, GOLD)
            cell.rect(29, 32, 41, 40, GREY)
            cell.line(35, 14, 35, 26, WHITE, 2)
        elif i == 6:  # About: an "i" in a teal disc
            cell.circle(35, 22, 17, TEAL)
            cell.text(32, 12, "I", WHITE, 3)
        else:  # Exit: a door with an arrow
            cell.rect(18, 6, 44, 42, (150, 90, 40))
            cell.circle(39, 25, 2, GOLD)
            cell.line(40, 24, 60, 24, RED, 3)
            cell.polygon([(58, 17), (66, 24), (58, 31)], RED)
        scale = 1
        cell.text((70 - text_width(label, scale)) // 2, 50, label, NAVY, scale)
        c.paste(cell, x0, 0)
    return c


def background():
    w, h = 640, 400
    c = Canvas(w, h)
    c.vgradient(0, 0, w, h, (30, 60, 150), (150, 200, 250))
    # Two "files" with a band of changed bytes, joined by the delta.
    for (x, shade) in ((90, (230, 230, 230)), (440, (250, 250, 220))):
        c.rect(x, 100, x + 110, 250, shade)
        c.frame(x, 100, x + 110, 250, NAVY, 2)
        for row in range(8):
            for col in range(6):
                changed = x > 100 and row in (3, 4) and col > 1
                c.rect(x + 8 + col * 16, 110 + row * 17, x + 20 + col * 16, 120 + row * 17,
                       RED if changed else (90, 110, 170))
    c.line(210, 175, 420, 175, GOLD, 5)
    c.polygon([(415, 160), (435, 175), (415, 190)], GOLD)
    delta_mark(c, w // 2, 170, 44, (250, 250, 255), NAVY)
    c.text((w - text_width("QUORALITH", 6)) // 2, 285, "QUORALITH", WHITE, 6, shadow=NAVY)
    c.text((w - text_width("SEND ONLY WHAT CHANGED", 2)) // 2, 350, "SEND ONLY WHAT CHANGED", GOLD, 2,
           shadow=NAVY)
    return c


def about_picture():
    c = Canvas(310, 141)
    c.vgradient(0, 0, 310, 141, (250, 240, 255), (200, 180, 240))
    delta_mark(c, 60, 72, 38, MAGENTA, NAVY)
    c.text(115, 40, "QUORALITH", NAVY, 3)
    c.text(115, 75, "VERSION 1.1", MAGENTA, 2)
    c.text(115, 100, "BINARY DELTAS", TEAL, 2)
    return c


def wizard_picture(motif):
    """The wizard's side pictures; each shows one idea, not a step number,
    because the two kinds of job show some of them at different steps."""
    c = Canvas(200, 298)
    shade = {"start": 0, "kind": 40, "base": 80, "delta": 120, "updated": 160}[motif]
    c.vgradient(0, 0, 200, 298, (255, shade, 128), (30, 20, 80))
    c.text(16, 16, "QUORALITH", WHITE, 3, shadow=NAVY)
    if motif == "start":
        delta_mark(c, 100, 160, 50, WHITE, NAVY)
        c.text(70, 232, "START", WHITE, 2)
    elif motif == "kind":  # one file or a whole folder of them
        document(c, 30, 110, 56, 76, lines=4)
        c.polygon([(106, 104), (136, 104), (144, 114), (176, 114), (176, 190), (106, 190)], GOLD)
        c.rect(112, 124, 170, 184, (255, 225, 120))
        c.text(76, 232, "KIND", WHITE, 2)
    elif motif == "base":
        document(c, 55, 100, 90, 120, lines=6)
        c.text(76, 232, "BASE", WHITE, 2)
    elif motif == "updated":
        document(c, 55, 100, 90, 120, (255, 255, 210), lines=6)
        c.rect(65, 150, 135, 160, RED)
        c.text(58, 232, "UPDATED", WHITE, 2)
    elif motif == "delta":
        delta_mark(c, 100, 165, 45, GOLD, NAVY)
        c.text(70, 232, "DELTA", WHITE, 2)
    return c


def rocket(pressed):
    c = Canvas(70, 70, (170, 170, 170) if pressed else (192, 192, 192))
    c.frame(0, 0, 70, 70, (90, 90, 90) if pressed else WHITE, 2)
    off = 2 if pressed else 0
    body = [(35 + off, 8 + off), (45 + off, 24 + off), (45 + off, 48 + off), (25 + off, 48 + off),
            (25 + off, 24 + off)]
    c.polygon([(25 + off, 36 + off), (15 + off, 52 + off), (25 + off, 48 + off)], RED)
    c.polygon([(45 + off, 36 + off), (55 + off, 52 + off), (45 + off, 48 + off)], RED)
    c.polygon(body, WHITE)
    c.circle(35 + off, 28 + off, 5, BLUE)
    c.polygon([(28 + off, 48 + off), (35 + off, 64 + off), (42 + off, 48 + off)], GOLD)
    return c


def video(enabled):
    c = Canvas(60, 59, (192, 192, 192))
    body = DARK if enabled else GREY
    c.rect(8, 18, 40, 42, body)
    c.polygon([(40, 26), (54, 18), (54, 42), (40, 34)], body)
    c.circle(16, 12, 6, body)
    c.circle(30, 12, 6, body)
    c.circle(16, 30, 4, RED if enabled else (200, 200, 200))
    return c


def player():
    c = Canvas(60, 59, (192, 192, 192))
    c.circle(30, 29, 24, GREEN)
    c.polygon([(22, 15), (44, 29), (22, 43)], WHITE)
    return c


def icon(size):
    c = Canvas(size, size)
    c.vgradient(0, 0, size, size, (60, 90, 200), (20, 30, 90))
    delta_mark(c, size / 2, size * 0.52, size * 0.36, GOLD, WHITE)
    return c


def icon_smooth(size, factor=4):
    """The icon drawn `factor` times larger and averaged down, so that the
    triangle's edges are smooth at every size a desktop asks for."""
    big = icon(size * factor)
    c = Canvas(size, size)
    area = factor * factor
    for y in range(size):
        for x in range(size):
            total = [0, 0, 0]
            for dy in range(factor):
                row = (y * factor + dy) * big.width + x * factor
                for dx in range(factor):
                    p = big.pixels[row + dx]
                    total[0] += p[0]
                    total[1] += p[1]
                    total[2] += p[2]
            c.pixels[y * size + x] = [v // area for v in total]
    return c


def icon_svg(size=64):
    """The same drawing as icon(), as a scalable picture."""
    cx, cy, r = size / 2, size * 0.52, size * 0.36
    grow = r * 0.12
    inner = r * 0.45

    def points(pts):
        return " ".join("%.2f,%.2f" % p for p in pts)

    def colour(c):
        return "#%02x%02x%02x" % c

    outline = [(cx, cy - r - grow * 2), (cx - r * 1.1 - grow * 2, cy + r * 0.8 + grow),
               (cx + r * 1.1 + grow * 2, cy + r * 0.8 + grow)]
    mark = [(cx, cy - r), (cx - r * 1.1, cy + r * 0.8), (cx + r * 1.1, cy + r * 0.8)]
    hole = [(cx, cy - inner * 0.6), (cx - inner, cy + inner), (cx + inner, cy + inner)]
    return "\n".join([
        '<?xml version="1.0" encoding="UTF-8"?>',
        '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d">' % ((size,) * 4),
        '  <defs>',
        '    <linearGradient id="sky" x1="0" y1="0" x2="0" y2="1">',
        '      <stop offset="0" stop-color="%s"/>' % colour((60, 90, 200)),
        '      <stop offset="1" stop-color="%s"/>' % colour((20, 30, 90)),
        '    </linearGradient>',
        '  </defs>',
        '  <rect width="%d" height="%d" fill="url(#sky)"/>' % (size, size),
        '  <polygon points="%s" fill="%s"/>' % (points(outline), colour(WHITE)),
        '  <polygon points="%s" fill="%s"/>' % (points(mark), colour(GOLD)),
        '  <polygon points="%s" fill="%s"/>' % (points(hole), colour(WHITE)),
        '</svg>',
        '',
    ])


# The sizes the hicolor icon theme is asked for by desktops and software centres.
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def write_icons(icons):
    for size in ICON_SIZES:
        folder = os.path.join(icons, "hicolor", "%dx%d" % (size, size))
        os.makedirs(folder, exist_ok=True)
        write_png(os.path.join(folder, "quoralith.png"), icon_smooth(size))
    folder = os.path.join(icons, "hicolor", "scalable")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "quoralith.svg"), "w") as f:
        f.write(icon_svg())


def chime(rate=22050):
    """A rising three-note chime, about one second of 16-bit mono PCM."""
    notes = [(0.00, 659.25), (0.18, 830.61), (0.36, 987.77)]
    length = int(rate * 1.1)
    out = []
    for n in range(length):
        t = n / rate
        v = 0.0
        for start, freq in notes:
            if t >= start:
                u = t - start
                v += math.sin(2 * math.pi * freq * u) * math.exp(-u * 5.0) * 0.3
                v += math.sin(4 * math.pi * freq * u) * math.exp(-u * 9.0) * 0.08
        fade = min(1.0, (length - n) / (rate * 0.05))
        out.append(int(max(-1.0, min(1.0, v * fade)) * 32000))
    return out


def main():
    bitmaps = os.path.join(HERE, "bitmaps")
    data = os.path.join(HERE, "data")
    icons = os.path.join(HERE, "icons")
    for d in (bitmaps, data, icons):
        os.makedirs(d, exist_ok=True)
    write_bmp(os.path.join(bitmaps, "toolbar.bmp"), toolbar_strip())
    write_bmp(os.path.join(bitmaps, "about.bmp"), about_picture())
    for motif in ("start", "kind", "base", "delta", "updated"):
        write_bmp(os.path.join(bitmaps, "wizard_%s.bmp" % motif), wizard_picture(motif))
    write_bmp(os.path.join(bitmaps, "ROCKET64U.bmp"), rocket(False))
    write_bmp(os.path.join(bitmaps, "ROCKET64D.bmp"), rocket(True))
    write_bmp(os.path.join(bitmaps, "VIDEOU.bmp"), video(True))
    write_bmp(os.path.join(bitmaps, "VIDEOX.bmp"), video(False))
    write_bmp(os.path.join(bitmaps, "PLAYERU.bmp"), player())
    # The default background: the 8-bit picture first, a 24-bit fallback.
    write_bmp(os.path.join(data, "QRALITH.bmp"), background(), 8)
    write_bmp(os.path.join(data, "QRALITH0.bmp"), background(), 24)
    write_wav(os.path.join(data, "QRALITH.wav"), chime(), 22050)
    write_png(os.path.join(icons, "quoralith.png"), icon(64))
    write_icons(icons)


if __name__ == "__main__":
    main()
