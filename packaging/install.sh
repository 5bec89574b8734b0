#!/usr/bin/env bash
# Installs a built tree (build/out) into an install directory with its DATA folders, the
# registry file and the systemd unit. Usage: install.sh [BUILD_OUT] [PREFIX]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../build/out}
prefix=${2:-/opt/quorin}
install -d "$prefix"
# The data folders belong to the operators' group when the machine has one, so that its members
# (pwdown's callers) read the data files the service writes; other users get nothing.
if getent group quorin >/dev/null; then
  install -d -m 2750 -g quorin "$prefix/DATA" "$prefix/DATA/UPS" "$prefix/DATA/SNMPTRAP"
else
  install -d -m 0750 "$prefix/DATA" "$prefix/DATA/UPS" "$prefix/DATA/SNMPTRAP"
fi
for f in quomvlsv svcctl libquorin_platform.so SNMPUPS.DLL ky_vexapi4.dll pwdown.dll pwctl upssim; do
  [ -e "$out/$f" ] && install -m 0755 "$out/$f" "$prefix/$f"
done
install -d /etc/quorin
[ -e /etc/quorin/registry.reg ] || sed "s#/opt/quorin#$prefix#" "$here/registry.reg" > /etc/quorin/registry.reg
if [ -d /etc/systemd/system ]; then
  sed "s#/opt/quorin#$prefix#" "$here/quomvlsv.service" > /etc/systemd/system/quomvlsv.service
fi
echo "installed into $prefix"
