"""Judging a class against an assignment: the recorded scene, the comparison with the
teacher's solution, the teacher's checks, copies, the grade list, sub-folders and
archives, re-running some learners, and the report page's sorting and filtering.
"""
import csv
import json
import os
import pathlib
import subprocess
import sys
import zipfile

import pytest
from PIL import Image

from tavik.classroom.assignment import BadArchive, submissions_in, unpack
from tavik.classroom.checks import ChecksError, load_checks, run_checks
from tavik.classroom.compare import EXTRA, MISSING, compare_scenes, draw_comparison
from tavik.classroom.scene import KIT_GREETING, Camera, Model, Scene, Segment, Text, record_scene, without_greeting
from tavik.classroom.similar import similar_pairs

HERE = pathlib.Path(__file__).parent
SQUARE = [(0, 0, 0), (2, 0, 0), (2, 2, 0), (0, 2, 0)]
TRIANGLE = [(0, 0, 0), (2, 0, 0), (0, 2, 0)]


def outline(points, closed=True):
    ends = list(points) + ([points[0]] if closed else [])
    return [Segment(tuple(map(float, a)), tuple(map(float, b))) for a, b in zip(ends, ends[1:])]


def split(segments, pieces):
    """Every segment cut into `pieces`, every other piece drawn backwards."""
    cut = []
    for segment in segments:
        for index in range(pieces):
            a = tuple(s + (e - s) * index / pieces for s, e in zip(segment.start, segment.end))
            b = tuple(s + (e - s) * (index + 1) / pieces for s, e in zip(segment.start, segment.end))
            cut.append(Segment(b, a) if index % 2 else Segment(a, b))
    return cut


def moved(segments, by=(7, -3, 2), factor=1.0):
    def place(point):
        return tuple(value * factor + shift for value, shift in zip(point, by))
    return [Segment(place(segment.start), place(segment.end)) for segment in segments]


# ---- the comparison --------------------------------------------------------------------

SAME_FIGURE = {
    "another order": (Scene(segments=outline(SQUARE)[::-1]), {}),
    "another direction": (Scene(segments=[Segment(s.end, s.start) for s in outline(SQUARE)]), {}),
    "split into pieces": (Scene(segments=split(outline(SQUARE), 7)[::-1]), {}),
    "moved, anywhere": (Scene(segments=moved(outline(SQUARE))), {"anywhere": True}),
    "moved and scaled, anywhere and any size": (Scene(segments=moved(outline(SQUARE), factor=3.5)),
                                                {"anywhere": True, "any_size": True}),
    "scaled around the origin, any size": (Scene(segments=moved(outline(SQUARE), by=(0, 0, 0), factor=0.4)),
                                           {"any_size": True}),
}


@pytest.mark.parametrize("name", sorted(SAME_FIGURE))
def test_the_same_figure_drawn_another_way_scores_at_least_95(name):
    learner, options = SAME_FIGURE[name]
    result = compare_scenes(learner, Scene(segments=outline(SQUARE)), **options)
    assert result.score >= 95, (result.score, result.explanation)
    assert result.explanation == "和参考答案一样"


@pytest.mark.parametrize("options", [{}, {"anywhere": True}])
def test_a_moved_figure_without_the_option_scores_nothing(options):
    learner = Scene(segments=moved(outline(SQUARE), factor=1 if options else 1))
    result = compare_scenes(learner, Scene(segments=outline(SQUARE)), any_size=False, **options)
    assert (result.score >= 95) == bool(options), result


DIFFERENT = {
    # learner, expected score (about), words of the explanation
    "a triangle for a square": (Scene(segments=outline(TRIANGLE)), 40, ["少了 2 条线", "多了 1 条线"]),
    "a side missing": (Scene(segments=outline(SQUARE, closed=False)), 75, ["少了 1 条线"]),
    "an extra model": (Scene(segments=outline(SQUARE), models=[Model("tree")]), 80, ["多了 1 个模型"]),
    "nothing drawn": (Scene(), 0, ["少了 4 条线"]),
    "half the square": (Scene(segments=outline(SQUARE)[:2]), 50, ["少了 2 条线"]),
}


@pytest.mark.parametrize("name", sorted(DIFFERENT))
def test_a_different_drawing_scores_in_proportion(name):
    learner, expected, words = DIFFERENT[name]
    result = compare_scenes(learner, Scene(segments=outline(SQUARE)))
    assert abs(result.score - expected) <= 3, (result.score, expected)
    for word in words:
        assert word in result.explanation, result.explanation


def test_texts_and_models_are_compared_as_sets():
    solution = Scene(texts=[Text("得分 0"), Text("你好", "widget")], models=[Model("tree"), Model("car")])
    same = Scene(texts=[Text("你好"), Text("得分 0")], models=[Model("car", (5, 5, 5)), Model("tree")])
    assert compare_scenes(same, solution).score == 100
    other = Scene(texts=[Text("你好")], models=[Model("car"), Model("car"), Model("tree")])
    result = compare_scenes(other, solution)
    assert result.missing_texts == ["得分 0"] and result.extra_models == ["car"]
    assert result.explanation == "少了 1 段文字；多了 1 个模型"
    assert result.score == round(100 * 3 / 5)


def test_the_picture_shows_both_scenes_and_marks_what_is_missing_and_extra(tmp_path):
    camera = Camera((1, -20, 8), (0, -20, 0), (1, 0, 0, 0, 0, 0.94, 0.34, 0, 0, -0.34, 0.94, 0, -1, 16.1, 0.6, 1), (40, 30))
    solution = Scene(segments=outline(SQUARE), camera=camera)
    learner = Scene(segments=outline(TRIANGLE), camera=camera)
    result = compare_scenes(learner, solution)
    path = draw_comparison(learner, solution, result, tmp_path / "compare.png")
    with Image.open(path) as picture:
        picture = picture.convert("RGB")
    half = picture.width // 2
    left = picture.crop((0, 0, half, picture.height - 24))
    right = picture.crop((half, 0, picture.width, picture.height - 24))

    # the learner's side carries both marks in all three views; the solution's side none
    assert count(left, EXTRA) > 300 and count(left, MISSING) > 300
    assert count(right, EXTRA) == 0 and count(right, MISSING) == 0
    rows = [left.crop((0, top, half, top + 270)) for top in (28, 301, 574)]
    assert all(count(row, MISSING) > 0 for row in rows[::2])   # the camera's view and the top (a flat square)


def count(image, colour):
    return dict((pixel, number) for number, pixel in image.getcolors(1 << 24)).get(colour, 0)


# ---- recording the scene in the program's own process ----------------------------------------

def test_the_scene_holds_what_pens_models_texts_and_movers_show(app, make_pen, step):
    from tavik.tavik import PathMoveCtrl
    pen = make_pen()
    pen.color((1, 0, 0, 1))
    pen.size(4)
    pen.moveTo(0, 0, 0)
    pen.lineTo(3, 0, 0)
    pen.lineTo(3, 0, 3)
    pen.moveTo(5, 5, 5)
    pen.dot()
    pen.update()
    pen.np.setPos(1, 0, 0)          # the record is in render's coordinates
    model = app.gm("car")
    model.setPos(2, 2, 0)
    text = app.makeText("label", "得分 7", pos=(0, 0, 4))
    mover = PathMoveCtrl()
    mover.start(model, [(2, 2, 0), (2, 2.5, 0)], 5)
    try:
        for _ in range(5):
            mover.update()
            step()
        scene = record_scene(app, [pen], [("car", model)], [mover])
    finally:
        model.removeNode()
        text.removeNode()
    ends = {(segment.start, segment.end) for segment in scene.segments}
    assert ends == {((1, 0, 0), (4, 0, 0)), ((4, 0, 0), (4, 0, 3))}
    assert all(segment.colour == (1, 0, 0, 1) and segment.thickness == 4 for segment in scene.segments)
    assert [dot.point for dot in scene.dots] == [(6, 5, 5)]
    assert [(m.name, m.position) for m in scene.models] == [("car", (2, 2.5, 0))]
    assert any(t.text == "得分 7" and t.kind == "scene" for t in scene.texts)
    assert [(m.state, m.position) for m in scene.movers] == [("finished", (2, 2.5, 0))]
    assert scene.camera is not None and len(scene.camera.view) == 16
    assert Scene.from_data(json.loads(json.dumps(scene.to_data()))) == scene


def test_the_kits_greeting_is_not_the_learners_output():
    printed = KIT_GREETING + "仰望星空\n55\n"
    assert without_greeting(printed) == "55\n"
    assert without_greeting("55\n") == "55\n"


# ---- the teacher's checks -----------------------------------------------------------------

CHECKS = """\
from tavik.classroom.checks import check

@check(points=2, message="至少画 3 条线")
def lines(scene):
    return len(scene.segments) >= 3

@check(points=1, message="打印了 55")
def printed(scene):
    return scene.printed(55)

@check(points=1, message="会出错的检查")
def broken(scene):
    return scene.models[3].name
"""


def test_checks_give_points_and_messages_and_a_raising_check_is_not_counted(tmp_path):
    path = tmp_path / "checks.py"
    path.write_text(CHECKS, encoding="utf-8")
    checks = load_checks(str(path))
    assert [check.__name__ for check in checks] == ["lines", "printed", "broken"]
    scene = Scene(segments=outline(SQUARE), output="55\n").to_data()
    outcomes, total = run_checks(checks, scene, str(path))
    assert [(o.message, o.passed, o.earned) for o in outcomes[:2]] == [("至少画 3 条线", True, 2), ("打印了 55", True, 1)]
    assert outcomes[2].error and "IndexError" in outcomes[2].error and "checks.py" in outcomes[2].error
    assert (total.earned, total.possible) == (3, 3)
    outcomes, total = run_checks(checks, Scene(segments=outline(SQUARE)[:1]).to_data(), str(path))
    assert (total.earned, total.possible) == (0, 3)


@pytest.mark.parametrize("source, words", [
    ("raise RuntimeError('老师写错了')\n", ["检查文件出错了", "老师写错了", "line 1"]),
    ("import sys\nsys.exit(3)\n", ["检查文件出错了", "SystemExit"]),
    ("def lines(scene):\n    return True\n", ["没有检查", "@check"]),
    ("from tavik.classroom.checks import check\n@check(points='2')\ndef f(scene):\n    return 1\n", ["TypeError"]),
])
def test_a_checks_file_that_cannot_load_is_the_teachers_error(tmp_path, source, words):
    path = tmp_path / "checks.py"
    path.write_text(source, encoding="utf-8")
    with pytest.raises(ChecksError) as raised:
        load_checks(str(path))
    for word in words:
        assert word in str(raised.value)


# ---- copies ---------------------------------------------------------------------------------

def test_a_renamed_copy_is_flagged_and_two_different_programs_are_not():
    examples = HERE.parent / "examples"
    original = (examples / "01_square_spiral.py").read_text(encoding="utf-8")
    copy = original.replace("pen", "huabi").replace("app", "chengxu")
    copy = "\n".join(line.split("#")[0].rstrip() + ("  # 我自己写的" if line.strip() else "") for line in copy.splitlines())
    sources = {"original": original, "copy": copy, "other": (examples / "06_maze.py").read_text(encoding="utf-8"),
               "another": (examples / "02_star_3d.py").read_text(encoding="utf-8")}
    pairs = similar_pairs(sources)
    assert [(pair.first, pair.second) for pair in pairs] == [("copy", "original")]
    assert pairs[0].share == 1


# ---- archives -------------------------------------------------------------------------------

def make_zip(path, members):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in members.items():
            if isinstance(data, zipfile.ZipInfo):
                archive.writestr(data, "/etc/passwd")
            else:
                archive.writestr(name, data)
    return path


def link_member(name):
    info = zipfile.ZipInfo(name)
    info.external_attr = (0o120777 << 16)
    return info


@pytest.mark.parametrize("members, words", [
    ({"../outside.py": "x = 1\n"}, "外面"),
    ({"/etc/evil.py": "x = 1\n"}, "外面"),
    ({"a/../../evil.py": "x = 1\n"}, "外面"),
    ({"link.py": link_member("link.py")}, "链接"),
])
def test_an_unsafe_archive_is_refused_and_writes_nothing_outside(tmp_path, members, words):
    archive = make_zip(tmp_path / "学生.zip", members)
    target = tmp_path / "out" / "unpacked"
    with pytest.raises(BadArchive) as raised:
        unpack(archive, target)
    assert words in str(raised.value)
    assert not (tmp_path / "outside.py").exists() and not (tmp_path / "evil.py").exists()
    assert not any(path.is_symlink() for path in tmp_path.rglob("*"))


def test_an_archive_too_big_when_unpacked_is_refused(tmp_path, monkeypatch):
    from tavik.classroom import assignment
    monkeypatch.setattr(assignment, "MOST_UNPACKED", 1000)
    archive = make_zip(tmp_path / "big.zip", {"big.py": "#" * 5000})
    with pytest.raises(BadArchive, match="太大"):
        unpack(archive, tmp_path / "out")


def test_learners_are_files_sub_folders_and_archives(tmp_path):
    folder = tmp_path / "class"
    (folder / "张三").mkdir(parents=True)
    (folder / "alice.py").write_text("print(1)\n", encoding="utf-8")
    (folder / "张三" / "helper.py").write_text("X = 1\n", encoding="utf-8")
    (folder / "张三" / "作业.py").write_text("from tavik.tavik import *\napp = TAVIK()\n", encoding="utf-8")
    (folder / "空").mkdir()
    make_zip(folder / "王五.zip", {"王五/hw.py": "print(2)\n"})
    make_zip(folder / "坏.zip", {"../x.py": "print(3)\n"})
    (folder / "link.py").symlink_to(folder / "alice.py")
    found = {s.learner: s for s in submissions_in(folder, tmp_path / "out")}
    assert sorted(found) == ["alice", "link", "坏", "张三", "王五", "空"]
    assert found["link"].program.is_symlink()      # listed, for the runner to report as skipped, never followed
    assert found["张三"].program.name == "作业.py" and found["张三"].shown == "张三/作业.py"
    assert found["王五"].program.read_text(encoding="utf-8") == "print(2)\n"
    assert (tmp_path / "out") in found["王五"].program.parents      # unpacked beside the report, not the class
    assert "外面" in found["坏"].problem and "没有 .py" in found["空"].problem
    assert not found["alice"].problem and found["alice"].folder is None and found["张三"].folder == folder / "张三"


# ---- a class graded end to end ----------------------------------------------------------------

HOUSE = """\
from tavik.tavik import *
app = TAVIK()
pen = Pen(app)
pen.color((0.6, 0.2, 0, 1))
pen.moveTo(0, 0, 0)
for x, z in [(4, 0), (4, 3), (2, 5), (0, 3), (0, 0)]:
    pen.lineTo(x, 0, z)
pen.moveTo(0, 0, 3)
pen.lineTo(4, 0, 3)
pen.update()
app.makeText("title", "我的家", pos=(2, 0, 6))
print(55)
app.run()
"""
BACKWARDS = """\
from tavik.tavik import *
app = TAVIK()
p = Pen(app)
p.moveTo(4, 0, 3)
p.lineTo(0, 0, 3)
p.moveTo(0, 0, 0)
for x, z in [(0, 1.5), (0, 3), (2, 5), (4, 3), (4, 0), (0, 0)]:
    p.lineTo(x, 0, z)
p.update()
app.makeText("t", "我的家", pos=(2, 0, 6))
app.run()
"""
NO_ROOF = """\
from tavik.tavik import *
import walls
app = TAVIK()
pen = Pen(app)
pen.moveTo(0, 0, 0)
for x, z in walls.CORNERS:
    pen.lineTo(x, 0, z)
pen.update()
app.run()
"""
CLASS = {
    "alice.py": BACKWARDS,
    "张三/作业.py": NO_ROOF,
    "张三/walls.py": "CORNERS = [(4, 0), (4, 3), (0, 3), (0, 0)]\n",
    "李四/main.py": HOUSE.replace("app.run()", "app.gm('tree')\napp.run()"),
    "赵六.py": "from tavik.tavik import *\napp = TAVIK()\nprint(1 / 0)\n",
}
COPY = HOUSE.replace("pen", "huabi").replace("# ", "") + "# 我自己写的\n"
CHECKS_FILE = """\
from tavik.classroom.checks import check

@check(points=2, message="至少画 5 条线")
def lines(scene):
    return len(scene.segments) >= 5

@check(points=1, message="有“我的家”")
def title(scene):
    return scene.has_text("我的家")

@check(points=1, message="打印了 55")
def fifty_five(scene):
    return scene.printed(55)
"""
SCORES = {"alice": (95, 100), "张三": (50, 65), "李四": (85, 90), "王五": (95, 100), "赵六": (0, 0)}
CHECK_POINTS = {"alice": 3, "张三": 0, "李四": 4, "王五": 4, "赵六": 0}


def grade(*arguments, cwd=HERE):
    environment = dict(os.environ)
    environment.pop("DISPLAY", None)
    return subprocess.run([sys.executable, "-m", "tavik", "grade", *map(str, arguments), "--frames", "3",
                           "--timeout", "30", "--jobs", "2"],
                          capture_output=True, text=True, timeout=300, cwd=cwd, env=environment)


def read_report(out):
    with open(out / "report.json", encoding="utf-8") as report:
        return {entry["learner"]: entry for entry in json.load(report)}


@pytest.fixture(scope="module")
def classroom(tmp_path_factory):
    root = tmp_path_factory.mktemp("assignment")
    folder = root / "class"
    for name, source in CLASS.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text(source, encoding="utf-8")
    make_zip(folder / "王五.zip", {"王五/hw.py": COPY})
    (root / "solution.py").write_text(HOUSE, encoding="utf-8")
    (root / "checks.py").write_text(CHECKS_FILE, encoding="utf-8")
    out = root / "out"
    result = grade(folder, "--out", out, "--reference", root / "solution.py", "--checks", root / "checks.py")
    assert result.returncode == 0, result.stderr
    return root, folder, out, read_report(out)


@pytest.mark.parametrize("learner", sorted(SCORES))
def test_each_learner_is_scored_against_the_solution(classroom, learner):
    *_, report = classroom
    low, high = SCORES[learner]
    assert low <= report[learner]["comparison"]["score"] <= high, report[learner]["comparison"]


@pytest.mark.parametrize("learner, words", [("张三", "少了 2 条线；少了 1 段文字"), ("李四", "多了 1 个模型"),
                                            ("alice", "和参考答案一样")])
def test_the_explanation_names_what_differs(classroom, learner, words):
    *_, report = classroom
    assert report[learner]["comparison"]["explanation"] == words


@pytest.mark.parametrize("learner", sorted(CHECK_POINTS))
def test_each_learner_gets_the_points_of_the_checks_passed(classroom, learner):
    *_, report = classroom
    assert report[learner]["checks_total"] == {"earned": CHECK_POINTS[learner], "possible": 4}
    assert [check["message"] for check in report[learner]["checks"]] == ["至少画 5 条线", "有“我的家”", "打印了 55"]


def test_the_side_by_side_picture_lies_beside_the_report(classroom):
    _, _, out, report = classroom
    with Image.open(out / report["张三"]["comparison"]["picture"]) as picture:
        panels = picture.convert("RGB").crop((0, 0, picture.width, picture.height - 24))    # not the legend
    assert count(panels, MISSING) > 100 and count(panels, EXTRA) == 0


def test_the_sub_folder_program_ran_in_its_own_folder_and_the_zip_as_if_unpacked(classroom):
    *_, report = classroom
    assert report["张三"]["file"] == "张三/作业.py" and report["张三"]["status"] == "ok"
    assert report["王五"]["file"] == "王五/hw.py" and report["王五"]["status"] == "ok"
    assert report["赵六"]["status"] == "error"


def test_the_copy_is_flagged_in_a_pair_and_the_others_are_not(classroom):
    *_, report = classroom
    flagged = {learner for learner, entry in report.items() if any("的程序" in w for w in entry["warnings"])}
    assert flagged == {"王五", "李四"}      # the zip's copy and the class's own version of the house
    assert any("李四" in warning for warning in report["王五"]["warnings"])


def test_the_scene_is_in_the_report_without_the_kits_greeting(classroom):
    *_, report = classroom
    assert report["李四"]["scene"]["output"] == "55\n" and report["李四"]["stdout"] == "55\n"
    assert [m["name"] for m in report["李四"]["scene"]["models"]] == ["tree"]
    assert KIT_GREETING not in report["alice"]["stdout"]


def test_the_grade_list_opens_with_its_columns_and_chinese_names(classroom):
    _, _, out, report = classroom
    raw = (out / "grades.csv").read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf")
    with open(out / "grades.csv", encoding="utf-8-sig", newline="") as sheet:
        rows = list(csv.DictReader(sheet))
    assert [row["姓名"] for row in rows] == list(report)
    by_name = {row["姓名"]: row for row in rows}
    assert by_name["张三"]["状态"] == "完成" and by_name["赵六"]["状态"] == "出错"
    assert by_name["张三"]["分数"] == str(report["张三"]["comparison"]["score"])
    assert (by_name["李四"]["检查得分"], by_name["李四"]["检查满分"]) == ("4", "4")
    assert "王五" in by_name["李四"]["提醒"]


def test_only_re_runs_the_named_learner_and_keeps_the_others(classroom, tmp_path):
    root, folder, out, report = classroom
    copy = tmp_path / "out"
    import shutil
    shutil.copytree(out, copy)
    (folder / "alice.py").write_text(NO_ROOF.replace("import walls\n", "").replace("walls.CORNERS", "[(4, 0)]"),
                                     encoding="utf-8")
    try:
        result = grade(folder, "--out", copy, "--reference", root / "solution.py", "--only", "alice")
    finally:
        (folder / "alice.py").write_text(CLASS["alice.py"], encoding="utf-8")
    assert result.returncode == 0, result.stderr
    assert result.stderr.count("[1/1]") == 1
    again = read_report(copy)
    assert list(again) == list(report)
    assert again["alice"]["comparison"]["score"] < 30
    for learner in ("张三", "李四", "王五", "赵六"):
        assert again[learner]["seconds"] == report[learner]["seconds"]
    with open(copy / "grades.csv", encoding="utf-8-sig", newline="") as sheet:
        assert len(list(csv.reader(sheet))) == len(report) + 1


@pytest.mark.parametrize("arguments, words", [
    (["--only", "nobody"], "没有这些学生：nobody"),
    (["--checks", "missing-checks.py"], "找不到检查文件"),
    (["--reference", "missing.py"], "找不到参考答案"),
])
def test_a_teachers_mistake_is_one_chinese_line(classroom, arguments, words):
    root, folder, out, _ = classroom
    result = grade(folder, "--out", out, *[root / a if a.endswith(".py") else a for a in arguments])
    assert result.returncode != 0 and words in result.stderr and "Traceback" not in result.stderr


def test_a_raising_checks_file_stops_before_any_program_runs(classroom, tmp_path):
    root, folder, _, _ = classroom
    checks = tmp_path / "checks.py"
    checks.write_text("from tavik.classroom.checks import check\n1 / 0\n", encoding="utf-8")
    result = grade(folder, "--out", tmp_path / "out", "--checks", checks)
    assert result.returncode != 0 and "检查文件出错了" in result.stderr and "ZeroDivisionError" in result.stderr
    assert not (tmp_path / "out" / "report.json").exists()


def test_a_reference_that_fails_is_the_teachers_error(classroom, tmp_path):
    _, folder, _, _ = classroom
    solution = tmp_path / "solution.py"
    solution.write_text("from tavik.tavik import *\napp = TAVIK()\nprint(1 / 0)\n", encoding="utf-8")
    result = grade(folder, "--out", tmp_path / "out", "--reference", solution)
    assert result.returncode != 0 and "参考答案" in result.stderr and "ZeroDivisionError" in result.stderr


# ---- the page in a browser ---------------------------------------------------------------------

@pytest.fixture
def page(classroom, tmp_path):
    from helpers import Browser
    try:
        browser = Browser(tmp_path / "profile")
    except FileNotFoundError:
        pytest.skip("chromium is not installed (make test-packages installs it)")
    try:
        browser.open((classroom[2] / "index.html").as_uri())
        yield browser
    finally:
        browser.close()


SHOWN = "Array.from(document.querySelectorAll('main .card')).filter(c => !c.classList.contains('hidden'))" \
        ".map(c => c.dataset.name)"


def scores_of(report, names):
    return [report[name]["comparison"]["score"] for name in names]


def test_the_page_sorts_by_score_and_name_when_the_buttons_are_clicked(classroom, page):
    *_, report = classroom
    page.click("#sort button[data-value='score-down']")
    order = page.evaluate(SHOWN)
    assert sorted(order) == sorted(report) and scores_of(report, order) == sorted(scores_of(report, order), reverse=True)
    page.click("#sort button[data-value='score-up']")
    order = page.evaluate(SHOWN)
    assert scores_of(report, order) == sorted(scores_of(report, order))
    page.click("#sort button[data-value='name']")
    assert page.evaluate(SHOWN) == page.evaluate(f"{SHOWN}.slice().sort((a, b) => a.localeCompare(b, 'zh-CN'))")
    page.click("#sort button[data-value='status']")
    assert page.evaluate(SHOWN)[0] == "赵六"      # the only error comes first


def test_the_page_filters_by_status_score_and_name(classroom, page):
    *_, report = classroom
    page.click("#status-filter button[data-value='error']")
    assert page.evaluate(SHOWN) == ["赵六"]
    page.click("#status-filter button[data-value='']")
    page.click("#score-filter button[data-value='90-100']")
    assert sorted(page.evaluate(SHOWN)) == sorted(n for n, e in report.items() if e["comparison"]["score"] >= 90)
    page.click("#score-filter button[data-value='']")
    page.type("#name-filter", "张")
    assert page.evaluate(SHOWN) == ["张三"]
    assert page.evaluate("document.getElementById('shown').textContent") == f"显示 1 / {len(report)} 个"
    hidden_links = page.evaluate("Array.from(document.querySelectorAll('nav a.hidden')).length")
    assert hidden_links == len(report) - 1


# ---- warnings about the picture ------------------------------------------------------------

STILL_UPDATE = """\
from tavik.tavik import *
app = TAVIK()
count = 0
def update():
    global count
    count += 1
app.update = update
app.run()
"""
MOVING_UPDATE = STILL_UPDATE.replace("    count += 1\n", "    count += 1\n    app.camera.setPos(count, -30, 10)\n"
                                     "    app.camera.lookAt(0, 0, 0)\n")
SLOW_DRAWING = """\
from tavik.tavik import *
app = TAVIK()
pen = Pen(app)
def update():
    pen.forward(0.2, True)
    pen.dLeft(5)
    pen.update()
app.update = update
app.run()
"""
DONE_DRAWING = SLOW_DRAWING.replace("def update():\n", "steps = []\ndef update():\n    if len(steps) > 3:\n"
                                    "        return\n    steps.append(1)\n")


@pytest.mark.parametrize("source, warned, words", [
    (STILL_UPDATE, True, "画面一直没有变"),
    (MOVING_UPDATE, False, "画面一直没有变"),
    (SLOW_DRAWING, True, "还没有画完"),
    (DONE_DRAWING, False, "还没有画完"),
])
def test_a_picture_that_never_changes_or_is_still_being_drawn_is_warned_about(tmp_path, source, warned, words):
    from tavik.classroom.runner import Options, run_program
    program = tmp_path / "program.py"
    program.write_text(source, encoding="utf-8")
    result = run_program(str(program), Options(frames=30, timeout=60))
    assert result.status == "ok", result.traceback
    assert any(words in warning for warning in result.warnings) == warned, result.warnings


def test_an_extra_model_is_marked_on_the_learners_side_and_a_missing_one_on_the_solutions(tmp_path):
    solution = Scene(segments=outline(SQUARE), models=[Model("car", (1, 1, 0))])
    learner = Scene(segments=outline(SQUARE), models=[Model("tree", (1, 1, 0))])
    result = compare_scenes(learner, solution)
    with Image.open(draw_comparison(learner, solution, result, tmp_path / "models.png")) as picture:
        picture = picture.convert("RGB")
    half = picture.width // 2
    left = picture.crop((0, 0, half, picture.height - 24))
    right = picture.crop((half, 0, picture.width, picture.height - 24))
    assert count(left, EXTRA) > 0 and count(left, MISSING) == 0
    assert count(right, MISSING) > 0 and count(right, EXTRA) == 0


# ---- the assignments of examples/, as the teacher's page tells them --------------------------------

ASSIGNMENTS = HERE.parent / "examples" / "assignments"


@pytest.mark.parametrize("assignment, judge, expected", [
    ("画房子", ["--reference", "参考答案.py"],
     {"小明": (100, "和参考答案一样"), "小红": (58, "少了 2 条线；少了 1 段文字"), "小刚": (88, "多了 1 个模型")}),
    ("计分器", ["--checks", "检查.py"], {"小明": (7, 7), "小红": (3, 7), "小丽": (6, 7)}),
])
def test_the_example_assignments_grade_as_the_teachers_page_says(tmp_path, assignment, judge, expected):
    folder = ASSIGNMENTS / assignment
    result = grade(folder / "班级", "--out", tmp_path / "out", judge[0], folder / judge[1])
    assert result.returncode == 0, result.stderr
    report = read_report(tmp_path / "out")
    assert set(report) == set(expected)
    for learner, (first, second) in expected.items():
        entry = report[learner]
        assert entry["status"] == "ok", entry["traceback"]
        if judge[0] == "--reference":
            assert (entry["comparison"]["score"], entry["comparison"]["explanation"]) == (first, second)
        else:
            assert entry["checks_total"] == {"earned": first, "possible": second}


def test_a_copy_warning_from_an_earlier_run_goes_once_the_copy_is_gone():
    from tavik.classroom.assignment import flag_copies
    from tavik.classroom.records import Result
    from tavik.classroom.similar import copy_warning
    kept = Result(file="a.py", learner="a", warnings=[copy_warning("b", 1.0), "其他提醒"])
    other = Result(file="b.py", learner="b")
    flag_copies([kept, other], {"a": HOUSE, "b": BACKWARDS})
    assert kept.warnings == ["其他提醒"] and other.warnings == []
    flag_copies([kept, other], {"a": HOUSE, "b": HOUSE})
    assert kept.warnings == ["其他提醒", copy_warning("b", 1.0)] and other.warnings == [copy_warning("a", 1.0)]
