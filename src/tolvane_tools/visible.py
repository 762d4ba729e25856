"""Token texts made visible: whitespace, invisible characters and bytes that
are not UTF-8 each get a mark that can be read in a table or a terminal."""

from __future__ import annotations

import unicodedata

# ␣ ⇥ ⇤ ↵: every one is in DejaVu, the font a fresh Debian falls back to, so
# the marks show in a terminal and in a browser alike. (The control pictures
# ␠ ␍ ␊ are not, and show as empty boxes there.)
SYMBOLS = {" ": "\u2423", "\t": "\u21e5", "\r": "\u21e4", "\n": "\u21b5"}
# The marks themselves, and the backslash that starts a byte escape, are
# escaped too, so a shown text reads back one way only.
_LITERAL_MARKS = set(SYMBOLS.values()) | {"\\"}

# Joiners and tag characters are part of emoji sequences; inside one they
# stay, so the sequence still shows as the picture it is.
_ATTACHING = {"\u200d"} | {chr(c) for c in range(0xE0020, 0xE0080)}
# Unassigned code points are left alone: the interpreter's character data
# can be older than the grapheme rules, and a new emoji is no invisible.
_INVISIBLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Zs", "Zl", "Zp"}


def visible_char(ch: str, after_visible: bool) -> str:
    if ch in SYMBOLS:
        return SYMBOLS[ch]
    if ch == "\\":
        return "\\\\"
    if ch in _LITERAL_MARKS:
        return f"<U+{ord(ch):04X}>"
    if ch in _ATTACHING and after_visible:
        return ch
    if unicodedata.category(ch) in _INVISIBLE_CATEGORIES:
        return f"<U+{ord(ch):04X}>"
    return ch


def visible_text(text: str) -> str:
    out = []
    after_visible = False
    for ch in text:
        shown = visible_char(ch, after_visible)
        out.append(shown)
        after_visible = shown == ch
    return "".join(out)


def visible_bytes(raw: bytes) -> str:
    """Valid UTF-8 made visible; every byte of an ill-formed piece as \\xNN."""
    out = []
    pos = 0
    while pos < len(raw):
        try:
            out.append(visible_text(raw[pos:].decode("utf-8")))
            break
        except UnicodeDecodeError as error:
            # Decoding stops at the first maximal ill-formed piece: show what
            # came before it, then its bytes, and go on after it.
            out.append(visible_text(raw[pos:pos + error.start].decode("utf-8")))
            out.append("".join(f"\\x{b:02X}" for b in raw[pos + error.start:pos + error.end]))
            pos += error.end
    return "".join(out)
