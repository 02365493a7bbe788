"""The game helpers: real keys and clicks on the virtual screen, touching by
boxes, sounds on the null device, timers on a controlled clock, and the
turtle moves checked by their geometry and on the window's pixels."""
import json
import math
import os
import pathlib
import random
import shutil
import subprocess
import sys
import time
import traceback
import wave

import pytest
from direct.showbase.DirectObject import DirectObject
from panda3d.core import ClockObject, GeomVertexReader, LPoint3, LVector3

import tavik.game as game
from conftest import run_python
from helpers import from_above, grab, on_screen, pixels_of
from tavik.extras import (after, circle, dt, every, fill, home, keyDown, lookFrom, onClick, onKey, onKeyUp,
                          playSound, touching, touchingAny, writeAt)
from tavik.tavik import Pen

ROOT = pathlib.Path(__file__).resolve().parent.parent
TESTS = pathlib.Path(__file__).resolve().parent
DEADLINE = 30   # seconds: generous, the machine is shared
RED = (255, 0, 0)
YELLOW = (255, 255, 0)


@pytest.fixture
def handles():
    """Handles the test made; every one is stopped afterwards."""
    made = []
    yield made
    for handle in made:
        handle.stop()


@pytest.fixture(autouse=True)
def camera_as_found(app, step):
    controller = app.camera_controller
    saved = (controller.theta, controller.phi, controller.radius, LPoint3(controller.target_pos))
    yield
    controller.mouse_down = controller.right_mouse_down = False
    controller.theta, controller.phi, controller.radius, controller.target_pos = saved
    controller.update_camera_position()
    step(2)


def step_until(step, condition):
    """Runs frames until `condition()` holds; False if it never does within the deadline."""
    deadline = time.monotonic() + DEADLINE
    while time.monotonic() < deadline:
        if condition():
            return True
        step()
    return condition()


def xdotool(*arguments):
    subprocess.run(["xdotool", *arguments], check=True, timeout=DEADLINE)


def drag(window, step, pixels):
    """Holds the left button in the middle of the window and drags it `pixels` to the right."""
    xdotool("mousemove", "--window", window, "500", "375")
    step(2)
    xdotool("mousedown", "1")
    step(2)
    xdotool("mousemove", "--window", window, str(500 + pixels), "375")
    step(2)
    xdotool("mouseup", "1")


@pytest.fixture
def window(app, step):
    """The application's window, focused, so that xdotool's keys go to it."""
    identifier = str(app.win.getWindowHandle().getIntHandle())
    xdotool("windowfocus", "--sync", identifier)
    step(2)
    yield identifier
    for key in ("Left", "Right", "Up", "Down", "space", "shift", "a"):
        xdotool("keyup", key)
    step(2)


# ---- keys ----------------------------------------------------------------------

@pytest.mark.parametrize("name, key", [("left", "Left"), ("arrow_left", "Left"), ("左", "Left"), ("右", "Right"),
                                       ("上", "Up"), ("下", "Down"), ("space", "space"), ("空格", "space"),
                                       ("a", "a"), ("A", "a"), ("5", "5"), ("shift", "shift"), ("enter", "Return"),
                                       ("回车", "Return"), ("f1", "F1")])
def test_key_down_is_true_exactly_while_the_key_is_held(app, step, window, name, key):
    assert keyDown(name) is False
    xdotool("keydown", key)
    assert step_until(step, lambda: keyDown(name))
    step(3)
    assert keyDown(name) is True
    xdotool("keyup", key)
    assert step_until(step, lambda: not keyDown(name))


def test_key_down_read_inside_app_update_moves_a_model(app, step, window):
    car = app.gm("car")
    moves = []

    def update():
        if keyDown("right"):
            car.setX(car.getX() + 1)
            moves.append(1)
    app.update = update
    try:
        step(3)
        assert car.getX() == 0
        xdotool("keydown", "Right")
        assert step_until(step, lambda: len(moves) >= 5)
        xdotool("keyup", "Right")
        assert step_until(step, lambda: not keyDown("right"))
        held = car.getX()
        step(5)
        assert car.getX() == held == len(moves) >= 5
    finally:
        app.update = None
        car.removeNode()


@pytest.mark.parametrize("name", ["space", "空格", "SPACE", " space "])
def test_on_key_calls_once_per_press_and_on_key_up_once_per_release(app, step, window, handles, name):
    events = []
    handles.append(onKey(name, lambda: events.append("down")))
    handles.append(onKeyUp(name, lambda: events.append("up")))
    xdotool("keydown", "space")
    assert step_until(step, lambda: events == ["down"])
    step(10)  # held: no more presses
    assert events == ["down"]
    xdotool("keyup", "space")
    assert step_until(step, lambda: events == ["down", "up"])
    xdotool("key", "space")
    assert step_until(step, lambda: events == ["down", "up", "down", "up"])


def test_on_key_fires_while_shift_is_held_and_other_keys_do_not_fire_it(app, step, window, handles):
    presses = []
    handles.append(onKey("a", lambda: presses.append("a")))
    handles.append(onKey("b", lambda: presses.append("b")))
    xdotool("keydown", "shift")
    xdotool("key", "a")
    xdotool("keyup", "shift")
    xdotool("key", "c", "b")
    assert step_until(step, lambda: presses == ["a", "b"])


def test_several_functions_on_one_key_all_run_in_order_and_stop_stops_one(app, step, window, handles):
    calls = []
    first = onKey("up", lambda: calls.append(1))
    second = onKey("上", lambda: calls.append(2))
    handles.extend([first, second])
    xdotool("key", "Up")
    assert step_until(step, lambda: calls == [1, 2])
    first.stop()
    first.stop()
    assert not first.running and second.running
    xdotool("key", "Up")
    assert step_until(step, lambda: calls == [1, 2, 2])


def test_keys_leave_the_learners_own_accept_and_the_orbit_camera_working(app, step, window, handles):
    own, helper = [], []
    listener = DirectObject()
    listener.accept("arrow_left", lambda: own.append(1))
    handles.append(onKey("left", lambda: helper.append(1)))
    try:
        xdotool("key", "Left")
        assert step_until(step, lambda: own == [1] and helper == [1])
    finally:
        listener.ignoreAll()
    controller = app.camera_controller
    theta = controller.theta
    drag(window, step, 50)
    assert step_until(step, lambda: not controller.mouse_down)
    assert controller.theta == pytest.approx(theta + 10, abs=1)


def test_a_learners_error_in_a_key_function_comes_out_unchanged(app, step, window, handles):
    def jump():
        return 1 / 0
    handles.append(onKey("space", jump))
    xdotool("key", "space")
    with pytest.raises(ZeroDivisionError) as raised:
        step_until(step, lambda: False)
    assert "jump" in [frame.name for frame in traceback.extract_tb(raised.value.__traceback__)]


@pytest.mark.parametrize("helper", [keyDown, lambda name: onKey(name, print), lambda name: onKeyUp(name, print)])
@pytest.mark.parametrize("name", ["lft", "arrow left", "spacebar", "", "左边", "ab"])
def test_an_unknown_key_name_raises_a_chinese_value_error_listing_the_valid_ones(name, helper):
    with pytest.raises(ValueError) as raised:
        helper(name)
    message = str(raised.value)
    assert "不认识按键" in message and repr(name) in message
    for valid in ["left", "space", "左", "空格", "a 到 z", "0 到 9", "arrow_left"]:
        assert valid in message


def test_a_misspelt_key_gets_a_suggestion():
    with pytest.raises(ValueError, match='你是不是想写 "left"'):
        keyDown("lefft")


@pytest.mark.parametrize("name", [None, 1, ["left"]])
def test_a_key_name_that_is_not_text_raises_a_chinese_type_error(name):
    with pytest.raises(TypeError, match="按键名要是文字"):
        keyDown(name)


@pytest.mark.parametrize("function, hint", [(None, "不要加括号"), (5, "int")])
def test_a_key_function_that_cannot_be_called_raises_a_chinese_type_error(function, hint):
    with pytest.raises(TypeError, match=hint):
        onKey("space", function)


# ---- clicking the ground -------------------------------------------------------

@pytest.fixture
def top_view(app, step):
    """A view from straight above the origin, 20 away, without the axis model."""
    with from_above(app, 20):
        step(2)
        yield


def click_at(window, x, y):
    xdotool("mousemove", "--window", window, str(round(x)), str(round(y)))
    xdotool("click", "1")


@pytest.mark.parametrize("point", [(3, 2), (-4, 1.5), (0, 0), (6, -5)])
def test_on_click_gives_the_ground_point_under_the_pointer(app, step, window, handles, top_view, point):
    clicked = []
    handles.append(onClick(lambda x, y, z: clicked.append((x, y, z))))
    x, y = on_screen(app, (*point, 0))
    click_at(window, x, y)
    assert step_until(step, lambda: clicked)
    assert len(clicked) == 1
    (gx, gy, gz), = clicked
    assert gz == 0 and all(isinstance(value, float) for value in clicked[0])
    # A pixel is about 0.015 units at this distance.
    assert (gx, gy) == pytest.approx(point, abs=0.05)


def test_on_click_on_a_slanted_view_hits_the_ground_where_the_pixel_shows_it(app, step, window, handles):
    controller = app.camera_controller
    controller.target_pos = LPoint3(2, 3, 0)
    controller.theta, controller.phi, controller.radius = 30, 60, 25
    controller.update_camera_position()
    step(2)
    clicked = []
    handles.append(onClick(lambda x, y, z: clicked.append((x, y, z))))
    click_at(window, *on_screen(app, (5, -1, 0)))
    assert step_until(step, lambda: clicked)
    assert clicked[0] == pytest.approx((5, -1, 0), abs=0.1)


@pytest.fixture
def releases():
    """Counts the engine's own "mouse1-up" events, to know when a click has been handled."""
    seen = []
    listener = DirectObject()
    listener.accept("mouse1-up", lambda: seen.append(1))
    yield seen
    listener.ignoreAll()


def test_a_click_on_the_sky_calls_nothing(app, step, window, handles, releases):
    clicked = []
    handles.append(onClick(lambda x, y, z: clicked.append((x, y, z))))
    lookFrom(app, "front")
    step(2)
    click_at(window, 500, 20)   # above the horizon
    assert step_until(step, lambda: releases)
    step(2)
    assert clicked == []


def test_dragging_the_camera_is_not_a_click(app, step, window, handles, top_view, releases):
    clicked = []
    handles.append(onClick(lambda x, y, z: clicked.append((x, y, z))))
    theta = app.camera_controller.theta
    drag(window, step, 60)
    assert step_until(step, lambda: releases)
    step(2)
    assert clicked == [] and app.camera_controller.theta != theta


def test_a_stopped_click_function_is_not_called(app, step, window, handles, top_view, releases):
    clicked = []
    handle = onClick(lambda x, y, z: clicked.append(x))
    handle.stop()
    click_at(window, 500, 375)
    assert step_until(step, lambda: releases)
    step(2)
    assert clicked == []


# ---- touching ------------------------------------------------------------------

@pytest.fixture
def models(app):
    """Makes models of the kit that are removed after the test."""
    made = []

    def make(name="ball", pos=(0, 0, 0)):
        model = app.gm(name)
        model.setPos(*pos)
        made.append(model)
        return model
    yield make
    for model in made:
        model.removeNode()


@pytest.mark.parametrize("x, expected", [(0.3, True), (1.0, True), (1.0001, True), (1.01, False), (5, False),
                                         (-1.0, True), (-1.2, False)])
def test_touching_two_balls_overlapping_touching_and_apart(models, x, expected):
    # A ball's box is 1 across in x: at x = 1 the boxes share a face.
    first, second = models(), models(pos=(x, 0, 0))
    assert touching(first, second) is expected
    assert touching(second, first) is expected


def test_touching_follows_a_model_that_moves(models):
    first, second = models(), models(pos=(3, 0, 0))
    assert not touching(first, second)
    second.setX(0.8)
    assert touching(first, second)
    first.setZ(2)
    assert not touching(first, second)
    holder = first.getParent().attachNewNode("holder")
    first.wrtReparentTo(holder)
    holder.setZ(-2)             # the parent moving is seen too
    assert touching(first, second)
    first.wrtReparentTo(holder.getParent())
    holder.removeNode()


def test_touching_sees_a_part_of_a_model_that_moved(app, models):
    group = app.render.attachNewNode("group")
    part = models()
    part.reparentTo(group)
    other = models(pos=(4, 0, 0))
    assert not touching(group, other)
    part.setX(3.5)
    assert touching(group, other)
    group.removeNode()


def test_touching_a_pen_by_what_it_has_drawn(app, models, make_pen):
    pen = make_pen()
    ball = models(pos=(5, 0, 1))
    pen.moveTo(0, 0, 0)
    pen.lineTo(0, 0, 3)
    pen.update()
    assert not touching(pen, ball)
    pen.moveTo(5, -2, 1)
    pen.lineTo(5, 2, 1)    # straight through the ball
    pen.update()
    assert touching(pen, ball) and touching(ball, pen.np)
    pen.clear()
    assert not touching(pen, ball)


def test_what_is_hidden_removed_or_off_the_scene_touches_nothing(app, models):
    first, second = models(), models(pos=(0.5, 0, 0))
    assert touching(first, second)
    second.hide()
    assert not touching(first, second)
    second.show()
    second.detachNode()
    assert not touching(first, second)
    second.reparentTo(app.render)
    assert touching(first, second)
    second.removeNode()
    assert not touching(first, second)


def test_touching_any_returns_the_first_touched_in_list_order_or_none(models):
    player = models()
    far, near, nearer = models(pos=(9, 0, 0)), models(pos=(0.9, 0, 0)), models(pos=(0, 0.5, 0))
    assert touchingAny(player, [far, near, nearer]) is near
    assert touchingAny(player, [far, nearer, near]) is nearer
    assert touchingAny(player, [far]) is None
    assert touchingAny(player, []) is None
    assert touchingAny(player, [player, far]) is None   # not itself
    assert touchingAny(player, (model for model in [far, near])) is near


@pytest.mark.parametrize("bad", [None, "ball", 1])
def test_touching_any_names_the_item_that_is_not_a_model(models, bad):
    far = models(pos=(9, 0, 0))
    with pytest.raises(TypeError, match=f"列表里第 2 个是 {type(bad).__name__}"):
        touchingAny(models(), [far, bad, far])


@pytest.mark.parametrize("a, b", [(None, "ball"), (3, "ball"), ("ball", "car")])
def test_touching_wants_models_or_pens(models, a, b):
    with pytest.raises(TypeError, match="模型"):
        touching(a if a != "ball" else models(), b if b != "ball" else models())


def plain_box(path, render):
    low, high = path.getTightBounds(render)
    return low, high


def plain_overlap(first, second, tolerance=game.TOUCH_TOLERANCE):
    (low1, high1), (low2, high2) = first, second
    return all(low1[axis] <= high2[axis] + tolerance and low2[axis] <= high1[axis] + tolerance for axis in range(3))


def test_touching_matches_a_plain_rendition_on_the_tight_boxes(app, models):
    chooser = random.Random(21)
    names = ["ball", "car", "star", "tree"]
    placed = [models(chooser.choice(names), (chooser.uniform(-4, 4), chooser.uniform(-4, 4), chooser.uniform(-1, 1)))
              for _ in range(20)]
    for model in placed:
        model.setScale(chooser.uniform(0.5, 2))
    decided = [(touching(a, b), plain_overlap(plain_box(a, app.render), plain_box(b, app.render)))
               for a in placed for b in placed if a != b]
    assert all(mine == plain for mine, plain in decided)
    assert 20 < sum(plain for _, plain in decided) < len(decided) - 20   # both answers occur


def test_turned_models_touch_at_least_whenever_their_tight_boxes_do(app, models):
    chooser = random.Random(7)
    placed = [models("car", (chooser.uniform(-5, 5), chooser.uniform(-5, 5), 0)) for _ in range(15)]
    for model in placed:
        model.setH(chooser.uniform(0, 360))
    for a in placed:
        for b in placed:
            if a != b and plain_overlap(plain_box(a, app.render), plain_box(b, app.render)):
                assert touching(a, b)


def test_touching_any_agrees_with_touching_over_a_hundred_models(models):
    chooser = random.Random(3)
    player = models("car")
    others = [models("ball", (chooser.uniform(-10, 10), chooser.uniform(-10, 10), 0)) for _ in range(100)]
    for _ in range(5):
        expected = next((other for other in others if touching(player, other)), None)
        assert touchingAny(player, others) is expected
        player.setPos(chooser.uniform(-10, 10), chooser.uniform(-10, 10), 0)


# ---- sound ---------------------------------------------------------------------

@pytest.mark.parametrize("name", game.SOUND_NAMES)
def test_every_built_in_sound_plays_silently_on_the_null_device(app, step, name):
    assert playSound(name) is None
    assert playSound(name.upper(), volume=0.2) is None
    step()


@pytest.mark.parametrize("name", game.SOUND_NAMES)
def test_the_built_in_sounds_are_short_audible_wav_files(name):
    path = pathlib.Path(game.__file__).parent / "sounds" / f"{name}.wav"
    with wave.open(str(path)) as sound:
        assert (sound.getnchannels(), sound.getsampwidth(), sound.getframerate()) == (1, 2, 22050)
        seconds = sound.getnframes() / sound.getframerate()
        samples = memoryview(sound.readframes(sound.getnframes())).cast("h")
    assert 0.1 < seconds < 1
    assert max(abs(sample) for sample in samples) > 0.3 * 32767


def test_the_sounds_are_made_by_the_projects_own_tool(tmp_path):
    result = subprocess.run([sys.executable, str(ROOT / "tools" / "make_sounds.py"), "-o", str(tmp_path)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    installed = pathlib.Path(game.__file__).parent / "sounds"
    assert sorted(path.name for path in tmp_path.iterdir()) == sorted(f"{name}.wav" for name in game.SOUND_NAMES)
    for made in tmp_path.iterdir():
        assert made.read_bytes() == (installed / made.name).read_bytes(), made.name


def test_a_wav_file_plays_by_path_and_by_name_beside_the_program(app, tmp_path, monkeypatch):
    mine = tmp_path / "我的声音.wav"
    shutil.copy(pathlib.Path(game.__file__).parent / "sounds" / "ding.wav", mine)
    assert playSound(mine) is None
    assert playSound(str(mine), 0.5) is None
    monkeypatch.chdir(tmp_path)
    assert playSound("我的声音.wav") is None


@pytest.mark.parametrize("sound, error, words", [
    ("dingg", ValueError, ['"ding"', '"coin"', ".wav", ".ogg"]),
    ("music.mp3", ValueError, [".wav"]),
    ("no-such-file.wav", FileNotFoundError, ["找不到", "no-such-file.wav"]),
    (5, TypeError, ["声音的名字"]),
    (None, TypeError, ["声音的名字"]),
])
def test_a_sound_that_is_not_there_says_so_in_chinese(app, sound, error, words):
    with pytest.raises(error) as raised:
        playSound(sound)
    assert all(word in str(raised.value) for word in words)


@pytest.mark.parametrize("volume", [-0.1, 1.5, "loud", None, math.nan, True])
def test_a_volume_outside_zero_to_one_is_refused(app, volume):
    with pytest.raises(ValueError, match="volume"):
        playSound("ding", volume)


def test_without_a_sound_device_the_engines_own_audio_library_plays_silently():
    result = run_python("""
        from tavik.tavik import *
        from tavik.extras import *
        app = TAVIK()
        playSound("ding")
        playSound("win", 0.5)
        app.taskMgr.step()
        print("played")
    """, prc="audio-library-name p3openal_audio\nsync-video #f\nwin-size 1000 750\n")
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split()[-1] == "played"


# ---- time ----------------------------------------------------------------------

@pytest.fixture
def fixed_clock(app, step):
    """The engine's clock at exactly 60 frames a second, whatever the machine does."""
    clock = ClockObject.getGlobalClock()
    mode = clock.getMode()
    clock.setMode(ClockObject.MNonRealTime)
    clock.setFrameRate(60)
    step()
    yield clock
    clock.setMode(mode)


def frame_counter(clock, calls):
    return lambda: calls.append(clock.getFrameCount())


def test_every_calls_again_and_again_at_its_period_until_stopped(app, step, fixed_clock, handles):
    calls = []
    start = fixed_clock.getFrameCount()
    handle = every(0.5, frame_counter(fixed_clock, calls))
    handles.append(handle)
    # A frame's tasks see the time the frame started: the 31st frame from now
    # is the first to start half a second later.
    step(30)
    assert calls == []
    step(1)
    assert calls == [start + 30]
    step(60)
    assert calls == [start + 30, start + 60, start + 90]
    handle.stop()
    step(60)
    assert len(calls) == 3 and not handle.running
    assert not [task for task in app.taskMgr.getTasks() if task.name.startswith("tavikTimer")]


def test_after_calls_once_and_a_stop_before_it_is_due_cancels_it(app, step, fixed_clock, handles):
    calls, cancelled = [], []
    start = fixed_clock.getFrameCount()
    once = after(1, frame_counter(fixed_clock, calls))
    never = after(1, frame_counter(fixed_clock, cancelled))
    handles.extend([once, never])
    step(30)
    never.stop()
    step(90)
    assert calls == [start + 60] and cancelled == []
    assert not once.running
    assert not [task for task in app.taskMgr.getTasks() if task.name.startswith("tavikTimer")]


def test_after_zero_seconds_calls_at_the_next_frame(step, fixed_clock, handles):
    calls = []
    handles.append(after(0, lambda: calls.append(1)))
    step()
    assert calls == [1]


def test_a_timer_after_a_long_pause_calls_once_not_once_per_missed_period(step, fixed_clock, handles):
    calls = []
    handles.append(every(0.1, lambda: calls.append(1)))
    fixed_clock.setFrameRate(0.5)    # one frame of two seconds
    step()
    fixed_clock.setFrameRate(60)
    step()
    assert calls == [1]
    step(6)
    assert calls == [1, 1]


def test_dt_is_the_frame_time_and_at_most_a_tenth_of_a_second(step, fixed_clock):
    step()
    assert dt() == pytest.approx(1 / 60)
    fixed_clock.setFrameRate(2)
    step()
    assert dt() == 0.1
    fixed_clock.setFrameRate(60)
    step()
    assert dt() == pytest.approx(1 / 60)


def test_a_learners_error_in_a_timer_comes_out_unchanged(step, fixed_clock, handles):
    def countdown():
        raise KeyError("时间")
    handles.append(after(0.1, countdown))
    with pytest.raises(KeyError) as raised:
        step(10)
    assert "countdown" in [frame.name for frame in traceback.extract_tb(raised.value.__traceback__)]


@pytest.mark.parametrize("helper, seconds, error", [(every, 0, ValueError), (every, -1, ValueError),
                                                    (after, -1, ValueError), (every, "1", TypeError),
                                                    (after, math.inf, TypeError), (every, None, TypeError)])
def test_timers_want_a_sensible_number_of_seconds(helper, seconds, error):
    with pytest.raises(error, match="秒"):
        helper(seconds, print)


def test_the_helpers_that_need_the_application_say_so_before_there_is_one():
    result = run_python("""
        from tavik.extras import *
        for call in [lambda: keyDown("left"), lambda: onKey("space", print), lambda: onClick(print),
                     lambda: every(1, print), lambda: playSound("ding")]:
            try:
                call()
            except RuntimeError as error:
                print(error)
    """)
    assert result.returncode == 0, result.stderr[-3000:]
    lines = result.stdout.splitlines()
    assert len(lines) == 5 and all("TAVIK()" in line for line in lines)
    assert lines[0].startswith("keyDown 要在 app = TAVIK() 之后")


# ---- circle, fill, writeAt, home ------------------------------------------------

def built_points(pen):
    """Every vertex of the pen's latest build, in the pen's coordinates."""
    points = []
    for geom in pen.lineNode.node().getGeoms():
        reader = GeomVertexReader(geom.getVertexData(), "vertex")
        while not reader.isAtEnd():
            points.append(LPoint3(reader.getData3()))
    return points


@pytest.mark.parametrize("radius, extent, centre, end, rotZ", [
    (2, 360, (0, 2, 0), (0, 0, 0), 0),
    (2, 90, (0, 2, 0), (2, 2, 0), 90),
    (2, 180, (0, 2, 0), (0, 4, 0), 180),
    (-3, 90, (0, -3, 0), (3, -3, 0), -90),
    (2, -90, (0, 2, 0), (-2, 2, 0), -90),
])
def test_circle_on_a_level_pen_goes_round_its_left_like_the_turtle(make_pen, radius, extent, centre, end, rotZ):
    pen = make_pen()
    circle(pen, radius, extent)
    pen.update()
    points = built_points(pen)
    assert len(points) >= abs(extent) / game.CIRCLE_STEP
    for point in points:
        assert (point - LPoint3(*centre)).length() == pytest.approx(abs(radius), abs=1e-5)
    assert tuple(pen.getPos()) == pytest.approx(end, abs=1e-5)
    assert pen.rotZ == pytest.approx(rotZ, abs=1e-6) and pen.rotY == pytest.approx(90)


def test_circle_keeps_to_the_plane_of_a_tilted_pen(make_pen):
    pen = make_pen()
    pen.moveTo(1, 1, 1)
    pen.dUp(90)                # heading +Z: left of it is +Y
    circle(pen, 2)
    pen.update()
    for point in built_points(pen):
        assert point.x == pytest.approx(1, abs=1e-5)
        assert (point - LPoint3(1, 3, 1)).length() == pytest.approx(2, abs=1e-5)
    assert tuple(pen.getPos()) == pytest.approx((1, 1, 1), abs=1e-5)
    assert tuple(game._heading(pen)) == pytest.approx((0, 0, 1), abs=1e-6)


def test_half_a_circle_on_a_slanted_pen_ends_heading_back(make_pen):
    pen = make_pen()
    pen.dUp(30)
    ahead = game._heading(pen)
    circle(pen, 1, 180)
    assert tuple(game._heading(pen)) == pytest.approx(tuple(-ahead), abs=1e-6)
    assert LVector3(*pen.getPos()).length() == pytest.approx(2, abs=1e-5)


def test_a_circle_shows_as_a_ring_on_the_screen(app, step, make_pen, top_view):
    pen = make_pen()
    pen.color((1, 0, 0, 1))
    pen.size(3)
    pen.moveTo(0, -3, 0)
    circle(pen, 3)
    pen.update()
    step(2)
    red = pixels_of(grab(app), RED)
    cx, cy = on_screen(app, (0, 0, 0))
    edge, _ = on_screen(app, (3, 0, 0))
    radius = edge - cx
    distances = [math.hypot(x - cx, y - cy) for x, y in red]
    assert len(red) > 4 * radius
    assert all(abs(distance - radius) < 4 for distance in distances)
    # all the way round: every eighth of the ring has some red
    assert len({int((math.atan2(y - cy, x - cx) + math.pi) / (math.pi / 4)) % 8 for x, y in red}) == 8


def triangles_of(shape):
    geom = shape.node().getGeom(0)
    reader = GeomVertexReader(geom.getVertexData(), "vertex")
    vertices = []
    while not reader.isAtEnd():
        vertices.append(LPoint3(reader.getData3()))
    primitive = geom.getPrimitive(0).decompose()
    return [tuple(vertices[primitive.getVertex(index + corner)] for corner in range(3))
            for index in range(0, primitive.getNumVertices(), 3)]


def area(triangle):
    a, b, c = triangle
    return (b - a).cross(c - a).length() / 2


def facing(triangle):
    a, b, c = triangle
    return (b - a).cross(c - a).normalized()


def test_fill_of_points_covers_the_polygon_once_from_each_side(make_pen):
    pen = make_pen()
    shape = fill(pen, (1, 1, 0), [(0, 0, 0), (4, 0, 0), (4, 3, 0), (2, 5, 0), (0, 3, 0)])
    assert shape.getParent() == pen.np
    triangles = triangles_of(shape)
    up = [triangle for triangle in triangles if facing(triangle).z > 0.99]
    down = [triangle for triangle in triangles if facing(triangle).z < -0.99]
    assert len(up) == len(down) == len(triangles) // 2
    assert sum(area(triangle) for triangle in up) == pytest.approx(12 + 4)
    assert sum(area(triangle) for triangle in down) == pytest.approx(12 + 4)
    assert tuple(shape.getColor()) == pytest.approx((1, 1, 0, 1))
    pen.clear()
    assert shape.getParent().isEmpty()


def test_with_fill_fills_what_the_pen_went_round(make_pen):
    pen = make_pen()
    with fill(pen, (0, 0, 1)) as recording:
        circle(pen, 2)
    triangles = triangles_of(recording.node)
    steps = math.ceil(360 / game.CIRCLE_STEP)
    inscribed = steps * 4 * math.sin(2 * math.pi / steps) / 2
    assert sum(area(triangle) for triangle in triangles) == pytest.approx(2 * inscribed, rel=1e-5)
    assert "lineTo" not in pen.__dict__ and "moveTo" not in pen.__dict__


def test_with_fill_records_forward_moves_too(make_pen):
    pen = make_pen()
    with fill(pen, (0, 1, 0)) as recording:
        for _ in range(3):
            pen.forward(4, True)
            pen.dLeft(120)
    assert sum(area(triangle) for triangle in triangles_of(recording.node)) == pytest.approx(
        2 * math.sqrt(3) / 4 * 16, rel=1e-5)


def test_an_error_inside_with_fill_comes_out_and_fills_nothing(make_pen):
    pen = make_pen()
    with pytest.raises(ZeroDivisionError):
        with fill(pen, (1, 0, 0)):
            pen.forward(3, True)
            pen.dLeft(1 / 0)
    assert pen.np.find("fill").isEmpty() and "lineTo" not in pen.__dict__


@pytest.mark.parametrize("points", [[], [(0, 0, 0)], [(0, 0, 0), (1, 0, 0)], [(0, 0, 0), (1, 0, 0), (2, 0, 0)]])
def test_fill_of_too_few_points_or_a_line_fills_nothing(make_pen, points):
    pen = make_pen()
    assert fill(pen, (1, 0, 0), points) is None
    assert pen.np.getNumChildren() == 0


@pytest.mark.parametrize("color, points, message", [
    ("red", None, "颜色"), ((1, 0), None, "颜色"), ((1, 0, 0), [(0, 0)], "points"), ((1, 0, 0), 5, "points"),
])
def test_fill_with_bad_arguments_says_what_to_change(make_pen, color, points, message):
    with pytest.raises(ValueError, match=message):
        fill(make_pen(), color, points)


def test_a_filled_shape_shows_from_above_and_from_below_with_its_outline(app, step, make_pen, top_view):
    pen = make_pen()
    pen.color((1, 0, 0, 1))
    pen.size(3)
    pen.moveTo(-3, -3, 0)
    with fill(pen, (1, 1, 0)):
        for _ in range(4):
            pen.forward(6, True)
            pen.dLeft(90)
    pen.update()
    step(2)
    image = grab(app)
    cx, cy = on_screen(app, (0, 0, 0))
    assert image.getpixel((round(cx), round(cy))) == pytest.approx(YELLOW, abs=10)
    corner = on_screen(app, (-3, 0, 0))    # the middle of the left side: the red outline
    assert [pixel for pixel in pixels_of(image, RED) if abs(pixel[0] - corner[0]) < 3 and abs(pixel[1] - corner[1]) < 3]
    controller = app.camera_controller
    controller.phi = 175                   # from below
    controller.update_camera_position()
    step(2)
    image = grab(app)
    cx, cy = on_screen(app, (0, 0, 0))
    assert image.getpixel((round(cx), round(cy))) == pytest.approx(YELLOW, abs=10)


def test_write_at_puts_text_at_the_pen_in_the_scene(app, make_pen):
    pen = make_pen()
    pen.np.setPos(10, 0, 0)        # the pen's container moved: the text follows it
    pen.moveTo(1, 2, 3)
    text = writeAt(app, pen, "你好", color=(0, 1, 0, 1), scale=0.5)
    assert tuple(text.getPos(app.render)) == pytest.approx((11, 2, 3))
    assert text.node().getText() == "你好" and text in app.textNodes
    assert text.getScale()[0] == pytest.approx(0.5)
    assert writeAt(app, pen, 42).node().getText() == "42"


def test_home_brings_the_pen_back_without_drawing(make_pen):
    pen = make_pen()
    pen.forward(5, True)
    pen.dLeft(40)
    pen.dUp(10)
    home(pen)
    assert tuple(pen.getPos()) == (0, 0, 0) and (pen.rotZ, pen.rotY) == (0, 90)
    pen.forward(1, True)
    pen.update()
    drawn = [coordinate for point in built_points(pen) for coordinate in point]
    assert drawn == pytest.approx([0, 0, 0, 5, 0, 0, 0, 0, 0, 1, 0, 0], abs=1e-6)


@pytest.mark.parametrize("helper, arguments", [(circle, (1,)), (fill, ((1, 0, 0),)), (home, ())])
def test_the_turtle_moves_want_a_pen(app, helper, arguments):
    with pytest.raises(TypeError, match="画笔"):
        helper(app, *arguments)


@pytest.mark.parametrize("radius, extent", [("3", 360), (2, None), (math.nan, 360)])
def test_circle_wants_numbers(make_pen, radius, extent):
    with pytest.raises(TypeError, match="数字"):
        circle(make_pen(), radius, extent)


# ---- the games of examples/ -----------------------------------------------------

GAMES = {
    "13_star_car.py": {"frames": 120, "keys": [[5, "keydown", "Up"], [65, "keyup", "Up"],
                                                 [70, "keydown", "Left"], [100, "keyup", "Left"]]},
    "14_dodge_balls.py": {"frames": 400, "keys": [[5, "keydown", "Left"], [45, "keyup", "Left"]]},
    "15_maze_race.py": {"frames": 40, "keys": [[5, "key", "Right"], [15, "key", "Right"], [25, "key", "Down"]]},
}


def play(game_file, plan, tmp_path):
    plan_file = tmp_path / "plan.json"
    plan_file.write_text(json.dumps(plan), encoding="utf-8")
    result = subprocess.run([sys.executable, str(TESTS / "game_driver.py"), str(ROOT / "examples" / game_file),
                             str(plan_file)], capture_output=True, text=True, timeout=300, cwd=tmp_path,
                            env=dict(os.environ))
    assert result.returncode == 0, result.stderr[-3000:]
    lines = [line for line in result.stdout.splitlines() if line.startswith("RESULT ")]
    assert len(lines) == 1, result.stdout[-2000:]
    return json.loads(lines[0][len("RESULT "):])


@pytest.mark.parametrize("game_file", list(GAMES))
def test_each_game_moves_the_player_and_scores_with_real_keys(game_file, tmp_path):
    outcome = play(game_file, GAMES[game_file], tmp_path)
    before, after_play = outcome["before"], outcome["after"]
    moved = math.dist(before["position"], after_play["position"])
    assert moved > 1.5, outcome
    assert after_play["score"] > before["score"] == 0, outcome


def test_the_car_drives_ahead_then_turns_left(tmp_path):
    outcome = play("13_star_car.py", GAMES["13_star_car.py"], tmp_path)["after"]
    # one second ahead at 8 a second, then half a second turning at 120 a second
    assert outcome["position"] == pytest.approx([0, 8, 0], abs=1e-3)
    assert outcome["heading"] == pytest.approx(60, abs=1e-3)
    assert outcome["score"] == 1


def test_the_maze_player_walks_a_cell_a_key_and_not_through_walls(tmp_path):
    outcome = play("15_maze_race.py", GAMES["15_maze_race.py"], tmp_path)["after"]
    assert outcome["position"] == pytest.approx([3, -1, 0])    # two cells right; the wall below stopped it
    assert outcome["score"] == 1
