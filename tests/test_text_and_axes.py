"""The axes gizmo drawn with a pen, billboard text and its per-frame facing."""
import types
from fractions import Fraction

import panda3d.core as core
import pytest
from direct.showbase.DirectObject import DirectObject
from direct.showbase.ShowBase import ShowBase
from panda3d.core import LPoint3, LPoint3f, NodePath, TextNode

import tavik.tavik as tv
from tavik.tavik import Pen, drawAxies
from helpers import HOSTILE, WithoutMethods, close, exact_build, growth_per_call, positions, strokes, swallow
from reference import application as plain

RED, GREEN, BLUE = (1, 0, 0, 1), (0, 1, 0, 1), (0, 0, 1, 1)


@pytest.fixture
def pen(app):
    made = Pen(app)
    yield made
    made.np.removeNode()


# ---- the axes gizmo -------------------------------------------------------------------

def test_the_default_axes_are_three_coloured_arrows(pen):
    assert drawAxies(pen) is None
    shown = strokes(pen.lineNode)
    assert [kind for kind, _ in shown] == ["GeomLinestrips"] * 3
    assert [{colour for _, colour in points} for _, points in shown] == [{RED}, {GREEN}, {BLUE}]
    assert positions(pen.lineNode) == [
        [(0, 0, 0), (5, 0, 0), (4.5, 0, 0.5), (4.5, 0, -0.5), (5, 0, 0)],
        [(0, 0, 0), (0, 5, 0), (0, 4.5, 0.5), (0, 4.5, -0.5), (0, 5, 0)],
        [(0, 0, 0), (0, 0, 5), (0.5, 0, 4.5), (-0.5, 0, 4.5), (0, 0, 5)],
    ]


def test_after_the_axes_the_pen_draws_on_in_blue_from_the_z_tip(pen):
    drawAxies(pen, n2=3)
    assert pen.getPos() == LPoint3f(0, 0, 3)
    pen.lineTo(1, 1, 1)
    pen.update()
    _, last = strokes(pen.lineNode)[-1]
    assert last[-2:] == [((0, 0, 3), BLUE), ((1, 1, 1), BLUE)]
    assert pen.np.getNumChildren() == 2


@pytest.mark.parametrize("n1, n2, n3, x_axis", [
    (2, 2, 0.5, [(2, 0, 0), (2, 0, 0), (1.5, 0, 0.5), (1.5, 0, -0.5), (2, 0, 0)]),
    (0, 5, -1, [(0, 0, 0), (5, 0, 0), (6, 0, -1), (6, 0, 1), (5, 0, 0)]),
    (-3, 1.5, 0.25, [(-3, 0, 0), (1.5, 0, 0), (1.25, 0, 0.25), (1.25, 0, -0.25), (1.5, 0, 0)]),
])
def test_shaft_and_head_follow_the_arguments(pen, n1, n2, n3, x_axis):
    drawAxies(pen, n1, n2, n3)
    assert positions(pen.lineNode)[0] == x_axis


class Recorder:
    """A stand-in pen that writes down what drawAxies asks of it."""
    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        return lambda *args: self.calls.append((name, *args))


def test_the_axes_use_only_color_drawpath_and_update_with_the_callers_numbers():
    pen = Recorder()
    third = Fraction(1, 3)
    drawAxies(pen, n1=0, n2=Fraction(2), n3=third)
    assert [name for name, *_ in pen.calls] == ["color", "drawPath"] * 3 + ["update"]
    assert [call[1] for call in pen.calls[0:6:2]] == [tv.Color.red, tv.Color.green, tv.Color.blue]
    x_axis = pen.calls[1][1]
    assert x_axis == [(0, 0, 0), (2, 0, 0), (Fraction(5, 3), 0, third), (Fraction(5, 3), 0, -third), (2, 0, 0)]
    assert type(x_axis) is list and type(x_axis[2][0]) is Fraction and type(x_axis[0][1]) is int


def test_the_axes_return_none_whatever_the_pens_update_returns():
    class Answering(Recorder):
        def update(self):
            return "built"
    assert drawAxies(Answering()) is None


class Traced:
    """A number that writes down each subtraction and negation made with it."""
    def __init__(self, value, steps):
        self.value, self.steps = value, steps

    def __sub__(self, other):
        self.steps.append("-")
        return Traced(self.value - other.value, self.steps)

    def __neg__(self):
        self.steps.append("neg")
        return Traced(-self.value, self.steps)


def test_the_axes_work_out_each_head_in_the_written_order():
    steps = []
    drawAxies(Recorder(), Traced(0, steps), Traced(5, steps), Traced(0.5, steps))
    # X and Y: (n2 - n3, 0, n3), (n2 - n3, 0, -n3); Z: (n3, 0, n2 - n3), (-n3, 0, n2 - n3).
    assert steps == ["-", "-", "neg"] * 2 + ["-", "neg", "-"]


@pytest.mark.parametrize("numbers", [(), (0, 5, 0.5), (2, 2, 0.5), (-3, Fraction(3, 2), Fraction(1, 4)), (1, 4, -1)],
                         ids=repr)
def test_the_axes_are_drawn_as_the_plain_rendition_draws_them(make_pen, numbers):
    kit, rendition = make_pen(), make_pen()
    drawAxies(kit, *numbers)
    plain.drawAxies(rendition, *numbers)
    assert exact_build(kit.lineNode) == exact_build(rendition.lineNode)
    assert kit.getPos() == rendition.getPos()
    asked = [Recorder(), Recorder()]
    drawAxies(asked[0], *numbers)
    plain.drawAxies(asked[1], *numbers)
    assert asked[0].calls == asked[1].calls


@pytest.mark.parametrize("arguments, error", [
    ((None,), AttributeError), ((object(),), AttributeError), ((), TypeError),
    (("pen", 0, 5, 0.5, 1), TypeError),
])
def test_axes_without_a_pen_raise(arguments, error):
    with pytest.raises(error):
        drawAxies(*arguments)


@pytest.mark.parametrize("numbers, error", [
    (dict(n1="a"), TypeError), (dict(n3="x"), TypeError), (dict(n2=HOSTILE), TypeError),
    (dict(n1=None), TypeError), (dict(n2=10**400), OverflowError), (dict(n3=[1]), TypeError),
])
def test_axes_with_bad_numbers_raise(pen, numbers, error):
    with pytest.raises(error):
        drawAxies(pen, **numbers)


# ---- billboard text -------------------------------------------------------------------

def test_a_text_made_without_a_font_gets_none_as_its_font(app):
    saved = app.cnFont
    app.cnFont = None
    try:
        label = app.makeText("fontless", "x")
        assert not label.node().hasFont() and app.textNodes[-1] is label
    finally:
        app.cnFont = saved
        label.removeNode()


@pytest.mark.parametrize("arguments", [
    dict(nodeName=None), dict(nodeName=HOSTILE), dict(nodeName="n", text=HOSTILE), dict(nodeName="n", pos=HOSTILE),
    dict(nodeName="n", pos=(1, 2)), dict(nodeName="n", color=(1, 0, 0)), dict(nodeName="n", color=HOSTILE),
    dict(nodeName="n", scale=HOSTILE), dict(nodeName="n", align=HOSTILE), dict(nodeName="n", align=10**30),
], ids=repr)
def test_text_with_bad_arguments_raises_and_registers_nothing(app, arguments):
    count = len(app.textNodes)
    before = set(app.render.getChildren())
    with pytest.raises(Exception) as raised:
        app.makeText(**arguments)
    # On Python 3.13+ the engine itself reports a hostile value as SystemError.
    assert isinstance(raised.value, (TypeError, ValueError, OverflowError, ZeroDivisionError, AssertionError,
                                     SystemError))
    assert len(app.textNodes) == count
    for child in set(app.render.getChildren()) - before:
        child.removeNode()


def described(label):
    """What a program can read back from a label."""
    node = label.node()
    return (node.getName(), node.getText(), node.getAlign(), node.getFont(), label.getParent(),
            tuple(label.getPos()), tuple(label.getScale()), tuple(label.getColor()), label.getTwoSided())


@pytest.mark.parametrize("arguments", [
    dict(nodeName="defaults"),
    dict(nodeName="everything", text="文字", pos=(1, 2, 3), color=(0, 0, 1, 1), align=TextNode.ALeft, scale=2),
    dict(nodeName="point", text="点", pos=LPoint3(-1, 0.5, 7), scale=0.25),
    dict(nodeName="bad colour", color=(1, 0, 0)), dict(nodeName="bad place", pos=(1, 2)),
    dict(nodeName="unencodable", text="名字\ud800"), dict(nodeName=None),
], ids=lambda arguments: arguments["nodeName"] or "None")
def test_text_is_made_as_the_plain_rendition_makes_it(app, monkeypatch, arguments):
    before = set(app.render.getChildren())
    outcomes = []
    for make in (app.makeText, lambda **given: plain.TAVIK.makeText(app, **given)):
        monkeypatch.setattr(app, "textNodes", [])
        try:
            label = make(**arguments)
        except Exception as error:
            outcomes.append((type(error), app.textNodes))
        else:
            outcomes.append((described(label), app.textNodes == [label]))
    for child in set(app.render.getChildren()) - before:
        child.removeNode()
    assert outcomes[0] == outcomes[1]


def python_facing(app, labels):
    """The facing step of the plain rendition, over `labels`, for comparison."""
    plain.TAVIK.textNodeslookAtCamera(types.SimpleNamespace(textNodes=labels, camera=app.camera))


@pytest.fixture
def labels(app):
    """Labels in assorted places, some under moved parents, and twins to turn in Python."""
    saved = app.camera.getPos(), app.camera.getHpr()
    parent = app.render.attachNewNode("moved parent")
    parent.setPosHprScale(3, -2, 1, 30, 10, 0, 2, 2, 2)
    made, twins = [], []
    for index, pos in enumerate([(0, 0, 0), (5, 1, -2), (-4, 7, 3), (0.1, 0.2, 0.3), (2, 2, 2)]):
        label = app.makeText(f"facing{index}", "面向", pos)
        if index % 2:
            label.wrtReparentTo(parent)
        made.append(label)
        twin = label.getParent().attachNewNode("twin")
        twin.setTransform(label.getTransform())
        twins.append(twin)
    yield made, twins
    parent.removeNode()
    for node in made + twins:
        node.removeNode()
    app.camera.setPos(saved[0])
    app.camera.setHpr(saved[1])


def same_turn(made, twins):
    return all(label.getTransform() == twin.getTransform() for label, twin in zip(made, twins)
               if not label.isEmpty())


@pytest.mark.parametrize("camera", [(0, -10, 0), (10, 0, 0), (3, 4, 25), (-7.5, 2.25, -3), (0, 0, 0)])
def test_labels_turn_exactly_as_the_written_steps_turn_them(app, labels, camera):
    made, twins = labels
    app.camera.setPos(*camera)
    for frame in range(3):
        app.textNodeslookAtCamera()
        python_facing(app, twins)
        assert same_turn(made, twins), frame


def test_the_text_at_the_origin_looks_away_from_a_camera_on_the_x_axis(app, labels):
    made, _ = labels
    app.camera.setPos(10, 0, 0)
    app.textNodeslookAtCamera()
    assert close(made[0].getQuat().getForward(), (-1, 0, 0))


def test_labels_moved_or_turned_while_the_camera_stands_still_are_turned_again(app, labels):
    made, twins = labels
    app.camera.setPos(6, -20, 4)
    for _ in range(2):
        app.textNodeslookAtCamera()
        python_facing(app, twins)
    for node in (made[0], twins[0]):
        node.setPos(1, 1, 1)
    for node in (made[2], twins[2]):
        node.setHpr(45, 0, 0)
    for node in (made[3], twins[3]):
        node.setScale(3)
    app.textNodeslookAtCamera()
    python_facing(app, twins)
    assert same_turn(made, twins)


def test_a_removed_label_is_skipped_and_the_rest_still_turn(app, labels):
    made, twins = labels
    made[1].removeNode()
    twins[1].removeNode()
    app.camera.setPos(1, -30, 2)
    app.textNodeslookAtCamera()
    python_facing(app, twins)
    assert same_turn(made, twins)


class TracedPath(NodePath):
    looks = 0

    def lookAt(self, *args):
        TracedPath.looks += 1
        super().lookAt(*args)


def test_labels_of_other_kinds_take_the_written_steps_every_frame(app, monkeypatch, labels):
    made, twins = labels
    traced = TracedPath(made[0])
    app.camera.setPos(2, -15, 3)
    monkeypatch.setattr(app, "textNodes", [traced] + made[1:])
    for _ in range(3):
        app.textNodeslookAtCamera()
    assert TracedPath.looks == 3
    monkeypatch.setattr(app, "textNodes", tuple(made))
    app.camera.setPos(-5, -15, 3)
    app.textNodeslookAtCamera()
    python_facing(app, twins)
    assert same_turn(made, twins)


@pytest.mark.parametrize("owner", ["application", "ShowBase", "DirectObject"])
def test_the_camera_is_read_through_the_application_for_every_label(app, monkeypatch, labels, owner):
    made, twins = labels
    stand_in = NodePath("stand-in camera")
    stand_in.setPos(9, 9, 9)
    reads = []

    def camera(self):
        reads.append(1)
        return stand_in
    monkeypatch.setattr(app, "textNodes", made)
    app.textNodeslookAtCamera()  # the quick way, once more before the class changes
    owners = {"application": type(app), "ShowBase": ShowBase, "DirectObject": DirectObject}
    monkeypatch.setattr(owners[owner], "camera", property(camera), raising=False)
    app.textNodeslookAtCamera()
    monkeypatch.undo()
    assert len(reads) == 1 + len(made)
    for twin in twins:
        twin.lookAt(twin.getPos() - (stand_in.getPos() - twin.getPos()))
    assert same_turn(made, twins)


# ---- rebinding engine names --------------------------------------------------------------------

@pytest.mark.parametrize("name", ["LPoint3f", "NodePath"])
def test_rebinding_engine_names_leaves_the_labels_turning_as_written(app, monkeypatch, step, name):
    """The label loop does the written arithmetic on engine points without
    looking a name up in panda3d.core, so rebinding one there changes nothing."""
    label = app.makeText("rebinding", "x", pos=(3, 4, 5))
    try:
        saved = app.camera.getPos()
        app.camera.setPos(0, -30, 2)
        monkeypatch.setattr(core, name, WithoutMethods)
        app.textNodeslookAtCamera()
        monkeypatch.undo()
        turned = NodePath("expected")
        turned.setPos(3, 4, 5)
        text_pos = label.getPos()
        turned.lookAt(text_pos + -(app.camera.getPos() - text_pos))
        assert label.getQuat().almostEqual(turned.getQuat(), 1e-6)
    finally:
        app.camera.setPos(saved)
        app.textNodes.remove(label)
        label.removeNode()


# ---- on the screen --------------------------------------------------------------------

def yellow_ink(image):
    """The columns of yellow ink on the screen: (first, last, ink per column)."""
    counts = [sum(image.getRed(x, y) > 0.7 and image.getGreen(x, y) > 0.7 and image.getBlue(x, y) < 0.3
                  for y in range(0, image.getYSize(), 3))
              for x in range(0, image.getXSize(), 2)]
    inked = [x for x, count in enumerate(counts) if count]
    if not inked:
        return 0, 0, []
    return inked[0] * 2, inked[-1] * 2, counts[inked[0]:inked[-1] + 1]


def profile(ink, bins=24):
    """Ink across the label's width in `bins` parts, as fractions of all ink."""
    total = sum(ink) or 1
    return [sum(ink[i * len(ink) // bins:(i + 1) * len(ink) // bins]) / total for i in range(bins)]


def distance(a, b):
    return sum(abs(x - y) for x, y in zip(a, b))


def test_a_label_stays_readable_while_the_camera_orbits(app, screenshot):
    controller = app.camera_controller
    saved = controller.theta, controller.phi
    shown = [child for child in app.render.getChildren() if not child.isHidden()]
    for child in shown:
        child.hide()
    label = app.makeText("orbit", "你好世界", (0, 0, 0), (1, 1, 0, 1), scale=3)
    try:
        controller.phi = 80
        views = []
        # From the front (-Y), from the side where the label's own plane
        # would be edge-on, and from behind where it would read mirrored.
        for theta in (180, 270, 360):
            controller.theta = theta
            controller.update_camera_position()
            views.append(yellow_ink(screenshot()))
        front = profile(views[0][2])
        assert views[0][1] - views[0][0] > 150
        for first, last, ink in views[1:]:
            assert last - first > 0.8 * (views[0][1] - views[0][0])
            assert distance(profile(ink), front) < distance(profile(ink)[::-1], front)
    finally:
        label.removeNode()
        for child in shown:
            child.show()
        controller.theta, controller.phi = saved
        controller.update_camera_position()


def test_axes_set_the_colour_before_a_bad_size_fails():
    calls = []

    class Recording:
        def color(self, c):
            calls.append(("color", c))

        def drawPath(self, path):
            calls.append(("drawPath", path))

        def update(self):
            calls.append(("update",))

    with pytest.raises(TypeError):
        tv.drawAxies(Recording(), 0, 5, "wide")
    assert calls == [("color", tv.Color.red)]


# ---- what is looked up, and when ------------------------------------------------------

class LookupLog:
    """A pen that writes down each method looked up on it and each call."""

    def __init__(self, log):
        self.log = log

    def __getattr__(self, name):
        self.log.append(("lookup", name))
        return lambda *args: self.log.append(("call", name))


class Palette:
    def __init__(self, log, colours):
        self.log, self.colours = log, colours

    def __getattr__(self, name):
        self.log.append(("Color", name))
        return getattr(self.colours, name)


def test_the_axes_look_up_each_pen_method_before_working_out_its_argument(monkeypatch):
    log = []
    monkeypatch.setattr(tv, "Color", Palette(log, tv.Color))
    drawAxies(LookupLog(log), Traced(0, log), Traced(5, log), Traced(0.5, log))
    heads = [["-", "-", "neg"], ["-", "-", "neg"], ["-", "neg", "-"]]
    expected = []
    for colour, head in zip(["red", "green", "blue"], heads):
        expected += [("lookup", "color"), ("Color", colour), ("call", "color"), ("lookup", "drawPath"), *head,
                     ("call", "drawPath")]
    assert log == expected + [("lookup", "update"), ("call", "update")]


class Offset:
    """A position that writes down each addition made with it."""

    def __init__(self, log):
        self.log = log

    def __rsub__(self, other):
        return self

    def __neg__(self):
        return self

    def __add__(self, other):
        self.log.append("+")
        return LPoint3(0, 10, 0)


class LoggedLabel:
    def __init__(self, log):
        self.log = log

    def isEmpty(self):
        return False

    def getPos(self):
        return Offset(self.log)

    @property
    def lookAt(self):
        self.log.append("lookAt")
        return lambda target: self.log.append(("turned", tuple(target)))


def test_a_label_looks_up_lookat_before_working_out_where_to_look(app):
    log = []
    application = type("Application", (), {"camera": app.camera, "textNodes": [LoggedLabel(log)]})()
    tv.TAVIK.textNodeslookAtCamera(application)
    assert log == ["lookAt", "+", ("turned", (0, 10, 0))]


# ---- texts the engine cannot take -------------------------------------------------------

class Text(str):
    pass


@pytest.mark.parametrize("text", ["\ud800", "名字\udcff", Text("x\udfffy")], ids=["alone", "escaped", "subclass"])
def test_a_text_without_a_utf8_form_raises_the_engines_own_error_and_registers_nothing(app, text):
    with pytest.raises(UnicodeEncodeError) as engine:
        TextNode(text)  # what the engine says of the same string as a node name
    count = len(app.textNodes)
    with pytest.raises(UnicodeEncodeError) as raised:
        app.makeText("n", text)
    assert raised.value.args == engine.value.args and str(raised.value) == str(engine.value)
    assert len(app.textNodes) == count


@pytest.mark.parametrize("text", ["a\x00b", "😀", Text("子类")])
def test_any_text_with_a_utf8_form_is_shown(app, text):
    label = app.makeText("shown", text)
    try:
        assert label.node().getText() == text
    finally:
        app.textNodes.remove(label)
        label.removeNode()


def test_refusing_a_text_without_a_utf8_form_holds_no_memory(app):
    refused = swallow(lambda: app.makeText("n", "\ud800"), UnicodeEncodeError)
    assert growth_per_call(refused, calls=500) < 8.0
