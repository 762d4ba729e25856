"""No reference and no memory is leaked by any entry point, on success or on
failure. Each path is called many times: the reference counts of its
arguments stay as they were, and the resident memory of a process that
runs it 100,000 times stays flat."""

import sys

import pytest

from leak_harness import namespace, resident_growth

# Each path is one call, run against `d` (a small model) in a working
# directory holding empty.txt, good.model and cut.model; a path expected to
# fail names the exception's class.
PATH_SOURCES = {
    "encode": (None, "d.encode(text)"),
    "decode list": (None, "d.decode(ids)"),
    "decode tuple": (None, "d.decode(tup)"),
    "decode range": (None, "d.decode(range(5))"),
    "decode __index__ items": (None, "d.decode([idx, idx])"),
    "vocab": (None, "d.vocab()"),
    "load_from_file": (None, "tolvane.load_from_file('good.model')"),
    "train on an empty file": (None, "d.train('empty.txt', False, 't.log')"),
    "nested shared call": (None, "d.decode([Reenter(lambda: d.encode(text))])"),
    "nested train refused": (None, "d.decode([Reenter(lambda: d.train('empty.txt', False, 't.log'))])"),
    "decode missing id": ("PanicException", "d.decode(bad_id)"),
    "decode id out of range": ("OverflowError", "d.decode(big_id)"),
    "decode float item": ("TypeError", "d.decode(float_ids)"),
    "decode str": ("TypeError", "d.decode(text)"),
    "decode dict": ("TypeError", "d.decode({})"),
    "nested panic in a conversion": ("PanicException", "d.decode([PanicIndex()])"),
    "encode bytes": ("TypeError", "d.encode(b'abc')"),
    "encode lone surrogate": ("UnicodeEncodeError", "d.encode('a\\ud800')"),
    "encode two arguments": ("TypeError", "d.encode(text, text)"),
    "encode unknown keyword": ("TypeError", "d.encode(s=text)"),
    "train missing argument": ("TypeError", "d.train(text, False)"),
    "train int flag": ("TypeError", "d.train('empty.txt', 1, 't.log')"),
    "train missing file": ("PanicException", "d.train('missing.txt', False, 't.log')"),
    "load missing file": ("PanicException", "tolvane.load_from_file('missing.model')"),
    "load cut model": ("PanicException", "tolvane.load_from_file('cut.model')"),
    "load NUL path": ("PanicException", "tolvane.load_from_file('a\\0b')"),
    "Data()": ("TypeError", "tolvane.Data()"),
}
PATH_NAMES = list(PATH_SOURCES)

SETUP = "PATH_SOURCES = " + repr(PATH_SOURCES) + r"""
import os, sys, tolvane
from conftest import graphemes_model, model_bytes

lookup, merges, unicode_lookup = graphemes_model(["a", "b", "c"], {(1, 2): 4})
with open("good.model", "wb") as f:
    f.write(model_bytes(lookup, merges, unicode_lookup))
with open("cut.model", "wb") as f:
    f.write(model_bytes(lookup, merges, unicode_lookup)[:-3])
open("empty.txt", "wb").close()
d = tolvane.load_from_file("good.model")

class Index:
    def __init__(self, value): self.value = value
    def __index__(self): return self.value

class Reenter:
    # Converting this id calls back into the same object.
    def __init__(self, action): self.action = action
    def __index__(self):
        try:
            self.action()
        except RuntimeError:
            pass
        return 1

class PanicIndex:
    def __index__(self):
        d.decode([999])

text, ids, tup, bad_id, big_id, float_ids = "abcab\u00e9", [1, 2, 3, 4], (4, 3), [999], [70000], [1, 1.5]
idx = Index(2)
PATHS = {name: (expected, eval("lambda: " + call)) for name, (expected, call) in PATH_SOURCES.items()}

"""



@pytest.fixture
def paths(tmp_path, monkeypatch):
    return namespace(SETUP, tmp_path, monkeypatch)


def watched_objects(namespace):
    return [namespace[k] for k in ("d", "text", "ids", "tup", "bad_id", "big_id", "float_ids", "idx")]


def refcounts(objects):
    import gc
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


@pytest.mark.parametrize("name", PATH_NAMES)
def test_arguments_keep_their_reference_counts(paths, name, capfd):
    objects = watched_objects(paths) + [paths["tolvane"].Data]
    paths["run"](name, 10)
    before = refcounts(objects)
    paths["run"](name, 1_000)
    assert refcounts(objects) == before
    capfd.readouterr()  # the failure reports on standard error


@pytest.mark.parametrize("name", ["encode", "decode list", "vocab", "load_from_file"])
def test_results_are_owned_by_the_caller_alone(paths, name):
    result = paths["PATHS"][name][1]()
    # The local name and getrefcount's own argument.
    assert sys.getrefcount(result) == 2


CALLS = 100_000
# A leak of one small allocation per call shows as several MB here; the
# allowance only covers the noise of the allocators.
ALLOWED_GROWTH = 1 << 20


@pytest.fixture(scope="module")
def growth(tmp_path_factory):
    return resident_growth(SETUP, tmp_path_factory.mktemp("rss"), CALLS, timeout=600, settle=5_000)


@pytest.mark.parametrize("name", PATH_NAMES)
def test_memory_stays_flat_over_many_calls(growth, name):
    assert growth[name] < ALLOWED_GROWTH, f"{name}: grew {growth[name] // 1024} KiB in {CALLS} calls"
