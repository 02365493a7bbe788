"""Plays one game of examples/ with real key presses, on a virtual screen of its own.

    python game_driver.py GAME.py PLAN.json

PLAN is {"frames": N, "keys": [[frame, "keydown" | "keyup" | "key", "Left"], ...]}:
xdotool sends each key action to the game's window just before that frame.
The engine's clock runs at a fixed 60 frames a second, so a game that moves by
dt() moves the same on every machine. When the frames are done, one JSON line
tells where the game's `player` stands and what its `score` is, before and after.
"""
import json
import os
import runpy
import subprocess
import sys

# A screen of its own, so that keyboard focus is never shared with another window.
os.environ.pop("DISPLAY", None)

from tavik.classroom.display import ensure_display  # noqa: E402

ensure_display()

from direct.task import Task  # noqa: E402
from panda3d.core import ClockObject, loadPrcFileData  # noqa: E402

loadPrcFileData("game driver", "audio-library-name null\nsync-video #f\nwin-size 1000 750\n")

GAME = os.path.abspath(sys.argv[1])
with open(sys.argv[2], encoding="utf-8") as plan_file:
    PLAN = json.load(plan_file)


def game_globals():
    frame = sys._getframe()
    while frame is not None:
        if frame.f_globals.get("__file__") == GAME:
            return frame.f_globals
        frame = frame.f_back
    raise RuntimeError("the game's own frame was not found")


def state(game):
    import builtins
    player = game["player"]
    return {"position": list(player.getPos(builtins.base.render)), "heading": player.getH(builtins.base.render),
            "score": game["score"]}


def play(manager):
    import builtins
    app = builtins.base
    clock = ClockObject.getGlobalClock()
    clock.setMode(ClockObject.MNonRealTime)
    clock.setFrameRate(60)
    window = str(app.win.getWindowHandle().getIntHandle())
    for _ in range(3):
        manager.step()
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True, timeout=30)
    game = game_globals()
    before = state(game)
    actions = {}
    for frame, action, key in PLAN["keys"]:
        actions.setdefault(frame, []).append((action, key))
    for frame in range(PLAN["frames"]):
        for action, key in actions.get(frame, []):
            subprocess.run(["xdotool", action, key], check=True, timeout=30)
        manager.step()
    print("RESULT " + json.dumps({"before": before, "after": state(game)}), flush=True)
    raise SystemExit(0)


Task.TaskManager.run = play
runpy.run_path(GAME, run_name="__main__")
