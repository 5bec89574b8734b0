#!/usr/bin/env bash
# The system's main job, on an embedded default installation: a temporary install directory
# with a sample configuration and registry file, the service started through svcctl,
# commands sent over its pipe with their replies printed, and a clean stop.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/out"
if [ ! -x "$out/quomvlsv" ] || [ ! -x "$out/pwctl" ] || [ "${QUORIN_DEMO_REBUILD:-}" != "" ]; then
  "$root/scripts/setup.sh"
  "$root/scripts/build.sh" "$root/build" >/dev/null
fi

demo=$(mktemp -d /tmp/quorin-demo-XXXXXX)
install="$demo/opt/quorin"
export QUORIN_RUNTIME_DIR="$demo/run"
export QUORIN_REGISTRY="$demo/registry.reg"
export QUORIN_REBOOT_COMMAND="echo restart requested >> $demo/reboot.txt"
export QUORIN_TIME_SCALE=${QUORIN_TIME_SCALE:-10}
service=Mavr_tsr_monitor

cleanup() {
  "$out/svcctl" stop "$service" >/dev/null 2>&1 || true
  rm -rf "$demo"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }

step "installing into $install"
mkdir -p "$install/DATA/UPS" "$install/DATA/SNMPTRAP" "$QUORIN_RUNTIME_DIR"
cp "$out/quomvlsv" "$out/libquorin_platform.so" "$install/"
cat > "$install/DATA/ky_e_net.ini" <<'INI'
[common]
Community=kelpie
TSR_SVR_NUM=2
Storage_NUM=1
[Server1]
UPS_NUM=1
Used=1
UPS_IP1=127.0.0.2
[Server2]
UPS_NUM=1
UPS_IP1=127.0.0.3
[Storage1]
UPS_NUM=1
UPS_IP1=127.0.0.4
INI
cat > "$QUORIN_REGISTRY" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]
"PathName"="$install"
"LumoUa"=dword:00000001
"LumoUnit"=hex:00
"APIDEBUG"=hex:00
REG

step "starting the service"
"$out/svcctl" start "$service" "$install/quomvlsv"

send() {
  local code=$1 data=${2:-}
  step "request $code${data:+ with data \"$data\"}"
  "$out/pwctl" send "$code" $data || true
}
# Wait for the delayed initialisation (configuration, library binding) to finish.
for _ in $(seq 1 100); do
  grep -q "Delayed initialization completed" "$install/DATA/QUOMVLSV.LOG" 2>/dev/null && break
  sleep 0.1
done
send C02
send K02
send PCS
send CSD 0
send XYZ

step "stopping the service"
"$out/svcctl" stop "$service"

step "the service log"
tail -c +10 "$install/DATA/QUOMVLSV.LOG" | sed -n '1,400p' | grep -vE 'Received \(hex\)|Response \(hex\)' | cut -c1-150
