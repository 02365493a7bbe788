"""Learner helpers beside the kit: frame the whole scene, look from one side,
watch a pen draw stroke by stroke, and save what the window shows; and,
from `tavik.game`, keys, clicks, touching, sound, timers and turtle moves.

Learners write ``from tavik.extras import *`` after ``from tavik.tavik import *``.
Everything here works through the kit's public objects (the application's
``camera_controller``, a pen's ``update``, ``lineNode`` and ``np``); the kit
itself is left as it is.
"""
import bisect
import builtins
import contextlib
import itertools
import math
import os

from panda3d.core import (
    Filename,
    Geom,
    GeomNode,
    GeomPoints,
    GeomTriangles,
    GeomVertexData,
    GeomVertexFormat,
    GeomVertexReader,
    GeomVertexWriter,
    LMatrix4,
    LPoint3,
    LVector3,
    NodePath,
    PNMImage,
)

from direct.task.TaskManagerGlobal import taskMgr

from tavik import game
from tavik.game import *  # noqa: F401,F403  (the game helpers come with the same import line)
from tavik.tavik import Pen

__all__ = ["frameAll", "lookFrom", "animate", "saveImage"] + game.__all__

# ---- frameAll ------------------------------------------------------------------

# The scene's outline takes up at most 1/1.1 of the window in each direction.
FRAME_MARGIN = 1.1
# The nearest vertex of the scene stays this many near-plane distances in
# front of the camera, so that a tiny drawing is not cut by the near plane.
NEAR_CLEARANCE = 1.5
# The engine's default lens, for an application without a camera lens.
DEFAULT_FOV = (39.3201, 30.0)


def frameAll(app):
    """让摄像机把 render 下所有看得见的东西都装进窗口（四周留一点空）。

    保持摄像机控制器现在的 theta 和 phi（观察的方向），只把 target_pos 设为
    场景的中心、把 radius 设为刚好装下的距离，再由控制器摆好摄像机，
    所以之后用鼠标旋转、缩放都从这里接着来。
    场景里什么都看不见时（没有模型、没有画好的线），摄像机保持不动。
    返回 True 表示已经对准了场景，返回 False 表示场景是空的。
    """
    controller = _controllerOf(app, "frameAll")
    with _animatedBuildsShown():
        pieces = _visiblePieces(app)
        eye = _eye(app)
        if eye is None:
            return _frameWithoutCamera(app, controller, pieces)
        # Aiming depends on the angles only: aim first, then measure the
        # scene along the axes the camera really has.
        camera = app.camera
        before = camera.getTransform()
        controller.update_camera_position()
        fit = _fit(app, pieces, eye)
        if fit is not None:
            centre, distance = fit
            target = app.render.getRelativePoint(eye, centre)
    if fit is None or not all(math.isfinite(value) for value in (*target, distance)):
        camera.setTransform(before)  # nothing to frame: the camera stays put
        return False
    controller.target_pos = LPoint3(target)
    controller.radius = distance
    controller.update_camera_position()
    return True


def _controllerOf(app, helper):
    controller = getattr(app, "camera_controller", None)
    if controller is None:
        raise TypeError(f"{helper} 的第一个参数要是 TAVIK() 创建的 app，收到的是 {type(app).__name__}")
    return controller


def _visiblePieces(app):
    """Every shown piece of geometry and text under render."""
    render = app.render
    camera = getattr(app, "camera", None)
    pieces = []
    for path in itertools.chain(render.findAllMatches("**/+GeomNode"), render.findAllMatches("**/+TextNode")):
        if path.isHidden() or path.hasNetTag(OVERLAY_TAG):
            continue
        if camera is not None and not camera.isEmpty() and camera.isAncestorOf(path):
            continue  # what rides on the camera is always in view
        pieces.append(path)
    return pieces


def _eye(app):
    for name in ("cam", "camera"):
        eye = getattr(app, name, None)
        if eye is not None and not eye.isEmpty():
            return eye
    return None


def _tightBounds(pieces, frame):
    """The box around the pieces' vertices in the coordinates of `frame`, or None."""
    low = high = None
    for path in pieces:
        bounds = path.getTightBounds(frame)
        if not bounds:
            continue
        if low is None:
            low, high = LPoint3(bounds[0]), LPoint3(bounds[1])
        else:
            low = LPoint3(*(min(a, b) for a, b in zip(low, bounds[0])))
            high = LPoint3(*(max(a, b) for a, b in zip(high, bounds[1])))
    return None if low is None else (low, high)


def _fit(app, pieces, eye):
    """The centre of the scene (in the eye's frame: X right, Y ahead, Z up)
    and how far back from it the camera must stand, or None for no vertices.

    With the camera `distance` behind a centre c, a vertex v is inside the
    margin when FRAME_MARGIN * |v.x - c.x| <= tan(fov/2) * (distance + v.y -
    c.y), and likewise for z: each side of the window bounds one linear
    function of the vertices.  The engine finds the largest values of three
    such functions at once, as the tight bounds of the scene in a frame whose
    axes are those functions.  The centre is put where the two sides of each
    pair are equally near, so the picture is centred; its depth is the middle
    of the scene's depth.
    """
    lens = getattr(app, "camLens", None)
    horizontal, vertical = lens.getFov() if lens is not None else DEFAULT_FOV
    near = lens.getNear() if lens is not None else 1.0
    across = FRAME_MARGIN / math.tan(math.radians(horizontal) / 2)
    upward = FRAME_MARGIN / math.tan(math.radians(vertical) / 2)
    # Right and left side, top; bottom, minus the depth, and one more
    # function that only makes the second frame complete.
    groups = ([LVector3(across, -1, 0), LVector3(-across, -1, 0), LVector3(0, -1, upward)],
              [LVector3(0, -1, -upward), LVector3(0, -1, 0), LVector3(1, 0, 0)])
    measured = []
    for functions in groups:
        probe = _frameOf(eye, functions)
        try:
            bounds = _tightBounds(pieces, probe)
        finally:
            probe.removeNode()
        if bounds is None:
            return None
        measured.append(bounds)
    (_, (right, left, top)), ((_, farthest, _), (bottom, nearest, _)) = measured
    nearest, farthest = -nearest, -farthest
    depth = (nearest + farthest) / 2
    centre = LPoint3((right - left) / (2 * across), depth, (top - bottom) / (2 * upward))
    clearance = near * NEAR_CLEARANCE
    distance = max((right + left) / 2 + depth, (top + bottom) / 2 + depth, clearance - nearest + depth)
    return centre, distance


def _frameOf(eye, functions):
    """A node under `eye` whose coordinates of a point are the three functions' values."""
    # Points are rows: local = point_eye * columns, so the node's own matrix
    # is the inverse of the matrix whose columns are the functions.
    columns = LMatrix4(*(value for row in range(3) for value in (*(f[row] for f in functions), 0)), 0, 0, 0, 1)
    matrix = LMatrix4(columns)
    if not matrix.invertInPlace():
        raise ArithmeticError("the framing functions are not independent")
    probe = eye.attachNewNode("frameAllProbe")
    probe.setMat(matrix)
    return probe


def _frameWithoutCamera(app, controller, pieces):
    """No camera to frame for (a program without a window): aim the controller
    at the centre of the scene's box, far enough back for its bounding sphere."""
    box = _tightBounds(pieces, app.render)
    if box is None:
        return False
    low, high = box
    radius = (high - low).length() / 2
    controller.target_pos = LPoint3((low + high) * 0.5)
    controller.radius = max(FRAME_MARGIN * radius / math.sin(math.radians(min(DEFAULT_FOV)) / 2), NEAR_CLEARANCE)
    controller.update_camera_position()
    return True


# ---- lookFrom ------------------------------------------------------------------

# (theta, phi) of the orbit camera for each side.  theta is the compass angle
# from +Y towards +X of where the camera stands, phi the angle down from
# straight above.  From above (phi 0) the controller's lookAt has no up
# direction to go by; the engine then keeps the heading at 0, which puts +X
# to the right and +Y up the screen, exactly the map view.  A drag from there
# starts at the controller's own limit of 5 degrees, on the front side
# (theta 180).
SIDES = {
    "front": (180, 90),
    "back": (0, 90),
    "left": (270, 90),
    "right": (90, 90),
    "top": (180, 0),
}
CHINESE_SIDES = {"前": "front", "后": "back", "左": "left", "右": "right", "上": "top"}
SIDE_MESSAGE = ("lookFrom 的方向只能是 \"front\"、\"back\"、\"left\"、\"right\"、\"top\" "
                "或 \"前\"、\"后\"、\"左\"、\"右\"、\"上\"，请把 {!r} 改成其中一个")


def lookFrom(app, side):
    """让摄像机从某一边看过来，side 可以是：

    "front" 或 "前"：站在 -Y 一侧向 +Y 看，XZ 平面上的画从左往右、正着读；
    "back" 或 "后"：站在 +Y 一侧向 -Y 看；
    "left" 或 "左"：站在 -X 一侧向 +X 看；
    "right" 或 "右"：站在 +X 一侧向 -X 看；
    "top" 或 "上"：从正上方往下看，X 轴朝右。
    只改变摄像机控制器的 theta 和 phi，target_pos 和 radius 不变，
    之后鼠标照样可以旋转、平移和缩放。side 写错时抛出 ValueError。
    """
    name = side.strip().lower() if isinstance(side, str) else None
    name = CHINESE_SIDES.get(name, name)
    if name not in SIDES:
        raise ValueError(SIDE_MESSAGE.format(side))
    controller = _controllerOf(app, "lookFrom")
    controller.theta, controller.phi = SIDES[name]
    controller.update_camera_position()


# ---- animate -------------------------------------------------------------------

DEFAULT_SPEED = 2
# The overlays the animation draws are tagged, so that framing leaves them out.
OVERLAY_TAG = "tavikPenAnimation"
# The turtle's length as a share of its distance from the camera: about
# 25 pixels whatever the zoom.
MARKER_SIZE = 0.02

_taskNumbers = itertools.count(1)
_running = set()  # animations with builds hidden right now


def animate(pen, speed=DEFAULT_SPEED):
    """让画笔画画的过程看得见：从这以后，每次 pen.update() 新画的线条会一段一段地出现。

    speed 是每一帧画出的线段数（可以是小数，0.5 表示两帧画一段），
    speed 为 0 时关掉动画，以后的 update() 又会一下子全部显示。
    画的时候，笔尖上有一个和线条同色的小箭头（小海龟），指着前进的方向，
    全部画完就消失。画笔记录的内容、位置、角度、lineNode、setVertex
    和最后画出的图形都和不用动画时完全一样，只是屏幕上慢一点出现。
    """
    if not isinstance(pen, Pen):
        raise TypeError(f"animate 的第一个参数要是一支画笔 Pen，收到的是 {type(pen).__name__}")
    speed = _checkedSpeed(speed)
    animation = pen.__dict__.get("update")
    if not isinstance(animation, _PenAnimation):
        if speed == 0:
            return
        animation = _PenAnimation(pen)
        pen.__dict__["update"] = animation
    animation.speed = speed
    if speed == 0:
        animation.finish()
        del pen.__dict__["update"]


def _checkedSpeed(speed):
    if isinstance(speed, bool) or not isinstance(speed, (int, float)):
        raise TypeError(f"animate 的 speed 要是一个数字（每帧画几段），收到的是 {type(speed).__name__}")
    if not math.isfinite(speed) or speed < 0:
        raise ValueError(f"animate 的 speed 要是 0 或正数（每帧画几段），收到的是 {speed!r}")
    return speed


@contextlib.contextmanager
def _animatedBuildsShown():
    """Shows the builds that animations hold back, for as long as the block runs."""
    hidden = [build for animation in _running for build in animation.hiddenBuilds]
    for build in hidden:
        build.show()
    try:
        yield
    finally:
        for build in hidden:
            build.hide()


class _Stroke:
    """One connected line or one point of a build, by vertex numbers."""
    __slots__ = ("geomIndex", "vertices", "shown")

    def __init__(self, geomIndex, vertices):
        self.geomIndex = geomIndex
        self.vertices = vertices
        self.shown = 0  # how many of its vertices are on screen


class _PenAnimation:
    """Stands in for `update` on one pen: the real build happens at once and
    is hidden, and a copy of it shows the new strokes a few segments a frame.

    Each build holds every stroke since clear(), numbered in recording order,
    so what is new is what is numbered after the previous build's vertices.
    Progress is counted in steps: a segment of a line or a single point."""

    def __init__(self, pen):
        self.pen = pen
        self.speed = DEFAULT_SPEED
        self.taskName = f"animatePen-{next(_taskNumbers)}"
        self.hiddenBuilds = []  # the pen's real builds, hidden until the end
        self.build = None       # the newest of them, which the copy follows
        self.overlay = None     # carries the pen's placement; holds copy and marker
        self.copy = None
        self.marker = None
        self.strokes = []
        self.revealed = []
        self.geomKinds = []     # per geom of the build: "line", "point" or None (shown whole)
        self.steps = []         # (last vertex number, stroke, vertices shown after it)
        self.keys = []          # the steps' vertex numbers, for bisecting
        self.done = 0           # steps on screen
        self.progress = 0.0
        self.heading = None

    def __repr__(self):
        return f"<animated update of {self.pen!r}>"

    # The pen's own update, then the animation of what it built.
    def __call__(self):
        previous = self.pen.lineNode
        type(self.pen).update(self.pen)
        build = self.pen.lineNode
        if build is None or build is previous or not isinstance(build.node(), GeomNode):
            return
        if self.build is not None:
            if self.build is previous and self.stillDrawn():
                self.follow(build, self.shownUpTo())
                return
            self.finish()  # the pen was cleared meanwhile
        cut = 0
        if previous is not None and not previous.getParent().isEmpty():
            cut = _vertexCount(previous.node())
        self.follow(build, cut)

    def follow(self, build, cut):
        """Animates `build` from the step that comes after vertex `cut`."""
        self.readStrokes(build.node())
        start = bisect.bisect_left(self.keys, cut)
        if self.build is None and start >= len(self.steps):
            return  # nothing new to draw
        if self.overlay is None:
            # Beside the pen's container, under the same scene root.
            self.overlay = build.getTop().attachNewNode("penAnimation")
            self.overlay.setTag(OVERLAY_TAG, "")
            self.marker = _markerModel().copyTo(self.overlay)
        if self.copy is not None:
            self.copy.removeNode()
        self.copy = build.copyTo(self.overlay)
        build.hide()
        self.hiddenBuilds.append(build)
        self.build = build
        _running.add(self)
        for stroke in self.strokes:
            stroke.shown = 0
        self.revealed = []      # strokes with something on screen, in order
        self.done = 0
        self.advanceTo(start)
        self.progress = float(start)
        if not taskMgr.hasTaskNamed(self.taskName):
            taskMgr.add(self.step, self.taskName)
        self.show()

    def readStrokes(self, node):
        self.strokes, self.geomKinds, steps = [], [], []
        for geomIndex in range(node.getNumGeoms()):
            geom = node.getGeom(geomIndex)
            kind = {Geom.PT_lines: "line", Geom.PT_points: "point"}.get(geom.getPrimitiveType())
            self.geomKinds.append(kind)
            if kind is None:
                continue
            for primitiveIndex in range(geom.getNumPrimitives()):
                primitive = geom.getPrimitive(primitiveIndex)
                for index in range(primitive.getNumPrimitives()):
                    vertices = [primitive.getVertex(number) for number in
                                range(primitive.getPrimitiveStart(index), primitive.getPrimitiveEnd(index))]
                    stroke = _Stroke(geomIndex, vertices)
                    self.strokes.append(stroke)
                    # A point is one step; a line one step per segment.
                    first = 0 if kind == "point" else 1
                    steps.extend((vertices[position], stroke, position + 1) for position in range(first, len(vertices)))
        steps.sort(key=lambda step: step[0])
        self.steps = steps
        self.keys = [step[0] for step in steps]

    def shownUpTo(self):
        """The vertex number the next step of the current build would reach."""
        return self.keys[self.done] if self.done < len(self.keys) else _vertexCount(self.build.node())

    def advanceTo(self, count):
        for _, stroke, shown in self.steps[self.done:count]:
            if stroke.shown == 0:
                self.revealed.append(stroke)
            stroke.shown = max(stroke.shown, shown)
        self.done = max(self.done, count)

    def stillDrawn(self):
        """Whether the build is still the pen's, in the scene: clear() or
        removing the pen's container ends the animation."""
        return (self.build is not None and not self.build.getParent().isEmpty()
                and self.build.getTop() == self.overlay.getTop())

    def step(self, task):
        if not self.stillDrawn():
            self.finish(removeTask=False)
            return task.done
        self.progress = min(self.progress + self.speed, len(self.steps))
        if int(self.progress) > self.done:
            self.advanceTo(int(self.progress))
            self.show()
        if self.done >= len(self.steps):
            self.finish(removeTask=False)
            return task.done
        return task.cont

    def show(self):
        """Puts the shown part of the build into the copy and the turtle at its tip."""
        parent = self.build.getParent()
        self.overlay.setTransform(parent.getTransform(self.overlay.getParent()))
        if parent.isHidden():
            self.overlay.hide()
        else:
            self.overlay.show()
        source, target = self.build.node(), self.copy.node()
        for geomIndex, kind in enumerate(self.geomKinds):
            if kind is None:
                continue
            original = source.getGeom(geomIndex)
            if original.getNumPrimitives() == 0:
                continue
            geom = original.makeCopy()
            geom.clearPrimitives()
            primitive = type(original.getPrimitive(0))(original.getPrimitive(0).getUsageHint()) \
                if kind == "line" else GeomPoints(Geom.UHStatic)
            for stroke in self.revealed:
                if stroke.geomIndex != geomIndex or stroke.shown == 0 or (kind == "line" and stroke.shown < 2):
                    continue
                _addVertices(primitive, stroke.vertices[:stroke.shown])
                if kind == "line":
                    primitive.closePrimitive()
            if primitive.getNumVertices():
                geom.addPrimitive(primitive)
            target.setGeom(geomIndex, geom)
        self.placeMarker()

    def placeMarker(self):
        if not self.steps:
            self.marker.hide()
            return
        self.marker.show()
        if self.done < len(self.steps):
            vertex, stroke, shown = self.steps[self.done]
            # About to draw: the turtle stands where the next step starts.
            tip = stroke.vertices[shown - 2] if shown >= 2 else vertex
            ahead = vertex if shown >= 2 else None
        else:
            vertex, stroke, shown = self.steps[-1]
            tip, ahead = vertex, None
        data = self.build.node().getGeom(stroke.geomIndex).getVertexData()
        # Vertices are in the build's own frame, which the copy repeats.
        position = self.overlay.getRelativePoint(self.copy, _vertexPosition(data, tip))
        if ahead is not None:
            direction = self.overlay.getRelativePoint(self.copy, _vertexPosition(data, ahead)) - position
            if direction.length() > 1e-9:
                self.heading = direction
        if self.heading is None:
            self.heading = _penHeading(self.pen)
        self.marker.setPos(position)
        up = LVector3(0, 0, 1) if abs(self.heading.normalized().z) < 0.999 else LVector3(0, 1, 0)
        self.marker.lookAt(position + self.heading, up)
        self.marker.setColor(_vertexColour(data, tip))
        base = getattr(builtins, "base", None)
        camera = getattr(base, "camera", None)
        if camera is not None and not camera.isEmpty():
            scene = self.overlay.getParent()
            self.marker.setScale(scene, max(self.marker.getDistance(camera) * MARKER_SIZE, 1e-6))

    def finish(self, removeTask=True):
        """Shows the real builds again and takes the copy and the turtle away."""
        for build in self.hiddenBuilds:
            build.show()
        self.hiddenBuilds = []
        self.build = None
        _running.discard(self)
        if self.overlay is not None:
            self.overlay.removeNode()
        self.overlay = self.copy = self.marker = None
        self.heading = None
        if removeTask:
            taskMgr.remove(self.taskName)


def _vertexCount(node):
    return max((node.getGeom(index).getVertexData().getNumRows() for index in range(node.getNumGeoms())),
               default=0)


def _addVertices(primitive, vertices):
    first = vertices[0]
    if vertices[-1] - first == len(vertices) - 1 and vertices == list(range(first, first + len(vertices))):
        primitive.addConsecutiveVertices(first, len(vertices))
    else:
        for vertex in vertices:
            primitive.addVertex(vertex)


def _vertexPosition(data, row):
    reader = GeomVertexReader(data, "vertex")
    reader.setRow(row)
    return LPoint3(reader.getData3())


def _vertexColour(data, row):
    if not data.hasColumn("color"):
        return (1, 1, 1, 1)
    reader = GeomVertexReader(data, "color")
    reader.setRow(row)
    return reader.getData4()


def _penHeading(pen):
    rotZ, rotY = math.radians(pen.rotZ), math.radians(pen.rotY)
    return LVector3(math.sin(rotY) * math.cos(rotZ), math.sin(rotY) * math.sin(rotZ), math.cos(rotY))


_marker = None


def _markerModel():
    """A small arrow head pointing along +Y with its tip at the origin: a flat
    pyramid, so that it shows from above as well as from the side."""
    global _marker
    if _marker is None:
        data = GeomVertexData("turtle", GeomVertexFormat.getV3(), Geom.UHStatic)
        writer = GeomVertexWriter(data, "vertex")
        corners = [(0, 0, 0), (-0.4, -1, 0), (0, -0.8, 0.15), (0.4, -1, 0), (0, -0.8, -0.15)]
        for corner in corners:
            writer.addData3(*corner)
        triangles = GeomTriangles(Geom.UHStatic)
        for a, b, c in [(0, 1, 2), (0, 2, 3), (0, 3, 4), (0, 4, 1), (1, 4, 3), (1, 3, 2)]:
            triangles.addVertices(a, b, c)
        geom = Geom(data)
        geom.addPrimitive(triangles)
        node = GeomNode("turtle")
        node.addGeom(geom)
        _marker = NodePath(node)
        _marker.setTwoSided(True)
        _marker.setLightOff(1)
    return _marker


# ---- saveImage -----------------------------------------------------------------

SCREENSHOT_ATTEMPTS = 3


def saveImage(app, path):
    """把窗口里现在的画面保存成 PNG 图片，返回图片文件的完整路径。

    path 是文件名，例如 "我的画.png"；没写扩展名时自动加上 .png。
    保存之前先画一帧，所以刚画好的线条也会在图片里。
    """
    try:
        name = os.fspath(path)
    except TypeError:
        name = None
    if not isinstance(name, str):
        raise TypeError(f"saveImage 的文件名要是文字，例如 \"我的画.png\"，收到的是 {type(path).__name__}")
    target = os.path.abspath(name)
    stem, extension = os.path.splitext(target)
    if not extension:
        target += ".png"
    elif extension.lower() != ".png":
        raise ValueError(f"saveImage 只能保存 PNG 图片，请把文件名 {name!r} 改成以 .png 结尾")
    window = getattr(app, "win", None)
    if window is None:
        raise RuntimeError("saveImage 没有窗口可以截图：请先创建 TAVIK()，并在有窗口时调用")
    image = PNMImage()
    for _ in range(SCREENSHOT_ATTEMPTS):
        app.graphicsEngine.renderFrame()
        if window.getScreenshot(image):
            break
    else:
        raise RuntimeError("窗口没有给出画面，图片没有保存：请让程序多运行几帧再调用 saveImage")
    folder = os.path.dirname(target)
    if folder:
        os.makedirs(folder, exist_ok=True)
    if not image.write(Filename.fromOsSpecific(target)):
        raise OSError(f"图片无法写入 {target}：请检查这个文件夹能不能写入")
    return target
