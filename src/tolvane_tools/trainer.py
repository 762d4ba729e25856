"""`tolvane_tools.train`: a vocabulary of a chosen size from files or texts.

The whole corpus is handed to the native trainer document by document and
the merges are chosen from the counts of all of it. Files are read in blocks
that end at a line feed (corpus.read_batches), texts from an iterator in
batches of bounded size, so memory holds a few blocks besides what the
trainer keeps; a file is never read whole. The result is a Tokenizer whose
model file carries the special tokens, the byte tokens and the options it was
trained with in its extension block."""

from __future__ import annotations

import os
import stat
import sys
import warnings
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeGuard, Union

from tolvane_tools.corpus import (BLOCK_SIZE, CorpusError, Split, large_blocks_apart, parse_split, read_batches,
                                  utf8_size)
from tolvane_tools.modelfile import Extras, extras_bytes

if TYPE_CHECKING:
    from tolvane_tools._native import Tokenizer

MAX_TOKENS = 65_536
# About the most training may take before the rarest pieces are forgotten.
DEFAULT_MEMORY_LIMIT = 4 << 30
# Texts from an iterator are handed over in batches of about this many bytes
# (or documents), so that each crossing into the trainer does a fair amount.
TEXT_BATCH_BYTES = BLOCK_SIZE
TEXT_BATCH_DOCUMENTS = 16_384

PathLike = Union[str, "os.PathLike[str]"]
Progress = Union[bool, None, Callable[[str, int, int], object]]


class TrainingStoppedEarly(UserWarning):
    """The corpus ran out of pairs at min_frequency before vocab_size."""


class MemoryLimitReached(UserWarning):
    """The piece counts reached memory_limit, and the rarest were forgotten:
    the merges come from counts that are no longer all exact."""


@dataclass(frozen=True)
class _Source:
    """One corpus file: its name for messages, the path to open, its size."""
    name: str
    path: str | None  # None: standard input
    size: int | None  # bytes of a regular file


def _is_path(value: object) -> TypeGuard[str | os.PathLike]:
    return isinstance(value, (str, os.PathLike))


def _sources(corpus: object) -> list[_Source] | None:
    """The files `corpus` names, checked before anything is read; None when
    it is texts. A str, an os.PathLike, or a list or tuple of them names
    files ("-": standard input); any other iterable yields texts."""
    paths: list[str | os.PathLike]
    if _is_path(corpus):
        paths = [corpus]
    elif isinstance(corpus, (list, tuple)) and corpus and all(_is_path(p) for p in corpus):
        paths = list(corpus)
    else:
        return None
    sources = []
    for given in paths:
        name = os.fsdecode(os.fspath(given))
        if name == "-":
            sources.append(_Source("standard input", None, None))
            continue
        try:
            info = os.stat(name)
        except FileNotFoundError:
            hint = ("; to train on texts, pass an iterator of them, such as iter(texts)"
                    if isinstance(corpus, (list, tuple)) and not os.sep in name else "")
            raise FileNotFoundError(2, f"corpus file not found: {name!r}{hint}", name) from None
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(21, f"corpus is a directory: {name!r}", name)
        sources.append(_Source(name, name, info.st_size if stat.S_ISREG(info.st_mode) else None))
    return sources


def _check_options(vocab_size: object, min_frequency: object, special_tokens: object,
                   byte_fallback: bool, max_token_length: object, memory_limit: object) -> list[str]:
    def whole(value: object, name: str, none_ok: bool = False) -> int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int{' or None' if none_ok else ''}, not {type(value).__name__}")
        return value

    if isinstance(special_tokens, str):
        raise TypeError("special_tokens must be a list of str, not a str: "
                        f"write [{special_tokens!r}]")
    specials = list(special_tokens)  # type: ignore[call-overload]
    seen: set[str] = set()
    for index, special in enumerate(specials):
        if not isinstance(special, str):
            raise TypeError(f"special_tokens[{index}] must be a str, not {type(special).__name__}")
        if not special:
            raise ValueError(f"special_tokens[{index}] is empty; a special token needs a spelling")
        if special in seen:
            raise ValueError(f"special token {special!r} is given twice")
        try:
            special.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"special_tokens[{index}] holds a lone surrogate, which is not text") from None
        seen.add(special)
    # "oov", the specials, the byte tokens, and room for one more token.
    least = 1 + len(specials) + (256 if byte_fallback else 0) + 1
    size = whole(vocab_size, "vocab_size")
    if not least <= size <= MAX_TOKENS:
        reserved = f"{least - 1} ids are reserved (\"oov\", {len(specials)} special tokens"
        reserved += ", 256 byte tokens)" if byte_fallback else ")"
        raise ValueError(f"vocab_size must be {least} to {MAX_TOKENS:,}, not {size:,} ({reserved})")
    if whole(min_frequency, "min_frequency") < 1:
        raise ValueError(f"min_frequency must be 1 or more, not {min_frequency}")
    if max_token_length is not None and whole(max_token_length, "max_token_length", True) < 1:
        raise ValueError(f"max_token_length must be 1 or more, or None, not {max_token_length}")
    if memory_limit is not None and whole(memory_limit, "memory_limit", True) < 1:
        raise ValueError(f"memory_limit must be at least 1 byte, or None, not {memory_limit}")
    return specials


def _surrogate_error(texts: list[str], first: int) -> ValueError | None:
    """Names the document and character of the first lone surrogate."""
    for index, text in enumerate(texts):
        try:
            text.encode("utf-8")
        except UnicodeEncodeError as error:
            return ValueError(f"text {first + index} holds a lone surrogate at character {error.start} "
                              f"({text[error.start]!r}), which is not text")
    return None


class _Feeder:
    """Hands documents to the native trainer and tells the progress what it
    read, in input bytes (files) or text bytes (texts)."""

    def __init__(self, native: object, report: Callable[[str, int, int], None]) -> None:
        self.native = native
        self.report = report
        self.documents = 0
        self.text_bytes = 0

    def add(self, texts: list[str], total: int, done: int) -> None:
        if not texts:
            return
        try:
            self.native.add_many(texts)  # type: ignore[attr-defined]
        except UnicodeEncodeError:
            raise _surrogate_error(texts, self.documents) or ValueError("a text is not valid Unicode") from None
        self.documents += len(texts)
        self.report("reading", done, total)

    def files(self, sources: list[_Source], split: Split) -> None:
        try:
            self._files(sources, split)
        except CorpusError as error:
            # The command's own error type, which a caller of train should
            # not need to know: a file that is not text is a ValueError.
            raise ValueError(str(error)) from None

    def _files(self, sources: list[_Source], split: Split) -> None:
        total = sum(s.size for s in sources if s.size is not None) if all(
            s.size is not None for s in sources) else 0
        done = 0
        large_blocks_apart()
        self.report("reading", 0, total)  # the speed counts from here
        for source in sources:
            if source.path is None:
                if sys.stdin is None:
                    raise ValueError("standard input is closed; there is no corpus to read")
                stream = sys.stdin.buffer
                batches = read_batches(stream, split, source.name)
                for batch in batches:
                    done += batch.raw_bytes
                    self.text_bytes += batch.text_bytes
                    self.add(batch.documents, total, done)
                continue
            with open(source.path, "rb") as stream:
                for batch in read_batches(stream, split, source.name):
                    done += batch.raw_bytes
                    self.text_bytes += batch.text_bytes
                    self.add(batch.documents, total, done)

    def texts(self, corpus: Iterable[object]) -> None:
        if isinstance(corpus, (str, bytes)):
            raise TypeError(f"corpus must be paths or an iterable of str, not {type(corpus).__name__}")
        try:
            items = iter(corpus)
        except TypeError:
            raise TypeError("corpus must be a path, a list of paths, or an iterable of str "
                            f"(or of lists of str), not {type(corpus).__name__}") from None
        pending: list[str] = []
        size = 0
        self.report("reading", 0, 0)
        for index, item in enumerate(items):
            if isinstance(item, str):
                pending.append(item)
                size += len(item)
            elif isinstance(item, (list, tuple)):
                for inner, text in enumerate(item):
                    if not isinstance(text, str):
                        raise TypeError(f"corpus item {index}[{inner}] must be a str, "
                                        f"not {type(text).__name__}")
                pending.extend(item)
                size += sum(len(text) for text in item)
            else:
                raise TypeError(f"corpus item {index} must be a str or a list of str, "
                                f"not {type(item).__name__}")
            if size >= TEXT_BATCH_BYTES or len(pending) >= TEXT_BATCH_DOCUMENTS:
                self._flush(pending)
                pending, size = [], 0
        self._flush(pending)

    def _flush(self, pending: list[str]) -> None:
        try:
            self.text_bytes += utf8_size(pending)
        except UnicodeEncodeError:
            raise _surrogate_error(pending, self.documents) or ValueError("a text is not valid Unicode") from None
        self.add(pending, 0, self.text_bytes)


# What the extension block records of a run: the options that decide the
# model and what the trainer reports about it, never the thread count or
# timings, so the same corpus and options give the same bytes. The byte base
# and the special ids are in the block already.
_NOT_RECORDED = ("byte_base", "special_ids")


def forgetting_message(result: Mapping[str, Any]) -> str:
    times = result["forgettings"]
    return (f"the piece counts reached memory_limit {'once' if times == 1 else f'{times:,} times'}: "
            f"{result['forgotten_pieces']:,} rare distinct pieces were forgotten (at the last, those seen "
            f"fewer than {result['forgotten_below']:,} times); raise memory_limit to count every piece")


def train(corpus: PathLike | list[PathLike] | tuple[PathLike, ...] | Iterable[str] | Iterable[list[str]],
          *, vocab_size: int, min_frequency: int = 2, special_tokens: Iterable[str] = (),
          byte_fallback: bool = False, max_token_length: int | None = None,
          grapheme_coverage: float | None = None, split: str | Split = "lines",
          progress: Progress = None, threads: int | None = None,
          memory_limit: int | None = DEFAULT_MEMORY_LIMIT) -> Tokenizer:
    """Trains a vocabulary of exactly `vocab_size` tokens ("oov", the special
    tokens and the 256 byte tokens included) on the whole corpus.

    `corpus` is a path, or a list or tuple of paths ("-" reads standard
    input), each split into documents by `split` ("lines", "paragraphs",
    "none" or "jsonl:FIELD"); or any other iterable of str, or of lists of str
    (a `datasets` column, a generator), one document each. Merges only
    join tokens within a document, and a pair must occur `min_frequency`
    times to be merged. Special tokens take the ids 1.. in the order given
    and are never merged (their spelling in the corpus is not counted); with
    `byte_fallback` a grapheme outside the vocabulary is encoded as its UTF-8
    bytes, so decode(encode(text)) == text for every text, and the rarest
    graphemes are left to the bytes so that ids go to merges: those beyond
    `grapheme_coverage` (default 0.9995) of the corpus's graphemes.
    `max_token_length` bounds a token's length in graphemes. The distinct
    pieces of the corpus are counted exactly while training is expected to
    take at most `memory_limit` bytes (default 4 GiB; None: no limit); past
    it the rarest pieces are forgotten, with a MemoryLimitReached warning,
    and `training_info` says how often.
    `progress`: None
    shows a live line on a terminal's standard error (tqdm in a notebook,
    where installed), False nothing, True a live line anyway, and a callable
    is called with (stage, done, total). When the corpus runs out of pairs
    first, training stops early with a TrainingStoppedEarly warning;
    `training_info` of the result says so either way."""
    from tolvane_tools import _native
    from tolvane_tools.train_progress import reporter

    specials = _check_options(vocab_size, min_frequency, special_tokens, bool(byte_fallback),
                              max_token_length, memory_limit)
    split_as = parse_split(split) if isinstance(split, str) else split
    sources = _sources(corpus)
    if grapheme_coverage is not None and not byte_fallback:
        raise ValueError("grapheme_coverage leaves graphemes to byte tokens: it needs byte_fallback=True")
    native = _native._VocabTrainer(special_tokens=specials, byte_fallback=bool(byte_fallback),
                                   max_token_length=max_token_length,
                                   grapheme_coverage=grapheme_coverage, threads=threads,
                                   memory_limit=memory_limit)
    with reporter(progress, vocab_size) as report:
        feeder = _Feeder(native, report)
        if sources is not None:
            feeder.files(sources, split_as)
        else:
            feeder.texts(corpus)  # type: ignore[arg-type]
        if feeder.text_bytes == 0:
            raise ValueError("the corpus is empty: there is no text to train on")
        model, info = native.learn(vocab_size, min_frequency, progress=report)
    options: dict[str, object] = {
        "vocab_size": vocab_size, "min_frequency": min_frequency, "special_tokens": specials,
        "byte_fallback": bool(byte_fallback), "max_token_length": max_token_length,
        "grapheme_coverage": grapheme_coverage, "memory_limit": memory_limit,
    }
    if sources is not None:
        options["split"] = str(split_as)
    result = {key: value for key, value in info.items() if key not in _NOT_RECORDED}
    extras = Extras(special_tokens={text: token for text, token in zip(specials, info["special_ids"])},
                    byte_base=info.get("byte_base") if byte_fallback else None,
                    trainer_options={"options": options, "result": result})
    tokenizer = _native.Tokenizer.from_bytes(bytes(model) + extras_bytes(extras))
    if info["forgettings"]:
        warnings.warn(forgetting_message(info), MemoryLimitReached, stacklevel=2)
    if tokenizer.vocab_size < vocab_size:
        why = f": {info['reason']}" if info.get("reason") else ""
        warnings.warn(f"training stopped at {tokenizer.vocab_size:,} tokens, before vocab_size "
                      f"{vocab_size:,}{why}", TrainingStoppedEarly, stacklevel=2)
    return tokenizer
