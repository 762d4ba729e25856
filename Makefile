# The two commands of the README work on a fresh machine: `make demo`, `make test`.
PY      := .venv/bin/python
BUILD   := build/py
CORPUS  ?=
# meson and ninja come from PyPI into .venv, pinned in pyproject.toml; every
# script that make runs finds them first.
export PATH := $(CURDIR)/.venv/bin:$(PATH)

.PHONY: bootstrap build test test-cpp test-python test-matrix test-install demo bench clean

bootstrap:
	@scripts/bootstrap.sh

# Builds the extension (and the C++ tests) with meson-python into .venv.
# A first build cut short leaves a build tree meson cannot take up again:
# without its build.ninja it is started afresh.
build: bootstrap
	@mkdir -p build
	@if [ -d $(BUILD) ] && [ ! -f $(BUILD)/build.ninja ]; then rm -rf $(BUILD); fi
	@$(PY) -m pip install --quiet --no-index --no-build-isolation --no-deps \
		--config-settings=builddir=$(BUILD) --config-settings=setup-args=-Dtests=enabled .

test-cpp: build
	meson test -C $(BUILD) --print-errorlogs

test-python: build
	cd tests/python && ../../$(PY) -m pytest -q

test: test-cpp test-python test-fuzz

# The Python suite on every CPython from 3.11 up on this machine, each in its
# own venv under build/matrix; one line per version.
test-matrix: bootstrap
	@scripts/test_matrix.sh

# pip install . and python -m build from a clean clone of HEAD, for every
# CPython from 3.11 up, each installed into a clean venv and smoke-tested.
test-install: bootstrap
	@scripts/test_install.sh

demo: build
	@$(PY) scripts/demo.py $(CORPUS)

# bench/run.py builds the core's own program in build/bench, measures the
# installed module, and puts the peers into build/bench-venv.
# `make bench BENCH_ARGS=--encoders` prints only the encoder comparison,
# `BENCH_ARGS=--export` only the tokenizer.json export against the ranked mode,
# `BENCH_ARGS=--trainer` only the trainer to a vocabulary size against the peers.
BENCH_ARGS ?=
bench: build
	@$(PY) bench/run.py $(BENCH_ARGS)

# Fuzzing needs clang's libFuzzer, which the ordinary build does not: the
# bootstrap installs it on demand. `make fuzz` runs each target for
# FUZZ_SECONDS; `make test-fuzz` is the short run for `make test`.
FUZZ_SECONDS ?= 60
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev

.PHONY: fuzz test-fuzz test-sanitize

fuzz:
	@scripts/bootstrap.sh $(FUZZ_PACKAGES)
	@fuzz/run.sh $(FUZZ_SECONDS)

test-fuzz:
	@scripts/bootstrap.sh $(FUZZ_PACKAGES)
	@fuzz/run.sh 20

# The extension and the C++ tests under ASan and UBSan (build/sanitize).
test-sanitize: bootstrap
	@scripts/sanitize.sh

clean:
	rm -rf build build-* .venv
