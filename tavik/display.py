"""A virtual screen for running the kit where there is no display.

Used by the showcase, by ``python -m tavik run`` and by the tests: when
``DISPLAY`` is unset, an Xvfb server is started and ``DISPLAY`` points at it.
Rendering then goes through Mesa's software OpenGL. Windows and macOS draw
through their own window systems, which need neither.
"""
import atexit
import os
import shutil
import subprocess
import sys

_server = None


def ensure_display(width=1280, height=1024):
    """Make sure ``DISPLAY`` names a screen; start Xvfb if it does not.

    Returns True when a virtual screen was started by this call.
    """
    global _server
    if sys.platform in ("win32", "darwin") or os.environ.get("DISPLAY"):
        return False
    xvfb = shutil.which("Xvfb")
    if xvfb is None:
        raise RuntimeError("No DISPLAY and no Xvfb: install it with 'apt-get install xvfb'")
    read_end, write_end = os.pipe()
    _server = subprocess.Popen(
        [xvfb, "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as announced:
        number = announced.readline().strip()
    if not number:
        _server.kill()
        raise RuntimeError("Xvfb did not start")
    os.environ["DISPLAY"] = ":" + number
    os.environ.setdefault("LIBGL_ALWAYS_SOFTWARE", "1")
    atexit.register(stop_display)
    return True


def stop_display():
    global _server
    if _server is not None:
        _server.terminate()
        _server.wait()
        _server = None
