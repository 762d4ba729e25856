"""load_from_file as Python sees it: what loads, and how refusals arrive."""

import pytest

import tolvane
from conftest import EMPTY_MODEL, graphemes_model, model_bytes, raises_panic, write_model


def test_empty_model(tmp_path):
    path = tmp_path / "empty"
    path.write_bytes(EMPTY_MODEL)
    data = tolvane.load_from_file(str(path))
    assert type(data) is tolvane.Data
    assert data.vocab() == []
    assert data.decode([]) == ""


def test_by_keyword_and_by_position(tmp_path):
    path = write_model(tmp_path / "m", *graphemes_model(["x", "y"]))
    assert tolvane.load_from_file(filename=path).vocab() == tolvane.load_from_file(path).vocab() == [0, 1, 2]


def test_trailing_bytes_are_ignored(tmp_path):
    path = tmp_path / "m"
    path.write_bytes(model_bytes(*graphemes_model(["x", "y"])) + b"\xff" * 17)
    assert tolvane.load_from_file(str(path)).decode([2, 1]) == "yx"


def test_two_loads_are_independent(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    path = write_model(tmp_path / "m", *graphemes_model(["x"]))
    first, second = tolvane.load_from_file(path), tolvane.load_from_file(path)
    assert first is not second
    (tmp_path / "corpus.txt").write_text("hello world " * 50)
    first.train("corpus.txt", False, "train.log")
    assert len(first.vocab()) > len(second.vocab()) == 2


def test_training_result_loads_back(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    data = tolvane.load_from_file(write_model(tmp_path / "m"))
    (tmp_path / "corpus.txt").write_text("the cat sat on the mat, the cat ate " * 40)
    data.train("corpus.txt", False, "train.log")
    again = tolvane.load_from_file("tokenizer")
    ids = data.vocab()
    assert again.vocab() == ids
    assert [again.decode([i]) for i in ids] == [data.decode([i]) for i in ids]


@pytest.mark.parametrize(
    "make, described",
    [
        (lambda d: str(d / "missing"), "No such file or directory (os error 2"),
        (lambda d: str(d), "Is a directory (os error 21"),
        (lambda d: "a\0b", "file name contained an unexpected NUL byte"),
        (lambda d: _file(d, b""), "short input"),
        (lambda d: _file(d, bytes(7)), "short input"),
        (lambda d: _file(d, bytes(8) + bytes(7)), "short input"),
        # a grapheme key that claims more bytes than remain
        (lambda d: _file(d, bytes(16) + (1).to_bytes(8, "little") + (9).to_bytes(8, "little") + b"ab"),
         "short string"),
        (lambda d: _file(d, model_bytes(unicode_lookup={b"\xff": 1})), "invalid text"),
    ],
)
def test_refusals_are_panics(tmp_path, capfd, make, described):
    with raises_panic() as info:
        tolvane.load_from_file(make(tmp_path))
    message = str(info.value)
    assert message.startswith("Should work: ")
    assert described in message
    assert info.value.args == (message,)
    assert not isinstance(info.value, (OSError, Exception))
    # The same message went to standard error, with where it failed.
    err = capfd.readouterr().err
    assert "src/persist/" in err and message in err


def _file(directory, content):
    path = directory / "model"
    path.write_bytes(content)
    return str(path)
