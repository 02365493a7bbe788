"""Builds the learners' docs site from the programs that it shows.

Two roles in one module, so that the pictures and the pages can never
disagree about which programs there are:

    python tools/docsite.py shots
        runs every program of the site headless (each example of examples/,
        every program block of the hand-written pages under docs/, and the
        API reference's examples), two at a time, and keeps each program's
        screenshot and printed lines in build/docs/shots/; then grades the
        docs' own class (examples/assignments/画房子) against its reference
        and pictures the report page for the teacher's page. Fails when any
        program fails.

A program block is a ```python block, at the start of a line, that imports
tavik: it is run as it stands, and the page shows its screenshot and what it
printed right below it. Other python blocks are shown but not run.

    hooks: [tools/docsite.py]   (in mkdocs.yml)
        turns examples/ into one page each plus an index, writes the API
        reference from the running module (signatures from the stub, which
        the tests hold to the module, docstrings from the module itself),
        places each block's screenshot and output under it, and adds the
        learner-helpers page to the navigation when docs/extras.md exists.

An example's screenshot is published as images/<example>.png (a page may
link it by that name); the other programs' as shots/<id>.png.
"""
import concurrent.futures
import hashlib
import inspect
import os
import pathlib
import posixpath
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
EXAMPLES = ROOT / "examples"
SHOTS = ROOT / "build" / "docs" / "shots"
FRAMES = 90
PARALLEL = 2
TIMEOUT = 300
BANNER = "嗨，Norvane3D编程欢迎您！"
# A program block of a hand-written page: ```python at the start of a line.
# The stubs whose signatures the API reference shows: the kit's, then the helpers'.
STUBS = ("tavik.pyi", "extras.pyi", "game.pyi")
PROGRAM_BLOCK = re.compile(r"^```python[^\n]*\n(.*?)^```[ \t]*$", re.M | re.S)

sys.path.insert(0, str(ROOT / "tools"))
import api_examples  # noqa: E402
import make_report_picture  # noqa: E402

# The class the teacher's page grades, and the name of its report's picture in shots/.
ASSIGNMENT = EXAMPLES / "assignments" / "画房子"
TEACHER_REPORT = "teacher-report"


# --- the programs of the site ------------------------------------------------------------------

def hand_pages():
    return sorted(path for path in DOCS.rglob("*.md"))


def is_program(code):
    return re.search(r"^\s*(from|import)\s+tavik\b", code, re.M) is not None


def page_programs(text):
    return [match.group(1) for match in PROGRAM_BLOCK.finditer(text) if is_program(match.group(1))]


def snippet_id(code):
    return "snippet-" + hashlib.sha1(code.encode("utf-8")).hexdigest()[:12]


def examples():
    return sorted(EXAMPLES.glob("*.py"))


def example_id(path):
    return "example-" + path.stem


def programs():
    """(id, path of the program file or None, source) for every program the site shows."""
    found = [(example_id(path), path, None) for path in examples()]
    seen = set()
    for page in hand_pages():
        for code in page_programs(page.read_text(encoding="utf-8")):
            if snippet_id(code) not in seen:
                seen.add(snippet_id(code))
                found.append((snippet_id(code), None, code))
    found.append(("api-examples", None, api_examples.program()))
    return found


def run_program(program_id, path, source, folder, frames=FRAMES):
    """Runs one program headless, in a folder of its own; returns (id, error text or None)."""
    folder = folder / program_id
    folder.mkdir()
    if path is None:
        path = folder / (program_id + ".py")
        path.write_text(source, encoding="utf-8")
    screenshot = SHOTS / (program_id + ".png")
    output = SHOTS / (program_id + ".txt")
    for stale in (screenshot, output):
        stale.unlink(missing_ok=True)
    # -P: from a checkout, import the installed package, not the source folder.
    command = [sys.executable, "-P", "-m", "tavik", "run", str(path), "--frames", str(frames),
               "--screenshot", str(screenshot)]
    try:
        result = subprocess.run(command, capture_output=True, text=True, encoding="utf-8", timeout=TIMEOUT,
                                cwd=folder, env={**os.environ, "PYTHONUTF8": "1"})
    except subprocess.TimeoutExpired:
        return program_id, f"{path}: no end after {TIMEOUT} s"
    if result.returncode != 0 or "Traceback" in result.stderr:
        return program_id, f"{path} failed ({result.returncode}):\n{result.stderr[-3000:]}"
    printed = [line for line in result.stdout.splitlines()
               if not line.startswith(BANNER) and line != str(screenshot)]
    output.write_text("\n".join(printed), encoding="utf-8")
    return program_id, None


def make_shots():
    # Start empty: a picture of a program the site no longer shows must not be published.
    shutil.rmtree(SHOTS, ignore_errors=True)
    SHOTS.mkdir(parents=True)
    failures = []
    with tempfile.TemporaryDirectory(prefix="tavik-docs-") as folder:
        with concurrent.futures.ThreadPoolExecutor(PARALLEL) as pool:
            jobs = [pool.submit(run_program, program_id, path, source, pathlib.Path(folder))
                    for program_id, path, source in programs()]
            for job in concurrent.futures.as_completed(jobs):
                program_id, error = job.result()
                print(("FAILED " if error else "ok     ") + program_id, flush=True)
                if error:
                    failures.append(error)
    error = picture_teacher_report()
    print(("FAILED " if error else "ok     ") + TEACHER_REPORT, flush=True)
    for failure in failures + ([error] if error else []):
        print(failure, file=sys.stderr)
    return 1 if failures or error else 0


def picture_teacher_report():
    """Grades the docs' class against its reference and pictures the page; the error text, or None."""
    with tempfile.TemporaryDirectory(prefix="tavik-docs-report-") as folder:
        out = pathlib.Path(folder) / "report"
        command = [sys.executable, "-P", "-m", "tavik", "grade", str(ASSIGNMENT / "班级"), "--out", str(out),
                   "--reference", str(ASSIGNMENT / "参考答案.py"), "--frames", str(FRAMES)]
        result = subprocess.run(command, capture_output=True, text=True, encoding="utf-8", timeout=TIMEOUT, cwd=folder)
        if result.returncode != 0:
            return f"grading {ASSIGNMENT} failed ({result.returncode}):\n{result.stderr[-3000:]}"
        try:
            make_report_picture.picture_of_page(out / "index.html", SHOTS / (TEACHER_REPORT + ".png"),
                                                window=(1400, 1400))
        except (OSError, subprocess.CalledProcessError) as trouble:
            return f"the report page could not be pictured: {trouble} (make test-packages installs chromium)"
    return None


# --- generated pages -----------------------------------------------------------------------------

def fence(code, language="python"):
    return f"```{language}\n{code.rstrip()}\n```\n"


def published_uri(program_id):
    """Where the site keeps a program's screenshot: images/<name>.png for an example of examples/."""
    if program_id.startswith("example-"):
        return f"images/{program_id[len('example-'):]}.png"
    return f"shots/{program_id}.png"


def shot_markdown(program_id, page_uri, caption="运行结果"):
    """The screenshot and printed lines of a program, as Markdown relative to the page."""
    output_file = SHOTS / (program_id + ".txt")
    if not output_file.exists():
        raise RuntimeError(f"no run of {program_id}: build the site with `make docs` (it runs the programs first)")
    parts = []
    printed = output_file.read_text(encoding="utf-8").strip()
    if printed:
        parts.append("程序打印出：\n\n" + fence(printed, "text"))
    if (SHOTS / (program_id + ".png")).exists():
        link = posixpath.relpath(published_uri(program_id), posixpath.dirname(page_uri) or ".")
        parts.append(f"![{caption}]({link})\n")
    return "\n".join(parts)


def example_title(path):
    """The first comment line names the example; the following comment lines describe it."""
    lines = path.read_text(encoding="utf-8").splitlines()
    comments = []
    for line in lines:
        if not line.startswith("#"):
            break
        comments.append(line.lstrip("#").strip())
    title = comments[0] if comments else path.stem
    return title, comments[1:]


def example_page(path):
    title, description = example_title(path)
    uri = f"examples/{path.stem}.md"
    shot = shot_markdown(example_id(path), uri, title)
    if not (SHOTS / (example_id(path) + ".png")).exists():
        raise RuntimeError(f"{path.name} opened no window, so its page would have no screenshot")
    text = [f"# {title}\n", *(line + "\n" for line in description), "\n",
            f"文件：`examples/{path.name}`。在窗口里运行：`python examples/{path.name}`；"
            f"不开窗口、只存截图：`python -m tavik run examples/{path.name}`。\n\n",
            fence(path.read_text(encoding="utf-8")), "\n", shot]
    return "".join(text)


def examples_index():
    rows = ["# 例子\n\n",
            "每个例子都是一个完整的程序，放在 `examples/` 文件夹里。页面上的截图是建网站时"
            "把程序真正运行一遍拍下来的，所以截图和代码总是一致的。\n\n",
            "| 例子 | 内容 |\n|---|---|\n"]
    for path in examples():
        title, description = example_title(path)
        rows.append(f"| [{path.stem}]({path.stem}.md) | {title}{'：' + description[0] if description else ''} |\n")
    return "".join(rows)


def stub_signatures():
    """Parameter lists as the stub writes them (defaults such as TextNode.ACenter by name)."""
    import ast
    import importlib.resources
    stubs = [importlib.resources.files("tavik").joinpath(name).read_text(encoding="utf-8")
             for name in STUBS]
    signatures = {}

    def parameters(function, skip_self):
        arguments = function.args
        positional = arguments.args[1:] if skip_self else arguments.args
        defaults = [None] * (len(positional) - len(arguments.defaults)) + list(arguments.defaults)
        words = [argument.arg + ("" if default is None else "=" + ast.unparse(default))
                 for argument, default in zip(positional, defaults)]
        if arguments.vararg:
            words.append("*" + arguments.vararg.arg)
        return "(" + ", ".join(words) + ")"

    for node in (node for stub in stubs for node in ast.parse(stub).body):
        if isinstance(node, ast.FunctionDef):
            signatures[node.name] = parameters(node, False)
        elif isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    signatures.setdefault(f"{node.name}.{member.name}", parameters(member, True))
    return signatures


def public_calls():
    """(entry name, runtime object, kind) for each public call of tavik.tavik, in the module's
    order, then for each learner helper of tavik.extras, in the order of its `__all__`, and the
    class its helpers return."""
    import tavik.extras as extras
    import tavik.game as game
    import tavik.tavik as tv
    names = list(vars(tv))
    kit = [(name, getattr(tv, name)) for name in names[names.index("dist"):]
           if not name.startswith("_") and getattr(getattr(tv, name), "__module__", None) == tv.__name__]
    helpers = [(name, getattr(extras, name)) for name in extras.__all__] + [("Handle", game.Handle)]
    calls = []
    for name, value in kit + helpers:
        if not isinstance(value, type):
            calls.append((name, value, "function"))
            continue
        calls.append((name, value, "class"))
        for member, attribute in vars(value).items():
            if member.startswith("_"):
                continue
            if isinstance(attribute, property):
                calls.append((f"{name}.{member}", attribute, "property"))
            elif callable(attribute):
                calls.append((f"{name}.{member}", attribute, "method"))
    return calls


def quoted(doc):
    """A docstring as it shows in an editor: its own lines and indentation."""
    return "\n" + fence(inspect.cleandoc(doc), "text")


def api_entry(name, value, kind, signatures):
    owner, _, member = name.partition(".")
    receiver = api_examples.INSTANCE.get(owner, owner)
    lines = [("## " if kind in ("class", "function") else "### ") + name + "\n\n"]
    docs = [value.__doc__]
    if kind == "class":
        constructor = vars(value).get("__init__")
        if constructor is not None:
            lines.append(fence(name + signatures.get(owner + ".__init__", "()")))
        docs.append(getattr(constructor, "__doc__", None))
        palette = [(key, item) for key, item in vars(value).items() if isinstance(item, tuple)]
        if palette:
            lines.append(fence("\n".join(f"{name}.{key:<7} # {item}" for key, item in palette)))
    elif kind == "property":
        lines.append(fence(f"{receiver}.{member}            # 属性：可以读，也可以赋值"))
        docs.append(value.fset.__doc__ if value.fset else None)
    elif kind == "method":
        lines.append(fence(f"{receiver}.{member}{signatures.get(name, '(...)')}"))
    else:
        lines.append(fence(name + signatures.get(name, "(...)")))
    shown = [doc for doc in docs if doc]
    lines.extend(quoted(doc) for doc in shown)
    if not shown and kind != "class":
        lines.append("\n（没有说明文字。）\n")
    attributes = api_examples.ATTRIBUTES.get(name, [])
    if attributes:
        lines.append("\n属性：\n\n" + "".join(f"- `{attribute}`：{meaning}\n" for attribute, meaning in attributes))
    if name in api_examples.NOTES:
        lines.append("\n" + api_examples.NOTES[name] + "\n")
    lines.append("\n例子：\n\n" + fence(api_examples.EXAMPLES[name]) + "\n")
    return "".join(lines)


def api_page():
    signatures = stub_signatures()
    calls = public_calls()
    missing = [name for name, _, _ in calls if name not in api_examples.EXAMPLES]
    if missing:
        raise RuntimeError("the API reference has no example for: " + ", ".join(missing))
    head = ["# API 参考\n\n",
            "`from tavik.tavik import *` 带来的每一个调用，按模块里定义的顺序排列；"
            "后面是 `from tavik.extras import *` 带来的学习助手（从 `frameAll` 开始，"
            "见[学习助手](extras.md)和[做一个小游戏](tutorial/game.md)）。"
            "参数、默认值和说明文字都直接取自安装好的 tavik，和编辑器里显示的完全一样。"
            "每条后面有一个两三行的小例子；这些例子在建网站时都运行过，"
            "它们都假设程序开头已经有下面这几行：\n\n",
            fence(api_examples.PRELUDE + api_examples.SETUP), "\n"]
    return "".join(head + [api_entry(name, value, kind, signatures) for name, value, kind in calls])


class Placeholder(dict):
    """Stands for what a hint fills in from the learner's own program: shown as 〈name〉."""

    def __missing__(self, key):
        return PlaceholderText(key)


class PlaceholderText(str):
    def __new__(cls, name):
        return super().__new__(cls, SLOT_NAMES.get(name, "…"))

    def __repr__(self):
        return str(self)


# What each slot of a hint holds, as a learner would say it.
SLOT_NAMES = {"where": "第 N 行", "uwhere": "第 N 行", "gwhere": "第 N 行", "line": "N", "code": "这一行",
              "char": "中文标点", "ascii": "英文标点", "opener": "(", "closer": ")", "what": "的缩进不对",
              "value": "None", "model": "名字", "models": "自带模型的名字", "cell": "(r, c)", "cols": "列数",
              "rows": "行数", "rmax": "最大行号", "cmax": "最大列号", "example": "", "owner": "它",
              "name": "名字", "suggestion": "相近的名字", "expected": "引擎要的参数", "function": "函数",
              "message": "出错的原因", "type": "错误的种类", "turtle": "pen.名字(…)", "instead": "这里的写法",
              "call": "函数名()", "receiver": "按钮", "key": "按键名", "engine": "引擎的按键名", "extra": ""}


def errors_page():
    """The page "出错了怎么办": every hint and warning, straight from the hint tables."""
    from tavik.classroom import hints
    lines = ["# 出错了怎么办\n\n",
             "程序出错时，tavik 会先打印 Python 的出错信息（只留下你自己写的那几行），"
             "最后一行以 **提示：** 开头，用中文说明哪一行出了什么问题、该怎么改。"
             "不管你是用 `python 程序.py` 运行、在 IDLE 里按 F5，还是用 `python -m tavik run`，都是这样。"
             "下面是 tavik 认识的每一种错误和它的提示，〈第 N 行〉这样的地方会换成你程序里的内容。\n\n",
             "## 程序停下来了：提示\n\n"]
    lines += [f"- {hint.say.format_map(Placeholder())}\n" for hint in hints.HINTS]
    lines += ["\n## 程序没停，可结果不对：注意\n\n",
              "有些错误不会让程序停下来，窗口照样打开，只是画面不动、按钮不灵。"
              "tavik 读一遍你的程序，发现下面这些写法时，会打印一行以 **注意：** 开头的话：\n\n"]
    lines += [f"- {warning.say.format_map(Placeholder())}\n" for warning in hints.WARNINGS]
    lines += ["\n## 想看 Python 原来的样子\n\n",
              "设置环境变量 `TAVIK_PLAIN_ERRORS=1`，出错信息就和普通 Python 程序一样，不加提示；"
              "设置 `TAVIK_VERBOSE=1`，引擎自己的说明文字（平时不显示）也会打印出来；"
              "`python -m tavik run` 用 `--verbose` 也一样。\n"]
    return "".join(lines)


# --- mkdocs hooks ----------------------------------------------------------------------------------

def on_config(config):
    nav = config.nav or []
    for index, entry in enumerate(nav):
        if isinstance(entry, dict) and list(entry.values()) == ["examples/index.md"]:
            title = next(iter(entry))
            nav[index] = {title: ["examples/index.md"] + [
                {example_title(path)[0]: f"examples/{path.stem}.md"} for path in examples()]}
    extras = "extras.md"
    listed = any(extras in str(entry) for entry in nav)
    if (DOCS / extras).exists() and not listed:
        at = next((index for index, entry in enumerate(nav) if "api.md" in str(entry)), len(nav))
        nav.insert(at, {"学习助手": extras})
    config.nav = nav
    return config


# The kit's own Chinese font, published with the site, so that a classroom machine without
# Chinese fonts reads the pages as the window shows its text.
FONT_URI = "fonts/zkwy.ttf"
FONT_CSS_URI = "stylesheets/font.css"


def font_css():
    return ("@font-face {\n  font-family: \"zkwy\";\n  src: url(\"../" + FONT_URI + "\") format(\"truetype\");\n"
            "  font-display: swap;\n}\n"
            # first in the list: a system font met before it may claim Chinese it cannot draw
            ":root, body {\n  --md-text-font-family: \"zkwy\", -apple-system, BlinkMacSystemFont, \"Segoe UI\", "
            "Helvetica, Arial, sans-serif;\n"
            "  --md-code-font-family: SFMono-Regular, Consolas, Menlo, monospace, \"zkwy\";\n}\n")


def kit_font():
    from importlib import resources
    return str(resources.files("tavik") / "zkwy.ttf")


def on_files(files, config):
    from mkdocs.structure.files import File
    files.append(File.generated(config, FONT_URI, abs_src_path=kit_font()))
    files.append(File.generated(config, FONT_CSS_URI, content=font_css()))
    pages = {"api.md": api_page(), "examples/index.md": examples_index(), "errors.md": errors_page()}
    pages.update({f"examples/{path.stem}.md": example_page(path) for path in examples()})
    for uri, text in pages.items():
        files.append(File.generated(config, uri, content=text))
    for shot in sorted(SHOTS.glob("*.png")):
        if shot.stem == "api-examples":
            continue
        files.append(File.generated(config, published_uri(shot.stem), abs_src_path=str(shot)))
    return files


def on_page_markdown(markdown, page, config, files):
    """Under each program block of a hand-written page: what that program showed when it ran."""
    if page.file.generated_by:
        return markdown

    def with_result(match):
        if not is_program(match.group(1)):
            return match.group(0)
        return match.group(0) + "\n\n" + shot_markdown(snippet_id(match.group(1)), page.file.src_uri)
    return PROGRAM_BLOCK.sub(with_result, markdown)


if __name__ == "__main__":
    if sys.argv[1:] != ["shots"]:
        sys.exit("usage: python tools/docsite.py shots")
    sys.exit(make_shots())
