"""How `train` shows its progress: a live line on a terminal's standard
error, tqdm bars in a notebook (where tqdm is installed), the caller's
callback, or nothing.

Every report is (stage, done, total): "reading" counts input bytes (total 0
when the input's size is unknown, as for an iterator or standard input);
the trainer's own stages count what they count (pairs, merges) of a total."""

from __future__ import annotations

import contextlib
import sys
import time
from collections.abc import Callable, Iterator
from typing import Any, TextIO

from tolvane_tools.progress import amount, clock, fit, line_width, speed, write_or_drop

Report = Callable[[str, int, int], None]

_LABELS = {"reading": "reading", "graphemes": "counting graphemes", "pairs": "counting pairs",
           "merges": "merges"}


def label(stage: str) -> str:
    return _LABELS.get(stage, stage.replace("_", " "))


class _Stage:
    def __init__(self, name: str, now: float) -> None:
        self.name = name
        self.started = now
        self.done = 0
        self.total = 0

    def left(self, now: float) -> float | None:
        if not self.total or not self.done or self.done > self.total:
            return None
        return (now - self.started) * (self.total - self.done) / self.done


def _count(stage: _Stage) -> str:
    """How far a stage is, as " done of total"; nothing for a stage that only
    says it has begun (total 0 or 1), whose count would read as no work."""
    return f" {stage.done:,} of {stage.total:,}" if stage.total > 1 else ""


def line_parts(stage: _Stage, vocab_size: int, started: float, now: float, read: int = 0) -> list[str]:
    """The live line: the stage and how far it is, the speed over the corpus
    (bytes read per second of the whole run so far), the time."""
    elapsed = now - stage.started
    if stage.name == "reading":
        first = f"reading {amount(stage.done)}" + (f" of {amount(stage.total)}" if stage.total else "")
        parts = [first, speed(stage.done / elapsed if elapsed > 0 else None)]
    else:
        parts = [f"{label(stage.name)}{_count(stage)}", f"vocab_size {vocab_size:,}"]
        if read:
            parts.append(speed(read / (now - started) if now > started else None))
    parts.append(f"{clock(now - started)} elapsed")
    if stage.total > 1:
        parts.append(f"{clock(stage.left(now))} left")
    return parts


class LiveLine:
    """A line rewritten in place at most ten times a second, cut to the
    terminal's width. An output that cannot be written ends the display,
    never the training."""

    def __init__(self, out: TextIO, vocab_size: int) -> None:
        self.out: TextIO | None = out
        self.vocab_size = vocab_size
        self.started = time.monotonic()
        self.stage: _Stage | None = None
        self.read = 0  # input bytes read
        self.last_draw = 0.0
        self.drawn = False

    def __call__(self, stage: str, done: int, total: int) -> None:
        now = time.monotonic()
        changed = self.stage is None or self.stage.name != stage
        if changed:
            self.stage = _Stage(stage, now)
        assert self.stage is not None
        self.stage.done, self.stage.total = done, total
        if stage == "reading":
            self.read = done
        if changed or now - self.last_draw >= 0.1 or (total and done >= total):
            parts = line_parts(self.stage, self.vocab_size, self.started, now, self.read)
            self._write("\r\x1b[K" + fit(parts, self._width()))
            self.last_draw = now
            self.drawn = True

    def _width(self) -> int:
        return line_width(self.out)

    def _write(self, text: str) -> None:
        self.out = write_or_drop(self.out, text)

    def close(self) -> None:
        if self.drawn:
            self._write("\n")
            self.drawn = False


class Bars:
    """One tqdm bar per stage, for notebooks."""

    def __init__(self, tqdm: type) -> None:
        self.tqdm = tqdm
        self.bar: Any = None
        self.stage: str | None = None

    def __call__(self, stage: str, done: int, total: int) -> None:
        if stage != self.stage:
            self.close()
            self.stage = stage
            reading = stage == "reading"
            self.bar = self.tqdm(total=total or None, desc=label(stage), unit="B" if reading else "",
                                 unit_scale=reading, leave=True)
        assert self.bar is not None
        if total and self.bar.total != total:
            self.bar.total = total
        self.bar.update(done - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _in_notebook() -> bool:
    shell = sys.modules.get("IPython")
    if shell is None or "ipykernel" not in sys.modules:
        return False
    get = getattr(shell, "get_ipython", None)
    return get is not None and get() is not None and type(get()).__name__ == "ZMQInteractiveShell"


def _terminal(out: TextIO | None) -> bool:
    try:
        return out is not None and out.isatty()
    except (OSError, ValueError):
        return False


@contextlib.contextmanager
def reporter(progress: object, vocab_size: int) -> Iterator[Report]:
    """The report function for `progress` (see train), closed at the end."""
    if callable(progress):
        yield progress  # type: ignore[misc]
        return
    if progress is False:
        yield lambda stage, done, total: None
        return
    if progress is not None and progress is not True:
        raise TypeError(f"progress must be None, True, False or a callable, not {type(progress).__name__}")
    shown: LiveLine | Bars | None = None
    if _in_notebook():
        try:
            from tqdm.auto import tqdm  # type: ignore[import-untyped]
        except ImportError:
            tqdm = None
        if tqdm is not None:
            shown = Bars(tqdm)
    if shown is None and (progress is True or _terminal(sys.stderr)) and sys.stderr is not None:
        shown = LiveLine(sys.stderr, vocab_size)
    if shown is None:
        yield lambda stage, done, total: None
        return
    try:
        yield shown
    finally:
        shown.close()


class StageLines:
    """Where there is no terminal: one line as each stage ends, with what it
    did and how long it took."""

    def __init__(self, out: TextIO | None) -> None:
        self.out = out
        self.started = time.monotonic()
        self.stage: _Stage | None = None

    def __call__(self, stage: str, done: int, total: int) -> None:
        now = time.monotonic()
        if self.stage is None or self.stage.name != stage:
            self._end(now)
            self.stage = _Stage(stage, now)
        self.stage.done, self.stage.total = done, total

    def _end(self, now: float) -> None:
        stage = self.stage
        if stage is None or self.out is None:
            return
        seconds = now - stage.started
        if stage.name == "reading":
            text = f"read {amount(stage.done)} in {clock(seconds)}, {speed(stage.done / seconds if seconds > 0 else None)}"
        else:
            text = f"{label(stage.name)}{':' if stage.total > 1 else ''}{_count(stage)} in {clock(seconds)}"
        self.out = write_or_drop(self.out, text + "\n")

    def close(self) -> None:
        self._end(time.monotonic())
        self.stage = None
