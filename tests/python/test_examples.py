"""The recipes in examples/ run on a small corpus and give exactly the ids of
one process encoding it document by document."""

import glob
import os
import random
import shutil
import subprocess
import sys

import pytest

from conftest import graphemes_model, write_model
from test_cli import _env

from tolvane_tools import Tokenizer
from tolvane_tools.corpus import read_documents
from tolvane_tools.idsfile import read_ids

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
GRAPHEMES = ["a", "b", "c", " ", "é", "👩‍👩‍👧"]
MERGES = {(1, 2): 7, (2, 3): 8, (7, 3): 9, (4, 1): 10, (10, 8): 11}


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """A model and a corpus of 5,000 lines, some empty, some with graphemes
    the model does not know, some with characters that other readers take
    for line ends (a lone CR, U+2028, U+0085, a form feed) and that end no
    document of `--split lines`."""
    folder = tmp_path_factory.mktemp("examples")
    model = write_model(folder / "model.bin", *graphemes_model(GRAPHEMES, MERGES))
    rng = random.Random(5)
    pieces = ["a", "b", "c", " ", "é", "abc", " abc", "👩‍👩‍👧", "x", "ß",
              "\r", "\u2028", "\x85", "\x0c"]
    lines = ["".join(rng.choice(pieces) for _ in range(rng.randrange(0, 40))) for _ in range(5000)]
    (folder / "corpus.txt").write_text("\n".join(lines) + "\n", encoding="utf-8")
    return folder, model, str(folder / "corpus.txt")


def expected(model, corpus_path, mode):
    tok = Tokenizer.from_file(model)
    return [tok.encode(doc, mode=mode) for doc in read_documents(corpus_path, "lines")]


def run_example(name, *args, cwd):
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, name), *map(str, args)],
                          cwd=cwd, capture_output=True, env=_env(), timeout=600)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-3000:]
    return done


def partitions(prefix):
    ids = []
    paths = sorted(glob.glob(f"{prefix}-*.bin"))
    assert len(paths) >= 2, "the corpus was not split into partitions"
    for path in paths:
        ids += read_ids(path)
    return ids


@pytest.mark.parametrize("mode", ["compatible", "ranked"])
def test_multiprocessing_spawn(corpus, mode):
    folder, model, path = corpus
    run_example("encode_multiprocessing.py", model, path, f"mp-{mode}.bin", "--mode", mode,
                cwd=folder)
    assert read_ids(folder / f"mp-{mode}.bin") == expected(model, path, mode)


def test_datasets_map(corpus):
    pytest.importorskip("datasets", reason="Hugging Face datasets is not installed "
                        "(pip install .[engines])")
    folder, model, path = corpus
    run_example("encode_datasets.py", model, path, "hf.bin", "--mode", "ranked", cwd=folder)
    assert read_ids(folder / "hf.bin") == expected(model, path, "ranked")


def test_dask_local_cluster(corpus):
    pytest.importorskip("dask.bag", reason="dask is not installed (pip install .[engines])")
    pytest.importorskip("distributed", reason="dask.distributed is not installed "
                        "(pip install .[engines])")
    folder, model, path = corpus
    run_example("encode_dask.py", model, path, "dask", "--mode", "ranked", "--blocksize", "40kB",
                cwd=folder)
    assert partitions(folder / "dask") == expected(model, path, "ranked")


def test_spark_local(corpus):
    pytest.importorskip("pyspark", reason="PySpark is not installed (pip install .[engines])")
    if shutil.which("java") is None:
        pytest.skip("PySpark needs a Java runtime (java) on PATH")
    folder, model, path = corpus
    run_example("encode_spark.py", model, path, "spark", "--mode", "ranked", "--partitions", "3",
                cwd=folder)
    assert partitions(folder / "spark") == expected(model, path, "ranked")
