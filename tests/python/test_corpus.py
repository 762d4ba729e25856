"""Corpora read as documents, and `tolvane encode -o` / `tolvane stats` over them."""

import array
import io
import os
import random
import re
import signal
import subprocess
import sys
import time
from collections import Counter

import pytest

from conftest import graphemes_model, write_model
from test_cli import _env, run

from tolvane_tools import Tokenizer, cli, corpus
from tolvane_tools.corpus import CorpusError, parse_split, read_batches
from tolvane_tools.idsfile import IdsWriter, read_ids

KNOWN = ["a", "b", "c", " ", "é", "\n"]
# Graphemes the model below does not know, each one grapheme in any context.
UNKNOWN = ["x", "ß", "👍", "q\u0301", "\t"]
# a=1 b=2 c=3 " "=4 é=5 LF=6; merges chosen so that the two modes differ.
MERGES = {(1, 2): 7, (2, 3): 8, (7, 3): 9, (4, 1): 10, (10, 8): 11}


def read_all(data: bytes, split: str, block_size: int):
    docs, raw, text = [], 0, 0
    for batch in read_batches(io.BytesIO(data), parse_split(split), "corpus", block_size):
        docs += batch.documents
        raw += batch.raw_bytes
        text += batch.text_bytes
    return docs, raw, text


SPLIT_CASES = [
    ("lines", b"a\r\nbb\n\nccc\nd", ["a", "bb", "", "ccc", "d"]),
    ("lines", b"one\n", ["one"]),
    ("lines", b"\n", [""]),
    ("lines", b"cr\rinside\r\n", ["cr\rinside"]),
    ("lines", b"\r\n\r\n\r", ["", "", "\r"]),
    ("paragraphs", b"\n \npara one\nline2\r\n\r\n \t\n\npara2 \xc3\xa9\n\n\nthree\n\n",
     ["para one\nline2", "para2 é", "three"]),
    ("paragraphs", b"inner\r\ncrlf kept\r\n\r\nlast  ", ["inner\r\ncrlf kept", "last  "]),
    ("paragraphs", b"\n\n \n", []),
    ("none", b"all\n\nof it\n", ["all\n\nof it\n"]),
    ("jsonl:t", b'{"t": "x"}\n\n  \n{"t": "\\u00e9y", "u": 1}\r\n{"t": ""}', ["x", "éy", ""]),
]


@pytest.mark.parametrize("split,data,expected", SPLIT_CASES)
@pytest.mark.parametrize("block_size", [1, 3, 8, 1 << 20])
def test_documents_do_not_depend_on_block_size(split, data, expected, block_size):
    docs, raw, text = read_all(data, split, block_size)
    assert docs == expected
    assert raw == len(data)
    assert text == sum(len(d.encode("utf-8")) for d in docs)


@pytest.mark.parametrize("split", ["lines", "paragraphs", "none", "jsonl:t"])
def test_an_empty_corpus_has_no_documents(split):
    assert read_all(b"", split, 8)[0] == []


@pytest.mark.parametrize("split,data,message", [
    ("jsonl:text", b'{"text": "a"}\n\n{"body": "b"}\n', r'corpus, line 3: no field "text"'),
    ("jsonl:text", b'{"text": 5}\n', r'line 1: field "text" is int, not a string'),
    ("jsonl:text", b'{"text": null}\n', r'line 1: field "text" is null'),
    ("jsonl:text", b'["text"]\n', r"line 1: not a JSON object"),
    ("jsonl:text", b'{"text": "a"}\n{"text": \n', r"line 2: not valid JSON"),
    ("jsonl:text", b'{"text": "a"}\n{"text": "\\ud83d"}\n', r"line 2: .* lone surrogate"),
    ("lines", b"fine\nbad \xff byte\n", r"not valid UTF-8 at byte 9 \(line 2\)"),
    ("paragraphs", b"fine\n\n\xe2\x82\n", r"not valid UTF-8 at byte 6 \(line 3\)"),
])
def test_unreadable_corpora_say_where(split, data, message):
    with pytest.raises(CorpusError, match=message):
        read_all(data, split, 4)


@pytest.mark.parametrize("value", ["words", "jsonl:", "json:text", ""])
def test_bad_split_names_are_refused(value):
    with pytest.raises(ValueError):
        parse_split(value)


@pytest.fixture
def model(tmp_path):
    return write_model(tmp_path / "model.bin", *graphemes_model(KNOWN, MERGES))


def random_documents(seed: int, count: int, unknown_share: float = 0.02):
    """Lines over the model's graphemes with some unknown ones, and the exact
    count of the unknown ones put in."""
    rng = random.Random(seed)
    letters = ["a", "b", "c", " ", "é", "ab", "abc", " abc", "bc"]
    docs, unknown = [], Counter()
    for _ in range(count):
        parts = []
        for _ in range(rng.randrange(0, 30)):
            if rng.random() < unknown_share:
                g = rng.choice(UNKNOWN)
                unknown[g] += 1
                parts.append(g)
            parts.append(rng.choice(letters))  # keeps a combining mark off the next grapheme
        docs.append("".join(parts))
    return docs, unknown


def read_raw(out):
    """The ids and offsets as stored, read without the package's own reader."""
    ids, offsets = array.array("H"), array.array("Q")
    ids.frombytes(out.read_bytes())
    offsets.frombytes(out.with_suffix(".idx").read_bytes())
    if sys.byteorder == "big":
        ids.byteswap()
        offsets.byteswap()
    return ids, offsets


def summary_value(text: str, name: str) -> str:
    match = re.search(rf"^{name}\s+(\S+)", text, re.M)
    assert match, text
    return match.group(1).replace(",", "")


@pytest.fixture
def small_blocks(monkeypatch):
    # Many batches from a small corpus, so joining them is tested too.
    monkeypatch.setattr(corpus, "BLOCK_SIZE", 256)


@pytest.mark.parametrize("mode", ["compatible", "ranked"])
@pytest.mark.parametrize("split", ["lines", "paragraphs", "jsonl:text", "none"])
def test_output_files_hold_each_documents_ids(tmp_path, model, small_blocks, capsys, mode, split):
    docs, _ = random_documents(1, 300)
    if split == "paragraphs":
        docs = [d.strip() for d in docs if d.strip()]
        data = "\n\n".join(docs) + "\n"
    elif split == "jsonl:text":
        import json

        data = "".join(json.dumps({"id": i, "text": d}) + "\n" for i, d in enumerate(docs))
    elif split == "none":
        data = "\n".join(docs)
        docs = [data]
    else:
        data = "\n".join(docs) + "\n"
    (tmp_path / "corpus.txt").write_text(data, encoding="utf-8")
    out = tmp_path / "out.bin"
    assert cli.main(["encode", "-m", model, "-f", str(tmp_path / "corpus.txt"), "-o", str(out),
                     "--mode", mode, "--split", split]) == 0
    tok = Tokenizer.from_file(model)
    ids, offsets = read_raw(out)
    assert offsets[0] == 0 and offsets[-1] == len(ids)
    assert read_ids(out) == [tok.encode(d, mode=mode) for d in docs]
    summary = capsys.readouterr().out
    assert int(summary_value(summary, "documents")) == len(docs)
    assert int(summary_value(summary, "tokens")) == len(ids)
    assert not [p for p in os.listdir(tmp_path) if p.endswith(".part")]


def test_every_jobs_count_writes_the_same_bytes(tmp_path, model, small_blocks, capsys):
    docs, _ = random_documents(2, 2000)
    (tmp_path / "corpus.txt").write_text("\n".join(docs), encoding="utf-8")
    outputs = set()
    for jobs in (1, 2, 3, 8):
        out = tmp_path / f"out{jobs}.bin"
        assert cli.main(["encode", "-m", model, "-f", str(tmp_path / "corpus.txt"), "-o", str(out),
                         "--mode", "ranked", "--jobs", str(jobs)]) == 0
        outputs.add((out.read_bytes(), (tmp_path / f"out{jobs}.idx").read_bytes()))
    assert len(outputs) == 1


def unknown_summary(summary: str) -> tuple[int, dict[str, int]]:
    """The count on the summary's unknown line and the listed graphemes."""
    count = int(summary_value(summary, "unknown graphemes").replace("none", "0"))
    listed = {}
    for line in summary.splitlines():
        match = re.match(r"^    \s*([\d,]+)  ((?:U\+[0-9A-F]+ ?)+)\s+(\S+)$", line)
        if match:
            g = "".join(chr(int(p[2:], 16)) for p in match.group(2).split())
            listed[g] = int(match.group(1).replace(",", ""))
    return count, listed


def high_oov_model(merges):
    # oov as id 256: its bytes (00 01) also appear across the ids 1 and 256 (01 00 00 01).
    lookup, merges, unicode_lookup = graphemes_model(KNOWN, merges)
    del lookup[0]
    lookup[256] = b""
    unicode_lookup["oov"] = 256
    return lookup, merges, unicode_lookup


@pytest.mark.parametrize("maps", [graphemes_model(KNOWN, MERGES),
                                  graphemes_model(KNOWN, {**MERGES, (0, 1): 12}),
                                  high_oov_model(MERGES)],
                         ids=["plain", "oov-merged", "oov-256"])
@pytest.mark.parametrize("mode", ["compatible", "ranked"])
def test_summary_counts_unknown_graphemes_exactly(tmp_path, small_blocks, capsys, maps, mode):
    # With a merge that takes the oov token as a part, oov ids can vanish into
    # merged tokens: the count must not rest on the ids alone then.
    model = write_model(tmp_path / "model.bin", *maps)
    docs, unknown = random_documents(3, 1500, unknown_share=0.05)
    (tmp_path / "corpus.txt").write_text("\n".join(docs), encoding="utf-8")
    assert cli.main(["stats", "-m", model, "-f", str(tmp_path / "corpus.txt"), "--mode", mode]) == 0
    captured = capsys.readouterr()
    count, listed = unknown_summary(captured.out)
    assert count == sum(unknown.values())
    assert listed == dict(unknown)
    assert f"{count:,} graphemes of the corpus are not in the model" in captured.err
    in_documents = sum(1 for d in docs if any(g in d for g in UNKNOWN))
    assert f"{count:,} in {in_documents:,} documents" in captured.out


def test_a_clean_corpus_reports_no_unknown_graphemes(tmp_path, model, capsys):
    (tmp_path / "corpus.txt").write_text("abc abc\né\n", encoding="utf-8")
    assert cli.main(["stats", "-m", model, "-f", str(tmp_path / "corpus.txt")]) == 0
    captured = capsys.readouterr()
    assert re.search(r"^unknown graphemes\s+none$", captured.out, re.M)
    assert "warning" not in captured.err


def test_summary_shows_ten_unknown_graphemes_visibly(tmp_path, model, capsys):
    rare = [chr(0x4E00 + i) for i in range(12)] + ["\u200b", "\t"]
    text = "".join(g * (i + 1) for i, g in enumerate(rare)) + "\n"
    (tmp_path / "corpus.txt").write_text(text, encoding="utf-8")
    assert cli.main(["stats", "-m", model, "-f", str(tmp_path / "corpus.txt")]) == 0
    out = capsys.readouterr().out
    count, listed = unknown_summary(out)
    assert count == sum(range(1, len(rare) + 1))
    assert len(listed) == 10 and "\t" in listed and listed["\t"] == len(rare)
    assert "⇥" in out and "<U+200B>" in out


def test_an_empty_corpus_writes_empty_files(tmp_path, model, capsys):
    (tmp_path / "empty.txt").write_bytes(b"")
    out = tmp_path / "out.bin"
    assert cli.main(["encode", "-m", model, "-f", str(tmp_path / "empty.txt"), "-o", str(out)]) == 0
    assert out.read_bytes() == b""
    assert (tmp_path / "out.idx").read_bytes() == bytes(8)
    assert int(summary_value(capsys.readouterr().out, "documents")) == 0


def test_standard_input_is_a_corpus(tmp_path, model):
    docs, _ = random_documents(4, 200, unknown_share=0)
    done = run("encode", "-m", model, "-f", "-", "-o", "out.bin", "--mode", "ranked", cwd=tmp_path,
               input="\n".join(docs).encode("utf-8"))
    assert done.returncode == 0, done.stderr
    tok = Tokenizer.from_file(model)
    assert read_ids(tmp_path / "out.bin") == \
        [tok.encode(d, mode="ranked") for d in docs]


@pytest.mark.parametrize("args,corpus_bytes,message", [
    (["--split", "jsonl:text"], b'{"text": "a"}\n{"txt": "b"}\n', 'line 2: no field "text"'),
    ([], b"ok\n\xc3(\n", "not valid UTF-8 at byte 3 (line 2)"),
    (["--jobs", "0"], b"a\n", "must be 1 or more"),
    (["--split", "words"], b"a\n", "unknown split"),
    (["-o", "no/such/out.bin"], b"a\n", "output folder not found"),
])
def test_failures_leave_no_output(tmp_path, model, args, corpus_bytes, message):
    (tmp_path / "corpus").write_bytes(corpus_bytes)
    done = run("encode", "-m", model, "-f", "corpus", "-o", "out.bin", *args, cwd=tmp_path)
    assert done.returncode in (1, 2)
    assert message in done.stderr.decode()
    assert sorted(os.listdir(tmp_path)) == ["corpus", "model.bin"]


def test_a_model_without_oov_refuses_unknown_graphemes(tmp_path):
    lookup, merges, unicode_lookup = graphemes_model(KNOWN, MERGES)
    del unicode_lookup["oov"]
    model = write_model(tmp_path / "model.bin", lookup, merges, unicode_lookup)
    (tmp_path / "corpus").write_text("abc\n\nabßc\n", encoding="utf-8")
    done = run("encode", "-m", model, "-f", "corpus", "-o", "out.bin", "--mode", "ranked",
               cwd=tmp_path)
    assert done.returncode == 1
    assert re.match(r"tolvane: cannot encode corpus: line 3: .*ß", done.stderr.decode())
    assert sorted(os.listdir(tmp_path)) == ["corpus", "model.bin"]


def _wait_for_part(folder, child, timeout=60.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and child.poll() is None:
        if any(name.endswith(".part") for name in os.listdir(folder)):
            return
        time.sleep(0.02)
    raise AssertionError("the run never opened its temporary files")


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM, signal.SIGINT])
def test_a_stopped_run_leaves_nothing_under_the_final_name(tmp_path, model, sig):
    # The corpus comes through a pipe that stays open, so the run is surely
    # in the middle when the signal comes.
    child = subprocess.Popen([sys.executable, "-m", "tolvane_tools", "encode", "-m", model,
                              "-f", "-", "-o", "out.bin"], cwd=tmp_path, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=_env())
    child.stdin.write(b"abc abc\n" * 100_000)
    child.stdin.flush()
    _wait_for_part(tmp_path, child)
    child.send_signal(sig)
    child.communicate(timeout=60)
    names = os.listdir(tmp_path)
    assert "out.bin" not in names and "out.idx" not in names
    if sig != signal.SIGKILL:
        assert child.returncode == 130
        assert not [n for n in names if n.endswith(".part")]


def test_encoding_a_text_warns_of_unknown_graphemes(tmp_path, model):
    done = run("encode", "-m", model, "abßc 👍 ßx", cwd=tmp_path)
    assert done.returncode == 0
    err = done.stderr.decode()
    assert "4 graphemes of the text are not in the model (ß, x, 👍)" in err
    assert run("encode", "-m", model, "abc", cwd=tmp_path).stderr == b""


def test_show_warns_of_unknown_graphemes(tmp_path, model):
    done = run("show", "-m", model, "ab 👍", cwd=tmp_path)
    assert done.returncode == 0
    assert "1 grapheme of the text is not in the model (👍)" in done.stderr.decode()


def test_encoding_a_text_keeps_its_output(tmp_path, model):
    tok = Tokenizer.from_file(model)
    for mode_args, mode in (([], "compatible"), (["--mode", "ranked"], "ranked")):
        done = run("encode", "-m", model, "-f", "-", *mode_args, cwd=tmp_path, input=b"ab abc")
        assert done.stdout.decode().split() == [str(i) for i in tok.encode("ab abc", mode=mode)]


@pytest.mark.parametrize("numpy_there", [True, False])
def test_ids_writer_joins_batches(tmp_path, monkeypatch, numpy_there):
    if not numpy_there:
        monkeypatch.setitem(sys.modules, "numpy", None)  # import numpy fails
    batches = [([5, 6, 7], [0, 2, 3]), ([], [0]), ([65535, 0, 9], [0, 0, 3, 3])]
    with IdsWriter(tmp_path / "x.bin") as writer:
        for ids, offsets in batches:
            writer.write_flat(array.array("H", ids), array.array("Q", offsets))
    assert read_ids(tmp_path / "x.bin") == [[5, 6], [7], [], [65535, 0, 9], []]
    assert (tmp_path / "x.idx").read_bytes() == array.array("Q", [0, 2, 3, 3, 6, 6]).tobytes()
    with pytest.raises(RuntimeError), IdsWriter(tmp_path / "y.bin") as writer:
        writer.write_documents([[1]])
        raise RuntimeError
    assert sorted(os.listdir(tmp_path)) == ["x.bin", "x.idx"]


def test_progress_without_terminal_writes_a_line_per_step():
    from tolvane_tools.corpus_report import Progress, Totals

    out = io.StringIO()
    progress = Progress(out, terminal=False, total=1000, verb="encode")
    totals = Totals()
    for done in [*range(0, 1000, 7), 1000]:  # batches of uneven size
        totals.raw_bytes, totals.text_bytes, totals.tokens = done, done, done // 3
        progress.update(totals)
    lines = out.getvalue().splitlines()
    assert 19 <= len(lines) <= 21
    assert lines[-1].startswith("encode: 1.0 kB of 1.0 kB (100%)")
    assert all("tokens/byte" in line and "ETA" in line for line in lines)


def test_progress_on_a_terminal_fits_its_width(monkeypatch):
    from tolvane_tools import corpus_report

    monkeypatch.setattr(corpus_report.shutil, "get_terminal_size", lambda: os.terminal_size((40, 20)))
    out = io.StringIO()
    progress = corpus_report.Progress(out, terminal=True, total=10**9, verb="encode")
    totals = corpus_report.Totals(raw_bytes=123_456_789, text_bytes=123_000_000, tokens=45_678_901)
    progress.update(totals)
    progress.finish()
    drawn = out.getvalue().split("\r\x1b[K")
    assert drawn[1] and len(drawn[1]) <= 39 and drawn[1].startswith("123.5 MB of 1.0 GB")
    assert drawn[-1] == ""  # the line is cleared before the summary
