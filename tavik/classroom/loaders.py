"""The engine's model-loader plug-ins, looked up once by the runner instead of by every program.

When the engine's `Loader` is made (in `TAVIK()`), it reads the metadata of
every installed distribution for the "panda3d.loaders" entry points (the
glTF loader is one). In a program's short life that costs more than drawing
its frames: importing the metadata reader alone pulls in the e-mail parser.
The runner looks them up once, in its own process (the same interpreter and
the same installed packages), and hands them down as text; the child
registers each one with the engine as it would have, and turns the engine's
own lookup off. The plug-in itself is still imported only when a file of its
kind is loaded.
"""
import functools
import importlib
import os
import re

LOADERS_VARIABLE = "TAVIK_ENGINE_LOADERS"
GROUP = "panda3d.loaders"
# "module.path:attribute.path [extras]", as an entry point's value is written
VALUE = re.compile(r"(?P<module>[\w.]+)\s*(:\s*(?P<attribute>[\w.]+)\s*)?(\[.*\]\s*)?$")


def to_hand_down():
    """The environment variables that hand this interpreter's plug-ins down to a program ({} when unknown)."""
    found = found_here()
    return {} if found is None else {LOADERS_VARIABLE: found}


@functools.cache
def found_here():
    """The plug-ins installed for this interpreter, one "extension=value" line each; None when unknown."""
    try:
        from importlib.metadata import entry_points
        found = entry_points(group=GROUP)
    except Exception:   # a broken distribution's metadata: every program then looks for itself
        return None
    lines = [f"{point.name}={point.value}" for point in found]
    if any("\n" in line or not VALUE.match(line.partition("=")[2]) for line in lines):
        return None
    return "\n".join(lines)


class EntryPoint:
    """What the engine uses of an entry point: `name` (the file extension) and `load()`."""

    def __init__(self, name, value):
        self.name, self.value = name, value

    def load(self):
        parts = VALUE.match(self.value)
        found = importlib.import_module(parts["module"])
        for attribute in filter(None, (parts["attribute"] or "").split(".")):
            found = getattr(found, attribute)
        return found

    def __repr__(self):
        return f"EntryPoint(name={self.name!r}, value={self.value!r}, group={GROUP!r})"


def register_handed_down():
    """Registers the plug-ins the runner handed down, and turns the engine's own lookup off.

    Nothing changes when the runner handed none down (an older runner, or metadata it could not read).
    """
    text = os.environ.pop(LOADERS_VARIABLE, None)
    if text is None:
        return
    points = [EntryPoint(*line.split("=", 1)) for line in text.splitlines() if "=" in line]    # checked by the runner
    from panda3d.core import LoaderFileTypeRegistry, loadPrcFileData
    registry = LoaderFileTypeRegistry.getGlobalPtr()
    for point in points:
        registry.register_deferred_type(point)
    loadPrcFileData("tavik-loaders", "loader-support-entry-points #f")
