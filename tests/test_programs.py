"""The main program, the showcase and every example, run headless as a teacher would."""
import json
import os
import pathlib
import subprocess
import sys

import pytest
from PIL import Image

from helpers import not_blank

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
SKY = (51, 153, 204)


def run_main(*arguments, timeout=180, env=None):
    """`python -m tavik ...` in a fresh interpreter, away from the source tree."""
    return subprocess.run([sys.executable, "-m", "tavik", *arguments], capture_output=True, text=True,
                          timeout=timeout, cwd=pathlib.Path(__file__).parent,
                          env=dict(os.environ) if env is None else env)


def assert_clean_run(result, screenshot):
    assert result.returncode == 0, result.stderr[-3000:]
    assert "Traceback" not in result.stderr and "Exception occurred" not in result.stderr
    assert result.stdout.strip().splitlines()[-1] == str(screenshot)


def test_there_are_ten_examples():
    assert len(EXAMPLES) >= 10


@pytest.fixture(scope="module")
def graded_examples(tmp_path_factory):
    """Every example through the grader (each in its own process, two at a time), as a teacher would."""
    out = tmp_path_factory.mktemp("examples")
    # as many frames as the docs build shows: an animated drawing is finished by then, and is warned about before
    result = run_main("grade", str(ROOT / "examples"), "--out", str(out), "--frames", "90", "--jobs", "2")
    assert result.returncode == 0, result.stderr[-3000:]
    with open(out / "report.json", encoding="utf-8") as report:
        return out, {entry["file"]: entry for entry in json.load(report)}


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda path: path.stem)
def test_every_example_runs_cleanly_and_shows_something(example, graded_examples):
    out, entries = graded_examples
    entry = entries[example.name]
    assert entry["status"] == "ok", entry["traceback"]
    assert entry["warnings"] == [] and entry["stderr"] == ""
    with Image.open(out / entry["screenshot"]) as image:
        assert image.size == (1000, 750)
        assert not_blank(image), f"{example.name} shows a blank window"


def test_run_of_an_example_prints_its_screenshot_last(tmp_path):
    screenshot = tmp_path / "spiral.png"
    result = run_main("run", str(EXAMPLES[0]), "--frames", "5", "--screenshot", str(screenshot))
    assert_clean_run(result, screenshot)
    with Image.open(screenshot) as image:
        assert not_blank(image)


@pytest.mark.parametrize("screen", ["the tests' screen", "a virtual screen of its own"])
def test_the_showcase_runs_and_shows_its_world(tmp_path, screen):
    screenshot = tmp_path / "showcase.png"
    environment = dict(os.environ)
    if screen == "a virtual screen of its own":  # as `make demo` runs on a machine without a display
        del environment["DISPLAY"]
    result = run_main("--frames", "60", "--screenshot", str(screenshot), env=environment)
    assert_clean_run(result, screenshot)
    with Image.open(screenshot) as image:
        assert image.size == (1000, 750) and not_blank(image)


def test_run_saves_the_screenshot_of_a_learners_program(tmp_path):
    script = tmp_path / "orange.py"
    script.write_text(
        "from tavik.tavik import *\n"
        "app = TAVIK(showAxis=False)\n"
        "app.bgColor((1, 0.5, 0))\n"
        "frames = []\n"
        "app.update = lambda: frames.append(1)\n"
        "app.run()\n"
        "print('after run', len(frames))\n", encoding="utf-8")
    screenshot = tmp_path / "shots" / "orange.png"
    result = run_main("run", str(script), "--frames", "7", "--screenshot", str(screenshot))
    assert_clean_run(result, screenshot)
    assert "after run" not in result.stdout
    with Image.open(screenshot) as image:
        assert image.size == (1000, 750)
        for point in [(5, 5), (500, 375), (990, 740)]:
            assert image.convert("RGB").getpixel(point) == pytest.approx((255, 128, 0), abs=2)


def test_run_of_a_program_that_never_calls_run_still_saves(tmp_path):
    script = tmp_path / "norun.py"
    script.write_text("from tavik.tavik import *\napp = TAVIK()\n", encoding="utf-8")
    screenshot = tmp_path / "norun.png"
    result = run_main("run", str(script), "--frames", "3", "--screenshot", str(screenshot))
    assert_clean_run(result, screenshot)
    with Image.open(screenshot) as image:
        assert image.convert("RGB").getpixel((5, 5)) == pytest.approx(SKY, abs=2)


def test_run_reports_a_learners_error_with_its_traceback(tmp_path):
    script = tmp_path / "broken.py"
    script.write_text("from tavik.tavik import *\napp = TAVIK()\nPen(app).towards(1, 2)\n", encoding="utf-8")
    result = run_main("run", str(script), "--frames", "3", "--screenshot", str(tmp_path / "x.png"))
    assert result.returncode != 0
    assert "broken.py" in result.stderr and "towards方法需要三个参数" in result.stderr


SHOWCASE_SESSION = """
from tavik.classroom.display import ensure_display
ensure_display()
from panda3d.core import LPoint3f, MouseButton, Point2, Point3
from tavik.showcase import Showcase, cell_centre

showcase = Showcase()
app = showcase.app
for _ in range(5):
    app.taskMgr.step()

def walk_until_arrived(limit=2000):
    for _ in range(limit):
        app.taskMgr.step()
        if not showcase.mover.mf:
            return True
    return False

def robot_cell():
    here = showcase.robot.getPos()
    return round(5.0 - here.y), round(here.x - 3.0)

# typed into the entry
showcase.on_entry("9，9")
print("entry", walk_until_arrived(), robot_cell(), showcase.status["text"])
showcase.on_entry("1,3")
print("obstacle", showcase.status["text"])
showcase.on_entry("nonsense")
print("nonsense", showcase.status["text"])

# a real click on the screen position of cell (2, 1)
point = app.cam.getRelativePoint(app.render, Point3(*cell_centre(2, 1)))
screen = Point2()
app.camLens.project(point, screen)
x = int((screen.x + 1) / 2 * app.win.getXSize())
y = int((1 - screen.y) / 2 * app.win.getYSize())
device = app.win.getInputDevice(0)
device.setPointerInWindow(x, y)
app.taskMgr.step(); app.taskMgr.step()
device.buttonDown(MouseButton.one())
app.taskMgr.step()
device.buttonUp(MouseButton.one())
print("click", walk_until_arrived(), robot_cell())

showcase.restart()
print("restart", walk_until_arrived(), robot_cell())
"""


def test_the_showcase_walks_where_it_is_told_and_clicked():
    result = subprocess.run([sys.executable, "-c", SHOWCASE_SESSION], capture_output=True, text=True, timeout=300,
                            cwd=pathlib.Path(__file__).parent, env=dict(os.environ))
    assert result.returncode == 0, result.stderr[-3000:]
    lines = dict(line.split(" ", 1) for line in result.stdout.splitlines() if " " in line)
    assert lines["entry"].startswith("True (9, 9) 到达 9,9")
    assert lines["obstacle"] == "格子 1,3 是障碍物"
    assert lines["nonsense"].startswith("请输入")
    assert lines["click"] == "True (2, 1)"
    assert lines["restart"] == "True (0, 9)"


def test_the_demo_command_runs_from_the_checkout(tmp_path):
    """`make demo` runs `python -P -m tavik` in the source folder."""
    screenshot = tmp_path / "demo.png"
    result = subprocess.run([sys.executable, "-P", "-m", "tavik", "--frames", "3", "--screenshot", str(screenshot)],
                            capture_output=True, text=True, timeout=180, cwd=ROOT, env=dict(os.environ))
    assert_clean_run(result, screenshot)
