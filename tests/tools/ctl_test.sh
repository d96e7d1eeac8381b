#!/usr/bin/env bash
# lcmp-ctl: bad command lines end with status 2 and a usage line, an unknown
# adapter with 1 (no root needed). Then, on a veth pair of the test's own with
# three simulated devices (lcmp-device -n 3) on the other end: reads of the
# devices' built-in table, a write read back, control, discovery, and a
# silent address. The second part needs root.
set -u
ctl="$1"; device="$2"
status=0
check() {  # expected-status expected-text args...
  local want="$1" text="$2"; shift 2
  out=$("$ctl" "$@" 2>&1); got=$?
  if [ "$got" != "$want" ] || ! grep -qF -- "$text" <<<"$out"; then
    echo "lcmp-ctl $*: status $got, output: $out (wanted $want and '$text')"; status=1
  fi
}
check 2 "usage: lcmp-ctl" -i lo
check 2 "unknown command" -i lo fetch multicast 01
check 2 "-i ADAPTER is required" read multicast 01
check 2 "DEST and at least one ID" -i lo read 02:00:00:00:01:01
check 2 "DEST is aa:bb:cc:dd:ee:ff" -i lo read 02:00:00:01:01 01
check 2 "not a group address" -i lo read 03:00:00:00:01:01 01
check 2 "an ID is a hex byte" -i lo read multicast 100
check 2 "an ID is a hex byte" -i lo read multicast 0xg1
check 2 "a write is ID=HEX" -i lo write multicast 03
check 2 "hex digits in pairs" -i lo write multicast 03=ABC
check 2 "hex digits in pairs" -i lo control multicast 06=0x1
check 2 "discover takes at most one ID" -i lo discover 01 02
check 2 "-t takes milliseconds" -i lo -t 0 discover
check 2 "-t takes milliseconds" -i lo -t 10x discover
check 2 "-a takes a number of attempts" -i lo -a 0 discover
check 1 "no adapter named lcmp-none0" -i lcmp-none0 read multicast 01
# Counts are decimal with nothing around them; a colon goes only between two value bytes.
check 1 "no adapter named lcmp-none0" -i lcmp-none0 -t 0100 -a 03 write multicast 03=0A:0B 04=
for bad in "-t 0x10" "-t  10" "-t +10" "-a 1e2"; do
  check 2 "-${bad:1:1} takes" -i lcmp-none0 ${bad%% *} "${bad#* }" discover
done
for bad in 03=0A: 03=:0A 03=0A::0B 03=0x:0A; do check 2 "hex digits in pairs" -i lcmp-none0 write multicast $bad; done
check 2 "an ID is a hex byte" -i lcmp-none0 read multicast " 5"

[ "$(id -u)" = 0 ] || { [ $status = 0 ] && echo "SKIPPED: the device part needs root for network namespaces" && exit 77; exit $status; }
a="lcmp-ca$$"; b="lcmp-cb$$"; tmp=$(mktemp -d); dev=
cleanup() {
  [ -n "$dev" ] && kill "$dev" 2>/dev/null && wait "$dev"
  ip netns del "$a" 2>/dev/null; ip netns del "$b" 2>/dev/null; rm -rf "$tmp"
}
trap cleanup EXIT
ip netns add "$a" 2>/dev/null && ip netns add "$b" 2>/dev/null || { echo "SKIPPED: cannot create namespaces"; exit 77; }
ip -n "$a" link add lcmp0 type veth peer name lcmp1 netns "$b"
ip -n "$a" link set lcmp0 up && ip -n "$b" link set lcmp1 up
ip netns exec "$b" "$device" -i lcmp1 -n 3 >"$tmp/device.out" 2>"$tmp/device.err" &
dev=$!
for _ in $(seq 200); do grep -q listening "$tmp/device.err" 2>/dev/null && break; sleep 0.05; done

d1=02:00:00:00:01:01; d2=02:00:00:00:01:02; d3=02:00:00:00:01:03
expect() {  # expected-status expected-stdout args...
  local want="$1" text="$2"; shift 2
  out=$(ip netns exec "$a" "$ctl" -i lcmp0 "$@" 2>"$tmp/ctl.err"); got=$?
  if [ "$got" != "$want" ] || [ "$out" != "$text" ]; then
    echo "lcmp-ctl $*: status $got (wanted $want)"; echo "stdout:"; echo "$out"; echo "wanted:"; echo "$text"
    echo "stderr:"; cat "$tmp/ctl.err"; status=1
  fi
}
# entries in request order, each value in full; an ID the device lacks is left out
expect 0 "$d1 08 0011223344556677
$d1 01 4C434D50
$d1 04 05DC" read $d1 08 0x01 7F 4
expect 0 "$d2 03 05" write $d2 3=0A:0B0C0D 05=FF
expect 0 "$d2 03 0A0B0C0D
$d2 05 FF" read $d2 03 05
expect 0 "$d1 03 00000000" read $d1 03  # the write reached only its device
expect 0 "$d3 06" control $d3 06=01
expect 0 "$d1 4C434D50
$d2 4C434D50
$d3 4C434D50" discover
expect 0 "$d1 05DC
$d2 05DC
$d3 05DC" -t 200 discover 04
expect 1 "" read $d1 7F  # answered, but without records
grep -q "carried no records" "$tmp/ctl.err" || { echo "no word on the empty answer"; status=1; }
expect 1 "" -t 100 -a 2 read 02:00:00:00:09:09 01
grep -q "no answer from 02:00:00:00:09:09 (2 attempts of 100 ms)" "$tmp/ctl.err" ||
  { echo "no word on the silent address:"; cat "$tmp/ctl.err"; status=1; }

# A write confirmation without IDs: the address alone, no trailing blank.
# A responder on lcmp1 answers for an address no simulated device has.
cat >"$tmp/responder.py" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x22E3))
s.bind(("lcmp1", 0x22E3))
s.settimeout(10)
me = bytes.fromhex("020000000707")
open(sys.argv[1], "w").close()
while True:
    f, address = s.recvfrom(2048)
    if address[2] == socket.PACKET_OUTGOING or f[0:6] != me or ((f[16] << 4) | (f[15] >> 4)) != 354:
        continue
    message = bytes([5, 4, 0, 1, 1, 0, 0])  # one write confirmation record: a count of 0
    header = bytes([0x22, 0xE3, len(message), (355 & 0x0F) << 4, 355 >> 4, 0, 0, f[19], f[20], 0])
    s.send(f[6:12] + me + header + message)
    break
EOF
ip netns exec "$b" python3 "$tmp/responder.py" "$tmp/responder.ready" 2>"$tmp/responder.err" &
responder=$!
for _ in $(seq 200); do [ -e "$tmp/responder.ready" ] && break; sleep 0.05; done
expect 0 "02:00:00:00:07:07" write 02:00:00:00:07:07 03=01
wait $responder || { echo "responder:"; cat "$tmp/responder.err"; status=1; }

# without privileges the adapter cannot be opened, and the message says why
if setpriv --reuid=65534 --regid=65534 --clear-groups "$ctl" -h >/dev/null 2>&1; then
  out=$(ip netns exec "$a" setpriv --reuid=65534 --regid=65534 --clear-groups "$ctl" -i lcmp0 discover 2>&1)
  got=$?
  [ $got = 1 ] && grep -qF "cannot open lcmp0 (needs root" <<<"$out" ||
    { echo "unprivileged run: status $got, output: $out"; status=1; }
fi

kill -0 "$dev" 2>/dev/null || { echo "lcmp-device ended early:"; cat "$tmp/device.err"; status=1; }
exit $status
