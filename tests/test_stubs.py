"""The type stubs shipped with the package: complete, true to the running modules, and what editors show."""
import ast
import importlib
import importlib.resources
import inspect
import os
import pathlib
import subprocess
import sys

import pytest

from conftest import docstring_as_compiled

ROOT = pathlib.Path(__file__).resolve().parent.parent
ALLOWLIST = ROOT / "tools" / "stubtest-allowlist.txt"
PACKAGE = importlib.resources.files("tavik")
# Every stub the installed package carries: tavik.tavik, and any helper module's own.
STUBS = sorted(pathlib.Path(str(entry)) for entry in PACKAGE.iterdir() if entry.name.endswith(".pyi"))
STUB_MODULES = ["tavik." + stub.stem for stub in STUBS]


def stub_tree(module_name):
    path = pathlib.Path(str(PACKAGE.joinpath(module_name.split(".")[-1] + ".pyi")))
    return ast.parse(path.read_text(encoding="utf-8"), filename=str(path))


def is_setter(function):
    return any(isinstance(decorator, ast.Attribute) and decorator.attr == "setter"
               for decorator in function.decorator_list)


def documented_pairs(module_name):
    """(dotted name, docstring in the stub, __doc__ at run time) for every def and class of the stub."""
    module = importlib.import_module(module_name)
    # A stub's text is what a module written in Python holds once compiled;
    # the C++ module's docstrings are exactly as written.
    written_in_python = getattr(module, "__file__", "").endswith(".py")
    in_stub = docstring_as_compiled if written_in_python else (lambda text: text)
    for node in stub_tree(module_name).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and hasattr(module, node.name):
            runtime = getattr(module, node.name)
            yield node.name, in_stub(ast.get_docstring(node, clean=False)), runtime.__doc__
        if isinstance(node, ast.ClassDef) and hasattr(module, node.name):
            members = vars(getattr(module, node.name))
            for member in node.body:
                if not isinstance(member, ast.FunctionDef) or member.name not in members:
                    continue
                runtime = members[member.name]
                if isinstance(runtime, property):
                    runtime = runtime.fset if is_setter(member) else runtime.fget
                    member_name = node.name + "." + member.name + (".setter" if is_setter(member) else "")
                else:
                    member_name = node.name + "." + member.name
                yield member_name, in_stub(ast.get_docstring(member, clean=False)), runtime.__doc__


def stub_names(tree):
    """Top-level names of a stub, and the member names of each of its classes."""
    names, classes = set(), {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(alias.asname or alias.name for alias in node.names)
        if isinstance(node, ast.ClassDef):
            classes[node.name] = {member.name for member in node.body if isinstance(member, ast.FunctionDef)} | {
                member.target.id for member in node.body
                if isinstance(member, ast.AnnAssign) and isinstance(member.target, ast.Name)}
    return names, classes


def own_definitions(module):
    """The module's own public functions and classes (not the engine names it re-exports)."""
    return {name: value for name, value in vars(module).items()
            if not name.startswith("_") and callable(value) and getattr(value, "__module__", None) == module.__name__}


def test_the_installed_package_carries_the_stub_and_the_typed_marker():
    assert PACKAGE.joinpath("py.typed").is_file()
    assert "tavik.tavik" in STUB_MODULES
    # the marker is empty: the whole package is typed
    assert PACKAGE.joinpath("py.typed").read_bytes() == b""


@pytest.mark.parametrize("module_name", STUB_MODULES)
def test_stubtest_finds_the_stub_true_to_the_module(module_name, tmp_path):
    # From an empty folder, so that mypy reads the installed stub, not the checkout's.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module_name, "--ignore-missing-stub",
         "--allowlist", str(ALLOWLIST)],
        capture_output=True, text=True, timeout=600, cwd=tmp_path,
        env={**os.environ, "MYPYPATH": ""})
    assert result.returncode == 0, result.stdout[-5000:] + result.stderr[-2000:]
    assert "Success" in result.stdout


@pytest.mark.parametrize("module_name", STUB_MODULES)
def test_every_docstring_in_the_stub_is_the_running_one(module_name):
    pairs = list(documented_pairs(module_name))
    assert pairs
    differing = [(name, in_stub, at_run_time) for name, in_stub, at_run_time in pairs if in_stub != at_run_time]
    assert differing == []


@pytest.mark.parametrize("module_name", STUB_MODULES)
def test_the_stub_declares_every_function_class_and_member(module_name):
    module = importlib.import_module(module_name)
    names, classes = stub_names(stub_tree(module_name))
    definitions = own_definitions(module)
    assert definitions
    assert sorted(set(definitions) - names) == []
    for name, value in definitions.items():
        if isinstance(value, type):
            members = {member for member in vars(value)
                       if not (member.startswith("__") and member.endswith("__")) or member == "__init__"}
            members -= {member for member in members if member.startswith("_" + name + "__")}
            assert sorted(members - classes[name]) == [], name


def test_the_stub_declares_the_attributes_the_constructors_set():
    _, classes = stub_names(stub_tree("tavik.tavik"))
    assert {"update", "cnFont", "textNodes", "camera_controller", "_background_color"} <= classes["TAVIK"]
    assert {"np", "lineNode", "_current_thickness"} <= classes["Pen"]
    assert {"base", "target_pos", "radius", "theta", "phi", "mouse_down", "right_mouse_down",
            "last_mouse_x", "last_mouse_y"} <= classes["CameraController"]
    import tavik.tavik as tv
    for name, instance in [("AStar", tv.AStar(2, 3)), ("AStarNode", tv.AStarNode(1, 2)),
                           ("PathMoveCtrl", tv.PathMoveCtrl())]:
        assert sorted(set(vars(instance)) - classes[name]) == [], name


def test_the_engine_names_come_from_the_engine_in_the_stub():
    tree = stub_tree("tavik.tavik")
    star_imports = [node.module for node in tree.body
                    if isinstance(node, ast.ImportFrom) and [alias.name for alias in node.names] == ["*"]]
    assert star_imports == ["panda3d.core"]
    imported = {alias.asname or alias.name: node.module for node in tree.body if isinstance(node, ast.ImportFrom)
                for alias in node.names}
    assert imported["LineSegs"] == imported["NodePath"] == "panda3d.core"
    assert imported["ShowBase"] == "direct.showbase.ShowBase"
    assert imported["DirectObject"] == "direct.showbase"


# Editors: jedi (the engine behind many editors' completion) reads the stub as an editor would.
PROGRAM = "from tavik.tavik import *\napp = TAVIK()\npen = Pen(app)\n"


@pytest.fixture(scope="module")
def editor(tmp_path_factory):
    jedi = pytest.importorskip("jedi")
    environment = jedi.create_environment(sys.executable, safe=False)
    folder = tmp_path_factory.mktemp("editor")

    def script(text):
        """A jedi script of the program plus `text`, and the position at its very end."""
        source = PROGRAM + text
        lines = source.split("\n")
        return jedi.Script(source, path=folder / "homework.py", environment=environment,
                           project=jedi.Project(folder)), len(lines), len(lines[-1])
    return script


def test_completion_after_app_offers_the_hook_the_camera_and_the_kit_methods(editor):
    script, line, column = editor("app.")
    completions = {completion.name: completion for completion in script.complete(line, column)}
    for name in ["update", "camera_controller", "cnFont", "textNodes", "makeText", "gm", "bgColor", "run"]:
        assert name in completions, name
    assert completions["camera_controller"].module_path.name == "tavik.pyi"


def test_call_hint_for_pen_forward_shows_its_parameters(editor):
    script, line, column = editor("pen.forward(")
    signatures = script.get_signatures(line, column)
    assert [[parameter.name for parameter in signature.params] for signature in signatures] == [["n", "draw"]]
    assert "draw: bool=False" in signatures[0].to_string()


def test_hover_on_pen_forward_shows_the_chinese_docstring(editor):
    import tavik.tavik as tv
    script, line, column = editor("pen.forward")
    shown = script.help(line, column - 2)
    assert [name.docstring(raw=True) for name in shown] == [inspect.cleandoc(tv.Pen.forward.__doc__)]
    assert shown[0].docstring(raw=True).startswith("通过rotZ和rotY让画笔前进n")


def test_completion_follows_a_loaded_model_into_the_engine_names(editor):
    script, line, column = editor('car = app.gm("car")\ncar.setP')
    names = {completion.name for completion in script.complete(line, column)}
    assert {"setPos", "setPosHpr"} <= names
