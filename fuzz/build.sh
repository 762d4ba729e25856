#!/usr/bin/env bash
# Builds the fuzz targets: libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, the core sources compiled in directly with
# clang (libFuzzer comes with clang, not with g++). Kept apart from the meson
# build on purpose: it needs clang-14 and libclang-rt-14-dev, which the
# ordinary build does not.
# Usage: fuzz/build.sh [ninja targets...]    (output in $FUZZ_OUT, default fuzz/out)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${FUZZ_OUT:-$root/fuzz/out}
# ninja comes from PyPI into .venv (scripts/bootstrap.sh).
export PATH="$root/.venv/bin:$PATH"
cxx=${FUZZ_CXX:-clang++-14}
command -v "$cxx" >/dev/null || { echo "fuzz: $cxx not found (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 1; }
mkdir -p "$out"

targets=(model_reader text_path decode)
[ -s "$root/src/learning/engine.cpp" ] && grep -q pair_engine "$root/src/learning/engine.hpp" && targets+=(engine)

# Every core source, so a file added to the core is fuzzed without editing this.
mapfile -t core < <(cd "$root" && ls src/model/*.cpp src/learning/*.cpp src/encoding/*.cpp src/persist/*.cpp src/training/*.cpp)

sanitizers="address,undefined"
common="-std=c++20 -g -O1 -fno-omit-frame-pointer -I$root/src -include $root/fuzz/compat.hpp -fno-sanitize-recover=undefined"
{
    echo "cxxflags = $common -fsanitize=fuzzer-no-link,$sanitizers"
    echo "rule cxx"
    echo "  command = $cxx \$cxxflags -MD -MF \$out.d -c \$in -o \$out"
    echo "  depfile = \$out.d"
    echo "  deps = gcc"
    echo "  description = CXX \$out"
    echo "rule fuzzer"
    echo "  command = $cxx -fsanitize=fuzzer,$sanitizers \$in -o \$out -lutf8proc"
    echo "  description = LINK \$out"
    # The seed writer runs once, not under libFuzzer; the no-main runtime
    # supplies the coverage hooks that the instrumented core calls.
    echo "rule tool"
    echo "  command = $cxx -fsanitize=fuzzer-no-link,$sanitizers \$in -o \$out -lutf8proc"
    echo "  description = LINK \$out"
    objs=()
    for src in "${core[@]}"; do
        obj="obj/${src//\//_}.o"
        echo "build $obj: cxx $root/$src"
        objs+=("$obj")
    done
    for t in "${targets[@]}"; do
        echo "build obj/fuzz_$t.o: cxx $root/fuzz/fuzz_$t.cpp"
        echo "build fuzz_$t: fuzzer obj/fuzz_$t.o ${objs[*]}"
    done
    echo "build obj/make_seeds.o: cxx $root/fuzz/make_seeds.cpp"
    echo "build make_seeds: tool obj/make_seeds.o ${objs[*]}"
    echo "default ${targets[*]/#/fuzz_} make_seeds"
} > "$out/build.ninja.new"
cmp -s "$out/build.ninja.new" "$out/build.ninja" 2>/dev/null && rm "$out/build.ninja.new" || mv "$out/build.ninja.new" "$out/build.ninja"
printf '%s\n' "${targets[@]}" > "$out/targets"
ninja -C "$out" -j "${FUZZ_JOBS:-1}" "$@"
