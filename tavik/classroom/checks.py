"""The teacher's own checks over each learner's recorded scene.

A checks file is a small Python file of functions, each marked with
`check`, taking the learner's `Scene` and returning whether it passes:

    from tavik.classroom.checks import check

    @check(points=2, message="至少画 12 条线")
    def enough_lines(scene):
        return len(scene.segments) >= 12

The checks run in the grader, in the order they are written, once per
learner. The file is the teacher's code: if it cannot be loaded, or a check
raises, that is the teacher's error, shown as such and never counted
against the learner.
"""
import importlib.util
import os
import sys
import traceback
from dataclasses import dataclass

from tavik.classroom.scene import Scene

MARK = "_tavik_check"


class ChecksError(Exception):
    """The teacher's checks file could not be loaded or holds no check."""


@dataclass
class CheckResult:
    name: str
    message: str
    points: float
    passed: bool
    earned: float
    error: str = ""             # the teacher's check raised: its error, and the check is not counted


@dataclass
class CheckTotal:
    earned: float
    possible: float


def check(points=1, message=""):
    """Marks a function as one check worth `points`, described by `message` (shown to the teacher)."""
    if isinstance(points, bool) or not isinstance(points, (int, float)) or points < 0:
        raise TypeError("check(points=...) takes a number of at least 0")

    def mark(function):
        setattr(function, MARK, (points, str(message or function.__name__)))
        return function
    return mark


def load_checks(path):
    """The checks of the file at `path`, in the order they are written; ChecksError with the reason."""
    name = "tavik_teacher_checks"
    try:
        found = importlib.util.spec_from_file_location(name, path)
        if found is None:
            raise ChecksError(f"{path} 不是一个 Python 文件。")
        module = importlib.util.module_from_spec(found)
        sys.modules[name] = module
        try:
            found.loader.exec_module(module)
        finally:
            sys.modules.pop(name, None)
    except ChecksError:
        raise
    except BaseException as error:   # the teacher's file: whatever it raised, even SystemExit, is its error
        if isinstance(error, KeyboardInterrupt):
            raise
        raise ChecksError("检查文件出错了：\n" + teacher_traceback(error, path)) from error
    found = [value for value in vars(module).values() if callable(value) and hasattr(value, MARK)]
    if not found:
        raise ChecksError(f"{os.path.basename(path)} 里没有检查：在函数前面写 @check(points=..., message=...)。")
    return sorted(found, key=lambda function: getattr(getattr(function, "__code__", None), "co_firstlineno", 0))


def teacher_traceback(error, path):
    """The traceback from the checks file's own frames on."""
    frames = traceback.extract_tb(error.__traceback__)
    own = [frame for frame in frames if os.path.abspath(frame.filename) == os.path.abspath(path)]
    lines = traceback.format_list(own or frames[-1:]) + traceback.format_exception_only(type(error), error)
    return "".join(lines).rstrip()


def run_checks(checks, scene_data, path=""):
    """Each check on one learner's scene record: (list of CheckResult, CheckTotal)."""
    results = []
    for function in checks:
        points, message = getattr(function, MARK)
        scene = Scene.from_data(scene_data)     # fresh for each check: one cannot change what the next sees
        try:
            passed = bool(function(scene))
        except Exception as error:
            results.append(CheckResult(function.__name__, message, points, False, 0,
                                       teacher_traceback(error, path) if path else repr(error)))
            continue
        results.append(CheckResult(function.__name__, message, points, passed, points if passed else 0))
    counted = [result for result in results if not result.error]
    return results, CheckTotal(sum(result.earned for result in counted), sum(result.points for result in counted))
