#!/usr/bin/env bash
# Builds the extension and runs the Python suite on every CPython from 3.11 up
# that this machine has (scripts/pythons.sh), each in its own venv under
# build/matrix/VERSION with the pinned tools from pyproject.toml. Prints one
# line per version and fails when any version failed.
# Usage: scripts/test_matrix.sh [pytest arguments...]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

mapfile -t pythons < <(scripts/pythons.sh)
if [ ${#pythons[@]} -eq 0 ]; then
    echo "matrix: no CPython 3.11 or later on this machine" >&2
    exit 1
fi

status=0
for entry in "${pythons[@]}"; do
    version=${entry%% *}
    python=${entry#* }
    dir=$root/build/matrix/$version
    log=$dir/log.txt
    mkdir -p "$dir"
    started=$(date +%s)
    (
        set -e
        # A venv made by another interpreter of the same version is replaced.
        if [ "$(cat "$dir/venv/tolvane-python" 2>/dev/null)" != "$python" ]; then
            rm -rf "$dir/venv" "$dir/build"
            "$python" -m venv "$dir/venv"
            echo "$python" > "$dir/venv/tolvane-python"
        fi
        requirements=$("$dir/venv/bin/python" scripts/requirements.py build test hf)
        if [ "$(cat "$dir/venv/tolvane-requirements" 2>/dev/null)" != "$requirements" ]; then
            # shellcheck disable=SC2086
            "$dir/venv/bin/python" -m pip install --quiet $requirements
            echo "$requirements" > "$dir/venv/tolvane-requirements"
        fi
        if [ -d "$dir/build" ] && [ ! -f "$dir/build/build.ninja" ]; then rm -rf "$dir/build"; fi
        PATH=$dir/venv/bin:$PATH "$dir/venv/bin/python" -m pip install --quiet --no-index \
            --no-build-isolation --no-deps --config-settings=builddir="$dir/build" .
        cd tests/python
        PATH=$dir/venv/bin:$PATH "$dir/venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
    ) >"$log" 2>&1
    code=$?
    seconds=$(( $(date +%s) - started ))
    summary=$(grep -E '^[0-9]+ (passed|failed)|^=+ .*(passed|failed|error)' "$log" | tail -1 | tr -d '=' | xargs)
    if [ $code -eq 0 ]; then
        line="matrix: CPython $version  ok      ${summary:-no summary}  (${seconds} s)"
    else
        line="matrix: CPython $version  FAILED  ${summary:-build or install failed, see $log}  (${seconds} s)"
        status=1
    fi
    echo "$line"
done
[ $status -eq 0 ] || { echo "matrix: failed; logs under build/matrix/*/log.txt" >&2; }
exit $status
