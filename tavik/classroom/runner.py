"""Running one learner program: confined, in a child process, on its own screen, with limits.

The parent (this module) makes the program a scratch folder, starts the
virtual screen where one is needed, and starts the child
(`tavik.classroom.child`) through its `Confinement` (`tavik.classroom.sandbox`:
bubblewrap where it can, the platform's own means elsewhere, the kernel's
limits everywhere). The parent's clock starts when the child says the
learner's program starts, so a stop never lands in the engine's import: the
child interrupts itself at the limit, the parent asks it to stop a moment
later and kills it after a grace period. Whatever the end (normal, error,
timeout, a limit, Ctrl-C or SIGTERM to the runner), every process of the
program and its screen are gone when the runner returns.

The program's output comes through pipes, read by threads that keep only
its beginning and its end; its result and pictures come over a pipe of their
own (`tavik.classroom.channel`), never from a file the program could write.

`Run` is one program; `run_program` runs one to the end; the `run` command
of `python -m tavik` prints what a learner needs: their output, a trimmed
traceback with a Chinese hint, warnings and the saved pictures.
"""
import collections
import os
import re
import signal
import stat
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field

from tavik import quiet
from tavik.errorhook import write_text
from tavik.classroom import hints, loaders
from tavik.classroom.channel import Receiver
from tavik.classroom.display import OWN_PROCESSES, VirtualScreen, adopt_orphans, needs_virtual_screen, socket_file
from tavik.classroom.records import ERROR, LIMIT, OK, SKIPPED, TIMEOUT, Result
from tavik.classroom.sandbox import BUBBLEWRAP, Confinement, Limits
from tavik.classroom.scene import without_greeting
from tavik.classroom.scratch import Scratch, remove_abandoned
from tavik.classroom.shaders import VARIABLE as SHADER_CACHE_VARIABLE, private_copy

DEFAULT_FRAMES = 120
DEFAULT_TIMEOUT = 60.0
SHORTEST_TIMEOUT = 1.0      # a shorter limit would stop most programs before their first frame
GRACE = 5.0                 # seconds the child has after the limit to save its pictures
START_UP = 120.0            # seconds the engine may take to start before the learner's program does
MAX_SOURCE = 1 << 20        # bytes of a program's source; a larger file is not run
EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_NO_SCREEN, EXIT_TIMEOUT, EXIT_STOPPED = 0, 1, 2, 3, 124, 130
NOTICE = re.compile(r"^(:[\w.:-]+(\([\w-]+\))?: |Xlib: +extension )")
LIVE = set()                # every Run that may still own a process
ADOPTING = []               # [True] once this process inherits its descendants' orphans (the commands only)


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
    echo: bool = False          # copy the program's output to ours while it runs
    limits: Limits = field(default_factory=Limits)
    folder: str = None          # the student's sub-folder the program lies in: copied whole
    beside: bool = False        # copy the .py files beside the program too (its own modules)
    files: str = None           # where to keep the files the program writes (None: not kept)
    hidden: list = field(default_factory=list)  # folders the program must not see
    name: str = None            # the program's name in the result (default: its file name)
    shaders: str = None         # a warm shader cache (`tavik.classroom.shaders`): the program gets a copy
    screens: object = None      # a `ScreenPool` to take the virtual screen from (default: one of its own)


def is_notice(line):
    return bool(NOTICE.match(line))


class KeptOutput:
    """One output pipe of the program, read by a thread to its end; only the beginning and the end are kept.

    Each half of the cap holds whole lines (a line longer than a half is cut);
    `run` echoes the beginning as it comes and the end once the program is over.
    """

    def __init__(self, pipe, cap, stream=None, echo=False, verbose=False):
        self.pipe, self.half, self.stream, self.echo, self.verbose = pipe, max(cap // 2, 1), stream, echo, verbose
        self.head, self.head_size = [], 0
        self.tail, self.tail_size = collections.deque(), 0
        self.dropped_lines = 0
        self.total = 0
        self.pending = b""
        self.thread = threading.Thread(target=self.read, daemon=True, name="tavik-output")
        self.thread.start()

    def read(self):
        try:
            while True:
                chunk = self.pipe.read1(1 << 16) if hasattr(self.pipe, "read1") else self.pipe.read(1 << 16)
                if not chunk:
                    break
                self.total += len(chunk)
                lines = (self.pending + chunk).split(b"\n")
                self.pending = lines.pop()
                if len(self.pending) > self.half:       # a line without end: cut, so nothing grows without bound
                    lines.append(self.pending[:self.half])
                    self.pending = b""
                for raw in lines:
                    self.take(raw)
        except (OSError, ValueError):
            pass
        finally:
            if self.pending:
                self.take(self.pending)
                self.pending = b""
            try:
                self.pipe.close()
            except OSError:
                pass

    def take(self, raw):
        line = raw[:self.half].decode("utf-8", "replace").rstrip("\r")
        if not self.verbose and is_notice(line):
            return
        size = len(raw) + 1
        if self.head_size + size <= self.half and not self.tail:
            self.head.append(line)
            self.head_size += size
            if self.echo:
                write_text(self.stream, line + "\n")
            return
        self.tail.append((line, size))
        self.tail_size += size
        while self.tail_size > self.half:
            _, gone = self.tail.popleft()
            self.tail_size -= gone
            self.dropped_lines += 1

    def wait(self, seconds):
        self.thread.join(seconds)

    @property
    def cut(self):
        return self.dropped_lines > 0

    def text(self):
        lines = list(self.head)
        if self.cut:
            lines.append(hints.output_cut(self.dropped_lines))
        lines += [line for line, _ in self.tail]
        return "".join(line + "\n" for line in lines)

    def echo_rest(self):
        """The end of the output, once the program is over (the beginning was echoed as it came)."""
        if not self.echo or not self.tail and not self.cut:
            return
        if self.cut:
            write_text(self.stream, hints.output_cut(self.dropped_lines) + "\n")
        for line, _ in self.tail:
            write_text(self.stream, line + "\n")


def handed_down(fd):
    """(what the child is told, Popen options) to hand the report pipe's writing end to the child."""
    if os.name == "nt":
        import msvcrt
        handle = msvcrt.get_osfhandle(fd)
        os.set_handle_inheritable(handle, True)
        information = subprocess.STARTUPINFO()
        information.lpAttributeList = {"handle_list": [handle]}
        return handle, {"startupinfo": information, "close_fds": True}
    return fd, {"pass_fds": (fd,)}


def display_files(display):
    """The X server's socket and authority file, for a display ":N" (others are not reachable from a sandbox)."""
    found = re.match(r"^(?:unix)?:(\d+)(?:\.\d+)?$", display or "")
    if not found:
        return []
    authority = os.environ.get("XAUTHORITY") or os.path.expanduser("~/.Xauthority")
    return [socket_file(found.group(1)), authority]


def signal_of(code, sandboxed):
    """The signal that ended the process, from its exit code (bubblewrap passes on 128 + the signal)."""
    if code is None:
        return None
    if code < 0:
        return -code
    if sandboxed and code > 128:
        return code - 128
    return None


class Run:
    """One learner program in its own process."""

    def __init__(self, script, options):
        self.script = os.path.abspath(script)
        self.options = options
        self.name = options.name or os.path.basename(script)
        self.scratch = None
        self.confinement = None
        self.screen = None
        self.process = None
        self.channel = None
        self.stdout = self.stderr = None
        self.started = None
        self.ended = None
        self.asked_to_stop = False
        self.killed = False
        self.refused = None         # why the program was not run (a Result), or None
        self.kept_files = []
        self.picture_trouble = None

    # ---- life cycle ---------------------------------------------------------------

    def start(self):
        LIVE.add(self)
        self.started = time.monotonic()
        self.refused = refusal(self.script, self.name)
        if self.refused is not None:
            self.ended = time.monotonic()
            return self
        self.scratch = Scratch()
        self.confinement = Confinement(self.options.limits, hidden=self.options.hidden)
        try:
            inside_script = self.copy_program()
        except OSError as trouble:      # unreadable, or replaced since it was listed
            self.refused = Result(file=self.name, status=SKIPPED, hint=hints.not_readable(trouble))
            self.ended = time.monotonic()
            return self
        environment = dict(os.environ)
        if self.options.shaders:
            try:
                environment[SHADER_CACHE_VARIABLE] = self.inside(private_copy(self.options.shaders, self.scratch.root))
            except OSError:
                pass    # the program compiles its shaders itself
        self.confinement.prepare(self.scratch.root)
        if needs_virtual_screen():
            try:
                self.screen = self.options.screens.take() if self.options.screens else VirtualScreen().launch()
                self.screen.ready()
            except (OSError, RuntimeError) as trouble:
                raise NoScreen(str(trouble)) from trouble
            environment = self.screen.environment(environment)
        self.launch(inside_script, environment)
        return self

    def copy_program(self):
        """The program (with its sub-folder, or its modules) in the scratch folder; its path as the child sees it."""
        folder = self.options.folder
        if folder:
            self.scratch.copy_folder_in(folder)
            relative = os.path.relpath(self.script, folder)
        else:
            relative = os.path.basename(self.script)
            self.scratch.copy_in(self.script, relative)
            if self.options.beside:
                for entry in sorted(os.scandir(os.path.dirname(self.script)), key=lambda item: item.name):
                    if (entry.name.endswith(".py") and entry.name != relative and entry.is_file(follow_symlinks=False)
                            and entry.stat(follow_symlinks=False).st_size <= MAX_SOURCE):
                        self.scratch.copy_in(entry.path, entry.name)
        return os.path.join(self.inside(self.scratch.work), relative)

    def inside(self, path):
        """`path` in the scratch folder, as the program sees it."""
        return os.path.join(self.confinement.inside(self.scratch.root) if self.confinement else self.scratch.root,
                            os.path.relpath(path, self.scratch.root))

    def launch(self, inside_script, environment):
        work = self.inside(self.scratch.work)
        # HOME and TMPDIR in the scratch folder: the engine's model cache and the program's own files stay there
        home = self.inside(self.scratch.root)
        environment.update(PYTHONIOENCODING="utf-8", PYTHONUNBUFFERED="1", HOME=home, TMPDIR=home)
        # A cache folder named by the caller would be shared by programs running side by side, and the
        # engine fails an assertion reading a model another process is still writing there.
        environment.pop("XDG_CACHE_HOME", None)
        environment[SETTINGS_VARIABLE] = engine_settings_loaded_here()
        environment.update(loaders.to_hand_down())
        if self.options.verbose:
            environment[quiet.VERBOSE_VARIABLE] = "1"
        read_end, write_end = os.pipe()
        told, handing = handed_down(write_end)
        command = [sys.executable, "-P", "-m", "tavik.classroom.child", inside_script, "--channel", str(told),
                   "--notices", self.inside(self.scratch.notices), "--timeout", str(self.options.timeout or 0)]
        if self.options.frames is not None:
            command += ["--frames", str(self.options.frames)]
        if self.options.screenshot:
            command.append("--screenshot")
        if self.options.gif:
            command.append("--gif")
        if self.options.gif_every:
            command += ["--gif-every", str(self.options.gif_every)]
        if self.screen is not None:
            command.append("--virtual")
        if self.options.arguments:
            command += ["--"] + list(self.options.arguments)
        display = environment.get("DISPLAY")
        command = self.confinement.command(command, self.scratch.root, work, display_files(display))
        try:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE, env=environment, cwd=self.scratch.work,
                                            **handing, **self.confinement.popen_options())
        finally:
            os.close(write_end)
        self.confinement.started(self.process)
        self.channel = Receiver(read_end)
        cap, echo, verbose = self.options.limits.output // 2, self.options.echo, self.options.verbose   # both streams
        self.stdout = KeptOutput(self.process.stdout, cap, sys.stdout, echo, verbose)
        self.stderr = KeptOutput(self.process.stderr, cap, sys.stderr, echo, verbose)

    def poll(self):
        """Keeps the clock; True once the program has ended."""
        if self.ended is not None:
            return True
        if self.process.poll() is not None:
            self.finish()
            return True
        now = time.monotonic()
        began = self.channel.started_at
        if began is None:
            if now - self.started > START_UP:
                self.kill_now()
                return True
            return False
        limit = self.options.timeout
        if limit:
            elapsed = now - began
            if elapsed > limit + 0.5 and not self.asked_to_stop and os.name != "nt":
                self.asked_to_stop = True
                self.signal(signal.SIGTERM)
            if elapsed > limit + GRACE:
                self.kill_now()
                return True
        return False

    def kill_now(self):
        self.killed = True
        self.confinement.kill()
        self.finish()

    def wait(self, interval=0.05):
        while not self.poll():
            time.sleep(interval)
        return self

    def signal(self, number):
        """To the child itself; inside a sandbox it is bubblewrap's grandchild (bubblewrap would die of it)."""
        pid = self.process.pid
        if self.confinement.kind == BUBBLEWRAP:
            pid = first_descendant(pid, depth=2)
        if pid is None:
            return
        try:
            os.kill(pid, number)
        except OSError:
            pass

    def finish(self):
        if self.ended is None:
            self.ended = time.monotonic()
        self.end_program()
        for stream in (self.stdout, self.stderr):
            if stream is not None:
                stream.wait(5)
                stream.echo_rest()

    def stop(self):
        """Every process of the program and its screen are gone after this, whatever state they were in."""
        self.end_program()
        self.close_screen()

    def end_program(self):
        """The program's processes are gone; its screen is only asked to end, so that no one waits for it here."""
        if self.confinement is not None and self.process is not None:
            self.confinement.kill()
        if self.screen is not None:
            self.screen.end()
        if ADOPTING:
            end_orphans()

    def close_screen(self):
        screen, self.screen = self.screen, None     # a pooled screen is given back once only
        if screen is not None:
            screen.stop()
        LIVE.discard(self)

    # ---- what it gave ------------------------------------------------------------

    def result(self):
        """The run as a `Result` (paths absolute)."""
        if self.refused is not None:
            return self.refused
        source = read_source(self.script)
        result = Result(file=self.name, seconds=round((self.ended or time.monotonic()) - self.started, 3),
                        stdout=without_greeting(self.stdout.text()), stderr=self.stderr.text(),
                        isolation=self.confinement.description)
        received = self.channel.result()
        error = None
        if received is not None:
            observed, pictures = received
            error = self.take_observed(result, observed, source)
            self.save_pictures(result, pictures)
        elif self.killed or self.asked_to_stop:
            result.status = TIMEOUT
        else:
            self.ended_without_result(result)
        limit = limit_reached(error, signal_of(self.process.returncode, self.confinement.kind == BUBBLEWRAP))
        if limit is not None and result.status != TIMEOUT:
            result.status, result.limit = LIMIT, limit
            result.hint = hints.limit_message(limit, self.options.limits, error)
            if error is not None:
                result.traceback = hints.format_error(error)
        elif result.status == ERROR and error is not None:
            error.setdefault("file", self.name)
            result.traceback = hints.format_error(error)
            result.hint = hints.hint_for(error)
        elif result.status == TIMEOUT:
            result.hint = hints.timeout_message(self.options.timeout, error, window=self.options.frames is None,
                                                source=source)
            if error is not None:
                result.traceback = hints.format_error(error, stopped=True)
        if self.stdout.cut or self.stderr.cut:
            result.warnings.append(hints.output_warning(self.options.limits.output))
        self.keep_files(result)
        if self.options.verbose:
            result.notices = self.scratch.notices_text()
        return result

    def ended_without_result(self, result):
        code = self.process.returncode
        result.status = ERROR
        result.traceback = f"The program's process ended without a result (exit code {code})."
        result.hint = f"程序意外退出了（退出码 {code}），没有留下结果。再运行一次；如果每次都这样，请告诉老师。"

    def take_observed(self, result, observed, source):
        """Copies what the child saw into `result`; returns its error (with the run's notes), or None."""
        facts = observed.facts or {}
        result.status, result.fps, result.frames = observed.status, observed.fps, facts.get("frames", 0)
        if observed.scene is not None:
            result.scene = dict(observed.scene, output=result.stdout)
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

    def save_pictures(self, result, pictures):
        """The runner itself writes the pictures the child sent, where the teacher asked for them."""
        for name, path in (("screenshot", self.options.screenshot), ("gif", self.options.gif)):
            data = pictures.get(name)
            if not path or not data:
                continue
            path = os.path.abspath(path)
            try:
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as picture:
                    picture.write(data)
            except OSError as trouble:
                result.warnings.append(hints.picture_not_saved(f"{type(trouble).__name__}: {trouble}"))
                continue
            setattr(result, name, path)

    def keep_files(self, result):
        if not self.options.files:
            return
        result.files = self.scratch.keep_written(self.options.files)
        if self.scratch.left_out:
            result.warnings.append(hints.files_left_out())

    def clean(self):
        self.close_screen()
        if self.confinement is not None:
            self.confinement.release()
        if self.scratch is not None:
            self.scratch.clean()


def first_descendant(pid, depth):
    """The first child's first child... `depth` levels below `pid` (Linux's /proc), or None."""
    for _ in range(depth):
        try:
            with open(f"/proc/{pid}/task/{pid}/children") as children:
                pid = int(children.read().split()[0])
        except (OSError, ValueError, IndexError):
            return None
    return pid


def refusal(script, name):
    """A skipped `Result` for a file the grader must not run (a link, not a regular file, too large), or None."""
    try:
        info = os.lstat(script)
    except OSError as trouble:
        return Result(file=name, status=SKIPPED, hint=hints.not_readable(trouble))
    if stat.S_ISLNK(info.st_mode):
        return Result(file=name, status=SKIPPED, hint=hints.skipped_link())
    if not stat.S_ISREG(info.st_mode):
        return Result(file=name, status=SKIPPED, hint=hints.skipped_special())
    if info.st_size > MAX_SOURCE:
        return Result(file=name, status=SKIPPED, hint=hints.source_too_large(info.st_size, MAX_SOURCE))
    return None


LIMIT_ERRORS = [
    ("memory", "MemoryError", None),
    ("processes", None, re.compile(r"Resource temporarily unavailable|can't start new thread|\[Errno 11\]")),
    ("file_size", None, re.compile(r"File too large|\[Errno 27\]")),
]


def limit_reached(error, ended_by):
    """The limit that stopped the program ("memory", "cpu", ...), from its error or its end, or None."""
    if ended_by in (getattr(signal, "SIGXCPU", None),):
        return "cpu"
    if ended_by in (getattr(signal, "SIGXFSZ", None),):
        return "file_size"
    if error is None:
        return None
    for name, kind, pattern in LIMIT_ERRORS:
        if kind is not None and error.get("type") == kind:
            return name
        if pattern is not None and pattern.search(error.get("message") or ""):
            return name
    return None


def read_source(path):
    try:
        with open(path, "rb") as source:
            return source.read().decode("utf-8", "replace").splitlines()
    except OSError:
        return []


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


def end_orphans():
    """Ends this process's children that no live run owns: orphans a program left, which came here.

    Only in the commands, where every child of this process is a run's.
    """
    owned = {pid for run in list(LIVE) for pid in (run.process and run.process.pid, run.screen and run.screen.pid)}
    owned |= OWN_PROCESSES
    for pid in children_of_this_process():
        if pid in owned:
            continue
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except (OSError, ChildProcessError):
            pass


def children_of_this_process():
    found = []
    try:
        for task in os.listdir("/proc/self/task"):
            with open(f"/proc/self/task/{task}/children") as children:
                found += [int(number) for number in children.read().split()]
    except (OSError, ValueError):
        pass
    return found


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
    if not ADOPTING and adopt_orphans():
        ADOPTING.append(True)
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


def files_folder(script, screenshot):
    """Where `run` keeps the files a program wrote: beside its screenshot, named after the program."""
    stem = os.path.splitext(os.path.basename(script))[0]
    return os.path.join(os.path.dirname(screenshot) if screenshot else "screenshots", stem + "-files")


def run_command(script, frames=None, screenshot=None, gif=None, gif_every=None, timeout=DEFAULT_TIMEOUT,
                verbose=False, arguments=(), limits=None):
    """`python -m tavik run`: returns the exit code."""
    if frames is None and needs_virtual_screen():
        frames = DEFAULT_FRAMES
    if screenshot is None and frames is not None:
        screenshot = os.path.join("screenshots", os.path.splitext(os.path.basename(script))[0] + ".png")
    if not os.path.isfile(script):
        write_text(sys.stderr, f"找不到程序文件 {script}。\n")
        return EXIT_ERROR
    remove_abandoned()
    options = Options(frames=frames, screenshot=screenshot, gif=gif, gif_every=gif_every, timeout=timeout,
                      verbose=verbose, arguments=list(arguments), echo=True, limits=limits or Limits(), beside=True,
                      files=os.path.abspath(files_folder(script, screenshot)))
    try:
        result = run_guarded(lambda: run_program(script, options), "已停止。\n")
    except CommandEnded as ended:
        return ended.exit_code
    report_run(result, verbose)
    return exit_code(result)


def report_run(result, verbose):
    """What `run` prints after the program: the end of its output, the error, the hint, the files and pictures."""
    if verbose and result.notices:
        write_text(sys.stderr, result.notices)
    if result.traceback:
        write_text(sys.stderr, result.traceback + "\n")
    if result.hint:
        write_text(sys.stderr, "提示：" + result.hint + "\n")
    for warning in result.warnings:
        write_text(sys.stderr, "注意：" + warning + "\n")
    for path in result.files:
        write_text(sys.stdout, path + "\n")
    if result.gif:
        write_text(sys.stdout, result.gif + "\n")
    if result.screenshot:
        write_text(sys.stdout, result.screenshot + "\n")
