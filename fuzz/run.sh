#!/usr/bin/env bash
# Runs the three fuzzers for a bounded time each: the tokenizer and IDF grammar, the
# dictionary parser (both native, libFuzzer), and the text-model-text cycle through
# Python (atheris, against the modules built with coverage instrumentation and ASan).
# Seeds come from tests/data; findings are written to build/fuzz/findings/.
#
#   fuzz/run.sh [PYTHON] [SECONDS_EACH]      (defaults: python3.13, 20)
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${1:-python3.13}
SECONDS_EACH=${2:-20}
CLANGXX=$(command -v clang++ || command -v clang++-14 || true)
CLANG=$(command -v clang || command -v clang-14 || true)
if [ -z "$CLANGXX" ]; then
  echo "fuzz/run.sh needs clang (Debian: apt-get install clang-14 libclang-rt-14-dev)" >&2
  exit 1
fi

fuzz/build.sh "$PYTHON"

VENV=.fuzz-venv
[ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
"$VENV/bin/python" -m pip install --quiet --upgrade pip
"$VENV/bin/python" -m pip install --quiet atheris scikit-build-core cmake ninja
CC="$CLANG" CXX="$CLANGXX" "$VENV/bin/python" -m pip install --quiet --no-build-isolation . \
  -Ccmake.define.QUARVEL_FUZZ=ON -Cbuild-dir=build/fuzz-ext -Cinstall.strip=false

OUT=build/fuzz
FINDINGS=$OUT/findings
mkdir -p "$FINDINGS" "$OUT/corpus-idf" "$OUT/corpus-idd"
cp tests/data/*.idf src/quarvel/data/example.idf fuzz/regressions/*.idf "$OUT/corpus-idf/"
cp tests/data/*.idd src/quarvel/data/example.idd "$OUT/corpus-idd/"
COMMON=(-max_total_time="$SECONDS_EACH" -artifact_prefix="$FINDINGS/" -print_final_stats=1)

# Inputs that once failed run first, each once, as regression tests.
echo "== earlier findings"
"$OUT/tokenizer_parser_fuzzer" fuzz/regressions/*.idf

echo "== tokenizer and IDF grammar"
"$OUT/tokenizer_parser_fuzzer" "${COMMON[@]}" -max_len=8192 "$OUT/corpus-idf"
echo "== dictionary parser"
"$OUT/idd_fuzzer" "${COMMON[@]}" -max_len=16384 "$OUT/corpus-idd"
echo "== text to model to text"
ATHERIS=$("$VENV/bin/python" -c 'import atheris; print(atheris.path())')
LD_PRELOAD="$ATHERIS/asan_with_fuzzer.so" ASAN_OPTIONS=detect_leaks=0 \
  "$VENV/bin/python" fuzz/round_trip_fuzzer.py "${COMMON[@]}" -max_len=4096 "$OUT/corpus-idf"
echo "fuzzing found nothing"
