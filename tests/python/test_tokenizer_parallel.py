"""Tokenizer across threads and processes: batches equal one call per text
on any number of threads, the interpreter lock is really let go, one object
serves many threads at once, and pickles travel to spawned and forked
workers. Last, no path leaks a reference or memory."""

import copy
import multiprocessing
import pickle
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from leak_harness import namespace, resident_growth
from real_texts import english_documents, multilingual_lines
from tolvane_tools import Tokenizer


@pytest.fixture(scope="module")
def tok(trained_model_file):
    return Tokenizer.from_file(trained_model_file)


@pytest.fixture(scope="module")
def texts():
    docs = english_documents(600_000)
    lines = [line for doc in docs for line in doc.splitlines()]
    return lines + multilingual_lines()[::20] + docs[:5] + ["", "x"]


@pytest.mark.parametrize("mode", ["compatible", "ranked"])
def test_batches_equal_one_call_per_text_on_any_thread_count(tok, texts, mode):
    one_by_one = [tok.encode(t, mode) for t in texts]
    for threads in [1, 2, 8, None]:
        assert tok.encode_batch(texts, mode, threads) == one_by_one
    assert tok.encode_batch(iter(texts[:50]), mode=mode) == one_by_one[:50]
    assert tok.encode_batch([], mode) == []


@pytest.mark.parametrize("mode", ["compatible", "ranked"])
def test_flat_ids_and_offsets_agree_with_batches(tok, texts, mode):
    lists = tok.encode_batch(texts, mode)
    for threads in [1, 2, 8]:
        ids, offsets = tok.encode_flat(texts, mode, threads)
        assert (ids.format, ids.itemsize, offsets.format, offsets.itemsize) == ("H", 2, "Q", 8)
        assert ids.readonly and offsets.readonly
        assert len(offsets) == len(texts) + 1 and offsets[0] == 0 and offsets[-1] == len(ids)
        assert [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(texts))] == lists
    empty_ids, empty_offsets = tok.encode_flat([])
    assert len(empty_ids) == 0 and empty_offsets.tolist() == [0]


def test_numpy_reads_flat_buffers_without_copying(tok, texts):
    np = pytest.importorskip("numpy")
    ids, offsets = tok.encode_flat(texts[:100])
    array = np.frombuffer(ids, dtype=np.uint16)
    assert array.base.obj is ids.obj  # a view of the same memory, no copy
    starts = np.frombuffer(offsets, dtype=np.uint64)
    assert array[starts[7]:starts[8]].tolist() == tok.encode(texts[7])
    with pytest.raises(ValueError, match="read-only"):
        array[0] = 1


CALLS_THAT_RELEASE = {
    "encode": lambda tok, big: tok.encode(big),
    "count": lambda tok, big: tok.count(big),
    "encode_batch": lambda tok, big: tok.encode_batch([big[:1000]] * 2000, threads=1),
    "encode_flat": lambda tok, big: tok.encode_flat([big], "compatible", threads=1),
    "unknown_graphemes": lambda tok, big: tok.unknown_graphemes(big * 4),
}


@pytest.mark.parametrize("name", CALLS_THAT_RELEASE)
def test_another_thread_runs_during_a_long_call(tok, name):
    # With a switch interval far longer than the test, a thread waiting for
    # the interpreter lock gets it only if the long call gives it up.
    big = "".join(english_documents(2_000_000))[:2_000_000]
    call = CALLS_THAT_RELEASE[name]
    ticks, stop, ready = [0], threading.Event(), threading.Event()

    def spin():
        ready.set()
        while not stop.is_set():
            ticks[0] += 1
            stop.wait(0.0005)  # gives the lock back between ticks

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    spinner = threading.Thread(target=spin)
    try:
        spinner.start()
        ready.wait()
        before = ticks[0]
        call(tok, big)
        during = ticks[0] - before
    finally:
        stop.set()
        spinner.join()
        sys.setswitchinterval(old)
    assert during > 0


def test_one_tokenizer_serves_many_threads_at_once(tok, texts):
    expected = {mode: tok.encode_batch(texts[:400], mode, threads=1) for mode in ["compatible", "ranked"]}

    def work(k):
        mode = ["compatible", "ranked"][k % 2]
        chunk = texts[:400]
        if k % 3 == 0:
            return mode, tok.encode_batch(chunk, mode, threads=2)
        return mode, [tok.encode(t, mode) for t in chunk]

    with ThreadPoolExecutor(8) as pool:
        for mode, got in pool.map(work, range(24)):
            assert got == expected[mode]


def encode_in_worker(args):
    tok, text = args
    return tok.encode(text, "ranked"), tok.to_bytes()


@pytest.mark.parametrize("method", ["spawn", "fork"])
def test_pickles_travel_to_worker_processes(tok, texts, method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} here")
    # Threads made by an earlier batch must not hurt a forked child.
    tok.encode_batch(texts[:2000], threads=2)
    sample = texts[:40:4]
    with multiprocessing.get_context(method).Pool(2) as pool:
        results = pool.map(encode_in_worker, [(tok, t) for t in sample])
    assert [r[0] for r in results] == [tok.encode(t, "ranked") for t in sample]
    assert all(r[1] == tok.to_bytes() for r in results)


def test_pickle_and_deepcopy_carry_the_model(tok):
    raw = pickle.dumps(tok)
    assert tok.to_bytes() in raw  # the model itself, not a path
    for other in [pickle.loads(raw), copy.deepcopy(tok), copy.copy(tok)]:
        assert other is not tok and other.to_bytes() == tok.to_bytes()
        assert other.encode("A sentence.", "ranked") == tok.encode("A sentence.", "ranked")


# --- leaks -------------------------------------------------------------------

SETUP = r"""
import array, os, sys
from conftest import graphemes_model, model_bytes
from tolvane_tools import Tokenizer

raw = model_bytes(*graphemes_model(["a", "b", "c", "\u00e9"], {(1, 2): 5, (5, 3): 6}))
with open("good.model", "wb") as f:
    f.write(raw)
tok = Tokenizer.from_bytes(raw)
strict = Tokenizer.from_bytes(model_bytes(*graphemes_model(["a"], {})[:1], {}, {"a": 1}))
text, texts, ids, buf = "abcab\u00e9c" * 3, ["abc", "cab\u00e9", ""], [5, 6, 1], array.array("H", [6, 1])
long_text = "abc" * 10_000

PATHS = {
    "encode": (None, lambda: tok.encode(text)),
    "encode ranked": (None, lambda: tok.encode(text, mode="ranked")),
    "encode long": (None, lambda: tok.encode(long_text, "ranked")),
    "count": (None, lambda: tok.count(text, "ranked")),
    "encode_batch": (None, lambda: tok.encode_batch(texts, "ranked", 2)),
    "encode_flat": (None, lambda: tok.encode_flat(texts, threads=2)),
    "decode": (None, lambda: tok.decode(ids)),
    "decode buffer": (None, lambda: tok.decode(buf)),
    "decode_batch": (None, lambda: tok.decode_batch([ids, buf])),
    "graphemes": (None, lambda: tok.graphemes(text)),
    "unknown_graphemes": (None, lambda: tok.unknown_graphemes(text + "zz")),
    "accessors": (None, lambda: (tok.token_bytes(5), tok.token_text(6), tok.id_of("a"), tok.merge_of(6),
                                 tok.vocab_size, tok.oov_id)),
    "from_bytes, to_bytes": (None, lambda: Tokenizer.from_bytes(raw).to_bytes()),
    "from_file, save": (None, lambda: Tokenizer.from_file("good.model").save("saved.model")),
    "pickle": (None, lambda: __import__("pickle").loads(__import__("pickle").dumps(tok))),
    "unknown grapheme": ("KeyError", lambda: strict.encode("ab")),
    "unknown grapheme in a batch": ("KeyError", lambda: strict.encode_batch(["a", "b"], "ranked")),
    "unknown id": ("KeyError", lambda: tok.decode([1, 99])),
    "bad mode": ("ValueError", lambda: tok.encode(text, "other")),
    "bad item": ("TypeError", lambda: tok.encode_batch(["a", 1])),
    "missing file": ("FileNotFoundError", lambda: Tokenizer.from_file("missing.model")),
    "damaged bytes": ("ValueError", lambda: Tokenizer.from_bytes(raw[:-1])),
}

"""

# Slow paths (a file synced to disk, a long text) run fewer times; a leak
# there would be a whole model or text per call.
FEWER = {"from_file, save": 20, "encode long": 10}


PATH_NAMES = ["encode", "encode ranked", "encode long", "count", "encode_batch", "encode_flat", "decode",
              "decode buffer", "decode_batch", "graphemes", "unknown_graphemes", "accessors",
              "from_bytes, to_bytes", "from_file, save", "pickle", "unknown grapheme",
              "unknown grapheme in a batch", "unknown id", "bad mode", "bad item", "missing file",
              "damaged bytes"]


@pytest.fixture
def paths(tmp_path, monkeypatch):
    names = namespace(SETUP, tmp_path, monkeypatch)
    assert list(names["PATHS"]) == PATH_NAMES
    return names


@pytest.mark.parametrize("name", PATH_NAMES)
def test_arguments_keep_their_reference_counts(paths, name):
    import gc
    watched = [paths[k] for k in ("tok", "strict", "text", "texts", "ids", "buf", "long_text", "raw")]
    watched += paths["texts"] + [Tokenizer]
    paths["run"](name, 10)
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    paths["run"](name, 500)
    gc.collect()
    # A reference lost or kept per call moves a count by 500; threads left
    # over from earlier tests (pools winding down) may still hold a few.
    changes = [sys.getrefcount(o) - b for o, b in zip(watched, before)]
    assert all(abs(c) < 50 for c in changes), changes


@pytest.mark.parametrize("name", ["encode", "encode_batch", "encode_flat", "decode", "graphemes",
                                  "unknown_graphemes", "from_bytes, to_bytes"])
def test_results_are_owned_by_the_caller_alone(paths, name):
    result = paths["PATHS"][name][1]()
    assert sys.getrefcount(result) == 2  # the local name and getrefcount's argument


@pytest.fixture(scope="module")
def growth(tmp_path_factory):
    return resident_growth(SETUP, tmp_path_factory.mktemp("rss"), 10_000, timeout=900, fewer=FEWER)


@pytest.mark.parametrize("name", PATH_NAMES)
def test_memory_stays_flat_over_many_calls(growth, name):
    # A leak of one small allocation per call shows as about 500 KB here.
    assert growth[name] < 256 * 1024, f"{name}: grew {growth[name] // 1024} KiB"
