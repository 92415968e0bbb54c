#!/usr/bin/env bash
# Checks that every tracked C++ source is as clang-format writes it with the .clang-format at the
# root; prints the files that are not and exits 1. To reformat them:
#   git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -uo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null 2>&1; then
  echo "SKIP: clang-format is not installed (Debian package clang-format)"
  exit 77
fi
if ! git rev-parse --git-dir >/dev/null 2>&1; then
  echo "SKIP: the files are listed by git, and this is not a git checkout"
  exit 77
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h')
bad=0
for f in "${files[@]}"; do
  if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "not formatted: $f"
    bad=$((bad + 1))
  fi
done
if [ "$bad" -gt 0 ]; then
  echo "$bad of ${#files[@]} files differ from clang-format $(clang-format --version | grep -o '[0-9][0-9.]*' | head -1)"
  exit 1
fi
echo "formatted: ${#files[@]} files"
