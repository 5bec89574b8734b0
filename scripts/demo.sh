#!/usr/bin/env bash
# The system's main job on an embedded default installation: three simulated UPS network
# cards (two servers and one storage unit), the cluster manager's tools as stand-ins, the
# command-server service started through svcctl, and a power failure that a person can
# follow from the storage UPS going on battery to every UPS switched off. A second act runs
# the SNMP UPS library's own monitoring (upswatch): the storage UPS's power fails again, the
# check engine marks it, the trap monitor reports it, and the host shutdown sequence ("V00"
# after a power failure) puts the cards to sleep as their marks say.
#
# Prints a timeline and a final table of the UPS states, checks every step, leaves nothing
# running, and exits 0 only when the whole scenario went as it should.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${QUORIN_DEMO_OUT:-$root/build/out}
need=(quomvlsv svcctl pwctl upssim upswatch SNMPUPS.DLL ky_vexapi4.dll pwdown.dll tsrstat tsrstdn)
missing=0
for f in "${need[@]}"; do [ -e "$out/$f" ] || missing=1; done
if [ $missing -eq 1 ]; then
  echo "building the system (first run)..."
  "$root/scripts/setup.sh"
  "$root/scripts/build.sh" "$root/build" >/dev/null
  out=$root/build/out
fi

demo=$(mktemp -d /tmp/quorin-demo-XXXXXX)
install="$demo/opt/quorin"
service=Mavr_tsr_monitor
export QUORIN_RUNTIME_DIR="$demo/run"
export QUORIN_REGISTRY="$demo/registry.reg"
export QUORIN_REBOOT_COMMAND="echo restart requested >> $demo/reboot.txt"
export QUORIN_TIME_SCALE=${QUORIN_TIME_SCALE:-10}
export QUORIN_TSR_SCRIPT_DIR="$demo/tsr"
export PATH="$out:$PATH"
# A UDP port for the cards' agents, so that the demo never needs port 161; another is tried
# when the cards cannot bind it.
pick_port() { port=${QUORIN_DEMO_PORT:-$((20000 + RANDOM % 20000))}; }
pick_port

server1=127.0.0.2
server2=127.0.0.3
storage=127.0.0.4
upssim_pid=""
watch_pid=""
started=$EPOCHREALTIME

cleanup() {
  "$out/svcctl" stop "$service" >/dev/null 2>&1 || true
  if [ -n "$watch_pid" ]; then kill "$watch_pid" 2>/dev/null || true; wait "$watch_pid" 2>/dev/null || true; fi
  if [ -n "$upssim_pid" ]; then kill "$upssim_pid" 2>/dev/null || true; wait "$upssim_pid" 2>/dev/null || true; fi
  rm -rf "$demo"
}
trap cleanup EXIT

say() { printf '[%6.2fs] %s\n' "$(awk "BEGIN { print $EPOCHREALTIME - $started }")" "$*"; }
fail() { say "DEMO FAILED: $*"; exit 1; }
reply_of() { sed -n 's/^reply: "\(.*\)" .*/\1/p'; }
get() { "$out/upssim" ctl "$1" get "$2" | awk '{print $NF}'; }
output_state() {
  case $1 in 1) echo unknown ;; 2) echo "on line" ;; 3) echo "on battery" ;; 4) echo "smart boost" ;;
    5) echo "timed sleeping" ;; 7) echo off ;; 8) echo rebooting ;; 10) echo "hardware failure" ;;
    11) echo "sleeping until power returns" ;; *) echo "status $1" ;; esac
}
OUTPUT_STATUS=.1.3.6.1.4.1.318.1.1.1.4.1.1.0
OUTPUT_VOLTAGE=.1.3.6.1.4.1.318.1.1.1.4.2.1.0
INPUT_VOLTAGE=.1.3.6.1.4.1.318.1.1.1.3.2.1.0
TURN_OFF=.1.3.6.1.4.1.318.1.1.1.6.2.1.0
TURN_ON=.1.3.6.1.4.1.318.1.1.1.6.2.6.0
SHUTDOWN_DELAY=.1.3.6.1.4.1.318.1.1.1.5.2.10.0
RETURN_DELAY=.1.3.6.1.4.1.318.1.1.1.5.2.9.0
TIME_ON_BATTERY=.1.3.6.1.4.1.318.1.1.1.2.1.2.0

mkdir -p "$install/DATA/UPS" "$install/DATA/SNMPTRAP" "$QUORIN_RUNTIME_DIR" "$QUORIN_TSR_SCRIPT_DIR"
for f in quomvlsv libquorin_platform.so SNMPUPS.DLL ky_vexapi4.dll pwdown.dll pwctl upswatch; do cp "$out/$f" "$install/"; done
cat > "$install/DATA/ky_e_net.ini" <<INI
[common]
Community=kelpie
TSR_SVR_NUM=2
Storage_NUM=1
[Server1]
UPS_NUM=1
Used=1
UPS_IP1=$server1
[Server2]
UPS_NUM=1
Used=0
UPS_IP1=$server2
[Storage1]
UPS_NUM=1
UPS_IP1=$storage
INI
cat > "$QUORIN_REGISTRY" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]
"PathName"="$install"
"LumoUa"=dword:00000001
"LumoUnit"=hex:00
"LumoCom"=hex:09
"APIDEBUG"=hex:00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/KY_E]
"SNMP"="1"
REG
# Three cards; a short shut-down delay so that the outputs go off within the demo.
write_cards() {
  cat > "$demo/cards.conf" <<CONF
port = $port
community = kelpie
[card $server1]
model = QSIM UPS 1500 (server 1)
value = $SHUTDOWN_DELAY t 200
[card $server2]
model = QSIM UPS 1500 (server 2)
value = $SHUTDOWN_DELAY t 200
[card $storage]
model = QSIM UPS 3000 RM (storage)
outlet-groups = 2
value = $SHUTDOWN_DELAY t 200
CONF
}

for attempt in 1 2 3 4 5; do
  write_cards
  "$out/upssim" --config "$demo/cards.conf" > "$demo/upssim.out" 2>&1 &
  upssim_pid=$!
  for _ in $(seq 1 100); do
    grep -q "cards on port" "$demo/upssim.out" && break
    kill -0 "$upssim_pid" 2>/dev/null || break
    sleep 0.05
  done
  grep -q "cards on port" "$demo/upssim.out" && break
  kill "$upssim_pid" 2>/dev/null || true
  wait "$upssim_pid" 2>/dev/null || true
  upssim_pid=""
  [ -z "${QUORIN_DEMO_PORT:-}" ] && [ $attempt -lt 5 ] || fail "the UPS card simulator did not start: $(cat "$demo/upssim.out")"
  pick_port
done
export QUORIN_SNMP_PORT=$port
export QUORIN_SNMP_TRAP_PORT=$((port + 1))
say "install directory $install, UPS cards on UDP port $port"
for card in $server1 $server2 $storage; do
  st=$(get $card $OUTPUT_STATUS)
  [ "$st" = 2 ] || fail "$card reports output status $st before the power failure"
done
say "UPS cards $server1 (server 1), $server2 (server 2), $storage (storage) all report output status 2 (on line)"

"$out/svcctl" start "$service" "$install/quomvlsv" > "$demo/svcctl.out" || fail "the service did not start: $(cat "$demo/svcctl.out")"
say "service $service started through svcctl"
for _ in $(seq 1 200); do grep -q "Delayed initialization completed" "$install/DATA/QUOMVLSV.LOG" 2>/dev/null && break; sleep 0.05; done
grep -q "VEX API initialized successfully" "$install/DATA/QUOMVLSV.LOG" || fail "the cluster API was not initialised"
say "configuration loaded, SNMPUPS.DLL and ky_vexapi4.dll bound, cluster API initialised (tool run: $(paste -sd, "$QUORIN_TSR_SCRIPT_DIR/calls.log"))"

r=$("$out/pwctl" send K02 | reply_of || true)
[ "$r" = "K02 00014" ] || fail "K02 answered \"$r\", expected all storage UPS on line"
say "K02: storage UPS power checked, answer \"$r\" (00 = every storage UPS on line); SHARE_DK.APC holds $(stat -c %s "$install/DATA/SHARE_DK.APC") bytes"

"$out/pwctl" share-disk > "$demo/share.out" 2>&1 || fail "pwctl share-disk failed: $(cat "$demo/share.out")"
grep -q "^$storage  *Storage1-UPS1  *2 (on line)" "$demo/share.out" || fail "SHARE_DK.APC does not show the storage UPS on line: $(cat "$demo/share.out")"
say "a program reads the storage UPS records through pwdown.dll (GetKyShareDiskStatus, pwctl share-disk):"
tail -n +2 "$demo/share.out" | while IFS= read -r line; do say "    $line"; done

"$out/upssim" ctl "$storage" power-fail >/dev/null
say "MAINS POWER FAILS at the storage UPS $storage: output status $(get $storage $OUTPUT_STATUS) ($(output_state "$(get $storage $OUTPUT_STATUS)")), input voltage $(get $storage $INPUT_VOLTAGE) V"

r=$("$out/pwctl" send K02 | reply_of || true)
[ "$r" = "K02 13014" ] || fail "K02 answered \"$r\" with the storage UPS on battery"
say "K02 now answers \"$r\" (13 = a storage UPS is not on line)"

r=$("$out/pwctl" send PCS | reply_of || true)
[ "$r" = "PCS 0000" ] || fail "PCS answered \"$r\""
grep -q "PCS: Cluster shutdown initiated (Storage failure)" "$install/DATA/QUOMVLSV.LOG" || fail "PCS did not decide a cluster shutdown"
grep -qx tsrstdn "$QUORIN_TSR_SCRIPT_DIR/calls.log" || fail "the cluster shutdown tool did not run"
say "PCS: storage UPS failure, the service decides a CLUSTER SHUTDOWN; the cluster tool tsrstdn ran"

"$out/pwctl" cluster-shutdown 1 > "$demo/csd1.out" || fail "the first CSD failed: $(cat "$demo/csd1.out")"
grep -q "AD1/CSD: PCS shutdown request detected - returning success" "$install/DATA/QUOMVLSV.LOG" || fail "the first CSD was not answered at once"
for card in $server1 $server2 $storage; do
  [ -z "$("$out/upssim" ctl "$card" sets)" ] || fail "the first CSD switched $card"
done
say "the cluster side's CSD (mode 1) is answered with success at once: the shutdown it asks for is the one PCS started"

"$out/pwctl" cluster-shutdown 1 > "$demo/csd2.out" || fail "the second CSD failed: $(cat "$demo/csd2.out")"
say "a second CSD (mode 1) switches every UPS off:"
for card in $server1 $server2 $storage; do
  set_line=$("$out/upssim" ctl "$card" sets | grep "$TURN_OFF" || true)
  [ -n "$set_line" ] || fail "no turn-off reached $card"
  say "    $card received SET $set_line"
done

# The cards turn their outputs off after their shut-down delay (2 s here).
for _ in $(seq 1 100); do
  off=0
  for card in $server1 $server2 $storage; do [ "$(get $card $OUTPUT_STATUS)" = 7 ] && off=$((off + 1)); done
  [ $off -eq 3 ] && break
  sleep 0.1
done
[ $off -eq 3 ] || fail "not every UPS output went off"
say "every UPS output is off"

print_table() {
  printf '\n%-10s %-10s %-36s %-14s %-10s\n' "UPS" "powers" "output" "output volts" "input volts"
  for card in $server1 $server2 $storage; do
    case $card in $server1) role="server 1" ;; $server2) role="server 2" ;; *) role="storage" ;; esac
    st=$(get $card $OUTPUT_STATUS)
    printf '%-10s %-10s %-36s %-14s %-10s\n' "$card" "$role" "$st ($(output_state "$st"))" "$(get $card $OUTPUT_VOLTAGE)" "$(get $card $INPUT_VOLTAGE)"
  done
  echo
}
print_table

"$out/svcctl" stop "$service" > "$demo/svcctl.out" || fail "the service did not stop: $(cat "$demo/svcctl.out")"
grep -q "quorinky_tsrx mutex closed" "$install/DATA/QUOMVLSV.LOG" || fail "the stop sequence did not complete"
say "service stopped cleanly; first act passed"

# ---- Second act: the SNMP UPS library's own monitoring and the host shutdown sequence ----
echo
say "SECOND ACT: upswatch hosts SNMPUPS.DLL on server 1 and watches all three UPS"
# Mains back and every output on again (turn-on through net-snmp's own snmpset).
for card in $server1 $server2 $storage; do
  "$out/upssim" ctl "$card" power-restore >/dev/null
  snmpset -v1 -c kelpie -t 1 -r 2 "$card:$port" $TURN_ON i 2 >/dev/null || fail "the turn-on of $card was not accepted"
  "$out/upssim" ctl "$card" sets clear >/dev/null
done
for _ in $(seq 1 100); do
  on=0
  for card in $server1 $server2 $storage; do [ "$(get $card $OUTPUT_STATUS)" = 2 ] && on=$((on + 1)); done
  [ $on -eq 3 ] && break
  sleep 0.1
done
[ $on -eq 3 ] || fail "not every UPS came back on line"
say "mains is back and every UPS output is on line again"
# The servers stay asleep for a minute once put to sleep while mains is present.
for card in $server1 $server2; do "$out/upssim" ctl "$card" set $RETURN_DELAY t 6000 >/dev/null; done
# Server 1's library: the three UPS in its unit table (storage in slot 2), the storage UPS also
# watched as another server's UPS, shortened power-fail waits, sleep mode, traps received.
cat > "$install/DATA/snmp.apc" <<APC
[SNMP]
UPS_IP=$server1
UPS_IP1=$server2
UPS_IP2=$storage
UPS_IP_O0=$storage
UPS_Com=kelpie
UPS_Off=S
UPS_Power_fail_wait=30
UPS_Power_fail_wait_other=5
NO_TRAP=n
APC
for card in $server1 $server2 $storage; do "$out/upssim" ctl "$card" trap-to "127.0.0.1:$QUORIN_SNMP_TRAP_PORT" >/dev/null; done
# One check every second (10 s of scaled time).
"$install/upswatch" watch --interval 10 > "$demo/watch.out" 2>&1 &
watch_pid=$!
for _ in $(seq 1 200); do grep -q "ready:" "$demo/watch.out" && break; kill -0 "$watch_pid" 2>/dev/null || break; sleep 0.05; done
grep -q "ready:" "$demo/watch.out" || fail "upswatch did not start watching: $(cat "$demo/watch.out")"
say "upswatch watch: start-up wait passed, check engine every second, trap monitor listening on UDP $QUORIN_SNMP_TRAP_PORT"

"$out/upssim" ctl "$storage" power-fail >/dev/null
# The card's on-battery counter starts at 20 s, to shorten the demonstration's wait.
"$out/upssim" ctl "$storage" set $TIME_ON_BATTERY t 2000 >/dev/null
say "MAINS POWER FAILS at the storage UPS $storage again (its on-battery counter starts at 20 s)"
for _ in $(seq 1 300); do grep -q "call for shut-down" "$demo/watch.out" && break; sleep 0.1; done
grep -q "call for shut-down" "$demo/watch.out" || fail "the monitor did not report the storage UPS: $(cat "$demo/watch.out")"
report=$(grep -m1 -o "report 8010012[0-9a-f]*" "$demo/watch.out")
say "the check engine marked the storage UPS once its 5 s wait as another server's UPS ran out;"
say "the trap monitor returns the $report, printed by upswatch as:"
say "    $(grep -m1 -A1 "report 8010012" "$demo/watch.out" | tail -1 | sed 's/^ *//')"
kill -TERM "$watch_pid"
wait "$watch_pid" || fail "upswatch watch did not stop cleanly: $(tail -3 "$demo/watch.out")"
watch_pid=""
grep -q "stopped" "$demo/watch.out" || fail "upswatch watch did not report its stop"
say "upswatch watch stopped (TarvosLumoStop); the host shuts down"

# The storage UPS is due once its time on battery passes "UPS_Power_fail_wait" (30 s).
for _ in $(seq 1 300); do [ "$(get $storage $TIME_ON_BATTERY)" -gt 3200 ] && break; sleep 0.1; done
[ "$(get $storage $TIME_ON_BATTERY)" -gt 3200 ] || fail "the storage UPS's on-battery counter does not advance"
say "the storage UPS has been on battery for $(( $(get $storage $TIME_ON_BATTERY) / 100 )) s, past UPS_Power_fail_wait (30 s)"
"$install/upswatch" shutdown --mode powerfail > "$demo/shutdown.out" 2>&1 || fail "V00 after the power failure failed: $(cat "$demo/shutdown.out")"
grep -q "slot 2 $storage: on battery, due to shut down" "$demo/shutdown.out" || fail "the storage UPS was not due: $(cat "$demo/shutdown.out")"
say "upswatch shutdown --mode powerfail: two checks, then \"V00\" after a power failure:"
while read -r line; do say "    $line"; done < <(grep "^slot " "$demo/shutdown.out")
grep -q "slot 2 $storage: conserve battery (upsBasicControlConserveBattery) := 2, accepted" "$demo/shutdown.out" || fail "the storage UPS was not told to conserve its battery"
for card in $server1 $server2; do
  grep -q "^slot [0-9]* $card: sleep (putUpsToSleepGracefully) := 3, accepted" "$demo/shutdown.out" || fail "$card was not put to sleep"
done
grep -q "^status  0 (success)" "$demo/shutdown.out" || fail "V00 did not answer status 0"

# The cards act after their shut-down delay: the storage UPS sleeps until power returns, the
# servers' UPS (mains present) sleep for their return delay.
for _ in $(seq 1 100); do
  [ "$(get $storage $OUTPUT_STATUS)" = 11 ] && [ "$(get $server1 $OUTPUT_STATUS)" = 5 ] && [ "$(get $server2 $OUTPUT_STATUS)" = 5 ] && break
  sleep 0.1
done
[ "$(get $storage $OUTPUT_STATUS)" = 11 ] || fail "the storage UPS is not sleeping until power returns"
[ "$(get $server1 $OUTPUT_STATUS)" = 5 ] && [ "$(get $server2 $OUTPUT_STATUS)" = 5 ] || fail "the servers' UPS are not asleep"
say "the storage UPS sleeps until power returns, the servers' UPS sleep for their return delay"
print_table
say "second act passed; demo passed"
