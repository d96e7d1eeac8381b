#!/usr/bin/env bash
# lcmp-monitor -r prints each complete message of a capture once (segments
# joined), reports malformed frames per frame, and refuses bad arguments.
set -u
monitor="$1"; pcap="$2"
status=0
out=$("$monitor" -r "$pcap" 2>&1) || { echo "replay failed: $out"; exit 1; }
expect() {
  if ! grep -qF -- "$1" <<<"$out"; then echo "missing: $1"; status=1; fi
}
expect "2023-11-14 22:13:20.000000  from 02:00:00:00:00:02  opcode 0x161 LCMP_READ_CNF  record area 12 bytes"
expect "  type 0 (parameter) length 3: 05 F0 F1"
expect "  type 0 (parameter) length 3: 06 F2 F3"
expect "opcode 0x160 LCMP_READ_REQ  record area 4 bytes"
expect "  type 2 (read-parameter request) length 1: 05"
expect "  type 6 (notify record) length 2: 03 AA"
expect "opcode 0x163 LCMP_WRITE_CNF  record area 6 bytes"
expect "  type 1 (write confirmation) length 3: 02 07 09"
expect "frame 6: LCMP frame dropped (payload length past the captured bytes)"
expect "frame 7: LCMP message not delivered"
expect "  malformed: record at offset 0 (type 0) claims 9 bytes, 2 left"
# the segmented write confirmation is shown once, not per segment
[ "$(grep -c 'LCMP_WRITE_CNF' <<<"$out")" = 1 ] || { echo "write confirmation not shown exactly once"; status=1; }
[ "$(grep -c ' from ' <<<"$out")" = 5 ] || { echo "expected 5 messages"; status=1; }

limited=$("$monitor" -r "$pcap" -c 2 2>&1)
[ "$(grep -c ' from ' <<<"$limited")" = 2 ] || { echo "-c 2 did not stop after 2 messages"; status=1; }

for args in "" "-r" "-c 0 -r $pcap" "-i lo -r $pcap" "-r $pcap extra"; do
  # shellcheck disable=SC2086
  "$monitor" $args >/dev/null 2>&1
  [ $? = 2 ] || { echo "lcmp-monitor $args: expected status 2"; status=1; }
done
"$monitor" -r /nonexistent.pcap >/dev/null 2>&1
[ $? = 1 ] || { echo "unreadable file: expected status 1"; status=1; }
[ $status = 0 ] || printf '%s\n' "$out"
exit $status
