"""Grading a folder: every learner program through the runner, J at a time.

Each learner of the folder (a `.py` file, a sub-folder or a `.zip`; see
`tavik.classroom.assignment`) is one program. Each runs confined, in a
scratch folder of its own, on its own screen (see
`tavik.classroom.runner`), started from this thread; the loop below keeps
J of them going, watches their clocks and shows progress. Symbolic links
and anything but regular files are listed as skipped, never followed. The
teacher's solution (`--reference`) runs first, the same way.

Each result is judged (compared with the solution, put through the
teacher's checks) and written as soon as its program ends: OUTDIR/report.json
and OUTDIR/index.html are rewritten atomically, the pictures go to
OUTDIR/images/, the files a program wrote to OUTDIR/files/NAME/. At the end
copies are flagged in pairs and OUTDIR/grades.csv is written. Run again
with the same folder and OUTDIR, the grader keeps the results of programs
whose source has not changed and runs the others (`again` runs all; `only`
runs the named learners and keeps everyone else's).
"""
import hashlib
import io
import json
import os
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from tavik.classroom import report
from tavik.classroom.assignment import (BadArchive, Judging, Submission, class_folder, flag_copies, judge_one, read_text,
                                        stem_of, submissions_in, write_grades)
from tavik.classroom.checks import ChecksError, load_checks
from tavik.classroom.compare import DEFAULT_TOLERANCE
from tavik.classroom.display import needs_virtual_screen
from tavik.classroom.records import OK, SKIPPED, Result
from tavik.classroom.runner import (DEFAULT_FRAMES, DEFAULT_TIMEOUT, EXIT_USAGE, MAX_SOURCE, CommandEnded, Options,
                                    Run, run_guarded, write_text)
from tavik.classroom.sandbox import Limits
from tavik.classroom.scratch import remove_abandoned
from tavik.classroom.screenpool import ScreenPool
from tavik.classroom.shaders import WarmCache

IMAGES = "images"
FILES = "files"
REPORT = "report.json"
REFERENCE = "参考答案"
POLL = 0.01     # seconds between looks at the running programs: a free slot is filled at once


def digest_of(submission):
    """Of everything the program is made of, so that a change of any of it runs it again."""
    sha = hashlib.sha256()
    root = submission.folder or os.path.dirname(submission.program)
    paths = [submission.program] if submission.folder is None else sorted(
        str(path) for path in Path(submission.folder).rglob("*"))
    for path in paths:
        try:
            if os.path.isfile(path) and not os.path.islink(path):
                sha.update(os.path.relpath(path, root).encode())
                with open(path, "rb") as source:
                    sha.update(hashlib.sha256(source.read(MAX_SOURCE + 1)).digest())
        except OSError:
            continue
    return sha.hexdigest()


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


def write_atomically(path, text):
    """The whole new file or the old one, never half of one: a grader stopped mid-write loses nothing."""
    temporary = f"{path}.{os.getpid()}.tmp"
    with open(temporary, "w", encoding="utf-8") as target:
        target.write(text)
        target.flush()
        os.fsync(target.fileno())
    os.replace(temporary, path)


def earlier_results(out):
    """The results of an earlier run into `out`, by file name ({} when there are none or they cannot be read)."""
    try:
        with open(os.path.join(out, REPORT), encoding="utf-8") as source:
            return {result.file: result for result in map(Result.from_json, json.load(source))}
    except (OSError, ValueError, TypeError):
        return {}


class Report:
    """The report folder, rewritten after each result.

    Each result is turned into JSON once, when it comes: a class's scenes
    make the report large, and encoding all of it again for every program
    would cost more than running the programs.
    """

    def __init__(self, out, settings, submissions):
        self.out, self.settings, self.submissions = out, settings, submissions
        self.results = {}
        self.encoded = {}

    def add(self, result):
        self.results[result.file] = result
        self.encoded.pop(result.file, None)
        self.write()

    def ordered(self):
        return [self.results[s.shown] for s in self.submissions if s.shown in self.results]

    def write(self, changed=False):
        """`changed`: results were changed since they came (all are encoded again)."""
        if changed:
            self.encoded.clear()
        results = self.ordered()
        for result in results:
            if result.file not in self.encoded:
                self.encoded[result.file] = json.dumps(result.to_json(), ensure_ascii=False, indent=1)
        write_atomically(os.path.join(self.out, REPORT),
                         "[\n" + ",\n".join(self.encoded[result.file] for result in results) + "\n]")
        return report.write_report(results, self.out, self.settings)


@dataclass
class Settings:
    """How every program of one grading runs."""
    frames: int = DEFAULT_FRAMES
    timeout: float = DEFAULT_TIMEOUT
    gif: bool = False
    jobs: int = None
    verbose: bool = False
    limits: Limits = field(default_factory=Limits)


def options_for(submission, settings, out, hidden):
    stem = stem_of(submission.shown)
    images = os.path.join(out, IMAGES)
    return Options(frames=settings.frames, timeout=settings.timeout, verbose=settings.verbose, limits=settings.limits,
                   folder=submission.folder and str(submission.folder), screenshot=os.path.join(images, stem + ".png"),
                   gif=os.path.join(images, stem + ".gif") if settings.gif else None,
                   files=os.path.join(out, FILES, stem), hidden=hidden, name=submission.shown)


def not_run(submission):
    return Result(file=submission.shown, learner=submission.learner, status=SKIPPED, hint=submission.problem)


def run_submissions(submissions, out, settings, hidden, finished, progress_stream=None, shaders=None):
    """Runs the submissions J at a time, handing each `Result` (paths relative to `out`) to `finished`.

    `shaders`: a `WarmCache`; the programs started once it is warm get a copy of it. While programs
    run, the next one's virtual screen starts, or an ended program's resets for a later one.
    """
    os.makedirs(os.path.join(out, IMAGES), exist_ok=True)
    progress = Progress(len(submissions), progress_stream)
    waiting = list(reversed(submissions))
    running = []
    jobs = settings.jobs or os.cpu_count() or 1
    screens = ScreenPool(jobs + 1) if needs_virtual_screen() else None
    if screens is not None:
        screens.prepare(min(jobs, len(waiting)))    # the first programs' screens start side by side

    def done(submission, result):
        result.learner = submission.learner
        finished(submission, result)
        progress.finished(result)

    def start_while_room():
        while waiting and len(running) < jobs:
            submission = waiting.pop()
            if submission.problem:
                done(submission, not_run(submission))
                continue
            options = options_for(submission, settings, out, hidden)
            options.shaders = shaders and shaders.folder()
            options.screens = screens
            running.append((submission, Run(str(submission.program), options).start()))

    def collect(submission, run):
        try:
            result = run.result()
        finally:
            run.clean()
        result.screenshot = relative(result.screenshot, out)
        result.gif = relative(result.gif, out)
        result.files = [relative(path, out) for path in result.files]
        done(submission, result)

    ended = []
    try:
        start_while_room()
        while waiting or running:
            ended = [(submission, run) for submission, run in running if run.poll()]
            for pair in ended:
                running.remove(pair)
            start_while_room()      # before the ended programs' results are written: no core waits for the grader
            while ended:
                collect(*ended.pop(0))
            if screens is not None and waiting:
                screens.prepare()   # once the ended programs' screens are back (see VirtualScreen.launch)
            if running:
                time.sleep(POLL)
    finally:
        for _, run in running:
            run.stop()
        for _, run in running + ended:
            run.clean()
        if screens is not None:
            screens.close()


def report_folder_trouble(out):
    """Why `out` cannot hold the report, as one Chinese line, or None."""
    if os.path.exists(out) and not os.path.isdir(out):
        return f"报告的位置 {out} 已经是一个文件，不是文件夹：请换一个 --out。"
    try:
        os.makedirs(os.path.join(out, IMAGES), exist_ok=True)
        probe = os.path.join(out, f".tavik-{os.getpid()}.tmp")
        with open(probe, "w", encoding="utf-8"):
            pass
        os.remove(probe)
    except OSError as trouble:
        return f"不能在 {out} 写报告（{trouble.strerror or trouble}）：请换一个 --out。"
    return None


# ---- one `grade` command --------------------------------------------------------------------

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
    again: bool = False


class Refused(Exception):
    """The teacher's request cannot be carried out; the message (Chinese) says why."""


def refusal(request):
    """What is wrong with the request before anything runs (Chinese), or ""."""
    folder = request.folder
    if not os.path.isdir(folder) and not (os.path.isfile(folder) and folder.lower().endswith(".zip")):
        return f"找不到文件夹 {folder}。"
    for given, what in ((request.reference, "参考答案"), (request.checks, "检查文件")):
        if given is not None and not os.path.isfile(given):
            return f"找不到{what} {given}。"
    trouble = report_folder_trouble(os.path.abspath(request.out))
    if trouble is not None:
        return trouble
    if request.only and not os.path.isfile(os.path.join(request.out, REPORT)):
        return f"{request.out} 里还没有报告：先不加 --only 批改一次。"
    return ""


def reference_result(path, out, settings, hidden, shaders):
    """The teacher's solution, run like a learner's program; Refused when it did not run to its end."""
    solution = Path(path).resolve()
    submission = Submission(REFERENCE, solution, None, f"{REFERENCE}/{solution.name}")   # its own picture names
    found = []
    run_submissions([submission], out, settings, hidden, lambda _, result: found.append(result), io.StringIO(),
                    shaders)
    result = found[0]
    if result.status != OK:
        raise Refused(f"参考答案 {solution.name} 没有正常运行（{result.label}）：\n{result.traceback or result.hint}")
    return result


def chosen(submissions, only):
    """The submissions named in `only` (by learner or program name); Refused for a name that matches none."""
    wanted = set(only)
    picked = [s for s in submissions if s.learner in wanted or s.shown in wanted]
    unknown = wanted - {name for s in picked for name in (s.learner, s.shown)}
    if unknown:
        raise Refused("没有这些学生：" + "、".join(sorted(unknown)) + "。")
    return picked


def judging_for(request, out, hidden, shaders):
    judging = Judging(anywhere=request.anywhere, any_size=request.any_size, tolerance=request.tolerance)
    if request.checks:
        try:
            judging.checks = load_checks(request.checks)
        except ChecksError as trouble:
            raise Refused(str(trouble)) from None
        judging.checks_path = os.path.abspath(request.checks)
    if request.reference:
        judging.reference = reference_result(request.reference, out, request.settings, hidden, shaders)
    return judging


def grade(request, settings_shown, progress_stream=None):
    """Runs, judges and reports; returns the results in the class's order."""
    with WarmCache() as shaders:
        out = os.path.abspath(request.out)
        try:
            folder = class_folder(request.folder, out)
        except BadArchive as trouble:
            raise Refused(str(trouble)) from None
        hidden = [os.path.abspath(request.folder), str(folder), out]
        judging = judging_for(request, out, hidden, shaders)
        if judging.reference is not None:
            settings_shown["reference"] = judging.reference.screenshot
        submissions = submissions_in(folder, out)
        book = Report(out, settings_shown, submissions)
        kept = {} if request.again else earlier_results(out)
        forced = {s.shown for s in chosen(submissions, request.only)} if request.only else None
        waiting, digests = [], {}
        for submission in submissions:
            digests[submission.shown] = digest_of(submission)
            earlier = kept.get(submission.shown)
            if earlier is not None and (submission.shown not in forced if forced is not None
                                        else earlier.digest == digests[submission.shown]):
                earlier.learner = submission.learner
                judge_one(earlier, judging, out)
                book.results[submission.shown] = earlier
            elif forced is None or submission.shown in forced:
                waiting.append(submission)
        book.write()

        def finished(submission, result):
            result.digest = digests[submission.shown]
            judge_one(result, judging, out)
            book.add(result)
        run_submissions(waiting, out, request.settings, hidden, finished, progress_stream, shaders)
        results = book.ordered()
        flag_copies(results, {s.learner: read_text(s.program) for s in submissions if not s.problem})
        book.write(changed=True)
        write_grades(results, out)
        return results


def grade_command(request):
    """`python -m tavik grade`: returns the exit code (0 once the report is written)."""
    problem = refusal(request)
    if problem:
        write_text(sys.stderr, problem + "\n")
        return EXIT_USAGE
    remove_abandoned()
    started = time.monotonic()
    settings = {"folder": os.path.abspath(request.folder), "frames": request.settings.frames,
                "timeout": request.settings.timeout}
    try:
        results = run_guarded(lambda: grade(request, settings),
                              "已停止。做完的程序的结果已经写进报告；同样的命令再运行一次，会接着批改剩下的。\n")
    except CommandEnded as ended:
        return ended.exit_code
    except Refused as refused:
        write_text(sys.stderr, f"{refused}\n")
        return EXIT_USAGE
    settings["seconds"] = round(time.monotonic() - started, 1)
    page = report.write_report(results, request.out, settings)
    counts = report.count(results)
    skipped = f"，{counts[SKIPPED]} 个跳过" if counts[SKIPPED] else ""
    write_text(sys.stderr, f"{counts['total']} 个程序：{counts['ok']} 个完成，{counts['error']} 个出错，"
                           f"{counts['timeout']} 个超时，{counts['limit']} 个超出限制{skipped}。\n")
    write_text(sys.stdout, page + "\n")
    return 0
