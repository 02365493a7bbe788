#!/usr/bin/env python3
"""Build tavik/zkwy.ttf, the CJK font shipped with tavik.

The font is a subset of "WenQuanYi Micro Hei" (face 0 of wqy-microhei.ttc),
which is licensed under Apache-2.0 (or, alternatively, GPL-3+ with the font
exception; tavik uses it under Apache-2.0).  The licence text and notices are
in tavik/zkwy-LICENSE.txt.

The subset keeps:
  * printable ASCII (U+0020-U+007E)
  * Latin-1 punctuation and symbols (U+00A0-U+00BF, U+00D7, U+00F7)
  * every character of GB 2312 (6,763 hanzi plus its symbols, pinyin,
    Greek, Cyrillic, kana, box drawing ...), enumerated by decoding all
    valid two-byte GB 2312 codes
  * General Punctuation (U+2000-U+206F)
  * CJK Symbols and Punctuation (U+3000-U+303F)
  * Halfwidth and Fullwidth Forms (U+FF00-U+FFEF)
Characters in those ranges that the source font lacks are simply skipped.
Hinting instructions, vertical metrics and OpenType layout tables are dropped
(Panda3D rasterises glyphs through FreeType without text shaping), which keeps
the file around 1.2 MB.

How to regenerate (Debian/Ubuntu):

    apt-get install fonts-wqy-microhei
    python3 -m pip install fonttools          # e.g. inside a venv
    python3 tools/make_font.py                # writes tavik/zkwy.ttf

Optional arguments:

    python3 tools/make_font.py [SOURCE_FONT] [-o OUTPUT] [--font-number N]

SOURCE_FONT defaults to /usr/share/fonts/truetype/wqy/wqy-microhei.ttc
(face 0, "WenQuanYi Micro Hei").  The output is deterministic: the same
source font and fontTools version give the same bytes.
"""

import argparse
import os
import sys

from fontTools import subset
from fontTools.ttLib import TTFont

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_SOURCE = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"
DEFAULT_OUTPUT = os.path.join(HERE, os.pardir, "tavik", "zkwy.ttf")

# Appended to the font's description so the file itself says it was changed
# (Apache-2.0, section 4(b)).
MODIFIED_NOTE = (" Subset for the tavik package: limited to ASCII, GB 2312 and "
                 "common punctuation; hinting and layout tables removed.")


def gb2312_chars():
    """Every character encodable in GB 2312 (7,445 of them)."""
    chars = set()
    for hi in range(0xA1, 0xF8):
        for lo in range(0xA1, 0xFF):
            try:
                chars.add(bytes((hi, lo)).decode("gb2312"))
            except UnicodeDecodeError:
                pass
    return chars


def wanted_codepoints():
    cps = set(range(0x20, 0x7F))              # printable ASCII
    cps.update(range(0xA0, 0xC0))             # Latin-1 punctuation / symbols
    cps.update((0xD7, 0xF7))                  # multiplication / division sign
    cps.update(range(0x2000, 0x2070))         # General Punctuation
    cps.update(range(0x3000, 0x3040))         # CJK Symbols and Punctuation
    cps.update(range(0xFF00, 0xFFF0))         # Halfwidth and Fullwidth Forms
    cps.update(ord(c) for c in gb2312_chars())
    return cps


def build(source, output, font_number=0):
    font = TTFont(source, fontNumber=font_number, recalcTimestamp=False,
                  lazy=False)
    cmap = font.getBestCmap()
    wanted = wanted_codepoints()
    present = sorted(cp for cp in wanted if cp in cmap)

    missing_gb = sorted(c for c in gb2312_chars() if ord(c) not in cmap)
    if missing_gb:
        print("warning: source font lacks %d GB 2312 characters: %s"
              % (len(missing_gb), "".join(missing_gb[:40])), file=sys.stderr)

    opts = subset.Options()
    opts.hinting = False                      # drop TrueType instructions
    opts.layout_features = []                 # no GSUB/GPOS features needed
    opts.drop_tables += ["GSUB", "GPOS", "GDEF", "FFTM", "vhea", "vmtx",
                         "gasp", "DSIG"]
    opts.name_IDs = ["*"]                     # keep the whole name table
    opts.name_languages = ["*"]
    opts.name_legacy = True
    opts.notdef_outline = True
    opts.recalc_bounds = True
    opts.recalc_timestamp = False
    opts.glyph_names = False                  # post format 3: smaller
    opts.prune_unicode_ranges = True

    subsetter = subset.Subsetter(options=opts)
    subsetter.populate(unicodes=present)
    subsetter.subset(font)

    name = font["name"]
    for rec in list(name.names):
        if rec.nameID == 10:
            text = rec.toUnicode()
            if MODIFIED_NOTE.strip() not in text:
                name.setName(text + MODIFIED_NOTE, rec.nameID, rec.platformID,
                             rec.platEncID, rec.langID)

    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    font.save(output, reorderTables=True)
    font.close()
    print("wrote %s: %d code points, %d bytes"
          % (os.path.normpath(output), len(present), os.path.getsize(output)))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("source", nargs="?", default=DEFAULT_SOURCE,
                    help="source .ttf/.ttc font (default: %(default)s)")
    ap.add_argument("-o", "--output", default=DEFAULT_OUTPUT,
                    help="output path (default: tavik/zkwy.ttf)")
    ap.add_argument("--font-number", type=int, default=0,
                    help="face index inside a .ttc collection (default: 0)")
    args = ap.parse_args(argv)
    if not os.path.exists(args.source):
        sys.exit("source font %s not found; install it with "
                 "'apt-get install fonts-wqy-microhei' or pass a path"
                 % args.source)
    build(args.source, args.output, args.font_number)


if __name__ == "__main__":
    main()
