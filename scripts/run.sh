#!/usr/bin/env bash
# Installs what is missing, builds, makes a demo database beside the program when there is
# none, and starts Sentrok.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
scripts/build.sh

bin=build/bin
db="$bin/sentrok.mdb"
if [ ! -e "$db" ]; then
  # A pass a minute: the first comes a minute after the start, not ten.
  "$bin/sentrok-db" create "$db" --interval 1
  "$bin/sentrok-db" add-host "$db" 127.0.0.1 "Этот компьютер"
  "$bin/sentrok-db" add-host "$db" localhost "Этот компьютер по имени"
  # A documentation address (TEST-NET-1) that never answers: shows what an outage looks like.
  "$bin/sentrok-db" add-host "$db" 192.0.2.1 "Пример: недоступный хост"
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "Sentrok is a desktop program: start it from a graphical session ($bin/sentrok)." >&2
  exit 1
fi
exec "$bin/sentrok"
