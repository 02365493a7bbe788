"""The software renderer's shader cache, warm for every program of a class.

Mesa keeps the shaders it has compiled in a cache folder of the user's. A
confined program cannot use that folder (its home is hidden, or it runs as
a user of its own), and compiling the kit's shaders again costs each
program about 0.15 s of CPU, a quarter of a small program's whole run. So
the grader warms a cache of its own, once, by drawing the kit's everyday
things in a process of its own, where no learner code runs; each program
then starts with a private copy of it, so nothing one program writes there
reaches another. Elsewhere than Linux the platform's own drivers are used,
and nothing is done.

    python -P -m tavik.classroom.shaders    draws the warm-up scene (MESA_SHADER_CACHE_DIR names the cache)
"""
import os
import shutil
import subprocess
import sys
import tempfile

from tavik.classroom.display import OWN_PROCESSES, VirtualScreen, die_with_parent, needs_virtual_screen
from tavik.classroom.scratch import PREFIX

VARIABLE = "MESA_SHADER_CACHE_DIR"
WARM_UP_SECONDS = 60.0


class WarmCache:
    """A shader cache warmed in the background; `folder()` names it once it is ready."""

    def __init__(self):
        self.root = None
        self.process = None
        self.screen = None
        self.ready = False

    def start(self):
        """Starts the warm-up (Linux only); a screen or process that cannot start leaves the cache cold."""
        if not sys.platform.startswith("linux"):
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
        if self.process is not None and self.process.poll() is not None:
            self.ready = self.process.returncode == 0 and os.path.isdir(self.cache())
            self.stop()
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

    def __exit__(self, *exc_info):
        self.close()


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
