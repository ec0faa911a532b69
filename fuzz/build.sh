#!/usr/bin/env bash
# Builds the native fuzzers with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer into build/fuzz/.
#   fuzz/build.sh [PYTHON]     (PYTHON gives the Python headers; default python3.13)
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${1:-python3.13}
CXX=${CXX:-$(command -v clang++ || command -v clang++-14)}
PY_INCLUDE=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
OUT=build/fuzz
mkdir -p "$OUT"
FLAGS=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I src/quarvel/include -I "$PY_INCLUDE")
"$CXX" "${FLAGS[@]}" -o "$OUT/tokenizer_parser_fuzzer" fuzz/tokenizer_parser_fuzzer.cpp \
  src/quarvel/lexer/lexer.cpp src/quarvel/idf/parser.cpp
"$CXX" "${FLAGS[@]}" -o "$OUT/idd_fuzzer" fuzz/idd_fuzzer.cpp \
  src/quarvel/idd/idd_parser.cpp src/quarvel/idd/schema.cpp
echo "built $OUT/tokenizer_parser_fuzzer $OUT/idd_fuzzer"
