"""What the pictures of a run show that no error does: a window that never changes, a drawing not finished.

`Stillness` keeps the window's picture early in the run (once the
per-frame hook has run) and compares it with the last frame: a program
whose `app.update` runs every frame while the window stays exactly the same
has a hook that changes nothing on screen. `unfinished_drawing` tells
whether an `animate`d pen was still drawing when the run ended, so that the
screenshot shows only part of the drawing.
"""
import sys

EARLY_FRAME = 2         # the hook has run at least once by then
LEAST_FRAMES = 20       # fewer frames say too little about change


def picture(app):
    """The window's pixels (kept whole: comparing them costs less than importing a hash)."""
    from tavik.classroom.child import pixels
    shown = pixels(app)
    return None if shown is None else shown[2]


class Stillness:
    def __init__(self):
        self.early = None
        self.last_index = 0

    def wants(self, index, app):
        """True when frame `index` must be drawn: its picture is the early one."""
        return index == EARLY_FRAME and hook_of(app) is not None

    def frame(self, app, index):
        self.last_index = index
        if self.wants(index, app):
            self.early = picture(app)

    def facts(self, app):
        """{"update_still": True} when the hook ran all along and the window never changed."""
        if self.early is None or self.last_index < LEAST_FRAMES or hook_of(app) is None:
            return {}
        return {"update_still": picture(app) == self.early}


def hook_of(app):
    hook = getattr(app, "update", None) if app is not None else None
    return hook if callable(hook) else None


def unfinished_drawing():
    """True when a pen animated by tavik.extras.animate had not drawn everything yet."""
    extras = sys.modules.get("tavik.extras")
    return bool(extras is not None and getattr(extras, "_running", None))
