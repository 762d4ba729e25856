"""The native trainer to a vocabulary size, through its Python entry: the
ids it hands out, its refusals, determinism, and the ranked encoding of the
models it makes."""

import pytest

import tolvane
from real_texts import english_documents, multilingual_lines
from tolvane_tools import Tokenizer, _native


def train(docs, vocab_size, min_frequency=2, **options):
    trainer = _native._VocabTrainer(**options)
    trainer.add_many(docs)
    return trainer.learn(vocab_size, min_frequency)


@pytest.fixture(scope="module")
def english():
    return english_documents(400_000)


@pytest.fixture(scope="module")
def multilingual():
    return multilingual_lines()[:4000]


@pytest.mark.parametrize("byte_fallback", [False, True])
def test_exact_size_and_id_layout(english, tmp_path, byte_fallback):
    specials = ["<|endoftext|>", "<pad>"]
    model, info = train(english, 3000, special_tokens=specials, byte_fallback=byte_fallback)
    tok = Tokenizer.from_bytes(model)
    assert tok.vocab_size == info["vocab_size"] == 3000 and not info["stopped_early"]
    assert info["special_ids"] == [1, 2]
    assert [tok.token_bytes(i) for i in (0, 1, 2)] == [b"", b"<|endoftext|>", b"<pad>"]
    assert tok.oov_id == 0 and tok.id_of("<pad>") is None
    if byte_fallback:
        base = info["byte_base"]
        assert base == 3
        assert [tok.token_bytes(base + b) for b in range(256)] == [bytes([b]) for b in range(256)]
        assert all(tok.id_of(chr(b)) == base + b for b in range(128))
    else:
        assert info["byte_base"] is None
    # Every merge is one pair of smaller ids, in the order learned.
    first_merge = 3000 - info["merges"]
    for i in range(first_merge, 3000):
        left, right = tok.merge_of(i)
        assert left < i and right < i
        assert tok.token_bytes(i) == tok.token_bytes(left) + tok.token_bytes(right)
    # The module loads what the trainer writes, and encodes with it.
    path = tmp_path / "trained.model"
    path.write_bytes(model)
    data = tolvane.load_from_file(str(path))
    text = english[0][:2000]
    assert data.decode(data.encode(text)) == tok.decode(tok.encode(text))


def test_same_bytes_for_every_thread_count(multilingual):
    docs = multilingual * 60  # past the size from which add_many uses threads
    models = {train(docs, 2000, threads=t, byte_fallback=True, special_tokens=["<s>"])[0] for t in (1, 2, 5)}
    assert len(models) == 1


def pieces(tok, text):
    """The text cut where no trained token may span: before a space that
    follows a non-space, and around runs of line breaks."""
    kinds = {" ": "space", "\n": "break", "\r": "break"}
    out, previous = [""], None
    for g in tok.graphemes(text):
        kind = kinds.get(g[0], "other")
        if previous is not None and (previous != "space" if kind == "space"
                                     else (kind == "break") != (previous == "break")):
            out.append("")
        out[-1] += g
        previous = kind
    return out


def test_ranked_encoding_is_the_literal_one_and_goes_piece_by_piece(english, multilingual):
    model, _ = train(english + multilingual, 4000, byte_fallback=True)
    tok = Tokenizer.from_bytes(model)
    texts = [english[3][:3000], " ".join(multilingual[:40]), "a  b\n\n  c\r\nd  ", "x\u0600 y \u0301z"]
    for text in texts:
        ids = tok.encode(text, mode="ranked")
        assert ids == _native._encode_ranked_literal(tok, text)
        assert ids == [i for piece in pieces(tok, text) for i in tok.encode(piece, mode="ranked")]


def test_stops_early_and_says_why():
    model, info = train(["abab abab"], 500, min_frequency=2)
    assert info["stopped_early"] and info["vocab_size"] == Tokenizer.from_bytes(model).vocab_size < 500
    assert "min_frequency" in info["reason"]
    _, info = train(["abcdefgh " * 50], 500, min_frequency=1, max_token_length=3)
    assert info["stopped_early"] and "max_token_length 3" in info["reason"]
    tok = Tokenizer.from_bytes(_)
    assert max(len(tok.token_text(i)) for i in range(tok.vocab_size)) <= 3


@pytest.mark.parametrize("options, vocab_size, docs, message", [
    ({}, 0, ["some text"], "vocab_size 0 is too small"),
    ({}, 1, ["some text"], "vocab_size 1 is too small"),
    ({"byte_fallback": True}, 100, ["some text"], "the 256 byte tokens take 257 ids"),
    ({}, 70_000, ["some text"], "vocab_size must be at most 65,536"),
    ({}, 300, [], "the corpus is empty"),
    ({"special_tokens": ["<s>"]}, 300, ["<s><s>"], "the corpus is empty"),
    ({}, 5, ["abcdefgh"], "is too small for the 8 distinct graphemes"),
])
def test_bad_learn_arguments(options, vocab_size, docs, message):
    trainer = _native._VocabTrainer(**options)
    trainer.add_many(docs)
    with pytest.raises(ValueError, match=message) as raised:
        trainer.learn(vocab_size)
    assert "\n" not in str(raised.value)


@pytest.mark.parametrize("options, error, message", [
    ({"special_tokens": ["<s>", ""]}, ValueError, "special token 1 is empty"),
    ({"special_tokens": ["<s>", "<s>"]}, ValueError, "special token '<s>' is given twice"),
    ({"special_tokens": "<s>"}, TypeError, "not one str"),
    ({"grapheme_coverage": 1.5}, ValueError, "grapheme_coverage must be above 0"),
    ({"max_token_length": 0}, ValueError, "max_token_length must be at least 1"),
    ({"threads": 0}, ValueError, "threads must be at least 1"),
])
def test_bad_options(options, error, message):
    with pytest.raises(error, match=message):
        _native._VocabTrainer(**options)


def test_lone_surrogate_is_refused():
    with pytest.raises(UnicodeEncodeError):
        _native._VocabTrainer().add("ab\ud800")


def test_progress_sees_the_stages_and_can_stop_the_run(english):
    trainer = _native._VocabTrainer()
    trainer.add_many(english)
    seen = []
    trainer.learn(2000, progress=lambda stage, done, total: seen.append((stage, done, total)))
    stages = [s for s, _, _ in seen]
    assert stages.index("graphemes") < stages.index("pairs") < stages.index("merges")
    assert seen[-1][0] == "merges" and seen[-1][1] == seen[-1][2]

    def refuse(stage, done, total):
        if stage == "merges" and done > 0:
            raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        trainer.learn(2000, progress=refuse)

    def reenter(stage, done, total):
        trainer.add("more text")
    with pytest.raises(RuntimeError, match="already in use"):
        trainer.learn(2000, progress=reenter)
    # The trainer is still usable after both.
    assert trainer.learn(2000)[1]["vocab_size"] == 2000
