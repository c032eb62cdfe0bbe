#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Draws Kestrova's pictures with Pillow and writes them in their file formats.

Outputs (into assets/ of the source tree, or the folder given with --out):
  kestrova.ico          window and program icon: 48, 32 and 16 px, 8 bits per pixel, 1-bit mask
  icon-48.png ...16.png the same three images as RGBA PNG files for the Qt window
  icon-24.png, icon-64.png, icon-128.png, icon-256.png
                        the icon drawn at those sizes for the desktop, with soft edges
  icon.svg              the icon as a scalable drawing of the same shapes
  repair.bmp            130 x 44, 24 bits per pixel: the folder on a pure white ground
  banner.bmp            94 x 24, 24 bits per pixel: the web-site logo
  repair-125.bmp ...    the two bitmaps again at 125, 150 and 200 percent, drawn at that size
  hand.cur              32 x 32, 1 bit per pixel with mask, hot spot (7, 0)
  hand.png              the same cursor as an RGBA PNG file

Pillow (Debian's python3-pil) draws the shapes and the text and writes the BMP, PNG and DIB
data. It writes no cursor files, and its icon writer leaves every mask bit opaque, so the icon
and cursor directories and their masks are put together here around Pillow's DIB images. The
output is deterministic: the same bytes on every run.
"""

import argparse
import io
import math
import os
import struct

from PIL import Image, ImageDraw, ImageFont

WHITE = (255, 255, 255)
PURE_BLUE = (0, 0, 255)
BLACK = (0, 0, 0)

# The bitmaps are drawn at these scales besides their design size; the window picks the nearest.
SCALES = {125: 1.25, 150: 1.5, 200: 2.0}


def scaled(length, scale):
    """A length in pixels at a scale, halves rounded up (130 px at 125 % is 163 px)."""
    return int(math.floor(length * scale + 0.5))


# ---------------------------------------------------------------------------
# Drawing: shapes are laid out in pixel units (a pixel covers [x, x + 1)) and drawn on a canvas of
# `samples` x `samples` points per pixel, each point at the centre of its own square of the
# pixel. The topmost shape that covers a point gives its colour; a pixel is the mean colour of its
# covered points, with the share of covered points as its coverage.


class Canvas:
    # Pillow fills a polygon's boundary pixels after truncating its vertices to whole pixels, so
    # each shape is drawn on a grid this many times finer than the points and read at the points.
    FINE = 8

    def __init__(self, width, height, samples):
        self.width, self.height, self.samples = width, height, samples
        self.size = (width * samples, height * samples)
        self.colour = Image.new("RGB", self.size, BLACK)
        self.cover = Image.new("L", self.size, 0)

    def point(self, x, y):
        scale = self.samples * self.FINE
        return (x * scale, y * scale)

    def shape(self):
        """A fine mask to draw one shape on, and its drawing context."""
        mask = Image.new("L", (self.size[0] * self.FINE, self.size[1] * self.FINE), 0)
        return mask, ImageDraw.Draw(mask)

    def paint(self, mask, colour):
        """Lays a colour, or a function of the canvas giving an RGB image, over the shape."""
        # Nearest-neighbour reduction reads each point's fine pixel: the one at its centre.
        points = mask.resize(self.size, Image.Resampling.NEAREST)
        fill = colour(self) if callable(colour) else colour
        self.colour.paste(fill, (0, 0), points)
        self.cover.paste(255, (0, 0), points)

    def fill(self, points, colour):
        mask, draw = self.shape()
        draw.polygon([self.point(x, y) for x, y in points], fill=255)
        self.paint(mask, colour)

    def stroke(self, points, width, colour, closed=True):
        """Every point within width / 2 of the polyline: round joins and round ends."""
        mask, draw = self.shape()
        half = width / 2.0
        count = len(points) if closed else len(points) - 1
        for i in range(count):
            (ax, ay), (bx, by) = points[i], points[(i + 1) % len(points)]
            length = math.hypot(bx - ax, by - ay)
            if length:
                nx, ny = -(by - ay) / length * half, (bx - ax) / length * half
                quad = [(ax + nx, ay + ny), (bx + nx, by + ny),
                        (bx - nx, by - ny), (ax - nx, ay - ny)]
                draw.polygon([self.point(x, y) for x, y in quad], fill=255)
        # Pillow's ellipse covers the pixels from its first to its last corner, both included:
        # half a fine pixel in from each side leaves a disc of the given radius.
        for x, y in points:
            left, top = self.point(x - half, y - half)
            right, bottom = self.point(x + half, y + half)
            draw.ellipse([left + 0.5, top + 0.5, right - 0.5, bottom - 0.5], fill=255)
        self.paint(mask, colour)

    def round_rect(self, box, radius, colour):
        x0, y0, x1, y1 = box
        mask, draw = self.shape()
        draw.rounded_rectangle([*self.point(x0, y0), *self.point(x1, y1)],
                               radius=radius * self.samples * self.FINE, fill=255)
        self.paint(mask, colour)

    def pixels(self):
        """Rows of ((r, g, b), coverage) per pixel."""
        n, width = self.samples, self.width * self.samples
        colour, cover = self.colour.tobytes(), self.cover.tobytes()
        total = n * n
        rows = []
        for py in range(self.height):
            row = []
            for px in range(self.width):
                acc, hits = [0, 0, 0], 0
                for sy in range(py * n, py * n + n):
                    for sx in range(px * n, px * n + n):
                        if cover[sy * width + sx]:
                            at = 3 * (sy * width + sx)
                            acc[0] += colour[at]
                            acc[1] += colour[at + 1]
                            acc[2] += colour[at + 2]
                            hits += 1
                rgb = tuple(int(round(a / hits)) for a in acc) if hits else BLACK
                row.append((rgb, hits / total))
            rows.append(row)
        return rows


class vertical_gradient:
    """A fill that runs from one colour at y_top to another at y_bottom (pixel units)."""

    def __init__(self, top_colour, bottom_colour, y_top, y_bottom):
        self.top, self.bottom = top_colour, bottom_colour
        self.y_top, self.y_bottom = y_top, y_bottom

    def __call__(self, canvas):
        column = Image.new("RGB", (1, canvas.height * canvas.samples))
        for sy in range(column.height):
            y = (sy + 0.5) / canvas.samples
            t = 0.0 if self.y_bottom == self.y_top else (y - self.y_top) / (
                self.y_bottom - self.y_top)
            t = max(0.0, min(1.0, t))
            column.putpixel((0, sy), tuple(
                int(round(a + (b - a) * t)) for a, b in zip(self.top, self.bottom)))
        return column.resize(canvas.colour.size, Image.Resampling.NEAREST)


class SvgCanvas:
    """Takes the same shapes as Canvas and writes them as SVG elements: fills, strokes with round
    joins and ends, and rounded rectangles, in a square of `size` units."""

    def __init__(self, size):
        self.size = size
        self.defs, self.body = [], []

    @staticmethod
    def colour(rgb):
        return "#%02x%02x%02x" % rgb

    def paint(self, colour):
        if not isinstance(colour, vertical_gradient):
            return self.colour(colour)
        name = "gradient%d" % len(self.defs)
        self.defs.append(
            '<linearGradient id="%s" gradientUnits="userSpaceOnUse" x1="0" y1="%g" x2="0" '
            'y2="%g"><stop offset="0" stop-color="%s"/><stop offset="1" stop-color="%s"/>'
            "</linearGradient>" % (name, colour.y_top, colour.y_bottom,
                                   self.colour(colour.top), self.colour(colour.bottom)))
        return "url(#%s)" % name

    @staticmethod
    def points(points):
        return " ".join("%g,%g" % point for point in points)

    def fill(self, points, colour):
        self.body.append('<polygon points="%s" fill="%s"/>'
                         % (self.points(points), self.paint(colour)))

    def stroke(self, points, width, colour, closed=True):
        self.body.append(
            '<%s points="%s" fill="none" stroke="%s" stroke-width="%g" stroke-linejoin="round" '
            'stroke-linecap="round"/>' % ("polygon" if closed else "polyline",
                                          self.points(points), self.paint(colour), width))

    def round_rect(self, box, radius, colour):
        x0, y0, x1, y1 = box
        self.body.append('<rect x="%g" y="%g" width="%g" height="%g" rx="%g" fill="%s"/>'
                         % (x0, y0, x1 - x0, y1 - y0, radius, self.paint(colour)))

    def document(self):
        lines = ['<?xml version="1.0" encoding="UTF-8"?>',
                 '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
                 'viewBox="0 0 %d %d">' % (self.size, self.size, self.size, self.size)]
        if self.defs:
            lines += ["<defs>"] + self.defs + ["</defs>"]
        lines += self.body + ["</svg>", ""]
        return "\n".join(lines).encode("ascii")


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


def draw_folder(canvas, size, left=0.0, top=0.0):
    """The open yellow folder with a red check mark, laid out in a size x size square.

    The design grid has 48 units; vertices are snapped to pixel centres so that the
    one-pixel outlines of straight edges stay sharp at every size.
    """
    scale = size / 48.0

    def pt(x, y):
        return (left + math.floor(x * scale) + 0.5, top + math.floor(y * scale) + 0.5)

    # One-pixel outlines up to 127 px; the large desktop icons get proportionally wider ones.
    line = float(max(1, size // 64))
    back = [pt(3, 9), pt(5, 7), pt(17, 7), pt(20, 11), pt(41, 11), pt(41, 41), pt(3, 41)]
    inside = [pt(5, 13), pt(39, 13), pt(39, 24), pt(5, 24)]
    paper = [pt(7, 14), pt(36, 14), pt(36, 30), pt(7, 30)]
    front = [pt(11, 20), pt(46, 20), pt(40, 41), pt(3, 41)]
    tick = [pt(17, 28), pt(25, 37), pt(42, 16)]
    half = 3.2 * scale
    canvas.fill(back, FOLDER_BACK)
    # The darker inside of the back panel, seen above the open front flap.
    canvas.fill(inside, FOLDER_INSIDE)
    canvas.stroke(back, line, FOLDER_OUTLINE)
    # A sheet of paper standing in the folder.
    canvas.fill(paper, PAPER)
    canvas.stroke(paper, line, PAPER_LINE)
    canvas.stroke([pt(11, 18), pt(31, 18)], line, PAPER_LINE, closed=False)
    canvas.fill(front, vertical_gradient(FOLDER_FRONT_TOP, FOLDER_FRONT_BOTTOM,
                                         pt(0, 20)[1], pt(0, 41)[1]))
    canvas.stroke(front, line, FOLDER_OUTLINE)
    canvas.stroke([pt(12, 22), pt(44, 22)], line, FOLDER_RIM, closed=False)
    # The check mark: a thick two-stroke tick with a dark rim, over the lower right.
    canvas.stroke(tick, 2 * (half + line), CHECK_DARK, closed=False)
    canvas.stroke(tick, 2 * half, CHECK_RED, closed=False)


SMALL_ICON = 16


def draw_small_folder(canvas):
    """The same folder drawn for 16 x 16 pixels on the pixel grid itself.

    At this size a rim around the tick and the paper only blur the picture, so the
    small image keeps the outline, the two panels and a plain red tick.
    """
    back = [(0.5, 2.5), (1.5, 1.5), (5.5, 1.5), (7.5, 3.5), (13.5, 3.5), (13.5, 14.5), (0.5, 14.5)]
    inside = [(1.5, 4.5), (12.5, 4.5), (12.5, 8.5), (1.5, 8.5)]
    front = [(3.5, 7.5), (15.5, 7.5), (13.5, 14.5), (0.5, 14.5)]
    tick = [(6.5, 9.5), (9.0, 12.0), (14.5, 6.5)]
    canvas.fill(back, FOLDER_BACK)
    canvas.fill(inside, FOLDER_INSIDE)
    canvas.stroke(back, 1.0, FOLDER_OUTLINE)
    canvas.fill(front, vertical_gradient(FOLDER_FRONT_TOP, FOLDER_FRONT_BOTTOM, 7.5, 14.5))
    canvas.stroke(front, 1.0, FOLDER_OUTLINE)
    canvas.stroke(tick, 1.9, CHECK_RED, closed=False)


def icon_canvas(size):
    if size == SMALL_ICON:
        # One sample per pixel centre: every pixel takes one shape's colour, no blends.
        canvas = Canvas(size, size, 1)
        draw_small_folder(canvas)
    else:
        # The largest sizes need fewer points per pixel for the same smoothness.
        canvas = Canvas(size, size, 4 if size <= 64 else 2)
        draw_folder(canvas, size)
    return canvas


def draw_icon(size):
    """Returns rows of (r, g, b, opaque) for the icon image of the given size."""
    return [[(*rgb, coverage >= 0.5) for rgb, coverage in row]
            for row in icon_canvas(size).pixels()]


def draw_soft_icon(size):
    """The icon as an RGBA image whose edges fade with the share of each pixel covered."""
    image = Image.new("RGBA", (size, size))
    image.putdata([(*rgb, int(round(255 * coverage))) if coverage else (0, 0, 0, 0)
                   for row in icon_canvas(size).pixels() for rgb, coverage in row])
    return image


def draw_svg_icon():
    """The 48-unit design as SVG: the same shapes, to be scaled by whoever shows it."""
    canvas = SvgCanvas(48)
    draw_folder(canvas, 48)
    return canvas.document()


def draw_repair_bitmap(scale=1.0):
    """The Repair button's picture: the folder centred on a pure white ground."""
    width, height, folder = scaled(130, scale), scaled(44, scale), scaled(40, scale)
    canvas = Canvas(width, height, 4)
    draw_folder(canvas, folder, (width - folder) // 2, (height - folder) // 2)
    image = Image.new("RGB", (width, height), WHITE)
    for y, row in enumerate(canvas.pixels()):
        for x, (rgb, coverage) in enumerate(row):
            if coverage >= 0.5:
                # Pure white is the button's transparent colour; the folder must not use it.
                image.putpixel((x, y), (254, 254, 254) if rgb == WHITE else rgb)
    return image


# ---------------------------------------------------------------------------
# The banner: an emblem and the site's name

SITE_NAME = "Kestrova"
# A bold, narrow face of Debian's fonts-dejavu-core: at 14 px its capitals are 11 px high.
NAME_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSansCondensed-Bold.ttf"
NAME_PX = 14
NAME_BASELINE = 16

BANNER_GROUND = (234, 242, 255)
EMBLEM_TOP = (64, 132, 240)
EMBLEM_BOTTOM = (8, 64, 196)
EMBLEM_RIM = (0, 44, 150)
EMBLEM_MARK = (236, 244, 255)


def blend(under, over, alpha):
    return tuple(int(round(u + (o - u) * alpha)) for u, o in zip(under, over))


def draw_banner(scale=1.0):
    width, height = scaled(94, scale), scaled(24, scale)
    image = Image.new("RGB", (width, height), BANNER_GROUND)

    # Emblem: a rounded blue square with a pale rising tick, anti-aliased into the ground.
    box = tuple(v * scale for v in (3.0, 3.0, 21.0, 21.0))
    inset = scale
    canvas = Canvas(width, height, 4)
    canvas.round_rect(box, 4.5 * scale, EMBLEM_RIM)
    canvas.round_rect((box[0] + inset, box[1] + inset, box[2] - inset, box[3] - inset),
                      3.5 * scale, vertical_gradient(EMBLEM_TOP, EMBLEM_BOTTOM, box[1], box[3]))
    mark = [(7.5 * scale, 12.5 * scale), (10.5 * scale, 16.0 * scale), (16.5 * scale, 7.5 * scale)]
    canvas.stroke(mark, 2.6 * scale, EMBLEM_MARK, closed=False)
    for y, row in enumerate(canvas.pixels()):
        for x, (rgb, coverage) in enumerate(row):
            if coverage > 0:
                image.putpixel((x, y), blend(BANNER_GROUND, rgb, coverage))

    # The name, crisp pure blue (no anti-aliasing), centred in the room right of the emblem.
    draw = ImageDraw.Draw(image)
    draw.fontmode = "1"
    font = ImageFont.truetype(NAME_FONT, scaled(NAME_PX, scale))
    room_left = int(box[2]) + 1
    ink_left, _, ink_right, _ = draw.textbbox((0, 0), SITE_NAME, font=font, anchor="ls")
    left = room_left + (width - room_left - (ink_right - ink_left)) // 2 - ink_left
    draw.text((left, scaled(NAME_BASELINE, scale)), SITE_NAME, fill=PURE_BLUE, font=font,
              anchor="ls")
    return image


# ---------------------------------------------------------------------------
# The hand cursor: a white hand with a black outline, index finger up, tip at (7, 0)

HAND_HOT_SPOT = (7, 0)
HAND_SIZE = 32


def hand_mask():
    """Which pixels the hand covers, and which of them are drawn black."""
    canvas = Canvas(HAND_SIZE, HAND_SIZE, 1)
    tip_x = HAND_HOT_SPOT[0] + 0.5
    capsules = [
        (tip_x, 2.5, tip_x, 14.0, 2.5),  # index finger, its tip at the hot spot
        (11.5, 8.5, 11.5, 13.0, 2.5),  # middle finger
        (15.5, 9.5, 15.5, 13.0, 2.5),  # ring finger
        (19.0, 11.5, 19.0, 14.0, 2.0),  # little finger
        (2.5, 14.0, 7.0, 20.5, 2.0),  # thumb
        (8.5, 19.0, 17.5, 19.0, 4.0),  # heel of the hand
    ]
    for ax, ay, bx, by, r in capsules:
        canvas.stroke([(ax, ay), (bx, by)], 2 * r, WHITE, closed=False)
    for x0, y0, x1, y1 in ((5.0, 13.0, 21.0, 20.0), (7.0, 20.0, 19.0, 26.0)):  # palm, wrist
        canvas.fill([(x0, y0), (x1, y0), (x1, y1), (x0, y1)], WHITE)
    covered = [[coverage > 0 for _, coverage in row] for row in canvas.pixels()]

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
# File formats


def rgba_image(rows):
    """An RGBA Pillow image from rows of (r, g, b, opaque); transparent pixels are (0, 0, 0, 0)."""
    image = Image.new("RGBA", (len(rows[0]), len(rows)))
    image.putdata([(r, g, b, 255) if opaque else (0, 0, 0, 0) for row in rows
                   for r, g, b, opaque in row])
    return image


def encoded(image, kind, **options):
    out = io.BytesIO()
    image.save(out, kind, **options)
    return out.getvalue()


def indexed(rows):
    """The icon image as an 8-bit palette image: black first, then every colour it uses."""
    colours = sorted({px[:3] for row in rows for px in row if px[3]} - {BLACK})
    palette = [BLACK] + colours
    if len(palette) > 256:
        raise SystemExit("an icon image uses more than 256 colours")
    index = {colour: i for i, colour in enumerate(palette)}
    image = Image.new("P", (len(rows[0]), len(rows)))
    image.putpalette([c for colour in palette + [BLACK] * (256 - len(palette)) for c in colour])
    image.putdata([index[px[:3]] if px[3] else 0 for row in rows for px in row])
    return image


def and_mask(rows):
    """The 1-bit mask that follows an icon or cursor image: set bits are transparent."""
    mask = Image.new("1", (len(rows[0]), len(rows)))
    mask.putdata([0 if px[3] else 1 for row in rows for px in row])
    # A DIB without its 62-byte header and palette holds exactly the bottom-up, padded rows.
    return encoded(mask, "DIB")[40 + 8:]


def icon_entry(image, rows):
    """One image of an .ico or .cur file: Pillow's DIB with its height doubled, then the mask."""
    dib = encoded(image, "DIB")
    height = struct.pack("<i", 2 * image.height)
    return dib[:8] + height + dib[12:] + and_mask(rows)


ICON_TYPE_ICON = 1
ICON_TYPE_CURSOR = 2


def icon_container(kind, images):
    """An .ico or .cur file; images: (size, planes or hot x, bits or hot y, colours, data)."""
    directory = struct.pack("<HHH", 0, kind, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, field1, field2, colour_count, data in images:
        entries += struct.pack(
            "<BBBBHHII", size % 256, size % 256, colour_count, 0, field1, field2, len(data), offset
        )
        blobs += data
        offset += len(data)
    return directory + entries + blobs


# ---------------------------------------------------------------------------

ICON_SIZES = (48, 32, 16)
# The sizes that only the desktop uses: PNG files with soft edges, no .ico image.
DESKTOP_ICON_SIZES = (24, 64, 128, 256)


def build_all():
    """Returns {file name: bytes} for every picture."""
    files = {}
    icons = {size: draw_icon(size) for size in ICON_SIZES}
    files["kestrova.ico"] = icon_container(
        ICON_TYPE_ICON,
        [(size, 1, 8, 0, icon_entry(indexed(icons[size]), icons[size])) for size in ICON_SIZES],
    )
    for size in ICON_SIZES:
        files["icon-%d.png" % size] = encoded(rgba_image(icons[size]), "PNG", optimize=True)
    for size in DESKTOP_ICON_SIZES:
        files["icon-%d.png" % size] = encoded(draw_soft_icon(size), "PNG", optimize=True)
    files["icon.svg"] = draw_svg_icon()
    hand = draw_hand()
    white = Image.new("1", (HAND_SIZE, HAND_SIZE))
    white.putdata([1 if px[3] and px[0] == 255 else 0 for row in hand for px in row])
    files["hand.cur"] = icon_container(
        ICON_TYPE_CURSOR, [(HAND_SIZE, *HAND_HOT_SPOT, 2, icon_entry(white, hand))]
    )
    files["hand.png"] = encoded(rgba_image(hand), "PNG", optimize=True)
    files["repair.bmp"] = encoded(draw_repair_bitmap(), "BMP")
    files["banner.bmp"] = encoded(draw_banner(), "BMP")
    for percent, scale in SCALES.items():
        files["repair-%d.bmp" % percent] = encoded(draw_repair_bitmap(scale), "BMP")
        files["banner-%d.bmp" % percent] = encoded(draw_banner(scale), "BMP")
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
