"""Start-up costs: importing the module and constructing the application.

Each measurement runs in a fresh interpreter; subject and baseline runs
alternate so that both see the same machine load.
"""
import subprocess
import sys

from common import report

ROUNDS = 7

IMPORT_KIT = "import tavik.tavik"
IMPORT_ENGINE = """
import direct.showbase.ShowBase, panda3d.core, direct.gui.OnscreenText
import direct.showbase.DirectObject, direct.gui.DirectGui, math, os, importlib.resources, gltf
"""

TIMED = """
import time
start = time.perf_counter()
{body}
print(time.perf_counter() - start)
"""

SETUP = """
from tavik.classroom.display import ensure_display
ensure_display()
from panda3d.core import loadPrcFileData
loadPrcFileData('bench', 'audio-library-name null\\nsync-video #f')
import tavik.tavik, importlib.resources
font_path = str(importlib.resources.files('tavik').joinpath('zkwy.ttf'))
"""

CONSTRUCT_KIT = "app = tavik.tavik.TAVIK()"
CONSTRUCT_ENGINE = """
from direct.showbase.ShowBase import ShowBase
app = ShowBase()
font = app.loader.loadFont(font_path)
font.setPixelsPerUnit(30)
"""


def measure(setup, body):
    source = setup + TIMED.format(body=body)
    completed = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, check=True)
    return float(completed.stdout.strip().splitlines()[-1])


def best_alternating(first, second):
    firsts, seconds = [], []
    for _ in range(ROUNDS):
        firsts.append(measure(*first))
        seconds.append(measure(*second))
    return min(firsts), min(seconds)


def main():
    kit, engine = best_alternating(("", IMPORT_KIT), ("", IMPORT_ENGINE))
    report("import", "import tavik.tavik", kit, "import the engine modules it uses", engine,
           target="ratio >= 0.91 (kit <= 1.1x engine)")
    kit, engine = best_alternating((SETUP, CONSTRUCT_KIT), (SETUP, CONSTRUCT_ENGINE))
    report("construction", "TAVIK()", kit, "ShowBase() + the same font", engine,
           target="ratio >= 0.91 (kit <= 1.1x engine)", note="TAVIK also loads the axis model")


if __name__ == "__main__":
    main()
