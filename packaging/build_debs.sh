#!/usr/bin/env bash
# Builds the Debian packages of this tree (debian/) with dpkg-buildpackage and
# checks them with lintian. Usage: build_debs.sh OUT_DIR
#
# dpkg-buildpackage writes its results beside the source tree, so the tree is
# copied into OUT_DIR/.src/ first (without build directories and version
# control); the packages, the .changes and the .buildinfo end up in OUT_DIR.
# Fails if lintian reports an error or a warning.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
stage="$out/.src"
rm -rf "$stage" "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
mkdir -p "$stage/liblcmp-$version"
tar -C "$source_dir" --exclude='./build*' --exclude=./.git --exclude='./fuzz/artifacts' --exclude='./obj-*' \
  --exclude=./debian/.debhelper --exclude=./debian/tmp -cf - . |
  tar -C "$stage/liblcmp-$version" -xf -

log="$out/dpkg-buildpackage.log"
if ! (cd "$stage/liblcmp-$version" && dpkg-buildpackage -us -uc -b -j"$(nproc)") >"$log" 2>&1; then
  tail -n 25 "$log"
  echo "dpkg-buildpackage failed; the whole log is $log" >&2
  exit 1
fi
mv "$stage"/*.deb "$stage"/*.changes "$stage"/*.buildinfo "$out"/
rm -rf "$stage"

changes=$(ls "$out"/*.changes)
lintian --fail-on error,warning "$changes"
ls "$out"/*.deb
