"""What a training run has done so far, read from the lines the module prints,
and the two ways of showing it: a live line on a terminal, or one line per
saved chunk anywhere else."""

from __future__ import annotations

import math
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
    corpus_size: int | None  # None when the corpus is not a regular file
    tokens: int  # tokens in the model as last known
    started: float = field(default_factory=time.monotonic)
    began: bool = False  # the module opened its files and printed its first line
    chunks_saved: int = 0
    in_chunk: bool = False  # a chunk was read and is being learned from
    loop: int = 0  # the learning-loop index of the last new token

    @property
    def chunks_total(self) -> int | None:
        if self.corpus_size is None:
            return None
        return math.ceil(self.corpus_size / CHUNK_SIZE)

    @property
    def current_chunk(self) -> int:
        return self.chunks_saved + (1 if self.in_chunk else 0)

    @property
    def bytes_done(self) -> int | None:
        """Bytes trained on. Every read of a regular file but the last one
        delivers a whole chunk; a pipe delivers what is there, so its count
        is not known."""
        if self.corpus_size is None:
            return None
        return min(self.chunks_saved * CHUNK_SIZE, self.corpus_size)

    def elapsed(self, now: float | None = None) -> float:
        return (time.monotonic() if now is None else now) - self.started

    def rate(self, now: float | None = None) -> float | None:
        """Bytes per second over the whole run, once a chunk is done."""
        elapsed = self.elapsed(now)
        done = self.bytes_done
        return done / elapsed if done and elapsed > 0 else None

    def remaining(self, now: float | None = None) -> float | None:
        """Time left, from the bytes done so far plus the part of the current
        chunk that its learning loop has passed (a rough share: iterations
        that learn nothing print nothing)."""
        if self.corpus_size is None or self.bytes_done is None:
            return None
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


def amount(n: int | None) -> str:
    if n is None:
        return "?"
    if n < 1_000_000:
        return f"{n / 1e3:.1f} kB"
    return f"{n / 1e6:.1f} MB"


def speed(rate: float | None) -> str:
    return "- MB/s" if rate is None else f"{rate / 1e6:.2f} MB/s"


def chunk_of(state: RunState, chunk: int) -> str:
    total = state.chunks_total
    return f"chunk {chunk}/{total}" if total is not None else f"chunk {chunk}"


def status_line(state: RunState, now: float | None = None) -> str:
    """The live line: where the run is, how fast it goes, what is left."""
    rate = state.rate(now)
    parts = [chunk_of(state, max(state.current_chunk, 1))]
    if state.in_chunk:
        parts[0] += f" (loop {state.loop}/{LOOPS_PER_CHUNK})"
    parts.append(f"{amount(state.bytes_done)} of {amount(state.corpus_size)}")
    parts.append(speed(rate))
    parts.append(f"{state.tokens} tokens")
    parts.append(f"{clock(state.elapsed(now))} elapsed")
    parts.append(f"{clock(state.remaining(now))} left")
    return "  ".join(parts)


def saved_line(state: RunState, now: float | None = None) -> str:
    """The line printed once per saved chunk where there is no terminal."""
    rate = state.rate(now)
    return (f"{chunk_of(state, state.chunks_saved)} saved: "
            f"{amount(state.bytes_done)} of {amount(state.corpus_size)}, "
            f"{speed(rate)}, {state.tokens} tokens, "
            f"{clock(state.elapsed(now))} elapsed, {clock(state.remaining(now))} left")


class Display:
    """Shows a run on `out`: a rewritten line on a terminal (at most ten times
    a second), one line per saved chunk elsewhere, or the module's own lines."""

    def __init__(self, out: TextIO, terminal: bool, raw: bool) -> None:
        self.out = out
        self.terminal = terminal and not raw
        self.raw = raw
        self.last_draw = 0.0
        self.drawn = False

    def line(self, state: RunState, raw_line: bytes, event: str | None) -> None:
        if self.raw:
            self.out.buffer.write(raw_line + b"\n")
            self.out.flush()
        elif event == "saved" and not self.terminal:
            self.out.write(saved_line(state) + "\n")
            self.out.flush()
        elif self.terminal:
            self.tick(state, force=event is not None)

    def tick(self, state: RunState, force: bool = False) -> None:
        if not self.terminal:
            return
        now = time.monotonic()
        if force or now - self.last_draw >= 0.1:
            self.out.write("\r\x1b[K" + status_line(state, now))
            self.out.flush()
            self.last_draw = now
            self.drawn = True

    def finish(self) -> None:
        """Ends the live line so that what follows starts on a line of its own."""
        if self.terminal and self.drawn:
            self.out.write("\n")
            self.out.flush()
            self.drawn = False
