#!/usr/bin/env python3
"""Build docs/report.png, the picture of a grading report in the README.

A small sample class (three of the examples and three programs with the
usual slips) is graded with `python -m tavik grade`, the page is opened in
headless chromium, and the top of it is saved, scaled down. The docs build
(tools/docsite.py) pictures the teacher page's report the same way, from
the docs' own class.

    .venv/bin/python tools/make_report_picture.py [-o docs/report.png]
"""
import argparse
import pathlib
import shutil
import subprocess
import sys
import tempfile

from PIL import Image

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ["01_square_spiral.py", "02_star_3d.py", "06_maze.py"]
SLIPS = {
    "小明.py": "from tavik.tavik import *\napp = TAVIK()\npen = Pen(app)\npen.forward(\"10\", True)\napp.run()\n",
    "小红.py": "from tavik.tavik import *\napp = TAVIK()\npen = Pen(app)\npen.forward(10, True)\n"
              "app.update = 5\napp.run()\n",
    "小刚.py": "from tavik.tavik import *\napp = TAVIK()\npen = Pen(app)\nfor i in range(4):\n"
              "    pen.forward(8, True)\n    pen.dLeft(90)\napp.run()\n",
}


def browser_path():
    return shutil.which("chromium") or shutil.which("chromium-browser")


def picture_of_page(page, output, width=1000, window=(1400, 1500)):
    """The top of the report page `page` as headless chromium shows it, scaled to `width`, saved to `output`."""
    browser = browser_path()
    if browser is None:
        raise FileNotFoundError("chromium is needed to picture the report: apt-get install chromium")
    with tempfile.TemporaryDirectory() as temporary:
        shot = pathlib.Path(temporary) / "page.png"
        subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                        f"--user-data-dir={pathlib.Path(temporary) / 'profile'}",
                        f"--window-size={window[0]},{window[1]}", f"--screenshot={shot}",
                        pathlib.Path(page).as_uri()], check=True, capture_output=True)
        with Image.open(shot) as picture:
            height = round(picture.height * width / picture.width)
            scaled = picture.convert("RGB").resize((width, height), Image.LANCZOS)
    scaled.quantize(colors=256, method=Image.MEDIANCUT, dither=Image.NONE).save(output, optimize=True)
    return output


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", default=str(ROOT / "docs" / "report.png"))
    parser.add_argument("--width", type=int, default=1000, help="width of the saved picture")
    arguments = parser.parse_args()
    if browser_path() is None:
        sys.exit("chromium is needed: apt-get install chromium")
    with tempfile.TemporaryDirectory() as temporary:
        folder = pathlib.Path(temporary) / "四年级二班"
        folder.mkdir()
        for name in EXAMPLES:
            shutil.copy(ROOT / "examples" / name, folder / name)
        for name, source in SLIPS.items():
            (folder / name).write_text(source, encoding="utf-8")
        out = pathlib.Path(temporary) / "report"
        subprocess.run([sys.executable, "-P", "-m", "tavik", "grade", str(folder), "--out", str(out),
                        "--frames", "90"], check=True, cwd=temporary)
        picture_of_page(out / "index.html", arguments.output, arguments.width)
    print(arguments.output)


if __name__ == "__main__":
    main()
