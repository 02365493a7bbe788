"""The case generator: a short hostile program from (seed, index) alone."""
import random
import re

from fuzz.surface import (CORE_NAMES, EVENTS, KINDS, KIT_NAMES, SPECIAL_METHODS, TASK_METHODS,
                          families_of)

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
