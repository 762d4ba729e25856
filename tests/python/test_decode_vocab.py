"""decode and vocab through the module, on models with chosen contents."""

import pytest

from conftest import graphemes_model, raises_panic


@pytest.fixture
def trained(make_data):
    # a=1 b=2 c=3 é=4, ab=5, abc=6 (5+3), and c+ab=7
    return make_data(*graphemes_model(["a", "b", "c", "é"], {(1, 2): 5, (5, 3): 6, (3, 5): 7}))


@pytest.mark.parametrize(
    "tokens, text",
    [
        ([], ""),
        ([0, 0, 1, 0], "a"),
        ([5], "ab"),
        ([6], "abc"),
        ([7], "cab"),
        ([6, 6, 4], "abcabcé"),
        ([4, 1, 4], "éaé"),
    ],
)
def test_decode_joins_texts(trained, tokens, text):
    assert trained.decode(tokens) == text


def test_merged_token_decodes_as_its_pair(trained):
    assert trained.decode([6]) == trained.decode([5, 3]) == trained.decode([1, 2, 3])


@pytest.mark.parametrize("tokens", [[8], [1, 65535], [0, 100]])
def test_unknown_id_fails(trained, tokens):
    with raises_panic("^This should not happend$"):
        trained.decode(tokens)


def test_empty_model(empty_data):
    assert empty_data.vocab() == []
    assert empty_data.decode([]) == ""
    with raises_panic("^This should not happend$"):
        empty_data.decode([0])


@pytest.mark.parametrize(
    "texts, tokens, text",
    [
        ({1: b"\xff"}, [1], "\ufffd"),
        ({1: b"\xc3", 2: b"\xa9"}, [1, 2], "\u00e9"),  # one character split over two tokens
        ({1: b"\xc3", 2: b"\xa9"}, [1], "\ufffd"),
        ({1: b"\xc3", 2: b"\xa9"}, [2, 1], "\ufffd\ufffd"),
        ({1: b"\xe2\x82", 2: b"x"}, [1, 2], "\ufffdx"),
        ({1: b"\xed\xa0\x80"}, [1], "\ufffd" * 3),
    ],
)
def test_decode_of_texts_that_are_not_utf8(make_data, texts, tokens, text):
    assert make_data(lookup={0: b"", **texts}).decode(tokens) == text


def test_vocab_lists_every_id_once_ascending(trained):
    assert trained.vocab() == [0, 1, 2, 3, 4, 5, 6, 7]
    assert trained.vocab() == trained.vocab()


def test_vocab_of_a_model_with_gaps(make_data):
    data = make_data(lookup={9: b"x", 0: b"", 65535: b"y", 3: b"z"})
    assert data.vocab() == [0, 3, 9, 65535]
    assert data.decode([65535, 9, 3]) == "yxz"


def test_encode_decode_round_trip(trained):
    for text in ["abcab", "ééé", "cabcab", "abcé"]:
        assert trained.decode(trained.encode(text)) == text
