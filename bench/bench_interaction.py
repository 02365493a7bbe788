"""Interaction and motion: the path mover's step and one click pick.

1. PathMoveCtrl.update for 1,000 movers in one frame, against a plain
   Python rendition of the same step (the kit's target: at least 2x).
   Between timed frames the engine runs a real frame, which also frees the
   transform states the moves made, as the main loop does.
2. One pick (onMouseClick) with the pointer over a scene of 1,000 tagged
   models.
"""
import gc
import math
import time

from common import best_of, make_app, report
from reference.mover import PlainMover

MOVERS = 1000


def movers(app, cls, root):
    made = []
    for index in range(MOVERS):
        model = root.attachNewNode(f"mover{index}")
        # A square loop of side 4 per mover: arrivals (with heading
        # updates) every 160 steps, moves in between, as in a scene.
        corners = [(index, 0, 0), (index + 4, 0, 0), (index + 4, 4, 0.5), (index, 4, 0)]
        mover = cls()
        mover.start(model, corners, 0.025, None, True)
        made.append(mover)
    return made


def bench_mover(app):
    root = app.render.attachNewNode("bench-movers")
    native = movers(app, PathMoveCtrl, root)
    plain = movers(app, PlainMover, root)

    def frame(group):
        # A real (untimed) frame before each timed one renders the moves
        # and frees the transform states, as the main loop does.
        best = float("inf")
        for _ in range(40):
            app.taskMgr.step()
            gc.collect()
            start = time.perf_counter()
            for mover in group:
                mover.update()
            best = min(best, time.perf_counter() - start)
        return best

    class FloorOnly:
        """Only the engine work every step must do: read the position, set a new one."""

        def __init__(self, model):
            self.model = model

        def update(self):
            position = self.model.getPos()
            position[0] += 0.025
            self.model.setPos(position)

    floor = [FloorOnly(mover.model) for mover in native]
    native_time, plain_time, floor_time = frame(native), frame(plain), frame(floor)
    native_time, plain_time = min(native_time, frame(native)), min(plain_time, frame(plain))
    floor_time = min(floor_time, frame(floor))
    below = "" if plain_time >= 2 * native_time else \
        f"; below the target, since the floor (next row) is only {plain_time / floor_time:.2f}x ahead of plain Python"
    report("PathMoveCtrl.update x1000", "C++ PathMoveCtrl", native_time, "plain Python", plain_time,
           target=">= 2x", note="per frame, 1,000 movers" + below)
    report("PathMoveCtrl.update x1000", "engine floor (getPos+setPos)", floor_time, "plain Python", plain_time,
           note="the most any rendition can gain")
    root.removeNode()


def bench_pick(app):
    root = app.render.attachNewNode("bench-pick")
    template = app.loader.loadModel("models/misc/sphere")
    click = ClickCtrl()
    hits = []
    click.addCallback("bench", lambda model, point: hits.append(model))
    side = int(math.ceil(math.sqrt(MOVERS)))
    for index in range(MOVERS):
        model = template.copyTo(root)
        model.setPos((index % side - side / 2) * 0.6, 120 + (index // side) * 0.6, 0)
        model.setScale(0.25)
        click.setModelClick(model, "bench", str(index))
    # Away from the demo axis model at the origin, which is pickable too.
    app.camera.setPos(0, 100, 0)
    app.camera.lookAt(0, 120, 0)
    device = app.win.getInputDevice(0)
    device.setPointerInWindow(500, 375)
    for _ in range(3):
        app.taskMgr.step()
    seconds = best_of(click.onMouseClick, repeat=10, number=20)
    assert hits, "the pick hit nothing"
    report("ClickCtrl.onMouseClick", "one pick, 1,000 tagged models", seconds, "", None,
           note=f"{len(hits)} callbacks")
    click.click_handlers.clear()
    root.removeNode()


if __name__ == "__main__":
    app = make_app()
    from tavik.tavik import ClickCtrl, PathMoveCtrl  # noqa: E402
    for _ in range(3):
        app.taskMgr.step()
    bench_mover(app)
    bench_pick(app)
