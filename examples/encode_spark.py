"""Encode a text corpus with PySpark: `mapPartitionsWithIndex` over the
corpus's lines, with the Tokenizer broadcast to the executors, each partition
written as its own PREFIX-NNNNN.bin/.idx pair. Here Spark runs as `local[2]`;
give another master to run the same code on a cluster (the output folder must
then be shared).

    python examples/encode_spark.py MODEL CORPUS OUT_PREFIX [--mode ranked] [--partitions 2]
"""

import argparse
import os
import sys

from pyspark.sql import SparkSession

from tolvane_tools import Tokenizer
from tolvane_tools.idsfile import write_ids


def main(argv=None) -> list[str]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model")
    parser.add_argument("corpus")
    parser.add_argument("prefix", help="output files are PREFIX-00000.bin, PREFIX-00001.bin, ...")
    parser.add_argument("--mode", default="compatible", choices=("compatible", "ranked"))
    parser.add_argument("--partitions", type=int, default=2)
    args = parser.parse_args(argv)

    # The executors' Python is this one, so they can import tolvane_tools.
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    spark = (SparkSession.builder.master("local[2]").appName("tolvane-encode")
             .config("spark.ui.enabled", "false").getOrCreate())
    try:
        context = spark.sparkContext
        shared = context.broadcast(Tokenizer.from_file(args.model))
        prefix, mode = os.path.abspath(args.prefix), args.mode

        def encode_partition(index, records):
            # A document is the line without its LF or CR LF, as `tolvane
            # encode` cuts them; the records come without the LF.
            documents = [line.removesuffix("\r") for _, line in records]
            output = f"{prefix}-{index:05d}.bin"
            write_ids(output, shared.value.encode_batch(documents, mode=mode, threads=1))
            yield output

        # Lines end at LF alone. textFile would also end one at a lone CR,
        # and every document after it would shift; the record delimiter it
        # cannot be given is a setting of the input format read here.
        corpus = os.path.abspath(args.corpus)
        per_partition = -(-os.path.getsize(corpus) // max(args.partitions, 1))
        lines = context.newAPIHadoopFile(
            corpus, "org.apache.hadoop.mapreduce.lib.input.TextInputFormat",
            "org.apache.hadoop.io.LongWritable", "org.apache.hadoop.io.Text",
            conf={"textinputformat.record.delimiter": "\n",
                  "mapreduce.input.fileinputformat.split.maxsize": str(max(per_partition, 1))})
        written = lines.mapPartitionsWithIndex(encode_partition).collect()
    finally:
        spark.stop()
    for path in written:
        print(path)
    return written


if __name__ == "__main__":
    main()
