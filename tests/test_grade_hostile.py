"""A hostile class: careless and malicious programs, each graded beside three ordinary ones.

For every hostile program, with bubblewrap and with the fallback (no
sandbox), the grading must end, the three ordinary programs must be `ok`
with their own output and their own screenshot, the class folder must be
unchanged, no process the grader started may survive it, the hostile
program's status and hint must be right, and the grader's own memory must
stay small. Programs that attack the grader or its other programs by
process id or path are graded only where the isolation in force can stop
them (a program running as the grader's own user, with no sandbox, can
signal the grader: the README says so); which isolation ran is in each
test's id and in the report. Every program runs under the grader's limits:
the memory bomb under a 512 MB limit, never without one.
"""
import hashlib
import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

import pytest
from PIL import Image

from helpers import SANDBOXES, Watch, assert_gone, run_watched, sandbox_environment, without_display
from tavik.classroom import sandbox

HERE = pathlib.Path(__file__).parent
START = "from tavik.tavik import *\napp = TAVIK()\n"
COLOURS = {"ordinary_a": (255, 0, 0), "ordinary_b": (0, 255, 0), "ordinary_c": (0, 0, 255)}
ORDINARY = ("from tavik.tavik import *\napp = TAVIK(showAxis=False)\napp.bgColor(({r}, {g}, {b}))\n"
            "print('I am {name}')\napp.run()\n")
GRADER_MEMORY_KB = 400_000      # the grader's own peak: it keeps only capped output and pictures
FLOOD_MB = 200

HOSTILE = {
    # name: (source, expected status, words of the hint, isolation it needs)
    "deletes": ("import os\nfor name in os.listdir('.'):\n    os.remove(name)\n" + START + "app.run()\n",
                "ok", [], None),
    "saves": (START + "from tavik.extras import saveImage\napp.bgColor((1, 1, 0))\nsaveImage(app, '画.png')\n"
              "app.run()\n", "ok", [], None),
    "floods": ("import sys\nline = 'x' * 1023 + '\\n'\nfor i in range(%d * 1024):\n    sys.stdout.write(line)\n"
               % FLOOD_MB + START + "app.run()\n", "ok", [], None),
    "memory": (START + "blocks = []\nwhile True:\n    blocks.append(bytearray(64 * 2**20))\n",
               "limit", ["第 5 行", "内存超过了 512 MB"], None),
    "forks": ("import os, time\nif os.fork() == 0:\n    time.sleep(600)\n    os._exit(0)\n" + START + "app.run()\n",
              "ok", [], None),
    "escapes": ("import os, time\nif os.fork() == 0:\n    os.setsid()\n    if os.fork() == 0:\n        time.sleep(600)\n"
                "    os._exit(0)\n" + START + "app.run()\n", "ok", [], None),
    "forges": ("import json, os\nfor argument in open('/proc/self/cmdline', 'rb').read().split(b'\\0'):\n"
               "    if argument.endswith(b'.json'):\n"
               "        open(argument, 'w').write(json.dumps({'status': 'ok', 'fps': 999}))\n"
               "open('result.json', 'w').write(json.dumps({'status': 'ok', 'fps': 999}))\nos._exit(0)\n",
               "error", ["程序意外退出了"], None),
    "kills_grader": ("import os, signal\ntry:\n    os.kill(os.getppid(), signal.SIGKILL)\nexcept OSError as error:\n"
                     "    print('refused', error)\n" + START + "app.run()\n", "ok", [], "protected"),
    "stops_grader": ("import os, signal\ntry:\n    os.kill(os.getppid(), signal.SIGSTOP)\nexcept OSError as error:\n"
                     "    print('refused', error)\n" + START + "app.run()\n", "ok", [], "protected"),
    "kills_others": ("import os, signal\nfor entry in os.listdir('/proc'):\n"
                     "    try:\n        line = open(f'/proc/{entry}/cmdline', 'rb').read()\n    except OSError:\n"
                     "        continue\n    if b'ordinary_' in line and b'tavik.classroom.child' in line:\n"
                     "        os.kill(int(entry), signal.SIGKILL)\n" + START + "app.run()\n", "ok", [], "sandbox"),
    "overwrites": ("import glob, os\nfrom PIL import Image\nfor path in glob.glob({out!r} + '/images/*.png'):\n"
                   "    Image.new('RGB', (1000, 750), (255, 0, 255)).save(path)\n"
                   "try:\n    open({out!r} + '/report.json', 'w').write('[]')\nexcept OSError as error:\n"
                   "    print('refused', error)\n" + START + "app.run()\n", "ok", [], "sandbox"),
    "link": (None, "skipped", ["符号链接"], None),
    "huge": (("# " + "很长的注释" * 20 + "\n") * 17_000 + START + "app.run()\n", "skipped", ["超过了 1 MB"], None),
}


def isolation_allows(needs, mode):
    if needs is None or mode == "bubblewrap":
        return True
    return needs == "protected" and sandbox.private_user_possible()


def class_hashes(folder):
    found = {}
    for path in sorted(folder.rglob("*")):
        if path.is_symlink():
            found[str(path)] = "link:" + os.readlink(path)
        elif path.is_file():
            found[str(path)] = hashlib.sha256(path.read_bytes()).hexdigest()
    return found


def make_class(folder, hostile, out):
    folder.mkdir()
    for name, (red, green, blue) in COLOURS.items():
        (folder / f"{name}.py").write_text(ORDINARY.format(r=red / 255, g=green / 255, b=blue / 255, name=name),
                                           encoding="utf-8")
    source = HOSTILE[hostile][0]
    if source is None:
        os.symlink("/etc/passwd", folder / f"{hostile}.py")
    else:
        (folder / f"{hostile}.py").write_text(source.replace("{out!r}", repr(str(out))), encoding="utf-8")
    if hostile == "saves":      # a second learner saving under the same name, in another colour
        (folder / "saves_too.py").write_text(source.replace("(1, 1, 0)", "(0, 1, 1)"), encoding="utf-8")


def picture_colour(path):
    with Image.open(path) as image:
        return image.convert("RGB").getpixel((500, 600))


@pytest.mark.parametrize("mode", list(SANDBOXES))
@pytest.mark.parametrize("hostile", list(HOSTILE))
def test_a_hostile_program_harms_neither_the_class_nor_the_grader(hostile, mode, tmp_path):
    source, status, hint_words, needs = HOSTILE[hostile]
    if not isolation_allows(needs, mode):
        pytest.skip(f"without a sandbox and a user of its own, nothing keeps {hostile} from the grader")
    folder, out = tmp_path / "class", tmp_path / "out"
    make_class(folder, hostile, out)
    before = class_hashes(folder)
    result, seen = run_watched(["grade", str(folder), "--out", str(out), "--frames", "10", "--timeout", "30",
                                "--jobs", "2", "--memory", "512MB"], cwd=tmp_path, timeout=400,
                               environment=sandbox_environment(mode))
    assert result.returncode == 0, result.stderr[-3000:]
    assert class_hashes(folder) == before
    assert_gone(seen)
    assert result.peak_kb < GRADER_MEMORY_KB, result.peak_kb
    with open(out / "report.json", encoding="utf-8") as report:
        results = {entry["file"]: entry for entry in json.load(report)}
    for name, colour in COLOURS.items():
        ordinary = results[name + ".py"]
        assert ordinary["status"] == "ok", ordinary
        assert ordinary["stdout"].splitlines()[-1] == f"I am {name}"     # after the kit's greeting
        assert picture_colour(out / ordinary["screenshot"]) == pytest.approx(colour, abs=3)
    bad = results[hostile + ".py"]
    assert bad["status"] == status, bad
    for word in hint_words:
        assert word in bad["hint"], bad["hint"]
    expected_isolation = "bubblewrap" if mode == "bubblewrap" else "没有沙盒"
    assert all(expected_isolation in entry["isolation"] for entry in results.values() if entry["status"] != "skipped")
    check_the_details(hostile, bad, results, out)


def check_the_details(hostile, bad, results, out):
    if hostile == "saves":
        mine, theirs = out / bad["files"][0], out / results["saves_too.py"]["files"][0]
        assert bad["files"] == ["files/saves/画.png"] and mine.name == theirs.name == "画.png"
        assert picture_colour(mine) == pytest.approx((255, 255, 0), abs=3)
        assert picture_colour(theirs) == pytest.approx((0, 255, 255), abs=3)
    elif hostile == "floods":
        assert len(bad["stdout"].encode()) < 600_000
        assert bad["stdout"].startswith("x" * 1023) and "中间省略了" in bad["stdout"]
        assert any("只保留了开头和结尾" in warning for warning in bad["warnings"])
    elif hostile == "memory":
        assert bad["limit"] == "memory" and "MemoryError" in bad["traceback"]
    elif hostile == "forges":
        assert bad["fps"] is None and bad["screenshot"] is None
    elif hostile == "link":
        assert "root:" not in json.dumps(bad) and bad["stdout"] == ""
    elif hostile == "overwrites":
        assert "refused" in bad["stdout"]


def test_programs_in_a_students_sub_folder_run_from_a_copy_of_it(tmp_path):
    folder, out = tmp_path / "class", tmp_path / "out"
    (folder / "小明").mkdir(parents=True)
    (folder / "小明" / "shapes.py").write_text("SIDE = 4\n", encoding="utf-8")
    (folder / "小明" / "main.py").write_text(
        "import shapes\nopen('notes.txt', 'w').write(str(shapes.SIDE))\nprint('side', shapes.SIDE)\n" + START
        + "app.run()\n", encoding="utf-8")
    result, seen = run_watched(["grade", str(folder), "--out", str(out), "--frames", "3"], cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    with open(out / "report.json", encoding="utf-8") as report:
        [entry] = json.load(report)
    assert entry["file"] == "小明/main.py" and entry["status"] == "ok", entry
    assert entry["stdout"].startswith("side 4\n") and entry["files"] == ["files/小明_main/notes.txt"]
    assert (out / entry["files"][0]).read_text() == "4"
    assert not (folder / "小明" / "notes.txt").exists()
    assert_gone(seen)


def test_links_and_special_files_are_listed_as_skipped_and_never_opened(tmp_path):
    folder, out = tmp_path / "class", tmp_path / "out"
    folder.mkdir()
    (folder / "good.py").write_text(START + "app.run()\n", encoding="utf-8")
    os.mkfifo(folder / "pipe.py")       # opening it to read would wait for ever
    os.symlink("/etc", folder / "elsewhere")
    result, seen = run_watched(["grade", str(folder), "--out", str(out), "--frames", "2"], cwd=tmp_path, timeout=120)
    assert result.returncode == 0, result.stderr
    results = {entry["file"]: entry for entry in json.loads((out / "report.json").read_text(encoding="utf-8"))}
    assert results["good.py"]["status"] == "ok"
    assert results["pipe.py"]["status"] == "skipped" and "不是普通的文件" in results["pipe.py"]["hint"]
    assert results["elsewhere"]["status"] == "skipped" and "符号链接" in results["elsewhere"]["hint"]
    assert "1 个跳过" not in result.stderr and "2 个跳过" in result.stderr
    assert_gone(seen)


# ---- limits a program reaches ------------------------------------------------------------------------

LIMITED = {
    # name: (source, options, status, words of the hint, needs)
    "cpu": ("while True:\n    pass\n", ["--cpu", "2", "--timeout", "0"], "limit", ["CPU 时间超过了 2 秒"], None),
    "file_size": ("open('big.bin', 'wb').write(b'x' * (3 << 20))\n", ["--file-size", "1MB"], "limit",
                  ["文件超过了 1 MB", "第 1 行"], None),
    "threads": ("import threading, time\nfor i in range(200):\n    threading.Thread(target=time.sleep, args=(5,)).start()\n",
                ["--processes", "32"], "limit", ["超过了 32 个"], "own user"),
}


@pytest.mark.parametrize("mode", list(SANDBOXES))
@pytest.mark.parametrize("limit", list(LIMITED))
def test_a_program_stopped_by_a_limit_is_told_which(limit, mode, tmp_path):
    source, options, status, words, needs = LIMITED[limit]
    if needs and not (mode == "bubblewrap" and sandbox.is_root() or mode == "fallback"
                      and sandbox.private_user_possible()):
        pytest.skip("processes are counted per user: only a program with a user of its own can be held to a number")
    script = tmp_path / f"{limit}.py"
    script.write_text(source, encoding="utf-8")
    result, seen = run_watched(["run", str(script), "--frames", "2", *options], cwd=tmp_path, timeout=120,
                               environment=sandbox_environment(mode))
    assert result.returncode == 1, result.stderr
    for word in words:
        assert word in result.stderr, result.stderr
    assert_gone(seen)


def test_run_echoes_no_more_output_than_its_cap(tmp_path):
    script = tmp_path / "chatty.py"
    script.write_text("for i in range(100_000):\n    print('line', i, 'x' * 40)\n", encoding="utf-8")
    result, seen = run_watched(["run", str(script), "--frames", "2", "--max-output", "64KB"], cwd=tmp_path)
    assert result.returncode == 0, result.stderr[-2000:]
    printed = result.stdout.encode()
    assert len(printed) <= 64 * 1024 + 200 and "中间省略了" in result.stdout
    assert result.stdout.startswith("line 0 ") and "line 99999 " in result.stdout    # the beginning and the end
    assert "只保留了开头和结尾" in result.stderr
    assert_gone(seen)


# ---- a grader stopped half-way, and run again -----------------------------------------------------

def graded_names(out):
    try:
        with open(out / "report.json", encoding="utf-8") as report:
            return {entry["file"]: entry for entry in json.load(report)}
    except (OSError, ValueError):
        return {}


def test_a_killed_grader_keeps_what_it_finished_and_a_second_run_does_the_rest(tmp_path):
    folder, out = tmp_path / "class", tmp_path / "out"
    folder.mkdir()
    for index in range(2):
        (folder / f"quick{index}.py").write_text(START + f"print('quick {index}')\napp.run()\n", encoding="utf-8")
    for index in range(2):
        (folder / f"slow{index}.py").write_text("import time\ntime.sleep(600)\n", encoding="utf-8")
    command = [sys.executable, "-m", "tavik", "grade", str(folder), "--out", str(out), "--frames", "3", "--jobs", "1",
               "--timeout", "300"]
    grader = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=tmp_path,
                              env=without_display())
    watch = Watch(grader.pid)
    try:
        deadline = time.monotonic() + 200
        while len(graded_names(out)) < 2 and time.monotonic() < deadline:     # both quick ones, then a slow one runs
            time.sleep(0.2)
        while not watch.named("python", "bwrap") and time.monotonic() < deadline:
            time.sleep(0.2)
        grader.send_signal(signal.SIGKILL)
        grader.wait(30)
    finally:
        grader.kill()
        seen = watch.stop()
    assert_gone(seen)
    kept = graded_names(out)
    assert sorted(kept) == ["quick0.py", "quick1.py"] and all(entry["status"] == "ok" for entry in kept.values())
    assert (out / "index.html").exists()

    for index in range(2):      # the slow ones are fixed; a second run grades only them
        (folder / f"slow{index}.py").write_text(START + f"print('fixed {index}')\napp.run()\n", encoding="utf-8")
    again, seen = run_watched(command[3:], cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    ran = sorted(line.split()[1].rstrip(":") for line in again.stderr.splitlines() if line.startswith("["))
    assert ran == ["slow0.py", "slow1.py"]
    assert not list(pathlib.Path(tempfile.gettempdir()).glob(f"tavik-run-{grader.pid}-*"))   # the killed one's, cleared
    final = graded_names(out)
    assert sorted(final) == ["quick0.py", "quick1.py", "slow0.py", "slow1.py"]
    assert final["slow1.py"]["stdout"].endswith("fixed 1\n") and final["quick0.py"] == kept["quick0.py"]

    (folder / "quick1.py").write_text(START + "print('changed')\napp.run()\n", encoding="utf-8")
    changed, _ = run_watched(command[3:], cwd=tmp_path)
    assert [line.split()[1] for line in changed.stderr.splitlines() if line.startswith("[")] == ["quick1.py:"]
    assert graded_names(out)["quick1.py"]["stdout"].endswith("changed\n")
    everything, _ = run_watched(command[3:] + ["--again"], cwd=tmp_path)
    assert len([line for line in everything.stderr.splitlines() if line.startswith("[")]) == 4


# ---- bad input from the teacher -------------------------------------------------------------------

def bad_inputs(tmp_path):
    """case -> (arguments, words of the one line); the folders and files they name lie in `tmp_path`."""
    folder, a_file, report = tmp_path / "class", tmp_path / "a_file", str(tmp_path / "r")
    grade = ["grade", str(folder), "--out"]
    return {
        "out is a file": (grade + [str(a_file)], "是一个文件"),
        "out cannot be made": (grade + [str(a_file / "report")], "不能在"),
        "timeout nan": (grade + [report, "--timeout", "nan"], "有限的秒数"),
        "timeout inf": (grade + [report, "--timeout", "inf"], "有限的秒数"),
        "timeout too short": (grade + [report, "--timeout", "0.05"], "至少要 1 秒"),
        "timeout negative": (grade + [report, "--timeout", "-3"], "至少要 1 秒"),
        "timeout not a number": (["run", str(folder / "a.py"), "--timeout", "soon"], "要写秒数"),
        "memory too small": (grade + [report, "--memory", "1KB"], "至少要 256 MB"),
        "memory not a size": (["run", str(folder / "a.py"), "--memory", "lots"], "要写大小"),
        "processes not a count": (grade + [report, "--processes", "1.5"], "整数"),
    }


@pytest.mark.parametrize("case", list(bad_inputs(pathlib.Path("."))))
def test_bad_input_from_the_teacher_gets_one_chinese_line(case, tmp_path):
    (tmp_path / "class").mkdir()
    (tmp_path / "class" / "a.py").write_text(START, encoding="utf-8")
    (tmp_path / "a_file").write_text("", encoding="utf-8")
    arguments, words = bad_inputs(tmp_path)[case]
    result = subprocess.run([sys.executable, "-m", "tavik", *arguments], capture_output=True, text=True, timeout=120,
                            cwd=tmp_path, env=without_display())
    assert result.returncode == 2, result.stderr
    assert len(result.stderr.splitlines()) == 1 and words in result.stderr, result.stderr
    assert "Traceback" not in result.stderr and not (tmp_path / "r").exists()


def test_the_clock_starts_with_the_program_not_with_the_engine(tmp_path):
    """A one-second limit on a loaded machine: the engine's import takes longer than that, and must not be cut."""
    script = tmp_path / "endless.py"
    script.write_text(START + "while True:\n    pass\n", encoding="utf-8")
    result, seen = run_watched(["run", str(script), "--timeout", "1", "--frames", "2"], cwd=tmp_path)
    assert result.returncode == 124, result.stderr
    # The loop's own line or its body's, as the interpreter reports it (3.14 names the body).
    assert "程序运行了 1 秒还没有结束" in result.stderr
    assert "它停在第 3 行" in result.stderr or "它停在第 4 行" in result.stderr
    assert "Assertion" not in result.stderr and "Segmentation" not in result.stderr
    assert_gone(seen)


XLIB = ("import ctypes, os\nx11 = ctypes.CDLL('libX11.so.6')\nx11.XOpenDisplay.restype = ctypes.c_void_p\n"
        "x11.XOpenDisplay.argtypes = [ctypes.c_char_p]\nx11.XInternAtom.restype = ctypes.c_ulong\n"
        "x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]\n"
        "x11.XSetCloseDownMode.argtypes = [ctypes.c_void_p, ctypes.c_int]\nx11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]\n"
        "x = x11.XOpenDisplay(None)\n")


@pytest.mark.parametrize("mode", list(SANDBOXES))
def test_what_a_program_leaves_in_its_screen_never_reaches_a_later_program(mode, tmp_path):
    """One server serves program after program: a client kept past its program's end (RetainPermanent)
    and the atoms it made are gone before the next program on that server starts."""
    folder, out = tmp_path / "class", tmp_path / "report"
    folder.mkdir()
    sources = {
        "a_leaves": XLIB + "x11.XSetCloseDownMode(x, 1)\nx11.XInternAtom(x, b'LEFT_BY_A_CLASSMATE', 0)\n"
                           "x11.XSync(x, 0)\n",
        "b_between": "",
        "c_looks": XLIB + "print('found', x11.XInternAtom(x, b'LEFT_BY_A_CLASSMATE', 1))\n",
    }
    for name, source in sources.items():
        (folder / f"{name}.py").write_text(source + "import os\nprint(os.environ['DISPLAY'])\n" + START + "app.run()\n",
                                           encoding="utf-8")
    graded, seen = run_watched(["grade", str(folder), "--out", str(out), "--frames", "3", "--jobs", "1"],
                               cwd=tmp_path, environment=sandbox_environment(mode))
    assert graded.returncode == 0, graded.stderr
    assert_gone(seen)
    results = graded_names(out)
    assert all(entry["status"] == "ok" for entry in results.values()), results
    shown = {name: results[f"{name}.py"]["stdout"].split() for name in sources}
    assert shown["c_looks"][0] == "found" and shown["c_looks"][1] == "0"
    assert shown["a_leaves"][-1] == shown["c_looks"][-1]    # the same server, reset in between
