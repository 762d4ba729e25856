#!/usr/bin/env python3
"""Prints the pinned requirements that pyproject.toml declares, one per line,
so that shell scripts install exactly those and never a second list.

    requirements.py GROUP...

GROUP is `build` (the build system's requires) or an optional-dependency
group of the project (`test`, `bench`)."""
import sys
import tomllib
from pathlib import Path

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"


def requirements(groups):
    config = tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))
    optional = config["project"].get("optional-dependencies", {})
    out = []
    for group in groups:
        if group == "build":
            out += config["build-system"]["requires"]
        elif group in optional:
            out += optional[group]
        else:
            sys.exit(f"requirements.py: no group {group!r} in {PYPROJECT.name}")
    return out


if __name__ == "__main__":
    print("\n".join(requirements(sys.argv[1:])))
