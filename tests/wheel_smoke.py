"""Checks an installed tavik: runs a learner program headless and looks at its screenshot.

This is cibuildwheel's test command on every platform, and tests/test_wheel.py
runs it in a fresh environment too. It needs nothing but the kit and the engine.

Linux renders as learners' machines do, on a virtual screen (Xvfb, started by
the kit) through OpenGL. Windows and macOS CI machines have no GPU, so there
the engine's software renderer draws into an offscreen buffer; `--software`
chooses that anywhere.
"""
import argparse
import os
import sys
import tempfile

PROGRAM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wheel_program.py")
SIZE = (1000, 750)


def is_orange(red, green, blue):
    return red > 0.8 and 0.2 < green < 0.6 and blue < 0.25


def check_screenshot(path):
    """Returns what is wrong with the screenshot, or None."""
    from panda3d.core import Filename, PNMImage
    image = PNMImage()
    if not image.read(Filename.fromOsSpecific(path)):
        return f"no screenshot at {path}"
    size = (image.getXSize(), image.getYSize())
    if size != SIZE:
        return f"screenshot is {size[0]}x{size[1]}, expected {SIZE[0]}x{SIZE[1]}"
    colours, orange = set(), 0
    for y in range(0, size[1], 2):
        for x in range(0, size[0], 2):
            pixel = image.getXel(x, y)
            colours.add((round(pixel[0] * 255), round(pixel[1] * 255), round(pixel[2] * 255)))
            orange += is_orange(*pixel)
    if len(colours) < 4:
        return f"screenshot is blank ({len(colours)} colours)"
    if orange < 20:
        return f"the orange square is missing ({orange} orange pixels)"
    print(f"screenshot {size[0]}x{size[1]}: {len(colours)} colours, {orange} orange pixels (every 2nd row and column)")
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--software", action="store_true",
                        help="render with the software renderer into an offscreen buffer")
    parser.add_argument("--frames", type=int, default=30)
    arguments = parser.parse_args(argv)
    # The kit prints a Chinese greeting; CI captures output through pipes,
    # which on an English Windows are encoded in cp1252 and cannot carry it.
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(encoding="utf-8")
    if arguments.software or sys.platform in ("win32", "darwin"):
        from panda3d.core import loadPrcFileData
        loadPrcFileData("wheel-smoke", "load-display p3tinydisplay\nwindow-type offscreen\n"
                        f"win-size {SIZE[0]} {SIZE[1]}\n")
    import tavik.tavik
    print("tavik from", os.path.dirname(tavik.tavik.__file__))
    from tavik.__main__ import main as tavik_main
    with tempfile.TemporaryDirectory(prefix="tavik-smoke-") as folder:
        screenshot = os.path.join(folder, "smoke.png")
        tavik_main(["run", PROGRAM, "--frames", str(arguments.frames), "--screenshot", screenshot])
        problem = check_screenshot(screenshot)
    if problem:
        print("FAILED:", problem, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
