"""Keeping a learner's program apart from the grader, the class and the other programs.

A program is untrusted code written by a child. The runner starts it through
a `Confinement`, which wraps its command line and its start-up so that the
operating system itself keeps the promises:

- Linux with bubblewrap (`bwrap`, Debian's `bubblewrap`): its own PID
  namespace (it sees and can signal no other process), no network, the whole
  file system read-only, the home folders, the class folder, the report folder
  and the temporary folder hidden, only its scratch folder writable; run by
  root, it runs as an unprivileged user of its own. When bubblewrap ends, the
  namespace and every process in it end with it.
- Linux without it (or `TAVIK_SANDBOX=off`): its own process group, and an
  unprivileged user of its own when the grader runs as root and Python is
  readable by others; every process left in the group, or of that user, is
  killed at the end.
- macOS: its own process group and the resource limits below.
- Windows: a Job Object that kills every process of the program when it
  closes and caps its memory and processes.

Everywhere the kernel enforces the `Limits`: memory, CPU time, processes
and threads, size of a written file. Output is capped by the runner, which
reads it.
"""
import math
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
from dataclasses import dataclass

try:
    import resource
except ImportError:     # Windows: a Job Object instead
    resource = None

from tavik.classroom.display import die_with_parent

KB, MB, GB = 1 << 10, 1 << 20, 1 << 30
SANDBOX_VARIABLE = "TAVIK_SANDBOX"      # "off": no bubblewrap even where it is installed
INSIDE = "/tmp"                         # where a program sees its scratch folder under bubblewrap
HIDING_SIZE = 64 * KB                   # of the empty, read-only folders laid over hidden ones
FIRST_UID = 2_000_000_000               # unprivileged users of the programs when the grader is root
UIDS_PER_GRADER = 1000
BUBBLEWRAP = "bubblewrap"
GROUP = "process group"
JOB = "job object"


@dataclass
class Limits:
    """What one program may use; the kernel stops it beyond."""
    memory: int = 2 * GB        # bytes of data (heap and private mappings)
    cpu: int = 600              # seconds of CPU time, all threads together
    processes: int = 256        # processes and threads
    file_size: int = 64 * MB    # bytes of one written file
    output: int = 1 * MB        # bytes of output kept (the beginning and the end)


def size_text(size):
    """'2 GB', '512 MB', '700 KB': how a teacher writes a size."""
    for unit, scale in (("GB", GB), ("MB", MB), ("KB", KB)):
        if size >= scale:
            value = size / scale
            return f"{value:.0f} {unit}" if value == int(value) else f"{value:.1f} {unit}"
    return f"{size} 字节"


SIZE = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*([kmg]?)b?\s*$", re.I)


def parse_size(text):
    """'2GB', '2 G', '512MB', '512' (megabytes): the size in bytes, or None when it is not one."""
    found = SIZE.match(str(text))
    if not found:
        return None
    value = float(found.group(1)) * {"": MB, "k": KB, "m": MB, "g": GB}[found.group(2).lower()]
    return int(value) if math.isfinite(value) else None


# ---- which isolation --------------------------------------------------------------

_bubblewrap_works = {}


def bubblewrap_command():
    """bwrap's path where it is usable (installed, not switched off, namespaces allowed), else None."""
    if not sys.platform.startswith("linux") or os.environ.get(SANDBOX_VARIABLE, "").lower() in ("off", "0", "no"):
        return None
    found = shutil.which("bwrap")
    if found is None:
        return None
    if found not in _bubblewrap_works:
        probe = [found, *namespace_options(), "--ro-bind", "/", "/", "--proc", "/proc", "--dev", "/dev", "--", "true"]
        try:
            _bubblewrap_works[found] = subprocess.run(probe, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                                      stderr=subprocess.DEVNULL, timeout=30).returncode == 0
        except (OSError, subprocess.SubprocessError):
            _bubblewrap_works[found] = False
    return found if _bubblewrap_works[found] else None


def namespace_options():
    """Run by root: no user namespace (the program drops to an unprivileged user of its own inside), and
    System V shared memory is shared, so that the software renderer hands its frames to the virtual
    screen through MIT-SHM; through the socket instead, a program takes about a third more CPU time.
    A user of its own reaches no one else's segments. Run by anyone else, the program would be that
    same user: everything is unshared, and frames go through the socket."""
    if is_root():
        return ["--unshare-pid", "--unshare-net", "--unshare-uts", "--unshare-cgroup-try"]
    return ["--unshare-all"]


def is_root():
    return hasattr(os, "geteuid") and os.geteuid() == 0


def readable_by_others(path):
    """True when every folder on the way to `path` lets others through and the file lets them read."""
    path = os.path.realpath(path)
    try:
        if not os.stat(path).st_mode & stat.S_IROTH:
            return False
        folder = os.path.dirname(path)
        while True:
            if not os.stat(folder).st_mode & stat.S_IXOTH:
                return False
            parent = os.path.dirname(folder)
            if parent == folder:
                return True
            folder = parent
    except OSError:
        return False


def private_user_possible():
    """True where a program can run as a user of its own without a sandbox: root, setpriv, and a Python
    that others may read (a Python in root's home folder is not)."""
    return is_root() and bool(shutil.which("setpriv")) and all(readable_by_others(path) for path in python_paths())


def python_paths():
    """Folders the program's Python needs: the interpreter, its library, the installed packages.

    Not the current folder, which may be the class's own.
    """
    import tavik
    prefixes = {os.path.realpath(path) for path in (sys.prefix, sys.base_prefix, sys.exec_prefix)}
    found = set(prefixes) | {os.path.dirname(os.path.realpath(sys.executable)),
                             os.path.dirname(os.path.dirname(os.path.realpath(tavik.__file__)))}
    found.update(entry for entry in sys.path if entry and os.path.isabs(entry) and
                 ("site-packages" in entry or "dist-packages" in entry or
                  any(is_under(entry, prefix) for prefix in prefixes)))
    return sorted({os.path.realpath(path) for path in found if os.path.isdir(path)})


class UserPool:
    """Unprivileged user ids for the programs of a grader run by root, one per running program."""

    def __init__(self):
        self.base = FIRST_UID + (os.getpid() % 1_000_000) * UIDS_PER_GRADER
        self.free = list(range(UIDS_PER_GRADER))
        self.taken = set()

    def take(self):
        slot = self.free.pop(0)
        self.taken.add(slot)
        return self.base + slot

    def give_back(self, uid):
        slot = uid - self.base
        if slot in self.taken:
            self.taken.discard(slot)
            self.free.append(slot)


USERS = UserPool()


def is_under(path, folder):
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


# ---- one program's confinement ------------------------------------------------------

class Confinement:
    """How one program is kept apart: its command line, its start-up, its end.

    `hidden`: folders the program must not see (the class, the report).
    """

    def __init__(self, limits, hidden=()):
        self.limits = limits
        self.hidden = [os.path.realpath(path) for path in hidden if path]
        self.bubblewrap = bubblewrap_command()
        self.kind = BUBBLEWRAP if self.bubblewrap else (JOB if os.name == "nt" else GROUP)
        self.uid = USERS.take() if is_root() and (self.bubblewrap or private_user_possible()) else None
        # RLIMIT_NPROC counts every process of the user: only where they can be counted (/proc), or the user is the program's own
        self.rlimits = planned_limits(limits, processes=self.uid is not None or not is_root() and os.path.isdir("/proc"))
        self.job = None
        self.process = None
        self.killed = False     # its process id may be another process's once it was waited for

    @property
    def description(self):
        """What protected the program, in a few Chinese words, for the report."""
        if self.kind == BUBBLEWRAP:
            return "bubblewrap 沙盒：单独的进程空间，没有网络，看不到班级文件夹，只能写自己的临时文件夹"
        if self.kind == JOB:
            return "Windows 作业对象：限制内存和进程数，结束时关掉它开的所有进程；单独的临时文件夹"
        who = "，用单独的普通用户运行" if self.uid is not None else ""
        return f"单独的进程组和资源限制{who}；单独的临时文件夹（没有沙盒：bubblewrap 没有安装或不能用）"

    def inside(self, scratch):
        """Where the program sees its scratch folder (its /tmp under bubblewrap)."""
        return INSIDE if self.kind == BUBBLEWRAP else scratch

    def prepare(self, scratch):
        """Hands the scratch folder to the program's own user."""
        if self.uid is None:
            return
        for folder, folders, files in os.walk(scratch):
            for name in [folder] + [os.path.join(folder, entry) for entry in folders + files]:
                os.lchown(name, self.uid, self.uid)

    def command(self, command, scratch, workdir, display_files=()):
        """`command` (paths as the program sees them) wrapped so that it runs confined.

        `display_files`: the X server's socket and authority file, which the program needs to reach.
        """
        if self.uid is not None:
            command = ["setpriv", f"--reuid={self.uid}", f"--regid={self.uid}", "--clear-groups",
                       "--pdeathsig", "KILL", "--"] + command
        if self.kind != BUBBLEWRAP:
            return command
        hidden = self.folders_to_hide()
        # The scratch folder is the program's /tmp: what it writes there counts against the file limits, not memory.
        wrapped = [self.bubblewrap, "--die-with-parent", "--new-session", *namespace_options(),
                   "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--bind", scratch, INSIDE]
        for folder in hidden:
            wrapped += ["--size", str(HIDING_SIZE), "--tmpfs", folder]
        covered = hidden + [INSIDE]     # a Python in a temporary folder (a fresh venv) is covered by the scratch folder
        for folder in python_paths():
            if any(is_under(folder, outer) for outer in covered):
                wrapped += self.opened_folders(folder, covered) + ["--ro-bind", folder, folder]
        for path in display_files:
            if path and os.path.exists(path):
                wrapped += ["--perms", "0755", "--dir", os.path.dirname(path), "--ro-bind", path, path]
        for folder in ["/dev"] + hidden:
            wrapped += ["--remount-ro", folder]
        wrapped += ["--chdir", workdir, "--"]
        return wrapped + command

    @staticmethod
    def opened_folders(folder, hidden):
        """The folders on the way to `folder` inside a hidden one, made passable for the program's user."""
        made = []
        parent = os.path.dirname(folder)
        while parent != "/" and parent not in hidden:
            made = ["--perms", "0755", "--dir", parent] + made
            parent = os.path.dirname(parent)
        return made

    def folders_to_hide(self):
        """The folders replaced by empty, read-only ones in the program's view, outermost first.

        Whatever lies in /tmp is out of view already: the scratch folder takes its place.
        """
        candidates = ["/run", "/root", "/home", os.path.expanduser("~")] + self.hidden
        chosen = []
        for folder in sorted({os.path.realpath(path) for path in candidates if os.path.isdir(path)}, key=len):
            if folder != "/" and not is_under(folder, "/tmp") and not any(is_under(folder, outer) for outer in chosen):
                chosen.append(folder)
        return chosen

    def popen_options(self):
        if os.name == "nt":
            return {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP}
        # its own session: a Ctrl-C in the terminal reaches the runner, which stops it
        return {"start_new_session": True, "preexec_fn": self.limit_this_process}

    def limit_this_process(self):
        """A `preexec_fn`: the limits, then the parent's death signal (a forked child should run little Python)."""
        for number, soft, hard in self.rlimits:
            try:
                resource.setrlimit(number, (soft, hard))
            except (ValueError, OSError):
                pass
        die_with_parent()

    def started(self, process):
        self.process = process
        if os.name == "nt":
            self.job = windows_job(process, self.limits)

    def kill(self):
        """Every process of the program, wherever it went, ends now."""
        process = self.process
        if process is None or self.killed:
            return
        if os.name == "nt":
            close_windows_job(self.job)
            self.job = None
        else:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except (OSError, ProcessLookupError):
                pass
        if process.poll() is None:
            process.kill()
        process.wait()
        self.killed = True
        if self.uid is not None and self.kind != BUBBLEWRAP:
            kill_processes_of(self.uid)

    def release(self):
        if self.uid is not None:
            if self.kind != BUBBLEWRAP:
                kill_processes_of(self.uid)
            USERS.give_back(self.uid)
            self.uid = None


def planned_limits(limits, processes):
    """The kernel's limits for the program, as (number, soft, hard) for setrlimit (POSIX; none elsewhere).

    Memory is RLIMIT_DATA, not RLIMIT_AS: the engine and the software renderer
    reserve far more address space than they use (about 800 MB reserved for
    180 MB resident, and more with more cores), while the data limit counts
    what the program can actually fill. The processes limit is per user:
    set only where the program's user is its own or RLIMIT_NPROC counts at all.
    """
    if resource is None:
        return []
    wanted = [("RLIMIT_DATA", limits.memory, 0), ("RLIMIT_CPU", limits.cpu, 5), ("RLIMIT_FSIZE", limits.file_size, 0),
              ("RLIMIT_CORE", 0, 0)]
    if processes:
        wanted.append(("RLIMIT_NPROC", limits.processes + tasks_of_this_user(), 0))
    planned = []
    for name, value, extra in wanted:     # extra: room above the soft CPU limit, so that SIGXCPU comes before SIGKILL
        number = getattr(resource, name, None)
        if number is None:
            continue
        hard = resource.getrlimit(number)[1]
        if hard != resource.RLIM_INFINITY:
            planned.append((number, min(value, hard), hard))
        else:
            planned.append((number, value, value + extra))
    return planned


def tasks_of_this_user():
    """Processes and threads of this (non-root) user now: RLIMIT_NPROC counts them all, not only the program's."""
    if is_root() or not os.path.isdir("/proc"):
        return 0
    uid, count = os.getuid(), 0
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.stat(f"/proc/{entry}").st_uid == uid:
                    count += len(os.listdir(f"/proc/{entry}/task"))
            except OSError:
                continue
    return count


def kill_processes_of(uid):
    """SIGKILL to every process of `uid`, a user only this grader's program had; until none is left."""
    for _ in range(50):
        found = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.stat(f"/proc/{entry}").st_uid == uid:
                        found.append(int(entry))
                except OSError:
                    continue
        if not found:
            return
        for pid in found:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass


# ---- Windows: a Job Object --------------------------------------------------------------

def windows_job(process, limits):
    """A Job Object holding `process`: kill on close, memory and process caps. None where it cannot be made."""
    if os.name != "nt":
        return None
    import ctypes
    from ctypes import wintypes

    class IoCounters(ctypes.Structure):
        _fields_ = [(name, ctypes.c_ulonglong) for name in
                    ("read_operations", "write_operations", "other_operations", "read_bytes", "write_bytes",
                     "other_bytes")]

    class BasicLimits(ctypes.Structure):
        _fields_ = [("per_process_user_time", ctypes.c_longlong), ("per_job_user_time", ctypes.c_longlong),
                    ("limit_flags", wintypes.DWORD), ("minimum_working_set", ctypes.c_size_t),
                    ("maximum_working_set", ctypes.c_size_t), ("active_process_limit", wintypes.DWORD),
                    ("affinity", ctypes.c_size_t), ("priority_class", wintypes.DWORD),
                    ("scheduling_class", wintypes.DWORD)]

    class ExtendedLimits(ctypes.Structure):
        _fields_ = [("basic", BasicLimits), ("io", IoCounters), ("process_memory_limit", ctypes.c_size_t),
                    ("job_memory_limit", ctypes.c_size_t), ("peak_process_memory_used", ctypes.c_size_t),
                    ("peak_job_memory_used", ctypes.c_size_t)]

    kernel = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel.CreateJobObjectW.restype = wintypes.HANDLE
    kernel.CreateJobObjectW.argtypes = [ctypes.c_void_p, wintypes.LPCWSTR]
    kernel.SetInformationJobObject.argtypes = [wintypes.HANDLE, ctypes.c_int, ctypes.c_void_p, wintypes.DWORD]
    kernel.AssignProcessToJobObject.argtypes = [wintypes.HANDLE, wintypes.HANDLE]
    job = kernel.CreateJobObjectW(None, None)
    if not job:
        return None
    limit_kill_on_close, limit_job_memory, limit_active_processes, limit_job_time = 0x2000, 0x200, 0x8, 0x4
    information = ExtendedLimits()
    information.basic.limit_flags = limit_kill_on_close | limit_job_memory | limit_active_processes | limit_job_time
    information.basic.active_process_limit = limits.processes
    information.basic.per_job_user_time = int(limits.cpu * 10_000_000)      # in 100 ns
    information.job_memory_limit = limits.memory
    extended_limit_information = 9
    kernel.SetInformationJobObject(job, extended_limit_information, ctypes.byref(information),
                                   ctypes.sizeof(information))
    # The program runs a moment before it joins; what it starts in that moment is not held.
    if not kernel.AssignProcessToJobObject(job, wintypes.HANDLE(int(process._handle))):
        kernel.CloseHandle(job)
        return None
    return job


def close_windows_job(job):
    if job is None or os.name != "nt":
        return
    import ctypes
    kernel = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel.TerminateJobObject(job, 1)
    kernel.CloseHandle(job)
