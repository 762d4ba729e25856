"""The files around a corpus encode: outputs that are no regular files, links,
a full disk, and paragraphs longer than a block."""

import io
import os
import random
import re
import resource
import signal
import socket
import stat
import subprocess
import sys

import pytest

from conftest import graphemes_model, write_model
from test_cli import _env

from tolvane_tools import corpus
from tolvane_tools.corpus import parse_split, read_batches
from tolvane_tools.idsfile import IdsWriter, read_ids, write_ids

OLD = b"old ids"


def special(folder, kind: str, name: str) -> str:
    """Makes a file that is no regular file at folder/name."""
    path = os.path.join(folder, name)
    if kind == "device":
        if os.geteuid() != 0:
            pytest.skip("making a device node needs root")
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # what /dev/null is
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(path)
        listener.close()
    elif kind == "directory":
        os.mkdir(path)
    return path


KINDS = {"device": stat.S_ISCHR, "fifo": stat.S_ISFIFO, "socket": stat.S_ISSOCK,
         "directory": stat.S_ISDIR}


@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("which", ["bin", "idx"])
def test_an_output_that_is_no_regular_file_is_refused_before_anything_is_written(
        tmp_path, kind, which):
    (tmp_path / "out.bin").write_bytes(OLD)
    target = special(tmp_path, kind, f"out.{which}") if which == "idx" else None
    if which == "bin":
        os.unlink(tmp_path / "out.bin")
        target = special(tmp_path, kind, "out.bin")
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(OSError, match=re.escape(f"out.{which}")) as caught:
        write_ids(tmp_path / "out.bin", [[1, 2]])
    assert ".part" not in str(caught.value)
    assert sorted(os.listdir(tmp_path)) == before
    assert KINDS[kind](os.lstat(target).st_mode)
    if which == "idx":
        assert (tmp_path / "out.bin").read_bytes() == OLD


@pytest.mark.parametrize("name,message", [
    ("", "the output name is empty"),
    ("x.bin/", "output names a directory: x.bin/"),
    ("missing/x.bin", "output directory does not exist: missing"),
])
def test_names_that_cannot_take_a_file_are_refused_by_their_own_name(tmp_path, monkeypatch,
                                                                      name, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError, match=re.escape(message)):
        IdsWriter(name)
    assert os.listdir(tmp_path) == []
    # An empty name once put its temporary file beside the current folder.
    assert not [n for n in os.listdir(tmp_path.parent) if n.startswith(f".{tmp_path.name}.")]


def test_a_link_is_written_through_to_its_target(tmp_path):
    real = tmp_path / "real"
    real.mkdir()
    (real / "ids.bin").write_bytes(OLD)
    os.symlink("real/ids.bin", tmp_path / "out.bin")
    os.symlink(real / "not-yet.idx", tmp_path / "out.idx")  # dangling: made by the write
    write_ids(tmp_path / "out.bin", [[1, 2], [3]])
    assert os.path.islink(tmp_path / "out.bin") and os.path.islink(tmp_path / "out.idx")
    assert read_ids(tmp_path / "out.bin") == [[1, 2], [3]]
    assert sorted(os.listdir(real)) == ["ids.bin", "not-yet.idx"]
    (tmp_path / "one.bin").write_bytes(OLD)
    os.symlink("one.bin", tmp_path / "one.idx")
    with pytest.raises(OSError, match="one.bin and .*one.idx are one file"):
        write_ids(tmp_path / "one.bin", [[1]])
    assert (tmp_path / "one.bin").read_bytes() == OLD


def _limited_file_size(limit: int):
    def set_limit():
        # Writing past the limit then fails with EFBIG, as on a full disk,
        # instead of killing the process.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return set_limit


WRITE_IN_A_BLOCK = """
import sys
from tolvane_tools.idsfile import IdsWriter
try:
    with IdsWriter("out.bin") as writer:
        writer.write_documents([[7] * 100] * int(sys.argv[1]))
except OSError as error:
    print(error)
"""


@pytest.mark.parametrize("documents", [2, 200])  # fails at the commit, and at a write
def test_a_full_disk_leaves_no_temporary_file(tmp_path, documents):
    (tmp_path / "out.bin").write_bytes(OLD)
    done = subprocess.run([sys.executable, "-c", WRITE_IN_A_BLOCK, str(documents)], cwd=tmp_path,
                          capture_output=True, env=_env(), timeout=60,
                          preexec_fn=_limited_file_size(300))
    assert done.returncode == 0, done.stderr
    assert "File too large: 'out." in done.stdout.decode()
    assert sorted(os.listdir(tmp_path)) == ["out.bin"]
    assert (tmp_path / "out.bin").read_bytes() == OLD


def test_a_full_disk_stops_encode_in_one_line_naming_the_output(tmp_path):
    write_model(tmp_path / "model.bin", *graphemes_model(["a", "b"], {}))
    (tmp_path / "corpus.txt").write_bytes(b"ab\n" * 20_000)
    done = subprocess.run([sys.executable, "-m", "tolvane_tools", "encode", "-m", "model.bin",
                           "-f", "corpus.txt", "-o", "out.bin"], cwd=tmp_path,
                          capture_output=True, env=_env(), timeout=60,
                          preexec_fn=_limited_file_size(70_000))
    assert done.returncode == 1
    assert done.stderr.decode().splitlines() == ["tolvane: out.bin: File too large"]
    assert sorted(os.listdir(tmp_path)) == ["corpus.txt", "model.bin"]


class _CountingPattern:
    """Stands for the paragraph separator pattern, counting the characters
    it is asked to search."""

    def __init__(self, pattern):
        self.pattern = pattern
        self.searched = 0

    def split(self, text):
        self.searched += len(text)
        return self.pattern.split(text)


def test_a_long_paragraph_is_searched_once(monkeypatch):
    counting = _CountingPattern(corpus._PARAGRAPH_END)
    monkeypatch.setattr(corpus, "_PARAGRAPH_END", counting)
    line = b"no blank line in this paragraph\n"
    data = line * 2000 + b"\n" + line * 3
    batches = list(read_batches(io.BytesIO(data), parse_split("paragraphs"), "corpus", 256))
    assert [d for b in batches for d in b.documents] == \
        [(line * 2000)[:-1].decode(), (line * 3)[:-1].decode()]
    assert sum(b.raw_bytes for b in batches) == len(data)
    # Each block once, with one carried line feed in front: not the open
    # paragraph again for every block (about 128 times the input here).
    assert counting.searched <= len(data) + len(data) // 256 + 1


@pytest.mark.parametrize("seed", range(12))
def test_paragraphs_do_not_depend_on_where_blocks_end(seed):
    rng = random.Random(seed)
    pieces = ["a", "bc", " ", "\t", "\n", "\n", "\r\n", "\r", "\r\r", "é", "\n \n", "\n\n", "👍"]
    data = "".join(rng.choice(pieces) for _ in range(400)).encode("utf-8")
    split = parse_split("paragraphs")

    def documents(block_size):
        batches = list(read_batches(io.BytesIO(data), split, "corpus", block_size))
        assert sum(b.raw_bytes for b in batches) == len(data)
        return [d for b in batches for d in b.documents]

    expected = reference_paragraphs(data.decode("utf-8"))
    for block_size in (1, 2, 5, 16, 64, 1 << 20):
        assert documents(block_size) == expected


def reference_paragraphs(text: str) -> list[str]:
    """The paragraphs of a whole text, by the rule itself: pieces between
    separators (a line feed and blank lines), without leading blank lines,
    the CR of a piece's last CR LF, or the final line ending with the blank
    lines after it; blank pieces are none."""
    pieces = re.split(r"\n(?:[ \t\r]*\n)+", text)
    pieces[0] = re.sub(r"\A(?:[ \t\r]*\n)+", "", pieces[0])
    pieces[:-1] = [p[:-1] if p.endswith("\r") else p for p in pieces[:-1]]
    pieces[-1] = re.sub(r"(?:\r?\n[ \t\r]*)+\Z", "", pieces[-1])
    return [p for p in pieces if p.strip(" \t\r\n")]


@pytest.fixture
def model(tmp_path):
    return write_model(tmp_path / "model.bin", *graphemes_model(["a", "b", "c", " "], {(1, 2): 5}))


def encode(cwd, *args, redirect="", stdin=None):
    """`tolvane encode -m model.bin ARGS` through a shell, so that its
    standard streams can be closed or pointed anywhere by `redirect`."""
    command = [sys.executable, "-m", "tolvane_tools", "encode", "-m", "model.bin", *args]
    return subprocess.run(["sh", "-c", f'exec "$@" {redirect}', "sh", *command], cwd=cwd,
                          stdin=stdin, capture_output=True, env=_env(), timeout=120)


def listing(folder):
    return {name: os.lstat(os.path.join(folder, name)).st_mode for name in os.listdir(folder)}


@pytest.mark.parametrize("make,output,message", [
    (lambda d: special(d, "device", "devnull"), "devnull", "output is a character device: devnull"),
    (lambda d: special(d, "fifo", "fifo.bin"), "fifo.bin", "output is a named pipe: fifo.bin"),
    (lambda d: special(d, "fifo", "out.idx"), "out.bin", "output is a named pipe: out.idx"),
    (lambda d: special(d, "directory", "out.idx"), "out.bin", "output is a directory: out.idx"),
    (lambda d: None, "", "the output name is empty"),
    (lambda d: None, "x.bin/", "output names a directory: x.bin/"),
])
def test_encode_refuses_outputs_it_would_replace_in_one_line(tmp_path, model, make, output,
                                                             message):
    (tmp_path / "c.txt").write_bytes(b"abc\n")
    (tmp_path / "out.bin").write_bytes(OLD)
    make(tmp_path)
    before = listing(tmp_path)
    done = encode(tmp_path, "-f", "c.txt", "-o", output)
    assert done.returncode == 1
    assert done.stderr.decode().splitlines() == [f"tolvane: {message}"]
    assert listing(tmp_path) == before
    assert (tmp_path / "out.bin").read_bytes() == OLD
@pytest.mark.parametrize("output", ["c2.txt", "c2.bin"])
def test_a_corpus_on_standard_input_is_not_overwritten(tmp_path, model, output):
    # c2.bin's index is c2.idx: both outputs are compared with the input.
    name = "c2.txt" if output == "c2.txt" else "c2.idx"
    (tmp_path / name).write_bytes(b"abc\nab\n")
    with open(tmp_path / name, "rb") as corpus_file:
        done = encode(tmp_path, "-f", "-", "-o", output, stdin=corpus_file)
    assert done.returncode == 1
    assert done.stderr.decode() == f"tolvane: the output {name} is the corpus (standard input); " \
                                   "choose another name\n"
    assert (tmp_path / name).read_bytes() == b"abc\nab\n"
    assert sorted(os.listdir(tmp_path)) == sorted(["model.bin", name])


@pytest.mark.parametrize("redirect", ["2>&-", ">&-", ">/dev/full", "2>/dev/full"])
def test_closed_or_full_standard_streams_do_not_fail_a_finished_encode(tmp_path, model,
                                                                       redirect):
    (tmp_path / "c.txt").write_bytes(b"abc ab\n" * 100)
    done = encode(tmp_path, "-f", "c.txt", "-o", "out.bin", redirect=redirect)
    assert done.returncode == 0, done.stderr
    assert len(read_ids(tmp_path / "out.bin")) == 100
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".part")]


def test_an_error_with_standard_error_closed_goes_nowhere_else(tmp_path, model):
    # print(file=None) writes to standard output, where the ids may go.
    (tmp_path / "c.txt").write_bytes(b"abc\n")
    done = encode(tmp_path, "-f", "c.txt", "-o", "", redirect="2>&-")
    assert (done.returncode, done.stdout) == (1, b"")


def test_a_closed_standard_input_is_no_corpus(tmp_path, model):
    done = encode(tmp_path, "-f", "-", "-o", "out.bin", redirect="<&-")
    assert done.returncode == 1
    assert done.stderr.decode() == "tolvane: standard input is closed; there is no corpus to read\n"
    assert sorted(os.listdir(tmp_path)) == ["model.bin"]


def test_encode_errors_name_the_grapheme_and_the_line(tmp_path):
    lookup, merges, unicode_lookup = graphemes_model(["a", "b"], {})
    del unicode_lookup["oov"]
    write_model(tmp_path / "model.bin", lookup, merges, unicode_lookup)
    done = encode(tmp_path, "--mode", "ranked", "abx")
    assert done.returncode == 1
    assert done.stderr.decode().startswith('tolvane: cannot encode: unknown grapheme "x" (U+0078)')
    (tmp_path / "c.jsonl").write_text('{"t": "ab"}\n\n{"t": "ax"}\n', encoding="utf-8")
    done = encode(tmp_path, "-f", "c.jsonl", "-o", "out.bin", "--split", "jsonl:t")
    assert done.returncode == 1
    assert done.stderr.decode().startswith("tolvane: cannot encode c.jsonl: line 3: unknown grapheme")


FROM_FILE = """
import resource, sys
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))  # /dev/zero read whole: MemoryError
from tolvane_tools import Tokenizer
try:
    Tokenizer.from_file(sys.argv[1])
except OSError as error:
    print(type(error).__name__, error)
"""


@pytest.mark.parametrize("kind,message", [
    ("device", "OSError model path is a character device: "),
    ("fifo", "OSError model path is a named pipe: "),
    ("socket", "OSError model path is a socket: "),
])
def test_a_tokenizer_is_read_from_regular_files_only(tmp_path, kind, message):
    path = "/dev/zero" if kind == "device" else special(tmp_path, kind, "model")
    # A child, with a timeout: a named pipe without a writer blocked the read.
    done = subprocess.run([sys.executable, "-c", FROM_FILE, path], capture_output=True,
                          env=_env(), timeout=60)
    assert done.stdout.decode() == f"{message}{path}\n", done.stderr


def test_save_writes_through_a_link_and_refuses_what_it_would_replace(tmp_path):
    from tolvane_tools import Tokenizer

    tok = Tokenizer.from_bytes(write_model_bytes := open(write_model(
        tmp_path / "model.bin", *graphemes_model(["a"], {})), "rb").read())
    (tmp_path / "real").mkdir()
    os.symlink("real/saved.model", tmp_path / "link")
    tok.save(tmp_path / "link")
    assert os.path.islink(tmp_path / "link")
    assert (tmp_path / "real" / "saved.model").read_bytes() == write_model_bytes
    for kind in ("device", "fifo", "socket"):
        target = special(tmp_path, kind, f"{kind}-node")
        os.symlink(target, tmp_path / f"{kind}-link")
        for name in (f"{kind}-node", f"{kind}-link"):
            with pytest.raises(OSError, match=f"output is {re.escape(kind_words[kind])}: .*{name}"):
                tok.save(tmp_path / name)
        assert KINDS[kind](os.lstat(target).st_mode)
    assert not [n for n in os.listdir(tmp_path) if n.startswith(".")]


kind_words = {"device": "a character device", "fifo": "a named pipe", "socket": "a socket"}


def test_the_export_writes_through_a_link_and_refuses_a_pipe(tmp_path):
    from tolvane_tools import Tokenizer

    tok = Tokenizer.from_file(write_model(tmp_path / "model.bin", *graphemes_model(["a", "b"],
                                                                                  {(1, 2): 3})))
    os.symlink("exported.json", tmp_path / "tokenizer.json")
    tok.to_huggingface(tmp_path / "tokenizer.json")
    assert os.path.islink(tmp_path / "tokenizer.json")
    assert (tmp_path / "exported.json").read_text(encoding="utf-8").startswith("{")
    special(tmp_path, "fifo", "pipe.json")
    with pytest.raises(OSError, match="output is a named pipe: .*pipe.json"):
        tok.to_huggingface(tmp_path / "pipe.json")
    assert stat.S_ISFIFO(os.lstat(tmp_path / "pipe.json").st_mode)
    assert not [n for n in os.listdir(tmp_path) if n.startswith(".")]


@pytest.mark.parametrize("sized", [[], ["--vocab-size", "300"]], ids=["chunked", "sized"])
@pytest.mark.parametrize("dangling", [False, True])
def test_train_writes_through_a_link_to_another_folder(tmp_path, sized, dangling):
    (tmp_path / "c.txt").write_text("the quick brown fox jumps over the lazy dog\n" * 200)
    real = tmp_path / "real"
    real.mkdir()
    if not dangling:
        (real / "m.model").write_bytes(OLD)
    os.symlink(real / "m.model", tmp_path / "link.model")
    done = subprocess.run([sys.executable, "-m", "tolvane_tools", "train", "c.txt", *sized, "-o", "link.model"],
                          cwd=tmp_path, capture_output=True, env=_env(), timeout=120)
    assert done.returncode == 0, done.stderr
    assert os.path.islink(tmp_path / "link.model")
    assert os.listdir(real) == ["m.model"] and (real / "m.model").read_bytes() != OLD
    assert sorted(os.listdir(tmp_path)) == ["c.txt", "link.model", "real"]  # no scratch left behind
    # A link into a folder that does not exist is refused before training.
    os.symlink(tmp_path / "gone" / "m.model", tmp_path / "gone.model")
    done = subprocess.run([sys.executable, "-m", "tolvane_tools", "train", "c.txt", *sized, "-o", "gone.model"],
                          cwd=tmp_path, capture_output=True, env=_env(), timeout=120)
    assert done.returncode != 0
    assert done.stderr.decode() == f"tolvane: output directory does not exist: {tmp_path / 'gone'}\n"


@pytest.mark.parametrize("damage, message", [
    (lambda b, i: (b + b"\x01", i), r"out\.bin is cut short: 7 bytes are no whole number of uint16 ids"),
    (lambda b, i: (b, i[:-3]), r"out\.idx is cut short: 21 bytes are no whole number of uint64 offsets"),
    (lambda b, i: (b[:-2], i), r"out\.idx does not index .*out\.bin"),
    (lambda b, i: (b, b""), r"out\.idx does not index .*out\.bin"),
])
def test_read_ids_names_the_file_that_does_not_fit(tmp_path, damage, message):
    write_ids(tmp_path / "out.bin", [[1, 2], [3]])
    ids, index = damage((tmp_path / "out.bin").read_bytes(), (tmp_path / "out.idx").read_bytes())
    (tmp_path / "out.bin").write_bytes(ids)
    (tmp_path / "out.idx").write_bytes(index)
    with pytest.raises(ValueError, match=message):
        read_ids(tmp_path / "out.bin")
