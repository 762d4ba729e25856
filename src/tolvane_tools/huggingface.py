"""A model as a Hugging Face `tokenizer.json`, whose BPE gives the ids of
`mode="ranked"`.

Its BPE starts from code points, ours from graphemes, so the file first
rebuilds every grapheme of the model from its code points, with merges that
rank before every learned merge; then come the learned merges in the order
they were learned (by merged id), which is the ranked mode's rule.

Rebuilding a grapheme must never join code points of two neighbouring
graphemes. The file therefore holds every piece of a grapheme that is a whole
grapheme by itself (the model's own split says so), with a merge for each way
of cutting such a piece in two: whatever order the merges run in, the pieces
of one grapheme keep joining until it is whole, and no merge can join across
a border that does not depend on what comes before. Two rules do depend on
it. An emoji joined by ZWJ to a pictograph is one grapheme only after a
pictograph: a piece is taken only when it is one grapheme by itself, so a
piece holding that join always holds the pictograph before it. Regional
indicators pair up from the start of a run: the pre-tokenizer cuts a run
after every flag that another indicator follows, so no run of more than two
reaches the BPE.

Pieces that are not themselves tokens of the model get ids after the
model's; the BPE gives them only inside a grapheme the model does not know.

A tokenizer.json holds each token text once, and chunked training can learn
one text twice, by two pairs. The file keeps the id the ranked mode gives for
that text alone and leaves out the merges of the other: the ranked mode
reaches a text by one route, so the other id is one it (practically) never
gives.

Special tokens become added tokens marked special, matched before anything
else as allowed_special="all" matches them; byte fallback becomes the BPE's
own, the high byte tokens named <0x80> to <0xFF> (the low ones are the ASCII
characters, always known)."""

from __future__ import annotations

import json
import os
import tempfile
from dataclasses import dataclass, field

from tolvane_tools.modelfile import OOV_KEY, Model, parse_model

# Regional indicators A to Z.
_RI = "[\U0001F1E6-\U0001F1FF]"
# After each flag that another indicator follows, the text is cut.
FLAG_RUN_CUT = f"{_RI}{{2}}(?={_RI})"
UNKNOWN_TOKEN = "<oov>"


def _byte_name(byte: int) -> str:
    return f"<0x{byte:02X}>"


@dataclass
class Export:
    """What the tokenizer.json is made of, before it is written."""
    vocab: dict[str, int] = field(default_factory=dict)
    merges: list[tuple[str, str]] = field(default_factory=list)
    unknown: str = UNKNOWN_TOKEN
    specials: dict[str, int] = field(default_factory=dict)
    byte_fallback: bool = False
    # Ids of the model whose text another id already stands for (the file
    # maps one text to one id: the first learned).
    shadowed: dict[int, int] = field(default_factory=dict)
    # Pieces of graphemes the file adds, by id.
    added_pieces: dict[int, str] = field(default_factory=dict)


def _token_strings(model: Model, byte_ids: tuple[int, ...] | None,
                   specials: dict[str, int]) -> dict[int, str]:
    """The text the file gives each id of the model; special tokens and the
    unknown token are left out (they are named elsewhere)."""
    high_bytes = {byte_ids[b]: b for b in range(0x80, 0x100)} if byte_ids else {}
    special_ids = set(specials.values())
    oov = model.oov_id()
    texts: dict[int, str] = {}
    for token, raw in sorted(model.lookup.items()):
        if token == oov or token in special_ids:
            continue
        if token in high_bytes:
            texts[token] = _byte_name(high_bytes[token])
            continue
        try:
            texts[token] = raw.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(f"token {token} is not valid UTF-8 ({raw!r}), which a "
                             "tokenizer.json cannot hold") from None
    return texts


def _unknown_spelling(texts: dict[int, str], specials: dict[str, int]) -> str:
    """A spelling for the unknown token that no token text or special token
    holds, so no merge makes it, no text matches it and decoding can drop it."""
    spelling, n = UNKNOWN_TOKEN, 0
    while any(spelling in t for t in [*texts.values(), *specials]):
        n += 1
        spelling = f"<oov{n}>"
    return spelling


def _grapheme_pieces(tok, grapheme: str) -> list[str]:
    """Every piece of `grapheme` (two code points or more) that is one grapheme
    by itself, shortest first."""
    pieces = []
    for length in range(2, len(grapheme) + 1):
        for start in range(len(grapheme) - length + 1):
            piece = grapheme[start:start + length]
            if tok.graphemes(piece) == [piece]:
                pieces.append(piece)
    return pieces


def build_export(tok) -> Export:
    model = parse_model(tok.to_bytes())
    specials: dict[str, int] = dict(getattr(tok, "special_tokens", {}) or {})
    byte_ids = getattr(tok, "byte_ids", None)
    texts = _token_strings(model, byte_ids, specials)
    out = Export(specials=specials, byte_fallback=byte_ids is not None)
    out.unknown = _unknown_spelling(texts, specials)

    # One id per text. Where tokens share a text, the one the ranked mode
    # gives for that text alone (the way it is most often reached), else the
    # first learned.
    # The special tokens are in the vocabulary too, under their own ids:
    # `tokenizers` keeps an added token's id only when the model holds it.
    # A learned token spelt like one is reached as the special token.
    out.vocab.update(specials)
    by_text: dict[str, list[int]] = {}
    for token, text in texts.items():
        if text in specials:
            out.shadowed[token] = specials[text]
            continue
        by_text.setdefault(text, []).append(token)
    for text, tokens in by_text.items():
        chosen = tokens[0]
        if len(tokens) > 1:
            alone = tok.encode(text, mode="ranked")
            if len(alone) == 1 and alone[0] in tokens:
                chosen = alone[0]
        out.vocab[text] = chosen
        out.shadowed.update((token, chosen) for token in tokens if token != chosen)
    oov = model.oov_id()
    if oov is not None:
        out.vocab[out.unknown] = oov
    next_id = max(model.lookup, default=-1) + 1

    # Graphemes from their code points: single code points first, then every
    # piece with a merge for each cut into two pieces.
    graphemes = [g for g in model.unicode_lookup if g != OOV_KEY]
    building: list[str] = []
    known_pieces: set[str] = set()
    for grapheme in sorted(graphemes, key=lambda g: (len(g), g)):
        for point in grapheme:
            if point not in out.vocab:
                out.vocab[point] = next_id
                out.added_pieces[next_id] = point
                next_id += 1
        for piece in _grapheme_pieces(tok, grapheme):
            if piece not in known_pieces:
                known_pieces.add(piece)
                building.append(piece)
    building.sort(key=lambda p: (len(p), p))
    construction: list[tuple[str, str]] = []
    for piece in building:
        if piece not in out.vocab:
            out.vocab[piece] = next_id
            out.added_pieces[next_id] = piece
            next_id += 1
        for cut in range(1, len(piece)):
            left, right = piece[:cut], piece[cut:]
            if _is_piece(left, known_pieces) and _is_piece(right, known_pieces):
                construction.append((left, right))

    # The high byte tokens under the names the BPE's byte fallback looks up
    # (the low ones are ASCII characters, which are always known).
    for byte in range(0x80, 0x100):
        if byte_ids is not None and _byte_name(byte) in texts.values() \
                and out.vocab[_byte_name(byte)] != byte_ids[byte]:
            raise ValueError(f"token {out.vocab[_byte_name(byte)]} has the text {_byte_name(byte)!r}, "
                             "the name a tokenizer.json gives a byte token")
    # The learned merges by merged id: the order they were learned. A merge
    # of a token whose text the file gives another id is left out: the ranked
    # mode never reaches such a token (it reaches the text by the other id),
    # and in the file the merge would join the other id instead.
    learned: list[tuple[str, str]] = []
    for (left_id, right_id), merged in sorted(model.merges.items(), key=lambda item: item[1]):
        if left_id not in texts or right_id not in texts or merged not in texts:
            continue  # a merge with the oov, a special or a byte token: none is ever merged
        if left_id in out.shadowed or right_id in out.shadowed:
            continue
        learned.append((texts[left_id], texts[right_id]))
    seen: set[tuple[str, str]] = set()
    for pair in construction + learned:
        if pair not in seen:
            seen.add(pair)
            out.merges.append(pair)
    return out


def _is_piece(text: str, pieces: set[str]) -> bool:
    return len(text) == 1 or text in pieces


def tokenizer_json(tok) -> dict:
    """The tokenizer.json of `tok` as a JSON value."""
    export = build_export(tok)
    added = [{"id": token, "content": text, "single_word": False, "lstrip": False,
              "rstrip": False, "normalized": False, "special": True}
             for text, token in sorted(export.specials.items(), key=lambda item: item[1])]
    decoders = [{"type": "Replace", "pattern": {"String": export.unknown}, "content": ""}]
    if export.byte_fallback:
        decoders.append({"type": "ByteFallback"})
    decoders.append({"type": "Fuse"})
    return {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": added,
        "normalizer": None,
        "pre_tokenizer": {"type": "Split", "pattern": {"Regex": FLAG_RUN_CUT},
                          "behavior": "MergedWithPrevious", "invert": False},
        "post_processor": None,
        "decoder": {"type": "Sequence", "decoders": decoders},
        "model": {
            "type": "BPE",
            "dropout": None,
            "unk_token": export.unknown if tok.oov_id is not None else None,
            "continuing_subword_prefix": None,
            "end_of_word_suffix": None,
            "fuse_unk": False,
            "byte_fallback": export.byte_fallback,
            "ignore_merges": False,
            "vocab": dict(sorted(export.vocab.items(), key=lambda item: item[1])),
            "merges": [list(pair) for pair in export.merges],
        },
    }


def write_tokenizer_json(tok, path: str | os.PathLike[str]) -> None:
    """Writes the tokenizer.json of `tok` to `path`, under a hidden temporary
    name beside it first and renamed at the end, so no half-written file ever
    stands under `path`. A symbolic link is written through (the file it
    names is replaced, the link stays); a device, pipe or socket is refused
    with OSError, since the rename would replace it."""
    from tolvane_tools.paths import output_problem, written_path

    text = json.dumps(tokenizer_json(tok), ensure_ascii=False, indent=1)
    given = os.fspath(path)
    problem = output_problem(given)
    if problem is not None:
        raise OSError(problem)
    path = written_path(given)
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".part")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


# --- how closely the file follows the ranked mode ----------------------------

@dataclass
class Comparison:
    """Line by line: the ids of the exported file against `mode="ranked"`."""
    lines: int = 0
    equal: int = 0
    decode_equal: int = 0
    # Kind of difference -> number of lines, and the first few lines of each.
    kinds: dict[str, int] = field(default_factory=dict)
    examples: dict[str, list[str]] = field(default_factory=dict)

    @property
    def share_equal(self) -> float:
        return self.equal / self.lines if self.lines else 1.0


# The kinds of line on which the file may give other ids, each with what
# explains it; compare() names the first that fits a differing line.
KINDS = {
    "unknown grapheme": "a grapheme the model does not know: the ranked mode gives it one oov id "
                        "(or its bytes); the file's BPE sees its code points, and gives the "
                        "known ones their ids",
    "flags side by side": "a run of regional indicators cut after each flag: no learned merge "
                          "joins two flags",
    "one text, two ids": "two tokens of the model with one text: the file holds the text once, "
                         "with the first id learned",
    "other": "none of the above",
}


def flags_side_by_side(line: str) -> bool:
    """Whether two flags (three regional indicators or more) meet in `line`."""
    run = 0
    for ch in line:
        run = run + 1 if "\U0001F1E6" <= ch <= "\U0001F1FF" else 0
        if run >= 3:
            return True
    return False


def difference_kind(tok, line: str, ranked: list[int], shadowed: dict[int, int]) -> str:
    if tok.unknown_graphemes(line):
        return "unknown grapheme"
    if flags_side_by_side(line):
        return "flags side by side"
    if any(token in shadowed for token in ranked):
        return "one text, two ids"
    return "other"


def compare(tok, hf_tokenizer, lines: list[str], examples: int = 3) -> Comparison:
    """Encodes each line with `tok` (mode="ranked") and with a
    `tokenizers.Tokenizer` loaded from its export, and counts the lines whose
    ids are equal, those whose decoded texts are equal, and each kind of line
    that differs."""
    export = build_export(tok)
    result = Comparison(lines=len(lines))
    # The file matches every special token in the text, as allowed_special="all" does.
    specials = {"allowed_special": "all"} if export.specials else {}
    ours = tok.encode_batch(lines, mode="ranked", **specials)
    theirs = [e.ids for e in hf_tokenizer.encode_batch_fast(lines, add_special_tokens=False)] \
        if hasattr(hf_tokenizer, "encode_batch_fast") else \
        [e.ids for e in hf_tokenizer.encode_batch(lines, add_special_tokens=False)]
    decoded = hf_tokenizer.decode_batch(theirs, skip_special_tokens=False)
    for line, mine, other, text in zip(lines, ours, theirs, decoded):
        if text == tok.decode(mine):
            result.decode_equal += 1
        if mine == other:
            result.equal += 1
            continue
        kind = difference_kind(tok, line, mine, export.shadowed)
        result.kinds[kind] = result.kinds.get(kind, 0) + 1
        shown = result.examples.setdefault(kind, [])
        if len(shown) < examples:
            shown.append(line)
    return result
