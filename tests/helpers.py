"""Helpers the tests share: reading the window's pixels, where a point lands on
it, and a camera looking straight down on the origin."""
import contextlib

from panda3d.core import LPoint3, Point2
from PIL import Image

from tavik.extras import lookFrom


def grab(app):
    """What the window shows after the last frame, as a picture."""
    texture = app.win.getScreenshot()
    assert texture is not None
    raw = bytes(texture.getRamImageAs("RGB"))
    return Image.frombytes("RGB", (texture.getXSize(), texture.getYSize()), raw).transpose(Image.FLIP_TOP_BOTTOM)


def pixels_of(image, colour, tolerance=40):
    """(x, y) of every pixel within `tolerance` of `colour`."""
    width = image.width
    data = image.tobytes()
    found = []
    for index in range(0, len(data), 3):
        if (abs(data[index] - colour[0]) + abs(data[index + 1] - colour[1]) + abs(data[index + 2] - colour[2])
                <= tolerance):
            pixel = index // 3
            found.append((pixel % width, pixel // width))
    return found


def on_screen(app, point):
    """Where a point of render appears in the window, in pixels, or None when outside."""
    inCamera = app.cam.getRelativePoint(app.render, LPoint3(*point))
    screen = Point2()
    if not app.camLens.project(inCamera, screen):
        return None
    return ((screen.x + 1) / 2 * app.win.getXSize(), (1 - screen.y) / 2 * app.win.getYSize())


@contextlib.contextmanager
def from_above(app, radius):
    """The camera straight above the origin, `radius` away, with the axis model hidden."""
    controller = app.camera_controller
    controller.target_pos = LPoint3(0, 0, 0)
    controller.radius = radius
    lookFrom(app, "top")
    axis = app.render.find("zup-axis*")
    axis.hide()
    try:
        yield
    finally:
        axis.show()
