"""`tolvane train CORPUS... --vocab-size N`: the whole-corpus trainer from the
command line. It runs in this process (the trainer lets go of the
interpreter and checks for Ctrl-C itself), shows its progress on standard
output as `tolvane train` does, and replaces the output model in one step
once the model is complete, so a failed or stopped run leaves the previous
model whole."""

from __future__ import annotations

import os
import sys
import time
import warnings
from dataclasses import dataclass

from tolvane_tools.errors import CliError
from tolvane_tools.paths import check_output
from tolvane_tools.progress import clock, say


@dataclass
class SizedArgs:
    corpus: list[str]
    output: str
    vocab_size: int
    min_frequency: int
    special_tokens: list[str]
    byte_fallback: bool
    max_token_length: int | None
    split: str
    threads: int | None
    memory_limit: int | None = None  # bytes; 0: no limit; None: the trainer's default


def _check_inputs(args: SizedArgs) -> None:
    check_output(args.output)
    if args.corpus.count("-") > 1:
        raise CliError("standard input (-) can be read only once")
    for name in args.corpus:
        if name == "-":
            continue
        # Looked at, not opened: opening a named pipe to check it would
        # take what its writer sends first.
        if not os.path.exists(name):
            raise CliError(f"corpus not found: {name}")
        if os.path.isdir(name):
            raise CliError(f"corpus is a directory: {name}")
        try:
            if os.path.samefile(name, args.output):
                raise CliError(f"output is the corpus itself: {args.output}; training would replace it")
        except FileNotFoundError:
            pass


def _limit(given: int | None) -> int | None:
    from tolvane_tools.trainer import DEFAULT_MEMORY_LIMIT

    return DEFAULT_MEMORY_LIMIT if given is None else given or None


def run_sized(args: SizedArgs) -> int:
    from tolvane_tools.train_progress import LiveLine, StageLines
    from tolvane_tools.trainer import MemoryLimitReached, TrainingStoppedEarly, train

    _check_inputs(args)
    terminal = sys.stdout is not None and sys.stdout.isatty()
    shown = LiveLine(sys.stdout, args.vocab_size) if terminal else StageLines(sys.stdout)
    started = time.monotonic()
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", TrainingStoppedEarly)
            warnings.simplefilter("always", MemoryLimitReached)
            tok = train(args.corpus, vocab_size=args.vocab_size, min_frequency=args.min_frequency,
                        special_tokens=args.special_tokens, byte_fallback=args.byte_fallback,
                        max_token_length=args.max_token_length, split=args.split, progress=shown,
                        threads=args.threads, memory_limit=_limit(args.memory_limit))
    except CliError:
        raise
    except (ValueError, TypeError) as error:
        raise CliError(str(error)) from None
    except FileNotFoundError as error:
        raise CliError(f"corpus not found: {error.filename}") from None
    finally:
        shown.close()
    tok.save(args.output)
    info = (tok.training_info or {}).get("result", {})
    parts = [f"{tok.vocab_size:,} tokens"]
    if tok.special_tokens:
        parts.append(f"{len(tok.special_tokens)} special")
    if tok.byte_fallback:
        parts.append("256 bytes")
    for key in ("graphemes", "merges"):
        if key in info:
            parts.append(f"{info[key]:,} {key if info[key] != 1 else key[:-1]}")
    say(sys.stdout, f"model saved to {args.output}: {', '.join(parts)}, in {clock(time.monotonic() - started)}")
    for warning in caught:
        if issubclass(warning.category, (TrainingStoppedEarly, MemoryLimitReached)):
            say(sys.stderr, f"tolvane: {str(warning.message).replace('memory_limit', '--memory-limit')}")
    return 0
