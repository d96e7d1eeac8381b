#!/bin/sh
# Runs a JVM command inside a network namespace of its own holding a veth
# pair lcmp0/lcmp1 (and lcmpdown0/lcmpdown1, down), and removes the namespace afterwards. Needs root; exits
# 77 (skipped) without it.
set -u
[ "$(id -u)" = 0 ] || { echo "SKIPPED: needs root for a network namespace"; exit 77; }
ns="lcmp-j$$"
ip netns add "$ns" 2>/dev/null || { echo "SKIPPED: cannot create a network namespace"; exit 77; }
trap 'ip netns del "$ns" 2>/dev/null' EXIT INT TERM
ip -n "$ns" link add lcmp0 type veth peer name lcmp1 &&
  ip -n "$ns" link set lcmp0 up && ip -n "$ns" link set lcmp1 up || exit 1
# and a pair left down, which no session can open
ip -n "$ns" link add lcmpdown0 type veth peer name lcmpdown1 || exit 1
ip netns exec "$ns" "$@"
