"""`tolvane inspect`: every token of a model file with its kind, the pair a
merged token was made from, its length and its text made visible."""

from __future__ import annotations

import json
from dataclasses import dataclass

from tolvane_tools.modelfile import Model
from tolvane_tools.visible import visible_bytes

# A model that breaks the usual invariants (a hand-made file) can hold ids
# that are neither graphemes nor merges; they are listed as "other".
KINDS = ("oov", "grapheme", "merge", "other")


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
    rows = []
    for token in sorted(model.lookup):
        if token == oov:
            kind = "oov"
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


def render_table(shown: list[Row], summary: dict) -> str:
    width = max([len(str(row.id)) for row in shown] + [2])
    lines = [f"{'id':>{width}}  {'kind':<8}  {'pair':<14}  {'bytes':>5}  text"]
    for row in shown:
        pair = f"({row.pair[0]}, {row.pair[1]})" if row.pair else ""
        lines.append(f"{row.id:>{width}}  {row.kind:<8}  {pair:<14}  {len(row.text):>5}  "
                     f"{visible_bytes(row.text)}")
    parts = [f"{summary['tokens']} tokens", f"{summary['grapheme']} graphemes",
             f"{summary['merge']} merges"]
    if summary["oov"]:
        parts.append(f"{summary['oov']} out-of-vocabulary")
    if summary["other"]:
        parts.append(f"{summary['other']} other")
    lines.append("")
    lines.append("totals: " + ", ".join(parts))
    longest = summary["longest"]
    if longest is not None:
        lines.append(f"longest token: {longest['id']}, {longest['bytes']} bytes: {longest['text']}")
    return "\n".join(lines) + "\n"


def inspect_model(model: Model, order: str, limit: int | None, as_json: bool) -> str:
    rows = token_rows(model)
    summary = totals(rows)
    shown = sort_rows(rows, order)
    if limit is not None:
        shown = shown[:limit]
    if as_json:
        return json.dumps({"tokens": [row.as_json() for row in shown], "totals": summary},
                          ensure_ascii=False) + "\n"
    return render_table(shown, summary)
