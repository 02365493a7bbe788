"""What a learner sees running a program the plain way (`python prog.py`, IDLE's F5) and under `run`.

Each program is written to a file and run in its own interpreter, as a
learner runs it; the checks read its stderr: one traceback of the learner's
own lines, the Chinese hint, the warnings, and none of the engine's notices.
"""
import os
import pathlib
import subprocess
import sys
import textwrap
import time

import pytest

from tavik import mistakes
from tavik.classroom import hints

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import docsite  # noqa: E402

ENGINE_FRAMES = "app.taskMgr.add(lambda task: __import__('sys').exit(0) if task.frame > 3 else task.cont, 'end')\n"
ENGINE_NOISE = ["ShowBase.py", "Task.py", ":task(error)", "Known pipe types", ":device(error)", "AL lib",
                "ALSA lib", ":audio(error)"]


def program(source, ends=True):
    """A learner's program; `ends`: it stops itself after a few frames (for programs without an error)."""
    text = textwrap.dedent(source)
    if ends:
        text = text.replace("app.run()", ENGINE_FRAMES + "app.run()")
    return text


def environment(**extra):
    settings = {key: value for key, value in os.environ.items()
                if key not in ("TAVIK_PLAIN_ERRORS", "TAVIK_VERBOSE", "TAVIK_NO_WARNINGS")}
    settings.update(PYTHONIOENCODING="utf-8", **extra)
    return settings


def run_plainly(tmp_path, source, name="prog.py", encoding="utf-8", **extra):
    path = tmp_path / name
    path.write_bytes(source.encode(encoding))
    return subprocess.run([sys.executable, str(path)], capture_output=True, text=True, encoding="utf-8",
                          errors="replace", timeout=180, cwd=tmp_path, env=environment(**extra))


def run_under_runner(tmp_path, source, name="prog.py", encoding="utf-8"):
    path = tmp_path / name
    path.write_bytes(source.encode(encoding))
    return subprocess.run([sys.executable, "-m", "tavik", "run", str(path), "--frames", "5", "--timeout", "60"],
                          capture_output=True, text=True, encoding="utf-8", errors="replace", timeout=180,
                          cwd=tmp_path, env=environment())


def hint_lines(stderr):
    return [line for line in stderr.splitlines() if line.startswith("提示：")]


DIVISION_IN_UPDATE = """\
from tavik.tavik import *

app = TAVIK()
count = 0


def update():
    global count
    count = count + 1
    speed = 10 / (count - count)


app.update = update
app.run()
"""


def test_an_error_in_update_is_printed_once_with_its_hint_and_no_engine_lines(tmp_path):
    result = run_plainly(tmp_path, DIVISION_IN_UPDATE)
    assert result.returncode == 1
    assert result.stderr.count("Traceback") == 1, result.stderr
    assert result.stderr.count("ZeroDivisionError: division by zero") == 1
    assert hint_lines(result.stderr) == ["提示：第 10 行除以了 0：检查除数，先判断它是不是 0。"]
    for noise in ENGINE_NOISE:
        assert noise not in result.stderr, noise
    assert 'line 10, in update' in result.stderr and "speed = 10 / (count - count)" in result.stderr


def test_plain_output_is_kept_for_those_who_ask(tmp_path):
    result = run_plainly(tmp_path, DIVISION_IN_UPDATE, TAVIK_PLAIN_ERRORS="1")
    assert "提示：" not in result.stderr
    assert "Task.py" in result.stderr and "ZeroDivisionError" in result.stderr


def test_the_engines_notices_come_back_on_request(tmp_path):
    result = run_plainly(tmp_path, DIVISION_IN_UPDATE, TAVIK_VERBOSE="1")
    assert ":task(error)" in result.stderr


def test_a_hook_set_before_the_kit_is_imported_still_gets_what_the_kit_does_not_explain(tmp_path):
    source = """\
    import sys
    sys.excepthook = lambda kind, value, tb: print("OWN HOOK", kind.__name__, file=sys.stderr)
    from tavik.tavik import *
    x = 1 / 0
    """
    explained = run_plainly(tmp_path, textwrap.dedent(source))
    assert "提示：第 4 行除以了 0" in explained.stderr and "OWN HOOK" not in explained.stderr
    plain = run_plainly(tmp_path, textwrap.dedent(source), TAVIK_PLAIN_ERRORS="1")
    assert "OWN HOOK ZeroDivisionError" in plain.stderr and "提示：" not in plain.stderr


def test_idle_reports_through_the_programs_hook(tmp_path):
    """IDLE's F5 runs the program in its own process and calls the program's sys.excepthook."""
    pytest.importorskip("idlelib.run", reason="this interpreter comes without IDLE (Debian packages it apart)")
    (tmp_path / "prog.py").write_text("from tavik.tavik import *\npen = None\npen.forward(3)\n", encoding="utf-8")
    driver = textwrap.dedent(f"""\
        import sys, types, idlelib.run as run
        executive = run.Executive.__new__(run.Executive)
        console = types.SimpleNamespace(getvar=lambda name: False)
        executive.rpchandler = types.SimpleNamespace(console=console)
        executive.locals = {{"__name__": "__main__", "__file__": {str(tmp_path / "prog.py")!r}}}
        sys.modules["__main__"].__file__ = {str(tmp_path / "prog.py")!r}
        executive.user_exc_info = None
        code = compile(open({str(tmp_path / "prog.py")!r}, encoding="utf-8").read(), {str(tmp_path / "prog.py")!r}, "exec")
        run.Executive.runcode(executive, code)
        """)
    result = subprocess.run([sys.executable, "-c", driver], capture_output=True, text=True, encoding="utf-8",
                            timeout=120, cwd=tmp_path, env=environment())
    assert result.stderr.count("Traceback") == 1, result.stderr
    assert "提示：第 3 行的变量是 None" in result.stderr


ERROR_ROWS = [
    ("two-applications", """\
        from tavik.tavik import *

        app = TAVIK()
        app2 = TAVIK()
        app.run()
        """, "第 4 行又创建了一个 TAVIK()"),
    ("recursion", """\
        from tavik.tavik import *

        app = TAVIK()
        pen = Pen(app)


        def tree(length):
            pen.forward(length, True)
            tree(length * 0.7)


        tree(5)
        app.run()
        """, "第 9 行的函数一直调用自己"),
    ("turtle-goto", """\
        from tavik.tavik import *

        app = TAVIK()
        pen = Pen(app)
        pen.goto(1, 2)
        app.run()
        """, "pen.goto(x, y) 在这里是 pen.moveTo(x, y, z)"),
    ("turtle-penup", """\
        from tavik.tavik import *

        app = TAVIK()
        pen = Pen(app)
        pen.penup()
        app.run()
        """, "pen.penup() 在这里是 pen.forward(n)"),
    ("lookFrom-down", """\
        from tavik.tavik import *
        from tavik.extras import *

        app = TAVIK()
        lookFrom(app, "down")
        app.run()
        """, "第 5 行出错了：上面最后一行用中文写了原因"),
]


@pytest.mark.parametrize("how", ["plain", "run"])
@pytest.mark.parametrize("name, source, expected", ERROR_ROWS, ids=[row[0] for row in ERROR_ROWS])
def test_each_error_of_the_table_gets_its_hint(name, source, expected, how, tmp_path):
    source = textwrap.dedent(source)
    result = (run_plainly if how == "plain" else run_under_runner)(tmp_path, source)
    assert result.returncode == 1
    assert result.stderr.count("Traceback") == 1, result.stderr
    hints_given = hint_lines(result.stderr)
    assert len(hints_given) == 1 and expected in hints_given[0], result.stderr
    assert "英文" not in hints_given[0]
    for noise in ENGINE_NOISE:
        assert noise not in result.stderr, noise


@pytest.mark.parametrize("how", ["plain", "run"])
def test_a_runaway_recursion_is_folded_as_python_folds_it(how, tmp_path):
    result = (run_plainly if how == "plain" else run_under_runner)(tmp_path, textwrap.dedent(ERROR_ROWS[1][1]))
    assert "[Previous line repeated" in result.stderr
    assert len(result.stderr.splitlines()) < 30, result.stderr


def test_a_file_saved_in_gbk_shows_its_line_readably_under_run(tmp_path):
    source = 'from tavik.tavik import *\napp = TAVIK()\nprint("得分：" + 1)\napp.run()\n'
    result = run_under_runner(tmp_path, source, encoding="gbk")
    assert 'print("得分：" + 1)' in result.stderr
    assert "UTF-8" in hint_lines(result.stderr)[0]


def test_a_file_with_a_gbk_declaration_shows_its_line_readably(tmp_path):
    source = '# -*- coding: gbk -*-\nfrom tavik.tavik import *\nprint("得分：" + 1)\n'
    result = run_plainly(tmp_path, source, encoding="gbk")
    assert 'print("得分：" + 1)' in result.stderr and "提示：第 3 行" in result.stderr


WARNING_ROWS = [
    ("update-given-a-call", """\
        from tavik.tavik import *

        app = TAVIK()
        box = app.gm("ball")


        def update():
            box.setH(box.getH() + 1)


        app.update = update()
        app.run()
        """, "第 11 行写成了 app.update = update()"),
    ("callback-given-a-call", """\
        from tavik.tavik import *

        app = TAVIK()
        count = 0
        label = makeLabel(app, "点了 0 次", 10, 50)


        def add():
            global count
            count = count + 1
            label["text"] = f"点了 {count} 次"


        makeButton(app, "加一", 10, 10, add())
        app.run()
        """, "第 14 行把 add() 的结果交给了按钮"),
    ("key-name", """\
        from tavik.tavik import *

        app = TAVIK()
        pen = Pen(app)


        def turn():
            pen.dLeft(10)


        app.accept("left", turn)
        app.run()
        """, '第 11 行的 "left" 不是引擎发出的按键名'),
    ("text-every-frame", """\
        from tavik.tavik import *

        app = TAVIK()
        score = 0
        label = app.makeText("score", "得分：0")


        def update():
            global score, label
            score = score + 1
            label.removeNode()
            label = app.makeText("score", f"得分：{score}")


        app.update = update
        app.run()
        """, "第 12 行在 update 里每一帧都做一个新的文字"),
    ("pen-not-updated", """\
        from tavik.tavik import *

        app = TAVIK()
        pen = Pen(app)
        for i in range(4):
            pen.forward(5, True)
            pen.dLeft(90)
        app.run()
        """, "第 6 行画的线没有显示出来"),
    ("mover-not-updated", """\
        from tavik.tavik import *

        app = TAVIK()
        car = app.gm("car")
        mover = PathMoveCtrl()
        mover.start(car, [(0, 0, 0), (5, 0, 0)], 0.1)
        app.run()
        """, "第 6 行启动了 PathMoveCtrl"),
    ("no-run", """\
        from tavik.tavik import *

        app = TAVIK()
        pen = Pen(app)
        """, "程序没有调用 app.run()"),
]


@pytest.mark.parametrize("how", ["plain", "run"])
@pytest.mark.parametrize("name, source, expected", WARNING_ROWS, ids=[row[0] for row in WARNING_ROWS])
def test_each_silent_mistake_gets_one_warning(name, source, expected, how, tmp_path):
    source = program(source)
    result = (run_plainly if how == "plain" else run_under_runner)(tmp_path, source)
    warnings = [line for line in result.stderr.splitlines() if line.startswith("注意：")]
    assert len(warnings) == 1 and expected in warnings[0], result.stderr
    assert "Traceback" not in result.stderr


ENDLESS_LOOP = """\
import sys
from tavik.tavik import *

app = TAVIK()
pen = Pen(app)
while True:
    pen.forward(0.1, True)
    pen.dLeft(5)
app.run()
"""


def test_an_animating_while_loop_is_pointed_out_in_a_plain_run(tmp_path):
    path = tmp_path / "prog.py"
    path.write_text(ENDLESS_LOOP, encoding="utf-8")
    errors = tmp_path / "stderr.txt"
    with open(errors, "wb") as out:
        process = subprocess.Popen([sys.executable, str(path)], stdout=subprocess.DEVNULL, stderr=out,
                                   cwd=tmp_path, env=environment())
    try:
        deadline = time.monotonic() + 120
        while "注意" not in errors.read_text(encoding="utf-8", errors="replace") and time.monotonic() < deadline:
            time.sleep(0.2)
    finally:
        process.kill()
        process.wait()
    text = errors.read_text(encoding="utf-8")
    assert "第 6 行的 while True 循环停不下来" in text and "app.update = 函数名" in text


def test_an_animating_while_loop_stopped_at_the_time_limit_is_told_where_its_body_goes(tmp_path):
    path = tmp_path / "prog.py"
    path.write_text(ENDLESS_LOOP, encoding="utf-8")
    result = subprocess.run([sys.executable, "-m", "tavik", "run", str(path), "--frames", "5", "--timeout", "3"],
                            capture_output=True, text=True, encoding="utf-8", timeout=180, cwd=tmp_path,
                            env=environment())
    hint = hint_lines(result.stderr)
    assert len(hint) == 1 and "第 6 行的 while True 循环停不下来" in hint[0] and "app.update" in hint[0]
    assert "break" not in hint[0]


@pytest.mark.parametrize("program_id, path, source", docsite.programs(), ids=[row[0] for row in docsite.programs()])
def test_no_correct_program_is_warned_about(program_id, path, source):
    lines = (source if source is not None else path.read_text(encoding="utf-8")).splitlines()
    assert hints.warnings_for(mistakes.plain_run_facts(lines), lines) == []


@pytest.mark.parametrize("source", [
    "app.update = make_mover()\ndef make_mover():\n    return lambda: None\n",
    "app.accept('arrow_left', turn)\napp.accept('a', turn)\napp.accept('space-up', turn)\napp.accept('myEvent', f)\n",
    "app = TAVIK()\nwhile True:\n    n = input()\n    if n == 'q':\n        break\napp.run()\n",
    "app = TAVIK()\nwhile True:\n    app.taskMgr.step()\n",
    "def update():\n    if score > 9:\n        app.makeText('win', '赢了')\napp.update = update\n",
    "makeButton(app, 'go', 1, 1, lambda: go(1))\napp.run()\n",
])
def test_correct_patterns_near_the_mistakes_are_not_warned_about(source):
    lines = source.splitlines()
    assert hints.warnings_for(mistakes.plain_run_facts(lines), lines) == []


@pytest.mark.parametrize("written, engine", [("left", "arrow_left"), ("Space", "space"), ("A", "a"),
                                             ("esc", "escape"), ("up-up", "arrow_up-up"), ("click", "mouse1")])
def test_a_key_written_another_way_gets_the_engines_name(written, engine):
    assert mistakes.engine_key(written) == engine


def test_a_loop_inside_the_update_hook_is_not_called_a_turtle_habit():
    source = ["app = TAVIK()", "def update():", "    while True:", "        pass", "app.update = update", "app.run()"]
    assert mistakes.endless_loops({}, source) == []
    assert "它停在第 3 行" in hints.timeout_message(5, {"line": 3}, source=source)


RUN_ONLY_ROWS = [
    ("update-still", """\
        from tavik.tavik import *

        app = TAVIK()
        angle = 0


        def spin():
            global angle
            angle = angle + 1


        app.update = spin
        app.run()
        """, "第 12 行交给 app.update 的函数每一帧都运行了，可窗口里的画面一直没有变", 30),
    ("drawing-unfinished", """\
        from tavik.tavik import *
        from tavik.extras import *

        app = TAVIK()
        pen = Pen(app)
        animate(pen, speed=0.5)
        for i in range(60):
            pen.forward(1, True)
            pen.dLeft(6)
        pen.update()
        app.run()
        """, "截图的时候，第 6 行 animate 的画还没有画完", 5),
]


@pytest.mark.parametrize("name, source, expected, frames", RUN_ONLY_ROWS, ids=[row[0] for row in RUN_ONLY_ROWS])
def test_what_the_pictures_show_gets_its_warning_under_run(name, source, expected, frames, tmp_path):
    path = tmp_path / "prog.py"
    path.write_text(textwrap.dedent(source), encoding="utf-8")
    result = subprocess.run([sys.executable, "-m", "tavik", "run", str(path), "--frames", str(frames),
                             "--timeout", "60"], capture_output=True, text=True, encoding="utf-8", timeout=180,
                            cwd=tmp_path, env=environment())
    warnings = [line for line in result.stderr.splitlines() if line.startswith("注意：")]
    assert len(warnings) == 1 and expected in warnings[0], result.stderr


def test_a_hook_that_moves_something_is_not_called_still(tmp_path):
    source = RUN_ONLY_ROWS[0][1].replace("angle = angle + 1", "angle = angle + 1\n            car.setH(angle)")
    source = source.replace("angle = 0\n", "angle = 0\n        car = app.gm(\"car\")\n")
    path = tmp_path / "prog.py"
    path.write_text(textwrap.dedent(source), encoding="utf-8")
    result = subprocess.run([sys.executable, "-m", "tavik", "run", str(path), "--frames", "30", "--timeout", "60"],
                            capture_output=True, text=True, encoding="utf-8", timeout=180, cwd=tmp_path,
                            env=environment())
    assert result.returncode == 0 and "注意：" not in result.stderr, result.stderr


def test_a_notebook_cell_shows_the_learners_lines_and_the_hint(tmp_path):
    pytest.importorskip("IPython")
    driver = textwrap.dedent("""\
        from IPython.core.interactiveshell import InteractiveShell
        shell = InteractiveShell.instance()
        shell.run_cell("from tavik.tavik import *")
        shell.run_cell("pen = None\\npen.forward(3)")
        import os
        os.environ["TAVIK_PLAIN_ERRORS"] = "1"
        shell.run_cell("pen.forward(3)")
        """)
    result = subprocess.run([sys.executable, "-c", driver], capture_output=True, text=True, encoding="utf-8",
                            timeout=120, cwd=tmp_path, env=environment())
    shown = result.stdout + result.stderr
    assert "提示：第 2 行的变量是 None" in shown, shown
    assert shown.count("提示：") == 1      # the second one is IPython's own
    assert shown.rstrip().endswith("'NoneType' object has no attribute 'forward'")


def test_a_loop_that_animates_nothing_keeps_the_message_that_names_where_it_stopped():
    source = ["from tavik.tavik import *", "app = TAVIK()", "while True:", "    pass"]
    assert mistakes.endless_loops({}, source) == []
    assert "它停在第 3 行" in hints.timeout_message(1, {"line": 3}, source=source)
