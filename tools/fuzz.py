"""Hostile-input fuzz target for tavik.tavik.

    python tools/fuzz.py [--seconds 300] [--seed N ...] [--skip FAMILY ...]
    python tools/fuzz.py --replay SEED:INDEX
    python tools/fuzz.py --show SEED:INDEX

Every case is a short program, generated from (seed, index) alone, that
works on the kit's public callables with hostile values: re-entrant
objects, subclasses that override methods and properties, calls with a
wrong `self`, odd numbers and strings, and engine names of `panda3d.core`
and of the module rebound to stand-ins (or hidden behind a module class
whose attribute lookup raises or re-enters). Every statement must end in
a Python exception or a normal return.

Cases run in a child process per batch, on one shared application object,
and everything a case rebinds is restored after it. The parent watches the
child: a signal, an abort, a sanitizer report or a hang is a crash; the
parent names the seed and the case index and writes a minimal reproducer
script. A `SystemError` (the kit broke the interpreter's calling contract)
is reported as a fault without stopping the batch; those the engine's own
constructors raise after a failed number conversion are listed apart and
do not count. The exit status is 1 when anything counted was found.

Crash families already known and being mended can be left out with
`--skip` (or TAVIK_FUZZ_SKIP="known-12-4,known-15-1"); `--skip known`
leaves out all of them. Run under the sanitizer build with `make fuzz`.
"""
import argparse
import builtins
import gc
import inspect
import json
import os
import random
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
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

EDGE_NUMBERS = [
    ("0", ()), ("-1", ()), ("1", ()), ("2 ** 31 - 1", ("huge-int",)), ("2 ** 31", ("huge-int",)),
    ("-2 ** 31", ("huge-int",)), ("2 ** 32", ("huge-int",)), ("2 ** 63 - 1", ("huge-int",)),
    ("2 ** 63", ("huge-int",)), ("-2 ** 63", ("huge-int",)), ("2 ** 64", ("huge-int",)),
    ("10 ** 30", ("huge-int",)), ("-10 ** 30", ("huge-int",)), ("10 ** 400", ("huge-int",)),
    ("float('nan')", ()), ("float('inf')", ()), ("float('-inf')", ()), ("-0.0", ()), ("1e-300", ()),
    ("1e308", ()), ("-1e308", ()), ("3.5e38", ()), ("1e-45", ()), ("0.1", ()),
]
STRINGS = [
    ("''", ()), ("'a'", ()), ("'node'", ()), ("'中文字'", ()), ("'\\x00'", ()), ("'a\\x00b'", ()),
    ("'\\ud800'", ("surrogate",)), ("'\\udfff'", ("surrogate",)), ("'x\\udc80y'", ("surrogate",)),
    ("'\\U0010ffff'", ()), ("'🐍'", ()), ("'x' * 100000", ()), ("' '", ()), ("'\\n\\t'", ()), ("'%s%n'", ()),
    ("'../../x'", ()), ("'car'", ()), ("'ball'", ()), ("'zup-axis'", ()), ("'nothing-here'", ()),
    ("b'bytes'", ()), ("bytearray(b'x')", ()), ("Filename('x')", ("filename",)),
    ("Filename('中/文')", ("filename",)), ("'None'", ()),
]


# ---- the public surface -------------------------------------------------------

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


# ---- the generator ------------------------------------------------------------

class Builder:
    """Builds one case: a list of (source, tags) statements."""

    def __init__(self, rng, surface):
        self.rng = rng
        self.surface = surface
        self.pool = {kind: [] for kind in KINDS}
        self.var_tags = {}
        self.counter = 0
        self.statements = []
        self.tags = set()
        self.depth = 0

    # -- plumbing
    def pick(self, items):
        return items[self.rng.randrange(len(items))]

    def chance(self, p):
        return self.rng.random() < p

    def fresh(self, stem):
        self.counter += 1
        return f"{stem}{self.counter}"

    def tagged(self, pair):
        source, tags = pair
        self.tags.update(tags)
        return source

    def use(self, name):
        self.tags.update(self.var_tags.get(name, ()))
        return name

    def emit(self, source, *tags, binds=None):
        self.tags.update(tags)
        if binds:
            self.var_tags[binds] = frozenset(self.tags)
        self.statements.append((source, sorted(self.tags)))
        self.tags = set()

    def some(self, kind):
        """A variable of the given kind, made first when the case has none."""
        if not self.pool[kind] or self.chance(0.08):
            self.construct(kind)
        return self.use(self.pick(self.pool[kind]))

    def nested(self, make):
        if self.depth > 2:
            return self.small()
        self.depth += 1
        try:
            return make()
        finally:
            self.depth -= 1

    # -- values
    def small(self):
        return str(self.rng.randint(-2, 9))

    def number(self):
        r = self.rng.random()
        if r < 0.45:
            return self.small()
        if r < 0.6:
            return repr(round(self.rng.uniform(-50, 50), 3))
        if r < 0.77:
            return self.tagged(self.pick(EDGE_NUMBERS))
        if r < 0.81:
            return self.pick(["True", "False"])
        if r < 0.89:
            base = self.pick(["int", "float"])
            return self.nested(lambda: f"mimic({base}, {self.small()}, {self.action()}, "
                                       f"on={self.special_methods()}, times={self.times()})")
        if r < 0.97:
            return self.nested(lambda: f"Trap({self.small()}, {self.action()}, on={self.special_methods()}, "
                                       f"times={self.times()})")
        return self.nested(self.anything)

    def grid_size(self):
        r = self.rng.random()
        if r < 0.8:
            return str(self.rng.randint(0, 9)), str(self.rng.randint(0, 9))
        # a grid with no cells but a huge count of rows or columns
        huge = self.tagged(self.pick([pair for pair in EDGE_NUMBERS if pair[1]]))
        other = self.pick(["0", "-1", "-5"])
        return (huge, other) if self.chance(0.5) else (other, huge)

    def text(self):
        r = self.rng.random()
        if r < 0.8:
            return self.tagged(self.pick(STRINGS))
        if r < 0.9:
            return self.nested(lambda: f"mimic(str, {self.tagged(self.pick(STRINGS[:6]))}, {self.action()}, "
                                       f"on={self.special_methods()}, times={self.times()})")
        return self.nested(self.anything)

    def point(self):
        r = self.rng.random()
        if r < 0.45:
            return f"({self.number()}, {self.number()}, {self.number()})"
        if r < 0.55:
            return f"[{self.number()}, {self.number()}, {self.number()}]"
        if r < 0.67:
            engine_type = self.pick(["LPoint3f", "LVector3", "LVecBase3f", "LPoint3"])
            return f"{engine_type}({self.small()}, {self.small()}, {self.small()})"
        if r < 0.72:
            return "(" + "".join(f"{self.number()}, " for _ in range(self.pick([0, 1, 2, 4, 5]))) + ")"
        if r < 0.77:
            return self.pick([f"iter([{self.small()}, {self.small()}, {self.small()}])",
                              f"(v for v in ({self.small()}, {self.small()}, {self.small()}))"])
        if r < 0.85:
            return self.nested(lambda: f"Trap(({self.small()}, {self.small()}, {self.small()}), {self.action()}, "
                                       f"on={self.special_methods()}, times={self.times()})")
        if r < 0.93:
            base = self.pick(["tuple", "list"])
            return self.nested(lambda: f"mimic({base}, ({self.number()}, {self.number()}, {self.number()}), "
                                       f"{self.action()}, on={self.special_methods()}, times={self.times()})")
        return self.nested(self.anything)

    def points(self):
        r = self.rng.random()
        if r < 0.5:
            return "[" + ", ".join(self.point() for _ in range(self.rng.randint(0, 5))) + "]"
        if r < 0.6:
            return f"[(k, k % {self.rng.randint(1, 5)}, 0) for k in range({self.pick([2, 50, 500])})]"
        if r < 0.7:
            return "(" + "".join(self.point() + ", " for _ in range(self.rng.randint(0, 4))) + ")"
        if r < 0.85:
            base = self.pick(["list", "tuple"])
            items = "[" + ", ".join(self.point() for _ in range(self.rng.randint(1, 4))) + "]"
            return self.nested(lambda: f"mimic({base}, {items}, {self.action()}, "
                                       f"on={self.special_methods()}, times={self.times()})")
        if r < 0.9:
            return self.nested(lambda: f"Trap([{self.point()}, {self.point()}], {self.action()}, "
                                       f"on={self.special_methods()}, times={self.times()})")
        return self.nested(self.anything)

    def colour(self):
        r = self.rng.random()
        if r < 0.4:
            return "(" + ", ".join(self.pick(["0", "1", "0.5", "0.25", self.number()]) for _ in range(4)) + ")"
        if r < 0.55:
            return "Color." + self.pick(["red", "green", "blue", "yellow", "sky", "white", "black", "tan"])
        if r < 0.62:
            return f"({self.number()}, {self.number()}, {self.number()})"
        if r < 0.7:
            return f"LVecBase4f({self.small()}, {self.small()}, {self.small()}, 1)"
        if r < 0.75:
            return "(" + "".join(f"{self.number()}, " for _ in range(self.pick([0, 1, 2, 5]))) + ")"
        if r < 0.85:
            base = self.pick(["tuple", "list"])
            return self.nested(lambda: f"mimic({base}, (1, 0, 0, 1), {self.action()}, "
                                       f"on={self.special_methods()}, times={self.times()})")
        if r < 0.9:
            return self.nested(lambda: f"Trap((0, 1, 0, 1), {self.action()}, on={self.special_methods()}, "
                                       f"times={self.times()})")
        return self.nested(self.anything)

    def truth(self):
        r = self.rng.random()
        if r < 0.6:
            return self.pick(["True", "False", "0", "1", "None", "''", "[]", "'x'"])
        if r < 0.85:
            return self.nested(lambda: f"Trap({self.pick(['True', 'False'])}, {self.action()}, "
                                       f"on=('__bool__', '__eq__'), times={self.times()})")
        return self.nested(self.anything)

    def function(self):
        r = self.rng.random()
        if r < 0.25:
            return "lambda *args, **kwargs: None"
        if r < 0.45:
            return self.nested(lambda: f"lambda *args, **kwargs: {self.action_expression()}")
        if r < 0.55:
            return self.pick(["raiser(ValueError('callback'))", "raiser(KeyboardInterrupt())",
                              "raiser(RecursionError())", "raiser(MemoryError())"])
        if r < 0.65:
            return self.pick(["dist", "Pen.update", "print", "kit.makeLabel", "AStar", "Missing()", "None", "5"])
        if r < 0.75 and self.pool["Pen"]:
            return f"{self.use(self.pick(self.pool['Pen']))}.{self.pick(['update', 'clear', 'getPos', 'dot'])}"
        return self.nested(self.anything)

    def model(self):
        r = self.rng.random()
        if r < 0.4:
            return f"app.render.attachNewNode({self.pick(['m', 'model'])!r})"
        if r < 0.5:
            return self.pick(["NodePath('m')", "NodePath()", "app.render", "app.camera", "app.pixel2d"])
        if r < 0.6:
            method = self.pick(["setPos", "getPos", "setH", "setTag", "findAllMatches", "node", "reparentTo"])
            part = self.pick(["lacking", "raising"])
            return f"Proxy(app.render.attachNewNode('m'), {part}=({method!r},))"
        if r < 0.7:
            method = self.pick(["setPos", "getPos", "setH", "setTag", "findAllMatches", "node"])
            return self.nested(lambda: f"Proxy(app.render.attachNewNode('m'), acting=({method!r},), "
                                       f"action={self.action()})")
        if r < 0.73:
            return self.pick(["app.gm('ball')", "app.cm('zup-axis')"])
        if r < 0.8:
            return self.pick(["Missing()", "None", "Thing(setPos=print, getPos=returning((1, 2, 3)))"])
        return self.nested(self.anything)

    def application(self):
        r = self.rng.random()
        if r < 0.65:
            return "app"
        if r < 0.9:
            return self.nested(self.fake_application)
        return self.nested(self.anything)

    def fake_application(self):
        names = self.surface["attributes"]["TAVIK"] + ["accept", "disableMouse", "setBackgroundColor"]
        chosen = self.rng.sample(names, self.rng.randint(1, 6))
        values = []
        for name in chosen:
            if name in ("render", "pixel2d", "camera", "aspect2d", "render2d"):
                value = self.model()
            elif name == "textNodes":
                value = self.pick(["[]", "[NodePath('t')]", "None", "app.textNodes", self.points()])
            elif name in ("accept", "disableMouse", "setBackgroundColor", "update"):
                value = self.function()
            else:
                value = self.pick([f"app.{name}" if name in self.surface["attributes"]["TAVIK"] else "None",
                                   "Missing()", "None", "Thing()"])
            values.append(f"{name}={value}")
        return "Thing(" + ", ".join(values) + ")"

    def grid_node(self):
        r = self.rng.random()
        if r < 0.4 and self.pool["AStar"]:
            return f"{self.use(self.pick(self.pool['AStar']))}.getNode({self.small()}, {self.small()})"
        if r < 0.6:
            return f"AStarNode({self.number()}, {self.number()})"
        if r < 0.8:
            fields = self.rng.sample(["r", "c", "f", "g", "h", "parent", "walkable", "costMultiplier"],
                                     self.rng.randint(0, 5))
            return "Thing(" + ", ".join(f"{field}={self.number()}" for field in fields) + ")"
        return self.nested(self.anything)

    def task(self):
        return self.pick(["Thing(cont=1)", "Thing()", "None", "Missing()", f"Thing(cont={self.number()})",
                          "app.taskMgr.getTasksNamed('updateSceneTask')[0]"])

    def align(self):
        r = self.rng.random()
        if r < 0.5:
            return "TextNode." + self.pick(["ALeft", "ACenter", "ARight", "ABoxedLeft", "ABoxedCenter"])
        return self.number() if r < 0.8 else self.nested(self.anything)

    def pen_value(self):
        r = self.rng.random()
        if r < 0.6:
            return self.some("Pen")
        if r < 0.8:
            return self.nested(lambda: f"Thing(color={self.function()}, drawPath={self.function()}, "
                                       f"update={self.function()})")
        return self.nested(self.anything)

    def anything(self):
        r = self.rng.random()
        makers = [self.number, self.text, self.point, self.colour, self.function, self.model, self.points]
        if r < 0.55:
            return self.pick(makers)()
        if r < 0.75:
            return self.pick(["None", "object()", "Ellipsis", "NotImplemented", "[]", "{}", "{'a': 1}", "set()",
                              "range(3)", "complex(1, 2)", "nest(50)", "nest(100000)", "Missing()", "Thing()",
                              "types", "kit", "core", "Pen", "AStar", "TAVIK", "dist", "app", "LineSegs()",
                              "TextNode('t')", "app.textNodes", "app.camera_controller", "Color"])
        pooled = [name for names in self.pool.values() for name in names]
        if pooled and r < 0.92:
            return self.use(self.pick(pooled))
        return self.tagged(self.pick(STRINGS))

    def value_for(self, owner, function, parameter):
        if self.chance(0.12):
            return self.nested(self.anything)
        if (owner, parameter) == ("Pen", "c") or parameter == "color":
            return self.colour()
        makers = {
            "pos1": self.point, "pos2": self.point, "pos": self.point, "target_pos": self.point, "sv": self.point,
            "dv": self.point, "path": self.points, "nodeName": self.text, "text": self.text, "txt": self.text,
            "fn": self.text, "model_name": self.text, "tag_name": self.text, "tag_value": self.text,
            "cmd": self.function, "callback": self.function, "completeCB": self.function, "model": self.model,
            "app": self.application, "tv": self.application, "base": self.application, "showAxis": self.truth,
            "draw": self.truth, "loop": self.truth, "show_collisions": self.truth, "nc": self.truth,
            "node": self.grid_node, "pen": self.pen_value, "task": self.task, "align": self.align,
            "value": self.truth,
        }
        return makers.get(parameter, self.number)()

    # -- actions: what a trap, a stand-in or an override does behind the kit's back
    def action_expression(self):
        choices = ["app.textNodes.clear()", "app.makeText('trap')", "setattr(app, 'update', None)",
                   "app.textNodes.append(NodePath())", "gc.collect()", "fail(ValueError('trap'))",
                   "fail(MemoryError())", "fail(RecursionError())", "setattr(core, 'LPoint3f', Missing())",
                   "setattr(kit, 'LVector3', None)", "app.taskMgr.step()", "app.bgColor((0, 0, 0))"]
        for pen in self.pool["Pen"]:
            choices += [f"{pen}.lineTo(1, 2, 3)", f"[{pen}.lineTo(k, k, k) for k in range(100)]", f"{pen}.clear()",
                        f"{pen}.update()", f"[({pen}.color((k / 64, 0, 0, 1)), {pen}.lineTo(k, 0, 1)) for k in range(64)]",
                        f"{pen}.moveTo(5, 5, 5)", f"{pen}.dot()", f"setattr({pen}, '_Pen__lsg', LineSegs())",
                        f"{pen}.__dict__.clear()", f"{pen}.setVertex(0, 1, 1, 1)", f"{pen}.getPos()",
                        f"{pen}.forward(3, True)"]
        for grid in self.pool["AStar"]:
            choices += [f"{grid}.setWalkable(1, 1, False)", f"{grid}._nodes.clear()", f"{grid}._open.clear()",
                        f"{grid}.__init__(2, 2)", f"{grid}.findPath()", f"{grid}.__dict__.clear()",
                        f"setattr({grid}, '_endNode', None)", f"{grid}._closed.append(None)"]
        for mover in self.pool["PathMoveCtrl"]:
            choices += [f"{mover}.stop()", f"setattr({mover}, 'path', None)", f"setattr({mover}, 'model', None)",
                        f"{mover}.path.clear()", f"{mover}.__dict__.clear()", f"{mover}.update()",
                        f"setattr({mover}, 'mtni', 10 ** 30)"]
        for click in self.pool["ClickCtrl"]:
            # not ignoreAll(): run from inside the messenger (a hash of one of
            # its keys) it waits for the messenger's own lock for ever
            choices += [f"{click}.click_handlers.clear()", f"{click}.__dict__.clear()", f"{click}.onMouseClick()"]
        for camera in self.pool["CameraController"]:
            choices += [f"{camera}.__dict__.clear()", f"setattr({camera}, 'base', None)",
                        f"{camera}.update_camera_position()"]
        chosen = self.pick(choices)
        for name in re.findall(r"[a-z]+\d+", chosen):
            self.use(name)
        return chosen

    def action(self):
        if self.chance(0.15):
            return f"lambda: ({self.action_expression()}, {self.action_expression()})"
        return f"lambda: {self.action_expression()}"

    def special_methods(self):
        return tuple(self.rng.sample(SPECIAL_METHODS, self.rng.randint(1, 4)))

    def times(self):
        return self.pick([1, 1, 1, 2, 5, 1000])

    # -- statements
    def construct(self, kind):
        name = self.fresh(kind.lower()[:5])
        if kind == "Pen":
            source = f"{name} = Pen({self.application()})"
        elif kind == "AStar":
            cols, rows = self.grid_size()
            source = f"{name} = AStar({cols}, {rows})"
            self.tags.add("grid-size")
        elif kind == "AStarNode":
            source = f"{name} = AStarNode({self.number()}, {self.number()})"
        elif kind == "PathMoveCtrl":
            source = f"{name} = PathMoveCtrl()"
        elif kind == "ClickCtrl":
            source = f"{name} = ClickCtrl({self.truth()})"
        else:
            source = f"{name} = CameraController({self.application()}, {self.point()}, {self.number()})"
        self.emit(source, binds=name)
        self.pool[kind].append(name)
        return name

    def arguments(self, owner, function, params, skip_self):
        params = params[1:] if skip_self else params
        values = []
        keywords = self.chance(0.15)
        for name, kind, has_default in params:
            if kind == "VAR_POSITIONAL":
                count = self.pick([1, 1, 3, 3, 0, 2, 4])
                values += [self.point() if count == 1 else self.number() for _ in range(count)]
            elif has_default and self.chance(0.3):
                continue
            elif keywords:
                values.append(f"{name}={self.value_for(owner, function, name)}")
            else:
                values.append(self.value_for(owner, function, name))
        if self.chance(0.03):
            values.append(self.number())
        elif values and self.chance(0.03):
            values.pop()
        return ", ".join(values)

    def method_call(self, kind):
        target = self.some(kind)
        members = self.surface["classes"][kind]
        if members["properties"] and self.chance(0.15):
            prop = self.pick(members["properties"])
            if self.chance(0.5):
                self.emit(f"{target}.{prop}")
            else:
                self.emit(f"{target}.{prop} = {self.number()}")
            return
        method = self.pick(list(members["methods"]))
        params = members["methods"][method]
        self.tags.update(self.call_tags(kind, method))
        self.emit(f"{target}.{method}({self.arguments(kind, method, params, True)})")

    def call_tags(self, owner, function):
        if function in ("makeLabel", "makeButton", "makeEntry"):
            return ("widget",)
        if owner == "AStar" and function == "__init__":
            return ("grid-size",)
        return ()

    def app_call(self):
        members = self.surface["classes"]["TAVIK"]["methods"]
        method = self.pick([name for name in members if name != "__init__"] + ["makeText"] * 3)
        self.emit(f"app.{method}({self.arguments('TAVIK', method, members[method], True)})")

    def function_call(self):
        name = self.pick(list(self.surface["functions"]))
        self.tags.update(self.call_tags(None, name))
        self.emit(f"{name}({self.arguments(None, name, self.surface['functions'][name], False)})")

    def unbound_call(self):
        owner = self.pick(list(self.surface["classes"]))
        members = self.surface["classes"][owner]
        if not members["methods"]:
            return self.function_call()
        method = self.pick(list(members["methods"]))
        if owner == "TAVIK" and method == "__init__":
            # A second application raises before it touches the engine; the
            # one application itself is never initialised again.
            wrong = self.pick(["Thing()", "Missing()", "None", self.some("Pen")])
            return self.emit(self.pick([f"TAVIK({self.truth()})", f"TAVIK.__init__({wrong}, {self.truth()})"]))
        wrong = self.pick([self.nested(self.anything), "app", "Missing()", "None", "Thing()",
                           self.some(self.pick(KINDS))])
        args = self.arguments(owner, method, members["methods"][method], True)
        self.tags.update(self.call_tags(owner, method))
        if members["properties"] and self.chance(0.2):
            prop = self.pick(members["properties"])
            if self.chance(0.5):
                self.emit(f"{owner}.{prop}.fget({wrong})")
            else:
                self.emit(f"{owner}.{prop}.fset({wrong}, {self.number()})")
            return
        self.emit(f"{owner}.{method}({wrong}{', ' if args else ''}{args})")

    def tamper(self, kind):
        target = "app" if kind == "TAVIK" else self.some(kind)
        names = self.surface["attributes"][kind]
        if not names:
            return self.method_call(kind)
        name = self.pick(names)
        r = self.rng.random()
        if r < 0.7:
            if name in ("path",):
                value = self.points()
            elif name in ("model",):
                value = self.model()
            elif name in ("textNodes", "_nodes", "_open", "_closed", "_path"):
                value = self.pick(["[]", "[None]", "None", "nest(10)", self.points(), "[[AStarNode(0, 0)]]",
                                   "Trap([], " + self.action() + ", on=('__len__', '__iter__', '__getitem__'))"])
            else:
                value = self.nested(self.anything)
            self.emit(f"{target}.{name} = {value}")
        elif r < 0.85 and kind != "TAVIK":
            self.emit(f"del {target}.{name}")
        elif kind != "TAVIK":
            self.emit(f"{target}.__dict__.clear()")
        else:
            self.emit(f"app.{name} = {self.nested(self.anything)}")

    def class_tamper(self):
        owner = self.pick(list(self.surface["classes"]))
        members = self.surface["classes"][owner]
        names = list(members["methods"]) + members["properties"] + members["values"]
        name = self.pick(names)
        if owner == "TAVIK" and name == "__init__":
            name = "makeText"
        if self.chance(0.3):
            self.emit(f"del {owner}.{name}")
        else:
            value = self.pick([self.function(), "AStar.findPath", "Pen.update", "property(lambda self: 1)",
                               self.nested(self.anything)])
            self.emit(f"{owner}.{name} = {value}")

    def subclass(self, kind):
        members = self.surface["classes"][kind]
        name = self.fresh("Hostile" + kind)
        choices = [m for m in members["methods"] if m != "__init__"] + members["properties"]
        choices += self.surface["attributes"].get(kind, [])
        overridden = self.rng.sample(choices, min(len(choices), self.rng.randint(1, 3)))
        lines = [f"class {name}({kind}):"]
        for member in overridden:
            if member in members["methods"]:
                lines += ["    def " + member + "(self, *args, **kwargs):", "        " + self.override_body(kind, member)]
            elif member in members["properties"]:
                lines.append(f"    {member} = property(lambda self: {self.nested(self.anything)}, "
                             f"lambda self, value: {self.action_expression()})")
            else:
                # an attribute the kit sets and reads, turned into a property
                lines.append(f"    {member} = property(lambda self: {self.nested(self.anything)}, "
                             f"lambda self, value: None)")
        self.emit("\n".join(lines), binds=name)
        instance = self.fresh(kind.lower()[:5])
        if kind == "Pen":
            args = self.application()
        elif kind == "AStar":
            args = ", ".join(self.grid_size())
            self.tags.add("grid-size")
        elif kind == "AStarNode":
            args = f"{self.small()}, {self.small()}"
        elif kind == "ClickCtrl":
            args = self.truth()
        elif kind == "CameraController":
            args = f"{self.application()}, {self.point()}, {self.number()}"
        else:
            args = ""
        self.use(name)
        self.emit(f"{instance} = {name}({args})", binds=instance)
        self.pool[kind].append(instance)

    def override_body(self, kind, member):
        r = self.rng.random()
        real = f"{kind}.{member}(self, *args, **kwargs)"
        if r < 0.25:
            if member in TASK_METHODS:
                self.tags.add("task-result")
            return f"return {self.nested(self.anything)}"
        if r < 0.4:
            return "raise " + self.pick(["ValueError('override')", "KeyboardInterrupt()", "AttributeError('x')",
                                         "StopIteration()", "RecursionError()"])
        if r < 0.7:
            return f"{self.nested(self.action_expression)}; return {real}"
        if r < 0.85:
            other = self.pick([m for m in self.surface["classes"][kind]["methods"] if m != "__init__"])
            return f"return self.{other}(*args, **kwargs)"
        return f"self.__dict__.clear(); return {real}"

    def rebind(self):
        if self.chance(0.6):
            module, name = "core", self.pick(CORE_NAMES)
        else:
            module, name = "kit", self.pick(KIT_NAMES)
        self.tags.add(f"rebind-{name}" if module == "core" else f"kit-{name}")
        if module == "kit" and self.chance(0.2):
            self.emit(f"del kit.{name}")
            return
        real = f"{module}.{name}"
        r = self.rng.random()
        if r < 0.15:
            stand_in = self.pick(["Missing()", "None", "5", "'x'", "Thing()"])
        elif r < 0.3:
            stand_in = f"returning({self.nested(self.anything)})"
        elif r < 0.4:
            stand_in = self.pick(["raiser(ValueError('stand-in'))", "raiser(MemoryError())",
                                  "raiser(KeyboardInterrupt())", "raiser(AttributeError('stand-in'))"])
        elif r < 0.6:
            self.tags.add("reenter")
            stand_in = f"reentering({real}, {self.action()}, times={self.times()})"
        else:
            members = self.surface["engine"].get(name) or ["x"]
            method = self.pick(members)
            r = self.rng.random()
            if r < 0.4:
                detail = f"lacking=({method!r},)"
            elif r < 0.7:
                detail = f"raising=({method!r},)"
            else:
                self.tags.add("reenter")
                detail = f"acting=({method!r},), action={self.action()}"
            if module == "kit" and name in ("math", "os", "resources"):
                stand_in = f"Proxy({real}, {detail})"
            else:
                stand_in = f"proxied({real}, {detail})"
        self.emit(f"{real} = {stand_in}")

    def hook(self):
        module = self.pick(["core", "core", "core", "kit"])
        names = set(self.rng.sample(CORE_NAMES, self.rng.randint(1, 3)))
        mode = self.pick(["raise", "reenter", "reenter", "value"])
        self.tags.add(f"hook-{mode}")
        self.tags.update(f"hook-{name}" for name in names)
        extra = ""
        if mode == "reenter":
            extra = f", action={self.action()}"
        elif mode == "value":
            extra = f", value={self.pick(['None', 'Missing()', '5', 'returning(None)'])}"
        self.emit(f"hook_module({module}, {sorted(names)!r}, {mode!r}{extra}, times={self.times()})")

    def engine_step(self):
        if self.chance(0.5):
            self.emit("app.taskMgr.step()", "frame")
        else:
            self.emit(f"messenger.send({self.pick(EVENTS)!r})", "frame")

    def function_poke(self):
        targets = [f"{owner}.{method}" for owner, members in self.surface["classes"].items()
                   for method in members["methods"]] + list(self.surface["functions"])
        target = self.pick(targets)
        r = self.rng.random()
        if r < 0.15:
            self.emit(f"pickle.loads(pickle.dumps({target}))")
        elif r < 0.25:
            self.emit(f"copy.copy({target}), copy.deepcopy({target})")
        elif r < 0.45:
            self.emit(f"{target}.__get__({self.nested(self.anything)})({self.number()})")
        elif r < 0.6:
            attribute = self.pick(["__doc__", "__name__", "__qualname__", "__module__", "__defaults__",
                                   "__kwdefaults__", "__dict__", "custom"])
            self.emit(f"{target}.{attribute} = {self.nested(self.anything)}")
        elif r < 0.7:
            self.emit(f"inspect.signature({target}), repr({target}), hash({target}), {target}.__reduce__()")
        elif r < 0.85:
            key = self.pick(["'\\ud800'", "'self'", "'x'", "''", "'pos1'"])
            self.emit(f"{target}(**{{{key}: {self.number()}}})")
        else:
            self.emit(f"{target}(*{self.points()})")

    def case(self, length):
        focus = self.pick(["Pen"] * 4 + ["AStar"] * 2 + ["PathMoveCtrl", "ClickCtrl", "TAVIK", "TAVIK",
                                                          "CameraController", "AStarNode"])
        operations = [
            (30, lambda: self.method_call(focus) if focus != "TAVIK" else self.app_call()),
            (8, lambda: self.method_call(self.pick(KINDS))),
            (6, self.app_call), (6, self.function_call), (6, self.unbound_call),
            (6, lambda: self.tamper(focus)), (2, self.class_tamper),
            (5, lambda: self.subclass(focus if focus != "TAVIK" else "Pen")),
            (8, self.rebind), (3, self.hook), (4, self.engine_step), (3, self.function_poke),
        ]
        weights = [weight for weight, _ in operations]
        for _ in range(length):
            self.rng.choices(operations, weights)[0][1]()
        return self.statements


def generate(seed, index, surface, skip=()):
    """The statements of case `index` of `seed`, less those of the skipped families."""
    rng = random.Random(f"tavik-fuzz:{seed}:{index}")
    statements = Builder(rng, surface).case(rng.randint(3, 14))
    return [(source, tags) for source, tags in statements if not families_of(tags) & set(skip)]


def families_of(tags):
    tags = set(tags)
    return {family for family, (_, matches) in FAMILIES.items() if matches(tags)}


# ---- the child: running cases ----------------------------------------------------

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


def case_namespace(kit, app):
    import copy
    import inspect as inspect_module
    import pickle
    sys.path.insert(0, HERE)
    import fuzz_hostile
    namespace = {name: getattr(kit, name) for name in dir(kit) if not name.startswith("_")}
    namespace.update({name: value for name, value in vars(fuzz_hostile).items() if not name.startswith("_")})
    namespace.update(kit=kit, core=sys.modules["panda3d.core"], app=app, gc=gc, sys=sys, types=types, copy=copy,
                     pickle=pickle, inspect=inspect_module, messenger=builtins.messenger,
                     __builtins__=builtins)
    return namespace


class Restorer:
    """Takes what a case may change when it is made, and puts it back."""

    def __init__(self, kit, app):
        self.kit, self.app = kit, app
        self.core = sys.modules["panda3d.core"]
        self.modules = [(module, dict(vars(module))) for module in (self.core, kit, builtins)]
        self.classes = [(value, dict(vars(value))) for value in (getattr(kit, name) for name in PUBLIC)
                        if isinstance(value, type)]
        self.objects = [(app, dict(vars(app))), (app.camera_controller, dict(vars(app.camera_controller)))]
        self.text_nodes = list(app.textNodes)
        self.roots = [(root, list(root.getChildren()))
                      for root in (app.render, app.pixel2d, app.aspect2d, app.render2d, app.camera)]
        self.tasks = set(app.taskMgr.getTasks())
        messenger = builtins.messenger
        self.callbacks = {event: {key: list(entry) for key, entry in acceptors.items()}
                          for event, acceptors in messenger._Messenger__callbacks.items()}
        self.object_events = {key: dict(events) for key, events in messenger._Messenger__objectEvents.items()}
        self.id_objects = dict(messenger._id2object)
        self.camera = app.camera.getMat()
        self.functions = []
        for value in [getattr(kit, name) for name in PUBLIC]:
            functions = vars(value).values() if isinstance(value, type) else [value]
            for function in functions:
                if type(function).__name__ == "function" and type(function).__module__ == "tavik":
                    self.functions.append((function, {name: getattr(function, name) for name in
                                                      ("__name__", "__qualname__", "__doc__", "__module__")}))
        self.recursion_limit = sys.getrecursionlimit()

    @staticmethod
    def put_back(namespace, saved, setter, deleter):
        current = namespace()
        for key in [key for key in current if key not in saved]:
            deleter(key)
        current = namespace()
        missing = object()
        for key, value in saved.items():
            if current.get(key, missing) is not value:
                setter(key, value)

    def restore(self):
        """Puts everything back; returns the English names of steps that failed."""
        failed = []
        for step in (self.restore_modules, self.restore_objects, self.restore_scene, self.restore_events,
                     self.restore_functions):
            try:
                step()
            except Exception as error:
                failed.append(f"{step.__name__}: {type(error).__name__}: {error}")
        return failed

    def restore_modules(self):
        for module in (self.core, self.kit):
            if type(module) is not types.ModuleType:
                module.__class__ = types.ModuleType
        clear_engine_assertion()
        for module, saved in self.modules:
            namespace = vars(module)
            self.put_back(lambda: namespace, saved, namespace.__setitem__, namespace.__delitem__)
        sys.setrecursionlimit(self.recursion_limit)

    def restore_objects(self):
        for cls, saved in self.classes:
            self.put_back(lambda: dict(vars(cls)), saved, lambda key, value: setattr(cls, key, value),
                          lambda key: delattr(cls, key))
        for instance, saved in self.objects:
            namespace = vars(instance)
            self.put_back(lambda: namespace, saved, namespace.__setitem__, namespace.__delitem__)
        self.app.textNodes[:] = self.text_nodes
        self.app.camera.setMat(self.camera)

    def restore_scene(self):
        for root, children in self.roots:
            for child in root.getChildren():
                if not any(child == kept for kept in children):
                    child.removeNode()
        for task in self.app.taskMgr.getTasks():
            if task not in self.tasks:
                self.app.taskMgr.remove(task)

    def restore_events(self):
        messenger = builtins.messenger
        callbacks = messenger._Messenger__callbacks
        callbacks.clear()
        callbacks.update({event: {key: list(entry) for key, entry in acceptors.items()}
                          for event, acceptors in self.callbacks.items()})
        object_events = messenger._Messenger__objectEvents
        object_events.clear()
        object_events.update({key: dict(events) for key, events in self.object_events.items()})
        messenger._id2object.clear()
        messenger._id2object.update(self.id_objects)

    def restore_functions(self):
        for function, attributes in self.functions:
            for name, value in attributes.items():
                try:
                    if getattr(function, name) != value:
                        setattr(function, name, value)
                except Exception:
                    pass
            try:
                vars(function).clear()
            except Exception:
                pass


def contract_breach(error):
    """The SystemError in an exception's chain, if any."""
    seen = 0
    while error is not None and seen < 20:
        if isinstance(error, SystemError):
            return error
        error = error.__cause__ or error.__context__
        seen += 1
    return None


def origin(breach):
    """Who broke the calling contract, as far as the error shows it.

    A kit function that returns NULL without an exception names itself. An
    engine constructor that tries its overloads one after the other goes on
    after a number conversion of the argument failed: the SystemError then
    follows an error of __float__, __int__ or __index__."""
    if re.match(r"<function (\w+\.)?\w+> returned", str(breach)):
        return "kit"
    conversions = ("__float__", "__int__", "__index__")
    cause = breach.__context__
    if cause is not None:
        if re.search(r"argument must be a string or a (real )?number|an integer is required", str(cause)):
            return "engine conversion"
        tb = cause.__traceback__
        while tb is not None:
            code = tb.tb_frame.f_code
            if code.co_name in conversions or code.co_name == "spring" and tb.tb_frame.f_locals.get(
                    "name") in conversions:
                return "engine conversion"
            tb = tb.tb_next
    return "kit or engine"


def run_case(statements, namespace, label):
    """Runs the statements one by one; returns (statements run, faults)."""
    faults = []
    for number, (source, _) in enumerate(statements):
        try:
            exec(compile(source, f"<{label} statement {number}>", "exec"), namespace)
        except BaseException as error:  # every outcome but a crash is allowed
            breach = contract_breach(error)
            if breach is not None:
                families = set().union(*(families_of(tags) for _, tags in statements[:number + 1]))
                faults.append({"statement": number, "error": f"{type(breach).__name__}: {breach}"[:300],
                               "origin": origin(breach), "source": source[:300], "families": sorted(families)})
        clear_engine_assertion()
    return len(statements), faults


def clear_engine_assertion():
    """Drops an engine assertion that a statement left pending.

    When a Python error wins over an engine assertion (a DirectEntry given
    10 ** 30 lines), the assertion stays pending and the next engine call
    raises it, after doing its work: if that call is the messenger taking
    its lock, the lock is never given back and the next accept() waits for
    ever. That is the engine's own affair, not the kit's."""
    try:
        sys.modules["panda3d.core"].Notify.ptr().clearAssertFailed()
    except AssertionError:
        pass  # raising it cleared it


def worker(options):
    import faulthandler
    import resource
    faulthandler.enable()  # names the statement a crash happened in
    if not sanitized():
        limit = 8 << 30
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    kit, app = start_engine()
    surface = survey(kit, app)
    app.render.getChildren()  # the samples above drew nothing
    base_namespace = case_namespace(kit, app)
    restorer = Restorer(kit, app)
    # The collection after each case (which runs the __del__ traps of that
    # case, not of a later one) then looks at the case's own objects only.
    gc.collect()
    gc.freeze()
    progress = os.fdopen(options.progress_fd, "w", buffering=1)
    deadline = time.monotonic() + options.seconds
    index = options.start
    while index < options.stop and time.monotonic() < deadline:
        statements = generate(options.seed, index, surface, options.skip)
        with open(options.case_file, "w", encoding="utf-8", errors="surrogatepass") as case_file:
            json.dump({"seed": options.seed, "index": index, "statements": statements}, case_file,
                      ensure_ascii=True)
        progress.write(f"start {index}\n")
        calls, faults = run_case(statements, dict(base_namespace), f"case {options.seed}:{index}")
        gc.collect()
        for failure in restorer.restore():
            progress.write(f"harness {index} {json.dumps(failure)}\n")
        for fault in faults:
            progress.write(f"fault {index} {json.dumps(fault)}\n")
        progress.write(f"end {index} {calls}\n")
        index += 1
    progress.write("done\n")
    progress.close()
    sys.stdout.flush()
    os._exit(0)  # the engine's own exit handlers are not under test


def sanitized():
    return "libasan" in os.environ.get("LD_PRELOAD", "")


# ---- the parent: batches, crashes and reproducers --------------------------------------

SANITIZER_REPORT = re.compile(r"ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer|"
                              r"AddressSanitizer:DEADLYSIGNAL|SUMMARY: UndefinedBehaviorSanitizer")


def child_environment():
    env = dict(os.environ)
    if sanitized():
        asan = env.get("ASAN_OPTIONS", "")
        for option in ("detect_leaks=0", "allocator_may_return_null=1", "max_allocation_size_mb=4096"):
            if option.split("=")[0] not in asan:
                asan = f"{asan}:{option}" if asan else option
        env["ASAN_OPTIONS"] = asan
        env.setdefault("UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1")
    return env


class Batch:
    """One child running cases `start`..`stop` of `seed`; reports what ended it."""

    def __init__(self, seed, start, stop, options, workdir):
        self.seed, self.start, self.stop = seed, start, stop
        self.case_file = os.path.join(workdir, "case.json")
        self.stderr_path = os.path.join(workdir, "stderr.txt")
        self.options = options

    def run(self, seconds):
        read_end, write_end = os.pipe()
        command = [sys.executable, os.path.abspath(__file__), "--worker", "--seed", str(self.seed),
                   "--start", str(self.start), "--stop", str(self.stop), "--seconds", str(seconds),
                   "--case-file", self.case_file, "--progress-fd", str(write_end)]
        for family in self.options.skip:
            command += ["--skip", family]
        with open(self.stderr_path, "w") as stderr:
            child = subprocess.Popen(command, pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=stderr,
                                     env=child_environment(), cwd=HERE, start_new_session=True)
        os.close(write_end)
        self.current, self.finished, self.calls, self.faults, self.hung = None, False, 0, [], False
        self.last = self.start - 1
        self.harness = []
        buffer = b""
        last_news = time.monotonic()
        with os.fdopen(read_end, "rb") as progress:
            while True:
                ready, _, _ = select.select([progress], [], [], 1.0)
                if ready:
                    chunk = os.read(progress.fileno(), 65536)
                    if not chunk:
                        break
                    buffer += chunk
                    *lines, buffer = buffer.split(b"\n")
                    for line in lines:
                        self.news(line.decode())
                    last_news = time.monotonic()
                elif time.monotonic() - last_news > self.options.case_timeout + (60 if self.current is None else 0):
                    self.hung = True
                    child.send_signal(signal.SIGABRT)  # faulthandler names the statement
                    try:
                        child.wait(10)
                    except subprocess.TimeoutExpired:
                        pass
                    try:
                        os.killpg(child.pid, signal.SIGKILL)  # and anything it started
                    except ProcessLookupError:
                        pass
                    break
        self.returncode = child.wait()
        with open(self.stderr_path, errors="replace") as stderr:
            self.stderr = stderr.read()
        return self

    def news(self, line):
        word, _, rest = line.partition(" ")
        if word == "start":
            self.current = int(rest)
        elif word == "end":
            index, calls = rest.split()
            self.calls += int(calls)
            self.current = None
            self.last = int(index)
        elif word == "fault":
            index, fault = rest.split(" ", 1)
            self.faults.append((int(index), json.loads(fault)))
        elif word == "harness":
            index, failure = rest.split(" ", 1)
            self.harness.append((int(index), json.loads(failure)))
        elif word == "done":
            self.finished = True

    @property
    def crashed(self):
        report = SANITIZER_REPORT.search(self.stderr)
        return self.hung or not self.finished or self.returncode != 0 or report is not None

    def describe(self):
        if self.hung:
            return f"hang (no progress for {self.options.case_timeout:.0f} s)"
        if self.returncode < 0:
            return f"signal {signal.Signals(-self.returncode).name}"
        match = SANITIZER_REPORT.search(self.stderr)
        if match:
            return "sanitizer report: " + self.stderr[match.start():].splitlines()[0][:200]
        return f"exit status {self.returncode}"


FATAL_LINES = (r"ERROR: AddressSanitizer: [\w-]+", r"src/\w+\.cpp:\d+:\d+: runtime error: .*",
               r"terminate called after throwing an instance of .*", r"what\(\): .*",
               r"Assertion `.*' failed", r"Fatal Python error: .*")


def crash_signature(stderr):
    """What ended the child: the sanitizer's or the runtime's own words, and
    the kit's innermost frame when the report has one."""
    words = []
    for pattern in FATAL_LINES:
        found = re.search(pattern, stderr)
        if found:
            words.append(found.group(0).strip()[:120])
    frame = re.search(r"#\d+ 0x[0-9a-f]+ in (\S+) \S*?(src/\w+\.cpp:\d+)", stderr)
    if frame:
        words.append(f"in {frame.group(1)} {frame.group(2)}")
    return "; ".join(words[:3]) or ("hang" if "timeout" in stderr else "no report")


def callee(source):
    """What a statement calls first, with the case's variable numbers left out."""
    found = re.search(r"([A-Za-z_][\w.]*)\(", source.split("=", 1)[-1] if re.match(r"\w+ = ", source) else source)
    return re.sub(r"\b([a-z]+)\d+\b", r"\1", found.group(1)) if found else source[:40]


def crashing_statement(stderr):
    """The number of the case's top-level statement running when the child died."""
    numbers = re.findall(r'File "<case [\d:]+ statement (\d+)>"', stderr)
    return int(numbers[-1]) if numbers else None


PRELUDE = '''\
# {title}
# Made by tools/fuzz.py. Run it with the kit installed (under the sanitizer
# build as `make fuzz` runs it): {outcome}.
import copy, gc, inspect, math, operator, pickle, sys, types
from tavik.classroom.display import ensure_display
ensure_display()
from panda3d.core import loadPrcFileData
loadPrcFileData("fuzz", {settings!r})
import panda3d.core as core
import tavik.tavik as kit
from tavik.tavik import *
app = TAVIK()
for _ in range(3):
    app.taskMgr.step()
'''


def reproducer(statements, title, outcome):
    """A standalone script running `statements` as the fuzz child runs them."""
    sys.path.insert(0, HERE)
    import fuzz_hostile
    sources = [source for source, _ in statements]
    helpers = {name: inspect.getsource(value) for name, value in vars(fuzz_hostile).items()
               if (inspect.isfunction(value) or inspect.isclass(value)) and value.__module__ == "fuzz_hostile"}
    needed, queue = [], list(sources)
    while queue:
        text = queue.pop()
        for name in helpers:
            if name not in needed and re.search(rf"\b{name}\b", text):
                needed.append(name)
                queue.append(helpers[name])
    order = [name for name in helpers if name in needed]
    parts = [PRELUDE.format(title=title, outcome=outcome, settings=ENGINE_SETTINGS)]
    parts += [helpers[name] for name in order]
    for number, source in enumerate(sources):
        body = "\n".join("    " + line for line in source.splitlines())
        parts.append(f"try:  # statement {number}\n{body}\nexcept BaseException as error:\n"
                     f"    print('statement {number}:', type(error).__name__, str(error)[:100])\n")
    parts.append("print('no crash')\n")
    return "\n".join(parts)


def still_fails(script, timeout, signature):
    """Whether a reproducer script still fails the way `signature` says (a
    crash report, or "fault: " and the words of a SystemError); and its stderr."""
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False, encoding="utf-8") as handle:
        handle.write(script)
    try:
        result = subprocess.run([sys.executable, handle.name], capture_output=True, text=True, errors="replace",
                                timeout=timeout, env=child_environment(), cwd=tempfile.gettempdir())
    except subprocess.TimeoutExpired:
        return signature.startswith("hang"), "timeout"
    finally:
        os.unlink(handle.name)
    if signature.startswith("fault: "):
        words = normalised(signature[len("fault: "):])[:60]
        return result.returncode == 0 and words in normalised(result.stdout), result.stderr
    crashed = result.returncode != 0 or SANITIZER_REPORT.search(result.stderr) is not None
    same = crash_signature(result.stderr).split("; ")[0] == signature.split("; ")[0]
    return crashed and same, result.stderr


def normalised(text):
    return re.sub(r" at 0x[0-9a-f]+", "", text).replace(": ", " ", 1)


def minimise(statements, title, outcome, budget, timeout, signature):
    """Drops statements one at a time while the script still crashes the same way."""
    deadline = time.monotonic() + budget
    crashed, stderr = still_fails(reproducer(statements, title, outcome), timeout, signature)
    if not crashed:
        return statements, None
    number = len(statements) - 1
    while number >= 0 and time.monotonic() < deadline:
        shorter = statements[:number] + statements[number + 1:]
        still, report = still_fails(reproducer(shorter, title, outcome), timeout, signature)
        if still:
            statements, stderr = shorter, report
        number -= 1
    return statements, stderr


class Session:
    def __init__(self, options):
        self.options = options
        self.calls = 0
        self.cases = 0
        self.crashes = []
        self.faults = []
        self.signatures = set()
        self.fault_kinds = set()
        self.engine_faults = []  # the engine's own, reported but not counted
        self.elapsed = 0.0
        self.running = 0.0  # time in the children, not in making reproducers

    def run(self):
        started = time.monotonic()
        workdir = tempfile.mkdtemp(prefix="tavik-fuzz-")
        seeds = self.options.seed or [random.SystemRandom().randrange(10 ** 6)]
        if not os.environ.get("DISPLAY"):
            sys.path[:] = [entry for entry in sys.path if os.path.abspath(entry or os.curdir) != ROOT]
            from tavik.classroom.display import ensure_display
            preload = os.environ.pop("LD_PRELOAD", None)  # the X server is not under test
            try:
                ensure_display()  # one virtual screen for every child
            finally:
                if preload is not None:
                    os.environ["LD_PRELOAD"] = preload
        budget = self.options.seconds / len(seeds)
        for seed_number, seed in enumerate(seeds):
            seed_deadline = started + budget * (seed_number + 1)
            index = self.options.start
            stop = self.options.start + self.options.cases if self.options.cases else 10 ** 9
            while index < stop and time.monotonic() < seed_deadline:
                batch = Batch(seed, index, min(stop, index + self.options.batch), self.options, workdir)
                batch_started = time.monotonic()
                batch.run(max(1.0, seed_deadline - time.monotonic()))
                self.running += time.monotonic() - batch_started
                self.calls += batch.calls
                for fault_index, fault in batch.faults:
                    self.fault(seed, fault_index, fault)
                for harness_index, failure in batch.harness:
                    print(f"HARNESS seed {seed} case {harness_index}: could not restore: {failure}")
                if batch.crashed:
                    if batch.current is None:
                        print(f"child died outside a case ({batch.describe()}):\n{batch.stderr[-2000:]}")
                        return 2
                    self.cases += batch.current - index + 1
                    self.crash(seed, batch)
                    index = batch.current + 1
                else:
                    done = batch.last + 1
                    self.cases += done - index
                    if done == index:
                        break  # out of time before the first case
                    index = done
        self.elapsed = time.monotonic() - started
        self.report(seeds)
        return 1 if self.crashes or self.faults else 0

    def fault(self, seed, index, fault):
        if fault["origin"] == "engine conversion":
            self.engine_faults.append((seed, index, fault))
        else:
            self.faults.append((seed, index, fault))
        key = (re.sub(r"0x[0-9a-f]+", "", fault["error"]), callee(fault["source"]))
        if key in self.fault_kinds:
            return
        self.fault_kinds.add(key)
        families = ", ".join(fault["families"]) or "new"
        print(f"FAULT  seed {seed} case {index} statement {fault['statement']}: {fault['error']}\n"
              f"       in {fault['source'][:160]!r}; {fault['origin']}; families {families}", flush=True)
        if self.options.no_reproducers or fault["origin"] == "engine conversion":
            return
        statements = self.emit(seed, index)[:fault["statement"] + 1]
        title = f"tavik fuzz: seed {seed} case {index}, {fault['error'][:100]}"
        outcome = "no statement should print a SystemError"
        if not self.options.no_minimise:
            shorter, stderr = minimise(statements, title, outcome, self.options.minimise_seconds,
                                       self.options.case_timeout * 3, "fault: " + fault["error"])
            statements = shorter if stderr is not None else statements
        os.makedirs(self.options.findings, exist_ok=True)
        path = os.path.join(self.options.findings, f"fault-{seed}-{index}.py")
        with open(path, "w", encoding="utf-8", errors="backslashreplace") as script:
            script.write(reproducer(statements, title, outcome))
        print(f"       reproducer {path} ({len(statements)} statements)", flush=True)

    def emit(self, seed, index):
        """The statements of one case, as a fresh child generates them."""
        command = [sys.executable, os.path.abspath(__file__), "--emit", f"{seed}:{index}"]
        for family in self.options.skip:
            command += ["--skip", family]
        result = subprocess.run(command, capture_output=True, text=True, cwd=HERE, env=dict(os.environ))
        return [tuple(item) for item in json.loads(result.stdout.splitlines()[-1])]

    def crash(self, seed, batch):
        index = batch.current
        with open(batch.case_file, encoding="utf-8") as case_file:
            statements = [(source, tags) for source, tags in json.load(case_file)["statements"]]
        number = crashing_statement(batch.stderr)
        reached = statements if number is None else statements[:number + 1]
        families = sorted(set().union(*(families_of(tags) for _, tags in reached))) or ["new"]
        signature = "hang" if batch.hung else crash_signature(batch.stderr)
        print(f"CRASH  seed {seed} case {index}: {batch.describe()}; at {signature}; families {', '.join(families)}",
              flush=True)
        entry = {"seed": seed, "index": index, "outcome": batch.describe(), "signature": signature,
                 "families": families, "reproducer": None}
        self.crashes.append(entry)
        key = (signature, callee(reached[-1][0]) if reached else "")
        if self.options.no_reproducers or key in self.signatures:
            return
        self.signatures.add(key)
        os.makedirs(self.options.findings, exist_ok=True)
        title = f"tavik fuzz: seed {seed} case {index}, {batch.describe()} at {signature}"
        outcome = "it should print 'no crash'"
        if not self.options.no_minimise:
            shorter, stderr = minimise(reached, title, outcome, self.options.minimise_seconds,
                                       self.options.case_timeout * 3, signature)
            if stderr is None:
                print("       (does not crash on its own: it needs the cases before it in its batch)")
            else:
                statements = shorter
                families = sorted(set().union(*(families_of(tags) for _, tags in statements))) or ["new"]
                entry["families"] = families
                print(f"       minimised: {crash_signature(stderr)}; families {', '.join(families)}")
        stem = os.path.join(self.options.findings, f"crash-{seed}-{index}")
        with open(stem + ".py", "w", encoding="utf-8", errors="backslashreplace") as script:
            script.write(reproducer(statements, title, outcome))
        with open(stem + ".stderr.txt", "w") as report:
            report.write(batch.stderr)
        entry["reproducer"] = stem + ".py"
        print(f"       reproducer {stem}.py ({len(statements)} statements)", flush=True)

    def report(self, seeds):
        rate = self.calls / self.running if self.running else 0.0
        print(f"fuzz: seeds {', '.join(map(str, seeds))}; {self.cases} cases, {self.calls} calls in {self.running:.0f} s "
              f"of fuzzing ({rate:.0f} calls/s), {self.elapsed:.0f} s in all; {len(self.crashes)} crashes, "
              f"{len(self.faults)} faults ({len(self.engine_faults)} more in the engine's own conversions)"
              + (f"; skipped {', '.join(self.options.skip)}" if self.options.skip else ""))


def show(seed, index, skip, as_json=False):
    """Prints one case's script, or its statements as JSON (the generator
    needs the kit: it reads the public surface from it)."""
    kit, app = start_engine()
    statements = generate(seed, index, survey(kit, app), skip)
    sys.stdout.flush()
    if as_json:
        print("\n" + json.dumps(statements, ensure_ascii=True))
    else:
        print(reproducer(statements, f"tavik fuzz: seed {seed} case {index}", "it should print 'no crash'"))
    sys.stdout.flush()
    os._exit(0)


def case_reference(text):
    seed, _, index = text.partition(":")
    return int(seed), int(index)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=float(os.environ.get("FUZZ_SECONDS", 300)))
    parser.add_argument("--seed", type=int, action="append", help="seed to run (repeatable; default: a random one)")
    parser.add_argument("--start", type=int, default=0, help="first case index of every seed")
    parser.add_argument("--cases", type=int, default=0, help="cases per seed (default: until time runs out)")
    parser.add_argument("--batch", type=int, default=400, help="cases per child process")
    parser.add_argument("--skip", action="append", default=[], help="case family to leave out (see FAMILIES)")
    parser.add_argument("--case-timeout", type=float, default=30.0, help="seconds without progress that make a hang")
    parser.add_argument("--findings", default=os.path.join(ROOT, "build", "fuzz-findings"))
    parser.add_argument("--no-minimise", action="store_true", help="write the crashing case whole")
    parser.add_argument("--no-reproducers", action="store_true", help="only report crashes")
    parser.add_argument("--minimise-seconds", type=float, default=240.0)
    parser.add_argument("--replay", type=case_reference, metavar="SEED:INDEX", help="rerun one case")
    parser.add_argument("--show", type=case_reference, metavar="SEED:INDEX", help="print one case's script")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--emit", type=case_reference, help=argparse.SUPPRESS)
    parser.add_argument("--stop", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--case-file", help=argparse.SUPPRESS)
    parser.add_argument("--progress-fd", type=int, help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    skip = list(options.skip) + [family for family in os.environ.get("TAVIK_FUZZ_SKIP", "").split(",") if family]
    if "known" in skip:
        skip = list(FAMILIES)
    unknown = set(skip) - set(FAMILIES)
    if unknown:
        parser.error(f"unknown families {sorted(unknown)}; known: {', '.join(FAMILIES)}")
    options.skip = sorted(set(skip))
    if options.worker:
        options.seed = options.seed[0]
        return worker(options)
    if options.show:
        return show(*options.show, options.skip)
    if options.emit:
        return show(*options.emit, options.skip, as_json=True)
    if options.replay:
        seed, index = options.replay
        options.seed, options.start, options.cases, options.seconds = [seed], index, 1, 10 ** 6
    return Session(options).run()


if __name__ == "__main__":
    sys.exit(main())
