"""The child process of `tolvane train`: the script it runs, its environment
and scratch directory, how it is stopped and how its result is read back."""

from __future__ import annotations

import importlib.util
import json
import os
import shutil
import signal
import subprocess
from typing import TYPE_CHECKING

from tolvane_tools.modelfile import ModelFormatError, lookup_size, read_model
from tolvane_tools.paths import written_path
from tolvane_tools.progress import RunState

if TYPE_CHECKING:
    from tolvane_tools.train_run import TrainArgs

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
CHILD = r"""
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


def child_env() -> dict[str, str]:
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


def keep_copy(scratch: str) -> None:
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


def final_model(scratch: str) -> str | None:
    """The last complete model of the run, or None when no chunk was saved."""
    for name in ("tokenizer", KEPT_MODEL):
        path = os.path.join(scratch, name)
        try:
            read_model(path)
        except (OSError, ModelFormatError):
            continue
        return path
    return None


def install(model: str, output: str) -> None:
    """Puts the model at `output` in one rename; where `output` is a symbolic
    link, at the file it names, and the link stays."""
    with open(model, "rb+") as f:
        os.fsync(f.fileno())
    os.replace(model, written_path(output))


def stop(child: subprocess.Popen) -> None:
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


def stop_on_termination() -> dict:
    """Makes SIGTERM and SIGHUP (a closed terminal) stop the run as Ctrl-C
    does, so the last saved model is still put in place."""
    def interrupt(signum, frame):
        raise KeyboardInterrupt
    return {sig: signal.signal(sig, interrupt) for sig in (signal.SIGTERM, signal.SIGHUP)}


def saved(state: RunState, scratch: str) -> None:
    """After each save: the vocabulary size from the file, and a copy kept."""
    state.tokens = lookup_size(os.path.join(scratch, "tokenizer")) or state.tokens
    keep_copy(scratch)


def parse_result(raw: bytes) -> dict:
    try:
        result = json.loads(raw.decode("utf-8"))
    except ValueError:
        return {}
    return result if isinstance(result, dict) else {}


def prepare_scratch(args: TrainArgs, scratch: str, start_fd: int | None) -> str:
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


def restore(handlers: dict) -> None:
    for sig, handler in handlers.items():
        signal.signal(sig, handler)
