#!/usr/bin/env bash
# Checks that every C++ file in the repository is in the project's format
# (.clang-format). Prints each place that is not; `clang-format -i FILE`
# fixes it. Exits 1 if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror; then
  echo "check-format: files above are not formatted (clang-format -i FILE)" >&2
  exit 1
fi
echo "check-format: every C++ file is formatted"
