"""`python -m tavik watch`: a program runs again each time it is saved, keeping the window and the view."""
import os
import signal
import subprocess
import sys
import time

import pytest

from tavik.classroom.display import VirtualScreen
from tavik.classroom.watch import View

DEADLINE = 180

# The first version moves the camera and resizes the window after a few frames, as a learner would with
# the mouse; the later versions only report what they see.
FIRST = """\
import time
from tavik.tavik import *

app = TAVIK()
frames = 0
moved = None


def update():
    global frames, moved
    frames += 1
    if moved is not None and time.monotonic() - moved > 1.5:
        print("MOVED", flush=True)     # the view has been kept since: it is written a few times a second
        moved = float("inf")
    if frames == 5:
        moved = time.monotonic()
        app.camera_controller.radius = 77
        app.camera_controller.theta = 33
        app.camera_controller.update_camera_position()
        properties = WindowPropertiesFor(640, 480)
        app.win.requestProperties(properties)


def WindowPropertiesFor(width, height):
    from panda3d.core import WindowProperties
    properties = WindowProperties()
    properties.setSize(width, height)
    return properties


app.update = update
app.run()
"""

REPORTING = """\
from tavik.tavik import *

app = TAVIK()
frames = 0


def update():
    global frames
    frames += 1
    if frames == 10:
        print("VIEW", round(app.camera_controller.radius), round(app.camera_controller.theta),
              app.win.getXSize(), app.win.getYSize(), flush=True)


app.update = update
app.run()
"""

BROKEN = """\
from tavik.tavik import *

app = TAVIK()
pen = Pen(app)
pen.goto(1, 2)
app.run()
"""


def wait_for(condition, what):
    deadline = time.monotonic() + DEADLINE
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.2)
    raise AssertionError("waited in vain for " + what)


def save(path, text):
    """Saves as an editor does; the time stamp moves on even on a coarse clock."""
    before = os.stat(path).st_mtime_ns if path.exists() else 0
    path.write_text(text, encoding="utf-8")
    if os.stat(path).st_mtime_ns == before:
        os.utime(path, ns=(before + 1_000_000_000, before + 1_000_000_000))


@pytest.fixture
def watching(tmp_path):
    program = tmp_path / "prog.py"
    save(program, FIRST)
    out, err = tmp_path / "out.txt", tmp_path / "err.txt"
    environment = {key: value for key, value in os.environ.items() if not key.startswith("TAVIK_")}
    # a screen of its own: windows opening and closing must not disturb the shared application's clicks
    screen = VirtualScreen()
    screen.start()
    environment = screen.environment(environment)
    with open(out, "wb") as stdout, open(err, "wb") as stderr:
        process = subprocess.Popen([sys.executable, "-m", "tavik", "watch", str(program)], stdout=stdout,
                                   stderr=stderr, stdin=subprocess.DEVNULL, cwd=tmp_path, env=environment)
    try:
        yield program, (lambda: out.read_text(encoding="utf-8", errors="replace")), \
            (lambda: err.read_text(encoding="utf-8", errors="replace"))
    finally:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        screen.stop()


def test_each_save_runs_again_keeping_the_view_and_an_error_shows_its_hint(watching):
    program, output, errors = watching
    wait_for(lambda: "MOVED" in output(), "the first run to move its camera")

    save(program, BROKEN)
    wait_for(lambda: "提示：" in errors() and "上一次的画面" in output(), "the second run's hint")
    assert "第 2 次运行" in output()
    assert "pen.goto(x, y) 在这里是 pen.moveTo(x, y, z)" in errors()

    save(program, REPORTING)
    wait_for(lambda: "VIEW" in output(), "the third run's report")
    assert output().count("次运行") == 3
    view = next(line for line in output().splitlines() if line.startswith("VIEW")).split()
    assert view[1:3] == ["77", "33"], view
    assert view[3:5] == ["640", "480"], view


def test_a_view_survives_its_file(tmp_path):
    kept = View(origin=[10, 20], size=[640, 480], target=[1.0, 2.0, 3.0], radius=12.5, theta=30.0, phi=60.0,
                frames=4)
    kept.write(str(tmp_path / "view.json"))
    assert View.read(str(tmp_path / "view.json")) == kept
    assert View.read(str(tmp_path / "missing.json")) == View()
