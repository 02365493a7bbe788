"""Game helpers: touchingAny of one model against 100 others, once a frame.

The baseline is what a learner writes without the helper: a plain Python
loop over dist() between the model's position and each other's, with a
fixed touching distance. touchingAny answers a harder question (the boxes
around the models' vertices, wherever they stand), so the row shows what
that costs against the plain loop:

1. 100 stars standing still, the car moving: the stars' boxes are cached.
2. 100 balls falling (every ball moves every frame): each ball's box is
   carried to its new place each frame.
Between timed frames the engine runs a real frame, as the main loop does.
"""
import gc
import random
import time

from common import make_app, report

OTHERS = 100
FRAMES = 60
TOUCH_DISTANCE = 1.5


def scene(app, name):
    chooser = random.Random(5)
    root = app.render.attachNewNode("bench-" + name)
    player = app.gm("car")
    player.reparentTo(root)
    others = []
    for _ in range(OTHERS):
        other = app.gm(name)
        other.reparentTo(root)
        other.setPos(chooser.uniform(-30, 30), chooser.uniform(-30, 30), 0)
        others.append(other)
    return root, player, others


def plain_loop(player, others):
    here = player.getPos()
    for other in others:
        if dist(here, other.getPos()) < TOUCH_DISTANCE:
            return other
    return None


def per_frame(app, player, others, check, moving):
    """The best time of one frame's check, over FRAMES frames of play."""
    best = float("inf")
    for frame in range(FRAMES):
        player.setPos(frame * 0.1 - 3, 0, 0)
        if moving:
            for other in others:
                other.setZ(other.getZ() - 0.05)
        app.taskMgr.step()
        gc.collect()
        start = time.perf_counter()
        check(player, others)
        best = min(best, time.perf_counter() - start)
    return best


def bench_touching_any(app, name, moving, label):
    root, player, others = scene(app, name)
    touchingAny(player, others)     # the first call measures every model once
    helper = min(per_frame(app, player, others, touchingAny, moving) for _ in range(3))
    plain = min(per_frame(app, player, others, plain_loop, moving) for _ in range(3))
    report(f"touchingAny 1 vs {OTHERS} ({label})", "touchingAny (boxes)", helper, "plain dist() loop", plain,
           note="per frame; the baseline only compares centres")
    root.removeNode()


def main():
    app = make_app(showAxis=False)
    for _ in range(3):
        app.taskMgr.step()
    bench_touching_any(app, "star", False, "still stars")
    bench_touching_any(app, "ball", True, "falling balls")


if __name__ == "__main__":
    from tavik.tavik import dist  # noqa: F401  (the baseline's own call)
    from tavik.extras import touchingAny  # noqa: F401
    main()
