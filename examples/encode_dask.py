"""Encode a text corpus on a Dask cluster: the corpus becomes a bag of line
partitions, each worker process encodes its partitions with the Tokenizer it
was sent, and every partition is written as its own PREFIX-NNNNN.bin/.idx pair.
Here the cluster is a LocalCluster with two worker processes; point the
Client at a real scheduler to run the same code on many machines (the output
folder must then be shared).

    python examples/encode_dask.py MODEL CORPUS OUT_PREFIX [--mode ranked] [--blocksize 1MB]
"""

import argparse

import dask
import dask.bag
from dask.distributed import Client, LocalCluster

from tolvane_tools import Tokenizer
from tolvane_tools.idsfile import write_ids


def encode_partition(lines: list[str], tok: Tokenizer, mode: str, output: str) -> str:
    # read_text keeps each line's ending; a document is the line without its
    # LF or CR LF, as `tolvane encode` cuts them.
    documents = [line.removesuffix("\n").removesuffix("\r") for line in lines]
    write_ids(output, tok.encode_batch(documents, mode=mode, threads=1))
    return output


def main(argv=None) -> list[str]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model")
    parser.add_argument("corpus")
    parser.add_argument("prefix", help="output files are PREFIX-00000.bin, PREFIX-00001.bin, ...")
    parser.add_argument("--mode", default="compatible", choices=("compatible", "ranked"))
    parser.add_argument("--blocksize", default="16MB", help="bytes of the corpus per partition")
    args = parser.parse_args(argv)

    tok = Tokenizer.from_file(args.model)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster):
        # Lines end at LF alone: by default a lone CR would end one too, and
        # every document after it would shift.
        partitions = dask.bag.read_text(args.corpus, blocksize=args.blocksize, encoding="utf-8",
                                        linedelimiter="\n").to_delayed()
        shared = dask.delayed(tok)  # sent to each worker once, not once per partition
        tasks = [dask.delayed(encode_partition)(part, shared, args.mode,
                                                f"{args.prefix}-{index:05d}.bin")
                 for index, part in enumerate(partitions)]
        written = list(dask.compute(*tasks))
    for path in written:
        print(path)
    return written


if __name__ == "__main__":
    main()
