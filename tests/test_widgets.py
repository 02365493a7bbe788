"""makeLabel, makeButton, makeEntry: one DirectGui widget each, in the kit's look."""
import inspect
import re
import traceback

import pytest
from direct.gui.DirectGui import DirectButton, DirectEntry, DirectLabel
from panda3d.core import Filename, MouseButton, TextNode

import tavik.tavik as tk
from tavik.tavik import makeButton, makeEntry, makeLabel
from helpers import UNENCODABLE, growth_per_call, point_at, swallow
from reference import widgets as plain

LOOK = [("scale", 16), ("frameColor", (0, 0, 0, 1)), ("borderWidth", (0.05, 0.05)), ("text_fg", (1, 1, 1, 1)),
        ("text_align", TextNode.ALeft)]


@pytest.fixture
def widgets():
    made = []
    yield made
    for widget in made:
        widget.destroy()


class Recorder:
    """Stands in for a widget class: records each call's keywords in order."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))
        return "widget"


class FakeApp:
    def __init__(self):
        self.pixel2d = object()
        self.cnFont = object()


@pytest.mark.parametrize("builder, class_name, extra, first, last", [
    (makeLabel, "DirectLabel", (), "text", []),
    (makeButton, "DirectButton", (print,), "text", [("command", print)]),
    (makeEntry, "DirectEntry", (), "initialText", [("numLines", 1)]),
    (makeEntry, "DirectEntry", (3,), "initialText", [("numLines", 3)]),
])
def test_one_call_of_the_module_level_class_with_keywords_in_order(monkeypatch, builder, class_name, extra, first,
                                                                  last):
    recorder, tv = Recorder(), FakeApp()
    monkeypatch.setattr(tk, class_name, recorder)
    assert builder(tv, "文字", 10, 20, *extra) == "widget"
    assert recorder.calls == [((), [(first, "文字"), ("parent", tv.pixel2d), ("pos", (10, 0, -20))] + LOOK +
                               [("text_font", tv.cnFont)] + last)]
    pos = recorder.calls[0][1][2][1]
    assert type(pos[1]) is int and type(recorder.calls[0][1][3][1]) is int


class WatchedApp(FakeApp):
    """An application whose attribute reads are written down."""

    def __init__(self, log):
        super().__init__()
        object.__setattr__(self, "log", log)

    def __getattribute__(self, name):
        if name != "log":
            object.__getattribute__(self, "log").append(name)
        return object.__getattribute__(self, name)


@pytest.mark.parametrize("name, arguments", [
    ("makeLabel", ("文字", 10, 20)), ("makeLabel", (("a", "b"), -5, 2.5)), ("makeButton", ("按", 5, -3, print)),
    ("makeEntry", ("", 0, 0)), ("makeEntry", ("x", 1, 2, 3)), ("makeLabel", ("t", 0, "y")),
    ("makeButton", (Filename("ab"), 0, 0, None)), ("makeLabel", (Filename("a"), 0, 0)),
    ("makeEntry", (Filename(""), 0, 0)),
], ids=repr)
def test_widgets_are_asked_for_as_the_plain_rendition_asks_for_them(monkeypatch, name, arguments):
    class_name = {"makeLabel": "DirectLabel", "makeButton": "DirectButton", "makeEntry": "DirectEntry"}[name]
    log, outcomes = [], []
    tv = WatchedApp(log)
    for module in (tk, plain):
        recorder = Recorder()
        monkeypatch.setattr(module, class_name, recorder)
        try:
            result = getattr(module, name)(tv, *arguments)
        except Exception as error:
            result = (type(error), str(error))
        outcomes.append((result, recorder.calls, log[:]))
        del log[:]
    assert outcomes[0][2] and outcomes[0] == outcomes[1]


def test_a_real_widget_is_built_as_the_plain_rendition_builds_it(app, widgets):
    for builder in (makeButton, plain.makeButton):
        widgets.append(builder(app, ("上", "按", "悬", "灰"), 30, 40, print))
    kit, rendition = widgets
    assert kit.getParent() == rendition.getParent() == app.pixel2d
    assert kit.getMat() == rendition.getMat()
    for state in range(4):
        texts = [widget.component(f"text{state}") for widget in widgets]
        assert len({(text.getText(), text.textNode.getAlign(), text.textNode.getFont(),
                     tuple(text.textNode.getTextColor())) for text in texts}) == 1, state
    for option in ("frameColor", "borderWidth", "command"):
        assert kit[option] == rendition[option], option


def test_text_node_is_looked_up_when_building(monkeypatch):
    class Aligns:
        ALeft = "left edge"

    recorder = Recorder()
    monkeypatch.setattr(tk, "DirectLabel", recorder)
    monkeypatch.setattr(tk, "TextNode", Aligns)
    makeLabel(FakeApp(), "t", 0, 0)
    assert ("text_align", "left edge") in recorder.calls[0][1]


@pytest.mark.parametrize("x, y, pos", [(10, 20, (10, 0, -20)), (0, 0, (0, 0, 0)), (5.5, -30, (5.5, 0, 30))])
def test_real_label_sits_at_pixels_from_top_left(app, widgets, x, y, pos):
    label = makeLabel(app, "标签", x, y)
    widgets.append(label)
    assert type(label) is DirectLabel
    assert label.getParent() == app.pixel2d
    assert tuple(label.getPos()) == pytest.approx(pos)
    assert tuple(label.getScale()) == pytest.approx((16, 16, 16))
    assert tuple(label["frameColor"]) == (0, 0, 0, 1)
    text = label.component("text0").textNode
    assert tuple(text.getTextColor()) == (1, 1, 1, 1)
    assert text.getText() == "标签" and label["text"] == "标签"
    assert text.getAlign() == TextNode.ALeft
    if app.cnFont is not None:  # the font file is optional in a development tree
        assert text.getFont() == app.cnFont


def test_real_entry_defaults_to_one_line_and_takes_more(app, widgets):
    one = makeEntry(app, "", 0, 0)
    three = makeEntry(tv=app, txt="起", x=0, y=0, lines=3)
    widgets.extend([one, three])
    assert type(one) is DirectEntry and one["numLines"] == 1 and one.get() == ""
    assert three["numLines"] == 3 and three.get() == "起"
    assert tuple(one.getPos()) == (0, 0, 0)


def test_each_call_makes_a_new_widget(app, widgets):
    first, second = makeButton(app, "b", 1, 2, print), makeButton(app, "b", 1, 2, print)
    widgets.extend([first, second])
    assert type(first) is DirectButton and first is not second
    assert first.getPos() == second.getPos()


@pytest.mark.parametrize("builder, extra", [(makeLabel, ()), (makeButton, (print,)), (makeEntry, ())])
def test_bad_application_or_position_raises_and_builds_nothing(monkeypatch, builder, extra):
    recorder = Recorder()
    for name in ("DirectLabel", "DirectButton", "DirectEntry"):
        monkeypatch.setattr(tk, name, recorder)

    class NoFont:
        pixel2d = None

    with pytest.raises(AttributeError):
        builder(object(), "t", 0, 0, *extra)
    with pytest.raises(AttributeError):
        builder(NoFont(), "t", 0, 0, *extra)
    for y in ("down", None, [1], object()):
        with pytest.raises(TypeError):
            builder(FakeApp(), "t", 0, y, *extra)
    assert recorder.calls == []


@pytest.mark.parametrize("builder, count", [(makeLabel, 4), (makeButton, 5), (makeEntry, 5)])
def test_signatures_and_argument_counts(builder, count):
    assert builder.__doc__ is None
    parameters = list(inspect.signature(builder).parameters)
    assert len(parameters) == count
    with pytest.raises(TypeError):
        builder(*range(count + 1))
    with pytest.raises(TypeError):
        builder(*range(3))


def test_widget_class_errors_propagate(app, widgets):
    with pytest.raises(TypeError):
        makeLabel(app, "t", object(), 0)  # the engine refuses the position


# ---- through the real pointer and keyboard --------------------------------

def press(app, step, x, y):
    device = point_at(app, x, y)
    device.buttonDown(MouseButton.one())
    try:
        step(1)
    finally:
        device.buttonUp(MouseButton.one())
        step(2)
        app.camera_controller.mouse_down = False


def test_click_on_button_runs_its_command(app, step, widgets):
    calls = []
    widgets.append(makeButton(app, "确定", 100, 200, lambda: calls.append("clicked")))
    press(app, step, 108, 196)
    assert calls == ["clicked"]
    press(app, step, 600, 600)
    assert calls == ["clicked"]


def test_button_command_exception_reaches_the_caller_of_step(app, step, widgets):
    def failing():
        raise LookupError("button broke")

    widgets.append(makeButton(app, "坏", 100, 300, failing))
    with pytest.raises(LookupError, match="button broke") as info:
        press(app, step, 108, 296)
    assert "failing" in "".join(traceback.format_tb(info.value.__traceback__))
    step(2)


def test_text_typed_into_a_focused_entry_arrives(app, step, widgets):
    entry = makeEntry(app, "", 300, 400)
    widgets.append(entry)
    press(app, step, 310, 396)
    device = app.win.getInputDevice(0)
    for character in "hi 你好":
        device.keystroke(ord(character))
    step(2)
    assert entry.get() == "hi 你好"


# ---- texts DirectGui reads state by state -------------------------------------------------
#
# DirectGui takes a text that is not a string as one text per state (a
# label has one, a button four), read by index.  The engine's Filename does
# not check an index, so a Filename shorter than that would end the process.

FILENAME_MESSAGE = "文字要用字符串：请用 str(...) 把 Filename 变成字符串"


@pytest.mark.parametrize("builder, extra, text", [
    (makeLabel, (), ""), (makeButton, (None,), ""), (makeButton, (None,), "x"), (makeButton, (None,), "abc"),
], ids=["label, empty", "button, empty", "button, one letter", "button, three letters"])
def test_a_filename_too_short_for_the_states_raises_and_builds_nothing(app, builder, extra, text):
    before = app.pixel2d.getNumChildren()
    with pytest.raises(TypeError, match=re.escape(FILENAME_MESSAGE)):
        builder(app, Filename(text), 0, 0, *extra)
    assert app.pixel2d.getNumChildren() == before


@pytest.mark.parametrize("text, shown", [
    (("上", "按", "悬", "灰"), ["上", "按", "悬", "灰"]),
    (["一", "二"], ["一", "二", "二", "二"]),
    (("单",), ["单"] * 4),
    ("字", ["字"] * 4),
], ids=["four", "list of two", "one", "string"])
def test_a_button_takes_one_text_per_state(app, widgets, text, shown):
    button = makeButton(app, text, 0, 0, None)
    widgets.append(button)
    assert button["text"] == text
    assert [button.component(f"text{state}").getText() for state in range(4)] == shown


@pytest.mark.parametrize("builder, extra, text", [(makeLabel, (), "a"), (makeButton, (None,), "abcd")])
def test_a_filename_long_enough_goes_to_directgui_as_given(app, monkeypatch, builder, extra, text):
    widget_class = Recorder()
    monkeypatch.setattr(tk, "DirectLabel" if builder is makeLabel else "DirectButton", widget_class)
    given = Filename(text)
    assert builder(app, given, 0, 0, *extra) == "widget"
    assert widget_class.calls[0][1][0] == ("text", given) and widget_class.calls[0][1][0][1] is given


def test_refusing_a_short_filename_holds_no_memory(app):
    refused = swallow(lambda: makeButton(app, Filename("x"), 0, 0, None), TypeError)
    assert growth_per_call(refused, calls=500) < 8.0


# ---- a text without a UTF-8 form ----------------------------------------------------------------

@pytest.mark.parametrize("builder, extra", [(makeLabel, ()), (makeButton, (None,)), (makeEntry, ())],
                         ids=["label", "button", "entry"])
def test_a_widget_shows_a_text_without_a_utf8_form(app, builder, extra):
    """DirectGui takes widget texts as wide strings, so the engine never
    needs their UTF-8 form: the widget is built, as it is for any text."""
    widget = builder(app, UNENCODABLE, 0, 0, *extra)
    try:
        assert not widget.isEmpty()
    finally:
        widget.destroy()
