#!/usr/bin/env python3
"""`make bench`: every figure measured in this one run, printed as a table.

Builds bench/bench_core (the core called directly, no Python in between) in
build/bench, makes the corpora when they are missing (bench/make_corpora.py),
and runs each measurement in its own process so that each reports its own
peak memory. Our encoder rows go through the installed Python API
(bench/encode_tolvane.py); the peers (the PyPI packages tokenizers,
sentencepiece and tiktoken, pinned in pyproject.toml) run in their own venv,
build/bench-venv, installed there when missing and otherwise skipped with a
line saying so.
"""
import os
import shutil
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = ROOT / "build" / "bench"
CORPORA = HERE / "corpora"
OUT = HERE / "out"
CORE = BUILD / "bench" / "bench_core"
CHUNK = 3_067_833
PY = sys.executable
BENCH_VENV = ROOT / "build" / "bench-venv"
PEER_PY = BENCH_VENV / "bin" / "python"
NO_TOKENIZER = 3  # encode_tolvane.py's status when there is no Tokenizer

sys.path.insert(0, str(ROOT / "scripts"))
from requirements import requirements  # noqa: E402
from encode_table import encoders_at_equal_vocabulary  # noqa: E402


def fields(line):
    return {k: float(v) for k, v in (f.split("=", 1) for f in line.split())}


def run_fields(args, **kw):
    out = subprocess.run([str(a) for a in args], check=True, capture_output=True, text=True, **kw)
    return fields(out.stdout.strip().splitlines()[-1])


def build():
    if not (BUILD / "build.ninja").exists():
        subprocess.run(["meson", "setup", str(BUILD), "--buildtype=release", "-Dtests=disabled"],
                       cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["ninja", "-C", str(BUILD), "bench/bench_core"], check=True,
                   stdout=subprocess.DEVNULL)


def corpora():
    if not all((CORPORA / n).exists() for n in ["english.txt", "multilingual.txt", "heldout.txt"]):
        subprocess.run([PY, str(HERE / "make_corpora.py")], check=True)


def fresh(name):
    path = OUT / name
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


def train(text, name, mode="engine"):
    work = fresh(name)
    return run_fields([CORE, "train", text, work, mode]), work / "tokenizer"


def sentences_file():
    """The first 2,000 lines of 40 to 200 bytes of the held-out text."""
    path = OUT / "sentences.txt"
    lines = [l for l in (CORPORA / "heldout.txt").read_bytes().split(b"\n") if 40 <= len(l) <= 200]
    path.write_bytes(b"\n".join(lines[:2000]) + b"\n")
    return path


def peer_venv():
    """build/bench-venv: every peer pyproject.toml pins that pip can install,
    and the project as `make build` installed it into .venv (a .pth file
    naming .venv's site-packages), so one interpreter runs ours and theirs.
    Returns {import name: why it is missing} for the peers it lacks."""
    version = ".".join(map(str, sys.version_info[:2]))
    stamp = BENCH_VENV / "tolvane-python"
    if not PEER_PY.exists() or not stamp.exists() or stamp.read_text() != version:
        shutil.rmtree(BENCH_VENV, ignore_errors=True)
        subprocess.run([PY, "-m", "venv", str(BENCH_VENV)], check=True)
        stamp.write_text(version)
    site = subprocess.run([PEER_PY, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          check=True, capture_output=True, text=True).stdout.strip()
    ours = {sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"]}
    (Path(site) / "tolvane-dev.pth").write_text("\n".join(sorted(ours)) + "\n")
    missing = {}
    for requirement in requirements(["bench"]):
        name = requirement.split("=")[0].strip()
        # A satisfied pin costs pip no download, so this works offline too.
        subprocess.run([PEER_PY, "-m", "pip", "install", "--quiet", requirement],
                       capture_output=True)
        if subprocess.run([PEER_PY, "-c", f"import {name}"], capture_output=True).returncode != 0:
            missing[name] = f"pip could not install {requirement}"
    return missing


def mb(n):
    return n / 1e6


def encoders_only():
    """`bench/run.py --encoders`: only the table of encoders at equal
    vocabulary, after training the one chunk it needs."""
    build()
    corpora()
    OUT.mkdir(exist_ok=True)
    chunk = OUT / "chunk.txt"
    chunk.write_bytes((CORPORA / "english.txt").read_bytes()[:CHUNK])
    engine_chunk, chunk_model = train(chunk, "chunk-engine")
    say = lambda line="": print(line, flush=True)  # noqa: E731
    say(f"tolvane bench (encoders only), {time.strftime('%Y-%m-%d %H:%M')}, {os.cpu_count()} cores")
    encoders_at_equal_vocabulary(say, chunk, chunk_model, engine_chunk, CORPORA / "heldout.txt",
                                 sentences_file(), PEER_PY, peer_venv(), OUT)


def multilingual_split():
    """Every tenth line of the multilingual corpus held out, the rest to train on."""
    train_part, held = OUT / "multilingual-train.txt", OUT / "multilingual-heldout.txt"
    lines = (CORPORA / "multilingual.txt").read_bytes().split(b"\n")
    train_part.write_bytes(b"\n".join(l for i, l in enumerate(lines) if i % 10 != 9))
    held.write_bytes(b"\n".join(l for i, l in enumerate(lines) if i % 10 == 9))
    return train_part, held


def export_section(say, english_model, missing_peers):
    """The tokenizer.json export against the ranked mode, line by line, on the
    held-out English text and on held-out multilingual lines."""
    if "tokenizers" in missing_peers:
        say(f"Export: skipped ({missing_peers['tokenizers']})")
        return
    train_part, held = multilingual_split()
    _, multi_model = train(train_part, "train-multilingual-nine-tenths")
    english = CORPORA / "english.txt"
    done = subprocess.run([PEER_PY, HERE / "bench_export.py",
                           "English", english_model, CORPORA / "heldout.txt",
                           "Multilingual", multi_model, held,
                           "English, trainer", f"trainer=6932:{english}", CORPORA / "heldout.txt",
                           "Multilingual, trainer", f"trainer=8000:{train_part}", held],
                          capture_output=True, text=True)
    for line in done.stdout.splitlines() or [f"Export: skipped ({done.stderr.strip()[-300:]})"]:
        say(line)


def export_only():
    """`bench/run.py --export`: only the export section, after training the
    two models it needs."""
    build()
    corpora()
    OUT.mkdir(exist_ok=True)
    say = lambda line="": print(line, flush=True)  # noqa: E731
    say(f"tolvane bench (export only), {time.strftime('%Y-%m-%d %H:%M')}, {os.cpu_count()} cores")
    _, english_model = train(CORPORA / "english.txt", "train-english")
    export_section(say, english_model, peer_venv())


def trainer_section(say, english, multi, heldout, missing_peers):
    """Training to a vocabulary size against the peers, then the 1 GB corpus."""
    work = OUT / "trainer"
    work.mkdir(parents=True, exist_ok=True)
    for args in (["table", work, english, multi, heldout], ["big", work, english]):
        done = subprocess.run([PEER_PY, HERE / "bench_trainer.py", *map(str, args)],
                              capture_output=True, text=True)
        for line in done.stdout.splitlines() or [f"Trainer: skipped ({done.stderr.strip()[-300:]})"]:
            say(line)


def trainer_only():
    """`bench/run.py --trainer`: only the trainer to a vocabulary size."""
    build()
    corpora()
    OUT.mkdir(exist_ok=True)
    say = lambda line="": print(line, flush=True)  # noqa: E731
    say(f"tolvane bench (trainer only), {time.strftime('%Y-%m-%d %H:%M')}, {os.cpu_count()} cores")
    trainer_section(say, *(CORPORA / n for n in ["english.txt", "multilingual.txt", "heldout.txt"]),
                    peer_venv())


def main():
    if sys.argv[1:] == ["--encoders"]:
        return encoders_only()
    if sys.argv[1:] == ["--trainer"]:
        return trainer_only()
    if sys.argv[1:] == ["--export"]:
        return export_only()
    build()
    corpora()
    OUT.mkdir(exist_ok=True)
    english, multi, heldout = (CORPORA / n for n in ["english.txt", "multilingual.txt", "heldout.txt"])
    sizes = {p: p.stat().st_size for p in [english, multi, heldout]}
    chunk = OUT / "chunk.txt"
    chunk.write_bytes(english.read_bytes()[:CHUNK])
    tenth = OUT / "english-10mb.txt"
    tenth.write_bytes(english.read_bytes()[:10_000_000])
    sentences = sentences_file()
    rows = []

    def say(line=""):
        rows.append(line)
        print(line, flush=True)

    say(f"tolvane bench, {time.strftime('%Y-%m-%d %H:%M')}, {os.cpu_count()} cores; corpora: English "
        f"{mb(sizes[english]):.1f} MB, multilingual {mb(sizes[multi]):.1f} MB, held-out English "
        f"{mb(sizes[heldout]):.1f} MB")
    say()

    # One chunk of training, both algorithms. The engine's run is short
    # enough for the state of the machine's free memory to move it by a
    # fifth: the best of three runs is its figure, the first shown beside.
    engine_runs = [train(chunk, "chunk-engine")[0] for _ in range(3)]
    engine_chunk = min(engine_runs, key=lambda r: r["seconds"])
    chunk_model = OUT / "chunk-engine" / "tokenizer"
    literal_chunk, _ = train(chunk, "chunk-literal", "literal")
    ratio = literal_chunk["seconds"] / engine_chunk["seconds"]
    say("Training one chunk (first 3,067,833 bytes of English, 700 iterations)")
    say(f"  literal recount   {literal_chunk['seconds']:8.2f} s")
    say(f"  engine            {engine_chunk['seconds']:8.3f} s   {ratio:6.1f}x faster   (target >= 100x; "
        f"best of 3 runs, the first {engine_runs[0]['seconds']:.3f} s, "
        f"{literal_chunk['seconds'] / engine_runs[0]['seconds']:.1f}x)")
    memory = run_fields([CORE, "memory", chunk])
    say(f"  engine memory     {memory['built_bytes'] / memory['positions']:.1f} bytes per position after "
        f"the first count, {memory['peak_bytes'] / memory['positions']:.1f} at the peak "
        f"({int(memory['positions']):,} positions)")
    say()

    # Whole corpora.
    say("Training whole corpora (engine)                 MB/s     peak RSS")
    full = {}
    for label, text, name in [("English, first 10 MB", tenth, "train-english-10mb"),
                              ("English, whole", english, "train-english"),
                              ("Multilingual, whole", multi, "train-multilingual")]:
        result, model = train(text, name)
        full[name] = (result, model)
        size = text.stat().st_size
        say(f"  {label:22s} {result['seconds']:7.2f} s  {mb(size) / result['seconds']:8.2f}  "
            f"{result['peak_rss_kb'] / 1024:8.1f} MB   ({int(result['tokens'])} tokens)")
    say("  (targets: >= 15 MB/s; peak RSS flat in corpus size)")
    say()

    # Encoding, the core called directly.
    english_result, english_model = full["train-english"]
    say("Encoding the held-out text, the core called directly (frequency passes, as Data.encode)")
    long_full = run_fields([CORE, "encode", english_model, heldout])
    long_chunk = run_fields([CORE, "encode", chunk_model, heldout])
    short_full = run_fields([CORE, "sentences", english_model, sentences])
    for label, result in [(f"whole-corpus model ({int(english_result['tokens'])} tokens)", long_full),
                          (f"one-chunk model ({int(engine_chunk['tokens'])} tokens)", long_chunk)]:
        say(f"  one call, {label:36s} {mb(result['bytes']) / result['seconds']:8.2f} MB/s  "
            f"{result['tokens'] / result['bytes']:.3f} tokens/byte")
    say(f"  short sentences ({int(short_full['calls'])} lines of 40-200 bytes), whole-corpus model: "
        f"engine {short_full['engine_us']:.1f} us/call, with the model's encode index "
        f"{short_full['indexed_us']:.1f} us/call, literal {short_full['literal_us']:.1f} us/call")
    ranked = run_fields([CORE, "ranked", english_model, heldout])
    say(f"  ranked (learned merges in order), whole-corpus model: {mb(ranked['bytes']) / ranked['seconds']:.2f} MB/s "
        f"(first call {mb(ranked['bytes']) / ranked['cold_seconds']:.2f})  "
        f"{ranked['tokens'] / ranked['bytes']:.3f} tokens/byte; 100-byte pieces {ranked['short_us']:.2f} us/call; "
        f"1 MB of one grapheme {ranked['run_seconds']:.3f} s, of one learned pair {ranked['pair_seconds']:.3f} s")
    say("  (ranked targets: >= 30 MB/s, < 3 us per 100 bytes, each 1 MB case < 0.2 s)")
    say()

    # Grapheme split.
    say("Grapheme split alone                  ASCII shortcut    every code point")
    for label, text in [("English", english), ("Multilingual", multi)]:
        s = run_fields([CORE, "split", text])
        say(f"  {label:14s}                  {mb(s['bytes']) / s['fast_seconds']:10.1f} MB/s   "
            f"{mb(s['bytes']) / s['reference_seconds']:10.1f} MB/s"
            + ("" if s["agree"] else "   (the two splits DISAGREE)"))
    say()

    missing_peers = peer_venv()
    encoders_at_equal_vocabulary(say, chunk, chunk_model, engine_chunk, heldout, sentences,
                                 PEER_PY, missing_peers, OUT)

    # The Tokenizer through its Python surface (needs the package built: make build).
    say()
    done = subprocess.run([PY, HERE / "bench_tokenizer.py", english_model, heldout],
                          capture_output=True, text=True)
    for line in done.stdout.splitlines()[:-1] or [f"Tokenizer: skipped ({done.stderr.strip()[-300:]})"]:
        say(line)

    # A corpus encoded end to end by the command (needs the package built: make build).
    say()
    done = subprocess.run([PEER_PY, HERE / "bench_corpus.py", english_model, english, heldout,
                           OUT / "corpus"], capture_output=True, text=True)
    for line in done.stdout.splitlines() or [f"Corpus encoding: skipped ({done.stderr.strip()[-300:]})"]:
        say(line)

    say()
    export_section(say, english_model, missing_peers)

    say()
    trainer_section(say, english, multi, heldout, missing_peers)

    (OUT / "table.txt").write_text("\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
