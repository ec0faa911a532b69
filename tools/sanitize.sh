#!/usr/bin/env bash
# Builds the five modules with AddressSanitizer and UndefinedBehaviorSanitizer into a
# virtual environment of their own and runs the whole test suite against them. Any
# sanitizer report ends the run with a failure.
#
#   tools/sanitize.sh [PYTHON] [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${1:-python3.13}
shift || true

VENV=.sanitize-venv
[ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
"$VENV/bin/python" -m pip install --quiet --upgrade pip
"$VENV/bin/python" -m pip install --quiet scikit-build-core cmake ninja pytest hypothesis
"$VENV/bin/python" -m pip install --quiet --no-build-isolation . \
  -Ccmake.define.QUARVEL_SANITIZE=ON -Ccmake.build-type=Debug -Cinstall.strip=false -Cbuild-dir=build/sanitize

# The interpreter itself is not instrumented: the runtime is preloaded, Python's own
# allocator is bypassed so that every allocation is checked, and leak reports (which
# an interpreter that does not free everything at exit would flood) are off; leaks are
# checked by tests/test_reliability.py instead.
ASAN_LIB=$(gcc -print-file-name=libasan.so)
UBSAN_LIB=$(gcc -print-file-name=libubsan.so)
export LD_PRELOAD="$ASAN_LIB:$UBSAN_LIB"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
