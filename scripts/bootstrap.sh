#!/usr/bin/env bash
# Installs what the build and the tests need, asking apt-get only for what is
# missing, then makes the .venv the project builds and tests in: CPython 3.12
# where the machine has it (else 3.11), with the pinned Python tools from
# pyproject.toml, installed only when the list changed.
# Usage: scripts/bootstrap.sh [extra Debian packages...]
set -euo pipefail
cd "$(dirname "$0")/.."

# Compilers, the C and Unicode libraries, and what Debian's own python3 needs
# to make a venv and build an extension (pyenv's interpreters bring both).
packages=(python3-dev python3-venv pkg-config g++ libgtest-dev libutf8proc-dev unicode-data "$@")
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "bootstrap: installing ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    else
        echo "bootstrap: missing Debian packages; run as root:" >&2
        echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
fi

# A .venv made from another interpreter (or an older layout) is replaced, and
# with it the build trees, which name that interpreter.
python=$(scripts/pythons.sh --default)
want="$python $("$python" -c 'import sys; print(sys.version.split()[0])')"
if [ ! -x .venv/bin/python ] || [ "$(cat .venv/tolvane-python 2>/dev/null)" != "$want" ]; then
    echo "bootstrap: making .venv with $want"
    rm -rf .venv build/py build/sanitize build/sanitize.native.ini build/bench build/bench-venv
    "$python" -m venv .venv
    echo "$want" > .venv/tolvane-python
fi

# The engines are for the tests of the examples/ recipes (Spark also needs the
# Java runtime that the machine has, or its test says why it skips); hf for
# the tests of the tokenizer.json export.
requirements=$(.venv/bin/python scripts/requirements.py build test engines hf)
if [ "$(cat .venv/tolvane-requirements 2>/dev/null)" != "$requirements" ]; then
    echo "bootstrap: installing the Python tools into .venv"
    # shellcheck disable=SC2086
    .venv/bin/python -m pip install --quiet $requirements
    echo "$requirements" > .venv/tolvane-requirements
fi
