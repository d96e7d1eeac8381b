#!/bin/sh
# The Java round-trip row: one simulated device (lcmp-device) on one end of a
# veth pair in a network namespace of its own, JavaBench --device on the
# other, reading one parameter through LCMP_Read_Wrapper and through the C
# interface in the same session. The namespace goes on every way out.
# Needs root; prints "device_read_skipped" and exits 0 without it.
#
# With "callbacks" after the rounds: 200 simulated devices, and JavaBench
# --callbacks (deliveries on the session's receive thread, and a group read
# with and without a Java callback).
#
# usage: device_bench.sh LCMP_DEVICE RUN_JAVA_BENCH [ROUNDS [callbacks]]
set -u
device=$1 bench=$2 rounds=${3:-7} mode=${4:-device}
devices=1
[ "$mode" = callbacks ] && devices=200
if [ "$(id -u)" != 0 ]; then
    echo "device_read_skipped 1"
    exit 0
fi
ns="lcmp-jb$$"
log=$(mktemp) || exit 1
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    ip netns del "$ns" 2>/dev/null
    sed 's/^/# /' "$log"
    rm -f "$log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
ip netns add "$ns" || exit 1
ip -n "$ns" link add lcmp0 type veth peer name lcmp1 &&
    ip -n "$ns" link set lcmp0 up && ip -n "$ns" link set lcmp1 up || exit 1
ip netns exec "$ns" "$device" -i lcmp1 -n "$devices" 2>"$log" &
pid=$!
tries=0
until grep -q listening "$log"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$pid" 2>/dev/null; then
        echo "# lcmp-device did not start"
        exit 1
    fi
    sleep 0.1
done
ip netns exec "$ns" "$bench" --"$mode" lcmp0 02:00:00:00:01:01 "$rounds"
