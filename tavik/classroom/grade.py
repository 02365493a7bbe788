"""Grading a folder: every learner program through the runner, J at a time.

Each `.py` file of the folder is one learner's program; a sub-folder is one
learner's project, run from its `main.py` (or its only `.py` file). Each runs
confined, in a scratch folder of its own, on its own screen (see
`tavik.classroom.runner`), started from this thread; the loop below keeps J
of them going, watches their clocks and shows progress. Symbolic links and
anything but regular files are listed as skipped, never followed.

Each result is written as soon as its program ends: OUTDIR/report.json and
OUTDIR/index.html are rewritten atomically, the pictures go to
OUTDIR/images/, the files a program wrote to OUTDIR/files/NAME/. Run again
with the same folder and OUTDIR, the grader keeps the results of programs
whose source has not changed and runs the others (`again` runs all).
"""
import hashlib
import json
import os
import sys
import time
from pathlib import Path

from tavik.classroom import report
from tavik.classroom.records import SKIPPED, Result
from tavik.classroom.runner import (DEFAULT_FRAMES, DEFAULT_TIMEOUT, EXIT_USAGE, MAX_SOURCE, CommandEnded, Options,
                                    Run, run_guarded, write_text)
from tavik.classroom.sandbox import Limits
from tavik.classroom.scratch import remove_abandoned

IMAGES = "images"
FILES = "files"
REPORT = "report.json"


class Program:
    """One learner's program in the class folder: its file, and its sub-folder when it has one."""

    def __init__(self, name, path, folder=None):
        self.name, self.path, self.folder = name, path, folder

    @property
    def stem(self):
        return self.name.replace("/", "_").rsplit(".", 1)[0]

    def digest(self):
        """Of everything the program is made of, so that a change of any of it runs it again."""
        sha = hashlib.sha256()
        paths = [self.path] if self.folder is None else sorted(str(path) for path in Path(self.folder).rglob("*"))
        for path in paths:
            try:
                if os.path.isfile(path) and not os.path.islink(path):
                    sha.update(os.path.relpath(path, self.folder or os.path.dirname(self.path)).encode())
                    with open(path, "rb") as source:
                        sha.update(hashlib.sha256(source.read(MAX_SOURCE + 1)).digest())
            except OSError:
                continue
        return sha.hexdigest()


def programs_in(folder):
    """The programs of a class folder, in name order."""
    found = []
    for entry in sorted(os.scandir(folder), key=lambda item: item.name):
        if entry.name.startswith("."):
            continue
        if entry.name.endswith(".py") or entry.is_symlink():     # a link is listed as skipped, never followed
            found.append(Program(entry.name, entry.path))
            continue
        if entry.is_dir(follow_symlinks=False):
            main = project_main(entry.path)
            if main is not None:
                found.append(Program(entry.name + "/" + os.path.basename(main), main, folder=entry.path))
    return found


def project_main(folder):
    """The program of a student's sub-folder: main.py, or its only .py file; None when there is none."""
    try:
        scripts = sorted(entry.name for entry in os.scandir(folder) if entry.name.endswith(".py"))
    except OSError:
        return None
    if "main.py" in scripts:
        return os.path.join(folder, "main.py")
    return os.path.join(folder, scripts[0]) if len(scripts) == 1 else None


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
    """The report folder, rewritten after each result."""

    def __init__(self, out, settings, programs):
        self.out, self.settings, self.programs = out, settings, programs
        self.results = {}

    def add(self, result):
        self.results[result.file] = result
        self.write()

    def ordered(self):
        return [self.results[program.name] for program in self.programs if program.name in self.results]

    def write(self):
        results = self.ordered()
        write_atomically(os.path.join(self.out, REPORT),
                         json.dumps([result.to_json() for result in results], ensure_ascii=False, indent=1))
        return report.write_report(results, self.out, self.settings)


def options_for(program, folder, out, frames, timeout, gif, verbose, limits):
    stem = program.stem
    images = os.path.join(out, IMAGES)
    return Options(frames=frames, timeout=timeout, verbose=verbose, limits=limits, folder=program.folder,
                   screenshot=os.path.join(images, stem + ".png"), gif=os.path.join(images, stem + ".gif") if gif else None,
                   files=os.path.join(out, FILES, stem), hidden=[folder, out], name=program.name)


def grade_folder(folder, out, frames=None, timeout=DEFAULT_TIMEOUT, gif=False, jobs=None, verbose=False,
                 progress_stream=None, limits=None, again=False, settings=None):
    """Runs every program of `folder` not graded yet in `out`; returns their `Result`s (paths relative to `out`)."""
    frames = DEFAULT_FRAMES if frames is None else frames
    jobs = jobs or os.cpu_count() or 1
    folder, out = os.path.abspath(folder), os.path.abspath(out)
    limits = limits or Limits()
    os.makedirs(os.path.join(out, IMAGES), exist_ok=True)
    programs = programs_in(folder)
    book = Report(out, settings or {"folder": folder, "frames": frames, "timeout": timeout}, programs)
    kept = {} if again else earlier_results(out)
    waiting = []
    for program in programs:
        digest = program.digest()
        earlier = kept.get(program.name)
        if earlier is not None and earlier.digest == digest:
            book.results[program.name] = earlier
        else:
            waiting.append((program, digest))
    progress = Progress(len(waiting), progress_stream)
    book.write()
    waiting.reverse()
    running = []
    try:
        while waiting or running:
            while waiting and len(running) < jobs:
                program, digest = waiting.pop()
                options = options_for(program, folder, out, frames, timeout, gif, verbose, limits)
                run = Run(program.path, options)
                run.digest = digest
                running.append(run.start())
            for run in list(running):
                if run.poll():
                    running.remove(run)
                    result = run.result()
                    run.clean()
                    result.digest = run.digest
                    result.screenshot = relative(result.screenshot, out)
                    result.gif = relative(result.gif, out)
                    result.files = [relative(path, out) for path in result.files]
                    book.add(result)
                    progress.finished(result)
            if running:
                time.sleep(0.05)
    finally:
        for run in running:
            run.stop()
            run.clean()
    return book.ordered()


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


def grade_command(folder, out, frames=None, timeout=DEFAULT_TIMEOUT, gif=False, jobs=None, verbose=False, limits=None,
                  again=False):
    """`python -m tavik grade`: returns the exit code (0 once the report is written)."""
    if not os.path.isdir(folder):
        write_text(sys.stderr, f"找不到文件夹 {folder}。\n")
        return EXIT_USAGE
    out = os.path.abspath(out)
    trouble = report_folder_trouble(out)
    if trouble is not None:
        write_text(sys.stderr, trouble + "\n")
        return EXIT_USAGE
    remove_abandoned()
    started = time.monotonic()
    settings = {"folder": os.path.abspath(folder), "frames": DEFAULT_FRAMES if frames is None else frames,
                "timeout": timeout}
    try:
        results = run_guarded(
            lambda: grade_folder(folder, out, frames=frames, timeout=timeout, gif=gif, jobs=jobs, verbose=verbose,
                                 limits=limits, again=again, settings=settings),
            "已停止。做完的程序的结果已经写进报告；同样的命令再运行一次，会接着批改剩下的。\n")
    except CommandEnded as ended:
        return ended.exit_code
    settings["seconds"] = round(time.monotonic() - started, 1)
    page = report.write_report(results, out, settings)
    counts = report.count(results)
    skipped = f"，{counts[SKIPPED]} 个跳过" if counts[SKIPPED] else ""
    write_text(sys.stderr, f"{counts['total']} 个程序：{counts['ok']} 个完成，{counts['error']} 个出错，"
                           f"{counts['timeout']} 个超时，{counts['limit']} 个超出限制{skipped}。\n")
    write_text(sys.stdout, page + "\n")
    return 0
