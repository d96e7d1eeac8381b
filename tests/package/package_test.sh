#!/usr/bin/env bash
# Builds the Debian packages from this tree with dpkg-buildpackage (lintian
# must report neither an error nor a warning), unpacks every one into a
# scratch root and uses what they install as a new user would: a C consumer
# through pkg-config, one through find_package(lcmp), the tools, and the Java
# demo with only the packaged jars on its class path.
#
# usage: package_test.sh SOURCE_DIR C_CONSUMER CMAKE_CONSUMER_DIR DEMO_EXPECTED
set -euo pipefail
source_dir="$1" consumer_c="$2" consumer_dir="$3" demo_expected="$4"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

bash "$source_dir/packaging/build_debs.sh" "$tmp/debs"
for deb in "$tmp"/debs/*.deb; do dpkg-deb -x "$deb" "$tmp/root"; done
field() { dpkg-deb -f "$tmp"/debs/"$1"_*.deb "$2"; }

triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir="$tmp/root/usr/lib/$triplet"
readelf -d "$libdir/liblcmp.so.1" | grep -q 'SONAME.*\[liblcmp.so.1\]' || fail "SONAME is not liblcmp.so.1"
# Programs built against the library depend on the runtime package through its symbols.
grep -q 'liblcmp1 (>= 1.0.0)' <<<"$(field lcmp-tools Depends)" || fail "lcmp-tools lacks its dependency on liblcmp1"

flags=$(PKG_CONFIG_LIBDIR="$libdir/pkgconfig" pkg-config --cflags --libs lcmp)
cc -std=c11 "$consumer_c" $flags -o "$tmp/pkgconfig-consumer"
LD_LIBRARY_PATH="$libdir" "$tmp/pkgconfig-consumer" || fail "pkg-config consumer"

cmake -S "$consumer_dir" -B "$tmp/cmake-consumer" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/root/usr" \
  -DCONSUMER_SOURCE="$consumer_c" >/dev/null
cmake --build "$tmp/cmake-consumer" >/dev/null
LD_LIBRARY_PATH="$libdir" "$tmp/cmake-consumer/consumer" || fail "find_package consumer"

# Every tool starts against the packaged library: without arguments it gets
# past the dynamic loader and ends (with a usage error, as a rule).
for tool in "$tmp"/root/usr/bin/*; do
  status=0
  LD_LIBRARY_PATH="$libdir" timeout 10 "$tool" </dev/null >"$tmp/tool.log" 2>&1 || status=$?
  if [ "$status" = 127 ] || [ "$status" = 124 ] || grep -q 'error while loading' "$tmp/tool.log"; then
    cat "$tmp/tool.log"; fail "$(basename "$tool") does not start (status $status)"
  fi
done
plugins=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
[ -f "$tmp/root$plugins/lcmp.lua" ] || fail "dissector not in $plugins, where Wireshark loads Lua plugins"

# The javadoc of the Java host, where Debian's Java policy puts it.
api="$tmp/root/usr/share/doc/liblcmp-java/api"
grep -q 'useLocalAnswers' "$api/BrundixGhn/NetWork/DeviceCommunication/LCMP/LCMPSession.html" ||
  fail "liblcmp-java-doc lacks the javadoc of LCMPSession"

# The JVM finds the library through the link in LIBDIR/jni, on Debian's
# default java.library.path, without the development link; the packaged jar
# carries no library of its own.
! unzip -l "$tmp/root/usr/share/java/lcmp-host.jar" | grep -q 'x86_64/' || fail "the packaged jar carries a library"
sh "$source_dir/tests/java/run_jvm.sh" "$demo_expected" java -Xcheck:jni -Djava.library.path="$libdir/jni" \
  -Dlcmp.library.debug=true \
  -cp "$tmp/root/usr/share/java/lcmp-host.jar:$tmp/root/usr/share/lcmp/lcmp-demo.jar" LCMPDemo >"$tmp/java.log" ||
  { cat "$tmp/java.log"; fail "Java demo"; }
grep -q 'native library loaded from installed' "$tmp/java.log" || { cat "$tmp/java.log"; fail "Java demo: not the installed library"; }
echo "packages build lintian-clean, install and work: $(cd "$tmp/debs" && echo *.deb)"
