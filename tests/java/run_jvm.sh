#!/bin/sh
# Runs one JVM for a test and shows everything it printed. Fails when the JVM
# exits with a nonzero status, when it printed a JNI warning (every JVM of the
# tests runs with -Xcheck:jni), or when a line of EXPECTED is missing from
# its output (each line must appear exactly, in any order).
#
# usage: run_jvm.sh EXPECTED|- java [jvm arguments...]
set -u
expected=$1
shift
out=$(mktemp) || exit 2
trap 'rm -f "$out"' EXIT

"$@" >"$out" 2>&1
rc=$?
cat "$out"

status=0
if [ "$rc" -ne 0 ]; then
    echo "run_jvm: the JVM exited with status $rc"
    status=1
fi
if grep -q -e 'WARNING in native method' -e 'WARNING: JNI local refs' "$out"; then
    echo "run_jvm: JNI warning in the output"
    status=1
fi
if [ "$expected" != - ]; then
    while IFS= read -r line; do
        if ! grep -Fxq -e "$line" "$out"; then
            echo "run_jvm: missing line: $line"
            status=1
        fi
    done <"$expected"
fi
exit $status
