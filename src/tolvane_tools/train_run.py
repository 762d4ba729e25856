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
import select
import shutil
import signal
import subprocess
import sys
import tempfile
from dataclasses import dataclass

from tolvane_tools.errors import CliError, module_call
from tolvane_tools.modelfile import ModelFormatError, lookup_size, read_model
from tolvane_tools.progress import Display, RunState

EMPTY_MODEL = bytes(24)  # three empty maps
START_MODEL = "start.model"
KEPT_MODEL = "kept.model"  # a copy of the last save, checked to parse
RESULT_FILE = "result.json"
STOP_GRACE_SECONDS = 10.0

# Runs in the child. Reports how the run ended in a small JSON file, because
# the module writes its own failure notice to standard error too.
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
    with open(result, "w", encoding="utf-8") as f:
        json.dump(fields, f)
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


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _check_paths(args: TrainArgs) -> None:
    if not os.path.exists(args.corpus):
        raise CliError(f"corpus not found: {args.corpus}")
    if os.path.isdir(args.corpus):
        raise CliError(f"corpus is a directory: {args.corpus}")
    if not os.access(args.corpus, os.R_OK):
        raise CliError(f"corpus cannot be read: {args.corpus}")
    if args.start_model is not None:
        if not os.path.isfile(args.start_model):
            raise CliError(f"model file not found: {args.start_model}")
    if os.path.isdir(args.output):
        raise CliError(f"output is a directory: {args.output}")
    if not os.path.isdir(os.path.dirname(os.path.abspath(args.output))):
        raise CliError(f"output directory does not exist: {os.path.dirname(args.output)}")
    if args.log is not None:
        # The module empties the log file before it opens anything else; a log
        # naming one of the run's inputs would destroy it.
        for other, what in ((args.corpus, "the corpus"), (args.start_model, "the --from model"),
                            (args.output, "the output model")):
            if other is not None and _same_file(args.log, other):
                raise CliError(f"--log names {what} ({args.log}); it would be emptied")


def _check_start_model(path: str) -> None:
    """Loads the starting model with the module, so a bad file is reported
    before a child is started for it."""
    import tolvane

    module_call(f"cannot load model {path}", lambda: tolvane.load_from_file(path))


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


def _pump(child: subprocess.Popen, state: RunState, display: Display, scratch: str) -> None:
    """Reads the child's lines until it closes its output."""
    fd = child.stdout.fileno()
    pending = b""
    while True:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if not ready:
            display.tick(state)
            continue
        block = os.read(fd, 65536)
        if not block:
            break
        pending += block
        *lines, pending = pending.split(b"\n")
        for line in lines:
            event = state.feed(line)
            if event == "saved":
                state.tokens = lookup_size(os.path.join(scratch, "tokenizer")) or state.tokens
                _keep_copy(scratch)
            display.line(state, line, event)
    if pending:
        display.line(state, pending, state.feed(pending))


def _read_result(scratch: str) -> dict:
    try:
        with open(os.path.join(scratch, RESULT_FILE), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def run_training(args: TrainArgs) -> int:
    _check_paths(args)
    if args.start_model is not None:
        _check_start_model(args.start_model)
    out = sys.stdout
    summary = sys.stderr if args.raw else sys.stdout
    output_dir = os.path.dirname(os.path.abspath(args.output))
    try:
        scratch = tempfile.mkdtemp(prefix=".tolvane-train-", dir=output_dir)
    except OSError as error:
        raise CliError(f"cannot work in {output_dir}: {error.strerror}") from None
    try:
        start = os.path.join(scratch, START_MODEL)
        if args.start_model is not None:
            shutil.copyfile(args.start_model, start)
        else:
            with open(start, "wb") as f:
                f.write(EMPTY_MODEL)
        if args.print_logs:
            # The module appends to "log.txt" in its working directory; keep
            # that the caller's directory, as if the run happened there.
            os.symlink(os.path.abspath("log.txt"), os.path.join(scratch, "log.txt"))
        corpus = os.path.abspath(args.corpus)
        size = os.path.getsize(corpus) if os.path.isfile(corpus) else None
        state = RunState(corpus_size=size, tokens=lookup_size(start) or 0)
        display = Display(out, terminal=out.isatty(), raw=args.raw)
        command = [sys.executable, "-c", _CHILD, str(os.getpid()), os.path.join(scratch, RESULT_FILE), start,
                   corpus, "1" if args.print_logs else "0",
                   os.path.abspath(args.log) if args.log else os.devnull]
        # Standard error goes to a file: a pipe nobody reads could fill up.
        errors = open(os.path.join(scratch, "stderr.txt"), "w+b")
        # Its own session: Ctrl-C on the terminal reaches only this process,
        # which then stops the child in order.
        child = subprocess.Popen(command, cwd=scratch, env=_child_env(), stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=errors, start_new_session=True)
        interrupted = False
        previous_handlers = _stop_on_termination()
        try:
            try:
                _pump(child, state, display, scratch)
                child.wait()
            except KeyboardInterrupt:
                interrupted = True
                display.finish()
                print("stopping: waiting for the training process to end", file=summary, flush=True)
                _stop(child)
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
            for sig, handler in previous_handlers.items():
                signal.signal(sig, handler)
            errors.seek(0)
            stderr_tail = errors.read().decode("utf-8", "replace").strip().splitlines()
            errors.close()
            child.stdout.close()
        display.finish()
        # Putting the kept model in place must not be cut short by another Ctrl-C.
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            return _conclude(args, state, scratch, start, child.returncode, interrupted,
                             stderr_tail, summary)
        finally:
            signal.signal(signal.SIGINT, previous)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def _conclude(args: TrainArgs, state: RunState, scratch: str, start: str, returncode: int,
              interrupted: bool, stderr_tail: list[str], summary) -> int:
    result = _read_result(scratch)
    status = result.get("status")
    if interrupted or status == "interrupted":
        status = "interrupted"
    model = _final_model(scratch)
    chunks = state.chunks_saved
    if status == "done":
        # An empty corpus saves nothing: the model is the one training started from.
        _install(model or start, args.output)
        print(f"model saved to {args.output}: {chunks} chunk{'s' * (chunks != 1)}, "
              f"{lookup_size(args.output)} tokens, {state.elapsed():.1f} s", file=summary)
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
    print(f"tolvane: {reason}; {kept}", file=sys.stderr)
    return 130 if status == "interrupted" else 1
