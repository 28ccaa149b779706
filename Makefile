# make demo : set up what is missing, build, run the end-to-end example
# make test : set up what is missing, run every test: C++ and Python suites,
#             the same under ASan+UBSan, and each fuzz target for a minute
# make check: the C++ and Python suites only (the quick loop)
# make compare: benchmark against peer libraries (bench/compare.png)
# make bench-log: receipt log appends/s and verify receipts/s, SQLite and PostgreSQL
# make mcp-demo : an MCP server guarded by velnor, driven by a client over stdio
# make bench-mcp: what the MCP guard adds to one tool call, against the same call unguarded
# make docs: the API reference, generated from the installed package (build/docs)
SHELL := /bin/bash
JOBS ?= $(shell nproc)
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/release
FUZZ_SECONDS ?= 60
DOCS_OUT ?= build/docs
# cmake, ctest and ninja come from the virtual environment, so every machine
# builds with the same versions.
export PATH := $(abspath $(VENV)/bin):$(PATH)

.PHONY: demo test check setup core-test py-install py-test bench bench-log bench-mcp mcp-demo compare asan fuzz corpus docs clean

setup:
	@scripts/bootstrap.sh

$(BUILD)/CMakeCache.txt: | setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Release -DVELNOR_BUILD_TESTS=ON -DVELNOR_BUILD_BENCH=ON -DVELNOR_WERROR=ON

core-test: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

py-install: setup
	set -o pipefail; $(PY) -m pip install -q --no-build-isolation . 2>&1 | { grep -v '^WARNING: Location' || true; }
	$(PY) -c "import velnor"

py-test: py-install
	$(PY) -m pytest -q tests/python

check: core-test py-test

test: check asan fuzz

demo: py-install
	$(PY) examples/demo.py

bench: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)
	for b in $(BUILD)/bench/*_bench; do $$b; done

bench-log: py-install
	$(PY) bench/log_bench.py

mcp-demo: py-install
	$(PY) examples/mcp_gateway.py

bench-mcp: py-install
	$(PY) bench/mcp_bench.py

# velnor against PyJWT, pymacaroons, biscuit-python and libmacaroons, one run.
compare: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target verify_bench
	scripts/bench_env.sh
	.venv-bench/bin/python bench/compare.py --chart bench/compare.png

# The package and each public submodule, each on its own page; a new
# submodule appears without editing this line.
docs: py-install
	$(PY) -m pdoc --docformat markdown --output-directory $(DOCS_OUT) $$($(PY) scripts/api_modules.py)
	@echo "API reference: $(DOCS_OUT)/index.html"

asan: setup
	scripts/asan.sh

fuzz:
	VELNOR_WITH_FUZZ=1 scripts/bootstrap.sh
	scripts/fuzz.sh $(FUZZ_SECONDS)

corpus:
	python3 scripts/make_corpus.py

clean:
	rm -rf build
