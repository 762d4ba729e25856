"""Files named on the command line, opened once and checked by what they are.

A model path is read whole, so it must be a regular file: a device such as
/dev/zero never ends, and a pipe would be used up by the check. The command
keeps the descriptor it checked and hands the module "/dev/fd/N" for it,
which also lets the module (which takes names as UTF-8 text) reach a file
whose name is not UTF-8."""

from __future__ import annotations

import os
import stat

from tolvane_tools.errors import CliError

_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISFIFO, "a named pipe"),
          (stat.S_ISSOCK, "a socket"))


def kind_of(mode: int) -> str:
    """What a file is, for a message: "a directory", "a named pipe", ..."""
    for test, kind in _KINDS:
        if test(mode):
            return kind
    return "a regular file" if stat.S_ISREG(mode) else "not a regular file"


def fd_path(fd: int) -> str:
    """A name for an open descriptor that any process holding it can open."""
    return f"/dev/fd/{fd}"


def open_model(path: str, what: str = "model") -> int:
    """Opens a model file for reading; returns the descriptor. Anything but a
    regular file is refused, saying what it is. O_NONBLOCK keeps the open of a
    named pipe from waiting for a writer; it has no effect on a regular file."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        raise CliError(f"{what} file not found: {path}") from None
    except OSError as error:
        raise CliError(f"cannot open {what} file {path}: {error.strerror}") from None
    mode = os.fstat(fd).st_mode
    if not stat.S_ISREG(mode):
        os.close(fd)
        raise CliError(f"{what} path is {kind_of(mode)}: {path}")
    os.set_blocking(fd, True)
    return fd


def open_input(name: str) -> int:
    """Opens a corpus (any file the command reads text from) for reading;
    returns the descriptor. What cannot be read is refused in one line that
    says why, the same for every command."""
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
    if stat.S_ISDIR(os.fstat(fd).st_mode):  # opening a directory read-only succeeds
        os.close(fd)
        raise CliError(f"corpus is a directory: {name}")
    return fd


def read_model_bytes(path: str) -> bytes:
    fd = open_model(path)
    with os.fdopen(fd, "rb") as f:
        return f.read()


def output_problem(output: str) -> str | None:
    """Why a file could not be put at `output` by writing it beside and
    renaming it there, or None: an empty name, a name that ends in a slash, a
    directory, a missing parent directory, or an existing file that is not a
    regular one (the rename would replace a device node, a pipe or a socket
    with the file). A symbolic link is judged by what it points to."""
    if output == "":
        return "the output name is empty"
    if output.endswith(os.sep):
        return f"output names a directory: {output}"
    try:
        mode = os.stat(output).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as error:
        return f"cannot use output {output}: {error.strerror}"
    if mode is not None and not stat.S_ISREG(mode):
        return f"output is {kind_of(mode)}: {output}"
    parent = os.path.dirname(os.path.abspath(written_path(output)))
    if not os.path.isdir(parent):
        return f"output directory does not exist: {os.path.dirname(written_path(output))}"
    return None


def written_path(output: str) -> str:
    """The file that writing to `output` replaces: the target of a symbolic
    link (followed to its end, even where it does not exist yet), else
    `output` itself. Replacing the link would cut it from what it names."""
    return os.path.realpath(output) if os.path.islink(output) else output


def check_output(output: str, what: str = "output model") -> None:
    """Refuses an output the finished model could not be renamed to, before
    any training (see `output_problem`)."""
    if output == "":
        raise CliError(f"the {what} name is empty")
    problem = output_problem(output)
    if problem is not None:
        raise CliError(problem)
