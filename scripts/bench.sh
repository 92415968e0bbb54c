#!/usr/bin/env bash
# Builds and runs a benchmark.
#   scripts/bench.sh probe [ARGS...]   the echo probe against the test responder, inside a
#                                      private network namespace (needs root); see
#                                      bench/bench_probe.cpp for ARGS
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  probe)
    shift
    scripts/build.sh
    export SENTROK_TOOLS_DIR="$PWD/build/tools"
    exec tests/netns-run.sh build/bench/bench_probe "$@"
    ;;
  *)
    echo "usage: $0 probe [ARGS...]" >&2
    exit 2
    ;;
esac
