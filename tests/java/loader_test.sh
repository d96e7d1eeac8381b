#!/bin/sh
# Where lcmp-host.jar loads the native library from, each case in a JVM of
# its own under -Xcheck:jni: the bundled copy with nothing installed (and
# two JVMs at once), a corrupted cached copy replaced, the property before
# everything, an installed library before the bundled one, and a cache folder
# other users may write to refused.
#   loader_test.sh RUN_JVM JAVA CLASSPATH LIBRARY_DIR
# With "windows JAR DLL": the jar's Windows entry must be DLL, byte for byte
# (skipped, 77, when no DLL was built).
set -u
if [ "$1" = windows ]; then
  [ -f "$3" ] || { echo "SKIPPED: no Windows library $3 (make windows, then make jar-all)"; exit 77; }
  entry=$(unzip -p "$2" windows-x86_64/lcmp.dll | sha256sum) built=$(sha256sum <"$3")
  [ "$entry" = "$built" ] && { echo "windows-x86_64/lcmp.dll is $3"; exit 0; }
  echo "FAILED: windows-x86_64/lcmp.dll of $2 is not $3 (sha256 ${entry%% *} against ${built%% *})"; exit 1
fi
run_jvm=$1 java=$2 classpath=$3 libdir=$4
tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/none"
status=0
# probe NAME EXPECTED [jvm options...]: the probe's output must hold EXPECTED.
probe() {
  name=$1 expected=$2
  shift 2
  sh "$run_jvm" - "$java" -Xcheck:jni "$@" -cp "$classpath" lcmptest.InitProbe loader >"$tmp/$name.log" 2>&1
  rc=$?
  if [ "$rc" -eq 0 ] && grep -Fq -e "$expected" "$tmp/$name.log"; then
    echo "ok: $name"
  else
    cat "$tmp/$name.log"; echo "FAILED: $name: expected \"$expected\""; status=1
  fi
}
nothing_installed="-Djava.library.path=$tmp/none"

probe bundled "loaded from: bundled $tmp/cache/" "$nothing_installed" -Dlcmp.cache.dir="$tmp/cache"
cached=$(ls "$tmp"/cache/*/liblcmp.so)
[ "$(stat -c %a "$(dirname "$cached")")" = 700 ] || { echo "FAILED: cache folder not owner-only"; status=1; }

probe twin1 "loaded from: bundled $tmp/twins/" "$nothing_installed" -Dlcmp.cache.dir="$tmp/twins" &
probe twin2 "loaded from: bundled $tmp/twins/" "$nothing_installed" -Dlcmp.cache.dir="$tmp/twins"
wait $! || status=1
[ "$(ls "$tmp"/twins/*/ | wc -l)" = 1 ] || { ls -R "$tmp/twins"; echo "FAILED: a temporary file left"; status=1; }

echo "not a library" >"$cached"
probe corrupted "loaded from: bundled $cached" "$nothing_installed" -Dlcmp.cache.dir="$tmp/cache"
unzip -p "${classpath%%:*}" linux-x86_64/liblcmp.so | cmp -s - "$cached" || { echo "FAILED: not replaced"; status=1; }

probe property "loaded from: property $libdir/liblcmp.so" -Dlcmp.library.path="$libdir/liblcmp.so" \
  -Djava.library.path="$libdir" -Dlcmp.cache.dir="$tmp/cache"
probe installed "loaded from: installed" -Djava.library.path="$libdir" -Dlcmp.cache.dir="$tmp/cache"

mkdir -m 777 "$tmp/open"
probe shared_folder "may be written by other users" "$nothing_installed" -Dlcmp.cache.dir="$tmp/open"
exit $status
