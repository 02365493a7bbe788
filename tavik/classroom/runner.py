"""Running one learner program: in a child process, on its own screen, with a time limit.

The parent (this module) starts the virtual screen where one is needed, the
child (`tavik.classroom.child`) runs the program, and the parent watches the clock:
the child interrupts itself at the limit, the parent asks it to stop a moment
later and kills it after a grace period. Whatever the end (normal, error,
timeout, Ctrl-C or SIGTERM to the runner), the child and its screen are gone
when the runner returns. The child's output goes to files that the parent
reads while it runs, so no pipe can fill up and no thread is needed.

`Run` is one program; `run_program` runs one to the end; the `run` command
of `python -m tavik` prints what a learner needs: their output, a trimmed
traceback with a Chinese hint, warnings and the saved pictures.
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

from tavik import mistakes, quiet
from tavik.classroom import hints
from tavik.classroom.display import VirtualScreen, die_with_parent, needs_virtual_screen
from tavik.classroom.records import ERROR, OK, TIMEOUT, Observed, Result

DEFAULT_FRAMES = 120
DEFAULT_TIMEOUT = 60.0
GRACE = 5.0                 # seconds the child has after the limit to save its pictures
EXIT_OK, EXIT_ERROR, EXIT_NO_SCREEN, EXIT_TIMEOUT, EXIT_STOPPED = 0, 1, 3, 124, 130
KEPT_OUTPUT = 200_000       # characters of a program's output kept for the report
NOTICE = re.compile(r"^(:[\w.:-]+(\([\w-]+\))?: |Xlib: +extension )")
LIVE = set()                # every Run that may still own a process


# The engine settings this process loaded (loadPrcFileData) travel to the
# child in this variable, so that a caller can choose the renderer for it.
SETTINGS_VARIABLE = "TAVIK_ENGINE_SETTINGS"


def engine_settings_loaded_here():
    """The engine settings loaded in this process at run time, as prc text ("" when none)."""
    core = sys.modules.get("panda3d.core")
    if core is None:
        return ""
    manager = core.ConfigPageManager.getGlobalPtr()
    lines = []
    for index in range(manager.getNumExplicitPages()):
        page = manager.getExplicitPage(index)
        lines += [f"{page.getVariableName(row)} {page.getStringValue(row)}" for row in range(page.getNumDeclarations())]
    return "\n".join(lines)


class NoScreen(RuntimeError):
    """No display and no virtual screen could be started."""


class Stopped(Exception):
    """The runner itself was asked to stop (SIGTERM); its exit code is 128 + the signal."""

    def __init__(self, signum=signal.SIGTERM):
        super().__init__(signum)
        self.exit_code = 128 + int(signum)


@dataclass
class Options:
    frames: int = None          # None: until the window is closed (on a real display)
    screenshot: str = None
    gif: str = None
    gif_every: int = None
    timeout: float = DEFAULT_TIMEOUT    # 0: no limit
    verbose: bool = False
    arguments: list = field(default_factory=list)
    cwd: str = None
    echo: bool = False          # copy the program's output to ours while it runs


def is_notice(line):
    return bool(NOTICE.match(line))


class OutputFile:
    """The child's output file, read a little at a time, line by line."""

    def __init__(self, path, stream, echo, verbose):
        self.path, self.stream, self.echo, self.verbose = path, stream, echo, verbose
        self.position = 0
        self.pending = b""
        self.kept = []
        self.kept_size = 0

    def read(self, final=False):
        try:
            with open(self.path, "rb") as source:
                source.seek(self.position)
                data = source.read()
        except OSError:
            return
        self.position += len(data)
        data = self.pending + data
        lines = data.split(b"\n")
        self.pending = lines.pop()
        if final and self.pending:
            lines.append(self.pending)
            self.pending = b""
        for raw in lines:
            line = raw.decode("utf-8", "replace").rstrip("\r")
            if not self.verbose and is_notice(line):
                continue
            if self.kept_size < KEPT_OUTPUT:
                self.kept.append(line)
                self.kept_size += len(line) + 1
                if self.kept_size >= KEPT_OUTPUT:
                    self.kept.append("……（输出太多，后面的省略了）")
            if self.echo:
                write_text(self.stream, line + "\n")

    def text(self):
        return "".join(line + "\n" for line in self.kept)


def write_text(stream, text):
    try:
        stream.write(text)
    except UnicodeEncodeError:
        encoding = getattr(stream, "encoding", None) or "ascii"
        stream.write(text.encode(encoding, "backslashreplace").decode(encoding))
    stream.flush()


class Run:
    """One learner program in its own process."""

    def __init__(self, script, options):
        self.script = os.path.abspath(script)
        self.name = os.path.basename(script)
        self.options = options
        self.workdir = tempfile.mkdtemp(prefix="tavik-run-")
        self.result_path = os.path.join(self.workdir, "result.json")
        self.notices_path = os.path.join(self.workdir, "notices.txt")
        self.screen = None
        self.process = None
        self.started = None
        self.ended = None
        self.asked_to_stop = False
        self.killed = False
        self.syntax_error = None
        self.stdout = OutputFile(os.path.join(self.workdir, "stdout.txt"), sys.stdout, options.echo, options.verbose)
        self.stderr = OutputFile(os.path.join(self.workdir, "stderr.txt"), sys.stderr, options.echo, options.verbose)

    # ---- life cycle ---------------------------------------------------------------

    def start(self):
        LIVE.add(self)
        self.started = time.monotonic()
        self.syntax_error = check_syntax(self.script)
        if self.syntax_error is not None:
            self.ended = time.monotonic()
            return self
        environment = dict(os.environ)
        virtual = needs_virtual_screen()
        if virtual:
            self.screen = VirtualScreen()
            try:
                self.screen.start()
            except (OSError, RuntimeError) as trouble:
                raise NoScreen(str(trouble)) from trouble
            environment = self.screen.environment(environment)
        environment["PYTHONIOENCODING"] = "utf-8"
        environment["PYTHONUNBUFFERED"] = "1"
        environment[SETTINGS_VARIABLE] = engine_settings_loaded_here()
        if self.options.verbose:
            environment[quiet.VERBOSE_VARIABLE] = "1"
        command = [sys.executable, "-P", "-m", "tavik.classroom.child", self.script, self.result_path,
                   "--notices", self.notices_path, "--timeout", str(self.options.timeout or 0)]
        if self.options.frames is not None:
            command += ["--frames", str(self.options.frames)]
        if self.options.screenshot:
            command += ["--screenshot", os.path.abspath(self.options.screenshot)]
        if self.options.gif:
            command += ["--gif", os.path.abspath(self.options.gif)]
        if self.options.gif_every:
            command += ["--gif-every", str(self.options.gif_every)]
        if virtual:
            command.append("--virtual")
        if self.options.arguments:
            command += ["--"] + list(self.options.arguments)
        extra = {}
        if os.name == "nt":
            extra["creationflags"] = subprocess.CREATE_NEW_PROCESS_GROUP
        else:
            extra["start_new_session"] = True     # a Ctrl-C in the terminal reaches the runner, which stops it
            extra["preexec_fn"] = die_with_parent
        with open(self.stdout.path, "wb") as out, open(self.stderr.path, "wb") as err:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                            env=environment, cwd=self.options.cwd, **extra)
        return self

    def poll(self):
        """Reads new output and keeps the clock; True once the program has ended."""
        if self.ended is not None:
            return True
        self.stdout.read()
        self.stderr.read()
        if self.process.poll() is not None:
            self.finish()
            return True
        limit = self.options.timeout
        if limit:
            elapsed = time.monotonic() - self.started
            if elapsed > limit + 0.5 and not self.asked_to_stop and os.name != "nt":
                self.asked_to_stop = True
                self.signal(signal.SIGTERM)
            if elapsed > limit + GRACE:
                self.killed = True
                self.process.kill()
                self.process.wait()
                self.finish()
                return True
        return False

    def wait(self, interval=0.05):
        while not self.poll():
            time.sleep(interval)
        return self

    def signal(self, number):
        try:
            self.process.send_signal(number)
        except (OSError, ValueError):
            pass

    def finish(self):
        if self.ended is None:
            self.ended = time.monotonic()
        self.stdout.read(final=True)
        self.stderr.read(final=True)
        self.stop()

    def stop(self):
        """Child and screen are gone after this, whatever state they were in."""
        process = self.process
        if process is not None and process.poll() is None:
            process.kill()
            process.wait()
        if self.screen is not None:
            self.screen.stop()
        LIVE.discard(self)

    # ---- what it gave ------------------------------------------------------------

    def result(self):
        """The run as a `Result` (paths absolute)."""
        source = read_source(self.script)
        result = Result(file=self.name, seconds=round((self.ended or time.monotonic()) - self.started, 3),
                        stdout=self.stdout.text(), stderr=self.stderr.text())
        error = self.syntax_error
        if error is None:
            observed = self.observed()
            if observed is not None:
                error = self.take_observed(result, observed, source)
            elif self.killed or self.asked_to_stop:
                result.status = TIMEOUT
            else:
                code = self.process.returncode if self.process is not None else None
                result.status = ERROR
                result.traceback = f"The program's process ended without a result (exit code {code})."
                result.hint = f"程序意外退出了（退出码 {code}），没有留下结果。再运行一次；如果每次都这样，请告诉老师。"
        if error is not None and (self.syntax_error is not None or result.status == ERROR):
            result.status = ERROR
            error.setdefault("file", self.name)
            result.traceback = hints.format_error(error)
            result.hint = hints.hint_for(error)
        elif result.status == TIMEOUT:
            result.hint = hints.timeout_message(self.options.timeout, error, window=self.options.frames is None,
                                                source=source)
            if error is not None:
                result.traceback = hints.format_error(error, stopped=True)
        if self.options.verbose:
            try:
                with open(self.notices_path, encoding="utf-8", errors="replace") as notices:
                    result.notices = notices.read()
            except OSError:
                result.notices = ""
        return result

    def take_observed(self, result, observed, source):
        """Copies what the child saw into `result`; returns its error (with the run's notes), or None."""
        facts = observed.facts or {}
        result.status, result.screenshot, result.gif = observed.status, observed.screenshot, observed.gif
        result.fps, result.frames = observed.fps, facts.get("frames", 0)
        if result.status == OK:
            result.warnings = hints.warnings_for(facts, source)
        if observed.picture_error:
            result.warnings.append(hints.picture_not_saved(observed.picture_error))
        error = observed.error
        if error is None:
            return None
        error["facts"] = facts
        line = facts.get("update_line")
        if line and 0 < line <= len(source):
            facts["update_code"] = source[line - 1].strip()
        elif not facts.get("update_callable", True):
            found = find_update_assignment(source)     # assigned outside the learner's file's own lines
            if found:
                facts["update_line"], facts["update_code"] = found
        return error

    def observed(self):
        try:
            with open(self.result_path, encoding="utf-8") as result:
                return Observed.from_json(json.load(result))
        except (OSError, ValueError, TypeError):
            return None

    def clean(self):
        shutil.rmtree(self.workdir, ignore_errors=True)


def read_source(path):
    try:
        with open(path, "rb") as source:
            return source.read().decode("utf-8", "replace").splitlines()
    except OSError:
        return []


def check_syntax(path):
    """The syntax error of the file as plain data, or None; no process is needed for this."""
    try:
        with open(path, "rb") as source:
            compile(source.read(), path, "exec", dont_inherit=True)
    except (SyntaxError, ValueError) as error:
        if not isinstance(error, SyntaxError):
            return {"type": type(error).__name__, "message": str(error), "frames": []}
        return {"type": type(error).__name__, "message": error.msg, "line": error.lineno,
                "code": (readable_text(path, error) or "").strip(),
                "syntax": {"line": error.lineno, "offset": error.offset, "end_offset": getattr(error, "end_offset", None),
                           "end_line": getattr(error, "end_lineno", None), "text": readable_text(path, error)},
                "file": os.path.basename(path)}
    except OSError as error:
        return {"type": "OSError", "message": str(error), "frames": [], "file": os.path.basename(path)}
    return None


def readable_text(path, error):
    """The line of a syntax error; Python cannot show it right from a file in another encoding (GBK)."""
    text = error.text
    if text and "\ufffd" in text and error.lineno:
        text = mistakes.source_line(path, error.lineno) or text
    return text


ASSIGNED_UPDATE = re.compile(r"\.update\s*=(?!=)")


def find_update_assignment(source):
    """The last line that assigns an `update` attribute: (number, text) or None."""
    found = None
    for number, text in enumerate(source, 1):
        if ASSIGNED_UPDATE.search(text.split("#")[0]):
            found = (number, text.strip())
    return found


def run_program(script, options):
    """Runs one program to its end and returns its `Result`."""
    run = Run(script, options)
    try:
        run.start().wait()
        return run.result()
    finally:
        run.stop()
        run.clean()


def stop_everything():
    for run in list(LIVE):
        run.stop()


def on_terminate(signum, frame):
    raise Stopped(signum)


def guard_signals():
    """SIGTERM becomes an exception in the main thread, so that clean-up runs."""
    signal.signal(signal.SIGTERM, on_terminate)


# ---- the `run` command -----------------------------------------------------------

class CommandEnded(Exception):
    """A command cannot go on (no screen, or it was stopped); `exit_code` is how it ends."""

    def __init__(self, exit_code):
        super().__init__(exit_code)
        self.exit_code = exit_code


def run_guarded(work, stopped_message):
    """Runs a command's `work()` with the signals guarded.

    A missing screen or a stop is said in Chinese and ends the command with
    CommandEnded; anything else is `work()`'s own.
    """
    guard_signals()
    try:
        return work()
    except NoScreen as trouble:
        write_text(sys.stderr, f"没有显示器，也没有虚拟屏幕 Xvfb：请先安装 xvfb（apt-get install xvfb）。({trouble})\n")
        raise CommandEnded(EXIT_NO_SCREEN) from None
    except (KeyboardInterrupt, Stopped) as stop:
        stop_everything()
        write_text(sys.stderr, stopped_message)
        raise CommandEnded(getattr(stop, "exit_code", EXIT_STOPPED)) from None


def exit_code(result):
    return {OK: EXIT_OK, TIMEOUT: EXIT_TIMEOUT}.get(result.status, EXIT_ERROR)


def run_command(script, frames=None, screenshot=None, gif=None, gif_every=None, timeout=DEFAULT_TIMEOUT,
                verbose=False, arguments=()):
    """`python -m tavik run`: returns the exit code."""
    if frames is None and needs_virtual_screen():
        frames = DEFAULT_FRAMES
    if screenshot is None and frames is not None:
        screenshot = os.path.join("screenshots", os.path.splitext(os.path.basename(script))[0] + ".png")
    if not os.path.isfile(script):
        write_text(sys.stderr, f"找不到程序文件 {script}。\n")
        return EXIT_ERROR
    options = Options(frames=frames, screenshot=screenshot, gif=gif, gif_every=gif_every, timeout=timeout,
                      verbose=verbose, arguments=list(arguments), echo=True)
    try:
        result = run_guarded(lambda: run_program(script, options), "已停止。\n")
    except CommandEnded as ended:
        return ended.exit_code
    if verbose and result.notices:
        write_text(sys.stderr, result.notices)
    if result.traceback:
        write_text(sys.stderr, result.traceback + "\n")
    if result.hint:
        write_text(sys.stderr, "提示：" + result.hint + "\n")
    for warning in result.warnings:
        write_text(sys.stderr, "注意：" + warning + "\n")
    if result.gif:
        write_text(sys.stdout, result.gif + "\n")
    if result.screenshot:
        write_text(sys.stdout, result.screenshot + "\n")
    return exit_code(result)
