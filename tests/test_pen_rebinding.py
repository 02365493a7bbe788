"""A script that rebinds names of panda3d.core, or runs code while the pen
works, never crashes the pen and never changes what it builds.

The pen's build stands in for the engine's own LineSegs.create(): it looks
no name up in panda3d.core, so rebinding one there changes nothing.
"""
import gc
import types

import panda3d.core as core
import pytest
from panda3d.core import LPoint3f

from helpers import WithoutMethods, exact_build, positions, strokes

RED, GREEN, BLUE = (1, 0, 0, 1), (0, 1, 0, 1), (0, 0, 1, 1)
BUILD_NAMES = ["GeomVertexWriter", "GeomVertexData", "GeomVertexFormat", "Geom", "GeomNode", "GeomLinestrips",
               "GeomPoints", "RenderState", "RenderModeAttrib", "ColorAttrib", "LPoint3f", "LVecBase4f"]


def draw_two_coloured_lines(pen):
    pen.color(RED)
    pen.lineTo(1, 2, 3)
    pen.color(GREEN)
    pen.lineTo(2, 3, 4)
    pen.moveTo(5, 5, 5)
    pen.dot()


def what_the_pen_shows(pen):
    """Everything a program can read back from a pen after drawing and building."""
    pen.update()
    pen.setVertex(1, 7, 7, 7)
    return exact_build(pen.lineNode), tuple(pen.getPos())


@pytest.fixture
def expected(make_pen):
    pen = make_pen()
    draw_two_coloured_lines(pen)
    return what_the_pen_shows(pen)


@pytest.mark.parametrize("name", BUILD_NAMES)
@pytest.mark.parametrize("stand_in", [WithoutMethods, None, lambda *args: object()], ids=["class", "None", "function"])
def test_rebinding_an_engine_name_leaves_the_pen_building_as_the_engine_does(make_pen, monkeypatch, expected,
                                                                                name, stand_in):
    pen = make_pen()
    monkeypatch.setattr(core, name, stand_in)
    draw_two_coloured_lines(pen)
    assert what_the_pen_shows(pen) == expected


class Refusing(types.ModuleType):
    """An engine module whose lookups of the build's names raise."""

    def __getattribute__(self, name):
        if name in BUILD_NAMES:
            raise LookupError(name)
        return types.ModuleType.__getattribute__(self, name)


def test_an_engine_module_whose_lookups_raise_leaves_the_pen_working(make_pen, expected):
    pen = make_pen()
    core.__class__ = Refusing
    try:
        draw_two_coloured_lines(pen)
        shown = what_the_pen_shows(pen)
    finally:
        core.__class__ = types.ModuleType
    assert shown == expected


def test_a_lookup_in_the_engine_module_that_draws_does_not_disturb_getpos(make_pen):
    pen = make_pen()
    pen.lineTo(1, 2, 3)
    armed = [True]

    class Watching(types.ModuleType):
        def __getattribute__(self, name):
            if name == "LPoint3f" and armed[0]:
                armed[0] = False
                for k in range(100):
                    pen.lineTo(k, k, k)
            return types.ModuleType.__getattribute__(self, name)
    core.__class__ = Watching
    try:
        position = pen.getPos()
    finally:
        core.__class__ = types.ModuleType
    assert type(position) is LPoint3f and tuple(position) == (1, 2, 3)


# ---- code that runs while the pen works ------------------------------------------------
#
# Making any object can start a collection, which runs the finalizers of
# garbage; a finalizer may draw with the very pen that is building.  With a
# collection at every chance, a chain of such finalizers runs all through a
# build, growing the recording and its colour table under it.

class DrawsWhenCollected:
    def __init__(self, pen, lines, drawn, rebuild=False):
        self.pen, self.lines, self.drawn, self.rebuild = pen, lines, drawn, rebuild
        self.cycle = self  # only a collection frees it

    def __del__(self):
        if not self.lines:
            return
        k = len(self.drawn)
        colour = (k % 3 / 2, (k + 1) % 3 / 2, 1.0, 1.0)
        self.pen.color(colour)
        self.pen.lineTo(k, -k, 1)
        self.drawn.append((colour, (k, -k, 1)))
        if self.rebuild:
            self.pen.update()
        DrawsWhenCollected(self.pen, self.lines - 1, self.drawn, self.rebuild)


LINKS = 25


@pytest.fixture
def collecting_at_every_chance():
    thresholds = gc.get_threshold()
    gc.collect()
    gc.set_threshold(1)
    yield
    gc.set_threshold(*thresholds)
    gc.collect()


def replay(pen, drawn):
    pen.color(RED)
    pen.lineTo(0, 0, 0)
    pen.lineTo(1, 0, 0)
    for colour, point in drawn:
        pen.color(colour)
        pen.lineTo(*point)


def finish_the_chain(drawn, lines):
    """Runs what is left of the chain: each link is young garbage when made."""
    gc.set_threshold(700)
    for _ in range(2 * lines):
        if len(drawn) == lines:
            break
        before = len(drawn)
        gc.collect(0)
        if len(drawn) == before:
            gc.collect()
    assert len(drawn) == lines


@pytest.mark.parametrize("work", ["update", "getPos"])
def test_finalizers_that_draw_while_the_pen_works_leave_the_recording_whole(make_pen, work,
                                                                            collecting_at_every_chance):
    pen, drawn = make_pen(), []
    replay(pen, [])
    DrawsWhenCollected(pen, LINKS, drawn)
    result = getattr(pen, work)()
    finish_the_chain(drawn, LINKS)
    if work == "getPos":
        assert type(result) is LPoint3f and tuple(result) == (1, 0, 0)
    reference = make_pen()
    replay(reference, drawn)
    pen.update()
    reference.update()
    assert exact_build(pen.lineNode) == exact_build(reference.lineNode)


def test_a_build_made_while_finalizers_draw_shows_what_was_drawn_before_it(make_pen, collecting_at_every_chance):
    pen, drawn = make_pen(), []
    replay(pen, [])
    DrawsWhenCollected(pen, LINKS, drawn)
    pen.update()
    included = len(strokes(pen.lineNode)[0][1]) - 2
    finish_the_chain(drawn, LINKS)
    reference = make_pen()
    replay(reference, drawn[:included])
    reference.update()
    assert exact_build(pen.lineNode) == exact_build(reference.lineNode)


def test_a_vertex_edit_while_finalizers_rebuild_goes_to_one_build(make_pen, collecting_at_every_chance):
    pen, drawn = make_pen(), []
    replay(pen, [])
    pen.update()
    DrawsWhenCollected(pen, LINKS, drawn, rebuild=True)
    pen.setVertex(0, 5, 5, 5)
    finish_the_chain(drawn, LINKS)
    firsts = [positions(child)[0][0] for child in pen.np.getChildren()]
    assert firsts.count((5, 5, 5)) <= 1 and set(firsts) <= {(0, 0, 0), (5, 5, 5)}
    assert len(firsts) == LINKS + 1
