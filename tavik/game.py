"""Game helpers beside the kit: keys, clicks on the ground, touching models,
sounds, timers, and the turtle moves a learner misses (circle, fill, write, home).

``from tavik.extras import *`` brings these in too. They find the application
through the engine's global ``base`` that ``TAVIK()`` publishes, so a learner's
call needs no ``app`` where the engine already knows it.
"""
import builtins
import difflib
import itertools
import math
import os
import sys

from panda3d.core import (
    BoundingBox,
    ButtonRegistry,
    ClockObject,
    Filename,
    Geom,
    GeomNode,
    GeomTriangles,
    GeomVertexData,
    GeomVertexFormat,
    GeomVertexWriter,
    LPoint3,
    LPoint3d,
    LVector3,
    NodePath,
    Point2,
    TransparencyAttrib,
    Triangulator3,
)

from direct.showbase.DirectObject import DirectObject

from tavik.tavik import Pen

__all__ = ["keyDown", "onKey", "onKeyUp", "onClick", "touching", "touchingAny", "playSound",
           "every", "after", "dt", "circle", "fill", "writeAt", "home"]


def _application(helper):
    """The running TAVIK application (the engine's `base`)."""
    app = getattr(builtins, "base", None)
    if app is None:
        raise RuntimeError(f"{helper} 要在 app = TAVIK() 之后才能用：请先创建 TAVIK()")
    return app


def _checkedFunction(function, helper):
    if not callable(function):
        hint = "（写函数名，后面不要加括号）" if function is None else ""
        raise TypeError(f"{helper} 要的是一个函数{hint}，收到的是 {type(function).__name__}")
    return function


class Handle:
    """every、after、onKey、onKeyUp、onClick 返回的东西：调用 stop() 就停下来，以后不再调用那个函数。"""

    def __init__(self, stopping):
        self._stopping = stopping
        self.running = True

    def stop(self):
        """停下来：以后不再调用那个函数。可以调用好几次。"""
        if self.running:
            self.running = False
            self._stopping()

    def __repr__(self):
        return f"<Handle {'running' if self.running else 'stopped'}>"


# ---- keys ----------------------------------------------------------------------

# What a learner writes -> the engine's name of the key.
KEY_ALIASES = {
    "left": "arrow_left", "right": "arrow_right", "up": "arrow_up", "down": "arrow_down",
    "左": "arrow_left", "右": "arrow_right", "上": "arrow_up", "下": "arrow_down",
    "空格": "space", "回车": "enter", "return": "enter", "ctrl": "control", "esc": "escape",
}
ENGINE_KEYS = frozenset(
    ["arrow_left", "arrow_right", "arrow_up", "arrow_down", "space", "enter", "shift", "lshift", "rshift",
     "control", "lcontrol", "rcontrol", "alt", "lalt", "ralt", "tab", "escape", "backspace", "delete",
     "insert", "home", "end", "page_up", "page_down"]
    + [chr(code) for code in range(ord("a"), ord("z") + 1)]
    + [str(digit) for digit in range(10)]
    + [f"f{number}" for number in range(1, 13)])
KEY_LIST = ("left right up down（或 \"左\" \"右\" \"上\" \"下\"）、space（\"空格\"）、enter（\"回车\"）、"
            "shift ctrl alt tab esc backspace delete、a 到 z、0 到 9、f1 到 f12，"
            "或引擎的名字 arrow_left arrow_right arrow_up arrow_down")
# The engine prefixes a key pressed while a modifier is held ("shift-a").
MODIFIER_PREFIXES = ("shift-", "control-", "alt-", "meta-")
DOWN_EVENT = "tavik-key-down"
UP_EVENT = "tavik-key-up"


def _engineKey(name, helper):
    if not isinstance(name, str):
        raise TypeError(f"{helper} 的按键名要是文字，例如 \"left\" 或 \"空格\"，收到的是 {type(name).__name__}")
    key = name.strip().lower()
    key = KEY_ALIASES.get(key, key)
    if key not in ENGINE_KEYS:
        guesses = difflib.get_close_matches(key, list(KEY_ALIASES) + sorted(ENGINE_KEYS), n=1)
        guess = f"你是不是想写 \"{guesses[0]}\"？" if guesses else ""
        raise ValueError(f"{helper} 不认识按键 {name!r}。{guess}能用的按键名：{KEY_LIST}")
    return key


def _plainKey(button):
    while button.startswith(MODIFIER_PREFIXES) and "-" in button[:-1]:
        button = button.split("-", 1)[1]
    return button


class _Keyboard(DirectObject):
    """Hears every key of the application once and calls what each key asked for.

    The window's button thrower names every button it sends in one event
    (besides the per-key events the engine's `accept` uses), so the learner's
    own `app.accept` and the camera's mouse events are left as they are.
    """

    def __init__(self, app):
        self.app = app
        self.listeners = {"down": {}, "up": {}}
        thrower = app.buttonThrowers[0].node() if getattr(app, "buttonThrowers", None) else None
        if thrower is not None:
            # Another part of the program may already use these events: share them.
            if not thrower.getButtonDownEvent():
                thrower.setButtonDownEvent(DOWN_EVENT)
            if not thrower.getButtonUpEvent():
                thrower.setButtonUpEvent(UP_EVENT)
            self.accept(thrower.getButtonDownEvent(), self.heard, ["down"])
            self.accept(thrower.getButtonUpEvent(), self.heard, ["up"])

    def heard(self, kind, button):
        for handle, function in list(self.listeners[kind].get(_plainKey(button), {}).items()):
            if handle.running:
                function()

    def listen(self, kind, key, function):
        registered = self.listeners[kind].setdefault(key, {})
        handle = Handle(lambda: registered.pop(handle, None))
        registered[handle] = function
        return handle


_keyboard = None


def _keyboardOf(app):
    global _keyboard
    if _keyboard is None or _keyboard.app is not app:
        if _keyboard is not None:
            _keyboard.ignoreAll()
        _keyboard = _Keyboard(app)
    return _keyboard


def keyDown(key):
    """这个键现在是不是按着：按着返回 True，没按返回 False。在 app.update 里每帧读一次。

    key 可以写 "left" "right" "up" "down" "space" "enter" "shift"、字母 "a" 到 "z"、
    数字 "0" 到 "9"，引擎的名字（"arrow_left"），或者中文 "左" "右" "上" "下" "空格"。
    写错名字时抛出 ValueError，并列出能用的名字。
    """
    engineKey = _engineKey(key, "keyDown")
    watcher = getattr(_application("keyDown"), "mouseWatcherNode", None)
    if watcher is None:
        return False  # no window: no key can be held
    return watcher.isButtonDown(ButtonRegistry.ptr().findButton(engineKey))


def onKey(key, function):
    """按下 key 这个键时调用 function()（不带参数）。按住不放只算一次。

    key 的写法和 keyDown 一样，例如 onKey("space", 跳)。
    返回一个 Handle：调用它的 stop() 以后不再调用。
    """
    return _keyboardOf(_application("onKey")).listen("down", _engineKey(key, "onKey"),
                                                     _checkedFunction(function, "onKey"))


def onKeyUp(key, function):
    """松开 key 这个键时调用 function()（不带参数）。

    key 的写法和 keyDown 一样。返回一个 Handle：调用它的 stop() 以后不再调用。
    """
    return _keyboardOf(_application("onKeyUp")).listen("up", _engineKey(key, "onKeyUp"),
                                                       _checkedFunction(function, "onKeyUp"))


# ---- clicking the ground -------------------------------------------------------

# A press and release further apart than this (in pixels) is a drag of the
# camera, not a click.
CLICK_SLOP = 5


class _GroundClicks(DirectObject):
    def __init__(self, app, function):
        self.app = app
        self.function = function
        self.pressedAt = None
        self.accept("mouse1", self.pressed)
        self.accept("mouse1-up", self.released)

    def pointer(self):
        watcher = getattr(self.app, "mouseWatcherNode", None)
        if watcher is None or not watcher.hasMouse():
            return None
        return Point2(watcher.getMouse())

    def pressed(self):
        self.pressedAt = self.pointer()

    def released(self):
        start, self.pressedAt = self.pressedAt, None
        end = self.pointer()
        if start is None or end is None:
            return
        window = self.app.win
        moved = math.hypot((end.x - start.x) * window.getXSize() / 2, (end.y - start.y) * window.getYSize() / 2)
        if moved > CLICK_SLOP:
            return
        point = _groundPoint(self.app, end)
        if point is not None:
            self.function(*point)


def _groundPoint(app, pointer):
    """Where the ray from the camera through the pointer meets the ground z = 0, or None."""
    near, far = LPoint3(), LPoint3()
    if not app.camLens.extrude(pointer, near, far):
        return None
    near = app.render.getRelativePoint(app.cam, near)
    far = app.render.getRelativePoint(app.cam, far)
    direction = far - near
    if abs(direction.z) < 1e-9:
        return None  # looking along the ground
    along = -near.z / direction.z
    if along < 0:
        return None  # the ground is behind the camera: the pointer is on the sky
    hit = near + direction * along
    return (float(hit.x), float(hit.y), 0.0)


def onClick(function):
    """点一下窗口（鼠标左键按下再松开、没有拖动）时调用 function(x, y, z)：

    x, y, z 是鼠标指着的地面（z = 0 的平面）上的那一点，z 总是 0。
    点在天空上（指着的地方碰不到地面）时不调用。拖动鼠标转摄像机不算点击。
    返回一个 Handle：调用它的 stop() 以后不再调用。
    """
    clicks = _GroundClicks(_application("onClick"), _checkedFunction(function, "onClick"))
    return Handle(clicks.ignoreAll)


# ---- touching ------------------------------------------------------------------

BOX_TAG = "tavikTouchBox"
# Boxes closer than this still touch: the engine stores positions as 32-bit floats.
TOUCH_TOLERANCE = 1e-4


class _Box:
    """A node's box, cached on the node: in its own coordinates (from its
    vertices) and in render's (that box carried to where the node stands)."""
    __slots__ = ("bounds", "shape", "local", "transform", "placed")

    def __init__(self):
        self.bounds = self.shape = self.local = self.transform = self.placed = None


def _pathOf(thing, helper, position=None):
    if isinstance(thing, Pen):
        return thing.np
    if isinstance(thing, NodePath):
        return thing
    where = "" if position is None else f"列表里第 {position + 1} 个是 "
    raise TypeError(f"{helper} 要的是模型（NodePath）或画笔，{where}{type(thing).__name__} 不是")


# Children whose own bounds are compared one by one; a node with more (a pen
# after many updates) is judged by its vertex count and number of children.
SHAPE_CHILDREN = 4


def _shapeOf(node):
    """What changes when the geometry under `node` changes but not when `node` moves:
    its vertex count, its own geometry's bounds and its children's bounds (which
    are in the node's own coordinates)."""
    count = node.getNumChildren()
    children = tuple(node.getChild(index).getBounds() for index in range(count)) if count <= SHAPE_CHILDREN else ()
    return node.getNestedVertices(), count, node.getInternalBounds(), children


def _renderBox(path, render):
    """The box around what `path` shows, in render's coordinates (a BoundingBox);
    None when it shows nothing (empty, removed, hidden, or off the scene)."""
    if path.isEmpty() or path.isHidden() or path.getTop() != render:
        return None
    node = path.node()
    box = node.getPythonTag(BOX_TAG)
    if box is None:
        box = _Box()
        node.setPythonTag(BOX_TAG, box)
    bounds = node.getBounds()
    if bounds != box.bounds:  # the node moved, or something under it changed
        shape = _shapeOf(node)
        if shape != box.shape:
            tight = path.getTightBounds(path)
            box.local = BoundingBox(*tight) if tight else None
            box.shape = shape
            box.transform = None
        box.bounds = bounds
    if box.local is None:
        return None
    transform = path.getNetTransform()
    if transform != box.transform:
        placed = BoundingBox(box.local.getMin(), box.local.getMax())
        placed.xform(transform.getMat())
        box.placed, box.transform = placed, transform
    return box.placed


def _widened(box):
    """`box` grown by the tolerance, for testing others against it."""
    margin = LVector3(TOUCH_TOLERANCE)
    return BoundingBox(box.getMin() - margin, box.getMax() + margin)


def touching(a, b):
    """两个模型（或画笔画的图形）是不是碰在一起：碰到或重叠返回 True，分开返回 False。

    按包围盒判断：把每个模型装进一个和坐标轴平行的最小盒子，两个盒子相交就算碰到，
    所以转了角度的模型，盒子会比模型本身大一点。藏起来（hide）或已经删掉的模型不算碰到。
    """
    render = _application("touching").render
    first = _renderBox(_pathOf(a, "touching"), render)
    second = _renderBox(_pathOf(b, "touching"), render)
    return first is not None and second is not None and _widened(first).contains(second) != 0


def touchingAny(a, others):
    """a 碰到了 others 列表里的哪一个：返回按列表顺序第一个碰到的，一个也没碰到时返回 None。

    判断方法和 touching 一样（包围盒）；列表里的 a 自己不算。
    每帧检查一百个模型也很快：没有移动的模型，它的盒子只算一次。
    """
    render = _application("touchingAny").render
    own = _pathOf(a, "touchingAny")
    mine = _renderBox(own, render)
    if mine is None:
        return None
    mine = _widened(mine)
    for position, other in enumerate(others):
        path = other if type(other) is NodePath else _pathOf(other, "touchingAny", position)
        box = _renderBox(path, render)
        if box is not None and mine.contains(box) and path != own:
            return other
    return None


# ---- sound ---------------------------------------------------------------------

SOUND_NAMES = ("ding", "coin", "jump", "hit", "win", "lose")
SOUND_EXTENSIONS = (".wav", ".ogg")
_sounds = {}


def _soundFile(sound):
    if not isinstance(sound, (str, os.PathLike)):
        raise TypeError(f"playSound 要的是声音的名字或文件名，例如 \"ding\"，收到的是 {type(sound).__name__}")
    name = os.fspath(sound)
    if isinstance(name, str) and name.strip().lower() in SOUND_NAMES:
        return os.path.join(os.path.dirname(os.path.abspath(__file__)), "sounds", name.strip().lower() + ".wav")
    if not isinstance(name, str) or os.path.splitext(name)[1].lower() not in SOUND_EXTENSIONS:
        raise ValueError(f"playSound 不认识 {name!r}：自带的声音有 " + "、".join(f'"{n}"' for n in SOUND_NAMES)
                         + "，也可以写一个 .wav 或 .ogg 文件的名字")
    for folder in _soundFolders():
        candidate = os.path.join(folder, name)
        if os.path.isfile(candidate):
            return os.path.abspath(candidate)
    raise FileNotFoundError(f"playSound 找不到声音文件 {name!r}：请把它放在程序旁边，或者写完整的路径")


def _soundFolders():
    """Where a relative sound file is looked for: the current folder, then the program's own."""
    folders = [os.getcwd()]
    program = getattr(sys.modules.get("__main__"), "__file__", None)
    if program:
        folders.append(os.path.dirname(os.path.abspath(program)))
    return folders


def playSound(sound, volume=1.0):
    """播放一个声音，马上返回（不用等声音放完）。

    sound 可以是自带的声音 "ding" "coin" "jump" "hit" "win" "lose"，
    也可以是一个 .wav 或 .ogg 文件的名字（放在程序旁边）或完整路径。
    volume 是音量，0 到 1，默认 1。电脑没有声卡时什么也听不到，但不会出错。
    同一个声音还没放完又播放时，从头再放。
    """
    if isinstance(volume, bool) or not isinstance(volume, (int, float)) or not 0 <= volume <= 1:
        raise ValueError(f"playSound 的 volume 要是 0 到 1 之间的数，收到的是 {volume!r}")
    path = _soundFile(sound)
    app = _application("playSound")
    loaded = _sounds.get(path)
    if loaded is None or loaded[0] is not app:
        loaded = (app, app.loader.loadSfx(Filename.fromOsSpecific(path)))
        _sounds[path] = loaded
    effect = loaded[1]
    if effect is None:
        return  # the engine runs without any sound output
    effect.setVolume(volume)
    effect.play()


# ---- time ----------------------------------------------------------------------

# dt() is at most this: after a pause (loading, dragging the window) a game
# should not jump ahead by the whole pause.
MAX_DT = 0.1
# Frame times are sums of 1/fps: allow for their rounding when a timer is due.
TIMER_TOLERANCE = 1e-6
_timerNumbers = itertools.count(1)


def _checkedSeconds(seconds, helper):
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not math.isfinite(seconds):
        raise TypeError(f"{helper} 的第一个参数要是秒数（一个数字），收到的是 {seconds!r}")
    if seconds <= 0 and helper == "every":
        raise ValueError(f"every 的秒数要大于 0，收到的是 {seconds!r}")
    if seconds < 0:
        raise ValueError(f"{helper} 的秒数不能是负数，收到的是 {seconds!r}")
    return seconds


def _startTimer(seconds, function, repeat, helper):
    app = _application(helper)
    clock = ClockObject.getGlobalClock()
    name = f"tavikTimer-{next(_timerNumbers)}"
    handle = Handle(lambda: app.taskMgr.remove(name))
    due = [clock.getFrameTime() + seconds]

    def tick(task):
        now = clock.getFrameTime()
        if now + TIMER_TOLERANCE < due[0]:
            return task.cont
        if not repeat:
            handle.stop()  # before the call: a function that raises is not called again
        else:
            due[0] += seconds
            if due[0] <= now:
                due[0] = now + seconds  # after a long pause: once, not once per missed period
        function()
        return task.cont if handle.running else task.done

    app.taskMgr.add(tick, name)
    return handle


def every(seconds, function):
    """每隔 seconds 秒调用一次 function()（不带参数），一直重复。

    例如 every(1, 倒计时) 每秒调用一次。返回一个 Handle：调用它的 stop() 就停下来。
    """
    return _startTimer(_checkedSeconds(seconds, "every"), _checkedFunction(function, "every"), True, "every")


def after(seconds, function):
    """seconds 秒以后调用一次 function()（不带参数），只调用一次。

    返回一个 Handle：在时间到之前调用它的 stop()，function 就不会被调用。
    """
    return _startTimer(_checkedSeconds(seconds, "after"), _checkedFunction(function, "after"), False, "after")


def dt():
    """上一帧到这一帧过了多少秒（最多 0.1 秒）。

    在 app.update 里用 速度 × dt() 来移动，快电脑和慢电脑上就一样快：
    例如 car.setX(car.getX() + 5 * dt()) 每秒走 5。
    """
    return min(ClockObject.getGlobalClock().getDt(), MAX_DT)


# ---- turtle moves --------------------------------------------------------------

def _checkedPen(pen, helper):
    if not isinstance(pen, Pen):
        raise TypeError(f"{helper} 的第一个参数要是一支画笔 Pen，收到的是 {type(pen).__name__}")
    return pen


def _checkedNumber(value, helper, what):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise TypeError(f"{helper} 的 {what} 要是一个数字，收到的是 {value!r}")
    return value


def _heading(pen):
    rotZ, rotY = math.radians(pen.rotZ), math.radians(pen.rotY)
    return LVector3(math.sin(rotY) * math.cos(rotZ), math.sin(rotY) * math.sin(rotZ), math.cos(rotY))


# One segment of a circle spans at most this many degrees.
CIRCLE_STEP = 6


def circle(pen, radius, extent=360):
    """让画笔画一个圆（或一段圆弧），像 Python 小海龟的 circle：

    圆心在画笔左边 radius 远的地方（radius 是负数时在右边），画笔沿着圆走 extent 度
    （默认 360，整个圆）后停在圆上，方向也跟着转过 extent 度。
    圆在画笔现在的平面里：画笔水平时就是水平的圆。画完要 pen.update() 才显示。
    """
    _checkedPen(pen, "circle")
    radius = _checkedNumber(radius, "circle", "radius")
    extent = _checkedNumber(extent, "circle", "extent")
    if radius == 0 or extent == 0:
        return
    start = LPoint3(*pen.getPos())
    ahead = _heading(pen)
    rotZ = math.radians(pen.rotZ)
    left = LVector3(-math.sin(rotZ), math.cos(rotZ), 0)  # where dLeft turns the heading
    centre = start + left * radius
    outward = start - centre
    size = abs(radius)
    steps = max(2, math.ceil(abs(extent) / CIRCLE_STEP))
    for step in range(1, steps + 1):
        angle = math.radians(extent * step / steps)
        point = centre + outward * math.cos(angle) + ahead * (size * math.sin(angle))
        pen.lineTo(point.x, point.y, point.z)
    angle = math.radians(extent)
    direction = -outward * (math.sin(angle) / size) + ahead * math.cos(angle)
    _aim(pen, direction, pen.rotZ + math.copysign(extent, radius))


def _aim(pen, direction, nearRotZ):
    """Sets the pen's angles to head along `direction`, its rotZ the one nearest `nearRotZ`."""
    direction.normalize()
    horizontal = math.hypot(direction.x, direction.y)
    if horizontal > 1e-9:
        rotZ = math.degrees(math.atan2(direction.y, direction.x))
        pen.rotZ = rotZ + 360 * round((nearRotZ - rotZ) / 360)
    pen.rotY = math.degrees(math.atan2(horizontal, direction.z))


class _FillRecording:
    """Notes every point the pen goes to inside a `with fill(...)` block."""

    def __init__(self, pen, colour):
        self.pen = pen
        self.colour = colour
        self.points = None
        self.node = None

    def __enter__(self):
        if "moveTo" in self.pen.__dict__ or "lineTo" in self.pen.__dict__:
            raise RuntimeError("fill 不能套在另一个 fill 里：请先结束前一个 with fill(...)")
        self.points = [LPoint3(*self.pen.getPos())]
        for name in ("moveTo", "lineTo"):
            self.pen.__dict__[name] = self.recording(getattr(type(self.pen), name))
        return self

    def recording(self, method):
        def recorded(x, y, z):
            method(self.pen, x, y, z)
            self.points.append(LPoint3(x, y, z))
        return recorded

    def __exit__(self, kind, error, trace):
        for name in ("moveTo", "lineTo"):
            self.pen.__dict__.pop(name, None)
        if kind is None:
            self.node = _filledPolygon(self.pen, self.colour, self.points, "fill")
        return False


def _checkedColour(colour, helper):
    try:
        values = tuple(float(value) for value in colour)
    except (TypeError, ValueError):
        values = ()
    if len(values) == 3:
        values += (1.0,)
    if len(values) != 4:
        raise ValueError(f"{helper} 的颜色要是 (r, g, b) 或 (r, g, b, a)，例如 Color.red，收到的是 {colour!r}")
    return values


def _checkedPoints(points, helper):
    try:
        coordinates = [tuple(float(value) for value in point) for point in points]
    except (TypeError, ValueError):
        coordinates = None
    if coordinates is None or any(len(point) != 3 for point in coordinates):
        raise ValueError(f"{helper} 的 points 要是点 (x, y, z) 的列表，例如 [(0, 0, 0), (4, 0, 0), (0, 3, 0)]")
    return [LPoint3(*point) for point in coordinates]


def fill(pen, color, points=None):
    """画一个填了颜色的形状（两面都看得见）。两种用法：

    with fill(pen, Color.yellow):   # with 里画笔走过的路线围成的形状被填上颜色
        circle(pen, 3)
    fill(pen, Color.red, [(0, 0, 0), (4, 0, 0), (0, 3, 0)])   # 直接用这些点围成的多边形
    形状挂在 pen.np 下面，马上显示；pen.clear() 会把它和线条一起擦掉。
    用 points 时返回形状的 NodePath（点少于 3 个时返回 None）。
    """
    _checkedPen(pen, "fill")
    colour = _checkedColour(color, "fill")
    if points is None:
        return _FillRecording(pen, colour)
    return _filledPolygon(pen, colour, _checkedPoints(points, "fill"), "fill")


def _filledPolygon(pen, colour, points, name):
    """Triangles over the polygon through `points`, in the pen's coordinates, facing both ways."""
    corners = []
    for point in points:
        if not corners or (point - corners[-1]).length() > 1e-6:
            corners.append(point)
    if len(corners) > 1 and (corners[0] - corners[-1]).length() <= 1e-6:
        corners.pop()
    if len(corners) < 3:
        return None
    triangulator = Triangulator3()
    for corner in corners:
        triangulator.addPolygonVertex(triangulator.addVertex(LPoint3d(*corner)))
    triangulator.triangulate()
    if triangulator.getNumTriangles() == 0:
        return None  # all the points on one line: nothing to fill
    data = GeomVertexData(name, GeomVertexFormat.getV3(), Geom.UHStatic)
    writer = GeomVertexWriter(data, "vertex")
    for index in range(triangulator.getNumVertices()):
        writer.addData3(*triangulator.getVertex(index))
    triangles = GeomTriangles(Geom.UHStatic)
    for index in range(triangulator.getNumTriangles()):
        corners3 = (triangulator.getTriangleV0(index), triangulator.getTriangleV1(index),
                    triangulator.getTriangleV2(index))
        triangles.addVertices(*corners3)
        triangles.addVertices(*reversed(corners3))  # the back face, so it reads from both sides
    geom = Geom(data)
    geom.addPrimitive(triangles)
    node = GeomNode(name)
    node.addGeom(geom)
    shape = pen.np.attachNewNode(node)
    shape.setColor(*colour)
    if colour[3] < 1:
        shape.setTransparency(TransparencyAttrib.MAlpha)
    # Behind the pen's own lines on the same plane, so that its outline stays visible.
    shape.setDepthOffset(-1)
    return shape


def writeAt(app, pen, text, color=(1, 0, 0, 1), scale=1):
    """在画笔现在的位置写字（总是朝着摄像机），返回文字的 NodePath。

    color 是文字的颜色，scale 是大小，和 app.makeText 一样。中文也可以写。
    """
    _checkedPen(pen, "writeAt")
    if not hasattr(app, "makeText"):
        raise TypeError(f"writeAt 的第一个参数要是 TAVIK() 创建的 app，收到的是 {type(app).__name__}")
    where = app.render.getRelativePoint(pen.np, LPoint3(*pen.getPos()))
    return app.makeText("writeAt", str(text), pos=(where.x, where.y, where.z), color=color, scale=scale)


def home(pen):
    """让画笔回到原点 (0, 0, 0)，朝向 +X（rotZ = 0，rotY = 90），不画线。"""
    _checkedPen(pen, "home")
    pen.moveTo(0, 0, 0)
    pen.rotZ = 0
    pen.rotY = 90
