"""The encoder comparison of `make bench`: ours and the peers at one
vocabulary size, every encoder learned from the same text, each row measured
by encode_timing.py in its own process in this run, ratios from this run.

Tokens per byte stands beside every speed, because the modes do different
work: a row only beats another fairly where its tokens per byte is no higher.
"""
import subprocess
from pathlib import Path

from encode_timing import DOCUMENT_BYTES, documents

HERE = Path(__file__).resolve().parent

MODES = {
    "frequency": "passes over the whole text, each merging its most frequent pair; stops at the\n"
                 "             first such pair that is not a learned merge (Data.encode's rule)",
    "ranked": "learned merges in the order they were learned, until none applies (the BPE peers' rule)",
    "sp-bpe": "sentencepiece's BPE: the highest-scoring learned piece first, until none applies",
}

# (label, mode, encode_tolvane.py row)
OURS = [("Data.encode", "frequency", "data"),
        ("Tokenizer, compatible", "frequency", "compatible"),
        ("Tokenizer, ranked", "ranked", "ranked")]
# (label, mode, script, import name)
PEERS = [("tokenizers", "ranked", "peer_tokenizers.py", "tokenizers"),
         ("sentencepiece", "sp-bpe", "peer_sentencepiece.py", "sentencepiece"),
         ("tiktoken", "ranked", "peer_tiktoken.py", "tiktoken")]


def fields(line):
    return {k: float(v) for k, v in (f.split("=", 1) for f in line.split())}


def run(args):
    """(fields, 0, "") or (None, exit status, the last line it printed on standard error)."""
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True)
    if done.returncode != 0:
        return None, done.returncode, (done.stderr.strip().splitlines() or ["no message"])[-1]
    return fields(done.stdout.strip().splitlines()[-1]), 0, ""


def rate(result, seconds_key, tokens_key):
    return result["bytes"] / 1e6 / result[seconds_key], result[tokens_key] / result["bytes"]


def row_text(label, mode, result):
    mbs, per_byte = rate(result, "encode_seconds", "tokens")
    batch = "{:9.2f} {:8.3f}".format(*rate(result, "batch_seconds", "batch_tokens")) \
        if "batch_seconds" in result else f"{'-':>9s} {'-':>8s}"
    return (f"  {label:24s} {mode:10s} {mbs:9.2f} {per_byte:8.3f}  {batch}  "
            f"{result['sentence_us']:9.1f}")


def encoders_at_equal_vocabulary(say, chunk, chunk_model, engine_chunk, heldout, sentences,
                                 peer_python, missing_peers, workdir):
    """Trains each peer on `chunk` to the vocabulary size of `chunk_model`
    (which ours learned from the same chunk) and prints the table. Every row
    runs under `peer_python`, which sees the project and the peers alike."""
    vocab = int(engine_chunk["tokens"])
    say(f"Encoders at equal vocabulary: each learned {vocab} tokens from the same chunk; "
        f"held-out text {heldout.stat().st_size / 1e6:.1f} MB")
    say(f"  {'':24s} {'mode':10s} {'one call':>18s}  {'batch of 4 KB texts':>18s}  {'sentence':>9s}")
    say(f"  {'':24s} {'':10s} {'MB/s':>9s} {'tok/byte':>8s}  {'MB/s':>9s} {'tok/byte':>8s}  "
        f"{'us/call':>9s}")
    results = {}
    for label, mode, row in OURS:
        result, status, why = run([peer_python, HERE / "encode_tolvane.py", row, chunk_model,
                                   heldout, sentences])
        if result is None:
            say(f"  {label:24s} skipped ("
                + ("this installation of tolvane_tools has no Tokenizer" if status == 3 else why) + ")")
            continue
        results[label] = (mode, result)
        say(row_text(label, mode, result))
    trained = {}
    for label, mode, script, name in PEERS:
        if name in missing_peers:
            say(f"  {label:24s} skipped ({missing_peers[name]})")
            continue
        folder = workdir / f"peer-{name}"
        folder.mkdir(parents=True, exist_ok=True)
        result, _, why = run([peer_python, HERE / script, chunk, vocab, heldout, sentences, folder])
        if result is None:
            say(f"  {label:24s} failed ({why})")
            continue
        if int(result["vocab"]) != vocab:
            say(f"  {label:24s} (note: its vocabulary has {int(result['vocab'])} tokens, not {vocab})")
        results[label] = (mode, result)
        trained[label] = result["train_seconds"]
        say(row_text(label, mode, result))
    for mode in sorted({m for m, _ in results.values()}):
        say(f"  {mode + ':':10s} {MODES[mode]}")
    pieces = len(documents(heldout.read_text(encoding="utf-8")))
    say(f"  batch: the held-out text cut at line ends into {pieces} texts of about {DOCUMENT_BYTES} "
        "bytes, one call with the encoder's own threads")
    say()
    ratios(say, results, engine_chunk["seconds"], trained)


def times(ratio):
    """A speed ratio with two significant digits below 1, so a slow row is not shown as 0.0x."""
    return f"{ratio:.1f}x" if ratio >= 1 else f"{ratio:.2g}x"


def ratios(say, results, our_train_seconds, trained):
    peers = [label for label, *_ in PEERS if label in results]
    ours = [label for label, *_ in OURS if label in results]
    if not peers or not ours:
        return
    say("Ours against each peer, this run: speed of one call (x faster), then tokens per byte")
    say("  (ours / peer; above 1 means ours does less work, so its speed is no fair win)")
    say(f"  {'':24s}" + "".join(f" {p:>22s}" for p in peers))
    for label in ours:
        _, mine = results[label]
        mbs, per_byte = rate(mine, "encode_seconds", "tokens")
        cells = []
        for peer in peers:
            peer_mbs, peer_per_byte = rate(results[peer][1], "encode_seconds", "tokens")
            cells.append(f"{times(mbs / peer_mbs):>10s} {per_byte / peer_per_byte:9.2f}")
        say(f"  {label:24s}" + "".join(f" {c:>22s}" for c in cells))
    say(f"  training on the chunk: ours {our_train_seconds:.2f} s; "
        + ", ".join(f"{p} {s:.2f} s ({s / our_train_seconds:.1f}x ours)" for p, s in trained.items()))
    if "tiktoken" in trained:
        say("  (tiktoken's training is the tokenizers training it takes its merges from)")
