"""The `tolvane` command, run as a real process on small corpora."""

import array
import fcntl
import html.parser
import json
import os
import random
import re
import signal
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest

import tolvane
from conftest import read_terminal, write_model

from tolvane_tools.progress import CHUNK_SIZE, RunState, amount, saved_line
from tolvane_tools.visible import visible_bytes

SAVED_BANNER = (b"--------------------------------------------- \n Saved Successfully \n"
                b"---------------------------------------------\n")
SEPARATOR = b"\n" + b"-" * 83 + b"\n"
WORDS = ("the quick brown fox jumps over the lazy dog while a cat naps by the fire "
         "naïve café 👩‍👩‍👧 e\u0301t\u00e9 tab\there").split(" ")


def _env():
    env = dict(os.environ)
    # The command runs in other directories; keep the module importable there.
    paths = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def run(*args, cwd, input=None, **kwargs):
    args = [a if isinstance(a, bytes) else str(a) for a in args]
    return subprocess.run([sys.executable, "-m", "tolvane_tools", *args], cwd=cwd,
                          input=input, capture_output=True, env=_env(), timeout=120, **kwargs)


def start(*args, cwd):
    # SIGINT left as Python sets it up, even when pytest runs in the background.
    return subprocess.Popen([sys.executable, "-m", "tolvane_tools", *map(str, args)], cwd=cwd,
                            env=_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def corpus_text(seed=7, count=1200):
    rng = random.Random(seed)
    return " ".join(rng.choice(WORDS) for _ in range(count)) + "\n"


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """A model trained by the command, and the directory it ran in."""
    work = tmp_path_factory.mktemp("trained")
    (work / "corpus.txt").write_text(corpus_text(), encoding="utf-8")
    done = run("train", "corpus.txt", "-o", "model.bin", cwd=work)
    assert done.returncode == 0, done.stderr
    return work, work / "model.bin", done


def one_error_line(done):
    assert done.returncode != 0
    lines = done.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("tolvane: "), done.stderr
    return lines[0]


def test_train_without_terminal_reports_each_chunk_and_cleans_up(trained):
    work, model, done = trained
    vocab = tolvane.load_from_file(str(model)).vocab()
    lines = done.stdout.decode().splitlines()
    assert lines[0].startswith("chunk 1/1 saved: ")
    assert f" {len(vocab)} tokens," in lines[0]
    assert lines[1].startswith("model saved to model.bin: 1 chunk, ")
    assert len(lines) == 2
    # The run's working files stay in its scratch directory, which is gone.
    assert sorted(os.listdir(work)) == ["corpus.txt", "model.bin"]


def test_train_raw_passes_the_module_lines(tmp_path):
    (tmp_path / "c.txt").write_text(corpus_text(seed=3), encoding="utf-8")
    done = run("train", "c.txt", "--raw", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(b"Just Started\nFinish converting new read chunk to tokens\n")
    assert done.stdout.endswith(SAVED_BANNER)
    token_lines = [line for line in done.stdout.split(b"\n") if line.startswith(b"Token ")]
    merges = len(tolvane_model(tmp_path / "tokenizer")["merges"])
    assert len(token_lines) == merges > 0
    assert done.stderr.decode().startswith("model saved to tokenizer: ")


def tolvane_model(path):
    from tolvane_tools.modelfile import read_model
    model = read_model(str(path))
    return {"lookup": model.lookup, "merges": model.merges, "unicode": model.unicode_lookup}


@pytest.mark.parametrize("same_output", [False, True])
def test_train_from_continues_without_touching_the_start_model(trained, tmp_path, same_output):
    _, model, _ = trained
    start = tmp_path / "start.bin"
    start.write_bytes(model.read_bytes())
    before = start.read_bytes()
    (tmp_path / "more.txt").write_text(corpus_text(seed=11) + "ωμέγα ", encoding="utf-8")
    output = start if same_output else tmp_path / "next.bin"
    done = run("train", "more.txt", "--from", start, "-o", output, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    old, new = tolvane_model(model), tolvane_model(output)
    assert set(old["lookup"]) < set(new["lookup"])
    assert all(new["unicode"][key] == token for key, token in old["unicode"].items())
    assert "ω" in new["unicode"]
    if not same_output:
        assert start.read_bytes() == before


def test_train_logs(tmp_path):
    (tmp_path / "c.txt").write_text(corpus_text(seed=5), encoding="utf-8")
    (tmp_path / "log.txt").write_bytes(b"earlier run\n")
    done = run("train", "c.txt", "--log", "quiet.log", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "quiet.log").read_bytes() == SEPARATOR
    assert (tmp_path / "log.txt").read_bytes() == b"earlier run\n"

    done = run("train", "c.txt", "--log", "loud.log", "--print-logs", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "loud.log").read_bytes() == b"Started \n "
    log = (tmp_path / "log.txt").read_bytes()
    assert log.startswith(b"earlier run\nToken ") and log.endswith(SEPARATOR)


@pytest.mark.parametrize("victim", ["corpus", "start model"])
def test_train_refuses_a_log_that_would_empty_an_input(trained, tmp_path, victim):
    _, model, _ = trained
    corpus = tmp_path / "c.txt"
    corpus.write_text(corpus_text(), encoding="utf-8")
    start = tmp_path / "start.bin"
    start.write_bytes(model.read_bytes())
    target = corpus if victim == "corpus" else start
    before = target.read_bytes()
    done = run("train", corpus, "--from", start, "--log", target, cwd=tmp_path)
    assert "it would be emptied" in one_error_line(done)
    assert target.read_bytes() == before


def test_failed_training_leaves_the_output_alone(tmp_path):
    # A grapheme whose token has no text: learning a merge of it fails.
    broken = write_model(tmp_path / "broken.bin", {0: b""}, {}, {"oov": 0, "a": 5})
    (tmp_path / "a.txt").write_text("a" * 40, encoding="utf-8")
    (tmp_path / "out.bin").write_bytes(b"previous")
    done = run("train", "a.txt", "--from", broken, "-o", "out.bin", cwd=tmp_path)
    line = one_error_line(done)
    assert "training failed in chunk 1: " in line and "no chunk was saved" in line
    assert (tmp_path / "out.bin").read_bytes() == b"previous"


def fifo_corpus(tmp_path, first_part):
    """A named pipe as the corpus, `first_part` already in it; the test holds
    the writing end, so the stream stays open until the test closes it."""
    path = tmp_path / "corpus.fifo"
    os.mkfifo(path)
    writer = os.open(path, os.O_RDWR)  # does not wait for a reader
    os.write(writer, first_part)
    return path, writer


@pytest.fixture(scope="module")
def chunk_text():
    """Exactly one chunk of text (the module reads a file a chunk per read),
    ending in spaces so that no character is cut at its end."""
    text = corpus_text(seed=3, count=CHUNK_SIZE // 5).encode()[:CHUNK_SIZE]
    return text[:text.rindex(b" ")].ljust(CHUNK_SIZE, b" ")


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_stopping_keeps_the_last_saved_chunk(tmp_path, chunk_text, stop):
    (tmp_path / "c.txt").write_bytes(chunk_text * 4)
    child = start("train", "c.txt", "-o", "out.bin", cwd=tmp_path)
    assert child.stdout.readline().startswith(b"chunk 1/4 saved: ")
    # Three more chunks to train: the signal comes long before their end.
    child.send_signal(stop)
    out, err = child.communicate(timeout=60)
    assert child.returncode == 130, err
    saved = 1 + out.count(b" saved: ")
    assert saved < 4
    assert err.decode().endswith(f"tolvane: training stopped; kept the model saved after chunk {saved} "
                                 "at out.bin\n")
    assert b"Traceback" not in err
    assert len(tolvane.load_from_file(str(tmp_path / "out.bin")).vocab()) > 1
    assert sorted(os.listdir(tmp_path)) == ["c.txt", "out.bin"]


def wait_until_read(writer):
    """Returns once the reader of a pipe has taken everything written to it."""
    unread = array.array("i", [1])
    for _ in range(6000):
        fcntl.ioctl(writer, termios.FIONREAD, unread)
        if unread[0] == 0:
            return
        time.sleep(0.01)
    raise AssertionError("the command never read the stream")


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_stopping_while_a_stream_is_copied(tmp_path, stop):
    corpus, writer = fifo_corpus(tmp_path, corpus_text().encode())
    (tmp_path / "out.bin").write_bytes(b"previous")
    try:
        child = start("train", corpus, "-o", "out.bin", cwd=tmp_path)
        wait_until_read(writer)  # the stream is open: the copy waits for more
        child.send_signal(stop)
        out, err = child.communicate(timeout=60)
    finally:
        os.close(writer)
    assert child.returncode == 130
    assert out == b""
    assert err == b"tolvane: training stopped; no chunk was saved; out.bin left unchanged\n"
    assert (tmp_path / "out.bin").read_bytes() == b"previous"
    assert sorted(os.listdir(tmp_path)) == ["corpus.fifo", "out.bin"]


def test_failure_in_a_later_chunk_keeps_the_earlier_one(tmp_path, chunk_text):
    # The grapheme "a" is known but its id, far above those the first chunk
    # gives out, has no text; only the second chunk uses it.
    broken = write_model(tmp_path / "broken.bin", {0: b""}, {}, {"oov": 0, "a": 60000})
    (tmp_path / "c.txt").write_bytes(chunk_text.replace(b"a", b"o") + b"a" * 40)
    done = run("train", "c.txt", "--from", broken, "-o", "out.bin", cwd=tmp_path)
    assert done.returncode == 1
    line = one_error_line(done)
    assert "training failed in chunk 2: " in line
    assert line.endswith("kept the model saved after chunk 1 at out.bin")
    assert "o" in tolvane_model(tmp_path / "out.bin")["unicode"]


TEXTS = ["the lazy fox", "naïve café by the fire", "👩‍👩‍👧 e\u0301t\u00e9", "tab\there\nthe dog\n"]


@pytest.mark.parametrize("text", TEXTS)
def test_encode_decode_round_trip(trained, text):
    work, model, _ = trained
    data = tolvane.load_from_file(str(model))
    encoded = run("encode", "-m", model, text, cwd=work)
    assert encoded.returncode == 0, encoded.stderr
    ids = [int(word) for word in encoded.stdout.split()]
    assert ids == data.encode(text)
    (work / "in.txt").write_text(text, encoding="utf-8", newline="")
    as_json = run("encode", "-m", model, "-f", "in.txt", "--json", cwd=work)
    assert json.loads(as_json.stdout) == ids
    decoded = run("decode", "-m", model, *ids, cwd=work)
    assert decoded.stdout.decode() == text + "\n"
    piped = run("decode", "-m", model, "--no-newline", cwd=work, input=as_json.stdout)
    assert piped.stdout.decode() == text


@pytest.mark.parametrize("args, expected", [
    (["train", "missing.txt"], "corpus not found: missing.txt"),
    (["train", "."], "corpus is a directory: ."),
    (["train", "corpus.txt", "--from", "missing.bin"], "model file not found: missing.bin"),
    (["encode", "-m", "missing.bin", "x"], "model file not found: missing.bin"),
    (["encode", "-m", "model.bin", "-f", "missing.txt"], "corpus not found: missing.txt"),
    (["encode", "-m", "model.bin", "-f", "."], "corpus is a directory: ."),
    (["encode", "-m", "model.bin", "-f", ".", "-o", "out.bin"], "corpus is a directory: ."),
    (["stats", "-m", "model.bin", "-f", "missing.txt"], "corpus not found: missing.txt"),
    (["encode", "-m", "model.bin", b"caf\xe9"], "the text is not valid UTF-8"),
    (["encode", "-m", "model.bin", "-f", "latin1.txt"], "latin1.txt is not valid UTF-8 (byte 3)"),
    (["encode", "-m", "short.bin", "x"], "cannot load model short.bin: "),
    (["train", "corpus.txt", "--from", "short.bin"], "cannot load model short.bin: "),
    (["decode", "-m", "model.bin", "1", "x"], "bad token id 'x': not a whole number"),
    (["decode", "-m", "model.bin", "70000"], "bad token id 70000: ids are 0 to 65535"),
    (["decode", "-m", "model.bin", "-1"], "bad token id -1: ids are 0 to 65535"),
    (["decode", "-m", "model.bin", "65535"], "cannot decode: "),
    (["inspect", "-m", "short.bin"], "short.bin is not a model file: the file ended early"),
])
def test_errors_are_one_line(trained, tmp_path, args, expected):
    _, model, _ = trained
    (tmp_path / "model.bin").write_bytes(model.read_bytes())
    (tmp_path / "corpus.txt").write_text("the fox", encoding="utf-8")
    (tmp_path / "latin1.txt").write_bytes(b"caf\xe9")
    (tmp_path / "short.bin").write_bytes(bytes(12))
    line = one_error_line(run(*args, cwd=tmp_path))
    assert line.startswith("tolvane: " + expected)


def inspect_json(*args, cwd):
    done = run("inspect", *args, "--json", cwd=cwd)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_inspect_kinds_pairs_and_totals(trained):
    work, model, _ = trained
    data = tolvane.load_from_file(str(model))
    report = inspect_json("-m", model, cwd=work)
    rows = {row["id"]: row for row in report["tokens"]}
    assert sorted(rows) == data.vocab()
    assert rows[0]["kind"] == "oov" and rows[0]["bytes"] == 0
    for row in rows.values():
        raw = bytes.fromhex(row["hex"])
        assert row["bytes"] == len(raw)
        assert data.decode([row["id"]]).encode() == raw
        if row["kind"] == "merge":
            left, right = row["pair"]
            assert bytes.fromhex(rows[left]["hex"]) + bytes.fromhex(rows[right]["hex"]) == raw
        else:
            assert row["pair"] is None
    totals = report["totals"]
    kinds = [row["kind"] for row in rows.values()]
    assert totals["tokens"] == len(rows)
    assert (totals["grapheme"], totals["merge"]) == (kinds.count("grapheme"), kinds.count("merge"))
    assert totals["merge"] > 0
    assert totals["longest"]["bytes"] == max(row["bytes"] for row in rows.values())

    longest = inspect_json("-m", model, "--sort", "length", "--limit", "5", cwd=work)["tokens"]
    assert len(longest) == 5
    assert [row["bytes"] for row in longest] == sorted((r["bytes"] for r in rows.values()),
                                                       reverse=True)[:5]


def test_inspect_table_of_a_hand_made_model(tmp_path):
    # Not UTF-8, an id of no kind, a merge, a grapheme made visible.
    model = write_model(tmp_path / "m.bin", {0: b"", 1: b" ", 2: b"\xff", 3: b" \xff", 9: b"x"},
                        {(1, 2): 3}, {"oov": 0, " ": 1})
    done = run("inspect", "-m", model, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    rows = [line.split() for line in done.stdout.decode().splitlines()[1:6]]
    assert rows == [["0", "oov", "0"], ["1", "grapheme", "1", "\u2423"], ["2", "other", "1", "\\xFF"],
                    ["3", "merge", "(1,", "2)", "2", "\u2423\\xFF"], ["9", "other", "1", "x"]]
    assert "totals: 5 tokens, 1 graphemes, 1 merges, 1 out-of-vocabulary, 2 other" in done.stdout.decode()


@pytest.mark.parametrize("raw, shown", [
    (b"a b", "a\u2423b"),
    (b"\t\r\n", "\u21e5\u21e4\u21b5"),
    (b"zero\xe2\x80\x8bwidth", "zero<U+200B>width"),
    ("👩‍👩‍👧".encode(), "👩‍👩‍👧"),  # joiners inside an emoji sequence stay
    ("\u200d".encode(), "<U+200D>"),  # but a lone one is shown
    (b"\xff", "\\xFF"),
    (b"ok\xe2\x82", "ok\\xE2\\x82"),  # a cut sequence is one ill-formed piece
    (b"\xe2\x82x\xc3\xa9", "\\xE2\\x82x\u00e9"),
    (b"back\\slash \xe2\x90\xa3", "back\\\\slash\u2423<U+2423>"),  # marks stay unambiguous
    (b"\x00\x7f", "<U+0000><U+007F>"),
])
def test_visible_text(raw, shown):
    assert visible_bytes(raw) == shown


class SpanParser(html.parser.HTMLParser):
    """Collects the token spans of a `show --html` page: (title, text)."""

    def __init__(self):
        super().__init__()
        self.tokens = []
        self.depth = 0  # inside a token span (marks are spans within it)
        self.mark = False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "span" and "title" in attrs:
            self.tokens.append([attrs["title"], attrs["data-id"], ""])
            self.depth = 1
        elif tag == "span" and self.depth:
            self.depth += 1
            self.mark = "mark" in attrs.get("class", "")

    def handle_endtag(self, tag):
        if tag == "span" and self.depth:
            self.depth -= 1
            self.mark = False

    def handle_data(self, data):
        if self.depth and not self.mark:
            self.tokens[-1][2] += data


@pytest.mark.parametrize("text", ["the lazy fox\nnaps", "fire ✓✗ dog ✓", "<b>&amp;</b> café"])
def test_show_html_page(trained, tmp_path, text):
    work, model, _ = trained
    page = tmp_path / "page.html"
    done = run("show", "-m", model, text, "--html", page, cwd=work)
    assert done.returncode == 0, done.stderr
    parser = SpanParser()
    parser.feed(page.read_text(encoding="utf-8"))
    ids = tolvane.load_from_file(str(model)).encode(text)
    assert [int(token_id) for _, token_id, _ in parser.tokens] == ids
    assert [title.split()[1] for title, _, _ in parser.tokens] == [str(i) for i in ids]
    # Every piece of the text is in its token's span, unknown graphemes too.
    assert "".join(piece for _, _, piece in parser.tokens) == text
    for title, token_id, piece in parser.tokens:
        assert ("out of vocabulary" in title) == (token_id == "0")
    if "✓✗" in text:
        assert [piece for _, token_id, piece in parser.tokens if token_id == "0"] == ["✓", "✗", "✓"]


def test_show_without_terminal_lists_tokens(trained):
    work, model, _ = trained
    text = "the lazy\tdog"
    done = run("show", "-m", model, text, cwd=work)
    assert done.returncode == 0, done.stderr
    assert b"\x1b[" not in done.stdout
    rows = [line.split("\t") for line in done.stdout.decode().splitlines()]
    assert [int(token_id) for token_id, _ in rows] == tolvane.load_from_file(str(model)).encode(text)
    shown = "".join(piece for _, piece in rows)
    assert shown == "the\u2423lazy\u21e5dog"


def test_progress_state_follows_the_module_lines():
    state = RunState(corpus_size=2 * 3_067_833 + 10, tokens=1)
    state.started -= 10.0
    for line in [b"Just Started", b"Finish converting new read chunk to tokens",
                 b"Token 40 | Merge (3, 4) | 99 Times | Loop 0", b"No News Loop count is 12",
                 b"Token 41 | Merge (40, 4) | 12 Times | Loop 350"]:
        state.feed(line)
    assert (state.current_chunk, state.tokens, state.loop, state.bytes_done) == (1, 42, 350, 0)
    assert state.feed(b" Saved Successfully ") == "saved"
    assert (state.chunks_saved, state.in_chunk, state.bytes_done) == (1, False, 3_067_833)
    line = saved_line(state, now=state.started + 10.0)
    assert line.startswith("chunk 1/3 saved: 3.1 MB of 6.1 MB, 0.31 MB/s, 42 tokens, 0:10 elapsed, ")
    assert line.endswith("0:10 left")


@pytest.mark.parametrize("start_model", [None, "from.bin"])
def test_empty_corpus_leaves_the_start_model(trained, tmp_path, start_model):
    (tmp_path / "empty.txt").write_bytes(b"")
    args = ["train", "empty.txt", "-o", "out.bin"]
    expected = bytes(24)
    if start_model:
        expected = trained[1].read_bytes()
        (tmp_path / start_model).write_bytes(expected)
        args += ["--from", start_model]
    done = run(*args, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode().startswith("model saved to out.bin: 0 chunks, ")
    assert (tmp_path / "out.bin").read_bytes() == expected


def run_on_terminal(*args, cwd, stdin=None):
    """Runs the command with a pseudo-terminal as its standard output; `stdin`
    (less than a pipe holds) comes through a pipe."""
    import pty
    leader, follower = pty.openpty()
    child = subprocess.Popen([sys.executable, "-m", "tolvane_tools", *map(str, args)], cwd=cwd,
                             env=_env(), stdout=follower, stderr=subprocess.PIPE,
                             stdin=None if stdin is None else subprocess.PIPE)
    os.close(follower)
    if stdin is not None:
        child.stdin.write(stdin)
        child.stdin.close()
    out = read_terminal(leader)
    assert child.wait(timeout=60) == 0, child.stderr.read()
    child.stderr.close()
    text = out.decode().replace("\r\n", "\n")
    return text, re.sub(r"\x1b\[[0-9;]*[mK]", "", text)


def test_terminal_forms(trained, tmp_path):
    work, model, _ = trained
    text, plain = run_on_terminal("show", "-m", model, "the lazy\nfox", cwd=work)
    ids = tolvane.load_from_file(str(model)).encode("the lazy\nfox")
    assert "\x1b[30;48;5;" in text
    assert plain == f"the lazy\u21b5\nfox\n\n{len(ids)} tokens: {' '.join(map(str, ids))}\n"

    (tmp_path / "c.txt").write_text(corpus_text(seed=9), encoding="utf-8")
    text, plain = run_on_terminal("train", "c.txt", cwd=tmp_path)
    # A live line rewritten in place, ended before the summary.
    assert "\r\x1b[Kchunk 1/1" in text
    assert plain.rstrip("\n").split("\n")[-1].startswith("model saved to tokenizer: 1 chunk")

    # A stream: a live line while it is copied, replaced by a line that stays.
    corpus = corpus_text(seed=9).encode()
    text, plain = run_on_terminal("train", "-", "-o", "s.bin", cwd=tmp_path, stdin=corpus)
    assert text.startswith("\r\x1b[Kcopying the corpus stream: ")
    copied = rf"\r\x1b\[Kcorpus stream copied: {amount(len(corpus))} in [0-9:]+\n"
    assert re.search(copied + r"\r\x1b\[Kchunk 1/1", text)
    assert (tmp_path / "s.bin").read_bytes() == (tmp_path / "tokenizer").read_bytes()


def test_version_is_the_one_meson_declares(tmp_path):
    # meson.build's project() is the only place the version is written; the
    # command reads it back from the installed distribution.
    meson_build = (Path(__file__).resolve().parents[2] / "meson.build").read_text(encoding="utf-8")
    declared = re.search(r"project\([^)]*?version:\s*'([^']+)'", meson_build).group(1)
    done = run("--version", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode() == f"tolvane {declared}\n"
