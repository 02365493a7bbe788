"""The kit's main program: ``python -m tavik``.

With a display it opens the window and runs until it is closed. Without one
it runs on a virtual screen for a few seconds, saves a screenshot and prints
its path.
"""
import argparse
import os
import sys

from tavik.display import ensure_display


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="python -m tavik", description="Run the tavik showcase.")
    parser.add_argument("--frames", type=int, default=None,
                        help="run this many frames, save a screenshot and exit")
    parser.add_argument("--screenshot", default=os.path.join("screenshots", "showcase.png"),
                        help="where to save the screenshot (default: %(default)s)")
    return parser.parse_args(argv)


def build_scene(app):
    """A first look at the kit: the axes, a label and the orbit camera."""
    app.makeText("hello", "你好，tavik！", (0, 0, 4), (1, 1, 1, 1), scale=1.5)


def save_screenshot(app, path):
    from panda3d.core import Filename, PNMImage
    image = PNMImage()
    if not app.win.getScreenshot(image):
        raise RuntimeError("the window gave no screenshot")
    directory = os.path.dirname(os.path.abspath(path))
    os.makedirs(directory, exist_ok=True)
    image.write(Filename.fromOsSpecific(os.path.abspath(path)))
    return os.path.abspath(path)


def main(argv=None):
    arguments = parse_arguments(sys.argv[1:] if argv is None else argv)
    virtual = ensure_display()
    from panda3d.core import loadPrcFileData
    loadPrcFileData("tavik-main", "audio-library-name null")
    from tavik.tavik import TAVIK
    app = TAVIK()
    build_scene(app)
    frames = arguments.frames
    if frames is None and virtual:
        frames = 120
    if frames is None:
        app.run()
        return 0
    for _ in range(max(frames, 1)):
        app.taskMgr.step()
    print(save_screenshot(app, arguments.screenshot))
    return 0


if __name__ == "__main__":
    sys.exit(main())
