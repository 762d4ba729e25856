"""Token texts are bytes; decode joins them and only then reads them as
UTF-8, replacing each maximal ill-formed subsequence with one U+FFFD, exactly
as Python's own "replace" error handler does."""

import itertools

import pytest
from hypothesis import given, settings, strategies as st

import tolvane
from conftest import write_model

# Bytes at the edges of the UTF-8 sequence table.
EDGE_BYTES = [0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
              0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0, 0xF3, 0xF4, 0xF5, 0xFF]

pieces = st.one_of(
    st.binary(max_size=6),
    st.text(max_size=6).map(lambda t: t.encode("utf-8", "surrogatepass")),
    st.lists(st.sampled_from(EDGE_BYTES), max_size=5).map(bytes),
    st.integers(1, 24).map(lambda n: b"x" * n),  # ASCII runs across the 8-byte fast path
)
byte_strings = st.lists(pieces, max_size=8).map(b"".join)

_serial = itertools.count()


@pytest.fixture(scope="module")
def load_texts(tmp_path_factory):
    """load_texts(t1, t2, ...) -> a Data whose tokens 1, 2, ... hold those bytes."""
    folder = tmp_path_factory.mktemp("lossy")

    def load(*texts):
        lookup = {0: b""}
        lookup.update(enumerate(texts, start=1))
        path = write_model(folder / f"model-{next(_serial)}", lookup, {}, {"oov": 0})
        return tolvane.load_from_file(path)

    return load


@pytest.mark.parametrize(
    "texts, want",
    [
        ([b"\xff"], "\ufffd"),
        ([b"\xc3", b"\xa9"], "\u00e9"),
        ([b"\xc3"], "\ufffd"),
        ([b"\xa9"], "\ufffd"),
        ([b"\xa9", b"\xc3"], "\ufffd\ufffd"),
        ([b"\xe2\x82"], "\ufffd"),
        ([b"\xe2", b"\x82", b"\xac"], "\u20ac"),
        ([b"\xed\xa0\x80"], "\ufffd" * 3),
        ([b"\xf4\x90\x80\x80"], "\ufffd" * 4),
        ([b"\xc0\xaf"], "\ufffd\ufffd"),
        ([b"\xf0\x9f\x98", b"!"], "\ufffd!"),
        ([b"", b"abc"], "abc"),
    ],
)
def test_joined_texts_read_as_utf8(load_texts, texts, want):
    data = load_texts(*texts)
    assert data.decode(list(range(1, len(texts) + 1))) == want


@settings(max_examples=400, deadline=None)
@given(text=byte_strings)
def test_one_token_decodes_like_python(load_texts, text):
    data = load_texts(text)
    assert data.decode([1]) == text.decode("utf-8", "replace")
    assert data.decode([0, 1, 0]) == text.decode("utf-8", "replace")


@settings(max_examples=400, deadline=None)
@given(text=byte_strings, cut=st.integers(0, 64))
def test_split_over_two_tokens_is_joined_before_reading(load_texts, text, cut):
    head, tail = text[: cut % (len(text) + 1)], text[cut % (len(text) + 1):]
    data = load_texts(head, tail)
    assert data.decode([1, 2]) == text.decode("utf-8", "replace")
    assert data.decode([2, 1]) == (tail + head).decode("utf-8", "replace")
    assert data.decode([1, 1]) == (head + head).decode("utf-8", "replace")
