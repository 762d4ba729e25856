#!/usr/bin/env python3
"""Our encoder rows of `make bench`, through the Python API as users call it.

    encode_tolvane.py <row> <model> <long-text> <sentences>

row: `data` (Data.encode), or `compatible` / `ranked` (the companion's
Tokenizer in that mode: one thread for single calls, its default threads for
the batch). Prints one line of key=value fields (see encode_timing.py); exits
with status 3 when this installation has no Tokenizer.
"""
import sys

import tolvane

from encode_timing import measure, report

NO_TOKENIZER = 3


def main():
    row, model, long_file, sentences_file = sys.argv[1:5]
    data = tolvane.load_from_file(model)
    if row == "data":
        fields = measure(long_file, sentences_file, data.encode)
    else:
        try:
            from tolvane_tools import Tokenizer
        except ImportError:
            sys.exit(NO_TOKENIZER)
        tokenizer = Tokenizer.from_file(model)
        fields = measure(long_file, sentences_file, lambda text: tokenizer.encode(text, mode=row),
                         lambda texts: tokenizer.encode_batch(texts, mode=row))
    report(vocab=len(data.vocab()), **fields)


if __name__ == "__main__":
    main()
