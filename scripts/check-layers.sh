#!/usr/bin/env bash
# Checks the shape of src/: each folder includes only the folders below it, no window runs SQL,
# and nothing outside the engine classes asks which database engine it has.
#   scripts/check-layers.sh       prints every breach and exits 1 when there is one
#
# The layers, lowest first (a folder may include its own headers and those of the folders listed
# after it):
#   common                         conversions, dates, files, the clock
#   store        common            the database: connections, engines, statements, schema
#   probe        common            ICMP echo
#   secrets      store common      the keyring and the owner-only file
#   history      store common      availability, totals, retention
#   alerts       secrets store common                  sounds and the alert mail
#   channels     alerts secrets store common          Telegram and webhook alerts
#   monitor      alerts probe store common             passes, recording, following another
#   web          history store common                  the web page, the API, the metrics
#   session      web monitor channels alerts history secrets probe store common
#                                  one program's monitoring put together
#   ui/controls  store common      what every window shares
#   ui/outages   ui/controls monitor store common
#   ui/admin     ui/controls channels alerts secrets store common
#   ui/history   ui/controls history store common
#   ui/main      ui/* session monitor alerts history store common
#   app          everything        the programs' main()
#   buildtools   ui/controls common
set -uo pipefail
cd "$(dirname "$0")/.."
if ! git rev-parse --git-dir >/dev/null 2>&1; then
  echo "SKIP: the files are listed by git, and this is not a git checkout"
  exit 77
fi

declare -A allowed=(
  [common]=""
  [store]="common"
  [probe]="common"
  [secrets]="store common"
  [history]="store common"
  [alerts]="secrets store common"
  [channels]="alerts secrets store common"
  [monitor]="alerts probe store common"
  [web]="history store common"
  [session]="web monitor channels alerts history secrets probe store common"
  [ui/controls]="store common"
  [ui/outages]="ui/controls monitor store common"
  [ui/admin]="ui/controls channels alerts secrets store common"
  [ui/history]="ui/controls history store common"
  [ui/main]="ui/controls ui/outages ui/admin ui/history session web monitor channels alerts history secrets probe store common"
  [app]="ui/main ui/controls ui/outages ui/admin ui/history session web monitor channels alerts history secrets probe store common"
  [buildtools]="ui/controls common"
)

breaches=0
breach() {
  echo "$1"
  breaches=$((breaches + 1))
}

while IFS= read -r file; do
  folder=$(dirname "${file#src/}")
  if [ -z "${allowed[$folder]+set}" ]; then
    breach "$file: the folder $folder has no place in the layers (scripts/check-layers.sh)"
    continue
  fi
  while IFS= read -r included; do
    target=$(dirname "$included")
    [ "$target" = "$folder" ] && continue
    [ "$target" = "." ] && continue
    case " ${allowed[$folder]} " in
      *" $target "*) ;;
      *) breach "$file includes $included: $folder may not include $target" ;;
    esac
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files 'src/*.h' 'src/*.cpp')

# Windows call the store; they never write a statement of their own.
while IFS= read -r hit; do
  breach "$hit: SQL in a window"
done < <(git grep -n -i -E '"(select|insert|update|delete|create|alter|drop|pragma|begin|commit|with) ' -- 'src/ui/*')

# What differs between the engines is asked of Engine (src/store/engine*) and the lease; nobody
# else names a driver, tests for a file-based engine or spells an engine's own statements.
while IFS= read -r hit; do
  breach "$hit: an engine's own business outside the engine"
done < <(git grep -n -E 'isSQLite|isFile\(\)|"QSQLITE"|"QPSQL"|pg_notify|pg_try_advisory|pg_advisory|wal_checkpoint|DatabaseUrl::Engine::' \
           -- 'src/*' ':!src/store/engine*' ':!src/store/lease.*' ':!src/store/databaseurl.*')

if [ "$breaches" -gt 0 ]; then
  echo "$breaches breaches of the layers"
  exit 1
fi
echo "layers kept: $(git ls-files 'src/*.h' 'src/*.cpp' | wc -l) files"
