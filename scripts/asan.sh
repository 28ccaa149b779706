#!/usr/bin/env bash
# The C++ suite and the pytest suite under AddressSanitizer +
# UndefinedBehaviorSanitizer. The extension is built with the sanitizers
# into its own directory and the runtimes are preloaded into Python, which
# is itself not instrumented (so leak detection is on for C++ only).
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=$(nproc)
export PATH=$PWD/.venv/bin:$PATH

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$JOBS"

SITE=build/py-asan-site
rm -rf "$SITE"
.venv/bin/python -m pip install -q --no-build-isolation --no-deps --target "$SITE" \
  -C build-dir=build/py-asan -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.VELNOR_SANITIZE=ON . 2>&1 | { grep -v '^WARNING: Location' || true; }
test -f "$SITE"/velnor/_native.abi3.so
PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
LD_PRELOAD="$PRELOAD" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH="$SITE" \
  .venv/bin/python -m pytest -q -p no:cacheprovider tests/python
