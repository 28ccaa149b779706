# make demo : set up everything that is missing, build, run the example
# make test : set up everything that is missing, run every C++ and Python test
SHELL := /bin/bash
JOBS ?= $(shell nproc)
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/release

.PHONY: demo test setup core-test py-install py-test bench asan clean

setup:
	@scripts/bootstrap.sh

$(BUILD)/CMakeCache.txt: | setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Release -DVELNOR_BUILD_TESTS=ON -DVELNOR_BUILD_BENCH=ON -DVELNOR_WERROR=ON

core-test: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

py-install: setup
	$(PY) -m pip install -q --no-build-isolation .

py-test: py-install
	$(PY) -m pytest -q tests/python

test: core-test py-test

demo: py-install
	$(PY) examples/demo.py

bench: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)
	for b in $(BUILD)/bench/*_bench; do $$b; done

asan: setup
	cmake --preset asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	cmake --build build/asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

clean:
	rm -rf build
