#!/bin/sh
# Line and branch coverage (llvm-cov) of the receive path's sources reached by
# a corpus of the frame fuzzer (and of the records fuzzer, when given).
#
# usage: fuzz/coverage.sh OUTDIR FRAME_CORPUS_DIR... [-- RECORDS_CORPUS_DIR...]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=$1
shift
mkdir -p "$out"
frames=""
records=""
target=frames
for d in "$@"; do
    if [ "$d" = "--" ]; then target=records; continue; fi
    if [ $target = frames ]; then frames="$frames $d"; else records="$records $d"; fi
done
flags="-std=c++20 -O1 -g -fprofile-instr-generate -fcoverage-mapping -fsanitize=fuzzer -I$root/include -I$root/engine -I$root/transport"
sources="$root/engine/*.cpp $root/transport/*.cpp"
clang++ $flags -o "$out/frames_cov" "$root/fuzz/frames_fuzzer.cpp" $sources -lpcap -lpthread
clang++ $flags -o "$out/records_cov" "$root/fuzz/records_fuzzer.cpp" $sources -lpcap -lpthread
LLVM_PROFILE_FILE="$out/frames.profraw" "$out/frames_cov" -runs=0 -close_fd_mask=3 $frames >/dev/null 2>&1
profiles="$out/frames.profraw"
if [ -n "$records" ]; then
    LLVM_PROFILE_FILE="$out/records.profraw" "$out/records_cov" -runs=0 -close_fd_mask=3 $records >/dev/null 2>&1
    profiles="$profiles $out/records.profraw"
fi
llvm-profdata-14 merge -o "$out/all.profdata" $profiles
llvm-cov-14 report "$out/frames_cov" -object "$out/records_cov" -instr-profile="$out/all.profdata" \
    -show-branch-summary "$root/transport/reassembly.cpp" "$root/transport/framing.cpp" \
    "$root/transport/receive.cpp" "$root/engine/message.cpp" "$root/transport/registry.cpp" \
    "$root/engine/callback_data.cpp"
