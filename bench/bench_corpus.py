#!/usr/bin/env python3
"""Corpus encoding, end to end: `tolvane encode -o` from a text file to
OUT.bin with --jobs 1 and 2, beside the batch encoders of `tokenizers` and
`tiktoken` at the same vocabulary size on the same text.

    bench_corpus.py MODEL TRAIN_TEXT TEXT WORKDIR [--size MB]

TEXT is repeated to about --size MB (so a run lasts long enough to measure).
Every run is a process of its own, timed from start to exit, with its peak
memory and CPU time from wait4. The peers are trained here on TRAIN_TEXT (the
text MODEL was trained on) to MODEL's vocabulary size, byte-level BPE, and are
timed on the corpus's lines already in memory, so their figures leave out
reading the file and writing the ids that ours include. Prints the table's
rows; a missing peer gets a line saying how to install it.
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

PY = sys.executable
MB = 1e6

# Pre-tokenization for the peers: words with a leading space, numbers,
# punctuation runs, whitespace; the split both peers use alike.
SPLIT_PATTERN = (r"'(?:[sdmt]|ll|ve|re)| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+")


def run_child(args):
    """Runs a command; returns its stdout, wall seconds, CPU seconds and peak
    RSS in bytes (CPU as the difference of RUSAGE_CHILDREN around the run)."""
    import resource

    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    done = subprocess.run([str(a) for a in args], capture_output=True)
    seconds = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode:
        raise RuntimeError(f"{' '.join(map(str, args[:6]))} failed:\n"
                           f"{done.stderr.decode(errors='replace')[-2000:]}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    # ru_maxrss of RUSAGE_CHILDREN is the largest of all children so far, so
    # each measured run is the first child of a fresh bench process (below).
    return done.stdout.decode(), seconds, cpu, after.ru_maxrss * 1024


def repeated(text: Path, work: Path, size: int) -> Path:
    corpus = work / f"corpus-{size // 1_000_000}mb.txt"
    if not corpus.exists() or corpus.stat().st_size < size:
        data = text.read_bytes()
        if not data.endswith(b"\n"):
            data += b"\n"
        with open(corpus, "wb") as f:
            written = 0
            while written < size:
                f.write(data)
                written += len(data)
    return corpus


def ours(model, corpus, work, mode, jobs):
    out = work / "out.bin"
    args = [PY, __file__, "--child", PY, "-m", "tolvane_tools", "encode", "-m", model,
            "-f", corpus, "-o", out, "--mode", mode, "--jobs", jobs]
    result = json.loads(subprocess.run([str(a) for a in args], check=True, capture_output=True,
                                       text=True).stdout)
    tokens = os.path.getsize(out) // 2
    return result | {"tokens": tokens}


def peer(name, train_text, corpus, vocab):
    args = [PY, __file__, "--child", PY, __file__, "--peer", name, train_text, corpus, vocab]
    return json.loads(subprocess.run([str(a) for a in args], check=True, capture_output=True,
                                     text=True).stdout)


def child(command):
    """Runs one command as this process's only child and prints its figures."""
    stdout, seconds, cpu, rss = run_child(command)
    figures = {"seconds": seconds, "cpu": cpu, "rss": rss}
    if stdout.startswith("{"):
        figures |= json.loads(stdout)
    print(json.dumps(figures))


# The byte-level alphabet of `tokenizers`: printable bytes stand for
# themselves, the others for code points from 256 on, in byte order.
def _byte_alphabet():
    printable = [*range(0x21, 0x7F), *range(0xA1, 0xAD), *range(0xAE, 0x100)]
    chars = {b: chr(b) for b in printable}
    extra = 0
    for b in range(256):
        if b not in chars:
            chars[b] = chr(256 + extra)
            extra += 1
    return {c: b for b, c in chars.items()}


def trained_peer(train_text, vocab):
    from tokenizers import Regex, Tokenizer, decoders, models, pre_tokenizers, trainers

    tok = Tokenizer(models.BPE())
    tok.pre_tokenizer = pre_tokenizers.Sequence([
        pre_tokenizers.Split(pattern=Regex(SPLIT_PATTERN), behavior="isolated"),
        pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)])
    tok.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(vocab_size=vocab, initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
                                  show_progress=False)
    tok.train([str(train_text)], trainer)
    return tok


def run_peer(name, train_text, corpus, vocab):
    """In a child process: train the peer, then time its batch encoder on
    the corpus's lines. Prints the figures as JSON."""
    lines = Path(corpus).read_text(encoding="utf-8").split("\n")
    size = sum(len(line.encode("utf-8")) for line in lines)
    tok = trained_peer(train_text, int(vocab))
    if name == "tokenizers":
        started, cpu = time.perf_counter(), time.process_time()
        tokens = sum(len(e.ids) for e in tok.encode_batch(lines, add_special_tokens=False))
        seconds, cpu = time.perf_counter() - started, time.process_time() - cpu
    else:
        import tiktoken

        alphabet = _byte_alphabet()
        ranks = {bytes(alphabet[c] for c in token): rank
                 for token, rank in tok.get_vocab().items()}
        encoding = tiktoken.Encoding("bench", pat_str=SPLIT_PATTERN, mergeable_ranks=ranks,
                                     special_tokens={})
        started, cpu = time.perf_counter(), time.process_time()
        tokens = sum(len(ids) for ids in encoding.encode_ordinary_batch(lines, num_threads=2))
        seconds, cpu = time.perf_counter() - started, time.process_time() - cpu
    print(json.dumps({"encode_seconds": seconds, "encode_cpu": cpu, "tokens": tokens, "bytes": size,
                      "vocab": tok.get_vocab_size()}))


def have(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        return child(sys.argv[2:])
    if len(sys.argv) > 1 and sys.argv[1] == "--peer":
        return run_peer(*sys.argv[2:])
    parser = argparse.ArgumentParser()
    parser.add_argument("model")
    parser.add_argument("train_text")
    parser.add_argument("text")
    parser.add_argument("work")
    parser.add_argument("--size", type=int, default=100, help="MB of corpus to encode")
    args = parser.parse_args()
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    corpus = repeated(Path(args.text), work, args.size * 1_000_000)
    size = corpus.stat().st_size
    from tolvane_tools import Tokenizer

    vocab = Tokenizer.from_file(args.model).vocab_size
    print(f"Encoding a corpus end to end, file to OUT.bin ({size / MB:.0f} MB: the held-out text repeated; "
          f"{vocab} tokens)")
    print(f"  {'':28s} {'MB/s':>7s} {'MB/s/CPU s':>11s} {'tokens/byte':>12s} {'peak RSS':>10s}")
    for mode, jobs in (("ranked", 1), ("ranked", 2), ("compatible", 2)):
        r = ours(args.model, corpus, work, mode, jobs)
        print(f"  tolvane {mode:10s} --jobs {jobs}  {size / r['seconds'] / MB:7.2f} "
              f"{size / r['cpu'] / MB:11.2f} {r['tokens'] / size:12.3f} {r['rss'] / MB:8.1f} MB",
              flush=True)
    for name, module in (("tokenizers", "tokenizers"), ("tiktoken", "tiktoken")):
        if not (have("tokenizers") and have(module)):
            print(f"  {name}: not installed (pip install '.[bench]'), skipped")
            continue
        p = peer(name, args.train_text, corpus, vocab)
        call = "encode_batch" if name == "tokenizers" else "encode_ordinary_batch"
        print(f"  {name + ' ' + call:28s} {p['bytes'] / p['encode_seconds'] / MB:7.2f} "
              f"{p['bytes'] / p['encode_cpu'] / MB:11.2f} {p['tokens'] / p['bytes']:12.3f} "
              f"{p['rss'] / MB:8.1f} MB   "
              f"(lines in memory; {p['vocab']} tokens)", flush=True)
    print("  (target: ranked >= 25 MB/s per core; MB/s/CPU s is the corpus size over the CPU time "
          "of the whole run)")


if __name__ == "__main__":
    main()
