"""Data.encode through the module: grapheme lookup, the out-of-vocabulary
token, merge passes and their tie order, and short inputs."""

import pytest

from conftest import graphemes_model, raises_panic

ACUTE = "\u0301"
RI_A, RI_B, RI_C = "\U0001F1E6", "\U0001F1E7", "\U0001F1E8"
FFFD = "\ufffd"

GRAPHEMES = [
    "a",              # 1
    "b",              # 2
    "e" + ACUTE,      # 3
    "\r\n",           # 4
    "\r",             # 5
    "\n",             # 6
    RI_A + RI_B,      # 7
    RI_C,             # 8
    FFFD,             # 9
    "^",              # 10
    "<",              # 11
    "|",              # 12
    "x",              # 13
    "y",              # 14
    "z",              # 15
]
ID = {g: i for i, g in enumerate(GRAPHEMES, start=1)}
AA, XY, AB = 100, 101, 102


@pytest.fixture
def plain(make_data):
    """The graphemes above, no merges."""
    return make_data(*graphemes_model(GRAPHEMES))


@pytest.fixture
def merged(make_data):
    lookup, merges, unicode_lookup = graphemes_model(
        GRAPHEMES, {(ID["a"], ID["a"]): AA, (ID["x"], ID["y"]): XY, (ID["a"], ID["b"]): AB})
    return make_data(lookup, merges, unicode_lookup)


@pytest.mark.parametrize("text, expected", [
    ("ab", ["a", "b"]),
    # A letter with its combining mark is one key; the bare letter is unknown.
    ("e" + ACUTE + "a", ["e" + ACUTE, "a"]),
    ("ea", [None, "a"]),
    ("\u00e9a", [None, "a"]),                        # precomposed: a different key
    ("a\r\nb", ["a", "\r\n", "b"]),
    ("\r\r\n\n", ["\r", "\r\n", "\n"]),
    ("\n\r", ["\n", "\r"]),
    (RI_A + RI_B + RI_C, [RI_A + RI_B, RI_C]),
    (RI_A + RI_B + RI_A + RI_B, [RI_A + RI_B, RI_A + RI_B]),
    (RI_A + "a", [None, "a"]),                       # a lone indicator is not the flag
    (FFFD + "a" + FFFD, [FFFD, "a", FFFD]),
    ("^" + ACUTE + "^", [None, "^"]),                # caret with a mark is its own grapheme
    # Markers are split like any text; nothing becomes "^".
    ("<|im_start|>", ["<", "|", None, None, None, None, None, "a", None, None, "|", None]),
    ("a<|im_end|>", ["a", "<", "|"] + [None] * 6 + ["|", None]),
    ("\U0001F600\U0001F600", [None, None]),
])
def test_graphemes_map_to_their_ids_or_zero(plain, text, expected):
    assert plain.encode(text) == [0 if g is None else ID[g] for g in expected]


@pytest.mark.parametrize("text, expected", [
    ("", []),
    ("a", [ID["a"]]),
    ("q", [0]),
    ("e" + ACUTE, [ID["e" + ACUTE]]),
    ("aa", [AA]),          # merged down to one token
    ("xy", [XY]),
])
def test_fewer_than_two_tokens_are_returned_as_they_are(merged, text, expected):
    assert merged.encode(text) == expected


@pytest.mark.parametrize("text, expected", [
    # Runs of (a, a) merge from the left: a a a z is aa a z after the first pass.
    ("aaaz", [AA, "a", "z"]),
    # Later passes go on from there: aa a b, then (a, b) is the learned pair.
    ("aaab", [AA, AB]),
    ("aaaa", [AA, AA]),
    # (a, a) and (a, b) are both learned and tie: the earlier merge wins.
    ("aab", [AA, "b"]),
    # A higher count beats the tie order: (a, b) occurs twice.
    ("aabab", ["a", AB, AB]),
    # Both pairs of xyz occur once; the learned one wins the tie, on every call.
    ("xyz", [XY, "z"]),
    ("zxy", ["z", XY]),
    # The most frequent pair is no learned merge: encoding stops there.
    ("zzzxy", ["z", "z", "z", "x", "y"]),
    ("qqqxy", [0, 0, 0, "x", "y"]),
])
def test_merge_passes(merged, text, expected):
    want = [ID[t] if isinstance(t, str) else t for t in expected]
    for _ in range(3):
        assert merged.encode(text) == want


def test_plain_model_returns_grapheme_ids(plain):
    assert plain.encode("abba\r\n") == [1, 2, 2, 1, 4]


def test_decode_joins_back_what_encode_split(merged):
    text = "aaab" + "e" + ACUTE + "xyz\r\n" + RI_A + RI_B + FFFD
    assert merged.decode(merged.encode(text)) == text


@pytest.mark.parametrize("text", ["b", "ab", "aab", "\U0001F600"])
def test_unknown_grapheme_without_oov_fails(make_data, text):
    data = make_data({1: b"a"}, {}, {"a": 1})
    with raises_panic(match=r"^called `Option::unwrap\(\)` on a `None` value$"):
        data.encode(text)
    # The model is unchanged and still usable.
    assert data.encode("aa") == [1, 1]


def test_empty_model_encodes_only_the_empty_text(empty_data):
    assert empty_data.encode("") == []
    with raises_panic(match="Option::unwrap"):
        empty_data.encode("a")


def test_oov_id_is_whatever_the_model_holds(make_data):
    data = make_data({1: b"a", 7: b""}, {}, {"a": 1, "oov": 7})
    assert data.encode("zaz") == [7, 1, 7]


def test_str_subclass_is_accepted(plain):
    class Text(str):
        pass

    assert plain.encode(Text("ab")) == [1, 2]


def test_not_a_str_and_lone_surrogate(plain):
    with pytest.raises(TypeError, match=r"^argument 'st': 'bytes' object cannot be converted to 'PyString'$"):
        plain.encode(b"ab")
    with pytest.raises(UnicodeEncodeError):
        plain.encode("a\ud800")
