#!/usr/bin/env bash
# What an administrator and a user of a clean Debian 12 get from the package, tried for real in a
# fresh Debian 12 tree (debootstrap) run with systemd-nspawn, never on this machine's own system:
#   packaging/install-test.sh DEB
#   SENTROK_TEST_BASE=DIR   a debootstrapped bookworm tree to copy instead of making one
#   SENTROK_TEST_KEEP=1     keep the tree afterwards (its path is printed)
# 1. apt-get install DEB brings its dependencies, and postinst gives the echo programs
#    cap_net_raw.
# 2. An ordinary user, in a network namespace of loopback alone where ping_group_range is closed:
#    sentrok-probe 127.0.0.1 answers (and the same program without the capability cannot);
#    sentrok, started under Xvfb by its desktop entry's command, makes ~/.local/share/sentrok
#    and, once started, holds the capability no more.
# 3. Booted with systemd (also without a network): systemctl start sentrok-monitor makes the
#    service's database; the service may hold CAP_NET_RAW alone, and gives it up once its
#    sockets are open; with SENTROK_DATABASE from
#    /etc/sentrok/monitor.env it checks that database's host; enable, stop.
# 4. apt-get purge leaves no file of the package, and the user's database.
set -euo pipefail
"$(dirname "$0")/../scripts/deps.sh" package-check
deb="$(realpath "$1")"
work="$(mktemp -d /var/tmp/sentrok-install-test.XXXXXX)"
tree="$work/tree"
passes=0
failures=0
check() {  # check WHAT COMMAND...
  local what="$1"
  shift
  if "$@"; then
    echo "ok: $what"
    passes=$((passes + 1))
  else
    echo "FAILED: $what" >&2
    failures=$((failures + 1))
  fi
}
finish() {
  if [ "${SENTROK_TEST_KEEP:-}" = 1 ]; then echo "tree kept: $tree"; else rm -rf "$work"; fi
}
trap finish EXIT
# Commands in the tree: the package comes in read-only at /tmp/out; the tree's own network is
# loopback alone unless the step needs Debian's packages.
in_tree() { systemd-nspawn -q --register=no --keep-unit -D "$tree" --bind-ro="$(dirname "$deb")":/tmp/out "$@"; }

if [ -n "${SENTROK_TEST_BASE:-}" ]; then
  cp -a "$SENTROK_TEST_BASE" "$tree"
else
  # The same Debian mirror this machine's apt uses.
  mirror="$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)"
  [ -n "$mirror" ] || mirror="$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list)"
  debootstrap --include=dbus bookworm "$tree" "$mirror" >"$work/debootstrap.log"
fi

echo "== 1. apt-get install $(basename "$deb")"
in_tree --pipe /bin/sh -c "export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -q /tmp/out/$(basename "$deb") >/root/install.log 2>&1 &&
  dpkg -L sentrok >/root/files.list && getcap /usr/lib/sentrok/* >/root/caps &&
  apt-get install -y -q --no-install-recommends xvfb >/root/xvfb.log 2>&1" ||
  { tail -20 "$tree/root/install.log" >&2; exit 1; }
for program in sentrok sentrok-monitor sentrok-probe; do
  check "$program has cap_net_raw" grep -q "^/usr/lib/sentrok/$program cap_net_raw=ep" "$tree/root/caps"
done

echo "== 2. an ordinary user"
cat >"$tree/root/user-test.sh" <<'SCRIPT'
ip link set lo up
useradd -m -s /bin/sh tester
as_user() { setpriv --reuid tester --regid tester --init-groups env -i HOME=/home/tester PATH=/usr/bin:/bin "$@"; }
echo "ping_group_range=$(cat /proc/sys/net/ipv4/ping_group_range | tr '\t' ' ')"
echo "probe=$(as_user sentrok-probe 127.0.0.1 2>/dev/null)"
install -m 755 /usr/lib/sentrok/sentrok-probe /tmp/probe-without-capability
echo "without=$(as_user /tmp/probe-without-capability 127.0.0.1 2>/dev/null)"
as_user Xvfb :7 -nolisten tcp >/dev/null 2>&1 &
sleep 2
command="$(sed -n 's/^Exec=//p' /usr/share/applications/sentrok.desktop)"
as_user env DISPLAY=:7 XDG_RUNTIME_DIR=/tmp $command >/tmp/sentrok.log 2>&1 &
for i in $(seq 60); do [ -e /home/tester/.local/share/sentrok/sentrok.mdb ] && break; sleep 1; done
sleep 3
echo "running=$(pgrep -x sentrok >/dev/null && echo yes || echo no)"
echo "desktop_caps=$(sed -n 's/^CapPrm:\t//p' /proc/$(pgrep -x sentrok)/status)"
pkill -x sentrok; sleep 2; pkill -x Xvfb
echo "mode=$(stat -c %a /home/tester/.local/share/sentrok)"
echo "hosts=$(sentrok-db availability /home/tester/.local/share/sentrok/sentrok.mdb --csv | wc -l)"
SCRIPT
in_tree --private-network --pipe /bin/sh /root/user-test.sh >"$work/user.out" 2>&1 || true
said() { sed -n "s/^$1=//p" "$work/user.out"; }
check "ping_group_range is closed" [ "$(said ping_group_range)" = "1 0" ]
check "sentrok-probe 127.0.0.1 answers" [ "$(said probe)" -ge 0 ] 2>/dev/null
check "without cap_net_raw it cannot" [ -z "$(said without)" ]
check "sentrok runs from its desktop entry" [ "$(said running)" = yes ]
check "sentrok has given cap_net_raw up once started" [ "$(said desktop_caps)" = 0000000000000000 ]
check "the user's database is made, in a folder of the user's alone" [ "$(said mode)" = 700 ]
check "it is a database with no host" [ "$(said hosts)" = 1 ]

echo "== 3. the service"
cat >"$tree/root/service-test.sh" <<'SCRIPT'
#!/bin/sh
exec >/root/service.out 2>&1
systemctl start sentrok-monitor
sleep 3
echo "active=$(systemctl is-active sentrok-monitor)"
echo "made=$(test -s /var/lib/private/sentrok/sentrok.mdb && echo yes)"
pid="$(systemctl show -p MainPID --value sentrok-monitor)"
echo "caps=$(sed -n 's/^CapEff:\t//p' /proc/$pid/status)"
echo "bounding=$(sed -n 's/^CapBnd:\t//p' /proc/$pid/status)"
echo "uid=$(stat -c %u /proc/$pid)"
systemctl stop sentrok-monitor
# A database with a pass every minute, chosen in the environment file.
sentrok-db create /var/lib/sentrok/team.mdb --interval 1 >/dev/null
sentrok-db add-host /var/lib/sentrok/team.mdb 127.0.0.1 "loopback" >/dev/null
chown --reference=/var/lib/private/sentrok /var/lib/private/sentrok/team.mdb
echo "SENTROK_DATABASE=sqlite:/var/lib/sentrok/team.mdb" >>/etc/sentrok/monitor.env
systemctl start sentrok-monitor
for i in $(seq 100); do
  journalctl -q -u sentrok-monitor -g 'проход окончен' >/dev/null 2>&1 && break
  sleep 1
done
echo "pass=$(journalctl -q -o cat -u sentrok-monitor -g 'проход окончен' | tail -1)"
echo "database=$(journalctl -q -o cat -u sentrok-monitor -g 'team.mdb' | tail -1)"
systemctl stop sentrok-monitor
echo "stopped=$(systemctl is-active sentrok-monitor)"
# Enabled by hand: purging must still take its links away.
systemctl enable sentrok-monitor 2>/dev/null
echo "enabled=$(systemctl is-enabled sentrok-monitor)"
systemctl poweroff
SCRIPT
chmod 755 "$tree/root/service-test.sh"
printf '[Service]\nType=oneshot\nExecStart=/root/service-test.sh\n[Install]\nWantedBy=multi-user.target\n' \
  >"$tree/etc/systemd/system/sentrok-test.service"
ln -s /etc/systemd/system/sentrok-test.service "$tree/etc/systemd/system/multi-user.target.wants/"
timeout 300 systemd-nspawn -q --register=no --keep-unit -D "$tree" --private-network --boot \
  >"$work/boot.log" 2>&1 || true
rm "$tree/etc/systemd/system/multi-user.target.wants/sentrok-test.service" \
   "$tree/etc/systemd/system/sentrok-test.service" "$tree/root/service-test.sh"
said() { sed -n "s/^$1=//p" "$tree/root/service.out" 2>/dev/null; }
check "systemctl start sentrok-monitor" [ "$(said active)" = active ]
check "the service makes its database in /var/lib/sentrok" [ "$(said made)" = yes ]
check "the service may hold CAP_NET_RAW alone" [ "$(said bounding)" = 0000000000002000 ]
# It keeps its raw sockets and gives the capability up.
check "the service has given CAP_NET_RAW up once started" [ "$(said caps)" = 0000000000000000 ]
check "the service runs as a user of its own" [ "$(said uid)" -gt 0 ]
check "monitor.env names the database" grep -q team.mdb <<<"$(said database)"
check "the service checks its host" grep -q 'адресов 1, не пингуется 0' <<<"$(said pass)"
check "systemctl stop" [ "$(said stopped)" = inactive ]
check "systemctl enable" [ "$(said enabled)" = enabled ]

echo "== 4. apt-get purge sentrok"
in_tree --pipe /bin/sh -c 'DEBIAN_FRONTEND=noninteractive apt-get purge -y -q sentrok >/root/purge.log 2>&1' ||
  { tail -20 "$tree/root/purge.log" >&2; exit 1; }
left="$(while read -r path; do
  if [ -f "$tree$path" ] || [ -L "$tree$path" ]; then echo "$path"; fi
done <"$tree/root/files.list")"
check "no file of the package is left${left:+: $left}" [ -z "$left" ]
named="$(cd "$tree" && find . -xdev -path ./home -prune -o -path ./proc -prune -o -name '*sentrok*' -print)"
check "nothing named sentrok is left${named:+: $named}" [ -z "$named" ]
check "the user's database is kept" [ -s "$tree/home/tester/.local/share/sentrok/sentrok.mdb" ]

echo "package: $passes passed, $failures failed"
if [ "$failures" -ne 0 ]; then
  echo "what the tree said: $work/user.out, $tree/root/service.out" >&2
  SENTROK_TEST_KEEP=1
  exit 1
fi
