#!/usr/bin/env bash
# Every test: the layer check of src/, the format check, the native suite, the suite under
# ASan+UBSan and under TSan, a ten-minute slice of the soak storm under both
# sanitizers, the MinGW build of both DLLs and their run under Wine, and a
# short run of every fuzz target.
#
# On two cores the work overlaps where it can without crowding a test: while
# the native and the ASan suite run (their tests mostly wait on the simulated
# clock), the next configuration builds at a lower priority and on two jobs;
# the Windows and fuzz builds go beside the soak. Nothing builds beside the
# TSan suite, whose tests a busy machine slows most. The Windows DLLs' run
# under Wine (at the game's own pace, nearly idle) goes beside the fuzz
# targets, two at a time at the lowest priority. Compiles go through ccache
# (see CMakeLists.txt).
#
# Ends with where the time went, the compiler cache's hits, and one line that
# counts the tests skipped and says why (a clone without the real data beside
# it skips the tests that read it; NIMBREL_REQUIRE_REAL_DATA=1 fails them).
set -euo pipefail
cd "$(dirname "$0")/.."

start=$(date +%s)
timings=()
suites_run=()
logs=build/test-logs
background=()

# timed NAME COMMAND...: runs the command and notes its wall time, also when
# it fails.
timed() {
  local name=$1 from status=0
  shift
  from=$(date +%s)
  "$@" || status=$?
  timings+=("$name:$(($(date +%s) - from))")
  return $status
}

# build_quietly PRESET[:TARGET...]...: builds each configuration in turn at a
# lower priority, its output in a log of its own; prints the log's end when one
# fails. Each one's wall time goes to `PRESET build`.
build_quietly() {
  local item preset targets from
  for item in "$@"; do
    preset=${item%%:*}
    targets=()
    [[ $item == *:* ]] && read -r -a targets <<<"${item#*:}"
    from=$(date +%s)
    if ! nice -n 10 cmake --build --preset "$preset" -j 2 ${targets[@]+--target "${targets[@]}"} \
      >"$logs/$preset-build.log" 2>&1; then
      tail -n 40 "$logs/$preset-build.log" >&2
      echo "test.sh: the $preset build failed (all of it in $logs/$preset-build.log)" >&2
      return 1
    fi
    echo "$preset build:$(($(date +%s) - from))" >>"$logs/builds.times"
  done
}

# Starts builds in the background; `finish_builds` waits for them and notes
# their times.
start_build() {
  build_quietly "$@" &
  background+=("$!")
}
finish_builds() {
  local pid status=0
  for pid in "${background[@]}"; do wait "$pid" || status=1; done
  background=()
  if [[ -f $logs/builds.times ]]; then
    mapfile -t -O "${#timings[@]}" timings <"$logs/builds.times"
    rm -f "$logs/builds.times"
  fi
  return $status
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
  local files=() preset
  for preset in "${suites_run[@]}"; do
    [[ -f build/$preset/Testing/Temporary/LastTest.log ]] && files+=("build/$preset/Testing/Temporary/LastTest.log")
  done
  if ((${#files[@]} == 0)); then
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
       }' "${files[@]}"
}

summary() {
  local code=$?
  set +e
  local pid
  for pid in "${background[@]}"; do pkill -P "$pid" 2>/dev/null; kill "$pid" 2>/dev/null; done
  echo "=== where the time went (wall seconds; total $(($(date +%s) - start)) s; overlapping builds in brackets)"
  local entry
  for entry in "${timings[@]}"; do
    if [[ ${entry%:*} == *build && ${entry%:*} != "debug build" ]]; then
      printf '  %-28s [%5d s]\n' "${entry%:*}" "${entry##*:}"
    else
      printf '  %-28s %6d s\n' "${entry%:*}" "${entry##*:}"
    fi
  done
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
mkdir -p "$logs"
rm -f "$logs/builds.times"
configure() { for preset in debug asan tsan mingw fuzz; do cmake --preset "$preset" >/dev/null; done; }
timed configure configure

run_tests() {
  local preset=$1
  echo "=== $preset suite ==="
  suites_run+=("$preset")
  timed "$preset tests" ctest --preset "$preset"
}

echo "=== debug build ==="
timed "debug build" cmake --build --preset debug
start_build asan
run_tests debug
finish_builds
start_build tsan
ASAN_OPTIONS=detect_leaks=1 run_tests asan
finish_builds
TSAN_OPTIONS=halt_on_error=1 run_tests tsan
start_build "mingw:all package-mods" "fuzz:fuzz_all"
echo "=== a ten-minute slice of the soak storm ==="
timed "soak slice" scripts/soak.sh 600
finish_builds
echo "=== Windows build under Wine, beside the fuzz targets (20 s each, two at a time) ==="
wine_from=$(date +%s)
scripts/wine-run.sh >"$logs/wine-run.log" 2>&1 &
wine=$!
background+=("$wine")
fuzz_status=0
timed "fuzz" scripts/fuzz.sh --jobs 2 20 || fuzz_status=$?
wine_status=0
wait "$wine" || wine_status=$?
background=()
timings+=("wine (beside fuzz):$(($(date +%s) - wine_from))")
echo "--- Windows build under Wine"
cat "$logs/wine-run.log"
((fuzz_status == 0 && wine_status == 0))
