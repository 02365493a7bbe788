"""A program's scratch folder: a copy of the program to run in, and the files it wrote, kept afterwards.

    SCRATCH/work/          the program's working folder: a copy of the program
                           (or of its student's sub-folder); its /tmp under bubblewrap is SCRATCH
    SCRATCH/notices.txt    the engine's own notices

Nothing is ever copied from a symbolic link or anything but a regular file,
in or out, and copies are capped in size and number, so neither a class
folder nor a program can make the grader copy without end.
"""
import os
import re
import shutil
import stat
import tempfile

COPY_CAP = 50 << 20         # bytes of a student's sub-folder copied in
KEPT_CAP = 10 << 20         # bytes of a program's written files kept
KEPT_FILES = 50             # files kept at most
LOOKED_AT = 10_000          # entries of the working folder looked at, at most
NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
PREFIX = "tavik-run-"
OWNED = re.compile(re.escape(PREFIX) + r"(\d+)-")


class Scratch:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix=f"{PREFIX}{os.getpid()}-")
        self.work = os.path.join(self.root, "work")
        os.mkdir(self.work)
        self.notices = os.path.join(self.root, "notices.txt")
        open(self.notices, "wb").close()
        self.copied = {}            # relative path -> (size, mtime) of what was copied in
        self.left_out = False       # files written beyond the caps

    def copy_in(self, source, relative):
        """One regular file into the working folder (never through a symbolic link)."""
        target = os.path.join(self.work, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        copy_regular(source, target)
        info = os.stat(target)
        self.copied[os.path.normpath(relative)] = (info.st_size, info.st_mtime_ns)

    def copy_folder_in(self, folder):
        """A student's sub-folder: its regular files, up to COPY_CAP bytes."""
        total = 0
        for relative, info in regular_files(folder):
            total += info.st_size
            if total > COPY_CAP:
                break
            self.copy_in(os.path.join(folder, relative), relative)

    def written(self):
        """(relative path, size) of regular files the program made or changed in its working folder."""
        found = []
        for relative, info in regular_files(self.work):
            if "__pycache__" in os.path.normpath(relative).split(os.sep):
                continue    # the interpreter's compiled copies of the learner's own modules
            if self.copied.get(os.path.normpath(relative)) != (info.st_size, info.st_mtime_ns):
                found.append((relative, info.st_size))
        return found

    def keep_written(self, destination):
        """Copies what the program wrote to `destination`, within the caps; returns the copies' paths."""
        kept, total = [], 0
        for relative, size in sorted(self.written()):
            if len(kept) >= KEPT_FILES or total + size > KEPT_CAP:
                self.left_out = True
                continue
            target = os.path.join(destination, relative)
            try:
                os.makedirs(os.path.dirname(target), exist_ok=True)
                copy_regular(os.path.join(self.work, relative), target)
            except OSError:
                continue
            total += size
            kept.append(target)
        return kept

    def notices_text(self, limit=200_000):
        try:
            with open(self.notices, "rb") as notices:
                return notices.read(limit).decode("utf-8", "replace")
        except OSError:
            return ""

    def clean(self):
        self.remove(self.root)

    @staticmethod
    def remove(root):
        def unlock(function, path, *error):
            """A program may leave folders it made unreadable: open them up and try once more."""
            try:
                os.chmod(os.path.dirname(path), stat.S_IRWXU)
                os.chmod(path, stat.S_IRWXU)
                function(path)
            except OSError:
                pass
        shutil.rmtree(root, onerror=unlock)


def remove_abandoned():
    """Scratch folders of runners that were killed (SIGKILL leaves no time to clean up): gone once seen."""
    folder = tempfile.gettempdir()
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        owner = OWNED.match(name)
        if owner and not process_exists(int(owner.group(1))):
            Scratch.remove(os.path.join(folder, name))


def process_exists(pid):
    if os.name == "nt":
        return True     # os.kill would end the process there, not ask about it
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OSError, OverflowError):
        return True     # someone else's, or cannot tell: leave it alone
    return True


def regular_files(folder):
    """(relative path, stat) of the regular files under `folder`, symbolic links not followed."""
    seen = 0
    for current, folders, files in os.walk(folder, followlinks=False):
        for name in sorted(files):
            seen += 1
            if seen > LOOKED_AT:
                return
            path = os.path.join(current, name)
            try:
                info = os.lstat(path)
            except OSError:
                continue
            if stat.S_ISREG(info.st_mode):
                yield os.path.relpath(path, folder), info
        folders.sort()


def copy_regular(source, target):
    """Copies a regular file, refusing a symbolic link at the source even if one appeared since it was listed."""
    descriptor = os.open(source, os.O_RDONLY | NOFOLLOW | getattr(os, "O_BINARY", 0))
    with os.fdopen(descriptor, "rb") as reading:
        if not stat.S_ISREG(os.fstat(reading.fileno()).st_mode):
            raise OSError(f"not a regular file: {source}")
        with open(target, "wb") as writing:
            shutil.copyfileobj(reading, writing)
