#!/usr/bin/env python3
"""Training to a vocabulary size, ours against the peers, at equal size.

    bench_trainer.py one WHO TRAIN-TEXT VOCAB-SIZE HELD-OUT   one JSON line
    bench_trainer.py table WORKDIR ENGLISH MULTILINGUAL HELD-OUT
    bench_trainer.py big WORKDIR ENGLISH                      the 1 GB corpus

Each training runs in its own process, so its CPU time (every thread's,
from getrusage) and peak RSS are its own. Ours is tolvane_tools.train with
byte fallback (documents: lines); the peers are HF tokenizers' byte-level
BPE (its default pre-tokenization) and SentencePiece BPE, once with its
defaults and once set to keep the text (no normalisation, spaces as they
are and pieces of spaces, byte fallback), as language models use it: the
lossless peer, doing the work ours does.
Held-out text is encoded one call per line (ours ranked); tokens per byte
count the UTF-8 bytes of the lines, and the round trip is the share of lines
that decode back exactly. tiktoken has no trainer: built from HF's merges it
gives HF's tokens, so it adds no row here.
"""
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PEERS = ["tolvane", "tokenizers", "sentencepiece", "sentencepiece-lossless"]
NAMES = {"tolvane": "ours (ranked, byte fallback)", "sentencepiece-lossless": "sentencepiece, lossless"}
# SentencePiece set to keep every byte of the text: what its defaults
# normalise (NFKC, runs of spaces made one) stays, what the vocabulary lacks
# becomes bytes, and a run of spaces may be a piece (without that, each
# space of a run is a token of its own).
LOSSLESS = {"normalization_rule_name": "identity", "remove_extra_whitespaces": False, "byte_fallback": True,
            "allow_whitespace_only_pieces": True}


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def trained(who, train_file, vocab_size, workdir):
    """(encode, decode, vocabulary size) of a freshly trained `who`."""
    if who == "tolvane":
        import tolvane_tools
        tok = tolvane_tools.train(train_file, vocab_size=vocab_size, byte_fallback=True, progress=False)
        return (lambda line: tok.encode(line, mode="ranked")), tok.decode, tok.vocab_size
    if who == "tokenizers":
        os.environ.setdefault("RAYON_NUM_THREADS", "2")
        from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers
        tok = Tokenizer(models.BPE())
        tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
        tok.decoder = decoders.ByteLevel()
        trainer = trainers.BpeTrainer(vocab_size=vocab_size, show_progress=False,
                                      initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
        tok.train([str(train_file)], trainer)
        return (lambda line: tok.encode(line).ids), tok.decode, tok.get_vocab_size()
    if who in ("sentencepiece", "sentencepiece-lossless"):
        import sentencepiece as spm
        prefix = str(Path(workdir) / "sp")
        spm.SentencePieceTrainer.train(input=str(train_file), model_prefix=prefix, vocab_size=vocab_size,
                                       model_type="bpe", minloglevel=2,
                                       **(LOSSLESS if who == "sentencepiece-lossless" else {}))
        sp = spm.SentencePieceProcessor(model_file=prefix + ".model")
        return sp.encode, sp.decode, sp.get_piece_size()
    raise SystemExit(f"unknown trainer {who}")


def one(who, train_file, vocab_size, heldout):
    lines = [l for l in Path(heldout).read_text(encoding="utf-8").split("\n") if l]
    with tempfile.TemporaryDirectory() as workdir:
        start_cpu, start = cpu_seconds(), time.perf_counter()
        encode, decode, size = trained(who, train_file, int(vocab_size), workdir)
        train_cpu, train_wall = cpu_seconds() - start_cpu, time.perf_counter() - start
    tokens = exact = 0
    for line in lines:
        ids = encode(line)
        tokens += len(ids)
        exact += decode(ids) == line
    held_bytes = sum(len(l.encode("utf-8")) for l in lines)
    print(json.dumps({"cpu": train_cpu, "wall": train_wall, "vocab": size, "tpb": tokens / held_bytes,
                      "roundtrip": exact / len(lines), "rss_mb": resource.getrusage(
                          resource.RUSAGE_SELF).ru_maxrss / 1024}))


def measure(who, train_file, vocab_size, heldout):
    done = subprocess.run([sys.executable, __file__, "one", who, str(train_file), str(vocab_size),
                           str(heldout)], capture_output=True, text=True)
    if done.returncode != 0:
        return {"error": (done.stderr.strip().splitlines() or ["failed"])[-1][:120]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def multilingual_split(workdir, multilingual):
    """Every tenth line of the multilingual corpus held out, the rest to train on."""
    train_part, held = Path(workdir) / "multilingual-train.txt", Path(workdir) / "multilingual-heldout.txt"
    lines = Path(multilingual).read_bytes().split(b"\n")
    train_part.write_bytes(b"\n".join(l for i, l in enumerate(lines) if i % 10 != 9))
    held.write_bytes(b"\n".join(l for i, l in enumerate(lines) if i % 10 == 9))
    return train_part, held


def table(workdir, english, multilingual, heldout):
    multi_train, multi_held = multilingual_split(workdir, multilingual)
    cases = [("English", english, heldout, 8000), ("English", english, heldout, 32000),
             ("Multilingual", multi_train, multi_held, 16000)]
    print("Training to a vocabulary size, at equal size (CPU s of every thread; held-out lines one call each)")
    print("                              CPU s   wall s  tokens/byte  round trip  peak RSS")
    for label, train_file, held, size in cases:
        results = {who: measure(who, train_file, size, held) for who in PEERS}
        print(f"  {label}, {size:,} tokens (trained on {Path(train_file).stat().st_size / 1e6:.1f} MB)")
        for who in PEERS:
            r = results[who]
            name = NAMES.get(who, who)
            if "error" in r:
                print(f"    {name:28s} skipped: {r['error']}")
                continue
            print(f"    {name:28s}{r['cpu']:6.2f}  {r['wall']:7.2f}  {r['tpb']:9.3f}  {100 * r['roundtrip']:9.2f}%  "
                  f"{r['rss_mb']:6.0f} MB" + (f"   ({r['vocab']:,} tokens)" if r["vocab"] != size else ""))
        ours = results["tolvane"]
        peers = [results[w] for w in PEERS[1:] if "error" not in results[w]]
        if "error" not in ours and peers:
            fastest = min(p["cpu"] for p in peers)
            best = min(p["tpb"] for p in peers)
            lossless = [p["tpb"] for p in peers if p["roundtrip"] == 1]
            print(f"    ours / fastest peer CPU {ours['cpu'] / fastest:.2f}x (target < 1); "
                  f"tokens/byte ours / best peer {ours['tpb'] / best:.3f} (target <= 1)"
                  + (f", / best lossless peer {ours['tpb'] / min(lossless):.3f}" if lossless else ""))
    print("  (targets: CPU below the fastest peer's; tokens/byte no worse than the best peer's; "
          "100% round trip)")


def big(workdir, english):
    """The English corpus repeated to about 1 GB, trained to 32,000 tokens."""
    path = Path(workdir) / "english-1gb.txt"
    text = Path(english).read_bytes()
    copies = -(-1_000_000_000 // len(text))
    if not path.exists() or path.stat().st_size != copies * len(text):
        with open(path, "wb") as out:
            for _ in range(copies):
                out.write(text)
    code = ("import resource, time, sys, tolvane_tools\n"
            "t = time.perf_counter()\n"
            "from tolvane_tools.trainer import DEFAULT_MEMORY_LIMIT\n"
            "limit = int(sys.argv[2]) if len(sys.argv) > 2 else DEFAULT_MEMORY_LIMIT\n"
            "tok = tolvane_tools.train(sys.argv[1], vocab_size=32000, byte_fallback=True, progress=False,\n"
            "                          memory_limit=limit)\n"
            "wall = time.perf_counter() - t\n"
            "r = resource.getrusage(resource.RUSAGE_SELF)\n"
            "result = tok.training_info['result']\n"
            "print(wall, r.ru_utime + r.ru_stime, r.ru_maxrss / 1024, tok.vocab_size, "
            "result['distinct_pieces'], result['forgettings'])\n")
    done = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True)
    if done.returncode != 0:
        print(f"1 GB corpus: failed ({(done.stderr.strip().splitlines() or ['?'])[-1][:200]})")
        return
    wall, cpu, rss, vocab, distinct, forgettings = done.stdout.split()
    size = path.stat().st_size
    print(f"1 GB corpus (English x{copies}, {size / 1e6:,.0f} MB) to {int(vocab):,} tokens: {float(wall):.1f} s "
          f"({size / 1e6 / float(wall):.1f} MB/s), {float(cpu):.1f} CPU s, peak RSS {float(rss):,.0f} MB, "
          f"{int(distinct):,} distinct pieces")
    # The same copies with every line's first word made new in each (a
    # number before it), so that the distinct pieces grow with the corpus:
    # trained once without a limit and once with a quarter of what that took.
    with open(path, "wb") as out:
        for copy in range(copies):
            out.write(b"\n".join(b"%d|" % copy + line for line in text.split(b"\n")))
    print("1 GB corpus of ever new pieces (the same, each line's first word numbered by its copy):")
    for limit in (0, 256 << 20):
        done = subprocess.run([sys.executable, "-c", code, str(path)] + ([str(limit)] if limit else []),
                              capture_output=True, text=True)
        if done.returncode != 0:
            print(f"  failed ({(done.stderr.strip().splitlines() or ['?'])[-1][:200]})")
            break
        wall, cpu, rss, vocab, distinct, forgettings = done.stdout.split()
        print(f"  memory_limit {'256 MiB' if limit else '4 GiB (default)':16s} {float(wall):6.1f} s  "
              f"{float(cpu):6.1f} CPU s  peak RSS {float(rss):7,.0f} MB  {int(distinct):>9,} distinct pieces  "
              f"forgotten {int(forgettings)} times")
    path.unlink()


def main():
    mode, *args = sys.argv[1:]
    if mode == "one":
        one(*args)
    elif mode == "table":
        table(*args)
    elif mode == "big":
        big(*args)
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
