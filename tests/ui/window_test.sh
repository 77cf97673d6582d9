#!/usr/bin/env bash
# The window program for real: zepo.exe under Wine on an X display (cmake/with-xvfb), against the
# loopback test server, checked from the outside by zepo-window-driver (texts, states, input,
# screen pixels). Screenshots of a run are kept in WORK/screenshots.
#   window_test.sh WORK TREE_TOOL SERVER ZEPO_EXE DRIVER ART WINE_PREFIX
set -euo pipefail
work=$1 tool=$2 server=$3 zepo=$4 driver=$5 art=$6 prefix=$7
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../cmake/wine-run"
rm -rf "$work"
mkdir -p "$work/screenshots"
shots="$work/screenshots"

servers=()
cleanup() {
  for port_file in "${servers[@]}"; do "$server" --stop "$port_file" 2>/dev/null || true; done
  # The Wine server of this prefix holds on to the display; it goes with it.
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
[ -n "${DISPLAY:-}" ] || { echo "window_test: needs an X display (run it under cmake/with-xvfb)"; exit 1; }

win() { echo "Z:$1"; }

# A version-1 installation with zepo.exe and a log.ini that names the patch server, and the
# server's version-2 tree.
prepare() {
  local name=$1 self=${2:-}
  local dir="$work/$name"
  if [ -n "$self" ]; then
    "$tool" build "$dir/www" "$dir/install" "$zepo" zepo.exe
  else
    "$tool" build "$dir/www" "$dir/install"
    cp "$zepo" "$dir/install/zepo.exe"
  fi
  "$server" --port-file "$dir/port" --root "$dir/www" --background
  servers+=("$dir/port")
  printf '[zepo]\r\nLogLevel=4\r\nPatchHost=127.0.0.1:%s\r\n' "$(cat "$dir/port")" > "$dir/install/log.ini"
}

drive() {
  echo "== $1"
  "$wine_run" "$prefix" "$driver" "$@"
}

drive resources "$(win "$zepo")"

prepare first
echo stall_5 > "$work/first/www/velora/v2/b.dat.fault"
drive first-run "$(win "$work/first/install/zepo.exe")" 2.0 "$(win "$art")" "$(win "$shots")"
"$tool" verify "$work/first/install"

prepare retry
echo status_404 > "$work/retry/www/velora/v2/b.dat.fault"
drive retry "$(win "$work/retry/install/zepo.exe")" 2.0 "$(win "$art")" "$(win "$shots")" \
  "$(win "$work/retry/www/velora/v2/b.dat.fault")" "$(win "$work/retry/www/velora/filelist.enc.fault")"
"$tool" verify "$work/retry/install"

prepare second
drive second-instance "$(win "$work/second/install/zepo.exe")"

prepare offline
printf '[zepo]\r\nLogLevel=4\r\nPatchHost=127.0.0.1:1\r\n' > "$work/offline/install/log.ini"
drive no-internet "$(win "$work/offline/install/zepo.exe")"

prepare self self
drive self-update "$(win "$work/self/install/zepo.exe")" 2.0
WINEPREFIX="$prefix" wineserver -w
"$tool" verify "$work/self/install" "$zepo" zepo.exe

echo "window_test: passed; screenshots in $shots"
