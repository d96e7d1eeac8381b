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
# With "soak" after the seconds (default 20): eight simulated devices on a
# clean link and eight (02:00:00:00:03:01 onwards) on a flaky one (lcmp-device
# --loss 20 --duplicate 10 --late 10:60), and JavaBench --soak, with the
# lcmp-ctl next to LCMP_DEVICE reading the same devices.
#
# usage: device_bench.sh LCMP_DEVICE RUN_JAVA_BENCH [ROUNDS [callbacks]]
#        device_bench.sh LCMP_DEVICE RUN_JAVA_BENCH [SECONDS soak]
set -u
device=$1 bench=$2 rounds=${3:-7} mode=${4:-device}
devices=1
[ "$mode" = callbacks ] && devices=200
[ "$mode" = soak ] && devices=8
if [ "$(id -u)" != 0 ]; then
    echo "device_read_skipped 1"
    exit 0
fi
ns="lcmp-jb$$"
log=$(mktemp) || exit 1
pid= flaky=
cleanup() {
    for p in $pid $flaky; do
        kill "$p" 2>/dev/null
        wait "$p" 2>/dev/null
    done
    ip netns del "$ns" 2>/dev/null
    sed 's/^/# /' "$log"
    rm -f "$log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
ip netns add "$ns" || exit 1
ip -n "$ns" link add lcmp0 type veth peer name lcmp1 &&
    ip -n "$ns" link set lcmp0 up && ip -n "$ns" link set lcmp1 up || exit 1
ip netns exec "$ns" "$device" -i lcmp1 -n "$devices" 2>>"$log" &
pid=$!
listening=1
if [ "$mode" = soak ]; then
    ip netns exec "$ns" "$device" -i lcmp1 -m 02:00:00:00:03:01 -n 8 --loss 20 --duplicate 10 --late 10:60 \
        2>>"$log" &
    flaky=$!
    listening=2
fi
tries=0
until [ "$(grep -c listening "$log")" -ge "$listening" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$pid" 2>/dev/null || ! kill -0 "${flaky:-$pid}" 2>/dev/null; then
        echo "# lcmp-device did not start"
        exit 1
    fi
    sleep 0.1
done
if [ "$mode" = soak ]; then
    ip netns exec "$ns" "$bench" --soak lcmp0 "$(dirname "$device")/lcmp-ctl" "${3:-20}"
else
    ip netns exec "$ns" "$bench" --"$mode" lcmp0 02:00:00:00:01:01 "$rounds"
fi
