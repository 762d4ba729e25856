#!/usr/bin/env python3
"""Peer measurement with Debian's python3-sentencepiece, for comparison only.

    peer_sentencepiece.py <train-text> <vocab-size> <long-text> <sentences> <workdir>

BPE training to the given vocabulary size, without splitting at whitespace
(like ours, merges cross spaces), every character kept. Prints one line of
key=value fields.
"""
import sys
import time
from pathlib import Path

import sentencepiece as spm


def main():
    train_file, vocab_size, long_file, sentences_file, workdir = sys.argv[1:6]
    prefix = str(Path(workdir) / "peer-sentencepiece")
    start = time.perf_counter()
    spm.SentencePieceTrainer.train(
        input=train_file, model_prefix=prefix, vocab_size=int(vocab_size), model_type="bpe",
        split_by_whitespace=False, character_coverage=1.0, num_threads=2, minloglevel=2,
        # Lines longer than its default limit would be dropped from training.
        max_sentence_length=1 << 16)
    train_seconds = time.perf_counter() - start

    sp = spm.SentencePieceProcessor(model_file=prefix + ".model")
    text = Path(long_file).read_text(encoding="utf-8")
    best = float("inf")
    for _ in range(2):
        start = time.perf_counter()
        tokens = len(sp.encode(text))
        best = min(best, time.perf_counter() - start)

    sentences = [s for s in Path(sentences_file).read_text(encoding="utf-8").split("\n") if s]
    per_call = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        for s in sentences:
            sp.encode(s)
        per_call = min(per_call, (time.perf_counter() - start) / len(sentences) * 1e6)

    print(f"train_seconds={train_seconds:.4f} vocab={sp.get_piece_size()} encode_seconds={best:.4f} "
          f"bytes={len(text.encode())} tokens={tokens} sentence_us={per_call:.3f}")


if __name__ == "__main__":
    main()
