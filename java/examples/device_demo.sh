#!/bin/sh
# The device part of `make demo`: three simulated devices (lcmp-device -n 3)
# on one end of a veth pair, LCMPDeviceDemo with its session on the other,
# all inside a network namespace of its own, which is removed on every way
# out. Needs root; without it, says how to run it.
#
# usage: device_demo.sh LCMP_DEVICE JAVA LIBRARY_DIR CLASSPATH
set -u
device=$1 java=$2 libdir=$3 classpath=$4

echo
echo "=== Talking to devices: 3 simulated devices on a veth pair in a network namespace ==="
if [ "$(id -u)" != 0 ]; then
    echo "Skipped: the simulated devices need a network namespace, which needs root; run: sudo make demo"
    exit 0
fi

ns="lcmp-demo-$$"
log=$(mktemp) || exit 1
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    ip netns del "$ns" 2>/dev/null
    sed 's/^/   /' "$log"
    rm -f "$log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

ip netns add "$ns" || exit 1
ip -n "$ns" link add lcmp0 type veth peer name lcmp1 &&
    ip -n "$ns" link set lcmp0 up && ip -n "$ns" link set lcmp1 up || exit 1

ip netns exec "$ns" "$device" -i lcmp1 -n 3 2>"$log" &
pid=$!
tries=0
until grep -q listening "$log"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$pid" 2>/dev/null; then
        echo "lcmp-device did not start"
        exit 1
    fi
    sleep 0.1
done

ip netns exec "$ns" "$java" -Djava.library.path="$libdir" -cp "$classpath" LCMPDeviceDemo lcmp0
