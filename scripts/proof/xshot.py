"""Imported by scripts/proof/display_check.py.

Screenshots taken from the X server itself (xwd), read without any imaging library.

An xwd dump is a big-endian header (XWDFileHeader: 25 32-bit fields, then the window
name), a colour table, and the raw pixels as the server holds them.
"""

import struct
import zlib

_FIELDS = ("header_size file_version pixmap_format pixmap_depth pixmap_width pixmap_height "
           "xoffset byte_order bitmap_unit bitmap_bit_order bitmap_pad bits_per_pixel "
           "bytes_per_line visual_class red_mask green_mask blue_mask bits_per_rgb "
           "colormap_entries ncolors window_width window_height window_x window_y "
           "window_bdrwidth").split()
_ZPIXMAP = 2
_TRUE_COLOR, _DIRECT_COLOR = 4, 5


class Image:
    """RGB pixels, row-major: ``pixels[y * width + x] == (r, g, b)``."""

    def __init__(self, width, height, pixels):
        self.width, self.height, self.pixels = width, height, pixels

    def pixel(self, x, y):
        return self.pixels[y * self.width + x]

    def crop(self, x, y, w, h):
        x0, y0 = max(0, x), max(0, y)
        x1, y1 = min(self.width, x + w), min(self.height, y + h)
        rows = [self.pixels[row * self.width + x0:row * self.width + x1]
                for row in range(y0, y1)]
        return Image(max(0, x1 - x0), max(0, y1 - y0), [p for r in rows for p in r])

    def colours(self):
        return set(self.pixels)

    def count_near(self, rgb, tolerance):
        return sum(1 for p in self.pixels
                   if all(abs(a - b) <= tolerance for a, b in zip(p, rgb)))

    def save_png(self, path):
        raw = bytearray()
        for y in range(self.height):
            raw.append(0)  # no filter
            for r, g, b in self.pixels[y * self.width:(y + 1) * self.width]:
                raw += bytes((r, g, b))

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        with open(path, "wb") as out:
            out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                      + chunk(b"IDAT", zlib.compress(bytes(raw), 6)) + chunk(b"IEND", b""))


def _shift_and_bits(mask):
    shift = (mask & -mask).bit_length() - 1
    return shift, (mask >> shift).bit_length()


def parse_xwd(data):
    """Decode a ZPixmap xwd dump of a TrueColor/DirectColor screen."""
    head = dict(zip(_FIELDS, struct.unpack(">25I", data[:100])))
    if head["file_version"] != 7 or head["pixmap_format"] != _ZPIXMAP:
        raise ValueError(f"unsupported xwd dump: version {head['file_version']}, "
                         f"format {head['pixmap_format']}")
    if head["visual_class"] not in (_TRUE_COLOR, _DIRECT_COLOR):
        raise ValueError(f"unsupported visual class {head['visual_class']}")
    bpp = head["bits_per_pixel"]
    if bpp not in (16, 24, 32):
        raise ValueError(f"unsupported {bpp} bits per pixel")
    offset = head["header_size"] + 12 * head["ncolors"]
    width, height, stride = head["pixmap_width"], head["pixmap_height"], head["bytes_per_line"]
    order = "little" if head["byte_order"] == 0 else "big"
    step = bpp // 8
    channels = [_shift_and_bits(head[m]) for m in ("red_mask", "green_mask", "blue_mask")]
    pixels = []
    cache = {}
    for y in range(height):
        row = data[offset + y * stride: offset + y * stride + width * step]
        for x in range(0, width * step, step):
            value = int.from_bytes(row[x:x + step], order)
            rgb = cache.get(value)
            if rgb is None:
                rgb = tuple(((value >> s) & ((1 << n) - 1)) * 255 // ((1 << n) - 1)
                            for s, n in channels)
                cache[value] = rgb
            pixels.append(rgb)
    return Image(width, height, pixels)


def hex_rgb(text):
    """'#d32f2f' -> (211, 47, 47)."""
    text = text.strip().lstrip("#")
    if len(text) == 3:
        text = "".join(c * 2 for c in text)
    return tuple(int(text[i:i + 2], 16) for i in (0, 2, 4))
