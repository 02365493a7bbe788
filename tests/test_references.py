"""Reference counting: repeated calls, on success and on every error path, leak nothing."""
import copy
import pickle

import pytest
from panda3d.core import LPoint3

import tavik.tavik as tv
from helpers import FakeBase, FakeTask, growth_per_call, swallow


base = FakeBase()
controller = tv.CameraController(base, LPoint3(0, 0, 0), 40)


class Iterates:
    def __iter__(self):
        return iter((1, 2, 3))


CASES = {
    "dist": lambda: tv.dist((0, 0, 0), [3, 4, 0]),
    "dist of iterables": lambda: tv.dist(Iterates(), LPoint3(1, 1, 1)),
    "dist error": swallow(lambda: tv.dist((1, 2), (0, 0, 0)), ValueError),
    "dist arithmetic error": swallow(lambda: tv.dist("abc", (0, 0, 0)), TypeError),
    "binder missing": swallow(lambda: tv.dist(1), TypeError),
    "binder keywords": lambda: tv.dist(pos2=(0, 0, 1), pos1=(0, 0, 0)),
    "binder unknown keyword": swallow(lambda: tv.dist(1, 2, pos3=3), TypeError),
    "bound method": lambda: controller.update_camera_position(),
    "pointer step": lambda: (controller.on_mouse_down(), controller.update_mouse(FakeTask()),
                             controller.on_mouse_up(), controller.on_right_mouse_down(),
                             controller.update_mouse(FakeTask()), controller.on_right_mouse_up()),
    "zoom": lambda: (controller.decrease_radius(), controller.increase_radius()),
    "camera error": swallow(lambda: tv.CameraController(None), AttributeError),
    "signature": lambda: tv.TAVIK.makeText.__signature__,
    "pickle by reference": lambda: pickle.loads(pickle.dumps(tv.Pen.forward)),
    "copy by reference": lambda: (copy.copy(tv.dist), copy.deepcopy(tv.AStar.findPath)),
    "defaults": lambda: (tv.TAVIK.makeText.__defaults__, tv.dist.__defaults__, tv.dist.__kwdefaults__,
                         tv.dist.__annotations__),
    "function attributes": lambda: (setattr(tv.drawAxies, "marker", [1]), tv.drawAxies.marker,
                                    tv.drawAxies.__dict__, delattr(tv.drawAxies, "marker")),
    "function dict replaced": lambda: (setattr(tv.makeLabel, "__dict__", {"a": object()}), vars(tv.makeLabel).clear()),
}


# Pickling's one-off allocations (up to some kilobytes a round, seen with a
# Python function as well) are spread over more calls.
CALLS = {"pickle by reference": 20000}


@pytest.mark.parametrize("name", CASES)
def test_repeated_calls_hold_no_memory(name):
    assert growth_per_call(CASES[name], calls=CALLS.get(name, 3000)) < 1.0


def test_application_calls_hold_no_memory(app, monkeypatch):
    monkeypatch.setattr(tv, "print", lambda *args: None, raising=False)  # keep output out of the count
    calls = {
        "background": lambda: app.bgColor((0.2, 0.6, 0.8, 1)),
        "background error": swallow(lambda: app.bgColor((1, 1)), ValueError),
        "model error": lambda: app.gm("no_such_model"),
        "text facing": app.textNodeslookAtCamera,
    }
    for name, call in calls.items():
        assert growth_per_call(call, calls=500) < 8.0, name
