"""Reading a model file without the extension, so `inspect` can tell token
kinds and merged pairs, which the module's surface does not expose.

The layout is three maps, little-endian, no header: lookup (u64 count, then
u16 id, u64 length, text bytes), merges (u64 count, then three u16: left,
right, merged), unicode_lookup (u64 count, then u64 length, key bytes, u16 id).
Like the module's loader, a later duplicate entry wins and nothing about the
ids is verified; the kinds below cope with a model that breaks the usual
invariants instead of refusing it.

A trainer model carries an extension block after the three maps (special
tokens, byte tokens, the trainer's options; the layout is in
src/persist/extras.hpp and the README). The module stops reading after the
third map, so it loads such a file as a plain model. Here the block is read
back, and a damaged one is refused; other trailing bytes are ignored, as the
module ignores them."""

from __future__ import annotations

import json
import struct
import zlib
from dataclasses import dataclass, field

OOV_KEY = "oov"
EXTRAS_MAGIC = b"TLVEXTRA"
EXTRAS_VERSION = 1
_BYTE_FALLBACK = 1


class ModelFormatError(ValueError):
    """The bytes are not a model file (they end early or hold a bad key)."""


@dataclass
class Extras:
    """What a trainer model adds to the three maps."""

    special_tokens: dict[str, int] = field(default_factory=dict)  # in the trainer's order
    byte_base: int | None = None  # byte b is token byte_base + b
    trainer_options: dict | None = None

    def byte_ids(self) -> range | None:
        return None if self.byte_base is None else range(self.byte_base, self.byte_base + 256)


@dataclass
class Model:
    lookup: dict[int, bytes] = field(default_factory=dict)
    merges: dict[tuple[int, int], int] = field(default_factory=dict)
    unicode_lookup: dict[str, int] = field(default_factory=dict)
    extras: Extras | None = None

    def merged_pairs(self) -> dict[int, tuple[int, int]]:
        """merged id -> its pair; if two pairs claim one id, the smaller pair."""
        by_id: dict[int, tuple[int, int]] = {}
        for pair, merged in sorted(self.merges.items()):
            by_id.setdefault(merged, pair)
        return by_id

    def grapheme_ids(self) -> set[int]:
        return {token for key, token in self.unicode_lookup.items() if key != OOV_KEY}

    def oov_id(self) -> int | None:
        return self.unicode_lookup.get(OOV_KEY)


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data = memoryview(data)
        self.pos = 0

    def take(self, size: int, what: str) -> memoryview:
        # Counts and lengths come from the file and are never trusted: check
        # what remains before slicing, so a hostile length cannot allocate.
        if size > len(self.data) - self.pos:
            raise ModelFormatError(f"the file ended early while reading {what} (offset {self.pos})")
        piece = self.data[self.pos:self.pos + size]
        self.pos += size
        return piece

    def u16(self, what: str) -> int:
        return struct.unpack("<H", self.take(2, what))[0]

    def u64(self, what: str) -> int:
        return struct.unpack("<Q", self.take(8, what))[0]


def parse_model(data: bytes) -> Model:
    reader = _Reader(data)
    model = Model()
    for index in range(reader.u64("the lookup count")):
        what = f"lookup entry {index}"
        token = reader.u16(what)
        model.lookup[token] = bytes(reader.take(reader.u64(what), what))
    for index in range(reader.u64("the merges count")):
        what = f"merges entry {index}"
        left, right, merged = reader.u16(what), reader.u16(what), reader.u16(what)
        model.merges[(left, right)] = merged
    for index in range(reader.u64("the unicode_lookup count")):
        what = f"unicode_lookup entry {index}"
        raw = reader.take(reader.u64(what), what)
        try:
            key = bytes(raw).decode("utf-8")
        except UnicodeDecodeError as error:
            raise ModelFormatError(
                f"unicode_lookup entry {index} is not valid UTF-8 after {error.start} bytes"
            ) from None
        model.unicode_lookup[key] = reader.u16(what)
    model.extras = parse_extras(bytes(reader.data[reader.pos:]))
    return model


def _text(raw: bytes) -> bytes:
    return struct.pack("<Q", len(raw)) + raw


def extras_bytes(extras: Extras) -> bytes:
    """The extension block for `extras`; b"" when there is nothing to carry."""
    if not extras.special_tokens and extras.byte_base is None and not extras.trainer_options:
        return b""
    body = struct.pack("<BHI", _BYTE_FALLBACK if extras.byte_base is not None else 0,
                       extras.byte_base or 0, len(extras.special_tokens))
    body += b"".join(struct.pack("<H", token) + _text(text.encode("utf-8"))
                     for text, token in extras.special_tokens.items())
    options = b"" if not extras.trainer_options else json.dumps(
        extras.trainer_options, sort_keys=True, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    body += _text(options)
    block = EXTRAS_MAGIC + struct.pack("<IQ", EXTRAS_VERSION, len(body)) + body
    return block + struct.pack("<I", zlib.crc32(block))


def parse_extras(tail: bytes) -> Extras | None:
    """The extension block in `tail`, the bytes after the three maps; None
    when they are no block. ModelFormatError for a damaged one."""
    if not tail or not tail.startswith(EXTRAS_MAGIC[:len(tail)]):
        return None

    def damaged(what: str) -> ModelFormatError:
        return ModelFormatError(f"damaged extension block: {what}")

    if len(tail) < 24:
        raise damaged(f"it is cut short ({len(tail)} bytes)")
    version, size = struct.unpack_from("<IQ", tail, 8)
    if version != EXTRAS_VERSION:
        raise ModelFormatError(f"the extension block has version {version}; this tolvane_tools "
                               f"reads version {EXTRAS_VERSION} (a later tolvane_tools wrote the file)")
    if size != len(tail) - 24:
        raise damaged(f"its body is said to be {size} bytes, but {len(tail) - 20} bytes follow its head")
    if zlib.crc32(tail[:20 + size]) != struct.unpack_from("<I", tail, 20 + size)[0]:
        raise damaged("its checksum does not match")
    reader = _Reader(tail[20:20 + size])
    try:
        flags, base, count = struct.unpack("<BHI", reader.take(7, "the flags"))
        if flags & ~_BYTE_FALLBACK:
            raise damaged(f"unknown flags {flags}")
        extras = Extras(byte_base=base if flags & _BYTE_FALLBACK else None)
        for _ in range(count):
            token = reader.u16("a special token")
            text = bytes(reader.take(reader.u64("a special token"), "a special token")).decode("utf-8")
            extras.special_tokens[text] = token
        options = bytes(reader.take(reader.u64("the options"), "the options")).decode("utf-8")
        extras.trainer_options = json.loads(options) if options else None
    except (ModelFormatError, UnicodeDecodeError, ValueError) as error:
        raise damaged(str(error)) from None
    if reader.pos != len(reader.data):
        raise damaged("unread bytes at the end of its body")
    return extras


def model_bytes(lookup: dict[int, bytes], merges: dict[tuple[int, int], int],
                unicode_lookup: dict[str, int], extras: Extras | None = None) -> bytes:
    """The file content of a model given as its three maps (and its extras),
    by ascending id as the module writes them."""
    out = [struct.pack("<Q", len(lookup))]
    out += [struct.pack("<HQ", token, len(text)) + text for token, text in sorted(lookup.items())]
    out.append(struct.pack("<Q", len(merges)))
    out += [struct.pack("<HHH", left, right, merged)
            for (left, right), merged in sorted(merges.items(), key=lambda item: item[1])]
    out.append(struct.pack("<Q", len(unicode_lookup)))
    for key, token in sorted(unicode_lookup.items(), key=lambda item: item[1]):
        raw = key.encode("utf-8")
        out.append(struct.pack("<Q", len(raw)) + raw + struct.pack("<H", token))
    if extras is not None:
        out.append(extras_bytes(extras))
    return b"".join(out)


def read_model(path: str) -> Model:
    """Reads and parses a model file; OSError and ModelFormatError pass out."""
    with open(path, "rb") as f:
        return parse_model(f.read())


def lookup_size(path: str) -> int | None:
    """The number of lookup entries from the first 8 bytes, or None."""
    try:
        with open(path, "rb") as f:
            head = f.read(8)
    except OSError:
        return None
    return struct.unpack("<Q", head)[0] if len(head) == 8 else None
