#!/usr/bin/env python3
"""Build Keyvane's .ico files from the pixel-art sources.

Usage: python3 tools/make_icons.py <source-dir> <output-dir>

Each image has its own source file, <name>.txt, in this form:

    # comment lines and blank lines are ignored anywhere
    icon 32x32 4bpp          width x height, then 4bpp or 8bpp
    palette
    . transparent            this character marks a transparent pixel
    x 000000                 character, then its colour as RRGGBB
    o 1f2433
    pixels
    ....ooo....              one line per pixel row, top row first,
    ...                      exactly <width> characters each

Colours take colour-table indices in the order they are listed: at most
16 for 4bpp and 256 for 8bpp; unused table entries are zero. The
transparent character takes no entry. Transparent pixels are stored as
index 0 with the mask bit set, so an image that has any must list
000000 first: any other colour there would tint the background wherever
the mask is ignored. Palette characters cannot be whitespace or '#'.

Which images go into which .ico, and in what order, is fixed in LAYOUT:
the resource compiler numbers icon images by that order, and those
numbers have to stay put. Output depends only on the sources.
"""

import os
import struct
import sys

# (output file, [(source name, width, height, bpp, biClrUsed), ...])
LAYOUT = [
    ("keyvane.ico", [
        ("keyvane-32-4bpp", 32, 32, 4, 0),
        ("keyvane-16-4bpp", 16, 16, 4, 0),
    ]),
    ("keyvane_small.ico", [
        ("keyvane_small-16-4bpp", 16, 16, 4, 0),
    ]),
    ("keyvane_set.ico", [
        ("keyvane_set-16-4bpp", 16, 16, 4, 0),
        ("keyvane_set-16-8bpp", 16, 16, 8, 0),
        ("keyvane_set-32-4bpp", 32, 32, 4, 0),
        ("keyvane_set-32-8bpp", 32, 32, 8, 256),
    ]),
]

TRANSPARENT = None


class SourceError(Exception):
    pass


class Image:
    def __init__(self, width, height, bpp, colours, rows):
        self.width = width
        self.height = height
        self.bpp = bpp
        self.colours = colours  # [(r, g, b)] in table order
        self.rows = rows        # top-down rows of table indices, None = transparent


def parse_source(path, width, height, bpp):
    try:
        with open(path, encoding="utf-8-sig") as f:
            lines = f.read().splitlines()
    except OSError as e:
        raise SourceError("%s: cannot read: %s" % (path, e.strerror))
    except UnicodeDecodeError:
        raise SourceError("%s: not valid UTF-8 text" % path)

    def fail(lineno, msg):
        raise SourceError("%s:%d: %s" % (path, lineno, msg))

    section = "header"
    palette = {}        # char -> table index, or TRANSPARENT
    colours = []
    rows = []
    seen_transparent = False
    last_lineno = 0
    for lineno, raw in enumerate(lines, 1):
        last_lineno = lineno
        line = raw.rstrip()
        if not line or line.lstrip().startswith("#"):
            continue
        if section == "header":
            words = line.split()
            if len(words) != 3 or words[0] != "icon":
                fail(lineno, "expected 'icon <w>x<h> <n>bpp', got %r" % line)
            want = ("%dx%d" % (width, height), "%dbpp" % bpp)
            if (words[1], words[2]) != want:
                fail(lineno, "this image must be %s %s, not %s %s"
                     % (want + (words[1], words[2])))
            section = "need-palette"
        elif section == "need-palette":
            if line.strip() != "palette":
                fail(lineno, "expected 'palette', got %r" % line)
            section = "palette"
        elif section == "palette":
            if line.strip() == "pixels":
                if not colours:
                    fail(lineno, "palette lists no colours")
                section = "pixels"
                continue
            words = line.split()
            if len(words) != 2 or len(words[0]) != 1:
                fail(lineno, "expected '<char> RRGGBB' or '<char> transparent', got %r"
                     % line)
            ch, value = words
            if ch in palette:
                fail(lineno, "palette character %r is defined twice" % ch)
            if value == "transparent":
                if seen_transparent:
                    fail(lineno, "only one character can mean transparent")
                seen_transparent = True
                palette[ch] = TRANSPARENT
                continue
            if len(value) != 6 or any(c not in "0123456789abcdefABCDEF" for c in value):
                fail(lineno, "colour for %r must be six hex digits RRGGBB, got %r"
                     % (ch, value))
            if len(colours) == 1 << bpp:
                fail(lineno, "more than %d colours for a %dbpp image" % (1 << bpp, bpp))
            palette[ch] = len(colours)
            colours.append((int(value[0:2], 16), int(value[2:4], 16), int(value[4:6], 16)))
        else:
            if len(rows) == height:
                fail(lineno, "more than %d pixel rows" % height)
            if len(line) != width:
                fail(lineno, "row is %d characters wide, expected %d" % (len(line), width))
            row = []
            for col, ch in enumerate(line, 1):
                if ch not in palette:
                    fail(lineno, "column %d: %r is not in the palette" % (col, ch))
                row.append(palette[ch])
            rows.append(row)

    if section != "pixels":
        missing = {"header": "the 'icon' line", "need-palette": "'palette'",
                   "palette": "'pixels'"}[section]
        raise SourceError("%s: ended before %s" % (path, missing))
    if len(rows) != height:
        fail(last_lineno, "found %d pixel rows, expected %d" % (len(rows), height))
    if any(p is TRANSPARENT for row in rows for p in row) and colours[0] != (0, 0, 0):
        raise SourceError("%s: the image has transparent pixels, so its first colour "
                          "must be 000000" % path)
    return Image(width, height, bpp, colours, rows)


def encode_dib(img, clr_used):
    w, h, bpp = img.width, img.height, img.bpp
    table = bytearray(4 << bpp)
    for i, (r, g, b) in enumerate(img.colours):
        table[4 * i:4 * i + 3] = bytes((b, g, r))

    xor_stride = (w * bpp + 31) // 32 * 4
    and_stride = (w + 31) // 32 * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(img.rows):
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, p in enumerate(row):
            if p is TRANSPARENT:
                bits[x >> 3] |= 0x80 >> (x & 7)
                p = 0
            if bpp == 8:
                line[x] = p
            else:
                line[x >> 1] |= p << (0 if x & 1 else 4)
        xor += line
        mask += bits

    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, bpp, 0,
                         len(xor) + len(mask), 0, 0, clr_used, clr_used)
    return header + bytes(table) + bytes(xor) + bytes(mask)


def encode_ico(images):
    """images: [(Image, dib bytes)]"""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for img, dib in images:
        out += struct.pack("<BBBBHHII", img.width % 256, img.height % 256,
                           16 if img.bpp == 4 else 0, 0, 1, img.bpp, len(dib), offset)
        offset += len(dib)
    return out + b"".join(dib for _, dib in images)


def build(source_dir):
    """Return {output name: bytes}; raises SourceError on any bad source."""
    outputs = {}
    errors = []
    for ico_name, entries in LAYOUT:
        images = []
        for name, w, h, bpp, clr_used in entries:
            try:
                img = parse_source(os.path.join(source_dir, name + ".txt"), w, h, bpp)
            except SourceError as e:
                errors.append(str(e))
                continue
            images.append((img, encode_dib(img, clr_used)))
        if len(images) == len(entries):
            outputs[ico_name] = encode_ico(images)
    if errors:
        raise SourceError("\n".join(errors))
    return outputs


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: %s <source-dir> <output-dir>\n" % os.path.basename(argv[0]))
        return 2
    source_dir, output_dir = argv[1], argv[2]
    try:
        outputs = build(source_dir)
    except SourceError as e:
        for line in str(e).splitlines():
            sys.stderr.write("make_icons: %s\n" % line)
        return 1
    try:
        os.makedirs(output_dir, exist_ok=True)
        for ico_name, _ in LAYOUT:
            with open(os.path.join(output_dir, ico_name), "wb") as f:
                f.write(outputs[ico_name])
    except OSError as e:
        sys.stderr.write("make_icons: cannot write %s: %s\n"
                         % (e.filename or output_dir, e.strerror))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
