#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a scratch root, and uses what it
# installed: a C consumer through pkg-config, one through find_package(lcmp),
# the tools, and the Java demo against the installed library.
set -euo pipefail
build="$1" consumer_c="$2" consumer_dir="$3"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack"; }
deb=$(ls "$tmp"/pkg/*.deb)
dpkg-deb -x "$deb" "$tmp/root"
lib=$(find "$tmp/root" -name liblcmp.so.1 -print -quit)
[ -n "$lib" ] || fail "liblcmp.so.1 not in the package"
libdir=$(dirname "$lib")
readelf -d "$lib" | grep -q 'SONAME.*\[liblcmp.so.1\]' || fail "SONAME is not liblcmp.so.1"
[ -f "$tmp/root/usr/include/lcmp.h" ] || fail "lcmp.h not installed"

flags=$(PKG_CONFIG_LIBDIR="$libdir/pkgconfig" pkg-config --cflags --libs lcmp)
cc -std=c11 "$consumer_c" $flags -o "$tmp/pkgconfig-consumer"
LD_LIBRARY_PATH="$libdir" "$tmp/pkgconfig-consumer" || fail "pkg-config consumer"

cmake -S "$consumer_dir" -B "$tmp/cmake-consumer" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/root/usr" \
  -DCONSUMER_SOURCE="$consumer_c" >/dev/null
cmake --build "$tmp/cmake-consumer" >/dev/null
LD_LIBRARY_PATH="$libdir" "$tmp/cmake-consumer/consumer" || fail "find_package consumer"

for tool in lcmp-send lcmp-monitor; do
  [ -x "$tmp/root/usr/bin/$tool" ] || fail "$tool not installed"
done
[ -f "$tmp/root/usr/share/lcmp/wireshark/lcmp.lua" ] || fail "dissector not installed"

host="$tmp/root/usr/share/java/lcmp-host.jar"
demo="$tmp/root/usr/share/lcmp/lcmp-demo.jar"
[ -f "$host" ] && [ -f "$demo" ] || fail "jars not installed"
out=$(java -Xcheck:jni -Djava.library.path="$libdir" -cp "$host:$demo" LCMPDemo 2>&1) || { echo "$out"; fail "Java demo"; }
grep -q "jvm CREATED OK" <<<"$out" || { echo "$out"; fail "Java demo output"; }
! grep -q "WARNING in native method" <<<"$out" || fail "JNI warning"
echo "package $(basename "$deb") installs and works"
