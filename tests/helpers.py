"""What several test modules share: measuring, reading back what was built, stand-ins,
following the processes a command starts, and driving a headless browser over the report page.

Test modules import from here (or get fixtures from conftest.py), never from
each other, so that a failure points at the module whose subject broke.
"""
import contextlib
import fcntl
import gc
import json
import os
import shutil
import subprocess
import sys
import threading
import time
import tracemalloc

import pytest
from panda3d.core import GeomVertexReader, LPoint3, NodePath, Point2
from PIL import Image


# ---- memory ---------------------------------------------------------------------------------

def growth_per_call(function, calls=3000, rounds=3):
    """Bytes of Python memory still held per call after warming up.

    The least of a few rounds: a leak grows in every round, while a one-off
    allocation elsewhere in the process (a cache filling, a lazy import)
    shows in one at most.
    """
    for _ in range(200):
        function()
    growths = []
    for _ in range(rounds):
        gc.collect()
        tracemalloc.start()
        try:
            before = tracemalloc.take_snapshot()
            for _ in range(calls):
                function()
            gc.collect()
            after = tracemalloc.take_snapshot()
        finally:
            tracemalloc.stop()
        growths.append(sum(stat.size_diff for stat in after.compare_to(before, "filename")) / calls)
    return min(growths)


def swallow(function, *errors):
    def run():
        try:
            function()
        except errors:
            pass
    return run


# ---- what a pen built -----------------------------------------------------------------------

def strokes(node_path):
    """What a built node shows: (primitive kind, [(vertex, colour), ...]) per line or point."""
    node, shown = node_path.node(), []
    for index in range(node.getNumGeoms()):
        geom = node.getGeom(index)
        vertex = GeomVertexReader(geom.getVertexData(), "vertex")
        colour = GeomVertexReader(geom.getVertexData(), "color")
        for primitive in geom.getPrimitives():
            for item in range(primitive.getNumPrimitives()):
                points = []
                for k in range(primitive.getPrimitiveStart(item), primitive.getPrimitiveEnd(item)):
                    vertex.setRow(primitive.getVertex(k))
                    colour.setRow(primitive.getVertex(k))
                    points.append((tuple(vertex.getData3()), tuple(round(c, 3) for c in colour.getData4())))
                shown.append((type(primitive).__name__, points))
    return shown


def positions(node_path):
    return [[p for p, _ in points] for _, points in strokes(node_path)]


def close(a, b, tolerance=1e-5):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b)) and len(a) == len(b)


def exact_build(node_path):
    """Everything of a build that could differ: data bytes, primitives, states, names."""
    node = node_path.node() if hasattr(node_path, "node") else node_path
    described = [node.getName()]
    for index in range(node.getNumGeoms()):
        geom = node.getGeom(index)
        data = geom.getVertexData()
        described.append((data.getName(), data.getUsageHint(), str(data.getFormat()),
                          bytes(data.getArray(0).getHandle().getData()), node.getGeomState(index)))
        for primitive in geom.getPrimitives():
            described.append((type(primitive).__name__, primitive.isIndexed(), primitive.getIndexType(),
                              primitive.getUsageHint(), list(primitive.getVertexList()),
                              list(primitive.getEnds()), primitive.getNumPrimitives()))
    return described


# ---- values that fail every protocol ---------------------------------------------------------

class Hostile:
    def __float__(self):
        raise ZeroDivisionError("float")

    def __index__(self):
        raise ZeroDivisionError("index")

    def __bool__(self):
        raise ZeroDivisionError("bool")

    def __iter__(self):
        raise ZeroDivisionError("iter")

    def __len__(self):
        raise ZeroDivisionError("len")


HOSTILE = Hostile()


# ---- a stand-in application for the camera ---------------------------------------------------

class FakeWatcher:
    """A pointer that tests move by hand."""

    def __init__(self):
        self.inside = True
        self.x = 0.0
        self.y = 0.0

    def hasMouse(self):
        return self.inside

    def getMouseX(self):
        if not self.inside:
            raise AssertionError("the pointer is outside the window")
        return self.x

    def getMouseY(self):
        if not self.inside:
            raise AssertionError("the pointer is outside the window")
        return self.y


class FakeTaskManager:
    def __init__(self):
        self.tasks = []

    def add(self, function, name):
        self.tasks.append((function, name))


class FakeTask:
    cont = "continue"


class FakeBase:
    def __init__(self):
        self.camera = NodePath("camera")
        self.mouseWatcherNode = FakeWatcher()
        self.taskMgr = FakeTaskManager()
        self.events = []
        self.mouse_disabled = 0

    def disableMouse(self):
        self.mouse_disabled += 1

    def accept(self, event, handler):
        self.events.append((event, handler))


# ---- the real pointer ------------------------------------------------------------------------

def point_at(app, x, y, deadline=60):
    """Puts the window's pointer at pixel (x, y) and returns the input device,
    once the engine has reported it there for two frames running.

    When another program's window opens or closes on the same screen (a
    test's subprocess), the X server sends this window enter and motion
    events of its own a few frames later, and they move the pointer to
    where the server's pointer is: so the pointer is put back until it stays.
    """
    device = app.win.getInputDevice(0)
    stop = time.monotonic() + deadline

    def there():
        pointer = device.getPointer()
        return pointer.getInWindow() and (pointer.getX(), pointer.getY()) == (x, y)
    while True:
        device.setPointerInWindow(x, y)
        app.taskMgr.step()
        app.taskMgr.step()
        if there():
            app.taskMgr.step()
            if there():
                return device
        assert time.monotonic() < stop, f"the pointer does not stay at {(x, y)}"


# ---- screenshots ------------------------------------------------------------------------------

def not_blank(image):
    """More than a plain background: several colours over a real share of the window."""
    raw = image.convert("RGB").resize((250, 188)).tobytes()
    pixels = [tuple(raw[index:index + 3]) for index in range(0, len(raw), 3)]
    background = max(set(pixels), key=pixels.count)
    differing = sum(1 for pixel in pixels if sum(abs(a - b) for a, b in zip(pixel, background)) > 60)
    return differing > 100 and len(set(pixels)) > 20


# ---- stand-ins for engine names ----------------------------------------------------------------

class WithoutMethods:
    """What a script might put in place of an engine class: its results have no methods."""

    def __init__(self, *args, **kwargs):
        pass


# ---- module globals that fail when they are used ---------------------------------------------

class Refused(Exception):
    """The error a hostile stand-in raises; it must come out unchanged."""


class Refusing:
    """A stand-in for a module or class of the engine: every attribute read
    and every call raises, each time with a new error."""

    def __init__(self, log):
        self.log = log

    def __getattr__(self, name):
        error = Refused(name)
        self.log.append(error)
        raise error

    def __call__(self, *args):
        error = Refused("call")
        self.log.append(error)
        raise error


def assert_a_failing_global_raises_its_own_first_error(app, monkeypatch, global_name, call):
    """With the kit's module global `global_name` failing at every use, `call`
    raises the first error as it was raised: never a SystemError of a later
    call made with the error pending, never a later error instead."""
    import tavik.tavik as tv
    log = []
    monkeypatch.setattr(tv, global_name, Refusing(log), raising=False)
    before = set(app.camera.getChildren())
    try:
        with pytest.raises(Refused) as caught:
            call()
    finally:
        for stray in set(app.camera.getChildren()) - before:  # a half-built click controller's ray
            stray.removeNode()
    assert caught.value is log[0] and len(log) == 1


# ---- strings without a UTF-8 form --------------------------------------------------------------

UNENCODABLE = "名字\ud800"


# ---- the processes a command starts ---------------------------------------------------------
# A confined program cannot tell the test its process ids (it has a PID
# namespace of its own), so the test watches from outside: every process that
# appears below the command it started, polled from /proc while it runs. Only
# processes the test itself started (and theirs) are ever looked at.

def descendants(pid):
    """Every process below `pid` now (children of all its threads, recursively)."""
    found, queue = [], [pid]
    while queue:
        parent = queue.pop()
        try:
            tasks = os.listdir(f"/proc/{parent}/task")
        except OSError:
            continue
        for task in tasks:
            try:
                with open(f"/proc/{parent}/task/{task}/children") as children:
                    kids = [int(number) for number in children.read().split()]
            except (OSError, ValueError):
                continue
            found += kids
            queue += kids
    return found


def alive(pid):
    """True while a process with this id exists and is not a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False


def name_of(pid):
    try:
        with open(f"/proc/{pid}/comm") as comm:
            return comm.read().strip()
    except OSError:
        return ""


def peak_memory_kb(pid):
    """VmHWM: the most resident memory the process has had, in kB (0 once it is gone)."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return 0


class Watch:
    """Collects every process that appears below `pid` until stopped; `names` remembers what each was."""

    def __init__(self, pid, interval=0.05):
        self.pid, self.interval = pid, interval
        self.seen = {}
        self.peak_kb = 0        # the watched process's own peak resident memory
        self.running = True
        self.thread = threading.Thread(target=self.poll, daemon=True)
        self.thread.start()

    def poll(self):
        while self.running:
            self.peak_kb = max(self.peak_kb, peak_memory_kb(self.pid))
            for child in descendants(self.pid):
                # a name read right after the fork is the parent's: the one after exec wins
                self.seen[child] = name_of(child) or self.seen.get(child, "")
            time.sleep(self.interval)

    def stop(self):
        self.running = False
        self.thread.join()
        return self.seen

    def named(self, *prefixes):
        """The live processes seen whose name starts so (a fork seen before its exec keeps its parent's name)."""
        return [pid for pid, name in list(self.seen.items()) if name.startswith(prefixes) and alive(pid)
                and name_of(pid).startswith(prefixes)]


def assert_gone(pids, seconds=60):  # generous: the machine may be busy
    deadline = time.monotonic() + seconds
    while any(alive(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.1)
    left = {pid: name_of(pid) for pid in pids if alive(pid)}
    assert not left, f"processes outlived the runner: {left}"


SANDBOXES = {"bubblewrap": {}, "fallback": {"TAVIK_SANDBOX": "off"}}


def sandbox_environment(mode):
    """The environment of a command run with the sandbox or with the fallback; skips where bubblewrap cannot run."""
    from tavik.classroom.sandbox import bubblewrap_command
    if mode == "bubblewrap" and bubblewrap_command() is None:
        pytest.skip("bubblewrap is not installed here, or cannot make namespaces")
    return without_display(**SANDBOXES[mode])


def without_display(**extra):
    environment = dict(os.environ)
    environment.pop("DISPLAY", None)
    environment.update(extra)
    return environment


def run_watched(arguments, cwd, timeout=300, environment=None):
    """`python -m tavik ARGUMENTS` to its end: (CompletedProcess, {pid: name} of every process seen below it)."""
    command = [sys.executable, "-m", "tavik", *arguments]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=cwd,
                               env=environment or without_display())
    watch = Watch(process.pid)
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    finally:
        process.kill()
        seen = watch.stop()
    completed = subprocess.CompletedProcess(command, process.returncode, stdout, stderr)
    completed.peak_kb = watch.peak_kb
    return completed, seen


class Browser:
    """Headless chromium driven through its DevTools protocol over a pair of pipes (no network port).

    Chromium reads commands on descriptor 3 and writes replies on 4, each a
    JSON message ended by a NUL byte. Clicks and typing go through the
    browser's own input events, the way a person's would.
    """

    def __init__(self, profile, width=1400, height=1000):
        browser = shutil.which("chromium") or shutil.which("chromium-browser")
        if browser is None:
            raise FileNotFoundError("chromium")
        commands_read, self.commands = self.high(os.pipe())
        self.replies, replies_write = self.high(os.pipe())

        def wire():
            os.dup2(commands_read, 3)
            os.dup2(replies_write, 4)

        self.process = subprocess.Popen(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             f"--user-data-dir={profile}", f"--window-size={width},{height}", "about:blank"],
            pass_fds=(3, 4), preexec_fn=wire, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(commands_read)
        os.close(replies_write)
        self.buffer = b""
        self.last_id = 0
        self.session = None

    @staticmethod
    def high(ends):
        """The pipe's ends moved above the descriptors the child is given, so wiring cannot clobber them."""
        moved = tuple(fcntl.fcntl(end, fcntl.F_DUPFD_CLOEXEC, 10) for end in ends)
        for end in ends:
            os.close(end)
        return moved

    def send(self, method, **params):
        self.last_id += 1
        message = {"id": self.last_id, "method": method, "params": params}
        if self.session and not method.startswith("Target."):
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        while True:
            reply = self.read()
            if reply.get("id") == self.last_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]

    def read(self):
        while b"\0" not in self.buffer:
            chunk = os.read(self.replies, 1 << 16)
            if not chunk:
                raise RuntimeError("the browser closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def open(self, url, deadline=60):
        target = self.send("Target.createTarget", url=url)["targetId"]
        self.session = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        ends = time.monotonic() + deadline
        loaded = f"location.href === {json.dumps(url)} && document.readyState === 'complete'"
        while not self.evaluate(loaded):
            if time.monotonic() > ends:
                raise TimeoutError(url)
            time.sleep(0.05)

    def evaluate(self, expression):
        reply = self.send("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in reply:
            raise RuntimeError(reply["exceptionDetails"])
        return reply["result"].get("value")

    def click(self, selector):
        x, y = self.evaluate(f"(function () {{ var box = document.querySelector({json.dumps(selector)})"
                             ".getBoundingClientRect(); return [box.left + box.width / 2, box.top + box.height / 2]; })()")
        for kind in ("mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def type(self, selector, text):
        self.click(selector)
        self.send("Input.insertText", text=text)

    def close(self):
        self.process.kill()
        self.process.wait()
        os.close(self.commands)
        os.close(self.replies)


# ---- the window's pixels and the view -------------------------------------------------------

def grab(app):
    """What the window shows after the last frame, as a picture."""
    texture = app.win.getScreenshot()
    assert texture is not None
    raw = bytes(texture.getRamImageAs("RGB"))
    return Image.frombytes("RGB", (texture.getXSize(), texture.getYSize()), raw).transpose(Image.FLIP_TOP_BOTTOM)


def pixels_of(image, colour, tolerance=40):
    """(x, y) of every pixel within `tolerance` of `colour`."""
    width = image.width
    data = image.tobytes()
    found = []
    for index in range(0, len(data), 3):
        if (abs(data[index] - colour[0]) + abs(data[index + 1] - colour[1]) + abs(data[index + 2] - colour[2])
                <= tolerance):
            pixel = index // 3
            found.append((pixel % width, pixel // width))
    return found


def on_screen(app, point):
    """Where a point of render appears in the window, in pixels, or None when outside."""
    inCamera = app.cam.getRelativePoint(app.render, LPoint3(*point))
    screen = Point2()
    if not app.camLens.project(inCamera, screen):
        return None
    return ((screen.x + 1) / 2 * app.win.getXSize(), (1 - screen.y) / 2 * app.win.getYSize())


@contextlib.contextmanager
def from_above(app, radius):
    """The camera straight above the origin, `radius` away, with the axis model hidden."""
    from tavik.extras import lookFrom
    controller = app.camera_controller
    controller.target_pos = LPoint3(0, 0, 0)
    controller.radius = radius
    lookFrom(app, "top")
    axis = app.render.find("zup-axis*")
    axis.hide()
    try:
        yield
    finally:
        axis.show()
