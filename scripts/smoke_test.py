#!/usr/bin/env python3
"""What a new user does first with an installed tolvane: import it, train on a
small text from an empty model, encode and decode that text back, and ask the
command for its version. Run by the interpreter of the venv under test, from a
folder outside the source tree, so only the installed package is found.

    smoke_test.py WORKDIR"""
import importlib.metadata
import os
import subprocess
import sys
from pathlib import Path

import tolvane
import tolvane_tools

TEXT = ("the quick brown fox jumps over the lazy dog; naïve café, e\u0301t\u00e9, "
        "👩\u200d👩\u200d👧 stay whole.\n") * 200


def main():
    work = Path(sys.argv[1])
    work.mkdir(parents=True, exist_ok=True)
    os.chdir(work)
    for module in (tolvane, tolvane_tools):
        if not module.__file__ or not module.__file__.startswith(sys.prefix):
            sys.exit(f"smoke: {module.__name__} comes from {module.__file__}, not from {sys.prefix}")

    Path("empty.model").write_bytes(bytes(24))
    Path("corpus.txt").write_text(TEXT, encoding="utf-8")
    data = tolvane.load_from_file("empty.model")
    data.train("corpus.txt", False, "train.log")
    trained = tolvane.load_from_file("tokenizer")
    line = TEXT.splitlines()[0]
    ids = trained.encode(line)
    if trained.decode(ids) != line:
        sys.exit("smoke: decode(encode(text)) is not the text")
    # The line repeats 200 times in the corpus, so training merges most of it.
    if not len(ids) < len(line) // 2:
        sys.exit(f"smoke: training merged too little ({len(ids)} ids for {len(line)} code points)")

    # The companion's Tokenizer, where this installation has it, gives the
    # module's ids in its compatible mode.
    try:
        from tolvane_tools import Tokenizer
    except ImportError:
        Tokenizer = None
    if Tokenizer is not None and Tokenizer.from_file("tokenizer").encode(line, mode="compatible") != ids:
        sys.exit("smoke: the Tokenizer's compatible mode differs from Data.encode")

    command = Path(sys.executable).parent / "tolvane"
    shown = subprocess.run([str(command), "--version"], capture_output=True, text=True, check=True).stdout
    expected = f"tolvane {importlib.metadata.version('tolvane')}\n"
    if shown != expected:
        sys.exit(f"smoke: tolvane --version printed {shown!r}, expected {expected!r}")
    print(f"smoke: ok, {len(trained.vocab())} tokens learned, {len(ids)} ids for {len(line)} "
          f"code points, {shown.strip()}" + ("" if Tokenizer is None else ", Tokenizer agrees"))


if __name__ == "__main__":
    main()
