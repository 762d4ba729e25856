"""Add an `ids` column to a Hugging Face `datasets` Dataset with
`Dataset.map(batched=True, num_proc=2)`; the Tokenizer is pickled to the
worker processes with the mapped function's arguments. The ids are then
written as OUT.bin/OUT.idx in the dataset's order.

    python examples/encode_datasets.py MODEL CORPUS OUT.bin [--mode ranked] [--workers 2]
"""

import argparse

from datasets import Dataset

from tolvane_tools import Tokenizer
from tolvane_tools.corpus import read_documents
from tolvane_tools.idsfile import write_ids


def add_ids(batch: dict, tok: Tokenizer, mode: str) -> dict:
    return {"ids": tok.encode_batch(batch["text"], mode=mode, threads=1)}


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model")
    parser.add_argument("corpus")
    parser.add_argument("output")
    parser.add_argument("--mode", default="compatible", choices=("compatible", "ranked"))
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)

    tok = Tokenizer.from_file(args.model)
    dataset = Dataset.from_dict({"text": list(read_documents(args.corpus, "lines"))})
    encoded = dataset.map(add_ids, batched=True, batch_size=1000, num_proc=args.workers,
                          fn_kwargs={"tok": tok, "mode": args.mode})
    write_ids(args.output, encoded["ids"])


if __name__ == "__main__":
    main()
