#!/usr/bin/env python3
"""Peer measurement with the PyPI package tokenizers, for comparison only.

    peer_tokenizers.py <train-text> <vocab-size> <long-text> <sentences> <workdir>

A byte-level BPE trained to the given vocabulary size (the 256 byte tokens
included). Its words are whole lines: like ours, merges cross spaces. The
trainer reads its file line by line anyway; cutting at line ends when
encoding too gives the same tokens and spares it one huge word, which its
merge loop handles far more slowly. Prints one line of key=value fields
(see encode_timing.py).
"""
import os
import sys
import time
from pathlib import Path

from encode_timing import measure, report

# Set before the package loads: its training and batch calls use at most two
# threads, as many as ours may.
os.environ.setdefault("RAYON_NUM_THREADS", "2")

from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers  # noqa: E402


def train(train_file, vocab_size):
    """The trained tokenizer; peer_tiktoken.py builds its ranks from this too."""
    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = pre_tokenizers.Sequence([
        pre_tokenizers.Split("\n", behavior="merged_with_previous"),
        pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)])
    tokenizer.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(vocab_size=vocab_size, show_progress=False, special_tokens=[],
                                  initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
    tokenizer.train([train_file], trainer)
    return tokenizer


def main():
    train_file, vocab_size, long_file, sentences_file, workdir = sys.argv[1:6]
    start = time.perf_counter()
    tokenizer = train(train_file, int(vocab_size))
    train_seconds = time.perf_counter() - start
    tokenizer.save(str(Path(workdir) / "peer-tokenizers.json"))
    fields = measure(long_file, sentences_file, tokenizer.encode, tokenizer.encode_batch,
                     count=lambda encoding: len(encoding.ids))
    report(train_seconds=train_seconds, vocab=tokenizer.get_vocab_size(), **fields)


if __name__ == "__main__":
    main()
