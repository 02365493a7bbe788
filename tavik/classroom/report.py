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

from tavik.classroom.records import STATUS_LABELS

BLOCK = re.compile(r"<!--(\w+)-->(.*?)<!--/\1-->", re.S)
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


def count(results):
    counts = {"total": len(results), **{status: 0 for status in STATUS_LABELS}}
    for result in results:
        counts[result.status] = counts.get(result.status, 0) + 1
    counts["warned"] = sum(1 for result in results if result.warnings)
    return counts


def anchor(index):
    return f"p{index}"


def card(result, index, blocks):
    name = escape(result.file)
    if result.screenshot:
        moving = blocks["gif"].substitute(gif=url(result.gif), file=name) if result.gif else ""
        picture = blocks["picture"].substitute(png=url(result.screenshot), link=url(result.gif or result.screenshot),
                                               file=name, moving=moving, hasgif=" has-gif" if moving else "")
    else:
        picture = blocks["nopicture"].substitute()
    hint = blocks["hint"].substitute(hint=escape(result.hint)) if result.hint else ""
    warnings = ""
    if result.warnings:
        items = "".join(blocks["warning"].substitute(warning=escape(text)) for text in result.warnings)
        warnings = blocks["warnings"].substitute(items=items)
    traceback = blocks["traceback"].substitute(traceback=escape(result.traceback)) if result.traceback else ""
    files = ""
    if result.files:
        items = "".join(blocks["file"].substitute(link=url(path), name=escape(path.split("/", 2)[-1]))
                        for path in result.files)
        files = blocks["files"].substitute(count=len(result.files), items=items)
    printed = (result.stdout or "") + (result.stderr or "")
    output = ""
    if printed.strip():
        output = blocks["output"].substitute(output=escape(printed.rstrip("\n")),
                                             lines=len(printed.rstrip("\n").splitlines()))
    return blocks["card"].substitute(
        status=escape(result.status), status_text=escape(result.label),
        file=name, anchor=anchor(index), seconds=f"{result.seconds or 0:.1f}", picture=picture, hint=hint,
        warnings=warnings, traceback=traceback, files=files, output=output)


def render(results, settings):
    page, blocks = load_template()
    counts = count(results)
    cards = "\n".join(card(result, index, blocks) for index, result in enumerate(results))
    index = "\n".join(blocks["indexitem"].substitute(status=escape(result.status), anchor=anchor(number),
                                                     file=escape(result.file), status_text=escape(result.label))
                      for number, result in enumerate(results))
    timeout = settings.get("timeout")
    return page.substitute(
        folder=escape(os.path.basename(settings.get("folder", "").rstrip("/\\")) or settings.get("folder", "")),
        folder_path=escape(settings.get("folder", "")), when=escape(time.strftime("%Y-%m-%d %H:%M")),
        frames=escape(settings.get("frames", "")), timeout=escape(f"{timeout:g}" if timeout else "不限"),
        seconds=escape(settings.get("seconds", "")), total=counts["total"], ok=counts["ok"], error=counts["error"],
        timeouts=counts["timeout"], limits=counts["limit"], skipped=counts["skipped"], warned=counts["warned"],
        isolation=escape("；".join(sorted({result.isolation for result in results if result.isolation})) or "—"),
        cards=cards or blocks["empty"].substitute(), index=index, font=FONT)


def write_report(results, out, settings):
    """Writes OUTDIR/index.html (and the font beside it); returns the page's path."""
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    target = out / "index.html"
    # the whole new page or the old one: a grader stopped mid-write must not leave half a page
    temporary = out / f"index.html.{os.getpid()}.tmp"
    temporary.write_text(render(results, settings), encoding="utf-8")
    os.replace(temporary, target)
    font = resources.files("tavik").joinpath(FONT)
    if font.is_file() and not (out / FONT).exists():
        with resources.as_file(font) as source:
            shutil.copyfile(source, out / FONT)
    return str(target)
