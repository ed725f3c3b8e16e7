#!/usr/bin/env bash
# Checks that every C++ file in the repository is in the project's format
# (.clang-format). Prints each file that is not; `clang-format -i FILE` fixes
# it. Exits 1 if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
while IFS= read -r file; do
  if ! clang-format --dry-run --Werror "$file" >/dev/null 2>&1; then
    echo "check-format: $file is not formatted (clang-format -i $file)" >&2
    status=1
  fi
done < <(git ls-files '*.cpp' '*.h')
((status == 0)) && echo "check-format: every C++ file is formatted"
exit $status
