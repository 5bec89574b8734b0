#!/usr/bin/env bash
# Installs a built tree (build/out) into an install directory with its DATA folders, the
# registry file and the systemd unit. Usage: install.sh [BUILD_OUT] [PREFIX]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../build/out}
prefix=${2:-/opt/quorin}
install -d "$prefix" "$prefix/DATA" "$prefix/DATA/UPS" "$prefix/DATA/SNMPTRAP"
for f in quomvlsv svcctl libquorin_platform.so SNMPUPS.DLL ky_vexapi4.dll pwdown.dll pwctl upssim upswatch; do
  [ -e "$out/$f" ] && install -m 0755 "$out/$f" "$prefix/$f"
done
install -d /etc/quorin
[ -e /etc/quorin/registry.reg ] || sed "s#/opt/quorin#$prefix#" "$here/registry.reg" > /etc/quorin/registry.reg
if [ -d /etc/systemd/system ]; then
  sed "s#/opt/quorin#$prefix#" "$here/quomvlsv.service" > /etc/systemd/system/quomvlsv.service
  sed "s#/opt/quorin#$prefix#" "$here/upswatch.service" > /etc/systemd/system/upswatch.service
fi
echo "installed into $prefix"
