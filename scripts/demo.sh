#!/usr/bin/env bash
# The main job: builds both plug-ins and plays them in the simulated game.
# Output goes to out/ (the plug-ins' logs under out/sim-*/Documents/My Games/...).
set -euo pipefail
cd "$(dirname "$0")/.."

NIMBREL_WITH_WINDOWS=0 NIMBREL_WITH_FUZZ=0 scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target Nimbrel NimbrelVR nimbrel-sim

status=0
for edition in se vr; do
  echo
  echo "=== ${edition^^} ==="
  build/release/bin/nimbrel-sim --edition "$edition" --out "out/sim-$edition" "$@" || status=$?
done
exit $status
