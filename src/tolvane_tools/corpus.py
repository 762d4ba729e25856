"""A corpus read as a stream of documents, in batches of bounded size.

A document is a line (without its line ending), a paragraph (the text between
blank lines, inner line feeds kept), the whole input, or one string field of
each JSON line. The input is read in blocks that end at a line feed, so a block
never cuts a character or a line, and memory holds a few blocks (plus the
longest document) whatever the size of the corpus."""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from typing import BinaryIO, Iterator

from tolvane_tools.errors import CliError

# Bytes read per batch. Large enough that a batch feeds every encoding thread
# for a while, small enough that a few batches in flight stay small.
BLOCK_SIZE = 4 << 20

SPLIT_CHOICES = "lines, paragraphs, none or jsonl:FIELD"


class CorpusError(CliError):
    """The corpus cannot be read as documents: says where."""


@dataclass(frozen=True)
class Split:
    kind: str  # "lines", "paragraphs", "none" or "jsonl"
    field: str | None = None  # the JSON field, for "jsonl"

    def __str__(self) -> str:
        return f"jsonl:{self.field}" if self.kind == "jsonl" else self.kind


def parse_split(value: str) -> Split:
    """The --split option's value; ValueError names what is wrong with it."""
    if value in ("lines", "paragraphs", "none"):
        return Split(value)
    if value.startswith("jsonl:"):
        field = value[len("jsonl:"):]
        if not field:
            raise ValueError("jsonl: needs a field name, as in jsonl:text")
        return Split("jsonl", field)
    raise ValueError(f"unknown split {value!r} (choose {SPLIT_CHOICES})")


@dataclass
class Batch:
    documents: list[str]
    raw_bytes: int  # input bytes this batch consumed
    text_bytes: int  # UTF-8 bytes of its documents' texts (line endings and JSON not counted)
    # The line of the corpus each document stands on, where documents skip
    # lines (jsonl passes over blank ones); None: the place is the count.
    lines: list[int] | None = None


def utf8_size(texts: list[str]) -> int:
    # isascii() is a flag lookup for the interpreter's strings, so mostly
    # English text is counted without encoding it.
    return sum(len(t) if t.isascii() else len(t.encode("utf-8")) for t in texts)


def _line_blocks(stream: BinaryIO, block_size: int) -> Iterator[bytes | bytearray]:
    """The input in pieces that each end with a line feed (all but possibly
    the last). A line longer than a block is gathered whole first, into one
    growing buffer: joining its parts at the end would hold it twice."""
    gathered = bytearray()
    while True:
        data = stream.read(block_size)
        if not data:
            break
        cut = data.rfind(b"\n") + 1
        if cut == 0:
            gathered += data
            continue
        if gathered:
            gathered += memoryview(data)[:cut]
            # Handed over, not kept: this generator holds no reference to
            # the block while its reader works on it.
            yield (gathered, gathered := bytearray())[0]
        else:
            yield data[:cut] if cut < len(data) else data
        if cut < len(data):
            gathered += memoryview(data)[cut:]
        del data
    if gathered:
        yield gathered


# Blocks of this size and up get pages of their own from the system, handed
# back when freed.
LARGE_BLOCK = 1 << 20
M_MMAP_THRESHOLD = -3  # glibc's mallopt parameter


def large_blocks_apart() -> None:
    """Keeps the memory of a run flat in the size of the corpus.

    Each batch makes blocks of a few MB (the bytes read, the text decoded
    from them at 1, 2 or 4 bytes a character, the documents, the ids). glibc raises its
    threshold for giving such blocks pages of their own after the first ones
    are freed, and from then on takes them from the heap, where blocks of
    ever-changing sizes leave holes: reading 1 GB of English grew from 46 MB
    to 297 MB that way, and stays between 53 and 64 MB with the threshold
    fixed; training's reading of the same 1 GB alone grew from 15 MB to
    366 MB, and stays at 34 MB with it. The setting is the process's: it is
    the threshold glibc starts with, kept from moving. Elsewhere than glibc
    nothing is changed."""
    try:
        import ctypes

        libc = ctypes.CDLL(None)
        libc.mallopt(M_MMAP_THRESHOLD, LARGE_BLOCK)
    except (OSError, AttributeError):
        pass


class _Decoder:
    """Turns blocks into text, counting lines and bytes so that an error can
    say where in the corpus it is."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.offset = 0  # input bytes before the current block
        self.line = 1  # number of the current block's first line

    def text(self, block) -> str:
        try:
            text = str(block, "utf-8")
        except UnicodeDecodeError as error:
            line = self.line + bytes(block[:error.start]).count(b"\n")
            raise CorpusError(f"{self.name} is not valid UTF-8 at byte {self.offset + error.start} "
                              f"(line {line})") from None
        return text

    def advance(self, block: bytes | bytearray) -> None:
        self.offset += len(block)
        self.line += block.count(b"\n")


def _lines(blocks: Iterator[bytes | bytearray], decoder: _Decoder) -> Iterator[Batch]:
    for block in blocks:
        raw = len(block)
        if block.find(b"\n", 0, raw - 1) == -1:
            # One line, as a line longer than a block always is: decoded
            # without its ending, it is its document, with no copy made by
            # cutting it out of the text (a copy of a line with one emoji
            # takes 4 bytes a character).
            end = raw - 1 if block.endswith(b"\n") else raw
            crlf = int(end > 0 and end < raw and block[end - 1] == 0x0D)
            text = decoder.text(memoryview(block)[:end - crlf])
            decoder.advance(block)
            del block
            yield Batch([text] if end < raw or text else [], raw, raw - crlf - (end < raw))
            continue
        text = decoder.text(block)
        decoder.advance(block)
        del block  # a long line is then held as its documents alone while they are encoded
        # Every CR LF is a line ending here, so dropping the CRs keeps the texts.
        crlf = text.count("\r\n")
        if crlf:
            text = text.replace("\r\n", "\n")
        docs = text.split("\n")
        if text.endswith("\n"):
            docs.pop()
        feeds = text.count("\n")
        del text
        yield Batch(docs, raw, raw - crlf - feeds)


# A paragraph ends at a line feed followed by one or more blank lines (only
# spaces, tabs or CRs). The CR of a CR LF before them is taken off afterwards:
# a pattern that starts with the line feed itself is searched for about three
# times as fast as one with an optional CR in front (0.2 s against 0.7 s on
# 29 MB of English). Paragraphs are found in the bytes, which are checked to
# be UTF-8 block by block and decoded one paragraph at a time.
_PARAGRAPH_END = re.compile(rb"\n(?:[ \t\r]*\n)+")
_LEADING_BLANK = re.compile(rb"(?:[ \t\r]*\n)+")
_NOT_BLANK = re.compile(rb"[^ \t\r\n]")  # found without copying, unlike strip()
_BLANK = b" \t\r\n"


def _paragraphs(blocks: Iterator[bytes | bytearray], decoder: _Decoder) -> Iterator[Batch]:
    # The bytes after the last separator may go on in the next block, so they
    # are carried over in one growing buffer: a paragraph longer than a block
    # is held whole (as its bytes, then as its text), but neither copied nor
    # searched again per block. Every block but the last ends with a line
    # feed, and the carried bytes hold no separator, so a separator that
    # starts in them starts at their last line feed: the new block is
    # searched with that one line feed in front.
    carry = bytearray()
    for block in blocks:
        decoder.text(block)  # only to say where the corpus is not UTF-8
        decoder.advance(block)
        pieces = _PARAGRAPH_END.split(b"\n" + block if carry else block)
        if len(pieces) == 1:  # the open paragraph goes on through this block
            carry += block
            continue
        raw = len(block) + len(carry)
        rest = pieces.pop()
        if carry:  # the first piece ends the carried paragraph (its last line feed left out)
            del carry[-1:]
            carry += pieces[0]
            pieces[0] = carry
        del block
        docs, size = _documents(pieces)
        del pieces
        carry = bytearray(rest)
        yield Batch(docs, raw - len(carry), size)
    if carry:
        # The last paragraph ends before its final line ending and any blank
        # lines after it.
        blank = len(carry)
        while blank > 0 and carry[blank - 1] in _BLANK:
            blank -= 1
        feed = carry.find(b"\n", blank)
        end = len(carry) if feed == -1 else feed - (feed > blank and carry[feed - 1] == 0x0D)
        docs, size = _documents([memoryview(carry)[:end]], last=True)
        yield Batch(docs, len(carry), size)


def _documents(pieces: list, last: bool = False) -> tuple[list[str], int]:
    """The paragraphs among the pieces between separators, decoded, and their
    bytes: without the blank lines that can only stand before the first one,
    without the CR of their last line's CR LF (the last paragraph of the
    corpus comes without its line ending already); a blank piece is none."""
    docs, size = [], 0
    for index, piece in enumerate(pieces):
        view = memoryview(piece)
        begin = 0
        if index == 0:
            first = _LEADING_BLANK.match(view)
            begin = first.end() if first else 0
        end = len(view) - (not last and len(view) > begin and view[-1] == 0x0D)
        if _NOT_BLANK.search(view, begin, end):
            docs.append(str(view[begin:end], "utf-8"))
            size += end - begin
    return docs, size


def _jsonl(blocks: Iterator[bytes | bytearray], decoder: _Decoder, field: str) -> Iterator[Batch]:
    for block in blocks:
        text = decoder.text(block)
        first_line = decoder.line
        decoder.advance(block)
        docs = []
        numbers = []
        for number, line in enumerate(text.split("\n"), start=first_line):
            if not line.strip():  # blank lines, and the empty piece after the last line feed
                continue
            docs.append(_json_field(line, number, field, decoder.name))
            numbers.append(number)
        try:
            size = utf8_size(docs)
        except UnicodeEncodeError:
            size = _find_surrogate(docs, text, first_line, field, decoder.name)
        yield Batch(docs, len(block), size, numbers)


def _json_field(line: str, number: int, field: str, name: str) -> str:
    where = f"{name}, line {number}"
    try:
        record = json.loads(line)
    except ValueError as error:
        raise CorpusError(f"{where}: not valid JSON ({getattr(error, 'msg', error)})") from None
    if not isinstance(record, dict):
        raise CorpusError(f"{where}: not a JSON object")
    if field not in record:
        raise CorpusError(f"{where}: no field \"{field}\"")
    value = record[field]
    if not isinstance(value, str):
        kind = "null" if value is None else type(value).__name__
        raise CorpusError(f"{where}: field \"{field}\" is {kind}, not a string")
    return value


def _find_surrogate(docs: list[str], text: str, first_line: int, field: str, name: str) -> int:
    """A JSON escape such as \\ud800 gives a lone surrogate, which is no text:
    names the first line that holds one."""
    for number, line in enumerate(text.split("\n"), start=first_line):
        if not line.strip():
            continue
        try:
            _json_field(line, number, field, name).encode("utf-8")
        except UnicodeEncodeError:
            raise CorpusError(f"{name}, line {number}: field \"{field}\" holds a lone surrogate "
                              "(an unpaired \\uD800-\\uDFFF escape), which is not text") from None
    return utf8_size(docs)


def _whole(stream: BinaryIO, decoder: _Decoder) -> Iterator[Batch]:
    raw = stream.read()
    if raw:
        text = decoder.text(raw)
        yield Batch([text], len(raw), len(raw))


def read_batches(stream: BinaryIO, split: Split, name: str,
                 block_size: int | None = None) -> Iterator[Batch]:
    """The documents of `stream` in order, a batch per block read. `name`
    names the input in errors. An empty input has no documents."""
    block_size = block_size or BLOCK_SIZE
    decoder = _Decoder(name)
    if split.kind == "none":
        return _whole(stream, decoder)
    blocks = _line_blocks(stream, block_size)
    if split.kind == "lines":
        return _lines(blocks, decoder)
    if split.kind == "paragraphs":
        return _paragraphs(blocks, decoder)
    assert split.field is not None
    return _jsonl(blocks, decoder, split.field)


def read_documents(path: str, split: Split | str = "lines") -> Iterator[str]:
    """Every document of a corpus file, one by one (for scripts and examples)."""
    if isinstance(split, str):
        split = parse_split(split)
    with open(path, "rb") as stream:
        for batch in read_batches(stream, split, path):
            yield from batch.documents
