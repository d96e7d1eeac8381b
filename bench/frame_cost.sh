#!/bin/sh
# Instructions per frame of the per-frame function (lcmp::HandleFrame:
# decode, reassembly, dispatch to a no-op callback, ageing), counted by
# callgrind over a savefile replay (lcmp_frame_cost), and the floor: the frame
# decode alone (lcmp::FrameDecode, the 22 header bytes) in the same replay.
#
# usage: frame_cost.sh PATH/TO/lcmp_frame_cost [FRAMES]
# Prints one line per measurement: NAME INSTRUCTIONS_PER_FRAME
set -eu
driver=$1
frames=${2:-20000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# count NAME FUNCTION MODE PARTIAL [stepped]
count() {
    out="$work/$1.out"
    valgrind --tool=callgrind --callgrind-out-file="$out" --toggle-collect="$2" \
        "$driver" "$3" "$frames" "$4" ${5:-} >"$work/$1.log" 2>&1 || { cat "$work/$1.log" >&2; exit 1; }
    total=$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$out")
    [ -n "$total" ] || total=$(sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$out")
    awk -v n="$1" -v t="$total" -v f="$frames" 'BEGIN { printf "%s %.1f\n", n, t / f }'
}

count decode_floor 'lcmp::FrameDecode*' unsegmented 0
count unsegmented 'lcmp::HandleFrame*' unsegmented 0
count segmented4 'lcmp::HandleFrame*' segmented4 0
for p in 10 100 1000 10000; do
    count "unsegmented_partial_$p" 'lcmp::HandleFrame*' unsegmented "$p"
    count "segmented4_partial_$p" 'lcmp::HandleFrame*' segmented4 "$p"
done
# The same after the capture clock stepped back by a second.
for p in 1000 10000; do
    count "unsegmented_stepped_$p" 'lcmp::HandleFrame*' unsegmented "$p" stepped
    count "segmented4_stepped_$p" 'lcmp::HandleFrame*' segmented4 "$p" stepped
done
