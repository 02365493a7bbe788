"""The child: runs a batch of cases on one shared application object and
reports each case's start, faults and end on a pipe, so the parent knows
which case was running when the child died."""
import builtins
import gc
import json
import os
import re
import sys
import time
import types

from fuzz.generator import generate
from fuzz.surface import PUBLIC, families_of, sanitized, start_engine, survey

def case_namespace(kit, app):
    import copy
    import inspect as inspect_module
    import pickle
    from fuzz import hostile
    namespace = {name: getattr(kit, name) for name in dir(kit) if not name.startswith("_")}
    namespace.update({name: value for name, value in vars(hostile).items() if not name.startswith("_")})
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
