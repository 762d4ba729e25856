"""The plumbing of a corpus run: the input opened and read ahead on a thread
of its own, the output paths checked, the process's memory and signals set up
for a long run. `encode_run` drives it."""

from __future__ import annotations

import os
import queue
import signal
import stat
import sys
import threading
from typing import TYPE_CHECKING, BinaryIO, Iterator

from tolvane_tools.corpus import Batch
from tolvane_tools.errors import CliError
from tolvane_tools.idsfile import final_paths, index_path
from tolvane_tools.paths import open_input

if TYPE_CHECKING:
    from tolvane_tools.encode_run import CorpusArgs

BATCHES_AHEAD = 2  # read and split while the batch before is encoded


class BatchReader:
    """Reads batches on a thread of its own, a bounded number ahead."""

    END = object()

    def __init__(self, batches: Iterator[Batch]) -> None:
        self.batches = batches
        self.queue: queue.Queue = queue.Queue(maxsize=BATCHES_AHEAD)
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._run, name="tolvane-reader", daemon=True)
        self.thread.start()

    def _run(self) -> None:
        try:
            for batch in self.batches:
                if not self._put(batch):
                    return
            self._put(self.END)
        except BaseException as error:  # handed to the encoding thread, which reports it
            self._put(error)

    def _put(self, item) -> bool:
        while not self.stopped.is_set():
            try:
                self.queue.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def __iter__(self) -> Iterator[Batch]:
        while True:
            item = self.queue.get()
            if item is self.END:
                return
            if isinstance(item, BaseException):
                raise item
            yield item

    def stop(self) -> None:
        self.stopped.set()
        self.thread.join(timeout=1)


def open_corpus(path: str) -> tuple[BinaryIO, int | None, str]:
    """The input, its size when it is a regular file, and its name in errors."""
    if path == "-":
        if sys.stdin is None:
            raise CliError("standard input is closed; there is no corpus to read")
        return sys.stdin.buffer, None, "standard input"
    stream = os.fdopen(open_input(path), "rb")
    st = os.fstat(stream.fileno())
    return stream, (st.st_size if stat.S_ISREG(st.st_mode) else None), path


def check_output(args: CorpusArgs) -> None:
    """Refuses, before anything is read or written, outputs the run would
    destroy or could not put its files at: the corpus or the model itself
    (also a corpus given as standard input), a directory, a device, a pipe,
    a socket, a missing folder, at OUT.bin or at OUT.idx."""
    assert args.output is not None
    paths = (args.output, index_path(args.output))
    folder = os.path.dirname(os.path.abspath(args.output))
    if args.output and not args.output.endswith(os.sep) and not os.path.isdir(folder):
        raise CliError(f"output folder not found: {folder}")
    try:
        final_paths(paths)
    except OSError as error:
        raise CliError(str(error)) from None
    piped = _standard_input_file() if args.corpus == "-" else None
    for path in paths:
        for other, what in ((args.corpus, "corpus"), (args.model, "model")):
            if other != "-" and os.path.exists(path) and os.path.exists(other) \
                    and os.path.samefile(path, other):
                raise CliError(f"the output {path} is the {what}; choose another name")
        if piped is not None and _same_as(path, piped):
            raise CliError(f"the output {path} is the corpus (standard input); choose another name")


def _standard_input_file() -> os.stat_result | None:
    """What standard input is, when it is a file an output could replace."""
    if sys.stdin is None:
        return None
    info = os.fstat(sys.stdin.fileno())
    return info if stat.S_ISREG(info.st_mode) else None


def _same_as(path: str, info: os.stat_result) -> bool:
    try:
        other = os.stat(path)
    except OSError:
        return False
    return (other.st_dev, other.st_ino) == (info.st_dev, info.st_ino)


def stop_on_termination() -> dict:
    """SIGTERM and SIGHUP stop the run as Ctrl-C does, so the temporary files
    are removed on the way out."""
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    return {sig: signal.signal(sig, interrupt) for sig in (signal.SIGTERM, signal.SIGHUP)}
