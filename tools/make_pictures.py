#!/usr/bin/env python3
"""Draws Kestrova's pictures from shapes and writes them in their file formats.

Outputs (into assets/ of the source tree, or the folder given with --out):
  kestrova.ico          window and program icon: 48, 32 and 16 px, 8 bits per pixel, 1-bit mask
  icon-48.png ...16.png the same three images as RGBA PNG files for the Qt window
  repair.bmp            130 x 44, 24 bits per pixel: the folder on a pure white ground
  banner.bmp            94 x 24, 24 bits per pixel: the web-site logo
  hand.cur              32 x 32, 1 bit per pixel with mask, hot spot (7, 0)
  hand.png              the same cursor as an RGBA PNG file

Only the standard library is used; every byte format is written here. The output is
deterministic: the same bytes on every run.
"""

import argparse
import math
import os
import struct
import zlib

WHITE = (255, 255, 255)
PURE_BLUE = (0, 0, 255)

# ---------------------------------------------------------------------------
# Geometry


def segment_distance(px, py, ax, ay, bx, by):
    """Distance from point p to the segment a-b."""
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
    cx, cy = ax + t * dx, ay + t * dy
    return math.hypot(px - cx, py - cy)


def inside_polygon(px, py, points):
    """Even-odd rule."""
    inside = False
    n = len(points)
    for i in range(n):
        x1, y1 = points[i]
        x2, y2 = points[(i + 1) % n]
        if (y1 > py) != (y2 > py):
            x_cross = x1 + (py - y1) * (x2 - x1) / (y2 - y1)
            if px < x_cross:
                inside = not inside
    return inside


def polyline_distance(px, py, points, closed):
    n = len(points)
    count = n if closed else n - 1
    return min(
        segment_distance(px, py, *points[i], *points[(i + 1) % n]) for i in range(count)
    )


def inside_round_rect(px, py, x0, y0, x1, y1, radius):
    if px < x0 or px > x1 or py < y0 or py > y1:
        return False
    cx = min(max(px, x0 + radius), x1 - radius)
    cy = min(max(py, y0 + radius), y1 - radius)
    return math.hypot(px - cx, py - cy) <= radius


# ---------------------------------------------------------------------------
# Shapes: each answers whether a point is covered and which colour it has there.
# A colour is an (r, g, b) tuple or a function of (x, y) giving one.


def paint(colour, x, y):
    return colour(x, y) if callable(colour) else colour


class Fill:
    def __init__(self, points, colour):
        self.points, self.colour = points, colour

    def hit(self, x, y):
        return inside_polygon(x, y, self.points)


class Stroke:
    def __init__(self, points, width, colour, closed=True):
        self.points, self.half, self.colour, self.closed = points, width / 2.0, colour, closed

    def hit(self, x, y):
        return polyline_distance(x, y, self.points, self.closed) <= self.half


class RoundRect:
    def __init__(self, box, radius, colour):
        self.box, self.radius, self.colour = box, radius, colour

    def hit(self, x, y):
        return inside_round_rect(x, y, *self.box, self.radius)


class Clipped:
    """A shape drawn only where another shape (the clip) also covers the point."""

    def __init__(self, shape, clip):
        self.shape, self.clip, self.colour = shape, clip, shape.colour

    def hit(self, x, y):
        return self.shape.hit(x, y) and self.clip.hit(x, y)


def vertical_gradient(top_colour, bottom_colour, y_top, y_bottom):
    def colour(_x, y):
        t = 0.0 if y_bottom == y_top else (y - y_top) / (y_bottom - y_top)
        t = max(0.0, min(1.0, t))
        return tuple(a + (b - a) * t for a, b in zip(top_colour, bottom_colour))

    return colour


def render(shapes, width, height, samples=4):
    """Supersamples the shapes (later ones on top) over a width x height pixel grid.

    Returns rows of (rgb, coverage): rgb is the mean colour of the covered samples,
    coverage the share of samples that any shape covered (0 to 1).
    """
    offsets = [(i + 0.5) / samples for i in range(samples)]
    total = samples * samples
    rows = []
    for py in range(height):
        row = []
        for px in range(width):
            acc = [0.0, 0.0, 0.0]
            hits = 0
            for oy in offsets:
                for ox in offsets:
                    x, y = px + ox, py + oy
                    for shape in reversed(shapes):
                        if shape.hit(x, y):
                            c = paint(shape.colour, x, y)
                            acc[0] += c[0]
                            acc[1] += c[1]
                            acc[2] += c[2]
                            hits += 1
                            break
            if hits:
                rgb = tuple(int(round(a / hits)) for a in acc)
            else:
                rgb = (0, 0, 0)
            row.append((rgb, hits / total))
        rows.append(row)
    return rows


# ---------------------------------------------------------------------------
# The folder with the check mark


FOLDER_OUTLINE = (116, 74, 6)
FOLDER_BACK = (226, 160, 30)
FOLDER_INSIDE = (196, 130, 18)
FOLDER_FRONT_TOP = (255, 226, 96)
FOLDER_FRONT_BOTTOM = (244, 180, 34)
FOLDER_RIM = (255, 242, 170)
PAPER = (250, 250, 244)
PAPER_LINE = (176, 176, 168)
CHECK_RED = (226, 24, 24)
CHECK_DARK = (120, 0, 0)


def folder_shapes(size, left=0.0, top=0.0):
    """The open yellow folder with a red check mark, laid out for a size x size square.

    The design grid has 48 units; vertices are snapped to pixel centres so that the
    one-pixel outlines of straight edges stay sharp at every size.
    """
    scale = size / 48.0

    def sx(v):
        return left + math.floor(v * scale) + 0.5

    def sy(v):
        return top + math.floor(v * scale) + 0.5

    def pt(x, y):
        return (sx(x), sy(y))

    line = 1.0
    back = [pt(3, 9), pt(5, 7), pt(17, 7), pt(20, 11), pt(41, 11), pt(41, 41), pt(3, 41)]
    inside = [pt(5, 13), pt(39, 13), pt(39, 24), pt(5, 24)]
    paper = [pt(7, 14), pt(36, 14), pt(36, 30), pt(7, 30)]
    front = [pt(11, 20), pt(46, 20), pt(40, 41), pt(3, 41)]
    tick = [pt(17, 28), pt(25, 37), pt(42, 16)]
    half = 3.2 * scale
    return [
        Fill(back, FOLDER_BACK),
        # The darker inside of the back panel, seen above the open front flap.
        Fill(inside, FOLDER_INSIDE),
        Stroke(back, line, FOLDER_OUTLINE),
        # A sheet of paper standing in the folder.
        Fill(paper, PAPER),
        Stroke(paper, line, PAPER_LINE),
        Stroke([pt(11, 18), pt(31, 18)], line, PAPER_LINE, closed=False),
        Fill(front, vertical_gradient(FOLDER_FRONT_TOP, FOLDER_FRONT_BOTTOM, sy(20), sy(41))),
        Stroke(front, line, FOLDER_OUTLINE),
        Stroke([pt(12, 22), pt(44, 22)], line, FOLDER_RIM, closed=False),
        # The check mark: a thick two-stroke tick with a dark rim, over the lower right.
        Stroke(tick, 2 * (half + line), CHECK_DARK, closed=False),
        Stroke(tick, 2 * half, CHECK_RED, closed=False),
    ]


SMALL_ICON = 16


def small_folder_shapes():
    """The same folder drawn for 16 x 16 pixels on the pixel grid itself.

    At this size a rim around the tick and the paper only blur the picture, so the
    small image keeps the outline, the two panels and a plain red tick.
    """
    back = [(0.5, 2.5), (1.5, 1.5), (5.5, 1.5), (7.5, 3.5), (13.5, 3.5), (13.5, 14.5), (0.5, 14.5)]
    inside = [(1.5, 4.5), (12.5, 4.5), (12.5, 8.5), (1.5, 8.5)]
    front = [(3.5, 7.5), (15.5, 7.5), (13.5, 14.5), (0.5, 14.5)]
    tick = [(6.5, 9.5), (9.0, 12.0), (14.5, 6.5)]
    return [
        Fill(back, FOLDER_BACK),
        Fill(inside, FOLDER_INSIDE),
        Stroke(back, 1.0, FOLDER_OUTLINE),
        Fill(front, vertical_gradient(FOLDER_FRONT_TOP, FOLDER_FRONT_BOTTOM, 7.5, 14.5)),
        Stroke(front, 1.0, FOLDER_OUTLINE),
        Stroke(tick, 1.9, CHECK_RED, closed=False),
    ]


def draw_icon(size):
    """Returns rows of (r, g, b, opaque) for the icon image of the given size."""
    if size == SMALL_ICON:
        # One sample per pixel centre: every pixel takes one shape's colour, no blends.
        rows = render(small_folder_shapes(), size, size, samples=1)
    else:
        rows = render(folder_shapes(size), size, size)
    return [[(*rgb, coverage >= 0.5) for rgb, coverage in row] for row in rows]


def draw_repair_bitmap():
    """The Repair button's picture: the folder centred on a pure white ground."""
    width, height, folder = 130, 44, 40
    left, top = (width - folder) // 2, (height - folder) // 2
    rows = render(folder_shapes(folder, left, top), width, height)
    image = []
    for row in rows:
        out = []
        for rgb, coverage in row:
            if coverage < 0.5:
                out.append(WHITE)
            elif rgb == WHITE:
                # Pure white is the button's transparent colour; the folder must not use it.
                out.append((254, 254, 254))
            else:
                out.append(rgb)
        image.append(out)
    return image


# ---------------------------------------------------------------------------
# The banner: an emblem and the name in a pixel font of our own

# Each glyph: rows from the top of the tallest letter (cap height 11); '#' is ink.
# Lower-case letters sit on the same baseline as the capital.
GLYPHS = {
    "K": [
        "##...##",
        "##..##.",
        "##.##..",
        "####...",
        "###....",
        "###....",
        "####...",
        "##.##..",
        "##..##.",
        "##...##",
        "##...##",
    ],
    "e": [
        ".####.",
        "##..##",
        "##..##",
        "######",
        "##....",
        "##...#",
        ".####.",
    ],
    "s": [
        ".#####",
        "##....",
        "###...",
        ".####.",
        "...###",
        "....##",
        "#####.",
    ],
    "t": [
        ".##..",
        ".##..",
        "#####",
        ".##..",
        ".##..",
        ".##..",
        ".##..",
        ".##.#",
        "..##.",
    ],
    "r": [
        "##.##",
        "#####",
        "##...",
        "##...",
        "##...",
        "##...",
        "##...",
    ],
    "o": [
        ".####.",
        "##..##",
        "##..##",
        "##..##",
        "##..##",
        "##..##",
        ".####.",
    ],
    "v": [
        "##..##",
        "##..##",
        "##..##",
        "##..##",
        ".####.",
        ".####.",
        "..##..",
    ],
    "a": [
        ".####.",
        "....##",
        ".#####",
        "##..##",
        "##..##",
        "##.###",
        ".##.##",
    ],
}
SITE_NAME = "Kestrova"
LETTER_GAP = 1

BANNER_GROUND = (234, 242, 255)
EMBLEM_TOP = (64, 132, 240)
EMBLEM_BOTTOM = (8, 64, 196)
EMBLEM_RIM = (0, 44, 150)
EMBLEM_MARK = (236, 244, 255)


def text_width(text):
    return sum(len(GLYPHS[c][0]) for c in text) + LETTER_GAP * (len(text) - 1)


def draw_text(image, text, left, baseline, colour):
    x = left
    for c in text:
        glyph = GLYPHS[c]
        top = baseline - len(glyph) + 1
        for gy, line in enumerate(glyph):
            for gx, cell in enumerate(line):
                if cell == "#":
                    image[top + gy][x + gx] = colour
        x += len(glyph[0]) + LETTER_GAP


def blend(under, over, alpha):
    return tuple(int(round(u + (o - u) * alpha)) for u, o in zip(under, over))


def draw_banner():
    width, height = 94, 24
    image = [[BANNER_GROUND] * width for _ in range(height)]

    # Emblem: a rounded blue square with a pale rising tick, anti-aliased into the ground.
    box = (3.0, 3.0, 21.0, 21.0)
    rim = RoundRect(box, 4.5, EMBLEM_RIM)
    face = RoundRect(
        (box[0] + 1, box[1] + 1, box[2] - 1, box[3] - 1),
        3.5,
        vertical_gradient(EMBLEM_TOP, EMBLEM_BOTTOM, box[1], box[3]),
    )
    mark = Stroke([(7.5, 12.5), (10.5, 16.0), (16.5, 7.5)], 2.6, EMBLEM_MARK, closed=False)
    rows = render([rim, face, mark], width, height)
    for y, row in enumerate(rows):
        for x, (rgb, coverage) in enumerate(row):
            if coverage > 0:
                image[y][x] = blend(BANNER_GROUND, rgb, coverage)

    # The name, crisp pure blue, centred in the room right of the emblem.
    room_left, room_right = int(box[2]) + 1, width
    left = room_left + (room_right - room_left - text_width(SITE_NAME)) // 2
    draw_text(image, SITE_NAME, left, 16, PURE_BLUE)
    return image


# ---------------------------------------------------------------------------
# The hand cursor: a white hand with a black outline, index finger up, tip at (7, 0)

HAND_HOT_SPOT = (7, 0)
HAND_SIZE = 32


def hand_mask():
    """Which pixels the hand covers, and which of them are drawn black."""

    def capsule(ax, ay, bx, by, r):
        return lambda x, y: segment_distance(x, y, ax, ay, bx, by) <= r

    def box(x0, y0, x1, y1):
        return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1

    tip_x = HAND_HOT_SPOT[0] + 0.5
    parts = [
        capsule(tip_x, 2.5, tip_x, 14.0, 2.5),  # index finger, its tip at the hot spot
        capsule(11.5, 8.5, 11.5, 13.0, 2.5),  # middle finger
        capsule(15.5, 9.5, 15.5, 13.0, 2.5),  # ring finger
        capsule(19.0, 11.5, 19.0, 14.0, 2.0),  # little finger
        capsule(2.5, 14.0, 7.0, 20.5, 2.0),  # thumb
        box(5.0, 13.0, 21.0, 20.0),  # palm
        capsule(8.5, 19.0, 17.5, 19.0, 4.0),  # heel of the hand
        box(7.0, 20.0, 19.0, 26.0),  # wrist
    ]
    covered = [
        [any(part(x + 0.5, y + 0.5) for part in parts) for x in range(HAND_SIZE)]
        for y in range(HAND_SIZE)
    ]

    def is_covered(x, y):
        return 0 <= x < HAND_SIZE and 0 <= y < HAND_SIZE and covered[y][x]

    black = [[False] * HAND_SIZE for _ in range(HAND_SIZE)]
    for y in range(HAND_SIZE):
        for x in range(HAND_SIZE):
            if covered[y][x] and not all(
                is_covered(x + dx, y + dy) for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))
            ):
                black[y][x] = True
    # The lines between the fingers and the cuff line at the wrist.
    for x, y0, y1 in ((9, 6, 14), (13, 7, 14), (17, 9, 14)):
        for y in range(y0, y1 + 1):
            if covered[y][x]:
                black[y][x] = True
    for x in range(HAND_SIZE):
        if covered[23][x]:
            black[23][x] = True
    return covered, black


def draw_hand():
    """Returns rows of (r, g, b, opaque)."""
    covered, black = hand_mask()
    rows = []
    for y in range(HAND_SIZE):
        row = []
        for x in range(HAND_SIZE):
            if not covered[y][x]:
                row.append((0, 0, 0, False))
            elif black[y][x]:
                row.append((0, 0, 0, True))
            else:
                row.append((255, 255, 255, True))
        rows.append(row)
    return rows


# ---------------------------------------------------------------------------
# Colour reduction to a 256-entry palette (median cut, deterministic)


def build_palette(colours, limit=256):
    """Returns up to `limit` colours representing the given {colour: count} histogram."""
    if len(colours) <= limit:
        return sorted(colours)
    boxes = [sorted(colours.items())]
    while len(boxes) < limit:
        # Split the box with the widest channel range (weighted by pixel count).
        best, best_score, best_channel = None, -1, 0
        for i, items in enumerate(boxes):
            if len(items) < 2:
                continue
            for ch in range(3):
                values = [c[ch] for c, _ in items]
                score = (max(values) - min(values)) * sum(n for _, n in items)
                if score > best_score:
                    best, best_score, best_channel = i, score, ch
        if best is None:
            break
        items = sorted(boxes.pop(best), key=lambda item: (item[0][best_channel], item[0]))
        total = sum(n for _, n in items)
        running, cut = 0, 1
        for k, (_, n) in enumerate(items[:-1]):
            running += n
            cut = k + 1
            if running * 2 >= total:
                break
        boxes += [items[:cut], items[cut:]]
    palette = []
    for items in boxes:
        total = sum(n for _, n in items)
        palette.append(
            tuple(int(round(sum(c[ch] * n for c, n in items) / total)) for ch in range(3))
        )
    return sorted(set(palette))


def nearest(palette, colour):
    return min(
        range(len(palette)),
        key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], colour)),
    )


def index_image(rows):
    """Maps an RGBA-with-flag image to (palette of 256 entries, index rows)."""
    histogram = {}
    for row in rows:
        for r, g, b, opaque in row:
            if opaque:
                histogram[(r, g, b)] = histogram.get((r, g, b), 0) + 1
    palette = [(0, 0, 0)] + [c for c in build_palette(histogram, 255) if c != (0, 0, 0)]
    lookup = {}
    indices = []
    for row in rows:
        out = []
        for r, g, b, opaque in row:
            if not opaque:
                out.append(0)
                continue
            key = (r, g, b)
            if key not in lookup:
                lookup[key] = nearest(palette, key)
            out.append(lookup[key])
        indices.append(out)
    palette += [(0, 0, 0)] * (256 - len(palette))
    return palette, indices


# ---------------------------------------------------------------------------
# File formats

BITMAPINFOHEADER_SIZE = 40
PIXELS_PER_METRE_96_DPI = 3780


def row_stride(width, bits):
    return ((width * bits + 31) // 32) * 4


def info_header(width, height, bits, image_size, colours_used=0, resolution=0):
    """BITMAPINFOHEADER; icon and cursor images keep the resolution fields at 0."""
    return struct.pack(
        "<IiiHHIIiiII",
        BITMAPINFOHEADER_SIZE,
        width,
        height,
        1,
        bits,
        0,  # no compression
        image_size,
        resolution,
        resolution,
        colours_used,
        0,
    )


def bmp24(image):
    """A bottom-up 24-bit BMP file from rows of (r, g, b)."""
    height, width = len(image), len(image[0])
    stride = row_stride(width, 24)
    data = bytearray()
    for row in reversed(image):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += bytes(stride - len(line))
        data += line
    offset = 14 + BITMAPINFOHEADER_SIZE
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    info = info_header(width, height, 24, len(data), 0, PIXELS_PER_METRE_96_DPI)
    return header + info + bytes(data)


def pack_bits(flags, width):
    """One row of 1-bit values, most significant bit first, padded to 32 bits."""
    out = bytearray(row_stride(width, 1))
    for x, flag in enumerate(flags):
        if flag:
            out[x // 8] |= 0x80 >> (x % 8)
    return bytes(out)


def and_mask(rows):
    width = len(rows[0])
    return b"".join(pack_bits([not px[3] for px in row], width) for row in reversed(rows))


def icon_image_8bit(rows):
    """The DIB of one icon image: header, 256-entry palette, 8-bit pixels, AND mask."""
    size = len(rows)
    palette, indices = index_image(rows)
    stride = row_stride(size, 8)
    xor = b"".join(bytes(row) + bytes(stride - size) for row in reversed(indices))
    mask = and_mask(rows)
    header = info_header(size, size * 2, 8, len(xor) + len(mask), 256)
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + colours + xor + mask


def cursor_image_1bit(rows):
    """The DIB of one cursor image: 2-colour palette (black, white), pixels, AND mask."""
    size = len(rows)
    xor = b"".join(
        pack_bits([px[3] and px[0] == 255 for px in row], size) for row in reversed(rows)
    )
    mask = and_mask(rows)
    header = info_header(size, size * 2, 1, len(xor) + len(mask), 2)
    colours = bytes((0, 0, 0, 0, 255, 255, 255, 0))
    return header + colours + xor + mask


ICON_TYPE_ICON = 1
ICON_TYPE_CURSOR = 2


def icon_container(kind, images):
    """An .ico or .cur file. images: list of (size, plane_or_hot_x, bits_or_hot_y, colours, dib)."""
    directory = struct.pack("<HHH", 0, kind, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, field1, field2, colour_count, dib in images:
        entries += struct.pack(
            "<BBBBHHII", size % 256, size % 256, colour_count, 0, field1, field2, len(dib), offset
        )
        blobs += dib
        offset += len(dib)
    return directory + entries + blobs


def png(rows):
    """An RGBA PNG file from rows of (r, g, b, opaque)."""
    height, width = len(rows), len(rows[0])
    raw = bytearray()
    for row in rows:
        raw.append(0)  # no filter
        for r, g, b, opaque in row:
            raw += bytes((r, g, b, 255)) if opaque else bytes(4)

    def chunk(kind, body):
        return (
            struct.pack(">I", len(body))
            + kind
            + body
            + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
        )

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", ihdr)
        + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
        + chunk(b"IEND", b"")
    )


# ---------------------------------------------------------------------------

ICON_SIZES = (48, 32, 16)


def build_all():
    """Returns {file name: bytes} for every picture."""
    files = {}
    icons = {size: draw_icon(size) for size in ICON_SIZES}
    files["kestrova.ico"] = icon_container(
        ICON_TYPE_ICON, [(size, 1, 8, 0, icon_image_8bit(icons[size])) for size in ICON_SIZES]
    )
    for size in ICON_SIZES:
        # The PNG copies show the palette colours the .ico holds, pixel for pixel.
        palette, indices = index_image(icons[size])
        same = [
            [(*palette[i], px[3]) for i, px in zip(irow, row)]
            for irow, row in zip(indices, icons[size])
        ]
        files["icon-%d.png" % size] = png(same)
    hand = draw_hand()
    files["hand.cur"] = icon_container(
        ICON_TYPE_CURSOR, [(HAND_SIZE, *HAND_HOT_SPOT, 2, cursor_image_1bit(hand))]
    )
    files["hand.png"] = png(hand)
    files["repair.bmp"] = bmp24(draw_repair_bitmap())
    files["banner.bmp"] = bmp24(draw_banner())
    return files


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--out", default=os.path.join(here, os.pardir, "assets"), help="output folder"
    )
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    for name, data in sorted(build_all().items()):
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(data)
        print("%-14s %6d bytes" % (name, len(data)))


if __name__ == "__main__":
    main()
