"""Counted frames on a virtual screen: a steady clock, frames nobody sees left undrawn, the pictures
taken all the same; and the warm shader cache each program gets a copy of."""
import io
import os
import pathlib
import subprocess
import sys
import time

import pytest
from PIL import Image

from helpers import SANDBOXES, sandbox_environment

HERE = pathlib.Path(__file__).parent
RED = (255, 0, 0)

STEADY = """\
from tavik.tavik import *
app = TAVIK()
steps = []
def update():
    steps.append(globalClock.getDt())
    if len(steps) == 100:
        print("steps", min(steps[3:]), max(steps[3:]), round(globalClock.getFrameTime() - start, 6))
start = globalClock.getFrameTime()
app.update = update
app.run()
"""

# The picture changes only late in the run, in a frame nobody watches.
LATE_CHANGE = """\
from tavik.tavik import *
app = TAVIK()
frames = [0]
def update():
    frames[0] += 1
    if frames[0] == {change}:
        app.setBackgroundColor(1, 0, 0, 1)
    if frames[0] == {stop}:
        raise RuntimeError("stopped on purpose")
app.update = update
app.run()
"""


def run_program(tmp_path, source, *options, sandbox="fallback"):
    script = tmp_path / "prog.py"
    script.write_text(source, encoding="utf-8")
    shot = tmp_path / "shot.png"
    result = subprocess.run([sys.executable, "-m", "tavik", "run", str(script), "--screenshot", str(shot), *options],
                            capture_output=True, text=True, timeout=300, cwd=HERE, env=sandbox_environment(sandbox))
    return result, shot


def corner(path):
    with Image.open(path) as image:
        return image.convert("RGB").getpixel((5, image.height - 5))


def test_every_counted_frame_is_a_sixtieth_of_a_second_of_the_programs_time(tmp_path):
    result, _ = run_program(tmp_path, STEADY, "--frames", "120")
    assert result.returncode == 0, result.stderr
    _, smallest, largest, elapsed = next(line for line in result.stdout.splitlines() if line.startswith("steps")).split()
    assert float(smallest) == pytest.approx(1 / 60) and float(largest) == pytest.approx(1 / 60)
    assert float(elapsed) == pytest.approx(100 / 60, abs=2 / 60)


@pytest.mark.parametrize("sandbox", list(SANDBOXES))
def test_a_change_in_an_undrawn_frame_is_in_the_screenshot(sandbox, tmp_path):
    result, shot = run_program(tmp_path, LATE_CHANGE.format(change=110, stop=10**6), "--frames", "120",
                               sandbox=sandbox)
    assert result.returncode == 0, result.stderr
    assert corner(shot) == RED


def test_the_screenshot_after_an_error_shows_the_scene_as_the_error_left_it(tmp_path):
    result, shot = run_program(tmp_path, LATE_CHANGE.format(change=49, stop=50), "--frames", "120")
    assert result.returncode == 1 and "stopped on purpose" in result.stderr
    assert corner(shot) == RED


FADING = """\
from tavik.tavik import *
app = TAVIK()
frames = [0]
def update():
    frames[0] += 1
    app.setBackgroundColor(frames[0] / 120, 0, 0, 1)
app.update = update
app.run()
"""


def test_the_gif_frames_are_drawn_though_the_others_are_not(tmp_path):
    gif = tmp_path / "run.gif"
    result, _ = run_program(tmp_path, FADING, "--frames", "120", "--gif", str(gif), "--gif-every", "10")
    assert result.returncode == 0, result.stderr
    with Image.open(gif) as moving:
        reds = []
        for index in range(moving.n_frames):
            moving.seek(index)
            reds.append(moving.convert("RGB").getpixel((2, moving.height - 2))[0])
    # frames 1, 11, ..., 111, each a darker red than the next (a frame shown stale would repeat one)
    assert len(reds) == 12 and reds == sorted(set(reds)), reds


def test_the_pictures_png_reads_back_pixel_for_pixel():
    from tavik.classroom.child import png
    width, height = 7, 5
    data = os.urandom(width * height * 3)      # rows bottom first, as the engine gives them
    with Image.open(io.BytesIO(png(width, height, data))) as image:
        expected = Image.frombuffer("RGB", (width, height), data, "raw", "RGB", 0, -1)
        assert image.mode == "RGB" and image.tobytes() == expected.tobytes()


# ---- the shader cache -----------------------------------------------------------------------------------

CACHE_READER = """\
import os
folder = os.environ["MESA_SHADER_CACHE_DIR"]
print("found", sum(len(files) for _, _, files in os.walk(folder)))
with open(os.path.join(folder, "written-by-a-learner"), "w") as mine:
    mine.write("mine")
"""


def warmed(cache):
    deadline = time.monotonic() + 120
    while cache.folder() is None and cache.process is not None and time.monotonic() < deadline:
        time.sleep(0.1)
    return cache


@pytest.fixture(scope="module")
def warm_cache(tmp_path_factory):
    """A cache warmed by a warm-up of its own: nothing kept by an earlier grading is found."""
    from tavik.classroom.shaders import WarmCache
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("XDG_CACHE_HOME", str(tmp_path_factory.mktemp("cache-home")))
        cache = warmed(WarmCache().start())
        assert cache.kept is None
        yield cache
    cache.close()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the software renderer's cache is Linux's")
def test_the_warm_up_fills_a_cache_of_the_graders_own(warm_cache):
    folder = warm_cache.folder()
    assert folder is not None
    assert sum(len(files) for _, _, files in os.walk(folder)) > 0


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the software renderer's cache is Linux's")
@pytest.mark.parametrize("sandbox", list(SANDBOXES))
def test_each_program_gets_a_copy_of_its_own(sandbox, warm_cache, tmp_path, monkeypatch):
    from tavik.classroom.runner import Options, run_program as run_one
    for name, value in sandbox_environment(sandbox).items():
        if os.environ.get(name) != value:
            monkeypatch.setenv(name, value)
    folder = warm_cache.folder()
    before = sorted(path for path, _, _ in os.walk(folder))
    script = tmp_path / "reader.py"
    script.write_text(CACHE_READER, encoding="utf-8")
    for _ in range(2):     # the second program finds nothing the first one wrote
        result = run_one(str(script), Options(frames=1, timeout=60, shaders=folder))
        assert result.status == "ok", result.traceback
        found = int(result.stdout.split()[1])
        assert found == sum(len(files) for _, _, files in os.walk(folder)) > 0
    assert sorted(path for path, _, _ in os.walk(folder)) == before
    assert not any("written-by-a-learner" in files for _, _, files in os.walk(folder))


def files_in(folder):
    return sorted(os.path.relpath(os.path.join(path, name), folder) for path, _, names in os.walk(folder)
                  for name in names)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the software renderer's cache is Linux's")
def test_a_warmed_cache_is_kept_for_the_gradings_to_come_until_it_is_out_of_date(tmp_path, monkeypatch):
    from tavik.classroom import shaders
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    with shaders.WarmCache() as first:      # a small class: over before the warm-up, which it waits for
        assert first.process is not None
    assert first.root is None
    kept = shaders.kept_cache()
    assert kept is not None
    assert files_in(os.path.join(kept, "mesa"))

    with shaders.WarmCache() as second:     # found at once: no warm-up at all
        assert second.process is None and second.screen is None
        assert second.folder() == os.path.join(kept, "mesa")

    stale = os.path.join(kept, "mesa", "from-a-week-ago")
    open(stale, "w").close()
    week_ago = time.time() - shaders.KEPT_FOR - 60
    os.utime(kept, (week_ago, week_ago))
    assert shaders.kept_cache() is None
    third = warmed(shaders.WarmCache().start())
    assert third.kept is None and third.folder() == third.cache()
    third.close()
    # warmed again and kept in the old one's place (which files a warm-up writes varies with the driver)
    assert os.listdir(tmp_path / "tavik" / "shaders") == [os.path.basename(kept)]
    assert shaders.kept_cache() == kept
    assert files_in(os.path.join(kept, "mesa")) and not os.path.exists(stale)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="orphans are adopted on Linux")
def test_the_graders_own_screens_and_warm_up_are_not_taken_for_orphans(tmp_path, monkeypatch):
    from tavik.classroom import runner
    from tavik.classroom.screenpool import ScreenPool
    from tavik.classroom.shaders import WarmCache
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))     # so that a warm-up runs
    orphan = subprocess.Popen(["sleep", "60"])
    pool = ScreenPool(1)
    pool.prepare()
    with WarmCache() as warming:
        own = [process for process in (pool.idle[0].process, warming.process, warming.screen and warming.screen.process)
               if process is not None]
        # only what this test started is looked at: the suite's other children are left alone
        monkeypatch.setattr(runner, "children_of_this_process", lambda: [orphan.pid] + [p.pid for p in own])
        runner.end_orphans()        # what the grader does after each program
        assert not os.path.exists(f"/proc/{orphan.pid}")     # killed and reaped, long before its minute
        assert all(process.poll() is None for process in own)
    pool.close()
    assert all(process.poll() is not None for process in own)
