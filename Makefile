# The two commands of the README work on a fresh machine: `make demo`, `make test`.
PY      := .venv/bin/python
BUILD   := build/py
CORPUS  ?=

.PHONY: bootstrap build test test-cpp test-python demo bench clean

bootstrap:
	@scripts/bootstrap.sh

# Builds the extension (and the C++ tests) with meson-python into .venv.
build: bootstrap
	@mkdir -p build
	@$(PY) -m pip install --quiet --no-index --no-build-isolation --no-deps \
		--config-settings=builddir=$(BUILD) . 

test-cpp: build
	meson test -C $(BUILD) --print-errorlogs

test-python: build
	cd tests/python && ../../$(PY) -m pytest -q

test: test-cpp test-python test-fuzz

demo: build
	@$(PY) scripts/demo.py $(CORPUS)

# Needs no installed extension: bench/run.py builds its own program in build/bench.
bench: bootstrap
	@$(PY) bench/run.py

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
