"""`tolvane train`: one training run in a child interpreter.

Data.train holds the interpreter for the whole run, prints on descriptor 1
and writes "tokenizer" and "log.txt" in the working directory. So the run
happens in a child process whose working directory is a scratch directory
beside the output model: its lines are read from a pipe, Ctrl-C can stop it
without waiting for the module, and the finished model is moved into place
with one rename, which leaves the previous model whole until then."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

from tolvane_tools.errors import CliError
from tolvane_tools.modelfile import lookup_size
from tolvane_tools.paths import fd_path, open_model, written_path
from tolvane_tools.progress import Display, RunState, copied_line, say
from tolvane_tools.train_child import (CHILD, START_MODEL, child_env, final_model, install, parse_result,
                                       prepare_scratch, restore, saved, stop, stop_on_termination)
from tolvane_tools.train_paths import Corpus, check_paths, check_start_model, open_corpus
from tolvane_tools.train_pipes import STDERR_TAIL, ChildOutput, drain, pump, spool_stream


@dataclass
class TrainArgs:
    corpus: str
    output: str
    start_model: str | None
    log: str | None
    print_logs: bool
    raw: bool


def run_training(args: TrainArgs) -> int:
    corpus = open_corpus(args.corpus)
    start_fd = None
    try:
        check_paths(args, corpus)
        if args.start_model is not None:
            start_fd = open_model(args.start_model)
            check_start_model(args.start_model, start_fd)
        return _run_in_scratch(args, corpus, start_fd)
    finally:
        os.close(corpus.fd)
        if start_fd is not None:
            os.close(start_fd)


def _run_in_scratch(args: TrainArgs, corpus: Corpus, start_fd: int | None) -> int:
    # Beside the file the model replaces, so that it is renamed there within
    # one file system, also where the output is a link to another.
    output_dir = os.path.dirname(os.path.abspath(written_path(args.output)))
    try:
        scratch = tempfile.mkdtemp(prefix=".tolvane-train-", dir=output_dir)
    except OSError as error:
        raise CliError(f"cannot work in {output_dir}: {error.strerror}") from None
    spool = None
    handlers: dict = {}
    try:
        logs = prepare_scratch(args, scratch, start_fd)
        display = Display(sys.stdout, raw=args.raw)
        handlers = stop_on_termination()
        if corpus.stream:
            spool = _copy_stream(args, corpus, scratch, display)
            if spool is None:
                return 130
            corpus = spool
        return _train_in_child(args, corpus, scratch, logs, display, handlers)
    finally:
        restore(handlers)
        if spool is not None:
            os.close(spool.fd)
        shutil.rmtree(scratch, ignore_errors=True)


def _copy_stream(args: TrainArgs, corpus: Corpus, scratch: str, display: Display) -> Corpus | None:
    """The streamed corpus as a file in the scratch directory, or None when
    the run was stopped while the stream was still being read."""
    started = time.monotonic()
    try:
        fd, size = spool_stream(corpus.fd, scratch, display)
    except KeyboardInterrupt:
        display.finish()
        say(sys.stderr, f"tolvane: training stopped; no chunk was saved; {args.output} left unchanged")
        return None
    display.clear()
    say(_summary(args), copied_line(size, time.monotonic() - started))
    return Corpus(fd, size)


def _summary(args: TrainArgs):
    return sys.stderr if args.raw else sys.stdout


def _train_in_child(args: TrainArgs, corpus: Corpus, scratch: str, logs: str, display: Display,
                    handlers: dict) -> int:
    """Trains from the corpus file in a child process; `handlers` are the
    signal handlers to put back once the child has ended."""
    assert corpus.size is not None  # a stream is a file of the scratch directory by now
    summary = _summary(args)
    tokens = lookup_size(os.path.join(scratch, START_MODEL)) or 0
    state = RunState(corpus_size=corpus.size, tokens=tokens)
    result_read, result_write = os.pipe()
    command = [sys.executable, "-c", CHILD, str(os.getpid()), str(result_write), START_MODEL,
               fd_path(corpus.fd), "1" if args.print_logs else "0", logs]
    try:
        # Its own session: Ctrl-C on the terminal reaches only this process,
        # which then stops the child in order.
        child = subprocess.Popen(command, cwd=scratch, env=child_env(), stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 pass_fds=(corpus.fd, result_write), start_new_session=True)
    finally:
        os.close(result_write)
    assert child.stdout is not None and child.stderr is not None  # both are pipes
    got = ChildOutput()
    interrupted = False
    try:
        try:
            got = pump(child, result_read, state, display, lambda: saved(state, scratch))
            child.wait()
        except KeyboardInterrupt:
            interrupted = True
            display.finish()
            say(summary, "stopping: waiting for the training process to end")
            stop(child)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        restore(handlers)
        if interrupted:
            got.result = drain(result_read)
            got.stderr = drain(child.stderr.fileno())[-STDERR_TAIL:]
        os.close(result_read)
        child.stdout.close()
        child.stderr.close()
    display.finish()
    stderr_tail = got.stderr.decode("utf-8", "replace").strip().splitlines()
    # Putting the kept model in place must not be cut short by another Ctrl-C.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        return _conclude(args, state, scratch, os.path.join(scratch, START_MODEL),
                         child.returncode, interrupted, parse_result(got.result),
                         stderr_tail, summary)
    finally:
        signal.signal(signal.SIGINT, previous)


def _conclude(args: TrainArgs, state: RunState, scratch: str, start: str, returncode: int,
              interrupted: bool, result: dict, stderr_tail: list[str], summary) -> int:
    status = result.get("status")
    if interrupted or status == "interrupted":
        status = "interrupted"
    model = final_model(scratch)
    chunks = state.chunks_saved
    if status == "done":
        # An empty corpus saves nothing: the model is the one training started from.
        install(model or start, args.output)
        say(summary, f"model saved to {args.output}: {chunks} chunk{'s' * (chunks != 1)}, "
                     f"{lookup_size(args.output)} tokens, {state.elapsed():.1f} s")
        return 0

    if status == "interrupted":
        reason = "training stopped"
    elif status == "failed" and state.began:
        reason = f"training failed in chunk {chunks + 1}: {result.get('message', '')}"
    elif status == "failed":
        reason = f"training failed: {result.get('message', '')}"
    elif returncode is not None and returncode < 0:
        reason = f"training process ended by signal {signal.Signals(-returncode).name}"
    else:
        last = stderr_tail[-1] if stderr_tail else f"exit status {returncode}"
        reason = f"training process failed: {last}"
    if model is not None:
        install(model, args.output)
        kept = f"kept the model saved after chunk {chunks} at {args.output}"
    else:
        kept = f"no chunk was saved; {args.output} left unchanged"
    say(sys.stderr, f"tolvane: {reason}; {kept}")
    return 130 if status == "interrupted" else 1
