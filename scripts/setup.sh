#!/usr/bin/env bash
# Installs what building and testing Nimbrel needs on a fresh Debian machine.
# Safe to run again: only missing packages are installed.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev binutils clang-format ccache)
if [[ "${NIMBREL_WITH_FUZZ:-1}" == 1 ]]; then
  # clang with its libFuzzer and sanitizer runtimes (scripts/fuzz.sh).
  packages+=(clang libclang-rt-14-dev)
fi
if [[ "${NIMBREL_WITH_WINDOWS:-1}" == 1 ]]; then
  packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
