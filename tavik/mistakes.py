"""Mistakes that end silently, found by reading the learner's program.

Each finder reads the program's syntax tree and returns the values its
warning needs (see the warnings table in `tavik.classroom.hints`); a finder
speaks only about patterns that are wrong in every program, so a correct
program gets no warning. The same finders serve `python -m tavik run`, the
grader and a plain `python prog.py` (through `warn_about_main` when the kit
is imported), since reading the file costs next to nothing.
"""
import ast
import functools
import linecache
import os
import sys

WARNINGS_VARIABLE = "TAVIK_NO_WARNINGS"

# Names a learner may expect for a key, and the engine's name for it.
KEY_NAMES = {
    "left": "arrow_left", "right": "arrow_right", "up": "arrow_up", "down": "arrow_down",
    "leftarrow": "arrow_left", "rightarrow": "arrow_right", "uparrow": "arrow_up", "downarrow": "arrow_down",
    "left_arrow": "arrow_left", "right_arrow": "arrow_right", "up_arrow": "arrow_up", "down_arrow": "arrow_down",
    "esc": "escape", "return": "enter", "spacebar": "space", " ": "space", "ctrl": "control", "del": "delete",
    "click": "mouse1", "leftclick": "mouse1", "left_click": "mouse1", "mouse": "mouse1", "mouse_left": "mouse1",
    "rightclick": "mouse3", "right_click": "mouse3", "mouse_right": "mouse3", "mouse2_right": "mouse3",
    "pageup": "page_up", "pagedown": "page_down", "wheelup": "wheel_up", "wheeldown": "wheel_down",
}
ENGINE_KEYS = ({"space", "enter", "escape", "tab", "backspace", "delete", "insert", "home", "end", "page_up",
                "page_down", "shift", "control", "alt", "arrow_left", "arrow_right", "arrow_up", "arrow_down",
                "mouse1", "mouse2", "mouse3", "wheel_up", "wheel_down"}
               | {f"f{number}" for number in range(1, 13)} | set("abcdefghijklmnopqrstuvwxyz0123456789"))

# Calls that keep a function to call later: (name of the call, which argument, keyword).
CALLBACK_PLACES = {"makeButton": (4, "cmd"), "accept": (1, None), "acceptOnce": (1, None),
                   "addCallback": (1, "callback"), "add": (0, None), "doMethodLater": (1, None)}
CALLBACK_WHAT = {"makeButton": "按钮", "accept": "按键", "acceptOnce": "按键", "addCallback": "点击",
                 "add": "taskMgr", "doMethodLater": "taskMgr"}


def source_line(filename, line):
    """The line as the learner wrote it, whatever the file's encoding."""
    text = linecache.getline(filename, line)
    if text:
        return text.strip()
    try:
        with open(filename, "rb") as source:
            raw = source.read().splitlines()[line - 1]
    except (OSError, IndexError):
        return ""
    return decoded(raw).strip()


def syntax_error_text(error):
    """The line of a syntax error; Python cannot show it right from a file saved in another encoding (GBK)."""
    text = error.text
    if text and "\ufffd" in text and error.filename and error.lineno:
        text = source_line(error.filename, error.lineno) or text
    return text


def decoded(raw):
    """Bytes of a line in UTF-8, or in the Chinese Windows encoding an editor may have saved it in."""
    for encoding in ("utf-8", "gb18030"):
        try:
            return raw.decode(encoding)
        except UnicodeDecodeError:
            pass
    return raw.decode("utf-8", "replace")


def parsed(source_lines):
    """The program's tree, or None. The finders read one program one after another and change no tree,
    so they share one."""
    return parsed_text("\n".join(source_lines))


@functools.lru_cache(maxsize=4)
def parsed_text(text):
    try:
        return ast.parse(text)
    except (SyntaxError, ValueError):
        return None


def functions_without_result(tree):
    """Names of the functions defined in the program that never return a value."""
    names = set()
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            returns = [inner for inner in own_nodes(node) if isinstance(inner, (ast.Return, ast.Yield,
                                                                                  ast.YieldFrom))]
            if not any(getattr(inner, "value", None) is not None for inner in returns):
                names.add(node.name)
    return names


def own_nodes(function):
    """The nodes of a function's body, not those of functions or classes defined inside it."""
    pending = list(function.body)
    while pending:
        node = pending.pop()
        yield node
        if not isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Lambda)):
            pending.extend(ast.iter_child_nodes(node))


def called_function(node, without_result):
    """`name` when `node` is a call `name(...)` of a program's function that returns nothing."""
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id in without_result:
        return node.func.id
    return None


def segment(source_lines, node):
    return ast.get_source_segment("\n".join(source_lines), node) or ""


# ---- finders: (facts, source lines) -> list of values for the warning's sentence ----------

def with_functions_without_result(source_lines):
    """The program's tree and the names of its functions that return nothing (None, set() when unreadable)."""
    tree = parsed(source_lines)
    return (tree, functions_without_result(tree)) if tree is not None else (None, set())


def update_given_a_call(facts, source_lines):
    tree, without_result = with_functions_without_result(source_lines)
    found = []
    for node in ast.walk(tree) if tree is not None else ():
        if isinstance(node, ast.Assign) and any(isinstance(target, ast.Attribute) and target.attr == "update"
                                                for target in node.targets):
            name = called_function(node.value, without_result)
            if name:
                found.append({"line": node.lineno, "code": segment(source_lines, node), "name": name})
    return found


def callback_given_a_call(facts, source_lines):
    tree, without_result = with_functions_without_result(source_lines)
    found = []
    for node in ast.walk(tree) if tree is not None else ():
        if not isinstance(node, ast.Call):
            continue
        callee = node.func.attr if isinstance(node.func, ast.Attribute) else getattr(node.func, "id", None)
        if callee not in CALLBACK_PLACES:
            continue
        position, keyword = CALLBACK_PLACES[callee]
        given = node.args[position] if len(node.args) > position else next(
            (item.value for item in node.keywords if keyword and item.arg == keyword), None)
        name = called_function(given, without_result)
        if name:
            found.append({"line": node.lineno, "call": segment(source_lines, given), "name": name,
                          "receiver": CALLBACK_WHAT[callee]})
    return found


def unknown_key_names(facts, source_lines):
    tree = parsed(source_lines)
    if tree is None:
        return []
    found = []
    for node in ast.walk(tree):
        if (isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute)
                and node.func.attr in ("accept", "acceptOnce") and node.args
                and isinstance(node.args[0], ast.Constant) and isinstance(node.args[0].value, str)):
            key = node.args[0].value
            engine_name = engine_key(key)
            if engine_name:
                found.append({"line": node.lineno, "key": key, "engine": engine_name})
    return found


def engine_key(key):
    """The engine's name for a key written another way, or None when `key` is fine (or not a key at all)."""
    base, _, suffix = key.partition("-")
    if suffix not in ("", "up", "repeat"):
        return None
    folded = base.strip().lower() if base.strip() else base
    engine_name = KEY_NAMES.get(folded) or (folded if folded in ENGINE_KEYS and folded != base else None)
    if engine_name is None:
        return None
    return engine_name + ("-" + suffix if suffix else "")


def endless_loops(facts, source_lines):
    """`while True:` loops that animate, with no way out, and never let the engine draw a frame."""
    tree = parsed(source_lines)
    if tree is None or not makes_application(tree):
        return []
    # a loop inside the per-frame hook freezes one frame: the time-limit message speaks of that
    in_hooks = {id(node) for function in hook_functions(tree) for node in ast.walk(function)}
    found = []
    for node in ast.walk(tree):
        if (isinstance(node, ast.While) and id(node) not in in_hooks and always_true(node.test)
                and animates(node) and not leaves_or_steps(node)):
            found.append({"line": node.lineno, "end": node.end_lineno})
    return found


def hook_functions(tree):
    """The functions the program gives to `app.update` (by name)."""
    hooks = {node.value.id for node in ast.walk(tree) if isinstance(node, ast.Assign)
             and isinstance(node.value, ast.Name)
             and any(isinstance(target, ast.Attribute) and target.attr == "update" for target in node.targets)}
    return [node for node in ast.walk(tree) if isinstance(node, ast.FunctionDef) and node.name in hooks]


def animates(loop):
    """The loop changes something each time round: it calls a method (pen.forward, box.setH, ...)."""
    return any(isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute) for node in ast.walk(loop))


def makes_application(tree):
    return any(isinstance(node, ast.Call) and getattr(node.func, "id", None) == "TAVIK" for node in ast.walk(tree))


def always_true(test):
    return isinstance(test, ast.Constant) and bool(test.value) and test.value is not Ellipsis


def leaves_or_steps(loop):
    """True when the loop can end (break, return, raise, exit) or draws frames itself (taskMgr.step())."""
    pending = list(loop.body)
    while pending:
        node = pending.pop()
        if isinstance(node, (ast.Break, ast.Return, ast.Raise)):
            return True
        if isinstance(node, ast.Call):
            name = node.func.attr if isinstance(node.func, ast.Attribute) else getattr(node.func, "id", None)
            if name in ("step", "exit", "quit", "renderFrame", "input"):
                return True
        if not isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Lambda, ast.While,
                                 ast.For)) or node is loop:
            pending.extend(ast.iter_child_nodes(node))
        elif isinstance(node, (ast.While, ast.For)):
            # a break inside an inner loop ends that loop only
            pending.extend(child for child in ast.walk(node) if isinstance(child, (ast.Return, ast.Raise))
                           or (isinstance(child, ast.Call) and getattr(child.func, "attr", None) == "step"))
    return False


def texts_made_every_frame(facts, source_lines):
    """`makeText` called unconditionally in the function given to `app.update`."""
    tree = parsed(source_lines)
    if tree is None:
        return []
    return [{"line": call.lineno} for function in hook_functions(tree) for call in unconditional_calls(function)
            if isinstance(call.func, ast.Attribute) and call.func.attr == "makeText"]


def unconditional_calls(function):
    """Calls in a function's body that run every time it runs (not under an if, a loop or a try)."""
    pending = list(function.body)
    while pending:
        node = pending.pop()
        if isinstance(node, ast.Call):
            yield node
        if not isinstance(node, (ast.If, ast.IfExp, ast.For, ast.While, ast.Try, ast.FunctionDef,
                                 ast.AsyncFunctionDef, ast.ClassDef, ast.Lambda, ast.BoolOp, ast.comprehension,
                                 ast.ListComp, ast.GeneratorExp, ast.Match)):
            pending.extend(ast.iter_child_nodes(node))


INPUT_NAMES = {"accept", "acceptOnce", "makeButton", "makeEntry", "ClickCtrl", "addCallback", "mouseWatcherNode",
               "is_button_down", "isButtonDown", "getMouse", "input", "keyDown", "onKey", "onKeyUp", "onClick"}


def reads_input(source_lines):
    """True when the program reacts to keys, clicks or typing: its picture may rightly wait for them."""
    tree = parsed(source_lines)
    return tree is None or any(isinstance(node, ast.Name) and node.id in INPUT_NAMES
                               or isinstance(node, ast.Attribute) and node.attr in INPUT_NAMES
                               for node in ast.walk(tree))


def still_window(facts, source_lines):
    """The hook ran every frame and the window never changed, in a program that waits for no input."""
    if not facts.get("update_still") or reads_input(source_lines):
        return []
    found = last_update_in(source_lines)
    return [{"line": found[0] if found else "?"}]


def unfinished_animation(facts, source_lines):
    if not facts.get("unfinished_drawing"):
        return []
    tree = parsed(source_lines)
    lines = sorted(node.lineno for node in ast.walk(tree) if isinstance(node, ast.Call)
                   and getattr(node.func, "id", None) == "animate") if tree is not None else []
    return [{"where": f"第 {lines[0]} 行" if lines else "程序里"}]


def calls_run(source_lines):
    tree = parsed(source_lines)
    return tree is None or any(isinstance(node, ast.Call) and
                               (getattr(node.func, "attr", None) in ("run", "step")
                                or getattr(node.func, "id", None) == "run")
                               for node in ast.walk(tree))


# ---- in a plain run -------------------------------------------------------------------------

def runtime_facts(app):
    """What a hint can know in a plain run: whether `app.update` is something that can be called."""
    update = getattr(app, "update", None) if app is not None else None
    facts = {"update_callable": update is None or callable(update)}
    if not facts["update_callable"]:
        facts["update_value"] = repr(update)[:60]
        main = getattr(sys.modules.get("__main__"), "__file__", None)
        found = main and last_update_assignment(main)
        if found:
            facts["update_line"], facts["update_code"] = found
    return facts


def last_update_assignment(filename):
    """(line, code) of the last assignment to an `update` attribute in the file, or None."""
    return last_update_in(read_lines(filename))


def last_update_in(lines):
    tree = parsed(lines)
    if tree is None:
        return None
    found = None
    for node in ast.walk(tree):
        if isinstance(node, ast.Assign) and any(isinstance(target, ast.Attribute) and target.attr == "update"
                                                for target in node.targets):
            if found is None or node.lineno > found[0]:
                found = (node.lineno, segment(lines, node))
    return found


def read_lines(filename):
    try:
        with open(filename, "rb") as source:
            return [decoded(raw) for raw in source.read().splitlines()]
    except OSError:
        return []


def plain_run_facts(source_lines):
    """Facts about a program read, not run: it makes a window, calls run(), builds its pens, steps its movers."""
    tree = parsed(source_lines)
    if tree is None:
        return {"read_only": True}
    return {"window": makes_application(tree), "run_called": calls_run(source_lines), "read_only": True,
            "unbuilt_pens": pens_never_built(tree), "idle_movers": movers_never_stepped(tree)}


DRAWING_CALLS = ("forward", "lineTo", "dot", "drawPath")
BUILDING_CALLS = ("update", "clear", "drawVec")     # drawVec builds what the pen holds


def made_by(tree, class_name):
    """Names assigned `class_name(...)` in the program."""
    return {target.id for node in ast.walk(tree) if isinstance(node, ast.Assign)
            and isinstance(node.value, ast.Call) and getattr(node.value.func, "id", None) == class_name
            for target in node.targets if isinstance(target, ast.Name)}


def handed_on(tree):
    """Names given to a call as an argument: what happens to them there cannot be read here."""
    return {argument.id for node in ast.walk(tree) if isinstance(node, ast.Call)
            for argument in list(node.args) + [keyword.value for keyword in node.keywords]
            if isinstance(argument, ast.Name)}


def method_calls(tree, owner):
    return [node for node in ast.walk(tree) if isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute)
            and isinstance(node.func.value, ast.Name) and node.func.value.id == owner]


def pens_never_built(tree):
    """Lines of the first stroke of each pen that draws and is never built (no update() anywhere)."""
    lines = []
    given = handed_on(tree)
    for pen in made_by(tree, "Pen") - given:
        calls = method_calls(tree, pen)
        if any(call.func.attr in BUILDING_CALLS for call in calls):
            continue
        strokes = [call.lineno for call in calls if call.func.attr in DRAWING_CALLS and draws(call)]
        if strokes:
            lines.append(min(strokes))
    return sorted(lines)


def draws(call):
    """A pen call that records a line: forward only with draw set."""
    if call.func.attr != "forward":
        return True
    flag = call.args[1] if len(call.args) > 1 else next(
        (keyword.value for keyword in call.keywords if keyword.arg == "draw"), None)
    return flag is not None and not (isinstance(flag, ast.Constant) and not flag.value)


def movers_never_stepped(tree):
    """Lines where a PathMoveCtrl starts that is never stepped (its update named nowhere)."""
    lines = []
    given = handed_on(tree)
    for mover in made_by(tree, "PathMoveCtrl") - given:
        stepped = any(isinstance(node, ast.Attribute) and node.attr == "update" and isinstance(node.value, ast.Name)
                      and node.value.id == mover for node in ast.walk(tree))
        starts = [call.lineno for call in method_calls(tree, mover) if call.func.attr == "start"]
        if starts and not stepped:
            lines.append(min(starts))
    return sorted(lines)


WARNED = set()


def warn_about_main():
    """Prints the warnings that reading the program gives, once, when a program run directly imports the kit."""
    from tavik import errorhook
    if os.environ.get(WARNINGS_VARIABLE) or not errorhook.wanted():
        return
    main = getattr(sys.modules.get("__main__"), "__file__", None)
    if not main or not main.endswith(".py") or errorhook.is_library(main):
        return
    if main in WARNED:
        return
    WARNED.add(main)
    from tavik.classroom import hints
    lines = read_lines(main)
    for sentence in hints.warnings_for(plain_run_facts(lines), lines):
        errorhook.write("注意：" + sentence + "\n")
