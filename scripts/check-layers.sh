#!/usr/bin/env bash
# Checks that the plug-in's folders form layers that only point down:
#
#   plugin -> lightning -> events, settings -> game -> log -> platform
#
# A file may include headers of its own folder and of the folders below it;
# lightning may use events and settings, which do not use each other. Every
# layer may include the headers CMake generates (nimbrel/). Also checks that
# only src/platform/ tests for _WIN32. Prints each offending line; exits 1 if
# there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A below=(
  [platform]=""
  [log]="platform"
  [game]="log platform"
  [settings]="game log platform"
  [events]="game log platform"
  [lightning]="events settings game log platform"
  [plugin]="lightning events settings game log platform"
)
generated=nimbrel

status=0
fail() {
  echo "check-layers: $*" >&2
  status=1
}

for dir in src/*/; do
  layer=$(basename "$dir")
  if [[ -z ${below[$layer]+set} ]]; then
    fail "src/$layer/ is in no layer; add it to scripts/check-layers.sh"
    continue
  fi
  allowed=" $layer ${below[$layer]} $generated "
  while IFS=: read -r file line text; do
    target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$text")
    folder=${target%%/*}
    if [[ $target != */* || $folder == ".." || $folder == "." ]]; then
      fail "$file:$line: include \"$target\" names no folder of src/"
    elif [[ $allowed != *" $folder "* ]]; then
      fail "$file:$line: src/$layer/ may not include \"$target\" (src/$folder/ is not below it)"
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$dir" || true)
done

while IFS= read -r hit; do
  fail "$hit: only src/platform/ may test for _WIN32"
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif).*_WIN32' src --exclude-dir=platform || true)

if ((status == 0)); then echo "check-layers: src/ is layered one way"; fi
exit $status
