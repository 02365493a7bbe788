"""Helpers the runner's and grader's tests share: following the processes a command starts.

A confined program cannot tell the test its process ids (it has a PID
namespace of its own), so the test watches from outside: every process that
appears below the command it started, polled from /proc while it runs. Only
processes the test itself started (and theirs) are ever looked at.
"""
import os
import subprocess
import sys
import threading
import time


def descendants(pid):
    """Every process below `pid` now (children of all its threads, recursively)."""
    found, queue = [], [pid]
    while queue:
        parent = queue.pop()
        try:
            tasks = os.listdir(f"/proc/{parent}/task")
        except OSError:
            continue
        for task in tasks:
            try:
                with open(f"/proc/{parent}/task/{task}/children") as children:
                    kids = [int(number) for number in children.read().split()]
            except (OSError, ValueError):
                continue
            found += kids
            queue += kids
    return found


def alive(pid):
    """True while a process with this id exists and is not a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False


def name_of(pid):
    try:
        with open(f"/proc/{pid}/comm") as comm:
            return comm.read().strip()
    except OSError:
        return ""


def peak_memory_kb(pid):
    """VmHWM: the most resident memory the process has had, in kB (0 once it is gone)."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return 0


class Watch:
    """Collects every process that appears below `pid` until stopped; `names` remembers what each was."""

    def __init__(self, pid, interval=0.05):
        self.pid, self.interval = pid, interval
        self.seen = {}
        self.peak_kb = 0        # the watched process's own peak resident memory
        self.running = True
        self.thread = threading.Thread(target=self.poll, daemon=True)
        self.thread.start()

    def poll(self):
        while self.running:
            self.peak_kb = max(self.peak_kb, peak_memory_kb(self.pid))
            for child in descendants(self.pid):
                # a name read right after the fork is the parent's: the one after exec wins
                self.seen[child] = name_of(child) or self.seen.get(child, "")
            time.sleep(self.interval)

    def stop(self):
        self.running = False
        self.thread.join()
        return self.seen

    def named(self, *prefixes):
        return [pid for pid, name in self.seen.items() if name.startswith(prefixes)]


def assert_gone(pids, seconds=10):
    deadline = time.monotonic() + seconds
    while any(alive(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.1)
    left = {pid: name_of(pid) for pid in pids if alive(pid)}
    assert not left, f"processes outlived the runner: {left}"


def without_display(**extra):
    environment = dict(os.environ)
    environment.pop("DISPLAY", None)
    environment.update(extra)
    return environment


def run_watched(arguments, cwd, timeout=300, environment=None):
    """`python -m tavik ARGUMENTS` to its end: (CompletedProcess, {pid: name} of every process seen below it)."""
    command = [sys.executable, "-m", "tavik", *arguments]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=cwd,
                               env=environment or without_display())
    watch = Watch(process.pid)
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    finally:
        process.kill()
        seen = watch.stop()
    completed = subprocess.CompletedProcess(command, process.returncode, stdout, stderr)
    completed.peak_kb = watch.peak_kb
    return completed, seen
