#!/usr/bin/env bash
# Format check with the project's .clang-format, and cppcheck over our own sources.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
if [ ${#sources[@]} -eq 0 ]; then exit 0; fi

clang-format --dry-run -Werror "${sources[@]}"

# Errors and warnings only: style findings are the formatter's job.
cppcheck --quiet --error-exitcode=1 --enable=warning,portability --std=c++20 --language=c++ \
  --inline-suppr --library=googletest --suppress=missingIncludeSystem -I . "${sources[@]}"
echo "style: clean (${#sources[@]} files)"
