"""One application per test process, on a virtual screen when there is no display.

Panda3D allows a single ShowBase per process, so every test shares the
``app`` fixture; behaviour at construction time is tested in subprocesses
(see ``run_python``).
"""
import os
import subprocess
import sys
import textwrap

import pytest

# Test the installed package, not the source folder beside the tests
# (which `python -m pytest` would put first on the path).
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [entry for entry in sys.path if os.path.abspath(entry or os.curdir) != ROOT]

from tavik.classroom.display import ensure_display  # noqa: E402

ensure_display()

from panda3d.core import PNMImage, loadPrcFileData  # noqa: E402

ENGINE_SETTINGS = "audio-library-name null\nsync-video #f\nwin-size 1000 750\n"
loadPrcFileData("tests", ENGINE_SETTINGS)


@pytest.fixture(scope="session")
def app():
    from tavik.tavik import TAVIK
    application = TAVIK()
    for _ in range(3):
        application.taskMgr.step()
    return application


@pytest.fixture
def make_pen(app):
    """Makes pens (of `kind`) whose drawings are removed after the test."""
    from tavik.tavik import Pen
    made = []

    def make(kind=Pen):
        pen = kind(app)
        made.append(pen.np)
        return pen
    yield make
    for container in made:
        container.removeNode()


@pytest.fixture
def step(app):
    """Runs `n` frames of the engine loop."""
    def run(frames=1):
        for _ in range(frames):
            app.taskMgr.step()
    return run


@pytest.fixture
def screenshot(app, step):
    """Renders two frames and returns the window's pixels as a PNMImage."""
    def take():
        step(2)
        image = PNMImage()
        assert app.win.getScreenshot(image)
        return image
    return take


@pytest.fixture
def without():
    """Takes names out of the kit's namespace for one test, then puts the
    namespace back as it was, order included (the order is tested too)."""
    import tavik.tavik as tv
    namespace = vars(tv)
    saved = dict(namespace)
    yield lambda name: namespace.pop(name)
    namespace.clear()
    namespace.update(saved)


def docstring_as_compiled(text):
    """A docstring as this interpreter compiles it from Python source.

    From CPython 3.13 on, the compiler strips the common indentation of a
    docstring's continuation lines, so the `__doc__` of a function written in
    Python differs between interpreters while its source does not.
    """
    if text is None:
        return None
    namespace = {}
    exec(compile(f"def documented():\n    {text!r}\n", "<docstring>", "exec"), namespace)
    return namespace["documented"].__doc__


def run_python(source, prc=ENGINE_SETTINGS, timeout=120):
    """Runs `source` in a fresh interpreter with the engine settings loaded first.

    It runs in the tests folder, so that the installed package is imported.
    """
    prelude = (
        "from panda3d.core import loadPrcFileData\n"
        f"loadPrcFileData('tests', {prc!r})\n"
    )
    return subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(source)],
        capture_output=True, text=True, timeout=timeout, env=dict(os.environ),
        cwd=os.path.dirname(os.path.abspath(__file__)))
