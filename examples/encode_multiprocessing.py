"""Encode a corpus (one document per line) with a pool of `spawn` worker
processes. The Tokenizer is pickled once into each worker (the pickle carries
the model's bytes, so the workers need no access to the model file).

    python examples/encode_multiprocessing.py MODEL CORPUS OUT.bin [--mode ranked] [--workers 2]
"""

import argparse
import multiprocessing
from itertools import islice

from tolvane_tools import Tokenizer
from tolvane_tools.corpus import read_documents
from tolvane_tools.idsfile import IdsWriter

DOCUMENTS_PER_TASK = 2000

_tokenizer = None  # each worker's own copy


def _start_worker(tok: Tokenizer) -> None:
    global _tokenizer
    _tokenizer = tok


def _encode(task: tuple[list[str], str]) -> list[list[int]]:
    documents, mode = task
    # One thread per worker: the processes are the parallelism here.
    return _tokenizer.encode_batch(documents, mode=mode, threads=1)


def _tasks(corpus: str, mode: str):
    documents = read_documents(corpus, "lines")
    while chunk := list(islice(documents, DOCUMENTS_PER_TASK)):
        yield chunk, mode


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model")
    parser.add_argument("corpus")
    parser.add_argument("output")
    parser.add_argument("--mode", default="compatible", choices=("compatible", "ranked"))
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)

    tok = Tokenizer.from_file(args.model)
    context = multiprocessing.get_context("spawn")
    with context.Pool(args.workers, initializer=_start_worker, initargs=(tok,)) as pool, \
            IdsWriter(args.output) as writer:
        # imap keeps the order of the tasks, so the output is in corpus order.
        for ids in pool.imap(_encode, _tasks(args.corpus, args.mode)):
            writer.write_documents(ids)


if __name__ == "__main__":
    main()
