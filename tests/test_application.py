"""The application object: construction, background, scene task, models, font, text."""
import os
import pathlib

import pytest
from panda3d.core import LPoint3, NodePath, PNMImage, TextNode

import tavik
import tavik.tavik as tv
from conftest import ENGINE_SETTINGS, run_python
from helpers import UNENCODABLE
from reference import application as plain

BANNER = "嗨，Norvane3D编程欢迎您！仰望星空，探索无限！DEV_MODE260331"
PACKAGE = pathlib.Path(tavik.__file__).parent
MODELS = sorted(path.stem for path in PACKAGE.glob("*.glb"))


# ---- construction (each in a fresh interpreter) ------------------------------------

CONSTRUCT = """
import builtins, io, sys
from tavik.classroom.display import ensure_display
ensure_display()
from tavik.tavik import TAVIK
app = TAVIK({arguments})
{then}
"""


def construct(arguments="", then="", prc=None, cwd=None):
    source = CONSTRUCT.format(arguments=arguments, then=then)
    if prc is None:
        return run_python(source)
    return run_python(source, prc=prc)


def test_construction_prints_the_banner_once_and_requests_the_window():
    result = construct(then="""
app.taskMgr.step(); app.taskMgr.step()
props = app.win.getProperties()
print(props.getTitle(), props.getXSize(), props.getYSize())
print(app._background_color, app.textNodes, app.update, type(app.camera_controller).__name__)
print(app.camera_controller.radius, [t.name for t in app.taskMgr.getAllTasks()
      if t.name in ('UpdateMouseTask', 'updateSceneTask')])
print(sum(1 for c in app.render.getChildren() if 'zup-axis' in c.getName()))
""")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == BANNER and result.stdout.count(BANNER) == 1
    assert lines[1] == "Norvane3D编程 1000 750"
    assert lines[2] == "(0.2, 0.6, 0.8, 1) [] None CameraController"
    assert lines[3] == "40 ['UpdateMouseTask', 'updateSceneTask']"
    assert lines[4] == "1"


WHAT_A_PROGRAM_SEES = """
from tavik.classroom.display import ensure_display
ensure_display()
import reference.application
from tavik.tavik import TAVIK
kind = {kind}
app = kind({arguments})
for _ in range(3):
    app.taskMgr.step()
props = app.win.getProperties()
print(props.getTitle(), props.getXSize(), props.getYSize(), app.win.getClearColor(), app.getBackgroundColor())
print(app._background_color, app.textNodes, app.update, app.cnFont.getPixelsPerUnit())
print([task.name for task in app.taskMgr.getAllTasks()])
print(sorted(child.getName() for child in app.render.getChildren()), app.camera.getPos(), app.camera.getHpr())
print(app.camera_controller.target_pos, app.camera_controller.radius, app.camera_controller.theta)
"""


@pytest.mark.parametrize("arguments", ["", "showAxis=False"])
def test_construction_builds_what_the_plain_rendition_builds(arguments):
    seen = [run_python(WHAT_A_PROGRAM_SEES.format(kind=kind, arguments=arguments))
            for kind in ("TAVIK", "reference.application.TAVIK")]
    for result in seen:
        assert result.returncode == 0, result.stderr
    assert seen[0].stdout.count(BANNER) == 1
    assert seen[0].stdout == seen[1].stdout


def test_show_axis_false_adds_no_axis_model():
    result = construct("showAxis=False", then="""
print([c.getName() for c in app.render.getChildren() if 'axis' in c.getName()])
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "[]"


@pytest.mark.parametrize("window_type", ["none", "offscreen"])
def test_construction_runs_headless(window_type):
    result = construct(prc=f"window-type {window_type}\naudio-library-name null\n", then="""
app.taskMgr.step(); app.taskMgr.step()
print('ok', app.cnFont is not None)
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "ok True"


def test_with_no_font_anywhere_construction_is_silent_and_the_font_none(tmp_path):
    source = """
import os, types
os.chdir({cwd!r})
from tavik.classroom.display import ensure_display
ensure_display()
import tavik.tavik as tv
class NoFiles:
    def files(self, package):
        return pathlib.Path({cwd!r})
import pathlib
tv.resources = NoFiles()
tv.__file__ = os.path.join({cwd!r}, 'tavik.so')
app = tv.TAVIK()
print(app.cnFont)
""".format(cwd=str(tmp_path))
    result = run_python(source)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [BANNER, "None"]


# ---- background colour -----------------------------------------------------------------

@pytest.fixture
def restore_background(app):
    yield
    app.bgColor((0.2, 0.6, 0.8, 1))


def test_rgb_background_gets_an_integer_alpha(app, restore_background):
    assert app.bgColor((1, 0, 0)) == (1, 0, 0, 1)
    assert type(app._background_color[3]) is int
    assert app.bgColor([0, 0, 0]) == (0, 0, 0, 1)
    assert app.win.getClearColor() == (0, 0, 0, 1)


def test_four_element_lists_are_stored_unchanged(app, restore_background):
    colour = [0.1, 0.2, 0.3, 1.0]
    assert app.bgColor(colour) is colour and app._background_color is colour


@pytest.mark.parametrize("colour", [(1, 1), (1, 1, 1, 1, 1), ()])
def test_wrong_lengths_raise_and_change_nothing(app, colour):
    before = app._background_color
    with pytest.raises(ValueError, match="^颜色必须是3或4个元素的元组$"):
        app.bgColor(colour)
    assert app._background_color is before


class Shrinking(list):
    """A colour whose length is one less at each query, from five."""

    def __init__(self, items):
        super().__init__(items)
        self.queries = 0

    def __len__(self):
        self.queries += 1
        return 6 - self.queries


def test_the_length_is_asked_again_for_the_four_element_test(app, restore_background):
    colour = Shrinking([0.5, 0.5, 0.5, 1.0])
    assert app.bgColor(colour) is colour and app._background_color is colour


def test_colours_the_engine_rejects_are_stored_then_raise(app, restore_background):
    with pytest.raises(TypeError):
        app.bgColor(None)
    with pytest.raises(TypeError):
        app.bgColor("abc")
    assert app._background_color == ("a", "b", "c", 1)


@pytest.mark.parametrize("colour", [(1, 0, 0), [0, 0, 0], [0.1, 0.2, 0.3, 1.0], (0.5, 0.25, 0.75, 0.5), range(3),
                                    (1, 1), (1, 1, 1, 1, 1), "abc", 5], ids=repr)
def test_the_background_changes_as_the_plain_rendition_changes_it(app, restore_background, colour):
    outcomes = []
    for change in (app.bgColor, lambda given: plain.TAVIK.bgColor(app, given)):
        app.bgColor((0.2, 0.6, 0.8, 1))
        try:
            result = change(colour)
        except Exception as error:
            result = (type(error), str(error))
        outcomes.append((result, type(result), app._background_color, tuple(app.win.getClearColor()),
                         tuple(app.getBackgroundColor())))
    assert outcomes[0] == outcomes[1]


def test_every_background_change_loads_the_font_again(app, restore_background, monkeypatch):
    calls = []
    monkeypatch.setattr(app, "loadCnFont", lambda: calls.append(1))
    app.bgColor((0, 0, 1))
    app.bgColor((0, 1, 0, 1))
    assert len(calls) == 2


def test_the_window_clears_to_sky_blue(app, screenshot):
    image = screenshot()
    corner = image.getXel(3, 3)
    assert tuple(corner) == pytest.approx((0.2, 0.6, 0.8), abs=0.01)


# ---- per-frame task --------------------------------------------------------------------

@pytest.fixture
def hook(app):
    yield
    app.update = None


def test_the_update_hook_runs_once_per_frame(app, step, hook):
    calls = []
    app.update = lambda: calls.append(len(calls))
    step(3)
    assert calls == [0, 1, 2]
    app.update = None
    step(2)
    assert len(calls) == 3


def test_the_hook_is_compared_with_none_by_inequality(app, step, hook):
    class EqualToNone:
        def __eq__(self, other):
            return other is None

        def __ne__(self, other):
            return other is not None

        def __call__(self):
            raise AssertionError("called although equal to None")

    app.update = EqualToNone()
    step(2)


def test_an_exception_in_the_hook_reaches_the_caller_with_its_traceback(app, step, hook):
    def broken():
        raise KeyError("learner's mistake")

    app.update = broken
    with pytest.raises(KeyError) as caught:
        step()
    assert caught.traceback[-1].name == "broken"
    app.update = None
    step()


def test_text_faces_away_from_the_camera_each_frame(app, step):
    label = app.makeText("facing", "字")
    try:
        saved = app.camera.getPos()
        app.camera.setPos(0, -10, 0)
        app.textNodeslookAtCamera()
        expected = NodePath("probe")
        expected.lookAt(LPoint3(0, 10, 0))
        assert label.getQuat().isSameDirection(expected.getQuat())
        assert app.textNodeslookAtCamera() is None
    finally:
        app.camera.setPos(saved)
        label.removeNode()


def test_a_removed_label_is_skipped_every_frame(app, step):
    label = app.makeText("removed", "走")
    label.removeNode()
    assert label in app.textNodes
    step(2)
    app.textNodeslookAtCamera()


# ---- models ----------------------------------------------------------------------

def test_the_package_ships_models():
    assert len(MODELS) >= 6


@pytest.mark.parametrize("gltf", [True, False])
@pytest.mark.parametrize("name", MODELS)
def test_every_packaged_model_loads_both_ways(app, monkeypatch, name, gltf):
    monkeypatch.setattr(tv, "GLTF_AVAILABLE", gltf)
    model = app.gm(name)
    try:
        assert isinstance(model, NodePath) and model.getParent() == app.render
        low, high = model.getTightBounds()
        size = high - low
        assert 0.3 < max(size) < 12
        assert low.z > -0.6
    finally:
        model.removeNode()


@pytest.mark.parametrize("name, shown", [("no_such_model", "no_such_model"), (5, "5"), (None, "None")])
def test_a_failed_model_prints_one_line_and_returns_none(app, capsys, name, shown):
    children = app.render.getNumChildren()
    assert app.gm(name) is None
    out = capsys.readouterr().out
    assert out.startswith(f"加载模型 '{shown}' 失败: ") and out.count("\n") == 1
    assert app.render.getNumChildren() == children


def test_gm_reads_the_loader_flag_when_it_runs(app, monkeypatch):
    calls = []
    monkeypatch.setattr(tv, "GLTF_AVAILABLE", True)
    monkeypatch.setattr(tv, "load_model", lambda path: calls.append(path) or tv.ModelRoot("fake"))
    model = app.gm("anything")
    model.removeNode()
    assert calls == [str(PACKAGE / "anything.glb")]


def test_cm_attaches_to_render_and_bypasses_the_cache(app):
    first = app.cm("zup-axis")
    second = app.cm("zup-axis")
    try:
        assert first.getParent() == app.render == second.getParent()
        assert first.node() is not second.node()
    finally:
        first.removeNode()
        second.removeNode()
    with pytest.raises(OSError):
        app.cm("no-such-model-anywhere")


# ---- the font ----------------------------------------------------------------------

def test_the_packaged_font_is_loaded_with_thirty_pixels_per_unit(app):
    assert app.cnFont is not None
    assert app.cnFont.getPixelsPerUnit() == 30


class RecordingLoader:
    def __init__(self):
        self.paths = []

    def loadFont(self, path):
        self.paths.append(path)
        return None


@pytest.mark.parametrize("path, converted", [
    ("C:\\Users\\me\\zkwy.ttf", "/c/Users/me/zkwy.ttf"),
    ("D:/work/a.ttf", "/d/work/a.ttf"),
    ("rel\\dir\\zkwy.ttf", "rel/dir/zkwy.ttf"),
    ("/usr/share/zkwy.ttf", "/usr/share/zkwy.ttf"),
    ("ab:c:d", "/abc:d"),
])
def test_font_paths_are_turned_into_the_engines_portable_form(app, monkeypatch, path, converted):
    class Resources:
        def files(self, package):
            assert package == "tavik"
            return self

        def joinpath(self, name):
            return path

    class OsPath:
        exists = staticmethod(lambda p: True)

    monkeypatch.setattr(tv, "resources", Resources())
    monkeypatch.setattr(tv, "os", type("os", (), {"path": OsPath}))
    loader = RecordingLoader()
    monkeypatch.setattr(app, "loader", loader)
    font = app.cnFont
    assert app.loadCnFont() is None
    assert loader.paths == [converted, "zkwy.ttf"]
    assert app.cnFont is font


def test_the_font_beside_the_module_is_used_when_the_resource_is_missing(app, monkeypatch, tmp_path):
    beside = tmp_path / "zkwy.ttf"
    beside.write_bytes((PACKAGE / "zkwy.ttf").read_bytes())

    class Resources:
        def files(self, package):
            return tmp_path / "elsewhere"

    monkeypatch.setattr(tv, "resources", Resources())
    monkeypatch.setattr(tv, "__file__", str(tmp_path / "tavik.so"))
    loader = RecordingLoader()
    monkeypatch.setattr(app, "loader", loader)
    app.loadCnFont()
    assert loader.paths == [str(beside), "zkwy.ttf"]


def test_font_errors_are_silent_but_only_ordinary_ones(app, monkeypatch, capsys):
    class Broken:
        def loadFont(self, path):
            raise OSError("unreadable")

    monkeypatch.setattr(app, "loader", Broken())
    assert app.loadCnFont() is None
    assert capsys.readouterr().out == ""

    class Interrupting:
        def loadFont(self, path):
            raise KeyboardInterrupt

    monkeypatch.setattr(app, "loader", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        app.loadCnFont()


def test_chinese_text_renders_real_glyphs(app, screenshot):
    saved = (app.camera.getPos(), app.camera.getHpr())
    hidden = [child for child in app.render.getChildren() if not child.isHidden()]
    for child in hidden:
        child.hide()
    labels = []
    try:
        app.camera.setPos(0, -20, 0)
        app.camera.lookAt(0, 0, 0)
        for index, text in enumerate(["你", "好"]):
            labels.append(app.makeText(f"glyph{index}", text, (-3 + 6 * index, 0, 0), (1, 1, 1, 1), scale=4))
            labels[-1].show()
        image = screenshot()
        glyphs = [ink_pattern(image, 250 + 500 * index) for index in range(2)]
        assert all(sum(pattern) > 200 for pattern in glyphs)
        differing = sum(a != b for a, b in zip(*glyphs))
        assert differing > 100, "both characters render the same shape: missing glyphs"
    finally:
        for label in labels:
            label.removeNode()
        for child in hidden:
            child.show()
        app.camera.setPos(saved[0])
        app.camera.setHpr(saved[1])


def ink_pattern(image: PNMImage, centre_x):
    """Which pixels of a square around (centre_x, middle) are near white."""
    pattern = []
    for y in range(375 - 120, 375 + 120, 3):
        for x in range(centre_x - 120, centre_x + 120, 3):
            pattern.append(image.getBright(x, y) > 0.9)
    return pattern


# ---- billboard text ----------------------------------------------------------------

def test_text_with_defaults(app):
    label = app.makeText("plain")
    try:
        node = label.node()
        assert isinstance(node, TextNode) and node.getName() == "plain"
        assert node.getText() == "None" and node.getAlign() == TextNode.ACenter
        assert label.getParent() == app.render and app.textNodes[-1] is label
        assert label.getPos() == (0, 0, 0) and label.getScale() == (1, 1, 1)
        assert label.getColor() == (1, 0, 0, 1) and label.getTwoSided()
        assert node.getFont() == app.cnFont
    finally:
        label.removeNode()


def test_text_with_every_argument_positionally(app):
    label = app.makeText("full", "中文", (1, 2, 3), (0, 0, 1, 1), TextNode.ALeft, 2)
    try:
        assert label.node().getText() == "中文" and label.node().getAlign() == TextNode.ALeft
        assert label.getPos() == (1, 2, 3) and label.getScale() == (2, 2, 2)
        assert label.getColor() == (0, 0, 1, 1)
    finally:
        label.removeNode()


@pytest.mark.parametrize("arguments, error", [
    (dict(pos="here"), TypeError), (dict(color=None), TypeError), (dict(scale="big"), TypeError),
    (dict(align="left"), TypeError), (dict(text=object()), TypeError),
])
def test_text_arguments_the_engine_rejects_raise(app, arguments, error):
    count = len(app.textNodes)
    with pytest.raises(error):
        app.makeText("bad", **arguments)
    assert len(app.textNodes) == count
    for child in app.render.findAllMatches("bad"):
        child.removeNode()


def test_text_reads_textnode_from_the_module_when_it_runs(app, monkeypatch):
    made = []

    class Recording(TextNode):
        def __init__(self, name):
            super().__init__(name)
            made.append(name)

    monkeypatch.setattr(tv, "TextNode", Recording)
    app.makeText("recorded").removeNode()
    assert made == ["recorded"]


# ---- bad input anywhere in the application object -----------------------------------

class Hostile:
    """A value that raises from every protocol a callee might try."""

    def __iter__(self):
        raise RuntimeError("iter")

    def __float__(self):
        raise RuntimeError("float")

    def __bool__(self):
        raise RuntimeError("bool")

    def __len__(self):
        raise RuntimeError("len")

    def __index__(self):
        raise RuntimeError("index")


HOSTILE_VALUES = [None, "text", float("nan"), float("inf"), 10 ** 100, Hostile(), object(), [], {}]


@pytest.mark.parametrize("value", HOSTILE_VALUES, ids=repr)
def test_hostile_values_never_crash_the_application(app, capsys, value):
    children = list(app.render.getChildren())
    calls = [
        lambda: app.bgColor(value), lambda: app.setup_scene(value), lambda: app.cm(value),
        lambda: app.cm("zup-axis", value), lambda: app.gm(value), lambda: app.makeText(value),
        lambda: app.makeText("x", value, value, value, value, value), lambda: app.updateScene(value),
        lambda: tv.dist(value, value), lambda: tv.CameraController(value),
        lambda: tv.drawAxies(value, value, value, value),
    ]
    for call in calls:
        try:
            call()
        except Exception:
            pass
    for child in app.render.getChildren():
        if child not in children:
            child.removeNode()
    app.bgColor((0.2, 0.6, 0.8, 1))
    capsys.readouterr()


def test_changing_the_background_after_text_is_quiet_and_keeps_the_font(app, step, capfd, restore_background):
    label = app.makeText("drawn", "字")
    try:
        step(2)  # the font has now drawn glyphs
        capfd.readouterr()
        app.bgColor((0.1, 0.1, 0.1))
        assert capfd.readouterr().err == ""
        assert app.cnFont.isValid() and app.cnFont.getPixelsPerUnit() == 30
    finally:
        label.removeNode()


# ---- what is looked up, and when ----------------------------------------------------
#
# Each call looks its method up before its arguments are worked out, as
# `model.reparentTo(self.render)` does; seen through objects that write
# down each lookup.

class Logged:
    """Writes down the names in `watched` each time they are looked up."""

    def __init__(self, log, watched=(), **attributes):
        self.__dict__.update(attributes)
        self._log, self._watched = log, watched

    def __getattribute__(self, name):
        if not name.startswith("_") and name in object.__getattribute__(self, "_watched"):
            object.__getattribute__(self, "_log").append(name)
        return object.__getattribute__(self, name)


def logged_scene(log):
    model = Logged(log, ("reparentTo",), reparentTo=lambda parent: log.append("reparented"),
                   setScale=lambda *scale: None)
    loader = Logged(log, ("loadModel",), loadModel=lambda *args, **kwargs: log.append("loaded") or model)
    return Logged(log, ("render", "loader"), render="render", loader=loader)


class LoggedPath:
    def __init__(self, log):
        self.log = log

    def __str__(self):
        self.log.append("str(path)")
        return "somewhere.glb"


@pytest.mark.parametrize("call, expected", [
    (lambda app: tv.TAVIK.cm(app, "m"), ["loader", "loadModel", "loaded", "reparentTo", "render", "reparented"]),
    (lambda app: tv.TAVIK.setup_scene(app), ["loader", "loadModel", "loaded", "reparentTo", "render", "reparented"]),
    (lambda app: tv.TAVIK.gm(app, "m"),
     ["loader", "loadModel", "str(path)", "loaded", "reparentTo", "render", "reparented"]),
], ids=["cm", "setup_scene", "gm"])
def test_models_look_up_each_method_before_reading_its_argument(monkeypatch, call, expected):
    log = []

    class Resources:
        def files(self, package):
            return self

        def joinpath(self, name):
            return LoggedPath(log)
    monkeypatch.setattr(tv, "resources", Resources())
    monkeypatch.setattr(tv, "GLTF_AVAILABLE", False)
    call(logged_scene(log))
    assert log == expected


def test_the_update_hook_is_read_again_to_be_called():
    log = []
    application = Logged(log, ("update",), textNodeslookAtCamera=lambda: log.append("faced"),
                         update=lambda: log.append("hook"))
    task = type("Task", (), {"cont": "again"})()
    assert tv.TAVIK.updateScene(application, task) == "again"
    assert log == ["faced", "update", "update", "hook"]


def test_the_font_beside_the_module_is_found_with_join_looked_up_before_dirname(app, monkeypatch):
    log = []

    class OsPath:
        def __getattribute__(self, name):
            log.append(name)
            return {"exists": lambda path: False, "join": lambda *parts: "/".join(parts),
                    "dirname": lambda path: "dir"}[name]
    monkeypatch.setattr(tv, "os", type("os", (), {"path": OsPath()}))
    monkeypatch.setattr(app, "loader", RecordingLoader())
    app.loadCnFont()
    assert log[:3] == ["exists", "join", "dirname"]


CONSTRUCT_LOGGED = """
from tavik.classroom.display import ensure_display
ensure_display()
from tavik.tavik import TAVIK
log = []

def looked_up(name):
    def get(self):
        log.append(name)
        return getattr(TAVIK, name).__get__(self)
    return property(get)

def stored(name):
    def get(self):
        log.append(name)
        return self.__dict__["stored " + name]
    def put(self, value):
        log.append("set " + name)
        self.__dict__["stored " + name] = value
    return property(get, put)

class Logging(TAVIK):
    setBackgroundColor = looked_up("setBackgroundColor")
    updateScene = looked_up("updateScene")
    _background_color = stored("_background_color")
    taskMgr = stored("taskMgr")

app = Logging()
print(log[log.index("set _background_color"):])
"""


def test_construction_looks_up_each_method_before_reading_its_argument():
    # Offscreen: no window of its own to open and close on the shared screen.
    result = run_python(CONSTRUCT_LOGGED, prc=ENGINE_SETTINGS + "window-type offscreen\n")
    assert result.returncode == 0, result.stderr
    log = eval(result.stdout.splitlines()[-1])
    # self.setBackgroundColor(self._background_color), then the window's clear colour.
    assert log[:4] == ["set _background_color", "setBackgroundColor", "_background_color", "_background_color"]
    # self.taskMgr.add(self.updateScene, "updateSceneTask") is the last of them.
    assert log[-2:] == ["taskMgr", "updateScene"]


# ---- a model name without a UTF-8 form ---------------------------------------------------------

def test_model_names_without_a_utf8_form_fail_as_any_missing_model(app, monkeypatch):
    with pytest.raises(OSError):
        app.cm(UNENCODABLE)
    printed = []
    monkeypatch.setattr(tv, "print", printed.append, raising=False)
    assert app.gm(UNENCODABLE) is None
    assert printed[0].startswith(f"加载模型 '{UNENCODABLE}' 失败: ")
