#!/usr/bin/env bash
# Builds and runs a benchmark.
#   scripts/bench.sh probe [ARGS...]   the echo probe against the test responder, inside a
#                                      private network namespace (needs root); see
#                                      bench/bench_probe.cpp for ARGS
#   scripts/bench.sh scale [ARGS...]   whole passes over 1,000 and 10,000 hosts next to fping,
#                                      in the same namespace; --flood 30000 adds 30 s of passes
#                                      quiet and under ICMP floods; see bench/bench_scale.cpp
#   scripts/bench.sh pass|grid|reports the recording cost of a pass, the event grid filled
#                                      to its ceiling of 100,000 rows and past it (memory
#                                      flat), the reports on a large log
#   scripts/bench.sh store lock [S]    monitoring while another program holds the write lock S s
#   scripts/bench.sh store purge [N]   the log purge of N rows while passes keep recording
#   scripts/bench.sh history [ARGS...] the history on a log of 10 million rows: the upgrade,
#                                      a host's chart, the all-hosts table, sentrok-db
#                                      availability, the thinning; see bench/bench_history.cpp
#   scripts/bench.sh team [HOSTS] [ROUNDS] [DELAY_MS]
#                                      a 1,000-host pass with a tenth changing, recorded on
#                                      SQLite, on PostgreSQL over its socket and over TCP
#                                      through sentrok-delayproxy (5 ms each way), in the
#                                      same namespace; starts a PostgreSQL server of its own
#                                      (postgresql-15); see bench/bench_team.cpp
#   scripts/bench.sh channels [ROUNDS] the chat channels: hand-over to arrival at a local
#                                      receiver (median of ROUNDS, 20 unless given), and the
#                                      hand-over's cost while another channel hangs, in the
#                                      same namespace; see bench/bench_channels.cpp
#   scripts/bench.sh passalerts [PASSES]
#                                      a real session's chat alerts: each pass's end to the
#                                      message at a local webhook and Bot API receiver (median
#                                      of PASSES, 20 unless given); see bench/bench_passalerts.cpp
#   scripts/bench.sh web [HOSTS] [ROUNDS]
#                                      the web side over 10,000 hosts: the snapshots, /metrics,
#                                      /api/v1/status and the page, a pass with 20 scrapes a
#                                      second, 200 idle connections; in the same namespace; see
#                                      bench/bench_web.cpp
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  probe|scale|team|channels|passalerts|web)
    what="$1"
    shift
    scripts/build.sh
    export SENTROK_TOOLS_DIR="$PWD/build/tools"
    exec tests/netns-run.sh "build/bench/bench_$what" "$@"
    ;;
  pass|grid|reports|store|history)
    what="$1"
    shift
    scripts/build.sh
    exec "build/bench/bench_$what" "$@"
    ;;
  *)
    echo "usage: $0 probe|scale|pass|grid|reports|store|history|team|channels|passalerts|web [ARGS...]" >&2
    exit 2
    ;;
esac
