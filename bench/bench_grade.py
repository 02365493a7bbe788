"""Grading a class: 10 copies of a small program through `python -m tavik grade`,
against running the same 10 one after another with `python -m tavik run`.

Both start one process (and, without a display, one virtual screen) per
program; the grader keeps as many going as there are cores. The two are
measured alternately, and the better of two rounds of each is reported.

A second row grades a class of 40 (every example and copies of them, the
default 120 frames each), the size of a real class, against its target;
the machine's load during the row is in its note, since the cores may be
shared.
"""
import os
import pathlib
import subprocess
import sys
import tempfile
import time

from common import report

COPIES = 10
CLASS_SIZE = 40
FRAMES = "30"
ROUNDS = 2
PROGRAM = """\
from tavik.tavik import *
app = TAVIK()
pen = Pen(app)
for side in range(36):
    pen.forward(0.5, True)
    pen.dLeft(10)
pen.update()
app.run()
"""


def tavik(*arguments, cwd):
    subprocess.run([sys.executable, "-P", "-m", "tavik", *arguments], check=True, capture_output=True, cwd=cwd)


def graded(folder, out):
    start = time.perf_counter()
    tavik("grade", str(folder), "--out", str(out), "--frames", FRAMES, cwd=folder)
    return time.perf_counter() - start


def one_after_another(folder, out):
    start = time.perf_counter()
    for index in range(COPIES):
        tavik("run", str(folder / f"learner{index:02}.py"), "--frames", FRAMES, "--screenshot",
              str(out / f"learner{index:02}.png"), cwd=folder)
    return time.perf_counter() - start


def class_of_forty(folder):
    examples = sorted((pathlib.Path(__file__).resolve().parent.parent / "examples").glob("*.py"))
    for index in range(CLASS_SIZE):
        example = examples[index % len(examples)]
        (folder / f"{example.stem}_{index // len(examples)}.py").write_text(example.read_text(encoding="utf-8"),
                                                                            encoding="utf-8")


def grade_forty():
    with tempfile.TemporaryDirectory() as temporary:
        folder = pathlib.Path(temporary) / "class"
        folder.mkdir()
        class_of_forty(folder)
        times = []
        for round_ in range(ROUNDS):
            start = time.perf_counter()
            tavik("grade", str(folder), "--out", str(pathlib.Path(temporary) / f"forty{round_}"), cwd=folder)
            times.append(time.perf_counter() - start)
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    report("grade", f"grade a class of {CLASS_SIZE} (the examples and copies), {os.cpu_count()} at a time", min(times),
           "-", None, target="under 15 s", note=f"120 frames each; load average {load:.1f} at the end")


def main():
    with tempfile.TemporaryDirectory() as temporary:
        folder = pathlib.Path(temporary) / "class"
        folder.mkdir()
        for index in range(COPIES):
            (folder / f"learner{index:02}.py").write_text(PROGRAM, encoding="utf-8")
        grading, plain = [], []
        for round_ in range(ROUNDS):
            grading.append(graded(folder, pathlib.Path(temporary) / f"report{round_}"))
            out = pathlib.Path(temporary) / f"shots{round_}"
            out.mkdir()
            plain.append(one_after_another(folder, out))
    report("grade", f"grade {COPIES} programs, {os.cpu_count()} at a time", min(grading),
           f"run the {COPIES} one after another", min(plain), target="ratio > 1 with more than one core",
           note=f"{FRAMES} frames each; seconds in all")
    grade_forty()


if __name__ == "__main__":
    main()
