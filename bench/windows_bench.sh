#!/bin/sh
# The Windows rows of BENCHMARKS.md: WINDOWS_BUILD LINUX_BUILD. One network
# namespace with a veth pair, the native lcmp-device on lcmp0, and on lcmp1
# the same benchmark program (bench/wine_round_trip.cpp) first native, then
# the Windows build under Wine with its server started inside the namespace.
# Needs root.
set -eu
win=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" = 0 ] || { echo "needs root"; exit 77; }
ns="lcmpwbench$$"
native=$(mktemp)
export PATH="/usr/lib/wine:$PATH" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX="$win/wine-bench-$$"
device_pid=""
cleanup() {
  [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null; wait 2>/dev/null
  ip netns exec "$ns" wineserver -k 2>/dev/null || true
  ip netns delete "$ns" 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$native"
}
trap cleanup EXIT
c++ -O2 -std=c++20 -I"$src/include" "$src/bench/wine_round_trip.cpp" -L"$linux" -llcmp -Wl,-rpath,"$linux" -o "$native"
ip netns add "$ns"
ip netns exec "$ns" ip link add name lcmp0 type veth peer name lcmp1
ip netns exec "$ns" ip link set lcmp0 up
ip netns exec "$ns" ip link set lcmp1 up
ip netns exec "$ns" wineboot --init >/dev/null 2>&1
ip netns exec "$ns" wineserver -p 2>/dev/null || true  # wineboot may have left one running, also inside
ip netns exec "$ns" "$linux/tools/lcmp-device" -i lcmp0 >/dev/null 2>&1 &
device_pid=$!
sleep 1
echo "native:     $(ip netns exec "$ns" "$native" lcmp1 2>/dev/null)"
echo "under Wine: $(ip netns exec "$ns" wine "$win/lcmp_wine_round_trip.exe" lcmp1 2>/dev/null)"
