#!/usr/bin/env bash
# Every test: the layer check of src/, the format check, the native suite, the suite under
# ASan+UBSan and under TSan, a ten-minute slice of the soak storm under both
# sanitizers, the MinGW build of both DLLs and their run under Wine, and a
# short run of every fuzz target.
#
# Ends with where the time went, the compiler cache's hits, and one line that
# counts the tests skipped and says why (a clone without the real data beside
# it skips the tests that read it; NIMBREL_REQUIRE_REAL_DATA=1 fails them).
set -euo pipefail
cd "$(dirname "$0")/.."

start=$(date +%s)
timings=()
suites_run=()

# timed NAME COMMAND...: runs the command and notes its wall time.
timed() {
  local name=$1 from
  shift
  from=$(date +%s)
  "$@"
  timings+=("$name:$(($(date +%s) - from))")
}

ccache_counts() {
  command -v ccache >/dev/null || return 0
  ccache --print-stats 2>/dev/null |
    awk '$1 ~ /^(direct|preprocessed)_cache_hit$/ { hit += $2 } $1 == "cache_miss" { miss += $2 }
         END { print hit + 0, miss + 0 }'
}

# One line: how many tests the suites that ran skipped, and why (GoogleTest
# prints "<file>:<line>: Skipped" and then the reason).
skip_line() {
  local logs=() preset
  for preset in "${suites_run[@]}"; do
    [[ -f build/$preset/Testing/Temporary/LastTest.log ]] && logs+=("build/$preset/Testing/Temporary/LastTest.log")
  done
  if ((${#logs[@]} == 0)); then
    echo "skipped: no suite ran"
    return
  fi
  awk '/^[0-9]+\/[0-9]+ Testing: / { ran++ }
       /: Skipped$/ { if ((getline why) > 0) { count[why]++; skipped++ } }
       END {
         line = "skipped: " skipped + 0 " of " ran + 0 " tests"
         sep = ": "
         for (why in count) { line = line sep count[why] " x " why; sep = "; " }
         if (!skipped) line = line ", none"
         print line
       }' "${logs[@]}"
}

summary() {
  local code=$?
  set +e
  echo "=== where the time went (wall seconds; total $(($(date +%s) - start)) s)"
  local entry
  for entry in "${timings[@]}"; do printf '  %-28s %5d s\n' "${entry%:*}" "${entry##*:}"; done
  if [[ -n ${ccache_before:-} ]]; then
    local after hits misses
    after=$(ccache_counts)
    hits=$((${after% *} - ${ccache_before% *}))
    misses=$((${after#* } - ${ccache_before#* }))
    echo "compiler cache: $hits hits, $misses misses" \
      "($((hits + misses > 0 ? 100 * hits / (hits + misses) : 0)) % hits) in $(ccache --get-config cache_dir)"
  fi
  ((code == 0)) || echo "test.sh: failed (exit $code)"
  skip_line
}
trap summary EXIT

timed checks scripts/check-layers.sh
timed setup scripts/setup.sh
timed format scripts/check-format.sh
ccache_before=$(ccache_counts)

run_suite() {
  local preset=$1
  echo "=== $preset suite ==="
  cmake --preset "$preset" >/dev/null
  timed "$preset build" cmake --build --preset "$preset"
  suites_run+=("$preset")
  timed "$preset tests" ctest --preset "$preset"
}

run_suite debug
ASAN_OPTIONS=detect_leaks=1 run_suite asan
TSAN_OPTIONS=halt_on_error=1 run_suite tsan
echo "=== a ten-minute slice of the soak storm ==="
timed "soak slice" scripts/soak.sh 600
echo "=== Windows build under Wine ==="
timed "wine" scripts/wine-run.sh
echo "=== fuzz targets, 20 s each ==="
timed "fuzz" scripts/fuzz.sh 20
