"""Shared helpers for the Python tests: model files built from dicts, and
catching PanicException, which the module does not export by name."""

import contextlib
import os
import signal
import struct

import pytest

import tolvane

# A suite started in the background of a non-interactive shell (nohup, `make
# test &`, a CI runner) inherits an ignored SIGINT: neither this process nor
# the commands it starts would then turn an interrupt into KeyboardInterrupt,
# which the interrupt tests check. A handler, unlike an ignored signal, is
# reset to the default in every program this process starts.
signal.signal(signal.SIGINT, signal.default_int_handler)

EMPTY_MODEL = bytes(24)


def read_terminal(leader):
    """Everything a child wrote to its pseudo-terminal, read from the
    leader side until the child's side closes; the leader is closed."""
    out = b""
    while True:
        try:
            block = os.read(leader, 65536)
        except OSError:  # the terminal's other side is closed
            break
        if not block:
            break
        out += block
    os.close(leader)
    return out


def _text(value):
    return value.encode("utf-8") if isinstance(value, str) else bytes(value)


def model_bytes(lookup=None, merges=None, unicode_lookup=None):
    """The model file content for the given maps, entries in dict order.

    lookup: {id: bytes or str}; merges: {(left, right): merged};
    unicode_lookup: {str or bytes: id}. Bytes keys let a test store text that
    is not UTF-8, which the loader must refuse."""
    lookup = lookup or {}
    merges = merges or {}
    unicode_lookup = unicode_lookup or {}
    out = [struct.pack("<Q", len(lookup))]
    for token, text in lookup.items():
        raw = _text(text)
        out.append(struct.pack("<HQ", token, len(raw)) + raw)
    out.append(struct.pack("<Q", len(merges)))
    for (left, right), merged in merges.items():
        out.append(struct.pack("<HHH", left, right, merged))
    out.append(struct.pack("<Q", len(unicode_lookup)))
    for key, token in unicode_lookup.items():
        raw = _text(key)
        out.append(struct.pack("<Q", len(raw)) + raw + struct.pack("<H", token))
    return b"".join(out)


def write_model(path, lookup=None, merges=None, unicode_lookup=None):
    """Writes a model file at `path` and returns the path as a str."""
    with open(path, "wb") as f:
        f.write(model_bytes(lookup, merges, unicode_lookup))
    return str(path)


def graphemes_model(graphemes, merges=None):
    """Maps for a small trained-looking model: oov is 0, the graphemes take
    1, 2, ... in order, and each merge (l, r) -> m gets the joined text."""
    lookup = {0: b""}
    unicode_lookup = {"oov": 0}
    for token, g in enumerate(graphemes, start=1):
        lookup[token] = g.encode("utf-8")
        unicode_lookup[g] = token
    merges = dict(merges or {})
    for (left, right), merged in merges.items():
        lookup[merged] = lookup[left] + lookup[right]
    return lookup, merges, unicode_lookup


@pytest.fixture
def make_data(tmp_path):
    """make_data(lookup, merges, unicode_lookup) -> a loaded Data."""
    count = 0

    def make(lookup=None, merges=None, unicode_lookup=None):
        nonlocal count
        count += 1
        path = write_model(tmp_path / f"model-{count}.bin", lookup, merges, unicode_lookup)
        return tolvane.load_from_file(path)

    return make


@pytest.fixture
def empty_data(make_data):
    return make_data()


_panic_type = None


def panic_type():
    """The PanicException class, found by provoking one failure: a path
    holding a NUL byte is refused before the file system is touched."""
    global _panic_type
    if _panic_type is None:
        try:
            tolvane.load_from_file("\0")
        except BaseException as e:  # noqa: B036 - that is the point
            if type(e).__name__ != "PanicException":
                raise
            _panic_type = type(e)
        else:
            raise AssertionError("a NUL path loaded without failing")
    return _panic_type


@contextlib.contextmanager
def raises_panic(match=None):
    """Like pytest.raises(PanicException, match=...)."""
    with pytest.raises(panic_type(), match=match) as info:
        yield info


@pytest.fixture(scope="session")
def PanicException():  # noqa: N802 - named after the class it returns
    return panic_type()


@pytest.fixture
def data(make_data):
    """A small model: graphemes a, b, c (ids 1 to 3) and the merge (1, 2) -> 4."""
    lookup, merges, unicode_lookup = graphemes_model(["a", "b", "c"], {(1, 2): 4})
    return make_data(lookup, merges, unicode_lookup)


@pytest.fixture(scope="session")
def trained_model_file(tmp_path_factory):
    """A model trained from nothing on about 1.5 MB of English (standard
    library sources) and multilingual text; the path of its file."""
    from real_texts import english_documents, multilingual_lines

    folder = tmp_path_factory.mktemp("trained")
    corpus = folder / "corpus.txt"
    multilingual = "\n".join(multilingual_lines())
    corpus.write_text("".join(english_documents(1_000_000)) + multilingual[:500_000], encoding="utf-8")
    (folder / "empty.model").write_bytes(EMPTY_MODEL)
    data = tolvane.load_from_file(str(folder / "empty.model"))
    quiet_training(data, folder, corpus)
    return str(folder / "tokenizer")


def quiet_training(data, folder, corpus):
    """data.train(corpus) in `folder`, where it leaves "tokenizer", with its
    console lines thrown away."""
    here = os.getcwd()
    os.chdir(folder)  # training writes "tokenizer" into the working directory
    try:
        with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
            saved = os.dup(1)
            os.dup2(quiet.fileno(), 1)  # the console lines are written to descriptor 1
            try:
                data.train(str(corpus), False, str(folder / "train.log"))
            finally:
                os.dup2(saved, 1)
                os.close(saved)
    finally:
        os.chdir(here)
