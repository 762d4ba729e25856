"""The pipes between `tolvane train` and its training process: the child's
console lines, standard error and end report coming back, and a streamed
corpus going in, all watched from one loop."""

from __future__ import annotations

import array
import fcntl
import os
import selectors
import subprocess
import termios
from typing import Callable

from tolvane_tools.progress import CHUNK_SIZE, Display, RunState

STDERR_TAIL = 1 << 16  # what is kept of the child's standard error


class Relay:
    """Copies a stream corpus into the pipe the child trains on. The pipe is
    made as large as a chunk where the system allows it: the child's read
    takes whatever the pipe holds, so a stream that keeps up trains in whole
    chunks, as the same text in a file would."""

    def __init__(self, source: int) -> None:
        self.source = source
        self.child_end, self.write_end = os.pipe()
        for size in (CHUNK_SIZE, _pipe_max_size()):
            try:
                fcntl.fcntl(self.write_end, fcntl.F_SETPIPE_SZ, size)
                break
            except OSError:
                continue
        os.set_blocking(self.write_end, False)
        self.pending = b""
        self.fed = 0  # bytes written into the pipe
        self.ended = False  # the source is exhausted (or the child gone)
        self.selector: selectors.BaseSelector | None = None  # set while it is watched

    def unread(self) -> int:
        """Bytes in the pipe that the child has not read yet."""
        if self.write_end < 0:
            return 0
        count = array.array("i", [0])
        try:
            fcntl.ioctl(self.write_end, termios.FIONREAD, count)
        except OSError:
            return 0
        return count[0]

    def trained(self) -> int:
        return self.fed - self.unread()

    def want_read(self) -> bool:
        return not self.ended and not self.pending

    def want_write(self) -> bool:
        return bool(self.pending) and self.write_end >= 0

    def read_source(self) -> None:
        try:
            block = os.read(self.source, 1 << 20)
        except OSError:  # a terminal that went away: the text ends here
            block = b""
        if block:
            self.pending = block
        else:
            self.ended = True
            if not self.pending:
                self.close_input()

    def write_child(self) -> None:
        try:
            written = os.write(self.write_end, self.pending)
        except BlockingIOError:
            return
        except OSError:  # the child is gone; nothing more to give it
            self.pending = b""
            self.ended = True
            self.close_input()
            return
        self.fed += written
        self.pending = self.pending[written:]
        if not self.pending and self.ended:
            self.close_input()

    def close_input(self) -> None:
        """The child reads the end of the text once this is closed."""
        if self.write_end >= 0:
            if self.selector is not None and self.write_end in self.selector.get_map():
                self.selector.unregister(self.write_end)
            os.close(self.write_end)
            self.write_end = -1


def _pipe_max_size() -> int:
    try:
        with open("/proc/sys/fs/pipe-max-size", encoding="ascii") as f:
            return int(f.read())
    except (OSError, ValueError):
        return 1 << 16


class ChildOutput:
    """Everything the child sends back while it runs: its console lines, the
    end of its standard error, and its report of how the run ended."""

    def __init__(self) -> None:
        self.pending = b""
        self.stderr = b""
        self.result = b""


def pump(child: subprocess.Popen, result_fd: int, state: RunState, display: Display,
         on_saved: Callable[[], None], relay: Relay | None) -> ChildOutput:
    """Reads the child's output, and feeds it a stream corpus, until the child
    closes its output."""
    got = ChildOutput()
    selector = selectors.DefaultSelector()
    readers = {child.stdout.fileno(): "stdout", child.stderr.fileno(): "stderr", result_fd: "result"}
    for fd in readers:
        selector.register(fd, selectors.EVENT_READ)
    if relay is not None:
        relay.selector = selector
    try:
        while readers:
            _register_relay(selector, relay)
            events = selector.select(0.2)
            if not events:
                display.tick(state)
            for key, mask in events:
                if relay is not None and key.fd == relay.source:
                    relay.read_source()
                elif relay is not None and key.fd == relay.write_end:
                    relay.write_child()
                else:
                    _read_child(key.fd, readers, selector, got, state, display, on_saved, relay)
    finally:
        if relay is not None:
            relay.selector = None
        selector.close()
    if got.pending:
        display.line(state, got.pending, state.feed(got.pending))
    return got


def _register_relay(selector: selectors.BaseSelector, relay: Relay | None) -> None:
    if relay is None:
        return
    for fd, wanted, event in ((relay.source, relay.want_read(), selectors.EVENT_READ),
                              (relay.write_end, relay.want_write(), selectors.EVENT_WRITE)):
        registered = fd in selector.get_map() if fd >= 0 else False
        if wanted and not registered:
            selector.register(fd, event)
        elif not wanted and registered:
            selector.unregister(fd)


def _read_child(fd: int, readers: dict, selector, got: ChildOutput, state: RunState,
                display: Display, on_saved: Callable[[], None], relay: Relay | None) -> None:
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
            if relay is not None:
                state.stream_done = relay.trained()
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
