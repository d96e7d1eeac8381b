#!/usr/bin/env bash
# lcmp-monitor -r prints each complete message of a capture once (segments
# joined), reports every frame that delivers nothing with its reason, refuses
# captures it cannot read (status 1) and bad arguments (status 2).
set -u
monitor="$1"; pcap="$2"
status=0
out=$("$monitor" -r "$pcap" 2>/dev/null) || { echo "replay failed: $out"; exit 1; }
# standard output holds only the messages and the frame reports
[[ "$(head -n 1 <<<"$out")" == "2023-11-14 22:13:20.000000  from "* ]] || { echo "first line: $(head -n 1 <<<"$out")"; status=1; }
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
# every frame that delivers nothing is reported, and so is a message still incomplete at the end
expect "frame 9: LCMP frame dropped (link header cut: 6 of 8 bytes)"
expect "frame 11: LCMP frame dropped (link header cut: 4 of 8 bytes)"
expect "frame 12: LCMP frame dropped (payload length past the captured bytes)"
expect "frame 13: segments of an incomplete LCMP message (from 02:00:00:00:00:02, opcode 0x161, 1 of 2 segments) dropped: no further segment within 50 ms"
expect "frame 15: segments of an incomplete LCMP message"
expect "frame 18: segments of an incomplete LCMP message (from 02:00:00:00:00:02, opcode 0x161, 1 of 2 segments) dropped: still incomplete at the end of the file"
expect "2023-11-14 22:13:34.500000  from 02:00:00:00:00:02  opcode 0x161 LCMP_READ_CNF  record area 4 bytes"
# B, which follows a partial A of the same key, is shown whole and alone
expect "2023-11-14 22:13:35.015010  from 02:00:00:00:00:02  opcode 0x161 LCMP_READ_CNF  record area 8 bytes"
expect "  type 0 (parameter) length 1: B0"
grep -qF ": A0" <<<"$out" && { echo "a record of the incomplete message A was delivered"; status=1; }
# the segmented write confirmation is shown once, not per segment
[ "$(grep -c 'LCMP_WRITE_CNF' <<<"$out")" = 1 ] || { echo "write confirmation not shown exactly once"; status=1; }
[ "$(grep -c ' from ' <<<"$out")" = 7 ] || { echo "expected 7 messages"; status=1; }

# files that are cut, claim a huge frame or are not Ethernet: the reason, status 1
base=${pcap%.pcap}
refused() {  # FILE TEXT
  local err
  err=$("$monitor" -r "$1" 2>&1 >/dev/null)
  [ $? = 1 ] || { echo "$1: expected status 1"; status=1; }
  grep -qF -- "$2" <<<"$err" || { echo "$1: missing on stderr: $2 (got: $err)"; status=1; }
}
refused "$base-cooked.pcap" "link type LINUX_SLL is not Ethernet"
refused "$base-truncated.pcap" "cannot read $base-truncated.pcap: truncated dump file"
refused "$base-huge.pcap" "cannot read $base-huge.pcap: invalid packet capture length"
[ "$("$monitor" -r "$base-truncated.pcap" 2>/dev/null | grep -c ' from ')" = 7 ] || { echo "truncated: the messages before the cut"; status=1; }

help=$("$monitor" -h 2>/dev/null)
[ $? = 0 ] && [[ "$help" == usage:* ]] || { echo "-h: expected the usage on stdout and status 0"; status=1; }

limited=$("$monitor" -r "$pcap" -c 2 2>&1)
[ "$(grep -c ' from ' <<<"$limited")" = 2 ] || { echo "-c 2 did not stop after 2 messages"; status=1; }

for args in "" "-r" "-c 0 -r $pcap" "-i lo -r $pcap" "-r $pcap extra" "-p -r $pcap"; do
  # shellcheck disable=SC2086
  "$monitor" $args >/dev/null 2>&1
  [ $? = 2 ] || { echo "lcmp-monitor $args: expected status 2"; status=1; }
done
"$monitor" -r /nonexistent.pcap >/dev/null 2>&1
[ $? = 1 ] || { echo "unreadable file: expected status 1"; status=1; }
[ $status = 0 ] || printf '%s\n' "$out"
exit $status
