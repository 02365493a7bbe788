"""A learner's errors, wherever the program runs: their own frames, then a Chinese hint.

`install()` runs when the kit is imported. It puts `print_learner_error` in
front of whatever `sys.excepthook` was there (Python's own, IDLE's F5 calls
the program's hook too), and in IPython registers the same printer for a
cell's exceptions. Errors with no frame of the learner's own go on to the
hook that was there before, as does everything when the environment
variable TAVIK_PLAIN_ERRORS is set.

The engine's task runner hands an exception leaving a task to
`sys.excepthook` (the C++ task prints it through `PyErr_Print`) and then
raises it again out of `app.run()`: the second report of the same error
(same innermost frame and line) is not printed.
"""
import builtins
import linecache
import os
import sys
import sysconfig
import traceback

PLAIN_VARIABLE = "TAVIK_PLAIN_ERRORS"
HINT_PREFIX = "提示："


def wanted():
    return not os.environ.get(PLAIN_VARIABLE)


def library_folders():
    """Where code that is not the learner's lives: the standard library, installed packages, the kit."""
    folders = set()
    for scheme_vars in ({}, {"base": sys.base_prefix, "platbase": sys.base_exec_prefix}):
        paths = sysconfig.get_paths(vars=scheme_vars) if scheme_vars else sysconfig.get_paths()
        for key in ("stdlib", "platstdlib", "purelib", "platlib"):
            if paths.get(key):
                folders.add(os.path.normcase(os.path.abspath(paths[key])))
    folders.add(os.path.normcase(os.path.dirname(os.path.abspath(__file__))))
    return tuple(sorted(folders))


LIBRARY = library_folders()


def is_library(filename):
    if filename.startswith("<"):
        return not filename.startswith(("<ipython-input", "<stdin>", "<pyshell"))
    path = os.path.normcase(os.path.abspath(filename))
    return path.startswith(tuple(folder + os.sep for folder in LIBRARY)) or "site-packages" in path


def learner_frames(stack):
    """The learner's frames, and the kit's frame that a learner's line called into."""
    kept = []
    previous_mine = False
    for frame in stack:
        mine = not is_library(frame.filename)
        if mine or (previous_mine and is_kit(frame.filename)):
            kept.append(frame)
        previous_mine = mine
    return kept


def is_kit(filename):
    return os.path.normcase(os.path.abspath(filename)).startswith(LIBRARY_KIT)


LIBRARY_KIT = os.path.normcase(os.path.dirname(os.path.abspath(__file__))) + os.sep


def trimmed(exception):
    """A TracebackException whose stacks (of the chained errors too) keep only the learner's frames."""
    seen = set()
    pending = [exception]
    while pending:
        current = pending.pop()
        if current is None or id(current) in seen:
            continue
        seen.add(id(current))
        kept = learner_frames(current.stack)
        if kept:
            current.stack = traceback.StackSummary.from_list(kept)
        pending += [current.__cause__, current.__context__]
    return exception


def is_learners_error(value, tb):
    """An error in the learner's own code: a frame of theirs, or a syntax error in a file of theirs."""
    if isinstance(value, SyntaxError) and value.filename and not is_library(value.filename):
        return True
    return has_learner_frame(tb)


def has_learner_frame(tb):
    return any(not is_library(frame.f_code.co_filename) for frame, _ in traceback.walk_tb(tb))


def program_folder(tb):
    """The folder of the program: the main script's, or the outermost learner frame's (a notebook cell)."""
    main = getattr(sys.modules.get("__main__"), "__file__", None)
    if main:
        return os.path.dirname(os.path.abspath(main))
    for frame, _ in traceback.walk_tb(tb):
        if not is_library(frame.f_code.co_filename) and not frame.f_code.co_filename.startswith("<"):
            return os.path.dirname(os.path.abspath(frame.f_code.co_filename))
    return os.getcwd()


def hint_text(error_type, value, tb):
    """The Chinese hint for this error, or "" when the table has nothing useful to say."""
    from tavik import mistakes
    from tavik.classroom import child, hints

    class NoNotes:
        grid_errors = {}

    error = child.describe(value, NoNotes(), program_folder(tb))
    if error.get("line") is None and not isinstance(value, SyntaxError):
        error.update(innermost_learner_line(tb))    # a notebook cell has no file of its own
    error["facts"] = mistakes.runtime_facts(getattr(builtins, "base", None))
    return hints.hint_for(error)


def innermost_learner_line(tb):
    found = {}
    for frame, line in traceback.walk_tb(tb):
        if not is_library(frame.f_code.co_filename):
            found = {"line": line, "code": linecache.getline(frame.f_code.co_filename, line,
                                                            frame.f_globals).strip()}
    return found


class Printer:
    """The hook: prints each learner error once, trimmed, with its hint; hands everything else on."""

    def __init__(self, previous):
        self.previous = previous
        self.last = None

    def __call__(self, error_type, value, tb):
        if not wanted() or not isinstance(value, Exception) or not is_learners_error(value, tb):
            return self.previous(error_type, value, tb)
        signature = innermost(tb) + (error_type, str(value))
        if signature == self.last:
            return None
        self.last = signature
        write(report(error_type, value, tb))
        return None


def innermost(tb):
    while tb is not None and tb.tb_next is not None:
        tb = tb.tb_next
    return (id(tb.tb_frame), tb.tb_lineno) if tb is not None else (None, None)


def report(error_type, value, tb):
    """The trimmed traceback and the hint, as the learner reads them."""
    described = trimmed(traceback.TracebackException(error_type, value, tb, compact=True))
    if isinstance(value, SyntaxError):      # only the file and line Python could not read
        described.stack = traceback.StackSummary.from_list(learner_frames(described.stack))
    text = "".join(described.format())
    try:
        hint = hint_text(error_type, value, tb)
    except Exception:     # a hint must never hide the error it explains
        hint = ""
    return text + (HINT_PREFIX + hint + "\n" if hint else "")


def write(text):
    if sys.stderr is not None:      # pythonw and some editors run a program without one
        write_text(sys.stderr, text)


def write_text(stream, text):
    """Writes `text`; what the stream's encoding cannot hold is written as escapes, not lost to an error."""
    try:
        stream.write(text)
    except UnicodeEncodeError:
        encoding = getattr(stream, "encoding", None) or "ascii"
        stream.write(text.encode(encoding, "backslashreplace").decode(encoding))
    stream.flush()


def install():
    """Puts the printer in front of the current hook (once), and into IPython when it runs this program."""
    if isinstance(sys.excepthook, Printer):
        return
    sys.excepthook = Printer(sys.excepthook)
    install_in_ipython()


def install_in_ipython():
    """A notebook cell's error goes through IPython's own display, with the learner's part and the hint."""
    shell = getattr(builtins, "get_ipython", lambda: None)()
    if shell is None or not hasattr(shell, "set_custom_exc"):
        return

    def show(shell, error_type, value, tb, tb_offset=None):
        # IPython leaves the showing to the handler; its _showtraceback is what a notebook's kernel sends on
        if not wanted() or not is_learners_error(value, tb):
            lines = shell.InteractiveTB.structured_traceback(error_type, value, tb, tb_offset=tb_offset)
        else:
            lines = report(error_type, value, tb).rstrip("\n").split("\n")
        shell._showtraceback(error_type, value, lines)
        return lines

    shell.set_custom_exc((Exception,), show)
