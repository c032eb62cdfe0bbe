#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Checks the committed pictures in assets/ by reading them back with parsers of its own.

Usage: pictures_check.py [--root SOURCE_TREE]
Exits with status 1 and lists every failed check when any check fails.
"""

import argparse
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree
import zlib

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


# ---------------------------------------------------------------------------
# Readers


class FormatError(Exception):
    pass


def need(condition, what):
    if not condition:
        raise FormatError(what)


def read_dib(data, expect_mask):
    """Decodes a BITMAPINFOHEADER bitmap (optionally followed by an AND mask).

    Returns (info dict, rows top-down of (r, g, b, opaque)).
    """
    need(len(data) >= 40, "bitmap header truncated")
    (size, width, height, planes, bits, compression, _image_size, _xr, _yr, used, _imp) = (
        struct.unpack_from("<IiiHHIIiiII", data, 0)
    )
    need(size == 40, "header size %d, expected 40" % size)
    need(planes == 1, "planes %d" % planes)
    need(compression == 0, "compressed bitmap")
    need(height > 0, "top-down bitmap, expected bottom-up")
    rows_count = height // 2 if expect_mask else height
    if expect_mask:
        need(height == 2 * width, "icon height %d is not twice the width %d" % (height, width))
    palette_size = 0
    if bits <= 8:
        palette_size = used if used else 1 << bits
    palette = []
    at = 40
    for _ in range(palette_size):
        need(at + 4 <= len(data), "palette truncated")
        b, g, r, _ = data[at : at + 4]
        palette.append((r, g, b))
        at += 4
    stride = ((width * bits + 31) // 32) * 4
    xor_size = stride * rows_count
    mask_stride = ((width + 31) // 32) * 4
    mask_size = mask_stride * rows_count if expect_mask else 0
    need(len(data) == at + xor_size + mask_size, "pixel data size %d, expected %d"
         % (len(data) - at, xor_size + mask_size))
    rows = []
    for y in range(rows_count):
        line = data[at + (rows_count - 1 - y) * stride :][:stride]
        mask_line = b""
        if expect_mask:
            start = at + xor_size + (rows_count - 1 - y) * mask_stride
            mask_line = data[start : start + mask_stride]
        row = []
        for x in range(width):
            if bits == 24:
                b, g, r = line[3 * x : 3 * x + 3]
                rgb = (r, g, b)
            elif bits == 8:
                rgb = palette[line[x]]
            elif bits == 1:
                rgb = palette[(line[x // 8] >> (7 - x % 8)) & 1]
            else:
                raise FormatError("unexpected bit depth %d" % bits)
            transparent = expect_mask and (mask_line[x // 8] >> (7 - x % 8)) & 1
            row.append((*rgb, not transparent))
        rows.append(row)
    info = {"width": width, "height": rows_count, "bits": bits, "palette": palette}
    return info, rows


def read_icon_file(data, expected_type):
    """Reads an .ico (type 1) or .cur (type 2). Returns a list of (entry, info, rows)."""
    need(len(data) >= 6, "file truncated")
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    need(reserved == 0 and kind == expected_type, "type %d, expected %d" % (kind, expected_type))
    images = []
    for i in range(count):
        w, h, colours, res, field1, field2, size, offset = struct.unpack_from(
            "<BBBBHHII", data, 6 + 16 * i
        )
        need(offset + size <= len(data), "image %d lies past the end of the file" % i)
        entry = {
            "width": w or 256,
            "height": h or 256,
            "colours": colours,
            "field1": field1,
            "field2": field2,
        }
        info, rows = read_dib(data[offset : offset + size], expect_mask=True)
        images.append((entry, info, rows))
    return images


def read_bmp(data):
    need(data[:2] == b"BM", "no BM signature")
    file_size, _, _, offset = struct.unpack_from("<IHHI", data, 2)
    need(file_size == len(data), "file size field %d, file has %d" % (file_size, len(data)))
    need(offset == 54, "pixel offset %d, expected 54" % offset)
    info, rows = read_dib(data[14:40 + 14] + data[offset:], expect_mask=False)
    return info, [[px[:3] for px in row] for row in rows]


def read_png(data):
    """Reads an 8-bit RGBA, non-interlaced PNG. Returns rows of (r, g, b, a)."""
    need(data[:8] == b"\x89PNG\r\n\x1a\n", "no PNG signature")
    at, header, idat, ended = 8, None, b"", False
    while at < len(data):
        (length,) = struct.unpack_from(">I", data, at)
        kind = data[at + 4 : at + 8]
        body = data[at + 8 : at + 8 + length]
        (crc,) = struct.unpack_from(">I", data, at + 8 + length)
        need(crc == zlib.crc32(kind + body) & 0xFFFFFFFF, "bad CRC in %r" % kind)
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            ended = True
        at += 12 + length
    need(header is not None and ended, "IHDR or IEND missing")
    width, height, depth, colour_type, _, _, interlace = header
    need(depth == 8 and colour_type == 6 and interlace == 0, "not 8-bit RGBA: %r" % (header,))
    raw = zlib.decompress(idat)
    stride = width * 4
    need(len(raw) == height * (stride + 1), "image data size")
    rows, previous = [], bytearray(stride)
    for y in range(height):
        filter_type = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1 : (y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - 4] if i >= 4 else 0
            up = previous[i]
            up_left = previous[i - 4] if i >= 4 else 0
            if filter_type == 1:
                line[i] = (line[i] + left) & 0xFF
            elif filter_type == 2:
                line[i] = (line[i] + up) & 0xFF
            elif filter_type == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif filter_type == 4:
                p = left + up - up_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - up_left)
                pred = left if pa <= pb and pa <= pc else (up if pb <= pc else up_left)
                line[i] = (line[i] + pred) & 0xFF
            else:
                need(filter_type == 0, "unknown filter %d" % filter_type)
        rows.append([tuple(line[x * 4 : x * 4 + 4]) for x in range(width)])
        previous = line
    return width, height, rows


def icotool_list(path):
    """`icotool -l` lines as dicts of option -> value."""
    out = subprocess.run(["icotool", "-l", path], check=True, capture_output=True, text=True)
    entries = []
    for line in out.stdout.splitlines():
        fields = {}
        for word in line.split():
            key, _, value = word.lstrip("-").partition("=")
            fields[key] = value
        entries.append(fields)
    return entries


# ---------------------------------------------------------------------------
# Colour classes


def is_yellow(r, g, b):
    return r >= 200 and 120 <= g <= 240 and b <= 140


def is_red(r, g, b):
    return r >= 170 and g <= 70 and b <= 70


def is_pale_blue(r, g, b):
    return min(r, g, b) >= 200 and b > r and b > g and (r, g, b) != (255, 255, 255)


def corners(rows):
    h, w = len(rows), len(rows[0])
    return [rows[0][0], rows[0][w - 1], rows[h - 1][0], rows[h - 1][w - 1]]


def white_reaches_border(rows):
    """True when every pure white pixel joins the border through white pixels."""
    h, w = len(rows), len(rows[0])
    white = [[rows[y][x] == (255, 255, 255) for x in range(w)] for y in range(h)]
    seen = [[False] * w for _ in range(h)]
    stack = [(x, y) for y in range(h) for x in range(w)
             if white[y][x] and (x in (0, w - 1) or y in (0, h - 1))]
    for x, y in stack:
        seen[y][x] = True
    while stack:
        x, y = stack.pop()
        for nx, ny in ((x + 1, y), (x - 1, y), (x, y + 1), (x, y - 1)):
            if 0 <= nx < w and 0 <= ny < h and white[ny][nx] and not seen[ny][nx]:
                seen[ny][nx] = True
                stack.append((nx, ny))
    return all(seen[y][x] or not white[y][x] for y in range(h) for x in range(w))


# ---------------------------------------------------------------------------
# Checks per file


def check_icon(assets):
    path = os.path.join(assets, "kestrova.ico")
    images = read_icon_file(open(path, "rb").read(), 1)
    sizes = [info["width"] for _, info, _ in images]
    check(sizes == [48, 32, 16], "kestrova.ico: image sizes %r, expected [48, 32, 16]" % sizes)
    listed = icotool_list(path)
    check(
        [(e.get("width"), e.get("bit-depth"), e.get("palette-size")) for e in listed]
        == [("48", "8", "256"), ("32", "8", "256"), ("16", "8", "256")],
        "kestrova.ico: icotool -l reports %r" % listed,
    )
    for entry, info, rows in images:
        size = info["width"]
        name = "kestrova.ico %dx%d" % (size, size)
        check(info["height"] == size and entry["width"] == size and entry["height"] == size,
              name + ": not square or directory size differs")
        check(info["bits"] == 8, name + ": %d bits per pixel, expected 8" % info["bits"])
        check((entry["field1"], entry["field2"]) == (1, 8),
              name + ": directory gives %d planes, %d bits" % (entry["field1"], entry["field2"]))
        check(len(info["palette"]) == 256, name + ": palette of %d" % len(info["palette"]))
        opaque = sum(px[3] for row in rows for px in row)
        check(0.3 * size * size < opaque < size * size,
              name + ": mask leaves %d of %d pixels opaque" % (opaque, size * size))
        check(not any(px[3] for px in corners(rows)[:2]),
              name + ": top corners are not transparent")
        yellow = sum(px[3] and is_yellow(*px[:3]) for row in rows for px in row)
        red = sum(px[3] and is_red(*px[:3]) for row in rows for px in row)
        check(yellow >= 0.15 * size * size, name + ": only %d yellow pixels" % yellow)
        check(red >= 0.05 * size * size, name + ": only %d red pixels" % red)
        check_png_matches(assets, "icon-%d.png" % size, rows)


def check_png_matches(assets, name, rows):
    """The PNG copy must show exactly the pixels of the Windows picture."""
    width, height, png_rows = read_png(open(os.path.join(assets, name), "rb").read())
    size_ok = (width, height) == (len(rows[0]), len(rows))
    if not check(size_ok, name + ": size %dx%d" % (width, height)):
        return
    for y in range(height):
        for x in range(width):
            r, g, b, opaque = rows[y][x]
            expected = (r, g, b, 255) if opaque else None
            got = png_rows[y][x]
            if expected is None:
                ok = got[3] == 0
            else:
                ok = got == expected
            if not check(ok, "%s: pixel (%d, %d) is %r, expected %r" % (name, x, y, got, expected)):
                return


def check_desktop_icon(assets, size):
    """An icon size the desktop alone uses: soft-edged RGBA, the same folder and tick."""
    name = "icon-%d.png" % size
    width, height, rows = read_png(open(os.path.join(assets, name), "rb").read())
    if not check((width, height) == (size, size), "%s: size %dx%d" % (name, width, height)):
        return
    check(not any(px[3] for px in corners(rows)[:2]), name + ": top corners are not transparent")
    solid = [px for row in rows for px in row if px[3] == 255]
    soft = sum(0 < px[3] < 255 for row in rows for px in row)
    check(0.3 * size * size < len(solid) < size * size,
          name + ": %d of %d pixels opaque" % (len(solid), size * size))
    # Soft edges one pixel wide: drawn at its size. A smaller image scaled up has a blurred band
    # several pixels wide (48 px scaled to 256 px: over 4,000 such pixels).
    check(size // 4 <= soft <= 3 * size, name + ": %d pixels with soft edges" % soft)
    yellow = sum(is_yellow(*px[:3]) for px in solid)
    red = sum(is_red(*px[:3]) for px in solid)
    check(yellow >= 0.15 * size * size, name + ": only %d yellow pixels" % yellow)
    check(red >= 0.05 * size * size, name + ": only %d red pixels" % red)


def check_svg_icon(assets):
    """The scalable icon: well-formed SVG of the 48-unit design with the folder and the tick."""
    root = ElementTree.parse(os.path.join(assets, "icon.svg")).getroot()
    svg = "{http://www.w3.org/2000/svg}"
    check(root.tag == svg + "svg" and root.get("viewBox") == "0 0 48 48",
          "icon.svg: root %s viewBox %r" % (root.tag, root.get("viewBox")))
    gradients = {g.get("id") for g in root.iter(svg + "linearGradient")}
    paints = []
    for element in root.iter():
        for attribute in ("fill", "stroke"):
            value = element.get(attribute)
            if value and value.startswith("url(#"):
                check(value[5:-1] in gradients, "icon.svg: %s refers to no gradient" % value)
            elif value and value != "none":
                paints.append(tuple(int(value[i:i + 2], 16) for i in (1, 3, 5)))
    check(any(is_yellow(*c) for c in paints) and any(is_red(*c) for c in paints),
          "icon.svg: no yellow folder or red tick among %r" % paints)


def check_cursor(assets):
    path = os.path.join(assets, "hand.cur")
    images = read_icon_file(open(path, "rb").read(), 2)
    if not check(len(images) == 1, "hand.cur: %d images, expected 1" % len(images)):
        return
    entry, info, rows = images[0]
    check((info["width"], info["height"]) == (32, 32), "hand.cur: size %dx%d"
          % (info["width"], info["height"]))
    check(info["bits"] == 1 and len(info["palette"]) == 2, "hand.cur: not 2 colours")
    check((entry["field1"], entry["field2"]) == (7, 0),
          "hand.cur: hot spot (%d, %d), expected (7, 0)" % (entry["field1"], entry["field2"]))
    listed = icotool_list(path)
    check(
        [(e.get("hotspot-x"), e.get("hotspot-y"), e.get("bit-depth")) for e in listed]
        == [("7", "0", "1")],
        "hand.cur: icotool -l reports %r" % listed,
    )

    # The tip of the index finger is the hot spot: the top row of the hand is row 0 and
    # its opaque run is centred on x 7.
    top_run = [x for x in range(32) if rows[0][x][3]]
    check(bool(top_run) and 7 in top_run and sum(top_run) == 7 * len(top_run),
          "hand.cur: the finger tip on row 0 covers %r, expected a run centred on 7" % top_run)
    # White hand, black outline: no white pixel touches a transparent one or the edge.
    colours = {px[:3] for row in rows for px in row if px[3]}
    check(colours == {(0, 0, 0), (255, 255, 255)}, "hand.cur: colours %r" % colours)
    for y in range(32):
        for x in range(32):
            if rows[y][x][3] and rows[y][x][:3] == (255, 255, 255):
                for nx, ny in ((x + 1, y), (x - 1, y), (x, y + 1), (x, y - 1)):
                    inside = 0 <= nx < 32 and 0 <= ny < 32 and rows[ny][nx][3]
                    check(inside, "hand.cur: white pixel (%d, %d) has no outline" % (x, y))
    white = sum(px[3] and px[0] == 255 for row in rows for px in row)
    check(white >= 150, "hand.cur: only %d white pixels" % white)
    # The finger rises alone above the other fingers: a narrow run for its first rows.
    for y in range(1, 6):
        run = [x for x in range(32) if rows[y][x][3]]
        check(run and min(run) <= 7 <= max(run) and len(run) <= 6,
              "hand.cur: row %d covers %r, not a single finger over x 7" % (y, run))
    check_png_matches(assets, "hand.png", rows)


def scaled(length, scale):
    return int(math.floor(length * scale + 0.5))


def check_repair(assets, name, scale):
    info, rows = read_bmp(open(os.path.join(assets, name), "rb").read())
    width, height = scaled(130, scale), scaled(44, scale)
    if not check((info["width"], info["height"], info["bits"]) == (width, height, 24),
                 "%s: %dx%d at %d bits" % (name, info["width"], info["height"], info["bits"])):
        return
    check(all(c == (255, 255, 255) for c in corners(rows)), name + ": corners not pure white")
    # The button is 117 px wide (at 100 %) and shows the middle of the picture: what it cuts off
    # (6.5 px each side) must be ground only.
    cut = math.ceil(6.5 * scale)
    sides = [rows[y][x] for y in range(height)
             for x in list(range(cut)) + list(range(width - cut, width))]
    check(all(c == (255, 255, 255) for c in sides), name + ": the cut-off sides are not white")
    check(white_reaches_border(rows),
          name + ": pure white inside the folder (it would show the button face)")
    ink = [(x, y) for y in range(height) for x in range(width) if rows[y][x] != (255, 255, 255)]
    if check(ink, name + ": blank"):
        xs, ys = [x for x, _ in ink], [y for _, y in ink]
        check(abs((min(xs) + max(xs)) - (width - 1)) <= 2
              and abs((min(ys) + max(ys)) - (height - 1)) <= 2,
              "%s: the folder is not in the middle (x %d..%d, y %d..%d)"
              % (name, min(xs), max(xs), min(ys), max(ys)))
    yellow = sum(is_yellow(*c) for row in rows for c in row)
    red = sum(is_red(*c) for row in rows for c in row)
    area = scale * scale
    check(yellow >= 300 * area and red >= 80 * area,
          "%s: %d yellow, %d red pixels" % (name, yellow, red))


def check_banner(assets, name, scale):
    info, rows = read_bmp(open(os.path.join(assets, name), "rb").read())
    width, height = scaled(94, scale), scaled(24, scale)
    if not check((info["width"], info["height"], info["bits"]) == (width, height, 24),
                 "%s: %dx%d at %d bits" % (name, info["width"], info["height"], info["bits"])):
        return
    check(all(is_pale_blue(*c) for c in corners(rows)), name + ": corners are not pale blue")
    ground = rows[0][0]
    check(all(c == ground for c in rows[0] + rows[-1]),
          name + ": top and bottom rows are not plain ground")
    blue = [(x, y) for y in range(height) for x in range(width) if rows[y][x] == (0, 0, 255)]
    check(len(blue) >= 150 * scale * scale, name + ": only %d pure blue pixels" % len(blue))
    # The name stands right of the emblem, the emblem at the left.
    emblem = [(x, y) for y in range(height) for x in range(width)
              if rows[y][x] != ground and rows[y][x] != (0, 0, 255)]
    if check(emblem, name + ": no emblem"):
        emblem_right = max(x for x, _ in emblem)
        check(emblem_right < 30 * scale, name + ": emblem reaches x %d" % emblem_right)
        check(all(x > emblem_right for x, _ in blue), name + ": name overlaps the emblem")
        # Soft corners: the corner of the emblem's box is lighter than its middle edge.
        x0 = min(x for x, _ in emblem)
        y0 = min(y for _, y in emblem)
        y1 = max(y for _, y in emblem)
        mid = (y0 + y1) // 2
        check(sum(rows[y0][x0]) > sum(rows[mid][x0]) + 60,
              name + ": the emblem's corner is not rounded")
    # Crisp letters: every pixel right of the emblem is either ground or pure blue.
    if emblem:
        stray = {rows[y][x] for y in range(height) for x in range(emblem_right + 1, width)} - {
            ground, (0, 0, 255)}
        check(not stray, name + ": blended pixels in the name: %r" % sorted(stray)[:5])


def check_generator(root, assets):
    """The generator is deterministic: a fresh run gives the committed bytes."""
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(
            [sys.executable, os.path.join(root, "tools", "make_pictures.py"), "--out", out],
            check=True, capture_output=True,
        )
        made = sorted(os.listdir(out))
        check(made == sorted(EXPECTED), "generator writes %r" % made)
        for name in made:
            fresh = open(os.path.join(out, name), "rb").read()
            path = os.path.join(assets, name)
            committed = open(path, "rb").read() if os.path.exists(path) else None
            check(fresh == committed, "%s: differs from a fresh run of the generator" % name)


# The two bitmaps at their design size and at 125, 150 and 200 percent.
SCALES = {"": 1.0, "-125": 1.25, "-150": 1.5, "-200": 2.0}
DESKTOP_ICON_SIZES = (24, 64, 128, 256)
EXPECTED = ["hand.cur", "hand.png", "icon.svg", "kestrova.ico"] + [
    "icon-%d.png" % size for size in (16, 32, 48) + DESKTOP_ICON_SIZES] + [
    "%s%s.bmp" % (picture, suffix) for picture in ("banner", "repair") for suffix in SCALES]
SIZE_LIMIT = 72 * 1024


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.join(here, os.pardir), help="source tree")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    assets = os.path.join(root, "assets")

    if shutil.which("icotool") is None:
        print("icotool (icoutils) is not installed", file=sys.stderr)
        return 1
    for name in EXPECTED:
        path = os.path.join(assets, name)
        if check(os.path.exists(path), name + ": missing"):
            size = os.path.getsize(path)
            check(0 < size <= SIZE_LIMIT, "%s: %d bytes" % (name, size))
    runs = [(check_icon, ()), (check_cursor, ()), (check_svg_icon, ())] + [
        (check_desktop_icon, (size,)) for size in DESKTOP_ICON_SIZES] + [
        (run, ("%s%s.bmp" % (picture, suffix), scale))
        for picture, run in (("repair", check_repair), ("banner", check_banner))
        for suffix, scale in SCALES.items()]
    for run, args in runs:
        try:
            run(assets, *args)
        except (FormatError, OSError, struct.error, zlib.error, IndexError,
                ElementTree.ParseError, ValueError) as error:
            failures.append("%s%r: %s" % (run.__name__, args, error))
    check_generator(root, assets)

    for failure in failures:
        print("FAIL", failure, file=sys.stderr)
    print("%d checks failed" % len(failures) if failures else "pictures: all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
