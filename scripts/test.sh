#!/usr/bin/env bash
# Sets up what is missing, then runs every test: the C++ tests and the Python tests, once on the
# release build and once under AddressSanitizer and UndefinedBehaviorSanitizer; then installs the
# package with pip into a new environment, as a new user would, and solves the example with it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh

run_suite() {
  local config="$1"
  local dir="$root/build/$config"
  echo "== $config: build"
  bash scripts/build.sh "$config" engine_tests cy_engine
  echo "== $config: C++ tests"
  (cd "$dir" && "$root/.venv/bin/ctest" --output-on-failure -j 2)
  echo "== $config: Python tests"
  if [ "$config" = asan ]; then
    # The interpreter is not built with the sanitizers: their runtime is loaded first, and the
    # memory the interpreter keeps at exit is not reported as leaked.
    LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so):$(g++ -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    PYTHONPATH="$dir/python" LFE_MODULE_DIR="$dir/python/load_flow_engine" LFE_SANITIZED=1 "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
  else
    PYTHONPATH="$dir/python" LFE_MODULE_DIR="$dir/python/load_flow_engine" "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
  fi
}

run_suite release
run_suite asan
echo "== pip install into a new environment"
bash scripts/install_check.sh
