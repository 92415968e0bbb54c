#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the whole test suite.
#   scripts/test.sh [CTEST ARGS...]             the RelWithDebInfo build in build/
#   scripts/test.sh --sanitize [CTEST ARGS...]  a Debug build under AddressSanitizer and UBSan,
#                                               Qt's assertions on, in build-asan/; any report
#                                               fails the test that made it
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
if [ "${1:-}" = "--sanitize" ]; then
  shift
  BUILD_DIR=build-asan SENTROK_SANITIZE=ON BUILD_TYPE=Debug scripts/build.sh
  export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:strict_string_checks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
  cd build-asan
else
  scripts/build.sh
  cd build
fi
ctest --output-on-failure -j"$(nproc)" "$@"
