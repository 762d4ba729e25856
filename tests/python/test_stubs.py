"""The type stubs describe the module as it is at run time."""

import ast
import importlib.util
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import tolvane

STUB_DIR = os.path.join(os.path.dirname(__file__), "..", "..", "src", "tolvane-stubs")
STUB = os.path.join(STUB_DIR, "__init__.pyi")


def stub_tree():
    with open(STUB, encoding="utf-8") as f:
        return ast.parse(f.read())


def parameters(node):
    args = node.args
    return [a.arg for a in args.posonlyargs + args.args]


def stub_api():
    """{name: parameter names} for the functions, {method: parameter names}
    for Data, and __all__."""
    functions, methods, exported = {}, {}, None
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = parameters(node)
        elif isinstance(node, ast.ClassDef) and node.name == "Data":
            methods = {n.name: parameters(n) for n in node.body if isinstance(n, ast.FunctionDef)}
        elif isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            exported = ast.literal_eval(node.value)
    return functions, methods, exported


def test_stub_names_match_the_module():
    functions, methods, exported = stub_api()
    assert exported == tolvane.__all__
    assert set(functions) | {"Data"} == set(tolvane.__all__)
    for name, params in functions.items():
        assert params == list(inspect.signature(getattr(tolvane, name)).parameters)
    runtime = {name for name in vars(tolvane.Data) if not name.startswith("_")}
    assert set(methods) - {"__init__"} == runtime
    for name in runtime:
        signature = inspect.signature(getattr(tolvane.Data, name))
        assert methods[name] == list(signature.parameters), name


GOOD = """
    import tolvane
    data: tolvane.Data = tolvane.load_from_file("tokenizer")
    ids: list[int] = data.encode("text")
    text: str = data.decode(ids) + data.decode(b"\\x01\\x02") + data.decode((1, 2))
    data.train(train_file="corpus.txt", print_logs=False, logs_file="train.log")
    everything: list[int] = data.vocab()
"""

BAD = """
    import tolvane
    tolvane.Data()
    data = tolvane.load_from_file("tokenizer")
    data.encode(b"bytes")
    name: str = data.vocab()
    data.train("corpus.txt", 1, "train.log")
    tolvane.load_from_file()
"""


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
@pytest.mark.parametrize("source, errors", [(GOOD, []), (BAD, [3, 5, 6, 7, 8])])
def test_mypy_checks_against_the_stubs(tmp_path, source, errors):
    example = tmp_path / "example.py"
    example.write_text(textwrap.dedent(source))
    # mypy finds a "-stubs" package on the Python path, as it would installed;
    # it is the mypy of the interpreter running the tests, not whichever is on PATH.
    env = dict(os.environ, PYTHONPATH=os.path.abspath(os.path.join(STUB_DIR, "..")))
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull, str(example)],
                          capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    flagged = sorted({int(line.split(":")[1]) for line in done.stdout.splitlines()
                      if ": error:" in line})
    assert flagged == errors, done.stdout
