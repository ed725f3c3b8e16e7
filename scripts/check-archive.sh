#!/usr/bin/env bash
# Checks a mod archive's list of files: exactly the edition's DLL, the compiled
# script the game needs to link the natives, the script's source and the
# players' README, laid out as the game's Data folder. Nothing more, nothing less.
#   scripts/check-archive.sh ARCHIVE DLL-NAME
set -euo pipefail
archive=$1 dll=$2
fail() { echo "check-archive: $archive: $*" >&2; exit 1; }

expected="Nimbrel-README.txt
SKSE/Plugins/$dll.dll
Scripts/NimbrelPluginScript.pex
Source/Scripts/NimbrelPluginScript.psc"
actual=$(cmake -E tar tf "$archive" | grep -v '/$' | LC_ALL=C sort) || fail "cannot be read"
[[ "$actual" == "$(LC_ALL=C sort <<<"$expected")" ]] || fail "holds
$actual
instead of
$expected"
echo "check-archive: $(basename "$archive"): $(paste -sd ' ' <<<"$actual")"
