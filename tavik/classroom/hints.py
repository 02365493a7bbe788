"""What a learner reads when their program goes wrong: Chinese hints and warnings.

The hints are a table of rows (what to recognise, what to say), tried in
order; the first row that recognises the error speaks. A recogniser gets the
error as plain data (as `tavik.classroom.child` describes it: type, message, the
learner's line and code, and what the runner noticed) and returns the values
its sentence needs, or None. The warnings after a run are a table too.
"""
import re
from dataclasses import dataclass
from typing import Callable, Optional

from tavik import mistakes
from tavik.classroom.sandbox import size_text

PUNCTUATION = {"（": "(", "）": ")", "，": ",", "：": ":", "；": ";", "“": '"', "”": '"', "‘": "'", "’": "'",
               "。": ".", "【": "[", "】": "]", "｛": "{", "｝": "}", "＝": "=", "＋": "+", "－": "-", "＊": "*",
               "！": "!", "《": "<", "》": ">", "　": "空格"}
CLOSERS = {"(": ")", "[": "]", "{": "}"}
STRING_FOR_NUMBER = re.compile(
    r"bad operand type for \w+\(\): 'str'|must be real number, not str|'str' object cannot be interpreted as an integer"
    r"|unsupported operand type\(s\) for .*'str'|can't multiply sequence by non-int of type 'float'"
    r"|can only concatenate str \(not \"(int|float)\"\) to str|must be (int|float), not str"
    r"|not supported between instances of '(str|int|float)' and '(str|int|float)'")
QUOTED_NUMBER = re.compile(r"""(["'])(-?\d+(?:\.\d+)?)\1""")
NUMBER_AFTER_TEXT = re.compile(r'can only concatenate str \(not "(int|float)"\) to str')
CHINESE = re.compile(r"[\u4e00-\u9fff]")
# Names from Python's turtle module: (how it is called, what the kit has instead).
TURTLE_NAMES = {
    "goto": ("(x, y)", "pen.moveTo(x, y, z)（边走边画线用 pen.lineTo(x, y, z)）"),
    "setpos": ("(x, y)", "pen.moveTo(x, y, z)（边走边画线用 pen.lineTo(x, y, z)）"),
    "setposition": ("(x, y)", "pen.moveTo(x, y, z)（边走边画线用 pen.lineTo(x, y, z)）"),
    "fd": ("(n)", "pen.forward(n, True)"),
    "back": ("(n)", "pen.forward(-n, True)"), "bk": ("(n)", "pen.forward(-n, True)"),
    "backward": ("(n)", "pen.forward(-n, True)"),
    "left": ("(角度)", "pen.dLeft(角度)"), "lt": ("(角度)", "pen.dLeft(角度)"),
    "right": ("(角度)", "pen.dRight(角度)"), "rt": ("(角度)", "pen.dRight(角度)"),
    "penup": ("()", "pen.forward(n)：不写 True 就只移动、不画线"),
    "pu": ("()", "pen.forward(n)：不写 True 就只移动、不画线"),
    "up": ("()", "pen.forward(n)：不写 True 就只移动、不画线"),
    "pendown": ("()", "pen.forward(n, True)：写上 True 就边走边画线"),
    "pd": ("()", "pen.forward(n, True)：写上 True 就边走边画线"),
    "down": ("()", "pen.forward(n, True)：写上 True 就边走边画线"),
    "circle": ("(r)", "一个 for 循环：for i in range(36): pen.forward(0.5, True); pen.dLeft(10)"),
    "write": ("(文字)", "app.makeText(\"名字\", \"文字\", (x, y, z))"),
    "begin_fill": ("()", "没有的：这里的画笔只画线，不填色"),
    "end_fill": ("()", "没有的：这里的画笔只画线，不填色"),
    "fillcolor": ("(颜色)", "没有的：这里的画笔只画线，不填色"),
    "pencolor": ("(颜色)", "pen.color(Color.red)"),
    "pensize": ("(n)", "pen.size(n)"), "width": ("(n)", "pen.size(n)"),
    "setheading": ("(角度)", "pen.rotZ = 角度"), "seth": ("(角度)", "pen.rotZ = 角度"),
    "heading": ("()", "pen.rotZ"),
    "home": ("()", "pen.moveTo(0, 0, 0)"),
    "position": ("()", "pen.getPos()"), "pos": ("()", "pen.getPos()"),
    "xcor": ("()", "pen.getPos()[0]"), "ycor": ("()", "pen.getPos()[1]"),
    "speed": ("(n)", "animate(pen, speed=n)（先写 from tavik.extras import *）"),
    "hideturtle": ("()", "不需要的：画笔本来就看不见"), "ht": ("()", "不需要的：画笔本来就看不见"),
    "showturtle": ("()", "animate(pen)：画的时候笔尖上有一只小海龟"),
    "st": ("()", "animate(pen)：画的时候笔尖上有一只小海龟"),
    "reset": ("()", "pen.clear()"),
    "done": ("()", "app.run()"), "mainloop": ("()", "app.run()"), "exitonclick": ("()", "app.run()"),
    "bgcolor": ("(颜色)", "app.bgColor(Color.black)"),
    "forward": ("(n)", "pen.forward(n, True)"), "color": ("(颜色)", "pen.color(Color.red)"),
    "Turtle": ("()", "pen = Pen(app)"),
    "Screen": ("()", "app = TAVIK()"),
}
# The engine's own refusal of an argument: its message lists the signatures it takes.
ENGINE_ARGUMENTS = re.compile(r"^Arguments must match:\n(.+)", re.DOTALL)


@dataclass(frozen=True)
class Hint:
    name: str
    recognise: Callable[[dict], Optional[dict]]
    say: str


def where(error):
    """'第 N 行' for the learner's own line, or a neutral phrase when there is none."""
    line = error.get("line")
    return f"第 {line} 行" if line else "程序里"


def with_fields(error, **extra):
    fields = {"where": where(error), "line": error.get("line"), "code": error.get("code") or "",
              "type": error.get("type"), "message": error.get("message", "")}
    fields.update(extra)
    return fields


def kind(*names):
    return lambda error: error.get("type") in names


def message_matches(error, pattern):
    return re.search(pattern, error.get("message") or "")


# ---- recognisers ---------------------------------------------------------------

def not_utf8(error):
    if error.get("type") == "SyntaxError" and message_matches(error, r"Non-UTF-8 code|can't decode byte|invalid utf-8"):
        return with_fields(error)
    return None


def chinese_punctuation(error):
    if error.get("type") not in ("SyntaxError",):
        return None
    found = message_matches(error, r"invalid character '(.)'")
    if not found:
        return None
    character = found.group(1)
    return with_fields(error, char=character, ascii=PUNCTUATION.get(character, "英文的标点"))


def never_closed(error):
    found = kind("SyntaxError")(error) and message_matches(error, r"'(.)' was never closed")
    return with_fields(error, opener=found.group(1), closer=CLOSERS.get(found.group(1), ")")) if found else None


def unmatched(error):
    found = kind("SyntaxError")(error) and message_matches(
        error, r"unmatched '(.)'|closing parenthesis '(.)' does not match")
    return with_fields(error, closer=found.group(1) or found.group(2)) if found else None


def expected_colon(error):
    return with_fields(error) if kind("SyntaxError")(error) and message_matches(error, r"expected ':'") else None


def indentation(error):
    if error.get("type") not in ("IndentationError", "TabError"):
        return None
    message = error.get("message") or ""
    if "expected an indented block" in message:
        what = "应该往里缩进：冒号 : 后面的下一行要比它多 4 个空格"
    elif "unexpected indent" in message:
        what = "前面多了空格：和上一行对齐"
    elif "unindent does not match" in message:
        what = "的缩进和上面的行对不齐：同一层的行要用一样多的空格"
    else:
        what = "的缩进混用了 Tab 和空格：都改成空格"
    return with_fields(error, what=what)


def unterminated_string(error):
    return with_fields(error) if kind("SyntaxError")(error) and message_matches(
        error, r"unterminated (triple-quoted )?string literal|EOL while scanning") else None


def forgot_comma(error):
    return with_fields(error) if kind("SyntaxError")(error) and message_matches(
        error, r"forgot a comma") else None


def equals_for_comparison(error):
    return with_fields(error) if kind("SyntaxError")(error) and message_matches(
        error, r"Maybe you meant '==' ") else None


def any_syntax_error(error):
    return with_fields(error) if error.get("type") in ("SyntaxError", "IndentationError", "TabError") else None


def update_not_callable(error):
    facts = error.get("facts") or {}
    if error.get("type") != "TypeError" or facts.get("update_callable", True):
        return None
    if not message_matches(error, r"object is not callable"):
        return None
    line = facts.get("update_line")
    code = facts.get("update_code") or ""
    return with_fields(error, uwhere=f"第 {line} 行" if line else "程序里", value=facts.get("update_value", "?"),
                       ucode=code, parentheses=code.rstrip().endswith(")"))


def update_called_not_given(error):
    fields = update_not_callable(error)
    return fields if fields and fields["parentheses"] else None


def nodes_for_points(error):
    if error.get("type") == "TypeError" and message_matches(error, r"'AStarNode' object is not subscriptable"):
        return with_fields(error)
    return None


def no_path(error):
    if error.get("type") != "TypeError":
        return None
    if not message_matches(error, r"'NoneType' object (is not subscriptable|is not iterable)|NoneType' has no len"):
        return None
    code = error.get("code") or ""
    return with_fields(error) if re.search(r"getPath|start\s*\(|drawPath", code) else None


def model_not_found(error):
    facts = error.get("facts") or {}
    failures = facts.get("gm_failures") or []
    if not failures or error.get("type") != "AttributeError" or error.get("owner") != "NoneType":
        return None
    name, line = failures[-1]
    return with_fields(error, model=name, gwhere=f"第 {line} 行" if line else "程序里",
                       models="、".join(facts.get("models") or []))


def outside_grid(error):
    grid = error.get("grid")
    if error.get("type") != "IndexError" or not grid or not grid.get("size"):
        return None
    cols, rows = grid["size"]
    cell = grid.get("cell")
    return with_fields(error, cell=f"({cell[0]}, {cell[1]})" if cell else "", cols=cols, rows=rows,
                       rmax=cols - 1, cmax=rows - 1)


def number_after_text(error):
    """`"得分：" + score`: a number joined to a text (when no number on the line is quoted)."""
    if error.get("type") != "TypeError" or not message_matches(error, NUMBER_AFTER_TEXT.pattern):
        return None
    return None if QUOTED_NUMBER.search(error.get("code") or "") else with_fields(error)


def string_for_number(error):
    if error.get("type") != "TypeError":
        return None
    quoted = QUOTED_NUMBER.search(error.get("code") or "")
    refused_by_engine = quoted and message_matches(error, ENGINE_ARGUMENTS.pattern)
    if not refused_by_engine and not message_matches(error, STRING_FOR_NUMBER.pattern):
        return None
    example = f"：{quoted.group(0)} 应该写成 {quoted.group(2)}" if quoted else ""
    return with_fields(error, example=example)


def misspelt_attribute(error):
    if error.get("type") == "AttributeError" and error.get("suggestion"):
        return with_fields(error, owner=error.get("owner") or "它", name=error.get("name"),
                           suggestion=error["suggestion"])
    return None


def misspelt_name(error):
    if error.get("type") == "NameError" and error.get("suggestion"):
        return with_fields(error, name=error.get("name"), suggestion=error["suggestion"])
    return None


def none_attribute(error):
    if error.get("type") == "AttributeError" and error.get("owner") == "NoneType":
        return with_fields(error, name=error.get("name") or "")
    return None


def unknown_attribute(error):
    if error.get("type") == "AttributeError" and error.get("name"):
        return with_fields(error, owner=error.get("owner") or "它", name=error["name"])
    return None


def unknown_name(error):
    if error.get("type") == "NameError":
        found = message_matches(error, r"name '(\w+)' is not defined")
        return with_fields(error, name=error.get("name") or (found.group(1) if found else "这个名字"))
    return None


def engine_arguments(error):
    found = error.get("type") == "TypeError" and ENGINE_ARGUMENTS.match(error.get("message") or "")
    if not found:
        return None
    return with_fields(error, expected="；".join(line.strip() for line in found.group(1).splitlines() if line.strip()))


def argument_count(error):
    if error.get("type") != "TypeError":
        return None
    found = message_matches(error, r"^(\w+)\(\) (takes .* given|missing \d+ required .*|got an unexpected keyword .*)")
    return with_fields(error, function=found.group(1)) if found else None


def towards_arguments(error):
    return with_fields(error) if error.get("type") == "ValueError" and "towards方法需要" in (error.get("message") or "") else None


def colour_length(error):
    return with_fields(error) if error.get("type") == "ValueError" and "颜色必须是" in (error.get("message") or "") else None


def dist_arguments(error):
    return with_fields(error) if error.get("type") == "ValueError" and "dist函数需要" in (error.get("message") or "") else None


def zero_division(error):
    return with_fields(error) if error.get("type") == "ZeroDivisionError" else None


def endless_recursion(error):
    """The line where the function calls itself: the learner's line seen most often in the frames."""
    if error.get("type") != "RecursionError":
        return None
    counts = {}
    for frame in error.get("frames") or []:
        if frame.get("learner"):
            key = (frame.get("line"), frame.get("code") or "")
            counts[key] = counts.get(key, 0) + 1
    if not counts:
        return with_fields(error)
    (line, code), _ = max(counts.items(), key=lambda item: item[1])
    return with_fields(dict(error, line=line, code=code))


def waits_for_input(error):
    return with_fields(error) if error.get("type") == "EOFError" else None


def two_applications(error):
    return with_fields(error) if message_matches(error, r"Attempt to spawn multiple ShowBase instances") else None


def turtle_name(error):
    """A name from Python's turtle module, used on a pen or on its own."""
    on_kit_object = error.get("type") == "AttributeError" and error.get("owner") in ("Pen", "TAVIK")
    if not on_kit_object and error.get("type") != "NameError":
        return None
    name = error.get("name")
    if name not in TURTLE_NAMES:
        return None
    written, instead = TURTLE_NAMES[name]
    owner = "pen." if error.get("type") == "AttributeError" else ""
    return with_fields(error, turtle=owner + name + written, instead=instead)


def chinese_message(error):
    """An error whose message the kit wrote in Chinese: it already says what is wrong."""
    return with_fields(error) if CHINESE.search(error.get("message") or "") else None


def anything(error):
    return with_fields(error)


HINTS = [
    Hint("not-utf8", not_utf8,
         "{where}有 Python 读不懂的文字：文件不是 UTF-8 编码的。在编辑器里把文件另存为“UTF-8”再运行。"),
    Hint("chinese-punctuation", chinese_punctuation,
         "{where}有一个中文标点 {char}：Python 只认英文标点，把它换成 {ascii}（切换到英文输入法再打）。"),
    Hint("bracket-never-closed", never_closed,
         "{where}的 {opener} 没有配对：在这一行（或下面几行）补上 {closer}。"),
    Hint("bracket-unmatched", unmatched,
         "{where}多了一个 {closer}，或者前面的括号种类不一样：左右括号要一对一对地配上。"),
    Hint("missing-colon", expected_colon,
         "{where}的末尾少了冒号 :。if、for、while、def 这样的行最后都要有冒号。"),
    Hint("indentation", indentation, "{where}{what}。"),
    Hint("unterminated-string", unterminated_string,
         "{where}的引号没有配对：字符串要用一对引号包起来，例如 \"你好\"。"),
    Hint("missing-comma", forgot_comma,
         "{where}好像少了一个逗号：几个参数或几个元素之间要用英文逗号 , 隔开。"),
    Hint("equals-for-comparison", equals_for_comparison,
         "{where}的 = 是“赋值”；比较两个值是否相等要写 ==。"),
    Hint("syntax", any_syntax_error,
         "{where}有语法错误，Python 读不懂这一行：检查括号、引号、冒号和缩进（也看看上一行）。"),
    Hint("two-applications", two_applications,
         "{where}又创建了一个 TAVIK()：一个程序只能有一个 TAVIK()。删掉这一行，接着用前面的 app。"),
    Hint("turtle-name", turtle_name, "{where}：海龟画图的 {turtle} 在这里是 {instead}。"),
    Hint("update-called", update_called_not_given,
         "{uwhere}把函数调用的结果 {value} 交给了 app.update，可它要的是函数本身：去掉最后的括号，写成 "
         "app.update = 函数名。"),
    Hint("update-not-a-function", update_not_callable,
         "app.update 要的是一个函数，可{uwhere}把 {value} 给了它。写成 app.update = 函数名（不加括号），"
         "这个函数每一帧会被调用一次。"),
    Hint("nodes-for-points", nodes_for_points,
         "{where}把 getPath() 得到的格子（AStarNode，有 .r 和 .c）当成了三维点。PathMoveCtrl.start 和 drawPath "
         "要的是点 (x, y, z)：先换算，例如 points = [(node.c, -node.r, 0) for node in grid.getPath()]。"),
    Hint("no-path", no_path,
         "{where}的路线是 None：还没有找到路。先调用 grid.findPath()，它返回 True 以后 getPath() 才有路线。"),
    Hint("model-not-found", model_not_found,
         "{gwhere}的 gm({model!r}) 没有加载到模型（没有叫 {model} 的自带模型），得到的是 None，所以{where}出错了。"
         "自带的模型有：{models}。"),
    Hint("outside-grid", outside_grid,
         "{where}的格子 {cell} 不在网格里。这张网格是 AStar({cols}, {rows})：r 只能是 0 到 {rmax}，c 只能是 0 到 {cmax}。"),
    Hint("number-after-text", number_after_text,
         "{where}把数字直接接在了文字后面：先用 str() 把数字变成文字，例如 \"得分：\" + str(得分)，"
         "或者写成 f\"得分：{{得分}}\"。"),
    Hint("string-for-number", string_for_number,
         "{where}把文字（字符串）当成了数字{example}。数字不要加引号：写 10，不写 \"10\"；从 input() 或输入框读到的文字，"
         "先用 float(文字) 变成数字。"),
    Hint("misspelt-attribute", misspelt_attribute,
         "{where}：{owner} 没有 {name}。你是不是想写 {suggestion}？（大小写也要一样）"),
    Hint("misspelt-name", misspelt_name,
         "{where}的 {name} 没有定义。你是不是想写 {suggestion}？（大小写也要一样）"),
    Hint("none-attribute", none_attribute,
         "{where}的变量是 None，所以没有 {name}。通常是上面某个函数没有返回东西，例如 gm 没加载到模型，"
         "或者写了 x = pen.update()。"),
    Hint("unknown-attribute", unknown_attribute,
         "{where}：{owner} 没有 {name} 这个方法或属性。检查拼写和大小写（README 的“API 一览”列出了所有调用）。"),
    Hint("unknown-name", unknown_name,
         "{where}用到的 {name} 还没有定义：检查拼写和大小写，或者先给它赋值再用（开头写了 from tavik.tavik import * 吗？）。"),
    Hint("engine-arguments", engine_arguments,
         "{where}给引擎的参数类型不对，它只接受：{expected}。写 float 或 int 的地方要给数字（不加引号）；"
         "从 input() 或输入框读到的文字，先用 float(文字) 变成数字。"),
    Hint("argument-count", argument_count,
         "{where}调用 {function} 时给的参数不对（{message}）。对照 README 的“API 一览”看看它要几个参数。"),
    Hint("towards-arguments", towards_arguments,
         "{where}：towards 要一个点，写成 pen.towards(1, 2, 3) 或 pen.towards((1, 2, 3))。"),
    Hint("colour-length", colour_length,
         "{where}：颜色要 3 个或 4 个 0 到 1 之间的数，例如 app.bgColor((1, 0.5, 0)) 或 Color.red。"),
    Hint("dist-arguments", dist_arguments,
         "{where}：dist 要两个三维点，例如 dist((0, 0, 0), (3, 4, 0))。"),
    Hint("zero-division", zero_division, "{where}除以了 0：检查除数，先判断它是不是 0。"),
    Hint("endless-recursion", endless_recursion,
         "{where}的函数一直调用自己停不下来：递归函数要有一个结束条件，例如 if 长度 < 1: return。"),
    Hint("waits-for-input", waits_for_input,
         "{where}在等键盘输入（input()），可运行时没有人打字。换成固定的值，或者用输入框 makeEntry。"),
    Hint("kit-message", chinese_message, "{where}出错了：上面最后一行用中文写了原因，照着它改这一行。"),
    Hint("anything", anything,
         "{where}出错了（{type}）。最后一行英文说明了原因；看看这一行用到的变量和数值对不对。"),
]


def hint_for(error):
    """The Chinese hint of the first row that recognises `error` (plain data)."""
    for row in HINTS:
        fields = row.recognise(error)
        if fields is not None:
            return row.say.format(**fields)
    return ""


def matching_row(error):
    """The name of the row that speaks for `error` (for tests and the report)."""
    for row in HINTS:
        if row.recognise(error) is not None:
            return row.name
    return None


# ---- warnings after a run --------------------------------------------------------

@dataclass(frozen=True)
class Warning_:
    name: str
    find: Callable[[dict, list], list]
    say: str


def never_ran(facts, source):
    return [{}] if facts.get("window") and not facts.get("run_called") else []



def pens_not_built(facts, source):
    return [{"line": line} for line in facts.get("unbuilt_pens") or []]


UPDATE_CALLED = re.compile(r"\.update\s*=\s*([\w.]+\.update\s*\(\s*\))")


def movers_not_stepped(facts, source):
    found = []
    for line in facts.get("idle_movers") or []:
        extra = ""
        for number, text in enumerate(source, 1):
            called = UPDATE_CALLED.search(text)
            if called:
                extra = f"第 {number} 行写成了 {called.group(1)}，去掉最后的 ()。"
                break
        found.append({"line": line, "extra": extra})
    return found


def models_missing(facts, source):
    return [{"line": line, "model": name, "models": "、".join(facts.get("models") or [])}
            for name, line in facts.get("gm_failures") or []]


def still_drawing(facts, source):
    """Lines still being added in the last frame; an animate drawing has its own warning."""
    return [{}] if facts.get("drawing_at_end") and not facts.get("unfinished_drawing") else []


WARNINGS = [
    Warning_("no-run", never_ran, "程序没有调用 app.run()，窗口会马上关掉。在程序最后写上 app.run()。"),
    Warning_("update-given-a-call", mistakes.update_given_a_call,
             "第 {line} 行写成了 {code}：这样 {name}() 马上运行一次，app.update 得到的是它的结果 None，以后每一帧"
             "什么也不做。去掉括号，写成 app.update = {name}。"),
    Warning_("callback-given-a-call", mistakes.callback_given_a_call,
             "第 {line} 行把 {call} 的结果交给了{receiver}：{name}() 现在就运行了一次，以后却不会再运行。"
             "要交函数本身，去掉括号写成 {name}。"),
    Warning_("key-name", mistakes.unknown_key_names,
             "第 {line} 行的 \"{key}\" 不是引擎发出的按键名，按了也不会运行：写成 \"{engine}\"。"),
    Warning_("endless-loop", mistakes.endless_loops,
             "第 {line} 行的 while True 循环停不下来，窗口就没有机会画出新的画面。把循环里每一步要做的事放进一个函数，"
             "写成 app.update = 函数名，引擎每一帧会调用它一次。"),
    Warning_("text-every-frame", mistakes.texts_made_every_frame,
             "第 {line} 行在 update 里每一帧都做一个新的文字：做过的文字 app 都留着（textNodes），"
             "程序会越来越慢。在 update 外面只做一次 label = app.makeText(...)，在 update 里用 "
             "label.node().setText(\"新的文字\") 改它的内容。"),
    Warning_("update-still", mistakes.still_window,
             "第 {line} 行交给 app.update 的函数每一帧都运行了，可窗口里的画面一直没有变。看看它有没有真的改动"
             "模型、画笔或文字（例如 box.setH(box.getH() + 1)），改的变量是不是画面上用到的那一个。"),
    Warning_("drawing-unfinished", mistakes.unfinished_animation,
             "截图的时候，{where} animate 的画还没有画完，图上只有一部分：多运行几帧（--frames），"
             "或者把 animate 的 speed 调大。"),
    Warning_("pen-not-updated", pens_not_built,
             "第 {line} 行画的线没有显示出来：画完以后要调用 pen.update()。"),
    Warning_("mover-not-updated", movers_not_stepped,
             "第 {line} 行启动了 PathMoveCtrl，可它的 update 一次也没有运行，模型不会动。要写 "
             "app.update = mover.update（不加括号）。{extra}"),
    Warning_("model-missing", models_missing,
             "第 {line} 行的 gm({model!r}) 没有这个模型，什么也没加载。自带的模型有：{models}。"),
    Warning_("still-drawing", still_drawing,
             "截图的时候动画还没有画完（最后一帧还在画线）：截图不是画完的样子，可以多给几帧（--frames）再看。"),
]


def warnings_for(facts, source_lines):
    """Chinese sentences for what the run's notes show (in table order)."""
    sentences = []
    for row in WARNINGS:
        for fields in row.find(facts or {}, source_lines):
            sentence = row.say.format(**fields)
            if sentence not in sentences:
                sentences.append(sentence)
    return sentences


def picture_not_saved(reason):
    return f"截图或动画没能保存（{reason}）：看看保存的位置能不能写入。"


def timeout_message(seconds, error, window=False, source=()):
    """Why the program was stopped; `window`: it ran in a window until closed, with no frame count."""
    if window:
        return f"窗口开了 {seconds:g} 秒，时间到了，程序被停下来了。想让它一直开着，用 --timeout 0。"
    line = (error or {}).get("line")
    loops = mistakes.endless_loops({}, source)
    loop = next((found for found in loops if line and found["line"] <= line <= found["end"]),
                None if line else next(iter(loops), None))
    if loop:
        return (f"程序运行了 {seconds:g} 秒还没有结束，被停下来了：第 {loop['line']} 行的 while True 循环停不下来，"
                "窗口一直没有机会画出画面。不要用循环来做动画：把循环里每一步要做的事放进一个函数，"
                "写成 app.update = 函数名，引擎每一帧会调用它一次。")
    place = f"它停在第 {line} 行。" if line else ""
    return (f"程序运行了 {seconds:g} 秒还没有结束，被停下来了。{place}"
            "常见原因是停不下来的循环（while True 里没有 break），或者 update 函数里的循环太长。")


# ---- the trimmed traceback -------------------------------------------------------

REPEATS_SHOWN = 3      # as Python prints a runaway recursion


def folded_frames(frames):
    """The frames' lines, with a run of identical frames folded after three, as Python does."""
    lines = []
    previous, repeats = None, 0
    for frame in frames + [None]:
        key = frame and (frame["file"], frame["line"], frame["name"])
        if key == previous:
            repeats += 1
            if repeats <= REPEATS_SHOWN:
                lines += frame_lines(frame)
            continue
        if repeats > REPEATS_SHOWN:
            more = repeats - REPEATS_SHOWN
            lines.append(f"  [Previous line repeated {more} more time{'s' if more > 1 else ''}]")
        if frame is not None:
            lines += frame_lines(frame)
        previous, repeats = key, 1
    return lines


def frame_lines(frame):
    lines = [f'  File "{frame["file"]}", line {frame["line"]}, in {frame["name"]}']
    if frame.get("code"):
        lines.append("    " + frame["code"])
    return lines


def format_error(error, stopped=False):
    """The learner's part of a traceback, as Python prints it, without the runner's frames.

    For a program stopped at its time limit the last line says so instead of naming an exception.
    """
    if error.get("syntax"):
        syntax = error["syntax"]
        lines = [f'  File "{error.get("file", "")}", line {syntax.get("line")}']
        text = (syntax.get("text") or "").rstrip("\n")
        if text:
            stripped = text.lstrip()
            lines.append("    " + stripped)
            offset = syntax.get("offset")
            if offset:
                start = max(0, offset - 1 - (len(text) - len(stripped)))
                end = syntax.get("end_offset") or 0
                width = end - offset if end and end > offset and (syntax.get("end_line", syntax.get("line")) ==
                                                                    syntax.get("line")) else 1
                lines.append("    " + " " * start + "^" * max(1, width))
        lines.append(f'{error.get("type")}: {error.get("message")}')
        return "\n".join(lines)
    frames = [frame for frame in error.get("frames") or [] if frame.get("learner")]
    lines = ["Traceback (most recent call last):"] if frames else []
    lines += folded_frames(frames)
    message = error.get("message")
    if stopped:
        lines.append("（时间到，程序在这里被停下）")
    else:
        lines.append(f'{error.get("type")}: {message}' if message else str(error.get("type")))
    return "\n".join(lines)


# ---- limits and refusals -----------------------------------------------------------

LIMIT_MESSAGES = {
    "memory": "程序用的内存超过了 {memory}，被停下来了。看看是不是有越变越大的列表，或者一次要了太多内存"
              "（比如很大的数字乘一个列表）。",
    "cpu": "程序用的 CPU 时间超过了 {cpu} 秒，被停下来了。常见原因是停不下来的循环。",
    "processes": "程序开的进程和线程超过了 {processes} 个，不能再开了。不要在循环里开新的进程或线程。",
    "file_size": "程序写的文件超过了 {file_size}，不能再写了。看看是不是在循环里一直往文件里写。",
}


def limit_message(limit, limits, error=None):
    """Which limit stopped the program, in the teacher's own numbers, and where it stopped when that is known."""
    said = LIMIT_MESSAGES[limit].format(memory=size_text(limits.memory), cpu=f"{limits.cpu:g}",
                                        processes=limits.processes, file_size=size_text(limits.file_size))
    line = (error or {}).get("line")
    return said + (f"它停在第 {line} 行。" if line else "")


def output_cut(lines):
    return f"……（输出太多，中间省略了 {lines} 行）……"


def output_warning(cap):
    return f"程序打印的内容太多（超过 {size_text(cap)}），只保留了开头和结尾。"


def files_left_out():
    return "程序写的文件太多或太大，只保留了一部分。"


def skipped_link():
    return "这是一个符号链接（快捷方式），没有运行。请把程序文件本身放进文件夹。"


def skipped_special():
    return "这不是普通的文件，没有运行。"


def not_readable(trouble):
    return f"这个文件读不出来，没有运行（{trouble}）。"


def source_too_large(size, cap):
    return f"程序文件有 {size_text(size)}，超过了 {size_text(cap)}，没有运行。请检查是不是放错了文件。"
