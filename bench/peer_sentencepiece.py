#!/usr/bin/env python3
"""Peer measurement with the PyPI package sentencepiece, for comparison only.

    peer_sentencepiece.py <train-text> <vocab-size> <long-text> <sentences> <workdir>

BPE training to the given vocabulary size, without splitting at whitespace
(like ours, merges cross spaces), every character kept. Prints one line of
key=value fields (see encode_timing.py).
"""
import sys
import time
from pathlib import Path

import sentencepiece as spm

from encode_timing import measure, report


def main():
    train_file, vocab_size, long_file, sentences_file, workdir = sys.argv[1:6]
    prefix = str(Path(workdir) / "peer-sentencepiece")
    start = time.perf_counter()
    spm.SentencePieceTrainer.train(
        input=train_file, model_prefix=prefix, vocab_size=int(vocab_size), model_type="bpe",
        split_by_whitespace=False, character_coverage=1.0, num_threads=1, minloglevel=2,
        # Lines longer than its default limit would be dropped from training.
        max_sentence_length=1 << 16)
    train_seconds = time.perf_counter() - start

    sp = spm.SentencePieceProcessor(model_file=prefix + ".model")
    fields = measure(long_file, sentences_file, sp.encode,
                     lambda lines: sp.encode(lines, num_threads=2))
    report(train_seconds=train_seconds, vocab=sp.get_piece_size(), **fields)


if __name__ == "__main__":
    main()
