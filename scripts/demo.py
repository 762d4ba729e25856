"""Trains a model from nothing and shows what it learned.

Usage: demo.py [CORPUS]

Without CORPUS the training text is the Python standard library's own .py
sources, concatenated in sorted path order up to about 12 MB. Everything the
run writes ("tokenizer", the logs, the corpus copy) stays in build/demo.
"""

import os
import pathlib
import sys
import sysconfig
import time

import tolvane
from tolvane_tools import Tokenizer
from tolvane_tools.visible import visible_text as visible

CORPUS_CAP = 12 * 1024 * 1024
SAMPLE = "def tokenize(text):\n    return [piece.strip() for piece in text.split(',')]\n"


def stdlib_corpus(target):
    """Writes the standard library sources to `target`; returns (files, bytes)."""
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    sources = sorted(p for p in root.rglob("*.py")
                     if not {"site-packages", "dist-packages"} & set(p.parts))
    files = size = 0
    with open(target, "wb") as out:
        for path in sources:
            try:
                data = path.read_bytes()
            except OSError:
                continue
            if size + len(data) > CORPUS_CAP:
                break
            out.write(data)
            files += 1
            size += len(data)
    return files, size


def sample_from(corpus):
    """A line of the user's own text, so every grapheme in it is known."""
    with open(corpus, "rb") as f:
        head = f.read(1 << 16).decode("utf-8", errors="replace")
    lines = [line for line in head.splitlines() if len(line.strip()) >= 20]
    return (lines[len(lines) // 2] if lines else head[:80]) or "hello"


def main(argv):
    repo = pathlib.Path(__file__).resolve().parent.parent
    scratch = repo / "build" / "demo"
    scratch.mkdir(parents=True, exist_ok=True)
    for stale in ("tokenizer", "log.txt", "train.log"):
        (scratch / stale).unlink(missing_ok=True)

    if len(argv) > 1:
        corpus = pathlib.Path(argv[1]).resolve()
        if not corpus.is_file():
            sys.exit(f"demo: no such file: {argv[1]}")
        sample = sample_from(corpus)
        print(f"Corpus: {corpus} ({corpus.stat().st_size:,} bytes)", flush=True)
    else:
        corpus = scratch / "stdlib.txt"
        files, size = stdlib_corpus(corpus)
        sample = SAMPLE
        print(f"Corpus: {files} standard library sources, {size:,} bytes", flush=True)

    (scratch / "empty.model").write_bytes(bytes(24))
    data = tolvane.load_from_file(str(scratch / "empty.model"))
    os.chdir(scratch)  # the run writes "tokenizer" into the working directory
    # Training reports every merge on descriptor 1 (700 lines a chunk); keep
    # that in a file and show only its shape here.
    console = scratch / "train-console.txt"
    sys.stdout.flush()
    saved_stdout = os.dup(1)
    with open(console, "wb") as sink:
        os.dup2(sink.fileno(), 1)
        started = time.monotonic()
        try:
            data.train(str(corpus), False, "train.log")
        finally:
            seconds = time.monotonic() - started
            os.dup2(saved_stdout, 1)
            os.close(saved_stdout)
    lines = console.read_text(encoding="utf-8", errors="replace").splitlines()
    chunks = sum(1 for line in lines if line == " Saved Successfully ")
    merges = sum(1 for line in lines if line.startswith("Token "))
    print(f"Training console: {len(lines):,} lines ({chunks} chunks saved, {merges} new merges), kept in {console}")
    for line in lines[:3]:
        print(f"  | {line}")
    print("  | ...")

    model = tolvane.load_from_file("tokenizer")
    ids = model.vocab()
    texts = {i: model.decode([i]) for i in ids}
    print()
    print(f"Trained in {seconds:.1f} s; model saved to {scratch / 'tokenizer'}")
    print(f"Vocabulary size: {len(ids)} tokens")
    print("Longest learned tokens:")
    for i in sorted(ids, key=lambda i: (-len(texts[i]), i))[:12]:
        print(f"  {i:>6}  {len(texts[i]):>3} chars  {visible(texts[i])}")

    encoded = model.encode(sample)
    decoded = model.decode(encoded)
    print()
    print(f"Sample: {visible(sample)}")
    print(f"Encoded: {len(sample)} characters -> {len(encoded)} tokens: {encoded}")
    print("Pieces: " + " | ".join(visible(texts[i]) for i in encoded))
    print()
    print("The `tolvane` command is in .venv/bin: `source .venv/bin/activate` puts it on your PATH.")
    if decoded == sample:
        print("Round trip: decode(encode(sample)) == sample")
    else:
        print(f"Round trip differs (graphemes unseen in training become id 0): {visible(decoded)}")
        return 1

    # The same model through the companion's Tokenizer, both ways.
    tok = Tokenizer.from_file("tokenizer")
    size = len(sample.encode("utf-8"))
    print()
    print(f"Tokenizer, two ways to encode the sample ({size} bytes):")
    for mode in ("compatible", "ranked"):
        ids = tok.encode(sample, mode)
        print(f"  {mode:10s} {len(ids):3d} tokens ({len(ids) / size:.2f} per byte): "
              + " | ".join(visible(tok.token_text(i)) for i in ids))
        if tok.decode(ids) != decoded:
            print(f"  {mode} does not decode back to the sample")
            return 1
    print('  ("compatible" gives the ids of Data.encode; "ranked" applies the learned merges in the')
    print("   order they were learned, the best compression this vocabulary allows)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
