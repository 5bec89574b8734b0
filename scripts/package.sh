#!/usr/bin/env bash
# Builds the Debian packages "quorin" (the service, the libraries, svcctl, pwctl, quorinlog,
# upswatch, their systemd units, the configuration under /etc/quorin, man pages) and
# "quorin-tools" (upssim and the cluster tool stand-ins) from a release build of this tree, and
# checks them with lintian.
#
# Usage: scripts/package.sh [BUILD_DIR]   (default build-release); the packages land in
# BUILD_DIR/packages.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-release}
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORIN_BUILD_TESTS=OFF \
  -DQUORIN_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)"
rm -rf "$dir/packages"
(cd "$dir" && env -u DESTDIR cpack -G DEB -B "$dir/packages" >/dev/null)
rm -rf "$dir/packages/_CPack_Packages"
ls -1 "$dir"/packages/*.deb
if command -v lintian >/dev/null; then
  # Errors fail the script; warnings are shown.
  lintian --fail-on error --no-tag-display-limit "$dir"/packages/*.deb
else
  echo "lintian is not installed (scripts/setup.sh installs it): packages not checked"
fi
