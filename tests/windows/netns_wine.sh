#!/bin/sh
# The Windows build under Wine against simulated devices: WINDOWS_BUILD
# NATIVE_LCMP_DEVICE. In a network namespace of its own (named after this
# process) with the veth pair lcmp0 (the native lcmp-device, 50 devices) and
# lcmp1 (the Windows programs), and a Wine server started inside it: a server
# started outside would show the programs the host's adapters. Exit 77
# (skipped) without root or namespaces.
set -u
build=$(cd "$1" && pwd)
device=$2
[ "$(id -u)" = 0 ] || { echo "SKIPPED: needs root for a network namespace"; exit 77; }
[ -x "$device" ] || { echo "SKIPPED: no native lcmp-device at $device"; exit 77; }
ns="lcmpwine$$"
ip netns add "$ns" 2>/dev/null || { echo "SKIPPED: cannot create a network namespace"; exit 77; }

export PATH="/usr/lib/wine:$PATH" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX="$build/wine-netns-$$"
log="$build/wine-netns-$$.log"
device_pid=""
cleanup() {
  [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null && wait "$device_pid" 2>/dev/null
  ip netns exec "$ns" wineserver -k 2>/dev/null
  ip netns delete "$ns" 2>/dev/null
  rm -rf "$WINEPREFIX" "$log"
}
trap cleanup EXIT
inns() { ip netns exec "$ns" "$@"; }

inns ip link add name lcmp0 type veth peer name lcmp1 || exit 1
inns ip link set lcmp0 up && inns ip link set lcmp1 up && inns ip link set lo up || exit 1

# The prefix and its server, both inside the namespace.
inns wineboot --init >/dev/null 2>&1
inns wineserver -p
# Directly, not through inns: $! is then the simulator itself.
ip netns exec "$ns" "$device" -i lcmp0 -n 50 >/dev/null 2>"$log" &
device_pid=$!
for _ in $(seq 50); do grep -q 'listening on' "$log" 2>/dev/null && break; sleep 0.1; done
grep -q 'listening on' "$log" || { echo "lcmp-device did not start:"; cat "$log"; exit 1; }

status=0
echo "--- the session, device mode and the receive path"
LCMP_WINE_ADAPTER=lcmp1 inns wine "$build/lcmp_wine_netns_tests.exe" --gtest_brief=1 >"$log.out" 2>&1 || status=1
grep -v '^sending packet size' "$log.out"
rm -f "$log.out"

echo "--- lcmp-ctl.exe discover, by the friendly name"
found=$(inns wine "$build/lcmp-ctl.exe" -i lcmp1 -t 300 -a 1 discover | grep -c '^02:00:00:00:')
echo "$found devices answered"
[ "$found" = 50 ] || status=1

echo "--- lcmp-device.exe on lcmp0 beside the native one, read by the native lcmp-ctl"
ip netns exec "$ns" wine "$build/lcmp-device.exe" -i lcmp0 -n 2 -m 02:00:00:00:0a:01 >/dev/null 2>&1 &
windows_device=$!  # the cleanup's wineserver -k ends whatever it started
for _ in $(seq 50); do
  answer=$(inns "$(dirname "$device")/lcmp-ctl" -i lcmp1 -t 200 -a 1 read 02:00:00:00:0a:02 01 2>/dev/null) && break
done
echo "$answer"
[ "$answer" = "02:00:00:00:0A:02 01 4C434D50" ] || status=1
kill "$windows_device" 2>/dev/null

echo "--- without wpcap.dll: no session, and the user is told to install Npcap"
out=$(WINEDLLOVERRIDES="mscoree,mshtml=;wpcap=" inns wine "$build/lcmp-ctl.exe" -i lcmp1 discover 2>&1)
echo "$out"
echo "$out" | grep -q 'is not supported by WinPcap' && echo "$out" | grep -q 'Npcap must be installed' || status=1
exit $status
