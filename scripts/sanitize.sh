#!/usr/bin/env bash
# Builds the extension and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer in their own build directory, then runs the C++
# tests and the Python suite against that build. Any report fails the run.
# Usage: scripts/sanitize.sh [pytest arguments...]   (build dir: $SANITIZE_BUILD, default build/sanitize)
#
# The interpreter itself is not built with ASan, so the ASan runtime has to be
# the first library in the process: it is preloaded (LD_PRELOAD of g++'s
# libasan.so) for every Python process, children included, and with it the
# C++ runtime: the interpreter does not link libstdc++, and ASan resolves the
# real throw routine at start-up, so without it the first C++ exception that
# a failure throws stops the process. Leak detection is
# off for the interpreter (ASAN_OPTIONS=detect_leaks=0): CPython keeps
# interned objects and caches until exit by design, which would bury any real
# report; leaks of the module are checked by tests/python/test_leaks.py, and
# leaks of the core by the C++ tests, which run here with detection on.
# PYTHONMALLOC=malloc sends Python's own small objects through ASan too, so an
# overrun of a buffer that Python allocated is caught.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${SANITIZE_BUILD:-build/sanitize}
python=$root/.venv/bin/python
# meson and ninja come from PyPI into .venv (scripts/bootstrap.sh).
export PATH="$root/.venv/bin:$PATH"
started=$(date +%s)

if [ ! -f "$build/build.ninja" ]; then
    mkdir -p "$(dirname "$build")"
    native="$build.native.ini"
    printf "[binaries]\npython = '%s'\n" "$python" > "$native"
    meson setup "$build" --native-file "$native" -Dbuildtype=debugoptimized -Db_ndebug=false \
        -Db_sanitize=address,undefined -Db_lundef=false -Dtests=enabled >/dev/null
fi
ninja -C "$build" -j "${SANITIZE_JOBS:-2}" >/dev/null
built=$(date +%s)

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
meson test -C "$build" --print-errorlogs
cpp_done=$(date +%s)

# The package tolvane_tools as installed: its Python sources beside the
# sanitized _native extension, linked together in one folder.
package="$root/$build/package/tolvane_tools"
rm -rf "$package" && mkdir -p "$package"
ln -s "$root"/src/tolvane_tools/* "$package"/
ln -s "$root/$build"/_native.*.so "$package"/

preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
cd tests/python
LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0:strict_string_checks=1 PYTHONMALLOC=malloc \
    PYTHONPATH="$root/$build:$root/$build/package" "$python" -m pytest -q -p no:cacheprovider "$@"
finished=$(date +%s)

echo "sanitize: build $((built - started)) s, C++ tests $((cpp_done - built)) s," \
     "Python suite $((finished - cpp_done)) s"
