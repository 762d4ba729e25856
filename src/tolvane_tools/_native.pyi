"""The native part of tolvane_tools: the Tokenizer class and the trainer's core."""

import os
from collections.abc import Callable, Collection, Iterable
from typing import Any, Literal, Never, SupportsIndex, TypedDict, final

from _typeshed import ReadableBuffer as Buffer

Mode = Literal["compatible", "ranked"]
Ids = Iterable[SupportsIndex] | Buffer
Allowed = Literal["all"] | Collection[str]

@final
class Tokenizer:
    """A vocabulary model fixed for encoding and decoding.

    Made with `from_file` or `from_bytes`; it never changes afterwards, so any
    number of threads may use one at once, and it pickles as the model's bytes.
    mode="compatible" gives exactly the ids `tolvane.Data.encode` gives;
    mode="ranked" applies the learned merges in the order they were learned."""

    def __init__(self, no_constructor: Never, /) -> None: ...
    @classmethod
    def from_file(cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Tokenizer:
        """A Tokenizer for the model file at `path` (OSError, or ValueError for
        a file that is not a model)."""
    @classmethod
    def from_bytes(cls, data: Buffer) -> Tokenizer:
        """A Tokenizer for a model file's content (ValueError if it is not one)."""
    def to_bytes(self) -> bytes:
        """The model file's content, entries by ascending id."""
    def save(self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> None:
        """Writes the model file to `path`, replacing it in one step."""
    @property
    def vocab_size(self) -> int:
        """The number of tokens (ids) in the model."""
    @property
    def oov_id(self) -> int | None:
        """The id unknown graphemes become, or None when the model has none."""
    @property
    def special_tokens(self) -> dict[str, int]:
        """The special tokens, {text: id}; empty for a model without them."""
    @property
    def byte_fallback(self) -> bool:
        """Whether unknown graphemes are encoded as their UTF-8 bytes."""
    @property
    def byte_ids(self) -> tuple[int, ...] | None:
        """The 256 byte tokens' ids by byte value, or None."""
    @property
    def training_info(self) -> dict[str, Any] | None:
        """The trainer's options and report, or None."""
    def token_bytes(self, id: SupportsIndex) -> bytes:
        """The bytes of token `id` (KeyError for an id the model lacks)."""
    def token_text(self, id: SupportsIndex) -> str:
        """The text of token `id`, lossy UTF-8 (KeyError for an id the model lacks)."""
    def id_of(self, grapheme: str) -> int | None:
        """The id of one grapheme, or None."""
    def merge_of(self, id: SupportsIndex) -> tuple[int, int] | None:
        """The pair a learned merge joined into `id`, or None."""
    def graphemes(self, text: str) -> list[str]:
        """`text` split into graphemes, the units tokens are made of."""
    def unknown_graphemes(self, text: str) -> dict[str, int]:
        """Each grapheme of `text` the model lacks, with its count."""
    def encode(self, text: str, mode: Mode = "compatible", *, allowed_special: Allowed = (),
               disallowed_special: Allowed = "all") -> list[int]:
        """The token ids of `text` (KeyError for an unknown grapheme when the
        model has no oov_id and no byte fallback). Allowed special tokens
        become their ids; text spelling a disallowed one raises ValueError."""
    def count(self, text: str, mode: Mode = "compatible", *, allowed_special: Allowed = (),
              disallowed_special: Allowed = "all") -> int:
        """len(encode(text, mode, ...)) without building the list."""
    def encode_batch(self, texts: Iterable[str], mode: Mode = "compatible",
                     threads: int | None = None, *, allowed_special: Allowed = (),
                     disallowed_special: Allowed = "all") -> list[list[int]]:
        """One list of ids per text, in order, encoded on `threads` threads
        (None: one per core) without the interpreter lock."""
    def encode_flat(self, texts: Iterable[str], mode: Mode = "compatible",
                    threads: int | None = None, *, allowed_special: Allowed = (),
                    disallowed_special: Allowed = "all") -> tuple[memoryview, memoryview]:
        """(ids, offsets): uint16 ids of all texts end to end and uint64 start
        offsets with a final end offset."""
    def encode_with_offsets(self, text: str, mode: Mode = "compatible", *,
                            allowed_special: Allowed = (), disallowed_special: Allowed = "all"
                            ) -> tuple[list[int], list[tuple[int, int]]]:
        """(ids, offsets): encode(text, mode, ...) and each token's (start, end)
        as str indices into `text`; every offset is a grapheme border."""
    def encode_flat_with_offsets(self, texts: Iterable[str], mode: Mode = "compatible",
                                 threads: int | None = None, *, allowed_special: Allowed = (),
                                 disallowed_special: Allowed = "all"
                                 ) -> tuple[memoryview, memoryview, memoryview]:
        """encode_flat(texts, mode, threads, ...) and a uint64 memoryview of each
        token's start and end in its own text, two entries per id."""
    def encode_to_numpy(self, text: str, mode: Mode = "compatible", *, allowed_special: Allowed = (),
                        disallowed_special: Allowed = "all") -> Any:
        """encode(text, mode, ...) as a read-only numpy uint16 array over the
        encoder's buffer, without a copy (needs numpy)."""
    def to_huggingface(self, path: str | os.PathLike[str]) -> None:
        """Writes a Hugging Face tokenizer.json whose BPE gives the ids of
        mode="ranked" (see tolvane_tools.huggingface)."""
    def decode(self, ids: Ids, *, skip_special_tokens: bool = False) -> str:
        """The text of `ids`, lossy UTF-8 (KeyError for an id the model lacks)."""
    def decode_batch(self, list_of_ids: Iterable[Ids], *, skip_special_tokens: bool = False) -> list[str]:
        """[decode(ids, skip_special_tokens) for ids in list_of_ids]."""
    def __reduce__(self) -> tuple[object, tuple[bytes]]: ...

def _encode_ranked_literal(tokenizer: Tokenizer, text: str) -> list[int]: ...

class TrainInfo(TypedDict):
    vocab_size: int          # tokens in the model made
    byte_base: int | None    # id of byte 0; bytes 0..255 at byte_base + b
    special_ids: list[int]   # the special tokens' ids, in the order given
    graphemes: int           # graphemes with an id besides the byte tokens
    graphemes_to_bytes: int  # distinct graphemes left to byte fallback
    merges: int
    stopped_early: bool      # fewer tokens than vocab_size; `reason` says why
    reason: str
    pieces: int              # pieces counted (documents cut where no token may span)
    distinct_pieces: int     # in the counts learned from
    distinct_piece_bytes: int
    counts_memory: int       # what the counts were reckoned to take, as memory_limit reckons it
    bytes: int               # UTF-8 bytes of the documents added
    forgettings: int         # times the counts reached memory_limit
    forgotten_pieces: int    # distinct pieces forgotten in all
    forgotten_below: int     # the last time, pieces counted fewer times than this

@final
class _VocabTrainer:
    """The core of tolvane_tools.train: counts documents, then learns a
    vocabulary of a chosen size from the counts of all of them.

    Ids: 0 oov; 1..k the special tokens in the order given; with byte
    fallback 256 byte tokens at byte_base + b (an ASCII byte's token is also
    that character's grapheme); the graphemes that get an id, most frequent
    first; the merges in the order learned. Documents are cut into pieces at
    spaces and line breaks (a space begins a piece unless a space precedes
    it; runs of line breaks are pieces of their own) and at the spelling of
    a special token, which is not counted; no token spans two pieces.
    ValueError for an empty or repeated special token."""

    def __init__(self, *, special_tokens: Iterable[str] = (), byte_fallback: bool = False,
                 max_token_length: int | None = None, grapheme_coverage: float | None = None,
                 threads: int | None = None, memory_limit: int | None = None) -> None:
        """max_token_length: the longest token in graphemes (None: no limit).
        grapheme_coverage (byte fallback only; default 0.9995): the non-ASCII
        graphemes that get an id are the most frequent ones that, with ASCII,
        cover this share of the corpus's graphemes; the rest are left to
        byte tokens. threads: for add_many (None: one per core).
        memory_limit: about the most the counts and the learning may take, in
        bytes (None: no limit); once a call leaves the counts over it, the
        rarest pieces are forgotten down to half of it."""
    def add(self, text: str) -> None:
        """Counts one document (UnicodeEncodeError for lone surrogates)."""
    def add_many(self, texts: Iterable[str]) -> None:
        """Counts each str as one document, on the trainer's threads."""
    def learn(self, vocab_size: int, min_frequency: int = 2,
              progress: Callable[[str, int, int], object] | None = None) -> tuple[bytes, TrainInfo]:
        """(model file bytes: the three maps, entries by ascending id; info).
        Exactly vocab_size tokens unless no pair left occurs min_frequency
        times (info["stopped_early"], info["reason"]). ValueError for a
        vocab_size above 65,536 or below what oov, the specials and the byte
        tokens take, for an empty corpus, or, without byte fallback, for more
        graphemes than vocab_size leaves room for. progress(stage, done,
        total) is called between steps ("graphemes", "pairs", "merges");
        an exception it raises, or Ctrl-C, stops the run and is raised.
        May be called again, with more documents added between calls."""
