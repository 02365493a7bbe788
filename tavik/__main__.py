"""The kit's main program.

    python -m tavik [--frames N] [--screenshot OUT.png]
        the showcase
    python -m tavik run SCRIPT.py [--frames N] [--screenshot OUT.png]
        any learner program

With a display the window opens and runs until it is closed (or for N
frames when --frames is given). Without one, the program runs on a virtual
screen for N frames (default 120), a screenshot is saved and its path printed:
the teacher's way to check work without opening a window.
"""
import argparse
import builtins
import os
import runpy
import sys

from tavik.display import ensure_display

DEFAULT_FRAMES = 120


class FramesDone(Exception):
    """Raised inside the learner's `run()` once the frames have been shown."""


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="python -m tavik", description="Run the tavik showcase or a program.")
    parser.add_argument("--frames", type=int, default=None,
                        help="run this many frames, save a screenshot and exit")
    parser.add_argument("--screenshot", default=None, help="where to save the screenshot")
    commands = parser.add_subparsers(dest="command")
    run = commands.add_parser("run", help="run a learner's program")
    run.add_argument("script", help="the program to run")
    run.add_argument("--frames", type=int, default=None, dest="run_frames",
                     help="run this many frames, save a screenshot and exit")
    run.add_argument("--screenshot", default=None, dest="run_screenshot", help="where to save the screenshot")
    run.add_argument("arguments", nargs="*", help="arguments passed on to the program (after --)")
    arguments = parser.parse_args(argv)
    if arguments.command == "run":
        arguments.frames = arguments.run_frames if arguments.run_frames is not None else arguments.frames
        arguments.screenshot = arguments.run_screenshot or arguments.screenshot
    return arguments


def start_engine():
    """Chooses the screen and quiets audio before the application exists."""
    virtual = ensure_display()
    from panda3d.core import loadPrcFileData
    loadPrcFileData("tavik-main", "audio-library-name null")
    return virtual


def save_screenshot(app, path):
    from panda3d.core import Filename, PNMImage
    image = PNMImage()
    if not app.win.getScreenshot(image):
        raise RuntimeError("the window gave no screenshot")
    path = os.path.abspath(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if not image.write(Filename.fromOsSpecific(path)):
        raise RuntimeError(f"could not write {path}")
    return path


def show_frames(app, frames, screenshot):
    for _ in range(max(frames, 1)):
        app.taskMgr.step()
    print(save_screenshot(app, screenshot))


def run_showcase(frames, screenshot):
    from tavik.showcase import Showcase
    showcase = Showcase()
    if frames is None:
        showcase.app.run()
    else:
        show_frames(showcase.app, frames, screenshot)


def run_script(script, script_arguments, frames, screenshot):
    """Runs a learner's program; with a frame count its `run()` returns after them."""
    from direct.showbase.ShowBase import ShowBase
    if frames is not None:
        def run_for_frames(app):
            show_frames(app, frames, screenshot)
            raise FramesDone
        ShowBase.run = run_for_frames
    sys.argv = [script] + list(script_arguments)
    sys.path.insert(0, os.path.dirname(os.path.abspath(script)))
    try:
        runpy.run_path(script, run_name="__main__")
    except FramesDone:
        return
    app = getattr(builtins, "base", None)
    if frames is not None and app is not None:
        show_frames(app, frames, screenshot)  # the program never called run()


def main(argv=None):
    arguments = parse_arguments(sys.argv[1:] if argv is None else argv)
    virtual = start_engine()
    frames = arguments.frames
    if frames is None and virtual:
        frames = DEFAULT_FRAMES
    if arguments.command == "run":
        name = os.path.splitext(os.path.basename(arguments.script))[0]
        screenshot = arguments.screenshot or os.path.join("screenshots", name + ".png")
        run_script(arguments.script, arguments.arguments, frames, screenshot)
    else:
        run_showcase(frames, arguments.screenshot or os.path.join("screenshots", "showcase.png"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
