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

test: test-cpp test-python

demo: build
	@$(PY) scripts/demo.py $(CORPUS)

bench: build
	@$(PY) bench/run.py

clean:
	rm -rf build build-* .venv
