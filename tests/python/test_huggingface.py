"""The Hugging Face export: the tokenizer.json gives the ids of
mode="ranked" line by line on held-out real text and on generated texts full
of emoji sequences, flags, combining marks and CR LF, and decodes alike."""

import json
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from real_texts import english_documents, multilingual_lines
from tolvane_tools import Tokenizer
from tolvane_tools.huggingface import build_export, compare, flags_side_by_side, write_tokenizer_json

tokenizers = pytest.importorskip("tokenizers")


@pytest.fixture(scope="session")
def trained(trained_model_file):
    return Tokenizer.from_file(trained_model_file)


@pytest.fixture(scope="session")
def exported(trained, tmp_path_factory):
    path = tmp_path_factory.mktemp("hf") / "tokenizer.json"
    trained.to_huggingface(path)
    return tokenizers.Tokenizer.from_file(str(path))


def held_out_english():
    """English sources after the first megabyte, which the trained model saw."""
    seen = len("".join(english_documents(1_000_000)))
    english = "".join(english_documents(1_400_000))[seen:].splitlines()
    return [l for l in english if l.strip()][:3000]


@pytest.fixture(scope="session")
def multilingual(tmp_path_factory):
    """A model of every other line of the multilingual text (scripts, marks,
    emoji sequences, flags), and 3,000 of the lines between them."""
    import random

    import tolvane

    from conftest import EMPTY_MODEL, quiet_training

    lines = multilingual_lines()
    folder = tmp_path_factory.mktemp("multilingual")
    (folder / "corpus.txt").write_text("\n".join(lines[0::2]), encoding="utf-8")
    (folder / "empty.model").write_bytes(EMPTY_MODEL)
    quiet_training(tolvane.load_from_file(str(folder / "empty.model")), folder, folder / "corpus.txt")
    tok = Tokenizer.from_file(str(folder / "tokenizer"))
    tok.to_huggingface(folder / "tokenizer.json")
    held_out = random.Random(20).sample(lines[1::2], 3000)
    return tok, tokenizers.Tokenizer.from_file(str(folder / "tokenizer.json")), held_out


def test_held_out_lines_give_the_ranked_ids(trained, exported, multilingual):
    tok, hf, lines = multilingual
    for name, tok, hf, lines in [("English", trained, exported, held_out_english()),
                                 ("multilingual", tok, hf, lines)]:
        result = compare(tok, hf, lines)
        # Only lines with a grapheme the model does not know may differ ...
        assert set(result.kinds) <= {"unknown grapheme"}, (name, result.kinds, result.examples)
        known = [line for line in lines if not tok.unknown_graphemes(line)]
        assert len(known) >= 2500, name
        # ... and the others agree, ids and decoded text.
        result = compare(tok, hf, known)
        assert result.share_equal >= 0.999 and result.decode_equal == result.lines, (name, result)


# Pieces that make graphemes of several code points, and the borders between
# them hard: flags side by side, ZWJ sequences holding emoji that start graphemes
# of their own, marks on marks, CR LF beside lone CR and LF, Hangul jamo.
PIECES = ["a", "e", " ", "\r\n", "\r", "\n", "\u0301", "\u0308", "e\u0301", "\u200d",
          "\U0001F469", "\U0001F467", "\u2764\ufe0f", "\U0001F3FD", "\U0001F1E9\U0001F1EA",
          "\U0001F1FA", "\U0001F1F8", "\U0001F1EA", "\u1100\u1161", "\u11a8", "\uac00",
          "\U0001F469\u200d\u2764\ufe0f\u200d\U0001F468", "\U0001F468\u200d\U0001F469\u200d\U0001F467"]


@pytest.fixture(scope="session")
def emoji_model(tmp_path_factory):
    """A model trained on text made of PIECES, so that it knows their graphemes
    and has learned merges across them."""
    import random

    import tolvane

    from conftest import EMPTY_MODEL, quiet_training

    rng = random.Random(20)
    folder = tmp_path_factory.mktemp("emoji")
    lines = ["".join(rng.choice(PIECES) for _ in range(rng.randrange(1, 30))) for _ in range(6000)]
    (folder / "corpus.txt").write_text("\n".join(lines), encoding="utf-8")
    (folder / "empty.model").write_bytes(EMPTY_MODEL)
    data = tolvane.load_from_file(str(folder / "empty.model"))
    quiet_training(data, folder, folder / "corpus.txt")
    tok = Tokenizer.from_file(str(folder / "tokenizer"))
    path = folder / "tokenizer.json"
    tok.to_huggingface(path)
    return tok, tokenizers.Tokenizer.from_file(str(path))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.sampled_from(PIECES), max_size=40))
def test_generated_texts_give_the_ranked_ids(emoji_model, pieces):
    tok, hf = emoji_model
    text = "".join(pieces)
    ours = tok.encode(text, mode="ranked")
    theirs = hf.encode(text, add_special_tokens=False)
    if tok.unknown_graphemes(text):
        return  # the ranked mode gives it one oov id, the file its code points
    if not flags_side_by_side(text):
        assert theirs.ids == ours
    assert hf.decode(theirs.ids) == tok.decode(ours) == text


def test_the_file_keeps_the_model_readable(trained, tmp_path):
    path = tmp_path / "tokenizer.json"
    write_tokenizer_json(trained, path)
    config = json.loads(path.read_text(encoding="utf-8"))
    vocab = config["model"]["vocab"]
    export = build_export(trained)
    # Every token of the model is there under its own text, apart from those
    # whose text an earlier token already has.
    for token in range(trained.vocab_size):
        if token == trained.oov_id or token in export.shadowed:
            continue
        assert vocab[trained.token_text(token)] == token
    assert vocab[config["model"]["unk_token"]] == trained.oov_id
    # The pieces the file adds to rebuild graphemes come after the model's ids.
    assert all(token >= trained.vocab_size for token in export.added_pieces)
    assert not list(tmp_path.glob(".*.part"))


def _export(*args, cwd):
    return subprocess.run([sys.executable, "-m", "tolvane_tools", "export", *map(str, args)],
                          cwd=cwd, capture_output=True, timeout=120)


def test_the_command_writes_the_file_and_refuses_what_it_cannot_write(trained_model_file, tmp_path):
    done = _export("-m", trained_model_file, "--format", "huggingface", "-o", "out.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert b"wrote out.json" in done.stdout
    hf = tokenizers.Tokenizer.from_file(str(tmp_path / "out.json"))
    tok = Tokenizer.from_file(trained_model_file)
    assert hf.encode("def main():\n    return 0").ids == tok.encode("def main():\n    return 0", mode="ranked")
    shown = _export("-m", trained_model_file, "-o", "-", cwd=tmp_path)
    assert json.loads(shown.stdout) == json.loads((tmp_path / "out.json").read_bytes())
    (tmp_path / "folder").mkdir()
    for output, message in [("folder", b"output is a directory: folder"),
                            ("missing/out.json", b"output directory does not exist: missing"),
                            ("", b"the output name is empty")]:
        done = _export("-m", trained_model_file, "-o", output, cwd=tmp_path)
        assert (done.returncode, done.stderr.strip()) == (1, b"tolvane: " + message)
    done = _export("-m", tmp_path / "folder", cwd=tmp_path)
    assert done.returncode == 1 and b"model path is a directory" in done.stderr


@pytest.fixture(scope="session")
def transformers():
    return pytest.importorskip("transformers")  # imported once: it takes seconds


@pytest.mark.parametrize("layout", ["chunked training", "trainer"])
def test_a_transformers_round_pads_truncates_and_gives_the_offsets(trained, trainer_model, transformers,
                                                                     layout, tmp_path):
    if layout == "trainer":
        tok, path, _ = trainer_model
        fast = transformers.PreTrainedTokenizerFast(tokenizer_file=str(path),
                                                    clean_up_tokenization_spaces=False)
        # The model's own special tokens, as a training script sets them.
        fast.pad_token, fast.eos_token = "<pad>", "<|endoftext|>"
        assert (fast.pad_token_id, fast.eos_token_id) == (tok.special_tokens["<pad>"],
                                                          tok.special_tokens["<|endoftext|>"])
    else:
        tok, path = trained, tmp_path / "tokenizer.json"
        tok.to_huggingface(path)
        fast = transformers.PreTrainedTokenizerFast(tokenizer_file=str(path),
                                                    clean_up_tokenization_spaces=False)
        # A model without special tokens of its own: the usual two are added.
        fast.add_special_tokens({"pad_token": "<pad>", "eos_token": "</s>"})
        assert fast.pad_token_id >= tok.vocab_size
    texts = ["def main():\n    return 0", "Return the (x, y) pair.<|endoftext|>", "x",
             "  import os  " * 8]
    assert not any(tok.unknown_graphemes(t) for t in texts)
    max_length = 12
    batch = fast(texts, padding=True, truncation=True, max_length=max_length,
                 return_offsets_mapping=True)
    specials = {"allowed_special": "all"} if tok.special_tokens else {"disallowed_special": ()}
    expected = [tok.encode_with_offsets(t, mode="ranked", **specials) for t in texts]
    width = min(max_length, max(len(ids) for ids, _ in expected))
    for row, (ids, spans) in enumerate(expected):
        kept = min(len(ids), width)
        pad = width - kept
        assert batch["input_ids"][row] == ids[:kept] + [fast.pad_token_id] * pad
        assert batch["attention_mask"][row] == [1] * kept + [0] * pad
        assert [tuple(s) for s in batch["offset_mapping"][row]] == spans[:kept] + [(0, 0)] * pad
        assert fast.decode(batch["input_ids"][row], skip_special_tokens=True) == \
            tok.decode(ids[:kept], skip_special_tokens=True)


SPECIALS = ("<|endoftext|>", "<pad>")


def trainer_layout(model_path):
    """The trained model laid out as the trainer lays out its models: oov 0,
    the special tokens, 256 byte tokens (the ASCII ones being the ASCII
    graphemes), then the other graphemes and merges in their order."""
    from tolvane_tools.modelfile import Extras, model_bytes, read_model

    model = read_model(model_path)
    base = 1 + len(SPECIALS)
    ascii_ids = {token: base + ord(g) for g, token in model.unicode_lookup.items()
                 if len(g) == 1 and ord(g) < 0x80}
    new, next_id = {0: 0}, base + 256
    for old in sorted(model.lookup)[1:]:
        new[old] = ascii_ids.get(old, next_id)
        next_id += old not in ascii_ids
    lookup = {new[token]: text for token, text in model.lookup.items()}
    lookup.update({1 + i: s.encode() for i, s in enumerate(SPECIALS)})
    for byte in range(256):
        lookup.setdefault(base + byte, bytes([byte]))
    unicode_lookup = {g: new[token] for g, token in model.unicode_lookup.items()}
    unicode_lookup.update({chr(b): base + b for b in range(0x80)})
    merges = {(new[left], new[right]): new[merged] for (left, right), merged in model.merges.items()}
    extras = Extras(special_tokens={s: 1 + i for i, s in enumerate(SPECIALS)}, byte_base=base)
    return Tokenizer.from_bytes(model_bytes(lookup, merges, unicode_lookup, extras))


@pytest.fixture(scope="session")
def trainer_model(trained_model_file, tmp_path_factory):
    tok = trainer_layout(trained_model_file)
    path = tmp_path_factory.mktemp("trainer") / "tokenizer.json"
    tok.to_huggingface(path)
    return tok, path, tokenizers.Tokenizer.from_file(str(path))


def test_special_tokens_and_byte_fallback_carry_over(trainer_model):
    tok, path, hf = trainer_model
    assert tok.special_tokens == {s: 1 + i for i, s in enumerate(SPECIALS)} and tok.byte_fallback
    config = json.loads(path.read_text(encoding="utf-8"))
    assert [(t["id"], t["content"], t["special"]) for t in config["added_tokens"]] == \
        [(1, "<|endoftext|>", True), (2, "<pad>", True)]
    assert config["model"]["byte_fallback"] and config["model"]["vocab"]["<0xE4>"] == tok.byte_ids[0xE4]
    english = held_out_english()
    lines = english[:1000] + ["<|endoftext|>".join(english[i:i + 3]) for i in range(0, 300, 3)]
    # Graphemes of one code point the model never saw become the same bytes
    # both ways; the unknown graphemes of several code points are the only
    # lines that may differ.
    lines += ["中文 text, Ελληνικά <pad>", "déjà vu<|endoftext|>", "\u00e9\u0301 x"]
    result = compare(tok, hf, lines)
    assert result.equal == result.lines - 1 and set(result.kinds) == {"unknown grapheme"}
    assert result.decode_equal == result.lines
    for skip in (False, True):
        ids = tok.encode("a<pad>b", mode="ranked", allowed_special="all")
        assert hf.decode(ids, skip_special_tokens=skip) == tok.decode(ids, skip_special_tokens=skip)


def test_offsets_of_special_and_byte_tokens(trainer_model):
    tok, _, hf = trainer_model
    text = "dé\u0301j\u00e0<|endoftext|>\u0301x"
    ids, spans = tok.encode_with_offsets(text, mode="ranked", allowed_special="all")
    # The byte tokens of an unknown grapheme each span all of it; the special
    # token stands where it was matched, and the mark after it starts anew.
    byte_ids = set(tok.byte_ids[0x80:])
    expected = []
    for start, end in [(0, 1), (1, 3), (3, 4), (4, 5), (5, 18), (18, 19), (19, 20)]:
        count = 1 if not tok.unknown_graphemes(text[start:end]) or text[start:end] in tok.special_tokens \
            else len(text[start:end].encode())
        expected += [(start, end)] * count
    assert spans == expected
    assert [i in byte_ids for i in ids].count(True) == len(ids) - 4
    assert hf.encode(text).offsets[-1] == spans[-1]



def test_a_model_of_the_trainer_exports_line_for_line(tmp_path):
    from tolvane_tools import train

    lines = multilingual_lines()
    tok = train(iter(lines[0::2]), vocab_size=3000, special_tokens=SPECIALS, byte_fallback=True,
                progress=False)
    tok.to_huggingface(tmp_path / "tokenizer.json")
    hf = tokenizers.Tokenizer.from_file(str(tmp_path / "tokenizer.json"))
    held_out = lines[1::2][::20] + ["<|endoftext|>".join(lines[1:40:2])]
    result = compare(tok, hf, held_out)
    assert set(result.kinds) <= {"unknown grapheme"}, result.examples
    known = [line for line in held_out if not tok.unknown_graphemes(line)]
    assert compare(tok, hf, known).equal == len(known) > 2000
