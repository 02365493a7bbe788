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
