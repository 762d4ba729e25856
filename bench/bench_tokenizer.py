#!/usr/bin/env python3
"""The Tokenizer measured through its Python surface, as a user calls it.

Usage: bench_tokenizer.py MODEL HELDOUT

MODEL is a trained model file (bench/run.py passes the one trained on the
whole English corpus), HELDOUT a text it was not trained on. Prints the
table lines; the last line holds key=value fields for bench/run.py. Every
encode figure comes with its tokens per byte: speed means nothing without
the compression it buys.
"""
import sys
import threading
import time

import tolvane
from tolvane_tools import Tokenizer

SHORT_BYTES = 100


def best_of(repeats, call):
    """The fastest of `repeats` runs, in seconds: the machine is shared, and
    the fastest run is the one least disturbed by others."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def short_texts(text, count):
    """`count` pieces of about SHORT_BYTES bytes, cut at spaces."""
    pieces, at = [], 0
    while len(pieces) < count and at < len(text) - 2 * SHORT_BYTES:
        end = text.find(" ", at + SHORT_BYTES - 10)
        pieces.append(text[at:end])
        at = end
    return pieces


def one_learned_pair(tok):
    """The text of the first learned merge's two parts, so repeating it gives
    one learned pair over and over."""
    for merged in range(tok.vocab_size * 2):
        pair = tok.merge_of(merged)
        if pair is not None:
            return tok.token_text(pair[0]) + tok.token_text(pair[1])
    return "ab"


def main(model_path, heldout_path):
    tok = Tokenizer.from_file(model_path)
    data = tolvane.load_from_file(model_path)
    text = open(heldout_path, encoding="utf-8", errors="replace").read()
    size = len(text.encode("utf-8"))
    lines = text.splitlines(keepends=True)
    fields = {}
    out = []

    def say(line=""):
        out.append(line)
        print(line, flush=True)

    def row(label, seconds, tokens, nbytes, key=None):
        mbs = nbytes / 1e6 / seconds
        if key:
            fields[key + "_mbs"] = mbs
            fields[key + "_tpb"] = tokens / nbytes
        say(f"  {label:46s} {mbs:8.2f} MB/s   {tokens / nbytes:.3f} tokens/byte")
        return mbs

    say(f"Tokenizer (tolvane_tools), held-out English {size / 1e6:.1f} MB, whole-corpus model "
        f"({tok.vocab_size} tokens), one thread unless said")
    whole_compat = tok.encode(text)
    whole_ranked = tok.encode(text, "ranked")
    row("Data.encode, one call", best_of(2, lambda: data.encode(text)), len(whole_compat), size)
    row('"compatible", one call', best_of(2, lambda: tok.encode(text)), len(whole_compat), size, "compat_whole")
    compat_lines = sum(tok.count(l) for l in lines)
    row('"compatible", one call per line', best_of(2, lambda: tok.encode_batch(lines, threads=1)),
        compat_lines, size, "compat_lines")
    row('"ranked", one call', best_of(3, lambda: tok.encode(text, "ranked")), len(whole_ranked), size,
        "ranked_whole")
    ranked_lines = sum(tok.count(l, "ranked") for l in lines)
    one = row('"ranked", one call per line', best_of(3, lambda: tok.encode_batch(lines, "ranked", 1)),
              ranked_lines, size, "ranked_lines")
    say("  (target: \"ranked\" >= 30 MB/s on one thread, about 0.36 tokens/byte)")
    say()

    say("Threads: encode_batch over the lines, \"ranked\"")
    two = row("2 threads", best_of(3, lambda: tok.encode_batch(lines, "ranked", 2)), ranked_lines, size,
              "ranked_lines_2")
    fields["speedup_2"] = two / one
    flat = row("encode_flat, 2 threads", best_of(3, lambda: tok.encode_flat(lines, "ranked", 2)),
               ranked_lines, size)
    say(f"  2 threads vs 1: {two / one:.2f}x   (target >= 1.8x)")
    # Whether the interpreter lock is really let go: a Python thread counts
    # while one long batch runs.
    ticks, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            ticks[0] += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    start = time.perf_counter()
    tok.encode_batch(lines * 3, "ranked", 2)
    seconds = time.perf_counter() - start
    stop.set()
    spinner.join()
    say(f"  a Python thread counted to {ticks[0]:,} during a {seconds:.2f} s batch")
    del flat
    say()

    say(f"Short texts: about {SHORT_BYTES} bytes per call (the per-call cost of the binding)")
    pieces = short_texts(text, 20_000)
    piece_bytes = sum(len(p.encode()) for p in pieces)
    for mode in ["compatible", "ranked"]:
        encode = tok.encode
        seconds = best_of(3, lambda: [encode(p, mode) for p in pieces])
        tokens = sum(tok.count(p, mode) for p in pieces)
        us = seconds / len(pieces) * 1e6
        fields[f"short_{mode}_us"] = us
        say(f'  "{mode}"{"":30s} {us:8.2f} us/call  {tokens / piece_bytes:.3f} tokens/byte')
    seconds = best_of(3, lambda: [data.encode(p) for p in pieces])
    say(f"  Data.encode{'':31s} {seconds / len(pieces) * 1e6:8.2f} us/call")
    say("  (targets: < 3 us per call; Data.encode and the Tokenizer at most 4 us per 100-byte sentence)")
    say()

    say('No quadratic case: 1 MB of one repetition, "ranked"')
    grapheme = tok.token_text(tok.id_of("e") or 1)
    for label, unit in [(f"one grapheme {grapheme!r}", grapheme), (f"one learned pair {one_learned_pair(tok)!r}",
                                                                    one_learned_pair(tok))]:
        big = unit * (1_000_000 // len(unit.encode()))
        seconds = best_of(2, lambda: tok.encode(big, "ranked"))
        tokens = tok.count(big, "ranked")
        key = "repeat_grapheme_s" if "grapheme" in label else "repeat_pair_s"
        fields[key] = seconds
        say(f"  {label:40s} {seconds:8.3f} s   {tokens / len(big.encode()):.4f} tokens/byte")
    say("  (target: < 0.2 s each)")
    print(" ".join(f"{k}={v:.6g}" for k, v in fields.items()))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
