"""`tolvane train`: one training run in a child interpreter.

Data.train holds the interpreter for the whole run, prints on descriptor 1
and writes "tokenizer" and "log.txt" in the working directory. So the run
happens in a child process whose working directory is a scratch directory
beside the output model: its lines are read from a pipe, Ctrl-C can stop it
without waiting for the module, and the finished model is moved into place
with one rename, which leaves the previous model whole until then."""

from __future__ import annotations

import importlib.util
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

from tolvane_tools.errors import CliError, module_call
from tolvane_tools.modelfile import ModelFormatError, lookup_size, read_model
from tolvane_tools.paths import check_output, fd_path, open_model
from tolvane_tools.progress import Display, RunState, copied_line, say
from tolvane_tools.train_pipes import STDERR_TAIL, ChildOutput, drain, pump, spool_stream

EMPTY_MODEL = bytes(24)  # three empty maps
START_MODEL = "start.model"
KEPT_MODEL = "kept.model"  # a copy of the last save, checked to parse
LOG_LINK = "train.log"  # the --log file, under a name the module can take
STOP_GRACE_SECONDS = 10.0

# Runs in the child, whose working directory is the scratch directory. Every
# name it is given is plain ASCII ("/dev/fd/N" for the corpus), whatever the
# user's names are. How the run ended goes back through a pipe of its own:
# the module writes its own failure notice to standard error too, and a file
# would be lost on the very disk that filled up.
_CHILD = r"""
import json, os, signal, sys
parent, result, model, corpus, print_logs, logs = sys.argv[1:]
# The module goes on when its console is gone, so a parent that is killed
# outright would leave the run going: have the kernel end it instead.
try:
    import ctypes
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
except Exception:
    pass
if os.getppid() != int(parent):
    sys.exit(1)
def report(**fields):
    view = memoryview(json.dumps(fields).encode("utf-8"))
    try:
        while view:
            view = view[os.write(int(result), view):]
    except OSError:
        pass
try:
    import tolvane
    data = tolvane.load_from_file(model)
    data.train(corpus, print_logs == "1", logs)
except KeyboardInterrupt:
    report(status="interrupted")
    sys.exit(130)
except BaseException as error:
    report(status="failed", kind=type(error).__name__, message=str(error))
    sys.exit(1)
report(status="done")
"""


@dataclass
class TrainArgs:
    corpus: str
    output: str
    start_model: str | None
    log: str | None
    print_logs: bool
    raw: bool


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


def _open_corpus(name: str) -> Corpus:
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
        try:
            fd = os.open(name, os.O_RDONLY | os.O_CLOEXEC)
        except FileNotFoundError:
            raise CliError(f"corpus not found: {name}") from None
        except IsADirectoryError:
            raise CliError(f"corpus is a directory: {name}") from None
        except PermissionError:
            raise CliError(f"corpus cannot be read: {name}") from None
        except OSError as error:
            raise CliError(f"cannot open corpus {name}: {error.strerror}") from None
    mode = os.fstat(fd).st_mode
    if stat.S_ISDIR(mode):
        os.close(fd)
        raise CliError(f"corpus is a directory: {name}")
    # The child opens a regular file afresh, from its first byte. Standard
    # input left part way into a file by an earlier reader is copied from
    # where it stands instead, as any stream is: the corpus is what "-" has
    # still to give.
    if stat.S_ISREG(mode) and not (from_stdin and os.lseek(fd, 0, os.SEEK_CUR) != 0):
        return Corpus(fd, os.fstat(fd).st_size)
    return Corpus(fd, None)


def _check_paths(args: TrainArgs, corpus: Corpus) -> None:
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


def _check_start_model(path: str, fd: int) -> None:
    """Loads the starting model with the module, so a bad file is reported
    before a child is started for it."""
    import tolvane

    module_call(f"cannot load model {path}", lambda: tolvane.load_from_file(fd_path(fd)))


def _child_env() -> dict[str, str]:
    """The environment for the child, which runs in another directory: the
    module and this package must stay importable from there."""
    env = dict(os.environ)
    paths = []
    for name in ("tolvane", "tolvane_tools"):
        found = importlib.util.find_spec(name)
        if found is not None and found.origin:
            origin = os.path.abspath(found.origin)
            paths.append(os.path.dirname(os.path.dirname(origin) if name == "tolvane_tools" else origin))
    paths += [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
    return env


def _keep_copy(scratch: str) -> None:
    """Copies the model just saved, once it parses, as the fallback for a run
    stopped while it was writing the next one."""
    saved = os.path.join(scratch, "tokenizer")
    copy = os.path.join(scratch, KEPT_MODEL + ".tmp")
    try:
        shutil.copyfile(saved, copy)
        read_model(copy)
    except (OSError, ModelFormatError):
        return
    os.replace(copy, os.path.join(scratch, KEPT_MODEL))


def _final_model(scratch: str) -> str | None:
    """The last complete model of the run, or None when no chunk was saved."""
    for name in ("tokenizer", KEPT_MODEL):
        path = os.path.join(scratch, name)
        try:
            read_model(path)
        except (OSError, ModelFormatError):
            continue
        return path
    return None


def _install(model: str, output: str) -> None:
    with open(model, "rb+") as f:
        os.fsync(f.fileno())
    os.replace(model, output)


def _stop(child: subprocess.Popen) -> None:
    """Asks the child to stop as Ctrl-C would; ends it if it does not, or at
    once on a second Ctrl-C. Every save replaces "tokenizer" whole, and the
    kept copy covers a save cut short, so ending it loses no saved chunk."""
    try:
        for sig in (signal.SIGINT, signal.SIGTERM):
            if child.poll() is not None:
                return
            child.send_signal(sig)
            try:
                child.wait(STOP_GRACE_SECONDS)
            except subprocess.TimeoutExpired:
                continue
    except KeyboardInterrupt:
        pass
    if child.poll() is None:
        child.kill()


def _stop_on_termination() -> dict:
    """Makes SIGTERM and SIGHUP (a closed terminal) stop the run as Ctrl-C
    does, so the last saved model is still put in place."""
    def interrupt(signum, frame):
        raise KeyboardInterrupt
    return {sig: signal.signal(sig, interrupt) for sig in (signal.SIGTERM, signal.SIGHUP)}


def _saved(state: RunState, scratch: str) -> None:
    """After each save: the vocabulary size from the file, and a copy kept."""
    state.tokens = lookup_size(os.path.join(scratch, "tokenizer")) or state.tokens
    _keep_copy(scratch)


def _parse_result(raw: bytes) -> dict:
    try:
        result = json.loads(raw.decode("utf-8"))
    except ValueError:
        return {}
    return result if isinstance(result, dict) else {}


def _prepare_scratch(args: TrainArgs, scratch: str, start_fd: int | None) -> str:
    """Lays out the child's working directory; returns the name of the log
    the child is given. Every name inside it is plain ASCII."""
    start = os.path.join(scratch, START_MODEL)
    with open(start, "wb") as f:
        if start_fd is None:
            f.write(EMPTY_MODEL)
        else:
            with os.fdopen(os.dup(start_fd), "rb") as source:
                source.seek(0)
                shutil.copyfileobj(source, f)
    if args.print_logs:
        # The module appends to "log.txt" in its working directory; keep
        # that the caller's directory, as if the run happened there.
        os.symlink(os.path.abspath("log.txt"), os.path.join(scratch, "log.txt"))
    if args.log is None:
        return os.devnull
    os.symlink(os.path.abspath(args.log), os.path.join(scratch, LOG_LINK))
    return LOG_LINK


def run_training(args: TrainArgs) -> int:
    corpus = _open_corpus(args.corpus)
    start_fd = None
    try:
        _check_paths(args, corpus)
        if args.start_model is not None:
            start_fd = open_model(args.start_model)
            _check_start_model(args.start_model, start_fd)
        return _run_in_scratch(args, corpus, start_fd)
    finally:
        os.close(corpus.fd)
        if start_fd is not None:
            os.close(start_fd)


def _run_in_scratch(args: TrainArgs, corpus: Corpus, start_fd: int | None) -> int:
    output_dir = os.path.dirname(os.path.abspath(args.output))
    try:
        scratch = tempfile.mkdtemp(prefix=".tolvane-train-", dir=output_dir)
    except OSError as error:
        raise CliError(f"cannot work in {output_dir}: {error.strerror}") from None
    spool = None
    handlers: dict = {}
    try:
        logs = _prepare_scratch(args, scratch, start_fd)
        display = Display(sys.stdout, raw=args.raw)
        handlers = _stop_on_termination()
        if corpus.stream:
            spool = _copy_stream(args, corpus, scratch, display)
            if spool is None:
                return 130
            corpus = spool
        return _train_in_child(args, corpus, scratch, logs, display, handlers)
    finally:
        _restore(handlers)
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


def _restore(handlers: dict) -> None:
    for sig, handler in handlers.items():
        signal.signal(sig, handler)


def _train_in_child(args: TrainArgs, corpus: Corpus, scratch: str, logs: str, display: Display,
                    handlers: dict) -> int:
    """Trains from the corpus file in a child process; `handlers` are the
    signal handlers to put back once the child has ended."""
    assert corpus.size is not None  # a stream is a file of the scratch directory by now
    summary = _summary(args)
    tokens = lookup_size(os.path.join(scratch, START_MODEL)) or 0
    state = RunState(corpus_size=corpus.size, tokens=tokens)
    result_read, result_write = os.pipe()
    command = [sys.executable, "-c", _CHILD, str(os.getpid()), str(result_write), START_MODEL,
               fd_path(corpus.fd), "1" if args.print_logs else "0", logs]
    try:
        # Its own session: Ctrl-C on the terminal reaches only this process,
        # which then stops the child in order.
        child = subprocess.Popen(command, cwd=scratch, env=_child_env(), stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 pass_fds=(corpus.fd, result_write), start_new_session=True)
    finally:
        os.close(result_write)
    got = ChildOutput()
    interrupted = False
    try:
        try:
            got = pump(child, result_read, state, display, lambda: _saved(state, scratch))
            child.wait()
        except KeyboardInterrupt:
            interrupted = True
            display.finish()
            say(summary, "stopping: waiting for the training process to end")
            _stop(child)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        _restore(handlers)
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
                         child.returncode, interrupted, _parse_result(got.result),
                         stderr_tail, summary)
    finally:
        signal.signal(signal.SIGINT, previous)


def _conclude(args: TrainArgs, state: RunState, scratch: str, start: str, returncode: int,
              interrupted: bool, result: dict, stderr_tail: list[str], summary) -> int:
    status = result.get("status")
    if interrupted or status == "interrupted":
        status = "interrupted"
    model = _final_model(scratch)
    chunks = state.chunks_saved
    if status == "done":
        # An empty corpus saves nothing: the model is the one training started from.
        _install(model or start, args.output)
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
        _install(model, args.output)
        kept = f"kept the model saved after chunk {chunks} at {args.output}"
    else:
        kept = f"no chunk was saved; {args.output} left unchanged"
    say(sys.stderr, f"tolvane: {reason}; {kept}")
    return 130 if status == "interrupted" else 1
