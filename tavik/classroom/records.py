"""The records the teacher's tools pass between them, defined once.

`Observed` is what the child process saw of a learner's program and sends to
the runner when it ends; `Result` is one program's result as the runner
gives it, which is also the grading report's entry (report.json is a list of
them, one JSON object each, field for field). The structured error and the
run's notes inside them stay plain data: they come over JSON from the child,
and the Chinese hints read them as such (see `tavik.classroom.hints`).
"""
from dataclasses import dataclass, field, fields

OK, ERROR, TIMEOUT, LIMIT, SKIPPED = "ok", "error", "timeout", "limit", "skipped"
STATUS_LABELS = {OK: "完成", ERROR: "出错", TIMEOUT: "超时", LIMIT: "超限", SKIPPED: "跳过"}


def status_label(status):
    return STATUS_LABELS.get(status, status)


class Record:
    """Plain-data conversion shared by the records: JSON objects with one key per field."""

    def to_json(self):
        # the fields hold plain data already (dicts, lists, strings, numbers): no deep copy is needed
        return {item.name: getattr(self, item.name) for item in fields(self)}

    @classmethod
    def from_json(cls, data):
        """The record from a JSON object; unknown keys are left out, missing ones take their defaults."""
        if not isinstance(data, dict):
            raise ValueError(f"{cls.__name__} needs a JSON object, not {type(data).__name__}")
        names = {item.name for item in fields(cls)}
        return cls(**{key: value for key, value in data.items() if key in names})


@dataclass
class Observed(Record):
    """What the child saw of the program; its pictures travel beside it, not in it."""
    status: str = OK
    error: dict = None          # the error as plain data (`tavik.classroom.child.describe`), or None
    facts: dict = field(default_factory=dict)   # the wrappers' notes (`tavik.classroom.child.facts`)
    fps: float = None
    seconds: float = None       # from the program's start to its end, as the child timed it
    exit_code: int = None       # a SystemExit's code other than 0
    picture_error: str = None   # why a picture could not be made
    screenshot: str = None      # where the child saved the pictures
    gif: str = None
    scene: dict = None          # what the screen showed at the end (`tavik.classroom.scene.Scene`, as data)


@dataclass
class Result(Record):
    """One program's result; in a report, the paths are relative to the report's folder."""
    file: str
    status: str = OK
    seconds: float = 0.0
    screenshot: str = None
    gif: str = None
    stdout: str = ""
    stderr: str = ""
    traceback: str = ""
    hint: str = ""
    warnings: list = field(default_factory=list)
    frames: int = 0
    fps: float = None
    notices: str = None         # the engine's own notices, kept only when asked for
    limit: str = None           # the limit that stopped the program ("memory", "cpu", "output", ...)
    files: list = field(default_factory=list)   # files the program wrote, kept beside its result
    isolation: str = ""         # how the program was kept apart, in a few words
    digest: str = ""            # of the program's source, to tell a changed program on a second run
    scene: dict = None          # what the screen showed at the end (`tavik.classroom.scene.Scene`, as data)
    learner: str = ""           # whose program: the sub-folder's name, or the file's name without .py
    comparison: dict = None     # against the teacher's solution (`tavik.classroom.compare.Comparison`, as data)
    checks: list = field(default_factory=list)  # the teacher's checks (`tavik.classroom.checks.CheckResult`, as data)
    checks_total: dict = None   # `tavik.classroom.checks.CheckTotal`, as data

    @property
    def label(self):
        return status_label(self.status)
