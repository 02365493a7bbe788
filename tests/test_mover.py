"""PathMoveCtrl: stepping a model along points, headings, looping, completion."""
import math
import random
import sys
import traceback
from fractions import Fraction

import pytest
from panda3d.core import Filename, LPoint3f, LVector3, LVector3f, NodePath

import tavik.tavik as tk
from tavik.tavik import PathMoveCtrl

from helpers import assert_a_failing_global_raises_its_own_first_error
from reference.mover import PlainMover


class SubNodePath(NodePath):
    """A model type the mover does not know, so it takes the ordinary calls."""


def state(mover, model):
    return (tuple(model.getPos()), model.getH(), mover.mtni, mover.mf)


def random_path(rnd):
    scale = rnd.choice([1e-3, 1, 1e3])
    kinds = [tuple, list, lambda xyz: LPoint3f(*xyz), lambda xyz: LVector3f(*xyz)]
    points = []
    for _ in range(rnd.randint(1, 5)):
        xyz = [rnd.uniform(-100, 100) * scale for _ in range(3)]
        if rnd.random() < 0.2:
            xyz = [round(v) for v in xyz]
        points.append(rnd.choice(kinds)(xyz))
    return points


@pytest.mark.parametrize("model_type", [NodePath, SubNodePath], ids=["engine-model", "subclassed-model"])
@pytest.mark.parametrize("seed", range(6))
def test_steps_match_plain_python_bit_for_bit(seed, model_type):
    rnd = random.Random(seed)
    for _ in range(40):
        path = random_path(rnd)
        step = rnd.choice([0.025, 1, 3, rnd.uniform(0.001, 40)])
        loop = rnd.choice([True, False])
        ours, plain = model_type("ours"), NodePath("plain")
        mover, reference = PathMoveCtrl(), PlainMover()
        done = []
        mover.start(ours, path, step, lambda: done.append("ours"), loop)
        reference.start(plain, path, step, lambda: done.append("plain"), loop)
        assert state(mover, ours) == state(reference, plain)
        for _ in range(120):
            mover.update()
            reference.update()
            assert state(mover, ours) == state(reference, plain)
        assert done.count("ours") == done.count("plain") <= 1


def test_constructor_sets_the_idle_state():
    mover = PathMoveCtrl()
    assert (mover.model, mover.path, mover.mStep, mover.mtni, mover.mf, mover.completeCB, mover.loop) == (
        None, None, 0.025, None, False, None, False)
    assert list(vars(mover)) == ["model", "path", "mStep", "mtni", "mf", "completeCB", "loop"]
    assert mover.update() is None and mover.updateHeading() is None


def test_one_point_path_finishes_on_first_update():
    model, mover, calls = NodePath("m"), PathMoveCtrl(), []
    mover.start(model, [(1, 2, 3)], completeCB=lambda: calls.append(1))
    assert tuple(model.getPos()) == (1, 2, 3) and model.getH() == 0
    mover.update()
    assert (mover.mf, mover.mtni, calls) == (False, 0, [1])
    mover.update()
    mover.update()
    assert calls == [1]


def test_two_point_path_walks_in_steps_and_snaps_onto_the_end():
    model, mover, calls = NodePath("m"), PathMoveCtrl(), []
    mover.start(model, [(0, 0, 0), (1, 0, 0)], completeCB=lambda: calls.append(mover.mf))
    mover.update()  # the arrival at the first point
    assert (mover.mtni, model.getH(), tuple(model.getPos())) == (1, 0, (0, 0, 0))
    moves = []
    while mover.mf:
        before = model.getX()
        mover.update()
        moves.append(model.getX() - before)
    assert tuple(model.getPos()) == (1, 0, 0)
    assert moves[:-1] == pytest.approx([0.025] * (len(moves) - 1), abs=1e-6)
    assert 0 <= moves[-1] < 0.025 and len(moves) in (40, 41)  # the snap covers what is left
    assert calls == [False]  # called once, after the moving flag was cleared


@pytest.mark.parametrize("target, heading", [((5, 0, 0), 0), ((0, 5, 9), 90), ((-5, 0, -2), 180), ((0, -5, 0), -90),
                                             ((3, 3, 0), 45)])
def test_heading_faces_the_target_on_the_ground_plane(target, heading):
    model, mover = NodePath("m"), PathMoveCtrl()
    mover.start(model, [(0, 0, 0), target])
    mover.update()
    assert model.getH() == pytest.approx(heading)
    assert model.getP() == 0 and model.getR() == 0


@pytest.mark.parametrize("loop, loops", [(True, True), (1, True), (1.0, True), ("yes", False), (2, False),
                                         (False, False)])
def test_only_values_equal_to_true_loop(loop, loops):
    model, mover, calls = NodePath("m"), PathMoveCtrl(), []
    mover.start(model, [(0, 0, 0), (0.05, 0, 0)], 0.03, lambda: calls.append(1), loop)
    for _ in range(20):
        mover.update()
    assert mover.mf is loops
    assert calls == ([] if loops else [1])


def test_loop_goes_back_to_the_first_point_still_facing_the_last_way():
    model, mover = NodePath("m"), PathMoveCtrl()
    mover.start(model, [(0, 0, 0), (1, 0, 0), (1, 1, 0)], 0.5, loop=True)
    for _ in range(5):  # arrive at 0, two steps, arrive at 1, arrive at 2
        mover.update()
    assert mover.mtni == 2 and model.getH() == pytest.approx(90)
    mover.update()
    mover.update()
    assert mover.mtni == 0 and tuple(model.getPos()) == (1, 1, 0) and model.getH() == pytest.approx(90)


def test_stop_keeps_the_model_where_it_is():
    model, mover, calls = NodePath("m"), PathMoveCtrl(), []
    mover.start(model, [(0, 0, 0), (1, 0, 0)], 0.1, lambda: calls.append(1))
    for _ in range(4):
        mover.update()
    where = tuple(model.getPos())
    assert mover.stop() is None
    assert (mover.mf, mover.mtni, mover.mStep, mover.loop) == (False, None, 0.1, False)
    for _ in range(30):
        mover.update()
    assert tuple(model.getPos()) == where and calls == []


def test_distance_of_exactly_one_step_is_not_an_arrival():
    model, mover = NodePath("m"), PathMoveCtrl()
    mover.start(model, [(0, 0, 0), (0.5, 0, 0)], 0.5)
    mover.update()
    mover.update()
    assert (mover.mtni, mover.mf, tuple(model.getPos())) == (1, True, (0.5, 0, 0))
    mover.update()
    assert mover.mf is False


def test_path_is_shared_not_copied():
    model, mover = NodePath("m"), PathMoveCtrl()
    path = [(0, 0, 0)]
    mover.start(model, path, 1)
    assert mover.path is path
    path.append((0, 3, 0))
    for _ in range(10):
        mover.update()
    assert tuple(model.getPos()) == (0, 3, 0) and mover.mf is False


def test_empty_path_raises_after_storing_everything():
    model, mover = NodePath("m"), PathMoveCtrl()
    with pytest.raises(IndexError):
        mover.start(model, [], 0.5, None, True)
    assert (mover.model, mover.path, mover.mStep, mover.mtni, mover.mf, mover.loop) == (model, [], 0.5, 0, True, True)
    for _ in range(2):
        with pytest.raises(IndexError):
            mover.update()
    mover.stop()
    mover.update()


@pytest.mark.parametrize("point", [(1, 2), [1], "ab"])
def test_short_point_raises_when_it_becomes_the_target(point):
    model, mover = NodePath("m"), PathMoveCtrl()
    mover.start(model, [(0, 0, 0), point])
    with pytest.raises((IndexError, TypeError)):
        mover.update()


def test_completion_callback_exception_propagates_after_the_flag_is_cleared():
    def fail():
        raise KeyError("finished badly")

    model, mover = NodePath("m"), PathMoveCtrl()
    mover.start(model, [(0, 0, 0)], completeCB=fail)
    with pytest.raises(KeyError) as info:
        mover.update()
    assert mover.mf is False
    assert info.traceback[-1].name == "fail"


class Weird:
    def __float__(self):
        raise ZeroDivisionError("no float")

    def __index__(self):
        raise OverflowError("no index")

    def __bool__(self):
        raise RuntimeError("no truth")

    def __lt__(self, other):
        raise RuntimeError("no order")

    __gt__ = __lt__

    def __eq__(self, other):
        raise RuntimeError("no equality")

    def __iter__(self):
        raise RuntimeError("no iteration")

    def __getitem__(self, index):
        raise LookupError("no item")


def outcome(call):
    try:
        call()
        return "ok"
    except Exception as error:  # noqa: BLE001 - compared between the two movers
        return type(error)


BAD_VALUES = [None, "abc", float("nan"), float("inf"), -float("inf"), 10 ** 400, -1, 0, True, Weird(), [1, 2, 3],
              (1, 2, 3)]


@pytest.mark.parametrize("attribute", ["mStep", "mtni", "mf", "loop", "completeCB", "path", "model"])
@pytest.mark.parametrize("value", BAD_VALUES, ids=repr)
def test_bad_attribute_values_behave_like_plain_python(attribute, value):
    results = []
    for mover, model in ((PathMoveCtrl(), NodePath("a")), (PlainMover(), NodePath("b"))):
        mover.start(model, [(0, 0, 0), (1, 2, 0), (0, 1, 1)], 0.4)
        mover.update()
        setattr(mover, attribute, value)
        seen = [outcome(mover.update) for _ in range(6)]
        results.append((seen, tuple(model.getPos()) if not model.isEmpty() else None, mover.mf is True))
    assert results[0] == results[1]


@pytest.mark.parametrize("point", [(float("nan"), 0, 0), (float("inf"), 0, 0), (10 ** 400, 0, 0), (1e39, 0, 0),
                                   ("1", 0, 0), (Weird(), 0, 0), Weird(), None, 5, (True, False, 1)], ids=repr)
def test_bad_points_behave_like_plain_python(point):
    results = []
    for mover, model in ((PathMoveCtrl(), NodePath("a")), (PlainMover(), NodePath("b"))):
        first = outcome(lambda: mover.start(model, [(0, 0, 0), point, (1, 1, 1)], 0.3))
        seen = [outcome(mover.update) for _ in range(4)]
        results.append((first, seen))
    assert results[0] == results[1]


@pytest.mark.parametrize("model", [None, "model", 5, Weird()], ids=repr)
def test_start_with_a_non_model_raises(model):
    with pytest.raises(AttributeError):
        PathMoveCtrl().start(model, [(0, 0, 0)])


def test_ordinary_lookup_reaches_overrides():
    calls = []

    class Traced(PathMoveCtrl):
        def updateHeading(self):
            calls.append(self.mtni)

    model, mover = NodePath("m"), Traced()
    mover.start(model, [(0, 0, 0), (0, 0, 1)])
    mover.update()
    assert calls == [0, 1] and model.getH() == 0


def test_global_vector_type_is_looked_up_when_stepping(monkeypatch):
    made = []

    def vector(*xyz):
        made.append(xyz)
        return LVector3(*xyz)

    model, mover = NodePath("m"), PathMoveCtrl()
    mover.start(model, [(0, 0, 0), (2, 0, 0)])
    monkeypatch.setattr(tk, "LVector3", vector)
    mover.update()
    mover.update()
    assert made[:2] == [(0, 0, 0), (2, 0, 0)]
    assert model.getX() == pytest.approx(0.025)


def replace_path(mover, other):
    mover.path = [(5, 5, 5)] * 3


def replace_model(mover, other):
    mover.model = other


def stop_mover(mover, other):
    mover.stop()


class Meddling(NodePath):
    """A model whose getPos meddles with its mover at the fifth call."""

    def __init__(self, name, meddle, mover, other):
        NodePath.__init__(self, name)
        self.meddle, self.mover, self.other, self.calls = meddle, mover, other, 0

    def getPos(self, *other):
        self.calls += 1
        if self.calls == 5:
            self.meddle(self.mover, self.other)
        return NodePath.getPos(self, *other)


@pytest.mark.parametrize("meddle", [replace_path, replace_model, stop_mover])
def test_attributes_replaced_by_the_models_own_methods_are_read_again(meddle):
    results = []
    for mover in (PathMoveCtrl(), PlainMover()):
        other = NodePath("other")
        model = Meddling("m", meddle, mover, other)
        mover.start(model, [(0, 0, 0), (0.1, 0, 0), (0.2, 0.1, 0)], 0.04)
        seen = [(outcome(mover.update), tuple(model.getPos()), model.getH(), mover.mtni) for _ in range(8)]
        results.append((seen, tuple(other.getPos()), other.getH()))
    assert results[0] == results[1]


@pytest.mark.parametrize("step_type", [float, Fraction], ids=["float-step", "fraction-step"])
def test_model_replaced_while_the_step_is_compared_is_read_again(step_type):
    results = []
    for mover in (PathMoveCtrl(), PlainMover()):
        model, other, compared = NodePath("m"), NodePath("other"), []

        class Step(step_type):
            def __gt__(self, distance):
                compared.append(distance)
                if len(compared) == 3:
                    mover.model = other
                return step_type.__gt__(self, distance)

        mover.start(model, [(0, 0, 0), (0.1, 0, 0), (0.1, 0.1, 0)], Step(0.04) if step_type is float else Step(1, 25))
        for _ in range(4):
            mover.update()
        results.append((tuple(model.getPos()), tuple(other.getPos()), other.getH(), mover.mtni))
    assert results[0] == results[1]


def test_attributes_are_read_at_each_use_as_in_plain_python():
    logs = []
    for base in (PathMoveCtrl, PlainMover):
        log, models = [], [NodePath("a"), NodePath("b")]

        class Swapping(base):
            @property
            def model(self):
                log.append("model")
                return models[len(log) % 2]

            @model.setter
            def model(self, value):
                pass

            @property
            def completeCB(self):
                log.append("completeCB")
                return (lambda: log.append("called")) if len(log) % 2 else None

            @completeCB.setter
            def completeCB(self, value):
                pass

        mover = Swapping()
        mover.start(models[0], [(0, 0, 0), (0.1, 0, 0)], 0.04)
        for _ in range(6):
            log.append(outcome(mover.update))
        logs.append((log, [tuple(m.getPos()) + (m.getH(),) for m in models]))
    assert logs[0] == logs[1]


def test_many_updates_do_not_leak():
    import tracemalloc
    model, mover = NodePath("m"), PathMoveCtrl()
    path = [(0, 0, 0), (3, 0, 0), (3, 3, 1)]
    alone = sys.getrefcount(path)
    mover.start(model, path, 0.1, lambda: None, True)
    for _ in range(2000):
        mover.update()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(100_000):
        mover.update()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert after - before < 50_000
    assert sys.getrefcount(path) == alone + 1  # and the mover's own reference


# ---- end to end: a model walking a grid path through the update hook ------

GRID_PATH = [(0, 0), (1, 1), (2, 2), (2, 3), (3, 4)]  # cells (r, c) as a path finder returns them


def cell_point(r, c):
    return (r * 1.0, c * 1.0, 0.5)


def walk(app, step, points):
    model = app.loader.loadModel("models/misc/sphere")
    model.reparentTo(app.render)
    model.setScale(0.2)
    mover, calls, frames = PathMoveCtrl(), [], []

    def hook():
        frames.append(1)
        mover.update()

    mover.start(model, points, 0.1, lambda: calls.append(len(frames)))
    app.update = hook
    try:
        step(200)
    finally:
        app.update = None
    result = (tuple(model.getPos()), model.getH(), calls, len(frames))
    model.removeNode()
    return result


def check_walk(result, points):
    pos, heading, calls, _ = result
    assert pos == pytest.approx(points[-1])
    last = (points[-1][0] - points[-2][0], points[-1][1] - points[-2][1])
    assert heading == pytest.approx(math.degrees(math.atan2(last[1], last[0])))
    # Frames to completion, counted with the plain Python mover on the same points.
    reference, model, done = PlainMover(), NodePath("ref"), []
    reference.start(model, points, 0.1, lambda: done.append(1))
    count = 0
    while not done:
        reference.update()
        count += 1
    assert calls == [count]


def test_model_walks_a_grid_path_through_the_update_hook(app, step):
    points = [cell_point(r, c) for r, c in GRID_PATH]
    check_walk(walk(app, step, points), points)
    assert app.update is None


def test_model_walks_a_path_found_by_astar(app, step):
    if not hasattr(tk, "AStar"):
        pytest.skip("AStar is not in this build")
    grid = tk.AStar(6, 6)
    grid.setWalkable(1, 2, False)
    grid.setStartNode(0, 0)
    grid.setEndNode(4, 4)
    assert grid.findPath()
    points = [cell_point(node.r, node.c) for node in grid.getPath()]
    assert len(points) >= 2
    check_walk(walk(app, step, points), points)


def test_exception_in_completion_callback_reaches_the_caller_of_step(app, step):
    model = NodePath("m")
    mover = PathMoveCtrl()

    def fail():
        raise ValueError("path done badly")

    mover.start(model, [(0, 0, 0)], completeCB=fail)
    app.update = mover.update
    try:
        with pytest.raises(ValueError, match="path done badly") as info:
            step(2)
    finally:
        app.update = None
    assert "fail" in "".join(traceback.format_tb(info.value.__traceback__))
    step(1)


# ---- hostile programs ---------------------------------------------------------------------------

def mid_walk(step):
    walker = tk.PathMoveCtrl()
    walker.__dict__.update(model=NodePath("m"), path=[(0, 0, 0), (1, 1, 0)], mStep=0.025, mtni=1, mf=True)
    return walker.update if step == "update" else walker.updateHeading


FAILING_GLOBALS = {
    "mover start vector": ("LVector3", lambda: tk.PathMoveCtrl().start(NodePath("m"), [(0, 0, 0)])),
    "mover step vector": ("LVector3", mid_walk("update")),
    "mover heading math": ("math", mid_walk("heading")),
}


@pytest.mark.parametrize("name", FAILING_GLOBALS)
def test_a_failing_module_global_raises_its_own_first_error(app, monkeypatch, name):
    assert_a_failing_global_raises_its_own_first_error(app, monkeypatch, *FAILING_GLOBALS[name])


def test_a_filename_point_read_past_its_end_raises_index_error():
    """Reading a Filename past its end aborts inside the engine; the kit refuses it first, as a str would."""
    walker = tk.PathMoveCtrl()
    walker.start(NodePath("walker"), [(0, 0, 0), Filename("ab")], 0.1)
    with pytest.raises(IndexError, match="Filename index out of range"):
        walker.update()
