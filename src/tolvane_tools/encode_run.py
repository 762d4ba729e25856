"""`tolvane encode -o` and `tolvane stats`: a corpus encoded batch by batch.

One thread reads and splits the corpus while the Tokenizer encodes the batch
before on its own threads, without the interpreter lock. Batches are cut by the
input alone, never by the number of threads, and each document is encoded by
itself, so the output is the same for every --jobs."""

from __future__ import annotations

import re
import signal
import sys
import time
from dataclasses import dataclass
from typing import Any, BinaryIO

from tolvane_tools.corpus import Split, large_blocks_apart, read_batches
from tolvane_tools.corpus_report import Progress, Totals, UnknownTally, summary
from tolvane_tools.encode_plumbing import BatchReader, check_output, open_corpus, stop_on_termination
from tolvane_tools.errors import CliError
from tolvane_tools.idsfile import IdsWriter, index_path, uint64s
from tolvane_tools.progress import say

MODES = ("compatible", "ranked")
DEFAULT_MODE = "compatible"  # the ids `Data.encode` gives, as before


@dataclass
class CorpusArgs:
    model: str
    corpus: str  # a path, or "-" for standard input
    output: str | None  # None: only the summary
    mode: str = DEFAULT_MODE
    split: Split = Split("lines")
    jobs: int | None = None
    special: str = "refuse"  # what a special token's spelling becomes: see SPECIAL_CHOICES


def load_tokenizer(path: str):
    from tolvane_tools import Tokenizer
    from tolvane_tools.paths import read_model_bytes

    # Read here, so a path that is no regular file is refused as such and a
    # name that is not UTF-8 works.
    content = read_model_bytes(path)
    try:
        return Tokenizer.from_bytes(content)
    except (ValueError, OSError) as error:
        raise CliError(f"cannot load model {path}: {error}") from None


def encode_corpus(tok, stream: BinaryIO, name: str, args: CorpusArgs,
                  sink: IdsWriter | None, progress: Progress | None) -> Totals:
    """Runs the corpus through the Tokenizer; ids go to `sink` when there is one."""
    totals = Totals(byte_fallback=tok.byte_fallback)
    tally = UnknownTally(tok)
    reader = BatchReader(read_batches(stream, args.split, name))
    try:
        for batch in reader:
            if not batch.documents:  # only blank lines between two paragraphs, say
                totals.raw_bytes += batch.raw_bytes
                continue
            try:
                ids, offsets = tok.encode_flat(batch.documents, mode=args.mode, threads=args.jobs,
                                               **special_keywords(args.special))
            except (KeyError, ValueError) as error:
                where = _document_failure(error, totals.documents, args.split, batch.lines)
                raise CliError(f"cannot encode {name}: {advice_for_command(where)}") from None
            ends = uint64s(offsets)
            if sink is not None:
                sink.write_flat(ids, ends)
            if tally.oov is not None:
                tally.add(batch.documents, memoryview(ids).cast("B").tobytes(), ends, totals)
            totals.documents += len(batch.documents)
            totals.raw_bytes += batch.raw_bytes
            totals.text_bytes += batch.text_bytes
            totals.tokens += ends[-1]
            if progress is not None:
                progress.update(totals)
    finally:
        reader.stop()
    return totals


def _document_failure(error: Exception, before: int, split: Split,
                      lines: list[int] | None) -> str:
    """The Tokenizer names the failing text by its place in the batch; the
    user needs its place in the corpus: its line, where documents are lines
    or stand on lines of their own (jsonl), else its number."""
    message = str(error.args[0]) if error.args else str(error)
    match = re.match(r"texts\[(\d+)\]: (.*)", message, re.S)
    if not match:
        return message
    index = int(match.group(1))
    if lines is not None:
        return f"line {lines[index]:,}: {match.group(2)}"
    number = before + index + 1
    return f"{'line' if split.kind == 'lines' else 'document'} {number:,}: {match.group(2)}"


def run_corpus(args: CorpusArgs) -> int:
    """Encodes (or, without an output, only measures) a corpus and prints the
    summary on standard output; progress goes to standard error."""
    if args.mode not in MODES:
        raise CliError(f"unknown mode {args.mode!r} (choose {' or '.join(MODES)})")
    if args.jobs is not None and args.jobs < 1:
        raise CliError("--jobs must be 1 or more")
    tok = load_tokenizer(args.model)
    if args.output is not None:
        check_output(args)
    stream, size, name = open_corpus(args.corpus)
    large_blocks_apart()
    previous = stop_on_termination()
    sink = IdsWriter(args.output) if args.output is not None else None
    progress = Progress(sys.stderr, sys.stderr is not None and sys.stderr.isatty(), size,
                        "encode" if sink is not None else "stats")
    started = time.monotonic()
    try:
        totals = encode_corpus(tok, stream, name, args, sink, progress)
        progress.finish()
        if sink is not None:
            sink.commit()
    except BaseException:
        progress.finish()
        if sink is not None:
            sink.discard()
        raise
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()
        for sig, handler in previous.items():
            signal.signal(sig, handler)
    seconds = time.monotonic() - started
    report = summary(totals, seconds)
    if sink is not None and args.output is not None:
        report += f"wrote {args.output} ({totals.tokens:,} ids) and {index_path(args.output)}\n"
    # The files are in place: a summary that cannot be shown (a closed or
    # full standard output) is lost, and the run still succeeded.
    say(sys.stdout, report.rstrip("\n"))
    count = sum(totals.unknown.values())
    if count:
        say(sys.stderr, f"tolvane: warning: {count:,} grapheme{'s' * (count != 1)} of the corpus "
                        f"{'are' if count != 1 else 'is'} not in the model (see the summary)")
    return 0


__all__ = ["CorpusArgs", "run_corpus", "index_path", "MODES", "DEFAULT_MODE", "add_encoding_options",
           "advice_for_command"]


def _jobs(text: str) -> int:
    import argparse

    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def _split(text: str) -> Split:
    import argparse

    from tolvane_tools.corpus import parse_split

    try:
        return parse_split(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


# What the text's spelling of a model's special token becomes: an error
# naming it (the safe default: text from users cannot smuggle one in), the
# special token's id, or ordinary text. Models without special tokens have
# nothing to choose.
SPECIAL_CHOICES: dict[str, dict[str, Any]] = {"refuse": {}, "match": {"allowed_special": "all"}, "text": {"disallowed_special": ()}}


def special_keywords(choice: str | None) -> dict:
    return SPECIAL_CHOICES[choice or "refuse"]


# A refused spelling's message advises the Tokenizer's keywords; the
# command's user has options instead.
_KEYWORDS_ADVICE = ": pass allowed_special to encode it as its id, or disallowed_special=() to encode it as ordinary text"
_OPTIONS_ADVICE = ": give --special match to encode it as its id, or --special text to encode it as ordinary text"


def advice_for_command(message: str) -> str:
    return message.replace(_KEYWORDS_ADVICE, _OPTIONS_ADVICE)


def add_corpus_options(parser, output: bool) -> None:
    """The options `encode` and `stats` share for a corpus."""
    if output:
        parser.add_argument("-o", "--output", metavar="OUT.bin",
                            help="write the ids of a corpus as little-endian uint16 to OUT.bin, "
                                 "and each document's start offset (uint64) plus the end to OUT.idx")
    add_encoding_options(parser)
    parser.add_argument("--split", type=_split, default=None, metavar="HOW",
                        help="documents of the corpus: lines (default), paragraphs, none (the "
                             "whole input, held in memory) or jsonl:FIELD")
    parser.add_argument("--jobs", type=_jobs, default=None, metavar="N",
                        help="encoding threads (default: the number of cores)")


def add_encoding_options(parser) -> None:
    """How a text is encoded: the options every command that encodes has."""
    parser.add_argument("--mode", choices=MODES, default=None,
                        help=f"how merges are applied (default: {DEFAULT_MODE}, the ids of "
                             "Data.encode; ranked gives fewer tokens, for new work)")
    parser.add_argument("--special", choices=tuple(SPECIAL_CHOICES), default=None,
                        help="a special token spelt in the text: refused (the default), its id "
                             "(match), or ordinary text")


def corpus_args(args, output: str | None) -> CorpusArgs:
    corpus = args.file if args.file is not None else "-"
    return CorpusArgs(model=args.model, corpus=corpus, output=output,
                      mode=args.mode or DEFAULT_MODE, split=args.split or Split("lines"),
                      jobs=args.jobs, special=args.special or "refuse")
