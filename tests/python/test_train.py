"""Data.train: console lines, training logs, the saved model, and failures."""

import os
import select
import signal
import subprocess
import sys

import pytest

import tolvane
from conftest import EMPTY_MODEL, raises_panic

CHUNK = 3_067_833
BANNER = "-" * 45 + " \n Saved Successfully \n" + "-" * 45 + "\n"
SEPARATOR = "\n" + "-" * 83 + "\n"
STARTED = "Started \n "
BEGIN = "Just Started\nFinish converting new read chunk to tokens\n"
MISS = "Failed to find a match between the max occur with already learned | Failed Count "

# "abc" twelve times: oov is 0, a b c are 1 2 3; (1,2) wins its tie with (2,3).
CORPUS = b"abc" * 12


def corpus_lines(first):
    """The learning lines of CORPUS when merged tokens start at id `first`."""
    return (f"Token {first} | Merge (1, 2) | 12 Times | Loop 0\n"
            f"Token {first + 1} | Merge ({first}, 3) | 12 Times | Loop 1\n"
            f"Token {first + 2} | Merge ({first + 1}, {first + 1}) | 11 Times | Loop 2\n")


CORPUS_LINES = corpus_lines(4)
CORPUS_TEXTS = ["", "a", "b", "c", "ab", "abc", "abcabc"]


@pytest.fixture
def work(tmp_path, monkeypatch):
    """A working directory of its own: "tokenizer" and "log.txt" land there."""
    folder = tmp_path / "work"
    folder.mkdir()
    monkeypatch.chdir(folder)
    return folder


@pytest.fixture
def fresh(tmp_path):
    (tmp_path / "empty.model").write_bytes(EMPTY_MODEL)
    return tolvane.load_from_file(str(tmp_path / "empty.model"))


def texts(data):
    return [data.decode([i]) for i in data.vocab()]


def padded(prefix, size, tail=b""):
    """`prefix`, a line feed, then one long grapheme ("x" and combining acute
    accents) so the file is `size` bytes before `tail`; the long grapheme
    occurs once, so it adds nothing to learn."""
    head = prefix + b"\n" + b"x"
    marks, odd = divmod(size - len(head), 2)
    return head + b"\xcc\x81" * marks + b"\n" * odd + tail


class TestOutputs:
    def test_one_chunk_prints_its_lines_in_order(self, work, fresh, capfd):
        (work / "corpus.txt").write_bytes(CORPUS)
        assert fresh.train("corpus.txt", False, "train.log") is None
        assert capfd.readouterr().out == BEGIN + CORPUS_LINES + BANNER

    def test_empty_training_file_saves_nothing(self, work, fresh, capfd):
        (work / "corpus.txt").write_bytes(b"")
        fresh.train("corpus.txt", False, "train.log")
        assert capfd.readouterr().out == "Just Started\n"
        assert not (work / "tokenizer").exists()
        assert (work / "train.log").read_bytes() == b""

    def test_second_call_reuses_what_the_first_learned(self, work, fresh, capfd):
        (work / "corpus.txt").write_bytes(CORPUS)
        fresh.train("corpus.txt", False, "train.log")
        capfd.readouterr()
        os.remove("tokenizer")
        fresh.train("corpus.txt", False, "train.log")
        # No learned-merge pass on the first chunk of a call; the learning
        # loop meets only known merges.
        assert capfd.readouterr().out == (BEGIN + "No News Loop count is 4\nNo News Loop count is 5\n"
                                          "No News Loop count is 6\n" + BANNER)
        assert texts(tolvane.load_from_file("tokenizer")) == CORPUS_TEXTS


class TestLogs:
    @pytest.mark.parametrize("print_logs", [False, True])
    def test_logs_file_and_log_txt(self, work, fresh, print_logs):
        (work / "corpus.txt").write_bytes(CORPUS)
        (work / "train.log").write_text("old contents")
        (work / "log.txt").write_text("earlier run\n")
        fresh.train("corpus.txt", print_logs, "train.log")
        if print_logs:
            assert (work / "train.log").read_text() == STARTED
            assert (work / "log.txt").read_text() == "earlier run\n" + CORPUS_LINES + SEPARATOR
        else:
            assert (work / "train.log").read_text() == SEPARATOR
            assert (work / "log.txt").read_text() == "earlier run\n"

    def test_logs_file_named_log_txt_is_emptied_then_appended_to(self, work, fresh):
        (work / "corpus.txt").write_bytes(CORPUS)
        (work / "log.txt").write_text("earlier run\n")
        fresh.train("corpus.txt", True, "log.txt")
        assert (work / "log.txt").read_text() == STARTED + CORPUS_LINES + SEPARATOR

    @pytest.mark.parametrize("print_logs", [False, True])
    def test_empty_training_file_logs(self, work, fresh, print_logs):
        (work / "corpus.txt").write_bytes(b"")
        fresh.train("corpus.txt", print_logs, "train.log")
        assert (work / "train.log").read_text() == (STARTED if print_logs else "")


class TestModelFile:
    def test_saved_model_loads_and_round_trips(self, work, fresh):
        text = "Grapheme tokens: e\u0301, 👩‍👩‍👧, 🇸🇪 and CR LF\r\n stay whole. " * 20
        (work / "corpus.txt").write_text(text, encoding="utf-8")
        fresh.train("corpus.txt", False, "train.log")
        saved = tolvane.load_from_file("tokenizer")
        assert saved.vocab() == fresh.vocab() == list(range(len(saved.vocab())))
        assert texts(saved) == texts(fresh)
        for sample in [text, "e\u0301🇸🇪", "whole. Grapheme", "\r\n"]:
            assert saved.decode(saved.encode(sample)) == sample
        # Merges shorten the text: far fewer ids than graphemes.
        assert len(saved.encode(text)) < len(text) // 4

    def test_exact_model_of_the_corpus(self, work, fresh):
        (work / "corpus.txt").write_bytes(CORPUS)
        fresh.train("corpus.txt", False, "train.log")
        saved = tolvane.load_from_file("tokenizer")
        assert texts(saved) == CORPUS_TEXTS
        assert saved.encode("abcabcab") == [6, 4]
        # The file: 7 lookup entries, 3 merges, 4 unicode_lookup entries.
        size = 24 + 10 * 7 + sum(map(len, CORPUS_TEXTS)) + 6 * 3 + 10 * 4 + len("oovabc")
        assert os.path.getsize("tokenizer") == size
        assert sorted(os.listdir(work)) == ["corpus.txt", "tokenizer", "train.log"]


class TestChunks:
    @pytest.mark.parametrize("text", ["a", "\r\n", "e\u0301\u0301", "👩‍👩‍👧"])
    def test_a_chunk_of_one_grapheme_is_saved_and_the_run_goes_on(self, work, fresh, capfd, text):
        (work / "corpus.txt").write_text(text, encoding="utf-8")
        fresh.train("corpus.txt", False, "train.log")
        assert capfd.readouterr().out == BEGIN + BANNER
        assert (work / "train.log").read_text() == SEPARATOR
        assert texts(tolvane.load_from_file("tokenizer")) == ["", text]

    def test_exactly_one_chunk(self, work, fresh, capfd):
        (work / "corpus.txt").write_bytes(padded(CORPUS, CHUNK))
        assert os.path.getsize("corpus.txt") == CHUNK
        fresh.train("corpus.txt", False, "train.log")
        # The line feed and the long grapheme take the ids 4 and 5.
        assert capfd.readouterr().out == BEGIN + corpus_lines(6) + BANNER
        assert (work / "train.log").read_text() == SEPARATOR

    def test_one_byte_more_is_a_second_chunk_that_learns_nothing(self, work, fresh, capfd):
        (work / "corpus.txt").write_bytes(padded(CORPUS, CHUNK, b"y"))
        fresh.train("corpus.txt", False, "train.log")
        second = "Finish converting new read chunk to tokens\n" + BANNER
        assert capfd.readouterr().out == BEGIN + corpus_lines(6) + BANNER + second
        assert (work / "train.log").read_text() == SEPARATOR * 2
        saved = tolvane.load_from_file("tokenizer")
        assert saved.decode(saved.encode("yabc")) == "yabc"

    def test_a_character_cut_by_the_border_is_replaced_on_both_sides(self, work, fresh, capfd):
        # "é" (C3 A9) starts on the last byte of the first chunk.
        (work / "corpus.txt").write_bytes(padded(CORPUS, CHUNK - 1, "ézz".encode()))
        fresh.train("corpus.txt", False, "train.log")
        out = capfd.readouterr().out
        # The second chunk is U+FFFD z z: two misses, then no pair is left.
        assert out.endswith("Finish converting new read chunk to tokens\n" + BANNER)
        assert f"{BANNER}{MISS}1\n{MISS}2\nFinish converting" in out
        saved = tolvane.load_from_file("tokenizer")
        assert saved.encode("é") == [0]
        assert saved.decode(saved.encode("\ufffdzz")) == "\ufffdzz"


@pytest.mark.parametrize("print_logs", [False, True])
@pytest.mark.parametrize("train_file, logs_file, message", [
    ("missing.txt", "train.log", "Train File Not Existed: No such file or directory (os error 2, not found)"),
    ("corpus.txt/inside", "train.log", "Train File Not Existed: Not a directory (os error 20, not a directory)"),
    ("corpus.txt", "folder", "To Work: Is a directory (os error 21, is a directory)"),
    ("folder", "train.log", "To Work: Is a directory (os error 21, is a directory)"),
    ("corpus.txt", "corpus.txt", "To Work: the logs file is the training file itself"),
    ("corpus.txt", "folder/../link.txt", "To Work: the logs file is the training file itself"),
    ("corpus.txt", "nul\0name", "To Work: the path holds a NUL byte"),
    ("nul\0name", "train.log", "Train File Not Existed: the path holds a NUL byte"),
])
def test_failures(work, fresh, print_logs, train_file, logs_file, message):
    (work / "corpus.txt").write_bytes(CORPUS)
    os.link("corpus.txt", "link.txt")
    (work / "folder").mkdir()
    with raises_panic() as info:
        fresh.train(train_file, print_logs, logs_file)
    assert str(info.value).startswith(message)
    assert info.value.args == (str(info.value),)
    assert (work / "corpus.txt").read_bytes() == CORPUS
    assert fresh.vocab() == [0]  # the oov token is reserved before anything fails
    if train_file in ("missing.txt", "nul\0name"):
        assert (work / "train.log").read_text() == (STARTED if print_logs else "")
        assert (work / "log.txt").exists() == print_logs


def test_unreadable_training_file(work, fresh):
    if os.geteuid() == 0:
        pytest.skip("root reads files whatever their permission bits say")
    (work / "corpus.txt").write_bytes(CORPUS)
    os.chmod("corpus.txt", 0)
    with raises_panic(match="^Train File Not Existed: Permission denied"):
        fresh.train("corpus.txt", False, "train.log")


@pytest.mark.parametrize("print_logs, message", [
    (False, "To Work: No space left on device (os error 28, storage full)"),
    (True, "Logs File throws an error To Work: No space left on device (os error 28, storage full)"),
])
def test_full_logs_file(work, fresh, print_logs, message):
    (work / "corpus.txt").write_bytes(CORPUS)
    with raises_panic() as info:
        fresh.train("corpus.txt", print_logs, "/dev/full")
    assert str(info.value) == message
    # Without print_logs the separator is what fails, after the save.
    assert (work / "tokenizer").exists() == (not print_logs)
    assert len(fresh.vocab()) == (7 if not print_logs else 1)


def test_log_txt_that_cannot_be_opened(work, fresh):
    (work / "corpus.txt").write_bytes(CORPUS)
    (work / "log.txt").mkdir()
    with raises_panic(match=r"^To Work: Is a directory \(os error 21"):
        fresh.train("corpus.txt", True, "train.log")
    assert (work / "train.log").read_text() == STARTED


def test_failed_save_leaves_no_temporary_file(work, fresh):
    (work / "corpus.txt").write_bytes(CORPUS)
    (work / "tokenizer").mkdir()
    (work / "tokenizer" / "keep").write_text("x")
    with raises_panic(match="^Should work: "):
        fresh.train("corpus.txt", False, "train.log")
    assert sorted(os.listdir(work)) == ["corpus.txt", "tokenizer", "train.log"]
    assert fresh.vocab() == list(range(7))  # what was learned stays in memory
    assert texts(fresh) == CORPUS_TEXTS


@pytest.mark.parametrize("save_fails", [False, True])
def test_encode_after_train_uses_what_was_learned(work, fresh, save_fails):
    # Encoding keeps lookups made from the model; training must not leave
    # them stale, whether or not its save succeeds.
    (work / "corpus.txt").write_bytes(CORPUS)
    assert fresh.encode("") == []
    with raises_panic(match="Option::unwrap"):
        fresh.encode("abc")
    if save_fails:
        (work / "tokenizer").mkdir()
        with raises_panic(match="^Should work: "):
            fresh.train("corpus.txt", False, "train.log")
    else:
        fresh.train("corpus.txt", False, "train.log")
    assert fresh.encode("abcabcab") == [6, 4]
    assert fresh.encode("cab") == [3, 4]


def _run_script(work, script):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", script], cwd=work, env=env,
                          capture_output=True, text=True, timeout=120)


def test_closed_standard_output_does_not_stop_the_run(work):
    (work / "empty.model").write_bytes(EMPTY_MODEL)
    (work / "corpus.txt").write_bytes(CORPUS)
    # With descriptor 1 closed, the logs file would be given number 1; the
    # console lines must still not end up in it.
    done = _run_script(work, "import os, tolvane\n"
                             "data = tolvane.load_from_file('empty.model')\n"
                             "os.close(1)\n"
                             "data.train('corpus.txt', False, 'train.log')\n"
                             "os.write(2, b'finished')\n")
    assert done.returncode == 0, done.stderr
    assert "finished" in done.stderr
    assert (work / "train.log").read_text() == SEPARATOR
    assert texts(tolvane.load_from_file(str(work / "tokenizer"))) == CORPUS_TEXTS


def test_interrupt_while_waiting_for_input_keeps_the_saved_chunk(work, fresh):
    os.mkfifo("corpus.txt")
    # The writer sends one chunk, waits until it is saved, then interrupts
    # the run while it waits for more input.
    writer = subprocess.Popen(["sh", "-c",
                               "exec 3>corpus.txt; printf abcabcabcabcabcabcabcabcabcabcabcabc >&3; "
                               "while [ ! -e tokenizer ]; do sleep 0.05; done; sleep 0.3; "
                               f"kill -INT {os.getpid()}; exec sleep 30"],
                              stdin=subprocess.DEVNULL, cwd=work)
    try:
        with pytest.raises(KeyboardInterrupt):
            fresh.train("corpus.txt", False, "train.log")
    finally:
        writer.kill()
        writer.wait()
    assert texts(tolvane.load_from_file("tokenizer")) == CORPUS_TEXTS
    assert (work / "train.log").read_text() == SEPARATOR
    assert fresh.vocab() == list(range(7))


@pytest.mark.parametrize("name", ["log.txt", "hard link", "symbolic link", "by a longer path"])
def test_training_file_that_is_log_txt_is_refused_with_print_logs(work, fresh, name):
    log = b"hello world\n" * 100
    (work / "log.txt").write_bytes(log)
    (work / "train.log").write_bytes(b"kept")
    train_file = {"log.txt": "log.txt", "by a longer path": str(work / "." / "log.txt")}.get(name, "other.txt")
    if name == "hard link":
        os.link("log.txt", "other.txt")
    elif name == "symbolic link":
        os.symlink("log.txt", "other.txt")
    with raises_panic(match='^To Work: the training file is "log.txt", to which this run appends'):
        fresh.train(train_file, True, "train.log")
    # Refused before anything was opened: nothing emptied, nothing written.
    assert (work / "log.txt").read_bytes() == log
    assert (work / "train.log").read_bytes() == b"kept"
    assert not (work / "tokenizer").exists()


def test_training_on_log_txt_without_print_logs_reads_it_as_any_file(work, fresh, capfd):
    (work / "log.txt").write_bytes(CORPUS)
    fresh.train("log.txt", False, "train.log")
    assert (work / "log.txt").read_bytes() == CORPUS
    assert texts(fresh) == CORPUS_TEXTS


# Ctrl-C reaches a run that waits in open() for the other end of a named pipe.
# The child keeps being interrupted until it reports how the call ended, so
# a signal that lands before the wait begins is followed by one that does not.
WAIT_IN_OPEN = r"""
import os, signal, sys
import tolvane
data = tolvane.load_from_file("empty.model")
print("ready", flush=True)
try:
    data.train(sys.argv[1], sys.argv[2] == "1", sys.argv[3])
    outcome = "returned"
except BaseException as error:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    outcome = f"{type(error).__name__}: {error}"
print(outcome, flush=True)
"""


@pytest.mark.parametrize("which, print_logs", [("train", False), ("logs", False), ("logs", True)])
def test_interrupt_while_opening_a_named_pipe_is_keyboard_interrupt(work, which, print_logs):
    (work / "empty.model").write_bytes(EMPTY_MODEL)
    (work / "corpus.txt").write_bytes(CORPUS)
    os.mkfifo("pipe")
    train_file, logs_file = ("pipe", "train.log") if which == "train" else ("corpus.txt", "pipe")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, "-c", WAIT_IN_OPEN, train_file, str(int(print_logs)),
                              logs_file], cwd=work, env=env, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        while not select.select([child.stdout], [], [], 0.3)[0]:
            child.send_signal(signal.SIGINT)
        outcome = child.stdout.readline()
    finally:
        child.kill()
        child.wait()
    assert outcome == "KeyboardInterrupt: \n"
    assert (work / "corpus.txt").read_bytes() == CORPUS
