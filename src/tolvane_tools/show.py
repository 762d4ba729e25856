"""`tolvane show`: a text split into its tokens, coloured token by token in a
terminal, one token per line elsewhere, or as a small HTML page."""

from __future__ import annotations

import html
import itertools
import re
from dataclasses import dataclass

from tolvane_tools.modelfile import Model, model_bytes
from tolvane_tools.visible import SYMBOLS, visible_char, visible_text


@dataclass(slots=True)
class Segment:
    id: int
    text: str  # the piece of the input this token stands for
    oov: bool


# A control character always starts a grapheme of its own: a probe ending in
# it never holds a single grapheme (which encoding refuses) and never joins
# its last grapheme to anything.
_SENTINEL = "\x00"
_ZWJ = "\u200d"
_RI_FIRST, _RI_LAST = "\U0001F1E6", "\U0001F1FF"
_EMOJI = "\U0001F600"


def _is_regional_indicator(ch: str) -> bool:
    return _RI_FIRST <= ch <= _RI_LAST


def _hangul(ch: str) -> str | None:
    """The Hangul jamo and syllable classes, fixed by their code points."""
    cp = ord(ch)
    if 0x1100 <= cp <= 0x115F or 0xA960 <= cp <= 0xA97C:
        return "L"
    if 0x1160 <= cp <= 0x11A7 or 0xD7B0 <= cp <= 0xD7C6:
        return "V"
    if 0x11A8 <= cp <= 0x11FF or 0xD7CB <= cp <= 0xD7FB:
        return "T"
    if 0xAC00 <= cp <= 0xD7A3:
        return "LV" if (cp - 0xAC00) % 28 == 0 else "LVT"
    return None


def _load(model: bytes):
    import tempfile

    import tolvane

    with tempfile.NamedTemporaryFile(prefix="tolvane-show-") as f:
        f.write(model)
        f.flush()
        return tolvane.load_from_file(f.name)


class _GraphemeSplitter:
    """Splits text into graphemes exactly as the module does, in time linear
    in the text. The module is the authority: each distinct character is put
    in its break class by asking it how the character joins a few others,
    one pattern then splits the whole text, and one encoding with a model
    that knows every piece found confirms the split. Should the two ever
    disagree, the text is split by asking the module about every position."""

    def __init__(self) -> None:
        # Knows only the out-of-vocabulary token: the number of ids is the
        # number of graphemes.
        self.counter = _load(model_bytes({0: b""}, {}, {"oov": 0}))
        self.classes: dict[str, str] = {}

    def _count(self, text: str) -> int:
        return len(self.counter.encode(text + _SENTINEL)) - 1

    def _joined(self, text: str) -> bool:
        return self._count(text) == 1

    def _class_of(self, ch: str) -> str:
        if ch in "\r\n":
            return {"\r": "CR", "\n": "LF"}[ch]
        if ch == _ZWJ:
            return "ZWJ"
        if _is_regional_indicator(ch):
            return "RI"
        hangul = _hangul(ch)
        if hangul is not None:
            return hangul
        if self._joined("a" + ch):
            return "Extend" if self._joined(_EMOJI + ch + _ZWJ + _EMOJI) else "SpacingMark"
        if not self._joined(ch + "\u0301"):
            return "Control"
        if self._joined(ch + "a"):
            return "Prepend"
        if self._joined(_EMOJI + _ZWJ + ch):
            return "Pict"
        return "Other"

    def _pattern(self, text: str) -> re.Pattern:
        for ch in set(text) - self.classes.keys():
            self.classes[ch] = self._class_of(ch)
        members: dict[str, list[str]] = {}
        for ch, kind in self.classes.items():
            members.setdefault(kind, []).append(ch)

        def of(*kinds: str) -> str:
            chars = "".join(re.escape(ch) for kind in kinds for ch in members.get(kind, ()))
            return f"[{chars}]" if chars else "(?!)"

        # The extended grapheme cluster in the form the Unicode standard
        # gives it, over the classes found above.
        hangul = (f"{of('L')}*(?:{of('V')}+|{of('LV')}{of('V')}*|{of('LVT')}){of('T')}*"
                  f"|{of('L')}+|{of('T')}+")
        pict = f"{of('Pict')}(?:{of('Extend')}*{of('ZWJ')}{of('Pict')})*"
        controls = "".join(re.escape(ch) for ch in members.get("Control", ()))
        core = f"(?:{hangul}|{of('RI')}{of('RI')}|{pict}|[^\r\n{controls}])"
        post = of("Extend", "ZWJ", "SpacingMark")
        # Most graphemes of most texts are one ordinary character with the
        # marks that attach to it: tried first, they cost one step each.
        lone = f"{of('Other')}{post}*"
        return re.compile(f"{lone}|\r\n|{of('Control', 'CR', 'LF')}|{of('Prepend')}*{core}{post}*",
                          re.DOTALL)

    def _confirmed(self, text: str, pieces: list[str]) -> bool:
        if "".join(pieces) != text:
            return False
        ids = {piece: token for token, piece in enumerate(dict.fromkeys(pieces + [_SENTINEL]), 1)}
        lookup = {token: piece.encode("utf-8") for piece, token in ids.items()}
        checker = _load(model_bytes({0: b"", **lookup}, {}, {"oov": 0, **ids}))
        return checker.encode(text + _SENTINEL) == [ids[piece] for piece in pieces] + [ids[_SENTINEL]]

    def _split_slowly(self, text: str) -> list[str]:
        pieces = []
        start = 0
        for i in range(1, len(text)):
            if not self._joined(text[start:i + 1]):
                pieces.append(text[start:i])
                start = i
        return pieces + [text[start:]] if text else pieces

    def split(self, text: str) -> list[str]:
        if not text:
            return []
        pieces = self._pattern(text).findall(text)
        return pieces if self._confirmed(text, pieces) else self._split_slowly(text)


def segments(data, model: Model, text: str) -> list[Segment]:
    """The input split at its tokens. A token stands for whole graphemes: as
    many as its text holds, or one when it has no text (out of vocabulary,
    which decodes to nothing, so its piece is taken from the input)."""
    ids = data.encode(text)
    graphemes = _GraphemeSplitter().split(text)
    # Grapheme number by the offset it starts at, the end of the text too.
    index_at = {offset: index for index, offset in
                enumerate(itertools.accumulate(map(len, graphemes), initial=0))}
    texts: dict[int, str] = {}
    out: list[Segment] = []
    offset = 0
    for token in ids:
        shown = texts.get(token)
        if shown is None:
            shown = texts[token] = model.lookup.get(token, b"").decode("utf-8", "replace")
        at = index_at.get(offset, len(graphemes))
        if not shown:
            piece = graphemes[at] if at < len(graphemes) else ""
            offset += len(piece)
            out.append(Segment(token, piece, True))
            continue
        end = offset + len(shown)
        if end in index_at and text.startswith(shown, offset):
            offset = end
        # Otherwise the model does not match its own encoding (a hand-made
        # file); its text is shown and the input is not consumed.
        out.append(Segment(token, shown, False))
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
    shown: dict[str, str] = {}  # tokens repeat: each text is made visible once

    def visible(text: str) -> str:
        made = shown.get(text)
        if made is None:
            made = shown[text] = visible_text(text)
        return made

    return "".join(f"{seg.id}\t{visible(seg.text)}\n" for seg in parts)


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
