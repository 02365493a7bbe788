"""ClickCtrl: left clicks on tagged models, through the window's own input path."""
import traceback

import pytest
from panda3d.core import BitMask32, CollisionNode, GeomNode, MouseButton, NodePath, Point2

import tavik.tavik as tk
from tavik.tavik import ClickCtrl
from conftest import run_python
from helpers import UNENCODABLE, assert_a_failing_global_raises_its_own_first_error, point_at

CORNER = (3, 3)  # sky: no geometry there with the default orbit camera


@pytest.fixture(scope="module")
def clicker(app):
    """One controller for the whole file: each one adds a permanent handler and ray."""
    controller = ClickCtrl()
    yield controller
    controller.click_handlers.clear()


@pytest.fixture
def scene(app, clicker):
    """A node for the test's models and a clean callback table; restores the camera."""
    root = app.render.attachNewNode("click-test")
    camera = app.camera_controller
    saved = (camera.theta, camera.phi, camera.radius, camera.target_pos)
    yield root
    clicker.click_handlers.clear()
    root.removeNode()
    camera.mouse_down = False
    camera.theta, camera.phi, camera.radius, camera.target_pos = saved
    camera.update_camera_position()


def sphere(app, parent, fraction, scale=0.5, name=None):
    """A sphere on the line from the camera to the origin, `fraction` of the way out."""
    model = app.loader.loadModel("models/misc/sphere")
    model.reparentTo(parent)
    model.setPos(app.camera.getPos() * (1 - fraction))
    model.setScale(scale)
    if name:
        model.setName(name)
    return model


def pixel_of(app, point):
    inside_camera = app.cam.getRelativePoint(app.render, point)
    film = Point2()
    assert app.camLens.project(inside_camera, film)
    return (round((film.x + 1) / 2 * app.win.getXSize()), round((1 - film.y) / 2 * app.win.getYSize()))


def click(app, step, where):
    """A real left click at pixel `where`; returns the camera's rotate flag while pressed."""
    device = point_at(app, *where)
    device.buttonDown(MouseButton.one())
    try:
        step(1)
        return app.camera_controller.mouse_down
    finally:
        device.buttonUp(MouseButton.one())
        step(2)


def recorder(calls, name="cb"):
    def callback(model, point):
        calls.append((name, model, point))
    return callback


@pytest.mark.parametrize("on_child", [False, True], ids=["tagged-geometry", "geometry-below-tagged-node"])
def test_click_on_tagged_model_calls_its_callback_once_and_rotates_camera(app, step, clicker, scene, on_child):
    ball = sphere(app, scene, 0.4)
    tagged = ball
    if on_child:
        tagged = scene.attachNewNode("group")
        ball.reparentTo(tagged)
    clicker.setModelClick(tagged, "ball", "七")
    calls = []
    clicker.addCallback("ball", recorder(calls))
    rotating = click(app, step, pixel_of(app, ball.getPos(app.render)))
    assert rotating is True
    assert len(calls) == 1
    _, model, point = calls[0]
    assert model == tagged and model.getTag("ball") == "七"
    # On the sphere's surface (a 0.5-scaled polygon sphere), on the camera's side.
    centre = ball.getPos(app.render)
    assert 0.44 < (point - centre).length() <= 0.501
    assert (app.camera.getPos() - point).length() < (app.camera.getPos() - centre).length()
    assert type(point).__name__ == "LPoint3f"
    assert app.camera_controller.mouse_down is False


def test_click_on_background_calls_nothing_but_rotates_camera(app, step, clicker, scene):
    clicker.setModelClick(sphere(app, scene, 0.4), "ball", "x")
    calls = []
    clicker.addCallback("ball", recorder(calls))
    assert click(app, step, CORNER) is True
    assert calls == []


def test_only_the_nearest_hit_counts(app, step, clicker, scene):
    far = sphere(app, scene, 0.6)
    near = sphere(app, scene, 0.3, scale=0.3)  # untagged, in front
    clicker.setModelClick(far, "ball", "far")
    calls = []
    clicker.addCallback("ball", recorder(calls))
    click(app, step, pixel_of(app, near.getPos()))
    assert calls == []
    clicker.setModelClick(near, "ball", "near")
    click(app, step, pixel_of(app, near.getPos()))
    assert [model.getTag("ball") for _, model, _ in calls] == ["near"]


def test_tag_without_callback_and_callback_without_tag_do_nothing(app, step, clicker, scene):
    ball = sphere(app, scene, 0.4)
    clicker.setModelClick(ball, "unheard", "1")
    calls = []
    clicker.addCallback("nobody", recorder(calls))
    click(app, step, pixel_of(app, ball.getPos()))
    assert calls == []


def test_first_registered_tag_name_wins_and_replacing_keeps_its_place(app, step, clicker, scene):
    group = scene.attachNewNode("group")
    ball = sphere(app, group, 0.4)
    clicker.setModelClick(group, "outer", "1")
    clicker.setModelClick(ball, "inner", "2")
    calls = []
    clicker.addCallback("outer", recorder(calls, "outer-first"))
    clicker.addCallback("inner", recorder(calls, "inner"))
    clicker.addCallback("outer", recorder(calls, "outer-second"))
    assert list(clicker.click_handlers) == ["outer", "inner"]
    click(app, step, pixel_of(app, ball.getPos(app.render)))
    assert [(name, model) for name, model, _ in calls] == [("outer-second", group)]


def test_callback_exception_reaches_the_caller_of_step(app, step, clicker, scene):
    ball = sphere(app, scene, 0.4)
    clicker.setModelClick(ball, "ball", "1")

    def exploding(model, point):
        raise ArithmeticError("clicked badly")

    clicker.addCallback("ball", exploding)
    with pytest.raises(ArithmeticError, match="clicked badly") as info:
        click(app, step, pixel_of(app, ball.getPos()))
    assert "exploding" in "".join(traceback.format_tb(info.value.__traceback__))
    clicker.click_handlers.clear()
    step(2)


def test_no_pointer_in_window_means_no_pick(app, step, clicker, scene):
    ball = sphere(app, scene, 0.4)
    clicker.setModelClick(ball, "ball", "1")
    calls = []
    clicker.addCallback("ball", recorder(calls))
    device = app.win.getInputDevice(0)
    device.setPointerOutOfWindow()
    step(2)
    assert clicker.onMouseClick() is None
    assert calls == []


def test_watcher_replaced_while_asked_for_the_pointer_is_read_again(app, step, clicker, scene):
    ball = sphere(app, scene, 0.4)
    clicker.setModelClick(ball, "ball", "1")
    calls = []
    clicker.addCallback("ball", recorder(calls))
    real = app.mouseWatcherNode

    class Centre:
        def hasMouse(self):
            return True

        def getMouse(self):
            return Point2(0, 0)

    class Handing:
        """Hands the pointer over to another watcher when first asked."""

        def hasMouse(self):
            app.mouseWatcherNode = Centre()
            return True

        def getMouse(self):
            raise AssertionError("the watcher was not read again")

    app.mouseWatcherNode = Handing()
    try:
        clicker.onMouseClick()
    finally:
        app.mouseWatcherNode = real
    assert [model for _, model, _ in calls] == [ball]


def test_controller_state_after_construction(app, clicker):
    assert isinstance(clicker, tk.DirectObject.DirectObject)
    assert clicker.pickerNP.getParent() == app.camera
    assert clicker.pickerNP.node() is clicker.pickerNode or clicker.pickerNP.node() == clicker.pickerNode
    assert clicker.pickerNode.getName() == "mouseRay"
    assert clicker.pickerNode.getFromCollideMask() == GeomNode.getDefaultCollideMask()
    assert clicker.pickerNode.getSolid(0) == clicker.pickerRay
    assert clicker.collisionTraverser.getCollider(0) == clicker.pickerNP
    assert type(clicker.click_handlers) is dict
    # Its own "mouse1" handler, besides the camera controller's on the application object.
    assert app.messenger.isAccepting("mouse1", clicker)
    assert app.messenger.isAccepting("mouse1", app)


def test_set_model_click_tags_and_masks_all_geometry(app, clicker, scene):
    group = scene.attachNewNode("group")
    for index in range(3):
        child = sphere(app, group, 0.2 + index * 0.1)
        child.findAllMatches("**/+GeomNode").getPath(0).node().setIntoCollideMask(BitMask32.bit(3))
    assert clicker.setModelClick(group, "kind", "value") is None
    assert group.getTag("kind") == "value"
    masks = [np.node().getIntoCollideMask() for np in group.findAllMatches("**/+GeomNode")]
    assert masks == [GeomNode.getDefaultCollideMask()] * 3


@pytest.mark.parametrize("model, tag_name, tag_value, error", [
    (None, "a", "b", AttributeError),
    ("model", "a", "b", AttributeError),
    (NodePath("x"), 5, "b", TypeError),
    (NodePath("x"), "a", None, TypeError),
], ids=["none", "string", "int-name", "none-value"])
def test_set_model_click_bad_input_raises(clicker, model, tag_name, tag_value, error):
    with pytest.raises(error):
        clicker.setModelClick(model, tag_name, tag_value)


def test_bad_callback_table_entries_raise_from_a_click(app, step, clicker, scene):
    ball = sphere(app, scene, 0.4)
    clicker.setModelClick(ball, "ball", "1")
    where = pixel_of(app, ball.getPos())
    point_at(app, *where)
    with pytest.raises(TypeError):
        clicker.addCallback([], print)
    clicker.addCallback("ball", "not callable")
    with pytest.raises(TypeError):
        clicker.onMouseClick()
    clicker.click_handlers.clear()
    clicker.addCallback(5, print)  # a tag name the engine cannot look up
    with pytest.raises(TypeError):
        clicker.onMouseClick()
    clicker.click_handlers.clear()
    saved = clicker.click_handlers
    clicker.click_handlers = None
    try:
        with pytest.raises(TypeError):
            clicker.onMouseClick()
    finally:
        clicker.click_handlers = saved


def test_docstrings_and_signatures():
    assert ClickCtrl.__doc__.splitlines()[1].strip() == "点击控制器类"
    assert ClickCtrl.onMouseClick.__doc__ == "鼠标左键点击事件处理函数"
    assert ClickCtrl.addCallback.__doc__.split("\n")[1] == "        添加点击回调函数"
    import inspect
    assert str(inspect.signature(ClickCtrl)) == "(show_collisions=False)"


def test_controller_needs_the_application_object():
    done = run_python("""
        from tavik.tavik import ClickCtrl
        try:
            ClickCtrl()
        except NameError as error:
            print("NameError", error)
    """)
    assert "NameError name 'base' is not defined" in done.stdout, done.stderr


def test_two_controllers_and_collision_display_pick_independently():
    done = run_python("""
        from panda3d.core import MouseButton
        from tavik.tavik import TAVIK, ClickCtrl
        app = TAVIK()
        for _ in range(3):
            app.taskMgr.step()
        ball = app.loader.loadModel("models/misc/sphere")
        ball.reparentTo(app.render)
        ball.setPos(app.camera.getPos() * 0.6)
        shown, plain = ClickCtrl(True), ClickCtrl(show_collisions=False)
        calls = []
        for name, controller in (("shown", shown), ("plain", plain)):
            controller.setModelClick(ball, name, "v")
            controller.addCallback(name, lambda model, point, name=name: calls.append(name))
        print("cameras", [np.getName() for np in app.camera.getChildren() if np.getName() == "mouseRay"])
        device = app.win.getInputDevice(0)
        device.setPointerInWindow(500, 375)
        app.taskMgr.step(); app.taskMgr.step()
        device.buttonDown(MouseButton.one())
        app.taskMgr.step()
        print("calls", sorted(calls), app.camera_controller.mouse_down)
    """)
    assert "cameras ['mouseRay', 'mouseRay']" in done.stdout, done.stderr
    assert "calls ['plain', 'shown'] True" in done.stdout, done.stderr


# ---- hostile programs ---------------------------------------------------------------------------

@pytest.mark.parametrize("global_name", ["CollisionTraverser", "CollisionNode", "GeomNode", "CollisionRay"],
                         ids=["click traverser", "click collision node", "click mask", "click ray"])
def test_a_failing_module_global_raises_its_own_first_error(app, monkeypatch, global_name):
    assert_a_failing_global_raises_its_own_first_error(app, monkeypatch, global_name, lambda: ClickCtrl())


@pytest.mark.parametrize("tag", [(UNENCODABLE, "v"), ("t", UNENCODABLE)], ids=["name", "value"])
def test_a_click_tag_without_a_utf8_form_raises_the_engines_own_error(app, tag):
    model = app.render.attachNewNode("tagged")
    clicks = ClickCtrl()
    try:
        with pytest.raises(UnicodeEncodeError):
            clicks.setModelClick(model, *tag)
        assert not model.hasTag("t")
    finally:
        clicks.ignoreAll()
        model.removeNode()
