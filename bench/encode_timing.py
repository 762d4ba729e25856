"""The timing every encoder row of `make bench` shares, ours and the peers',
so that each does the same work on the same inputs: one call on the whole
held-out text, one batch of documents cut from it (where the encoder has a
batch call), and one call per short sentence. Prints one line of key=value
fields."""
import time
from pathlib import Path


def best_of(rounds, call):
    """The shortest of `rounds` runs of `call`, and the last run's result."""
    best = float("inf")
    result = None
    for _ in range(rounds):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


DOCUMENT_BYTES = 4096


def documents(text):
    """The text cut at the first line end after every DOCUMENT_BYTES
    characters, a short tail joined to the last piece: whole lines, so no
    piece is a lone grapheme."""
    out = []
    start = 0
    while start < len(text):
        end = text.find("\n", start + DOCUMENT_BYTES)
        if end < 0 or len(text) - end <= DOCUMENT_BYTES:
            end = len(text)
        else:
            end += 1
        out.append(text[start:end])
        start = end
    return out


def measure(long_file, sentences_file, encode, encode_batch=None, count=len):
    """encode(str) and encode_batch(list of str) return what `count` turns
    into a number of tokens (a list of ids, or a peer's own result type)."""
    text = Path(long_file).read_text(encoding="utf-8")
    sentences = [s for s in Path(sentences_file).read_text(encoding="utf-8").split("\n") if s]
    seconds, ids = best_of(2, lambda: encode(text))
    fields = {"bytes": len(text.encode("utf-8")), "tokens": count(ids), "encode_seconds": seconds}
    if encode_batch is not None:
        batch = documents(text)
        seconds, results = best_of(2, lambda: encode_batch(batch))
        fields.update(batch_seconds=seconds, batch_tokens=sum(count(r) for r in results))
        del results
    # The long results go before the sentences are timed: millions of ids
    # kept alive made the collector's passes part of every short call.
    del ids
    seconds, _ = best_of(3, lambda: [encode(s) for s in sentences])
    fields["sentence_us"] = seconds / len(sentences) * 1e6
    return fields


def report(**fields):
    print(" ".join(f"{key}={value:.6g}" if isinstance(value, float) else f"{key}={value}"
                   for key, value in fields.items()), flush=True)
