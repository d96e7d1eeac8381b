#!/usr/bin/env bash
# The tools on a veth pair of the test's own: lcmp-monitor -i in one
# namespace, lcmp-send in the other, tshark capturing what LCMPPacketSend put
# on the wire, and the dissector decoding that capture. Needs root.
set -u
send="$1"; monitor="$2"; lua="$3"
[ "$(id -u)" = 0 ] || { echo "SKIPPED: needs root for network namespaces"; exit 77; }
command -v tshark >/dev/null || { echo "SKIPPED: tshark is not installed"; exit 77; }
a="lcmp-ta$$"; b="lcmp-tb$$"; tmp=$(mktemp -d)
cleanup() { ip netns del "$a" 2>/dev/null; ip netns del "$b" 2>/dev/null; rm -rf "$tmp"; }
trap cleanup EXIT
ip netns add "$a" 2>/dev/null && ip netns add "$b" 2>/dev/null || { echo "SKIPPED: cannot create namespaces"; exit 77; }
ip -n "$a" link add lcmp0 type veth peer name lcmp1 netns "$b"
ip -n "$a" link set lcmp0 up && ip -n "$b" link set lcmp1 up
mac=$(ip netns exec "$a" cat /sys/class/net/lcmp0/address)
status=0

ip netns exec "$a" tshark -i lcmp0 -f "ether proto 0x22e3" -c 2 -w "$tmp/wire.pcap" >/dev/null 2>"$tmp/tshark.err" &
shark=$!
ip netns exec "$a" "$monitor" -i lcmp0 -c 3 >"$tmp/monitor.out" 2>"$tmp/monitor.err" &
mon=$!
# both listeners must be capturing before anything is sent ("Capturing on"
# comes before tshark's capture is open; "Capture started" after)
for _ in $(seq 400); do
  grep -q listening "$tmp/monitor.err" 2>/dev/null && grep -q "Capture started" "$tmp/tshark.err" 2>/dev/null && break
  sleep 0.05
done
ip netns exec "$b" "$send" -i lcmp1 -d "$mac" -o LCMP_READ_CNF 0:05F0F1 0:06F2F3 >"$tmp/send1.out" 2>&1 || status=1
ip netns exec "$b" "$send" -i lcmp1 -d "$mac" -o LCMP_NOTIFY_IND -f 1 6:03AA >"$tmp/send2.out" 2>&1 || status=1
# a group-addressed message is shown as well
ip netns exec "$b" "$send" -i lcmp1 -d broadcast -o LCMP_READ_REQ 2:07 >"$tmp/send3.out" 2>&1 || status=1
for _ in $(seq 200); do kill -0 $mon 2>/dev/null || break; sleep 0.05; done
kill $mon 2>/dev/null && { echo "monitor did not stop after 3 messages"; status=1; }
wait $mon
for _ in $(seq 200); do kill -0 $shark 2>/dev/null || break; sleep 0.05; done
kill $shark 2>/dev/null; wait $shark

grep -q "sent LCMP_READ_CNF (353) to ${mac^^}: frame of 37 bytes, sequence number 0" "$tmp/send1.out" ||
  { echo "lcmp-send output:"; cat "$tmp/send1.out"; status=1; }
grep -q "opcode 0x161 LCMP_READ_CNF  record area 12 bytes" "$tmp/monitor.out" || status=1
grep -q "  type 0 (parameter) length 3: 06 F2 F3" "$tmp/monitor.out" || status=1
grep -q "  type 6 (notify record) length 2: 03 AA" "$tmp/monitor.out" || status=1
grep -q "opcode 0x160 LCMP_READ_REQ  record area 4 bytes" "$tmp/monitor.out" || status=1
head -n 1 "$tmp/monitor.out" | grep -q " from " || { echo "first line of the monitor's output"; status=1; }

fields=$(tshark -r "$tmp/wire.pcap" -X lua_script:"$lua" -T fields -E separator='|' -e lcmp.opcode \
  -e lcmp.payload_length -e lcmp.sequence -e lcmp.area_length -e lcmp.flag -e lcmp.record.value 2>&1)
grep -qxF "0x0161|15|0|12||05f0f1,06f2f3" <<<"$fields" || status=1
grep -qxF "0x0166|9|0|5|0x01|03aa" <<<"$fields" || status=1
# Ctrl-C ends a live session cleanly: status 0, the adapter closed.
ip netns exec "$a" "$monitor" -i lcmp0 >"$tmp/int.out" 2>"$tmp/int.err" &
mon=$!
for _ in $(seq 200); do grep -q listening "$tmp/int.err" 2>/dev/null && break; sleep 0.05; done
kill -INT $mon
for _ in $(seq 100); do kill -0 $mon 2>/dev/null || break; sleep 0.05; done
if kill -0 $mon 2>/dev/null; then
  echo "monitor did not end on SIGINT"; kill -9 $mon; status=1
else
  wait $mon || { echo "monitor ended with status $? on SIGINT"; status=1; }
fi

# The adapter goes away under a live capture: the monitor says so, status 1.
ip netns exec "$a" "$monitor" -i lcmp0 >"$tmp/gone.out" 2>"$tmp/gone.err" &
mon=$!
for _ in $(seq 200); do grep -q listening "$tmp/gone.err" 2>/dev/null && break; sleep 0.05; done
ip -n "$a" link del lcmp0
for _ in $(seq 100); do kill -0 $mon 2>/dev/null || break; sleep 0.05; done
if kill -0 $mon 2>/dev/null; then
  echo "monitor did not end when its adapter went away"; kill -9 $mon; status=1
else
  wait $mon
  gone=$?
  [ $gone = 1 ] && grep -q "lcmp-monitor: capture on lcmp0 ended: " "$tmp/gone.err" ||
    { echo "adapter gone: status $gone, stderr: $(cat "$tmp/gone.err")"; status=1; }
fi

if [ $status != 0 ]; then
  echo "--- monitor"; cat "$tmp/monitor.out" "$tmp/monitor.err"; echo "--- tshark"; cat "$tmp/tshark.err"
  echo "--- dissected"; echo "$fields"
fi
exit $status
