"""The ids of an encoded corpus on disk: OUT.bin holds every document's ids
one after the other as little-endian uint16, OUT.idx beside it holds each
document's start offset (in ids) and then the end, as little-endian uint64.
`numpy.memmap(OUT.bin, dtype=numpy.uint16)` reads the ids as they are.

Both files are written under hidden temporary names beside their final ones
and renamed only when complete, so a run that fails or is killed never leaves
a partial file under a final name. A final name that is a symbolic link is
written through: the file it points to is replaced, and the link stays."""

from __future__ import annotations

import array
import os
import sys
import tempfile
from typing import BinaryIO, Iterable, Sequence

from tolvane_tools.paths import output_problem, written_path


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


def final_paths(paths: tuple[str, str]) -> tuple[str, str]:
    """The files a commit replaces, links followed. Both names are checked
    before anything is written, so a bad OUT.idx never costs the OUT.bin
    that was there: OSError says which name cannot take a file."""
    targets = []
    for path in paths:
        target = written_path(path)
        for name in dict.fromkeys((path, target)):
            problem = output_problem(name)
            if problem is not None:
                raise OSError(problem)
        targets.append(target)
    if os.path.realpath(targets[0]) == os.path.realpath(targets[1]):
        raise OSError(f"{paths[0]} and {paths[1]} are one file; the index would replace the ids")
    return targets[0], targets[1]


def _named(error: OSError, path: str) -> OSError:
    """The system's error about a temporary file, naming the final one the
    caller asked for (which is all the caller knows of)."""
    if error.errno is None:
        return error
    return OSError(error.errno, error.strerror, path)


class IdsWriter:
    """Writes one OUT.bin/OUT.idx pair. Use it as a context manager: leaving
    the block normally puts both files in place, an exception (or a commit
    that fails, say on a full disk) removes them. A SIGKILL leaves the
    temporary files (".OUT.bin.*.part") behind. A name that cannot take a
    file (a directory, a device, a pipe, a missing folder) is refused with
    OSError before either file is made."""

    def __init__(self, output: str | os.PathLike) -> None:
        output = os.fspath(output)
        self.paths = (output, index_path(output))
        self.targets = final_paths(self.paths)
        self.files: list[tuple[str, BinaryIO]] = []
        try:
            for path, target in zip(self.paths, self.targets):
                folder, name = os.path.split(os.path.abspath(target))
                try:
                    fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{name}.", suffix=".part")
                except OSError as error:
                    raise _named(error, path) from None
                self.files.append((temporary, os.fdopen(fd, "wb")))
            self._write(1, bytes(8))  # the first document starts at 0
        except BaseException:
            self.discard()
            raise
        self.written = 0  # ids so far

    def _write(self, which: int, data) -> None:
        try:
            self.files[which][1].write(data)
        except OSError as error:
            raise _named(error, self.paths[which]) from None

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
        self._write(0, raw)
        self._write(1, _moved(offsets, self.written - offsets[0]))
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
        for (temporary, f), path in zip(self.files, self.paths):
            try:
                f.flush()
                os.fsync(f.fileno())
                f.close()
                os.chmod(temporary, 0o666 & ~mask)  # mkstemp leaves it to its owner alone
            except OSError as error:
                raise _named(error, path) from None
        # The ids before the index: a complete OUT.idx never comes with an
        # older OUT.bin from this run.
        for (temporary, _), path, target in zip(self.files, self.paths, self.targets):
            try:
                os.replace(temporary, target)
            except OSError as error:
                raise _named(error, path) from None
        self.files = []

    def discard(self) -> None:
        """Removes the temporary files. Each is unlinked before it is closed:
        closing flushes what is still buffered, which fails again on the full
        disk that brought the run here, and must not keep the file."""
        files, self.files = self.files, []
        for temporary, f in files:
            try:
                os.unlink(temporary)
            except OSError:
                pass  # already renamed into place, or gone
            try:
                f.close()
            except OSError:
                pass  # the ids it could not write are no longer wanted

    def __enter__(self) -> IdsWriter:
        return self

    def __exit__(self, kind, value, traceback) -> None:
        if kind is not None:
            self.discard()
            return
        try:
            self.commit()
        except BaseException:
            self.discard()
            raise


def write_ids(output: str | os.PathLike, documents: Iterable[Sequence[int]]) -> None:
    """Writes the ids of documents (lists of ids) as OUT.bin/OUT.idx."""
    with IdsWriter(output) as writer:
        writer.write_documents(documents)


def _read_array(path: str, code: str, what: str) -> array.array:
    values = array.array(code)
    with open(path, "rb") as f:
        data = f.read()
    if len(data) % values.itemsize:
        raise ValueError(f"{path} is cut short: {len(data):,} bytes are no whole number of "
                         f"{what} ({values.itemsize} bytes each)")
    values.frombytes(data)
    if sys.byteorder == "big":
        values.byteswap()
    return values


def read_ids(output: str | os.PathLike) -> list[list[int]]:
    """The ids of each document of an OUT.bin/OUT.idx pair."""
    output = os.fspath(output)
    ids = _read_array(output, "H", "uint16 ids")
    offsets = _read_array(index_path(output), "Q", "uint64 offsets")
    if not offsets or offsets[0] != 0 or offsets[-1] != len(ids) or \
            any(a > b for a, b in zip(offsets, offsets[1:])):
        raise ValueError(f"{index_path(output)} does not index {output}")
    return [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(offsets) - 1)]
