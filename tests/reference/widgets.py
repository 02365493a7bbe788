"""The screen widgets written as plain Python, step by step.

Each builder reads what it needs in a fixed order (the widget class, the
pixel layer, the position, the alignment, the font) and makes one call of
the widget class with keywords only.  The kit's builders do the same with
their fixed look made once at import; this rendition is what they must
match, keyword for keyword.

One addition, as in the kit: DirectGui reads a text that is not a string as
one text per widget state, by index, and the engine's Filename does not
check an index, so a Filename shorter than the number of states is refused
here with a TypeError before DirectGui reads past its end.
"""
from direct.gui.DirectGui import DirectButton, DirectEntry, DirectLabel
from panda3d.core import Filename, TextNode

FILENAME_TEXT_MESSAGE = "文字要用字符串：请用 str(...) 把 Filename 变成字符串"


def fits_states(txt, states):
    reads_unchecked = isinstance(txt, Filename) and type(txt).__getitem__ is Filename.__getitem__
    if reads_unchecked and Filename.length(txt) < states:
        raise TypeError(FILENAME_TEXT_MESSAGE)


def makeLabel(tv, txt, x, y):
    widget_class, parent, pos, align, font = DirectLabel, tv.pixel2d, (x, 0, -y), TextNode.ALeft, tv.cnFont
    fits_states(txt, 1)
    return widget_class(text=txt, parent=parent, pos=pos, scale=16, frameColor=(0, 0, 0, 1),
                        borderWidth=(0.05, 0.05), text_fg=(1, 1, 1, 1), text_align=align, text_font=font)


def makeButton(tv, txt, x, y, cmd):
    widget_class, parent, pos, align, font = DirectButton, tv.pixel2d, (x, 0, -y), TextNode.ALeft, tv.cnFont
    fits_states(txt, 4)
    return widget_class(text=txt, parent=parent, pos=pos, scale=16, frameColor=(0, 0, 0, 1),
                        borderWidth=(0.05, 0.05), text_fg=(1, 1, 1, 1), text_align=align, text_font=font,
                        command=cmd)


def makeEntry(tv, txt, x, y, lines=1):
    widget_class, parent, pos, align, font = DirectEntry, tv.pixel2d, (x, 0, -y), TextNode.ALeft, tv.cnFont
    return widget_class(initialText=txt, parent=parent, pos=pos, scale=16, frameColor=(0, 0, 0, 1),
                        borderWidth=(0.05, 0.05), text_fg=(1, 1, 1, 1), text_align=align, text_font=font,
                        numLines=lines)
