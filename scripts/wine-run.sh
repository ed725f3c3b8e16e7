#!/usr/bin/env bash
# Builds the Windows DLLs, the Windows nimbrel-sim.exe and the mod archives
# with MinGW, then plays a short storm with both editions' real DLLs under
# Wine in a private prefix. (The Windows DLL sleeps at the game's own pace, so
# the storm is a short one at time scale 1.)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

cmake --preset mingw >/dev/null
cmake --build --preset mingw --target all package-mods
bin=$root/build/mingw/bin
version=$(<"$root/build/mingw/version.txt")  # written by CMake from the project's version

for dll in "$bin/Nimbrel.dll" "$bin/NimbrelVR.dll"; do scripts/check-dll.sh "$dll"; done
for pair in SE:Nimbrel VR:NimbrelVR; do
  scripts/check-archive.sh "$root/build/mingw/package/Nimbrel-$version-${pair%%:*}.zip" "${pair#*:}"
done

# A prefix of our own, so nothing of the user's Wine set-up is touched.
export HOME=$root/build/mingw/wine-home
export WINEPREFIX=$root/build/mingw/wineprefix
export WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
mkdir -p "$HOME"
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "wine-run: making the prefix (once)"
  wineboot -i >/dev/null 2>&1
fi
wineserver -p 2>/dev/null || true  # keep one server for all runs (it may be up already)
trap 'wineserver -k 2>/dev/null || true' EXIT

documents="$WINEPREFIX/drive_c/users/$(id -un)/Documents"
status=0
runs=0
# The SE DLL on every runtime the double names (1.5.39 with its built-in
# offsets, the others through the Address Library database the double writes:
# format 5 on 1.7, GOG's own file on GOG 1.6.1179), and the VR DLL.
for run in se:1.5.39 se:1.5.97 se:1.6.353 se:1.6.1170 se:1.7.99 se:1.7.104 se:1.6.1179-gog vr:; do
  edition=${run%%:*} runtime=${run#*:}
  runs=$((runs + 1))
  if [[ $edition == se ]]; then
    game="Skyrim Special Edition"
    [[ $runtime == *-gog ]] && game="Skyrim Special Edition GOG"  # where SKSE's GOG build writes
    log="$documents/My Games/$game/SKSE/NimbrelPlugin.log"; banner="Nimbrel: $version"
  else
    log="$documents/My Games/Skyrim VR/SKSE/NimbrelVRPlugin.log"; banner="NimbrelVR: $version"
  fi
  rm -f "$log"
  out=$root/build/mingw/wine-out/$edition${runtime:+-$runtime}
  echo "--- $edition${runtime:+ $runtime} under Wine"
  scenario=$(winepath -w "$root/scenarios/short-storm.txt")
  if ! output=$(wine "$bin/nimbrel-sim.exe" --edition "$edition" ${runtime:+--runtime "$runtime"} \
                  --scenario "$scenario" --time-scale 1 --out "$(winepath -w "$out")" 2>&1); then
    echo "$output"
    echo "wine-run: FAIL: nimbrel-sim.exe --edition $edition ${runtime:+--runtime $runtime }exited non-zero" >&2
    status=1
    continue
  fi
  echo "$output"
  if [[ "$(head -n 1 "$log" 2>/dev/null | tr -d '\r')" != "$banner" ]]; then
    echo "wine-run: FAIL: no '$banner' banner in $log" >&2
    status=1
  fi
  # The jump is written only where its site's bytes are known: 1.5.39 and VR.
  if [[ $runtime == 1.5.39 || $edition == vr ]]; then
    if ! grep -qE 'patch site: +E9 2D 00 00 00' <<<"$output"; then
      echo "wine-run: FAIL: the jump was not written at the patch site" >&2
      status=1
    fi
  elif grep -qE 'E9 2D 00 00 00' <<<"$output"; then
    echo "wine-run: FAIL: a jump was written into the game's code on $runtime" >&2
    status=1
  fi
  if ! grep -qE '^strikes: +[1-9]' <<<"$output"; then
    echo "wine-run: FAIL: no lightning struck" >&2
    status=1
  fi
  # The DLL's own word, once, after the first cast (the double checks when).
  if [[ $(grep -c 'Lightning works on runtime' "$log") != 1 ]]; then
    echo "wine-run: FAIL: not one 'Lightning works' line in $log" >&2
    status=1
  fi
done

# A game update that moved a field: the DLL checks what it finds with the
# Windows calls (VirtualQuery, the image's own extent, the compiler's type
# information), stands down with its two lines and never crashes: exit 4.
se_log="$documents/My Games/Skyrim Special Edition/SKSE/NimbrelPlugin.log"
for fault in sky-weather player-cell cell-worldspace vm-machine root-node effect-art-model fade-duration form-list \
  hit-source hit-event scene-position; do
  runs=$((runs + 1))
  rm -f "$se_log"
  echo "--- se 1.7.99 with --layout-fault $fault under Wine"
  code=0
  output=$(wine "$bin/nimbrel-sim.exe" --edition se --runtime 1.7.99 --layout-fault "$fault" \
             --scenario "$(winepath -w "$root/scenarios/short-storm.txt")" --time-scale 1 \
             --out "$(winepath -w "$root/build/mingw/wine-out/se-1.7.99-$fault")" 2>&1) || code=$?
  grep -E '^(layout fault|stand-down|lightning|failures):' <<<"$output" || true
  if ((code != 4)) || ! grep -q 'is not laid out as this build expects' "$se_log" ||
     ! grep -q 'Lightning stands down for this game session' "$se_log" || grep -q 'Lightning works' "$se_log"; then
    echo "$output"
    echo "wine-run: FAIL: expected exit 4 (got $code) and both stand-down lines in $se_log" >&2
    status=1
  fi
done

# The real file reading of the DLL: without its database the SE DLL declines
# on 1.5.97, and its log names the file it looked for.
runs=$((runs + 1))
rm -f "$se_log"
echo "--- se 1.5.97 without the Address Library under Wine"
code=0
output=$(wine "$bin/nimbrel-sim.exe" --edition se --runtime 1.5.97 --address-library missing \
           --out "$(winepath -w "$root/build/mingw/wine-out/se-1.5.97-missing")" 2>&1) || code=$?
echo "$output" | tail -n 4
if ((code != 3)) || ! grep -q 'version-1-5-97-0.bin' "$se_log" || ! grep -q 'Address Library' "$se_log"; then
  echo "wine-run: FAIL: expected exit 3 (got $code) and a log naming version-1-5-97-0.bin and the Address Library" >&2
  status=1
fi

# The archives carry exactly the DLLs that were just run, and the script just compiled.
for pair in SE:Nimbrel VR:NimbrelVR; do
  edition=${pair%%:*} dll=${pair#*:}
  archive=$root/build/mingw/package/Nimbrel-$version-$edition.zip
  unpacked=$(mktemp -d)
  (cd "$unpacked" && cmake -E tar xf "$archive")
  if ! cmp -s "$unpacked/SKSE/Plugins/$dll.dll" "$bin/$dll.dll"; then
    echo "wine-run: FAIL: $archive does not hold the tested $dll.dll" >&2
    status=1
  fi
  if ! cmp -s "$unpacked/Scripts/NimbrelPluginScript.pex" "$root/build/mingw/papyrus/NimbrelPluginScript.pex"; then
    echo "wine-run: FAIL: $archive does not hold the compiled NimbrelPluginScript.pex" >&2
    status=1
  fi
  echo "--- $(basename "$archive"):"
  (cd "$unpacked" && find . -type f | sed 's|^\./|    |' | sort)
  rm -rf "$unpacked"
done
if ((status == 0)); then echo "wine-run: $runs passed, 0 failed"; else echo "wine-run: failed"; fi
exit $status
