"""`tolvane show`: a text split into its tokens, coloured token by token in a
terminal, one token per line elsewhere, or as a small HTML page."""

from __future__ import annotations

import html
from dataclasses import dataclass

from tolvane_tools.visible import SYMBOLS, visible_char, visible_text


@dataclass(slots=True)
class Segment:
    ids: tuple[int, ...]  # one token, or the byte tokens of one unknown grapheme
    text: str  # the piece of the input they stand for
    kind: str = "token"  # "token", "oov", "bytes" or "special"


def segments(tok, text: str, mode: str = "compatible", **special) -> list[Segment]:
    """The input split at its tokens, by the Tokenizer's own offsets: every
    token stands for whole graphemes of the input, an unknown one's oov id
    for that grapheme, and the byte tokens that spell an unknown grapheme
    share its span, so they are shown together as one piece."""
    ids, spans = tok.encode_with_offsets(text, mode=mode, **special)
    specials = set(tok.special_tokens.values())
    out: list[Segment] = []
    previous = None
    for token, span in zip(ids, spans):
        if span == previous:
            out[-1].ids += (token,)
            out[-1].kind = "bytes"
            continue
        previous = span
        kind = "oov" if token == tok.oov_id else "special" if token in specials else "token"
        out.append(Segment((token,), text[span[0]:span[1]], kind))
    return out


def _ids(seg: Segment) -> str:
    return " ".join(map(str, seg.ids))


_TITLES = {"token": "", "oov": " (out of vocabulary)", "special": " (special token)",
           "bytes": " (the UTF-8 bytes of a grapheme the model does not know)"}


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
    ids = " ".join(f"\x1b[30;48;5;{ANSI_BACKGROUNDS[index % len(ANSI_BACKGROUNDS)]}m{_ids(seg)}\x1b[0m"
                   for index, seg in enumerate(parts))
    count = sum(len(seg.ids) for seg in parts)
    return "".join(out) + f"\n\n{count} token{'s' * (count != 1)}: {ids}\n"


def render_lines(parts: list[Segment]) -> str:
    """One token a line, its id and its text made visible, for pipes (the
    byte tokens of one grapheme share its line, their ids apart by spaces)."""
    shown: dict[str, str] = {}  # tokens repeat: each text is made visible once

    def visible(text: str) -> str:
        made = shown.get(text)
        if made is None:
            made = shown[text] = visible_text(text)
        return made

    return "".join(f"{_ids(seg)}\t{visible(seg.text)}\n" for seg in parts)


def render_html(parts: list[Segment], text: str) -> str:
    spans = []
    ids = []
    for index, seg in enumerate(parts):
        inner = "".join(f'<span class="mark">{html.escape(piece)}</span>' if mark
                        else html.escape(piece) for mark, piece in _pieces(seg.text))
        classes = f"t c{index % len(HTML_BACKGROUNDS)}" + ("" if seg.kind == "token" else f" {seg.kind}")
        title = f"id{'s' * (len(seg.ids) > 1)} {_ids(seg)}{_TITLES[seg.kind]}"
        spans.append(f'<span class="{classes}" title="{title}" data-id="{_ids(seg)}">{inner}</span>')
        ids.append(f'<span class="t c{index % len(HTML_BACKGROUNDS)}">{_ids(seg)}</span>')
    colours = "\n".join(f".c{i} {{ background: {c}; }}" for i, c in enumerate(HTML_BACKGROUNDS))
    count = sum(len(seg.ids) for seg in parts)
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
.bytes {{ text-decoration: underline dotted #555; }}
.special {{ font-weight: bold; }}
.mark {{ color: #555; font-family: "DejaVu Sans Mono", "DejaVu Sans", monospace; }}
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
