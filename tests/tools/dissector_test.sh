#!/usr/bin/env bash
# The Wireshark dissector decodes the frames of a generated capture to the
# expected fields, marks the malformed ones, and never raises a Lua error.
set -u
lua="$1"; pcap="$2"
command -v tshark >/dev/null || { echo "SKIPPED: tshark is not installed"; exit 77; }
out=$(tshark -r "$pcap" -X lua_script:"$lua" -T fields -E separator='|' \
  -e frame.number -e lcmp.opcode -e lcmp.payload_length -e lcmp.sequence -e lcmp.last_segment -e lcmp.segment \
  -e lcmp.area_length -e lcmp.requester -e lcmp.flag -e lcmp.record.type -e lcmp.record.value -e _ws.expert.message 2>&1)
status=0
expect() {
  if ! grep -qxF -- "$1" <<<"$out"; then echo "missing line: $1"; status=1; fi
}
expect "1|0x0161|15|7|0|0|12|||0,0|05f0f1,06f2f3|"
expect "2|0x0160|13|261|0|0|4|02:00:00:00:00:02||2|05|"
expect "3|0x0166|9|0|0|0|5||0x01|6|03aa|"
expect "4|0x0163|5|9|1|1||||||"
expect "5|0x0163|4|9|1|0||||||"
expect "6|0x0161|200|0|0|0|5|||0|0102|payload length 200, only 8 bytes captured"
expect "7|0x0161|7|0|0|0||||||lead byte is not 0x05"
expect "8|0x0161|8|0|0|0|5|||0||value runs past the record area"
expect "9|||||||||||link header cut short"
expect "11|||||||||||link header cut short"
expect "19|0x0161|2|80|1|7||||||segment number 7 beyond the last-segment number 1"
expect "20|0x0161|0|96|1|0||||||segment without payload"
# a frame with a cut link header is shown as LCMP, malformed
info=$(tshark -r "$pcap" -X lua_script:"$lua" -Y "frame.number == 9" -T fields -E separator='|' \
  -e _ws.col.Protocol -e _ws.col.Info 2>/dev/null)
[ "$info" = "LCMP|Malformed LCMP: link header cut short (6 of 8 bytes)" ] || { echo "frame 9 shown as: $info"; status=1; }
if grep -qi "lua error" <<<"$out"; then echo "Lua error in the dissector"; status=1; fi
[ $status = 0 ] || printf '%s\n' "$out"
exit $status
