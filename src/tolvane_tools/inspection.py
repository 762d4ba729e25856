"""`tolvane inspect`: every token of a model file with its kind, the pair a
merged token was made from, its length and its text made visible."""

from __future__ import annotations

import json
from dataclasses import dataclass

from tolvane_tools.modelfile import Model
from tolvane_tools.visible import visible_bytes

# A model that breaks the usual invariants (a hand-made file) can hold ids
# that are neither graphemes nor merges; they are listed as "other". A
# trainer model's special tokens and its 256 byte tokens (the ASCII ones are
# those characters' graphemes too) are kinds of their own.
KINDS = ("oov", "special", "byte", "grapheme", "merge", "other")


@dataclass
class Row:
    id: int
    kind: str
    pair: tuple[int, int] | None
    text: bytes

    def as_json(self) -> dict:
        return {"id": self.id, "kind": self.kind, "pair": list(self.pair) if self.pair else None,
                "bytes": len(self.text), "text": visible_bytes(self.text), "hex": self.text.hex()}


def token_rows(model: Model) -> list[Row]:
    oov = model.oov_id()
    graphemes = model.grapheme_ids()
    pairs = model.merged_pairs()
    specials = set(model.extras.special_tokens.values()) if model.extras else set()
    byte_ids = (model.extras.byte_ids() if model.extras else None) or range(0)
    rows = []
    for token in sorted(model.lookup):
        if token == oov:
            kind = "oov"
        elif token in specials:
            kind = "special"
        elif token in byte_ids:
            kind = "byte"
        elif token in graphemes:
            kind = "grapheme"
        elif token in pairs:
            kind = "merge"
        else:
            kind = "other"
        rows.append(Row(token, kind, pairs.get(token) if kind == "merge" else None,
                        model.lookup[token]))
    return rows


def sort_rows(rows: list[Row], order: str) -> list[Row]:
    if order == "length":
        return sorted(rows, key=lambda row: (-len(row.text), row.id))
    return sorted(rows, key=lambda row: row.id)


def totals(rows: list[Row]) -> dict:
    counts = {kind: 0 for kind in KINDS}
    for row in rows:
        counts[row.kind] += 1
    longest = max(rows, key=lambda row: (len(row.text), -row.id), default=None)
    return {"tokens": len(rows), **counts,
            "longest": None if longest is None else
            {"id": longest.id, "bytes": len(longest.text), "text": visible_bytes(longest.text)}}


def extension(model: Model) -> dict | None:
    """What the model's extension block holds, or None for a plain model."""
    extras = model.extras
    if extras is None:
        return None
    return {"special_tokens": extras.special_tokens, "byte_fallback": extras.byte_base is not None,
            "byte_base": extras.byte_base, "trainer_options": extras.trainer_options}


def render_extension(found: dict) -> list[str]:
    lines = []
    if found["byte_fallback"]:
        base = found["byte_base"]
        lines.append(f"byte fallback: bytes 0x00..0xFF are tokens {base}..{base + 255}")
    if found["special_tokens"]:
        listed = ", ".join(f"{visible_bytes(text.encode())} = {token}"
                           for text, token in found["special_tokens"].items())
        lines.append(f"special tokens: {listed}")
    if found["trainer_options"]:
        options = ", ".join(f"{key}={json.dumps(value, ensure_ascii=False)}"
                            for key, value in sorted(found["trainer_options"].items()))
        lines.append(f"trained with: {options}")
    return lines


def render_table(shown: list[Row], summary: dict, found: dict | None) -> str:
    width = max([len(str(row.id)) for row in shown] + [2])
    lines = [f"{'id':>{width}}  {'kind':<8}  {'pair':<14}  {'bytes':>5}  text"]
    for row in shown:
        pair = f"({row.pair[0]}, {row.pair[1]})" if row.pair else ""
        lines.append(f"{row.id:>{width}}  {row.kind:<8}  {pair:<14}  {len(row.text):>5}  "
                     f"{visible_bytes(row.text)}")
    parts = [f"{summary['tokens']} tokens"]
    if summary["special"]:
        parts.append(f"{summary['special']} special")
    if summary["byte"]:
        parts.append(f"{summary['byte']} bytes")
    parts += [f"{summary['grapheme']} graphemes", f"{summary['merge']} merges"]
    if summary["oov"]:
        parts.append(f"{summary['oov']} out-of-vocabulary")
    if summary["other"]:
        parts.append(f"{summary['other']} other")
    lines.append("")
    lines.append("totals: " + ", ".join(parts))
    longest = summary["longest"]
    if longest is not None:
        lines.append(f"longest token: {longest['id']}, {longest['bytes']} bytes: {longest['text']}")
    if found is not None:
        lines += render_extension(found)
    return "\n".join(lines) + "\n"


def inspect_model(model: Model, order: str, limit: int | None, as_json: bool) -> str:
    rows = token_rows(model)
    summary = totals(rows)
    shown = sort_rows(rows, order)
    if limit is not None:
        shown = shown[:limit]
    found = extension(model)
    if as_json:
        report = {"tokens": [row.as_json() for row in shown], "totals": summary}
        if found is not None:
            report["extension"] = found
        return json.dumps(report, ensure_ascii=False) + "\n"
    return render_table(shown, summary, found)
