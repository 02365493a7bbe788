"""One X server serves program after program: between two, it resets, or it is not used again."""
import struct
import sys

import pytest

from tavik.classroom import display, screenpool
from tavik.classroom.screenpool import MARKER, ScreenPool, XSession

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux") or display.shutil.which("Xvfb") is None,
                                reason="starts real X servers")
SET_CLOSE_DOWN_MODE = 112
CLOSE_DOWN_MODES = {"destroy": 0, "retain-permanent": 1, "retain-temporary": 2}


def leave_behind(screen, mode):
    """What a program does: makes an atom, may keep its resources past its end, and goes."""
    program = XSession(screen.display, 5)
    program.socket.sendall(struct.pack("<BBH", SET_CLOSE_DOWN_MODE, CLOSE_DOWN_MODES[mode], 1))
    program.atom(b"LEFT_BY_THE_PROGRAM", create=True)      # answered: the mode is set too
    program.close()


def atom_exists(screen, name):
    looking = XSession(screen.display, 5)
    try:
        return looking.atom(name, create=False) != 0
    finally:
        looking.close()


@pytest.mark.parametrize("mode", list(CLOSE_DOWN_MODES))
def test_a_screen_given_back_is_reset_and_serves_the_next_program(mode):
    pool = ScreenPool(2)
    try:
        screen = pool.take().ready()
        server = screen.process
        leave_behind(screen, mode)
        screen.end()
        screen.stop()
        assert pool.idle == [screen] and screen.process is server
        again = pool.take().ready()
        assert again is screen and not atom_exists(again, b"LEFT_BY_THE_PROGRAM")
        assert atom_exists(again, MARKER)       # the pool's mark on the new session
    finally:
        pool.close()
    assert server.poll() is not None and not pool.screens


def test_a_server_that_did_not_reset_is_stopped_not_handed_out(monkeypatch):
    pool = ScreenPool(2)
    try:
        screen = pool.take().ready()
        server = screen.process
        program = XSession(screen.display, 5)   # a client still there when the pool looks: no reset can come
        monkeypatch.setattr(screenpool.PooledScreen, "clients_at_most", lambda self, count, deadline: True)
        screen.stop()
        assert server.poll() is not None and not pool.idle and not pool.screens
        program.close()
        fresh = pool.take().ready()
        assert fresh is not screen and fresh.process.poll() is None
    finally:
        pool.close()


def test_a_client_that_outlives_its_program_costs_the_server_not_the_grader(monkeypatch):
    monkeypatch.setattr(screenpool, "RENEW_WITHIN", 0.3)
    pool = ScreenPool(2)
    try:
        screen = pool.take().ready()
        server = screen.process
        stray = XSession(screen.display, 5)
        screen.stop()
        assert server.poll() is not None and not pool.screens
        stray.close()
    finally:
        pool.close()


def test_a_server_the_pool_cannot_mark_is_replaced_by_one_for_this_program_only(monkeypatch):
    pool = ScreenPool(2)
    real = screenpool.XSession
    calls = []

    def too_slow_once(display, timeout):
        calls.append(display)
        if len(calls) == 1:
            raise TimeoutError("timed out")
        return real(display, timeout)
    monkeypatch.setattr(screenpool, "XSession", too_slow_once)
    try:
        screen = pool.take()
        first = screen.process
        screen.ready()
        assert first.poll() is not None and screen.process.poll() is None and not screen.marked
        program = real(screen.display, 5)       # the new server takes the program
        program.close()
        screen.stop()
        assert screen.process is None and not pool.screens     # used once, not shared
    finally:
        pool.close()
