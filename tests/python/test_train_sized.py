"""tolvane_tools.train and `tolvane train --vocab-size`: what reaches the
trainer from files, iterators and standard input, the model it hands back
(exact size, special tokens, byte fallback, the extension block), its
progress, and a clear one-line error for every bad input."""

import json
import re
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tolvane
import tolvane_tools
from real_texts import english_documents, multilingual_lines
from test_cli import _env
from tolvane_tools import MemoryLimitReached, Tokenizer, TrainingStoppedEarly

LINES = [line for doc in english_documents(120_000) for line in doc.splitlines() if line.strip()]
SPECIALS = ["<|endoftext|>", "<pad>"]


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    folder = tmp_path_factory.mktemp("corpus")
    half = len(LINES) // 2
    (folder / "a.txt").write_text("\n".join(LINES[:half]) + "\n", encoding="utf-8")
    # CR LF line ends, which split as LF ones do.
    (folder / "b.txt").write_bytes(("\r\n".join(LINES[half:]) + "\r\n").encode("utf-8"))
    (folder / "c.jsonl").write_text("".join(json.dumps({"text": t}) + "\n" for t in LINES), encoding="utf-8")
    return folder


def trained(corpus_or_texts, **options):
    options = {"vocab_size": 1000, "progress": False, **options}
    return tolvane_tools.train(corpus_or_texts, **options)


def maps(tok):
    """The three maps of a model's file, without its extension block."""
    return tok.to_bytes().split(b"TLVEXTRA")[0]


@pytest.fixture(scope="module")
def reference(corpus):
    return trained([corpus / "a.txt", str(corpus / "b.txt")], special_tokens=SPECIALS, byte_fallback=True)


def test_every_input_gives_the_same_model(corpus, reference):
    assert reference.vocab_size == 1000
    same = [trained(iter(LINES), special_tokens=SPECIALS, byte_fallback=True),
            trained(iter([LINES[:100], LINES[100:]]), special_tokens=SPECIALS, byte_fallback=True),
            trained(corpus / "c.jsonl", split="jsonl:text", special_tokens=SPECIALS, byte_fallback=True,
                    threads=1)]
    for tok in same:
        assert maps(tok) == maps(reference)
    # The same options give the same bytes, options and report included.
    assert same[0].to_bytes() == same[1].to_bytes()
    info = reference.training_info
    assert info["options"]["split"] == "lines" and info["result"]["stopped_early"] is False


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_the_same_bytes_on_every_thread_count(reference, corpus, threads):
    tok = trained([corpus / "a.txt", corpus / "b.txt"], special_tokens=SPECIALS, byte_fallback=True,
                  threads=threads)
    assert tok.to_bytes() == reference.to_bytes()


@pytest.fixture(scope="module")
def many_pieces(tmp_path_factory):
    """About 5 MB whose pieces keep coming new: each copy of the lines has
    its own numbers on every word."""
    path = tmp_path_factory.mktemp("many") / "many.txt"
    with open(path, "w", encoding="utf-8") as out:
        for copy in range(40):
            out.write("\n".join(" ".join(f"{w}{copy}" for w in line.split(" ")) for line in LINES) + "\n")
    return path


def test_a_memory_limit_forgets_the_rarest_pieces_alike_on_every_thread_count(many_pieces):
    exact = trained(many_pieces, byte_fallback=True, threads=1)
    result = exact.training_info["result"]
    assert result["forgettings"] == 0 and exact.training_info["options"]["memory_limit"] == 4 << 30
    limit = result["counts_memory"] // 4
    models = []
    for threads in (1, 2):
        with pytest.warns(MemoryLimitReached, match="raise memory_limit to count every piece"):
            tok = trained(many_pieces, byte_fallback=True, threads=threads, memory_limit=limit)
        models.append(tok.to_bytes())
    info = Tokenizer.from_bytes(models[0]).training_info
    assert info["result"]["forgettings"] > 0 and info["result"]["forgotten_pieces"] > 0
    assert info["result"]["distinct_pieces"] < result["distinct_pieces"]
    assert info["result"]["pieces"] == result["pieces"] and info["options"]["memory_limit"] == limit
    assert models[0] == models[1] != exact.to_bytes()
    assert Tokenizer.from_bytes(models[0]).vocab_size == 1000
    unlimited = trained(many_pieces, byte_fallback=True, memory_limit=None)
    assert maps(unlimited) == maps(exact)


def test_the_model_is_a_trainer_model(reference, tmp_path):
    assert reference.special_tokens == {"<|endoftext|>": 1, "<pad>": 2}
    assert reference.byte_ids == tuple(range(3, 259))
    for token in range(reference.vocab_size):
        pair = reference.merge_of(token)
        if pair is not None:
            assert not set(pair) & {0, 1, 2} and all(p < token for p in pair)
    # The module loads it; its encode reads a special's spelling as text.
    reference.save(tmp_path / "m")
    data = tolvane.load_from_file(str(tmp_path / "m"))
    ids = data.encode("the end<|endoftext|>")
    assert data.decode(ids) == "the end<|endoftext|>" and 1 not in ids
    assert Tokenizer.from_file(tmp_path / "m").to_bytes() == reference.to_bytes()


def test_byte_fallback_round_trips_scripts_the_corpus_lacks(reference):
    lines = multilingual_lines()
    for mode in ("compatible", "ranked"):
        assert reference.decode_batch(reference.encode_batch(lines, mode, disallowed_special=())) == lines
    text = "<|endoftext|>日本語 ✓"
    ids = reference.encode(text, mode="ranked", allowed_special="all")
    assert ids[0] == 1 and reference.decode(ids) == text
    assert reference.decode(ids, skip_special_tokens=True) == "日本語 ✓"


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=st.text(st.characters(exclude_categories=["Cs"]), max_size=30))
def test_a_trained_model_round_trips_every_text(reference, text):
    for mode in ("compatible", "ranked"):
        ids = reference.encode(text, mode=mode, disallowed_special=())
        assert reference.decode(ids) == text and not set(ids) & {0, 1, 2}


def test_a_small_corpus_stops_early_and_says_so():
    with pytest.warns(TrainingStoppedEarly, match="before vocab_size 5,000"):
        tok = tolvane_tools.train(iter(["ab ab ab", "cd cd"]), vocab_size=5000, progress=False)
    assert tok.vocab_size < 5000
    assert tok.training_info["result"]["stopped_early"] is True
    assert tok.training_info["result"]["reason"]


def test_progress_stages_and_quiet(capfd):
    seen = []
    trained(iter(LINES), progress=lambda stage, done, total: seen.append((stage, done, total)))
    stages = list(dict.fromkeys(stage for stage, _, _ in seen))
    assert stages[0] == "reading" and "merges" in stages
    assert [d for s, d, _ in seen if s == "merges"][-1] == [t for s, _, t in seen if s == "merges"][-1]
    trained(iter(LINES))
    assert capfd.readouterr().err == ""  # not a terminal: quiet
    trained(iter(LINES), progress=True)
    err = capfd.readouterr().err
    assert "\r\x1b[K" in err and "merges" in err and err.endswith("\n")


def test_a_notebook_gets_tqdm_bars(monkeypatch, capfd):
    pytest.importorskip("tqdm")
    from tolvane_tools import train_progress

    monkeypatch.setattr(train_progress, "_in_notebook", lambda: True)
    trained(iter(LINES), progress=None)
    err = capfd.readouterr().err
    assert "counting pairs" in err and "merges" in err and "\x1b[K" not in err


@pytest.mark.parametrize("call, error, match", [
    (lambda d: trained(d / "missing.txt"), FileNotFoundError, "corpus file not found: .*missing.txt"),
    (lambda d: trained(["the quick fox"]), FileNotFoundError, r"pass an iterator of them, such as iter\(texts\)"),
    (lambda d: trained(d), IsADirectoryError, "corpus is a directory"),
    (lambda d: trained(d / "latin1.txt"), ValueError, r"latin1.txt is not valid UTF-8 at byte 8 \(line 2\)"),
    (lambda d: trained(iter([])), ValueError, "the corpus is empty"),
    (lambda d: trained(d / "empty.txt"), ValueError, "the corpus is empty"),
    (lambda d: trained(iter(LINES), vocab_size=0), ValueError, "vocab_size must be 2 to 65,536, not 0"),
    (lambda d: trained(iter(LINES), vocab_size=1), ValueError, "vocab_size must be 2 to 65,536, not 1"),
    (lambda d: trained(iter(LINES), vocab_size=70_000), ValueError, "not 70,000"),
    (lambda d: trained(iter(LINES), vocab_size=200, byte_fallback=True), ValueError,
     r"must be 258 to 65,536, not 200 \(257 ids are reserved"),
    (lambda d: trained(iter(LINES), vocab_size=True), TypeError, "vocab_size must be an int"),
    (lambda d: trained(iter(LINES), special_tokens=["<a>", ""]), ValueError, r"special_tokens\[1\] is empty"),
    (lambda d: trained(iter(LINES), special_tokens=["<a>", "<a>"]), ValueError, "'<a>' is given twice"),
    (lambda d: trained(iter(LINES), special_tokens="<a>"), TypeError, r"not a str: write \['<a>'\]"),
    (lambda d: trained(iter(["ok", 5])), TypeError, "corpus item 1 must be a str or a list of str, not int"),
    (lambda d: trained(iter(["ok", "a\ud800b"])), ValueError, "text 1 holds a lone surrogate at character 1"),
    (lambda d: trained(iter(LINES), min_frequency=0), ValueError, "min_frequency must be 1 or more"),
    (lambda d: trained(iter(LINES), grapheme_coverage=0.9), ValueError, "needs byte_fallback=True"),
    (lambda d: trained(iter(LINES), split="words"), ValueError, "unknown split 'words'"),
    (lambda d: trained(iter(LINES), memory_limit=0), ValueError, "memory_limit must be at least 1 byte"),
    (lambda d: trained(iter(LINES), memory_limit=True), TypeError, "memory_limit must be an int or None"),
    (lambda d: trained(iter(LINES), memory_limit="1G"), TypeError, "memory_limit must be an int or None"),
    (lambda d: trained(iter(LINES), memory_limit=1), ValueError, "memory_limit 1 is too small: every piece"),
])
def test_bad_input_gets_one_clear_line(tmp_path, call, error, match):
    (tmp_path / "latin1.txt").write_bytes(b"fine\ncaf\xe9\n")
    (tmp_path / "empty.txt").write_bytes(b"")
    with pytest.raises(error, match=match) as caught:
        call(tmp_path)
    assert "\n" not in str(caught.value)


# --- the command line -------------------------------------------------------

def run(*args, cwd, stdin=None):
    return subprocess.run([sys.executable, "-m", "tolvane_tools", *args], cwd=cwd, env=_env(),
                          input=stdin, capture_output=True, timeout=300)


def test_command_trains_many_files_to_a_size(corpus, reference, tmp_path):
    done = run("train", str(corpus / "a.txt"), str(corpus / "b.txt"), "--vocab-size", "1000",
               "--special-token", "<|endoftext|>", "--special-token", "<pad>", "--byte-fallback",
               "-o", "sized.model", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert b"model saved to sized.model: 1,000 tokens, 2 special, 256 bytes" in done.stdout
    assert b"merges:" in done.stdout  # a line per stage where there is no terminal
    # Each stage's line is written as it ends, so it shows the stage complete;
    # a stage that counts nothing shows no count.
    stages = dict(re.findall(rb"^(counting \w+):? ?(.*) in ", done.stdout, flags=re.M))
    assert stages[b"counting pairs"] == b""
    counted, of = stages[b"counting graphemes"].split(b" of ")
    assert counted == of
    assert (tmp_path / "sized.model").read_bytes() == reference.to_bytes()
    piped = run("train", "-", "--vocab-size", "1000", "--special-token", "<|endoftext|>",
                "--special-token", "<pad>", "--byte-fallback", "-o", "piped.model", cwd=tmp_path,
                stdin=(corpus / "a.txt").read_bytes() + (corpus / "b.txt").read_bytes())
    assert piped.returncode == 0, piped.stderr
    assert (tmp_path / "piped.model").read_bytes() == reference.to_bytes()


@pytest.mark.parametrize("args, message", [
    (["a.txt", "--byte-fallback"], "--byte-fallback needs --vocab-size"),
    (["a.txt", "b.txt"], "several corpora need --vocab-size"),
    (["a.txt", "--vocab-size", "500", "--from", "m"], "--from belongs to the chunked run"),
    (["a.txt", "nothere.txt", "--vocab-size", "500"], "corpus not found: nothere.txt"),
    (["a.txt", "--vocab-size", "1"], "vocab_size must be 2 to 65,536, not 1"),
    (["a.txt", "--vocab-size", "500", "--special-token", "x", "--special-token", "x"], "'x' is given twice"),
    (["a.txt", "--vocab-size", "500", "-o", "a.txt"], "output is the corpus itself"),
    (["-", "-", "--vocab-size", "500"], "standard input (-) can be read only once"),
    (["a.txt", "--memory-limit", "1G"], "--memory-limit needs --vocab-size"),
    (["a.txt", "--memory-limit", "none"], "--memory-limit needs --vocab-size"),
    (["a.txt", "--min-frequency", "0"], "--min-frequency needs --vocab-size"),
    (["a.txt", "--vocab-size", "500", "--memory-limit", "100"], "memory_limit 100 is too small"),
])
def test_command_errors(tmp_path, args, message):
    (tmp_path / "a.txt").write_text("some text here\n" * 20, encoding="utf-8")
    (tmp_path / "b.txt").write_text("more text\n", encoding="utf-8")
    done = run("train", *args, cwd=tmp_path)
    assert done.returncode != 0
    lines = done.stderr.decode().strip().splitlines()
    assert len(lines) == 1 and message in lines[0], done.stderr
    assert (tmp_path / "a.txt").read_text() == "some text here\n" * 20


def test_command_encodes_with_the_model_extras(reference, tmp_path):
    reference.save(tmp_path / "m")
    (tmp_path / "docs.txt").write_text("one<|endoftext|>\nдва ✓\n", encoding="utf-8")
    refused = run("encode", "-m", "m", "a<pad>b", cwd=tmp_path)
    assert refused.returncode == 1 and b'special token "<pad>"' in refused.stderr
    for mode in ("compatible", "ranked"):
        matched = run("encode", "-m", "m", "--mode", mode, "--special", "match", "--json", "a<pad>два",
                      cwd=tmp_path)
        ids = json.loads(matched.stdout)
        assert 2 in ids and reference.decode(ids) == "a<pad>два" and not matched.stderr
        as_text = run("encode", "-m", "m", "--mode", mode, "--special", "text", "--json", "a<pad>",
                      cwd=tmp_path)
        assert 2 not in json.loads(as_text.stdout)
    corpus = run("encode", "-m", "m", "-f", "docs.txt", "-o", "out.bin", cwd=tmp_path)
    assert corpus.returncode == 1 and b"line 1" in corpus.stderr
    corpus = run("encode", "-m", "m", "-f", "docs.txt", "-o", "out.bin", "--special", "match", cwd=tmp_path)
    assert corpus.returncode == 0, corpus.stderr
    ids = list(memoryview((tmp_path / "out.bin").read_bytes()).cast("H"))
    assert reference.decode(ids) == "one<|endoftext|>два ✓" and ids.count(1) == 1
    stats = run("stats", "-m", "m", "-f", "docs.txt", "--special", "text", cwd=tmp_path)
    assert stats.returncode == 0 and b"unknown graphemes  none lost: byte fallback" in stats.stdout


@pytest.mark.parametrize("given, message", [("lots", "not a size: 'lots' (write it as 500M, 8G or none)"),
                                            ("0.5", "not a size: '0.5' (at least 1 byte)"),
                                            ("5Q", "not a size: '5Q' (write it as 500M, 8G or none)")])
def test_command_refuses_a_size_it_cannot_read(tmp_path, given, message):
    (tmp_path / "a.txt").write_text("some text here\n", encoding="utf-8")
    done = run("train", "a.txt", "--vocab-size", "500", "--memory-limit", given, cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr.decode().splitlines()[-1] == f"tolvane train: error: argument --memory-limit: {message}"


@pytest.mark.parametrize("given, forgets", [("1.5M", True), ("none", False), ("64g", False)])
def test_command_takes_a_memory_limit(many_pieces, tmp_path, given, forgets):
    done = run("train", str(many_pieces), "--vocab-size", "1000", "--memory-limit", given, "-o", "m", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    warned = [line for line in done.stderr.decode().splitlines() if "reached --memory-limit" in line]
    assert len(warned) == forgets
    options = Tokenizer.from_file(tmp_path / "m").training_info["options"]
    assert options["memory_limit"] == {"1.5M": 3 << 19, "none": None, "64g": 64 << 30}[given]

