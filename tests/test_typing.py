"""Editors: every example and every program of the docs type-checks clean, as a learner's editor sees it.

basedpyright is pyright with its own Node.js inside the wheel, so it runs without fetching anything;
its "basic" mode is the one editors (Pylance, pyright) use by default.
"""
import json
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import docsite  # noqa: E402


def basedpyright():
    found = shutil.which("basedpyright", path=str(pathlib.Path(sys.executable).parent))
    assert found, "basedpyright comes with the test extra: pip install '.[test]'"
    return found


def check(folder, files):
    config = folder / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "basic", "pythonVersion": "3.11"}), encoding="utf-8")
    result = subprocess.run([basedpyright(), "--outputjson", "--pythonpath", sys.executable, "-p", str(config),
                             *map(str, files)], capture_output=True, text=True, timeout=600, cwd=folder)
    report = json.loads(result.stdout)
    return [f"{pathlib.Path(item['file']).name}:{item['range']['start']['line'] + 1}: {item['message']}"
            for item in report["generalDiagnostics"] if item["severity"] == "error"]


@pytest.fixture(scope="module")
def programs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("typed")
    files = []
    for program_id, path, source in docsite.programs():
        target = folder / (program_id.replace("-", "_") + ".py")
        target.write_text(source if source is not None else path.read_text(encoding="utf-8"), encoding="utf-8")
        files.append(target)
    return folder, files


def test_every_example_and_docs_program_has_no_type_error(programs):
    folder, files = programs
    assert len(files) > 20
    assert check(folder, files) == []


def test_the_checker_does_find_a_learners_type_error(tmp_path):
    program = tmp_path / "wrong.py"
    program.write_text("from tavik.tavik import *\napp = TAVIK()\npen = Pen(app)\npen.forward('10')\n",
                       encoding="utf-8")
    errors = check(tmp_path, [program])
    assert len(errors) == 1 and errors[0].startswith("wrong.py:4:")
