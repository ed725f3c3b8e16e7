#!/usr/bin/env bash
# The layer check passes on this checkout and fails, naming the line, on an
# include planted against the order in a copy of it.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
check=$repo/scripts/check-layers.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$check" "$repo" >/dev/null

expect_refusal() {  # FILE INCLUDE EXPECTED_MESSAGE
  rm -rf "$work/tree" && mkdir "$work/tree"
  cp -r "$repo/src" "$repo/sim" "$work/tree/"
  printf '#include "%s"\n' "$2" >>"$work/tree/$1"
  if "$check" "$work/tree" 2>"$work/err"; then
    echo "FAIL: the check passed with \"$2\" planted in $1" >&2
    exit 1
  fi
  if ! grep -qF "$3" "$work/err"; then
    echo "FAIL: expected \"$3\", got:" >&2
    cat "$work/err" >&2
    exit 1
  fi
}

engine_file=$(cd "$repo" && ls sim/engine/*.cpp | head -n 1)
expect_refusal "$engine_file" scenario/scenario.h \
  "sim/engine/ may not include \"scenario/scenario.h\" (sim/scenario/ is not below it)"
expect_refusal src/game/forms.h plugin/host.h \
  "src/game/ may not include \"plugin/host.h\" (src/plugin/ is not below it)"
expect_refusal sim/run/trace.h double/game_double_impl.h "sim/run/ may not include"

# A room the order does not name is refused too.
rm -rf "$work/tree" && mkdir "$work/tree" && cp -r "$repo/src" "$repo/sim" "$work/tree/"
mkdir "$work/tree/sim/extra" && echo '#include "run/run.h"' >"$work/tree/sim/extra/x.cpp"
if "$check" "$work/tree" 2>"$work/err" || ! grep -qF "sim/extra/ is in no room" "$work/err"; then
  echo "FAIL: an unnamed room passed the check" >&2
  exit 1
fi
echo "check-layers test: 1 passed, 0 failed"
