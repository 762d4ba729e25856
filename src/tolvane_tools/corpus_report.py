"""What an encoding run over a corpus has done: the live progress display and
the closing summary, with the graphemes the model does not know."""

from __future__ import annotations

import array
import bisect
import shutil
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import Iterator, TextIO

from tolvane_tools.progress import clock, write_or_drop
from tolvane_tools.visible import visible_text

TOP_UNKNOWN = 10
QUIET_STEPS = 20  # lines over the whole input where there is no terminal (one per 5%)
QUIET_SECONDS = 10.0  # between two lines when the input's size is not known


@dataclass
class Totals:
    documents: int = 0
    raw_bytes: int = 0  # input bytes read so far
    text_bytes: int = 0  # UTF-8 bytes of the documents' texts
    tokens: int = 0
    unknown: Counter = field(default_factory=Counter)  # grapheme -> occurrences
    unknown_documents: int = 0  # documents holding at least one unknown grapheme
    byte_fallback: bool = False  # the model encodes unknown graphemes as their bytes

    @property
    def tokens_per_byte(self) -> float | None:
        return self.tokens / self.text_bytes if self.text_bytes else None


def size(n: int | None) -> str:
    if n is None:
        return "?"
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if n >= scale:
            return f"{n / scale:.1f} {unit}"
    return f"{n} B"


def _ratio(value: float | None) -> str:
    return "-" if value is None else f"{value:.3f}"


class Progress:
    """Shows a run on `out`: on a terminal one line rewritten at most ten times
    a second and cut to the terminal's width; elsewhere a line per 5% of the
    input (or every ten seconds when its size is not known)."""

    def __init__(self, out: TextIO | None, terminal: bool, total: int | None, verb: str) -> None:
        self.out = out
        self.terminal = terminal
        self.total = total if total else None
        self.verb = verb
        self.started = time.monotonic()
        self.last_draw = 0.0
        self.next_step = 1
        self.drawn = False

    def line(self, totals: Totals, now: float) -> str:
        elapsed = now - self.started
        rate = totals.raw_bytes / elapsed if elapsed > 0 else None
        done = size(totals.raw_bytes)
        if self.total is not None:
            done += f" of {size(self.total)} ({100 * totals.raw_bytes / self.total:.0f}%)"
        parts = [done, "- MB/s" if rate is None else f"{rate / 1e6:.1f} MB/s",
                 f"{totals.tokens:,} tokens", f"{_ratio(totals.tokens_per_byte)} tokens/byte"]
        if self.total is not None:
            left = (self.total - totals.raw_bytes) / rate if rate else None
            parts.append(f"ETA {clock(left)}")
        return "  ".join(parts)

    def _write(self, text: str) -> None:
        """A progress line that cannot be written ends the display, never the run."""
        self.out = write_or_drop(self.out, text)

    def update(self, totals: Totals) -> None:
        now = time.monotonic()
        if self.terminal:
            if now - self.last_draw >= 0.1:
                width = shutil.get_terminal_size().columns
                self._write("\r\x1b[K" + self.line(totals, now)[:max(width - 1, 1)])
                self.last_draw = now
                self.drawn = True
            return
        if self.total is not None:
            if totals.raw_bytes * QUIET_STEPS < self.next_step * self.total:
                return
            while self.next_step * self.total <= totals.raw_bytes * QUIET_STEPS:
                self.next_step += 1
        elif now - self.last_draw < QUIET_SECONDS:
            return
        self.last_draw = now
        self._write(f"{self.verb}: {self.line(totals, now)}\n")

    def finish(self) -> None:
        if self.terminal and self.drawn:
            self._write("\r\x1b[K")
            self.drawn = False


def summary(totals: Totals, seconds: float) -> str:
    rate = f"{totals.raw_bytes / seconds / 1e6:.1f} MB/s" if seconds > 0 else "-"
    lines = [f"documents          {totals.documents:,}",
             f"bytes              {totals.text_bytes:,} of text ({size(totals.raw_bytes)} read, "
             f"{clock(seconds)}, {rate})",
             f"tokens             {totals.tokens:,}",
             f"tokens per byte    {_ratio(totals.tokens_per_byte)}"]
    lines += unknown_lines(totals)
    return "\n".join(lines) + "\n"


def unknown_lines(totals: Totals) -> list[str]:
    """The unknown graphemes: how many, what share of the text's bytes they
    are, and the most frequent ones made visible with their code points."""
    if totals.byte_fallback:
        return ["unknown graphemes  none lost: byte fallback encodes graphemes outside the "
                "vocabulary as their bytes"]
    count = sum(totals.unknown.values())
    if not count:
        return ["unknown graphemes  none"]
    unknown_bytes = sum(len(g.encode("utf-8", "surrogatepass")) * n for g, n in totals.unknown.items())
    share = 100 * unknown_bytes / totals.text_bytes if totals.text_bytes else 0.0
    documents = totals.unknown_documents
    lines = [f"unknown graphemes  {count:,} in {documents:,} document{'s' * (documents != 1)} "
             f"({len(totals.unknown):,} distinct, {share:.3g}% of the bytes)",
             "  each became the oov token, which decodes to nothing; the most frequent:"]
    shown = sorted(totals.unknown.items(), key=lambda item: (-item[1], item[0]))[:TOP_UNKNOWN]
    # Counts and code points first: they line up whatever the width of the
    # graphemes themselves on screen.
    points = {g: " ".join(f"U+{ord(ch):04X}" for ch in g) for g, _ in shown}
    width = max(len(p) for p in points.values())
    for grapheme, n in shown:
        lines.append(f"    {n:>12,}  {points[grapheme]:<{width}}  {visible_text(grapheme)}")
    return lines


MAX_TOKEN_ID = 0xFFFF


class UnknownTally:
    """Counts the graphemes the model does not know, exactly.

    Each one becomes the oov token, so only documents whose ids hold the oov
    id need a second look, provided no learned merge takes the oov token as a
    part (it would hide inside the merged token). A model where one does has
    every document looked at."""

    def __init__(self, tok) -> None:
        self.tok = tok
        self.oov = tok.oov_id
        self.every_document = self.oov is not None and _merges_take(tok, self.oov)
        # The oov id as the Tokenizer's native uint16 bytes.
        self.needle = b"" if self.oov is None else array.array("H", [self.oov]).tobytes()

    def add(self, documents: list[str], ids: bytes, offsets: array.array, totals: Totals) -> None:
        if self.oov is None:
            return  # encoding refuses unknown graphemes on such a model
        for index in self._candidates(ids, offsets):
            found = self.tok.unknown_graphemes(documents[index])
            if found:
                totals.unknown.update(found)
                totals.unknown_documents += 1

    def _candidates(self, ids: bytes, offsets: array.array) -> Iterator[int]:
        if self.every_document:
            yield from range(len(offsets) - 1)
            return
        last = -1
        at = ids.find(self.needle)
        while at != -1:
            if at % 2 == 0:  # a match across two ids is no id
                index = bisect.bisect_right(offsets, at // 2) - 1
                if index != last:
                    yield index
                    last = index
                # The rest of this document needs no more searching.
                at = ids.find(self.needle, 2 * offsets[index + 1])
            else:
                at = ids.find(self.needle, at + 1)


def _merges_take(tok, token: int) -> bool:
    for merged in range(MAX_TOKEN_ID + 1):
        try:
            pair = tok.merge_of(merged)
        except (KeyError, ValueError):
            continue
        if pair is not None and token in pair:
            return True
    return False


def unknown_warning(tok, text: str) -> str | None:
    """The warning for one text with graphemes the model does not know. With
    byte fallback they are encoded as their bytes and lose nothing."""
    if tok.byte_fallback:
        return None
    found = tok.unknown_graphemes(text)
    count = sum(found.values())
    if not count:
        return None
    listed = ", ".join(visible_text(g) for g, _ in
                       sorted(found.items(), key=lambda item: (-item[1], item[0]))[:5])
    more = ", ..." if len(found) > 5 else ""
    if count == 1:
        return (f"tolvane: warning: 1 grapheme of the text is not in the model ({listed}); "
                "it becomes the oov token, which decodes to nothing")
    return (f"tolvane: warning: {count} graphemes of the text are not in the model ({listed}{more}); "
            "they become the oov token, which decodes to nothing")
