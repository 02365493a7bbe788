"""Importing the module: namespace, palette, distance, docstrings and signatures."""
import inspect
import json
import math
import pydoc
import re

import panda3d.core
import pytest

import tavik.tavik as tv
from conftest import run_python
from helpers import assert_a_failing_global_raises_its_own_first_error

PUBLIC_ORDER = ["dist", "Color", "CameraController", "TAVIK", "Pen", "makeLabel", "makeButton", "makeEntry",
                "AStarNode", "AStar", "ClickCtrl", "PathMoveCtrl", "drawAxies"]
DIST_MESSAGE = "dist函数需要两个3D坐标点（元组、列表或LPoint3f对象）"


def test_import_prints_nothing_and_creates_no_engine_objects():
    result = run_python("""
        import builtins
        import tavik.tavik
        from tavik.tavik import *
        print(hasattr(builtins, 'base'), 'TAVIK' in dir())
    """, prc="")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "False True\n"


def test_public_definitions_follow_the_engine_names_in_order():
    names = list(vars(tv))
    present = [name for name in PUBLIC_ORDER if name in names]
    assert present == sorted(present, key=names.index)
    assert names.index("GLTF_AVAILABLE") < names.index("dist")
    assert names.index("ShowBase") < names.index("LPoint3") < names.index("OnscreenText") < names.index("DirectLabel")


def test_namespace_holds_the_module_attributes_then_the_imports_then_the_definitions_in_order():
    """As a module written in Python has it: its own attributes with
    __builtins__ last among them, the names the import steps bind in their
    order, then the thirteen definitions with nothing in between."""
    result = run_python("""
        import json, sys
        import panda3d.core
        import tavik.tavik as tv
        import tavik.classroom.display  # a module of the package written in Python
        core = getattr(panda3d.core, "__all__", None) or [n for n in vars(panda3d.core) if not n.startswith("_")]
        import builtins
        assert vars(tv)["__builtins__"] is vars(builtins) is vars(tavik.classroom.display)["__builtins__"]
        print(json.dumps([list(vars(tv)), core, list(vars(tavik.classroom.display))]))
    """, prc="")
    assert result.returncode == 0, result.stderr
    names, core, python_module = json.loads(result.stdout)
    imports = ["ShowBase", "LPoint3", "LVector3", "BitMask32", "NodePath", "LVector3f", "OnscreenText",
               "WindowProperties", "LineSegs", *core, "DirectObject", "DirectLabel", "DirectButton", "DirectEntry",
               "math", "os", "resources", "load_model", "GLTF_AVAILABLE"]
    bound = list(dict.fromkeys(imports))  # a name bound again keeps its first place
    dunders = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"]
    assert names == dunders + bound + PUBLIC_ORDER
    first_own = next(index for index, name in enumerate(python_module) if not name.startswith("__"))
    assert [name for name in python_module[:first_own] if name != "__cached__"] == dunders


def test_namespace_holds_every_public_engine_name():
    public = {name for name in vars(panda3d.core) if not name.startswith("_")}
    assert public <= set(vars(tv))
    assert tv.TextNode is panda3d.core.TextNode
    assert tv.LineSegs is panda3d.core.LineSegs


def test_engine_helpers_are_bound_as_documented():
    from direct.showbase import DirectObject, ShowBase
    from direct.gui import DirectGui, OnscreenText
    import importlib.resources
    import gltf
    assert tv.DirectObject is DirectObject and inspect.ismodule(tv.DirectObject)
    assert tv.ShowBase is ShowBase.ShowBase
    assert tv.OnscreenText is OnscreenText.OnscreenText
    assert (tv.DirectLabel, tv.DirectButton, tv.DirectEntry) == (
        DirectGui.DirectLabel, DirectGui.DirectButton, DirectGui.DirectEntry)
    assert tv.math is math and tv.os.path.exists
    assert tv.resources is importlib.resources
    assert not hasattr(tv, "pkg_resources")
    assert tv.GLTF_AVAILABLE is True and tv.load_model is gltf.load_model


BLOCK_IMPORT = """
import sys
class Block:
    def find_spec(self, name, path=None, target=None):
        if name in {blocked!r}:
            raise ImportError("blocked " + name)
sys.meta_path.insert(0, Block())
"""


def test_without_gltf_the_flag_is_false_and_load_model_unbound():
    result = run_python(BLOCK_IMPORT.format(blocked={"gltf"}) + """
import tavik.tavik as tv
print(tv.GLTF_AVAILABLE, hasattr(tv, 'load_model'))
""", prc="")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "False False\n"


def test_without_importlib_resources_pkg_resources_is_used():
    result = run_python(BLOCK_IMPORT.format(blocked={"importlib.resources"}) + """
import types
sys.modules['pkg_resources'] = fake = types.ModuleType('pkg_resources')
import tavik.tavik as tv
print(tv.resources, tv.pkg_resources is fake)
""", prc="")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "None True\n"


def test_missing_pkg_resources_fallback_fails_the_import():
    result = run_python(BLOCK_IMPORT.format(blocked={"importlib.resources", "pkg_resources"}) + """
try:
    import tavik.tavik
except ImportError as error:
    print('ImportError', error)
""", prc="")
    assert result.stdout == "ImportError blocked pkg_resources\n", result.stderr


def test_colour_palette_has_fourteen_shared_tuples_in_order():
    expected = {
        "red": (1.0, 0.0, 0.0, 1.0), "green": (0.0, 1.0, 0.0, 1.0), "blue": (0.0, 0.0, 1.0, 1.0),
        "yellow": (1.0, 1.0, 0.0, 1.0), "cyan": (0.0, 1.0, 1.0, 1.0), "pink": (1.0, 0.4, 1.0, 1.0),
        "brown": (0.6, 0.2, 0.0, 1.0), "purple": (0.588, 0.4, 1.0, 1.0), "orange": (1.0, 0.4, 0.0, 1.0),
        "tan": (0.867, 0.788, 0.659, 1.0), "gray": (0.314, 0.314, 0.314, 1.0), "white": (1.0, 1.0, 1.0, 1.0),
        "black": (0.0, 0.0, 0.0, 1.0), "sky": (0.2, 0.6, 0.8, 1.0),
    }
    attributes = {k: v for k, v in vars(tv.Color).items() if not k.startswith("__")}
    assert list(attributes) == list(expected)
    assert attributes == expected
    assert all(type(c) is float for colour in attributes.values() for c in colour)
    assert tv.Color.__bases__ == (object,) and tv.Color.__doc__ is None


@pytest.mark.parametrize("first, second, expected", [
    ((0, 0, 0), (3, 4, 0), 5.0),
    ([1, 2, 3], [1, 2, 3], 0.0),
    (panda3d.core.LPoint3f(1, 0, 0), (4, 4, 0), 5.0),
    ((4, 4, 0), panda3d.core.LPoint3f(1, 0, 0), 5.0),
    ((x for x in (0, 0, 0)), iter([0, 0, 2]), 2.0),
])
def test_dist_accepts_every_point_form(first, second, expected):
    result = tv.dist(first, second)
    assert type(result) is float and result == pytest.approx(expected)


@pytest.mark.parametrize("first, second", [
    ((1, 2), (3, 4, 5)), ((1, 2, 3, 4), (0, 0, 0)), (5, (0, 0, 0)), ((0, 0, 0), None), ("ab", (0, 0, 0)),
])
def test_dist_rejects_non_points_with_its_message(first, second):
    with pytest.raises(ValueError) as caught:
        tv.dist(first, second)
    assert str(caught.value) == DIST_MESSAGE
    assert isinstance(caught.value.__context__, (TypeError, ValueError))
    assert caught.value.__cause__ is None


def test_dist_lets_arithmetic_and_iteration_errors_through():
    with pytest.raises(TypeError, match="unsupported operand"):
        tv.dist("abc", (1, 2, 3))

    class Exploding:
        def __iter__(self):
            raise KeyError("inside iteration")

    with pytest.raises(KeyError):
        tv.dist(Exploding(), (0, 0, 0))


class Traced:
    """A component that records the arithmetic done on it."""

    def __init__(self, name, log):
        self.name, self.log = name, log

    def __sub__(self, other):
        self.log.append(("-", self.name))
        return self

    def __pow__(self, power):
        self.log.append(("**", self.name))
        return self

    def __add__(self, other):
        self.log.append(("+", self.name, other.name))
        return self

    def __float__(self):
        return 1.0


def test_dist_takes_all_differences_before_squaring_and_adds_left_to_right():
    log = []
    tv.dist(tuple(Traced(axis + "1", log) for axis in "xyz"), tuple(Traced(axis + "2", log) for axis in "xyz"))
    assert log == [("-", "x2"), ("-", "y2"), ("-", "z2"), ("**", "x2"), ("**", "y2"), ("+", "x2", "y2"),
                   ("**", "z2"), ("+", "x2", "z2")]


@pytest.mark.parametrize("first, second, message", [
    (({1}, 0, "a"), ({2}, 0, "b"), "for -: 'str' and 'str'"),  # dz fails before dx is squared
    (((1,), (1,), 0), ((2,), (3,), 0), "for -: 'tuple' and 'tuple'"),
    (({1}, {1}, 0), ({2}, {3}, 1j), "for \\*\\* or pow\\(\\): 'set' and 'int'"),
], ids=["subtraction-first", "first-difference", "first-square"])
def test_dist_reports_the_first_failing_step_of_the_formula(first, second, message):
    with pytest.raises(TypeError, match=message):
        tv.dist(first, second)


def test_dist_reads_math_when_it_runs(monkeypatch):
    class FakeMath:
        @staticmethod
        def sqrt(value):
            return ("sqrt", value)

    monkeypatch.setattr(tv, "math", FakeMath)
    assert tv.dist((0, 0, 0), (1, 2, 2)) == ("sqrt", 9)


DOCSTRINGS = {
    tv.dist: "\n    计算两个3D坐标点之间的距离\n    pos1和pos2可以是元组、列表或LPoint3f对象\n    返回两点间的距离\n    ",
    tv.CameraController: "摄像机控制工具类，实现围绕目标旋转等功能",
    tv.CameraController.__init__: None,
    tv.CameraController.on_mouse_down: "鼠标按下事件处理",
    tv.CameraController.on_mouse_up: "鼠标释放事件处理",
    tv.CameraController.on_right_mouse_down: "鼠标右键按下事件处理",
    tv.CameraController.on_right_mouse_up: "鼠标右键释放事件处理",
    tv.CameraController.update_mouse: "鼠标移动更新任务",
    tv.CameraController.decrease_radius: "减小旋转半径",
    tv.CameraController.increase_radius: "增大旋转半径",
    tv.CameraController.update_camera_position: "根据当前旋转角度和半径更新摄像机位置",
    tv.TAVIK: "Norvane3D开发框架主类",
    tv.TAVIK.__init__: None,
    tv.TAVIK.textNodeslookAtCamera: None,
    tv.TAVIK.updateScene: None,
    tv.TAVIK.bgColor: None,
    tv.TAVIK.setup_scene: "设置演示场景",
    tv.TAVIK.cm: None,
    tv.TAVIK.loadCnFont: "加载中文字体\n        从site-packages/tavik中加载中文字体，\n"
                         "        模仿gm中从whl包资源加载的方法进行加载字体ttf，\n        字体文件名:zkwy.ttf\n"
                         "        加载成功之后，给self.cnFont赋值。\n        ",
    tv.TAVIK.gm: "加载模型并返回节点",
    tv.TAVIK.makeText: "创建文字节点",
    tv.drawAxies: None,
}


@pytest.mark.parametrize("callable_, doc", DOCSTRINGS.items(), ids=lambda x: getattr(x, "__qualname__", ""))
def test_docstrings_are_exact(callable_, doc):
    assert callable_.__doc__ == doc


SIGNATURES = {
    tv.dist: "(pos1, pos2)",
    tv.CameraController: "(base, target_pos=LPoint3f(0, 0, 0), radius=10)",
    tv.CameraController.update_mouse: "(self, task)",
    tv.TAVIK: "(showAxis=True)",
    tv.TAVIK.updateScene: "(self, task)",
    tv.TAVIK.bgColor: "(self, color)",
    tv.TAVIK.setup_scene: "(self, showAxis=True)",
    tv.TAVIK.cm: "(self, fn, nc=True)",
    tv.TAVIK.gm: "(self, model_name)",
    tv.TAVIK.makeText: "(self, nodeName, text='None', pos=(0, 0, 0), color=(1, 0, 0, 1), align=2, scale=1)",
    tv.drawAxies: "(pen, n1=0, n2=5, n3=0.5)",
}


@pytest.mark.parametrize("callable_, text", SIGNATURES.items(), ids=lambda x: getattr(x, "__qualname__", ""))
def test_signatures_name_every_parameter_and_default(callable_, text):
    assert str(inspect.signature(callable_)) == text


def test_defaults_are_evaluated_once_at_import():
    init_defaults = inspect.signature(tv.CameraController.__init__).parameters
    first = init_defaults["target_pos"].default
    assert first is inspect.signature(tv.CameraController.__init__).parameters["target_pos"].default
    assert inspect.signature(tv.TAVIK.makeText).parameters["align"].default == tv.TextNode.ACenter


def test_help_shows_methods_with_parameters_and_chinese_docstrings():
    def flat(cls):
        # Newer pydoc wraps long signatures over several lines.
        text = pydoc.plain(pydoc.render_doc(cls)).replace(" |", " ")
        return re.sub(r"\(\s+", "(", " ".join(text.split()))

    text = flat(tv.TAVIK)
    assert "makeText(self, nodeName, text='None'" in text
    assert "创建文字节点" in text and "设置演示场景" in text
    camera = flat(tv.CameraController)
    assert "update_mouse(self, task)" in camera and "鼠标移动更新任务" in camera


@pytest.mark.parametrize("call, message", [
    (lambda: tv.dist((0, 0, 0)), "dist() missing 1 required positional argument: 'pos2'"),
    (lambda: tv.dist(), "dist() missing 2 required positional arguments: 'pos1' and 'pos2'"),
    (lambda: tv.dist(1, 2, 3), "dist() takes 2 positional arguments but 3 were given"),
    (lambda: tv.dist(pos1=1, pos3=2), "dist() got an unexpected keyword argument 'pos3'"),
    (lambda: tv.dist(1, pos1=2), "dist() got multiple values for argument 'pos1'"),
    (lambda: tv.drawAxies(), "drawAxies() missing 1 required positional argument: 'pen'"),
    (lambda: tv.drawAxies(1, 2, 3, 4, 5), "drawAxies() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: tv.CameraController.decrease_radius(),
     "CameraController.decrease_radius() missing 1 required positional argument: 'self'"),
    (lambda: tv.TAVIK.makeText(None), "TAVIK.makeText() missing 1 required positional argument: 'nodeName'"),
])
def test_wrong_arguments_raise_the_interpreters_type_error(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_keyword_arguments_bind_by_name():
    assert tv.dist(pos2=(3, 4, 0), pos1=(0, 0, 0)) == 5.0


def test_subclass_overrides_are_used_by_composite_operations():
    calls = []

    class Counting(tv.CameraController):
        def update_camera_position(self):
            calls.append((self.radius, self.theta))

    controller = Counting.__new__(Counting)
    controller.radius = 3
    controller.theta = 45
    tv.CameraController.decrease_radius(controller)
    tv.CameraController.increase_radius(controller)
    assert calls == [(2, 45), (3, 45)]


# ---- a failing module global --------------------------------------------------------------

def test_dist_with_a_failing_math_raises_its_own_first_error(app, monkeypatch):
    assert_a_failing_global_raises_its_own_first_error(app, monkeypatch, "math", lambda: tv.dist((0, 0, 0), (1, 2, 2)))
