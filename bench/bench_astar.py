"""Grid path finding: AStar against the plain rendition, a native floor and
what a learner might install instead.

Grids are seeded, with 20 % random obstacles (the two corners kept open),
searched corner to corner.  The native floor is a small C++ A* (binary
heap, flat arrays, the same moves, costs and corner rule) compiled here
with the system compiler; it is skipped when there is none.  `pathfinding`
and `tcod` are used when installed.
"""
import os
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile
import time
import warnings

from common import TESTS, best_of, report
from reference import astar as astar_reference
from tavik.tavik import AStar

HERE = pathlib.Path(__file__).resolve().parent


def obstacles(cols, rows, seed=2024, share=0.2):
    rng = random.Random(seed)
    blocked = [[rng.random() < share for _ in range(rows)] for _ in range(cols)]
    blocked[0][0] = blocked[cols - 1][rows - 1] = False
    return blocked


def prepared(kind, blocked):
    cols, rows = len(blocked), len(blocked[0])
    grid = kind(cols, rows)
    for r in range(cols):
        for c in range(rows):
            if blocked[r][c]:
                grid.setWalkable(r, c, False)
    grid.setStartNode(0, 0)
    grid.setEndNode(cols - 1, rows - 1)
    return grid


# ---- 100 x 100: against the plain rendition ---------------------------------------------

def small_grid():
    blocked = obstacles(100, 100)
    mine, plain = prepared(AStar, blocked), prepared(astar_reference.AStar, blocked)
    assert mine.findPath() and plain.findPath()
    assert [(n.r, n.c) for n in mine.getPath()] == [(n.r, n.c) for n in plain.getPath()]
    kit = best_of(mine.findPath, repeat=7, number=5)
    literal = best_of(plain.findPath, repeat=2)
    report("astar 100x100 findPath", "AStar.findPath", kit, "plain Python rendition", literal,
           target=">= 300x", note=f"{len(mine._closed)} expansions, same path and lists")


# ---- 1000 x 1000: construction time and memory ------------------------------------------

MEMORY = """
import sys, gc, tracemalloc
sys.path.insert(0, {tests!r})
{import_line}
def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * 4096
gc.collect()
before = rss()
tracemalloc.start()
grid = AStar(1000, 1000)
traced = tracemalloc.get_traced_memory()[0]
tracemalloc.stop()
print(traced, rss() - before)
"""


def grid_memory(import_line):
    source = MEMORY.format(tests=str(TESTS), import_line=import_line)
    completed = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, check=True, cwd=HERE)
    traced, rss = completed.stdout.split()
    return int(traced), int(rss)


def construction():
    kit = best_of(lambda: AStar(1000, 1000), repeat=3)
    literal = best_of(lambda: astar_reference.AStar(1000, 1000), repeat=2)
    report("astar 1000x1000 construction", "AStar(1000, 1000)", kit, "plain Python rendition", literal)
    kit_traced, kit_rss = grid_memory("from tavik.tavik import AStar")
    plain_traced, plain_rss = grid_memory("from reference.astar import AStar")
    report("astar 1000x1000 grid memory", "AStar(1000, 1000)", None, "plain Python rendition", None,
           target="<= 1.2x",
           note=f"traced {kit_traced / 1e6:.1f} MB vs {plain_traced / 1e6:.1f} MB = {kit_traced / plain_traced:.2f}x; "
                f"RSS {kit_rss / 1e6:.1f} MB vs {plain_rss / 1e6:.1f} MB = {kit_rss / plain_rss:.2f}x")
    return kit


# ---- 1000 x 1000: findPath against a native floor and registry packages ----------------

FLOOR_SOURCE = r"""
// A plain A*: flat arrays, a binary heap with lazy deletion, 8 neighbours,
// straight 1.0 and diagonal 1.414 times the entered cell's multiplier, no
// corner cutting, octile heuristic.  Reads the grid from a file.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <queue>
#include <vector>
struct Entry { double f; int cell; bool operator<(const Entry& o) const { return f > o.f; } };
int main(int argc, char** argv) {
    FILE* in = std::fopen(argv[1], "rb");
    int header[6];
    if (std::fread(header, sizeof(int), 6, in) != 6) return 1;
    int cols = header[0], rows = header[1], start = header[2] * rows + header[3], end = header[4] * rows + header[5];
    int count = cols * rows;
    std::vector<unsigned char> walkable(count);
    std::vector<double> multiplier(count);
    if (std::fread(walkable.data(), 1, count, in) != size_t(count)) return 1;
    if (std::fread(multiplier.data(), sizeof(double), count, in) != size_t(count)) return 1;
    int endR = end / rows, endC = end % rows;
    auto heuristic = [&](int r, int c) {
        int dx = std::abs(r - endR), dy = std::abs(c - endC), diag = dx < dy ? dx : dy;
        return 1.414 * diag + 1.0 * (dx + dy - 2 * diag);
    };
    double best = 1e300;
    long expansions = 0;
    double length = 0;
    for (int round = 0; round < 7; round++) {
        auto begin = std::chrono::steady_clock::now();
        std::vector<double> g(count, INFINITY);
        std::vector<int> parent(count, -1);
        std::vector<unsigned char> closed(count, 0);
        std::priority_queue<Entry> open;
        g[start] = 0;
        open.push({heuristic(start / rows, start % rows), start});
        expansions = 0;
        while (!open.empty()) {
            Entry top = open.top();
            open.pop();
            int node = top.cell;
            if (closed[node]) continue;
            if (node == end) break;
            closed[node] = 1;
            expansions++;
            int r = node / rows, c = node % rows;
            for (int i = r - 1; i <= r + 1; i++) {
                if (i < 0 || i >= cols) continue;
                for (int j = c - 1; j <= c + 1; j++) {
                    if (j < 0 || j >= rows || (i == r && j == c)) continue;
                    int test = i * rows + j;
                    if (!walkable[test] || !walkable[r * rows + j] || !walkable[i * rows + c] || closed[test]) continue;
                    double cost = (i == r || j == c) ? 1.0 : 1.414;
                    double tentative = g[node] + cost * multiplier[test];
                    if (tentative < g[test]) {
                        g[test] = tentative;
                        parent[test] = node;
                        open.push({tentative + heuristic(i, j), test});
                    }
                }
            }
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (seconds < best) best = seconds;
        length = g[end];
    }
    std::printf("%.9f %ld %.6f\n", best, expansions, length);
    return 0;
}
"""


def native_floor(blocked, workdir):
    compiler = shutil.which("g++") or shutil.which("c++") or shutil.which("clang++")
    if not compiler:
        return None
    source = workdir / "floor.cpp"
    program = workdir / "floor"
    source.write_text(FLOOR_SOURCE)
    subprocess.run([compiler, "-O2", "-std=c++17", "-o", str(program), str(source)], check=True)
    cols, rows = len(blocked), len(blocked[0])
    data = workdir / "grid.bin"
    import array
    header = array.array("i", [cols, rows, 0, 0, cols - 1, rows - 1])
    walkable = bytes(0 if cell else 1 for column in blocked for cell in column)
    multipliers = array.array("d", [1.0]) * (cols * rows)
    with open(data, "wb") as out:
        out.write(header.tobytes())
        out.write(walkable)
        out.write(multipliers.tobytes())
    completed = subprocess.run([str(program), str(data)], capture_output=True, text=True, check=True)
    seconds, expansions, length = completed.stdout.split()
    return float(seconds), int(expansions), float(length)


def with_pathfinding(blocked):
    try:
        from pathfinding.core.diagonal_movement import DiagonalMovement
        from pathfinding.core.grid import Grid
        from pathfinding.finder.a_star import AStarFinder
    except ImportError:
        return None
    matrix = [[0 if blocked[r][c] else 1 for r in range(len(blocked))] for c in range(len(blocked[0]))]
    grid = Grid(matrix=matrix)
    finder = AStarFinder(diagonal_movement=DiagonalMovement.only_when_no_obstacle)
    start = time.perf_counter()
    path, runs = finder.find_path(grid.node(0, 0), grid.node(len(blocked) - 1, len(blocked[0]) - 1), grid)
    return time.perf_counter() - start, runs, len(path)


def with_tcod(blocked):
    try:
        import numpy
        import tcod.path
    except ImportError:
        return None
    cost = numpy.array([[0 if cell else 1 for cell in column] for column in blocked], dtype=numpy.int8)
    cols, rows = cost.shape
    warnings.simplefilter("ignore")

    def search():
        return tcod.path.AStar(cost, diagonal=1.414).get_path(0, 0, cols - 1, rows - 1)

    path = search()
    return best_of(search, repeat=5), len(path) + 1


def large_grid(build_seconds):
    blocked = obstacles(1000, 1000)
    grid = prepared(AStar, blocked)
    assert grid.findPath()
    expansions = len(grid._closed)
    kit = best_of(grid.findPath, repeat=7)
    kit_rate = expansions / kit
    path_length = len(grid.getPath())
    report("astar 1000x1000 build+search", "AStar(1000,1000) + findPath", build_seconds + kit, "about a second", 1.0,
           target="<= 1 s", note=f"{expansions} expansions, path of {path_length} nodes")
    with tempfile.TemporaryDirectory() as folder:
        floor = native_floor(blocked, pathlib.Path(folder))
    if floor:
        seconds, floor_expansions, length = floor
        floor_rate = floor_expansions / seconds
        same = abs(length - grid.getEndNode().g) < 1e-6
        report("astar 1000x1000 findPath per expansion", "AStar.findPath incl. write-back", 1 / kit_rate,
               "native A* floor (C++, binary heap)", 1 / floor_rate, target="ratio >= 0.2 (within 5x)",
               note=f"{kit_rate / 1e6:.2f} M vs {floor_rate / 1e6:.2f} M expansions/s; "
                    f"{expansions} vs {floor_expansions} expansions; same cost: {same}")
    else:
        report("astar 1000x1000 findPath per expansion", "AStar.findPath", 1 / kit_rate, "native floor", None,
               note="skipped: no C++ compiler")
    found = with_pathfinding(blocked)
    if found:
        seconds, runs, length = found
        report("astar 1000x1000 findPath", "AStar.findPath", kit, "pathfinding (PyPI) AStarFinder", seconds,
               note=f"only_when_no_obstacle = same corner rule; diagonal sqrt(2), own tie order; "
                    f"path of {length} nodes")
    else:
        report("astar 1000x1000 findPath", "AStar.findPath", kit, "pathfinding (PyPI)", None, note="not installed")
    found = with_tcod(blocked)
    if found:
        seconds, length = found
        report("astar 1000x1000 findPath", "AStar.findPath", kit, "tcod.path.AStar (PyPI)", seconds,
               note=f"cuts corners past blocked cells, no write-back of scores; path of {length} nodes")
    else:
        report("astar 1000x1000 findPath", "AStar.findPath", kit, "tcod (PyPI)", None, note="not installed")


def main():
    small_grid()
    build = construction()
    large_grid(build)


if __name__ == "__main__":
    os.chdir(HERE)
    main()
