#!/usr/bin/env bash
# Every test: the layer check of src/, the format check, the native suite, the suite under
# ASan+UBSan and under TSan, a ten-minute slice of the soak storm under both
# sanitizers, the MinGW build of both DLLs and their run under Wine, and a
# short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/check-layers.sh
scripts/setup.sh
scripts/check-format.sh

run_suite() {
  local preset=$1
  echo "=== $preset suite ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
}

run_suite debug
ASAN_OPTIONS=detect_leaks=1 run_suite asan
TSAN_OPTIONS=halt_on_error=1 run_suite tsan
echo "=== a ten-minute slice of the soak storm ==="
scripts/soak.sh 600
echo "=== Windows build under Wine ==="
scripts/wine-run.sh
echo "=== fuzz targets, 20 s each ==="
scripts/fuzz.sh 20
