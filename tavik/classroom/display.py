"""A virtual screen for running the kit where there is no display.

Used by the showcase, by ``python -m tavik run`` and by the tests: when
``DISPLAY`` is unset, an Xvfb server is started and ``DISPLAY`` points at it.
Rendering then goes through Mesa's software OpenGL. Windows and macOS draw
through their own window systems, which need neither.

``VirtualScreen`` is one such server owned by its caller; the runner starts
one per learner program in its own (parent) process, so that the server is
stopped however the program ends.
"""
import atexit
import os
import shutil
import signal
import stat
import subprocess
import sys

_server = None
# Processes the teacher's tools started for their own use (screens, the shader warm-up), by pid: never
# a program's orphans, whatever their parent.
OWN_PROCESSES = set()
# Screens asked to end and not yet gone (see VirtualScreen.launch).
ENDING = set()
STARTS = 3      # a screen whose socket is lost while it starts is started again, this many times in all


def needs_virtual_screen():
    """True where windows need an X server and none is named (not Windows, not macOS)."""
    return sys.platform not in ("win32", "cygwin", "darwin") and not os.environ.get("DISPLAY")


def _find_prctl():
    if not sys.platform.startswith("linux"):
        return None
    try:
        import ctypes
        return ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return None


_prctl = _find_prctl()   # looked up here: a freshly forked child should run as little Python as possible
PR_SET_PDEATHSIG = 1


def adopt_orphans():
    """Makes this process the one that inherits the orphans of its descendants (Linux); True when it worked.

    A learner's process that left its process group and lost its parent then
    comes to the runner, which can still end it.
    """
    PR_SET_CHILD_SUBREAPER = 36
    return _prctl is not None and _prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0


def die_with_parent():
    """A `preexec_fn` that asks Linux to stop the process when its parent dies.

    A runner killed with SIGKILL can clean nothing up; this way its Xvfb and
    its learner program still go with it. Elsewhere it does nothing.
    """
    if _prctl is not None:
        _prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


def tell_engine(*names):
    """The engine copies the environment when it is first loaded (importing the kit loads it): pass changes on."""
    core = sys.modules.get("panda3d.core")
    if core is not None:
        for name in names:
            core.ExecutionEnvironment.setEnvironmentVariable(name, os.environ[name])


class VirtualScreen:
    """One Xvfb server; `display` is its name (":N") once started."""

    def __init__(self, width=1280, height=1024):
        self.width, self.height = width, height
        self.process = None
        self.announced = None
        self.display = None

    def start(self):
        return self.launch().ready()

    def launch(self):
        """Starts the server without waiting for it to accept clients (`ready` waits).

        A server that is going away gives up its display number a moment
        before it removes its socket file: a server started in between could
        take that number and then lose its socket file to the other's clean-up.
        So the screens this process asked to end are gone first.
        """
        for screen in list(ENDING):
            screen.stop()
        xvfb = shutil.which("Xvfb")
        if xvfb is None:
            raise RuntimeError("No DISPLAY and no Xvfb: install it with 'apt-get install xvfb'")
        read_end, write_end = os.pipe()
        try:
            self.process = subprocess.Popen(
                [xvfb, "-displayfd", str(write_end), "-screen", "0", f"{self.width}x{self.height}x24",
                 "-nolisten", "tcp"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, start_new_session=True, preexec_fn=die_with_parent)
        except BaseException:
            os.close(read_end)
            raise
        finally:
            os.close(write_end)
        self.announced = os.fdopen(read_end)
        OWN_PROCESSES.add(self.process.pid)
        return self

    def ready(self):
        """Waits until the server accepts clients (it names its display then); returns the screen."""
        for _ in range(STARTS):
            if self.display is not None:
                return self
            with self.announced:
                number = self.announced.readline().strip()
            if not number:
                self.stop()
                raise RuntimeError("Xvfb did not start")
            if has_socket_file(number):
                self.display = ":" + number
            else:   # another process's server, going away, removed it: a sandbox could not reach this one
                self.stop()
                self.launch()
        if self.display is None:
            self.stop()
            raise RuntimeError("Xvfb lost its socket file")
        return self

    def environment(self, base=None):
        """`base` (default: this process's environment) pointing at this screen."""
        environment = dict(os.environ if base is None else base)
        environment["DISPLAY"] = self.display
        environment.setdefault("LIBGL_ALWAYS_SOFTWARE", "1")
        return environment

    def end(self):
        """Asks the server to end, without waiting for it (`stop` waits)."""
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            ENDING.add(self)

    def stop(self):
        ENDING.discard(self)
        if self.announced is not None:
            self.announced.close()
        process, self.process = self.process, None
        if process is None:
            return
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        OWN_PROCESSES.discard(process.pid)

    @property
    def pid(self):
        return None if self.process is None else self.process.pid

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()


def socket_file(number):
    """Display `number`'s socket file: the way into its server from a sandbox (which has a network of its own)."""
    return f"/tmp/.X11-unix/X{number}"


def has_socket_file(number):
    try:
        return stat.S_ISSOCK(os.stat(socket_file(number)).st_mode)
    except OSError:
        return False


def ensure_display(width=1280, height=1024):
    """Make sure ``DISPLAY`` names a screen; start Xvfb if it does not.

    Returns True when a virtual screen was started by this call.
    """
    global _server
    if not needs_virtual_screen():
        return False
    _server = VirtualScreen(width, height).start()
    os.environ["DISPLAY"] = _server.display
    os.environ.setdefault("LIBGL_ALWAYS_SOFTWARE", "1")
    tell_engine("DISPLAY", "LIBGL_ALWAYS_SOFTWARE")
    atexit.register(stop_display)
    return True


def stop_display():
    global _server
    if _server is not None:
        _close_engine_windows()
        _server.stop()
        _server = None


def _close_engine_windows():
    """Closes the application's windows while their screen still exists.

    The engine closes them at exit too, but when its exit hook runs after
    this one the server is already gone, and the engine aborts on the lost
    X connection.
    """
    import builtins
    app = getattr(builtins, "base", None)
    if app is not None:
        app.destroy()
