#!/usr/bin/env python3
"""Draws the tray's pictures reproducibly: the library's icon files and the PNG images of the
default GUI tree. Only the standard library is used, so a fresh build machine needs nothing else.

    make_art.py icons  OUTDIR   -> icon101.ico ... icon105.ico
    make_art.py images OUTDIR   -> the PNG files of the default skin
"""
import math
import os
import struct
import sys
import zlib

# ------------------------------------------------------------------ drawing

def blend(under, over):
    """Source-over of two straight-alpha RGBA colours (components 0..1)."""
    a = over[3] + under[3] * (1 - over[3])
    if a <= 0:
        return (0.0, 0.0, 0.0, 0.0)
    return tuple((over[i] * over[3] + under[i] * under[3] * (1 - over[3])) / a for i in range(3)) + (a,)


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def polyline(points, width):
    half = width / 2
    pairs = list(zip(points, points[1:]))
    return lambda x, y: any(segment_distance(x, y, a[0], a[1], b[0], b[1]) <= half for a, b in pairs)


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def triangle(p0, p1, p2):
    def side(a, b, x, y):
        return (b[0] - a[0]) * (y - a[1]) - (b[1] - a[1]) * (x - a[0])

    def inside(x, y):
        s0, s1, s2 = side(p0, p1, x, y), side(p1, p2, x, y), side(p2, p0, x, y)
        return (s0 >= 0 and s1 >= 0 and s2 >= 0) or (s0 <= 0 and s1 <= 0 and s2 <= 0)
    return inside


def shield(margin):
    """The product mark's outline: straight sides that run into a point at the bottom."""
    top, waist, bottom, half = 0.08 + margin, 0.48, 0.94 - margin, 0.36 - margin

    def inside(x, y):
        if y < top or y > bottom:
            return False
        if y <= waist:
            width = half
        else:
            width = half * (1 - ((y - waist) / (bottom - waist)) ** 1.5)
        return abs(x - 0.5) <= width
    return inside


def solid(rgba):
    return lambda x, y: rgba


def vertical_gradient(top, bottom):
    return lambda x, y: tuple(top[i] + (bottom[i] - top[i]) * y for i in range(4))


def exclamation(cx, top, bottom, width, colour):
    bar = rect(cx - width / 2, top, cx + width / 2, bottom - width * 1.6)
    dot = circle(cx, bottom - width / 2, width / 2)
    return [(bar, solid(colour)), (dot, solid(colour))]


BLUE_LIGHT = (0.33, 0.62, 0.95, 1.0)
BLUE_DARK = (0.07, 0.26, 0.62, 1.0)
NAVY = (0.04, 0.14, 0.36, 1.0)
WHITE = (1.0, 1.0, 1.0, 1.0)
RED = (0.86, 0.12, 0.12, 1.0)
GREEN = (0.14, 0.66, 0.22, 1.0)
YELLOW = (0.98, 0.80, 0.10, 1.0)
BLACK = (0.08, 0.08, 0.08, 1.0)


def product_mark():
    return [
        (shield(0.0), solid(NAVY)),
        (shield(0.05), vertical_gradient(BLUE_LIGHT, BLUE_DARK)),
        (polyline([(0.32, 0.30), (0.5, 0.70), (0.68, 0.30)], 0.11), solid(WHITE)),
    ]


def badge():
    return [(circle(0.72, 0.72, 0.27), solid(WHITE)),
            (circle(0.72, 0.72, 0.23), solid(RED))] + exclamation(0.72, 0.56, 0.88, 0.075, WHITE)


def check_mark():
    return [(polyline([(0.18, 0.55), (0.42, 0.78), (0.84, 0.26)], 0.24), solid((0.05, 0.35, 0.10, 1.0))),
            (polyline([(0.18, 0.55), (0.42, 0.78), (0.84, 0.26)], 0.15), solid(GREEN))]


def warning_triangle():
    return [(triangle((0.5, 0.04), (0.97, 0.92), (0.03, 0.92)), solid((0.45, 0.33, 0.0, 1.0))),
            (triangle((0.5, 0.13), (0.89, 0.87), (0.11, 0.87)), solid(YELLOW))] + \
        exclamation(0.5, 0.34, 0.82, 0.1, BLACK)


def chevron(down, colour):
    points = [(0.25, 0.38), (0.5, 0.63), (0.75, 0.38)] if down else [(0.25, 0.62), (0.5, 0.37), (0.75, 0.62)]
    return [(circle(0.5, 0.5, 0.47), solid(colour)), (polyline(points, 0.13), solid(WHITE))]


def render(layers, width, height=None, background=(0.0, 0.0, 0.0, 0.0), square=True):
    """Rows of RGBA byte tuples, top row first. Shapes use the unit square (of the height when
    the picture is wider than high, centred) with 3 x 3 or 2 x 2 supersampling."""
    height = height or width
    unit = min(width, height) if square else None
    offset_x = (width - height) / 2 if square and width > height else 0
    grid = 3 if max(width, height) <= 64 else 2
    rows = []
    for py in range(height):
        row = []
        for px in range(width):
            total = [0.0, 0.0, 0.0, 0.0]
            for sy in range(grid):
                for sx in range(grid):
                    fx, fy = px + (sx + 0.5) / grid, py + (sy + 0.5) / grid
                    if square:
                        x, y = (fx - offset_x) / unit, fy / unit
                    else:
                        x, y = fx / width, fy / height
                    colour = background(fx / width, fy / height) if callable(background) else background
                    for inside, paint in layers:
                        if inside(x, y):
                            colour = blend(colour, paint(x, y))
                    for i in range(3):
                        total[i] += colour[i] * colour[3]
                    total[3] += colour[3]
            alpha = total[3] / (grid * grid)
            if total[3] > 0:
                rgb = [total[i] / total[3] for i in range(3)]
            else:
                rgb = [0.0, 0.0, 0.0]
            row.append(tuple(int(round(max(0.0, min(1.0, c)) * 255)) for c in rgb + [alpha]))
        rows.append(row)
    return rows

# ------------------------------------------------------------------ files

def png_bytes(rows):
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\x00" + bytes(c for pixel in row for c in pixel) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def palette_256():
    """A 6 x 6 x 6 colour cube and a ramp of 40 greys."""
    colours = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    colours += [(int(i * 255 / 39),) * 3 for i in range(40)]
    return colours


def nearest(palette, rgb, cache):
    if rgb not in cache:
        cache[rgb] = min(range(len(palette)),
                         key=lambda i: sum((palette[i][k] - rgb[k]) ** 2 for k in range(3)))
    return cache[rgb]


def and_mask(rows):
    stride = ((len(rows[0]) + 31) // 32) * 4
    out = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, pixel in enumerate(row):
            if pixel[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bytes(bits)
    return out


def dib_bytes(rows, bpp):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, 256 if bpp == 8 else 0, 0)
    if bpp == 32:
        pixels = b"".join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(rows) for p in row)
        return header + pixels + and_mask(rows)
    palette = palette_256()
    cache = {}
    table = b"".join(bytes((c[2], c[1], c[0], 0)) for c in palette)
    stride = ((size + 3) // 4) * 4
    pixels = b""
    for row in reversed(rows):
        indices = bytes(nearest(palette, p[:3], cache) if p[3] >= 128 else 0 for p in row)
        pixels += indices + bytes(stride - size)
    return header + table + pixels + and_mask(rows)


def ico_bytes(images):
    """images: list of (size, bpp, rows)."""
    blobs = [dib_bytes(rows, bpp) for size, bpp, rows in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, bpp, _), blob in zip(images, blobs):
        colours = 0
        out += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bpp, len(blob), offset)
        offset += len(blob)
    return out + b"".join(blobs)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)

# ------------------------------------------------------------------ the pictures

def make_icons(folder):
    big_sizes = [16, 24, 32, 48, 64, 96, 128, 192, 256]
    mark = product_mark()
    mark_with_badge = mark + badge()
    renders = {}

    def picture(layers_name, layers, size):
        key = (layers_name, size)
        if key not in renders:
            renders[key] = render(layers, size)
        return renders[key]

    write(os.path.join(folder, "icon101.ico"),
          ico_bytes([(s, 32, picture("mark", mark, s)) for s in big_sizes]))
    write(os.path.join(folder, "icon103.ico"),
          ico_bytes([(s, 32, picture("badge", mark_with_badge, s)) for s in big_sizes if s != 48]))
    for name, layers in (("icon102.ico", mark_with_badge), ("icon104.ico", check_mark()),
                         ("icon105.ico", warning_triangle())):
        images = []
        for size in (48, 32, 16):
            rows = picture(name, layers, size)
            images += [(size, 8, rows), (size, 32, rows)]
        write(os.path.join(folder, name), ico_bytes(images))


def horizontal_gradient(left, right):
    return lambda x, y: tuple(left[i] + (right[i] - left[i]) * x for i in range(4))


def placed(layers, left, top, size, width, height):
    """Layers drawn in the unit square moved to a size x size square at (left, top) of a picture
    rendered with square=False (whose coordinates are fractions of its width and height)."""
    def move(function):
        return lambda x, y: function((x * width - left) / size, (y * height - top) / size)
    return [(move(inside), move(paint)) for inside, paint in layers]


# The splash picture. The library draws two texts over it, laid out for this picture's pixels:
# the product name in the box x 213..441, y 101..194 and the copyright line in x 19..451,
# y 257..281, both in black; so both boxes stand on a light ground, and the mark stays left of
# the name.
SPLASH_WIDTH, SPLASH_HEIGHT = 470, 300


def splash():
    w, h = SPLASH_WIDTH, SPLASH_HEIGHT
    ground = vertical_gradient((1.0, 1.0, 1.0, 1.0), (0.87, 0.92, 0.99, 1.0))
    top_band = (rect(0, 0, 1, 12 / h), horizontal_gradient(BLUE_DARK, BLUE_LIGHT))
    rule = (rect(19 / w, 244 / h, 451 / w, 246 / h), solid((0.70, 0.78, 0.90, 1.0)))
    mark = placed(product_mark(), 22, 48, 184, w, h)
    return render([top_band, rule] + mark, w, h, background=ground, square=False)


def make_images(folder):
    os.makedirs(folder, exist_ok=True)
    pictures = {
        "tray_menu_okay.png": render(product_mark(), 16),
        "tray_menu_okay1.png": render(check_mark(), 16),
        "tray_menu_issue.png": render(warning_triangle(), 16),
        "system_status_ok_medium.png": render(check_mark(), 32),
        "system_status_warning_medium.png": render(warning_triangle(), 32),
        "system_status_error_medium.png": render([(circle(0.5, 0.5, 0.46), solid(RED))] +
                                                 exclamation(0.5, 0.2, 0.8, 0.13, WHITE), 32),
        "details_open_normal.png": render(chevron(True, BLUE_DARK), 16),
        "details_open_pressed.png": render(chevron(True, NAVY), 16),
        "details_close_normal.png": render(chevron(False, BLUE_DARK), 16),
        "details_close_pressed.png": render(chevron(False, NAVY), 16),
        "gradated_background.png": render([], 420, 110, background=horizontal_gradient(
            NAVY, BLUE_DARK), square=False),
        "gradated_background_with_zerova_logo.png": render(product_mark(), 320, 64, background=horizontal_gradient(
            BLUE_DARK, BLUE_LIGHT)),
        "splash.png": splash(),
        "advisory_info.png": render([], 190, 90, background=vertical_gradient(
            (0.93, 0.96, 1.0, 1.0), (0.80, 0.88, 0.98, 1.0)), square=False),
        "advisory_warning.png": render([], 190, 90, background=vertical_gradient(
            (1.0, 0.98, 0.90, 1.0), (0.98, 0.90, 0.65, 1.0)), square=False),
        "advisory_error.png": render([], 190, 90, background=vertical_gradient(
            (1.0, 0.94, 0.94, 1.0), (0.96, 0.78, 0.78, 1.0)), square=False),
    }
    for name, rows in pictures.items():
        write(os.path.join(folder, name), png_bytes(rows))


def main(argv):
    if len(argv) != 3 or argv[1] not in ("icons", "images"):
        sys.stderr.write(__doc__)
        return 2
    os.makedirs(argv[2], exist_ok=True)
    (make_icons if argv[1] == "icons" else make_images)(argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
