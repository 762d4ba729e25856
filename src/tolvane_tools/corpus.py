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

    def advance(self, block: bytes) -> None:
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
# 29 MB of English).
_PARAGRAPH_END = re.compile(r"\n(?:[ \t\r]*\n)+")
_LEADING_BLANK = re.compile(r"(?:[ \t\r]*\n)+")
_TRAILING_BLANK = re.compile(r"(?:\r?\n[ \t\r]*)+\Z")
_NOT_BLANK = re.compile(r"[^ \t\r\n]")  # found without copying, unlike strip()


def _paragraphs(blocks: Iterator[bytes], decoder: _Decoder) -> Iterator[Batch]:
    # The text after the last separator may go on in the next block, so it is
    # carried over, as the texts of the blocks it spans, joined once when the
    # paragraph ends: a paragraph longer than a block is held whole, but
    # neither copied nor searched again per block. Every block but the last
    # ends with a line feed, and the carried text holds no separator, so a
    # separator that starts in it starts at its last line feed: the new block
    # is searched with that one line feed in front.
    carry: list[str] = []
    carry_bytes = 0
    carry_crs = False
    for block in blocks:
        text = decoder.text(block)
        decoder.advance(block)
        pieces = _PARAGRAPH_END.split("\n" + text if carry else text)
        if len(pieces) == 1:  # the open paragraph goes on through this block
            carry.append(text)
            carry_bytes += len(block)
            carry_crs = carry_crs or "\r" in text
            continue
        crs = carry_crs or "\r" in text
        if carry:  # the first piece ends the carried paragraph (its last line feed left out)
            carry[-1] = carry[-1][:-1]
            carry.append(pieces[0])
            pieces[0] = "".join(carry)
        rest = pieces.pop()
        docs = _kept(pieces, crs)
        raw = len(block) + carry_bytes
        carry = [rest] if rest else []
        carry_bytes = len(rest) if rest.isascii() else len(rest.encode("utf-8"))
        carry_crs = "\r" in rest
        yield Batch(docs, raw - carry_bytes, utf8_size(docs))
    last = _TRAILING_BLANK.sub("", "".join(carry))
    docs = _kept([last], False)
    if docs or carry_bytes:
        yield Batch(docs, carry_bytes, utf8_size(docs))


def _kept(pieces: list[str], crs: bool) -> list[str]:
    """Pieces between separators, without the blank lines that can only stand
    before the first paragraph and, when the text has CRs, without the CR of
    their last line's CR LF; empty pieces are no paragraphs."""
    if pieces:
        first = _LEADING_BLANK.match(pieces[0])
        if first:
            pieces[0] = pieces[0][first.end():]
    if crs:
        pieces = [p[:-1] if p.endswith("\r") else p for p in pieces]
    return [p for p in pieces if _NOT_BLANK.search(p)]


def _jsonl(blocks: Iterator[bytes], decoder: _Decoder, field: str) -> Iterator[Batch]:
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
