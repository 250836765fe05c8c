#!/usr/bin/env python3
"""Draws the program's pictures and icons as PNG files (standard library only).

The status pictures are pixel art on a 27 x 27 grid so they stay crisp at their
native size; the icons are drawn with 4 x 4 supersampling for smooth curves.
The Kiosko logo is lettering and is set with ImageMagick (see make_logo.sh).

The program icon is also written in the hicolor sizes to packaging/icons/ (the
scalable packaging/icons/hicolor/scalable/apps/de.ravelko.brieflotse.svg is
drawn by hand after the same shapes).

Run from the repository root:  python3 resources/tools/draw_pictures.py
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# The classic 16-colour palette.
BLACK = (0, 0, 0, 255)
WHITE = (255, 255, 255, 255)
SILVER = (192, 192, 192, 255)
GREY = (128, 128, 128, 255)
NAVY = (0, 0, 128, 255)
BLUE = (0, 0, 255, 255)
GREEN = (0, 128, 0, 255)
LIME = (0, 255, 0, 255)
YELLOW = (255, 255, 0, 255)
OLIVE = (128, 128, 0, 255)
MAROON = (128, 0, 0, 255)
TEAL = (0, 128, 128, 255)
CLEAR = (0, 0, 0, 0)


def write_png(path, width, height, pixels):
    """pixels: list of rows, each a list of RGBA tuples."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(png)


# ---------------------------------------------------------------- pixel art

class Grid:
    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [[CLEAR] * w for _ in range(h)]

    def put(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c

    def fill(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, c)

    def frame(self, x0, y0, x1, y1, c):
        for x in range(x0, x1 + 1):
            self.put(x, y0, c)
            self.put(x, y1, c)
        for y in range(y0, y1 + 1):
            self.put(x0, y, c)
            self.put(x1, y, c)

    def line(self, x0, y0, x1, y1, c):
        dx, dy = abs(x1 - x0), -abs(y1 - y0)
        sx, sy = (1 if x0 < x1 else -1), (1 if y0 < y1 else -1)
        err = dx + dy
        while True:
            self.put(x0, y0, c)
            if x0 == x1 and y0 == y1:
                return
            e2 = 2 * err
            if e2 >= dy:
                err += dy
                x0 += sx
            if e2 <= dx:
                err += dx
                y0 += sy


def status_picture(style):
    """style: 'offline' (greyed), 'idle' (black and white) or 'busy' (colour)."""
    g = Grid(27, 27)
    if style == "offline":
        ink, body, face, slot, lamp, arrow, paper = GREY, SILVER, SILVER, GREY, GREY, GREY, SILVER
        # Embossed look of disabled pictures: a white shadow one pixel down-right.
        shadow = WHITE
    elif style == "idle":
        ink, body, face, slot, lamp, arrow, paper = BLACK, WHITE, WHITE, BLACK, BLACK, BLACK, WHITE
        shadow = None
    else:
        ink, body, face, slot, lamp, arrow, paper = BLACK, SILVER, WHITE, GREY, LIME, BLUE, YELLOW
        shadow = None

    def draw(dx, dy, override):
        def c(col):
            return override if override else col

        # Server tower: x 1..9, y 2..24, with a plinth.
        g.fill(2 + dx, 3 + dy, 8 + dx, 23 + dy, c(body))
        g.frame(1 + dx, 2 + dy, 9 + dx, 24 + dy, c(ink))
        # Two drive bays with their slots.
        for top in (4, 9):
            g.frame(3 + dx, top + dy, 7 + dx, top + 3 + dy, c(ink))
            g.fill(4 + dx, top + 1 + dy, 6 + dx, top + 2 + dy, c(face))
            g.fill(4 + dx, top + 2 + dy, 6 + dx, top + 2 + dy, c(slot))
        # Vent lines.
        for y in (15, 17, 19):
            g.fill(3 + dx, y + dy, 7 + dx, y + dy, c(slot))
        # Power lamp.
        g.fill(3 + dx, 21 + dy, 4 + dx, 22 + dy, c(lamp))
        g.fill(0 + dx, 25 + dy, 10 + dx, 25 + dy, c(ink))

        # Arrow from the top of the tower down to the envelope, 45 degrees,
        # with its tip at (21, 14).
        for y in range(2, 15):
            for x in range(11, 22):
                shaft = abs((x - y) - 8) <= 1 and 15 <= x + y <= 28
                head = y <= 14 and x <= 21 and x + y >= 29
                if shaft or head:
                    g.put(x + dx, y + dy, c(arrow))

        # Envelope: x 13..26, y 16..25.
        g.fill(14 + dx, 17 + dy, 25 + dx, 24 + dy, c(paper))
        g.frame(13 + dx, 16 + dy, 26 + dx, 25 + dy, c(ink))
        g.line(14 + dx, 17 + dy, 19 + dx, 22 + dy, c(ink))
        g.line(25 + dx, 17 + dy, 20 + dx, 22 + dy, c(ink))

    if shadow:
        draw(1, 1, shadow)
    draw(0, 0, None)
    return g


# -------------------------------------------------------- supersampled icons

class Canvas:
    """Shapes in pixel coordinates of the final picture, 4 x 4 samples per pixel."""
    SS = 4

    def __init__(self, w, h):
        self.w, self.h = w, h
        n = self.SS
        self.sub = [[CLEAR] * (w * n) for _ in range(h * n)]

    def shape(self, inside, color, box=None):
        n = self.SS
        x0, y0, x1, y1 = box if box else (0, 0, self.w, self.h)
        for sy in range(max(0, int(y0 * n)), min(self.h * n, int(math.ceil(y1 * n)))):
            y = (sy + 0.5) / n
            row = self.sub[sy]
            for sx in range(max(0, int(x0 * n)), min(self.w * n, int(math.ceil(x1 * n)))):
                x = (sx + 0.5) / n
                if inside(x, y):
                    row[sx] = color

    def rect(self, x0, y0, x1, y1, color):
        self.shape(lambda x, y: x0 <= x < x1 and y0 <= y < y1, color, (x0, y0, x1, y1))

    def disc(self, cx, cy, r, color):
        self.shape(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r, color,
                   (cx - r - 1, cy - r - 1, cx + r + 1, cy + r + 1))

    def ring(self, cx, cy, r, width, color, clip=None):
        def inside(x, y):
            d = math.hypot(x - cx, y - cy)
            return abs(d - r) <= width / 2 and (clip is None or clip(x, y))
        self.shape(inside, color, (cx - r - width, cy - r - width, cx + r + width, cy + r + width))

    def ellipse_ring(self, cx, cy, rx, ry, width, color, clip=None):
        def inside(x, y):
            # Distance to the ellipse, approximated by scaling to a circle.
            if rx <= 0:
                return abs(x - cx) <= width / 2 and (clip is None or clip(x, y))
            u, v = (x - cx) / rx, (y - cy) / ry
            d = math.hypot(u, v)
            grad = math.hypot(u / rx, v / ry) or 1e-9
            return abs(d - 1) / grad <= width / 2 and (clip is None or clip(x, y))
        self.shape(inside, color, (cx - rx - width, cy - ry - width, cx + rx + width, cy + ry + width))

    def segment(self, ax, ay, bx, by, width, color):
        def inside(x, y):
            vx, vy = bx - ax, by - ay
            t = max(0.0, min(1.0, ((x - ax) * vx + (y - ay) * vy) / (vx * vx + vy * vy)))
            return math.hypot(x - ax - t * vx, y - ay - t * vy) <= width / 2
        self.shape(inside, color, (min(ax, bx) - width, min(ay, by) - width,
                                   max(ax, bx) + width, max(ay, by) + width))

    def polygon(self, pts, color):
        def inside(x, y):
            hit = False
            j = len(pts) - 1
            for i in range(len(pts)):
                xi, yi = pts[i]
                xj, yj = pts[j]
                if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                    hit = not hit
                j = i
            return hit
        xs, ys = [p[0] for p in pts], [p[1] for p in pts]
        self.shape(inside, color, (min(xs), min(ys), max(xs), max(ys)))

    def pixels(self):
        n = self.SS
        out = []
        for y in range(self.h):
            row = []
            for x in range(self.w):
                r = g = b = a = 0
                for sy in range(y * n, y * n + n):
                    for sx in range(x * n, x * n + n):
                        cr, cg, cb, ca = self.sub[sy][sx]
                        r += cr * ca
                        g += cg * ca
                        b += cb * ca
                        a += ca
                if a:
                    row.append((round(r / a), round(g / a), round(b / a), round(a / (n * n))))
                else:
                    row.append(CLEAR)
            out.append(row)
        return out


def main_icon(size):
    """An envelope steered by a ship's wheel: the letter pilot."""
    s = size / 32.0
    c = Canvas(size, size)
    # Envelope.
    c.rect(1 * s, 6 * s, 25 * s, 23 * s, BLACK)
    c.rect(2 * s, 7 * s, 24 * s, 22 * s, YELLOW)
    c.segment(2.5 * s, 7.5 * s, 13 * s, 15.5 * s, 1.2 * s, BLACK)
    c.segment(23.5 * s, 7.5 * s, 13 * s, 15.5 * s, 1.2 * s, BLACK)
    # Ship's wheel, lower right: rim, eight spokes with handles, hub.
    cx, cy, r = 22 * s, 21.5 * s, 6.5 * s
    wood = (176, 96, 40, 255)
    for k in range(6):
        ang = k * math.pi / 3
        ex, ey = cx + math.cos(ang) * (r + 2.4 * s), cy + math.sin(ang) * (r + 2.4 * s)
        c.segment(cx, cy, ex, ey, 2.2 * s, BLACK)
    for k in range(6):
        ang = k * math.pi / 3
        ex, ey = cx + math.cos(ang) * (r + 1.9 * s), cy + math.sin(ang) * (r + 1.9 * s)
        c.segment(cx, cy, ex, ey, 1.0 * s, wood)
    c.ring(cx, cy, r - 0.3 * s, 3.0 * s, BLACK)
    c.ring(cx, cy, r - 0.3 * s, 1.4 * s, wood)
    c.disc(cx, cy, 2.3 * s, BLACK)
    c.disc(cx, cy, 1.3 * s, wood)
    return c.pixels()


def dns_icon(size):
    """A globe with a magnifying glass: finding servers in the name system."""
    s = size / 32.0
    c = Canvas(size, size)
    cx, cy, r = 13 * s, 13 * s, 11.5 * s
    c.disc(cx, cy, r + 0.7 * s, NAVY)
    c.disc(cx, cy, r - 0.3 * s, (40, 110, 220, 255))
    inside_globe = (lambda x, y: math.hypot(x - cx, y - cy) <= r - 0.3 * s)
    line = (170, 220, 255, 255)
    # Meridians and parallels.
    for rx in (0.0, r * 0.45, r * 0.85):
        c.ellipse_ring(cx, cy, rx, r, 0.9 * s, line, inside_globe)
    for dy in (-0.55, 0.0, 0.55):
        y = cy + dy * r
        half = math.sqrt(max(0.0, r * r - (dy * r) ** 2))
        c.rect(cx - half, y - 0.45 * s, cx + half, y + 0.45 * s, line)
    # Magnifying glass over the lower right.
    gx, gy, gr = 22 * s, 22 * s, 5.2 * s
    c.segment(gx + 3.5 * s, gy + 3.5 * s, 30.5 * s, 30.5 * s, 3.4 * s, BLACK)
    c.segment(gx + 3.5 * s, gy + 3.5 * s, 30 * s, 30 * s, 1.8 * s, MAROON)
    c.disc(gx, gy, gr, (230, 245, 255, 255))
    c.ring(gx, gy, gr, 2.0 * s, BLACK)
    c.ring(gx, gy, gr, 0.9 * s, SILVER)
    return c.pixels()


def main():
    for style, name in (("offline", "status_offline"), ("idle", "status_online_off"),
                        ("busy", "status_online_on")):
        g = status_picture(style)
        write_png(os.path.join(ROOT, "pictures", name + ".png"), g.w, g.h, g.px)
    write_png(os.path.join(ROOT, "icons", "mainicon.png"), 32, 32, main_icon(32))
    write_png(os.path.join(ROOT, "icons", "mainicon64.png"), 64, 64, main_icon(64))
    write_png(os.path.join(ROOT, "icons", "pic_dns.png"), 32, 32, dns_icon(32))
    # The program icon in the hicolor theme's sizes, installed with the program.
    apps = os.path.join(os.path.dirname(ROOT), "packaging", "icons", "hicolor")
    for size in (16, 32, 48, 64, 128, 256):
        write_png(os.path.join(apps, "%dx%d" % (size, size), "apps", "de.ravelko.brieflotse.png"),
                  size, size, main_icon(size))


if __name__ == "__main__":
    main()
