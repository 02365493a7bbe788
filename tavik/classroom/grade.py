"""Grading a folder: every learner program through the runner, J at a time.

Each learner of the folder (a `.py` file, a sub-folder or a `.zip`; see
`tavik.classroom.assignment`) is one program. Each runs in its own process
on its own screen (see `tavik.classroom.runner`), started from this thread;
the loop below keeps J of them going, watches their clocks and shows
progress. The teacher's solution, when given, runs first the same way.
Then the results are judged (comparison, checks, copies) and go to
OUTDIR/report.json, OUTDIR/index.html and OUTDIR/grades.csv, the pictures
to OUTDIR/images/. `only` re-runs some learners and keeps the others'
results from the report already in OUTDIR.
"""
import io
import json
import os
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from tavik.classroom import report
from tavik.classroom.assignment import (BadArchive, Judging, Submission, class_folder, judge, read_text, safe_stem,
                                        submissions_in, write_grades)
from tavik.classroom.checks import ChecksError, load_checks
from tavik.classroom.compare import DEFAULT_TOLERANCE
from tavik.classroom.records import OK, SKIPPED, Result
from tavik.classroom.runner import (DEFAULT_FRAMES, DEFAULT_TIMEOUT, EXIT_ERROR, CommandEnded, Options, Run, run_guarded,
                                    write_text)

IMAGES = "images"
REPORT = "report.json"
REFERENCE = "参考答案"


class Progress:
    """A bar on a terminal, one line per program elsewhere (CI logs, pipes)."""

    def __init__(self, total, stream=None, width=30):
        self.total, self.done, self.width = total, 0, width
        self.stream = stream or sys.stderr
        self.bar = hasattr(self.stream, "isatty") and self.stream.isatty()

    def finished(self, result):
        self.done += 1
        if self.bar:
            filled = round(self.width * self.done / max(self.total, 1))
            text = f"\r[{'#' * filled}{'.' * (self.width - filled)}] {self.done}/{self.total} {result.file}: {result.label}"
            write_text(self.stream, text.ljust(self.width + 40) + ("\n" if self.done == self.total else ""))
        else:
            write_text(self.stream, f"[{self.done}/{self.total}] {result.file}: {result.label} ({result.seconds:.1f} s)\n")


def relative(path, out):
    if not path:
        return None
    return Path(os.path.relpath(path, out)).as_posix()


@dataclass
class Settings:
    """How every program of one grading runs."""
    frames: int = DEFAULT_FRAMES
    timeout: float = DEFAULT_TIMEOUT
    gif: bool = False
    jobs: int = None
    verbose: bool = False


def options_for(submission, settings, images):
    stem = safe_stem(submission.learner)
    return Options(frames=settings.frames, timeout=settings.timeout, verbose=settings.verbose,
                   cwd=str(submission.folder), screenshot=os.path.join(images, stem + ".png"),
                   gif=os.path.join(images, stem + ".gif") if settings.gif else None)


def not_run(submission):
    return Result(file=submission.shown, learner=submission.learner, status=SKIPPED, hint=submission.problem)


def run_submissions(submissions, out, settings, progress_stream=None):
    """Runs the submissions J at a time; returns learner -> `Result` (paths relative to `out`)."""
    images = os.path.join(out, IMAGES)
    os.makedirs(images, exist_ok=True)
    progress = Progress(len(submissions), progress_stream)
    waiting = list(reversed(submissions))
    running = []
    results = {}
    jobs = settings.jobs or os.cpu_count() or 1
    try:
        while waiting or running:
            while waiting and len(running) < jobs:
                submission = waiting.pop()
                if submission.problem:
                    results[submission.learner] = not_run(submission)
                    progress.finished(results[submission.learner])
                    continue
                run = Run(str(submission.program), options_for(submission, settings, images)).start()
                running.append((submission, run))
            for submission, run in list(running):
                if run.poll():
                    running.remove((submission, run))
                    result = run.result()
                    run.clean()
                    result.file, result.learner = submission.shown, submission.learner
                    result.screenshot = relative(result.screenshot, out)
                    result.gif = relative(result.gif, out)
                    results[submission.learner] = result
                    progress.finished(result)
            if running:
                time.sleep(0.05)
    finally:
        for _, run in running:
            run.stop()
            run.clean()
    return results


def earlier_results(out):
    """The results of the report already in `out`, by learner ({} when there is none)."""
    try:
        with open(os.path.join(out, REPORT), encoding="utf-8") as source:
            rows = json.load(source)
        results = [Result.from_json(row) for row in rows]
    except (OSError, ValueError, TypeError):
        return {}
    return {result.learner or Path(result.file).stem: result for result in results}


def chosen(submissions, only):
    """The submissions named in `only` (by learner or program name), and the names that match none."""
    wanted = set(only)
    picked = [s for s in submissions if s.learner in wanted or s.shown in wanted or s.program.name in wanted]
    known = {name for s in picked for name in (s.learner, s.shown, s.program.name)}
    return picked, sorted(wanted - known)


def reference_result(path, out, settings):
    """The teacher's solution, run like a learner's program; ReferenceFailed when it did not run to its end."""
    solution = Path(path).resolve()
    submission = Submission(REFERENCE, solution, solution.parent, solution.name)
    result = run_submissions([submission], out, settings, progress_stream=io.StringIO())[REFERENCE]
    if result.status != OK:
        raise ReferenceFailed(f"参考答案 {solution.name} 没有正常运行（{result.label}）：\n{result.traceback or result.hint}")
    return result


class ReferenceFailed(Exception):
    """The teacher's solution did not run to its end; the message is for the teacher."""


@dataclass
class Request:
    """One `grade` command: what to grade, how, and how to judge it."""
    folder: str
    out: str
    settings: Settings = field(default_factory=Settings)
    reference: str = None
    checks: str = None
    anywhere: bool = False
    any_size: bool = False
    tolerance: float = DEFAULT_TOLERANCE
    only: list = None


def refusal(request):
    """What is wrong with the request before anything runs (Chinese), or ""."""
    if not os.path.isdir(request.folder) and not (os.path.isfile(request.folder) and request.folder.lower().endswith(".zip")):
        return f"找不到文件夹 {request.folder}。"
    for given, what in ((request.reference, "参考答案"), (request.checks, "检查文件")):
        if given is not None and not os.path.isfile(given):
            return f"找不到{what} {given}。"
    if request.only and not os.path.isfile(os.path.join(request.out, REPORT)):
        return f"{request.out} 里还没有报告：先不加 --only 批改一次。"
    return ""


def grade(request, progress_stream=None):
    """Runs, judges and reports; returns (results, reference result or None)."""
    out = os.path.abspath(request.out)
    judging = Judging(anywhere=request.anywhere, any_size=request.any_size, tolerance=request.tolerance)
    if request.checks:
        judging.checks, judging.checks_path = load_checks(request.checks), os.path.abspath(request.checks)
    if request.reference:
        judging.reference = reference_result(request.reference, out, request.settings)
    submissions = submissions_in(class_folder(request.folder, out), out)
    results = earlier_results(out) if request.only else {}
    to_run = submissions
    if request.only:
        to_run, unknown = chosen(submissions, request.only)
        if unknown:
            raise UnknownLearners("没有这些学生：" + "、".join(unknown) + "。")
    results.update(run_submissions(to_run, out, request.settings, progress_stream))
    ordered = [results[s.learner] for s in submissions if s.learner in results]
    sources = {s.learner: read_text(s.program) for s in submissions if not s.problem}
    judge(ordered, sources, judging, out, os.path.join(out, IMAGES))
    return ordered, judging.reference


class UnknownLearners(Exception):
    """--only named learners the class does not have; the message is for the teacher."""


def grade_command(request):
    """`python -m tavik grade`: returns the exit code (0 once the report is written)."""
    problem = refusal(request)
    if problem:
        write_text(sys.stderr, problem + "\n")
        return EXIT_ERROR
    started = time.monotonic()
    try:
        results, reference = run_guarded(lambda: grade(request), "已停止，没有写报告。\n")
    except CommandEnded as ended:
        return ended.exit_code
    except (ChecksError, ReferenceFailed, UnknownLearners, BadArchive) as trouble:
        write_text(sys.stderr, f"{trouble}\n")
        return EXIT_ERROR
    out = request.out
    settings = {"folder": os.path.abspath(request.folder), "frames": request.settings.frames,
                "timeout": request.settings.timeout, "seconds": round(time.monotonic() - started, 1),
                "reference": reference.screenshot if reference else None,
                "checks": os.path.basename(request.checks) if request.checks else None}
    with open(os.path.join(out, REPORT), "w", encoding="utf-8") as target:
        json.dump([result.to_json() for result in results], target, ensure_ascii=False, indent=1)
    page = report.write_report(results, out, settings)
    write_grades(results, out)
    counts = report.count(results)
    write_text(sys.stderr, f"{counts['total']} 个程序：{counts['ok']} 个完成，{counts['error']} 个出错，"
                           f"{counts['timeout']} 个超时。\n")
    write_text(sys.stdout, page + "\n")
    return 0
