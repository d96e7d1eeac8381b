#!/bin/sh
# Runs a Windows program under Wine: PROGRAM [ARGUMENTS...]. The Wine prefix
# (WINEPREFIX, else wine-prefix/ beside the program) is made on first use.
set -eu
program=$1
shift
export PATH="/usr/lib/wine:$PATH" WINEDEBUG=-all WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEPREFIX="${WINEPREFIX:-$(cd "$(dirname "$program")" && pwd)/wine-prefix}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1
  wineserver -w
fi
exec wine "$program" "$@"
