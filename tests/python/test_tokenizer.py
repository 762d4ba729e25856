"""Tokenizer against the module and against the ranked definition: the same
ids as Data.encode in "compatible" mode, the definition's ids in "ranked"
mode, on real text and on random hand-made models; then what only the
binding can get wrong (conversions, errors, files)."""

import array
import functools
import os
import pathlib
import random

import pytest

import tolvane
from conftest import graphemes_model, model_bytes
from real_texts import english_documents, multilingual_lines
from tolvane_tools import Tokenizer, _native

MODES = ["compatible", "ranked"]


def ranked_reference(tok, text):
    """The ranked definition, written out: graphemes to ids, then while any
    adjacent pair is a learned merge, replace every non-overlapping occurrence
    (left to right) of the one with the lowest merged id, ties by left then
    right id."""
    ids = []
    for g in tok.graphemes(text):
        found = tok.id_of(g)
        ids.append(tok.oov_id if found is None else found)
    return apply_ranked(ids, learned_merges(tok))


@functools.lru_cache(maxsize=8)
def learned_merges(tok):
    """{pair: merged id}, as merge_of gives them."""
    pairs = ((tok.merge_of(merged), merged) for merged in range(65536))
    return {pair: merged for pair, merged in pairs if pair is not None}


def apply_ranked(ids, merges):
    while True:
        candidates = [(merges[p], p) for p in zip(ids, ids[1:]) if p in merges]
        if not candidates:
            return ids
        merged, pair = min(candidates)
        out, i = [], 0
        while i < len(ids):
            if tuple(ids[i:i + 2]) == pair:
                out.append(merged)
                i += 2
            else:
                out.append(ids[i])
                i += 1
        ids = out


@pytest.fixture(scope="module")
def trained(trained_model_file):
    return tolvane.load_from_file(trained_model_file), Tokenizer.from_file(trained_model_file)


@pytest.fixture
def hand_made(tmp_path):
    """hand_made(graphemes, merges, oov=True) -> (Data, Tokenizer) for one model."""
    def make(graphemes, merges, oov=True):
        lookup, merges, unicode_lookup = graphemes_model(graphemes, merges)
        if not oov:
            del unicode_lookup["oov"]
        raw = model_bytes(lookup, merges, unicode_lookup)
        path = tmp_path / f"model-{len(list(tmp_path.iterdir()))}"
        path.write_bytes(raw)
        return tolvane.load_from_file(str(path)), Tokenizer.from_bytes(raw)
    return make


# --- differential: real text -----------------------------------------------

def test_compatible_equals_data_encode_on_real_lines_and_documents(trained):
    data, tok = trained
    docs = english_documents(400_000)
    lines = [line for doc in docs for line in doc.splitlines()]
    lines += multilingual_lines()[::7]
    assert len(lines) > 10_000
    for text in lines + docs + ["\n".join(lines[:3000])]:
        assert tok.encode(text) == data.encode(text), text[:80]


@pytest.mark.parametrize("mode", MODES)
def test_one_call_gives_the_same_ids_whatever_was_encoded_before(trained, mode):
    # One call at a time encodes into ids the thread keeps from call to call
    # (let go once a long text has grown them); a batch uses its own.
    data, tok = trained
    docs = english_documents(200_000)
    lines = [line for doc in docs[:3] for line in doc.splitlines()][:150]
    long_text = "".join(docs)
    texts = lines[:50] + [long_text, ""] + lines[50:100] + [long_text[:5000], "a"] + lines[100:]
    one_by_one = [tok.encode(text, mode) for text in texts]
    assert one_by_one == tok.encode_batch(texts, mode, threads=1)
    assert len(one_by_one[texts.index(long_text)]) > 1 << 16
    if mode == "compatible":
        assert [data.encode(text) for text in texts] == one_by_one


def test_ranked_equals_the_definition_on_real_text(trained):
    _, tok = trained
    docs = english_documents(200_000)
    lines = [line for doc in docs[:4] for line in doc.splitlines()] + multilingual_lines()[::50]
    for text in lines + docs:
        assert tok.encode(text, mode="ranked") == _native._encode_ranked_literal(tok, text), text[:80]
    for text in lines[:300]:
        assert tok.encode(text, mode="ranked") == ranked_reference(tok, text)


def test_ranked_compresses_real_text_better(trained):
    data, tok = trained
    text = "".join(english_documents(300_000)[-3:])
    assert tok.count(text, "ranked") < tok.count(text) == len(data.encode(text))


# --- differential: random hand-made models -----------------------------------

def random_model(rng, alphabet, merges_wanted):
    """Merges over the alphabet's ids and earlier merged ids, with gaps in
    the merged ids and runs of one token merged with itself."""
    ids = list(range(1, len(alphabet) + 1))
    merges, next_id = {}, len(alphabet) + 1
    while len(merges) < merges_wanted:
        left = rng.choice(ids)
        right = left if rng.random() < 0.2 else rng.choice(ids)
        if (left, right) in merges:
            continue
        next_id += rng.choice([0, 0, 0, 3])  # sometimes skip ids
        merges[(left, right)] = next_id
        ids.append(next_id)
        next_id += 1
    return merges


@pytest.mark.parametrize("seed", range(30))
def test_both_modes_on_random_models_and_texts(hand_made, seed):
    rng = random.Random(seed)
    alphabet = "abcd"[:rng.choice([1, 2, 3, 4])]
    merges = random_model(rng, alphabet, rng.randint(1, 12))
    data, tok = hand_made(list(alphabet), merges)
    for _ in range(60):
        text = "".join(rng.choice(alphabet + "x") for _ in range(rng.randint(0, 40)))
        assert tok.encode(text) == data.encode(text), text
        ranked = tok.encode(text, mode="ranked")
        assert ranked == ranked_reference(tok, text) == _native._encode_ranked_literal(tok, text), text
        assert tok.count(text, "ranked") == len(ranked)
        assert tok.count(text) == len(data.encode(text))


@pytest.mark.parametrize("text, merges, expected", [
    ("aaaaa", {(1, 1): 2}, [2, 2, 1]),                     # greedy from the left
    ("aaaaaaa", {(1, 1): 2, (2, 2): 3}, [3, 2, 1]),
    ("abab", {(2, 1): 3, (1, 2): 4}, [1, 3, 2]),           # the lower merged id first, wherever it is
    ("aba", {(1, 2): 5, (2, 1): 5}, [5, 1]),               # one merged id twice: smaller pair first
    ("abc", {(1, 2): 4, (4, 3): 9, (2, 3): 7}, [9]),
])
def test_ranked_on_hand_made_cases(hand_made, text, merges, expected):
    _, tok = hand_made(["a", "b", "c"], merges)
    assert tok.encode(text, "ranked") == expected == ranked_reference(tok, text)


def test_long_runs_of_one_grapheme_and_one_pair(hand_made):
    data, tok = hand_made(["a", "b"], {(1, 1): 3, (3, 3): 4, (1, 2): 5, (5, 5): 6})
    for text in ["a" * 100_001, "ab" * 50_001]:
        assert tok.encode(text, "ranked") == _native._encode_ranked_literal(tok, text)
        assert tok.encode(text) == data.encode(text)


# --- unknown graphemes --------------------------------------------------------

@pytest.mark.parametrize("mode", MODES)
def test_unknown_graphemes_become_oov_or_fail_naming_the_grapheme(hand_made, mode):
    _, with_oov = hand_made(["a", "b"], {(1, 2): 3})
    assert with_oov.encode("abzab", mode) == [3, 0, 3]
    _, without = hand_made(["a", "b"], {(1, 2): 3}, oov=False)
    assert without.oov_id is None
    with pytest.raises(KeyError, match=r'unknown grapheme "z" \(U\+007A\)'):
        without.encode("abzab", mode)
    # Enough text for several threads: the lowest failing index is reported
    # whichever thread meets which failure first.
    texts = ["ab" * 50] * 3000 + ["ae\u0301"] + ["ab" * 50] * 3000 + ["q"]
    for threads in [1, 2, 8]:
        with pytest.raises(KeyError, match='texts\\[3000\\]: unknown grapheme "e\u0301"'):
            without.encode_batch(texts, mode, threads=threads)


@pytest.mark.parametrize("mode", MODES)
def test_a_long_unknown_grapheme_is_named_in_a_short_message(hand_made, mode):
    _, without = hand_made(["a", "b"], {(1, 2): 3}, oov=False)
    grapheme = "q" + "\u0301" * 1_000_000  # one grapheme of 2,000,001 bytes
    with pytest.raises(KeyError) as caught:
        without.encode("ab" + grapheme, mode)
    message = caught.value.args[0]
    assert len(message) < 300
    assert message.startswith('unknown grapheme "q\u0301') and "U+0071 U+0301 U+0301" in message
    assert "1000001 code points in 2000001 bytes" in message


def test_graphemes_and_unknown_graphemes(hand_made):
    _, tok = hand_made(["a", "e\u0301", "\r\n"], {})
    text = "ae\u0301\r\n\U0001F1F3\U0001F1F4a\u0915\u094d\u0937z\U0001F1F3\U0001F1F4zz"
    pieces = tok.graphemes(text)
    assert "".join(pieces) == text
    assert pieces[:4] == ["a", "e\u0301", "\r\n", "\U0001F1F3\U0001F1F4"]
    assert tok.unknown_graphemes(text) == {"\U0001F1F3\U0001F1F4": 2, "\u0915\u094d": 1, "\u0937": 1, "z": 3}
    assert list(tok.unknown_graphemes(text)) == ["\U0001F1F3\U0001F1F4", "\u0915\u094d", "\u0937", "z"]
    assert tok.unknown_graphemes("a" * 100_000 + "z") == {"z": 1}


# --- the model's accessors ------------------------------------------------------

def test_accessors_on_a_hand_made_model(tmp_path):
    raw = model_bytes({0: b"", 1: "a", 2: "\u00e9", 5: b"a\xc3", 6: b"\xa9", 7: "x"},
                      {(1, 2): 7, (1, 1): 7, (1, 6): 5},
                      {"oov": 0, "a": 1, "\u00e9": 2})
    tok = Tokenizer.from_bytes(raw)
    assert tok.vocab_size == 6 and tok.oov_id == 0
    assert tok.token_bytes(5) == b"a\xc3" and tok.token_text(5) == "a\ufffd"
    assert tok.token_text(2) == "\u00e9" and tok.token_bytes(0) == b""
    assert tok.id_of("\u00e9") == 2 and tok.id_of("oov") is None and tok.id_of("ab") is None
    assert tok.merge_of(7) == (1, 1)  # two pairs join into 7: the smaller is given
    assert tok.merge_of(5) == (1, 6) and tok.merge_of(1) is None and tok.merge_of(60000) is None
    assert tok.decode([5, 6]) == "a\u00e9"  # a character split over two tokens comes out whole
    assert repr(tok) == "<Tokenizer: 6 tokens>"


@pytest.mark.parametrize("ids", [
    [1, 2, 3], (1, 2, 3), range(1, 4), b"\x01\x02\x03", array.array("H", [1, 2, 3]),
    array.array("q", [1, 2, 3]), memoryview(array.array("I", [1, 2, 3])), iter([1, 2, 3]),
])
def test_decode_takes_any_sequence_or_buffer_of_ids(data, ids):
    tok = Tokenizer.from_bytes(model_bytes(*graphemes_model(["a", "b", "c"], {(1, 2): 4})))
    assert tok.decode(ids) == "abc" == data.decode([1, 2, 3])


def test_a_numpy_scalar_is_no_sequence_of_ids():
    np = pytest.importorskip("numpy")
    tok = Tokenizer.from_bytes(model_bytes(*graphemes_model(["a", "b"], {})))
    for value in (np.array(1), np.array(1, dtype=np.uint16)):
        with pytest.raises(TypeError, match="must be a sequence of ints, not a 0-d numpy.ndarray"):
            tok.decode(value)
    with pytest.raises(TypeError, match=r"list_of_ids\[0\] must be a sequence of ints, not a 0-d"):
        tok.decode_batch([np.array(2)])


def test_decode_of_numpy_arrays_and_flat_slices():
    np = pytest.importorskip("numpy")
    tok = Tokenizer.from_bytes(model_bytes(*graphemes_model(["a", "b", "c"], {(1, 2): 4})))
    ids, offsets = tok.encode_flat(["abc", "cab"])
    assert tok.decode(ids[offsets[1]:offsets[2]]) == "cab"
    assert tok.decode(np.array([4, 3], dtype=np.int64)) == "abc"
    assert tok.decode(np.array([[4, 3]], dtype=np.uint16)[0]) == "abc"
    assert tok.decode_batch([[4], np.array([3, 1], dtype=np.uint8), ()]) == ["ab", "ca", ""]


# --- files and bytes ----------------------------------------------------------------

def test_model_bytes_files_and_paths_round_trip(trained_model_file, tmp_path):
    tok = Tokenizer.from_file(pathlib.Path(trained_model_file))
    assert tok.to_bytes() == pathlib.Path(trained_model_file).read_bytes()
    for target in [tmp_path / "a.model", str(tmp_path / "b.model"), os.fsencode(tmp_path / "c.model")]:
        tok.save(target)
        again = Tokenizer.from_file(target)
        assert again.to_bytes() == tok.to_bytes()
    tok.save(tmp_path / "a.model")  # replaces
    assert sorted(os.listdir(tmp_path)) == ["a.model", "b.model", "c.model"]
    assert Tokenizer.from_bytes(bytearray(tok.to_bytes())).vocab_size == tok.vocab_size


def test_file_errors_name_the_path(tmp_path):
    with pytest.raises(FileNotFoundError) as missing:
        Tokenizer.from_file(tmp_path / "missing")
    assert missing.value.filename == str(tmp_path / "missing")
    (tmp_path / "cut").write_bytes(model_bytes(*graphemes_model(["a"], {}))[:-1])
    with pytest.raises(ValueError, match="'.*cut' is not a model file: short"):
        Tokenizer.from_file(tmp_path / "cut")
    with pytest.raises(IsADirectoryError):
        Tokenizer.from_file(tmp_path)
    tok = Tokenizer.from_bytes(model_bytes(*graphemes_model(["a"], {})))
    with pytest.raises(FileNotFoundError) as no_folder:
        tok.save(tmp_path / "no" / "x.model")
    assert no_folder.value.filename == str(tmp_path / "no" / "x.model")
    with pytest.raises(ValueError, match="null"):
        tok.save(str(tmp_path / "a\0b"))
    assert sorted(os.listdir(tmp_path)) == ["cut"]


# --- argument errors -------------------------------------------------------------------

TOK = Tokenizer.from_bytes(model_bytes(*graphemes_model(["a", "b"], {(1, 2): 3})))


@pytest.mark.parametrize("call, error, message", [
    (lambda: TOK.encode("ab", "fast"), ValueError, "mode must be 'compatible' or 'ranked', not 'fast'"),
    (lambda: TOK.encode("ab", mode=None), TypeError, "mode must be 'compatible' or 'ranked', not NoneType"),
    (lambda: TOK.encode(b"ab"), TypeError, "argument 'text' must be str, not bytes"),
    (lambda: TOK.count(3), TypeError, "argument 'text' must be str, not int"),
    (lambda: TOK.encode("ab", "ranked", 1), TypeError, r"encode\(\) takes 2 positional arguments but 3 were given"),
    (lambda: TOK.encode(txt="ab"), TypeError, "unexpected keyword argument 'txt'"),
    (lambda: TOK.encode_batch("ab"), TypeError, "texts must be an iterable of str, not a str"),
    (lambda: TOK.encode_batch(["a", 2]), TypeError, r"texts\[1\] must be str, not int"),
    (lambda: TOK.encode_batch(5), TypeError, "texts must be an iterable of str, not int"),
    (lambda: TOK.encode_batch(["a"], threads=0), ValueError, "threads must be at least 1, not 0"),
    (lambda: TOK.encode_flat(["a"], threads="2"), TypeError, "threads must be an int or None, not str"),
    (lambda: TOK.decode([1, 70000]), KeyError, "token id 70000 is not in the model"),
    (lambda: TOK.decode([1, 9]), KeyError, "token id 9 is not in the model"),
    (lambda: TOK.decode(array.array("h", [-2])), KeyError, "token id -2 is not in the model"),
    (lambda: TOK.decode([1.0]), TypeError, "token id must be an int, not float"),
    (lambda: TOK.decode("12"), TypeError, "must be a sequence of ints, not a str"),
    (lambda: TOK.decode_batch([[1], [2**80]]), KeyError, f"token id {2**80} is not in the model"),
    (lambda: TOK.decode_batch([[1], [8]]), KeyError, r"list_of_ids\[1\]: token id 8 is not in the model"),
    (lambda: TOK.token_bytes(4), KeyError, "token id 4 is not in the model"),
    (lambda: TOK.token_text("1"), TypeError, "argument 'id' must be an int, not str"),
    (lambda: TOK.id_of(1), TypeError, "argument 'grapheme' must be str, not int"),
    (lambda: Tokenizer.from_bytes("text"), TypeError, "must be a bytes-like object, not str"),
    (lambda: Tokenizer.from_bytes(b"\1"), ValueError, "not a model file: short input"),
    (lambda: Tokenizer.from_file(3), TypeError, "os.PathLike"),
    (lambda: Tokenizer(), TypeError, "use Tokenizer.from_file or Tokenizer.from_bytes"),
    (lambda: TOK.encode("a\ud800"), UnicodeEncodeError, "surrogates not allowed"),
    (lambda: TOK.encode_batch(["ok", "a\ud800b"]), UnicodeEncodeError,
     r"surrogates not allowed \(in texts\[1\]\)"),
    (lambda: TOK.encode_flat(["a\udfff"]), UnicodeEncodeError, r"\(in texts\[0\]\)"),
    (lambda: TOK.decode_batch([[1], [70000]]), KeyError,
     r"list_of_ids\[1\]: token id 70000 is not in the model"),
    (lambda: TOK.decode(array.array("Q", [1, 2**64 - 1])), KeyError,
     f"token id {2**64 - 1} is not in the model"),
])
def test_errors_are_ordinary_exceptions_naming_the_value(call, error, message):
    with pytest.raises(error, match=message):
        call()
