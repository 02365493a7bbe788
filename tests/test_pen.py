"""The 3D turtle: recording, building, vertex edits, headings, moving, aiming, arrows."""
import inspect
import math
import os
import random
from decimal import Decimal
from fractions import Fraction

import pytest
from panda3d.core import Filename, LineSegs, LPoint3, LPoint3f, LVector3, LVector3f, RenderModeAttrib

import tavik.tavik as tv
from tavik.tavik import Pen

from helpers import HOSTILE, close, exact_build, growth_per_call, positions, strokes, swallow
from reference import pen as python_pen

TOWARDS_MESSAGE = "towards方法需要三个参数或一个坐标元组/列表/LPoint3f对象"
RED, WHITE = (1, 0, 0, 1), (1, 1, 1, 1)


@pytest.fixture
def pen(make_pen):
    return make_pen()


# ---- the class as help() shows it -------------------------------------------------------

PEN_MEMBERS = {
    "__init__": ("(self, app)", None),
    "moveTo": ("(self, x, y, z)", "记录移动目标位置，不立即调用__lsg.moveTo\n"
                                  "        防止连续moveTo产生无用的顶点，只有在lineTo时才会实际移动\n        "),
    "dot": ("(self)", None),
    "lineTo": ("(self, x, y, z)", "绘制线条到指定位置"),
    "color": ("(self, c)", "设置画笔颜色"),
    "size": ("(self, n)", "设置线条粗细"),
    "clear": ("(self)", "清空画笔，重置所有状态"),
    "update": ("(self)", None),
    "_normalize_angle": ("(self, angle)", "将角度归一化到(-180,180]范围内"),
    "dLeft": ("(self, n)", "让Pen左转n度，即rotZ增加n"),
    "dRight": ("(self, n)", "让Pen右转n度，即rotZ减少n度"),
    "dUp": ("(self, n)", "让Pen向上抬头n度，即rotY减少n度"),
    "dDown": ("(self, n)", "让Pen向下低头n度，即rotY增加n度"),
    "forward": ("(self, n, draw=False)", "通过rotZ和rotY让画笔前进n，n的正负数表示前进和后退\n"
                                         "        如果draw为False，只移动不绘制线条\n"
                                         "        如果draw为True，移动并绘制线条\n        "),
    "getPos": ("(self)", "获取当前笔头的位置"),
    "towards": ("(self, *args)", "用提供的坐标更新画笔的rotZ和rotY属性，让画笔面向目标坐标\n        支持多种参数格式：\n"
                                 "        1. towards(x, y, z) - 三个独立参数\n        2. towards((x, y, z)) - 一个坐标元组\n"
                                 "        3. towards([x, y, z]) - 一个坐标列表\n"
                                 "        4. towards(LPoint3f(x, y, z)) - Panda3D的LPoint3f对象\n        "),
    "setVertex": ("(self, n, x, y, z)", "设置指定顶点的坐标"),
    "drawPath": ("(self, path)", None),
    "drawVec": ("(self, sv, dv, arsz=0.3)", None),
}


def test_the_pen_has_its_methods_in_order_with_their_parameters_and_docstrings():
    assert Pen.__doc__ is None and Pen.__bases__ == (object,)
    members = [name for name in vars(Pen) if name in PEN_MEMBERS or name in ("rotZ", "rotY")]
    assert members == ["__init__", "moveTo", "dot", "lineTo", "color", "size", "clear", "update", "rotZ", "rotY",
                       "_normalize_angle", "dLeft", "dRight", "dUp", "dDown", "forward", "getPos", "towards",
                       "setVertex", "drawPath", "drawVec"]
    for name, (parameters, doc) in PEN_MEMBERS.items():
        assert (str(inspect.signature(getattr(Pen, name))), getattr(Pen, name).__doc__) == (parameters, doc), name


@pytest.mark.parametrize("name, plane", [("rotZ", "xy"), ("rotY", "zx")])
def test_the_heading_properties_carry_their_docstrings(name, plane):
    prop = vars(Pen)[name]
    assert prop.__doc__ == prop.fget.__doc__ == f"获取或设置Pen在其{plane}平面的旋转度数"
    assert prop.fset.__doc__ == f"设置Pen在其{plane}平面的旋转度数，维持在(-180,180]范围内"
    assert str(inspect.signature(prop.fset)) == "(self, value)" and prop.fdel is None


# ---- deferred moves, lines, dots ---------------------------------------------------

def test_a_run_of_moves_leaves_only_the_last_one(pen):
    pen.moveTo(0, 0, 0)
    pen.moveTo(1, 0, 0)
    pen.lineTo(2, 0, 0)
    pen.update()
    assert strokes(pen.lineNode) == [("GeomLinestrips", [((1, 0, 0), WHITE), ((2, 0, 0), WHITE)])]


def test_getpos_returns_the_pending_move_itself(pen):
    pen.moveTo(1, 2, 3)
    position = pen.getPos()
    assert position is pen._Pen__mto and position == (1, 2, 3)
    assert [type(value) for value in position] == [int, int, int]


def test_a_pending_move_is_not_built(pen):
    pen.moveTo(5, 5, 5)
    pen.update()
    assert pen.lineNode.node().getNumGeoms() == 0 and pen.getPos() == (5, 5, 5)


def test_a_dot_is_a_point_and_the_next_line_starts_there(pen):
    pen.moveTo(1, 2, 3)
    pen.dot()
    pen.lineTo(4, 5, 6)
    pen.update()
    assert strokes(pen.lineNode) == [("GeomLinestrips", [((1, 2, 3), WHITE), ((4, 5, 6), WHITE)]),
                                     ("GeomPoints", [((1, 2, 3), WHITE)])]


def test_two_dots_are_two_coincident_points(pen):
    pen.moveTo(1, 1, 1)
    pen.dot()
    pen.dot()
    pen.update()
    assert strokes(pen.lineNode) == [("GeomPoints", [((1, 1, 1), WHITE)])] * 2


def test_a_dot_without_a_pending_move_raises_and_records_nothing(pen):
    with pytest.raises(TypeError):
        pen.dot()
    pen.update()
    assert pen.lineNode.node().getNumGeoms() == 0


def test_asking_a_new_pen_where_it_is_records_the_origin(pen):
    assert pen.getPos() == LPoint3f(0, 0, 0) and isinstance(pen.getPos(), LPoint3f)
    pen.update()
    assert strokes(pen.lineNode) == [("GeomPoints", [((0, 0, 0), WHITE)])]


def test_the_first_line_of_an_empty_pen_only_starts_there(pen):
    pen.lineTo(3, 0, 0)
    pen.lineTo(3, 4, 0)
    pen.update()
    assert positions(pen.lineNode) == [[(3, 0, 0), (3, 4, 0)]]


# ---- building keeps everything since clear() ------------------------------------------

def test_every_build_holds_everything_since_clear_and_the_pen_keeps_its_place(pen):
    pen.moveTo(0, 0, 0)
    pen.lineTo(1, 0, 0)
    pen.update()
    first = pen.lineNode
    pen.lineTo(1, 1, 0)
    assert pen.getPos() == LPoint3f(1, 1, 0)
    pen.update()
    assert positions(first) == [[(0, 0, 0), (1, 0, 0)]]
    assert positions(pen.lineNode) == [[(0, 0, 0), (1, 0, 0), (1, 1, 0)]]
    assert pen.np.getNumChildren() == 2


def test_a_second_build_without_drawing_adds_an_identical_node(pen):
    pen.moveTo(0, 0, 0)
    pen.lineTo(1, 2, 3)
    pen.update()
    first = pen.lineNode
    pen.update()
    assert pen.np.getNumChildren() == 2 and pen.lineNode != first
    assert pen.lineNode.getParent() == pen.np
    assert exact_build(pen.lineNode) == exact_build(first)


def test_clear_forgets_drawing_and_builds_but_keeps_headings_and_colour(pen):
    pen.color(RED)
    pen.size(4)
    pen.dLeft(30)
    pen.moveTo(0, 0, 0)
    pen.lineTo(1, 0, 0)
    pen.update()
    last = pen.lineNode
    pen.moveTo(9, 9, 9)
    pen.clear()
    assert pen.np.getNumChildren() == 0 and pen._Pen__mto is None and pen._current_thickness == 1
    assert (pen.rotZ, pen.rotY) == (30, 90) and pen.lineNode == last
    pen.lineTo(2, 0, 0)
    pen.lineTo(3, 0, 0)
    pen.update()
    assert strokes(pen.lineNode) == [("GeomLinestrips", [((2, 0, 0), RED), ((3, 0, 0), RED)])]
    assert pen.lineNode.node().getGeomState(0).getAttrib(RenderModeAttrib).getThickness() == 4


def test_colour_applies_to_what_comes_after_and_never_to_what_is_built(pen):
    pen.moveTo(0, 0, 0)
    pen.lineTo(1, 0, 0)
    pen.update()
    built = strokes(pen.lineNode)
    pen.color(RED)
    pen.lineTo(2, 0, 0)
    pen.update()
    assert strokes(pen.lineNode) == [("GeomLinestrips", [((0, 0, 0), WHITE), ((1, 0, 0), WHITE),
                                                         ((2, 0, 0), RED)])]
    assert strokes(pen.np.getChild(0)) == built


def test_size_applies_to_the_whole_next_build(pen):
    pen.moveTo(0, 0, 0)
    pen.lineTo(1, 0, 0)
    pen.size(3)
    pen.moveTo(5, 5, 5)
    pen.dot()
    pen.update()
    node = pen.lineNode.node()
    assert [node.getGeomState(i).getAttrib(RenderModeAttrib).getThickness() for i in range(2)] == [3, 3]
    assert pen._current_thickness == 3


def test_color_takes_exactly_one_colour(pen):
    with pytest.raises(TypeError):
        pen.color(RED, True)


def record(ops, target):
    """Plays drawing operations on a Pen or, with engine calls, on a LineSegs."""
    for name, *args in ops:
        getattr(target, name)(*args)


@pytest.mark.parametrize("seed", range(6))
def test_builds_match_the_engines_own_build_byte_for_byte(pen, seed):
    rng = random.Random(seed)
    colours = [(1, 0, 0, 1), (0.2, 0.4, 0.6, 0.8), (2, -1, 0.5, 1), (float("nan"), 0, 1, 1), (0.00196, 1, 0.5, 0)]
    engine, pen_ops, engine_ops, pending = LineSegs(), [], [], None
    pen.size(2.5)
    engine.setThickness(2.5)
    for _ in range(rng.randint(1, 60)):
        point = tuple(rng.uniform(-9, 9) for _ in range(3))
        choice = rng.random()
        if choice < 0.3:
            pen_ops += [("moveTo", *point), ("dot",)]
            engine_ops.append(("moveTo", *point))
            pending = point  # a dot leaves the move pending: the next line starts there again
        elif choice < 0.8:
            pen_ops.append(("lineTo", *point))
            if pending:
                engine_ops.append(("moveTo", *pending))
                pending = None
            engine_ops.append(("drawTo", *point))
        else:
            colour = rng.choice(colours)
            pen_ops.append(("color", colour))
            engine_ops.append(("setColor", colour))
    record(pen_ops, pen)
    record(engine_ops, engine)
    pen.update()
    assert exact_build(pen.lineNode) == exact_build(engine.create(True))


def test_a_large_build_matches_the_engines_build(pen):
    engine = LineSegs()
    for index in range(70000):
        pen.lineTo(index, index % 7, 0)
        engine.drawTo(index, index % 7, 0)
    pen.moveTo(1, 1, 1)
    pen.dot()
    engine.moveTo(1, 1, 1)
    pen.update()
    assert exact_build(pen.lineNode) == exact_build(engine.create(True))


# ---- vertex edits ----------------------------------------------------------------------

def drawn_square(pen):
    pen.drawPath([(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0)])
    pen.update()


@pytest.mark.parametrize("index", [-1, 4, 10**30, -10**30])
def test_out_of_range_vertices_are_ignored(pen, index):
    drawn_square(pen)
    before = positions(pen.lineNode)
    assert pen.setVertex(index, 9, 9, 9) is None
    assert positions(pen.lineNode) == before


def test_vertex_edits_before_the_first_build_do_nothing(pen):
    pen.drawPath([(0, 0, 0), (1, 0, 0)])
    pen.setVertex(0, 5, 5, 5)
    pen.update()
    assert positions(pen.lineNode) == [[(0, 0, 0), (1, 0, 0)]]


@pytest.mark.parametrize("index, moved", [(2, 2), (2.9, 2), (True, 1), (Fraction(7, 2), 3), (Decimal("0.5"), 0)])
def test_a_vertex_edit_moves_the_vertex_of_the_latest_build_in_place(pen, index, moved):
    drawn_square(pen)
    earlier = pen.lineNode
    pen.update()
    pen.setVertex(index, 7, 8, 9)
    expected = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0)]
    assert positions(earlier) == [expected]
    expected[moved] = (7, 8, 9)
    assert positions(pen.lineNode) == [expected]


class Boastful(int):
    """An index whose comparisons always say it is in range."""
    def __lt__(self, other):
        return True

    def __ge__(self, other):
        return True


@pytest.mark.parametrize("index", [Boastful(10**7), Boastful(-10**6), Boastful(2**70)])
@pytest.mark.parametrize("recorder", ["own", "foreign"])
def test_an_index_that_only_claims_to_be_in_range_moves_nothing(pen, index, recorder):
    if recorder == "foreign":
        pen._Pen__lsg = LineSegs()
    drawn_square(pen)
    before = positions(pen.lineNode)
    assert pen.setVertex(index, 9, 9, 9) is None
    assert positions(pen.lineNode) == before


def test_an_index_whose_comparison_rebuilds_the_pen_moves_nothing_outside_the_new_build(pen):
    class Shrinking(int):
        def __lt__(self, other):
            pen.clear()
            pen.lineTo(5, 5, 5)
            pen.update()
            return int(self) < other
    # A long build, so that a write into the short one at the old index would
    # land far outside it.
    pen.drawPath([(x, 0, 0) for x in range(200_000)])
    pen.update()
    assert pen.setVertex(Shrinking(199_999), 9, 9, 9) is None
    assert positions(pen.lineNode) == [[(5, 5, 5)]]


def test_a_negative_index_does_not_ask_for_the_vertex_count(pen):
    asked = []

    class Counting(LineSegs):
        def getNumVertices(self):
            asked.append(True)
            return LineSegs.getNumVertices(self)
    pen._Pen__lsg = Counting()
    pen.setVertex(-1, 0, 0, 0)
    assert asked == []
    pen.setVertex(0, 0, 0, 0)
    assert asked == [True]


@pytest.mark.parametrize("index, type_name", [("1", "str"), (None, "NoneType"), ([1], "list"), (b"1", "bytes")])
def test_a_vertex_index_that_is_no_number_is_named_in_the_error(pen, index, type_name):
    with pytest.raises(TypeError) as raised:
        pen.setVertex(index, 0, 0, 0)
    assert str(raised.value) == f"Argument 'n' has incorrect type (expected int, got {type_name})"


@pytest.mark.parametrize("coordinates", [("x", 0, 0), (0, None, 0), (0, 0, [1])])
def test_vertex_coordinates_must_be_numbers(pen, coordinates):
    drawn_square(pen)
    with pytest.raises(TypeError):
        pen.setVertex(0, *coordinates)
    assert positions(pen.lineNode)[0][0] == (0, 0, 0)


# ---- polylines -----------------------------------------------------------------------------

def test_an_empty_path_does_nothing_and_one_point_only_moves(pen):
    pen.drawPath([])
    assert pen._Pen__mto is None
    pen.drawPath([(0, 0, 0)])
    assert pen.getPos() == (0, 0, 0)
    pen.update()
    assert pen.lineNode.node().getNumGeoms() == 0


def test_a_path_is_one_connected_line_from_any_indexable_points(pen):
    pen.drawPath(((0, 0, 0, "ignored"), [1, 0, 0], LPoint3f(1, 1, 0)))
    pen.drawPath([(5, 5, 5), (6, 5, 5)])
    pen.update()
    assert positions(pen.lineNode) == [[(0, 0, 0), (1, 0, 0), (1, 1, 0)], [(5, 5, 5), (6, 5, 5)]]


def test_a_short_point_fails_after_the_earlier_ones_are_drawn(pen):
    with pytest.raises(IndexError):
        pen.drawPath([(0, 0, 0), (1, 0, 0), (1, 2)])
    pen.update()
    assert positions(pen.lineNode) == [[(0, 0, 0), (1, 0, 0)]]


# ---- headings ------------------------------------------------------------------------------

def reference_normalize(angle):
    angle = angle % 360
    if angle > 180:
        angle -= 360
    return angle


def same(a, b):
    if isinstance(a, float) and math.isnan(a):
        return type(a) is type(b) and math.isnan(b)
    return type(a) is type(b) and a == b and str(a) == str(b)


ANGLES = [0, 180, -180, 540, 360, 181, -90, 190.5, -0.0, 1e-20, -1e-20, 359.99999999999994, 2**70 + 7,
          -(2**80), True, False, Fraction(721, 2), Decimal("-190.25"), float("nan"), float("inf"), 1e300]


def test_a_new_pen_heads_along_x_with_integer_angles(pen):
    assert same(pen.rotZ, 0) and same(pen.rotY, 90)


@pytest.mark.parametrize("angle", ANGLES, ids=repr)
@pytest.mark.parametrize("prop", ["rotZ", "rotY"])
def test_angles_are_normalised_as_python_numbers_are(pen, angle, prop):
    setattr(pen, prop, angle)
    assert same(getattr(pen, prop), reference_normalize(angle))
    assert same(pen._normalize_angle(angle), reference_normalize(angle))


@pytest.mark.parametrize("start", [0, 90, 45.5, -179])
@pytest.mark.parametrize("turn", [1, 90, 180, 270, 720, -1, 0.5, 1e-17, 2**65, Fraction(1, 3), True])
def test_turns_add_and_subtract_as_python_numbers_do(pen, start, turn):
    pen.rotZ = pen.rotY = start
    pen.dLeft(turn)
    assert same(pen.rotZ, reference_normalize(reference_normalize(start) + turn))
    pen.dDown(turn)
    assert same(pen.rotY, reference_normalize(reference_normalize(start) + turn))
    pen.rotZ = pen.rotY = start
    pen.dRight(turn)
    pen.dUp(turn)
    expected = reference_normalize(reference_normalize(start) - turn)
    assert same(pen.rotZ, expected) and same(pen.rotY, expected)


LONG_EDGES = [2**31 - 1, -(2**31), 2**63 - 1, -(2**63)]  # a C long is 32 bits on some systems, 64 on others


@pytest.mark.parametrize("stored", [edge + step for edge in LONG_EDGES for step in (-1, 0, 1)])
@pytest.mark.parametrize("turn, sign", [(1, 1), (-1, 1), (1, -1), (-1, -1), (-(2**63), -1), (-(2**31), -1),
                                        (2**63 - 1, 1)])
def test_integer_turns_at_the_edges_of_machine_integers_add_as_python_does(pen, stored, turn, sign):
    pen._Pen__rotZ = pen._Pen__rotY = stored
    pen.dLeft(turn) if sign > 0 else pen.dRight(turn)
    assert same(pen.rotZ, reference_normalize(stored + sign * turn))
    pen.dDown(turn) if sign > 0 else pen.dUp(turn)
    assert same(pen.rotY, reference_normalize(stored + sign * turn))


@pytest.mark.parametrize("turns, rotZ", [(("dLeft", 180), 180), (("dRight", 180), 180), (("dLeft", 270), -90),
                                         (("dLeft", 720), 0)])
def test_turn_examples(pen, turns, rotZ):
    getattr(pen, turns[0])(turns[1])
    assert same(pen.rotZ, rotZ)


def test_looking_up_past_the_vertical_heads_backwards(pen):
    pen.dUp(120)
    assert same(pen.rotY, -30)
    pen.moveTo(0, 0, 0)
    pen.forward(1)
    assert close(pen.getPos(), (-0.5, 0, math.sqrt(3) / 2))


@pytest.mark.parametrize("value", ["90", None, [1], object(), 1j])
@pytest.mark.parametrize("change", ["rotZ", "rotY", "dLeft", "dRight", "dUp", "dDown"])
def test_non_numbers_raise_type_error_and_leave_the_angle(pen, value, change):
    pen.rotZ, pen.rotY = 10, 20
    with pytest.raises(TypeError):
        if change.startswith("rot"):
            setattr(pen, change, value)
        else:
            getattr(pen, change)(value)
    assert same(pen.rotZ, 10) and same(pen.rotY, 20)


# ---- moving ---------------------------------------------------------------------------------

def test_forward_on_a_new_pen_moves_along_x_in_floats(pen):
    pen.forward(10)
    target = pen.getPos()
    assert type(target) is tuple and [type(v) for v in target] == [float] * 3
    assert target[:2] == (10.0, 0.0) and 0 < target[2] < 1e-15
    assert pen._Pen__lsg is not None and isinstance(pen._Pen__lsg, LineSegs)


@pytest.mark.parametrize("turn, target", [(("dLeft", 90), (0, 10, 0)), (("dUp", 90), (0, 0, 10)),
                                          (("dDown", 90), (0, 0, -10))])
def test_forward_follows_the_heading(pen, turn, target):
    getattr(pen, turn[0])(turn[1])
    pen.forward(10)
    assert close(pen.getPos(), target)


def test_forward_backwards_zero_and_drawing(pen):
    pen.moveTo(1, 1, 1)
    pen.forward(-5)
    assert close(pen.getPos(), (-4, 1, 1))
    pen.forward(0)
    assert close(pen.getPos(), (-4, 1, 1))
    pen.forward(5, True)
    pen.update()
    assert [close(a, b) for a, b in zip(positions(pen.lineNode)[0], [(-4, 1, 1), (1, 1, 1)])] == [True, True]


class MovesThePenOnLookup:
    """A key of the pen's __dict__ where the lookup of the tilt probes first:
    once armed, its __eq__ drops the pending move and makes a new tuple,
    which takes the memory the dropped one had."""

    def __init__(self, pen):
        self.pen, self.armed, self.made = pen, False, []

    def __hash__(self):
        return hash("_Pen__rotY")

    def __eq__(self, other):
        if self.armed:
            self.armed = False
            self.pen.__dict__["_Pen__mto"] = None
            self.made.append(tuple([100.0, 200.0, 300.0]))
        return NotImplemented


@pytest.mark.parametrize("draw", [False, True])
def test_forward_starts_from_the_move_it_read_even_when_a_lookup_drops_it(pen, draw):
    key = MovesThePenOnLookup(pen)
    pen.__dict__ = {key: None, **pen.__dict__}
    pen.moveTo(float(1), float(2), float(3))
    key.armed = True
    pen.forward(2, draw)
    assert key.made and close(pen.getPos(), (3, 2, 3))


class Plain(Pen):
    """A subclass overriding nothing: every call takes the ordinary way."""


def random_program(rng, steps=120):
    numbers = [1, 2, -3, 0, 0.5, -2.25, 1e-9, 7, 45, 90.0, 12345678901, True]
    program = []
    for _ in range(steps):
        kind = rng.random()
        if kind < 0.35:
            program.append(("forward", rng.choice(numbers), rng.choice([True, False])))
        elif kind < 0.65:
            program.append((rng.choice(["dLeft", "dRight", "dUp", "dDown"]), rng.choice(numbers)))
        elif kind < 0.75:
            program.append(("moveTo", *(rng.choice(numbers) for _ in range(3))))
        elif kind < 0.8:
            program.append(("lineTo", rng.uniform(-5, 5), 1, 2))
        elif kind < 0.85:
            program.append(("towards", rng.uniform(-5, 5), rng.choice([0, 3]), 1))
        elif kind < 0.9:
            program.append(("color", (rng.random(), 0.5, 0.25, 1)))
        elif kind < 0.93:
            program.append(("update",))
        elif kind < 0.95:
            program.append(("clear",))
        else:
            program.append(("getPos",))
    return program


def observed(pen):
    position = pen.getPos()
    shown = tuple(position) if isinstance(position, LPoint3f) else position
    return (type(position), [(type(v), v) for v in shown], type(pen.rotZ), pen.rotZ, type(pen.rotY), pen.rotY)


@pytest.mark.parametrize("seed", range(8))
def test_the_quick_way_gives_the_same_results_as_the_ordinary_way(make_pen, seed):
    quick, ordinary = make_pen(), make_pen(Plain)
    for step in random_program(random.Random(seed)):
        for pen in (quick, ordinary):
            getattr(pen, step[0])(*step[1:])
        assert observed(quick) == observed(ordinary), step
    quick.update()
    ordinary.update()
    assert exact_build(quick.lineNode) == exact_build(ordinary.lineNode)


# ---- overriding changes the composite operations ----------------------------------------------

class Tracing(Pen):
    def __init__(self, app):
        super().__init__(app)
        self.calls = []

    def moveTo(self, x, y, z):
        self.calls.append(("moveTo", round(x, 6), round(y, 6), round(z, 6)))
        super().moveTo(x, y, z)

    def lineTo(self, x, y, z):
        self.calls.append(("lineTo", round(x, 6), round(y, 6), round(z, 6)))
        super().lineTo(x, y, z)


def test_overridden_moves_and_lines_are_used_by_forward_drawpath_and_drawvec(make_pen):
    pen = make_pen(Tracing)
    pen.forward(2)
    pen.forward(1, True)
    pen.drawPath([(0, 0, 0), (0, 1, 0)])
    assert pen.calls == [("moveTo", 2, 0, 0), ("lineTo", 3, 0, 0), ("moveTo", 0, 0, 0), ("lineTo", 0, 1, 0)]
    pen.calls.clear()
    pen.drawVec(LPoint3f(0, 0, 0), LVector3f(1, 0, 0))
    assert [name for name, *_ in pen.calls] == ["moveTo", "lineTo", "lineTo", "lineTo", "lineTo"]


def test_a_method_set_on_the_instance_is_used_by_forward(pen):
    lines = []
    pen.lineTo = lambda x, y, z: lines.append((x, y, z))
    pen.forward(3, True)
    assert close(lines[0], (3, 0, 0))
    pen.update()
    assert pen.lineNode.node().getNumGeoms() == 1  # the origin asked for by getPos, nothing more


def test_changes_to_the_class_and_the_module_reach_forward(pen, monkeypatch):
    monkeypatch.setattr(Pen, "getPos", lambda self: (100, 0, 0))
    pen.forward(1)
    assert close(pen._Pen__mto, (101, 0, 0))
    monkeypatch.undo()
    monkeypatch.setattr(tv, "abs", lambda n: 2 * n, raising=False)
    pen.moveTo(0, 0, 0)
    pen.forward(1)
    assert close(pen.getPos(), (2, 0, 0))
    monkeypatch.undo()

    class Upright:
        radians, sin, cos = math.radians, staticmethod(lambda x: 0.0), staticmethod(lambda x: 1.0)
    monkeypatch.setattr(tv, "math", Upright)
    pen.moveTo(0, 0, 0)
    pen.forward(3)
    assert pen.getPos() == (0.0, 0.0, 3.0)


def test_the_class_changed_after_quick_steps_is_seen_at_every_change(pen, monkeypatch):
    for start in (100, 200):
        pen.moveTo(0, 0, 0)
        pen.forward(1)
        assert close(pen.getPos(), (1, 0, 0))
        monkeypatch.setattr(Pen, "getPos", lambda self, x=start: (x, 0, 0))
        pen.forward(1)
        assert close(pen._Pen__mto, (start + 1, 0, 0))
        monkeypatch.undo()


def test_a_method_removed_and_set_again_leaves_the_pen_as_it_was(pen):
    """The class then holds the same objects in another order."""
    turn = vars(Pen)["dLeft"]
    del Pen.dLeft
    Pen.dLeft = turn
    pen.dLeft(90)
    pen.forward(2, True)
    assert (pen.rotZ, pen.rotY) == (90, 90)
    assert close(pen.getPos(), (0, 2, 0))


def test_a_subclass_normalisation_is_used_by_the_turns(make_pen):
    class Raw(Pen):
        def _normalize_angle(self, angle):
            return angle
    pen = make_pen(Raw)
    pen.dLeft(400)
    pen.dUp(1000)
    assert (pen.rotZ, pen.rotY) == (400, -910)


# ---- aiming and arrows ------------------------------------------------------------------------

@pytest.mark.parametrize("target, rotZ, rotY", [((1, 1, 0), 45.0, 90.0), ((0, 0, 5), 0.0, 0), ((0, 0, -5), 0.0, 180)])
def test_towards_sets_both_headings(pen, target, rotZ, rotY):
    pen.towards(*target)
    assert same(pen.rotZ, rotZ) and same(pen.rotY, rotY)


@pytest.mark.parametrize("point", [[3, -4, 2], (3, -4, 2), LPoint3f(3, -4, 2), LVector3(3, -4, 2), iter((3, -4, 2))])
def test_towards_takes_any_point_and_forward_then_arrives(pen, point):
    pen.moveTo(1, 1, 1)
    pen.towards(point)
    pen.forward(math.dist((1, 1, 1), (3, -4, 2)))
    assert close(pen.getPos(), (3, -4, 2), 1e-9)


def test_towards_the_pen_position_changes_nothing(pen):
    pen.rotZ, pen.rotY = 10, 20
    pen.moveTo(1, 2, 3)
    pen.towards(1, 2, 3)
    assert same(pen.rotZ, 10) and same(pen.rotY, 20)


class Raising:
    def __iter__(self):
        raise RuntimeError("no points here")


@pytest.mark.parametrize("args, context", [((), None), ((1, 2), None), (((1, 2),), ValueError), ((5,), TypeError),
                                           ((1, 2, 3, 4), None), (("ab",), ValueError), ((None,), TypeError)])
def test_towards_rejects_what_is_no_point_with_its_message(pen, args, context):
    with pytest.raises(ValueError) as raised:
        pen.towards(*args)
    assert str(raised.value) == TOWARDS_MESSAGE and raised.value.__cause__ is None
    assert type(raised.value.__context__) is (context or type(None))
    assert same(pen.rotZ, 0) and same(pen.rotY, 90)


def test_towards_lets_other_errors_through(pen):
    with pytest.raises(RuntimeError):
        pen.towards(Raising())
    with pytest.raises(TypeError):
        pen.towards("a", 0, 0)
    assert same(pen.rotZ, 0)


class Squaring:
    """A coordinate that writes down its squares and fails at a chosen one."""
    def __init__(self, value, name, steps, fail_at=None):
        self.value, self.name, self.steps, self.fail_at = value, name, steps, fail_at

    def __sub__(self, other):
        return Squaring(self.value - other, self.name, self.steps, self.fail_at)

    def __pow__(self, power):
        self.steps.append(self.name)
        if len(self.steps) == self.fail_at:
            raise ArithmeticError(self.name)
        return self.value ** power

    def __float__(self):
        return float(self.value)


@pytest.mark.parametrize("fail_at", [None, 4])
def test_towards_squares_the_differences_in_the_written_order(pen, fail_at):
    steps = []
    x, y, z = (Squaring(value, name, steps, fail_at) for value, name in zip((1, 2, 3), "xyz"))
    if fail_at is None:
        pen.towards(x, y, z)
        assert close((pen.rotZ, pen.rotY), (math.degrees(math.atan2(2, 1)), math.degrees(math.atan2(5 ** 0.5, 3))))
    else:
        with pytest.raises(ArithmeticError, match="x"):
            pen.towards(x, y, z)
    # distance: dx**2 + dy**2 + dz**2; then xy_distance: dx**2 + dy**2
    assert steps == ["x", "y", "z", "x", "y"][:fail_at]


def test_an_arrow_is_a_shaft_and_a_closed_head(pen):
    pen.drawVec(LPoint3f(0, 0, 0), LVector3f(1, 0, 0))
    [line] = positions(pen.lineNode)
    expected = [(0, 0, 0), (1, 0, 0), (0.74019, 0, 0.15), (0.74019, 0, -0.15), (1, 0, 0)]
    assert all(close(a, b, 1e-4) for a, b in zip(line, expected)) and len(line) == 5
    assert math.isclose(pen.rotZ, 0.0) and math.isclose(pen.rotY, 60.0) and pen._Pen__mto is None
    assert close(pen.getPos(), (1, 0, 0))


def test_a_zero_arrow_keeps_the_previous_heading(pen):
    pen.dLeft(90)
    pen.drawVec(LPoint3(2, 2, 2), LVector3(0, 0, 0), arsz=1)
    line = positions(pen.lineNode)[0]
    assert close(line[0], (2, 2, 2)) and close(line[1], (2, 2, 2)) and same(pen.rotZ, 90)
    assert close(line[2], (2, 2 - math.cos(math.radians(30)), 2.5))


def test_drawvec_errors_come_where_the_steps_fail(pen):
    with pytest.raises(AttributeError):
        pen.drawVec((0, 0, 0), (1, 0, 0))
    assert pen._Pen__mto is None
    with pytest.raises(TypeError):
        pen.drawVec("abc", LVector3f(1, 0, 0))
    assert pen._Pen__mto == ("a", "b", "c")


# ---- what is looked up, and when --------------------------------------------------------------
#
# A composite operation looks up each method when the written call is
# reached, before its arguments are worked out, as `self.moveTo(c[0], c[1], c[2])` does.

def logging_pen_class(log, names):
    """A Pen whose methods `names` are properties that write down each lookup."""
    def looked_up(name):
        def get(self):
            log.append(name)
            return getattr(Pen, name).__get__(self)
        return property(get)
    return type("LoggingPen", (Pen,), {name: looked_up(name) for name in names})


class LoggedPoint:
    """Indexable and addable; writes down each item read and each addition."""

    def __init__(self, name, values, log):
        self.name, self.values, self.log = name, values, log

    def __getitem__(self, index):
        self.log.append(f"{self.name}[{index}]")
        return self.values[index]

    def __len__(self):
        self.log.append(f"len {self.name}")
        return len(self.values)

    def __add__(self, other):
        self.log.append(f"{self.name}+")
        return LPoint3f(*self.values) + other


def test_drawpath_looks_up_each_method_before_reading_its_point(make_pen):
    log = []
    pen = make_pen(logging_pen_class(log, ["moveTo", "lineTo"]))
    path = LoggedPoint("path", [LoggedPoint("a", (0, 0, 0), log), LoggedPoint("b", (1, 0, 0), log)], log)
    pen.drawPath(path)
    assert log == ["len path", "path[0]", "moveTo", "a[0]", "a[1]", "a[2]",
                   "path[1]", "lineTo", "b[0]", "b[1]", "b[2]"]


class LoggedVector(LVector3f):
    log = None

    def length(self):
        self.log.append("length")
        return LVector3f.length(self)


def test_drawvec_looks_up_each_method_before_working_out_its_arguments(make_pen):
    log = []
    pen = make_pen(logging_pen_class(log, ["moveTo", "towards", "forward", "dUp", "update"]))
    LoggedVector.log = log
    pen.drawVec(LoggedPoint("sv", (0, 0, 0), log), LoggedVector(1, 0, 0))
    assert log == ["length", "moveTo", "sv[0]", "sv[1]", "sv[2]", "sv+", "towards", "forward",
                   "dUp", "forward", "dUp", "forward", "dUp", "forward", "update"]
    assert close(positions(pen.lineNode)[0][1], (1, 0, 0))


class LoggingMath:
    def __init__(self, log):
        self.log = log

    def __getattr__(self, name):
        self.log.append(name)
        return getattr(math, name)


class Squared(float):
    """A float that writes down each power taken of it."""
    log = None

    def __sub__(self, other):
        return Squared(float(self) - other)

    def __pow__(self, exponent):
        Squared.log.append("**")
        return float(self) ** exponent


def test_towards_looks_up_math_functions_before_working_out_their_arguments(pen, monkeypatch):
    log = []
    Squared.log = log
    monkeypatch.setattr(tv, "math", LoggingMath(log))
    pen.towards(Squared(3), 4.0, 0.0)
    assert log == ["sqrt", "**", "atan2", "degrees", "sqrt", "**", "atan2", "degrees"]
    assert math.isclose(pen.rotZ, math.degrees(math.atan2(4, 3))) and math.isclose(pen.rotY, 90.0)


def private_attribute(name, log):
    """A property standing for the private attribute `name`, writing down each read."""
    def get(self):
        log.append(name)
        return self.__dict__["stored" + name]

    def set(self, value):
        log.append("set " + name)
        self.__dict__["stored" + name] = value
    return property(get, set)


@pytest.fixture
def watched(make_pen):
    log = []
    kind = type("Watched", (Pen,), {"_Pen__mto": private_attribute("mto", log),
                                    "_Pen__lsg": private_attribute("lsg", log)})
    pen = make_pen(kind)
    log.clear()
    return pen, log


@pytest.mark.parametrize("call, reads", [
    (lambda p: p.lineTo(1, 0, 0), ["mto", "lsg"]),
    (lambda p: (p.moveTo(1, 0, 0), p.lineTo(2, 0, 0)), ["set mto", "mto", "lsg", "mto", "set mto", "lsg"]),
    (lambda p: (p.moveTo(1, 0, 0), p.dot()), ["set mto", "lsg", "mto"]),
    (lambda p: (p.moveTo(1, 0, 0), p.getPos()), ["set mto", "mto", "mto"]),
    (lambda p: p.getPos(), ["mto", "lsg"]),
    (lambda p: (p.lineTo(1, 0, 0), p.update(), p.setVertex(0, 5, 5, 5)), ["mto", "lsg", "lsg", "lsg", "lsg"]),
    (lambda p: p.setVertex(-1, 5, 5, 5), []),
], ids=["lineTo", "lineTo after a move", "dot", "getPos of a move", "getPos", "setVertex", "setVertex negative"])
def test_the_private_attributes_are_read_as_often_and_in_the_order_the_methods_read_them(watched, call, reads):
    pen, log = watched
    call(pen)
    assert log == reads


# ---- against the plain rendition -------------------------------------------------------------

def turtle_program(pen, seed):
    """A seeded random mix of every drawing call, then what a program can read back."""
    rng = random.Random(seed)
    for _ in range(150):
        choice = rng.random()
        if choice < 0.4:
            pen.forward(rng.choice([rng.uniform(-2, 3), 1, 0]), rng.random() < 0.8)
        elif choice < 0.55:
            pen.dLeft(rng.uniform(-90, 90)) if rng.random() < 0.5 else pen.dUp(rng.uniform(-90, 90))
        elif choice < 0.62:
            pen.color((rng.random(), rng.random(), rng.random(), 1))
        elif choice < 0.67:
            pen.update()
        elif choice < 0.72:
            pen.moveTo(rng.randint(-3, 3), 1, 2)
            pen.dot()
        elif choice < 0.77:
            pen.towards(rng.uniform(-5, 5), rng.uniform(-5, 5), 2)
        elif choice < 0.82:
            pen.drawPath([(rng.uniform(-4, 4), rng.uniform(-4, 4), 0) for _ in range(rng.randint(1, 4))])
        elif choice < 0.86:
            pen.size(rng.randint(1, 4))
        elif choice < 0.9:
            pen.setVertex(rng.randint(-1, 30), 1, 1, 1)
        elif choice < 0.93:
            pen.drawVec(LPoint3f(0, 0, 0), LVector3f(rng.uniform(0.1, 3), 1, 0))
        elif choice < 0.95:
            pen.clear()
        else:
            pen.lineTo(rng.uniform(-4, 4), 0, 1)
    pen.update()
    return [exact_build(child) for child in pen.np.getChildren()], tuple(pen.getPos()), pen.rotZ, pen.rotY


@pytest.mark.parametrize("seed", range(12))
def test_the_pen_builds_what_the_plain_rendition_builds(make_pen, seed):
    assert turtle_program(make_pen(), seed) == turtle_program(make_pen(python_pen.Pen), seed)


# ---- bad input never crashes ---------------------------------------------------------------------

NAN, INF = float("nan"), float("inf")
BAD_CALLS = [
    ("moveTo then lineTo", lambda p: (p.moveTo(HOSTILE, 0, 0), p.lineTo(0, 0, 0)), ZeroDivisionError),
    ("moveTo None then dot", lambda p: (p.moveTo(None, 0, 0), p.dot()), TypeError),
    ("lineTo string", lambda p: p.lineTo("x", 0, 0), TypeError),
    ("lineTo huge", lambda p: p.lineTo(10**400, 0, 0), OverflowError),
    ("lineTo hostile", lambda p: p.lineTo(0, 0, HOSTILE), ZeroDivisionError),
    ("color string", lambda p: p.color("red"), TypeError),
    ("color three", lambda p: p.color((1, 0, 0)), TypeError),
    ("color hostile", lambda p: p.color((1, 0, HOSTILE, 1)), Exception),
    ("size string", lambda p: p.size("big"), TypeError),
    ("size hostile", lambda p: p.size(HOSTILE), ZeroDivisionError),
    ("forward string", lambda p: p.forward("far"), TypeError),
    ("forward hostile draw", lambda p: p.forward(1, HOSTILE), ZeroDivisionError),
    ("forward hostile", lambda p: p.forward(HOSTILE), TypeError),
    ("setVertex hostile", lambda p: p.setVertex(HOSTILE, 0, 0, 0), ZeroDivisionError),
    ("setVertex nan index", lambda p: p.setVertex(NAN, 0, 0, 0), ValueError),
    ("setVertex inf index", lambda p: p.setVertex(INF, 0, 0, 0), OverflowError),
    ("setVertex hostile coordinate", lambda p: p.setVertex(0, HOSTILE, 0, 0), ZeroDivisionError),
    ("drawPath number", lambda p: p.drawPath(5), TypeError),
    ("drawPath hostile", lambda p: p.drawPath(HOSTILE), ZeroDivisionError),
    ("drawPath hostile item", lambda p: p.drawPath([HOSTILE]), TypeError),
    ("drawPath None item", lambda p: p.drawPath([None]), TypeError),
    ("towards hostile", lambda p: p.towards(HOSTILE), ZeroDivisionError),
    ("towards strings", lambda p: p.towards("x", "y", "z"), TypeError),
    ("drawVec None", lambda p: p.drawVec(None, None), AttributeError),
    ("drawVec hostile size", lambda p: p.drawVec(LPoint3f(0, 0, 0), LVector3f(1, 0, 0), HOSTILE), TypeError),
    ("dLeft hostile", lambda p: p.dLeft(HOSTILE), TypeError),
    ("update with a broken container", lambda p: (setattr(p, "np", None), p.update()), AttributeError),
    ("no recorder", lambda p: (delattr(p, "_Pen__lsg"), p.lineTo(0, 0, 0)), AttributeError),
    ("recorder replaced", lambda p: (setattr(p, "_Pen__lsg", 5), p.forward(1, True)), AttributeError),
    ("pending move replaced", lambda p: (setattr(p, "_Pen__mto", 7), p.forward(1, True)), TypeError),
    ("angle replaced", lambda p: (setattr(p, "_Pen__rotZ", "x"), p.forward(1)), TypeError),
    ("angle infinite", lambda p: (setattr(p, "_Pen__rotZ", INF), p.forward(1)), ValueError),
    ("Pen of nothing", lambda p: Pen(None), AttributeError),
    ("argument count", lambda p: p.forward(), TypeError),
]


@pytest.mark.parametrize("call, error", [case[1:] for case in BAD_CALLS], ids=[case[0] for case in BAD_CALLS])
def test_bad_input_raises_a_python_exception(pen, call, error):
    with pytest.raises(error):
        call(pen)


@pytest.mark.parametrize("value", [NAN, INF, -INF, 1e308, 2**60, -0.0])
def test_extreme_numbers_are_drawn_as_the_engine_takes_them(pen, value):
    pen.moveTo(value, 0, 0)
    pen.forward(value, True)
    pen.dLeft(value)
    pen.setVertex(0, value, value, value)
    pen.update()
    pen.setVertex(0, value, value, value)
    assert pen.lineNode.node().getNumGeoms() == 1


class CountedFraction(Fraction):
    """A number that counts its conversions to float."""
    conversions = 0

    def __float__(self):
        CountedFraction.conversions += 1
        return Fraction.__float__(self)


def test_a_colour_or_size_of_the_learners_own_numbers_is_converted_once(make_pen):
    pen, plain = make_pen(), make_pen()
    CountedFraction.conversions = 0
    pen.color((CountedFraction(1, 3), 0, 0, 1))
    assert CountedFraction.conversions == 1
    pen.size(CountedFraction(5, 2))
    assert CountedFraction.conversions == 2
    assert pen._current_thickness == Fraction(5, 2)
    plain.color((1 / 3, 0, 0, 1))
    plain.size(2.5)
    for drawing in (pen, plain):
        drawing.drawPath([(0, 0, 0), (1, 0, 0)])
        drawing.update()
    assert exact_build(pen.lineNode) == exact_build(plain.lineNode)


class TakesTheRecorderAway:
    """A dictionary key that collides with "_Pen__lsg": once armed, the first
    lookup of the recorder takes it away, moves the pen and makes a new pen
    (which frees the recordings nothing can reach any more)."""

    def __init__(self, pen, app):
        self.pen, self.app, self.armed, self.fired = pen, app, False, 0

    def __hash__(self):
        return hash("_Pen__lsg")

    def __eq__(self, other):
        if self.armed:
            self.armed = False
            self.fired += 1
            vars(self.pen)["_Pen__lsg"] = None
            vars(self.pen)["_Pen__mto"] = (5.0, 5.0, 5.0)
            Pen(self.app).np.removeNode()
        return NotImplemented


def test_a_dictionary_key_that_replaces_the_recorder_during_forward_does_not_crash(pen, app):
    pen.moveTo(1.0, 2.0, 3.0)
    key = TakesTheRecorderAway(pen, app)
    pen.__dict__ = {key: None, **pen.__dict__}
    key.armed = True
    # The pending move is recorded first, so the recorder is read then: it is gone.
    with pytest.raises(AttributeError, match="moveTo"):
        pen.forward(1.0, True)
    assert key.fired == 1 and pen._Pen__mto == (5.0, 5.0, 5.0)


def test_a_recorder_kept_elsewhere_keeps_its_drawing_however_many_pens_come_and_go(make_pen, app):
    first = make_pen()
    first.color(RED)
    first.drawPath([(0, 0, 0), (1, 0, 0)])
    kept = first._Pen__lsg
    first.np.removeNode()
    del first
    for _ in range(3):
        Pen(app).np.removeNode()  # each new pen frees what nothing reaches any more
    second = make_pen()
    second._Pen__lsg = kept
    second.update()
    assert strokes(second.lineNode) == [("GeomLinestrips", [((0, 0, 0), RED), ((1, 0, 0), RED)])]


def test_a_foreign_recorder_is_driven_call_by_call(pen):
    foreign = LineSegs("foreign")
    pen._Pen__lsg = foreign
    pen.forward(2, True)
    assert close(foreign.getCurrentPosition(), (2, 0, 0))
    pen.update()
    line = positions(pen.lineNode)[0]
    assert close(line[0], (0, 0, 0)) and close(line[1], (2, 0, 0)) and foreign.isEmpty()


def test_repeated_pen_calls_hold_no_memory(pen):
    calls = {
        "forward": lambda: (pen.forward(1), pen.dLeft(1), pen.dUp(0.5), pen.getPos()),
        "towards": lambda: pen.towards((1, 2, 3)),
        "towards error": swallow(lambda: pen.towards((1, 2)), ValueError),
        "vertex error": swallow(lambda: pen.setVertex("a", 0, 0, 0), TypeError),
        "dot error": swallow(lambda: (pen.moveTo(None, 0, 0), pen.dot()), TypeError),
        "angles": lambda: setattr(pen, "rotZ", Fraction(1, 3)),
        "moves and lines": lambda: (pen.moveTo(1, 2, 3), pen.lineTo(3, 2, 1), pen.moveTo(0, 0, 0), pen.dot()),
        "paths": lambda: pen.drawPath([(0, 0, 0), [1, 0, 0], LPoint3f(1, 1, 0)]),
        "builds": lambda: (pen.clear(), pen.color((1, 0, 0, 1)), pen.lineTo(1, 1, 1), pen.color((0, 1, 0, 1)),
                           pen.lineTo(2, 2, 2), pen.update(), pen.setVertex(0, 5, 5, 5), pen.getPos()),
        "arrows": lambda: (pen.clear(), pen.drawVec(LPoint3f(0, 0, 0), LVector3f(1, 2, 0))),
        "long turns": lambda: (setattr(pen, "_Pen__rotZ", 2**63 - 1), pen.dLeft(1), pen.dRight(-(2**63))),
    }
    for name, call in calls.items():
        assert growth_per_call(call, calls=1000) < 8.0, name


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_changing_colour_without_drawing_holds_no_memory(pen):
    pen.lineTo(1, 0, 0)
    colours = [(1, 0, 0, 1), (0, 1, 0, 1)]
    before = resident_bytes()
    for index in range(300_000):
        pen.color(colours[index % 2])
    assert resident_bytes() - before < 2_000_000
    pen.lineTo(2, 0, 0)
    pen.update()
    assert [colour for _, colour in strokes(pen.lineNode)[0][1]] == [WHITE, (0, 1, 0, 1)]


# ---- on the screen ----------------------------------------------------------------------------

def screen_point(app, point):
    """The pixel where a point in render space appears."""
    film = LPoint3()
    lens = app.cam.node().getLens()
    assert lens.project(app.cam.getRelativePoint(app.render, point), film)
    return int((film[0] + 1) / 2 * app.win.getXSize()), int((1 - film[1]) / 2 * app.win.getYSize())


def reddish(image, x, y, reach=2):
    return any(image.getRed(x + dx, y + dy) > 0.8 and image.getGreen(x + dx, y + dy) < 0.3
               and image.getBlue(x + dx, y + dy) < 0.3
               for dx in range(-reach, reach + 1) for dy in range(-reach, reach + 1))


def test_a_red_square_drawn_with_forward_and_left_turns_shows_on_screen(app, pen, screenshot):
    saved = (app.camera.getPos(), app.camera.getHpr())
    try:
        app.camera.setPos(15, 15, 60)
        app.camera.lookAt(LPoint3(15, 15, 0), LVector3(0, 1, 0))
        pen.color((1, 0, 0, 1))
        pen.size(5)
        pen.moveTo(10, 10, 0)
        for _ in range(4):
            pen.forward(10, True)
            pen.dLeft(90)
        pen.update()
        image = screenshot()
        for edge_middle in [(15, 10, 0), (20, 15, 0), (15, 20, 0), (10, 15, 0)]:
            assert reddish(image, *screen_point(app, edge_middle)), edge_middle
        assert not reddish(image, *screen_point(app, (15, 15, 0)), reach=20)
        assert not reddish(image, *screen_point(app, (25, 25, 0)))
    finally:
        app.camera.setPos(saved[0])
        app.camera.setHpr(saved[1])


# ---- the engine's Filename, which reads past its end without a check ----------------------------

class SevenEverywhere(Filename):
    def __getitem__(self, index):
        return 7


@pytest.mark.parametrize("path", [[Filename("x")], [(0, 0, 0), Filename("")]], ids=["point", "empty point"])
def test_a_filename_read_past_its_end_raises_index_error(pen, path):
    """Reading a Filename past its end aborts inside the engine; the kit refuses it first, as a str would."""
    with pytest.raises(IndexError, match="Filename index out of range"):
        pen.drawPath(path)


def test_a_filename_long_enough_or_with_its_own_indexing_is_read_as_given(pen):
    pen.drawPath([SevenEverywhere("")])
    assert tuple(pen.getPos()) == (7, 7, 7)
    pen.drawPath([Filename("123")])   # its characters reach moveTo, as in pen.moveTo("1", "2", "3")
    assert pen.getPos() == ("1", "2", "3")
