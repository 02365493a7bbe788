"""The grading report page, filled from the template `report.html` beside this file.

The template holds the page and, between `<!--name-->` and `<!--/name-->`
markers, the pieces a card is made of. Every value from a program (its name,
output, traceback, hint) is HTML-escaped before it goes in: learners' output
is untrusted. The page needs nothing from the network; the pictures lie in
the folder beside it, and the kit's Chinese font is copied there for machines
without one.
"""
import html
import os
import re
import shutil
import time
from importlib import resources
from pathlib import Path
from string import Template
from urllib.parse import quote

BLOCK = re.compile(r"<!--(\w+)-->(.*?)<!--/\1-->", re.S)
STATUS_TEXT = {"ok": "完成", "error": "出错", "timeout": "超时"}
FONT = "zkwy.ttf"


def load_template():
    text = resources.files("tavik.classroom").joinpath("report.html").read_text(encoding="utf-8")
    blocks = {name: Template(body.strip()) for name, body in BLOCK.findall(text)}
    page = Template(BLOCK.sub("", text))
    return page, blocks


def escape(value):
    return html.escape("" if value is None else str(value), quote=True)


def url(path):
    return escape(quote(path))


def count(entries):
    counts = {"total": len(entries), "ok": 0, "error": 0, "timeout": 0}
    for entry in entries:
        counts[entry["status"]] = counts.get(entry["status"], 0) + 1
    counts["warned"] = sum(1 for entry in entries if entry.get("warnings"))
    return counts


def anchor(index):
    return f"p{index}"


def card(entry, index, blocks):
    name = escape(entry["file"])
    if entry.get("screenshot"):
        moving = blocks["gif"].substitute(gif=url(entry["gif"]), file=name) if entry.get("gif") else ""
        picture = blocks["picture"].substitute(png=url(entry["screenshot"]), link=url(entry.get("gif") or entry["screenshot"]),
                                               file=name, moving=moving, hasgif=" has-gif" if moving else "")
    else:
        picture = blocks["nopicture"].substitute()
    hint = blocks["hint"].substitute(hint=escape(entry["hint"])) if entry.get("hint") else ""
    warnings = ""
    if entry.get("warnings"):
        items = "".join(blocks["warning"].substitute(warning=escape(text)) for text in entry["warnings"])
        warnings = blocks["warnings"].substitute(items=items)
    traceback = blocks["traceback"].substitute(traceback=escape(entry["traceback"])) if entry.get("traceback") else ""
    printed = (entry.get("stdout") or "") + (entry.get("stderr") or "")
    output = ""
    if printed.strip():
        output = blocks["output"].substitute(output=escape(printed.rstrip("\n")),
                                             lines=len(printed.rstrip("\n").splitlines()))
    return blocks["card"].substitute(
        status=escape(entry["status"]), status_text=STATUS_TEXT.get(entry["status"], escape(entry["status"])),
        file=name, anchor=anchor(index), seconds=f"{entry.get('seconds') or 0:.1f}", picture=picture, hint=hint,
        warnings=warnings, traceback=traceback, output=output)


def render(entries, settings):
    page, blocks = load_template()
    counts = count(entries)
    cards = "\n".join(card(entry, index, blocks) for index, entry in enumerate(entries))
    index = "\n".join(blocks["indexitem"].substitute(status=escape(entry["status"]), anchor=anchor(number),
                                                     file=escape(entry["file"]),
                                                     status_text=STATUS_TEXT.get(entry["status"], ""))
                      for number, entry in enumerate(entries))
    timeout = settings.get("timeout")
    return page.substitute(
        folder=escape(os.path.basename(settings.get("folder", "").rstrip("/\\")) or settings.get("folder", "")),
        folder_path=escape(settings.get("folder", "")), when=escape(time.strftime("%Y-%m-%d %H:%M")),
        frames=escape(settings.get("frames", "")), timeout=escape(f"{timeout:g}" if timeout else "不限"),
        seconds=escape(settings.get("seconds", "")), total=counts["total"], ok=counts["ok"], error=counts["error"],
        timeouts=counts["timeout"], warned=counts["warned"], cards=cards or blocks["empty"].substitute(), index=index,
        font=FONT)


def write_report(entries, out, settings):
    """Writes OUTDIR/index.html (and the font beside it); returns the page's path."""
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    target = out / "index.html"
    target.write_text(render(entries, settings), encoding="utf-8")
    font = resources.files("tavik").joinpath(FONT)
    if font.is_file() and not (out / FONT).exists():
        with resources.as_file(font) as source:
            shutil.copyfile(source, out / FONT)
    return str(target)
