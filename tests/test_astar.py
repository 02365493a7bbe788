"""Grid path finding: AStarNode and AStar.

The strongest check is differential: thousands of seeded random grids are
searched by the module's classes (as they are, and through a trivial
subclass, which takes the general path) and by the plain rendition in
reference/astar.py, and everything a script can see afterwards must agree:
the result, the path, both work lists in order, and the scores and parent
of every node, with their types.
"""
import math
import os
import random
import sys
from fractions import Fraction

import pytest
from panda3d.core import Filename

from reference import astar as ref
from conftest import run_python
from helpers import assert_a_failing_global_raises_its_own_first_error
from tavik.tavik import AStar, AStarNode


class GeneralAStar(AStar):
    """Nothing changed, but a subclass: every step goes through the methods."""


class QuickReference(ref.AStar):
    """The rendition with membership tested by the list's own scan, which
    finds the same entry (nodes compare by identity) without a Python loop."""

    def isOpen(self, node):
        return node in self._open

    def isClosed(self, node):
        return node in self._closed


KINDS = (AStar, GeneralAStar, QuickReference)


def state(grid):
    """Everything a script can see after a search: nodes by their place in
    the grid (identity), numbers by exact repr, which tells int from float."""
    where = {id(node): (r, c) for r, row in enumerate(grid._nodes) for c, node in enumerate(row)}

    def name(node):
        if node is None:
            return None
        spot = where.get(id(node))
        return spot if spot is not None else ("foreign", repr((node.r, node.c)))

    cells = [[(repr((node.f, node.g, node.h, node.walkable, node.costMultiplier, node.r, node.c)), name(node.parent))
              for node in row] for row in grid._nodes]
    lists = {}
    for list_name in ("_open", "_closed", "_path"):
        entries = getattr(grid, list_name)
        lists[list_name] = None if entries is None else [name(node) for node in entries]
    return cells, lists, name(grid._startNode), name(grid._endNode)


def run_script(kind, cols, rows, steps):
    """Builds a grid of `kind`, plays the steps and records what is seen."""
    grid = kind(cols, rows)
    seen = []
    for step in steps:
        action, *arguments = step
        if action == "walkable":
            grid.setWalkable(*arguments)
        elif action == "multiplier":
            r, c, value = arguments
            grid.getNode(r, c).costMultiplier = value
        elif action == "start":
            grid.setStartNode(*arguments)
        elif action == "end":
            grid.setEndNode(*arguments)
        elif action == "find":
            try:
                outcome = grid.findPath()
            except Exception as error:  # recorded and compared like a result
                outcome = (type(error).__name__, str(error))
            seen.append((outcome, state(grid)))
    return seen


def random_script(seed):
    rng = random.Random(seed)
    # Mostly small grids, where ties and edges are dense; every twentieth is large.
    if seed % 20 == 0:
        cols, rows = rng.randint(25, 40), rng.randint(25, 40)
    else:
        cols, rows = 1 + int(24 * rng.random() ** 2), 1 + int(24 * rng.random() ** 2)
    blocked = rng.uniform(0, 0.4)
    steps = []
    for r in range(cols):
        for c in range(rows):
            if rng.random() < blocked:
                steps.append(("walkable", r, c, False))
    if rng.random() < 0.5:
        for _ in range(rng.randint(1, cols * rows)):
            steps.append(("multiplier", rng.randrange(cols), rng.randrange(rows), rng.choice((0, 0.5, 1, 2, 5))))

    def cell():
        return rng.randrange(cols), rng.randrange(rows)

    start = cell()
    end = start if rng.random() < 0.08 else cell()
    if rng.random() < 0.15:
        steps.append(("walkable", *start, False))
    if rng.random() < 0.1:
        steps.append(("walkable", *end, False))
    steps += [("start", *start), ("end", *end), ("find",)]
    # A second search on the same grid: scores left by the first one on
    # nodes it does not reach must survive.
    for _ in range(rng.randint(0, 4)):
        steps.append(("walkable", *cell(), rng.random() < 0.7))
    steps += [("start", *cell()), ("end", *cell()), ("find",)]
    return cols, rows, steps


@pytest.mark.parametrize("chunk", range(8))
def test_random_grids_match_the_plain_algorithm_in_every_visible_respect(chunk):
    for seed in range(chunk * 250, (chunk + 1) * 250):
        cols, rows, steps = random_script(seed)
        expected = run_script(QuickReference, cols, rows, steps)
        for kind in (AStar, GeneralAStar):
            assert run_script(kind, cols, rows, steps) == expected, (seed, kind.__name__)


def test_the_quick_reference_agrees_with_the_literal_one():
    for seed in range(40):
        cols, rows, steps = random_script(seed)
        assert run_script(QuickReference, cols, rows, steps) == run_script(ref.AStar, cols, rows, steps)


# ---- odd values and replaced parts ----------------------------------------------------

def odd_grid_steps(rng, values):
    cols, rows = 12, 9
    steps = []
    for _ in range(25):
        steps.append(("walkable", rng.randrange(cols), rng.randrange(rows), rng.choice((False, 0, None, "", True, 1, "yes"))))
    for _ in range(20):
        steps.append(("multiplier", rng.randrange(cols), rng.randrange(rows), rng.choice(values)))
    steps += [("start", 0, 0), ("end", cols - 1, rows - 1), ("find",), ("start", cols - 1, 0), ("end", 0, rows - 1),
              ("find",)]
    return cols, rows, steps


@pytest.mark.parametrize("values", [
    (1, 2, True, 3.5),
    (Fraction(1, 3), 0.25, 2),
    (float("nan"), 1.0, 2.0),
    (float("inf"), 1.0),
    (2 ** 70, 1.0),
    ("x", 1.0),
    (None, 1.0),
], ids=["ints-and-bools", "fractions", "nan", "inf", "huge-int", "string", "none"])
def test_odd_stored_values_behave_as_the_plain_algorithm(values):
    rng = random.Random(repr(values))
    for _ in range(10):
        cols, rows, steps = odd_grid_steps(rng, values)
        expected = run_script(ref.AStar, cols, rows, steps)
        for kind in (AStar, GeneralAStar):
            assert run_script(kind, cols, rows, steps) == expected


def paired_grids(cols, rows, prepare):
    """The module's grid and the rendition's, prepared alike."""
    grids = [AStar(cols, rows), ref.AStar(cols, rows)]
    for grid in grids:
        prepare(grid)
    return grids


def assert_same_search(prepare, cols=9, rows=7):
    mine, plain = paired_grids(cols, rows, prepare)
    outcomes = []
    for grid in (mine, plain):
        try:
            outcomes.append(grid.findPath())
        except Exception as error:
            outcomes.append((type(error).__name__, str(error)))
    assert outcomes[0] == outcomes[1]
    assert state(mine) == state(plain)
    return mine


def corner_to_corner(grid, cols=9, rows=7):
    for r, c in ((2, 2), (3, 3), (4, 2), (5, 5), (6, 1)):
        grid.setWalkable(r, c, False)
    grid.setStartNode(0, 0)
    grid.setEndNode(cols - 1, rows - 1)


@pytest.mark.parametrize("costs", [(2, 3), (1.0, 1.0), (0.5, 2.0), (1.0, -1.0), (float("nan"), 1.0)])
def test_assigned_step_costs_change_the_search_as_the_plain_algorithm(costs):
    def prepare(grid):
        corner_to_corner(grid)
        grid._straightCost, grid._diagCost = costs
    assert_same_search(prepare)


def test_a_script_may_replace_methods_on_the_object():
    def prepare(grid):
        corner_to_corner(grid)
        grid.diagonal = lambda node: 0
    mine = assert_same_search(prepare)
    assert all(node.h == 0 for node in mine._closed)


def test_a_heuristic_replaced_on_the_class_after_native_searches_is_used(monkeypatch):
    """The class is compared with its definition before every native search,
    however often it was found unchanged before, and again after each undo."""
    for _ in range(2):
        assert_same_search(corner_to_corner)
        monkeypatch.setattr(AStar, "diagonal", lambda self, node: 0.0)
        monkeypatch.setattr(ref.AStar, "diagonal", lambda self, node: 0.0)
        mine = assert_same_search(corner_to_corner)
        assert all(node.h == 0 for node in mine._closed)
        monkeypatch.undo()


def test_a_method_removed_and_set_again_leaves_the_search_as_it_was():
    """The class then holds the same objects in another order."""
    diagonal = vars(AStar)["diagonal"]
    del AStar.diagonal
    AStar.diagonal = diagonal
    mine = assert_same_search(corner_to_corner)
    assert mine.getPath()[-1] is mine.getEndNode()


def test_a_subclass_heuristic_is_used():
    class Dijkstra(AStar):
        def diagonal(self, node):
            return 0.0

    class PlainDijkstra(ref.AStar):
        def diagonal(self, node):
            return 0.0

    grids = [Dijkstra(9, 7), PlainDijkstra(9, 7)]
    for grid in grids:
        corner_to_corner(grid)
        assert grid.findPath() is True
    assert state(grids[0]) == state(grids[1])


@pytest.mark.parametrize("change", ["new-node", "moved-coordinates", "foreign-start", "shorter-count"])
def test_replaced_nodes_and_sizes_behave_as_the_plain_algorithm(change):
    def prepare(grid):
        corner_to_corner(grid)
        node_type = AStarNode if isinstance(grid, AStar) else ref.AStarNode
        if change == "new-node":
            grid._nodes[1][1] = node_type(1, 1)
        elif change == "moved-coordinates":
            grid.getNode(3, 1).c = 2
        elif change == "foreign-start":
            grid._startNode = node_type(0, 0)
        elif change == "shorter-count":
            grid._numRows = 5
    assert_same_search(prepare)


def test_a_node_class_given_equality_is_compared_by_it():
    def prepare(grid):
        corner_to_corner(grid)
    original = AStarNode.__dict__.get("__eq__")
    AStarNode.__eq__ = lambda self, other: self is other
    AStarNode.__hash__ = object.__hash__
    try:
        assert_same_search(prepare)
    finally:
        del AStarNode.__eq__, AStarNode.__hash__
    assert original is None


# ---- the mend: loops of parent links -----------------------------------------------------

NEGATIVE_MESSAGE = "无法回溯路径：父节点形成了环，回不到起点（代价乘数或代价是否设成了负数？）"


@pytest.mark.parametrize("kind", [AStar, GeneralAStar])
def test_negative_multipliers_that_loop_the_parents_raise_instead_of_hanging(kind):
    grid = kind(4, 1)
    grid.getNode(1, 0).costMultiplier = -5.0
    grid.getNode(2, 0).costMultiplier = -5.0
    grid.setStartNode(0, 0)
    grid.setEndNode(3, 0)
    plain = ref.AStar(4, 1)
    plain.getNode(1, 0).costMultiplier = -5.0
    plain.getNode(2, 0).costMultiplier = -5.0
    plain.setStartNode(0, 0)
    plain.setEndNode(3, 0)
    outcomes = []
    for each in (grid, plain):
        with pytest.raises(ValueError) as raised:
            each.findPath()
        outcomes.append(str(raised.value))
    assert outcomes == [NEGATIVE_MESSAGE, NEGATIVE_MESSAGE]
    assert state(grid) == state(plain)


def test_negative_multipliers_without_a_loop_search_as_usual():
    def prepare(grid):
        corner_to_corner(grid)
        grid.getNode(8, 5).costMultiplier = -0.5
    assert assert_same_search(prepare).getPath()[-1].r == 8


# ---- nodes whose attribute lookups run a script's code ----------------------------------

class EmptiesTheGrid:
    """A key of a node's __dict__ that sits where the lookup of "r" probes
    first, so that every read of node.r calls its __eq__: once armed, that
    empties every row of the grid in the middle of the search."""

    def __init__(self, grid):
        self.grid, self.armed = grid, False

    def __hash__(self):
        return hash("r")

    def __eq__(self, other):
        if self.armed:
            self.armed = False
            for row in self.grid._nodes:
                row.clear()
        return NotImplemented


def outcome_with_rows_emptied(kind, cell):
    grid = kind(5, 5)
    grid.setStartNode(0, 0)
    grid.setEndNode(4, 4)
    key = EmptiesTheGrid(grid)
    node = grid.getNode(*cell)
    node.__dict__ = {key: None, **node.__dict__}
    key.armed = True
    try:
        return repr(grid.findPath())
    except Exception as error:  # the outcome to compare, whichever it is
        return type(error).__name__, str(error)


@pytest.mark.parametrize("cell", [(0, 0), (0, 1), (1, 1)], ids=["start", "neighbour", "diagonal"])
def test_a_grid_emptied_by_a_nodes_own_lookup_fails_as_the_plain_algorithm(cell):
    assert outcome_with_rows_emptied(AStar, cell) == outcome_with_rows_emptied(ref.AStar, cell)


# ---- the documented cases -------------------------------------------------------------------

def cells(nodes):
    return [(node.r, node.c) for node in nodes]


def test_grid_layout_and_sizes():
    grid = AStar(3, 2)
    assert grid.getNumCols() == 3 and grid.getNumRows() == 2
    assert [len(row) for row in grid._nodes] == [2, 2, 2]
    assert cells([grid.getNode(2, 1)]) == [(2, 1)]
    assert cells([grid.getNode(-1, 0)]) == [(2, 0)]
    assert list(vars(grid)) == ["_open", "_closed", "_endNode", "_startNode", "_path", "_straightCost", "_diagCost",
                                "_numCols", "_numRows", "_nodes"]
    assert grid._straightCost == 1.0 and grid._diagCost == 1.414 and type(grid._diagCost) is float


def test_a_new_node_has_its_initial_values_in_order():
    node = AStarNode(4, 7)
    assert list(vars(node).items()) == [("f", 0), ("g", 0), ("h", 0), ("walkable", True), ("parent", None),
                                        ("costMultiplier", 1.0), ("r", 4), ("c", 7)]
    assert [type(node.f), type(node.costMultiplier)] == [int, float]
    assert list(vars(AStar(2, 2).getNode(1, 1)).items()) == list(vars(ref.AStar(2, 2).getNode(1, 1)).items())


def test_the_grid_is_made_from_the_module_node_class_when_it_is_replaced():
    import tavik.tavik as module

    class Tagged(AStarNode):
        pass

    module.AStarNode = Tagged
    try:
        grid = AStar(2, 3)
    finally:
        module.AStarNode = AStarNode
    assert {type(node) for row in grid._nodes for node in row} == {Tagged}
    assert type(AStar(1, 1).getNode(0, 0)) is AStarNode


@pytest.mark.parametrize("cols, rows, start, end, blocked, multipliers, expected", [
    (3, 3, (0, 0), (2, 2), [], {}, [(0, 0), (1, 1), (2, 2)]),
    (2, 2, (0, 0), (1, 1), [(0, 1)], {}, [(0, 0), (1, 0), (1, 1)]),
    (3, 3, (0, 0), (2, 1), [], {}, [(0, 0), (1, 0), (2, 1)]),
    (5, 3, (0, 1), (4, 1), [(2, 0), (2, 1)], {}, [(0, 1), (1, 2), (2, 2), (3, 2), (4, 1)]),
    (3, 3, (0, 0), (2, 0), [], {(1, 0): 5}, [(0, 0), (1, 1), (2, 0)]),
    (3, 3, (1, 1), (1, 2), [(1, 1)], {}, [(1, 1), (0, 2), (1, 2)]),
    (3, 3, (1, 1), (1, 1), [(1, 1)], {}, [(1, 1)]),
], ids=["open-diagonal", "no-corner-cutting", "first-discovery-wins", "around-a-wall", "expensive-cell",
        "blocked-start", "start-is-end"])
def test_documented_paths(cols, rows, start, end, blocked, multipliers, expected):
    for kind in (AStar, GeneralAStar):
        grid = kind(cols, rows)
        for cell in blocked:
            grid.setWalkable(*cell, False)
        for cell, value in multipliers.items():
            grid.getNode(*cell).costMultiplier = value
        grid.setStartNode(*start)
        grid.setEndNode(*end)
        assert grid.findPath() is True
        assert cells(grid.getPath()) == expected
        assert grid.getPath() is grid.getPath()
        assert all(node is grid.getNode(node.r, node.c) for node in grid.getPath())


def test_around_a_wall_expansion_order_and_scores():
    grid = AStar(5, 3)
    grid.setWalkable(2, 0, False)
    grid.setWalkable(2, 1, False)
    grid.setStartNode(0, 1)
    grid.setEndNode(4, 1)
    assert grid.findPath()
    assert cells(grid._closed) == [(0, 1), (1, 1), (1, 0), (1, 2), (2, 2), (3, 2)]
    assert grid.getEndNode().g == pytest.approx(4.828)
    start = grid.getStartNode()
    assert (type(start.g), start.g, start.h, start.f) == (int, 0, 1.414 * 0 + 4.0, 4.0)


def test_start_equal_to_end_examines_no_neighbour():
    grid = AStar(3, 3)
    grid.setStartNode(1, 1)
    grid.setEndNode(1, 1)
    assert grid.findPath() is True
    assert grid._open == [] and grid._closed == []
    assert grid.getNode(1, 2).f == 0 and type(grid.getNode(1, 2).f) is int


def test_failed_searches_keep_the_previous_path():
    grid = AStar(3, 1)
    grid.setWalkable(1, 0, False)
    grid.setStartNode(0, 0)
    grid.setEndNode(2, 0)
    assert grid.findPath() is False and grid.getPath() is None
    grid.setWalkable(1, 0, True)
    assert grid.findPath() is True
    path = grid.getPath()
    grid.setWalkable(2, 0, False)
    assert grid.findPath() is False
    assert grid.getPath() is path and cells(path) == [(0, 0), (1, 0), (2, 0)]


def test_start_or_end_missing_returns_false_with_empty_lists():
    grid = AStar(3, 3)
    assert grid.getStartNode() is None and grid.getEndNode() is None
    grid.setStartNode(0, 0)
    grid.setStartNode(1, 1)
    assert grid.getStartNode() is grid.getNode(1, 1)
    assert grid.findPath() is False
    assert grid._open == [] and grid._closed == []
    assert grid.isOpen(grid.getNode(0, 0)) is False


def test_walkable_values_are_stored_unchanged_and_tested_for_truth():
    grid = AStar(3, 1)
    grid.setWalkable(1, 0, 0)
    grid.setStartNode(0, 0)
    grid.setEndNode(2, 0)
    assert grid.getNode(1, 0).walkable == 0 and grid.findPath() is False
    grid.setWalkable(1, 0, "是")
    assert grid.getNode(1, 0).walkable == "是" and grid.findPath() is True


def test_sort_key_and_heuristic():
    grid = AStar(5, 5)
    grid.setEndNode(3, 1)
    node = grid.getNode(0, 0)
    assert grid.diagonal(node) == 1.414 + 2.0
    node.f = 7.5
    assert grid.sortFun(node) == 7.5
    assert grid.getNumCols() is grid._numCols


# ---- errors ---------------------------------------------------------------------------------

def list_error(r, c, cols=3, rows=2):
    plain = [[object()] * rows for _ in range(cols)]
    try:
        plain[r][c]
    except Exception as error:
        return type(error), str(error)
    return None


@pytest.mark.parametrize("r, c", [(1, 2), (3, 0), (-4, 0), (0, -3), ("a", 0), (0, 1.0), (None, 0), (2 ** 100, 0)])
@pytest.mark.parametrize("operation", ["getNode", "setStartNode", "setEndNode", "setWalkable"])
def test_bad_coordinates_fail_as_list_indexing_and_change_nothing(operation, r, c):
    grid = AStar(3, 2)
    before = state(grid)
    arguments = (r, c, False) if operation == "setWalkable" else (r, c)
    with pytest.raises(Exception) as raised:
        getattr(grid, operation)(*arguments)
    assert (raised.type, str(raised.value)) == list_error(r, c)
    assert state(grid) == before


def test_an_empty_grid_has_no_nodes():
    grid = AStar(0, 5)
    assert grid._nodes == []
    with pytest.raises(IndexError):
        grid.getNode(0, 0)
    assert AStar(-3, 4)._nodes == [] and AStar(2, -1)._nodes == [[], []]


@pytest.mark.parametrize("cols, rows", [(3.0, 2), (3, "2"), (None, 1), ([], 2)])
def test_sizes_that_are_not_integers_fail_like_range(cols, rows):
    with pytest.raises(TypeError) as mine:
        AStar(cols, rows)
    with pytest.raises(TypeError) as plain:
        ref.AStar(cols, rows)
    assert str(mine.value) == str(plain.value)


def test_sizes_with_index_are_accepted_like_range():
    class Three:
        def __index__(self):
            return 3

    grid = AStar(Three(), 2)
    assert [cells(row) for row in grid._nodes] == [cells(row) for row in ref.AStar(3, 2)._nodes]


@pytest.mark.parametrize("cols, rows", [(10 ** 30, 1), (10 ** 30, 0), (2 ** 62, 2 ** 62), (1, 10 ** 40), (2 ** 100, True)])
def test_impossible_grid_sizes_raise_memory_error(cols, rows):
    with pytest.raises(MemoryError):
        AStar(cols, rows)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("cols, rows", [(Index(2), 2 ** 63), (10 ** 9, Index(10 ** 9)), (Index(10 ** 30), Index(1)),
                                        (Index(10 ** 19), 0)])
def test_impossible_sizes_given_through_index_raise_memory_error(cols, rows):
    with pytest.raises(MemoryError, match="网格太大"):
        AStar(cols, rows)


UNDER_LIMIT = """
import resource
from reference import astar as ref
from tavik.tavik import AStar

class GeneralAStar(AStar):
    pass

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

def limit(extra):
    held = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (held + extra, resource.getrlimit(resource.RLIMIT_AS)[1]))
"""

LIMITABLE = pytest.mark.skipif(sys.platform != "linux" or "asan" in os.environ.get("LD_PRELOAD", ""),
                               reason="needs Linux's /proc and no sanitizer runtime")


@LIMITABLE
def test_a_grid_without_rows_costs_nothing_whatever_the_other_size():
    """As the plain build never makes the inner range when there is no row,
    the other size is not even looked at; under a tight address-space limit
    nothing fails."""
    result = run_python(UNDER_LIMIT + """
limit(32 << 20)
for cols, rows in [(0, 2 ** 31), (-1, 2 ** 31), (0, 10 ** 30), (-7, "not a size"), (0, Index(2 ** 62)),
                   (Index(0), 2 ** 40)]:
    seen = []
    for kind in (AStar, GeneralAStar, ref.AStar):
        grid = kind(cols, rows)
        seen.append((grid._nodes, grid.getNumCols() is cols, grid.getNumRows() is rows))
    print(seen[0] == seen[1] == seen[2] == ([], True, True))
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True\n" * 6


@LIMITABLE
def test_a_grid_larger_than_the_memory_at_hand_raises_memory_error_at_once():
    result = run_python(UNDER_LIMIT + """
limit(256 << 20)
for kind in (AStar, GeneralAStar):
    for cols, rows in [(4000, 4000), (Index(3000), 3000), (2 ** 40, 0)]:
        try:
            kind(cols, rows)
        except MemoryError as error:
            print(kind.__name__, error)
    print(len(kind(300, 200)._nodes))
""")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines == ["AStar 网格太大，内存放不下这么多节点"] * 3 + ["300"] + ["GeneralAStar 网格太大，内存放不下这么多节点"] * 3 + ["300"]


# A cell of the grid costs about 160 bytes: 5000 x 5000 cells need some 4 GB.
BEYOND_THE_LIMIT = """
from tavik.tavik import AStar
try:
    AStar(5000, 5000)
except MemoryError as error:
    print(error)
for size in (1000, 2000):
    grid = AStar(size, size)
    grid.setStartNode(0, 0)
    grid.setEndNode(size - 1, size - 1)
    print(size, grid.findPath(), len(grid.getPath()))
"""
BEYOND_THE_LIMIT_SEEN = ["网格太大，内存放不下这么多节点", "1000 True 1000", "2000 True 2000"]


@LIMITABLE
def test_a_grid_beyond_the_address_space_limit_is_refused_before_it_is_built():
    """Under a 3 GB address-space limit the large grid is refused by its
    count (a build that ran out halfway would raise a MemoryError without
    this message), and grids that fit are still built and searched."""
    result = run_python("""
import resource
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
""" + BEYOND_THE_LIMIT)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == BEYOND_THE_LIMIT_SEEN


def own_memory_group():
    """The folder of this process's memory control group (cgroup v2, or the
    memory controller of v1) when a group can be made inside it, else None."""
    if sys.platform != "linux" or os.geteuid() != 0:
        return None
    try:
        lines = open("/proc/self/cgroup").read().splitlines()
    except OSError:
        return None
    for line in lines:
        number, controllers, path = line.split(":", 2)
        if number == "0" and not controllers:
            folder, limit = "/sys/fs/cgroup" + path.rstrip("/"), "memory.max"
            if "memory" not in open_or_empty(folder + "/cgroup.subtree_control").split():
                continue
        elif "memory" in controllers.split(","):
            folder, limit = "/sys/fs/cgroup/memory" + path.rstrip("/"), "memory.limit_in_bytes"
        else:
            continue
        if os.access(folder, os.W_OK):
            return folder, limit
    return None


def open_or_empty(path):
    try:
        with open(path) as file:
            return file.read()
    except OSError:
        return ""


@pytest.mark.skipif(own_memory_group() is None, reason="needs root and a memory control group to make a group in")
def test_a_grid_beyond_the_control_groups_memory_limit_is_refused_before_it_is_built():
    """A container's memory limit is not seen by the allocator (it gives
    address space, and the system stops the process when the pages are
    used), so the grid's count is checked against the group's limit."""
    parent, limit_file = own_memory_group()
    group = os.path.join(parent, f"tavik-grid-test-{os.getpid()}")
    os.mkdir(group)
    try:
        with open(os.path.join(group, limit_file), "w") as limit:
            limit.write(str(3 << 30))
        result = run_python(f"""
import os
with open({os.path.join(group, "cgroup.procs")!r}, "w") as procs:
    procs.write(str(os.getpid()))
""" + BEYOND_THE_LIMIT)
    finally:
        os.rmdir(group)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == BEYOND_THE_LIMIT_SEEN


@pytest.mark.parametrize("cols, rows", [(0, 5), (2, 0), (-1, 3), (1, 1)])
def test_without_a_module_node_class_only_grids_with_cells_fail(monkeypatch, without, cols, rows):
    without("AStarNode")
    monkeypatch.delattr(ref, "AStarNode")
    outcomes = []
    for kind in (AStar, GeneralAStar, ref.AStar):
        try:
            outcomes.append(kind(cols, rows)._nodes)
        except NameError as error:
            outcomes.append(str(error))
    assert outcomes[0] == outcomes[1] == outcomes[2]
    assert outcomes[0] == ("name 'AStarNode' is not defined" if cols > 0 and rows > 0 else [[]] * max(cols, 0))


def test_membership_before_the_first_search_is_a_type_error():
    grid = AStar(2, 2)
    for query in (grid.isOpen, grid.isClosed):
        with pytest.raises(TypeError, match="NoneType"):
            query(grid.getNode(0, 0))
    grid.setStartNode(0, 0)
    grid.setEndNode(1, 1)
    with pytest.raises(TypeError):
        grid.search()


def test_a_cost_multiplier_that_is_not_a_number_propagates_with_partial_state():
    def prepare(grid):
        corner_to_corner(grid)
        grid.getNode(6, 5).costMultiplier = "困难"
    mine = assert_same_search(prepare)
    assert mine._closed and mine.getPath() is None


@pytest.mark.parametrize("call", [
    lambda: AStar(1), lambda: AStar(1, 2, 3), lambda: AStar(2, 2).getNode(0),
    lambda: AStar(2, 2).findPath(1), lambda: AStarNode(1),
])
def test_wrong_argument_counts_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


# ---- the public surface ----------------------------------------------------------------------

def test_docstrings_and_method_order():
    assert AStarNode.__doc__.strip().splitlines()[0] == "节点类，代表网格中的一个单元格"
    assert "costMultiplier: 代价乘数，可用于设置不同地形的难度" in AStarNode.__doc__
    assert AStar.__doc__ == "A*寻路算法类，包含网格管理和寻路功能"
    methods = [name for name, value in vars(AStar).items() if callable(value)]
    assert methods == ["__init__", "getNode", "setStartNode", "getStartNode", "setEndNode", "getEndNode",
                       "setWalkable", "getNumCols", "getNumRows", "findPath", "sortFun", "search", "buildPath",
                       "getPath", "isOpen", "isClosed", "diagonal"]
    assert AStar.findPath.__doc__.split("\n")[1].strip() == "执行A*寻路算法"
    assert "True: 找到路径" in AStar.search.__doc__
    assert AStar.getNode.__doc__ == "获取指定位置的节点"
    assert AStarNode.__bases__ == (object,) and AStar.__bases__ == (object,)
    assert math.isclose(AStar(1, 1)._diagCost, 1.414)


# ---- reference counting -----------------------------------------------------------------------

from helpers import growth_per_call, swallow  # noqa: E402


def searchable(kind, cols=12, rows=10, prepare=None):
    grid = kind(cols, rows)
    corner_to_corner(grid, cols, rows)
    if prepare:
        prepare(grid)
    return grid


def looping(kind):
    grid = kind(4, 1)
    grid.getNode(1, 0).costMultiplier = grid.getNode(2, 0).costMultiplier = -5.0
    grid.setStartNode(0, 0)
    grid.setEndNode(3, 0)
    return grid


LEAK_CASES = {
    "build": lambda: AStar(6, 5),
    "build through a subclass": lambda: GeneralAStar(6, 5),
    "build error": swallow(lambda: AStar(2, 2.5), TypeError),
    "build too large": swallow(lambda: AStar(10 ** 30, 2), MemoryError),
    "native search": searchable(AStar).findPath,
    "general search": searchable(GeneralAStar).findPath,
    "search that falls back": searchable(AStar, prepare=lambda g: setattr(g.getNode(2, 3), "walkable", [1])).findPath,
    "search without a route": searchable(AStar, prepare=lambda g: g.setWalkable(8, 6, False)).findPath,
    "native parent loop": swallow(looping(AStar).findPath, ValueError),
    "general parent loop": swallow(looping(GeneralAStar).findPath, ValueError),
    "multiplier error": swallow(searchable(AStar, prepare=lambda g: setattr(g.getNode(1, 1), "costMultiplier", "x"))
                                .findPath, TypeError),
    "index errors": swallow(lambda: AStar(2, 2).getNode(5, 0), IndexError),
    "membership before a search": swallow(lambda: AStar(1, 1).isOpen(None), TypeError),
}


@pytest.mark.parametrize("name", LEAK_CASES)
def test_repeated_calls_hold_no_memory(name):
    assert growth_per_call(LEAK_CASES[name]) < 1.0


# ---- hostile programs ---------------------------------------------------------------------------

class SearchIsFindPath(AStar):
    search = AStar.findPath


class SizeIsFindPath(AStar):
    getNumCols = AStar.findPath


@pytest.mark.parametrize("kind", [SearchIsFindPath, SizeIsFindPath], ids=["search is findPath", "getNumCols is findPath"])
def test_methods_made_to_call_each_other_for_ever_raise_recursion_error(kind):
    grid = kind(3, 3)
    grid.setStartNode(0, 0)
    grid.setEndNode(2, 2)
    with pytest.raises(RecursionError):
        grid.findPath()


@pytest.mark.parametrize("global_name", ["AStarNode", "range"], ids=["grid node class", "grid range"])
def test_a_failing_module_global_raises_its_own_first_error(app, monkeypatch, global_name):
    assert_a_failing_global_raises_its_own_first_error(app, monkeypatch, global_name, lambda: AStar(2, 2))


@pytest.mark.parametrize("rows", [Filename("ab"), [[0], [0], Filename("x")]], ids=["grid rows", "grid row"])
def test_a_filename_read_past_its_end_raises_index_error(rows):
    """Reading a Filename past its end aborts inside the engine; the kit refuses it first, as a str would."""
    grid = AStar(3, 3)
    grid._nodes = rows
    with pytest.raises(IndexError, match="Filename index out of range"):
        grid.getNode(2, 2)
