"""`python -m tavik watch prog.py`: the program runs again each time its file is saved.

The watcher (`watch_command`) starts the program in a child process of its
own (`python -m tavik.classroom.watch --child ...`) and looks at the file's
time and size a few times a second. The child writes where its window is,
how big it is and what the camera looks at into a small state file; the next
run starts from that state, so a re-run keeps the place, the size and the
view that the learner chose. The new run replaces the old one only once it
has shown its first frames: a program that fails at the start prints its
error and hint (the kit's own error hook) and the old window stays, with
the last good picture. A program that fails later stops where it is, with
its window still showing that picture, until the next save.
"""
import argparse
import builtins
import json
import os
import subprocess
import sys
import time
from dataclasses import asdict, dataclass, field

POLL = 0.25                 # seconds between looks at the file
STATE_EVERY = 0.3           # seconds between two writes of the window's state
SHOWN_FRAMES = 3            # frames a new run shows before it replaces the old one
FAILED_FRAME_PAUSE = 1 / 30


@dataclass
class View:
    """What a run keeps for the next: the window's place and size, the camera's view, how far it got."""
    origin: list = None         # [x, y] of the window
    size: list = None           # [width, height]
    target: list = None         # the camera controller's target_pos
    radius: float = None
    theta: float = None
    phi: float = None
    frames: int = 0
    failed: bool = False

    @classmethod
    def read(cls, path):
        try:
            with open(path, encoding="utf-8") as source:
                data = json.load(source)
        except (OSError, ValueError):
            return cls()
        known = {name: data[name] for name in cls.__dataclass_fields__ if name in data}
        return cls(**known)

    def write(self, path):
        temporary = path + ".new"
        with open(temporary, "w", encoding="utf-8") as out:
            json.dump(asdict(self), out)
        os.replace(temporary, path)


# ---- the child: one run of the program ---------------------------------------------------------

def observed_view(app, frames):
    view = View(frames=frames)
    window = getattr(app, "win", None)
    if window is not None and hasattr(window, "getProperties"):
        properties = window.getProperties()
        if properties.hasOrigin():
            view.origin = [properties.getXOrigin(), properties.getYOrigin()]
        if properties.hasSize():
            view.size = [properties.getXSize(), properties.getYSize()]
    controller = getattr(app, "camera_controller", None)
    if controller is not None:
        target = controller.target_pos
        view.target = [target[0], target[1], target[2]]
        view.radius, view.theta, view.phi = controller.radius, controller.theta, controller.phi
    return view


def restore_view(app, view):
    """Puts the window and the camera where the last run left them."""
    from panda3d.core import LPoint3, WindowProperties
    window = getattr(app, "win", None)
    if window is not None and hasattr(window, "requestProperties") and (view.origin or view.size):
        properties = WindowProperties()
        if view.origin:
            properties.setOrigin(*view.origin)
        if view.size:
            properties.setSize(*view.size)
        window.requestProperties(properties)
    controller = getattr(app, "camera_controller", None)
    if controller is not None and view.radius is not None:
        controller.target_pos = LPoint3(*view.target)
        controller.radius, controller.theta, controller.phi = view.radius, view.theta, view.phi
        controller.update_camera_position()


def follow_view(state_path, kept):
    """A task that restores the kept view at the first frame, then writes the view as it changes."""
    from direct.task.TaskManagerGlobal import taskMgr
    progress = {"frames": 0, "written": 0.0}

    def follow(task):
        app = getattr(builtins, "base", None)
        if app is None:
            return task.cont
        if progress["frames"] == 0:
            restore_view(app, kept)
        progress["frames"] += 1
        now = time.monotonic()
        if progress["frames"] <= SHOWN_FRAMES + 1 or now - progress["written"] > STATE_EVERY:
            progress["written"] = now
            observed_view(app, progress["frames"]).write(state_path)
        return task.cont

    taskMgr.add(follow, "tavikWatchView", sort=55)
    return progress


def hold_picture(app, state_path, frames):
    """After an error: the window keeps showing the last picture (no task runs) until the next save."""
    view = observed_view(app, frames) if app is not None else View(frames=frames)
    view.failed = True
    view.write(state_path)
    window = getattr(app, "win", None)
    while window is not None and not window.isClosed():
        app.graphicsEngine.renderFrame()
        time.sleep(FAILED_FRAME_PAUSE)


def run_child(script, state_path, kept_path):
    from tavik import mistakes
    kept = View.read(kept_path) if kept_path else View()
    progress = follow_view(state_path, kept)
    script = os.path.abspath(script)
    with open(script, "rb") as source:
        text = source.read()
    main = type(sys)("__main__")
    main.__dict__.update({"__name__": "__main__", "__file__": script, "__builtins__": builtins})
    sys.modules["__main__"] = main
    sys.argv = [script]
    sys.path.insert(0, os.path.dirname(script))
    mistakes.warn_about_main()
    try:
        exec(compile(text, script, "exec"), main.__dict__)
    except SystemExit:
        return 0
    except BaseException:
        if not isinstance(sys.exc_info()[1], Exception):
            raise
        sys.excepthook(*sys.exc_info())
        hold_picture(getattr(builtins, "base", None), state_path, progress["frames"])
        return 1
    return 0


# ---- the watcher -----------------------------------------------------------------------------

@dataclass
class ChildRun:
    process: subprocess.Popen
    state_path: str
    number: int
    replaced: list = field(default_factory=list)

    def view(self):
        return View.read(self.state_path)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


def file_stamp(path):
    try:
        status = os.stat(path)
    except OSError:
        return None
    return (status.st_mtime_ns, status.st_size)


class Watcher:
    def __init__(self, script, folder):
        self.script = os.path.abspath(script)
        self.folder = folder
        self.current = None
        self.runs = 0

    def start_run(self):
        from tavik.classroom.display import die_with_parent
        self.runs += 1
        state_path = os.path.join(self.folder, f"view-{self.runs}.json")
        command = [sys.executable, "-P", "-m", "tavik.classroom.watch", "--child", self.script, "--state", state_path]
        if self.current is not None:
            command += ["--kept", self.current.state_path]
        extra = {} if os.name == "nt" else {"preexec_fn": die_with_parent}
        say(f"—— 第 {self.runs} 次运行 {os.path.basename(self.script)} ——")
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, cwd=os.path.dirname(self.script), **extra)
        return ChildRun(process, state_path, self.runs)

    def replace(self):
        """Runs the saved program; it takes the old one's place once it has shown its first frames."""
        new = self.start_run()
        old = self.current
        if old is None or old.process.poll() is not None:
            if old is not None:
                old.stop()
            self.current = new
            return
        while True:
            view = new.view()
            if view.failed or new.process.poll() is not None:
                if view.frames < SHOWN_FRAMES:
                    new.stop()      # its error is printed; the last good picture stays
                    say("（窗口里还是上一次的画面：改好以后再保存一次。）")
                    return
                break
            if view.frames >= SHOWN_FRAMES:
                break
            time.sleep(POLL / 5)
        old.stop()
        self.current = new

    def watch(self):
        stamp = file_stamp(self.script)
        self.replace()
        while True:
            time.sleep(POLL)
            now = file_stamp(self.script)
            if now is None or now == stamp:
                continue
            time.sleep(POLL)            # an editor may write the file in more than one go
            settled = file_stamp(self.script)
            if settled != now:
                continue
            stamp = settled
            self.replace()

    def stop(self):
        if self.current is not None:
            self.current.stop()


def say(text):
    from tavik.errorhook import write_text
    write_text(sys.stdout, text + "\n")


def watch_command(script):
    """`python -m tavik watch`: runs until stopped (Ctrl-C); returns the exit code."""
    import shutil
    import tempfile
    from tavik.classroom.display import ensure_display
    from tavik.classroom.runner import EXIT_ERROR, CommandEnded, run_guarded
    if not os.path.isfile(script):
        say(f"找不到程序文件 {script}。")
        return EXIT_ERROR
    folder = tempfile.mkdtemp(prefix="tavik-watch-")
    watcher = Watcher(script, folder)
    say("保存文件时，程序会重新运行。按 Ctrl-C 结束。")
    try:
        ensure_display()
        return run_guarded(watcher.watch, "已停止。\n")
    except CommandEnded as ended:
        return ended.exit_code
    finally:
        watcher.stop()
        shutil.rmtree(folder, ignore_errors=True)


def parse_child_arguments(argv):
    parser = argparse.ArgumentParser(prog="python -m tavik.classroom.watch")
    parser.add_argument("--child", required=True, metavar="SCRIPT")
    parser.add_argument("--state", required=True)
    parser.add_argument("--kept", default=None)
    return parser.parse_args(argv)


if __name__ == "__main__":
    child = parse_child_arguments(sys.argv[1:])
    sys.exit(run_child(child.child, child.state, child.kept))
