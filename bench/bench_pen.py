"""The pen's turtle steps and the per-frame facing of billboard text.

1. 100,000 turtle steps (forward(1, True) then dLeft(1)) and one update():
   the native Pen against the plain Python rendition in tests/reference/pen.py, and
   against the bare engine calls the steps need (one LineSegs.drawTo per
   step, then the build), the floor.
2. One frame of textNodeslookAtCamera with 1,000 labels: native against
   the plain rendition in tests/reference/application.py.  With the camera
   moving, each side orbits through camera angles of its own: the engine
   keeps the transforms it made, so a side running over angles the other
   has just run would find every label's new transform already made.
"""
import math

from common import best_of, make_app, report
from reference import application as plain_application
from reference import pen as python_pen

STEPS = 100_000
LABELS = 1_000

app = make_app()
from panda3d.core import LineSegs, TransformState  # noqa: E402
from tavik.tavik import Pen  # noqa: E402

kept = []  # results stay alive until the timing is over, so freeing them is not timed


def turtle(pen_class):
    def run():
        pen = pen_class(app)
        for _ in range(STEPS):
            pen.forward(1, True)
            pen.dLeft(1)
        pen.update()
        kept.append(pen)
    return run


def turtle_path():
    """The points the turtle steps pass through, computed beforehand."""
    points, x, y, heading = [], 0.0, 0.0, 0
    for _ in range(STEPS):
        x += math.cos(math.radians(heading))
        y += math.sin(math.radians(heading))
        points.append((x, y, 0.0))
        heading = (heading + 1) % 360
    return points


def bare_engine(points):
    def run():
        recorder = LineSegs()
        for x, y, z in points:
            recorder.drawTo(x, y, z)
        kept.append(app.render.attachNewNode(recorder.create(True)))
    return run


def timed(function, repeat=5):
    function()  # warm up: the first run also pays for the process's first touch of its memory
    seconds = best_of(function, repeat=repeat)
    for item in kept:
        if hasattr(item, "np"):
            item.np.removeNode()
        else:
            item.removeNode()
    kept.clear()
    return seconds


def python_facing():
    plain_application.TAVIK.textNodeslookAtCamera(app)


def orbiting(face, first_angle):
    """One frame: the camera a degree further round its orbit, then `face`."""
    angle = [first_angle]

    def frame():
        angle[0] += 1
        app.camera.setPos(50 * math.cos(math.radians(angle[0])), 50 * math.sin(math.radians(angle[0])), 20)
        face()
    return frame


def main():
    native = timed(turtle(Pen))
    python = timed(turtle(python_pen.Pen))
    floor = timed(bare_engine(turtle_path()))
    benchmark = f"{STEPS // 1000}k forward(1, True)+dLeft(1), update()"
    report(benchmark, "Pen (C++)", native, "Pen in Python", python, target=">= 3x")
    report(benchmark, "Pen (C++)", native, "LineSegs.drawTo loop + create (floor)", floor,
           target=">= 0.5x (within 2x of the floor)")

    for index in range(LABELS):
        app.makeText(f"label{index}", "标签", (index % 40 - 20, index // 40 - 12, index % 7))
    app.camera.setPos(30, -40, 20)
    native = best_of(app.textNodeslookAtCamera, repeat=7, number=5)
    python = best_of(python_facing, repeat=7, number=5)
    report(f"textNodeslookAtCamera, {LABELS} labels", "TAVIK method (C++)", native, "loop in Python", python,
           target=">= 2x", note="camera still since the last frame")

    # Whole degrees for the kit, half degrees between them for the rendition;
    # each side starts with the engine's cache of unused transforms emptied.
    TransformState.garbageCollect()
    native = best_of(orbiting(app.textNodeslookAtCamera, 0), repeat=7, number=5)
    TransformState.garbageCollect()
    python = best_of(orbiting(python_facing, 0.5), repeat=7, number=5)
    report(f"textNodeslookAtCamera, {LABELS} labels", "TAVIK method (C++)", native, "loop in Python", python,
           target=">= 2x", note="camera moved every frame: every label turns")


if __name__ == "__main__":
    main()
