"""Peak resident memory of a training run against the size of its corpus.

A run holds one chunk at a time, so its peak memory may grow with the model
it learns but not with the text it reads. This trains a fresh model on a
20 MB and on a 60 MB corpus (each in its own process, which reports its peak RSS)
and reports both peaks beside the size of the models they ended with.

Usage: python bench/memory_bound.py [--small MB] [--large MB] [--corpus FILE]
With --corpus, both runs read prefixes of FILE instead of generated text.
A benchmark, not a test: it prints figures and a verdict, and exits 1 only
when the peak grew by more than the model did plus a fixed allowance.
"""

import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

MB = 1_000_000
# Peaks differ by allocator noise and by the size of the last chunk's
# structures; anything past this beyond the model's own growth is growth
# with the corpus.
ALLOWANCE = 8 * 1024 * 1024

# The child reports its own peak (VmHWM): the high-water mark of its own
# address space since exec, untouched by the parent's memory at fork time.
CHILD = r"""
import sys, tolvane
data = tolvane.load_from_file(sys.argv[1])
data.train(sys.argv[2], False, sys.argv[3])
for line in open("/proc/self/status"):
    if line.startswith("VmHWM:"):
        sys.stderr.write(line.split()[1] + "\n")
"""


def generated_corpus(size, seed=11):
    """Text with a long-tailed vocabulary, so later chunks keep bringing
    new words and the model keeps growing as real text makes it."""
    rng = random.Random(seed)
    pieces = ["ka", "to", "ri", "an", "el", "mo", "su", "ne", "la", "or", "é", "ß", "日本", "мир", "👍🏽"]
    words = ["".join(rng.choice(pieces) for _ in range(rng.randint(1, 5))) for _ in range(40_000)]
    cumulative, total = [], 0.0
    for k in range(len(words)):
        total += 1 / (k + 1)
        cumulative.append(total)
    # Drawn in one call and joined in slices of 14 words a line: a
    # per-line loop takes minutes for 60 MB.
    count = size // 5
    drawn = rng.choices(words, cum_weights=cumulative, k=count)
    lines = [" ".join(drawn[k:k + 14]) for k in range(0, count, 14)]
    text = ".\n".join(lines).encode()
    while len(text) < size:
        text += text[:size - len(text)]
    return text[:size]


def train_measured(folder, corpus):
    """Trains a fresh model on `corpus` in a child; its peak RSS and time."""
    empty = os.path.join(folder, "empty.model")
    with open(empty, "wb") as f:
        f.write(bytes(24))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    began = time.monotonic()
    done = subprocess.run([sys.executable, "-c", CHILD, empty, corpus, "train.log"], cwd=folder, env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if done.returncode != 0:
        sys.exit(f"memory_bound: the run on {corpus} failed: {done.stderr.decode()[-500:]}")
    peak_kib = int(done.stderr.decode().split()[-1])
    return {"peak": peak_kib * 1024, "seconds": time.monotonic() - began,
            "model": os.path.getsize(os.path.join(folder, "tokenizer"))}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", type=int, default=20, help="MB of the smaller corpus")
    parser.add_argument("--large", type=int, default=60, help="MB of the larger corpus")
    parser.add_argument("--corpus", help="read prefixes of this file instead of generated text")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="memory-bound-") as tmp:
        if args.corpus:
            with open(args.corpus, "rb") as f:
                text = f.read(args.large * MB)
            if len(text) < args.large * MB:
                sys.exit(f"memory_bound: {args.corpus} holds fewer than {args.large} MB")
        else:
            text = generated_corpus(args.large * MB)
        results = {}
        for label, size in (("small", args.small), ("large", args.large)):
            folder = os.path.join(tmp, label)
            os.mkdir(folder)
            corpus = os.path.join(folder, "corpus.txt")
            with open(corpus, "wb") as f:
                f.write(text[:size * MB])
            results[label] = train_measured(folder, corpus)
            os.remove(corpus)
            r = results[label]
            print(f"{size:4d} MB corpus: peak RSS {r['peak'] / 2**20:7.1f} MiB, "
                  f"model file {r['model'] / 1024:7.1f} KiB, {r['seconds']:6.1f} s")

    small, large = results["small"], results["large"]
    peak_growth = large["peak"] - small["peak"]
    # The model in memory is a few times its file (maps, hash nodes); four
    # times the growth of the file bounds it generously.
    model_growth = 4 * max(0, large["model"] - small["model"])
    print(f"peak grew {peak_growth / 2**20:.1f} MiB for {args.large / args.small:.0f}x the text; "
          f"the model allows {model_growth / 2**20:.1f} MiB (+{ALLOWANCE / 2**20:.0f} MiB noise)")
    if peak_growth > model_growth + ALLOWANCE:
        print("memory_bound: peak memory grows with the corpus")
        return 1
    print("memory_bound: peak memory is bounded by the model, not the corpus")
    return 0


if __name__ == "__main__":
    sys.exit(main())
