"""Grading a class: 10 copies of a small program through `python -m tavik grade`,
against running the same 10 one after another with `python -m tavik run`;
and 40 small programs (the examples and copies of them) graded with the
sandbox (bubblewrap, where it is installed) and without it (TAVIK_SANDBOX=off).

Both start one process per program; without a display, `run` starts a
virtual screen for each, while the grader resets one between programs. The
grader keeps as many going as there are cores. Each pair is
measured alternately, and the better of two rounds of each is reported.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

from common import report

COPIES = 10
CLASS_SIZE = 40
EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
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


def tavik(*arguments, cwd, environment=None):
    subprocess.run([sys.executable, "-P", "-m", "tavik", *arguments], check=True, capture_output=True, cwd=cwd,
                   env=environment)


def graded(folder, out, *options, environment=None):
    start = time.perf_counter()
    tavik("grade", str(folder), "--out", str(out), *options, cwd=folder, environment=environment)
    return time.perf_counter() - start


def one_after_another(folder, out):
    start = time.perf_counter()
    for index in range(COPIES):
        tavik("run", str(folder / f"learner{index:02}.py"), "--frames", FRAMES, "--screenshot",
              str(out / f"learner{index:02}.png"), cwd=folder)
    return time.perf_counter() - start


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
    isolation()


def isolation():
    """The cost of the sandbox: a class of 40 graded with the defaults, with it and without it."""
    examples = sorted(EXAMPLES.glob("*.py"))
    with tempfile.TemporaryDirectory() as temporary:
        folder = pathlib.Path(temporary) / "class"
        folder.mkdir()
        for index in range(CLASS_SIZE):
            example = examples[index % len(examples)]
            shutil.copyfile(example, folder / f"{index:02}_{example.name}")
        plain_environment = {**os.environ, "TAVIK_SANDBOX": "off"}
        sandboxed, plain = [], []
        for round_ in range(ROUNDS):
            # --again: the second round must run everything again, not keep the first one's results
            sandboxed.append(graded(folder, pathlib.Path(temporary) / "sandboxed", "--again"))
            plain.append(graded(folder, pathlib.Path(temporary) / "plain", "--again", environment=plain_environment))
    kind = "bubblewrap" if shutil.which("bwrap") else "no sandbox installed"
    report("grade", f"grade {CLASS_SIZE} examples isolated ({kind})", min(sandboxed),
           f"the same without the sandbox", min(plain), target="under 15 s; ratio >= 0.91 (at most 10 % slower)",
           note=f"default frames; seconds in all; load average {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
