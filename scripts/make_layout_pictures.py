#!/usr/bin/env python3
"""Draws the pictures of the shipped page layouts and writes them as PNG files.

Two pictures, drawn entirely by code so that nobody has to keep artwork files in step by hand:

  * wizard_side.png, 164 x 375, opaque: the band at the left of the welcome and finish pages.
    A deep blue to teal gradient with soft circles, a few thin rings, a dot grid and a
    stylised package (an isometric box with a tape strip) floating in a soft glow.
  * wizard_header.png, 48 x 48 with alpha: the icon at the right of the inner pages' header
    band. The same box on a rounded square of the same gradient, with a soft shadow so that it
    sits on the white band.

Both go into layout/default and layout/default-uninstall. The builder packs every file of a
layout folder into the setup, so the page files refer to them by these names.

Shapes are described by signed distance functions (negative inside, in pixels) and filled with
a one-pixel ramp across the edge, which gives clean anti-aliasing without supersampling. Only
basic arithmetic and sqrt touch floats, so the pixels come out the same on every machine; the PNG
bytes also depend on the zlib that compresses them, which is why --check compares pixels.

Usage:
  make_layout_pictures.py             write the pictures into both layout folders
  make_layout_pictures.py --check     exit 1 when a checked-in picture differs from the drawing
  make_layout_pictures.py --mock DIR  also render rough mock-ups of the pages into DIR (the
                                      pictures plus grey boxes where texts and fields go)

Python 3 standard library only.
"""

import argparse
import math
import os
import struct
import sys
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAYOUT_DIRS = ("layout/default", "layout/default-uninstall")
SIDE_NAME = "wizard_side.png"
HEADER_NAME = "wizard_header.png"
SIDE_SIZE = (164, 375)
HEADER_SIZE = (48, 48)

# The palette: the gradient's stops from top to bottom, and the faces of the box.
NAVY = (10, 34, 82)
BLUE = (16, 78, 136)
TEAL = (12, 126, 132)
BOX_TOP = (242, 248, 252)
BOX_LEFT = ((206, 228, 240), (178, 210, 228))
BOX_RIGHT = ((138, 184, 210), (112, 160, 192))
TAPE = ((118, 214, 214), (62, 150, 164))  # on the top and on the right face
WHITE = (255, 255, 255)
BLACK = (0, 0, 0)


# ---------------------------------------------------------------------------- canvas

def clamp01(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def mix(a, b, t):
    return tuple(a[k] + (b[k] - a[k]) * t for k in range(3))


def distance(dx, dy):
    # sqrt is exactly rounded everywhere; math.hypot's algorithm differs between Python versions.
    return math.sqrt(dx * dx + dy * dy)


def smoothstep(t):
    t = clamp01(t)
    return t * t * (3.0 - 2.0 * t)


class Canvas:
    """RGBA pixels with straight (not premultiplied) alpha; colours 0..255 as floats."""

    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.pixels = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]

    def blend(self, x, y, colour, alpha):
        """Lays colour with the given opacity over the pixel (the "over" operator)."""
        if alpha <= 0.0:
            return
        p = self.pixels[y * self.width + x]
        below = p[3] * (1.0 - alpha)
        out = alpha + below
        for k in range(3):
            p[k] = (colour[k] * alpha + p[k] * below) / out
        p[3] = out

    def fill(self, sdf, box, paint, opacity=1.0, soft=1.0):
        """Fills the shape whose signed distance is sdf(x, y) inside box = (x0, y0, x1, y1).

        The edge ramps over `soft` pixels: 1 is a crisp anti-aliased edge, more is a feather.
        `paint` is a colour or a function of (x, y) giving one.
        """
        x0, y0, x1, y1 = box
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.width, int(x1) + 1), min(self.height, int(y1) + 1)
        for y in range(y0, y1):
            cy = y + 0.5
            for x in range(x0, x1):
                cx = x + 0.5
                cover = clamp01(0.5 - sdf(cx, cy) / soft)
                if cover > 0.0:
                    if soft > 1.0:
                        cover = smoothstep(cover)
                    colour = paint(cx, cy) if callable(paint) else paint
                    self.blend(x, y, colour, cover * opacity)

    def glow(self, cx, cy, rx, ry, colour, opacity):
        """An elliptic blob that fades from the centre to nothing at the radii (glows, shadows)."""
        x0, y0 = max(0, int(cx - rx)), max(0, int(cy - ry))
        x1, y1 = min(self.width, int(cx + rx) + 1), min(self.height, int(cy + ry) + 1)
        for y in range(y0, y1):
            for x in range(x0, x1):
                dx, dy = (x + 0.5 - cx) / rx, (y + 0.5 - cy) / ry
                self.blend(x, y, colour, opacity * (1.0 - smoothstep(distance(dx, dy))))

    def rgb_rows(self):
        """8-bit rows, 3 bytes per pixel (alpha must be 1 everywhere)."""
        return self._rows(3)

    def rgba_rows(self):
        return self._rows(4)

    def _rows(self, channels):
        rows = []
        for y in range(self.height):
            row = bytearray()
            for p in self.pixels[y * self.width:(y + 1) * self.width]:
                for k in range(channels):
                    row.append(int(clamp01(p[k] / 255.0 if k < 3 else p[k]) * 255.0 + 0.5))
            rows.append(bytes(row))
        return rows


# ---------------------------------------------------------------------------- shapes

def circle(cx, cy, r):
    def sdf(x, y):
        return distance(x - cx, y - cy) - r
    return sdf, (cx - r - 2, cy - r - 2, cx + r + 2, cy + r + 2)


def ring(cx, cy, r, thickness):
    def sdf(x, y):
        return abs(distance(x - cx, y - cy) - r) - thickness / 2.0
    reach = r + thickness + 2
    return sdf, (cx - reach, cy - reach, cx + reach, cy + reach)


def rounded_rect(x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r

    def sdf(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = distance(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - r
    return sdf, (x0 - 6, y0 - 6, x1 + 6, y1 + 6)


def polygon(points):
    """A convex polygon: the largest signed distance to its edge lines (exact inside)."""
    n = len(points)
    area = sum(points[i][0] * points[(i + 1) % n][1] - points[(i + 1) % n][0] * points[i][1] for i in range(n))
    sign = 1.0 if area > 0 else -1.0
    edges = []
    for i in range(n):
        (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
        length = distance(bx - ax, by - ay)
        # Outward normal of edge a->b for the polygon's winding.
        nx, ny = sign * (by - ay) / length, -sign * (bx - ax) / length
        edges.append((nx, ny, nx * ax + ny * ay))

    def sdf(x, y):
        return max(nx * x + ny * y - c for nx, ny, c in edges)
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    return sdf, (min(xs) - 2, min(ys) - 2, max(xs) + 2, max(ys) + 2)


def segment(ax, ay, bx, by, thickness):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy

    def sdf(x, y):
        t = clamp01(((x - ax) * dx + (y - ay) * dy) / length2)
        px, py = ax + t * dx - x, ay + t * dy - y
        return distance(px, py) - thickness / 2.0
    return sdf, (min(ax, bx) - thickness - 2, min(ay, by) - thickness - 2,
                 max(ax, bx) + thickness + 2, max(ay, by) + thickness + 2)


def vertical(top, bottom, y0, y1):
    """A paint that runs from one colour at y0 to another at y1."""
    def paint(x, y):
        return mix(top, bottom, clamp01((y - y0) / (y1 - y0)))
    return paint


def lerp_point(a, b, t):
    return (a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t)


def draw_box(canvas, cx, top, half_width, height, edge_light=0.55):
    """The package: an isometric box seen from above, tape along its top and down its right face.

    The top face is a rhombus half as tall as it is wide; the two side faces hang below it.
    """
    w = half_width
    t = (cx, top)
    r = (cx + w, top + w / 2.0)
    b = (cx, top + w)
    l = (cx - w, top + w / 2.0)

    def down(p):
        return (p[0], p[1] + height)

    canvas.fill(*polygon([l, b, down(b), down(l)]), vertical(*BOX_LEFT, b[1], down(l)[1]))
    canvas.fill(*polygon([b, r, down(r), down(b)]), vertical(*BOX_RIGHT, b[1], down(r)[1]))
    canvas.fill(*polygon([t, r, b, l]), BOX_TOP)

    # The tape crosses the top from the back-left edge to the front-right edge, then runs down.
    lo, hi = 0.38, 0.62
    canvas.fill(*polygon([lerp_point(l, t, lo), lerp_point(l, t, hi), lerp_point(b, r, hi), lerp_point(b, r, lo)]),
                TAPE[0])
    front = [lerp_point(b, r, lo), lerp_point(b, r, hi)]
    canvas.fill(*polygon([front[0], front[1], down(front[1]), down(front[0])]), TAPE[1])

    # A light front edge and top rim lift the box off the background.
    thin = max(0.8, w / 40.0)
    canvas.fill(*segment(*b, *down(b), thin), WHITE, edge_light)
    canvas.fill(*segment(*l, *b, thin), WHITE, edge_light)
    canvas.fill(*segment(*b, *r, thin), WHITE, edge_light)


# ---------------------------------------------------------------------------- pictures

def gradient_paint(width, height, tilt):
    """The background: navy at the top through blue to teal at the bottom, slightly tilted."""
    def paint(x, y):
        t = clamp01((y + tilt * (x - width / 2.0)) / (height - 1))
        return mix(NAVY, BLUE, t / 0.5) if t < 0.5 else mix(BLUE, TEAL, (t - 0.5) / 0.5)
    return paint


def draw_side():
    width, height = SIDE_SIZE
    c = Canvas(width, height)
    background = gradient_paint(width, height, 0.35)
    for y in range(height):
        for x in range(width):
            c.blend(x, y, background(x + 0.5, y + 0.5), 1.0)

    # Large soft discs and thin rings, cut by the picture's edges.
    c.fill(*circle(150, 26, 112), WHITE, 0.055, soft=2.0)
    c.fill(*circle(8, 338, 96), WHITE, 0.05, soft=2.0)
    c.fill(*circle(160, 318, 46), WHITE, 0.035, soft=2.0)
    c.fill(*ring(128, 64, 74, 1.2), WHITE, 0.12)
    c.fill(*ring(34, 316, 58, 1.0), WHITE, 0.10)
    c.fill(*ring(34, 316, 70, 0.8), WHITE, 0.05)

    # A small dot grid at the top left.
    for row in range(4):
        for col in range(5):
            c.fill(*circle(18 + col * 9, 20 + row * 9, 1.3), WHITE, 0.22)

    # The package, in a glow, over a soft shadow.
    c.glow(82, 166, 100, 100, WHITE, 0.22)
    c.glow(84, 224, 64, 13, BLACK, 0.30)
    draw_box(c, 82, 104, 52, 58)
    return c


def draw_header():
    width, height = HEADER_SIZE
    c = Canvas(width, height)
    c.fill(*rounded_rect(5, 7, 44, 46, 10), BLACK, 0.22, soft=4.0)
    background = gradient_paint(42, 42, 0.6)
    c.fill(*rounded_rect(4, 3, 44, 43, 9), lambda x, y: background(x - 3, y - 3))
    c.glow(24, 22, 20, 20, WHITE, 0.18)
    draw_box(c, 24, 10.5, 13, 14, edge_light=0.6)
    return c


# ---------------------------------------------------------------------------- PNG

def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_row(kind, row, prior, bpp):
    out = bytearray(len(row))
    for i, v in enumerate(row):
        a = row[i - bpp] if i >= bpp else 0
        b = prior[i]
        c = prior[i - bpp] if i >= bpp else 0
        predictor = (0, a, b, (a + b) // 2, paeth(a, b, c))[kind]
        out[i] = (v - predictor) & 0xFF
    return bytes(out)


def unfilter_row(kind, row, prior, bpp):
    out = bytearray(len(row))
    for i, v in enumerate(row):
        a = out[i - bpp] if i >= bpp else 0
        b = prior[i]
        c = prior[i - bpp] if i >= bpp else 0
        predictor = (0, a, b, (a + b) // 2, paeth(a, b, c))[kind]
        out[i] = (v + predictor) & 0xFF
    return bytes(out)


def encode_png(width, height, rows, alpha, filtered=True):
    """A PNG of 8-bit RGB or RGBA rows; each row takes the filter that leaves the smallest sum.

    Unfiltered (filtered=False) is much quicker and good enough for throw-away mock-ups.
    """
    bpp = 4 if alpha else 3
    prior = bytes(width * bpp)
    raw = bytearray()
    for row in rows:
        candidates = [filter_row(kind, row, prior, bpp) for kind in range(5)] if filtered else [row]
        costs = [sum(v if v < 128 else 256 - v for v in f) for f in candidates]
        kind = costs.index(min(costs))
        raw.append(kind)
        raw += candidates[kind]
        prior = row
    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + png_chunk(b"IDAT", zlib.compress(bytes(raw), 9)) +
            png_chunk(b"IEND", b""))


def decode_png(data):
    """(width, height, alpha, rows) of an 8-bit RGB or RGBA PNG as encode_png writes them."""
    if not data.startswith(b"\x89PNG\r\n\x1a\n"):
        raise ValueError("not a PNG file")
    pos, idat, header = 8, bytearray(), None
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    if header is None or header[2] != 8 or header[3] not in (2, 6) or header[6] != 0:
        raise ValueError("not an 8-bit non-interlaced RGB or RGBA PNG")
    width, height, alpha = header[0], header[1], header[3] == 6
    bpp = 4 if alpha else 3
    raw = zlib.decompress(bytes(idat))
    stride = width * bpp + 1
    if len(raw) != stride * height:
        raise ValueError("image data of the wrong size")
    rows, prior = [], bytes(width * bpp)
    for y in range(height):
        line = raw[y * stride:(y + 1) * stride]
        prior = unfilter_row(line[0], line[1:], prior, bpp)
        rows.append(prior)
    return width, height, alpha, rows


# ---------------------------------------------------------------------------- mock-ups

BUTTON_ROW = 47  # the Back/Next/Cancel row under the content area, not part of any layout
GREY_TEXT, GREY_BOLD, FRAME = (170, 170, 170), (120, 120, 120), (122, 122, 122)


def windows_colour(value, default):
    """An RGB tuple from a page file's colour ($BBGGRR or decimal), or the default."""
    try:
        n = int(value[1:], 16) if value.startswith("$") else int(value)
    except ValueError:
        return default
    return (n & 0xFF, (n >> 8) & 0xFF, (n >> 16) & 0xFF)


def fill_rect(canvas, x0, y0, x1, y1, colour, opacity=1.0):
    x0, y0, x1, y1 = max(0, x0), max(0, y0), min(canvas.width, x1), min(canvas.height, y1)
    for y in range(y0, y1):
        for x in range(x0, x1):
            if opacity >= 1.0:
                canvas.pixels[y * canvas.width + x] = [float(colour[0]), float(colour[1]), float(colour[2]), 1.0]
            else:
                canvas.blend(x, y, colour, opacity)


def frame_rect(canvas, x0, y0, x1, y1, colour, opacity=1.0):
    fill_rect(canvas, x0, y0, x1, y0 + 1, colour, opacity)
    fill_rect(canvas, x0, y1 - 1, x1, y1, colour, opacity)
    fill_rect(canvas, x0, y0 + 1, x0 + 1, y1 - 1, colour, opacity)
    fill_rect(canvas, x1 - 1, y0 + 1, x1, y1 - 1, colour, opacity)


def paste(canvas, left, top, picture):
    width, height, alpha, rows = picture
    bpp = 4 if alpha else 3
    for y in range(max(0, -top), min(height, canvas.height - top)):
        row = rows[y]
        for x in range(max(0, -left), min(width, canvas.width - left)):
            p = row[x * bpp:(x + 1) * bpp]
            canvas.blend(left + x, top + y, p[:3], p[3] / 255.0 if alpha else 1.0)


def render_page(fit, page, background, strings, drawn, folder):
    """A mock-up of one page: pictures as they are, texts as grey bars of their estimated lines."""
    c = Canvas(fit.CONTENT_WIDTH, fit.CONTENT_HEIGHT + BUTTON_ROW)
    fill_rect(c, 0, 0, c.width, fit.CONTENT_HEIGHT, WHITE)
    fill_rect(c, 0, fit.CONTENT_HEIGHT, c.width, c.height, (240, 240, 240))
    fill_rect(c, 0, fit.CONTENT_HEIGHT, c.width, fit.CONTENT_HEIGHT + 1, (160, 160, 160))
    for right in (c.width - 11, c.width - 97, c.width - 172):
        fill_rect(c, right - 75, fit.CONTENT_HEIGHT + 12, right, fit.CONTENT_HEIGHT + 35, (225, 225, 225))
        frame_rect(c, right - 75, fit.CONTENT_HEIGHT + 12, right, fit.CONTENT_HEIGHT + 35, (173, 173, 173))
    controls = background + page.controls
    for control in controls:  # pictures lie under everything else
        entry = control.props.get("file", "")
        if control.kind != "timage" or not entry:
            continue
        picture = drawn.get(entry)
        if picture is None and fit.find_file(folder, entry):
            with open(fit.find_file(folder, entry), "rb") as f:
                picture = decode_png(f.read())
        if picture:
            paste(c, control.integer("left"), control.integer("top"), picture)
    for control in controls:
        x0, y0, x1, y1 = control.rect
        if control.kind == "tbevel":
            fill_rect(c, x0, y0, x1, y0 + 1, (160, 160, 160))
            fill_rect(c, x0, y0 + 1, x1, y0 + 2, WHITE)
        elif control.kind in ("tedit", "tshelltreeview", "trichedit", "tmemo"):
            fill_rect(c, x0, y0, x1, y1, WHITE)
            frame_rect(c, x0, y0, x1, y1, FRAME)
        elif control.kind == "tprogressbar":
            fill_rect(c, x0, y0, x1, y1, windows_colour(control.props.get("backcolour", "$FFFFFF"), WHITE))
            fill_rect(c, x0, y0, x0 + (x1 - x0) * 45 // 100, y1,
                      windows_colour(control.props.get("forecolour", "$000000"), BLACK))
        elif control.kind in ("tlabel", "tradio"):
            frame_rect(c, x0, y0, x1, y1, (120, 170, 230), 0.35)
            em, bold = fit.font_of(control)
            texts = fit.label_texts(control)
            if not texts:
                continue
            lines, _ = fit.wrap(fit.expand(texts[0], strings), x1 - x0, em, bold, control.boolean("wordwrap"))
            step = fit.line_height(em)
            for i, line in enumerate(lines):
                width = int(fit.text_width(line, em, bold))
                top = y0 + i * step + step // 4
                if width:
                    fill_rect(c, x0, top, min(x1, x0 + width), top + max(2, step // 2),
                              GREY_BOLD if bold else GREY_TEXT)
    return c


def render_mocks(drawn, out_dir):
    sys.path.insert(0, os.path.join(ROOT, "tests", "tools"))
    import check_layout_fit as fit

    os.makedirs(out_dir, exist_ok=True)
    languages = fit.read_languages(os.path.join(ROOT, "languages"))
    for folder in LAYOUT_DIRS:
        path = os.path.join(ROOT, folder)
        pages = fit.read_layout(path, lambda place, message: print(f"{place}: {message}"))
        background = [c for p in pages if p.type == "mainlayout" for c in p.controls]
        for page in pages:
            if page.type == "mainlayout":
                continue
            for language in ("English", "German"):
                c = render_page(fit, page, background, languages.get(language, {}), drawn, path)
                name = f"{os.path.basename(folder)}-{os.path.splitext(page.file_name)[0]}-{language}.png"
                with open(os.path.join(out_dir, name), "wb") as f:
                    f.write(encode_png(c.width, c.height, c.rgb_rows(), False, filtered=False))
                print(f"mock-up {os.path.join(out_dir, name)}")


# ---------------------------------------------------------------------------- main

def pictures():
    """{file name: (width, height, alpha, rows)} of every picture the layouts use."""
    side, header = draw_side(), draw_header()
    return {
        SIDE_NAME: (side.width, side.height, False, side.rgb_rows()),
        HEADER_NAME: (header.width, header.height, True, header.rgba_rows()),
    }


def write(drawn):
    for folder in LAYOUT_DIRS:
        for name, (width, height, alpha, rows) in drawn.items():
            path = os.path.join(ROOT, folder, name)
            data = encode_png(width, height, rows, alpha)
            with open(path, "wb") as f:
                f.write(data)
            print(f"{os.path.relpath(path, ROOT)}: {width} x {height}, {len(data)} bytes")


def check(drawn):
    """0 when every picture in both folders holds exactly the drawn pixels."""
    faults = 0
    for folder in LAYOUT_DIRS:
        for name, picture in drawn.items():
            path = os.path.join(folder, name)
            try:
                with open(os.path.join(ROOT, path), "rb") as f:
                    stored = decode_png(f.read())
            except (OSError, ValueError, zlib.error) as e:
                print(f"{path}: cannot read: {e}")
                faults += 1
                continue
            if stored != picture:
                print(f"{path}: differs from what the script draws; run it to redraw")
                faults += 1
            else:
                print(f"{path}: ok")
    return 1 if faults else 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    parser.add_argument("--mock", metavar="DIR", help="also render page mock-ups into DIR")
    args = parser.parse_args(argv[1:])
    drawn = pictures()
    status = check(drawn) if args.check else (write(drawn) or 0)
    if args.mock:
        render_mocks(drawn, args.mock)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
