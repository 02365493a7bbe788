"""Shared helpers for the benchmarks: timing, the application, reporting.

Each ``bench_*.py`` is a script that prints its results as ``ROW {json}``
lines through ``report``; ``run.py`` runs them all and prints one table.
The baselines that are plain Python renditions of the kit come from
``tests/reference``, the same the differential tests compare the kit with.
"""
import gc
import json
import pathlib
import sys
import time

TESTS = pathlib.Path(__file__).resolve().parent.parent / "tests"
sys.path.insert(0, str(TESTS))


def best_of(function, repeat=5, number=1):
    """The best time of `repeat` runs of `number` calls, in seconds per call."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        for _ in range(number):
            function()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def best_alternating(functions, repeat=7, number=5):
    """The best time per call of each function, measured in alternating
    rounds, so that a change of the machine's load falls on every side."""
    best = [float("inf")] * len(functions)
    for _ in range(repeat):
        for index, function in enumerate(functions):
            best[index] = min(best[index], best_of(function, repeat=1, number=number))
    return best


def report(benchmark, subject, seconds, baseline, baseline_seconds, target="", note=""):
    """One row: `subject` against `baseline`, measured side by side.

    The ratio printed is baseline time / subject time (above 1: the subject
    is faster).
    """
    print("ROW " + json.dumps({
        "benchmark": benchmark, "subject": subject, "seconds": seconds,
        "baseline": baseline, "baseline_seconds": baseline_seconds,
        "target": target, "note": note,
    }), flush=True)


def make_app(**settings):
    """A TAVIK application on a (virtual) screen, with quiet engine settings."""
    from tavik.classroom.display import ensure_display
    ensure_display()
    from panda3d.core import loadPrcFileData
    loadPrcFileData("bench", "audio-library-name null\nsync-video #f\nwin-size 1000 750\n")
    from tavik.tavik import TAVIK
    return TAVIK(**settings)
