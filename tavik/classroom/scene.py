"""What a program's scene held when its frames were over, as plain records.

`record_scene` runs in the child after the frames: it reads what the screen
shows (every pen's built lines and dots in `render` coordinates with their
colours and thickness, the texts in the scene and on the widgets, the
models the program loaded, each mover's state, the camera). The grader
keeps the record with the program's result, compares it with the teacher's
solution (`tavik.classroom.compare`) and hands it to the teacher's checks
(`tavik.classroom.checks`). A `Scene` goes to JSON and back unchanged.
"""
import math
from dataclasses import asdict, dataclass, field

# The line the kit prints when a TAVIK() is made: not the learner's output.
KIT_GREETING = "嗨，Norvane3D编程欢迎您！"
MOVER_STATES = ("running", "finished", "stopped", "idle")


@dataclass
class Segment:
    start: tuple
    end: tuple
    colour: tuple = (1.0, 1.0, 1.0, 1.0)
    thickness: float = 1.0

    @property
    def length(self):
        return math.dist(self.start, self.end)


@dataclass
class Dot:
    point: tuple
    colour: tuple = (1.0, 1.0, 1.0, 1.0)
    thickness: float = 1.0


@dataclass
class Text:
    text: str
    kind: str = "scene"         # "scene": a text in 3D (makeText); "widget": a label, button or entry
    position: tuple = None


@dataclass
class Model:
    name: str
    position: tuple = (0.0, 0.0, 0.0)
    scale: tuple = (1.0, 1.0, 1.0)
    colour: tuple = None


@dataclass
class Mover:
    state: str                  # one of MOVER_STATES
    position: tuple = None      # where its model is
    last_point: tuple = None    # the end of its path


@dataclass
class Camera:
    position: tuple = (0.0, 0.0, 0.0)
    hpr: tuple = (0.0, 0.0, 0.0)
    view: tuple = None          # render -> camera, 16 numbers, row vectors (the engine's order)
    fov: tuple = (40.0, 30.0)   # horizontal, vertical, degrees


@dataclass
class Scene:
    segments: list = field(default_factory=list)
    dots: list = field(default_factory=list)
    texts: list = field(default_factory=list)
    models: list = field(default_factory=list)
    movers: list = field(default_factory=list)
    camera: Camera = None
    output: str = ""

    # ---- what a teacher's check asks --------------------------------------------

    def has_text(self, part):
        """Is there a text (in the scene or on a widget) containing `part`?"""
        return any(part in text.text for text in self.texts)

    def printed(self, part):
        """Did the program print something containing `part`?"""
        return str(part) in self.output

    def models_named(self, name):
        return [model for model in self.models if model.name == name]

    def drawn_length(self):
        return sum(segment.length for segment in self.segments)

    # ---- to JSON and back --------------------------------------------------------

    def to_data(self):
        return asdict(self)

    @classmethod
    def from_data(cls, data):
        if not data:
            return cls()

        def rows(kind, key):
            return [kind(**{name: tuplify(value) for name, value in row.items()}) for row in data.get(key) or []]

        camera = data.get("camera")
        return cls(segments=rows(Segment, "segments"), dots=rows(Dot, "dots"), texts=rows(Text, "texts"),
                   models=rows(Model, "models"), movers=rows(Mover, "movers"),
                   camera=Camera(**{name: tuplify(value) for name, value in camera.items()}) if camera else None,
                   output=data.get("output") or "")


def tuplify(value):
    return tuple(value) if isinstance(value, list) else value


def without_greeting(output):
    """The printed output without the kit's own greeting line (once)."""
    lines = output.split("\n")
    for index, line in enumerate(lines):
        if line.startswith(KIT_GREETING):
            del lines[index]
            break
    return "\n".join(lines)


# ---- reading the scene in the child ------------------------------------------------

def rounded(values, digits=5):
    return tuple(round(float(value), digits) for value in values)


def is_shown(path, top):
    return not path.isEmpty() and path.getTop() == top and not path.isHidden()


def pen_geometry(pen, render):
    """The segments and dots a pen's built geometry shows, in render coordinates."""
    from panda3d.core import GeomLines, GeomPoints, GeomVertexReader, RenderModeAttrib
    segments, dots = [], []
    holder = getattr(pen, "np", None)
    if holder is None or not is_shown(holder, render):
        return segments, dots
    for path in holder.findAllMatches("**/+GeomNode"):
        if path.isHidden():
            continue
        to_render = path.getMat(render)
        node = path.node()
        for index in range(node.getNumGeoms()):
            geom = node.getGeom(index)
            mode = node.getGeomState(index).getAttrib(RenderModeAttrib)
            thickness = round(mode.getThickness(), 3) if mode is not None else 1.0
            data = geom.getVertexData()
            for primitive_index in range(geom.getNumPrimitives()):
                primitive = geom.getPrimitive(primitive_index)
                if isinstance(primitive, GeomPoints):
                    vertices = [primitive.getVertex(i) for i in range(primitive.getNumVertices())]
                    for vertex, colour in read_vertices(data, vertices, to_render, GeomVertexReader):
                        dots.append(Dot(vertex, colour, thickness))
                    continue
                lines = primitive.decompose()
                if not isinstance(lines, GeomLines):
                    continue
                vertices = [lines.getVertex(i) for i in range(lines.getNumVertices())]
                read = read_vertices(data, vertices, to_render, GeomVertexReader)
                for (start, colour), (end, _) in zip(read[0::2], read[1::2]):
                    segments.append(Segment(start, end, colour, thickness))
    return segments, dots


def read_vertices(data, rows, to_render, reader_class):
    positions = reader_class(data, "vertex")
    colours = reader_class(data, "color") if data.getFormat().hasColumn("color") else None
    found = []
    for row in rows:
        positions.setRow(row)
        point = to_render.xformPoint(positions.getData3f())
        colour = (1.0, 1.0, 1.0, 1.0)
        if colours is not None:
            colours.setRow(row)
            colour = rounded(colours.getData4f(), 3)
        found.append((rounded(point), colour))
    return found


def scene_texts(app):
    texts = []
    for path in app.render.findAllMatches("**/+TextNode"):
        if is_shown(path, app.render) and path.node().getText():
            texts.append(Text(path.node().getText(), "scene", rounded(path.getPos(app.render))))
    for widget in live_widgets():
        text = widget_text(widget)
        if text:
            texts.append(Text(text, "widget", None))
    return texts


def live_widgets():
    import sys
    gui = sys.modules.get("direct.gui.DirectGuiBase")
    if gui is None:
        return []
    return [widget for widget in list(gui.DirectGuiWidget.guiDict.values()) if not widget.isEmpty()]


def widget_text(widget):
    try:
        if widget.isHidden():
            return ""
        if hasattr(widget, "enterText") and hasattr(widget, "get"):
            return str(widget.get())
        text = widget["text"]
    except Exception:       # a widget destroyed or without text
        return ""
    if isinstance(text, (list, tuple)):
        text = text[0] if text else ""
    return text if isinstance(text, str) else ""


def loaded_models(app, loads):
    models = []
    for name, path in loads:
        try:
            if path is None or not is_shown(path, app.render):
                continue
            colour = rounded(path.getColor(), 3) if path.hasColor() else None
            models.append(Model(str(name), rounded(path.getPos(app.render)), rounded(path.getScale(app.render)), colour))
        except Exception:   # a node the program removed or replaced
            continue
    return models


def mover_state(mover):
    try:
        if mover.mf:
            state = "running"
        elif mover.mtni is None:
            state = "stopped"
        else:
            state = "finished"
        model, path = mover.model, mover.path
        position = rounded(model.getPos(model.getTop())) if model is not None and not model.isEmpty() else None
        last = rounded(path[len(path) - 1]) if path else None
    except Exception:       # attributes the program replaced with something else
        return Mover("idle")
    return Mover(state, position, last)


def scene_camera(app):
    camera = getattr(app, "camera", None)
    if camera is None or getattr(app, "cam", None) is None:
        return None
    matrix = app.render.getMat(app.cam)
    view = tuple(round(matrix.getCell(row, column), 6) for row in range(4) for column in range(4))
    fov = app.camLens.getFov() if getattr(app, "camLens", None) is not None else (40.0, 30.0)
    return Camera(rounded(app.cam.getPos(app.render)), rounded(app.cam.getHpr(app.render)), view, rounded(fov))


def record_scene(app, pens, loads, movers, output=""):
    """The scene `app` shows now; `pens`, `loads` ((name, node) pairs) and `movers` are what the program made."""
    scene = Scene(output=output)
    if app is None or getattr(app, "render", None) is None:
        return scene
    for pen in pens:
        segments, dots = pen_geometry(pen, app.render)
        scene.segments += segments
        scene.dots += dots
    scene.segments = unique(scene.segments, lambda s: (s.start, s.end, s.colour, s.thickness))
    scene.dots = unique(scene.dots, lambda d: (d.point, d.colour, d.thickness))
    scene.texts = scene_texts(app)
    scene.models = loaded_models(app, loads)
    scene.movers = [mover_state(mover) for mover in movers]
    scene.camera = scene_camera(app)
    return scene


def unique(items, key):
    """A pen's every build stays on screen and each holds all it drew since clear(): one of each."""
    seen, kept = set(), []
    for item in items:
        if key(item) not in seen:
            seen.add(key(item))
            kept.append(item)
    return kept
