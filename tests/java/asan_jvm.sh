#!/bin/sh
# Runs the Java tests against an AddressSanitizer + UBSan build of the
# library: configures and builds BUILD_DIR with -DLCMP_SANITIZE=address,undefined,
# then runs every ctest of the label java in a JVM that has the ASan runtime
# preloaded (the JVM itself is not instrumented). The JVM's own signal use
# is left alone: it takes SIGSEGV and SIGBUS for implicit null checks and
# safepoints, so ASan must neither handle those nor install its own handlers
# over the JVM's. Leak detection is off: the JVM never frees much of what it
# allocates. A sanitizer report aborts the JVM, and the test fails.
#
# usage: tests/java/asan_jvm.sh [BUILD_DIR] [ctest arguments...]
#        (default BUILD_DIR: build-java-asan; e.g. -R java.delivery)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build-java-asan}
[ $# -gt 0 ] && shift
case $build in /*) ;; *) build=$PWD/$build ;; esac

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLCMP_WERROR=ON \
    -DLCMP_SANITIZE=address,undefined >/dev/null
# What the Java tests run, and nothing of the C++ suites: the library, the
# hooks, the jars, the host variants' jars, the device simulator and lcmp-ctl.
targets=$(cmake --build "$build" --target help | sed -n 's/^\(lcmp_host_[a-z_]*\):.*/\1/p')
cmake --build "$build" -j2 --target lcmp lcmp_testhooks lcmp_java_tests lcmp_host lcmp_java_demo lcmp-device lcmp-ctl $targets

runtime=$(gcc -print-file-name=libasan.so)
[ -f "$runtime" ] || { echo "asan_jvm: no ASan runtime ($runtime)"; exit 1; }
export LD_PRELOAD="$runtime"
export ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:handle_abort=0:allow_user_segv_handler=1:detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$build"
ctest -L java --output-on-failure "$@"
