"""`python -m tavik grade`: a class's folder graded into report.json and a page a browser shows.

One folder of small programs (good ones, errors of every kind the hints know,
an endless loop, a syntax error, output that tries to inject HTML) is graded
once for the whole module, two programs at a time; the tests read the report.
"""
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest
from PIL import Image, ImageChops

HERE = pathlib.Path(__file__).parent
SKY = (51, 153, 204)
STATUS_COLOURS = {"ok": (46, 133, 64), "error": (198, 40, 40), "timeout": (224, 138, 0)}
START = "from tavik.tavik import *\napp = TAVIK()\n"

CLASS = {
    "good.py": START + "pen = Pen(app)\npen.forward(5, True)\npen.update()\nprint('你好')\napp.run()\n",
    "broken.py": START + "pen = Pen(app)\npen.forward(\"10\")\napp.run()\n",
    "endless.py": START + "def update():\n    while True:\n        pass\n\napp.update = update\napp.run()\n",
    "norun.py": START + "print('no run')\n",
    "syntax.py": "from tavik.tavik import *\nfor i in range(3)\n    print(i)\n",
    "hook.py": START + "app.update = 5\napp.run()\n",
    "nodes.py": START + "grid = AStar(5, 5)\ngrid.setStartNode(0, 0)\ngrid.setEndNode(4, 4)\ngrid.findPath()\n"
                "mover = PathMoveCtrl()\nmover.start(app.gm('car'), grid.getPath(), 0.1)\napp.run()\n",
    "model.py": START + "cat = app.gm('cat')\ncat.setPos(1, 2, 3)\napp.run()\n",
    "grid.py": START + "grid = AStar(5, 5)\ngrid.setWalkable(7, 2, False)\napp.run()\n",
    "typo.py": START + "pen = Pen(app)\npen.fowrad(10)\napp.run()\n",
    "mover.py": START + "car = app.gm('car')\nm = PathMoveCtrl()\nm.start(car, [(0, 0, 0), (5, 0, 0)], 0.1)\n"
                "app.update = m.update()\napp.run()\n",
    "unbuilt.py": START + "pen = Pen(app)\npen.forward(5, True)\napp.run()\n",
    "name.py": START + "pen = Pne(app)\napp.run()\n",
    "dragon.py": START + "app.gm('dragon')\napp.run()\n",
    "x&y.py": START + "print('<script>alert(\"x\")</script>')\nprint('<img src=x onerror=alert(1)>')\napp.run()\n",
}
STATUS = {"endless.py": "timeout", "broken.py": "error", "name.py": "error", "syntax.py": "error", "hook.py": "error",
          "nodes.py": "error", "model.py": "error", "grid.py": "error", "typo.py": "error"}
HINTS = {
    "broken.py": ["第 4 行", "\"10\" 应该写成 10"],
    "hook.py": ["第 3 行", "app.update = 函数名"],
    "nodes.py": ["第 8 行", "AStarNode"],
    "model.py": ["第 3 行", "gm('cat')", "ball、car、house、robot、rocket、star、tower、tree"],
    "grid.py": ["第 4 行", "(7, 2)", "AStar(5, 5)", "0 到 4"],
    "typo.py": ["第 4 行", "forward"],
    "name.py": ["第 3 行", "Pne", "你是不是想写 Pen"],
    "syntax.py": ["第 2 行", "冒号"],
    "endless.py": ["6 秒还没有结束", "它停在第"],
}
WARNINGS = {
    "norun.py": "app.run()",
    "mover.py": "第 6 行写成了 m.update()",
    "unbuilt.py": "第 4 行画的线没有显示出来",
    "dragon.py": "第 3 行的 gm('dragon') 没有这个模型",
}


@pytest.fixture(scope="module")
def graded(tmp_path_factory):
    folder = tmp_path_factory.mktemp("class")
    for name, source in CLASS.items():
        (folder / name).write_text(source, encoding="utf-8")
    (folder / "notes.txt").write_text("not a program", encoding="utf-8")
    out = tmp_path_factory.mktemp("report")
    environment = dict(os.environ)
    environment.pop("DISPLAY", None)
    result = subprocess.run([sys.executable, "-m", "tavik", "grade", str(folder), "--out", str(out), "--frames", "5",
                             "--timeout", "6", "--gif", "--jobs", "2"], capture_output=True, text=True, timeout=300,
                            cwd=HERE, env=environment)
    assert result.returncode == 0, result.stderr
    with open(out / "report.json", encoding="utf-8") as report:
        entries = json.load(report)
    return out, {entry["file"]: entry for entry in entries}, entries, result


def test_the_report_lists_every_program_once_in_name_order(graded):
    _, by_name, entries, _ = graded
    assert [entry["file"] for entry in entries] == sorted(CLASS)


def test_every_entry_has_the_fields_a_teacher_reads(graded):
    _, _, entries, _ = graded
    for entry in entries:
        assert {"file", "status", "seconds", "screenshot", "gif", "stdout", "traceback", "hint", "warnings"} <= set(entry)
        assert isinstance(entry["seconds"], float) and entry["seconds"] >= 0
        assert isinstance(entry["warnings"], list)


@pytest.mark.parametrize("name", sorted(CLASS))
def test_each_program_gets_its_status(graded, name):
    _, by_name, _, _ = graded
    assert by_name[name]["status"] == STATUS.get(name, "ok"), by_name[name]


@pytest.mark.parametrize("name", sorted(HINTS))
def test_each_error_gets_its_chinese_hint(graded, name):
    _, by_name, _, _ = graded
    for word in HINTS[name]:
        assert word in by_name[name]["hint"], (word, by_name[name]["hint"])


@pytest.mark.parametrize("name", sorted(WARNINGS))
def test_each_slip_gets_its_warning(graded, name):
    _, by_name, _, _ = graded
    assert any(WARNINGS[name] in warning for warning in by_name[name]["warnings"]), by_name[name]["warnings"]


def test_a_good_program_has_no_hint_no_warning_and_its_output(graded):
    _, by_name, _, _ = graded
    good = by_name["good.py"]
    assert good["hint"] == "" and good["warnings"] == [] and good["traceback"] == ""
    assert "你好" in good["stdout"] and ":device" not in good["stdout"] + good["stderr"]


def test_tracebacks_are_trimmed_to_the_learners_file(graded):
    _, by_name, _, _ = graded
    assert by_name["broken.py"]["traceback"].splitlines() == [
        "Traceback (most recent call last):",
        '  File "broken.py", line 4, in <module>',
        '    pen.forward("10")',
        "TypeError: bad operand type for abs(): 'str'",
    ]
    assert by_name["syntax.py"]["traceback"].splitlines()[1:3] == ["    for i in range(3)", "                     ^"]


def test_pictures_lie_beside_the_report_and_a_syntax_error_has_none(graded):
    out, by_name, entries, _ = graded
    for entry in entries:
        if entry["file"] == "syntax.py":
            assert entry["screenshot"] is None and entry["gif"] is None
            continue
        assert not os.path.isabs(entry["screenshot"])
        with Image.open(out / entry["screenshot"]) as image:
            assert image.size == (1000, 750)
            assert image.convert("RGB").getpixel((5, 5)) == pytest.approx(SKY, abs=2)
    good = by_name["good.py"]
    with Image.open(out / good["gif"]) as animation:
        assert animation.format == "GIF" and animation.size == (500, 375)
        # five frames kept (a still drawing, so merged into fewer): the GIF plays as long as they ran in
        # the program's time, a sixtieth of a second each, but no GIF frame is shorter than 20 ms
        played = 0
        for index in range(animation.n_frames):
            animation.seek(index)
            played += animation.info["duration"]
        assert played == pytest.approx(5 * max(20, 1000 / 60), abs=5)


def test_progress_is_shown_for_every_program(graded):
    _, _, _, result = graded
    lines = [line for line in result.stderr.splitlines() if line.startswith("[")]
    assert len(lines) == len(CLASS) and lines[-1].startswith(f"[{len(CLASS)}/{len(CLASS)}]")
    assert result.stdout.strip().endswith("index.html")


def test_the_page_escapes_what_learners_print(graded):
    out, _, _, _ = graded
    page = (out / "index.html").read_text(encoding="utf-8")
    assert "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;" in page
    assert "<script>alert" not in page and "<img src=x" not in page
    assert "x&amp;y.py" in page
    assert "http://" not in page and "https://" not in page      # nothing from the network


def mask_of(image, colour, tolerance=6):
    """White where `image` has `colour`, black elsewhere."""
    difference = ImageChops.difference(image, Image.new("RGB", image.size, colour))
    channels = [band.point(lambda value: 255 if value <= tolerance else 0) for band in difference.split()]
    return ImageChops.darker(ImageChops.darker(channels[0], channels[1]), channels[2])


def blocks(image, colour, shortest):
    """Top-left corners (x, y) of the separate blocks of rows with a run of `colour` `shortest` pixels long."""
    mask = mask_of(image, colour)
    width, height = mask.size
    data = mask.tobytes()
    long_run = re.compile(rb"\xff{%d,}" % shortest)
    found, previous = [], []
    for y in range(height):
        starts = [run.start() - y * width for run in long_run.finditer(data, y * width, (y + 1) * width)]
        # rounded corners make a block's first rows start a little later: near the row above is the same block
        found += [(start, y) for start in starts if not any(abs(start - other) < 20 for other in previous)]
        previous = starts
    return found


def share_of(image, colour, box):
    region = mask_of(image.crop(box), colour)
    return region.histogram()[255] / (region.width * region.height)


def test_the_page_shows_a_card_and_a_picture_per_program_in_a_browser(graded, tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("chromium is not installed (make system-packages installs it)")
    out, by_name, entries, _ = graded
    shot = tmp_path / "page.png"
    subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    f"--user-data-dir={tmp_path / 'profile'}", "--window-size=1400,5200",
                    f"--screenshot={shot}", (out / "index.html").as_uri()],
                   capture_output=True, timeout=120, check=True)
    with Image.open(shot) as page:
        page = page.convert("RGB")
    # each card is topped by a stripe in its status colour, in the order of the report
    cards = sorted(((y // 20, x, y, status) for status, colour in STATUS_COLOURS.items()
                    for x, y in blocks(page, colour, shortest=300)))
    assert [status for _, _, _, status in cards] == [entry["status"] for entry in entries]
    # under the stripe, the program's screenshot (sky blue), or the grey box of a program without a window
    for (_, x, y, _), entry in zip(cards, entries):
        sky = share_of(page, SKY, (x + 20, y + 70, x + 300, y + 280))
        if entry["screenshot"]:
            assert sky > 0.6, (entry["file"], sky)
        else:
            assert sky < 0.01, (entry["file"], sky)
