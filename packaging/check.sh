#!/usr/bin/env bash
# Checks a built package without installing it (CI runs it after scripts/package.sh):
#   packaging/check.sh OUTDIR/sentrok_*.deb
# lintian with no error and no warning beyond those the package overrides (with the reason), the
# files a user and an administrator rely on, the conffile and its mode, the maintainer scripts'
# syntax, and the unit as systemd reads it (verify, and its exposure with the hardening).
set -euo pipefail
"$(dirname "$0")/../scripts/deps.sh" package-check
deb="$(realpath "$1")"
fail=0
bad() { echo "package: $*" >&2; fail=1; }

echo "== lintian"
lintian --fail-on error,warning --display-info "$deb" ||
  bad "lintian reports errors or warnings"

root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root/files"
dpkg-deb -e "$deb" "$root/control"

echo "== contents"
for path in usr/lib/sentrok/sentrok usr/lib/sentrok/sentrok-monitor usr/lib/sentrok/sentrok-db \
            usr/lib/sentrok/sentrok-probe usr/lib/sentrok/up.wav usr/lib/sentrok/down.wav \
            usr/share/applications/sentrok.desktop usr/share/icons/hicolor/48x48/apps/sentrok.png \
            usr/lib/systemd/system/sentrok-monitor.service etc/sentrok/monitor.env \
            usr/share/doc/sentrok/copyright usr/share/doc/sentrok/changelog.gz; do
  [ -e "$root/files/$path" ] || bad "missing /$path"
done
for tool in sentrok sentrok-monitor sentrok-db sentrok-probe; do
  [ "$(readlink "$root/files/usr/bin/$tool")" = "../lib/sentrok/$tool" ] || bad "/usr/bin/$tool does not lead to the program folder"
  [ -e "$root/files/usr/share/man/man1/$tool.1.gz" ] || bad "no manual page for $tool"
done
# Never a database in the package: each user and the service make their own.
if find "$root/files" -name '*.mdb' | grep -q .; then bad "a database file is in the package"; fi
[ "$(cat "$root/control/conffiles")" = /etc/sentrok/monitor.env ] || bad "conffiles is not /etc/sentrok/monitor.env alone"
[ "$(stat -c %a "$root/files/etc/sentrok/monitor.env")" = 600 ] || bad "monitor.env is not 0600"
grep -q '^SENTROK_MONITOR_OPTIONS=' "$root/files/etc/sentrok/monitor.env" || bad "monitor.env lacks SENTROK_MONITOR_OPTIONS"
exec_line="$(grep '^Exec=' "$root/files/usr/share/applications/sentrok.desktop")"
[ "$exec_line" = "Exec=/usr/lib/sentrok/sentrok" ] || bad "desktop entry starts $exec_line"
for tag in Depends Recommends; do dpkg-deb -f "$deb" "$tag"; done > "$root/depends"
for need in qt6-qpa-plugins libqt6sql6-sqlite libqt6sql6-psql qt6-translations-l10n libcap2-bin \
            libqt6widgets6 libcanberra0 libcanberra-pulse libqt6httpserver6; do
  grep -qw -- "$need" "$root/depends" || bad "does not depend on $need"
done

echo "== maintainer scripts"
for script in postinst prerm postrm; do
  sh -n "$root/control/$script" || bad "$script: syntax"
done
grep -q 'setcap cap_net_raw+ep' "$root/control/postinst" || bad "postinst gives no cap_net_raw"
grep -q 'rm -rf /etc/sentrok /var/lib/sentrok /var/lib/private/sentrok' "$root/control/postrm" ||
  bad "postrm purge leaves the service's settings or state"
if grep -v '^ *#' "$root/control/postrm" | grep -E '\.local|/home|/root'; then
  bad "postrm touches users' files"
fi

echo "== systemd unit"
# verify needs the units the service depends on: this machine's, beside the package's files.
mkdir -p "$root/files/usr/lib/systemd/system"
for units in /lib/systemd/system /usr/lib/systemd/system; do
  [ -d "$units" ] && cp -an "$units/." "$root/files/usr/lib/systemd/system/"
done
unit="$root/files/usr/lib/systemd/system/sentrok-monitor.service"
# verify exits 0 on settings it ignores: any word from it is a failure.
said="$(systemd-analyze verify --man=no --root="$root/files" "$unit" 2>&1)" || bad "systemd-analyze verify failed"
[ -z "$said" ] || bad "systemd-analyze verify: $said"
for setting in DynamicUser=yes StateDirectory=sentrok AmbientCapabilities=CAP_NET_RAW \
               CapabilityBoundingSet=CAP_NET_RAW ProtectSystem=strict PrivateTmp=yes \
               EnvironmentFile=-/etc/sentrok/monitor.env LoadCredential=sentrok-secrets; do
  grep -qx "$setting" "$unit" || bad "the unit lacks $setting"
done
systemd-analyze security --offline=yes --root="$root/files" --threshold=25 "$unit" | tail -1 ||
  bad "the unit's exposure is above 2.5"

if [ "$fail" -ne 0 ]; then
  echo "package: FAILED" >&2
  exit 1
fi
echo "package: all checks passed"
