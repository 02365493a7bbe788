"""Hostile programs that cut across the units: they must end in a Python
exception, never in a crash of the interpreter."""
import pytest

from tavik.tavik import AStar, CameraController


class SearchIsFindPath(AStar):
    search = AStar.findPath


class SizeIsFindPath(AStar):
    getNumCols = AStar.findPath


class ZoomUpdatesByZooming(CameraController):
    def __init__(self):  # no window needed: the loop is in the zoom alone
        self.radius = 10

    update_camera_position = CameraController.decrease_radius


def endless_search(kind):
    grid = kind(3, 3)
    grid.setStartNode(0, 0)
    grid.setEndNode(2, 2)
    return grid.findPath


@pytest.mark.parametrize("call", [
    endless_search(SearchIsFindPath),
    endless_search(SizeIsFindPath),
    ZoomUpdatesByZooming().decrease_radius,
], ids=["search is findPath", "getNumCols is findPath", "camera update zooms"])
def test_methods_made_to_call_each_other_for_ever_raise_recursion_error(call):
    with pytest.raises(RecursionError):
        call()


# ---- module globals that fail when they are used ------------------------------------------------

import types  # noqa: E402

from panda3d.core import LPoint3, NodePath  # noqa: E402

import tavik.tavik as tv  # noqa: E402


class Refused(Exception):
    """The error a hostile stand-in raises; it must come out unchanged."""


class Refusing:
    """A stand-in for a module or class of the engine: every attribute read
    and every call raises, each time with a new error."""

    def __init__(self, log):
        self.log = log

    def __getattr__(self, name):
        error = Refused(name)
        self.log.append(error)
        raise error

    def __call__(self, *args):
        error = Refused("call")
        self.log.append(error)
        raise error


class Watcher:
    def hasMouse(self):
        return True

    def getMouseX(self):
        return 0.3

    def getMouseY(self):
        return 0.2


class Base:
    def __init__(self):
        self.camera = NodePath("camera")
        self.mouseWatcherNode = Watcher()

    def disableMouse(self):
        pass

    def accept(self, *args):
        pass


def camera(button):
    controller = tv.CameraController.__new__(tv.CameraController)
    controller.__dict__.update(base=Base(), target_pos=LPoint3(1, 0, 0), radius=10, theta=45, phi=45,
                               mouse_down=button == "left", right_mouse_down=button == "right",
                               last_mouse_x=0, last_mouse_y=0)
    return lambda: controller.update_mouse(types.SimpleNamespace(cont=1))


def mover(step):
    walker = tv.PathMoveCtrl()
    walker.__dict__.update(model=NodePath("m"), path=[(0, 0, 0), (1, 1, 0)], mStep=0.025, mtni=1, mf=True)
    return walker.update if step == "update" else walker.updateHeading


GLOBALS = {
    "dist math": ("math", lambda: tv.dist((0, 0, 0), (1, 2, 2))),
    "camera placement math": ("math", lambda: tv.CameraController(Base())),
    "camera placement point": ("LPoint3", lambda: tv.CameraController(Base())),
    "camera placement vector": ("LVector3", lambda: tv.CameraController(Base())),
    "camera rotate math": ("math", camera("left")),
    "camera pan math": ("math", camera("right")),
    "camera pan vector": ("LVector3", camera("right")),
    "mover start vector": ("LVector3", lambda: tv.PathMoveCtrl().start(NodePath("m"), [(0, 0, 0)])),
    "mover step vector": ("LVector3", mover("update")),
    "mover heading math": ("math", mover("heading")),
    "grid node class": ("AStarNode", lambda: tv.AStar(2, 2)),
    "grid range": ("range", lambda: tv.AStar(2, 2)),
    "click traverser": ("CollisionTraverser", lambda: tv.ClickCtrl()),
    "click collision node": ("CollisionNode", lambda: tv.ClickCtrl()),
    "click mask": ("GeomNode", lambda: tv.ClickCtrl()),
    "click ray": ("CollisionRay", lambda: tv.ClickCtrl()),
}


@pytest.mark.parametrize("name", GLOBALS)
def test_a_failing_module_global_raises_its_own_first_error(app, monkeypatch, name):
    """The first error comes out as it was raised: never a SystemError of a
    later call made with the error pending, never a later error instead."""
    global_name, call = GLOBALS[name]
    log = []
    monkeypatch.setattr(tv, global_name, Refusing(log), raising=False)
    before = set(app.camera.getChildren())
    try:
        with pytest.raises(Refused) as caught:
            call()
    finally:
        for stray in set(app.camera.getChildren()) - before:  # a half-built click controller's ray
            stray.removeNode()
    assert caught.value is log[0] and len(log) == 1


# ---- a learner's string without a UTF-8 form, handed on to the engine --------------------------

UNENCODABLE = "名字\ud800"


@pytest.mark.parametrize("builder, extra", [(tv.makeLabel, ()), (tv.makeButton, (None,)), (tv.makeEntry, ())],
                         ids=["label", "button", "entry"])
def test_a_widget_shows_a_text_without_a_utf8_form(app, builder, extra):
    """DirectGui takes widget texts as wide strings, so the engine never
    needs their UTF-8 form: the widget is built, as it is for any text."""
    widget = builder(app, UNENCODABLE, 0, 0, *extra)
    try:
        assert not widget.isEmpty()
    finally:
        widget.destroy()


@pytest.mark.parametrize("tag", [(UNENCODABLE, "v"), ("t", UNENCODABLE)], ids=["name", "value"])
def test_a_click_tag_without_a_utf8_form_raises_the_engines_own_error(app, tag):
    model = app.render.attachNewNode("tagged")
    clicks = tv.ClickCtrl()
    try:
        with pytest.raises(UnicodeEncodeError):
            clicks.setModelClick(model, *tag)
        assert not model.hasTag("t")
    finally:
        clicks.ignoreAll()
        model.removeNode()


def test_model_names_without_a_utf8_form_fail_as_any_missing_model(app, monkeypatch):
    with pytest.raises(OSError):
        app.cm(UNENCODABLE)
    printed = []
    monkeypatch.setattr(tv, "print", printed.append, raising=False)
    assert app.gm(UNENCODABLE) is None
    assert printed[0].startswith(f"加载模型 '{UNENCODABLE}' 失败: ")


# ---- the engine's Filename, which reads past its end without a check ----------------------------

from panda3d.core import Filename  # noqa: E402


class SevenEverywhere(Filename):
    def __getitem__(self, index):
        return 7


def mover_stepping(path):
    def step():
        walker = tv.PathMoveCtrl()
        walker.start(NodePath("walker"), path, 0.1)
        walker.update()
    return step


def grid_with_rows(rows):
    grid = tv.AStar(3, 3)
    grid._nodes = rows
    return lambda: grid.getNode(2, 2)


@pytest.mark.parametrize("call", [
    lambda pen: pen.drawPath([Filename("x")]),
    lambda pen: pen.drawPath([(0, 0, 0), Filename("")]),
    lambda pen: mover_stepping([(0, 0, 0), Filename("ab")])(),
    lambda pen: grid_with_rows(Filename("ab"))(),
    lambda pen: grid_with_rows([[0], [0], Filename("x")])(),
], ids=["point", "empty point", "mover point", "grid rows", "grid row"])
def test_a_filename_read_past_its_end_raises_index_error(app, call):
    """Reading a Filename past its end aborts inside the engine; the kit refuses it first, as a str would."""
    with pytest.raises(IndexError, match="Filename index out of range"):
        call(tv.Pen(app))


def test_a_filename_long_enough_or_with_its_own_indexing_is_read_as_given(app):
    pen = tv.Pen(app)
    pen.drawPath([SevenEverywhere("")])
    assert tuple(pen.getPos()) == (7, 7, 7)
    pen.drawPath([Filename("123")])   # its characters reach moveTo, as in pen.moveTo("1", "2", "3")
    assert pen.getPos() == ("1", "2", "3")
