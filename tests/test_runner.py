"""`python -m tavik run`: time limit, clean-up, screenshots, GIFs, notices and hints.

Every program here is written by the test. The test watches every process
that appears below the runner it started (the confined program, its sandbox,
its virtual screen), so that it can check that none outlives the runner,
however it ended.
"""
import json
import pathlib
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from PIL import Image, ImageChops

from helpers import SANDBOXES, Watch, assert_gone, run_watched, sandbox_environment, without_display

HERE = pathlib.Path(__file__).parent
SKY = (51, 153, 204)

PROGRAMS = {
    "good": "from tavik.tavik import *\napp = TAVIK()\npen = Pen(app)\npen.size(3)\npen.forward(5, True)\n"
            "pen.update()\nprint('drawn')\napp.run()\n",
    "error": "from tavik.tavik import *\napp = TAVIK()\n\ndef walk(pen):\n    pen.forward('10')\n\n"
             "walk(Pen(app))\napp.run()\n",
    "endless": "from tavik.tavik import *\napp = TAVIK()\n\ndef update():\n    while True:\n        pass\n\n"
               "app.update = update\napp.run()\n",
    "norun": "from tavik.tavik import *\napp = TAVIK()\nprint('no run here')\n",
    "syntax": "from tavik.tavik import *\napp = TAVIK(\nfor i in range(3)\n    print(i)\n",
}




def write(folder, name, source):
    path = folder / (name + ".py")
    path.write_text(source, encoding="utf-8")
    return path


def run_tavik(*arguments, timeout=120, cwd=HERE):
    return subprocess.run([sys.executable, "-m", "tavik", *arguments], capture_output=True, text=True,
                          timeout=timeout, cwd=cwd, env=without_display())


EXPECTED = {
    "good": (0, "drawn", None),
    "error": (1, "bad operand type for abs(): 'str'", "第 5 行把文字"),
    "endless": (124, None, "秒还没有结束"),
    "norun": (0, "no run here", "没有调用 app.run()"),
    "syntax": (1, "SyntaxError: '(' was never closed", "第 2 行的 ( 没有配对"),
}


@pytest.mark.parametrize("sandbox", list(SANDBOXES))
@pytest.mark.parametrize("kind", list(PROGRAMS))
def test_each_kind_of_program_ends_with_its_code_and_leaves_no_process_behind(kind, sandbox, tmp_path):
    script = write(tmp_path, kind, PROGRAMS[kind])
    shot = tmp_path / "shot.png"
    # A limit the endless program meets soon; one the others never meet, however busy the machine.
    limit = "3" if kind == "endless" else "60"
    result, seen = run_watched(["run", str(script), "--frames", "3", "--timeout", limit, "--screenshot", str(shot)],
                               cwd=HERE, environment=sandbox_environment(sandbox))
    code, said, hint = EXPECTED[kind]
    assert result.returncode == code, result.stderr
    if said:
        assert said in result.stdout + result.stderr
    if hint:
        assert hint in result.stderr
    if kind == "syntax":
        assert not shot.exists()            # no window was ever made
        assert "    app = TAVIK(\n               ^" in result.stderr
    assert "Xvfb" in seen.values(), seen
    assert ("bwrap" in seen.values()) == (sandbox == "bubblewrap"), seen
    assert_gone(seen)
    if kind != "syntax":
        with Image.open(shot) as image:     # the window existed, so there is a picture, error or not
            assert image.convert("RGB").getpixel((5, 5)) == pytest.approx(SKY, abs=2)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the scratch folder is the program's /tmp on Linux")
@pytest.mark.parametrize("sandbox", list(SANDBOXES))
def test_a_kit_installed_in_a_temporary_folder_still_runs_programs(sandbox, tmp_path):
    # A fresh virtual environment under /tmp, where the sandbox lays the program's scratch folder.
    import tavik
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True, timeout=120)
    kit_site = pathlib.Path(tavik.__file__).resolve().parent.parent
    next(venv.glob("lib/python*/site-packages")).joinpath("kit.pth").write_text(f"{kit_site}\n", encoding="utf-8")
    script = write(tmp_path, "good", PROGRAMS["good"])
    result = subprocess.run([str(venv / "bin" / "python"), "-m", "tavik", "run", str(script), "--frames", "1"],
                            capture_output=True, text=True, timeout=120, cwd=tmp_path,
                            env=sandbox_environment(sandbox))
    assert result.returncode == 0, result.stderr
    assert "drawn" in result.stdout


def test_an_endless_loop_inside_a_frame_is_stopped_at_the_limit(tmp_path):
    script = write(tmp_path, "endless", PROGRAMS["endless"])
    started = time.monotonic()
    result = run_tavik("run", str(script), "--timeout", "2", "--screenshot", str(tmp_path / "e.png"))
    took = time.monotonic() - started
    assert result.returncode == 124
    assert "程序运行了 2 秒还没有结束" in result.stderr and "它停在第" in result.stderr
    assert 'File "endless.py"' in result.stderr and "while True" in result.stderr
    assert took < 60, took              # stopped at the limit, long before the runner's own default
    assert (tmp_path / "e.png").exists()


@pytest.mark.parametrize("sandbox", list(SANDBOXES))
@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_stopping_the_runner_stops_the_program_and_its_screen(stop, sandbox, tmp_path):
    script = write(tmp_path, "endless", "print('started', flush=True)\n" + PROGRAMS["endless"])
    runner = subprocess.Popen([sys.executable, "-m", "tavik", "run", str(script), "--timeout", "60"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=HERE,
                              env=sandbox_environment(sandbox))
    watch = Watch(runner.pid)
    try:
        assert runner.stdout.readline() == "started\n", runner.stderr.read()
        runner.send_signal(stop)
        _, errors = runner.communicate(timeout=30)
    finally:
        runner.kill()
        seen = watch.stop()
    assert runner.returncode == 128 + stop, errors
    assert "已停止" in errors
    assert "Xvfb" in seen.values()
    assert_gone(seen)


def test_the_traceback_shows_the_learners_frames_only(tmp_path):
    script = write(tmp_path, "error", PROGRAMS["error"])
    result = run_tavik("run", str(script), "--frames", "2", "--screenshot", str(tmp_path / "x.png"))
    lines = result.stderr.splitlines()
    start = lines.index("Traceback (most recent call last):")
    assert lines[start:start + 6] == [
        "Traceback (most recent call last):",
        '  File "error.py", line 7, in <module>',
        "    walk(Pen(app))",
        '  File "error.py", line 5, in walk',
        "    pen.forward('10')",
        "TypeError: bad operand type for abs(): 'str'",
    ]
    assert "runpy" not in result.stderr and "child.py" not in result.stderr
    assert lines[start + 6].startswith("提示：第 5 行")


NOTICE_PROGRAM = """\
from direct.directnotify.DirectNotifyGlobal import directNotify
from tavik.tavik import *
app = TAVIK()
directNotify.newCategory("lesson").warning("an engine notice")
print("my own line")
"""


@pytest.mark.parametrize("verbose", [False, True], ids=["quiet", "verbose"])
def test_engine_notices_show_only_when_asked_and_the_programs_print_always(verbose, tmp_path):
    script = write(tmp_path, "notice", NOTICE_PROGRAM)
    result = run_tavik("run", str(script), "--frames", "2", "--screenshot", str(tmp_path / "n.png"),
                       *(["--verbose"] if verbose else []))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1] == "my own line"
    assert (":lesson(warning): an engine notice" in result.stderr) == verbose
    if not verbose:
        assert not [line for line in result.stderr.splitlines() if line.startswith(":")]


GROWING = """\
from tavik.tavik import *
app = TAVIK(showAxis=False)
app.bgColor((0, 0, 0))
pen = Pen(app)
pen.size(6)
pen.color(Color.yellow)
pen.moveTo(-8, 0, -5)

def update():
    pen.forward(0.6, True)
    pen.dLeft(6)
    pen.update()

app.update = update
app.run()
"""


def lit(image):
    """How many pixels of a frame are drawn on (the background is black)."""
    grey = image.convert("L")
    return sum(grey.point(lambda value: 255 if value > 60 else 0).histogram()[255:])


def test_the_gif_keeps_every_kth_frame_and_shows_the_drawing_grow(tmp_path):
    script = write(tmp_path, "grow", GROWING)
    gif, shot = tmp_path / "grow.gif", tmp_path / "grow.png"
    result = run_tavik("run", str(script), "--frames", "30", "--gif", str(gif), "--gif-every", "3",
                       "--screenshot", str(shot))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-2:] == [str(gif), str(shot)]
    with Image.open(gif) as animation:
        assert animation.n_frames == 10
        assert animation.info["loop"] == 0 and animation.info["duration"] >= 20
        frames = []
        for index in range(animation.n_frames):
            animation.seek(index)
            frames.append(animation.convert("RGB"))
    counts = [lit(frame) for frame in frames]
    assert counts[0] < counts[4] < counts[-1], counts
    assert ImageChops.difference(frames[0], frames[-1]).getbbox() is not None


FADING = """\
from tavik.tavik import *
app = TAVIK(showAxis=False)
frames = [0]

def update():
    frames[0] += 1
    app.bgColor((frames[0] / 240, 0, 0))    # every frame differs, so none is merged into the one before

app.update = update
app.run()
"""


def test_a_long_run_gives_a_small_gif(tmp_path):
    script = write(tmp_path, "fade", FADING)
    gif = tmp_path / "long.gif"
    result = run_tavik("run", str(script), "--frames", "240", "--gif", str(gif), "--screenshot",
                       str(tmp_path / "long.png"))
    assert result.returncode == 0, result.stderr
    with Image.open(gif) as animation:
        assert animation.n_frames == 60 and animation.size == (500, 375)


def test_the_teachers_own_gif_step_is_kept_up_to_the_frame_cap(tmp_path):
    script = write(tmp_path, "fade", FADING)
    counts = {}
    for every in (2, 1):
        gif = tmp_path / f"every{every}.gif"
        result = run_tavik("run", str(script), "--frames", "240", "--gif", str(gif), "--gif-every", str(every),
                           "--screenshot", str(tmp_path / "shot.png"))
        assert result.returncode == 0, result.stderr
        with Image.open(gif) as animation:
            counts[every] = animation.n_frames
    assert counts == {2: 120, 1: 120}   # every second frame; every frame, stopped at the cap


def one_frame(index, folder):
    shot = folder / f"one{index}.png"
    result = run_tavik("run", str(folder / "good.py"), "--frames", "1", "--screenshot", str(shot))
    if result.returncode != 0:
        return result.stderr
    with Image.open(shot) as image:
        rgb = image.convert("RGB")
        if image.size != (1000, 750) or rgb.getpixel((5, 5)) != pytest.approx(SKY, abs=2):
            return f"run {index}: wrong picture"
    return None


def test_one_frame_gives_a_screenshot_every_time(tmp_path):
    write(tmp_path, "good", PROGRAMS["good"])
    with ThreadPoolExecutor(max_workers=2) as pool:
        failures = [failure for failure in pool.map(one_frame, range(20), [tmp_path] * 20) if failure]
    assert failures == []


def test_a_missing_program_is_reported_in_chinese(tmp_path):
    result = run_tavik("run", str(tmp_path / "absent.py"))
    assert result.returncode == 1 and "找不到程序文件" in result.stderr


def test_a_program_that_crashes_the_interpreter_is_an_error_with_a_hint(tmp_path):
    script = write(tmp_path, "crash", "import ctypes\nprint('before')\nctypes.string_at(0)\n")
    result = run_tavik("run", str(script), "--frames", "2")
    assert result.returncode == 1
    assert "before" in result.stdout and "程序意外退出了" in result.stderr


def test_a_file_in_another_encoding_gets_the_utf8_hint(tmp_path):
    script = tmp_path / "gbk.py"
    script.write_bytes("print('画一个正方形')\n".encode("gbk"))
    result = run_tavik("run", str(script), "--frames", "2")
    assert result.returncode == 1 and "UTF-8" in result.stderr.split("提示：")[1]


def test_stopping_the_grader_stops_every_program_and_screen(tmp_path):
    folder = tmp_path / "class"
    folder.mkdir()
    for name in ("a", "b", "c"):
        write(folder, name, PROGRAMS["endless"])
    grader = subprocess.Popen([sys.executable, "-m", "tavik", "grade", str(folder), "--out", str(tmp_path / "out"),
                               "--jobs", "2", "--timeout", "60"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, cwd=HERE, env=without_display())
    watch = Watch(grader.pid)
    try:
        # Poll until both programs and their screens are up: on a busy machine the
        # second program starts well after the second screen.
        deadline = time.monotonic() + 120
        while (len(watch.named("Xvfb")) < 2 or len(watch.named("python")) < 2) and time.monotonic() < deadline:
            time.sleep(0.2)
        assert len(watch.named("Xvfb")) >= 2 and len(watch.named("python")) >= 2, watch.seen
        time.sleep(1)
        grader.send_signal(signal.SIGTERM)
        _, errors = grader.communicate(timeout=30)
    finally:
        grader.kill()
        seen = watch.stop()
    assert grader.returncode == 128 + signal.SIGTERM, errors
    assert "已停止" in errors
    with open(tmp_path / "out" / "report.json", encoding="utf-8") as report:
        assert json.load(report) == []      # none had ended: the report lists none
    assert_gone(seen)


@pytest.mark.parametrize("platform", ["win32", "darwin"])
def test_windows_and_macos_need_no_virtual_screen(platform, monkeypatch):
    from tavik.classroom import display
    monkeypatch.setattr(sys, "platform", platform)
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.setattr(display.shutil, "which", lambda name: pytest.fail("looked for " + name))
    assert not display.needs_virtual_screen()
    assert display.ensure_display() is False


def test_linux_without_a_display_needs_one(monkeypatch):
    from tavik.classroom import display
    monkeypatch.setattr(sys, "platform", "linux")
    monkeypatch.delenv("DISPLAY", raising=False)
    assert display.needs_virtual_screen()


def test_engine_settings_loaded_by_the_caller_reach_the_program(tmp_path):
    """A caller (the release smoke check, say) chooses the renderer with
    loadPrcFileData before it runs a program."""
    from panda3d.core import loadPrcFileData, unloadPrcFile
    from tavik.classroom import runner
    script = tmp_path / "settings.py"
    script.write_text("from panda3d.core import ConfigVariableString\n"
                      "print(ConfigVariableString('tavik-test-marker', '').getValue())\n", encoding="utf-8")
    page = loadPrcFileData("caller", "tavik-test-marker chosen by the caller")
    try:
        result = runner.run_program(str(script), runner.Options(frames=1))
    finally:
        unloadPrcFile(page)
    assert result.status == "ok" and result.stdout.strip() == "chosen by the caller"


def test_a_picture_that_cannot_be_saved_is_reported_not_dropped(tmp_path):
    script = write(tmp_path, "good", PROGRAMS["good"])
    result = run_tavik("run", str(script), "--frames", "2", "--screenshot", str(tmp_path))  # a folder, not a file
    assert result.returncode == 0, result.stderr
    assert "截图或动画没能保存" in result.stderr


def test_the_engines_loader_plug_ins_are_handed_down_not_looked_up_by_each_program(tmp_path):
    """A model loaded through the engine's own loader still finds the glTF plug-in, and the program
    never reads the installed packages' metadata for it."""
    from tavik.classroom import runner
    script = tmp_path / "loads.py"
    script.write_text("import os, sys\nimport tavik\nfrom tavik.tavik import *\napp = TAVIK()\n"
                      "model = app.loader.loadModel(os.path.join(os.path.dirname(tavik.__file__), 'robot.glb'))\n"
                      "print(model.getName(), model.findAllMatches('**/+GeomNode').getNumPaths() > 0,\n"
                      "      'importlib.metadata' in sys.modules, 'TAVIK_ENGINE_LOADERS' in os.environ)\n"
                      "app.run()\n", encoding="utf-8")
    result = runner.run_program(str(script), runner.Options(frames=1))
    assert result.status == "ok", result.traceback
    assert result.stdout.split() == ["robot", "True", "False", "False"]


def test_a_plug_in_named_in_any_way_an_entry_point_allows_is_loaded():
    from tavik.classroom.loaders import EntryPoint
    assert EntryPoint("x", "os.path:join").load() is __import__("os").path.join
    assert EntryPoint("x", "os.path").load() is __import__("os").path
    assert EntryPoint("x", "os : path.join [extra]").load() is __import__("os").path.join
