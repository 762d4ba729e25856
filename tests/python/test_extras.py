"""Trainer models' extras on hand-made models laid out as the trainer lays
them out: the extension block (kept by every way a Tokenizer is stored, and
refused when damaged), special tokens in encode and decode, byte fallback in
both modes, and what the module and `inspect` make of such files."""

import pickle
import re
import struct
import zlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tolvane
from conftest import model_bytes
from real_texts import multilingual_lines
from tolvane_tools import Tokenizer
from tolvane_tools.modelfile import Extras, ModelFormatError, extras_bytes, parse_model

MODES = ["compatible", "ranked"]
SPECIALS = ["<|endoftext|>", "<pad>", "<pad>x"]


def trainer_model(specials=(), byte_fallback=True, graphemes=("é", "ß", "あ"),
                  merges=(("t", "h"), ("th", "e"), (" ", "the"), ("é", "t"))):
    """(maps, extras) as the trainer lays them out: "oov" 0, the specials
    1..k, the 256 bytes, the other graphemes, then each merge of two token
    texts in order."""
    lookup, unicode_lookup = {0: b""}, {"oov": 0}
    for token, special in enumerate(specials, start=1):
        lookup[token] = special.encode()
    base = len(lookup)
    if byte_fallback:
        for b in range(256):
            lookup[base + b] = bytes([b])
            if b < 0x80:
                unicode_lookup[chr(b)] = base + b
    else:
        for c in "the ":
            unicode_lookup[c] = len(lookup)
            lookup[len(lookup)] = c.encode()
    for g in graphemes:
        unicode_lookup[g] = len(lookup)
        lookup[len(lookup)] = g.encode()
    by_text = {}
    for token, text in lookup.items():
        by_text.setdefault(text, token)
    by_text.pop(b"", None)
    merged = {}
    for left, right in merges:
        pair = (by_text[left.encode()], by_text[right.encode()])
        merged[pair] = len(lookup)
        lookup[len(lookup)] = (left + right).encode()
        by_text.setdefault((left + right).encode(), merged[pair])
    extras = Extras(special_tokens={s: i for i, s in enumerate(specials, start=1)},
                    byte_base=base if byte_fallback else None,
                    trainer_options={"options": {"vocab_size": len(lookup)}})
    return (lookup, merged, unicode_lookup), extras


def trainer_bytes(**kwargs):
    maps, extras = trainer_model(**kwargs)
    return model_bytes(*maps) + extras_bytes(extras)


FILE = trainer_bytes(specials=SPECIALS)
TOK = Tokenizer.from_bytes(FILE)
PLAIN = Tokenizer.from_bytes(trainer_bytes(specials=SPECIALS, byte_fallback=False))


def test_extras_survive_every_way_a_tokenizer_is_stored(tmp_path):
    assert TOK.special_tokens == {"<|endoftext|>": 1, "<pad>": 2, "<pad>x": 3}
    assert TOK.byte_fallback and TOK.byte_ids == tuple(range(4, 260))
    assert TOK.training_info == {"options": {"vocab_size": TOK.vocab_size}}
    assert TOK.to_bytes() == FILE  # entries by id, the block as written
    TOK.save(tmp_path / "m")
    copies = [Tokenizer.from_file(tmp_path / "m"), pickle.loads(pickle.dumps(TOK)),
              Tokenizer.from_bytes(TOK.to_bytes())]
    for copy in copies:
        assert copy.to_bytes() == FILE
        assert (copy.special_tokens, copy.byte_ids) == (TOK.special_tokens, TOK.byte_ids)
    assert parse_model(FILE).extras == Extras({"<|endoftext|>": 1, "<pad>": 2, "<pad>x": 3}, 4,
                                              {"options": {"vocab_size": TOK.vocab_size}})


def test_a_plain_model_has_no_extras():
    raw = model_bytes({0: b"", 1: b"a"}, {}, {"oov": 0, "a": 1})
    tok = Tokenizer.from_bytes(raw)
    assert (tok.special_tokens, tok.byte_fallback, tok.byte_ids, tok.training_info) == ({}, False, None, None)
    assert tok.to_bytes() == raw
    # Bytes that are no block stay ignored, as the module ignores them.
    assert Tokenizer.from_bytes(raw + b"\x00junk").to_bytes() == raw
    assert parse_model(raw + b"\x00junk").extras is None


def test_the_module_loads_trainer_files(tmp_path):
    (tmp_path / "m").write_bytes(FILE)
    data = tolvane.load_from_file(str(tmp_path / "m"))
    assert sorted(data.vocab()) == list(range(TOK.vocab_size))
    # Special tokens are no graphemes to the module: their spelling is text.
    ids = data.encode("<pad> the")
    assert 2 not in ids and data.decode(ids) == "<pad> the"
    assert data.decode([1, 2]) == "<|endoftext|><pad>"
    assert data.decode(TOK.encode("あé", mode="ranked")) == "あé"


def _block():
    return FILE[len(model_bytes(*trainer_model(specials=SPECIALS)[0])):]


def _resealed(body_edit):
    """The block with its body changed and its checksum made right again."""
    block = _block()
    body = body_edit(bytearray(block[20:-4]))
    head = block[:12] + struct.pack("<Q", len(body)) + bytes(body)
    return FILE[:len(FILE) - len(block)] + head + struct.pack("<I", zlib.crc32(head))


def _special_text(body, old, new):
    at = bytes(body).index(old)
    return body[:at - 8] + struct.pack("<Q", len(new)) + new + body[at + len(old):]


DAMAGED = {
    "checksum": lambda: FILE[:-30] + bytes([FILE[-30] ^ 1]) + FILE[-29:],
    "cut in the magic": lambda: FILE[:len(FILE) - len(_block()) + 3],
    "cut in the body": lambda: FILE[:-9],
    "bytes after it": lambda: FILE + b"\x00",
    "version": lambda: FILE[:len(FILE) - len(_block()) + 8] + struct.pack("<I", 2)
        + FILE[len(FILE) - len(_block()) + 12:],
    "unknown flag": lambda: _resealed(lambda b: bytes([b[0] | 2]) + b[1:]),
    "special not its id's text": lambda: _resealed(lambda b: _special_text(b, b"<pad>x", b"<pad>y")),
    "empty special": lambda: _resealed(lambda b: _special_text(b, b"<pad>x", b"")),
    "byte base moved": lambda: _resealed(lambda b: b[:1] + struct.pack("<H", 5) + b[3:]),
}


@pytest.mark.parametrize("damage", DAMAGED, ids=list(DAMAGED))
def test_a_damaged_block_is_refused_never_dropped(damage, tmp_path):
    raw = DAMAGED[damage]()
    with pytest.raises(ValueError, match="extension block"):
        Tokenizer.from_bytes(raw)
    (tmp_path / "m").write_bytes(raw)
    with pytest.raises(ValueError, match="is not a model file: .*extension block"):
        Tokenizer.from_file(tmp_path / "m")
    if damage not in ("special not its id's text", "byte base moved", "empty special"):
        with pytest.raises(ModelFormatError, match="extension block"):
            parse_model(raw)


@pytest.mark.parametrize("misfit, match", [
    # A merge may not join a special token or a high byte with anything.
    (lambda maps: maps[1].update({(1, 4 + ord("t")): 9999}), "a merge uses token 1"),
    (lambda maps: maps[1].update({(4 + 0xC3, 4 + 0xA9): 9999}), "a merge uses token 199"),
    # The ASCII byte tokens are those characters' graphemes.
    (lambda maps: maps[2].update({"a": 4 + ord("b")}), "ASCII 97"),
    (lambda maps: maps[2].update({"\xff": 4 + 0xFF}), "also a grapheme"),
])
def test_extras_that_do_not_fit_their_model_are_refused(misfit, match):
    maps, extras = trainer_model(specials=SPECIALS)
    misfit(maps)
    maps[0].update({9999: b"?"})
    with pytest.raises(ValueError, match=match):
        Tokenizer.from_bytes(model_bytes(*maps) + extras_bytes(extras))


# --- special tokens ---------------------------------------------------------

TEXT = "the<pad> é<|endoftext|>the<pad>xthe"


@pytest.mark.parametrize("mode", MODES)
def test_special_spelling_is_refused_by_default(mode):
    for call in (lambda: TOK.encode(TEXT, mode=mode), lambda: TOK.count(TEXT, mode=mode)):
        with pytest.raises(ValueError, match=r'special token "<pad>" at byte 3'):
            call()
    with pytest.raises(ValueError, match=r'texts\[1\]: .*"<\|endoftext\|>"'):
        TOK.encode_batch(["the", "<|endoftext|>"], mode=mode)
    with pytest.raises(ValueError, match=r"texts\[0\]"):
        TOK.encode_flat(["<pad>"], mode=mode)
    assert TOK.encode("the pad", mode=mode) == TOK.encode("the pad", mode=mode, allowed_special="all")


def _pieces(mode, *texts):
    out = []
    for t in texts:
        out += [t] if isinstance(t, int) else TOK.encode(t, mode=mode, disallowed_special=())
    return out


@pytest.mark.parametrize("mode", MODES)
def test_allowed_specials_are_their_ids_never_split(mode):
    every = _pieces(mode, "the", 2, " é", 1, "the", 3, "the")  # longest first: <pad>x
    assert TOK.encode(TEXT, mode=mode, allowed_special="all") == every
    assert TOK.encode(TEXT, mode=mode, allowed_special={"<pad>", "<pad>x", "<|endoftext|>"}) == every
    # Only <pad> matched, the others read as text: <pad>x is then <pad> and x.
    assert TOK.encode(TEXT, mode=mode, allowed_special={"<pad>"}, disallowed_special=()) == _pieces(
        mode, "the", 2, " é<|endoftext|>the", 2, "xthe")
    with pytest.raises(ValueError, match=re.escape("<|endoftext|>")):
        TOK.encode(TEXT, mode=mode, allowed_special={"<pad>", "<pad>x"})
    # As ordinary text, the spelling never becomes a special id.
    ordinary = TOK.encode(TEXT, mode=mode, disallowed_special=())
    assert not set(ordinary) & {1, 2, 3} and TOK.decode(ordinary) == TEXT
    assert TOK.count(TEXT, mode=mode, allowed_special="all") == len(every)
    assert TOK.encode_batch([TEXT, "the"], mode=mode, allowed_special="all") == [every, TOK.encode("the", mode=mode)]
    ids, offsets = TOK.encode_flat([TEXT, "<pad>"], mode=mode, allowed_special="all")
    assert list(ids) == every + [2] and list(offsets) == [0, len(every), len(every) + 1]
    assert TOK.decode(every) == TEXT
    assert TOK.decode(every, skip_special_tokens=True) == "the é" + "the" * 2
    assert TOK.decode_batch([every, [2]], skip_special_tokens=True) == ["the é" + "the" * 2, ""]


@pytest.mark.parametrize("kwargs, error, match", [
    ({"allowed_special": "<pad>"}, TypeError, "not the str '<pad>'"),
    ({"allowed_special": {"<unk>"}}, ValueError, "'<unk>' is not a special token of this model"),
    ({"disallowed_special": ["<pad>", 3]}, TypeError, "must hold str, not int"),
    ({"allowed_special": 5}, TypeError, "not int"),
])
def test_special_arguments_are_checked(kwargs, error, match):
    with pytest.raises(error, match=match):
        TOK.encode("the", **kwargs)


# --- byte fallback -----------------------------------------------------------

@pytest.mark.parametrize("mode", MODES)
def test_unknown_graphemes_become_their_bytes(mode):
    ids = TOK.encode("é€the", mode=mode)
    euro = [TOK.byte_ids[b] for b in "€".encode()]
    assert ids[1:4] == euro and 0 not in ids
    assert TOK.decode(ids) == "é€the"
    assert TOK.count("é€the", mode=mode) == len(ids)
    # Without byte fallback the unknown grapheme is "oov", as ever.
    assert PLAIN.encode("é€the", mode=mode).count(0) == 1


@settings(max_examples=150, deadline=None)
@given(st.text(st.characters(exclude_categories=["Cs"]), max_size=40), st.sampled_from(MODES))
def test_byte_fallback_round_trips_every_text(text, mode):
    assert TOK.decode(TOK.encode(text, mode=mode, disallowed_special=())) == text


def test_byte_fallback_round_trips_real_multilingual_text():
    lines = multilingual_lines()[:300]
    for mode in MODES:
        encoded = TOK.encode_batch(lines, mode=mode, disallowed_special=())
        assert TOK.decode_batch(encoded) == lines


@pytest.mark.parametrize("tok", [TOK, PLAIN], ids=["byte fallback", "plain"])
def test_lone_surrogates_are_refused_naming_their_position(tok):
    with pytest.raises(UnicodeEncodeError, match="position 3"):
        tok.encode("the\ud800")


def test_inspect_shows_the_extras(tmp_path):
    import json
    import subprocess
    import sys

    (tmp_path / "m").write_bytes(FILE)
    done = subprocess.run([sys.executable, "-m", "tolvane_tools", "inspect", "-m", "m", "--json"],
                          cwd=tmp_path, capture_output=True, check=True)
    report = json.loads(done.stdout)
    kinds = {row["id"]: row["kind"] for row in report["tokens"]}
    assert [kinds[i] for i in (0, 1, 2, 3, 4, 4 + 97, 259, 260)] == [
        "oov", "special", "special", "special", "byte", "byte", "byte", "grapheme"]
    assert report["totals"]["byte"] == 256 and report["totals"]["special"] == 3
    assert report["extension"]["special_tokens"] == {"<|endoftext|>": 1, "<pad>": 2, "<pad>x": 3}
    table = subprocess.run([sys.executable, "-m", "tolvane_tools", "inspect", "-m", "m"],
                           cwd=tmp_path, capture_output=True, check=True).stdout.decode()
    assert "byte fallback: bytes 0x00..0xFF are tokens 4..259" in table
    assert "special tokens: <|endoftext|> = 1, <pad> = 2, <pad>x = 3" in table


# --- the command on a trainer model: show and its refusals ---------------------------------

def _command(*args, cwd):
    import subprocess
    import sys

    return subprocess.run([sys.executable, "-m", "tolvane_tools", *args], cwd=cwd, capture_output=True)


@pytest.mark.parametrize("mode", MODES)
def test_show_lists_special_and_byte_tokens_as_the_tokenizer_encodes(tmp_path, mode):
    (tmp_path / "m").write_bytes(FILE)
    text = "the あ中<pad>xthé\u0301"
    done = _command("show", "-m", "m", "--mode", mode, "--special", "match", text, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    rows = [line.split("\t") for line in done.stdout.decode().splitlines()]
    ids = TOK.encode(text, mode, allowed_special="all")
    assert [int(i) for row in rows for i in row[0].split()] == ids
    # The byte tokens of an unknown grapheme share its row; a special token is one row.
    assert [row[1] for row in rows if " " in row[0]] == ["中", "é\u0301"]
    assert ["3", "<pad>x"] in rows
    page = tmp_path / "p.html"
    done = _command("show", "-m", "m", "--mode", mode, "--special", "match", text, "--html", page, cwd=tmp_path)
    assert done.returncode == 0 and done.stdout.decode() == f"wrote {page}: {len(ids)} tokens\n"
    titles = re.findall(r'title="([^"]*)"', page.read_text(encoding="utf-8"))
    assert "id 3 (special token)" in titles
    assert sum("bytes of a grapheme the model does not know" in title for title in titles) == 2


@pytest.mark.parametrize("command", [["show"], ["encode"], ["encode", "-f", "c.txt", "-o", "c.bin"]])
def test_the_command_refuses_a_special_spelling_naming_its_options(tmp_path, command):
    (tmp_path / "m").write_bytes(FILE)
    (tmp_path / "c.txt").write_text("ok\nthe <pad> x\n")
    text = [] if "-f" in command else ["the <pad> x"]
    done = _command(*command, "-m", "m", *text, cwd=tmp_path)
    assert done.returncode == 1 and not done.stdout
    message = done.stderr.decode()
    assert message.count("\n") == 1 and 'special token "<pad>" at byte 4' in message
    assert "give --special match" in message and "allowed_special" not in message
    assert not (tmp_path / "c.bin").exists()
