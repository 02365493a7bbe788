"""The pen's turtle steps and the per-frame facing of billboard text.

1. 100,000 turtle steps (forward(1, True) then dLeft(1)) and one update():
   the native Pen against the plain Python rendition in tests/reference/pen.py, and
   against the bare engine calls the steps need (one LineSegs.drawTo per
   step, then the build), the floor.
2. One frame of textNodeslookAtCamera with 1,000 labels: native against
   the plain rendition in tests/reference/application.py, measured in
   alternating rounds.  With the camera moving, each side orbits through
   camera angles of its own: the engine keeps the transforms it made, so a
   side running over angles the other has just run would find every
   label's new transform already made.  Every label then turns, and the
   floor beside it is the engine's own work alone: one lookAt per label at
   a target worked out beforehand.
"""
import math

from common import best_alternating, best_of, make_app, report
from reference import application as plain_application
from reference import pen as python_pen

STEPS = 100_000
LABELS = 1_000

app = make_app()
from panda3d.core import LineSegs, LPoint3f, TransformState  # noqa: E402
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


ORBIT_ROUNDS, ORBIT_FRAMES = 7, 5


def orbit_position(angle):
    return 50 * math.cos(math.radians(angle)), 50 * math.sin(math.radians(angle)), 20


def orbiting(face, first_angle):
    """One frame: the camera a degree further round its orbit, then `face`."""
    angle = [first_angle]

    def frame():
        angle[0] += 1
        app.camera.setPos(*orbit_position(angle[0]))
        face()
    return frame


def orbiting_floor(first_angle):
    """One frame of the engine's work alone: each label turned by one lookAt
    at the point facing away from that frame's camera, worked out beforehand."""
    labels = list(app.textNodes)
    frames = []
    for turn in range(1, ORBIT_ROUNDS * ORBIT_FRAMES + 1):
        camera = LPoint3f(*orbit_position(first_angle + turn))
        frames.append([(label, label.getPos() * 2 - camera) for label in labels])
    upcoming = iter(frames)

    def frame():
        for label, target in next(upcoming):
            label.lookAt(target)
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
    native, python = best_alternating([app.textNodeslookAtCamera, python_facing])
    report(f"textNodeslookAtCamera, {LABELS} labels", "TAVIK method (C++)", native, "plain rendition", python,
           target=">= 2x", note="camera still since the last frame")

    # Angles of its own for each side (whole, half and quarter degrees), each
    # starting with the engine's cache of unused transforms emptied.
    TransformState.garbageCollect()
    native, python, floor = best_alternating(
        [orbiting(app.textNodeslookAtCamera, 0), orbiting(python_facing, 0.5), orbiting_floor(0.25)],
        repeat=ORBIT_ROUNDS, number=ORBIT_FRAMES)
    below = "" if python >= 2 * native else \
        f"; below the target, since the floor (next row) is only {python / floor:.2f}x ahead of the rendition"
    report(f"textNodeslookAtCamera, {LABELS} labels", "TAVIK method (C++)", native, "plain rendition", python,
           target=">= 2x", note="camera moved every frame: every label turns" + below)
    report(f"textNodeslookAtCamera, {LABELS} labels", "lookAt alone (floor)", floor, "plain rendition", python,
           note="the engine's own turning, targets worked out beforehand: the most any rendition can gain")

if __name__ == "__main__":
    main()
