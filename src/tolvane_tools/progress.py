"""What a training run has done so far, read from the lines the module prints,
and the two ways of showing it: a live line on a terminal, or one line per
saved chunk anywhere else."""

from __future__ import annotations

import math
import os
import re
import time
from dataclasses import dataclass, field
from typing import TextIO

CHUNK_SIZE = 3_067_833  # the bytes one read of the training file asks for
LOOPS_PER_CHUNK = 700

_TOKEN_LINE = re.compile(rb"^Token (\d+) \| Merge \(\d+, \d+\) \| \d+ Times \| Loop (\d+)$")
_STARTED = b"Just Started"
_CHUNK_READ = b"Finish converting new read chunk to tokens"
_SAVED = b" Saved Successfully "


@dataclass
class RunState:
    corpus_size: int  # bytes of the training file (a stream is copied into one first)
    tokens: int  # tokens in the model as last known
    started: float = field(default_factory=time.monotonic)
    saved_at: float | None = None  # when the last chunk was saved
    began: bool = False  # the module opened its files and printed its first line
    chunks_saved: int = 0
    in_chunk: bool = False  # a chunk was read and is being learned from
    loop: int = 0  # the learning-loop index of the last new token

    @property
    def chunks_total(self) -> int:
        return math.ceil(self.corpus_size / CHUNK_SIZE)

    @property
    def current_chunk(self) -> int:
        return self.chunks_saved + (1 if self.in_chunk else 0)

    @property
    def bytes_done(self) -> int:
        """Bytes trained on: every read of the training file but the last one
        delivers a whole chunk."""
        return min(self.chunks_saved * CHUNK_SIZE, self.corpus_size)

    def elapsed(self, now: float | None = None) -> float:
        return (time.monotonic() if now is None else now) - self.started

    def rate(self, now: float | None = None) -> float | None:
        """Bytes per second over the chunks saved so far. Bytes count only
        when their chunk is saved, so a rate over the time up to now would
        sag through every chunk and jump at its end; up to the last save it
        holds steady. `now` is accepted for symmetry with the other figures."""
        done = self.bytes_done
        if not done or self.saved_at is None or self.saved_at <= self.started:
            return None
        return done / (self.saved_at - self.started)

    def remaining(self, now: float | None = None) -> float | None:
        """Time left, from the bytes done so far plus the part of the current
        chunk that its learning loop has passed (a rough share: iterations
        that learn nothing print nothing)."""
        done = float(self.bytes_done)
        if self.in_chunk:
            current = min(CHUNK_SIZE, self.corpus_size - self.bytes_done)
            done += current * (self.loop + 1) / LOOPS_PER_CHUNK
        if done <= 0:
            return None
        return self.elapsed(now) * (self.corpus_size - done) / done

    def feed(self, line: bytes) -> str | None:
        """Takes one line without its line feed; returns "saved" when it ends
        a chunk's save, "chunk" when a chunk starts learning, else None."""
        if line == _STARTED:
            self.began = True
            return None
        if line == _CHUNK_READ:
            self.in_chunk = True
            self.loop = 0
            return "chunk"
        if line == _SAVED:
            self.chunks_saved += 1
            self.saved_at = time.monotonic()
            self.in_chunk = False
            return "saved"
        match = _TOKEN_LINE.match(line)
        if match:
            # A new token takes the next free id, which for a trained model is
            # the number of entries, so id + 1 is the vocabulary at that moment.
            self.tokens = max(self.tokens, int(match.group(1)) + 1)
            self.loop = int(match.group(2))
        return None


def clock(seconds: float | None) -> str:
    if seconds is None:
        return "?"
    seconds = int(round(seconds))
    hours, rest = divmod(seconds, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours}:{minutes:02d}:{secs:02d}" if hours else f"{minutes}:{secs:02d}"


def amount(n: int) -> str:
    if n < 1_000_000:
        return f"{n / 1e3:.1f} kB"
    return f"{n / 1e6:.1f} MB"


def speed(rate: float | None) -> str:
    return "- MB/s" if rate is None else f"{rate / 1e6:.2f} MB/s"


def done_of(state: RunState) -> str:
    return f"{amount(state.bytes_done)} of {amount(state.corpus_size)}"


def left(state: RunState, now: float | None) -> list[str]:
    return [f"{clock(state.remaining(now))} left"]


def chunk_of(state: RunState, chunk: int) -> str:
    return f"chunk {chunk}/{state.chunks_total}"


def status_parts(state: RunState, now: float | None = None) -> list[str]:
    """The live line: where the run is, how fast it goes, what is left."""
    rate = state.rate(now)
    parts = [chunk_of(state, max(state.current_chunk, 1))]
    if state.in_chunk:
        parts[0] += f" (loop {state.loop}/{LOOPS_PER_CHUNK})"
    parts.append(done_of(state))
    parts.append(speed(rate))
    parts.append(f"{state.tokens} tokens")
    parts.append(f"{clock(state.elapsed(now))} elapsed")
    parts += left(state, now)
    return parts


def fit(parts: list[str], width: int) -> str:
    """The parts that fit in `width` columns, whole, from the first on; the
    first is cut if even it alone is too wide. The line is ASCII, one column
    a character."""
    line = parts[0][:width]
    for part in parts[1:]:
        if len(line) + 2 + len(part) > width:
            break
        line += "  " + part
    return line


def saved_line(state: RunState, now: float | None = None) -> str:
    """The line printed once per saved chunk where there is no terminal."""
    rate = state.rate(now)
    return ", ".join([f"{chunk_of(state, state.chunks_saved)} saved: {done_of(state)}", speed(rate),
                      f"{state.tokens} tokens", f"{clock(state.elapsed(now))} elapsed",
                      *left(state, now)])


def copy_parts(copied: int, seconds: float) -> list[str]:
    """The live line while a streamed corpus is copied, before training."""
    return [f"copying the corpus stream: {amount(copied)}",
            speed(copied / seconds if seconds > 0 else None), f"{clock(seconds)} elapsed"]


def copied_line(copied: int, seconds: float) -> str:
    """The line that stays once a streamed corpus is copied."""
    return f"corpus stream copied: {amount(copied)} in {clock(seconds)}"


def say(stream: TextIO | None, text: str) -> None:
    """Prints one line where a failing stream must not end the command: a
    closed, full or abandoned output only loses the line."""
    write_or_drop(stream, text + "\n")


def line_width(out: TextIO | None) -> int:
    """How wide a live line on `out` may be: its terminal's width less one
    column (a line that fills the last one makes some terminals wrap before
    the next carriage return), 79 where the width cannot be read."""
    try:
        columns = os.get_terminal_size(out.fileno()).columns if out is not None else 0
    except (OSError, ValueError, AttributeError):
        columns = 0
    return max(columns, 20) - 1 if columns else 79


def write_or_drop(stream: TextIO | None, text: str) -> TextIO | None:
    """Writes and flushes `text`; the stream back, or None once it failed (a
    closed or full output, a reader that went away), silenced then, so a
    display that keeps the result stops writing and never ends the run."""
    if stream is None:
        return None
    try:
        stream.write(text)
        stream.flush()
    except (OSError, ValueError):
        silence(stream)
        return None
    return stream


def silence(stream: TextIO) -> None:
    """Points a stream that failed at /dev/null, so that what its buffer
    still holds, flushed at exit, fails no more."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, stream.fileno())
        os.close(null)
    except (OSError, ValueError):
        pass


class Display:
    """Shows a run on `out`: a rewritten line on a terminal (at most ten times
    a second, cut to the terminal's width), one line per saved chunk
    elsewhere, or the module's own lines. An output that cannot be written
    (closed, full, a reader that went away) ends the display, never the run."""

    def __init__(self, out: TextIO | None, raw: bool) -> None:
        self.out = out
        self.raw = raw
        self.terminal = out is not None and not raw and _isatty(out)
        self.last_draw = 0.0
        self.drawn = False

    def _write(self, text: str | bytes) -> None:
        if self.out is None:
            return
        try:
            if isinstance(text, bytes):
                self.out.buffer.write(text)
            else:
                self.out.write(text)
            self.out.flush()
        except (OSError, ValueError):
            silence(self.out)
            self.out = None
            self.terminal = False

    def line(self, state: RunState, raw_line: bytes, event: str | None) -> None:
        if self.raw:
            self._write(raw_line + b"\n")
        elif event == "saved" and not self.terminal:
            self._write(saved_line(state) + "\n")
        elif self.terminal:
            self.tick(state, force=event is not None)

    def width(self) -> int:
        return line_width(self.out)

    def tick(self, state: RunState, force: bool = False) -> None:
        if self.terminal:
            self._draw(lambda now: status_parts(state, now), force)

    def copying(self, copied: int, seconds: float) -> None:
        if self.terminal:
            self._draw(lambda now: copy_parts(copied, seconds), False)

    def _draw(self, parts, force: bool) -> None:
        now = time.monotonic()
        if force or now - self.last_draw >= 0.1:
            self._write("\r\x1b[K" + fit(parts(now), self.width()))
            self.last_draw = now
            self.drawn = True

    def clear(self) -> None:
        """Takes the live line away, so that a line said next takes its place."""
        if self.terminal and self.drawn:
            self._write("\r\x1b[K")
            self.drawn = False

    def finish(self) -> None:
        """Ends the live line so that what follows starts on a line of its own."""
        if self.terminal and self.drawn:
            self._write("\n")
            self.drawn = False


def _isatty(out: TextIO) -> bool:
    try:
        return out.isatty()
    except (OSError, ValueError):
        return False
