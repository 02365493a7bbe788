"""The software renderer's shader cache, warm for every program of a class.

Mesa keeps the shaders it has compiled in a cache folder of the user's. A
confined program cannot use that folder (its home is hidden, or it runs as
a user of its own), and compiling the kit's shaders again costs each
program about 0.15 s of CPU, a quarter of a small program's whole run. So
the grader warms a cache of its own, once, by drawing the kit's everyday
things in a process of its own, where no learner code runs; each program
then starts with a private copy of it, so nothing one program writes there
reaches another. A warmed cache is kept in the user's cache folder for the
gradings to come (for a week, or until the kit changes), so that only the
first grading pays for the warm-up. Elsewhere than Linux the platform's own
drivers are used, and nothing is done.

    python -P -m tavik.classroom.shaders    draws the warm-up scene (MESA_SHADER_CACHE_DIR names the cache)
"""
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import time

from tavik.classroom.display import OWN_PROCESSES, VirtualScreen, die_with_parent, needs_virtual_screen
from tavik.classroom.scratch import PREFIX

VARIABLE = "MESA_SHADER_CACHE_DIR"
WARM_UP_SECONDS = 15.0     # the longest a grading waits at its end for a warm-up still running (it takes about 1 s)
KEPT_FOR = 7 * 24 * 3600    # then warmed again, in case the driver was updated since


class WarmCache:
    """A shader cache warmed in the background; `folder()` names it once it is ready."""

    def __init__(self):
        self.root = None
        self.process = None
        self.screen = None
        self.ready = False
        self.kept = None

    def start(self):
        """Starts the warm-up (Linux only) unless a kept cache is still good; a screen or process that
        cannot start leaves the cache cold."""
        if not sys.platform.startswith("linux"):
            return self
        self.kept = kept_cache()
        if self.kept is not None:
            return self
        # named like a scratch folder, so that one left by a grader that was killed is removed later
        self.root = tempfile.mkdtemp(prefix=f"{PREFIX}{os.getpid()}-shaders-")
        environment = dict(os.environ, HOME=self.root, TMPDIR=self.root, **{VARIABLE: self.cache()})
        environment.pop("XDG_CACHE_HOME", None)
        try:
            if needs_virtual_screen():
                self.screen = VirtualScreen().start()
                environment = self.screen.environment(environment)
            self.process = subprocess.Popen([sys.executable, "-P", "-m", __name__], env=environment,
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=subprocess.DEVNULL, start_new_session=True,
                                            preexec_fn=die_with_parent, cwd=self.root)
            OWN_PROCESSES.add(self.process.pid)
        except (OSError, RuntimeError):
            self.stop()
        return self

    def cache(self):
        return os.path.join(self.root, "mesa")

    def folder(self):
        """The warm cache's folder once the warm-up has ended well; None before, or when it failed."""
        if self.kept is not None:
            return os.path.join(self.kept, "mesa")
        if self.process is not None and self.process.poll() is not None:
            self.ready = self.process.returncode == 0 and os.path.isdir(self.cache())
            self.stop()
            if self.ready:
                keep(self.cache())
        return self.cache() if self.ready else None

    def stop(self):
        process, self.process = self.process, None
        if process is not None:
            if process.poll() is None:
                process.kill()
                process.wait()
            OWN_PROCESSES.discard(process.pid)
        if self.screen is not None:
            self.screen.stop()
            self.screen = None

    def close(self):
        self.stop()
        self.ready = False
        if self.root is not None:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None

    def __enter__(self):
        return self.start()

    def __exit__(self, kind, error, trace):
        if kind is None:
            self.finish()
        self.close()

    def finish(self):
        """Lets a warm-up still running end (a class smaller than the warm-up is long), so it can be kept."""
        if self.process is not None:
            try:
                self.process.wait(timeout=WARM_UP_SECONDS)
            except subprocess.TimeoutExpired:
                return
            self.folder()


def kept_root():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tavik", "shaders")


def kit_stamp():
    """Changes whenever what the warm-up draws may have: the kit's build, or this module."""
    try:
        kit = os.stat(importlib.util.find_spec("tavik.tavik").origin)
        warm_up_code = os.stat(__file__)
    except (OSError, AttributeError, ImportError):
        return None
    return f"{kit.st_size}-{kit.st_mtime_ns}-{warm_up_code.st_mtime_ns}"


def kept_cache():
    """The folder of a cache an earlier grading warmed for this same kit less than KEPT_FOR ago, or None."""
    stamp = kit_stamp()
    if stamp is None:
        return None
    folder = os.path.join(kept_root(), stamp)
    try:
        fresh = time.time() - os.stat(folder).st_mtime < KEPT_FOR
    except OSError:
        return None
    return folder if fresh and os.path.isdir(os.path.join(folder, "mesa")) else None


def keep(cache):
    """Keeps a copy of the freshly warmed `cache` for later gradings; a folder that cannot be written keeps nothing.

    The copy is written under a name of its own and renamed into place, so a
    grading never starts from a half-written cache.
    """
    stamp = kit_stamp()
    if stamp is None:
        return
    root = kept_root()
    try:
        os.makedirs(root, exist_ok=True)
        incoming = tempfile.mkdtemp(prefix=".incoming-", dir=root)
    except OSError:
        return
    try:
        shutil.copytree(cache, os.path.join(incoming, "mesa"), symlinks=True)
        target = os.path.join(root, stamp)
        shutil.rmtree(target, ignore_errors=True)   # out of date, or there would have been no warm-up
        os.rename(incoming, target)
    except OSError:     # another grading kept its own at the same moment, or the disk is full
        shutil.rmtree(incoming, ignore_errors=True)
    remove_out_of_date(root)


def remove_out_of_date(root):
    """Removes what other builds of the kit (or graders that were killed) left there over KEPT_FOR ago."""
    try:
        names = os.listdir(root)
    except OSError:
        return
    for name in names:
        path = os.path.join(root, name)
        try:
            out_of_date = time.time() - os.stat(path).st_mtime >= KEPT_FOR
        except OSError:
            continue
        if out_of_date:
            shutil.rmtree(path, ignore_errors=True)


def private_copy(warm, scratch_root):
    """A copy of the warm cache `warm` in the program's scratch folder; its path there."""
    target = os.path.join(scratch_root, "shaders")
    shutil.copytree(warm, target, symlinks=True)
    return target


def warm_up():
    """Draws what learners' programs draw most: pen lines and dots, texts, models, widgets."""
    from panda3d.core import loadPrcFileData
    loadPrcFileData("tavik-warm-up", "audio-library-name null\nwin-size 1000 750\nsync-video #f")
    from tavik.classroom.child import packaged_models
    from tavik.tavik import TAVIK, Color, Pen, drawAxies, makeButton, makeEntry, makeLabel
    app = TAVIK()
    pen = Pen(app)
    pen.size(3)
    drawAxies(pen, 0, 3, 0.3)
    for _ in range(4):
        pen.forward(2, True)
        pen.dLeft(90)
    pen.moveTo(1, 1, 1)
    pen.dot()
    pen.update()
    app.makeText("warm-up", "你好 tavik", (0, 0, 3), Color.white)
    for model in packaged_models():
        app.gm(model)
    makeLabel(app, "标签", 20, 30)
    makeButton(app, "按钮", 20, 70, lambda: None)
    makeEntry(app, "1", 20, 110)
    for _ in range(3):
        app.taskMgr.step()
    app.graphicsEngine.renderFrame()
    os._exit(0)     # tearing the engine down is not needed: the cache is written as shaders are compiled


if __name__ == "__main__":
    warm_up()
