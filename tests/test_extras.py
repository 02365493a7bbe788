"""The learner helpers: framing the scene, views from a side, a pen that draws
itself, and saving the picture, checked on the pixels of the window."""
import math
import os
import pathlib
import subprocess
import sys

import pytest
from panda3d.core import GeomVertexReader, LPoint3, LVector3, MouseButton, Point2
from PIL import Image

import tavik.extras as extras
from conftest import docstring_as_compiled, run_python
from helpers import from_above, grab, on_screen, pixels_of
from tavik.extras import animate, frameAll, lookFrom, saveImage
from tavik.tavik import Pen

ROOT = pathlib.Path(__file__).resolve().parent.parent
RED = (255, 0, 0)
MAGENTA = (255, 0, 255)
YELLOW = (255, 255, 0)


@pytest.fixture(autouse=True)
def leave_as_found(app, step):
    """Every test leaves the scene, the camera and the task list as it found them."""
    controller = app.camera_controller
    saved = (controller.theta, controller.phi, controller.radius, LPoint3(controller.target_pos))
    children = [(child, child.isHidden()) for child in app.render.getChildren()]
    tasks = {task.name for task in app.taskMgr.getTasks()}
    yield
    for animation in list(extras._running):
        animation.finish()
    for child in app.render.getChildren():
        if child not in [kept for kept, _ in children]:
            child.removeNode()
    for child, hidden in children:
        if hidden:
            child.hide()
        else:
            child.show()
    controller.mouse_down = controller.right_mouse_down = False
    controller.theta, controller.phi, controller.radius, controller.target_pos = saved
    controller.update_camera_position()
    step(2)
    assert {task.name for task in app.taskMgr.getTasks()} == tasks


def projected_vertices(app, root):
    """Where every vertex under `root` lands on the lens, from -1 to 1 across the window."""
    found = []
    for path in root.findAllMatches("**/+GeomNode"):
        for geom in path.node().getGeoms():
            reader = GeomVertexReader(geom.getVertexData(), "vertex")
            while not reader.isAtEnd():
                screen = Point2()
                assert app.camLens.project(app.cam.getRelativePoint(path, reader.getData3()), screen)
                found.append((screen.x, screen.y))
    return found


def square_pen(app, centre=(100, 100, 0), side=10, colour=(1, 0, 1, 1)):
    pen = Pen(app)
    pen.color(colour)
    pen.size(3)
    x, y, z = centre
    pen.moveTo(x - side / 2, y - side / 2, z)
    for _ in range(4):
        pen.forward(side, True)
        pen.dLeft(90)
    pen.update()
    return pen


def spiral(pen, turns=36, colour=(1, 0, 0, 1)):
    pen.color(colour)
    pen.size(3)
    pen.moveTo(0, 0, 0)
    for index in range(turns):
        pen.forward(0.1 + index * 0.04, True)
        pen.dLeft(30)


def built_geometry(pen):
    """Every vertex (position and colour) and every stroke of the pen's latest build."""
    node = pen.lineNode.node()
    geometry = []
    for geom in node.getGeoms():
        data = geom.getVertexData()
        positions, colours = GeomVertexReader(data, "vertex"), GeomVertexReader(data, "color")
        rows = []
        while not positions.isAtEnd():
            rows.append((tuple(positions.getData3()), tuple(colours.getData4())))
        strokes = [[primitive.getVertex(k) for k in range(primitive.getPrimitiveStart(i), primitive.getPrimitiveEnd(i))]
                   for primitive in geom.getPrimitives() for i in range(primitive.getNumPrimitives())]
        geometry.append((rows, strokes))
    return geometry


def pen_state(pen):
    return (tuple(pen.getPos()), pen.rotZ, pen.rotY, pen.np.getNumChildren(), built_geometry(pen),
            pen.lineNode.isHidden())


def run_until_drawn(app, step, pen, limit=500):
    frames = 0
    while pen.lineNode.isHidden():
        step()
        frames += 1
        assert frames < limit, "the animation never finished"
    return frames


# ---- frameAll -------------------------------------------------------------------

def test_frame_all_brings_a_far_square_fully_into_the_window(app, screenshot):
    pen = square_pen(app)
    corners = [(95, 95, 0), (105, 95, 0), (105, 105, 0), (95, 105, 0)]
    screenshot()
    assert any(on_screen(app, corner) is None for corner in corners)
    assert not pixels_of(grab(app), MAGENTA)

    assert frameAll(app) is True
    screenshot()
    image = grab(app)
    red = pixels_of(image, MAGENTA)
    assert red, "the square is not on screen after frameAll"
    xs, ys = [x for x, _ in red], [y for _, y in red]
    assert min(xs) > 10 and max(xs) < image.width - 10 and min(ys) > 10 and max(ys) < image.height - 10
    for corner in corners:
        x, y = on_screen(app, corner)
        assert any(abs(x - px) <= 3 and abs(y - py) <= 3 for px, py in red), f"corner {corner} is not drawn"
    pen.clear()


def test_frame_all_keeps_the_angles_and_places_the_camera_through_the_controller(app):
    controller = app.camera_controller
    controller.theta, controller.phi = 30, 60
    pen = square_pen(app, centre=(20, -10, 5))
    assert frameAll(app)
    assert (controller.theta, controller.phi) == (30, 60)
    theta, phi = math.radians(30), math.radians(60)
    offset = LVector3(math.sin(phi) * math.sin(theta), math.sin(phi) * math.cos(theta), math.cos(phi))
    expected = controller.target_pos + offset * controller.radius
    assert tuple(app.camera.getPos(app.render)) == pytest.approx(tuple(expected), abs=1e-3)
    ahead = app.render.getRelativeVector(app.camera, LVector3(0, 1, 0))
    towards_target = controller.target_pos - app.camera.getPos(app.render)
    towards_target.normalize()
    assert tuple(ahead) == pytest.approx(tuple(towards_target), abs=1e-4)
    # Zooming afterwards continues from the framed view.
    radius = controller.radius
    controller.increase_radius()
    assert controller.radius == pytest.approx(radius + 1)
    assert (app.camera.getPos(app.render) - controller.target_pos).length() == pytest.approx(radius + 1, rel=1e-4)
    pen.clear()


@pytest.mark.parametrize("theta, phi", [(45, 45), (180, 90), (10, 120), (180, 0)])
def test_frame_all_fits_every_vertex_inside_the_margin(app, theta, phi):
    controller = app.camera_controller
    controller.theta, controller.phi = theta, phi
    pens = [square_pen(app, centre=(100, 100, 0)), square_pen(app, centre=(-30, 40, 20), side=4)]
    assert frameAll(app)
    extents = [point for pen in pens for point in projected_vertices(app, pen.np)]
    limit = 1 / extras.FRAME_MARGIN
    assert max(max(abs(x), abs(y)) for x, y in extents) == pytest.approx(limit, abs=1e-3)
    # The picture is centred along the side that sets the distance.
    xs, ys = [x for x, _ in extents], [y for _, y in extents]
    assert min(abs(max(xs) + min(xs)), abs(max(ys) + min(ys))) < 1e-3
    for pen in pens:
        pen.clear()


def test_frame_all_of_an_empty_scene_leaves_the_camera_where_it_is(app):
    for child in app.render.getChildren():
        if child != app.camera:
            child.hide()
    controller = app.camera_controller
    before = (controller.theta, controller.phi, controller.radius, LPoint3(controller.target_pos),
              app.camera.getPos(app.render))
    assert frameAll(app) is False
    assert (controller.theta, controller.phi, controller.radius, controller.target_pos,
            app.camera.getPos(app.render)) == before
    # Even a camera the program placed by hand stays where it was put.
    app.camera.setPos(7, -50, 3)
    app.camera.lookAt(0, 0, 0)
    transform = app.camera.getTransform()
    empty = Pen(app)
    empty.update()  # a build without vertices
    assert frameAll(app) is False
    assert app.camera.getTransform() == transform


def test_frame_all_of_the_axis_model_alone_shows_all_of_it(app):
    axis = app.render.find("zup-axis*")
    assert not axis.isEmpty()
    assert frameAll(app) is True
    extents = projected_vertices(app, axis)
    assert len(extents) > 100
    assert max(max(abs(x), abs(y)) for x, y in extents) == pytest.approx(1 / extras.FRAME_MARGIN, abs=1e-3)


def test_frame_all_ignores_what_is_hidden(app):
    near = square_pen(app, centre=(0, 0, 0))
    far = square_pen(app, centre=(500, 0, 0))
    far.np.hide()
    frameAll(app)
    assert app.camera_controller.radius < 60
    assert on_screen(app, (500, 0, 0)) is None
    near.clear()
    far.clear()


# ---- lookFrom -------------------------------------------------------------------

# side -> (where the camera stands, seen from the target; what is to the right on screen)
VIEWS = {
    "front": ((0, -1, 0), (1, 0, 0)),
    "back": ((0, 1, 0), (-1, 0, 0)),
    "left": ((-1, 0, 0), (0, -1, 0)),
    "right": ((1, 0, 0), (0, 1, 0)),
    "top": ((0, 0, 1), (1, 0, 0)),
}
CHINESE = {"前": "front", "后": "back", "左": "left", "右": "right", "上": "top"}


@pytest.mark.parametrize("side", list(VIEWS) + list(CHINESE))
def test_look_from_puts_the_camera_on_that_side_keeping_target_and_radius(app, side):
    controller = app.camera_controller
    controller.target_pos = LPoint3(3, 4, 5)
    controller.radius = 25
    lookFrom(app, side)
    where, rightwards = VIEWS[CHINESE.get(side, side)]
    offset = app.camera.getPos(app.render) - LPoint3(3, 4, 5)
    assert tuple(offset) == pytest.approx(tuple(LVector3(*where) * 25), abs=1e-4)
    assert tuple(app.render.getRelativeVector(app.camera, LVector3(1, 0, 0))) == pytest.approx(rightwards, abs=1e-6)
    assert tuple(app.render.getRelativeVector(app.camera, LVector3(0, 1, 0))) == pytest.approx(
        tuple(-LVector3(*where)), abs=1e-6)
    assert controller.radius == 25 and controller.target_pos == LPoint3(3, 4, 5)


def test_look_from_top_has_the_y_axis_up_the_screen(app):
    lookFrom(app, "top")
    assert tuple(app.render.getRelativeVector(app.camera, LVector3(0, 0, 1))) == pytest.approx((0, 1, 0), abs=1e-6)


def test_an_l_in_the_xz_plane_reads_upright_and_unmirrored_from_the_front(app, screenshot):
    controller = app.camera_controller
    pen = Pen(app)
    pen.color((1, 1, 0, 1))
    pen.size(4)
    pen.moveTo(26, 0, 36)
    pen.lineTo(26, 0, 24)   # the bar, downwards
    pen.lineTo(34, 0, 24)   # the foot, to the right
    pen.update()
    controller.target_pos = LPoint3(30, 0, 30)
    controller.radius = 30
    lookFrom(app, "front")
    assert tuple(app.camera.getPos(app.render)) == pytest.approx((30, -30, 30), abs=1e-4)
    screenshot()
    yellow = pixels_of(grab(app), YELLOW)
    assert len(yellow) > 500
    xs, ys = [x for x, _ in yellow], [y for _, y in yellow]
    top = min(yellow, key=lambda pixel: pixel[1])
    rightmost = max(yellow, key=lambda pixel: pixel[0])
    assert top[0] - min(xs) <= 4, "the bar is not on the left"
    assert max(ys) - rightmost[1] <= 4, "the foot is not at the bottom"
    assert max(xs) - min(xs) > 100 and max(ys) - min(ys) > 150
    pen.clear()


def drag(app, step, start, end):
    device = app.win.getInputDevice(0)
    device.setPointerInWindow(*start)
    step(2)
    device.buttonDown(MouseButton.one())
    step(2)
    device.setPointerInWindow(*end)
    step(2)
    device.buttonUp(MouseButton.one())
    step(2)


@pytest.mark.parametrize("side", ["top", "front", "left"])
def test_the_mouse_keeps_orbiting_after_look_from(app, step, side):
    controller = app.camera_controller
    lookFrom(app, side)
    theta, phi = controller.theta, controller.phi
    drag(app, step, (500, 375), (550, 340))
    assert controller.theta == pytest.approx(theta + 10, abs=0.5)
    # From straight above the first step lifts phi to the controller's limit of 5.
    assert controller.phi == pytest.approx(max(phi, 5) + 9.33, abs=0.5)
    position = app.camera.getPos(app.render)
    assert all(math.isfinite(value) for value in position)
    assert (position - controller.target_pos).length() == pytest.approx(controller.radius, rel=1e-4)


def test_a_drag_from_the_top_view_tilts_towards_the_front(app, step):
    lookFrom(app, "上")
    drag(app, step, (500, 375), (500, 360))
    offset = app.camera.getPos(app.render) - app.camera_controller.target_pos
    assert offset.y < 0 and offset.z > 0.9 * offset.length()


@pytest.mark.parametrize("side", ["down", "", "FRONTAL", "下", None, 3, ("front",)])
def test_look_from_a_side_it_does_not_know_raises_a_chinese_value_error(app, side):
    controller = app.camera_controller
    before = (controller.theta, controller.phi)
    with pytest.raises(ValueError) as raised:
        lookFrom(app, side)
    for name in ['"front"', '"back"', '"left"', '"right"', '"top"', '"前"', '"后"', '"左"', '"右"', '"上"']:
        assert name in str(raised.value)
    assert "只能是" in str(raised.value)
    assert (controller.theta, controller.phi) == before


@pytest.mark.parametrize("spelling", [" Front", "FRONT", "front "])
def test_look_from_forgives_case_and_spaces(app, spelling):
    lookFrom(app, spelling)
    assert (app.camera_controller.theta, app.camera_controller.phi) == (180, 90)


# ---- animate --------------------------------------------------------------------

@pytest.fixture
def framed_spiral(app):
    """A view on the spiral the animation tests draw."""
    with from_above(app, 12):
        yield


def test_an_animated_drawing_grows_frame_by_frame_and_ends_as_the_plain_one(app, step, screenshot, framed_spiral):
    pen = Pen(app)
    animate(pen, speed=3)
    spiral(pen)
    pen.update()
    areas = []
    for _ in range(8):
        step()
        areas.append(len(pixels_of(grab(app), RED)))
    assert areas[0] > 0
    assert all(later > earlier for earlier, later in zip(areas, areas[1:])), areas
    run_until_drawn(app, step, pen)
    screenshot()
    animated = grab(app)
    pen.clear()

    plain = Pen(app)
    spiral(plain)
    plain.update()
    screenshot()
    assert grab(app).tobytes() == animated.tobytes()
    assert len(pixels_of(animated, RED)) > areas[-1]
    plain.clear()


def test_speed_counts_segments_per_frame(app, step, framed_spiral):
    pen = Pen(app)
    animate(pen, speed=2)
    spiral(pen, turns=20)
    pen.update()
    frames = run_until_drawn(app, step, pen)
    assert frames == 10
    pen.clear()
    animate(pen, speed=0.5)
    spiral(pen, turns=3)
    pen.update()
    assert run_until_drawn(app, step, pen) == 6
    pen.clear()


def test_the_pen_is_the_same_with_and_without_animation(app, step):
    def draw(pen):
        spiral(pen, turns=12)
        pen.dUp(30)
        pen.moveTo(1, 2, 3)
        pen.dot()
        pen.color((0, 1, 0, 1))
        pen.forward(4, True)
        pen.update()
        pen.setVertex(3, 1, 1, 1)
        pen.forward(2, True)
        pen.update()
        pen.moveTo(7, 7, 7)

    animated, plain = Pen(app), Pen(app)
    animate(animated)
    draw(animated)
    draw(plain)
    # Right away only the screen lags: the real build is there, hidden.
    assert pen_state(animated)[:5] == pen_state(plain)[:5]
    assert animated.lineNode.isHidden()
    run_until_drawn(app, step, animated)
    assert pen_state(animated) == pen_state(plain)
    assert not animated.lineNode.isHidden()
    assert [child.isHidden() for child in animated.np.getChildren()] == [False, False]
    assert animated.lineNode.node().getDrawControlMask() == plain.lineNode.node().getDrawControlMask()
    assert animated.lineNode.node().getDrawShowMask() == plain.lineNode.node().getDrawShowMask()
    animated.clear()
    plain.clear()


def test_a_second_update_while_drawing_carries_on_where_the_first_was(app, step, framed_spiral):
    pen = Pen(app)
    animate(pen, speed=1)
    pen.moveTo(0, 0, 0)
    for _ in range(6):
        pen.forward(1, True)
        pen.dLeft(60)
    pen.update()
    step(3)
    for _ in range(4):
        pen.forward(2, True)
        pen.dLeft(90)
    pen.update()
    # 10 segments in all at one a frame, 3 already shown.
    assert run_until_drawn(app, step, pen) == 7
    assert [child.isHidden() for child in pen.np.getChildren()] == [False, False]
    pen.clear()


def test_an_update_after_a_finished_drawing_animates_only_the_new_strokes(app, step, framed_spiral):
    pen = Pen(app)
    animate(pen, speed=1)
    pen.moveTo(0, 0, 0)
    pen.forward(3, True)
    pen.update()
    assert run_until_drawn(app, step, pen) == 1
    pen.dLeft(90)
    pen.forward(3, True)
    pen.dLeft(90)
    pen.forward(3, True)
    pen.update()
    assert run_until_drawn(app, step, pen) == 2
    pen.update()  # nothing new: shown at once
    assert not pen.lineNode.isHidden()
    pen.clear()


def turtle(app):
    found = app.render.findAllMatches("**/turtle")
    return found[0] if found.getNumPaths() else None


def test_the_turtle_rides_on_the_tip_facing_the_way_it_draws_and_goes_when_done(app, step, framed_spiral):
    pen = Pen(app)
    animate(pen, speed=1)
    pen.color((0, 1, 0, 1))
    pen.moveTo(0, 0, 0)
    pen.forward(3, True)      # along +X
    pen.dLeft(90)
    pen.forward(3, True)      # along +Y
    pen.update()
    marker = turtle(app)
    assert marker is not None and not marker.isHidden()
    assert tuple(marker.getPos(app.render)) == pytest.approx((0, 0, 0), abs=1e-4)
    assert tuple(app.render.getRelativeVector(marker, LVector3(0, 1, 0)).normalized()) == pytest.approx(
        (1, 0, 0), abs=1e-4)
    step()
    # The first side is drawn; the turtle has turned left at its end.
    assert tuple(marker.getPos(app.render)) == pytest.approx((3, 0, 0), abs=1e-4)
    assert tuple(app.render.getRelativeVector(marker, LVector3(0, 1, 0)).normalized()) == pytest.approx(
        (0, 1, 0), abs=1e-4)
    assert tuple(marker.getColor()) == pytest.approx((0, 1, 0, 1))
    # On screen (X to the right, Y up) its body, in the pen's colour, lies
    # below the tip, right of the drawn side's end, where no line is.
    x, y = on_screen(app, (3, 0, 0))

    def turtle_pixels():
        return [(px, py) for px, py in pixels_of(grab(app), (0, 255, 0)) if px > x + 4 and y < py < y + 40]
    assert len(turtle_pixels()) > 20
    step()
    assert turtle(app) is None
    assert not turtle_pixels()
    assert not pen.lineNode.isHidden()
    pen.clear()


def test_one_task_per_animated_pen_while_it_draws(app, step, framed_spiral):
    first, second = Pen(app), Pen(app)
    animate(first, speed=1)
    animate(second, speed=1)
    spiral(first, turns=4)
    spiral(second, turns=8)
    first.update()
    second.update()
    names = [task.name for task in app.taskMgr.getTasks() if task.name.startswith("animatePen-")]
    assert len(names) == 2 and len(set(names)) == 2
    step(4)
    assert len([task for task in app.taskMgr.getTasks() if task.name.startswith("animatePen-")]) == 1
    step(4)
    assert not [task for task in app.taskMgr.getTasks() if task.name.startswith("animatePen-")]
    first.clear()
    second.clear()


def drawing_spiral(app, step):
    """A pen one frame into animating a long spiral."""
    pen = Pen(app)
    animate(pen, speed=1)
    spiral(pen, turns=30)
    pen.update()
    step()
    return pen


def test_speed_zero_turns_the_animation_off(app, step):
    pen = drawing_spiral(app, step)
    animate(pen, 0)
    assert "update" not in pen.__dict__
    assert not pen.lineNode.isHidden() and turtle(app) is None
    pen.forward(1, True)
    pen.update()
    assert not pen.lineNode.isHidden()
    pen.clear()


def test_clearing_a_pen_while_it_draws_stops_the_animation(app, step):
    pen = drawing_spiral(app, step)
    pen.clear()
    step()
    assert turtle(app) is None
    assert app.render.find("penAnimation").isEmpty()
    spiral(pen, turns=2)
    pen.update()
    assert run_until_drawn(app, step, pen) == 2
    pen.clear()


def test_removing_the_pens_container_while_it_draws_stops_the_animation(app, step):
    pen = drawing_spiral(app, step)
    pen.np.detachNode()
    step()
    assert turtle(app) is None and app.render.find("penAnimation").isEmpty()
    assert not pen.lineNode.isHidden()


def test_draw_vec_of_an_animated_pen_is_animated(app, step):
    pen = Pen(app)
    animate(pen, speed=1)
    pen.drawVec(LPoint3(0, 0, 0), LVector3(4, 0, 0))
    assert pen.lineNode.isHidden()
    assert run_until_drawn(app, step, pen) == 4
    pen.clear()


def test_frame_all_sees_the_whole_drawing_while_it_is_still_being_drawn(app):
    pen = Pen(app)
    animate(pen, speed=1)
    square = [(95, 95, 0), (105, 95, 0), (105, 105, 0), (95, 105, 0), (95, 95, 0)]
    pen.drawPath(square)
    pen.update()
    assert frameAll(app)
    for corner in square:
        assert on_screen(app, corner) is not None
    assert pen.lineNode.isHidden()
    pen.clear()


@pytest.mark.parametrize("speed, error", [(-1, ValueError), (math.inf, ValueError), (math.nan, ValueError),
                                          ("fast", TypeError), (None, TypeError), (True, TypeError)])
def test_animate_with_a_bad_speed_raises_in_chinese(app, speed, error):
    pen = Pen(app)
    with pytest.raises(error, match="speed"):
        animate(pen, speed)
    assert "update" not in pen.__dict__


@pytest.mark.parametrize("helper, arguments", [(frameAll, ()), (lookFrom, ("front",))])
def test_the_camera_helpers_want_the_application(app, helper, arguments):
    with pytest.raises(TypeError, match="TAVIK"):
        helper(Pen(app), *arguments)


def test_animate_wants_a_pen(app):
    with pytest.raises(TypeError, match="画笔"):
        animate(app)


# ---- saveImage ------------------------------------------------------------------

def test_save_image_writes_what_the_window_shows_including_what_was_just_drawn(app, step, tmp_path):
    pen = square_pen(app, centre=(0, 0, 0))
    path = saveImage(app, tmp_path / "图" / "正方形.png")
    assert path == str(tmp_path / "图" / "正方形.png") and os.path.isabs(path)
    with Image.open(path) as saved:
        assert saved.format == "PNG" and saved.size == (app.win.getXSize(), app.win.getYSize())
        assert saved.convert("RGB").tobytes() == grab(app).tobytes()
        assert pixels_of(saved.convert("RGB"), MAGENTA)
    pen.clear()


def test_save_image_adds_the_png_extension(app, tmp_path):
    path = saveImage(app, str(tmp_path / "picture"))
    assert path.endswith("picture.png") and Image.open(path).format == "PNG"


def test_save_image_refuses_another_format_in_chinese(app, tmp_path):
    with pytest.raises(ValueError, match="PNG"):
        saveImage(app, tmp_path / "picture.jpg")
    assert not (tmp_path / "picture.jpg").exists()


@pytest.mark.parametrize("path", [5, None, b"picture.png"])
def test_save_image_wants_a_file_name(app, path):
    with pytest.raises(TypeError, match="文件名"):
        saveImage(app, path)


class NoPicture:
    """A window that never gives a screenshot, and an engine that counts its frames."""

    def __init__(self):
        self.frames = 0
        self.win = self
        self.graphicsEngine = self

    def renderFrame(self):
        self.frames += 1

    def getScreenshot(self, image):
        return False


class NoWindow:
    win = None


@pytest.mark.parametrize("application", [NoPicture(), NoWindow()], ids=["no picture", "no window"])
def test_save_image_without_a_picture_says_so_in_chinese(application, tmp_path):
    with pytest.raises(RuntimeError, match="窗口"):
        saveImage(application, tmp_path / "x.png")
    assert not (tmp_path / "x.png").exists()
    if isinstance(application, NoPicture):
        assert application.frames == extras.SCREENSHOT_ATTEMPTS


# ---- the module -----------------------------------------------------------------

def test_the_star_import_gives_the_four_helpers_and_the_game_helpers():
    import tavik.game as game
    namespace = {}
    exec("from tavik.extras import *", namespace)
    assert sorted(name for name in namespace if not name.startswith("__")) == \
        sorted(["animate", "frameAll", "lookFrom", "saveImage"] + game.__all__)
    assert all(namespace[name] is getattr(game, name) for name in game.__all__)


@pytest.mark.parametrize("helper", [frameAll, lookFrom, animate, saveImage])
def test_every_helper_explains_itself_in_chinese(helper):
    assert helper.__doc__ and any("\u4e00" <= character <= "\u9fff" for character in helper.__doc__)


def test_the_stub_declares_the_helpers_with_the_runtime_docstrings():
    import ast
    stub = pathlib.Path(extras.__file__).with_suffix(".pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert ast.get_docstring(tree, clean=False) == extras.__doc__
    own = [name for name in extras.__all__ if getattr(extras, name).__module__ == extras.__name__]
    assert set(functions) == set(own) == {"frameAll", "lookFrom", "animate", "saveImage"}
    for name in own:
        assert docstring_as_compiled(ast.get_docstring(functions[name], clean=False)) == getattr(extras, name).__doc__
        stubbed = [argument.arg for argument in functions[name].args.args]
        import inspect
        assert stubbed == list(inspect.signature(getattr(extras, name)).parameters)


def test_importing_the_helpers_leaves_the_kit_namespace_alone():
    result = run_python("""
        import tavik.tavik as kit
        before = {name: id(value) for name, value in vars(kit).items()}
        import tavik.extras
        from tavik.extras import *
        print(before == {name: id(value) for name, value in vars(kit).items()})
        print(hasattr(kit, "frameAll"), hasattr(kit, "animate"))
    """)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["True", "False", "False"]


# ---- through the runner ---------------------------------------------------------

def run_main(*arguments, timeout=180):
    return subprocess.run([sys.executable, "-m", "tavik", *arguments], capture_output=True, text=True,
                          timeout=timeout, cwd=pathlib.Path(__file__).parent, env=dict(os.environ))


DRAWING = """
from tavik.tavik import *
from tavik.extras import *
app = TAVIK(showAxis=False)
pen = Pen(app)
{animate}
pen.color(Color.red)
pen.size(3)
for index in range(36):
    pen.forward(0.1 + index * 0.04, True)
    pen.dLeft(30)
pen.update()
lookFrom(app, "top")
frameAll(app)
app.run()
"""


def test_a_gif_of_an_animated_drawing_grows_and_ends_as_the_plain_screenshot(tmp_path):
    animated = tmp_path / "animated.py"
    animated.write_text(DRAWING.format(animate="animate(pen, speed=2)"), encoding="utf-8")
    plain = tmp_path / "plain.py"
    plain.write_text(DRAWING.format(animate=""), encoding="utf-8")
    gif, png = tmp_path / "animated.gif", tmp_path / "plain.png"
    result = run_main("run", str(animated), "--frames", "30", "--gif", str(gif), "--screenshot",
                      str(tmp_path / "animated.png"))
    assert result.returncode == 0, result.stderr[-3000:]
    result = run_main("run", str(plain), "--frames", "30", "--screenshot", str(png))
    assert result.returncode == 0, result.stderr[-3000:]

    frames = []
    with Image.open(gif) as movie:
        for index in range(movie.n_frames):
            movie.seek(index)
            frames.append(movie.convert("RGB"))
    assert len(frames) >= 3
    with Image.open(png) as picture:
        final = picture.convert("RGB").resize(frames[-1].size)
    areas = [len(pixels_of(frame, RED, tolerance=90)) for frame in frames]
    growing = [area for area in areas if area < areas[-1]]
    assert len(growing) >= 2 and all(later >= earlier for earlier, later in zip(areas, areas[1:])), areas
    assert areas[0] < areas[-1] / 2
    # The last frame shows the plain drawing, up to the GIF's palette and
    # scaling, which may move the edges of thin lines by a pixel.
    drawn_last = set(pixels_of(frames[-1], RED, tolerance=90))
    drawn_plain = set(pixels_of(final, RED, tolerance=90))
    common = len(drawn_last & drawn_plain)
    assert common >= 0.8 * len(drawn_plain) and common >= 0.8 * len(drawn_last)
