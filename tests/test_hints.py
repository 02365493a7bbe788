"""The hint table, row by row: each kind of error gets its own Chinese sentence.

The errors are written as the child process describes them (plain data), so
these tests need no window; tests/test_grade.py shows the same hints coming
out of real programs.
"""
import pytest

from tavik.classroom import hints

MODELS = ["ball", "car", "house", "robot", "rocket", "star", "tower", "tree"]


def error(type_, message, line=4, code="", **extra):
    return {"type": type_, "message": message, "line": line, "code": code, "frames": [], **extra}


ROWS = [
    ("not-utf8", error("SyntaxError", "(unicode error) 'utf-8' codec can't decode byte 0xc4 in position 0: invalid "
                                      "continuation byte", line=1), ["第 1 行", "UTF-8"]),
    ("chinese-punctuation", error("SyntaxError", "invalid character '（' (U+FF08)", code="pen.forward（10)"),
     ["第 4 行", "（", "("]),
    ("bracket-never-closed", error("SyntaxError", "'(' was never closed", line=2, code="app = TAVIK("),
     ["第 2 行", "(", ")"]),
    ("bracket-unmatched", error("SyntaxError", "unmatched ')'", code="x = 1)"), ["第 4 行", ")"]),
    ("missing-colon", error("SyntaxError", "expected ':'", line=3, code="for i in range(3)"), ["第 3 行", "冒号"]),
    ("indentation", error("IndentationError", "expected an indented block after 'for' statement on line 3", line=4),
     ["第 4 行", "缩进", "4 个空格"]),
    ("unterminated-string", error("SyntaxError", "unterminated string literal (detected at line 5)", line=5),
     ["第 5 行", "引号"]),
    ("missing-comma", error("SyntaxError", "invalid syntax. Perhaps you forgot a comma?", line=6), ["第 6 行", "逗号"]),
    ("equals-for-comparison", error("SyntaxError", "invalid syntax. Maybe you meant '==' or ':=' instead of '='?",
                                    line=7), ["第 7 行", "=="]),
    ("syntax", error("SyntaxError", "invalid syntax", line=8), ["第 8 行", "语法错误"]),
    ("update-called", error("TypeError", "'NoneType' object is not callable", line=9, code="app.run()",
                            facts={"update_callable": False, "update_line": 7, "update_value": "0",
                                   "update_code": "app.update = count()"}), ["第 7 行", "去掉最后的括号"]),
    ("update-not-a-function", error("TypeError", "'int' object is not callable", line=9, code="app.run()",
                                    facts={"update_callable": False, "update_line": 3, "update_value": "5",
                                           "update_code": "app.update = 5"}),
     ["第 3 行", "5", "app.update = 函数名"]),
    ("nodes-for-points", error("TypeError", "'AStarNode' object is not subscriptable",
                               code="mover.start(car, grid.getPath(), 0.1)"), ["第 4 行", "AStarNode", "node.r"]),
    ("no-path", error("TypeError", "'NoneType' object is not subscriptable", code="mover.start(car, grid.getPath())"),
     ["第 4 行", "findPath"]),
    ("model-not-found", error("AttributeError", "'NoneType' object has no attribute 'setPos'", line=5,
                              owner="NoneType", name="setPos",
                              facts={"gm_failures": [["cat", 3]], "models": MODELS}),
     ["第 3 行", "gm('cat')", "第 5 行", "、".join(MODELS)]),
    ("outside-grid", error("IndexError", "list index out of range", grid={"size": [5, 3], "cell": [7, 2]}),
     ["第 4 行", "(7, 2)", "AStar(5, 3)", "0 到 4", "0 到 2"]),
    ("string-for-number", error("TypeError", "bad operand type for abs(): 'str'", code='pen.forward("10")'),
     ["第 4 行", '"10" 应该写成 10', "float("]),
    ("string-for-number", error("TypeError", "Arguments must match:\nset_thickness(const LineSegs self, float thick)\n",
                                code='pen.size("3")'), ["第 4 行", '"3" 应该写成 3']),
    ("number-after-text", error("TypeError", 'can only concatenate str (not "int") to str',
                                code='label["text"] = "得分：" + score'), ["第 4 行", "str(得分)", 'f"得分：{得分}"']),
    ("engine-arguments", error("TypeError", "Arguments must match:\nset_thickness(const LineSegs self, float thick)\n",
                               code="pen.size(thickness)"),
     ["第 4 行", "set_thickness(const LineSegs self, float thick)", "float(文字)"]),
    ("misspelt-attribute", error("AttributeError", "'Pen' object has no attribute 'fowrad'", owner="Pen",
                                 name="fowrad", suggestion="forward"), ["第 4 行", "Pen", "fowrad", "forward"]),
    ("misspelt-name", error("NameError", "name 'Pne' is not defined", name="Pne", suggestion="Pen"),
     ["第 4 行", "Pne", "Pen"]),
    ("none-attribute", error("AttributeError", "'NoneType' object has no attribute 'forward'", owner="NoneType",
                             name="forward"), ["第 4 行", "None", "forward"]),
    ("unknown-attribute", error("AttributeError", "'Pen' object has no attribute 'zzz'", owner="Pen", name="zzz"),
     ["第 4 行", "zzz", "拼写"]),
    ("unknown-name", error("NameError", "name 'qqq' is not defined", name="qqq"), ["第 4 行", "qqq", "定义"]),
    ("argument-count", error("TypeError", "forward() missing 1 required positional argument: 'n'"),
     ["第 4 行", "forward", "参数"]),
    ("towards-arguments", error("ValueError", "towards方法需要三个参数或一个坐标元组/列表/LPoint3f对象"),
     ["第 4 行", "pen.towards(1, 2, 3)"]),
    ("colour-length", error("ValueError", "颜色必须是3或4个元素的元组"), ["第 4 行", "bgColor((1, 0.5, 0))"]),
    ("dist-arguments", error("ValueError", "dist函数需要两个3D坐标点（元组、列表或LPoint3f对象）"), ["第 4 行", "dist(("]),
    ("zero-division", error("ZeroDivisionError", "division by zero"), ["第 4 行", "除以了 0"]),
    ("endless-recursion", error("RecursionError", "maximum recursion depth exceeded"), ["第 4 行", "结束条件"]),
    ("waits-for-input", error("EOFError", "EOF when reading a line", code="n = input()"), ["第 4 行", "input()"]),
    ("two-applications", error("Exception", "Attempt to spawn multiple ShowBase instances!"), ["第 4 行", "TAVIK()"]),
    ("turtle-name", error("AttributeError", "'Pen' object has no attribute 'goto'", owner="Pen", name="goto"),
     ["第 4 行", "pen.goto(x, y)", "pen.moveTo(x, y, z)"]),
    ("kit-message", error("ValueError", "lookFrom 的方向只能是 \"front\""), ["第 4 行", "中文写了原因"]),
    ("anything", error("KeyError", "'x'"), ["第 4 行", "KeyError"]),
]


def test_every_row_of_the_table_is_tested():
    assert {name for name, _, _ in ROWS} == {row.name for row in hints.HINTS}


@pytest.mark.parametrize("name, described, words", ROWS, ids=[row[0] for row in ROWS])
def test_each_row_recognises_its_error_and_names_the_line(name, described, words):
    assert hints.matching_row(described) == name
    sentence = hints.hint_for(described)
    for word in words:
        assert word in sentence, (word, sentence)


def test_a_hint_without_a_line_of_the_learners_speaks_of_the_program():
    sentence = hints.hint_for(error("TypeError", "'int' object is not callable", line=None, code="",
                                    facts={"update_callable": False, "update_value": "5"}))
    assert "第" not in sentence.split("app.update")[0] and "5" in sentence


def test_a_string_without_a_quoted_number_still_gets_the_hint():
    sentence = hints.hint_for(error("TypeError", "must be real number, not str", code="pen.forward(steps)"))
    assert "字符串" in sentence and "应该写成" not in sentence


def test_a_not_callable_error_with_a_good_update_hook_is_not_blamed_on_it():
    described = error("TypeError", "'int' object is not callable", code="x()", facts={"update_callable": True})
    assert hints.matching_row(described) == "anything"


RAN = {"window": True, "run_called": True}
WARNING_CASES = [
    ({"window": True, "run_called": False}, [], ["app.run()"]),
    (RAN, ["def tick():", "    pass", "app.update = tick()"], ["第 3 行", "app.update = tick"]),
    (RAN, ["def add():", "    pass", "makeButton(app, 'a', 1, 1, add())"], ["第 3 行", "add()", "按钮"]),
    (RAN, ["app.accept('up', go)"], ["第 1 行", '"arrow_up"']),
    (RAN, ["app = TAVIK()", "while True:", "    pen.forward(1, True)"], ["第 2 行", "app.update = 函数名"]),
    (RAN, ["def tick():", "    app.makeText('s', 'x')", "app.update = tick"], ["第 2 行", "setText"]),
    (dict(RAN, update_still=True), ["def spin():", "    angle = 1", "app.update = spin"], ["第 3 行", "画面一直没有变"]),
    (dict(RAN, unfinished_drawing=True), ["pen = Pen(app)", "animate(pen, speed=0.1)"], ["第 2 行", "--frames"]),
    ({"window": True, "run_called": True, "unbuilt_pens": [6]}, [], ["第 6 行", "pen.update()"]),
    ({"window": True, "run_called": True, "idle_movers": [5]}, ["", "", "", "", "", "app.update = m.update()"],
     ["第 5 行", "PathMoveCtrl", "第 6 行写成了 m.update()"]),
    ({"window": True, "run_called": True, "gm_failures": [["cat", 3]], "models": MODELS}, [],
     ["第 3 行", "gm('cat')", "robot"]),
    ({"window": True, "run_called": True, "drawing_at_end": True}, [], ["还没有画完", "--frames"]),
]


@pytest.mark.parametrize("facts, source, words", WARNING_CASES, ids=[row.name for row in hints.WARNINGS])
def test_each_warning_row_says_what_to_change(facts, source, words):
    sentences = hints.warnings_for(facts, source)
    assert len(sentences) == 1
    for word in words:
        assert word in sentences[0], (word, sentences[0])


def test_an_unfinished_animate_drawing_is_warned_about_once():
    facts = dict(RAN, drawing_at_end=True, unfinished_drawing=True)
    sentences = hints.warnings_for(facts, ["pen = Pen(app)", "animate(pen, speed=0.1)"])
    assert len(sentences) == 1 and "第 2 行 animate" in sentences[0]


def test_a_clean_run_has_no_warnings():
    assert hints.warnings_for({"window": True, "run_called": True, "unbuilt_pens": [], "idle_movers": []}, []) == []


def test_a_program_without_a_window_is_not_told_to_call_run():
    assert hints.warnings_for({"window": False, "run_called": False}, []) == []


def test_the_trimmed_traceback_keeps_only_the_learners_frames():
    described = error("TypeError", "bad operand type for abs(): 'str'", frames=[
        {"file": "/x/tavik/child.py", "line": 400, "name": "main", "code": "exec(code)", "learner": False},
        {"file": "hw.py", "line": 4, "name": "<module>", "code": 'pen.forward("10")', "learner": True},
        {"file": "/x/direct/task/Task.py", "line": 504, "name": "step", "code": "self.mgr.poll()", "learner": False},
    ])
    assert hints.format_error(described).splitlines() == [
        "Traceback (most recent call last):",
        '  File "hw.py", line 4, in <module>',
        '    pen.forward("10")',
        "TypeError: bad operand type for abs(): 'str'",
    ]


def test_a_syntax_error_is_shown_with_its_line_and_a_caret():
    described = {"type": "SyntaxError", "message": "expected ':'", "line": 3, "file": "hw.py",
                 "syntax": {"line": 3, "offset": 18, "end_offset": 19, "text": "for i in range(3)\n"}}
    assert hints.format_error(described).splitlines() == [
        '  File "hw.py", line 3',
        "    for i in range(3)",
        "                     ^",
        "SyntaxError: expected ':'",
    ]


def test_the_timeout_message_names_the_seconds_and_the_line():
    message = hints.timeout_message(5, {"line": 8})
    assert "5 秒" in message and "第 8 行" in message


def test_a_window_left_open_until_the_limit_is_not_called_a_loop():
    message = hints.timeout_message(60, {"line": 9}, window=True)
    assert "60 秒" in message and "--timeout 0" in message and "循环" not in message


@pytest.mark.parametrize("waiting", ["app.accept('space', jump)", "if keyDown('left'): pass", "onClick(jump)"])
def test_a_still_window_is_not_blamed_on_a_program_waiting_for_keys(waiting):
    facts = dict(RAN, update_still=True)
    source = ["def spin():", "    pass", "app.update = spin", waiting]
    assert hints.warnings_for(facts, source) == []
