#!/usr/bin/env bash
# The main job: builds both plug-ins and plays them in the simulated game.
# Output goes to out/ (the plug-ins' logs under out/sim-*/Documents/My Games/...):
# the SE plug-in on 1.5.39, the VR plug-in, and the SE plug-in on 1.7.99.
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
# The SE plug-in on 1.7.99, the runtime Steam ships now, where it finds the
# engine through the Address Library database (format 5) that the double
# writes into its game folder.
echo
echo "=== SE on 1.7.99, the runtime Steam ships now ==="
build/release/bin/nimbrel-sim --edition se --runtime 1.7.99 --out out/sim-se-1.7.99 "$@" || status=$?
exit $status
