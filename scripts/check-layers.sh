#!/usr/bin/env bash
# Checks that the folders of src/ (the plug-in) and of sim/ (the game double)
# form layers whose includes only point down. The orders, from the top:
#
#   src/:  plugin -> lightning -> events, settings -> game -> log -> platform
#          (lightning may use events and settings, which do not use each other)
#   sim/:  cli -> scenario -> double -> host -> engine -> image -> run -> include
#          (a "nimbrel_sim/..." include is the room include)
#
# A file may include headers of its own folder and of the folders below it.
# Every src/ layer may include the headers CMake generates (nimbrel/). sim/tests/
# is the double's test suite, not a room. Also checks that only src/platform/
# tests for _WIN32. Prints each offending line; exits 1 if there is one.
#
# usage: scripts/check-layers.sh [ROOT]   (default: this checkout)
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root"

declare -A src_below=(
  [platform]=""
  [log]="platform"
  [game]="log platform"
  [settings]="game log platform"
  [events]="game log platform"
  [lightning]="events settings game log platform"
  [plugin]="lightning events settings game log platform"
)
sim_order=(cli scenario double host engine image run include)

declare -A sim_below=()
for ((i = 0; i < ${#sim_order[@]}; ++i)); do
  sim_below[${sim_order[i]}]="${sim_order[*]:i+1}"
done

status=0
fail() {
  echo "check-layers: $*" >&2
  status=1
}

# check TREE LAYER ALLOWED_FOLDERS FOLDER_OF_TARGET_FN
check_folder() {
  local tree=$1 layer=$2 allowed=$3 dir=$4 file line text target folder
  while IFS=: read -r file line text; do
    target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$text")
    folder=${target%%/*}
    [[ $tree == sim && $folder == nimbrel_sim ]] && folder=include
    if [[ $target != */* || $folder == ".." || $folder == "." ]]; then
      fail "$file:$line: include \"$target\" names no folder of $tree/"
    elif [[ $allowed != *" $folder "* ]]; then
      fail "$file:$line: $tree/$layer/ may not include \"$target\" ($tree/$folder/ is not below it)"
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$dir" || true)
}

for dir in src/*/; do
  layer=$(basename "$dir")
  if [[ -z ${src_below[$layer]+set} ]]; then
    fail "src/$layer/ is in no layer; add it to scripts/check-layers.sh"
    continue
  fi
  check_folder src "$layer" " $layer ${src_below[$layer]} nimbrel " "$dir"
done

if [[ -d sim ]]; then
  for dir in sim/*/; do
    layer=$(basename "$dir")
    [[ $layer == tests ]] && continue
    if [[ -z ${sim_below[$layer]+set} ]]; then
      fail "sim/$layer/ is in no room; add it to scripts/check-layers.sh"
      continue
    fi
    check_folder sim "$layer" " $layer ${sim_below[$layer]} " "$dir"
  done
fi

while IFS= read -r hit; do
  fail "$hit: only src/platform/ may test for _WIN32"
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif).*_WIN32' src --exclude-dir=platform || true)

if ((status == 0)); then echo "check-layers: src/ and sim/ are layered one way"; fi
exit $status
