#!/usr/bin/env bash
# The window at 96 to 192 DPI (Wine's LogPixels) on screens of 1024 x 768, 1024 x 600 and 800 x 600,
# where at 120 DPI and more it is too wide or too tall and must be fitted:
# zepo.exe runs an update against the loopback test server, and zepo-window-driver reads the
# window's and the controls' rectangles from outside and compares them (see its "layout"
# scenario). Screenshots are kept in WORK/screenshots as layout-WIDTHxHEIGHT-DPI.png.
#   layout_test.sh WORK TREE_TOOL SERVER ZEPO_EXE DRIVER WINE_PREFIX
set -euo pipefail
work=$1 tool=$2 server=$3 zepo=$4 driver=$5 prefix=$6
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../cmake/wine-run"
rm -rf "$work"
mkdir -p "$work/screenshots"
port_file=
cleanup() {
  [ -n "$port_file" ] && "$server" --stop "$port_file" 2>/dev/null
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

# Runs one layout check on a display of its own; the DPI is read by Wine when its server starts.
check() {
  local size=$1 dpi=$2
  local dir="$work/$size-$dpi"
  "$tool" build "$dir/www" "$dir/install"
  cp "$zepo" "$dir/install/zepo.exe"
  port_file="$dir/port"
  "$server" --port-file "$port_file" --root "$dir/www" --background
  printf '[zepo]\r\nLogLevel=4\r\nPatchHost=127.0.0.1:%s\r\n' "$(cat "$port_file")" > "$dir/install/log.ini"
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  WINEPREFIX="$prefix" wineserver -w
  "$wine_run" "$prefix" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f > /dev/null
  WINEPREFIX="$prefix" wineserver -w
  echo "== $size at $dpi DPI"
  XVFB_SIZE=$size "$here/../../cmake/with-xvfb" "$wine_run" "$prefix" "$driver" layout "Z:$dir/install/zepo.exe" 2.0 \
    "Z:$work/screenshots" "$size-$dpi"
  "$server" --stop "$port_file"
  port_file=
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
}

for dpi in 96 120 144 168 192; do check 1024x768 "$dpi"; done
check 1024x600 144
for dpi in 120 192; do check 800x600 "$dpi"; done
echo "layout_test: passed; screenshots in $work/screenshots"
