"""The source tree keeps its rooms: a room includes only the rooms below it
(src/README.md draws them), and the core never includes Python."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"

# What each core room may include, itself aside.
BELOW = {
    "model": set(),
    "persist": {"model"},
    "learning": {"model"},
    "encoding": {"model", "learning"},
    "training": {"model", "learning", "encoding", "persist"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+[<"]([^>"]+)[>"]', re.M)


def includes(room):
    for path in sorted((SRC / room).glob("*.[ch]pp")):
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            yield path.name, target


@pytest.mark.parametrize("room", sorted(BELOW))
def test_a_room_includes_only_the_rooms_below_it(room):
    assert (SRC / room).is_dir()
    wrong = []
    for name, target in includes(room):
        if target == "Python.h":
            wrong.append(f"{room}/{name} includes Python.h")
        first = target.split("/")[0]
        if "/" in target and (SRC / first).is_dir() and first != room and first not in BELOW[room]:
            wrong.append(f"{room}/{name} includes {target}")
    assert not wrong


def test_every_folder_of_the_core_is_a_known_room():
    core = {p.name for p in SRC.iterdir() if p.is_dir() and any(p.glob("*.cpp"))}
    assert core - {"binding", "tools_binding"} == set(BELOW)
