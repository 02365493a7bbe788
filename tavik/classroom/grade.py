"""Grading a folder: every learner program through the runner, J at a time.

Each `.py` file of the folder is one learner's program. Each runs in its own
process on its own screen (see `tavik.classroom.runner`), started from this thread; the
loop below keeps J of them going, watches their clocks and shows progress.
The results go to OUTDIR/report.json and OUTDIR/index.html, the pictures to
OUTDIR/images/.
"""
import json
import os
import sys
import time
from pathlib import Path

from tavik.classroom import report
from tavik.classroom.runner import (DEFAULT_FRAMES, DEFAULT_TIMEOUT, EXIT_ERROR, CommandEnded, Options, Run, run_guarded,
                          write_text)

IMAGES = "images"


def programs_in(folder):
    return sorted((path for path in Path(folder).glob("*.py") if path.is_file()), key=lambda path: path.name)


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


def grade_folder(folder, out, frames=None, timeout=DEFAULT_TIMEOUT, gif=False, jobs=None, verbose=False,
                 progress_stream=None):
    """Runs every program of `folder`; returns their `Result`s (paths relative to `out`)."""
    frames = DEFAULT_FRAMES if frames is None else frames
    jobs = jobs or os.cpu_count() or 1
    folder, out = os.path.abspath(folder), os.path.abspath(out)
    images = os.path.join(out, IMAGES)
    os.makedirs(images, exist_ok=True)
    scripts = programs_in(folder)
    progress = Progress(len(scripts), progress_stream)
    waiting = list(reversed(scripts))
    running = []
    results = {}
    try:
        while waiting or running:
            while waiting and len(running) < jobs:
                script = waiting.pop()
                options = Options(frames=frames, timeout=timeout, verbose=verbose, cwd=folder,
                                  screenshot=os.path.join(images, script.stem + ".png"),
                                  gif=os.path.join(images, script.stem + ".gif") if gif else None)
                running.append(Run(str(script), options).start())
            for run in list(running):
                if run.poll():
                    running.remove(run)
                    result = run.result()
                    run.clean()
                    result.screenshot = relative(result.screenshot, out)
                    result.gif = relative(result.gif, out)
                    results[run.name] = result
                    progress.finished(result)
            if running:
                time.sleep(0.05)
    finally:
        for run in running:
            run.stop()
            run.clean()
    return [results[script.name] for script in scripts if script.name in results]


def grade_command(folder, out, frames=None, timeout=DEFAULT_TIMEOUT, gif=False, jobs=None, verbose=False):
    """`python -m tavik grade`: returns the exit code (0 once the report is written)."""
    if not os.path.isdir(folder):
        write_text(sys.stderr, f"找不到文件夹 {folder}。\n")
        return EXIT_ERROR
    started = time.monotonic()
    try:
        results = run_guarded(
            lambda: grade_folder(folder, out, frames=frames, timeout=timeout, gif=gif, jobs=jobs, verbose=verbose),
            "已停止，没有写报告。\n")
    except CommandEnded as ended:
        return ended.exit_code
    settings = {"folder": os.path.abspath(folder), "frames": DEFAULT_FRAMES if frames is None else frames,
                "timeout": timeout, "seconds": round(time.monotonic() - started, 1)}
    with open(os.path.join(out, "report.json"), "w", encoding="utf-8") as target:
        json.dump([result.to_json() for result in results], target, ensure_ascii=False, indent=1)
    page = report.write_report(results, out, settings)
    counts = report.count(results)
    write_text(sys.stderr, f"{counts['total']} 个程序：{counts['ok']} 个完成，{counts['error']} 个出错，"
                           f"{counts['timeout']} 个超时。\n")
    write_text(sys.stdout, page + "\n")
    return 0
