#!/usr/bin/env python3
"""The Hugging Face export against mode="ranked", line by line.

    bench_export.py NAME MODEL HELDOUT [NAME MODEL HELDOUT ...]

MODEL is a model file, or trainer=SIZE:CORPUS for a model that
tolvane_tools.train learns here from the lines of CORPUS, SIZE tokens with
the special token <|endoftext|> and byte fallback.

For each model: writes its tokenizer.json, loads it with `tokenizers`, encodes
every non-empty line of the held-out text both ways and prints the share of
lines with equal ids, the share whose decoded texts agree, and each kind of
line that differs with a few examples. Runs where `tokenizers` is installed
(build/bench-venv)."""
import sys
import tempfile
import time
from pathlib import Path

import tokenizers
from tolvane_tools import Tokenizer
from tolvane_tools.huggingface import KINDS, build_export, compare


def shown(line, width=70):
    text = line.encode("unicode_escape").decode("ascii") if not line.isprintable() else line
    return text if len(text) <= width else text[:width - 3] + "..."


SPECIALS = ["<|endoftext|>"]


def trained_here(recipe):
    """A model of "SIZE:CORPUS" from tolvane_tools.train, one document a line."""
    from tolvane_tools import train

    size, corpus = recipe.split(":", 1)
    return train(corpus, vocab_size=int(size), special_tokens=SPECIALS, byte_fallback=True,
                 progress=False)


def main(argv):
    print(f"Export to a Hugging Face tokenizer.json (tokenizers {tokenizers.__version__}): "
          "ids of the file's BPE against \"ranked\", line by line")
    for name, model, heldout in zip(argv[0::3], argv[1::3], argv[2::3]):
        tok = trained_here(model[len("trainer="):]) if model.startswith("trainer=") else Tokenizer.from_file(model)
        lines = [l for l in Path(heldout).read_text(encoding="utf-8", errors="replace").splitlines() if l]
        with tempfile.TemporaryDirectory() as folder:
            path = Path(folder) / "tokenizer.json"
            started = time.perf_counter()
            tok.to_huggingface(path)
            seconds = time.perf_counter() - started
            export = build_export(tok)
            hf = tokenizers.Tokenizer.from_file(str(path))
        result = compare(tok, hf, lines)
        print(f"  {name}: {tok.vocab_size} tokens, {len(export.merges)} merges in the file "
              f"({len(export.added_pieces)} pieces of graphemes added, {len(export.shadowed)} tokens "
              f"sharing a text), written in {seconds:.2f} s")
        print(f"    {result.lines:,} lines: ids equal on {result.equal:,} ({100 * result.share_equal:.3f}%), "
              f"decoded text equal on {result.decode_equal:,} "
              f"({100 * result.decode_equal / max(result.lines, 1):.3f}%)")
        for kind, count in sorted(result.kinds.items(), key=lambda item: -item[1]):
            print(f"    {count:6,} lines differ: {kind} ({KINDS[kind]})")
            for line in result.examples[kind]:
                print(f"             {shown(line)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
