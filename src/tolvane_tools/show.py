"""`tolvane show`: a text split into its tokens, coloured token by token in a
terminal, one token per line elsewhere, or as a small HTML page."""

from __future__ import annotations

import html
from dataclasses import dataclass

from tolvane_tools.modelfile import Model
from tolvane_tools.visible import SYMBOLS, visible_char, visible_text


@dataclass
class Segment:
    id: int
    text: str  # the piece of the input this token stands for
    oov: bool


def _graphemes_of_gap(data, gap: str, count: int) -> list[str]:
    """Splits text that encoded to `count` out-of-vocabulary tokens into its
    graphemes. The first grapheme is the longest prefix that still encodes to
    one token: a longer prefix holds a second grapheme and gives two."""
    pieces = []
    while count > 1 and gap:
        end = 1
        while end < len(gap) and len(data.encode(gap[:end + 1])) == 1:
            end += 1
        pieces.append(gap[:end])
        gap = gap[end:]
        count -= 1
    pieces.append(gap)
    return pieces


def _gap_end(data, raw: bytes, pos: int, run: list[int], following: bytes | None) -> int:
    """Where the text behind a run of out-of-vocabulary tokens ends: at the
    first place the next token's text starts from which the run re-encodes
    to exactly those tokens."""
    if following is None:
        return len(raw)
    first = None
    at = raw.find(following, pos + 1)
    while at != -1:
        try:
            gap = raw[pos:at].decode("utf-8")
        except UnicodeDecodeError:
            gap = None
        if gap is not None:
            first = at if first is None else first
            if data.encode(gap) == run:
                return at
        at = raw.find(following, at + 1)
    return len(raw) if first is None else first


def segments(data, model: Model, text: str) -> list[Segment]:
    """The input split at its tokens. An out-of-vocabulary token decodes to
    nothing, so the piece it stands for is found in the input itself."""
    ids = data.encode(text)
    raw = text.encode("utf-8")
    texts = [model.lookup.get(token, b"") for token in ids]
    out: list[Segment] = []
    pos = 0
    i = 0
    while i < len(ids):
        if texts[i]:
            if raw.startswith(texts[i], pos):
                out.append(Segment(ids[i], texts[i].decode("utf-8", "replace"), False))
                pos += len(texts[i])
            else:  # the model does not match its own encoding; show its texts
                out.append(Segment(ids[i], texts[i].decode("utf-8", "replace"), False))
            i += 1
            continue
        j = i
        while j < len(ids) and not texts[j]:
            j += 1
        run = ids[i:j]
        end = _gap_end(data, raw, pos, run, texts[j] if j < len(ids) else None)
        gap = raw[pos:end].decode("utf-8", "replace")
        for token, piece in zip(run, _graphemes_of_gap(data, gap, len(run))):
            out.append(Segment(token, piece, True))
        pos = end
        i = j
    return out


# Background colours taken in turn, light enough for dark text.
ANSI_BACKGROUNDS = (153, 186, 217, 158, 223, 189)
HTML_BACKGROUNDS = ("#a9cdff", "#d4ea8a", "#ffb3b3", "#9fe3c0", "#ffd28a", "#c8bcff")


def _pieces(text: str) -> list[tuple[bool, str]]:
    """(is_mark, string) pieces: spaces and tabs stay as they are (the colour
    shows them), a line feed shows its mark and still breaks the line, other
    invisible characters show their marks."""
    out: list[tuple[bool, str]] = []
    after_visible = False
    for ch in text:
        if ch in " \t":
            out.append((False, ch))
            after_visible = False
        elif ch == "\n":
            out += [(True, SYMBOLS["\n"]), (False, "\n")]
            after_visible = False
        else:
            shown = visible_char(ch, after_visible)
            out.append((shown != ch, shown))
            after_visible = shown == ch
    return out


def render_terminal(parts: list[Segment]) -> str:
    out = []
    for index, seg in enumerate(parts):
        colour = f"\x1b[30;48;5;{ANSI_BACKGROUNDS[index % len(ANSI_BACKGROUNDS)]}m"
        shown = "".join(piece for _, piece in _pieces(seg.text))
        # The colour is closed before a line break so it does not fill the line.
        out.append("\n".join(colour + line + "\x1b[0m" if line else ""
                              for line in shown.split("\n")))
    ids = " ".join(f"\x1b[30;48;5;{ANSI_BACKGROUNDS[index % len(ANSI_BACKGROUNDS)]}m{seg.id}\x1b[0m"
                   for index, seg in enumerate(parts))
    return "".join(out) + f"\n\n{len(parts)} tokens: {ids}\n"


def render_lines(parts: list[Segment]) -> str:
    """One token a line, its id and its text made visible, for pipes."""
    return "".join(f"{seg.id}\t{visible_text(seg.text)}\n" for seg in parts)


def render_html(parts: list[Segment], text: str) -> str:
    spans = []
    ids = []
    for index, seg in enumerate(parts):
        inner = "".join(f'<span class="mark">{html.escape(piece)}</span>' if mark
                        else html.escape(piece) for mark, piece in _pieces(seg.text))
        classes = f"t c{index % len(HTML_BACKGROUNDS)}" + (" oov" if seg.oov else "")
        title = f"id {seg.id}" + (" (out of vocabulary)" if seg.oov else "")
        spans.append(f'<span class="{classes}" title="{title}" data-id="{seg.id}">{inner}</span>')
        ids.append(f'<span class="t c{index % len(HTML_BACKGROUNDS)}">{seg.id}</span>')
    colours = "\n".join(f".c{i} {{ background: {c}; }}" for i, c in enumerate(HTML_BACKGROUNDS))
    count = len(parts)
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>tolvane: {count} token{'s' * (count != 1)}</title>
<style>
body {{ font-family: system-ui, sans-serif; margin: 2em; color: #222; background: #fafafa; }}
.summary {{ color: #555; }}
.text {{ font-family: ui-monospace, monospace; font-size: 1.3em; line-height: 2;
        white-space: pre-wrap; overflow-wrap: anywhere; }}
.t {{ border-radius: 3px; margin: 0 1px; padding: 0.15em 0.05em; }}
.t:hover {{ outline: 2px solid #333; }}
{colours}
.oov {{ text-decoration: underline wavy #c00; }}
.mark {{ color: #555; }}
.ids {{ font-family: ui-monospace, monospace; color: #333; line-height: 1.8; }}
</style>
</head>
<body>
<p class="summary">{count} token{'s' * (count != 1)} for {len(text)} characters
({len(text.encode('utf-8'))} bytes). Hover over a token to see its id.</p>
<div class="text">{''.join(spans)}</div>
<p class="ids">{' '.join(ids)}</p>
</body>
</html>
"""
