"""Argument binding, argument conversion, the borrow guard and re-entry."""

import gc
import os
import random
import signal
import sys

import pytest

try:
    import numpy
except ImportError:  # the module needs no numpy; only these cases do
    numpy = None

needs_numpy = pytest.mark.skipif(numpy is None, reason="numpy is not installed")

import tolvane
from conftest import raises_panic


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """The working directory of a train call (it writes tokenizer and log.txt there)."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "empty.txt").write_bytes(b"")
    return tmp_path


@pytest.fixture
def corpus(workdir):
    rng = random.Random(7)
    words = ["".join(rng.choice("abcdefgh") for _ in range(rng.randint(2, 6))) for _ in range(80)]
    path = workdir / "corpus.txt"
    # big enough that a run lasts many timer ticks (tens of milliseconds)
    path.write_text(" ".join(rng.choice(words) for _ in range(60000)))
    return str(path)


# --- binding -----------------------------------------------------------------

BINDING_ERRORS = [
    ("train", ("t", True), {}, "Data.train() missing 1 required positional argument: 'logs_file'"),
    ("train", ("t",), {}, "Data.train() missing 2 required positional arguments: 'print_logs' and 'logs_file'"),
    ("train", (), {}, "Data.train() missing 3 required positional arguments: "
                      "'train_file', 'print_logs' and 'logs_file'"),
    ("train", (), {"logs_file": "l"}, "Data.train() missing 2 required positional arguments: "
                                      "'train_file' and 'print_logs'"),
    ("train", (1, 2, 3, 4), {}, "Data.train() takes 3 positional arguments but 4 were given"),
    ("encode", ("a", "b"), {}, "Data.encode() takes 1 positional arguments but 2 were given"),
    ("encode", ("a",), {"st": "b"}, "Data.encode() got multiple values for argument 'st'"),
    ("encode", (), {"s": "a"}, "Data.encode() got an unexpected keyword argument 's'"),
    ("encode", (), {"é": "a"}, "Data.encode() got an unexpected keyword argument 'é'"),
    ("encode", (), {}, "Data.encode() missing 1 required positional argument: 'st'"),
    # Binding comes before conversion: the str is never looked at.
    ("decode", ("12",), {"tokens": [1]}, "Data.decode() got multiple values for argument 'tokens'"),
    # Keywords are taken in call order, so the repeated one is met before the unknown one.
    ("train", ("t",), {"print_logs": True, "train_file": "x", "zzz": 1},
     "Data.train() got multiple values for argument 'train_file'"),
    ("train", ("t",), {"zzz": 1, "train_file": "x"}, "Data.train() got an unexpected keyword argument 'zzz'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(data, method, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(data, method)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "load_from_file() missing 1 required positional argument: 'filename'"),
        (("a", "b"), {}, "load_from_file() takes 1 positional arguments but 2 were given"),
        (("a",), {"filename": "b"}, "load_from_file() got multiple values for argument 'filename'"),
        ((), {"path": "a"}, "load_from_file() got an unexpected keyword argument 'path'"),
    ],
)
def test_load_from_file_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        tolvane.load_from_file(*args, **kwargs)
    assert str(info.value) == message


def test_keywords_and_positions_bind_alike(data, workdir):
    assert data.encode(st="abc") == data.encode("abc")
    assert data.decode(tokens=[1, 2]) == data.decode([1, 2]) == "ab"
    assert data.train(logs_file="l1", train_file="empty.txt", print_logs=False) is None
    assert data.train("empty.txt", logs_file="l2", print_logs=False) is None


# --- conversions ----------------------------------------------------------------


class StrSub(str):
    pass


class MyTypeError(TypeError):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def test_text_accepts_str_subclass(data):
    assert data.encode(StrSub("ab")) == data.encode("ab")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda d: d.encode(b"ab"), "argument 'st': 'bytes' object cannot be converted to 'PyString'"),
        (lambda d: d.train(1, True, "l"), "argument 'train_file': 'int' object cannot be converted to 'PyString'"),
        (lambda d: d.train("t", 1, "l"), "argument 'print_logs': 'int' object cannot be converted to 'PyBool'"),
        (lambda d: d.train("t", 0, "l"), "argument 'print_logs': 'int' object cannot be converted to 'PyBool'"),
        # Converted in parameter order: the first bad one is reported.
        (lambda d: d.train(b"t", 1, b"l"), "argument 'train_file': 'bytes' object cannot be converted to 'PyString'"),
        (lambda d: d.decode("12"), "argument 'tokens': Can't extract `str` to `Vec`"),
        (lambda d: d.decode(StrSub("1")), "argument 'tokens': Can't extract `str` to `Vec`"),
        (lambda d: d.decode({1: 2}), "argument 'tokens': 'dict' object cannot be converted to 'Sequence'"),
        (lambda d: d.decode(i for i in [1]),
         "argument 'tokens': 'generator' object cannot be converted to 'Sequence'"),
        (lambda d: d.decode(5), "argument 'tokens': 'int' object cannot be converted to 'Sequence'"),
        (lambda d: d.decode([1.0]), "argument 'tokens': 'float' object cannot be interpreted as an integer"),
        (lambda d: d.decode([RaisingIndex(TypeError("bad index"))]), "argument 'tokens': bad index"),
    ],
)
def test_type_errors_carry_the_argument_prefix(data, workdir, call, message):
    with pytest.raises(TypeError) as info:
        call(data)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_qualified_type_name_in_messages(data):
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=r"'test_qualified_type_name_in_messages.<locals>.Outer.Inner' object"):
        data.encode(Outer.Inner())


def test_pathlib_path_is_refused(tmp_path):
    with pytest.raises(TypeError) as info:
        tolvane.load_from_file(tmp_path / "model")
    assert str(info.value) == "argument 'filename': 'PosixPath' object cannot be converted to 'PyString'"


def test_prefixed_error_keeps_the_cause(data):
    root = ValueError("root")
    inner = TypeError("bad index")
    inner.__cause__ = root
    with pytest.raises(TypeError) as info:
        data.decode([RaisingIndex(inner)])
    assert str(info.value) == "argument 'tokens': bad index"
    assert info.value is not inner
    assert info.value.__cause__ is root
    with pytest.raises(TypeError) as info:
        data.decode([1.0])
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "exc", [MyTypeError("sub"), ValueError("value"), OverflowError("over"), KeyError("key")]
)
def test_other_errors_pass_unchanged(data, exc):
    with pytest.raises(type(exc)) as info:
        data.decode([1, RaisingIndex(exc)])
    assert info.value is exc


def test_lone_surrogate_raises_unicode_encode_error(data, workdir):
    for call in (lambda: data.encode("a\ud800"), lambda: tolvane.load_from_file("\udcff"),
                 lambda: data.train("\ud800", False, "l")):
        with pytest.raises(UnicodeEncodeError) as info:
            call()
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("tokens", [[70000], [-1], [65536], [1, 2, -5], [2**63 - 1], [-(2**63)]])
def test_token_id_out_of_range(data, tokens):
    with pytest.raises(OverflowError) as info:
        data.decode(tokens)
    assert str(info.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize("tokens", [[2**63], [-(2**63) - 1], [10**30]])
def test_token_id_beyond_64_bits_is_the_interpreters_overflow(data, tokens):
    with pytest.raises(OverflowError, match="^Python int too large to convert to C long$"):
        data.decode(tokens)


@pytest.mark.parametrize(
    "tokens, text",
    [
        ([1, 2, 3], "abc"),
        ((1, 2), "ab"),
        (range(4), "abc"),
        (b"\x01\x02", "ab"),
        (bytearray(b"\x03"), "c"),
        ([True, 2], "ab"),
        ([Index(3), Index(1), Index(4)], "caab"),
        ([], ""),
        ([0, 0], ""),
    ],
)
def test_token_sequences_accepted(data, tokens, text):
    assert data.decode(tokens) == text


class GetItemOnly:
    """A sequence by __getitem__ alone; its length cannot be asked."""

    def __init__(self, items, length=None):
        self.items, self.length = items, length

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        if self.length is None:
            raise ValueError("no length")
        return self.length


@pytest.mark.parametrize("length", [None, 0, 10**18, sys.maxsize])
def test_sequence_length_is_only_a_hint(data, length):
    # A failing or lying __len__ neither refuses the call nor reserves room
    # for what the sequence claims.
    assert data.decode(GetItemOnly([1, 2, 3], length)) == "abc"


def test_huge_range_fails_on_its_first_bad_item(data):
    with pytest.raises(OverflowError, match="out of range integral"):
        data.decode(range(10**18))


def test_iteration_errors_pass_through(data):
    class BadIter(list):
        def __iter__(self):
            raise ZeroDivisionError("no iteration")

    with pytest.raises(ZeroDivisionError):
        data.decode(BadIter([1]))


@pytest.mark.parametrize("flag, logs_txt", [(True, True), (False, False)])
def test_print_logs_flags(data, workdir, flag, logs_txt):
    assert data.train("empty.txt", flag, "run.log") is None
    assert (workdir / "log.txt").exists() == logs_txt
    assert (workdir / "run.log").read_bytes() == (b"Started \n " if logs_txt else b"")


@needs_numpy
@pytest.mark.parametrize("flag, logs_txt", [(True, True), (False, False)])
def test_numpy_values(data, workdir, flag, logs_txt):
    assert data.decode([numpy.int64(1), numpy.uint16(4)]) == "aab"
    assert data.decode(numpy.array([4, 3], dtype=numpy.int32)) == "abc"
    assert data.train("empty.txt", numpy.bool_(flag), "run.log") is None
    assert (workdir / "log.txt").exists() == logs_txt
    with pytest.raises(TypeError, match="^argument 'print_logs': 'ndarray' object cannot be converted to 'PyBool'$"):
        data.train("empty.txt", numpy.array(flag), "run.log")


def _fake_numpy_bool(name, **namespace):
    # The type's tp_name is its __name__, so a class can pose as numpy's scalar.
    return type(name, (), namespace)()


@pytest.mark.parametrize("name", ["numpy.bool_", "numpy.bool"])
def test_numpy_bool_read_through_nb_bool(data, workdir, name):
    assert data.train("empty.txt", _fake_numpy_bool(name, __bool__=lambda self: True), "run.log") is None
    assert (workdir / "log.txt").exists()


@pytest.mark.parametrize(
    "flag, exc, message",
    [
        (_fake_numpy_bool("numpy.bool_"), TypeError,
         "argument 'print_logs': object of type 'numpy.bool_' does not define a '__bool__' conversion"),
        (_fake_numpy_bool("numpy.bool_", __bool__=lambda self: 2), TypeError,
         "argument 'print_logs': __bool__ should return bool, returned int"),
        (_fake_numpy_bool("numpy.bool_", __bool__=lambda self: 1 / 0), ZeroDivisionError, "division by zero"),
        (_fake_numpy_bool("bool_", __bool__=lambda self: True), TypeError,
         "argument 'print_logs': 'bool_' object cannot be converted to 'PyBool'"),
    ],
)
def test_print_logs_refused(data, workdir, flag, exc, message):
    with pytest.raises(exc) as info:
        data.train("empty.txt", flag, "run.log")
    assert str(info.value) == message
    # Conversion fails before anything of the run happens.
    assert not (workdir / "run.log").exists()


# --- the borrow guard and re-entry -------------------------------------------------


class Reenter:
    """An id whose __index__ calls back into the module first."""

    def __init__(self, action, value=1):
        self.action, self.value, self.outcome = action, value, None

    def __index__(self):
        try:
            self.outcome = ("ok", self.action())
        except RuntimeError as e:
            self.outcome = ("RuntimeError", str(e))
        return self.value


@pytest.mark.parametrize(
    "action, outcome",
    [
        (lambda d: d.vocab(), ("ok", [0, 1, 2, 3, 4])),
        (lambda d: d.decode([4, 3]), ("ok", "abc")),
        (lambda d: d.encode("bc"), ("ok", [2, 3])),
        (lambda d: d.decode([Reenter(lambda: d.vocab())]), ("ok", "a")),
        (lambda d: d.train("empty.txt", False, "l"), ("RuntimeError", "Already borrowed")),
    ],
)
def test_reentry_during_decode(data, workdir, action, outcome):
    item = Reenter(lambda: action(data))
    assert data.decode([2, item, 3]) == "bac"
    assert item.outcome == outcome
    # Every borrow ended: train, which needs the object free, runs.
    assert data.train("empty.txt", False, "l") is None


def test_reentry_through_iter(data, workdir):
    seen = []

    class Tokens(list):
        def __iter__(self):
            seen.append(data.decode([1]))
            try:
                data.train("empty.txt", False, "l")
            except RuntimeError as e:
                seen.append(str(e))
            return super().__iter__()

    assert data.decode(Tokens([2, 3])) == "bc"
    assert seen == ["a", "Already borrowed"]


def test_borrow_ends_after_errors_and_failures(data, workdir):
    for bad in ([70000], [1.0], "x", {}, [RaisingIndex(ValueError())]):
        with pytest.raises((OverflowError, TypeError, ValueError)):
            data.decode(bad)
    with raises_panic("^Train File Not Existed: "):
        data.train("missing.txt", False, "l")
    with raises_panic("^This should not happend$"):
        data.decode([9])
    assert data.vocab() == [0, 1, 2, 3, 4]
    assert data.train("empty.txt", False, "l") is None


def test_nested_panic_reaches_the_caller_as_panic(data, capfd):
    def nested():
        return data.decode([999])  # fails; the PanicException leaves __index__

    raised = []

    class PanickingIndex:
        def __index__(self):
            try:
                nested()
            except BaseException as e:
                raised.append(e)
                raise

    with raises_panic("^This should not happend$") as info:
        data.decode([1, PanickingIndex()])
    assert info.value.args == ("This should not happend",)
    # Not passed through as a conversion error: the outer call fails in its own right.
    assert info.value is not raised[0]
    err = capfd.readouterr().err
    assert "Traceback" in err and "in nested" in err  # the nested traceback is kept
    assert err.count("in tolvane::decode_tokens: This should not happend\n") == 1
    reports = [line for line in err.splitlines()
               if line.startswith("tolvane: internal failure") and line.endswith(": This should not happend")]
    assert len(reports) == 2  # the nested failure's report and the outer call's
    assert data.decode([1]) == "a"


def _with_timer(handler, body, interval=0.001):
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, interval, interval)
    try:
        return body()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
def test_calls_during_train_are_refused(make_data, corpus):
    data = make_data()
    outcomes = set()

    def handler(signum, frame):
        for call in (data.vocab, lambda: data.decode([])):
            try:
                call()
                outcomes.add("ok")
            except RuntimeError as e:
                outcomes.add(str(e))
        try:
            data.train(corpus, False, "l2")
        except RuntimeError as e:
            outcomes.add(str(e))
        else:
            # A tick after the outer run's last check: this run was the only
            # one. Ticks during its last steps would each start another.
            signal.setitimer(signal.ITIMER_REAL, 0)

    _with_timer(handler, lambda: data.train(corpus, False, "l1"))
    assert {"Already mutably borrowed", "Already borrowed"} <= outcomes
    assert len(data.vocab()) > 1


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
def test_keyboard_interrupt_stops_train(make_data, corpus):
    data = make_data()
    raised = []

    def handler(signum, frame):
        if not raised:  # once: later ticks must not hit the test's own cleanup
            raised.append(True)
            raise KeyboardInterrupt

    finished = []
    with pytest.raises(KeyboardInterrupt):
        _with_timer(handler, lambda: finished.append(data.train(corpus, False, "l1")))
    # The run itself stopped, before its one chunk was saved.
    assert finished == []
    assert not os.path.exists("tokenizer")
    # The run unwound: the object is free and keeps what was learned.
    assert data.vocab()[:1] == [0]
    assert data.train("empty.txt", False, "l") is None


# --- references ---------------------------------------------------------------


def _refcounts(*objects):
    gc.collect()  # earlier tests' tracebacks may still hold Data objects
    return [sys.getrefcount(o) for o in objects]


def test_no_reference_leaks(data, tmp_path):
    text, tokens, bad, item = "abcabc", [1, 2, 3], [1, 70000], Index(2)
    watched = (text, tokens, bad, item, tolvane.Data)
    before = _refcounts(*watched)
    for _ in range(200):
        data.encode(text)
        data.decode(tokens)
        data.decode([item, item])
        with pytest.raises(OverflowError):
            data.decode(bad)
        with pytest.raises(TypeError):
            data.decode([item, 1.5])
        with raises_panic():
            data.decode([9])
    after = _refcounts(*watched)
    assert after == before


def test_data_objects_are_freed(tmp_path):
    # Every instance holds a reference to its type, so the type's count
    # tells how many instances are alive.
    path = tmp_path / "m"
    path.write_bytes(bytes(24))
    (base,) = _refcounts(tolvane.Data)
    objects = [tolvane.load_from_file(str(path)) for _ in range(50)]
    (alive,) = _refcounts(tolvane.Data)
    assert alive == base + 50
    del objects
    for _ in range(50):
        with raises_panic():
            tolvane.load_from_file(str(tmp_path / "missing"))
    (after,) = _refcounts(tolvane.Data)
    assert after == base
