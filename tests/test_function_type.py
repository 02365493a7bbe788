"""The kit's functions and methods behave like Python functions for the tools
that handle functions: pickle and copy (by reference), __defaults__ and
__kwdefaults__, a writable __dict__, functools and inspect."""
import copy
import functools
import inspect
import multiprocessing
import os
import pickle
import sys
import textwrap

import pytest

import tavik.tavik as tv

FUNCTIONS = [tv.dist, tv.drawAxies, tv.makeLabel, tv.CameraController.__init__, tv.CameraController.update_mouse,
             tv.TAVIK.makeText, tv.TAVIK.__init__, tv.Pen.forward, tv.Pen.__init__, tv.AStar.findPath,
             tv.AStarNode.__init__, tv.ClickCtrl.onMouseClick, tv.PathMoveCtrl.start]
IDS = [function.__qualname__ for function in FUNCTIONS]


@pytest.mark.parametrize("function", FUNCTIONS, ids=IDS)
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_functions_pickle_by_reference(function, protocol):
    data = pickle.dumps(function, protocol)
    assert pickle.loads(data) is function
    assert b"tavik.tavik" in data and function.__name__.encode() in data


@pytest.mark.parametrize("function", FUNCTIONS, ids=IDS)
@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy])
def test_copies_of_a_function_are_the_function(function, duplicate):
    assert duplicate(function) is function
    assert duplicate([function])[0] is function


class Plain:
    @property
    def rotZ(self):
        return 0


def test_a_property_accessor_fails_to_pickle_as_a_python_ones_does():
    for accessor in (tv.Pen.rotZ.fget, Plain.rotZ.fget):
        with pytest.raises(pickle.PicklingError):
            pickle.dumps(accessor)


def test_a_function_unpickles_in_a_fresh_interpreter():
    from conftest import run_python
    result = run_python(f"""
        import pickle
        dist = pickle.loads({pickle.dumps(tv.dist)!r})
        print(dist((0, 0, 0), (3, 4, 0)), dist.__module__)
    """, prc="")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "5.0 tavik.tavik\n"


def test_a_spawned_worker_runs_a_kit_function():
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        assert pool.starmap(tv.dist, [((0, 0, 0), (3, 4, 0)), ((1, 1, 1), (1, 1, 2))]) == [5.0, 1.0]


def defaults_of(function):
    """The defaults a def with the same signature has."""
    parameters = inspect.signature(function).parameters.values()
    defaults = tuple(p.default for p in parameters if p.default is not p.empty)
    return defaults or None


@pytest.mark.parametrize("function", FUNCTIONS, ids=IDS)
def test_defaults_are_the_objects_the_signature_shows(function):
    expected = defaults_of(function)
    assert function.__defaults__ == expected
    if expected:
        assert all(mine is theirs for mine, theirs in zip(function.__defaults__, expected))
    assert function.__kwdefaults__ is None


def test_defaults_read_as_a_defs_would():
    source = "def makeText(self, nodeName, text='None', pos=(0, 0, 0), color=(1, 0, 0, 1), align=2, scale=1): pass"
    namespace = {}
    exec(source, namespace)
    assert tv.TAVIK.makeText.__defaults__ == namespace["makeText"].__defaults__
    assert tv.dist.__defaults__ is None is (lambda pos1, pos2: None).__defaults__
    target = tv.CameraController.__init__.__defaults__[0]
    assert target is inspect.signature(tv.CameraController).parameters["target_pos"].default
    assert tv.CameraController.__init__.__defaults__ is tv.CameraController.__init__.__defaults__


def test_defaults_cannot_be_replaced():
    with pytest.raises(AttributeError):
        tv.dist.__defaults__ = (1,)


@pytest.fixture
def scratch():
    function = tv.AStar.getNode
    yield function
    function.__dict__.clear()


def test_attributes_can_be_set_read_and_deleted(scratch):
    assert scratch.__dict__ == {}
    scratch.marker = ["seen"]
    assert scratch.marker == ["seen"] and vars(scratch) == {"marker": ["seen"]}
    assert tv.AStar(2, 2).getNode.marker == ["seen"]  # bound methods read the function's attributes
    del scratch.marker
    assert not hasattr(scratch, "marker")
    with pytest.raises(AttributeError):
        del scratch.marker
    scratch.__dict__ = {"other": 1}
    assert scratch.other == 1
    with pytest.raises(TypeError):
        scratch.__dict__ = None


def test_attributes_do_not_hide_the_functions_own():
    with pytest.raises(AttributeError):
        tv.dist.__name__ = "other"
    assert tv.dist.__name__ == "dist"


def test_functools_wraps_copies_what_a_def_would(scratch):
    scratch.tag = "kit"

    @functools.wraps(scratch)
    def wrapper(*args):
        return scratch(*args)

    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__, wrapper.__doc__) == (
        "getNode", "AStar.getNode", "tavik.tavik", "获取指定位置的节点")
    assert wrapper.__wrapped__ is scratch and wrapper.tag == "kit"
    assert str(inspect.signature(wrapper)) == "(self, r, c)"
    grid = tv.AStar(2, 2)
    assert wrapper(grid, 1, 0) is grid.getNode(1, 0)


def test_partial_and_inspect_see_the_signature():
    start = functools.partial(tv.dist, (0, 0, 0))
    assert start((0, 3, 4)) == 5.0
    assert str(inspect.signature(start)) == "(pos2)"
    assert pickle.loads(pickle.dumps(start))((0, 0, 2)) == 2.0
    bound = tv.AStar(2, 2).getNode
    assert str(inspect.signature(bound)) == "(r, c)"
    assert inspect.isroutine(tv.dist) and inspect.getmodule(tv.dist) is tv
    assert inspect.getdoc(tv.dist).splitlines()[0] == "计算两个3D坐标点之间的距离"


def test_annotations_read_as_an_unannotated_defs_do():
    import typing
    for function in (tv.dist, tv.Pen.forward):
        assert function.__annotations__ == {} and typing.get_type_hints(function) == {}
        assert inspect.get_annotations(function) == {}


def test_methods_still_bind_and_run():
    grid = tv.AStar(2, 2)
    assert tv.AStar.getNode.__get__(grid, tv.AStar)(0, 1) is grid.getNode(0, 1)
    assert tv.AStar.getNode.__get__(None, tv.AStar) is tv.AStar.getNode


# An address-space limit needs the process's own size (Linux's /proc), and
# means nothing under AddressSanitizer, which reserves terabytes up front.
LIMITABLE = pytest.mark.skipif(sys.platform != "linux" or "asan" in os.environ.get("LD_PRELOAD", ""),
                               reason="needs Linux's /proc and no sanitizer runtime")


@LIMITABLE
def test_c_plus_plus_exceptions_become_memory_error_without_killing_the_interpreter():
    """A grid that fits, then an address-space limit just above what the
    process holds: the search's own allocation fails and raises MemoryError;
    with the limit lifted the same search succeeds."""
    from conftest import run_python
    result = run_python(textwrap.dedent("""
        import resource
        from tavik.tavik import AStar
        grid = AStar(700, 700)
        grid.setStartNode(0, 0)
        grid.setEndNode(699, 699)
        pages = int(open("/proc/self/statm").read().split()[0])
        held = pages * resource.getpagesize()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (held + (4 << 20), hard))
        try:
            grid.findPath()
        except MemoryError as error:
            print("MemoryError", repr(str(error)))
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(grid.findPath(), len(grid.getPath()))
    """), prc="")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "MemoryError ''\nTrue 700\n"
