"""What `tolvane train` checks before it starts: the corpus opened once (a
file, or standard input kept as a stream), the output and log paths that
must not be one of the run's inputs, and the starting model."""

from __future__ import annotations

import os
import stat
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING

from tolvane_tools.errors import CliError, module_call
from tolvane_tools.paths import check_output, fd_path, open_input

if TYPE_CHECKING:
    from tolvane_tools.train_run import TrainArgs


@dataclass
class Corpus:
    """The training text, open in this process. A regular file is handed to
    the child as it is; anything else (standard input, a pipe, a process
    substitution, a terminal) is a stream, which this process first copies
    whole into a file of the scratch directory (see `spool_stream`)."""
    fd: int
    size: int | None  # bytes of a regular file; None for a stream

    @property
    def stream(self) -> bool:
        return self.size is None


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _same_as_open(path: str, info: os.stat_result) -> bool:
    try:
        other = os.stat(path)
    except OSError:
        return False
    return (other.st_dev, other.st_ino) == (info.st_dev, info.st_ino)


def open_corpus(name: str) -> Corpus:
    """Opens the corpus once; "-" is standard input. What was checked is what
    the child reads, also when the name is not UTF-8."""
    from_stdin = name == "-"
    if from_stdin:
        if sys.stdin is None:
            raise CliError("standard input is closed; there is no corpus to read")
        fd = os.dup(0)
        os.set_inheritable(fd, False)
        name = "standard input"
    else:
        fd = open_input(name)
    mode = os.fstat(fd).st_mode
    # The child opens a regular file afresh, from its first byte. Standard
    # input left part way into a file by an earlier reader is copied from
    # where it stands instead, as any stream is: the corpus is what "-" has
    # still to give.
    if stat.S_ISREG(mode) and not (from_stdin and os.lseek(fd, 0, os.SEEK_CUR) != 0):
        return Corpus(fd, os.fstat(fd).st_size)
    return Corpus(fd, None)


def check_paths(args: TrainArgs, corpus: Corpus) -> None:
    check_output(args.output)
    info = os.fstat(corpus.fd)
    if not corpus.stream and _same_as_open(args.output, info):
        raise CliError(f"output is the corpus itself: {args.output}; training would replace it")
    if args.print_logs and not corpus.stream and _same_as_open("log.txt", info):
        raise CliError("the corpus is log.txt, to which --print-logs appends the learned merges; "
                       "the run would read its own lines back without end")
    if args.log is not None:
        # The module empties the log file before it opens anything else; a log
        # naming one of the run's inputs would destroy it.
        if not corpus.stream and _same_as_open(args.log, info):
            raise CliError(f"--log names the corpus ({args.log}); it would be emptied")
        for other, what in ((args.start_model, "the --from model"), (args.output, "the output model")):
            if other is not None and _same_file(args.log, other):
                raise CliError(f"--log names {what} ({args.log}); it would be emptied")


def check_start_model(path: str, fd: int) -> None:
    """Loads the starting model with the module, so a bad file is reported
    before a child is started for it."""
    import tolvane

    module_call(f"cannot load model {path}", lambda: tolvane.load_from_file(fd_path(fd)))
