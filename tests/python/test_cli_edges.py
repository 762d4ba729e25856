"""The `tolvane` command under bad output, bad paths, streams, full disks and
names that are not UTF-8."""

import fcntl
import os
import pty
import random
import re
import struct
import subprocess
import sys
import termios

import pytest

import tolvane
from conftest import model_bytes, read_terminal
from test_cli import _env, chunk_text, corpus_text, one_error_line, run, trained  # noqa: F401
from test_faults import tmpfs

from tolvane_tools import Tokenizer, show
from tolvane_tools.modelfile import read_model
from tolvane_tools.progress import CHUNK_SIZE, RunState, amount, fit, status_parts
from tolvane_tools.visible import SYMBOLS, visible_text

COMMAND = [sys.executable, "-m", "tolvane_tools"]


def scratch_dirs(folder):
    return [name for name in os.listdir(folder) if name.startswith(".tolvane-train-")]


# --- output that cannot be written -------------------------------------------------------

def _closed_pipe():
    read_end, write_end = os.pipe()
    os.close(read_end)
    return write_end


@pytest.mark.parametrize("output", ["reader gone", "/dev/full", "closed"])
def test_failing_display_never_stops_training(tmp_path, output):
    (tmp_path / "c.txt").write_text(corpus_text(seed=21), encoding="utf-8")
    args = [*COMMAND, "train", "c.txt", "-o", "x.model"]
    if output == "closed":
        args = ["bash", "-c", 'exec "$@" >&-', "tolvane", *args]
        stdout = None
    elif output == "reader gone":
        stdout = _closed_pipe()
    else:
        stdout = open(output, "wb")
    try:
        done = subprocess.run(args, cwd=tmp_path, env=_env(), stdout=stdout, stderr=subprocess.PIPE,
                              timeout=120)
    finally:
        if isinstance(stdout, int):
            os.close(stdout)
        elif stdout is not None:
            stdout.close()
    assert done.returncode == 0, done.stderr
    assert done.stderr == b""
    assert len(tolvane.load_from_file(str(tmp_path / "x.model")).vocab()) > 1
    assert scratch_dirs(tmp_path) == []


# --- paths refused before training ------------------------------------------------------

@pytest.mark.parametrize("output, expected", [
    ("c.txt", "output is the corpus itself: c.txt; training would replace it"),
    ("link.txt", "output is the corpus itself: link.txt; training would replace it"),
    ("newdir/", "output names a directory: newdir/"),
    ("", "the output model name is empty"),
    ("missing/dir/m", "output directory does not exist: missing/dir"),
    ("sub", "output is a directory: sub"),
    ("pipe", "output is a named pipe: pipe"),
])
def test_bad_outputs_are_refused_before_training(tmp_path, output, expected):
    corpus = corpus_text(seed=4).encode()
    (tmp_path / "c.txt").write_bytes(corpus)
    os.link(tmp_path / "c.txt", tmp_path / "link.txt")
    (tmp_path / "sub").mkdir()
    os.mkfifo(tmp_path / "pipe")
    done = run("train", "c.txt", "-o", output, cwd=tmp_path)
    assert one_error_line(done) == f"tolvane: {expected}"
    assert done.stdout == b""  # not a chunk was trained
    assert (tmp_path / "c.txt").read_bytes() == corpus
    assert sorted(os.listdir(tmp_path)) == ["c.txt", "link.txt", "pipe", "sub"]


def test_corpus_that_is_log_txt_is_refused_with_print_logs(tmp_path):
    (tmp_path / "log.txt").write_text(corpus_text(seed=4), encoding="utf-8")
    before = (tmp_path / "log.txt").read_bytes()
    line = one_error_line(run("train", "log.txt", "--print-logs", "-o", "m", cwd=tmp_path))
    assert "the corpus is log.txt" in line
    assert (tmp_path / "log.txt").read_bytes() == before
    assert not (tmp_path / "m").exists()


@pytest.mark.parametrize("args, expected", [
    (["encode", "-m", "/dev/zero", "hi"], "model path is a character device: /dev/zero"),
    (["train", "c.txt", "--from", "/dev/null"], "model path is a character device: /dev/null"),
    (["inspect", "-m", "pipe"], "model path is a named pipe: pipe"),
    (["show", "-m", "pipe", "hi"], "model path is a named pipe: pipe"),
    (["decode", "-m", ".", "1"], "model path is a directory: ."),
])
def test_model_paths_that_are_not_regular_files(tmp_path, args, expected):
    (tmp_path / "c.txt").write_text("the fox", encoding="utf-8")
    os.mkfifo(tmp_path / "pipe")
    assert one_error_line(run(*args, cwd=tmp_path)) == f"tolvane: {expected}"


# --- a corpus that is a stream ------------------------------------------------------------

STREAMS = {
    "-": 'cat c.txt | "$@" train - -o m.bin',
    "/dev/stdin": 'cat c.txt | "$@" train /dev/stdin -o m.bin',
    "process substitution": '"$@" train <(cat c.txt) -o m.bin',
    "named pipe": 'mkfifo p; cat c.txt > p & "$@" train p -o m.bin',
    # A writer that pauses: one read of the pipe would end at the pause.
    "- written in two parts":
        '{ head -c 3000 c.txt; sleep 1; tail -c +3001 c.txt; } | "$@" train - -o m.bin',
    "/dev/stdin from a file": '"$@" train /dev/stdin -o m.bin < c.txt',
}


def test_standard_input_part_read_trains_from_where_it_stands(tmp_path):
    skipped = b"skipped text " * 40
    rest = corpus_text(seed=3).encode()
    (tmp_path / "c.txt").write_bytes(skipped + rest)
    (tmp_path / "rest.txt").write_bytes(rest)
    from_file = train_in_shell('"$@" train rest.txt -o file.bin', tmp_path)
    assert from_file.returncode == 0, from_file.stderr
    # An earlier reader took the first part: the descriptor is left there.
    fd = os.open(tmp_path / "c.txt", os.O_RDONLY)
    try:
        assert os.read(fd, len(skipped)) == skipped
        part_read = subprocess.run([*COMMAND, "train", "-", "-o", "stdin.bin"], cwd=tmp_path, env=_env(),
                                   stdin=fd, capture_output=True, timeout=120)
    finally:
        os.close(fd)
    assert part_read.returncode == 0, part_read.stderr
    assert (tmp_path / "stdin.bin").read_bytes() == (tmp_path / "file.bin").read_bytes()
    assert part_read.stdout.startswith(f"corpus stream copied: {amount(len(rest))} in ".encode())


def train_in_shell(shell, cwd, *args):
    return subprocess.run(["bash", "-c", shell, "tolvane", *COMMAND, *args], cwd=cwd, env=_env(),
                          capture_output=True, timeout=120)


@pytest.mark.parametrize("how", STREAMS)
def test_streamed_corpus_trains_the_model_of_the_file(trained, tmp_path, how):  # noqa: F811
    corpus = corpus_text().encode()  # the text the `trained` model was trained on
    (tmp_path / "c.txt").write_bytes(corpus)
    done = train_in_shell(STREAMS[how], tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "m.bin").read_bytes() == trained[1].read_bytes()
    lines = done.stdout.decode().splitlines()
    if how != "/dev/stdin from a file":  # that one is a regular file
        assert lines.pop(0).startswith(f"corpus stream copied: {amount(len(corpus))} in ")
    # Copied first, the stream is a file of known size: chunks, total and time left as for a file.
    assert lines[0].startswith(f"chunk 1/1 saved: {amount(len(corpus))} of {amount(len(corpus))}, ")
    assert lines[0].endswith(" left") and len(lines) == 2
    assert scratch_dirs(tmp_path) == []


def test_streamed_corpus_is_cut_into_the_chunks_of_the_file(tmp_path, chunk_text):  # noqa: F811
    (tmp_path / "c.txt").write_bytes(chunk_text * 2 + corpus_text(seed=5).encode())
    from_file = train_in_shell('"$@" train c.txt -o file.bin', tmp_path)
    assert from_file.returncode == 0, from_file.stderr
    # Pauses inside the first chunk and right at the border of the second.
    streamed = train_in_shell(f'{{ head -c 1000000 c.txt; sleep 1; head -c {2 * CHUNK_SIZE} c.txt | '
                              f'tail -c +1000001; sleep 1; tail -c +{2 * CHUNK_SIZE + 1} c.txt; }} | '
                              '"$@" train - -o stream.bin', tmp_path)
    assert streamed.returncode == 0, streamed.stderr
    assert (tmp_path / "stream.bin").read_bytes() == (tmp_path / "file.bin").read_bytes()
    saved = [line for line in streamed.stdout.splitlines() if b" saved: " in line]
    assert saved[-1].startswith(b"chunk 3/3")


# --- a full disk --------------------------------------------------------------------------

def test_full_disk_failure_reaches_the_user(tmp_path):
    # A first chunk of a few letters (a small model), then some thousands of
    # new graphemes: the second save needs more room than is left.
    rng = random.Random(1)
    first = "".join(rng.choice("abc ") for _ in range(CHUNK_SIZE)).encode()
    second = "".join(chr(c) for c in range(0x4E00, 0x4E00 + 6000)).encode() * 2
    (tmp_path / "c.txt").write_bytes(first + second)
    with tmpfs(tmp_path / "small", "64k") as small:
        done = run("train", "c.txt", "-o", small / "m.bin", cwd=tmp_path)
        assert done.returncode == 1
        assert done.stdout.startswith(b"chunk 1/2 saved: ")
        assert one_error_line(done) == ("tolvane: training failed in chunk 2: Should work: No space left "
                                        "on device (os error 28, storage full); kept the model saved "
                                        "after chunk 1 at " + str(small / "m.bin"))
        assert set(read_model(str(small / "m.bin")).unicode_lookup) == {"oov", "a", "b", "c", " "}
        assert scratch_dirs(small) == []


def test_full_disk_while_a_stream_is_copied(tmp_path):
    (tmp_path / "c.txt").write_bytes(corpus_text(count=40_000).encode())
    with tmpfs(tmp_path / "small", "64k") as small:
        (small / "m.bin").write_bytes(b"previous")
        done = train_in_shell('cat c.txt | "$@" train - -o small/m.bin', tmp_path)
        assert one_error_line(done) == (f"tolvane: cannot copy the corpus stream into {small}: "
                                        "No space left on device")
        assert (small / "m.bin").read_bytes() == b"previous"
        assert scratch_dirs(small) == []


# --- names that are not UTF-8 ---------------------------------------------------------------

def test_names_that_are_not_utf8(tmp_path):
    folder, corpus, log, page = b"d\xfe", b"c\xff.txt", b"l\xfc.log", b"p\xfb.html"
    work = os.fsencode(tmp_path)
    os.mkdir(os.path.join(work, folder))
    with open(os.path.join(work, corpus), "wb") as f:
        f.write(corpus_text(seed=8).encode())
    model = folder + b"/m\xfd"
    done = run("train", corpus, "-o", model, "--log", log, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1].startswith(b"model saved to " + model + b": 1 chunk")
    assert open(os.path.join(work, log), "rb").read().startswith(b"\n---")
    more = run("train", corpus, "--from", model, "-o", folder + b"/n\xfd", cwd=tmp_path)
    assert more.returncode == 0, more.stderr
    encoded = run("encode", "-m", model, "the fox", cwd=tmp_path)
    assert encoded.returncode == 0, encoded.stderr
    assert run("decode", "-m", model, *encoded.stdout.split(), cwd=tmp_path).stdout == b"the fox\n"
    assert run("inspect", "-m", model, cwd=tmp_path).returncode == 0
    assert run("show", "-m", model, "the fox", "--html", page, cwd=tmp_path).returncode == 0
    assert os.path.getsize(os.path.join(work, page)) > 0


# --- the progress line --------------------------------------------------------------------

def test_status_line_fits_and_rate_holds_within_a_chunk():
    state = RunState(corpus_size=40 * 3_067_833, tokens=12345)
    state.started -= 100.0
    state.feed(b" Saved Successfully ")
    state.feed(b"Finish converting new read chunk to tokens")
    state.feed(b"Token 12344 | Merge (3, 4) | 9 Times | Loop 350")
    now = state.saved_at
    parts = status_parts(state, now)
    whole = "  ".join(parts)
    assert len(whole) > 80
    for width in (10, 30, 60, 79):
        line = fit(parts, width)
        assert len(line) <= width and whole.startswith(line)
    assert fit(parts, 200) == whole
    # Later in the same chunk: the rate is still that of the saved chunks.
    assert state.rate(now + 50.0) == state.rate(now) == pytest.approx(3_067_833 / 100.0, rel=0.01)


def test_live_line_is_cut_to_the_terminal_width(tmp_path):
    (tmp_path / "c.txt").write_text(corpus_text(seed=9), encoding="utf-8")
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 40, 0, 0))
    child = subprocess.Popen([*COMMAND, "train", "c.txt"], cwd=tmp_path, env=_env(),
                             stdout=follower, stderr=subprocess.PIPE)
    os.close(follower)
    out = read_terminal(leader)
    assert child.wait(timeout=60) == 0, child.stderr.read()
    child.stderr.close()
    drawn = [piece for piece in out.decode().split("\r\x1b[K")[1:]]
    assert drawn and all(len(piece.split("\r\n")[0]) < 40 for piece in drawn)
    assert drawn[0].startswith("chunk 1/1")


# --- show: tokens at grapheme borders, as the module encodes ---------------------------------

TRICKY = ["a\u0301" * 50 + "a", "👩‍👩‍👧 x 👍🏽 \U0001F600\u0301\u200d\U0001F600", "🇸🇪🇳🇴🇫 🇦🇧🇨🇩",
          "한국어 ᄀᄀ가각\u11a8 \u1100\u1161\u11a8", "crlf\r\n\r\r\n\n", "\u0600a \u0903x\u0903 \x01\u0301",
          "a\u200d\U0001F600 \u200d\U0001F600", "naïve café"]


def _grapheme_count(text):
    """The module's count of graphemes in `text`: a model that knows only
    "oov" gives one id per grapheme."""
    import tempfile

    with tempfile.NamedTemporaryFile() as f:
        f.write(model_bytes({0: b""}, {}, {"oov": 0}))
        f.flush()
        return len(tolvane.load_from_file(f.name).encode(text))


@pytest.mark.parametrize("text", TRICKY)
def test_show_pieces_are_the_modules_tokens_at_grapheme_borders(trained, text):  # noqa: F811
    data = tolvane.load_from_file(str(trained[1]))
    parts = show.segments(Tokenizer.from_file(str(trained[1])), text)
    assert [token for part in parts for token in part.ids] == data.encode(text)
    assert "".join(part.text for part in parts) == text
    # Cutting the text at the pieces' borders never splits a grapheme.
    assert sum(_grapheme_count(part.text) for part in parts) == _grapheme_count(text)
    assert all(part.kind == ("oov" if part.ids == (0,) else "token") for part in parts)


# --- one set of marks, in a font a fresh Debian has --------------------------------------------

def test_demo_shows_the_marks_inspect_and_show_use():
    import importlib.util
    found = importlib.util.spec_from_file_location(
        "demo", os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "demo.py"))
    demo = importlib.util.module_from_spec(found)
    found.loader.exec_module(demo)
    text = "a b\tc\r\nd\n"
    assert demo.visible(text) == visible_text(text) == "a\u2423b\u21e5c\u21e4\u21b5d\u21b5"


def test_html_page_marks_are_in_debians_default_font():
    page = show.render_html([show.Segment((1,), "a b\tc\r\n\u200b")], "a b\tc\r\n\u200b")
    marks = re.findall(r'<span class="mark">(.*?)</span>', page)
    assert marks == ["\u21e4", "\u21b5", "&lt;U+200B&gt;"]
    assert set(SYMBOLS.values()) == {"\u2423", "\u21e5", "\u21e4", "\u21b5"}
    try:
        families = {mark: subprocess.run(["fc-list", f":charset={ord(mark):x}", "family"],
                                         capture_output=True, text=True, timeout=60).stdout
                    for mark in SYMBOLS.values()}
    except FileNotFoundError:
        pytest.skip("fontconfig is not installed")
    if "DejaVu Sans Mono" not in subprocess.run(["fc-list"], capture_output=True, text=True).stdout:
        pytest.skip("DejaVu is not installed")
    for mark, found in families.items():
        assert "DejaVu Sans Mono" in found, f"U+{ord(mark):04X} is not in DejaVu Sans Mono"
