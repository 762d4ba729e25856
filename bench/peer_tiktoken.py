#!/usr/bin/env python3
"""Peer measurement with the PyPI package tiktoken, for comparison only.

    peer_tiktoken.py <train-text> <vocab-size> <long-text> <sentences> <workdir>

tiktoken cannot train, so its ranks come from the byte-level BPE that
peer_tokenizers.py trains on the same text to the same vocabulary size: the
256 single bytes first, then each merged token in the order it was learned.
Both then encode with the same merges. tiktoken encodes each piece its
pattern cuts out separately and costs the square of a piece's length, so the
pattern cuts at line ends, where the trainer's words end too. Prints one line
of key=value fields (see encode_timing.py); the training time is the trainer's.
"""
import json
import sys
import time

import tiktoken

from encode_timing import measure, report
from peer_tokenizers import train

LINES = r"[^\n]+\n?|\n"


def byte_alphabet():
    """The byte-level alphabet's character for each byte, inverted: printable
    Latin-1 bytes stand for themselves, every other byte for a code point from
    256 up, given out in byte order."""
    printable = set(range(0x21, 0x7F)) | set(range(0xA1, 0xAD)) | set(range(0xAE, 0x100))
    table = {}
    moved = 0
    for byte in range(256):
        if byte in printable:
            table[chr(byte)] = byte
        else:
            table[chr(256 + moved)] = byte
            moved += 1
    return table


def mergeable_ranks(tokenizer):
    alphabet = byte_alphabet()
    ranks = {bytes([b]): b for b in range(256)}
    # Saved merges are pairs, or "left right" strings in older files.
    for left, right in (m if isinstance(m, list) else m.split(" ", 1)
                        for m in json.loads(tokenizer.to_str())["model"]["merges"]):
        token = bytes(alphabet[c] for c in left + right)
        ranks.setdefault(token, len(ranks))
    return ranks


def main():
    train_file, vocab_size, long_file, sentences_file, _workdir = sys.argv[1:6]
    start = time.perf_counter()
    tokenizer = train(train_file, int(vocab_size))
    train_seconds = time.perf_counter() - start
    encoding = tiktoken.Encoding("peer", pat_str=LINES, mergeable_ranks=mergeable_ranks(tokenizer),
                                 special_tokens={})
    fields = measure(long_file, sentences_file, encoding.encode_ordinary,
                     lambda lines: encoding.encode_ordinary_batch(lines, num_threads=2))
    report(train_seconds=train_seconds, vocab=encoding.n_vocab, **fields)


if __name__ == "__main__":
    main()
