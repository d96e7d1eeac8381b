#!/usr/bin/env bash
# Builds the benchmarks (Release) in a build directory of their own, runs
# every one of them and writes BENCHMARKS.md at the top of the work tree:
# each row with the library's figure, its floor measured in the same run,
# the goal and whether it was met, and the command that reproduces it.
#
# usage: bench/run_benchmarks.sh [BUILD_DIR]      (default: build-perf-bench)
# The adapter benchmarks need root (they make a namespace and a veth pair);
# without it their rows say so. The per-frame cost needs valgrind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-perf-bench}
case $build in /*) ;; *) build=$PWD/$build ;; esac
results=$build/bench-results
mkdir -p "$results"
rm -f "$results"/*

echo "=== configure and build ($build) ==="
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLCMP_BUILD_BENCH=ON -DLCMP_WERROR=ON \
    -DLCMP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target lcmp_transport_bench lcmp_frame_cost lcmp_simulator_bench lcmp_device_mode_bench
java_targets=$(cmake --build "$build" --target help 2>/dev/null | sed -n 's/^\(lcmp_java_bench[a-z_]*\):.*/\1/p' || true)
[ -n "$java_targets" ] && cmake --build "$build" -j2 --target $java_targets
if cmake --build "$build" --target help 2>/dev/null | grep -q '^lcmp-device:'; then
    cmake --build "$build" -j2 --target lcmp-device lcmp-ctl
fi

echo "=== transport benchmarks ==="
"$build/bench/lcmp_transport_bench" --benchmark_out="$results/transport.json" --benchmark_out_format=json \
    2> >(tee "$results/transport.err" >&2)

echo "=== lcmp-device answer rate ==="
"$build/bench/lcmp_simulator_bench" | tee "$results/device.txt"

echo "=== device mode benchmarks ==="
"$build/bench/lcmp_device_mode_bench" --benchmark_out="$results/device_mode.json" --benchmark_out_format=json \
    2> >(tee "$results/device_mode.err" >&2)

echo "=== per-frame cost under callgrind ==="
if command -v valgrind >/dev/null; then
    sh "$root/bench/frame_cost.sh" "$build/bench/lcmp_frame_cost" 20000 | tee "$results/frame_cost.txt"
else
    echo "valgrind not installed" >"$results/frame_cost.skipped"
fi

if [ -x "$build/bench/java/run_java_bench.sh" ]; then
    echo "=== Java benchmarks ==="
    "$build/bench/java/run_java_bench.sh" | tee "$results/java.txt"
fi

if [ -x "$build/bench/java/run_java_bench.sh" ] && [ -x "$build/tools/lcmp-device" ]; then
    echo "=== Java round trip against a simulated device ==="
    sh "$root/bench/java/device_bench.sh" "$build/tools/lcmp-device" "$build/bench/java/run_java_bench.sh" |
        tee "$results/java_device.txt"
    echo "=== Java deliveries on a session's receive thread, group read with a Java callback ==="
    sh "$root/bench/java/device_bench.sh" "$build/tools/lcmp-device" "$build/bench/java/run_java_bench.sh" 7 \
        callbacks | tee "$results/java_callbacks.txt"
    echo "=== Java soak on a clean and a flaky link, lcmp-ctl beside it ==="
    sh "$root/bench/java/device_bench.sh" "$build/tools/lcmp-device" "$build/bench/java/run_java_bench.sh" 20 soak |
        tee "$results/java_soak.txt"
fi

python3 "$root/bench/report.py" "$results" "$root/BENCHMARKS.md" "$(basename "$build")"
echo "wrote $root/BENCHMARKS.md"
