"""The wheel from `make wheel`, installed the way a learner installs it.

A brand-new virtual environment outside the checkout, binary packages only and
no compiler on PATH: the wheel has to bring everything, and a learner program
has to draw. Runs when TAVIK_WHEEL names the wheel (`make test-wheel` does).
"""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest
from PIL import Image

WHEEL = os.environ.get("TAVIK_WHEEL", "").strip()
TESTS = pathlib.Path(__file__).resolve().parent
PYTHONS = ("cp311", "cp312", "cp313", "cp314")
COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++", "cmake")

pytestmark = pytest.mark.skipif(not WHEEL, reason="TAVIK_WHEEL names no wheel (make test-wheel builds one)")


class Environment:
    def __init__(self, root):
        self.root = root
        self.venv = root / "venv"
        self.python = self.venv / "bin" / "python"
        # Only Xvfb besides the environment: the kit starts it when there is no display.
        tools = root / "tools"
        tools.mkdir()
        (tools / "Xvfb").symlink_to(shutil.which("Xvfb"))
        self.env = {name: value for name, value in os.environ.items()
                    if name not in ("DISPLAY", "LIBGL_ALWAYS_SOFTWARE", "PYTHONPATH", "VIRTUAL_ENV", "CC", "CXX")}
        self.env["PATH"] = os.pathsep.join([str(self.venv / "bin"), str(tools)])

    def run(self, *arguments, timeout=300, **variables):
        return subprocess.run([str(self.python), *arguments], capture_output=True, text=True,
                              timeout=timeout, cwd=self.root, env={**self.env, **variables})


@pytest.fixture(scope="module")
def environment(tmp_path_factory):
    root = tmp_path_factory.mktemp("wheel")
    assert not root.is_relative_to(TESTS.parent)
    subprocess.run([sys.executable, "-m", "venv", str(root / "venv")], check=True)
    environment = Environment(root)
    install = environment.run("-m", "pip", "install", "--quiet", "--only-binary=:all:", WHEEL, timeout=900)
    assert install.returncode == 0, install.stdout[-3000:] + install.stderr[-3000:]
    return environment


def test_the_wheel_is_a_manylinux_wheel():
    assert "-manylinux_" in pathlib.Path(WHEEL).name


def test_the_environment_has_no_compiler(environment):
    found = environment.run("-c", f"import shutil; print([n for n in {COMPILERS!r} if shutil.which(n)])")
    assert found.stdout.strip() == "[]", found.stderr


def test_the_kit_is_imported_from_the_new_environment(environment):
    result = environment.run("-c", "import tavik.tavik; print(tavik.tavik.__file__)")
    assert result.returncode == 0, result.stderr
    assert pathlib.Path(result.stdout.strip()).is_relative_to(environment.venv)


def test_a_learner_program_draws_headless_through_the_runner(environment):
    screenshot = environment.root / "square.png"
    result = environment.run("-m", "tavik", "run", str(TESTS / "wheel_program.py"),
                             "--frames", "30", "--screenshot", str(screenshot))
    assert result.returncode == 0, result.stderr[-3000:]
    assert "Traceback" not in result.stderr
    assert result.stdout.strip().splitlines()[-1] == str(screenshot)
    image = Image.open(screenshot).convert("RGB")
    assert image.size == (1000, 750)
    raw = image.resize((250, 188)).tobytes()
    pixels = [tuple(raw[index:index + 3]) for index in range(0, len(raw), 3)]
    background = max(set(pixels), key=pixels.count)
    drawn = [pixel for pixel in pixels if sum(abs(a - b) for a, b in zip(pixel, background)) > 60]
    orange = [pixel for pixel in drawn if pixel[0] > 200 and 50 < pixel[1] < 150 and pixel[2] < 60]
    assert len(set(pixels)) > 20 and len(drawn) > 100
    assert orange, "the orange square is not on the screenshot"


# The last case is Windows CI as the smoke check meets it: software rendering,
# output through a pipe in an 8-bit code page.
@pytest.mark.parametrize("renderer, encoding, interface", [
    ([], "utf-8", "OpenGL"), (["--software"], "utf-8", "TinyPanda"), (["--software"], "cp1252", "TinyPanda"),
], ids=["opengl", "software", "software-cp1252"])
def test_the_release_smoke_check_passes(environment, renderer, encoding, interface):
    result = environment.run(str(TESTS / "wheel_smoke.py"), *renderer, PYTHONIOENCODING=encoding)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-3000:]
    assert "orange pixels" in result.stdout
    assert f"画图用的是 {interface}" in result.stdout  # the program drew with the renderer asked for


def test_the_release_builds_python_311_to_314_for_every_desktop():
    """What cibuildwheel would build from pyproject.toml (Windows and macOS
    builds cannot run here; their list of builds can be checked)."""
    expected = {
        "linux": [f"{python}-manylinux_{arch}" for arch in ("x86_64", "aarch64") for python in PYTHONS],
        "windows": [f"{python}-win_amd64" for python in PYTHONS],
        "macos": [f"{python}-macosx_{arch}" for python in PYTHONS for arch in ("x86_64", "arm64")],
    }
    for platform, builds in expected.items():
        listed = subprocess.run([sys.executable, "-m", "cibuildwheel", "--print-build-identifiers",
                                 "--platform", platform], capture_output=True, text=True, timeout=120,
                                cwd=TESTS.parent)
        assert listed.returncode == 0, listed.stderr
        assert sorted(listed.stdout.split()) == sorted(builds), platform
