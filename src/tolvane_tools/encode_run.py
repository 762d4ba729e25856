"""`tolvane encode -o` and `tolvane stats`: a corpus encoded batch by batch.

One thread reads and splits the corpus while the Tokenizer encodes the batch
before on its own threads, without the interpreter lock. Batches are cut by the
input alone, never by the number of threads, and each document is encoded by
itself, so the output is the same for every --jobs."""

from __future__ import annotations

import array
import bisect
import os
import queue
import re
import signal
import stat
import sys
import threading
import time
from dataclasses import dataclass
from typing import BinaryIO, Iterator

from tolvane_tools.corpus import Batch, Split, read_batches
from tolvane_tools.corpus_report import Progress, Totals, summary
from tolvane_tools.errors import CliError
from tolvane_tools.idsfile import IdsWriter, index_path, uint64s

MODES = ("compatible", "ranked")
DEFAULT_MODE = "compatible"  # the ids `Data.encode` gives, as before
MAX_TOKEN_ID = 0xFFFF
BATCHES_AHEAD = 2  # read and split while the batch before is encoded


class UnknownTally:
    """Counts the graphemes the model does not know, exactly.

    Each one becomes the oov token, so only documents whose ids hold the oov
    id need a second look, provided no learned merge takes the oov token as a
    part (it would hide inside the merged token). A model where one does has
    every document looked at."""

    def __init__(self, tok) -> None:
        self.tok = tok
        self.oov = tok.oov_id
        self.every_document = self.oov is not None and _merges_take(tok, self.oov)
        # The oov id as the Tokenizer's native uint16 bytes.
        self.needle = b"" if self.oov is None else array.array("H", [self.oov]).tobytes()

    def add(self, documents: list[str], ids: bytes, offsets: array.array, totals: Totals) -> None:
        if self.oov is None:
            return  # encoding refuses unknown graphemes on such a model
        for index in self._candidates(ids, offsets):
            found = self.tok.unknown_graphemes(documents[index])
            if found:
                totals.unknown.update(found)
                totals.unknown_documents += 1

    def _candidates(self, ids: bytes, offsets: array.array) -> Iterator[int]:
        if self.every_document:
            yield from range(len(offsets) - 1)
            return
        last = -1
        at = ids.find(self.needle)
        while at != -1:
            if at % 2 == 0:  # a match across two ids is no id
                index = bisect.bisect_right(offsets, at // 2) - 1
                if index != last:
                    yield index
                    last = index
                # The rest of this document needs no more searching.
                at = ids.find(self.needle, 2 * offsets[index + 1])
            else:
                at = ids.find(self.needle, at + 1)


def _merges_take(tok, token: int) -> bool:
    for merged in range(MAX_TOKEN_ID + 1):
        try:
            pair = tok.merge_of(merged)
        except (KeyError, ValueError):
            continue
        if pair is not None and token in pair:
            return True
    return False


class _Reader:
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


@dataclass
class CorpusArgs:
    model: str
    corpus: str  # a path, or "-" for standard input
    output: str | None  # None: only the summary
    mode: str = DEFAULT_MODE
    split: Split = Split("lines")
    jobs: int | None = None


def _open_corpus(path: str) -> tuple[BinaryIO, int | None, str]:
    """The input, its size when it is a regular file, and its name in errors."""
    if path == "-":
        return sys.stdin.buffer, None, "standard input"
    try:
        stream = open(path, "rb")
    except FileNotFoundError:
        raise CliError(f"file not found: {path}") from None
    except IsADirectoryError:
        raise CliError(f"corpus path is a directory: {path}") from None
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror}") from None
    st = os.fstat(stream.fileno())
    return stream, (st.st_size if stat.S_ISREG(st.st_mode) else None), path


def _check_output(args: CorpusArgs) -> None:
    assert args.output is not None
    for path in (args.output, index_path(args.output)):
        for other, what in ((args.corpus, "corpus"), (args.model, "model")):
            if other != "-" and os.path.exists(path) and os.path.exists(other) \
                    and os.path.samefile(path, other):
                raise CliError(f"the output {path} is the {what}; choose another name")
    if os.path.isdir(args.output):
        raise CliError(f"output path is a directory: {args.output}")
    folder = os.path.dirname(os.path.abspath(args.output))
    if not os.path.isdir(folder):
        raise CliError(f"output folder not found: {folder}")


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


# Blocks of this size and up get pages of their own from the system, handed
# back when freed.
LARGE_BLOCK = 1 << 20
M_MMAP_THRESHOLD = -3  # glibc's mallopt parameter


def _large_blocks_apart() -> None:
    """Keeps the memory of a run flat in the size of the corpus.

    Each batch makes blocks of a few MB (the bytes read, the text decoded
    from them at 1, 2 or 4 bytes a character, the ids). glibc raises its
    threshold for giving such blocks pages of their own after the first ones
    are freed, and from then on takes them from the heap, where blocks of
    ever-changing sizes leave holes: reading 1 GB of English grew from 46 MB
    to 297 MB that way, and stays between 53 and 64 MB with the threshold
    fixed. Elsewhere than glibc nothing is changed."""
    try:
        import ctypes

        libc = ctypes.CDLL(None)
        libc.mallopt(M_MMAP_THRESHOLD, LARGE_BLOCK)
    except (OSError, AttributeError):
        pass


def _stop_on_termination() -> dict:
    """SIGTERM and SIGHUP stop the run as Ctrl-C does, so the temporary files
    are removed on the way out."""
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    return {sig: signal.signal(sig, interrupt) for sig in (signal.SIGTERM, signal.SIGHUP)}


def encode_corpus(tok, stream: BinaryIO, name: str, args: CorpusArgs,
                  sink: IdsWriter | None, progress: Progress | None) -> Totals:
    """Runs the corpus through the Tokenizer; ids go to `sink` when there is one."""
    totals = Totals()
    tally = UnknownTally(tok)
    reader = _Reader(read_batches(stream, args.split, name))
    try:
        for batch in reader:
            if not batch.documents:  # only blank lines between two paragraphs, say
                totals.raw_bytes += batch.raw_bytes
                continue
            try:
                ids, offsets = tok.encode_flat(batch.documents, mode=args.mode, threads=args.jobs)
            except (KeyError, ValueError) as error:
                where = _document_failure(error, totals.documents, args.split)
                raise CliError(f"cannot encode {name}: {where}") from None
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


def _document_failure(error: Exception, before: int, split: Split) -> str:
    """The Tokenizer names the failing text by its place in the batch; the
    user needs its place in the corpus (for lines, its line number)."""
    message = str(error.args[0]) if error.args else str(error)
    match = re.match(r"texts\[(\d+)\]: (.*)", message, re.S)
    if not match:
        return message
    number = before + int(match.group(1)) + 1
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
        _check_output(args)
    stream, size, name = _open_corpus(args.corpus)
    _large_blocks_apart()
    previous = _stop_on_termination()
    sink = IdsWriter(args.output) if args.output is not None else None
    progress = Progress(sys.stderr, sys.stderr.isatty(), size,
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
    if sink is not None:
        report += f"wrote {args.output} ({totals.tokens:,} ids) and {index_path(args.output)}\n"
    sys.stdout.write(report)
    sys.stdout.flush()
    count = sum(totals.unknown.values())
    if count:
        print(f"tolvane: warning: {count:,} grapheme{'s' * (count != 1)} of the corpus "
              f"{'are' if count != 1 else 'is'} not in the model (see the summary)", file=sys.stderr)
    return 0


def unknown_warning(tok, text: str) -> str | None:
    """The warning for one text with graphemes the model does not know."""
    found = tok.unknown_graphemes(text)
    count = sum(found.values())
    if not count:
        return None
    from tolvane_tools.visible import visible_text

    listed = ", ".join(visible_text(g) for g, _ in
                       sorted(found.items(), key=lambda item: (-item[1], item[0]))[:5])
    more = ", ..." if len(found) > 5 else ""
    if count == 1:
        return (f"tolvane: warning: 1 grapheme of the text is not in the model ({listed}); "
                "it becomes the oov token, which decodes to nothing")
    return (f"tolvane: warning: {count} graphemes of the text are not in the model ({listed}{more}); "
            "they become the oov token, which decodes to nothing")


__all__ = ["CorpusArgs", "run_corpus", "unknown_warning", "index_path", "MODES", "DEFAULT_MODE"]


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


def add_corpus_options(parser, output: bool) -> None:
    """The options `encode` and `stats` share for a corpus."""
    if output:
        parser.add_argument("-o", "--output", metavar="OUT.bin",
                            help="write the ids of a corpus as little-endian uint16 to OUT.bin, "
                                 "and each document's start offset (uint64) plus the end to OUT.idx")
    parser.add_argument("--mode", choices=MODES, default=None,
                        help=f"how merges are applied (default: {DEFAULT_MODE}, the ids of "
                             "Data.encode; ranked gives fewer tokens, for new work)")
    parser.add_argument("--split", type=_split, default=None, metavar="HOW",
                        help="documents of the corpus: lines (default), paragraphs, none (the "
                             "whole input, held in memory) or jsonl:FIELD")
    parser.add_argument("--jobs", type=_jobs, default=None, metavar="N",
                        help="encoding threads (default: the number of cores)")


def corpus_args(args, output: str | None) -> CorpusArgs:
    corpus = args.file if args.file is not None else "-"
    return CorpusArgs(model=args.model, corpus=corpus, output=output,
                      mode=args.mode or DEFAULT_MODE, split=args.split or Split("lines"),
                      jobs=args.jobs)
