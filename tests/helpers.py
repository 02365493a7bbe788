"""Helpers the runner's and grader's tests share: following the processes a command starts,
and driving a headless browser over the report page.

A confined program cannot tell the test its process ids (it has a PID
namespace of its own), so the test watches from outside: every process that
appears below the command it started, polled from /proc while it runs. Only
processes the test itself started (and theirs) are ever looked at.
"""
import fcntl
import json
import os
import shutil
import subprocess
import sys
import threading
import time

import pytest


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
        """The live processes seen whose name starts so (a fork seen before its exec keeps its parent's name)."""
        return [pid for pid, name in list(self.seen.items()) if name.startswith(prefixes) and alive(pid)
                and name_of(pid).startswith(prefixes)]


def assert_gone(pids, seconds=10):
    deadline = time.monotonic() + seconds
    while any(alive(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.1)
    left = {pid: name_of(pid) for pid in pids if alive(pid)}
    assert not left, f"processes outlived the runner: {left}"


SANDBOXES = {"bubblewrap": {}, "fallback": {"TAVIK_SANDBOX": "off"}}


def sandbox_environment(mode):
    """The environment of a command run with the sandbox or with the fallback; skips where bubblewrap cannot run."""
    from tavik.classroom.sandbox import bubblewrap_command
    if mode == "bubblewrap" and bubblewrap_command() is None:
        pytest.skip("bubblewrap is not installed here, or cannot make namespaces")
    return without_display(**SANDBOXES[mode])


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


class Browser:
    """Headless chromium driven through its DevTools protocol over a pair of pipes (no network port).

    Chromium reads commands on descriptor 3 and writes replies on 4, each a
    JSON message ended by a NUL byte. Clicks and typing go through the
    browser's own input events, the way a person's would.
    """

    def __init__(self, profile, width=1400, height=1000):
        browser = shutil.which("chromium") or shutil.which("chromium-browser")
        if browser is None:
            raise FileNotFoundError("chromium")
        commands_read, self.commands = self.high(os.pipe())
        self.replies, replies_write = self.high(os.pipe())

        def wire():
            os.dup2(commands_read, 3)
            os.dup2(replies_write, 4)

        self.process = subprocess.Popen(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             f"--user-data-dir={profile}", f"--window-size={width},{height}", "about:blank"],
            pass_fds=(3, 4), preexec_fn=wire, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(commands_read)
        os.close(replies_write)
        self.buffer = b""
        self.last_id = 0
        self.session = None

    @staticmethod
    def high(ends):
        """The pipe's ends moved above the descriptors the child is given, so wiring cannot clobber them."""
        moved = tuple(fcntl.fcntl(end, fcntl.F_DUPFD_CLOEXEC, 10) for end in ends)
        for end in ends:
            os.close(end)
        return moved

    def send(self, method, **params):
        self.last_id += 1
        message = {"id": self.last_id, "method": method, "params": params}
        if self.session and not method.startswith("Target."):
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        while True:
            reply = self.read()
            if reply.get("id") == self.last_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]

    def read(self):
        while b"\0" not in self.buffer:
            chunk = os.read(self.replies, 1 << 16)
            if not chunk:
                raise RuntimeError("the browser closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def open(self, url, deadline=60):
        target = self.send("Target.createTarget", url=url)["targetId"]
        self.session = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        ends = time.monotonic() + deadline
        loaded = f"location.href === {json.dumps(url)} && document.readyState === 'complete'"
        while not self.evaluate(loaded):
            if time.monotonic() > ends:
                raise TimeoutError(url)
            time.sleep(0.05)

    def evaluate(self, expression):
        reply = self.send("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in reply:
            raise RuntimeError(reply["exceptionDetails"])
        return reply["result"].get("value")

    def click(self, selector):
        x, y = self.evaluate(f"(function () {{ var box = document.querySelector({json.dumps(selector)})"
                             ".getBoundingClientRect(); return [box.left + box.width / 2, box.top + box.height / 2]; })()")
        for kind in ("mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def type(self, selector, text):
        self.click(selector)
        self.send("Input.insertText", text=text)

    def close(self):
        self.process.kill()
        self.process.wait()
        os.close(self.commands)
        os.close(self.replies)
