"""The kit's main program.

    python -m tavik [--frames N] [--screenshot OUT.png]
        the showcase
    python -m tavik run SCRIPT.py [--frames N] [--screenshot OUT.png] [--gif OUT.gif] [--timeout S] [--verbose]
        one learner program, in its own process, isolated, with a time limit
    python -m tavik grade DIR --out OUTDIR [--frames N] [--timeout S] [--gif] [--jobs J] [--again]
                          [--reference SOLUTION.py [--anywhere] [--any-size]] [--checks CHECKS.py] [--only NAME ...]
        every program in a folder (or .zip), with a report page and a grade list for the teacher
    both take the limits of each program: --memory SIZE --cpu S --processes N --file-size SIZE --max-output SIZE
    python -m tavik watch SCRIPT.py
        one program, run again each time its file is saved

With a display the window opens and runs until it is closed (or for N
frames when --frames is given). Without one, the program runs on a virtual
screen for N frames (default 120), a screenshot is saved and its path printed.
"""
import argparse
import math
import os
import sys

from tavik.classroom.runner import DEFAULT_TIMEOUT, EXIT_USAGE, SHORTEST_TIMEOUT
from tavik.classroom.sandbox import KB, MB, Limits, parse_size, size_text

DEFAULT_LIMITS = Limits()


class BadSetting(ValueError):
    """A setting the teacher typed that cannot be used; the message is one Chinese line."""


def positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def checked_timeout(text):
    """Seconds per program: 0 (no limit) or a finite number of at least SHORTEST_TIMEOUT."""
    try:
        value = float(text)
    except ValueError:
        raise BadSetting(f"--timeout {text}：要写秒数，例如 --timeout 30（0 表示不限时间）。") from None
    if not math.isfinite(value):
        raise BadSetting(f"--timeout {text}：要写一个有限的秒数，例如 30；不限时间请写 0。")
    if value < 0 or 0 < value < SHORTEST_TIMEOUT:
        raise BadSetting(f"--timeout {text}：至少要 {SHORTEST_TIMEOUT:g} 秒，太短的话程序还没开始就被停下了"
                         f"（0 表示不限时间）。")
    return value


def share(text):
    value = float(text)
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError("must be between 0 and 1")
    return value


def checked_size(option, text, smallest):
    value = parse_size(text)
    if value is None:
        raise BadSetting(f"{option} {text}：要写大小，例如 2GB、512MB（只写数字表示 MB）。")
    if value < smallest:
        raise BadSetting(f"{option} {text}：至少要 {size_text(smallest)}。")
    return value


def checked_count(option, text, smallest):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value) or value != int(value) or value < smallest:
        raise BadSetting(f"{option} {text}：要写不小于 {smallest} 的整数。")
    return int(value)


def checked_limits(arguments):
    return Limits(memory=checked_size("--memory", arguments.memory, 256 * MB),
                  cpu=checked_count("--cpu", arguments.cpu, 1),
                  processes=checked_count("--processes", arguments.processes, 16),
                  file_size=checked_size("--file-size", arguments.file_size, 64 * KB),
                  output=checked_size("--max-output", arguments.max_output, 1 * KB))


def add_limit_options(command):
    command.add_argument("--memory", default=size_text(DEFAULT_LIMITS.memory).replace(" ", ""), metavar="SIZE",
                         help="memory per program, e.g. 2GB or 512MB (default %(default)s)")
    command.add_argument("--cpu", default=str(DEFAULT_LIMITS.cpu), metavar="S",
                         help="CPU seconds per program, all its threads together (default %(default)s)")
    command.add_argument("--processes", default=str(DEFAULT_LIMITS.processes), metavar="N",
                         help="processes and threads per program (default %(default)s)")
    command.add_argument("--file-size", default=size_text(DEFAULT_LIMITS.file_size).replace(" ", ""), metavar="SIZE",
                         help="largest file a program may write (default %(default)s)")
    command.add_argument("--max-output", default=size_text(DEFAULT_LIMITS.output).replace(" ", ""), metavar="SIZE",
                         help="output kept per program, its beginning and its end (default %(default)s)")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="python -m tavik", description="Run the tavik showcase or a program.")
    parser.add_argument("--frames", type=positive, default=None, metavar="N",
                        help="run this many frames, save a screenshot and exit")
    parser.add_argument("--screenshot", default=None, metavar="OUT.png", help="where to save the screenshot")
    commands = parser.add_subparsers(dest="command")

    run = commands.add_parser("run", help="run a learner's program in its own process")
    run.add_argument("script", help="the program to run")
    run.add_argument("--frames", type=positive, default=None, dest="run_frames", metavar="N",
                     help="run this many frames, save a screenshot and exit (default without a display: 120)")
    run.add_argument("--screenshot", default=None, dest="run_screenshot", metavar="OUT.png", help="where to save the screenshot")
    run.add_argument("--gif", default=None, metavar="OUT.gif", help="record the frames into this animated GIF")
    run.add_argument("--gif-every", type=positive, default=None, metavar="K",
                     help="keep every k-th frame in the GIF (default: enough to keep it small)")
    run.add_argument("--timeout", default=str(DEFAULT_TIMEOUT), metavar="S",
                     help=f"stop the program after this many seconds (default {DEFAULT_TIMEOUT:g}; 0: no limit)")
    run.add_argument("--verbose", action="store_true", help="also show the engine's own notices")
    add_limit_options(run)
    run.add_argument("arguments", nargs="*", help="arguments passed on to the program (after --)")

    grade = commands.add_parser("grade", help="run every program in a folder and write a report")
    grade.add_argument("folder", help="the folder with one .py file per learner")
    grade.add_argument("--out", required=True, metavar="OUTDIR", help="where to write report.json, index.html and the pictures")
    grade.add_argument("--frames", type=positive, default=None, dest="grade_frames", metavar="N",
                       help="frames per program (default 120)")
    grade.add_argument("--timeout", default=str(DEFAULT_TIMEOUT), metavar="S",
                       help=f"seconds per program (default {DEFAULT_TIMEOUT:g}; 0: no limit)")
    grade.add_argument("--gif", action="store_true", help="record an animated GIF of every program")
    grade.add_argument("--jobs", type=positive, default=None, metavar="J", help="programs at a time (default: number of cores)")
    grade.add_argument("--verbose", action="store_true", help="keep the engine's own notices in the report")
    grade.add_argument("--again", action="store_true",
                       help="run every program again (default: keep the results of unchanged programs in OUTDIR)")
    add_limit_options(grade)
    grade.add_argument("--reference", metavar="SOLUTION.py", help="the teacher's solution: compare every scene with its scene")
    grade.add_argument("--anywhere", action="store_true", help="with --reference: the drawing may sit anywhere in space")
    grade.add_argument("--any-size", action="store_true", help="with --reference: the drawing may have any size")
    grade.add_argument("--tolerance", type=share, default=None, metavar="T",
                       help="with --reference: how close lines must be, as a share of the drawing's size (default 0.02)")
    grade.add_argument("--checks", metavar="CHECKS.py", help="the teacher's checks over each recorded scene")
    grade.add_argument("--only", nargs="+", metavar="NAME", help="re-run only these learners and update the report in OUTDIR")

    watch = commands.add_parser("watch", help="run a program again each time its file is saved")
    watch.add_argument("script", help="the program to run")

    arguments = parser.parse_args(argv)
    if arguments.command == "run":
        arguments.frames = arguments.run_frames if arguments.run_frames is not None else arguments.frames
        arguments.screenshot = arguments.run_screenshot or arguments.screenshot
    elif arguments.command == "grade":
        arguments.frames = arguments.grade_frames if arguments.grade_frames is not None else arguments.frames
    return arguments


def main(argv=None):
    arguments = parse_arguments(sys.argv[1:] if argv is None else argv)
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.reconfigure(errors="backslashreplace")
        except (AttributeError, ValueError):
            pass
    if arguments.command in ("run", "grade"):
        try:
            timeout, limits = checked_timeout(arguments.timeout), checked_limits(arguments)
        except BadSetting as bad:
            sys.stderr.write(f"{bad}\n")
            return EXIT_USAGE
    if arguments.command == "run":
        from tavik.classroom.runner import run_command
        return run_command(arguments.script, frames=arguments.frames, screenshot=arguments.screenshot,
                           gif=arguments.gif, gif_every=arguments.gif_every, timeout=timeout,
                           verbose=arguments.verbose, arguments=arguments.arguments, limits=limits)
    if arguments.command == "grade":
        from tavik.classroom.grade import Request, Settings, grade_command
        from tavik.classroom.runner import DEFAULT_FRAMES
        settings = Settings(DEFAULT_FRAMES if arguments.frames is None else arguments.frames, timeout,
                            arguments.gif, arguments.jobs, arguments.verbose, limits)
        request = Request(arguments.folder, arguments.out, settings, reference=arguments.reference,
                          checks=arguments.checks, anywhere=arguments.anywhere, any_size=arguments.any_size,
                          only=arguments.only, again=arguments.again)
        if arguments.tolerance is not None:
            request.tolerance = arguments.tolerance
        return grade_command(request)
    if arguments.command == "watch":
        from tavik.classroom.watch import watch_command
        return watch_command(arguments.script)
    from tavik.showcase import run_showcase
    return run_showcase(arguments.frames, arguments.screenshot or os.path.join("screenshots", "showcase.png"))


if __name__ == "__main__":
    sys.exit(main())
