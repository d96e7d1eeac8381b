#!/usr/bin/env bash
# lcmp-send refuses bad command lines with exit status 2 and a message, and
# unknown adapters with status 1, before anything is sent.
set -u
send="$1"
status=0
check() {  # expected-status expected-text args...
  local want="$1" text="$2"; shift 2
  out=$("$send" "$@" 2>&1); got=$?
  if [ "$got" != "$want" ] || ! grep -qF -- "$text" <<<"$out"; then
    echo "lcmp-send $*: status $got, output: $out (wanted $want and '$text')"; status=1
  fi
}
check 2 "-i, -d and -o are required"
check 2 "bad destination address" -i lo -d 01:02:03 -o LCMP_READ_REQ
check 2 "bad destination address" -i lo -d zz:zz:zz:zz:zz:zz -o LCMP_READ_REQ
check 2 "bad opcode" -i lo -d broadcast -o 351
check 2 "bad opcode" -i lo -d broadcast -o LCMP_NOPE
check 2 "a record is TYPE:HEX" -i lo -d broadcast -o 353 0105
check 2 "a record is TYPE:HEX" -i lo -d broadcast -o 353 256:05
check 2 "a record is TYPE:HEX" -i lo -d broadcast -o 353 1:0
check 2 "one frame carries at most 1492" -i lo -d broadcast -o 353 "0:$(printf 'ab%.0s' $(seq 1490))"
check 1 "no adapter named lcmp-none0" -i lcmp-none0 -d multicast -o LCMP_WRITE_REQ 0:0701
# Numbers are decimal with nothing around them (a leading zero changes
# nothing); a colon goes only between two value bytes.
check 1 "no adapter named lcmp-none0" -i lcmp-none0 -d multicast -o 0354 -f 0255 0:07:01 00010:
for bad in "-o 0x160" "-o 0541" "-o  352" "-o +352"; do
  check 2 "bad opcode" -i lcmp-none0 -d broadcast ${bad%% *} "${bad#* }"
done
check 2 "bad flag" -i lcmp-none0 -d broadcast -o 358 -f 0256
check 2 "bad flag" -i lcmp-none0 -d broadcast -o 358 -f 0x10
for bad in 0256:05 0x2:05 " 2:05" "2: 05" +2:05 2:05:: 2::05 2:05::06 "2:05 "; do
  check 2 "a record is TYPE:HEX" -i lcmp-none0 -d broadcast -o 352 "$bad"
done
exit $status
