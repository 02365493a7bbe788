"""The parent: runs batches of cases in child processes, watches them, and
turns a crash, a hang or a fault into a short reproducer script."""
import inspect
import json
import os
import random
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

from fuzz.surface import ENGINE_SETTINGS, PACKAGE, ROOT, TOOLS, families_of, sanitized

SANITIZER_REPORT = re.compile(r"ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer|"
                              r"AddressSanitizer:DEADLYSIGNAL|SUMMARY: UndefinedBehaviorSanitizer")


def child_environment():
    env = dict(os.environ)
    if sanitized():
        asan = env.get("ASAN_OPTIONS", "")
        for option in ("detect_leaks=0", "allocator_may_return_null=1", "max_allocation_size_mb=4096"):
            if option.split("=")[0] not in asan:
                asan = f"{asan}:{option}" if asan else option
        env["ASAN_OPTIONS"] = asan
        env.setdefault("UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1")
    return env


class Batch:
    """One child running cases `start`..`stop` of `seed`; reports what ended it."""

    def __init__(self, seed, start, stop, options, workdir):
        self.seed, self.start, self.stop = seed, start, stop
        self.case_file = os.path.join(workdir, "case.json")
        self.stderr_path = os.path.join(workdir, "stderr.txt")
        self.options = options

    def run(self, seconds):
        read_end, write_end = os.pipe()
        command = [sys.executable, PACKAGE, "--worker", "--seed", str(self.seed),
                   "--start", str(self.start), "--stop", str(self.stop), "--seconds", str(seconds),
                   "--case-file", self.case_file, "--progress-fd", str(write_end)]
        for family in self.options.skip:
            command += ["--skip", family]
        with open(self.stderr_path, "w") as stderr:
            child = subprocess.Popen(command, pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=stderr,
                                     env=child_environment(), cwd=TOOLS, start_new_session=True)
        os.close(write_end)
        self.current, self.finished, self.calls, self.faults, self.hung = None, False, 0, [], False
        self.last = self.start - 1
        self.harness = []
        buffer = b""
        last_news = time.monotonic()
        with os.fdopen(read_end, "rb") as progress:
            while True:
                ready, _, _ = select.select([progress], [], [], 1.0)
                if ready:
                    chunk = os.read(progress.fileno(), 65536)
                    if not chunk:
                        break
                    buffer += chunk
                    *lines, buffer = buffer.split(b"\n")
                    for line in lines:
                        self.news(line.decode())
                    last_news = time.monotonic()
                elif time.monotonic() - last_news > self.options.case_timeout + (60 if self.current is None else 0):
                    self.hung = True
                    child.send_signal(signal.SIGABRT)  # faulthandler names the statement
                    try:
                        child.wait(10)
                    except subprocess.TimeoutExpired:
                        pass
                    try:
                        os.killpg(child.pid, signal.SIGKILL)  # and anything it started
                    except ProcessLookupError:
                        pass
                    break
        self.returncode = child.wait()
        with open(self.stderr_path, errors="replace") as stderr:
            self.stderr = stderr.read()
        return self

    def news(self, line):
        word, _, rest = line.partition(" ")
        if word == "start":
            self.current = int(rest)
        elif word == "end":
            index, calls = rest.split()
            self.calls += int(calls)
            self.current = None
            self.last = int(index)
        elif word == "fault":
            index, fault = rest.split(" ", 1)
            self.faults.append((int(index), json.loads(fault)))
        elif word == "harness":
            index, failure = rest.split(" ", 1)
            self.harness.append((int(index), json.loads(failure)))
        elif word == "done":
            self.finished = True

    @property
    def crashed(self):
        report = SANITIZER_REPORT.search(self.stderr)
        return self.hung or not self.finished or self.returncode != 0 or report is not None

    def describe(self):
        if self.hung:
            return f"hang (no progress for {self.options.case_timeout:.0f} s)"
        if self.returncode < 0:
            return f"signal {signal.Signals(-self.returncode).name}"
        match = SANITIZER_REPORT.search(self.stderr)
        if match:
            return "sanitizer report: " + self.stderr[match.start():].splitlines()[0][:200]
        return f"exit status {self.returncode}"


FATAL_LINES = (r"ERROR: AddressSanitizer: [\w-]+", r"src/\w+\.cpp:\d+:\d+: runtime error: .*",
               r"terminate called after throwing an instance of .*", r"what\(\): .*",
               r"Assertion `.*' failed", r"Fatal Python error: .*")


def crash_signature(stderr):
    """What ended the child: the sanitizer's or the runtime's own words, and
    the kit's innermost frame when the report has one."""
    words = []
    for pattern in FATAL_LINES:
        found = re.search(pattern, stderr)
        if found:
            words.append(found.group(0).strip()[:120])
    frame = re.search(r"#\d+ 0x[0-9a-f]+ in (\S+) \S*?(src/\w+\.cpp:\d+)", stderr)
    if frame:
        words.append(f"in {frame.group(1)} {frame.group(2)}")
    return "; ".join(words[:3]) or ("hang" if "timeout" in stderr else "no report")


def callee(source):
    """What a statement calls first, with the case's variable numbers left out."""
    found = re.search(r"([A-Za-z_][\w.]*)\(", source.split("=", 1)[-1] if re.match(r"\w+ = ", source) else source)
    return re.sub(r"\b([a-z]+)\d+\b", r"\1", found.group(1)) if found else source[:40]


def crashing_statement(stderr):
    """The number of the case's top-level statement running when the child died."""
    numbers = re.findall(r'File "<case [\d:]+ statement (\d+)>"', stderr)
    return int(numbers[-1]) if numbers else None


PRELUDE = '''\
# {title}
# Made by tools/fuzz. Run it with the kit installed (under the sanitizer
# build as `make fuzz` runs it): {outcome}.
import copy, gc, inspect, math, operator, pickle, sys, types
from tavik.classroom.display import ensure_display
ensure_display()
from panda3d.core import loadPrcFileData
loadPrcFileData("fuzz", {settings!r})
import panda3d.core as core
import tavik.tavik as kit
from tavik.tavik import *
app = TAVIK()
for _ in range(3):
    app.taskMgr.step()
'''


def reproducer(statements, title, outcome):
    """A standalone script running `statements` as the fuzz child runs them."""
    from fuzz import hostile
    sources = [source for source, _ in statements]
    helpers = {name: inspect.getsource(value) for name, value in vars(hostile).items()
               if (inspect.isfunction(value) or inspect.isclass(value)) and value.__module__ == hostile.__name__}
    needed, queue = [], list(sources)
    while queue:
        text = queue.pop()
        for name in helpers:
            if name not in needed and re.search(rf"\b{name}\b", text):
                needed.append(name)
                queue.append(helpers[name])
    order = [name for name in helpers if name in needed]
    parts = [PRELUDE.format(title=title, outcome=outcome, settings=ENGINE_SETTINGS)]
    parts += [helpers[name] for name in order]
    for number, source in enumerate(sources):
        body = "\n".join("    " + line for line in source.splitlines())
        parts.append(f"try:  # statement {number}\n{body}\nexcept BaseException as error:\n"
                     f"    print('statement {number}:', type(error).__name__, str(error)[:100])\n")
    parts.append("print('no crash')\n")
    return "\n".join(parts)


def still_fails(script, timeout, signature):
    """Whether a reproducer script still fails the way `signature` says (a
    crash report, or "fault: " and the words of a SystemError); and its stderr."""
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False, encoding="utf-8") as handle:
        handle.write(script)
    try:
        result = subprocess.run([sys.executable, handle.name], capture_output=True, text=True, errors="replace",
                                timeout=timeout, env=child_environment(), cwd=tempfile.gettempdir())
    except subprocess.TimeoutExpired:
        return signature.startswith("hang"), "timeout"
    finally:
        os.unlink(handle.name)
    if signature.startswith("fault: "):
        words = normalised(signature[len("fault: "):])[:60]
        return result.returncode == 0 and words in normalised(result.stdout), result.stderr
    crashed = result.returncode != 0 or SANITIZER_REPORT.search(result.stderr) is not None
    same = crash_signature(result.stderr).split("; ")[0] == signature.split("; ")[0]
    return crashed and same, result.stderr


def normalised(text):
    return re.sub(r" at 0x[0-9a-f]+", "", text).replace(": ", " ", 1)


def minimise(statements, title, outcome, budget, timeout, signature):
    """Drops statements one at a time while the script still crashes the same way."""
    deadline = time.monotonic() + budget
    crashed, stderr = still_fails(reproducer(statements, title, outcome), timeout, signature)
    if not crashed:
        return statements, None
    number = len(statements) - 1
    while number >= 0 and time.monotonic() < deadline:
        shorter = statements[:number] + statements[number + 1:]
        still, report = still_fails(reproducer(shorter, title, outcome), timeout, signature)
        if still:
            statements, stderr = shorter, report
        number -= 1
    return statements, stderr


class Session:
    def __init__(self, options):
        self.options = options
        self.calls = 0
        self.cases = 0
        self.crashes = []
        self.faults = []
        self.signatures = set()
        self.fault_kinds = set()
        self.engine_faults = []  # the engine's own, reported but not counted
        self.elapsed = 0.0
        self.running = 0.0  # time in the children, not in making reproducers

    def run(self):
        started = time.monotonic()
        workdir = tempfile.mkdtemp(prefix="tavik-fuzz-")
        seeds = self.options.seed or [random.SystemRandom().randrange(10 ** 6)]
        if not os.environ.get("DISPLAY"):
            sys.path[:] = [entry for entry in sys.path if os.path.abspath(entry or os.curdir) != ROOT]
            from tavik.classroom.display import ensure_display
            preload = os.environ.pop("LD_PRELOAD", None)  # the X server is not under test
            try:
                ensure_display()  # one virtual screen for every child
            finally:
                if preload is not None:
                    os.environ["LD_PRELOAD"] = preload
        budget = self.options.seconds / len(seeds)
        for seed_number, seed in enumerate(seeds):
            seed_deadline = started + budget * (seed_number + 1)
            index = self.options.start
            stop = self.options.start + self.options.cases if self.options.cases else 10 ** 9
            while index < stop and time.monotonic() < seed_deadline:
                batch = Batch(seed, index, min(stop, index + self.options.batch), self.options, workdir)
                batch_started = time.monotonic()
                batch.run(max(1.0, seed_deadline - time.monotonic()))
                self.running += time.monotonic() - batch_started
                self.calls += batch.calls
                for fault_index, fault in batch.faults:
                    self.fault(seed, fault_index, fault)
                for harness_index, failure in batch.harness:
                    print(f"HARNESS seed {seed} case {harness_index}: could not restore: {failure}")
                if batch.crashed:
                    if batch.current is None:
                        print(f"child died outside a case ({batch.describe()}):\n{batch.stderr[-2000:]}")
                        return 2
                    self.cases += batch.current - index + 1
                    self.crash(seed, batch)
                    index = batch.current + 1
                else:
                    done = batch.last + 1
                    self.cases += done - index
                    if done == index:
                        break  # out of time before the first case
                    index = done
        self.elapsed = time.monotonic() - started
        self.report(seeds)
        return 1 if self.crashes or self.faults else 0

    def fault(self, seed, index, fault):
        if fault["origin"] == "engine conversion":
            self.engine_faults.append((seed, index, fault))
        else:
            self.faults.append((seed, index, fault))
        key = (re.sub(r"0x[0-9a-f]+", "", fault["error"]), callee(fault["source"]))
        if key in self.fault_kinds:
            return
        self.fault_kinds.add(key)
        families = ", ".join(fault["families"]) or "new"
        print(f"FAULT  seed {seed} case {index} statement {fault['statement']}: {fault['error']}\n"
              f"       in {fault['source'][:160]!r}; {fault['origin']}; families {families}", flush=True)
        if self.options.no_reproducers or fault["origin"] == "engine conversion":
            return
        statements = self.emit(seed, index)[:fault["statement"] + 1]
        title = f"tavik fuzz: seed {seed} case {index}, {fault['error'][:100]}"
        outcome = "no statement should print a SystemError"
        if not self.options.no_minimise:
            shorter, stderr = minimise(statements, title, outcome, self.options.minimise_seconds,
                                       self.options.case_timeout * 3, "fault: " + fault["error"])
            statements = shorter if stderr is not None else statements
        os.makedirs(self.options.findings, exist_ok=True)
        path = os.path.join(self.options.findings, f"fault-{seed}-{index}.py")
        with open(path, "w", encoding="utf-8", errors="backslashreplace") as script:
            script.write(reproducer(statements, title, outcome))
        print(f"       reproducer {path} ({len(statements)} statements)", flush=True)

    def emit(self, seed, index):
        """The statements of one case, as a fresh child generates them."""
        command = [sys.executable, PACKAGE, "--emit", f"{seed}:{index}"]
        for family in self.options.skip:
            command += ["--skip", family]
        result = subprocess.run(command, capture_output=True, text=True, cwd=TOOLS, env=dict(os.environ))
        return [tuple(item) for item in json.loads(result.stdout.splitlines()[-1])]

    def crash(self, seed, batch):
        index = batch.current
        with open(batch.case_file, encoding="utf-8") as case_file:
            statements = [(source, tags) for source, tags in json.load(case_file)["statements"]]
        number = crashing_statement(batch.stderr)
        reached = statements if number is None else statements[:number + 1]
        families = sorted(set().union(*(families_of(tags) for _, tags in reached))) or ["new"]
        signature = "hang" if batch.hung else crash_signature(batch.stderr)
        print(f"CRASH  seed {seed} case {index}: {batch.describe()}; at {signature}; families {', '.join(families)}",
              flush=True)
        entry = {"seed": seed, "index": index, "outcome": batch.describe(), "signature": signature,
                 "families": families, "reproducer": None}
        self.crashes.append(entry)
        key = (signature, callee(reached[-1][0]) if reached else "")
        if self.options.no_reproducers or key in self.signatures:
            return
        self.signatures.add(key)
        os.makedirs(self.options.findings, exist_ok=True)
        title = f"tavik fuzz: seed {seed} case {index}, {batch.describe()} at {signature}"
        outcome = "it should print 'no crash'"
        if not self.options.no_minimise:
            shorter, stderr = minimise(reached, title, outcome, self.options.minimise_seconds,
                                       self.options.case_timeout * 3, signature)
            if stderr is None:
                print("       (does not crash on its own: it needs the cases before it in its batch)")
            else:
                statements = shorter
                families = sorted(set().union(*(families_of(tags) for _, tags in statements))) or ["new"]
                entry["families"] = families
                print(f"       minimised: {crash_signature(stderr)}; families {', '.join(families)}")
        stem = os.path.join(self.options.findings, f"crash-{seed}-{index}")
        with open(stem + ".py", "w", encoding="utf-8", errors="backslashreplace") as script:
            script.write(reproducer(statements, title, outcome))
        with open(stem + ".stderr.txt", "w") as report:
            report.write(batch.stderr)
        entry["reproducer"] = stem + ".py"
        print(f"       reproducer {stem}.py ({len(statements)} statements)", flush=True)

    def report(self, seeds):
        rate = self.calls / self.running if self.running else 0.0
        print(f"fuzz: seeds {', '.join(map(str, seeds))}; {self.cases} cases, {self.calls} calls in {self.running:.0f} s "
              f"of fuzzing ({rate:.0f} calls/s), {self.elapsed:.0f} s in all; {len(self.crashes)} crashes, "
              f"{len(self.faults)} faults ({len(self.engine_faults)} more in the engine's own conversions)"
              + (f"; skipped {', '.join(self.options.skip)}" if self.options.skip else ""))
