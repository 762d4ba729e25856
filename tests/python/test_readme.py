"""The README, read as a new user would: every shell example runs as written
(or, where it needs the whole build or another engine, names what exists),
the Python quick start runs, and the limits it states hold."""

import json
import pathlib
import random
import re
import subprocess
import sys


import tolvane
from conftest import EMPTY_MODEL
from test_cli import _env, corpus_text

REPO = pathlib.Path(__file__).resolve().parents[2]
README = (REPO / "README.md").read_text(encoding="utf-8")


def blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```", README, flags=re.S | re.M)


def shell_lines(prefix):
    return [line.strip() for block in blocks("sh") for line in block.splitlines()
            if line.strip().startswith(prefix)]


def test_make_targets_exist():
    targets = set(re.findall(r"^([\w-]+):", (REPO / "Makefile").read_text(), flags=re.M))
    lines = shell_lines("make ")
    assert lines
    for line in lines:
        words = line.split("#")[0].split()[1:]
        for word in words:
            if "=" in word:
                assert re.search(rf"^{word.split('=')[0]}\s*\?=", (REPO / "Makefile").read_text(),
                                 flags=re.M), line
            else:
                assert word in targets, line


def test_cpp_suites_exist():
    suites = re.search(r"foreach name : \[(.*?)\]", (REPO / "tests/cpp/meson.build").read_text(), re.S)
    names = re.findall(r"'(\w+)'", suites.group(1))
    for line in shell_lines("meson test"):
        assert line.split("#")[0].split()[-1] in names, line


def test_python_test_selections_select_tests():
    lines = shell_lines("cd tests/python")
    assert lines
    for line in lines:
        command = line.split("#")[0] + " --collect-only -q"
        done = subprocess.run(["bash", "-c", command], cwd=REPO, capture_output=True, text=True,
                              env=_env(), timeout=300)
        # pytest exits 5 when the selection is empty.
        assert done.returncode == 0, (line, done.stdout[-2000:])


def test_example_scripts_exist():
    for line in shell_lines("python examples/"):
        assert (REPO / line.split()[1]).is_file(), line


def varied_text(seed, count):
    """Words enough for a few hundred merges, so the ids the examples name exist."""
    rng = random.Random(seed)
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(3, 9)))
             for _ in range(400)]
    return " ".join(rng.choice(words) for _ in range(count))


def test_command_examples_run_as_written(tmp_path):
    """Every `tolvane` line of the README, in its order, in one folder holding
    the files the examples name."""
    (tmp_path / "corpus.txt").write_text(corpus_text(seed=1) + varied_text(1, 20000), encoding="utf-8")
    (tmp_path / "more.txt").write_text(corpus_text(seed=2, count=3000) + " ωμέγα", encoding="utf-8")
    (tmp_path / "in.txt").write_text("the lazy fox\nnaps by the fire\n", encoding="utf-8")
    (tmp_path / "corpus.jsonl").write_text(
        "".join(json.dumps({"text": line}) + "\n" for line in corpus_text(seed=3).split(" dog ")),
        encoding="utf-8")
    lines = [line for line in shell_lines("") if re.match(r"(cat \S+ \| )?tolvane ", line)]
    assert len(lines) >= 10
    prelude = f'set -o pipefail\ntolvane() {{ "{sys.executable}" -m tolvane_tools "$@"; }}\n'
    for line in lines:
        done = subprocess.run(["bash", "-c", prelude + line], cwd=tmp_path, env=_env(),
                              capture_output=True, timeout=300)
        assert done.returncode == 0, (line, done.stderr.decode(errors="replace"))
    assert (tmp_path / "out.txt").read_text(encoding="utf-8") == (tmp_path / "in.txt").read_text(encoding="utf-8")
    assert (tmp_path / "page.html").is_file()


def test_python_quick_start_runs(tmp_path, monkeypatch, capfd):
    code = blocks("python")[0]  # the quick start comes first
    (tmp_path / "corpus.txt").write_text(corpus_text(seed=5), encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README quick start", "exec"), {})
    assert (tmp_path / "tokenizer").is_file()


def test_chat_markers_and_unknown_graphemes_as_the_limits_say(tmp_path, monkeypatch, capfd):
    match = re.search(r'Trained on the lines\s+"(.*?)"\s+and\s+"(.*?)",\s+a model encodes\s+"(.*?)"\s+'
                      r'to ids that decode to\s+"(.*?)"', README)
    assert match, "the limits give the chat marker example"
    first, second, text, decoded = match.groups()
    (tmp_path / "chat.txt").write_text((first + "\n" + second + "\n") * 50, encoding="utf-8")
    (tmp_path / "empty.model").write_bytes(EMPTY_MODEL)
    monkeypatch.chdir(tmp_path)
    data = tolvane.load_from_file("empty.model")
    data.train("chat.txt", False, "train.log")
    texts = {data.decode([token]) for token in data.vocab()}
    assert "^" in texts and not {"<", "|", "_"} & texts
    ids = data.encode(text)
    assert 0 in ids
    assert data.decode(ids) == decoded
