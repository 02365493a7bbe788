"""Judging a class against an assignment: whose program is which, and how well it did.

A class folder holds one learner per `.py` file, per sub-folder (the
program that constructs `TAVIK()` is the one run, or the folder's single
`.py`), or per `.zip` (read as if it were that sub-folder; a class handed
in as one `.zip` is read as if it were the class folder). Archives are
unpacked into the report's own folder, never beside the class's files, and
only within limits: no member outside its folder, no links, a cap on size
and count.

After the programs ran, each result is compared with the teacher's solution
(`--reference`), put through the teacher's checks (`--checks`), and copies
are flagged in pairs. `grades.csv` is the grade list, one row per learner.
"""
import csv
import os
import re
import shutil
import stat
import zipfile
from dataclasses import asdict, dataclass
from pathlib import Path

from tavik.classroom import checks as teacher_checks
from tavik.classroom.compare import DEFAULT_TOLERANCE, compare_data, draw_comparison
from tavik.classroom.scene import Scene
from tavik.classroom.similar import copy_warning, is_copy_warning, similar_pairs

UNPACKED = "unpacked"       # inside the report's folder
MOST_MEMBERS = 1000
MOST_UNPACKED = 50 * 1024 * 1024
CONSTRUCTS_APP = re.compile(r"\bTAVIK\s*\(")
IGNORED_FOLDERS = ("__pycache__", "__MACOSX")
GRADES = "grades.csv"
IMAGES = "images"       # inside the report's folder


class BadArchive(Exception):
    """A submitted archive that cannot be unpacked safely; the message is for the teacher (Chinese)."""


@dataclass
class Submission:
    learner: str        # the name the teacher knows: sub-folder, archive or file name without .py
    program: Path       # the program to run
    folder: Path        # the learner's own folder, copied whole for the run (None for a single file)
    shown: str          # the program's name on its card: "张三/作业.py", "alice.py"
    problem: str = ""   # why it cannot be run (Chinese), when it cannot


# ---- archives ---------------------------------------------------------------------------

def unpack(archive, target):
    """Unpacks `archive` into the new folder `target`, refusing anything unsafe; returns `target`."""
    try:
        with zipfile.ZipFile(archive) as opened:
            members = opened.infolist()
            if len(members) > MOST_MEMBERS:
                raise BadArchive(f"{archive.name} 里的文件太多（超过 {MOST_MEMBERS} 个），没有解开。")
            if sum(member.file_size for member in members) > MOST_UNPACKED:
                raise BadArchive(f"{archive.name} 解开以后太大（超过 {MOST_UNPACKED // 1024 // 1024} MB），没有解开。")
            target.mkdir(parents=True)
            for member in members:
                unpack_member(opened, member, target, archive.name)
    except (zipfile.BadZipFile, OSError, RuntimeError, NotImplementedError, EOFError, ValueError) as trouble:
        raise BadArchive(f"{archive.name} 不是能打开的 zip 文件（{trouble}）。") from trouble
    return target


def unpack_member(opened, member, target, archive_name):
    name = member.filename.replace("\\", "/")
    parts = [part for part in name.split("/") if part not in ("", ".")]
    if name.startswith("/") or ".." in parts or (parts and ":" in parts[0]):
        raise BadArchive(f"{archive_name} 里的 {member.filename} 指向文件夹外面，没有解开。")
    if stat.S_ISLNK(member.external_attr >> 16):
        raise BadArchive(f"{archive_name} 里的 {member.filename} 是一个链接，没有解开。")
    if not parts or parts[0] in IGNORED_FOLDERS:
        return
    destination = target.joinpath(*parts)
    if member.is_dir():
        destination.mkdir(parents=True, exist_ok=True)
        return
    destination.parent.mkdir(parents=True, exist_ok=True)
    written = 0
    with opened.open(member) as source, open(destination, "xb") as copy:
        while chunk := source.read(1 << 16):
            written += len(chunk)
            if written > member.file_size:     # the archive lied about the size
                raise BadArchive(f"{archive_name} 里的 {member.filename} 比它说的大，没有解开。")
            copy.write(chunk)


def single_folder(folder):
    """An archive made of one folder is that folder."""
    entries = [entry for entry in folder.iterdir() if entry.name not in IGNORED_FOLDERS]
    if len(entries) == 1 and entries[0].is_dir() and not entries[0].is_symlink():
        return entries[0]
    return folder


def unpacked_folder(archive, out):
    target = Path(out) / UNPACKED / archive.stem
    shutil.rmtree(target, ignore_errors=True)
    return single_folder(unpack(archive, target))


def class_folder(path, out):
    """The folder to grade: `path` itself, or what a class's `.zip` holds (BadArchive when it cannot)."""
    path = Path(path)
    if path.is_file() and path.suffix.lower() == ".zip":
        return unpacked_folder(path, Path(out) / UNPACKED / "class")
    return path


# ---- whose program is which -------------------------------------------------------------

def regular_files(folder, suffix):
    return sorted((entry for entry in folder.iterdir()
                   if entry.suffix.lower() == suffix and entry.is_file() and not entry.is_symlink()),
                  key=lambda entry: entry.name)


def program_of(folder):
    """The program of a learner's folder: the single `.py`, or the one that constructs TAVIK(); None if none."""
    programs = regular_files(folder, ".py")
    if not programs:
        inner = [entry for entry in folder.iterdir() if entry.is_dir() and not entry.is_symlink()
                 and entry.name not in IGNORED_FOLDERS]
        programs = [program for entry in sorted(inner) for program in regular_files(entry, ".py")]
    if len(programs) <= 1:
        return programs[0] if programs else None
    constructing = [program for program in programs if CONSTRUCTS_APP.search(read_text(program))]
    return (constructing or programs)[0]


def read_text(path):
    """The start of a regular file's text ("" for anything else: a pipe would wait for ever, a link is not followed)."""
    try:
        if not stat.S_ISREG(os.lstat(path).st_mode):
            return ""
        with open(path, "rb") as source:
            return source.read(1 << 20).decode("utf-8", "replace")
    except OSError:
        return ""


def learner_folder_submission(learner, folder, class_root):
    program = program_of(folder)
    if program is None:
        return Submission(learner, folder, folder, learner + "/", problem="这个文件夹里没有 .py 程序。")
    return Submission(learner, program, folder, Path(os.path.relpath(program, class_root)).as_posix()
                      if is_inside(program, class_root) else f"{learner}/{program.name}")


def is_inside(path, folder):
    try:
        Path(path).resolve().relative_to(Path(folder).resolve())
        return True
    except ValueError:
        return False


def submissions_in(folder, out):
    """Every learner of the class folder, by name."""
    folder = Path(folder)
    found = []
    for entry in sorted(folder.iterdir(), key=lambda entry: entry.name):
        if entry.name.startswith(".") or entry.name in IGNORED_FOLDERS:
            continue
        if entry.suffix.lower() == ".py" or entry.is_symlink():    # the runner lists a link as skipped, never follows it
            found.append(Submission(entry.stem if entry.suffix.lower() == ".py" else entry.name, entry, None, entry.name))
        elif entry.is_dir():
            found.append(learner_folder_submission(entry.name, entry, folder))
        elif entry.is_file() and entry.suffix.lower() == ".zip":
            try:
                found.append(learner_folder_submission(entry.stem, unpacked_folder(entry, out), folder))
            except BadArchive as trouble:
                found.append(Submission(entry.stem, entry, folder, entry.name, problem=str(trouble)))
    return unique_names(found)


def unique_names(submissions):
    """Two learners of one name (a.py and a/) are told apart by what they handed in."""
    counts = {}
    for submission in submissions:
        counts[submission.learner] = counts.get(submission.learner, 0) + 1
    for submission in submissions:
        if counts[submission.learner] > 1:
            submission.learner = submission.shown.rstrip("/")
    return submissions


# ---- judging --------------------------------------------------------------------------

@dataclass
class Judging:
    """What the teacher asked for beyond running the programs."""
    reference: object = None        # the solution's Result, when there is one
    checks: list = None             # the teacher's check functions
    checks_path: str = ""
    anywhere: bool = False
    any_size: bool = False
    tolerance: float = DEFAULT_TOLERANCE


def judge_one(result, judging, out):
    """Adds the comparison with the solution and the checks' outcomes to `result` (in place)."""
    if judging.reference is not None:
        compare_result(result, judging, out)
    if judging.checks:
        outcomes, total = teacher_checks.run_checks(judging.checks, result.scene or {}, judging.checks_path)
        result.checks = [asdict(outcome) for outcome in outcomes]
        result.checks_total = asdict(total)


def compare_result(result, judging, out):
    solution = judging.reference.scene or {}
    comparison = compare_data(result.scene or {}, solution, anywhere=judging.anywhere, any_size=judging.any_size,
                              tolerance=judging.tolerance)
    picture = Path(out) / IMAGES / (stem_of(result.file) + "-对比.png")
    draw_comparison(Scene.from_data(result.scene), Scene.from_data(solution), comparison, picture)
    comparison.picture = Path(os.path.relpath(picture, out)).as_posix()
    result.comparison = asdict(comparison)


def stem_of(shown):
    """A file-name stem for a learner's pictures and files: "小明/main.py" -> "小明_main"."""
    return safe_stem(shown.rstrip("/").rsplit(".", 1)[0].replace("/", "_"))


def safe_stem(name):
    return re.sub(r"[\\/:*?\"<>|\s]+", "_", name).strip("._") or "program"


def flag_copies(results, sources):
    """Warns both learners of each pair of copies; earlier copy warnings (a kept result's) are replaced."""
    by_learner = {result.learner: result for result in results}
    for result in results:
        result.warnings = [warning for warning in result.warnings if not is_copy_warning(warning)]
    for pair in similar_pairs({learner: text for learner, text in sources.items() if learner in by_learner}):
        for one, other in ((pair.first, pair.second), (pair.second, pair.first)):
            warning = copy_warning(other, pair.share)
            if warning not in by_learner[one].warnings:
                by_learner[one].warnings.append(warning)


# ---- the grade list ---------------------------------------------------------------------

GRADE_COLUMNS = ["姓名", "程序", "状态", "分数", "检查得分", "检查满分", "说明", "提醒"]


def grade_row(result):
    comparison = result.comparison or {}
    total = result.checks_total or {}
    return [result.learner, result.file, result.label, comparison.get("score", ""),
            format_points(total.get("earned")), format_points(total.get("possible")),
            comparison.get("explanation", ""), " / ".join(result.warnings)]


def format_points(value):
    if value is None:
        return ""
    return f"{value:g}"


def write_grades(results, out):
    """OUTDIR/grades.csv, UTF-8 with a byte-order mark so that a spreadsheet reads the Chinese names right."""
    target = Path(out) / GRADES
    with open(target, "w", encoding="utf-8-sig", newline="") as sheet:
        writer = csv.writer(sheet)
        writer.writerow(GRADE_COLUMNS)
        for result in results:
            writer.writerow(grade_row(result))
    return target
