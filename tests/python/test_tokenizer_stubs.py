"""The companion's type stubs describe Tokenizer as it is at run time, and
mypy reads them from the installed package."""

import ast
import importlib.util
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import tolvane_tools
from tolvane_tools import Tokenizer, _native

STUB = os.path.join(os.path.dirname(_native.__file__), "_native.pyi")


def stub_methods():
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    [cls] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Tokenizer"]
    return {n.name: [a.arg for a in n.args.args + n.args.kwonlyargs] for n in cls.body
            if isinstance(n, ast.FunctionDef)}


def test_stub_matches_the_class():
    assert os.path.exists(os.path.join(os.path.dirname(tolvane_tools.__file__), "py.typed"))
    methods = stub_methods()
    runtime = {name for name in vars(Tokenizer) if not name.startswith("_")}
    assert set(methods) - {"__init__", "__reduce__"} == runtime
    for name in runtime:
        member = getattr(Tokenizer, name)
        if isinstance(member, property) or not callable(member):
            params = []  # a property
        else:
            # Bound to the class (from_file) or not (encode): past cls or self.
            params = [p for p in inspect.signature(member).parameters if p not in ("self", "type")]
        assert methods[name][1:] == params, name
        assert (getattr(Tokenizer, name).__doc__ or "").strip(), f"{name} has no docstring"


GOOD = """
    import pathlib
    from tolvane_tools import Tokenizer
    tok: Tokenizer = Tokenizer.from_file(pathlib.Path("m"))
    ids: list[int] = tok.encode("text", mode="ranked")
    flat, offsets = tok.encode_flat(["a", "b"], threads=2)
    text: str = tok.decode(flat[offsets[0]:offsets[1]]) + tok.decode(ids)
    batches: list[list[int]] = tok.encode_batch(iter(["a"]), "compatible", None)
    pair: tuple[int, int] | None = tok.merge_of(5)
    size: int = tok.vocab_size + tok.count("x")
"""

BAD = """
    from tolvane_tools import Tokenizer
    Tokenizer()
    tok = Tokenizer.from_bytes(b"")
    tok.encode("text", mode="fast")
    name: str = tok.token_bytes(3)
    tok.encode_batch(["a"], threads="2")
    tok.vocab_size = 3
"""


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
@pytest.mark.parametrize("source, errors", [(GOOD, []), (BAD, [3, 5, 6, 7, 8])])
def test_mypy_checks_against_the_stubs(tmp_path, source, errors):
    example = tmp_path / "example.py"
    example.write_text(textwrap.dedent(source))
    # The installed package, with its py.typed marker, as a user's mypy sees it.
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull,
                           str(example)],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300)
    flagged = sorted({int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line})
    assert flagged == errors, done.stdout


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_the_package_checks_against_its_own_types(tmp_path):
    # The package ships py.typed: its own code holds to the stubs it ships,
    # so a user's mypy never follows a wrong signature into it.
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull,
                           "-p", "tolvane_tools"],
                          capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert done.returncode == 0, done.stdout
