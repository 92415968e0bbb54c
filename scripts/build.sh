#!/usr/bin/env bash
# Configures and builds Sentrok into build/ (the program folder is build/bin).
#   BUILD_DIR=build-asan SENTROK_SANITIZE=ON BUILD_TYPE=Debug scripts/build.sh
# builds the sanitizer tree that scripts/test.sh --sanitize runs; SENTROK_WERROR=ON makes every
# compiler warning an error (CI).
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${BUILD_DIR:-build}"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
  -DSENTROK_SANITIZE="${SENTROK_SANITIZE:-OFF}" -DSENTROK_WERROR="${SENTROK_WERROR:-OFF}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
