"""The orbit camera: placement, rotate, pan, zoom, and the real pointer path."""
import math

import pytest
from panda3d.core import LPoint3, MouseButton

import tavik.tavik as tv
from helpers import FakeBase, FakeTask, assert_a_failing_global_raises_its_own_first_error, point_at


@pytest.fixture
def rig():
    base = FakeBase()
    return base, tv.CameraController(base, LPoint3(0, 0, 0), 40)


def frame(controller, x, y):
    watcher = controller.base.mouseWatcherNode
    watcher.x, watcher.y = x, y
    return controller.update_mouse(FakeTask())


def assert_point(actual, expected):
    assert tuple(actual) == pytest.approx(tuple(expected), abs=1e-3)


def test_construction_places_the_camera_and_registers_input(rig):
    base, controller = rig
    assert_point(base.camera.getPos(), (20, 20, 28.284))
    assert [event for event, _ in base.events] == [
        "mouse1", "mouse1-up", "mouse3", "mouse3-up", "wheel_up", "wheel_down"]
    assert [handler.__name__ for _, handler in base.events] == [
        "on_mouse_down", "on_mouse_up", "on_right_mouse_down", "on_right_mouse_up", "decrease_radius",
        "increase_radius"]
    assert [name for _, name in base.taskMgr.tasks] == ["UpdateMouseTask"]
    assert base.mouse_disabled == 1
    assert (controller.theta, controller.phi, controller.mouse_down, controller.right_mouse_down) == (
        45, 45, False, False)
    assert type(controller.theta) is int and controller.last_mouse_x == 0


def test_default_controller_has_radius_ten_and_shares_the_default_target():
    first, second = tv.CameraController(FakeBase()), tv.CameraController(FakeBase())
    assert first.target_pos is second.target_pos
    assert_point(first.base.camera.getPos(), (5, 5, 7.071))


def test_rotating_turns_theta_and_phi_by_a_hundred_degrees_per_unit(rig):
    base, controller = rig
    base.mouseWatcherNode.x = 0.1
    controller.on_mouse_down()
    assert frame(controller, 0.3, 0.05) == "continue"
    assert controller.theta == pytest.approx(65.0) and controller.phi == pytest.approx(50.0)
    theta, phi = math.radians(controller.theta), math.radians(controller.phi)
    assert_point(base.camera.getPos(), (40 * math.sin(phi) * math.sin(theta), 40 * math.sin(phi) * math.cos(theta),
                                        40 * math.cos(phi)))


@pytest.mark.parametrize("dy, limit", [(2.0, 175), (-2.0, 5)])
def test_phi_stops_at_its_limits_while_theta_keeps_growing(rig, dy, limit):
    base, controller = rig
    controller.on_mouse_down()
    for step in range(1, 5):
        frame(controller, 2.0 * step, dy * step)
    assert controller.phi == limit and type(controller.phi) is int
    assert controller.theta == pytest.approx(45 + 800)


def test_a_still_pointer_replaces_the_camera_without_moving_it(rig):
    base, controller = rig
    controller.on_mouse_down()
    base.camera.setPos(1, 2, 3)
    frame(controller, 0.0, 0.0)
    assert_point(base.camera.getPos(), (20, 20, 28.284))


@pytest.mark.parametrize("travel, factor", [(0.05, 1), (0.06, 2)])
def test_pan_speed_doubles_only_above_the_threshold(rig, travel, factor):
    base, controller = rig
    controller.on_right_mouse_down()
    before = base.camera.getPos()
    frame(controller, travel, 0.0)
    moved = (base.camera.getPos() - before).length()
    assert moved == pytest.approx(travel * 40 * 0.1 * factor, rel=1e-4)
    assert controller.target_pos is not tv.CameraController.__init__.__signature__.parameters["target_pos"].default


@pytest.mark.parametrize("angle", ["theta", "phi"])
@pytest.mark.parametrize("value", [math.inf, -math.inf])
def test_an_infinite_angle_raises_maths_own_error(rig, angle, value):
    base, controller = rig
    setattr(controller, angle, value)
    before = base.camera.getPos()
    with pytest.raises(ValueError) as expected:
        math.sin(value)  # the interpreter's own wording, which varies by version
    with pytest.raises(ValueError) as raised:
        controller.update_camera_position()
    assert str(raised.value) == str(expected.value)
    assert base.camera.getPos() == before


def test_placement_uses_the_modules_math_when_it_runs(rig, monkeypatch):
    base, controller = rig
    calls = []

    class TracedMath:
        def __getattr__(self, name):
            function = getattr(math, name)
            return lambda value: calls.append((name, value)) or function(value)

    monkeypatch.setattr(tv, "math", TracedMath())
    controller.update_camera_position()
    theta, phi = math.radians(45), math.radians(45)
    assert calls == [("radians", 45), ("radians", 45), ("sin", phi), ("sin", theta), ("sin", phi), ("cos", theta),
                     ("cos", phi)]
    controller.on_right_mouse_down()
    calls.clear()
    frame(controller, 0.03, 0.04)
    assert calls[0] == ("sqrt", pytest.approx(0.0025))


def test_pan_travel_that_overflows_raises(rig):
    base, controller = rig
    controller.on_right_mouse_down()
    controller.last_mouse_x = 1e200
    with pytest.raises(OverflowError):
        frame(controller, 0.0, 0.0)


@pytest.mark.parametrize("last_x, doubled", [(math.nan, False), (0.0, False), (-0.06, True)], ids=repr)
def test_pan_speed_doubles_only_when_the_travel_is_more_than_the_threshold(rig, last_x, doubled):
    base, controller = rig
    products = []

    class Speed(float):
        def __mul__(self, other):
            products.append(other)
            return Speed(float(self) * other)

        __rmul__ = __mul__

    controller.radius = Speed(40)
    controller.on_right_mouse_down()
    controller.last_mouse_x = last_x
    try:
        frame(controller, 0.0, 0.0)
    except AssertionError:
        pass  # a NaN pan vector is refused by the engine
    assert (2 in products) == doubled


def test_rotating_adds_in_place_to_the_angles(rig):
    base, controller = rig

    class Angle(float):
        def __iadd__(self, other):
            return Angle(float(self) + other + 1000)

    controller.theta = Angle(45)
    controller.on_mouse_down()
    frame(controller, 0.01, 0.0)
    assert controller.theta == pytest.approx(45 + 1 + 1000)


def test_dragging_right_pans_camera_and_target_left_together(rig):
    base, controller = rig
    controller.on_right_mouse_down()
    frame(controller, 0.02, 0.0)
    offset = base.camera.getPos() - controller.target_pos
    assert_point(offset, (20, 20, 28.284))
    view = (controller.target_pos - base.camera.getPos()).normalized()
    right = view.cross((0, 0, 1)).normalized()
    assert controller.target_pos.dot(right) < 0
    assert (controller.theta, controller.phi) == (45, 45)


def test_orbit_after_a_pan_circles_the_moved_target(rig):
    base, controller = rig
    controller.on_right_mouse_down()
    frame(controller, 0.3, 0.2)
    controller.on_right_mouse_up()
    target = LPoint3(controller.target_pos)
    controller.decrease_radius()
    assert (base.camera.getPos() - target).length() == pytest.approx(39, rel=1e-5)


def test_both_buttons_held_only_rotate(rig):
    base, controller = rig
    controller.on_mouse_down()
    controller.on_right_mouse_down()
    frame(controller, 0.1, 0.0)
    assert controller.theta == pytest.approx(55)
    assert controller.target_pos == LPoint3(0, 0, 0)


def test_leaving_the_window_freezes_then_jumps_by_the_whole_offset(rig):
    base, controller = rig
    controller.on_mouse_down()
    frame(controller, 0.1, 0.0)
    base.mouseWatcherNode.inside = False
    assert frame(controller, 0.9, 0.9) == "continue"
    assert controller.theta == pytest.approx(55) and controller.last_mouse_x == 0.1
    base.mouseWatcherNode.inside = True
    frame(controller, 0.5, 0.0)
    assert controller.theta == pytest.approx(95)


def test_a_press_outside_the_window_keeps_the_last_sample(rig):
    base, controller = rig
    frame(controller, 0.4, 0.3)
    base.mouseWatcherNode.inside = False
    controller.on_mouse_down()
    controller.on_right_mouse_down()
    assert controller.mouse_down and controller.right_mouse_down
    assert (controller.last_mouse_x, controller.last_mouse_y) == (0.4, 0.3)


@pytest.mark.parametrize("radius, after_in", [(1, 1), (1.5, 1), (3, 2), (40, 39)])
def test_zooming_in_stops_at_one(rig, radius, after_in):
    base, controller = rig
    controller.radius = radius
    controller.decrease_radius()
    assert controller.radius == after_in and type(controller.radius) is type(after_in)


def test_zooming_out_has_no_limit(rig):
    base, controller = rig
    for _ in range(100):
        controller.increase_radius()
    assert controller.radius == 140
    assert (base.camera.getPos() - LPoint3(0, 0, 0)).length() == pytest.approx(140, rel=1e-5)


@pytest.mark.parametrize("attribute, value, error", [
    ("radius", None, TypeError), ("radius", "far", TypeError), ("theta", "x", TypeError),
    ("radius", 10 ** 400, OverflowError), ("target_pos", None, TypeError),
])
def test_bad_state_raises_instead_of_crashing(rig, attribute, value, error):
    base, controller = rig
    setattr(controller, attribute, value)
    with pytest.raises(error):
        controller.update_camera_position()


def test_bad_pointer_readings_raise(rig):
    base, controller = rig
    controller.on_mouse_down()
    base.mouseWatcherNode.x = "left"
    with pytest.raises(TypeError):
        controller.update_mouse(FakeTask())
    controller.on_mouse_up()
    base.mouseWatcherNode.x = float("nan")
    controller.on_right_mouse_down()
    controller.on_mouse_down()
    with pytest.raises(AssertionError, match="nan"):  # the engine refuses a NaN position
        controller.update_mouse(FakeTask())
    controller.on_mouse_up()
    controller.theta, controller.phi = 45, 45
    controller.update_camera_position()
    assert_point(base.camera.getPos(), (20, 20, 28.284))


def test_bad_bases_raise_attribute_errors():
    with pytest.raises(AttributeError):
        tv.CameraController(None)
    with pytest.raises(AttributeError):
        tv.CameraController(object(), LPoint3(0, 0, 0), 10)


def test_the_real_pointer_rotates_the_application_camera(app, step):
    device = app.win.getInputDevice(0)
    controller = app.camera_controller
    saved = (controller.theta, controller.phi, controller.radius, LPoint3(controller.target_pos))
    try:
        point_at(app, 500, 375)
        device.buttonDown(MouseButton.one())
        step(2)
        assert controller.mouse_down
        device.setPointerInWindow(600, 300)
        step(2)
        assert controller.theta == pytest.approx(saved[0] + 20, abs=0.5)
        assert controller.phi == pytest.approx(saved[1] + 20, abs=0.5)
        device.buttonUp(MouseButton.one())
        step(2)
        assert not controller.mouse_down
        device.buttonDown(MouseButton.wheelUp())
        device.buttonUp(MouseButton.wheelUp())
        step(2)
        assert controller.radius == saved[2] - 1
    finally:
        controller.mouse_down = controller.right_mouse_down = False
        controller.theta, controller.phi, controller.radius, controller.target_pos = saved
        controller.update_camera_position()


# ---- hostile programs ---------------------------------------------------------------------------

class ZoomUpdatesByZooming(tv.CameraController):
    def __init__(self):  # no window needed: the loop is in the zoom alone
        self.radius = 10

    update_camera_position = tv.CameraController.decrease_radius


def test_a_zoom_made_to_call_itself_for_ever_raises_recursion_error():
    with pytest.raises(RecursionError):
        ZoomUpdatesByZooming().decrease_radius()


def pointer_held(button):
    """A controller in the middle of a drag with `button`, the pointer moved since the press."""
    base = FakeBase()
    base.mouseWatcherNode.x, base.mouseWatcherNode.y = 0.3, 0.2
    controller = tv.CameraController.__new__(tv.CameraController)
    controller.__dict__.update(base=base, target_pos=LPoint3(1, 0, 0), radius=10, theta=45, phi=45,
                               mouse_down=button == "left", right_mouse_down=button == "right",
                               last_mouse_x=0, last_mouse_y=0)
    return lambda: controller.update_mouse(FakeTask())


FAILING_GLOBALS = {
    "camera placement math": ("math", lambda: tv.CameraController(FakeBase())),
    "camera placement point": ("LPoint3", lambda: tv.CameraController(FakeBase())),
    "camera placement vector": ("LVector3", lambda: tv.CameraController(FakeBase())),
    "camera rotate math": ("math", pointer_held("left")),
    "camera pan math": ("math", pointer_held("right")),
    "camera pan vector": ("LVector3", pointer_held("right")),
}


@pytest.mark.parametrize("name", FAILING_GLOBALS)
def test_a_failing_module_global_raises_its_own_first_error(app, monkeypatch, name):
    assert_a_failing_global_raises_its_own_first_error(app, monkeypatch, *FAILING_GLOBALS[name])
