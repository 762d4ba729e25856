"""Real text found on every machine that runs the tests: Python's standard
library sources (English prose and code) and the Unicode data files, whose
code point columns spell out text in many scripts, emoji sequences and
combining marks."""

import pathlib
import sysconfig

UNICODE = pathlib.Path("/usr/share/unicode")
STDLIB = pathlib.Path(sysconfig.get_paths()["stdlib"])


def english_documents(limit_bytes):
    """Standard library sources in sorted path order, about limit_bytes in all."""
    docs, size = [], 0
    for path in sorted(STDLIB.glob("*.py")):
        text = path.read_text(encoding="utf-8", errors="replace")
        docs.append(text)
        size += len(text)
        if size >= limit_bytes:
            break
    return docs


def _spelled(hex_points):
    return "".join(chr(int(h, 16)) for h in hex_points.split())


def multilingual_lines():
    """Lines of Hebrew, Arabic and mixed-direction text, word-break test
    sequences (every script, combining marks, joiners), emoji sequences, and
    CJK component descriptions."""
    lines = []
    for name, column in [("BidiCharacterTest.txt", 0), ("auxiliary/WordBreakTest.txt", None),
                         ("auxiliary/GraphemeBreakTest.txt", None), ("emoji/emoji-test.txt", 0)]:
        path = UNICODE / name
        if not path.exists():
            continue
        for line in path.read_text(encoding="utf-8").splitlines():
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            if column is None:  # "÷ 0001 × 0308 ÷": the points between the marks
                points = " ".join(p for p in line.split() if p not in ("÷", "×"))
            else:
                points = line.split(";")[column]
            lines.append(_spelled(points))
    usource = UNICODE / "USourceData.txt"
    if usource.exists():
        for line in usource.read_text(encoding="utf-8").splitlines():
            if not line.startswith("#"):
                lines.append(line)
    return lines
