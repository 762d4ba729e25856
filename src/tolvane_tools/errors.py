"""Errors the command reports as one line of its own, and calls into the
module that end in them."""

import contextlib
import os
import sys
import tempfile


class CliError(Exception):
    """A problem with the command's input: printed as "tolvane: <message>"."""


def is_panic(error: BaseException) -> bool:
    # The module creates PanicException at its first internal failure and does
    # not export it, so it is known by name.
    return type(error).__name__ == "PanicException"


@contextlib.contextmanager
def _held_stderr():
    """Holds what is written to descriptor 2 meanwhile. The module writes its
    own notice of an internal failure there; the command reports the failure
    in one line of its own instead."""
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as held:
        os.dup2(held.fileno(), 2)
        try:
            yield held
        finally:
            os.dup2(saved, 2)
            os.close(saved)


def module_call(what: str, call):
    """Runs a call into the module; its internal failures and argument errors
    become one-line errors, Ctrl-C and exits pass through."""
    with _held_stderr() as held:
        try:
            result = call()
        except (KeyboardInterrupt, SystemExit, GeneratorExit):
            raise
        except BaseException as error:
            if is_panic(error) or isinstance(error, (ValueError, TypeError, OverflowError,
                                                      RuntimeError)):
                raise CliError(f"{what}: {error}") from None
            raise
        held.seek(0)
        other_output = held.read()
    if other_output:  # not a failure notice: pass it on
        sys.stderr.buffer.write(other_output)
        sys.stderr.flush()
    return result
