#!/usr/bin/env python3
"""Draws Vantorel's icons: a monitor whose screen is empty but for a fading, dashed taskbar strip
and a downward chevron -- the desktop kept clear, the bar sliding away.

Writes (paths relative to the project root):
  src/tray/tray_icon.ico       one 64 x 64 32-bit image with an AND mask (the notification-area icon)
  src/platform/native/app.ico  16, 32 and 48 as 32-bit images with AND masks, 256 as PNG (the executable)
  docs/icon.png                the tray picture, 64 x 64
  docs/icon-large.png          the same picture drawn at 256 x 256

Standard library only. Every size is drawn from the shapes below with a small supersampling
rasteriser; the output is deterministic, byte for byte.

  python3 tools/make_icons.py           write the files and print their sizes
  python3 tools/make_icons.py --check   parse the files back, verify every field, compare with a fresh
                                        drawing; exits non-zero on any mismatch
"""

import os
import struct
import sys
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TRAY_ICO = os.path.join(ROOT, "src", "tray", "tray_icon.ico")
APP_ICO = os.path.join(ROOT, "src", "platform", "native", "app.ico")
PREVIEW_PNG = os.path.join(ROOT, "docs", "icon.png")
PREVIEW_LARGE_PNG = os.path.join(ROOT, "docs", "icon-large.png")

TRAY_SIZE = 64
TRAY_ICO_BYTES = 16958
APP_SIZES = (16, 32, 48, 256)
PNG_ENTRY_FROM = 256  # entries this large are stored as PNG inside the .ico

# ---------------------------------------------------------------------------------------------
# Colours (sRGB, 0..255)

RIM = (20, 40, 62)              # the dark outline of the case and the stand
CASE_TOP = (246, 249, 251)      # the light case, top to bottom
CASE_BOTTOM = (203, 214, 224)
SCREEN_TOP = (36, 150, 172)     # the screen: teal at the top, deep blue at the bottom
SCREEN_BOTTOM = (13, 52, 100)
GLARE = (255, 255, 255)
CHEVRON = (255, 255, 255)
STRIP = (178, 228, 240)         # the taskbar strip that slides away
STAND_SHADE = (172, 186, 200)   # the neck of the stand, in the shadow of the case

# ---------------------------------------------------------------------------------------------
# Paints: (x, y) -> (r, g, b, a), colour 0..255, alpha 0..1


def solid(colour, alpha=1.0):
    value = (colour[0], colour[1], colour[2], alpha)
    return lambda x, y: value


def vertical(y0, c0, y1, c1, alpha=1.0):
    span = (y1 - y0) or 1.0

    def paint(x, y):
        t = min(1.0, max(0.0, (y - y0) / span))
        return (c0[0] + (c1[0] - c0[0]) * t, c0[1] + (c1[1] - c0[1]) * t, c0[2] + (c1[2] - c0[2]) * t, alpha)

    return paint


def horizontal_fade(x0, a0, x1, a1, colour, power=1.0):
    """Alpha from a0 at x0 to a1 at x1, eased by power (above 1: fades out early)."""
    span = (x1 - x0) or 1.0

    def paint(x, y):
        t = min(1.0, max(0.0, (x - x0) / span))
        return (colour[0], colour[1], colour[2], a1 + (a0 - a1) * (1.0 - t) ** power)

    return paint


# ---------------------------------------------------------------------------------------------
# Shapes: a bounding box and an inside test, coordinates in pixels of the target size


class RoundRect:
    def __init__(self, x0, y0, x1, y1, radius, paint, clip=None):
        self.x0, self.y0, self.x1, self.y1 = x0, y0, x1, y1
        self.r = max(0.0, min(radius, (x1 - x0) / 2.0, (y1 - y0) / 2.0))
        self.paint, self.clip = paint, clip
        self.box = (x0, y0, x1, y1)

    def contains(self, x, y):
        if x < self.x0 or x >= self.x1 or y < self.y0 or y >= self.y1:
            return False
        r = self.r
        cx = min(max(x, self.x0 + r), self.x1 - r)
        cy = min(max(y, self.y0 + r), self.y1 - r)
        dx, dy = x - cx, y - cy
        return dx * dx + dy * dy <= r * r


class Stroke:
    """A polyline of the given width with round caps and joins."""

    def __init__(self, points, width, paint, clip=None):
        self.points, self.half = points, width / 2.0
        self.paint, self.clip = paint, clip
        xs, ys = [p[0] for p in points], [p[1] for p in points]
        h = self.half
        self.box = (min(xs) - h, min(ys) - h, max(xs) + h, max(ys) + h)
        self.segments = list(zip(points, points[1:]))

    def contains(self, x, y):
        limit = self.half * self.half
        for (ax, ay), (bx, by) in self.segments:
            vx, vy = bx - ax, by - ay
            length = vx * vx + vy * vy
            t = 0.0 if length == 0 else max(0.0, min(1.0, ((x - ax) * vx + (y - ay) * vy) / length))
            dx, dy = x - (ax + vx * t), y - (ay + vy * t)
            if dx * dx + dy * dy <= limit:
                return True
        return False


class Polygon:
    def __init__(self, points, paint, clip=None):
        self.points, self.paint, self.clip = points, paint, clip
        xs, ys = [p[0] for p in points], [p[1] for p in points]
        self.box = (min(xs), min(ys), max(xs), max(ys))

    def contains(self, x, y):
        inside = False
        pts = self.points
        j = len(pts) - 1
        for i in range(len(pts)):
            xi, yi = pts[i]
            xj, yj = pts[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                inside = not inside
            j = i
        return inside


# ---------------------------------------------------------------------------------------------
# The picture


def rim_width(size):
    """The dark outline in pixels: one pixel of the 16 x 16 grid up to 64 px, lighter above."""
    if size <= 64:
        return size / 16.0
    return 4.0 + (size - 64) * (5.0 / 192.0)  # 9 px at 256


def scene(size):
    """The shapes of the picture at one size, back to front.

    The layout lives on a 16 x 16 grid (one unit is size / 16 pixels) so that the main edges fall on
    whole pixels at 16 px and on 4-pixel blocks at 64 px: a 64 px picture that Windows shrinks to
    16 px, by averaging or by picking pixels, keeps the same clean edges as the 16 px drawing.
    The smallest size gets pixel-exact details; the larger ones rounder corners, a glare and a recess.
    """
    k = size / 16.0
    small = size <= 16

    def u(v):
        return v * k

    rim = rim_width(size)
    shapes = []
    # The stand, behind the case: a neck widening into a base, one light shape with a dark outline.
    base = (u(3), u(13), u(13), u(15))
    base_top = base[1] if small else base[1] + max(1.0, rim / 4.0)
    if small:
        neck_fill = [(7, 11), (9, 11), (9, 13), (7, 13)]
    else:
        neck_fill = [(u(7), u(11)), (u(9), u(11)), (u(9.45), base_top + 0.5), (u(6.55), base_top + 0.5)]
    neck_outline = [(neck_fill[0][0] - rim, neck_fill[0][1]), (neck_fill[1][0] + rim, neck_fill[1][1]),
                    (neck_fill[2][0] + rim, base[1] + 0.5), (neck_fill[3][0] - rim, base[1] + 0.5)]
    shapes.append(Polygon(neck_outline, solid(RIM)))
    shapes.append(RoundRect(base[0], base[1], base[2], base[3], u(0.9), solid(RIM)))
    shapes.append(RoundRect(base[0] + rim, base_top, base[2] - rim, base[3] - rim, 0 if small else rim / 3.0,
                            vertical(base_top, CASE_TOP, base[3] - rim, CASE_BOTTOM)))
    shapes.append(Polygon(neck_fill, vertical(neck_fill[0][1], STAND_SHADE, base_top, CASE_TOP)))
    # The case.
    case = (u(1), u(1), u(15), u(12))
    radius = u(2.0) if small else u(1.6)
    shapes.append(RoundRect(case[0], case[1], case[2], case[3], radius, solid(RIM)))
    shapes.append(RoundRect(case[0] + rim, case[1] + rim, case[2] - rim, case[3] - rim, max(u(1.0) if small else 0.5,
                                                                                          radius - rim),
                            vertical(case[1], CASE_TOP, case[3], CASE_BOTTOM)))
    # The screen, sunk into the case.
    screen = (u(3), u(3), u(13), u(9))
    screen_shape = RoundRect(screen[0], screen[1], screen[2], screen[3], 0 if small else u(0.5),
                             vertical(screen[1], SCREEN_TOP, screen[3], SCREEN_BOTTOM))
    if size >= 48:
        lip = u(0.2)
        shapes.append(RoundRect(screen[0] - lip, screen[1] - lip, screen[2] + lip, screen[3] + lip, u(0.5) + lip,
                                solid(RIM, 0.5)))
    shapes.append(screen_shape)
    if size >= 48:
        # A soft diagonal glare across the upper left of the screen.
        shapes.append(Polygon([(screen[0], screen[1]), (u(8.6), screen[1]), (screen[0], u(7.6))],
                              solid(GLARE, 0.09), clip=screen_shape))
    # The taskbar strip along the bottom of the screen: three dashes fading out to the right.
    if small:
        strip_y0, strip_y1, cap = 7.9, 8.7, 0
    else:
        strip_y0, strip_y1, cap = u(7.95), u(8.7), u(0.3)
    fade = horizontal_fade(u(4), 1.0, u(12), 0.18, STRIP, power=1.3)
    for x0 in (4, 7, 10):
        shapes.append(RoundRect(u(x0), strip_y0, u(x0 + 2), strip_y1, cap, fade))
    # The chevron: the bar goes down and away.
    if small:
        # Pixel for pixel: two pixels thick, three rows high.
        for x0, y0, x1 in ((5, 4, 7), (9, 4, 11), (6, 5, 10), (7, 6, 9)):
            shapes.append(RoundRect(x0, y0, x1, y0 + 1, 0, solid(CHEVRON)))
    else:
        shapes.append(Stroke([(u(6.0), u(4.55)), (u(8.0), u(6.55)), (u(10.0), u(4.55))], u(1.45), solid(CHEVRON)))
    return shapes


# ---------------------------------------------------------------------------------------------
# The rasteriser: n x n samples a pixel, each sample painted back to front, averaged premultiplied


def samples_per_side(size):
    return 4 if size >= 128 else 8


def render(size):
    """Rows top to bottom of (r, g, b, a) bytes, straight alpha; fully transparent pixels are 0,0,0,0."""
    shapes = scene(size)
    n = samples_per_side(size)
    offsets = [(i + 0.5) / n for i in range(n)]
    count = float(n * n)
    rows = []
    for py in range(size):
        row_shapes = [sh for sh in shapes if sh.box[1] < py + 1 and sh.box[3] > py]
        row = []
        for px in range(size):
            cands = [sh for sh in row_shapes if sh.box[0] < px + 1 and sh.box[2] > px]
            if not cands:
                row.append((0, 0, 0, 0))
                continue
            sr = sg = sb = sa = 0.0
            for oy in offsets:
                y = py + oy
                for ox in offsets:
                    x = px + ox
                    r = g = b = a = 0.0  # premultiplied, 0..1 colour
                    for sh in cands:
                        if not sh.contains(x, y) or (sh.clip is not None and not sh.clip.contains(x, y)):
                            continue
                        cr, cg, cb, ca = sh.paint(x, y)
                        if ca <= 0.0:
                            continue
                        keep = 1.0 - ca
                        r = cr / 255.0 * ca + r * keep
                        g = cg / 255.0 * ca + g * keep
                        b = cb / 255.0 * ca + b * keep
                        a = ca + a * keep
                    sr += r
                    sg += g
                    sb += b
                    sa += a
            alpha = sa / count
            a8 = int(round(alpha * 255.0))
            if a8 <= 0:
                row.append((0, 0, 0, 0))
                continue
            row.append((clamp8(sr / sa * 255.0), clamp8(sg / sa * 255.0), clamp8(sb / sa * 255.0), min(255, a8)))
        rows.append(row)
    return rows


def clamp8(v):
    return max(0, min(255, int(round(v))))


# ---------------------------------------------------------------------------------------------
# Encoders


def mask_stride(size):
    return ((size + 31) // 32) * 4


def bmp_image(rows):
    """A 32-bit icon image: BITMAPINFOHEADER, BGRA rows bottom first, then the AND mask."""
    size = len(rows)
    colour = bytearray()
    mask = bytearray()
    stride = mask_stride(size)
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (r, g, b, a) in enumerate(row):
            colour += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(colour), 0, 0, 0, 0)
    return header + bytes(colour) + bytes(mask)


def png_image(rows):
    size = len(rows)
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")


def ico_file(images):
    """images: a list of (size, encoded image bytes)."""
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    return bytes(out)


def build():
    """{path: bytes} of every output file."""
    renders = {size: render(size) for size in sorted(set(APP_SIZES) | {TRAY_SIZE})}
    tray = ico_file([(TRAY_SIZE, bmp_image(renders[TRAY_SIZE]))])
    app = ico_file([(size, png_image(renders[size]) if size >= PNG_ENTRY_FROM else bmp_image(renders[size]))
                    for size in APP_SIZES])
    return {
        TRAY_ICO: tray,
        APP_ICO: app,
        PREVIEW_PNG: png_image(renders[TRAY_SIZE]),
        PREVIEW_LARGE_PNG: png_image(renders[256]),
    }


# ---------------------------------------------------------------------------------------------
# The check: parse every file back


class CheckError(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise CheckError(what)


def check_bmp_image(data, size, where):
    """Verifies a 32-bit icon image; returns its pixels as rows top first of (r, g, b, a)."""
    stride = mask_stride(size)
    colour_bytes = size * size * 4
    expect(len(data) == 40 + colour_bytes + stride * size, f"{where}: image is {len(data)} bytes")
    fields = struct.unpack_from("<IiiHHIIiiII", data, 0)
    names = ("biSize", "biWidth", "biHeight", "biPlanes", "biBitCount", "biCompression", "biSizeImage",
             "biXPelsPerMeter", "biYPelsPerMeter", "biClrUsed", "biClrImportant")
    wanted = (40, size, size * 2, 1, 32, 0, colour_bytes, 0, 0, 0, 0)
    for name, got, want in zip(names, fields, wanted):
        expect(got == want, f"{where}: {name} is {got}, not {want}")
    rows = []
    partial = opaque = clear = 0
    for row_index in range(size):  # stored bottom row first
        y = size - 1 - row_index
        row = []
        mask_row = data[40 + colour_bytes + row_index * stride:40 + colour_bytes + (row_index + 1) * stride]
        for x in range(size):
            b, g, r, a = data[40 + (row_index * size + x) * 4:40 + (row_index * size + x) * 4 + 4]
            bit = (mask_row[x // 8] >> (7 - x % 8)) & 1
            expect(bit == (1 if a == 0 else 0), f"{where}: mask bit {bit} at ({x}, {y}) with alpha {a}")
            if a == 0:
                expect((r, g, b) == (0, 0, 0), f"{where}: transparent pixel ({x}, {y}) has colour {(r, g, b)}")
                clear += 1
            elif a == 255:
                opaque += 1
            else:
                partial += 1
            row.append((r, g, b, a))
        padding = size % 8 and mask_row[size // 8] & (0xFF >> (size % 8))
        expect(not any(mask_row[(size + 7) // 8:]) and not padding, f"{where}: mask row {row_index} padding is set")
        rows.insert(0, row)
    expect(partial > 0, f"{where}: no partly transparent pixels")
    expect(opaque > 0 and clear > 0, f"{where}: needs opaque and transparent pixels")
    for i in range(size):
        for x, y in ((i, 0), (i, size - 1), (0, i), (size - 1, i)):
            expect(rows[y][x][3] == 0, f"{where}: the outer border pixel ({x}, {y}) is not transparent")
    return rows


def check_png(data, size, where):
    expect(data[:8] == b"\x89PNG\r\n\x1a\n", f"{where}: no PNG signature")
    pos = 8
    chunks = []
    while pos < len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8:pos + 8 + length]
        crc, = struct.unpack_from(">I", data, pos + 8 + length)
        expect(zlib.crc32(kind + body) & 0xFFFFFFFF == crc, f"{where}: bad CRC in {kind!r}")
        chunks.append((kind, body))
        pos += 12 + length
    expect(pos == len(data), f"{where}: trailing bytes")
    expect(chunks[0][0] == b"IHDR" and chunks[-1][0] == b"IEND", f"{where}: chunk order")
    width, height, depth, ctype, comp, filt, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    expect((width, height, depth, ctype, comp, filt, interlace) == (size, size, 8, 6, 0, 0, 0),
           f"{where}: IHDR {(width, height, depth, ctype, comp, filt, interlace)}")
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    expect(len(raw) == size * (1 + size * 4), f"{where}: pixel data is {len(raw)} bytes")
    alphas = set()
    for y in range(size):
        expect(raw[y * (1 + size * 4)] == 0, f"{where}: row {y} uses a filter this check does not decode")
        alphas.update(raw[y * (1 + size * 4) + 4:(y + 1) * (1 + size * 4):4])
    expect(any(0 < a < 255 for a in alphas) and 0 in alphas and 255 in alphas, f"{where}: alpha lacks range")


def check_ico(data, sizes, where):
    expect(len(data) >= 6, f"{where}: too short")
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    expect(reserved == 0, f"{where}: reserved is {reserved}")
    expect(kind == 1, f"{where}: resource type is {kind}")
    expect(count == len(sizes), f"{where}: image count is {count}, not {len(sizes)}")
    end = 6 + 16 * count
    results = {}
    for i, size in enumerate(sizes):
        w, h, colours, res, planes, bpp, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        dim = 0 if size >= 256 else size
        entry = f"{where} entry {i} ({size} px)"
        expect((w, h) == (dim, dim), f"{entry}: width/height {(w, h)}")
        expect(colours == 0 and res == 0, f"{entry}: colour count {colours}, reserved {res}")
        expect(planes == 1 and bpp == 32, f"{entry}: planes {planes}, bits per pixel {bpp}")
        expect(offset == end, f"{entry}: offset {offset}, not {end}")
        image = data[offset:offset + length]
        expect(len(image) == length, f"{entry}: runs past the end of the file")
        if size >= PNG_ENTRY_FROM:
            check_png(image, size, entry)
        else:
            results[size] = check_bmp_image(image, size, entry)
        end = offset + length
    expect(end == len(data), f"{where}: {len(data) - end} bytes after the last image")
    return results


def check_tray_table(data):
    """The tray file, field by field at its fixed offsets."""
    expect(len(data) == TRAY_ICO_BYTES, f"tray icon: {len(data)} bytes, not {TRAY_ICO_BYTES}")
    fixed = [
        (0, "<H", 0, "reserved"), (2, "<H", 1, "resource type"), (4, "<H", 1, "image count"),
        (6, "<B", 64, "width"), (7, "<B", 64, "height"), (8, "<B", 0, "color count"), (9, "<B", 0, "reserved"),
        (10, "<H", 1, "planes"), (12, "<H", 32, "bits per pixel"), (14, "<I", 16936, "image size"),
        (18, "<I", 22, "image offset"),
        (22, "<I", 40, "biSize"), (26, "<i", 64, "biWidth"), (30, "<i", 128, "biHeight"), (34, "<H", 1, "biPlanes"),
        (36, "<H", 32, "biBitCount"), (38, "<I", 0, "biCompression"), (42, "<I", 16384, "biSizeImage"),
        (46, "<i", 0, "biXPelsPerMeter"), (50, "<i", 0, "biYPelsPerMeter"), (54, "<I", 0, "biClrUsed"),
        (58, "<I", 0, "biClrImportant"),
    ]
    for offset, fmt, want, name in fixed:
        got, = struct.unpack_from(fmt, data, offset)
        expect(got == want, f"tray icon: {name} at offset {offset} is {got}, not {want}")
    # Mask at 16446: 1 exactly where the colour pixel at 62 has alpha 0.
    for row in range(64):
        for x in range(64):
            alpha = data[62 + (row * 64 + x) * 4 + 3]
            bit = (data[16446 + row * 8 + x // 8] >> (7 - x % 8)) & 1
            expect(bit == (alpha == 0), f"tray icon: mask bit {bit} at stored row {row}, x {x}, alpha {alpha}")


def check():
    failures = []
    fresh = build()

    def attempt(label, func):
        try:
            func()
        except CheckError as error:
            failures.append(f"{label}: {error}")
        except (OSError, struct.error, zlib.error, IndexError, ValueError) as error:
            failures.append(f"{label}: cannot parse ({error})")

    files = {}
    for path in fresh:
        try:
            with open(path, "rb") as handle:
                files[path] = handle.read()
        except OSError as error:
            failures.append(f"{os.path.relpath(path, ROOT)}: {error}")

    if TRAY_ICO in files:
        attempt("tray_icon.ico", lambda: check_tray_table(files[TRAY_ICO]))
        attempt("tray_icon.ico", lambda: check_ico(files[TRAY_ICO], (TRAY_SIZE,), "tray icon"))
    if APP_ICO in files:
        attempt("app.ico", lambda: check_ico(files[APP_ICO], APP_SIZES, "app icon"))
    if PREVIEW_PNG in files:
        attempt("icon.png", lambda: check_png(files[PREVIEW_PNG], TRAY_SIZE, "icon.png"))
    if PREVIEW_LARGE_PNG in files:
        attempt("icon-large.png", lambda: check_png(files[PREVIEW_LARGE_PNG], 256, "icon-large.png"))
    for path, data in files.items():
        if data != fresh[path]:
            failures.append(f"{os.path.relpath(path, ROOT)}: differs from a fresh drawing (run tools/make_icons.py)")

    for failure in failures:
        print("FAIL", failure, file=sys.stderr)
    if failures:
        return 1
    for path, data in files.items():
        print(f"ok {os.path.relpath(path, ROOT)} ({len(data)} bytes)")
    return 0


def write():
    for path, data in build().items():
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as handle:
            handle.write(data)
        print(f"{os.path.relpath(path, ROOT)}: {len(data)} bytes")
    return 0


def main(argv):
    if len(argv) == 1:
        return write()
    if argv[1:] == ["--check"]:
        return check()
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
