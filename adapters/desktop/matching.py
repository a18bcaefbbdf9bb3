"""Text matching: which OCR words spell a search target, and how well.

Standard library only: the unit tests import it where no imaging package is
installed.
"""

from __future__ import annotations

import unicodedata
from typing import Any

# Characters that OCR puts around words and that labels end with: all Unicode
# punctuation ("Name:", "Save As…", "(OK)") and "|", which is how the edge of
# a box or a text cursor is often read. Symbols such as "+", "=", "<" or "$"
# are not among them: they are part of what is read.
_APOSTROPHES = str.maketrans({"\u2019": "'", "\u2018": "'", "\u02bc": "'", "`": "'"})


def _is_soft(ch: str) -> bool:
    return ch == "|" or unicodedata.category(ch).startswith("P")


def _is_frame(ch: str) -> bool:
    """Brackets, quotes and "|": what OCR makes of a box drawn around a word."""
    return ch in "|\"'" or unicodedata.category(ch) in ("Ps", "Pe", "Pi", "Pf")


def _strip_soft(word: str, keep: str = "", test=_is_soft) -> str:
    i, j = 0, len(word)
    while i < j and test(word[i]) and word[i] not in keep:
        i += 1
    while j > i and test(word[j - 1]) and word[j - 1] not in keep:
        j -= 1
    return word[i:j]


def _norm(word: str) -> str:
    """Case-folded word without surrounding punctuation ("Username:" -> "username")."""
    return _strip_soft(word.translate(_APOSTROPHES)).casefold()


class _Wanted:
    """One word of a search target and how screen words are compared with it.

    A word with letters or digits is compared without surrounding
    punctuation ("Name:" finds "Name", "C++" finds "C++" and not "C"). A word
    without letters or digits ("+", "?", "...") loses only brackets, quotes
    and bars around it that are not its own: "?" finds "?" and "(?)", but
    not "help?", and "+" does not find "+/-".
    """

    __slots__ = ("key", "keep", "symbolic")

    def __init__(self, word: str) -> None:
        word = word.translate(_APOSTROPHES)
        self.key = _strip_soft(word).casefold()
        self.symbolic = not any(c.isalnum() for c in word)
        self.keep = ""
        if self.symbolic:
            self.keep = word
            self.key = word.casefold()

    def of(self, screen_word: str) -> str:
        """The screen word's form to compare with ``key``."""
        if self.symbolic:
            return _strip_soft(screen_word.translate(_APOSTROPHES), self.keep, _is_frame).casefold()
        return _strip_soft(screen_word.translate(_APOSTROPHES)).casefold()


def _within_one_edit(a: str, b: str) -> bool:
    """True when b is a, or a with one character inserted, removed or replaced."""
    if a == b:
        return True
    if abs(len(a) - len(b)) > 1:
        return False
    if len(a) > len(b):
        a, b = b, a
    i = 0
    while i < len(a) and a[i] == b[i]:
        i += 1
    if len(a) == len(b):
        return a[i + 1:] == b[i + 1:]
    return a[i:] == b[i + 1:]


# How small a symbol's box may be, in screen pixels. A flat symbol may be one
# pixel tall ("-", "_", "."), a thin one one pixel wide ("|", "!", "/");
# every other symbol needs three pixels each way. A symbol that is not flat
# must also be at least a quarter as tall as the letters and digits of its
# OCR line. Boxes smaller than that are OCR's reading of a stroke or a dot
# of some other glyph (the bar of a "÷" read as "+").
_FLAT = frozenset("-_~.,'`\"^\u00af\u00b7\u2010\u2011\u2012\u2013\u2014\u2015\u203e")
_THIN = frozenset("|!.,:;'`\"()[]{}/\\\u00a6\u2016")
_MIN_GLYPH_PX = 3
_MIN_LINE_SHARE = 0.25


def _plausible(glyphs: str, box: tuple[int, int], line: list[dict[str, Any]]) -> bool:
    """Whether a box of (width, height) pixels can hold the symbols ``glyphs``.

    ``line`` is the OCR line the box was read on."""
    glyphs = "".join(glyphs.split())
    width, height = box
    need = sum(1 if c in _THIN else _MIN_GLYPH_PX for c in glyphs)
    if width < need:
        return False
    if all(c in _FLAT for c in glyphs):
        return height >= 1
    heights = sorted(w["height"] for w in line if any(c.isalnum() for c in w["text"]))
    text = heights[len(heights) // 2] if heights else 0
    return height >= max(_MIN_GLYPH_PX, _MIN_LINE_SHARE * text)


def all_symbols(text: str) -> bool:
    """Whether every word of ``text`` is made of symbols or punctuation only."""
    return all(_Wanted(w).symbolic for w in text.split())


def match_words(words: list[dict[str, Any]], target: str, *, tolerant: bool = False
                ) -> list[dict[str, Any]]:
    """Match records for ``target`` among OCR words, best first.

    Exact matches (every target word equals a screen word, consecutive on
    one line, case and surrounding punctuation ignored) rank before
    prefix matches (the screen words starting there begin with the
    target, which is at least two characters long). With ``tolerant``,
    near matches follow: each target word of four or more characters
    within one edit of its screen word, or the target's words found run
    together in fewer screen words. Within a tier, a match that is a whole
    OCR line ranks first ("Save" before "Save As…"), then higher OCR
    confidence. Each record says ``"exact"``.
    """
    wanted = [_Wanted(t) for t in target.split()]
    if not wanted:
        return []
    lines: dict[tuple, list[dict[str, Any]]] = {}
    for w in words:
        lines.setdefault(w["line"], []).append(w)
    keys = [w.key for w in wanted]
    needle = " ".join(keys)
    squeezed = "".join(keys)
    k = len(wanted)
    symbols_only = all(w.symbolic for w in wanted)
    found: list[tuple[int, float, int, int, dict[str, Any]]] = []
    for line in lines.values():
        n = len(line)
        for i in range(n):
            span: list[dict[str, Any]] | None = None
            tier = 0
            forms = [wanted[m].of(line[i + m]["text"]) for m in range(min(k, n - i))]
            if forms == keys:
                span = line[i:i + k]
            if span is None and len(needle) >= 2 and not symbols_only:
                # the words from here on begin with the target
                # ("Submitting", or OCR merging "OK" with what follows)
                normed = [_norm(w["text"]) for w in line[i:i + k]]
                for j in range(1, len(normed) + 1):
                    if " ".join(normed[:j]).startswith(needle):
                        span, tier = line[i:i + j], 1
                        break
            if span is None and tolerant and len(forms) == k and all(
                    f == key or (len(key) >= 4 and _within_one_edit(key, f))
                    for f, key in zip(forms, keys)):
                span, tier = line[i:i + k], 2
            if span is None and tolerant and k > 1:
                # "Yourname:" for "Your name:"
                normed = [_norm(w["text"]) for w in line[i:i + k - 1]]
                for j in range(1, len(normed) + 1):
                    if "".join(normed[:j]) == squeezed:
                        span, tier = line[i:i + j], 2
                        break
            if span is None:
                continue
            x0 = min(w["x"] for w in span)
            y0 = min(w["y"] for w in span)
            x1 = max(w["x"] + w["width"] for w in span)
            y1 = max(w["y"] + w["height"] for w in span)
            if symbols_only and not _plausible(needle, (x1 - x0, y1 - y0), line):
                continue  # a stroke of another glyph, not the symbols sought
            conf = min(w["confidence"] for w in span)
            rec = {"x": x0, "y": y0, "width": x1 - x0, "height": y1 - y0,
                   "text": " ".join(w["text"] for w in span), "confidence": conf,
                   "exact": tier == 0}
            # a label that is its own OCR line ("Save") before the same
            # words inside a longer one ("Save As…")
            partial = len(span) < n
            found.append((tier, partial, -conf, y0, x0, rec))
    found.sort(key=lambda f: f[:5])
    return [f[5] for f in found]
