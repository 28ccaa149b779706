#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a bounded
# time on the seed corpus (the generated seeds and the committed findings,
# written out by make_corpus.py). New inputs go to a scratch directory, so
# the committed findings change only when someone adds some back with
# `scripts/make_corpus.py --add TARGET FILE...`.
#   scripts/fuzz.sh [seconds-per-target] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
SECS=${1:-60}; shift || true
BUILD=build/fuzz
export PATH=$PWD/.venv/bin:$PATH

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
python3 scripts/make_corpus.py

targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "${f%.cpp}")"); done
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p fuzz/artifacts
for t in "${targets[@]}"; do
  dict=fuzz/dicts/json.dict
  [[ $t == fuzz_caveat ]] && dict=fuzz/dicts/caveat.dict
  scratch=$BUILD/work/$t
  mkdir -p "$scratch"
  echo "== $t: ${SECS}s"
  "$BUILD/fuzz/$t" "$scratch" "$BUILD/corpus/$t" -dict="$dict" -max_total_time="$SECS" \
    -rss_limit_mb=4096 -max_len=65536 -artifact_prefix=fuzz/artifacts/$t- -print_final_stats=1 \
    2>"$BUILD/$t.log" || { tail -60 "$BUILD/$t.log"; echo "FAILED: $t"; exit 1; }
  grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$BUILD/$t.log" || true
  grep -E 'cov: ' "$BUILD/$t.log" | tail -1 || true
done
echo "fuzz: ${#targets[@]} targets ran clean"
