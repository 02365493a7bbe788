"""Programs that are copies of one another, found in pairs.

Each program becomes a list of tokens with its comments and blank lines
removed and the names it chose renumbered in the order they first appear
(attribute names and Python's built-in names stay), so a copy whose
comments were rewritten and whose variables were renamed reads the same as
its original. Two programs whose token lists are at least `SIMILAR` alike
are a pair.
"""
import builtins
import difflib
import io
import keyword
import re
import tokenize
from dataclasses import dataclass

SIMILAR = 0.9
FEWEST_TOKENS = 60      # shorter programs (a few lines) are alike by chance
SKIPPED = {tokenize.COMMENT, tokenize.NL, tokenize.ENCODING, tokenize.ENDMARKER, tokenize.TYPE_COMMENT}
KEPT_NAMES = set(dir(builtins)) | set(keyword.kwlist) | set(keyword.softkwlist)


@dataclass
class Pair:
    first: str
    second: str
    share: float        # 0..1, how alike


def normalised_tokens(source):
    """The program's tokens without comments, its own names renumbered; [] when it does not tokenize."""
    names = {}
    tokens = []
    previous = ""
    try:
        for token in tokenize.generate_tokens(io.StringIO(source).readline):
            if token.type in SKIPPED:
                continue
            text = token.string
            if token.type == tokenize.NAME and text not in KEPT_NAMES and previous != ".":
                text = names.setdefault(text, f"v{len(names)}")
            elif token.type in (tokenize.INDENT, tokenize.DEDENT, tokenize.NEWLINE):
                text = tokenize.tok_name[token.type]
            tokens.append(text)
            previous = token.string
    except (tokenize.TokenError, SyntaxError, ValueError):
        return []
    return tokens


def similar_pairs(sources):
    """`sources`: name -> program text. The pairs that are copies, most alike first."""
    tokens = {name: normalised_tokens(text) for name, text in sources.items()}
    names = sorted(name for name in tokens if len(tokens[name]) >= FEWEST_TOKENS)
    pairs = []
    for index, first in enumerate(names):
        for second in names[index + 1:]:
            matcher = difflib.SequenceMatcher(None, tokens[first], tokens[second], autojunk=False)
            if matcher.real_quick_ratio() < SIMILAR or matcher.quick_ratio() < SIMILAR:
                continue
            share = matcher.ratio()
            if share >= SIMILAR:
                pairs.append(Pair(first, second, share))
    return sorted(pairs, key=lambda pair: (-pair.share, pair.first, pair.second))


COPY_WARNING = re.compile(r"^和 .+ 的程序(几乎)?一样（去掉注释、换掉名字以后")


def copy_warning(other, share):
    if share >= 1:
        return f"和 {other} 的程序一样（去掉注释、换掉名字以后完全相同）。"
    return f"和 {other} 的程序几乎一样（去掉注释、换掉名字以后 {round(share * 100)}% 相同）。"


def is_copy_warning(text):
    return bool(COPY_WARNING.match(text))
