#!/usr/bin/env bash
# Builds the Debian package of Sentrok into OUTDIR (a Release build of the shipped programs in
# build-package/, apart from the tests' build/):
#   scripts/package.sh OUTDIR        then: sudo apt-get install OUTDIR/sentrok_*.deb
# SENTROK_MAINTAINER="Name <address>" names the package's maintainer.
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
mkdir -p "$1"
out="$(cd "$1" && pwd)"
cd "$(dirname "$0")/.."
scripts/deps.sh package

dir=build-package
# Debian's hardening flags (fortify, stack protector, relro, bindnow), as its own packages get.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags="$(dpkg-buildflags --get CPPFLAGS)"
# The changelog's date: the last commit's, so a rebuild of the same tree gives the same package.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git rev-parse --git-dir >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH="$(git log -1 --format=%ct)"
  export SOURCE_DATE_EPOCH
fi
maintainer=()
[ -n "${SENTROK_MAINTAINER:-}" ] && maintainer=(-DSENTROK_MAINTAINER="$SENTROK_MAINTAINER")
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DSENTROK_TESTS=OFF -DSENTROK_PACKAGE=ON -DSENTROK_SANITIZE=OFF "${maintainer[@]}" \
  -DCMAKE_CXX_FLAGS="$cppflags $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$dir" -j"$(nproc)"
(cd "$dir" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/sentrok_*.deb
