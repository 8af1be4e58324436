#!/usr/bin/env python3
"""Draws the launcher's pictures and writes them as BMP files and an icon.

Standard library only, so the pictures can be regenerated on any machine:
    python3 tools/bitmaps/make_bitmaps.py resources/

BMP layout written here (all integers little-endian):
    file header, 14 bytes: "BM", u32 file size, u32 0, u32 offset of pixels
    info header, 40 bytes: u32 40, i32 width, i32 height (positive: rows
        bottom-up), u16 planes 1, u16 bits (8, 24 or 32), u32 0 (BI_RGB),
        u32 pixel bytes, i32 2835, i32 2835 (72 dpi), u32 colours used, u32 0
    palette (8-bit only): 256 x (B, G, R, 0)
    pixels: rows bottom-up, each padded to a multiple of 4 bytes;
        24-bit B G R, 32-bit B G R A, 8-bit palette index.
ICO layout: u16 0, u16 1, u16 count; per image a 16-byte entry (u8 width,
    u8 height, u8 0, u8 0, u16 planes 1, u16 bits 32, u32 size, u32 offset);
    each image a 40-byte info header with the height doubled, 32-bit B G R A
    rows bottom-up, then the 1-bit AND mask rows padded to 4 bytes.

No pixel of any picture may have the window's see-through key colour
(R 236, G 233, B 216): such pixels are nudged by one step of blue.
"""
import math
import os
import struct
import sys

KEY = (236, 233, 216)


def clamp(v):
    return 0 if v < 0 else 255 if v > 255 else int(v)


def mix(a, b, t):
    return tuple(clamp(a[i] + (b[i] - a[i]) * t) for i in range(3))


class Picture:
    def __init__(self, w, h, colour=(0, 0, 0)):
        self.w, self.h = w, h
        self.px = [[colour] * w for _ in range(h)]

    def get(self, x, y):
        return self.px[y][x]

    def put(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c

    def blend(self, x, y, c, a):
        if 0 <= x < self.w and 0 <= y < self.h and a > 0:
            self.px[y][x] = mix(self.px[y][x], c, min(1.0, a))

    def rect(self, x0, y0, w, h, c, a=1.0):
        for y in range(max(0, y0), min(self.h, y0 + h)):
            for x in range(max(0, x0), min(self.w, x0 + w)):
                self.blend(x, y, c, a)

    def frame(self, x0, y0, w, h, c, a=1.0):
        for x in range(x0, x0 + w):
            self.blend(x, y0, c, a)
            self.blend(x, y0 + h - 1, c, a)
        for y in range(y0 + 1, y0 + h - 1):
            self.blend(x0, y, c, a)
            self.blend(x0 + w - 1, y, c, a)

    def disc(self, cx, cy, r, c, soft=1.0):
        for y in range(int(cy - r - 2), int(cy + r + 3)):
            for x in range(int(cx - r - 2), int(cx + r + 3)):
                d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
                self.blend(x, y, c, max(0.0, min(1.0, (r - d) / soft + 0.5)))

    def without_key_colour(self):
        for row in self.px:
            for i, c in enumerate(row):
                if c == KEY:
                    row[i] = (c[0], c[1], c[2] + 1)
        return self


def noise(x, seed):
    """Smooth 1-D value noise from a few sines: ridges and hills."""
    return (math.sin(x * 0.021 + seed) * 0.5 + math.sin(x * 0.057 + seed * 2.3) * 0.3 +
            math.sin(x * 0.131 + seed * 4.1) * 0.2)


def rng(seed):
    state = seed
    while True:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        yield state / 0x7FFFFFFF


# A 5 x 7 letter set, enough for the launcher's words.
GLYPHS = {
    'V': ["X...X", "X...X", "X...X", "X...X", ".X.X.", ".X.X.", "..X.."],
    'E': ["XXXXX", "X....", "X....", "XXXX.", "X....", "X....", "XXXXX"],
    'L': ["X....", "X....", "X....", "X....", "X....", "X....", "XXXXX"],
    'M': ["X...X", "XX.XX", "X.X.X", "X.X.X", "X...X", "X...X", "X...X"],
    'A': [".XXX.", "X...X", "X...X", "XXXXX", "X...X", "X...X", "X...X"],
    'R': ["XXXX.", "X...X", "X...X", "XXXX.", "X.X..", "X..X.", "X...X"],
    'C': [".XXX.", "X...X", "X....", "X....", "X....", "X...X", ".XXX."],
    'H': ["X...X", "X...X", "X...X", "XXXXX", "X...X", "X...X", "X...X"],
    'x': [".....", ".....", "X...X", ".X.X.", "..X..", ".X.X.", "X...X"],
}


def text_mask(text, scale):
    """Pixel mask of a word in the letter set, with rounded block corners."""
    w = len(text) * 6 * scale - scale
    h = 7 * scale
    mask = [[0.0] * w for _ in range(h)]
    for i, ch in enumerate(text):
        rows = GLYPHS[ch]
        for gy, row in enumerate(rows):
            for gx, bit in enumerate(row):
                if bit != 'X':
                    continue
                for y in range(scale):
                    for x in range(scale):
                        mask[gy * scale + y][(i * 6 + gx) * scale + x] = 1.0
    return mask, w, h


def draw_title(pic, text, top, scale):
    mask, w, h = text_mask(text, scale)
    left = (pic.w - w) // 2
    # Soft dark glow, then a hard outline, then the gold face with a bright top.
    for y in range(-3, h + 3):
        for x in range(-3, w + 3):
            near = 0.0
            for dy in (-3, -2, -1, 0, 1, 2, 3):
                for dx in (-3, -2, -1, 0, 1, 2, 3):
                    yy, xx = y + dy, x + dx
                    if 0 <= yy < h and 0 <= xx < w and mask[yy][xx]:
                        near = max(near, 1.0 - (abs(dx) + abs(dy)) / 6.0)
            if near > 0:
                pic.blend(left + x + 2, top + y + 3, (6, 4, 12), near * 0.8)
    for y in range(-1, h + 1):
        for x in range(-1, w + 1):
            edge = any(0 <= y + dy < h and 0 <= x + dx < w and mask[y + dy][x + dx]
                       for dy in (-1, 0, 1) for dx in (-1, 0, 1))
            if edge:
                pic.put(left + x, top + y, (40, 20, 8))
    for y in range(h):
        t = y / (h - 1)
        face = mix((255, 244, 170), (214, 140, 34), t) if t < 0.55 else mix((214, 140, 34), (150, 70, 20), (t - 0.55) / 0.45)
        for x in range(w):
            if mask[y][x]:
                c = face
                # a bevel: light on the upper-left edge of each block, dark below
                if y == 0 or not mask[y - 1][x]:
                    c = mix(c, (255, 255, 230), 0.6)
                elif y == h - 1 or not mask[y + 1][x]:
                    c = mix(c, (90, 40, 10), 0.5)
                pic.put(left + x, top + y, c)


def background():
    pic = Picture(400, 300)
    stops = [(0, (14, 12, 38)), (70, (46, 26, 78)), (120, (120, 52, 96)), (160, (222, 112, 64)), (185, (250, 180, 92))]
    for y in range(300):
        for (y0, c0), (y1, c1) in zip(stops, stops[1:]):
            if y0 <= y <= y1:
                c = mix(c0, c1, (y - y0) / (y1 - y0))
                break
        else:
            c = stops[-1][1]
        for x in range(400):
            pic.px[y][x] = c
    r = rng(7)
    for _ in range(140):
        x, y, b = int(next(r) * 400), int(next(r) * 110), next(r)
        pic.blend(x, y, (255, 250, 235), 0.35 + 0.6 * b * (1 - y / 130))
    # A low setting sun with its glow.
    for y in range(60, 200):
        for x in range(220, 400):
            d = math.hypot(x - 318, y - 150)
            pic.blend(x, y, (255, 200, 120), max(0.0, 0.55 - d / 140))
    pic.disc(318, 150, 20, (255, 226, 160), 1.5)
    # Far ridge, near hills, then the ground.
    layers = [(150, 18, 1.3, (88, 44, 92)), (170, 14, 4.0, (52, 28, 64)), (196, 10, 9.0, (24, 14, 34))]
    for base, amp, seed, colour in layers:
        for x in range(400):
            top = int(base - amp * (1 + noise(x, seed)))
            for y in range(top, 300):
                pic.blend(x, y, colour, 1.0 if y > top else 0.6)
    # The castle on its hill: walls, towers with pointed roofs, lit windows.
    dark = (16, 9, 24)
    hill = lambda x: 172 + ((x - 110) / 70.0) ** 2 * 14
    for x in range(30, 200):
        for y in range(int(hill(x)), 300):
            pic.put(x, y, dark)
    pic.rect(60, 132, 100, 42, dark)
    for x in range(60, 160, 8):
        pic.rect(x, 127, 5, 5, dark)
    towers = [(48, 108, 18, 66), (96, 94, 22, 80), (150, 114, 16, 60)]
    for tx, ty, tw, th in towers:
        pic.rect(tx, ty, tw, th, dark)
        for i in range(tw // 2 + 4):
            pic.rect(tx - 2 + i, ty - i * 2, tw + 4 - 2 * i, 2, dark)
        pic.rect(tx + tw // 2, ty - tw - 12, 1, 10, dark)
        pic.rect(tx + tw // 2 + 1, ty - tw - 12, 6, 4, (140, 30, 40))
    for wx, wy in [(53, 122), (59, 142), (103, 106), (103, 124), (110, 142), (155, 130), (75, 150), (130, 150)]:
        pic.rect(wx, wy, 3, 5, (255, 196, 90))
        pic.rect(wx - 1, wy - 1, 5, 7, (255, 170, 60), 0.25)
    # The game's name, "Vellmarch", in the capitals of the letter set.
    draw_title(pic, "VELLMARCH", 22, 6)
    # The dark panel behind the status line and the bars.
    pic.rect(16, 200, 368, 86, (8, 6, 16), 0.78)
    pic.frame(16, 200, 368, 86, (196, 150, 70), 0.9)
    pic.frame(17, 201, 366, 84, (60, 40, 20), 0.9)
    for y0 in (234, 259):
        pic.rect(27, y0, 342, 15, (4, 3, 8))
        pic.frame(26, y0 - 1, 344, 17, (110, 86, 46))
        for x in range(27, 369, 19):
            pic.rect(x, y0 + 1, 1, 13, (22, 18, 30))
    # A faint line above the panel, and a corner strip where the close button sits.
    pic.rect(362, 0, 38, 16, (8, 6, 16), 0.6)
    return pic.without_key_colour()


def gradient_bar(w, h, top, mid, bottom, shine):
    pic = Picture(w, h)
    for y in range(h):
        t = y / (h - 1)
        c = mix(top, mid, t * 2) if t < 0.5 else mix(mid, bottom, (t - 0.5) * 2)
        for x in range(w):
            s = 0.12 * math.sin(x / w * math.pi)
            pic.px[y][x] = mix(c, (255, 255, 255), s if y < h // 2 else 0)
        if y == 1:
            for x in range(w):
                pic.px[y][x] = mix(pic.px[y][x], shine, 0.5)
    return pic.without_key_colour()


def close_button(face, glyph, pressed):
    pic = Picture(36, 15, face)
    for y in range(15):
        for x in range(36):
            pic.px[y][x] = mix(face, (0, 0, 0), y / 30 if not pressed else (15 - y) / 30)
    pic.frame(0, 1, 36, 14, (200, 156, 80) if not pressed else (120, 90, 40))
    mask, w, h = text_mask("x", 1)
    ox, oy = 15 + (1 if pressed else 0), 3 + (1 if pressed else 0)
    for y in range(h):
        for x in range(w):
            if mask[y][x]:
                pic.put(ox + x, oy + y, glyph)
    return pic.without_key_colour()


def panel(w, h, base, border):
    pic = Picture(w, h)
    for y in range(h):
        for x in range(w):
            pic.px[y][x] = mix(base, (0, 0, 0), y / (h * 2.5))
    pic.frame(0, 0, w, h, border)
    pic.frame(1, 1, w - 2, h - 2, mix(border, (0, 0, 0), 0.6))
    return pic.without_key_colour()


def write_bmp(path, pic, bits):
    w, h = pic.w, pic.h
    palette = b""
    if bits == 8:
        colours = sorted({c for row in pic.px for c in row})
        if len(colours) > 256:
            raise SystemExit("%s: %d colours do not fit a palette" % (path, len(colours)))
        index = {c: i for i, c in enumerate(colours)}
        colours += [(0, 0, 0)] * (256 - len(colours))
        palette = b"".join(struct.pack("<BBBB", c[2], c[1], c[0], 0) for c in colours)
    stride = (w * bits // 8 + 3) & ~3
    rows = []
    for y in range(h - 1, -1, -1):
        if bits == 8:
            row = bytes(index[c] for c in pic.px[y])
        elif bits == 24:
            row = b"".join(struct.pack("<BBB", c[2], c[1], c[0]) for c in pic.px[y])
        else:
            row = b"".join(struct.pack("<BBBB", c[2], c[1], c[0], 255) for c in pic.px[y])
        rows.append(row + b"\0" * (stride - len(row)))
    pixels = b"".join(rows)
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIII", b"BM", offset + len(pixels), 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 0, len(pixels), 2835, 2835, 256 if bits == 8 else 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + palette + pixels)


def write_ico(path, pics):
    entries, images = [], []
    offset = 6 + 16 * len(pics)
    for pic, alpha in pics:
        w, h = pic.w, pic.h
        info = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, 0, 0, 0, 0, 0)
        xor = b"".join(struct.pack("<BBBB", pic.px[y][x][2], pic.px[y][x][1], pic.px[y][x][0], alpha[y][x])
                       for y in range(h - 1, -1, -1) for x in range(w))
        mask_stride = ((w + 31) // 32) * 4
        mask = b""
        for y in range(h - 1, -1, -1):
            bits = 0
            row = bytearray(mask_stride)
            for x in range(w):
                if alpha[y][x] == 0:
                    row[x // 8] |= 0x80 >> (x % 8)
            mask += bytes(row)
        data = info + xor + mask
        entries.append(struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(data), offset))
        images.append(data)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(pics)) + b"".join(entries) + b"".join(images))


def emblem(size):
    """The icon: a gold V on a dusk-coloured shield."""
    pic = Picture(size, size)
    alpha = [[0] * size for _ in range(size)]
    s = size / 32.0
    for y in range(size):
        for x in range(size):
            u, v = (x + 0.5) / s, (y + 0.5) / s
            half = 13 if v < 18 else 13 * math.sqrt(max(0.0, 1 - ((v - 18) / 13) ** 2))
            if 2 <= v <= 31 and abs(u - 16) <= half:
                inner = abs(u - 16) <= half - 1.6 and 3.6 <= v <= 29.5
                pic.px[y][x] = mix((60, 30, 90), (200, 90, 60), v / 32) if inner else (220, 170, 70)
                alpha[y][x] = 255
                # the letter: two strokes meeting at the bottom
                d = min(abs((u - 16) - (v - 25) * -0.45), abs((u - 16) - (v - 25) * 0.45))
                if inner and 7 <= v <= 25 and d < 1.9:
                    pic.px[y][x] = mix((255, 240, 160), (210, 140, 40), v / 26)
    return pic.without_key_colour(), alpha


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "resources"
    os.makedirs(out, exist_ok=True)
    purple = gradient_bar(342, 15, (214, 150, 255), (140, 60, 200), (70, 20, 110), (255, 230, 255))
    yellow = gradient_bar(342, 15, (255, 250, 170), (240, 196, 40), (170, 110, 10), (255, 255, 230))
    frame_strip = panel(365, 31, (30, 22, 44), (196, 150, 70))
    glow = gradient_bar(393, 15, (120, 200, 255), (40, 110, 200), (10, 40, 90), (230, 250, 255))
    pictures = {
        101: (background(), 24),
        102: (panel(84, 49, (70, 40, 100), (220, 170, 80)), 24),
        103: (frame_strip, 8),
        104: (yellow, 8),
        105: (glow, 32),
        106: (purple, 8),
        107: (purple, 8),
        108: (panel(84, 49, (100, 60, 140), (255, 210, 120)), 24),
        109: (panel(84, 49, (40, 24, 60), (160, 120, 60)), 24),
        110: (panel(84, 49, (50, 50, 60), (120, 120, 120)), 24),
        111: (close_button((120, 36, 52), (255, 236, 200), False), 24),
        112: (close_button((196, 58, 70), (255, 255, 255), False), 24),
        113: (close_button((84, 20, 32), (230, 200, 170), True), 24),
        114: (panel(115, 25, (70, 40, 100), (220, 170, 80)), 24),
        115: (panel(115, 25, (100, 60, 140), (255, 210, 120)), 24),
        116: (panel(54, 22, (70, 40, 100), (220, 170, 80)), 24),
        117: (panel(54, 22, (100, 60, 140), (255, 210, 120)), 24),
        118: (panel(50, 19, (60, 34, 90), (200, 150, 70)), 24),
        119: (panel(50, 19, (90, 54, 130), (250, 200, 110)), 24),
        120: (panel(50, 19, (40, 24, 60), (160, 120, 60)), 24),
        121: (panel(50, 19, (50, 50, 60), (120, 120, 120)), 24),
        122: (panel(56, 19, (60, 34, 90), (200, 150, 70)), 24),
        123: (emblem(32)[0], 24),
    }
    for ident, (pic, bits) in pictures.items():
        write_bmp(os.path.join(out, "%d.bmp" % ident), pic, bits)
    write_ico(os.path.join(out, "launcher.ico"), [emblem(32), emblem(16)])


if __name__ == "__main__":
    main()
