#!/usr/bin/env bash
# Installs the Debian packages Sentrok needs that are not there yet.
#   scripts/deps.sh run    what building and running the program needs
#   scripts/deps.sh test   what building and running the test suite needs
#   scripts/deps.sh package        what building the Debian package needs
#   scripts/deps.sh package-check  what checking and trying the package needs
set -euo pipefail

build_pkgs=(cmake g++ make pkg-config qt6-base-dev libqt6sql6-sqlite libcanberra-dev
            qt6-charts-dev libqt6opengl6-dev qtkeychain-qt6-dev qt6-httpserver-dev
            qt6-websockets-dev)
run_pkgs=(qt6-qpa-plugins qt6-translations-l10n libcanberra-pulse sound-theme-freedesktop
          fonts-dejavu-core libqt6sql6-psql libqt6httpserver6)
test_pkgs=(iproute2 procps util-linux fping python3-aiosmtpd qt6-translations-l10n dbus-daemon
           openssl libqt6sql6-psql postgresql-15 libcap2-bin clang-format
           chromium chromium-driver python3-selenium prometheus)
# The web page's clients: a headless browser driven through WebDriver, and Prometheus'
# promtool and server.
# The package: dpkg-shlibdeps and dpkg-buildflags, and file (CPack finds the programs with it);
# checking it: lintian and systemd-analyze; trying it: debootstrap and systemd-nspawn.
package_pkgs=(dpkg-dev file)
check_pkgs=(lintian systemd debootstrap systemd-container)

case "${1:-run}" in
  run)  wanted=("${build_pkgs[@]}" "${run_pkgs[@]}") ;;
  test) wanted=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
  package) wanted=("${build_pkgs[@]}" "${package_pkgs[@]}") ;;
  package-check) wanted=("${check_pkgs[@]}") ;;
  *) echo "usage: $0 run|test|package|package-check" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Sentrok needs these Debian packages: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  as_root=(sudo)
else
  echo "They are not installed and this user cannot install them." >&2
  echo "Ask an administrator to run:" >&2
  echo "  sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
