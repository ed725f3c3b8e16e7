#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan) and runs each for
# SECONDS, or with --runs N until N inputs have run. Each target starts from
# a scratch copy of its seed corpus in fuzz/corpus/, so the repository stays
# as it is. Prints per target the executions, the rate and the findings;
# inputs that found something are kept in build/fuzz/findings/<target>/.
# Exits non-zero on any finding.
#
#   scripts/fuzz.sh 20                    every target for 20 s
#   scripts/fuzz.sh --jobs 2 20           the same, two targets at a time (one core each)
#   scripts/fuzz.sh --runs 10000000 0 log only the log target, ten million inputs
set -euo pipefail
cd "$(dirname "$0")/.."

runs=0
jobs=1
while [[ "${1:-}" == --runs || "${1:-}" == --jobs ]]; do
  if [[ $1 == --runs ]]; then runs=$2; else jobs=$2; fi
  shift 2
done
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "fuzz: --jobs takes a whole number >= 1" >&2; exit 2; }
seconds=${1:?usage: scripts/fuzz.sh [--runs N] SECONDS [TARGET...]}
shift
targets=("$@")
((${#targets[@]})) || targets=(script_bridge setters log form_resolution monitor strikes scenario address_library type_check)

NIMBREL_WITH_WINDOWS=0 NIMBREL_WITH_FUZZ=1 scripts/setup.sh
cmake --preset fuzz >/dev/null
nice -n 10 cmake --build --preset fuzz --target fuzz_all >/dev/null

bin=$PWD/build/fuzz/fuzz
findings_dir=$PWD/build/fuzz/findings
# Memory-backed scratch where there is one: the log target makes and removes
# folders all the time, which a disk makes slow.
scratch_root=/tmp
[[ -d /dev/shm && -w /dev/shm ]] && scratch_root=/dev/shm
scratch=$(mktemp -d "$scratch_root/nimbrel-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# A process runs at most this long or this many inputs: some targets keep
# what each input interns in the game double, so fresh processes keep memory
# flat over a long run.
chunk_seconds=300
chunk_runs=1000000

# One target: its runs, then one result line and its findings count in
# $scratch/<target>.result.
fuzz_target() {
  local target=$1
  local work=$scratch/$target
  mkdir -p "$work/corpus" "$work/tmp" "$work/artifacts"
  cp -r "fuzz/corpus/$target/." "$work/corpus/"
  local options=(-print_final_stats=1 -timeout=30 -rss_limit_mb=4096 -artifact_prefix="$work/artifacts/")
  # Long runs look for leaks when each process ends (every chunk), not after
  # every input: the per-input check scans a heap that the double's interned
  # forms make large, and halves the rate. Short runs keep it, so a leak
  # found in CI names its input.
  ((runs == 0)) || options+=(-detect_leaks=0)
  case $target in
    script_bridge | setters) options+=(-dict=fuzz/settings.dict) ;;
    scenario) options+=(-dict=fuzz/scenario.dict) ;;
  esac

  local executions=0 elapsed=0 status=0 start now left done_runs limit
  start=$(date +%s)
  while :; do
    now=$(date +%s)
    if ((runs > 0)); then
      ((executions < runs)) || break
      left=$((runs - executions))
      limit=(-runs=$((left < chunk_runs ? left : chunk_runs)) -max_total_time=$chunk_seconds)
    else
      left=$((seconds - (now - start)))
      ((left > 0)) || break
      limit=(-max_total_time=$((left < chunk_seconds ? left : chunk_seconds)))
    fi
    set +e
    TMPDIR=$work/tmp nice -n 19 "$bin/fuzz_$target" "${options[@]}" "${limit[@]}" "$work/corpus" >"$work/run.log" 2>&1
    status=$?
    set -e
    done_runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/run.log" | tail -1)
    executions=$((executions + ${done_runs:-0}))
    echo "$target: $executions executions after $(($(date +%s) - start)) s" >&2
    ((status == 0)) || break
    [[ -n "$done_runs" && "$done_runs" -gt 0 ]] || break
  done
  elapsed=$(($(date +%s) - start))

  local found
  found=$(find "$work/artifacts" -type f | wc -l)
  if ((status != 0 && found == 0)); then found=1; fi
  if ((found > 0)); then
    mkdir -p "$findings_dir/$target"
    cp "$work/artifacts/"* "$findings_dir/$target/" 2>/dev/null || true
    cp "$work/run.log" "$findings_dir/$target/run.log"
    echo "--- $target: last lines of the run" >&2
    tail -n 40 "$work/run.log" >&2
  fi
  printf '%-16s %12d executions  %8d exec/s  %d finding(s)\n%d\n' "$target" "$executions" \
    $((executions / (elapsed > 0 ? elapsed : 1))) "$found" "$found" >"$scratch/$target.result"
}

# At most $jobs targets at a time; each runs at the lowest priority, so that
# two on two cores leave the machine usable.
running=0
for target in "${targets[@]}"; do
  if ((running >= jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_target "$target" &
  running=$((running + 1))
done
wait || true

total_findings=0
failed_targets=0
for target in "${targets[@]}"; do
  if [[ ! -f $scratch/$target.result ]]; then
    echo "fuzz: $target did not finish" >&2
    printf '%-16s did not finish\n' "$target"
    found=1
  else
    head -n 1 "$scratch/$target.result"
    found=$(tail -n 1 "$scratch/$target.result")
  fi
  total_findings=$((total_findings + found))
  ((found == 0)) || failed_targets=$((failed_targets + 1))
done

echo "fuzz: $total_findings finding(s)"
# A target passes when it found nothing.
echo "fuzz: $((${#targets[@]} - failed_targets)) passed, $failed_targets failed"
((total_findings == 0))
