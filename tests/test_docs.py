"""The docs site: every program it shows runs as written, and every public call has its entry."""
import inspect
import os
import pathlib
import subprocess
import sys
import types

import pytest
from PIL import Image

from helpers import not_blank

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import api_examples  # noqa: E402
import docsite  # noqa: E402

PAGE_PROGRAMS = [(page.relative_to(docsite.DOCS).as_posix() + f"#{index + 1}", code)
                 for page in docsite.hand_pages()
                 for index, code in enumerate(docsite.page_programs(page.read_text(encoding="utf-8")))]


def run_headless(source, folder, frames=docsite.FRAMES, whole=True):
    """Runs a program as the docs build does (as many frames, so an animation is as far along).

    `whole`: a whole program, which gets no warning; the API examples are pieces, one call each.
    """
    program = folder / "program.py"
    program.write_text(source, encoding="utf-8")
    screenshot = folder / "shot.png"
    result = subprocess.run([sys.executable, "-P", "-m", "tavik", "run", str(program), "--frames", str(frames),
                             "--screenshot", str(screenshot)],
                            capture_output=True, text=True, encoding="utf-8", timeout=180, cwd=folder,
                            env={**os.environ, "PYTHONUTF8": "1"})
    assert result.returncode == 0, result.stderr[-3000:]
    assert "Traceback" not in result.stderr
    assert not whole or "注意：" not in result.stderr, result.stderr     # a correct program gets no warning
    return result, screenshot


def test_the_pages_hold_programs():
    assert len(PAGE_PROGRAMS) >= 10
    pages = {name.split("#")[0] for name, _ in PAGE_PROGRAMS}
    assert {"index.md", "camera.md", "tutorial/turtle.md", "tutorial/pathfinding.md", "tutorial/moving.md",
            "tutorial/update.md"} <= pages


@pytest.mark.parametrize("name, code", PAGE_PROGRAMS, ids=[name for name, _ in PAGE_PROGRAMS])
def test_every_program_on_the_pages_runs_as_written_and_shows_something(name, code, tmp_path):
    _, screenshot = run_headless(code, tmp_path)
    if "TAVIK(" not in code:  # no window: running without an error is what it shows
        return
    with Image.open(screenshot) as image:
        assert image.size == (1000, 750)
        assert not_blank(image), f"{name} shows a blank window"


@pytest.mark.parametrize("code, runs", [
    ("from tavik.tavik import *\napp = TAVIK()\n", True),
    ("import tavik.tavik as tv\n", True),
    ("pen.forward(5)\n", False),
    ("# from tavik import nothing\nprint(1)\n", False),
])
def test_only_blocks_that_import_tavik_are_run(code, runs):
    page = f"Text\n\n```python\n{code}```\n\n```text\nfrom tavik.tavik import *\n```\n"
    assert docsite.page_programs(page) == ([code] if runs else [])


def test_the_api_examples_run_as_written(tmp_path):
    result, _ = run_headless(api_examples.program(), tmp_path, frames=2, whole=False)
    printed = result.stdout.splitlines()
    # a few of the printed results the examples' comments promise
    assert "5.0" in printed and "45 45 40" in printed and "1 2 True" in printed and "90" in printed


def test_every_public_call_has_one_api_entry_with_an_example():
    names = [name for name, _, _ in docsite.public_calls()]
    assert len(names) == len(set(names))
    assert set(names) == set(api_examples.EXAMPLES)
    assert {"dist", "Pen.forward", "Pen.rotZ", "TAVIK.makeText", "AStar.findPath", "drawAxies"} <= set(names)
    import tavik.extras as extras
    assert set(extras.__all__) | {"Handle", "Handle.stop"} <= set(names)
    assert set(api_examples.NOTES) <= set(names) and set(api_examples.ATTRIBUTES) <= set(names)


def test_the_api_reference_shows_the_running_docstrings_and_signatures():
    import tavik.tavik as tv
    page = docsite.api_page()
    assert "pen.forward(n, draw=False)" in page
    assert "app.makeText(nodeName, text='None', pos=(0, 0, 0), color=(1, 0, 0, 1), align=TextNode.ACenter" in page
    assert "CameraController(base, target_pos=LPoint3f(0, 0, 0), radius=10)" in page
    assert "fill(pen, color, points=None)" in page and "circle(pen, radius, extent=360)" in page
    assert "```text\n" + inspect.cleandoc(tv.Pen.forward.__doc__) + "\n```" in page
    assert "Args:\n    numCols: 网格的列数\n" in page
    assert tv.Pen.forward.__doc__.split()[0] in page


@pytest.mark.parametrize("page, phrases", [
    ("camera.md", ["theta", "phi", "radius", "update_camera_position()", "target_pos"]),
    ("tutorial/pathfinding.md", ["AStar(numCols, numRows)", "numCols", "IndexError"]),
    ("tutorial/moving.md", ["loop=True", "永远不会被调用"]),
    ("tutorial/turtle.md", ["size()", "全部线条"]),
    ("pitfalls.md", ["numCols", "loop=True", "size()", "update_camera_position()"]),
])
def test_the_pages_explain_what_learners_trip_over(page, phrases):
    text = (docsite.DOCS / page).read_text(encoding="utf-8")
    assert [phrase for phrase in phrases if phrase not in text] == []


def test_every_hand_written_page_is_in_the_navigation():
    navigation = (ROOT / "mkdocs.yml").read_text(encoding="utf-8")
    pages = [page.relative_to(docsite.DOCS).as_posix() for page in docsite.hand_pages()]
    assert [page for page in pages if page != "extras.md" and page not in navigation] == []


def navigation(docs_folder, monkeypatch):
    monkeypatch.setattr(docsite, "DOCS", docs_folder)
    config = types.SimpleNamespace(nav=[{"开始": "index.md"}, {"例子": "examples/index.md"}, {"API 参考": "api.md"}])
    return docsite.on_config(config).nav


def test_the_navigation_lists_each_example_under_examples(tmp_path, monkeypatch):
    nav = navigation(tmp_path, monkeypatch)
    examples = nav[1]["例子"]
    assert examples[0] == "examples/index.md"
    assert [list(entry.values())[0] for entry in examples[1:]] == [
        f"examples/{path.stem}.md" for path in sorted((ROOT / "examples").glob("*.py"))]
    assert {"第一课：画正方形和螺旋线": "examples/01_square_spiral.md"} in examples


@pytest.mark.parametrize("extras_page, listed", [(True, True), (False, False)])
def test_the_learner_helpers_page_joins_the_navigation_when_it_exists(extras_page, listed, tmp_path, monkeypatch):
    if extras_page:
        (tmp_path / "extras.md").write_text("# 学习助手\n", encoding="utf-8")
    nav = navigation(tmp_path, monkeypatch)
    assert ({"学习助手": "extras.md"} in nav) == listed
    if listed:
        assert nav.index({"学习助手": "extras.md"}) == len(nav) - 2  # just before the API reference


def test_an_example_page_shows_the_whole_program_and_its_screenshot(tmp_path, monkeypatch):
    monkeypatch.setattr(docsite, "SHOTS", tmp_path)
    example = ROOT / "examples" / "01_square_spiral.py"
    (tmp_path / "example-01_square_spiral.txt").write_text("", encoding="utf-8")
    Image.new("RGB", (4, 3)).save(tmp_path / "example-01_square_spiral.png")
    page = docsite.example_page(example)
    assert page.startswith("# 第一课：画正方形和螺旋线\n")
    assert example.read_text(encoding="utf-8").rstrip() in page
    assert "](../images/01_square_spiral.png)" in page
    index = docsite.examples_index()
    assert "[01_square_spiral](01_square_spiral.md)" in index


def test_a_page_without_its_program_runs_is_refused(tmp_path, monkeypatch):
    monkeypatch.setattr(docsite, "SHOTS", tmp_path)
    with pytest.raises(RuntimeError, match="make docs"):
        docsite.example_page(ROOT / "examples" / "01_square_spiral.py")


def test_an_example_that_ran_without_a_window_is_refused(tmp_path, monkeypatch):
    monkeypatch.setattr(docsite, "SHOTS", tmp_path)
    (tmp_path / "example-01_square_spiral.txt").write_text("", encoding="utf-8")  # it ran and printed nothing
    with pytest.raises(RuntimeError, match="no screenshot"):
        docsite.example_page(ROOT / "examples" / "01_square_spiral.py")


def test_the_errors_page_shows_every_hint_and_warning_of_the_tables():
    from tavik.classroom import hints
    page = docsite.errors_page()
    for row in list(hints.HINTS) + list(hints.WARNINGS):
        fixed = row.say.split("{")[0] or row.say.split("}")[-1]
        sentence = row.say.format_map(docsite.Placeholder())
        assert sentence in page, row.name
        assert fixed in page, row.name
    assert "{" not in page.replace("{得分}", "")


def test_the_site_ships_the_kits_own_font_first_in_its_text_fonts():
    css = docsite.font_css()
    assert f'url("../{docsite.FONT_URI}")' in css and docsite.FONT_CSS_URI.startswith("stylesheets/")
    assert "--md-text-font-family: \"zkwy\"," in css
    assert pathlib.Path(docsite.kit_font()).stat().st_size > 1_000_000
    assert "stylesheets/font.css" in (ROOT / "mkdocs.yml").read_text(encoding="utf-8")
