"""One learner program inside its own process, started by `tavik.classroom.runner`.

    python -P -m tavik.classroom.child SCRIPT --channel FD [--frames N] [--screenshot] [--gif] ...

Before the program runs, the kit's classes get thin wrappers on their class
attributes that only take notes (was `run()` called, did a pen build what it
drew, did a started mover ever step, which `gm` names failed, where `update`
was assigned); the kit itself is not changed. The program's `run()` shows the
requested frames and returns. Whatever happens, the pictures are taken and
sent with an `Observed` record (status, a structured error with the learner's
own frames, and the notes) to the parent over the pipe it handed down (see
`tavik.classroom.channel`). The program itself is compiled here, never in the
parent. Engine notices go to a file of their own, so the program's stdout and
stderr hold only what it printed.
"""
import gc

# The engine's and the kit's modules make a great many objects that live as long as the process:
# collecting while they are imported is wasted work (a few percent of a small program's run).
# The collector comes back, with all of them set aside, just before the program starts.
gc.disable()

import argparse
import builtins
import difflib
import io
import math
import os
import re
import signal
import struct
import sys
import threading
import time
import traceback
import zlib
import _thread

from tavik import mistakes
from tavik.classroom import channel, loaders
from tavik.classroom.records import ERROR, TIMEOUT, Observed
from tavik.classroom.stillness import Stillness, unfinished_drawing

MAX_GIF_FRAMES = 60
GIF_WIDTH = 500
SHORTEST_GIF_FRAME = 0.02   # browsers play shorter GIF frames far too slowly
WATCHDOG_REPEAT = 0.5
SETTLE_FRAMES = 3           # the window opens in the first frame; texts turn to the camera in the next
FRAME_RATE = 60             # frames a second of the program's time, when the frames are counted


class TimeUp(BaseException):
    """Raised in the program's thread when its time is over (or the runner stops it)."""


class FramesDone(BaseException):
    """Raised inside the program's `run()` once the frames have been shown.

    A BaseException, so that a learner's `except Exception:` cannot swallow it.
    """


class Notes:
    """What the wrappers saw while the program ran."""

    def __init__(self, script):
        self.script = script
        self.run_line = None
        self.frames = 0
        self.frame_seconds = []
        self.pens = {}          # id -> [pen, line of the first stroke not built yet]
        self.all_pens = []      # every pen the program made, for the scene record
        self.loads = []         # (name, node) of every model the program loaded
        self.strokes_in_frame = 0   # lines and dots the program drew during the frame being shown
        self.kit_tasks = None       # names of the tasks running once TAVIK() was made
        self.movers = {}        # id -> [mover, start line, frame at start, updates since start]
        self.gm_failures = []   # (name, line)
        self.update_assignment = None   # (line, value)
        self.grid_errors = {}   # id(exception) -> facts about the grid
        self.stopping = False
        self.timed_out = False
        self.running = False    # inside the frames
        self.last_stop = float("-inf")
        self.stillness = Stillness()
        self.picture_follows = False    # a screenshot is taken after the frames (it draws the scene itself)

    def learner_line(self):
        """The line of the learner's file that is running now (innermost)."""
        frame = sys._getframe(1)
        while frame is not None:
            if os.path.normcase(frame.f_code.co_filename) == self.script_case:
                return frame.f_lineno
            frame = frame.f_back
        return None

    @property
    def script_case(self):
        return os.path.normcase(self.script)


# ---- instrumentation ---------------------------------------------------------

def wrap(cls, name, before=None, after=None, on_error=None):
    original = cls.__dict__[name] if name in cls.__dict__ else getattr(cls, name)

    def wrapper(self, *args, **kwargs):
        if before is not None:
            before(self, args, kwargs)
        try:
            value = original(self, *args, **kwargs)
        except Exception as error:
            if on_error is not None:
                on_error(self, args, kwargs, error)
            raise
        if after is not None:
            after(self, args, kwargs, value)
        return value

    wrapper.__name__ = getattr(original, "__name__", name)
    wrapper.__qualname__ = getattr(original, "__qualname__", name)
    wrapper.__doc__ = getattr(original, "__doc__", None)
    wrapper.__wrapped__ = original
    setattr(cls, name, wrapper)
    return original


def instrument(notes, frames, recorder, unseen=False):
    import tavik.tavik as kit
    from direct.task import Task

    def stroke(pen, args, kwargs):
        if notes.running:
            notes.strokes_in_frame += 1
        entry = notes.pens.setdefault(id(pen), [pen, None])
        if entry[1] is None:
            entry[1] = notes.learner_line()

    def built(pen, args, kwargs, value):
        notes.pens.setdefault(id(pen), [pen, None])[1] = None

    def made(pen, args, kwargs, value):
        notes.all_pens.append(pen)

    wrap(kit.Pen, "__init__", after=made)
    wrap(kit.Pen, "lineTo", before=stroke)
    wrap(kit.Pen, "dot", before=stroke)
    wrap(kit.Pen, "update", after=built)
    wrap(kit.Pen, "clear", after=built)

    def started(mover, args, kwargs, value):
        notes.movers[id(mover)] = [mover, notes.learner_line(), notes.frames, 0]

    def stepped(mover, args, kwargs):
        entry = notes.movers.get(id(mover))
        if entry is not None and notes.running:     # a call made once, before any frame, moves nothing visible
            entry[3] += 1

    wrap(kit.PathMoveCtrl, "start", after=started)
    wrap(kit.PathMoveCtrl, "update", before=stepped)

    def loaded(app, args, kwargs, value):
        name = args[0] if args else kwargs.get("model_name")
        if value is None:
            notes.gm_failures.append((name, notes.learner_line()))
        else:
            notes.loads.append((name, value))

    def loaded_file(app, args, kwargs, value):
        notes.loads.append((args[0] if args else kwargs.get("fn"), value))

    def made_app(app, args, kwargs, value):
        notes.kit_tasks = {task.name for task in app.taskMgr.getAllTasks()}

    wrap(kit.TAVIK, "__init__", after=made_app)
    wrap(kit.TAVIK, "gm", after=loaded)
    wrap(kit.TAVIK, "cm", after=loaded_file)

    def outside(grid, args, kwargs, error):
        if isinstance(error, IndexError):
            try:
                size = (grid.getNumCols(), grid.getNumRows())
            except Exception:
                size = None
            notes.grid_errors[id(error)] = {"size": size, "cell": list(args[:2]) if len(args) >= 2 else None}

    for method in ("getNode", "setStartNode", "setEndNode", "setWalkable"):
        wrap(kit.AStar, method, on_error=outside)

    plain_setattr = kit.TAVIK.__setattr__

    def note_update(app, name, value):
        if name == "update":
            line = notes.learner_line()
            if line is not None:
                notes.update_assignment = (line, value)
        plain_setattr(app, name, value)

    kit.TAVIK.__setattr__ = note_update

    original_run = Task.TaskManager.run

    def run(manager):
        if notes.run_line is None:
            notes.run_line = notes.learner_line() or 0
        notes.running = True
        if frames is None:
            recorder.follow(manager)
            return original_run(manager)
        show_frames(builtins.base, frames, notes, recorder, unseen)
        raise FramesDone

    Task.TaskManager.run = run


def show_frames(app, count, notes, recorder, unseen=False):
    """Shows `count` frames, each 1/FRAME_RATE s of the program's time, however long it takes to make.

    `unseen`: the screen is a virtual one that nobody watches, so only the
    frames whose picture is used are drawn: the first (the window opens), the
    GIF's, the one the stillness check compares, and the last unless a
    screenshot draws it again anyway. The program's tasks run in every frame
    just the same, and drawing is most of a frame's cost in software.
    """
    count = max(count, 1)
    steady_clock()
    try:
        for index in range(1, count + 1):
            if unseen:
                show_window(app, index == 1 or recorder.keeps(index) or notes.stillness.wants(index, app)
                            or index == count and not notes.picture_follows)
            notes.strokes_in_frame = 0
            start = time.perf_counter()
            app.taskMgr.step()
            if window_shown(app):
                notes.frame_seconds.append(time.perf_counter() - start)
            notes.frames += 1
            recorder.frame(app, notes.frames)
            notes.stillness.frame(app, notes.frames)
            if notes.frames >= SETTLE_FRAMES and not recorder.wanted and nothing_moves(app, notes):
                break
    finally:
        show_window(app, True)


def steady_clock():
    """Every frame advances the program's clock by the same step, so that N frames show the same moment
    of an animation on a fast machine and a busy one."""
    from panda3d.core import ClockObject
    clock = ClockObject.getGlobalClock()
    clock.setMode(ClockObject.MNonRealTime)
    clock.setFrameRate(FRAME_RATE)


def show_window(app, shown):
    window = window_of(app)
    if window is not None and hasattr(window, "setActive"):
        window.setActive(shown)


def window_shown(app):
    window = window_of(app)
    return window is None or not hasattr(window, "isActive") or window.isActive()


def nothing_moves(app, notes):
    """True when no code of the program runs in the frames to come, so every later frame shows the same picture.

    Only the kit's and the engine's own tasks remain (the ones there once
    TAVIK() was made), no update hook is set and no interval plays: without
    a person at the mouse and keyboard nothing can change the scene any more.
    """
    if notes.kit_tasks is None or callable(getattr(app, "update", None)):
        return False
    if any(task.name not in notes.kit_tasks for task in app.taskMgr.getAllTasks()):
        return False
    intervals = sys.modules.get("direct.interval.IntervalManager")
    return intervals is None or intervals.ivalMgr.getNumIntervals() == 0



# ---- pictures ----------------------------------------------------------------

def window_of(app):
    return None if app is None else getattr(app, "win", None)


def pixels(app):
    """(width, height, RGB bytes, bottom row first) of what the window shows, or None.

    Right after the window opens or changes size the engine may not have a
    frame of the current size yet; rendering once more (no tasks run, so the
    program does not advance) gives it one.
    """
    window = window_of(app)
    if window is None:
        return None
    for _ in range(4):
        texture = window.getScreenshot()
        if texture is not None and texture.getXSize() == window.getXSize() and texture.getYSize() == window.getYSize():
            data = texture.getRamImageAs("RGB")
            if data:
                return texture.getXSize(), texture.getYSize(), bytes(data)
        app.graphicsEngine.renderFrame()
    return None


def grab(app):
    """The window's picture as a PIL image, or None."""
    shown = pixels(app)
    if shown is None:
        return None
    from PIL import Image
    width, height, data = shown
    return Image.frombuffer("RGB", (width, height), data, "raw", "RGB", 0, -1)


def png(width, height, data):
    """PNG bytes of RGB rows given bottom row first.

    Rows unfiltered and the fastest compression: a kit's flat-coloured scene
    packs as small as the image library's filtered rows would, in a fifth of
    the time.
    """
    stride = width * 3
    rows = b"".join(b"\0" + data[start:start + stride] for start in range((height - 1) * stride, -1, -stride))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 1)) + chunk(b"IEND", b""))


def seconds_per_frame(frame_seconds):
    """The program's typical frame time: the median, without the first frame,
    which also opens the window."""
    shown = frame_seconds[1:] or frame_seconds
    return sorted(shown)[len(shown) // 2] if shown else None


class Recorder:
    """Keeps every `every`-th frame, small, for the GIF."""

    def __init__(self, wanted, frames, every=None):
        self.wanted = wanted
        planned = frames or MAX_GIF_FRAMES * 4
        # the teacher's own choice holds; the frame cap below still bounds the GIF
        self.every = every or math.ceil(planned / MAX_GIF_FRAMES)
        self.images = []
        self.last_index = 0
        self.intervals = []     # between frames, when the engine's own loop runs
        self.last_time = None

    def keeps(self, index):
        """True when frame `index` goes into the GIF."""
        return self.wanted and not (index - 1) % self.every and len(self.images) < MAX_GIF_FRAMES * 2

    def frame(self, app, index):
        if not self.keeps(index):
            return
        image = grab(app)
        if image is not None:
            height = round(image.height * GIF_WIDTH / image.width)
            self.images.append(image.resize((GIF_WIDTH, height)))
            self.last_index = index

    def follow(self, manager):
        """On a real display with no frame count: record from a task after drawing."""
        if not self.wanted:
            return
        counter = [0]

        def record(task):
            counter[0] += 1
            now = time.perf_counter()
            if self.last_time is not None:
                self.intervals.append(now - self.last_time)
            self.last_time = now
            self.frame(builtins.base, counter[0])
            return task.cont

        manager.add(record, "tavikRecordFrame", sort=60)

    def gif(self, per_frame):
        """The recorded frames as GIF bytes, or None."""
        if not self.wanted or not self.images:
            return None
        if per_frame is None:
            per_frame = seconds_per_frame(self.intervals) or 1 / 30
        images = self.images
        duration = max(SHORTEST_GIF_FRAME, self.every * per_frame)
        data = io.BytesIO()
        images[0].save(data, format="GIF", save_all=True, append_images=images[1:], duration=round(duration * 1000),
                       loop=0, optimize=False, disposal=1)
        return data.getvalue()


def screenshot(app):
    """What the scene shows now, as PNG bytes (or None): drawn once more, since the program may have
    changed it after the last frame."""
    app.graphicsEngine.renderFrame()
    shown = pixels(app)
    return None if shown is None else png(*shown)


# ---- describing an error -------------------------------------------------------

def packaged_models():
    from importlib import resources
    try:
        return sorted(entry.name[:-4] for entry in resources.files("tavik").iterdir() if entry.name.endswith(".glb"))
    except Exception:
        return []


def suggest(name, candidates, cutoff=0.7):
    """The closest candidate (CPython's "Did you mean" in spirit).

    Case is ignored first, then two letters swapped ("Pne" for "Pen"), then difflib's ratio.
    """
    if not isinstance(name, str):
        return None
    candidates = [c for c in set(candidates) if isinstance(c, str) and not c.startswith("__") and c != name]
    folded = {c.lower(): c for c in sorted(candidates)}
    key = name.lower()
    if key in folded:
        return folded[key]
    for other, original in folded.items():
        if len(other) == len(key) and sorted(other) == sorted(key) and sum(a != b for a, b in zip(other, key)) == 2:
            return original
    close = difflib.get_close_matches(key, list(folded), n=1, cutoff=cutoff)
    return folded[close[0]] if close else None


def describe(error, notes, script_dir):
    """The error as plain data: the learner's frames and what the hints need."""
    info = {"type": type(error).__name__, "message": str(error), "frames": []}
    if isinstance(error, SyntaxError):
        info["message"] = error.msg
        info["line"] = error.lineno
        info["syntax"] = {"line": error.lineno, "offset": error.offset, "end_offset": getattr(error, "end_offset", None),
                          "end_line": getattr(error, "end_lineno", None), "text": mistakes.syntax_error_text(error)}
        info["code"] = (info["syntax"]["text"] or "").strip()
        return info
    innermost_globals = None
    for frame, line in traceback.walk_tb(error.__traceback__):
        filename = frame.f_code.co_filename
        mine = is_learners(filename, script_dir)
        summary = traceback.FrameSummary(filename, line, frame.f_code.co_name)
        info["frames"].append({"file": display_name(filename, script_dir), "line": line, "name": frame.f_code.co_name,
                               "code": (summary.line or "").strip(), "learner": mine})
        if mine:
            info["line"], info["code"] = line, (summary.line or "").strip()
            innermost_globals = frame.f_globals
    if isinstance(error, NameError) and getattr(error, "name", None):
        import tavik.tavik as kit
        info["name"] = error.name
        kit_names = ["dist", "Color", "CameraController", "TAVIK", "Pen", "makeLabel", "makeButton", "makeEntry",
                     "AStarNode", "AStar", "ClickCtrl", "PathMoveCtrl", "drawAxies"]
        info["suggestion"] = (suggest(error.name, kit_names, cutoff=0.6)
                              or suggest(error.name, list(innermost_globals or {}) + dir(builtins))
                              or suggest(error.name, dir(kit)))
    elif isinstance(error, AttributeError) and getattr(error, "name", None):
        owner = getattr(error, "obj", None)
        info["name"] = error.name
        named = OWNER.match(str(error))
        info["owner"] = next((group for group in named.groups() if group), None) if named else type(owner).__name__
        if owner is not None:
            try:
                info["suggestion"] = suggest(error.name, dir(owner))
            except Exception:
                info["suggestion"] = None
    if id(error) in notes.grid_errors:
        info["grid"] = notes.grid_errors[id(error)]
    return info


OWNER = re.compile(r"'(\w+)' object has no attribute|module '([\w.]+)' has no attribute"
                   r"|type object '(\w+)' has no attribute")


def is_learners(filename, script_dir):
    if filename.startswith("<"):
        return False
    path = os.path.normcase(os.path.abspath(filename))
    folder = os.path.normcase(script_dir)
    return path.startswith(folder + os.sep) and "site-packages" not in path[len(folder):]


def display_name(filename, script_dir):
    if is_learners(filename, script_dir):
        return os.path.relpath(filename, script_dir)
    return filename


def facts(notes, app):
    """Notes turned into plain data for the warnings."""
    found = {
        "run_called": notes.run_line is not None,
        "window": window_of(app) is not None,
        "frames": notes.frames,
        "unbuilt_pens": sorted({entry[1] for entry in notes.pens.values() if entry[1] is not None}),
        "idle_movers": sorted({entry[1] or 0 for entry in notes.movers.values()
                               if entry[3] == 0 and notes.frames > entry[2]}),
        "gm_failures": [[name if isinstance(name, (str, int, float)) else repr(name), line]
                        for name, line in notes.gm_failures],
        "models": packaged_models() if notes.gm_failures else [],
        "unfinished_drawing": unfinished_drawing(),
    }
    found.update(notes.stillness.facts(app))
    update = getattr(app, "update", None) if app is not None else None
    found["update_callable"] = update is None or callable(update)
    found["drawing_at_end"] = notes.frames > 1 and notes.strokes_in_frame > 0
    if notes.update_assignment is not None:
        line, value = notes.update_assignment
        found["update_line"] = line
        found["update_value"] = safe_repr(value)
    return found


def scene_of(app, notes):
    """The scene record as plain data, or None when it could not be read (the program changed the engine's own)."""
    from tavik.classroom.scene import record_scene
    try:
        movers = [entry[0] for entry in notes.movers.values()]
        return record_scene(app, notes.all_pens, notes.loads, movers).to_data()
    except Exception:
        return None


def safe_repr(value, limit=60):
    try:
        text = repr(value)
    except Exception:
        text = "<" + type(value).__name__ + ">"
    return text if len(text) <= limit else text[:limit - 3] + "..."


# ---- the run -------------------------------------------------------------------

def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="python -m tavik.classroom.child")
    parser.add_argument("script")
    parser.add_argument("--channel", type=int, required=True,
                        help="the inherited pipe for the report (a file descriptor; a handle on Windows)")
    parser.add_argument("--frames", type=int, default=None)
    parser.add_argument("--screenshot", action="store_true", help="send a screenshot at the end")
    parser.add_argument("--gif", action="store_true", help="record the frames and send them as a GIF")
    parser.add_argument("--gif-every", type=int, default=None)
    parser.add_argument("--timeout", type=float, default=0)
    parser.add_argument("--notices", default=None, help="file for the engine's notices")
    parser.add_argument("--virtual", action="store_true", help="the screen is a virtual one")
    parser.add_argument("arguments", nargs="*")
    return parser.parse_args(argv)


def start_watchdog(notes, seconds):
    """From now (the program's start), at the time limit, interrupt the program's thread wherever it is.

    Raising in the main thread through a simulated signal reaches a busy loop
    inside a frame too; it repeats in case the program catches everything.
    The runner kills the process later if even that does not stop it. The
    same thread ends the process if the runner itself has gone.
    """
    parent = os.getppid()
    deadline = time.monotonic() + seconds if seconds else None

    def watch():
        while True:
            time.sleep(0.1 if deadline is None else min(0.1, max(0.0, deadline - time.monotonic())))
            if os.name != "nt" and os.getppid() != parent:
                os._exit(3)
            if deadline is not None and time.monotonic() >= deadline and not notes.stopping:
                notes.timed_out = True
                _thread.interrupt_main(signal.SIGTERM)
                time.sleep(WATCHDOG_REPEAT)

    threading.Thread(target=watch, daemon=True, name="tavik-watchdog").start()


def on_terminate(signum, frame):
    """Time is up (the watchdog, or the runner's SIGTERM): stop the program where it is.

    Once raised, the stop needs a moment to unwind through the engine; it is
    raised again only if the program is still running a second later (it
    caught the first one).
    """
    now = time.monotonic()
    if NOTES.stopping or now - NOTES.last_stop < 1.0:
        return
    NOTES.timed_out = True
    NOTES.last_stop = now
    raise TimeUp


def ignore_exception(*exc_info):
    """The engine hands an exception leaving a task to this hook to print; this process reports it itself."""


NOTES = None


def open_channel(number):
    """The report pipe handed down by the runner, kept from the processes the program starts."""
    if os.name == "nt":
        import msvcrt
        fd = msvcrt.open_osfhandle(number, 0)
    else:
        fd = number
    os.set_inheritable(fd, False)
    return fd


def prepare_engine(arguments, notes, recorder):
    """The engine imported and set up before the program's clock starts."""
    from panda3d.core import Filename, loadPrcFileData
    import direct.showbase.ShowBase  # noqa: F401  (imported here, so that the time limit never lands inside it)
    # what the caller of the runner loaded (tavik.classroom.runner.SETTINGS_VARIABLE), then the runner's own
    loadPrcFileData("tavik-caller", os.environ.pop("TAVIK_ENGINE_SETTINGS", ""))
    settings = ["audio-library-name null", "win-size 1000 750"]
    if arguments.virtual:
        settings.append("sync-video #f")
    if arguments.notices:
        settings.append("notify-output " + Filename.fromOsSpecific(arguments.notices).getFullpath())
    loadPrcFileData("tavik-runner", "\n".join(settings))
    loaders.register_handed_down()
    instrument(notes, arguments.frames, recorder, arguments.virtual)


def run_program(script, arguments, notes, recorder, result, report):
    """Compiles and runs the learner's program, noting in `result` how it ended."""
    script_dir = os.path.dirname(script)
    try:
        try:
            with open(script, "rb") as source:
                code = compile(source.read(), script, "exec", dont_inherit=True)
        except (SyntaxError, ValueError, OSError) as error:
            result.status, result.error = ERROR, describe(error, notes, script_dir)
            return
        sys.argv = [arguments.script] + list(arguments.arguments)
        sys.path.insert(0, script_dir)
        namespace = {"__name__": "__main__", "__file__": script, "__builtins__": builtins, "__package__": None,
                     "__spec__": None, "__loader__": None, "__cached__": None, "__doc__": None}
        main_module = type(sys)("__main__")
        main_module.__dict__.update(namespace)
        sys.modules["__main__"] = main_module
        channel.send_started(report)
        start_watchdog(notes, arguments.timeout)
        try:
            exec(code, main_module.__dict__)
            app = getattr(builtins, "base", None)
            if app is not None and arguments.frames is not None and notes.run_line is None:
                notes.running = True
                show_frames(app, arguments.frames, notes, recorder, arguments.virtual)   # what it would show once it ran
        except FramesDone:
            pass
    except TimeUp as stop:
        notes.stopping = True
        result.status = TIMEOUT
        result.error = describe(stop, notes, script_dir)
    except SystemExit as leaving:
        notes.stopping = True
        if leaving.code not in (None, 0):
            result.exit_code = leaving.code if isinstance(leaving.code, int) else 1
    except BaseException as error:      # KeyboardInterrupt too: the learner's own Ctrl-C or the stop
        notes.stopping = True
        result.status = TIMEOUT if notes.timed_out else ERROR
        result.error = describe(error, notes, script_dir)


def take_pictures(arguments, notes, recorder, result):
    """The screenshot and the GIF as bytes, by name."""
    pictures = {}
    app = getattr(builtins, "base", None)
    try:
        result.scene = scene_of(app, notes)
        if arguments.screenshot and window_of(app) is not None:
            shot = screenshot(app)
            if shot is not None:
                pictures["screenshot"] = shot
        # counted frames are 1/FRAME_RATE s of the program's time each; the engine's own loop is timed
        moving = recorder.gif(1 / FRAME_RATE if arguments.frames is not None else None)
        if moving is not None:
            pictures["gif"] = moving
    except TimeUp:
        pass
    except Exception as trouble:   # a picture that cannot be made must not hide the program's own result
        result.picture_error = f"{type(trouble).__name__}: {trouble}"
    return pictures


def main(argv=None):
    global NOTES
    arguments = parse_arguments(sys.argv[1:] if argv is None else argv)
    report = open_channel(arguments.channel)
    harness = os.getpid()
    script = os.path.abspath(arguments.script)
    notes = NOTES = Notes(script)
    notes.picture_follows = arguments.screenshot
    result = Observed()
    signal.signal(signal.SIGTERM, on_terminate)
    sys.excepthook = ignore_exception
    recorder = Recorder(arguments.gif, arguments.frames, arguments.gif_every)
    started = time.perf_counter()
    try:
        prepare_engine(arguments, notes, recorder)
    except BaseException as error:
        result.status, result.error = ERROR, describe(error, notes, os.path.dirname(script))
    else:
        gc.freeze()     # what the imports made is never garbage: later collections skip it
        gc.enable()
        run_program(script, arguments, notes, recorder, result, report)
    if os.getpid() != harness:
        os._exit(0)     # a copy the program forked has nothing to report: only the harness itself does
    notes.stopping = True
    result.seconds = time.perf_counter() - started
    pictures = take_pictures(arguments, notes, recorder, result)
    app = getattr(builtins, "base", None)
    result.facts = facts(notes, app)
    per_frame = seconds_per_frame(notes.frame_seconds)
    result.fps = 1 / per_frame if per_frame else None
    try:
        channel.send_result(report, result, pictures)
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        # Leave at once: tearing the engine down can take long and print, and there is nothing to keep.
        os._exit(0)


if __name__ == "__main__":
    main()
