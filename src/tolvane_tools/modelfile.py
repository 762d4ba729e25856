"""Reading a model file without the extension, so `inspect` can tell token
kinds and merged pairs, which the module's surface does not expose.

The layout is three maps, little-endian, no header: lookup (u64 count, then
u16 id, u64 length, text bytes), merges (u64 count, then three u16: left,
right, merged), unicode_lookup (u64 count, then u64 length, key bytes, u16 id).
Like the module's loader, a later duplicate entry wins, trailing bytes are
ignored and nothing about the ids is verified; the kinds below cope with a
model that breaks the usual invariants instead of refusing it."""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

OOV_KEY = "oov"


class ModelFormatError(ValueError):
    """The bytes are not a model file (they end early or hold a bad key)."""


@dataclass
class Model:
    lookup: dict[int, bytes] = field(default_factory=dict)
    merges: dict[tuple[int, int], int] = field(default_factory=dict)
    unicode_lookup: dict[str, int] = field(default_factory=dict)

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
    return model


def model_bytes(lookup: dict[int, bytes], merges: dict[tuple[int, int], int],
                unicode_lookup: dict[str, int]) -> bytes:
    """The file content of a model given as its three maps, by ascending id as
    the module writes them."""
    out = [struct.pack("<Q", len(lookup))]
    out += [struct.pack("<HQ", token, len(text)) + text for token, text in sorted(lookup.items())]
    out.append(struct.pack("<Q", len(merges)))
    out += [struct.pack("<HHH", left, right, merged)
            for (left, right), merged in sorted(merges.items(), key=lambda item: item[1])]
    out.append(struct.pack("<Q", len(unicode_lookup)))
    for key, token in sorted(unicode_lookup.items(), key=lambda item: item[1]):
        raw = key.encode("utf-8")
        out.append(struct.pack("<Q", len(raw)) + raw + struct.pack("<H", token))
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
