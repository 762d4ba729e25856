"""Re-entry through argument conversion, many levels deep, and the lifetime
of Data objects that are made, used and dropped while calls fail around
them. The single-level cases of the borrow guard are in test_binding.py."""

import gc
import os
import subprocess
import sys

import pytest

import tolvane
from conftest import EMPTY_MODEL, panic_type, raises_panic

MISSING_ID = 999
MISSING_MESSAGE = "This should not happend"


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "empty.txt").write_bytes(b"")
    (tmp_path / "corpus.txt").write_bytes(b"abc" * 12)
    (tmp_path / "empty.model").write_bytes(EMPTY_MODEL)
    return tmp_path


def live_data_objects():
    """Every Data holds a reference to its type, so the type's count moves
    with the number of live instances."""
    gc.collect()
    return sys.getrefcount(tolvane.Data)


class Nested:
    """An id whose __index__ first runs `action` (which may nest further)."""

    def __init__(self, action, value=1):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value


def nest(data, depth, innermost):
    """decode within decode, `depth` levels, each level also asking for the
    vocabulary and an encoding; `innermost` runs at the bottom."""
    seen = []

    def level(k):
        if k == depth:
            return innermost()
        seen.append((data.vocab(), data.encode("abc")))
        return data.decode([Nested(lambda: level(k + 1), 2), 3])

    return level(0), seen


@pytest.mark.parametrize("depth", [1, 25, 150])
def test_nested_shared_calls_at_any_depth(data, workdir, depth):
    result, seen = nest(data, depth, lambda: data.decode([1]))
    assert result == "bc"
    assert seen == [([0, 1, 2, 3, 4], [4, 3])] * depth
    # Every shared borrow of every level has ended.
    assert data.train("empty.txt", False, "l") is None


@pytest.mark.parametrize("depth", [1, 40])
def test_nested_train_is_refused_at_any_depth(data, workdir, depth):
    refused = []

    def innermost():
        try:
            data.train("corpus.txt", False, "l")
        except RuntimeError as e:
            refused.append(str(e))

    nest(data, depth, innermost)
    assert refused == ["Already borrowed"]
    assert data.vocab() == [0, 1, 2, 3, 4]  # nothing was learned by the refused call


def test_other_objects_train_during_a_conversion(data, workdir):
    """The borrow belongs to one object: a whole training run on another
    Data inside decode's conversion works, and both stay usable."""
    other = tolvane.load_from_file("empty.model")
    result, _ = nest(data, 3, lambda: other.train("corpus.txt", False, "l"))
    assert result == "bc"
    assert len(other.vocab()) > 4
    assert other.decode(other.encode("abc" * 12)) == "abc" * 12
    assert tolvane.load_from_file("tokenizer").vocab() == other.vocab()


@pytest.mark.parametrize("depth", [1, 2, 10])
def test_nested_panic_reaches_the_outer_caller(data, workdir, capfd, depth):
    def innermost():
        data.decode([MISSING_ID])

    with raises_panic() as info:
        nest(data, depth, innermost)
    assert info.value.args == (MISSING_MESSAGE,)
    reports = [line for line in capfd.readouterr().err.splitlines()
               if line.startswith("tolvane: internal failure") and line.endswith(": " + MISSING_MESSAGE)]
    # One report for the failure itself, one for each conversion it went through.
    assert len(reports) == depth + 1
    assert data.train("empty.txt", False, "l") is None


def test_panic_caught_inside_a_conversion_does_not_leak_out(data):
    def innermost():
        with raises_panic():
            data.decode([MISSING_ID])

    result, _ = nest(data, 3, innermost)
    assert result == "bc"
    assert data.decode([1, 2]) == "ab"


def test_panic_raised_by_user_code_in_a_conversion(data):
    with raises_panic() as info:
        data.decode([Nested(lambda: (_ for _ in ()).throw(panic_type()("mine")))])
    assert info.value.args == ("mine",)


def test_endless_re_entry_ends_in_recursion_error(tmp_path):
    """decode converting an id that decodes again, without end: the
    interpreter's recursion limit must end it before the C stack runs out."""
    script = (
        "import tolvane, sys\n"
        "d = tolvane.load_from_file(sys.argv[1])\n"
        "class Again:\n"
        "    def __index__(self):\n"
        "        return d.decode([Again()])\n"
        "try:\n"
        "    d.decode([Again()])\n"
        "except RecursionError:\n"
        "    print(d.vocab())\n")
    (tmp_path / "empty.model").write_bytes(EMPTY_MODEL)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path / "empty.model")],
                          capture_output=True, text=True, env=env, timeout=120)
    assert (done.returncode, done.stdout) == (0, "[]\n"), done.stderr[-2000:]


# --- lifetime of Data objects ------------------------------------------------------


def made_and_dropped_in_conversion(data, workdir):
    def action():
        fresh = tolvane.load_from_file("empty.model")
        with raises_panic("^Train File Not Existed"):
            fresh.train("missing.txt", False, "l")
        fresh.train("corpus.txt", False, "l")

    return data.decode([Nested(action)] * 5)


def held_by_a_failing_argument(data, workdir):
    # The only references to the new objects sit in the argument that fails.
    holders = [Nested(lambda: None) for _ in range(20)]
    for h in holders:
        h.model = tolvane.load_from_file("empty.model")
    with raises_panic():
        data.decode([*holders, MISSING_ID])


def kept_alive_by_a_traceback(data, workdir):
    def fail_with_a_local():
        local = tolvane.load_from_file("empty.model")
        local.decode([MISSING_ID])

    try:
        fail_with_a_local()
    except BaseException as e:  # noqa: B036 - PanicException is not an Exception
        kept = e
    assert kept.__traceback__ is not None
    del kept


def failed_loads(data, workdir):
    (workdir / "cut.model").write_bytes(EMPTY_MODEL[:20])
    for _ in range(200):
        with raises_panic("^Should work: "):
            tolvane.load_from_file("cut.model")
        with raises_panic("^Should work: "):
            tolvane.load_from_file("missing.model")


@pytest.mark.parametrize("scenario", [made_and_dropped_in_conversion, held_by_a_failing_argument,
                                      kept_alive_by_a_traceback, failed_loads])
def test_data_objects_are_freed_after_failures(data, workdir, scenario):
    before = live_data_objects()
    scenario(data, workdir)
    assert live_data_objects() == before
    assert data.decode([1, 2, 3]) == "abc"  # the object in use is untouched
