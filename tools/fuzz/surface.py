"""The public surface the cases work on, and the known crash families.

`survey` reads the kit's public callables and what its classes set up from
the running kit, so the generator follows the module as it is; FAMILIES
names each known fault by the tags of the statements that reach it.
"""
import inspect
import os
import sys

# This package, the tools folder it lies in, and the checkout.
PACKAGE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.dirname(PACKAGE)
ROOT = os.path.dirname(TOOLS)
ENGINE_SETTINGS = "audio-library-name null\nsync-video #f\nwin-size 1000 750\n"

# Engine classes the pen's build used to look up in panda3d.core when it ran
# (it holds them from import now); the families below still recognise them.
PEN_BUILD = ("RenderState", "RenderModeAttrib", "ColorAttrib", "Geom", "GeomNode", "GeomVertexFormat",
             "GeomVertexData", "GeomLinestrips", "GeomPoints")
# Known faults, each recognised by the tags of the statements that reach it.
FAMILIES = {
    "known-12-4": ("AStar with a huge grid dimension (std::bad_alloc)",
                   lambda tags: "grid-size" in tags and "huge-int" in tags),
    "known-12-5": ("re-entrant engine lookup while the pen holds its recording (use after free)",
                   lambda tags: "hook-reenter" in tags),
    "known-12-6": ("lone surrogate handed to the engine (abort in TextNode.setText)",
                   lambda tags: "surrogate" in tags),
    "known-12-7": ("Filename as a text (abort inside DirectGui's indexing of it)",
                   lambda tags: "filename" in tags),
    "known-15-1": ("GeomVertexWriter stand-in without its methods (null dereference)",
                   lambda tags: "rebind-GeomVertexWriter" in tags and "reenter" not in tags
                   or {"hook-value", "hook-GeomVertexWriter"} <= tags),
    # The pen's build used to check its engine lookups (and what it read
    # from them) only at the end: a hook that raised, or a stand-in without
    # the attributes read next, left an exception pending for the next one.
    "known-15-2": ("engine lookup that fails, the next runs with the exception set",
                   lambda tags: "hook-raise" in tags or bool(tags & {f"rebind-{name}" for name in PEN_BUILD})
                   or "hook-value" in tags and bool(tags & {f"hook-{name}" for name in PEN_BUILD})),
    # The engine's own task runner calls a null function for some results
    # (an int subclass, an object with __index__: seen): a plain ShowBase
    # task returning the same crashes the same way.
    "engine-task-result": ("a task method overridden to return a value the engine's task runner cannot take",
                           lambda tags: "task-result" in tags),
    "known-15-3": ("re-entrant GeomVertexWriter stand-in (use after free in the colour packing)",
                   lambda tags: "rebind-GeomVertexWriter" in tags and "reenter" in tags),
}

# The public surface: the module's own classes and functions.
PUBLIC = ("dist", "Color", "CameraController", "TAVIK", "Pen", "makeLabel", "makeButton", "makeEntry",
          "AStarNode", "AStar", "ClickCtrl", "PathMoveCtrl", "drawAxies")
KINDS = ("Pen", "AStar", "AStarNode", "PathMoveCtrl", "ClickCtrl", "CameraController")
# Engine classes the kit takes from panda3d.core while it runs.
CORE_NAMES = ("GeomVertexWriter", "GeomVertexData", "GeomVertexFormat", "Geom", "GeomNode", "GeomLines",
              "GeomLinestrips", "GeomPoints", "LPoint3f", "LVecBase4f", "LVecBase3f", "LVector3f", "LineSegs",
              "RenderState", "RenderModeAttrib", "ColorAttrib", "TextNode", "NodePath", "Filename",
              "TransformState", "CollisionRay", "CollisionNode", "LPoint3", "LVector3", "WindowProperties")
# Globals of the module the kit looks up when it runs.
KIT_NAMES = ("ShowBase", "WindowProperties", "CameraController", "LPoint3", "LVector3", "GLTF_AVAILABLE",
             "NodePath", "TextNode", "Color", "CollisionTraverser", "CollisionHandlerQueue", "CollisionNode",
             "CollisionRay", "GeomNode", "AStarNode", "LineSegs", "DirectLabel", "DirectButton", "DirectEntry",
             "DirectObject", "math", "os", "resources", "load_model", "base", "render", "print", "range",
             "abs", "len", "__file__", "Pen", "AStar")
# Methods the kit hands to the engine's task manager: what they return goes to the engine.
TASK_METHODS = ("update_mouse", "updateScene")
EVENTS = ("mouse1", "mouse1-up", "mouse3", "mouse3-up", "wheel_up", "wheel_down")
SPECIAL_METHODS = ("__float__", "__index__", "__int__", "__bool__", "__len__", "__iter__", "__getitem__",
                   "__eq__", "__hash__", "__str__", "__repr__", "__add__", "__sub__", "__mul__", "__del__",
                   "__call__", "__getattr__", "__lt__")


def families_of(tags):
    tags = set(tags)
    return {family for family, (_, matches) in FAMILIES.items() if matches(tags)}


def start_engine():
    sys.path[:] = [entry for entry in sys.path if os.path.abspath(entry or os.curdir) != ROOT]
    from tavik.classroom.display import ensure_display
    ensure_display()
    from panda3d.core import loadPrcFileData
    loadPrcFileData("fuzz", ENGINE_SETTINGS)
    import tavik.tavik as kit
    app = kit.TAVIK()
    for _ in range(3):
        app.taskMgr.step()
    return kit, app


def survey(kit, app):
    """Every public callable of the module with its parameters, and the
    instance attributes each class sets up, in a fixed order."""
    functions, classes = {}, {}
    for name in PUBLIC:
        value = getattr(kit, name)
        if not isinstance(value, type):
            functions[name] = parameters(value)
            continue
        members = {"methods": {}, "properties": [], "values": []}
        for member, item in vars(value).items():
            if isinstance(item, property):
                members["properties"].append(member)
            elif callable(item) and not member.startswith("__") or member == "__init__":
                members["methods"][member] = parameters(item)
            elif not member.startswith("__"):
                members["values"].append(member)
        classes[name] = members
    # Instances as the kit makes them; the click controller is made and
    # taken apart again, the application's own camera controller is read.
    click = kit.ClickCtrl()
    samples = {"Pen": kit.Pen(app), "AStar": kit.AStar(3, 3), "AStarNode": kit.AStarNode(1, 2),
               "PathMoveCtrl": kit.PathMoveCtrl(), "ClickCtrl": click, "CameraController": app.camera_controller}
    attributes = {kind: sorted(vars(sample), key=str) for kind, sample in samples.items()}
    click.ignoreAll()
    click.pickerNP.removeNode()
    attributes["TAVIK"] = ["_background_color", "cnFont", "textNodes", "camera_controller", "update", "render",
                           "loader", "taskMgr", "camera", "win", "mouseWatcherNode", "aspect2d", "render2d",
                           "pixel2d"]
    core = sys.modules["panda3d.core"]
    engine = {name: sorted(member for member in dir(getattr(core, name)) if member[:1].islower())
              for name in CORE_NAMES}
    return {"functions": functions, "classes": classes, "attributes": attributes, "engine": engine}


def parameters(function):
    """[(name, kind, has_default)] of a callable's signature."""
    return [(p.name, p.kind.name, p.default is not p.empty)
            for p in inspect.signature(function).parameters.values()]


def sanitized():
    return "libasan" in os.environ.get("LD_PRELOAD", "")
