#!/usr/bin/env bash
# Installs tolvane the ways its users do, from a clean clone of HEAD, on every
# CPython from 3.11 up that this machine has (scripts/pythons.sh):
#   1. `pip install .` in a clean venv (build isolation: the build tools come
#      from the package index, pinned in pyproject.toml);
#   2. `python -m build`: an sdist, and a wheel built from that sdist;
#   3. that wheel into another clean venv.
# Each installed venv passes scripts/smoke_test.py, and every extension module
# it installed links no utf8proc (ldd), so the wheel runs where utf8proc is
# missing. Prints one line per step; fails when any step failed.
# Usage: scripts/test_install.sh     (work folder: $INSTALL_CHECK_DIR, default build/install-check)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
work=${INSTALL_CHECK_DIR:-$root/build/install-check}
status=0

rm -rf "$work"
mkdir -p "$work"
if ! git diff --quiet HEAD 2>/dev/null; then
    echo "install: note: uncommitted changes are not tested, only HEAD"
fi
git clone --quiet --no-hardlinks "$root" "$work/src" || exit 1
build_requirement=$(.venv/bin/python scripts/requirements.py test | grep '^build[=<>~]')

say() { echo "install: $*"; }
failed() {  # step, log
    say "$1 FAILED; the end of $2:"
    tail -n 15 "$2" | sed 's/^/    /'
    status=1
}

# The smoke test in a folder outside the source tree, then ldd on every
# extension module the venv holds of this project.
check() {  # label, venv, log
    local label=$1 venv=$2 log=$3 platlib libs
    if ! (cd "$work" && "$venv/bin/python" "$work/src/scripts/smoke_test.py" "$venv.run") >>"$log" 2>&1; then
        failed "$label: smoke test" "$log"
        return
    fi
    platlib=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
    mapfile -t libs < <(find "$platlib" -name '*.so' -path '*tolvane*' | sort)
    if [ ${#libs[@]} -eq 0 ]; then
        failed "$label: no extension module installed" "$log"
        return
    fi
    for lib in "${libs[@]}"; do
        ldd "$lib" >>"$log" 2>&1
        if ldd "$lib" | grep -q -e utf8proc -e 'not found'; then
            failed "$label: $(basename "$lib") links a library the wheel does not bring" "$log"
            return
        fi
        say "$label: smoke test ok; ldd $(basename "$lib"): $(ldd "$lib" | awk '$1 !~ /^(linux-vdso|\/)/ { print $1 }' | xargs)"
    done
}

while read -r version python; do
    dir=$work/$version
    mkdir -p "$dir"
    log=$dir/log.txt

    # 1. pip install . with build isolation.
    if "$python" -m venv "$dir/pip" >>"$log" 2>&1 &&
       "$dir/pip/bin/python" -m pip install --quiet "$work/src" >>"$log" 2>&1; then
        check "CPython $version, pip install ." "$dir/pip" "$log"
    else
        failed "CPython $version, pip install ." "$log"
    fi

    # 2. An sdist and a wheel built from it.
    if "$python" -m venv "$dir/build-tools" >>"$log" 2>&1 &&
       "$dir/build-tools/bin/python" -m pip install --quiet "$build_requirement" >>"$log" 2>&1 &&
       "$dir/build-tools/bin/python" -m build --outdir "$dir/dist" "$work/src" >>"$log" 2>&1; then
        wheel=$(ls "$dir"/dist/*.whl)
        sdist=$(ls "$dir"/dist/*.tar.gz)
        say "CPython $version, python -m build: $(basename "$sdist") $(du -k "$sdist" | cut -f1) KB," \
            "$(basename "$wheel") $(du -k "$wheel" | cut -f1) KB"
        # 3. The wheel into a clean venv.
        if "$python" -m venv "$dir/wheel" >>"$log" 2>&1 &&
           "$dir/wheel/bin/python" -m pip install --quiet --no-index "$wheel" >>"$log" 2>&1; then
            check "CPython $version, wheel" "$dir/wheel" "$log"
        else
            failed "CPython $version, wheel install" "$log"
        fi
    else
        failed "CPython $version, python -m build" "$log"
    fi
done < <(scripts/pythons.sh)

[ $status -eq 0 ] && say "every step passed" || say "failed; logs under $work/*/log.txt"
exit $status
