"""What passes between `tolvane train` and its training process: a streamed
corpus, copied whole before the child starts, and the child's console lines,
standard error and end report coming back, all watched from one loop."""

from __future__ import annotations

import os
import select
import selectors
import subprocess
import time
from typing import Callable

from tolvane_tools.errors import CliError
from tolvane_tools.progress import Display, RunState

STDERR_TAIL = 1 << 16  # what is kept of the child's standard error


SPOOL_NAME = "corpus.stream"  # a streamed corpus, copied whole before training
SPOOL_BLOCK = 1 << 20
TICK_MS = 200  # how long the copy waits for the stream before it redraws the display


def spool_stream(source: int, scratch: str, display: Display) -> tuple[int, int]:
    """Copies a streamed corpus whole into `scratch`; returns a descriptor of
    the copy and its size in bytes.

    The module takes what one read of its training file delivers as a chunk,
    and a pipe delivers only what it holds at that moment: trained straight
    from a stream, chunks were cut wherever the writer happened to pause, and
    the same text gave another model than from a file. Trained from the copy,
    every chunk but the last is whole, as in the file.

    The copy's name is removed at once: the descriptor keeps the file for this
    process and the child (which opens it as /dev/fd/N), and its room on disk
    is given back when both are gone, even after a SIGKILL."""
    where = os.path.dirname(scratch)
    path = os.path.join(scratch, SPOOL_NAME)
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    except OSError as error:
        raise CliError(f"cannot copy the corpus stream into {where}: {error.strerror}") from None
    try:
        os.unlink(path)
        return fd, _copy(source, fd, where, display)
    except BaseException:
        os.close(fd)
        raise


def _copy(source: int, target: int, where: str, display: Display) -> int:
    """Copies `source` to its end into `target`; returns the bytes copied.
    Ctrl-C (KeyboardInterrupt) passes through, wherever the copy is."""
    # The live line would write over text typed at the terminal.
    shown = not os.isatty(source)
    poller = select.poll()
    poller.register(source, select.POLLIN)
    started = time.monotonic()
    copied = 0
    while True:
        if shown:
            display.copying(copied, time.monotonic() - started)
        block = _read_some(source, poller)
        if block is None:
            continue
        if not block:
            return copied
        view = memoryview(block)
        try:
            while view:
                view = view[os.write(target, view):]
        except OSError as error:
            raise CliError(f"cannot copy the corpus stream into {where}: {error.strerror}") from None
        copied += len(block)


def _read_some(source: int, poller: select.poll) -> bytes | None:
    """The next block of the stream, b"" at its end, or None when nothing came
    within a tick (also for a stream left in non-blocking mode)."""
    if not poller.poll(TICK_MS):
        return None
    try:
        return os.read(source, SPOOL_BLOCK)
    except BlockingIOError:
        return None
    except OSError as error:
        # Training on the part read so far would be a model of another text.
        raise CliError(f"cannot read the corpus stream: {error.strerror}") from None


class ChildOutput:
    """Everything the child sends back while it runs: its console lines, the
    end of its standard error, and its report of how the run ended."""

    def __init__(self) -> None:
        self.pending = b""
        self.stderr = b""
        self.result = b""


def pump(child: subprocess.Popen, result_fd: int, state: RunState, display: Display,
         on_saved: Callable[[], None]) -> ChildOutput:
    """Reads the child's output until the child closes it."""
    got = ChildOutput()
    assert child.stdout is not None and child.stderr is not None  # both are pipes
    selector = selectors.DefaultSelector()
    readers = {child.stdout.fileno(): "stdout", child.stderr.fileno(): "stderr", result_fd: "result"}
    for fd in readers:
        selector.register(fd, selectors.EVENT_READ)
    try:
        while readers:
            events = selector.select(0.2)
            if not events:
                display.tick(state)
            for key, _ in events:
                _read_child(key.fd, readers, selector, got, state, display, on_saved)
    finally:
        selector.close()
    if got.pending:
        display.line(state, got.pending, state.feed(got.pending))
    return got


def _read_child(fd: int, readers: dict, selector, got: ChildOutput, state: RunState,
                display: Display, on_saved: Callable[[], None]) -> None:
    block = os.read(fd, 65536)
    which = readers[fd]
    if not block:
        selector.unregister(fd)
        del readers[fd]
        return
    if which == "stderr":
        got.stderr = (got.stderr + block)[-STDERR_TAIL:]
        return
    if which == "result":
        got.result += block
        return
    got.pending += block
    *lines, got.pending = got.pending.split(b"\n")
    for line in lines:
        event = state.feed(line)
        if event == "saved":
            on_saved()
        display.line(state, line, event)


def drain(fd: int) -> bytes:
    """What a pipe still holds once the child is gone (its write ends are
    closed, so this ends)."""
    os.set_blocking(fd, False)
    out = b""
    while True:
        try:
            block = os.read(fd, 65536)
        except (BlockingIOError, OSError):
            return out
        if not block:
            return out
        out += block
