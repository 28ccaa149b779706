# make demo : set up what is missing, build, run the end-to-end example
# make test : set up what is missing, run every test: C++ and Python suites,
#             the same under ASan+UBSan, and each fuzz target for a minute
# make check: the C++ and Python suites only (the quick loop)
# make compare: benchmark against peer libraries (bench/compare.png)
# make corpus: the fuzz seeds (generated, plus the committed findings) in build/fuzz/corpus
# make bench-log: receipt log appends/s and verify receipts/s, SQLite and PostgreSQL
# make wheel: the portable wheel (manylinux, no system library) in build/wheelhouse
# make wheel-test: that wheel in a fresh environment of every Python 3.10-3.13 found
# make mcp-demo : an MCP server guarded by velnor, driven by a client over stdio
# make bench-mcp: what the MCP guard adds to one tool call, against the same call unguarded
# make docs: the API reference, generated from the installed package (build/docs)
SHELL := /bin/bash
JOBS ?= $(shell nproc)
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/release
FUZZ_SECONDS ?= 60
WHEELHOUSE := build/wheelhouse
DOCS_OUT ?= build/docs
# cmake, ctest and ninja come from the virtual environment, so every machine
# builds with the same versions.
export PATH := $(abspath $(VENV)/bin):$(PATH)
# Every build is configured from CMakePresets.json; a change to it or to any
# CMake file configures again (ninja alone would miss a preset's new cache
# values).
CMAKE_FILES := CMakePresets.json $(wildcard CMakeLists.txt */CMakeLists.txt */*/CMakeLists.txt cmake/*)

.PHONY: demo test check setup core-test py-install py-test bench bench-log compare asan fuzz corpus \
        wheel wheel-test docs bench-mcp mcp-demo clean

setup:
	@scripts/bootstrap.sh

$(BUILD)/CMakeCache.txt: $(CMAKE_FILES) | setup
	cmake --preset release
	@touch $@

core-test: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

py-install: setup
	set -o pipefail; $(PY) -m pip install -q --no-build-isolation . 2>&1 | { grep -v '^WARNING: Location' || true; }
	$(PY) -c "import velnor"

py-test: py-install
	$(PY) -m pytest -q tests/python

check: core-test py-test

test: check wheel-test asan fuzz

# Built with every C library linked in, then checked and tagged by auditwheel.
wheel: setup
	rm -rf build/dist $(WHEELHOUSE)
	set -o pipefail; $(PY) -m pip wheel -q --no-build-isolation --no-deps -w build/dist \
	  -C build-dir=build/py-wheel -C cmake.define.VELNOR_STATIC_DEPS=ON . 2>&1 | { grep -v '^WARNING: Location' || true; }
	$(VENV)/bin/auditwheel repair -w $(WHEELHOUSE) build/dist/velnor-*.whl

wheel-test: wheel
	$(PY) tests/wheel/check_wheel.py $(WHEELHOUSE)/velnor-*.whl

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

# velnor against PyJWT, pymacaroons, biscuit-python and libmacaroons, and
# against its hashing floor, one run.
compare: setup
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
