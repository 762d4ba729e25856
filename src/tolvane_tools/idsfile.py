"""The ids of an encoded corpus on disk: OUT.bin holds every document's ids
one after the other as little-endian uint16, OUT.idx beside it holds each
document's start offset (in ids) and then the end, as little-endian uint64.
`numpy.memmap(OUT.bin, dtype=numpy.uint16)` reads the ids as they are.

Both files are written under hidden temporary names beside their final ones
and renamed only when complete, so a run that fails or is killed never leaves
a partial file under a final name."""

from __future__ import annotations

import array
import os
import sys
import tempfile
from typing import BinaryIO, Iterable, Sequence


def index_path(output: str | os.PathLike) -> str:
    """OUT.idx for OUT.bin (for any other name, the name with .idx added)."""
    output = os.fspath(output)
    stem = output[:-len(".bin")] if output.endswith(".bin") else output
    return stem + ".idx"


def _little_endian(values: array.array) -> bytes:
    if sys.byteorder == "big":
        values.byteswap()
    return values.tobytes()


def _moved(offsets: Sequence[int], base: int) -> bytes:
    """offsets[1:] + base as little-endian uint64. numpy, where it is there,
    does it at memory speed; the loop takes about 0.3 s per million documents."""
    try:
        import numpy
    except ImportError:
        return _little_endian(array.array("Q", [end + base for end in offsets[1:]]))
    ends = numpy.asarray(offsets, dtype=numpy.uint64)[1:] + numpy.uint64(base)
    return ends.astype("<u8", copy=False).tobytes()


def uint64s(buffer) -> array.array:
    """A buffer of native uint64 (such as the Tokenizer's offsets) as an array."""
    values = array.array("Q")
    values.frombytes(memoryview(buffer).cast("B"))
    return values


class IdsWriter:
    """Writes one OUT.bin/OUT.idx pair. Use it as a context manager: leaving
    the block normally puts both files in place, an exception removes them.
    A SIGKILL leaves the temporary files (".OUT.bin.*.part") behind."""

    def __init__(self, output: str | os.PathLike) -> None:
        output = os.fspath(output)
        self.paths = (output, index_path(output))
        self.files: list[tuple[str, BinaryIO]] = []
        try:
            for path in self.paths:
                folder, name = os.path.split(os.path.abspath(path))
                fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{name}.", suffix=".part")
                self.files.append((temporary, os.fdopen(fd, "wb")))
            self.files[1][1].write(bytes(8))  # the first document starts at 0
        except BaseException:
            self.discard()
            raise
        self.written = 0  # ids so far

    def write_flat(self, ids, offsets: Sequence[int]) -> None:
        """Adds documents given as one buffer of native uint16 ids and their
        offsets into it, starting at 0 and ending with the end (the form the
        Tokenizer's encode_flat returns)."""
        raw = memoryview(ids).cast("B")
        if sys.byteorder == "big":
            swapped = array.array("H")
            swapped.frombytes(raw)
            swapped.byteswap()
            raw = memoryview(swapped.tobytes())
        if len(raw) != 2 * (offsets[-1] - offsets[0]):
            raise ValueError(f"{len(raw) // 2} ids do not match offsets ending at {offsets[-1]}")
        self.files[0][1].write(raw)
        self.files[1][1].write(_moved(offsets, self.written - offsets[0]))
        self.written += offsets[-1] - offsets[0]

    def write_documents(self, documents: Iterable[Sequence[int]]) -> None:
        """Adds documents given as lists of ids."""
        ids = array.array("H")
        offsets = [0]
        for doc in documents:
            ids.extend(doc)
            offsets.append(len(ids))
        self.write_flat(ids, offsets)

    def commit(self) -> None:
        mask = os.umask(0)
        os.umask(mask)
        for temporary, f in self.files:
            f.flush()
            os.fsync(f.fileno())
            f.close()
            os.chmod(temporary, 0o666 & ~mask)  # mkstemp leaves it to its owner alone
        # The ids before the index: a complete OUT.idx never comes with an
        # older OUT.bin from this run.
        for (temporary, _), path in zip(self.files, self.paths):
            os.replace(temporary, path)
        self.files = []

    def discard(self) -> None:
        for temporary, f in self.files:
            f.close()
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass
        self.files = []

    def __enter__(self) -> IdsWriter:
        return self

    def __exit__(self, kind, value, traceback) -> None:
        if kind is None:
            self.commit()
        else:
            self.discard()


def write_ids(output: str | os.PathLike, documents: Iterable[Sequence[int]]) -> None:
    """Writes the ids of documents (lists of ids) as OUT.bin/OUT.idx."""
    with IdsWriter(output) as writer:
        writer.write_documents(documents)


def read_ids(output: str | os.PathLike) -> list[list[int]]:
    """The ids of each document of an OUT.bin/OUT.idx pair."""
    ids, offsets = array.array("H"), array.array("Q")
    with open(output, "rb") as f:
        ids.frombytes(f.read())
    with open(index_path(output), "rb") as f:
        offsets.frombytes(f.read())
    if sys.byteorder == "big":
        ids.byteswap()
        offsets.byteswap()
    if not offsets or offsets[0] != 0 or offsets[-1] != len(ids) or \
            any(a > b for a, b in zip(offsets, offsets[1:])):
        raise ValueError(f"{index_path(output)} does not index {os.fspath(output)}")
    return [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(offsets) - 1)]
