"""The virtual screen is an X11 matter: other systems draw through their own window system."""
import sys

import pytest

from tavik.classroom import display


@pytest.mark.parametrize("platform", ["win32", "darwin"])
def test_no_virtual_screen_is_started_where_there_is_no_x11(monkeypatch, platform):
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.setattr(sys, "platform", platform)
    monkeypatch.setattr(display.shutil, "which", lambda name: pytest.fail(f"looked for {name}"))
    assert display.ensure_display() is False
    assert "DISPLAY" not in display.os.environ


def test_a_display_that_is_set_is_used_as_it_is(monkeypatch):
    monkeypatch.setenv("DISPLAY", ":97")
    monkeypatch.setattr(display.shutil, "which", lambda name: pytest.fail(f"looked for {name}"))
    assert display.ensure_display() is False
    assert display.os.environ["DISPLAY"] == ":97"


needs_xvfb = pytest.mark.skipif(not sys.platform.startswith("linux") or display.shutil.which("Xvfb") is None,
                                reason="starts real X servers")


@needs_xvfb
def test_a_screen_that_loses_its_socket_file_while_starting_is_started_again(monkeypatch):
    # What a server of another process does when it goes away just as this one takes its number.
    lost = []
    has_socket_file = display.has_socket_file

    def socket_removed_once(number):
        if not lost:
            lost.append(number)
            display.os.remove(display.socket_file(number))
        return has_socket_file(number)
    monkeypatch.setattr(display, "has_socket_file", socket_removed_once)
    screen = display.VirtualScreen().launch()
    first = screen.process
    try:
        screen.ready()
        assert lost and first.poll() is not None and screen.process is not first
        number = screen.display.lstrip(":")
        with display_socket() as client:
            client.connect(display.socket_file(number))     # reachable through its file, as from a sandbox
    finally:
        screen.stop()


@needs_xvfb
def test_no_screen_starts_while_one_asked_to_end_is_still_going():
    ending = display.VirtualScreen().start()
    old = ending.process
    ending.end()
    assert ending in display.ENDING
    started = display.VirtualScreen().launch()
    try:
        assert old.returncode is not None and ending not in display.ENDING   # waited for, before the new one
        started.ready()
        assert display.has_socket_file(started.display.lstrip(":"))
    finally:
        started.stop()


def display_socket():
    import socket
    return socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
