#!/usr/bin/env bash
# Lists the CPython interpreters from 3.11 up that this machine has, one line
# each: "VERSION PATH", oldest first, from pyenv's builds and Debian's
# /usr/bin/python3 alike. One line per minor version, its newest patch release:
# two builds of 3.11 test the same C API twice and cost the matrix a full run.
# Usage: scripts/pythons.sh            every one
#        scripts/pythons.sh --default  the path of the one `make test` uses:
#                                      3.12 where present, else 3.11
set -euo pipefail

candidates=()
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
if command -v pyenv >/dev/null 2>&1; then pyenv_root=$(pyenv root); fi
for p in "$pyenv_root"/versions/*/bin/python3 /usr/bin/python3 /usr/bin/python3.1[1-9] \
         /usr/local/bin/python3 /usr/local/bin/python3.1[1-9]; do
    [ -x "$p" ] && candidates+=("$p")
done

list=$(for p in "${candidates[@]}"; do
    "$p" -c 'import sys
if sys.implementation.name == "cpython" and sys.version_info >= (3, 11):
    v = sys.version_info
    print(f"{v.major}.{v.minor}.{v.micro}", sys.argv[1])' "$p" 2>/dev/null || true
done | sort -t. -k1,1n -k2,2n -k3,3n | awk '{ split($1, v, "."); minor = v[1] "." v[2]
    if (!(minor in newest)) order[++n] = minor
    newest[minor] = $0 }
    END { for (i = 1; i <= n; i++) print newest[order[i]] }')

if [ "${1:-}" = "--default" ]; then
    pick=$(awk '$1 ~ /^3\.12\./ { p = $2 } END { print p }' <<<"$list")
    [ -n "$pick" ] || pick=$(awk '$1 ~ /^3\.11\./ { p = $2 } END { print p }' <<<"$list")
    if [ -z "$pick" ]; then
        echo "pythons.sh: no CPython 3.12 or 3.11 on this machine" >&2
        exit 1
    fi
    echo "$pick"
else
    echo "$list"
fi
