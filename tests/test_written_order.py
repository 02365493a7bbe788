"""The kit does its work in the order the same code in Python would: the
callee is looked up before its arguments are evaluated, arguments go left to
right, and attributes are read in the order the expression reads them.

Each test runs one scenario twice, once on the kit and once on a plain
Python rendition, with everything the code touches logging what is done to
it: the object itself (a subclass that logs every attribute read and write,
so methods read as logged lookups), the objects it is handed, the module
globals it looks up and the numbers it computes with.  The two logs must be
the same, entry for entry.
"""
import math
import types

import pytest
from panda3d.core import GeomNode, LPoint3, LVecBase3f, LVector3, NodePath, Point2

from reference import astar as astar_reference
from reference import camera as camera_reference
from reference import mover as mover_reference
import tavik.tavik as tv


# ---- what logs -------------------------------------------------------------------------------

def describe(value):
    """A readable, address-free account of an argument."""
    if isinstance(value, Spy):
        return object.__getattribute__(value, "_name")
    if isinstance(value, Traced):
        return f"{value.name}={float(value)!r}"
    if isinstance(value, float):
        return round(value, 9)
    if isinstance(value, (int, str, bool, type(None))):
        return value
    if isinstance(value, LVecBase3f):
        return tuple(round(component, 5) for component in value)
    if isinstance(value, types.MethodType):
        return "method " + value.__name__
    return type(value).__name__


class Spy:
    """Stands in for an object or function and logs each use of it.

    Attributes named in `wrap`, and every callable attribute, come back as
    spies themselves; calls are logged with their arguments.
    """

    def __init__(self, name, target, log, wrap=()):
        object.__setattr__(self, "_name", name)
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_wrap", wrap)

    def __getattr__(self, attribute):
        name, log = object.__getattribute__(self, "_name"), object.__getattribute__(self, "_log")
        log.append(("get", f"{name}.{attribute}"))
        value = getattr(object.__getattribute__(self, "_target"), attribute)
        wrap = attribute in object.__getattribute__(self, "_wrap")
        if wrap or (callable(value) and not isinstance(value, type)):
            return Spy(f"{name}.{attribute}", value, log)
        return value

    def __setattr__(self, attribute, value):
        object.__getattribute__(self, "_log").append(("set", f"{object.__getattribute__(self, '_name')}.{attribute}"))
        setattr(object.__getattribute__(self, "_target"), attribute, value)

    def __call__(self, *args, **kwargs):
        log = object.__getattribute__(self, "_log")
        log.append(("call", object.__getattribute__(self, "_name"), tuple(map(describe, args))))
        return object.__getattribute__(self, "_target")(*args, **kwargs)


class Traced(float):
    """A number that logs the arithmetic done with it; results stay traced."""

    log = None

    def __new__(cls, name, value):
        number = super().__new__(cls, value)
        number.name = name
        return number

    def _operate(symbol, operation):
        def run(self, other):
            Traced.log.append(("op", symbol, describe(self), describe(other)))
            result = operation(float(self), float(other) if isinstance(other, Traced) else other)
            return Traced(f"({self.name}{symbol})", result) if isinstance(result, float) else result
        return run

    __add__ = _operate("+", lambda mine, other: mine + other)
    __radd__ = _operate("r+", lambda mine, other: other + mine)
    __sub__ = _operate("-", lambda mine, other: mine - other)
    __rsub__ = _operate("r-", lambda mine, other: other - mine)
    __mul__ = _operate("*", lambda mine, other: mine * other)
    __rmul__ = _operate("r*", lambda mine, other: other * mine)
    __pow__ = _operate("**", lambda mine, other: mine ** other)
    __lt__ = _operate("<", lambda mine, other: mine < other)
    __gt__ = _operate(">", lambda mine, other: mine > other)
    del _operate


def logged(cls, log):
    """A subclass of `cls` whose instances log every attribute read and write."""
    class Logged(cls):
        def __getattribute__(self, name):
            if not name.startswith("__"):
                log.append(("get", "self." + name))
            return super().__getattribute__(name)

        def __setattr__(self, name, value):
            log.append(("set", "self." + name))
            super().__setattr__(name, value)
    return Logged


@pytest.fixture
def log(monkeypatch):
    entries = []
    monkeypatch.setattr(Traced, "log", entries)
    return entries


def spy_globals(monkeypatch, log, modules, names):
    """Module globals that log their uses, the same in each module."""
    for name in names:
        spy = Spy(name, getattr(tv, name), log)
        for module in modules:
            monkeypatch.setattr(module, name, spy, raising=False)


# ---- dist ------------------------------------------------------------------------------------

def plain_dist(pos1, pos2):
    try:
        x1, y1, z1 = pos1
        x2, y2, z2 = pos2
    except (TypeError, ValueError):
        raise ValueError("dist函数需要两个3D坐标点（元组、列表或LPoint3f对象）")
    dx = x2 - x1
    dy = y2 - y1
    dz = z2 - z1
    return plain_math.sqrt(dx ** 2 + dy ** 2 + dz ** 2)


plain_math = math


def test_dist_looks_up_math_sqrt_before_working_out_its_argument(log, monkeypatch):
    monkeypatch.setattr(tv, "math", Spy("math", math, log))
    monkeypatch.setattr(__import__(__name__), "plain_math", Spy("math", math, log))
    runs = []
    for dist in (tv.dist, plain_dist):
        del log[:]
        first = (Traced("x1", 1), Traced("y1", 2), Traced("z1", 3))
        second = (Traced("x2", 4), Traced("y2", 6), Traced("z2", 3))
        assert dist(first, second) == 5.0
        runs.append(list(log))
    assert runs[0] == runs[1]
    assert runs[0].index(("get", "math.sqrt")) < [entry[:2] for entry in runs[0]].index(("op", "**"))


def test_dist_with_math_gone_fails_before_any_square_is_taken(log, without):
    without("math")
    with pytest.raises(NameError, match="'math'"):
        tv.dist((Traced("x1", 0), 0, 0), (Traced("x2", 1), 0, 0))
    assert [entry[:2] for entry in log] == [("op", "-")]  # only x2 - x1; no square taken


# ---- the camera ------------------------------------------------------------------------------

class Watcher:
    def __init__(self):
        self.x, self.y = Traced("x0", 0.0), Traced("y0", 0.0)

    def hasMouse(self):
        return True

    def getMouseX(self):
        return self.x

    def getMouseY(self):
        return self.y


class TaskManager:
    def add(self, function, name):
        pass


class Base:
    def __init__(self):
        self.camera = NodePath("camera")
        self.mouseWatcherNode = Watcher()
        self.taskMgr = TaskManager()

    def disableMouse(self):
        pass

    def accept(self, event, handler):
        pass


class Task:
    cont = "continue"


def camera_session(kind, log):
    """Builds a controller, rotates, pans slowly and fast, zooms both ways."""
    base = Base()
    spied = Spy("base", base, log, wrap=("camera", "mouseWatcherNode", "taskMgr"))
    controller = logged(kind, log)(spied, LPoint3(1, 2, 0), 30)

    def frame(x, y):
        base.mouseWatcherNode.x, base.mouseWatcherNode.y = Traced("x", x), Traced("y", y)
        assert controller.update_mouse(Task()) == "continue"

    controller.on_mouse_down()
    frame(0.25, 0.1)
    frame(0.3, -0.2)
    controller.on_mouse_up()
    controller.on_right_mouse_down()
    frame(0.31, -0.19)
    frame(0.5, 0.3)
    controller.on_right_mouse_up()
    frame(0.1, 0.1)
    controller.decrease_radius()
    controller.increase_radius()
    return base.camera.getPos(), controller.target_pos


def test_the_camera_does_its_steps_in_the_written_order(log, monkeypatch):
    spy_globals(monkeypatch, log, (tv, camera_reference), ("math", "LPoint3", "LVector3"))
    runs = []
    for kind in (tv.CameraController, camera_reference.CameraController):
        del log[:]
        where = camera_session(kind, log)
        runs.append((list(log), tuple(where[0]), tuple(where[1])))
    assert runs[0][0] == runs[1][0]
    assert runs[0][1:] == runs[1][1:]


@pytest.mark.parametrize("first, second", [
    (("get", "base.accept"), ("get", "self.on_mouse_down")),
    (("get", "base.taskMgr.add"), ("get", "self.update_mouse")),
    (("get", "math.radians"), ("get", "self.theta")),
])
def test_the_camera_constructor_looks_up_each_callee_first(log, monkeypatch, first, second):
    spy_globals(monkeypatch, log, (tv,), ("math",))
    logged(tv.CameraController, log)(Spy("base", Base(), log, wrap=("camera", "taskMgr")))
    reads = [entry[:2] for entry in log]
    assert reads.index(first) < reads.index(second)


# ---- ClickCtrl -------------------------------------------------------------------------------

@pytest.fixture
def ball(app):
    """A tagged sphere straight ahead of the camera, where a ray through the
    middle of the window hits it."""
    root = app.render.attachNewNode("order-test")
    model = app.loader.loadModel("models/misc/sphere")
    model.reparentTo(root)
    model.setPos(app.render, app.camera.getPos(app.render) * 0.5)
    yield model
    root.removeNode()


class Centre:
    def hasMouse(self):
        return True

    def getMouse(self):
        return Point2(0, 0)


def click_session(kind, app, ball, log):
    calls = []
    controller = logged(kind, log)()
    try:
        controller.setModelClick(ball, "ball", "1")
        controller.addCallback("ball", lambda model, point: calls.append(model))
        real = app.mouseWatcherNode
        app.mouseWatcherNode = Centre()
        try:
            controller.onMouseClick()
        finally:
            app.mouseWatcherNode = real
    finally:
        controller.ignoreAll()
        controller.pickerNP.removeNode()
    return calls


def test_the_click_controller_does_its_steps_in_the_written_order(app, ball, log, monkeypatch):
    spy = Spy("base", app, log, wrap=("camera", "mouseWatcherNode"))
    for module in (tv, camera_reference):
        monkeypatch.setattr(module, "base", spy, raising=False)
    spy_globals(monkeypatch, log, (tv, camera_reference), ("GeomNode",))
    runs = []
    for kind in (tv.ClickCtrl, camera_reference.ClickCtrl):
        del log[:]
        calls = click_session(kind, app, ball, log)
        assert calls == [ball]
        runs.append([entry for entry in log if entry[1] not in ("self.ignoreAll", "self.pickerNP")])
    assert runs[0] == runs[1]
    reads = [entry[:2] for entry in runs[0]]
    assert reads.index(("get", "self.accept")) < reads.index(("get", "self.onMouseClick"))


# ---- PathMoveCtrl ----------------------------------------------------------------------------

class Point:
    """A path point whose indexing logs."""

    def __init__(self, name, items, log):
        self.name, self.items, self.log = name, items, log

    def __getitem__(self, index):
        self.log.append(("item", self.name, index))
        return self.items[index]


def mover_session(kind, log, loop):
    model = Spy("model", NodePath("walker"), log)
    path = [Point("p0", (0, 0, 0), log), Point("p1", (0.06, 0.02, 0), log), Point("p2", (0.06, 0.1, 0), log)]
    mover = logged(kind, log)()
    finished = []
    mover.start(model, path, Traced("step", 0.025), lambda: finished.append(True), loop)
    for _ in range(12):
        mover.update()
    return tuple(model.getPos()), model.getH(), finished


@pytest.mark.parametrize("loop", [False, True])
def test_the_mover_does_its_steps_in_the_written_order(log, monkeypatch, loop):
    spy_globals(monkeypatch, log, (tv, mover_reference), ("math", "LVector3"))
    runs = []
    for kind in (tv.PathMoveCtrl, mover_reference.PlainMover):
        del log[:]
        outcome = mover_session(kind, log, loop)
        runs.append((list(log), outcome))
    assert runs[0][0] == runs[1][0]
    assert runs[0][1] == runs[1][1]


def test_the_mover_looks_up_set_pos_before_reading_the_first_point(log):
    mover = tv.PathMoveCtrl()
    mover.start(Spy("model", NodePath("walker"), log), [Point("p0", (1, 2, 3), log)])
    assert log[:5] == [("get", "model.setPos"), ("item", "p0", 0), ("item", "p0", 1), ("item", "p0", 2),
                       ("call", "model.setPos", ((1.0, 2.0, 3.0),))]


# ---- AStar -----------------------------------------------------------------------------------

class Cell:
    """A node whose attribute reads log, with its place in the grid."""

    def __init__(self, pr, pc, log):
        object.__setattr__(self, "log", log)
        for name, value in (("f", 0), ("g", 0), ("h", 0), ("walkable", True), ("parent", None),
                            ("costMultiplier", 1.0), ("r", pr), ("c", pc)):
            object.__setattr__(self, name, value)

    def __getattribute__(self, name):
        if name not in ("log", "__class__", "__dict__"):
            object.__getattribute__(self, "log").append(("get", f"({object.__getattribute__(self, 'r')},"
                                                                f"{object.__getattribute__(self, 'c')}).{name}"))
        return object.__getattribute__(self, name)

    def __setattr__(self, name, value):
        self.log.append(("set", f"({object.__getattribute__(self, 'r')},{object.__getattribute__(self, 'c')}).{name}"))
        object.__setattr__(self, name, value)


def grid_session(kind, log):
    grid = logged(kind, log)(4, 3)
    for row in grid._nodes:
        for index, node in enumerate(row):
            row[index] = Cell(node.r, node.c, log)
    grid.getNode(1, 1).walkable = False
    grid.getNode(2, 0).costMultiplier = 2.5
    grid.setStartNode(0, 0)
    grid.setEndNode(3, 2)
    del log[:]
    found = grid.findPath()
    return found, [(node.r, node.c) for node in grid.getPath()]


def test_the_search_does_its_steps_in_the_written_order(log):
    runs = []
    for kind in (tv.AStar, astar_reference.AStar):
        runs.append((grid_session(kind, log), list(log)))
    assert runs[0][0] == runs[1][0] and runs[0][0][0] is True
    assert runs[0][1] == runs[1][1]


@pytest.mark.parametrize("kind", [tv.AStar, astar_reference.AStar], ids=["kit", "plain"])
def test_diagonal_reads_the_nodes_row_before_the_end_node(log, kind):
    grid = logged(kind, log)(3, 3)
    grid._endNode = Cell(2, 2, log)
    node = Cell(0, 1, log)
    del log[:]
    assert grid.diagonal(node) == pytest.approx(1.414 + 1.0)
    assert log == [("get", "self.diagonal"), ("get", "(0,1).r"), ("get", "self._endNode"), ("get", "(2,2).r"),
                   ("get", "(0,1).c"), ("get", "self._endNode"), ("get", "(2,2).c"), ("get", "self._diagCost"),
                   ("get", "self._straightCost")]


def test_the_grid_is_built_in_the_written_order(log):
    runs = []
    for kind in (tv.AStar, astar_reference.AStar):
        del log[:]
        logged(kind, log)(2, 3)
        runs.append(list(log))
    assert runs[0] == runs[1]
