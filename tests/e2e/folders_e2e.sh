#!/usr/bin/env bash
# Players' folders under Wine: zepo-update.exe in a game folder whose name ends in a space and
# holds Vietnamese letters ("Trò chơi/Velora "), beside a folder of the name without the space
# that holds another version-1 copy (as a launcher's folder might).
#   1. started with no arguments from that other folder, it updates its own folder, never the
#      other one;
#   2. given the folder with --dir (letters outside the ANSI code page), it updates it.
#   folders_e2e.sh WORK TREE_TOOL UPDATER WINE_PREFIX
set -euo pipefail
work=$1 tool=$2 updater=$3 prefix=$4
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
rm -rf "$work"
mkdir -p "$work/temp"
base="$work/Trò chơi"
root="$work/www" install="$base/Velora " decoy="$base/Velora"
free_port port
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$root|g" -e "s|@PORT@|$port|g" -e "s|@RATE@|0|g" "$here/nginx.conf.in" \
  > "$work/nginx.conf"
fail() { echo "folders_e2e: $*"; [ -f "$work/run.out" ] && cat "$work/run.out"; exit 1; }

prepare() {
  rm -rf "$base"
  "$tool" build "$work/decoy-www" "$decoy"
  "$tool" build "$root" "$install"
  cp "$updater" "$install/zepo-update.exe"
  for folder in "$install" "$decoy"; do
    printf '[zepo]\r\nLogLevel=4\r\nPatchHost=localhost:%s\r\n' "$port" > "$folder/log.ini"
  done
}
decoy_untouched() {
  [ "$(cat "$decoy/a.dat")" = "version one of a, version one of a" ] && [ ! -e "$decoy/update" ] &&
    [ ! -e "$decoy/logs" ]
}

prepare
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work"
trap 'kill "$(cat "$work/nginx.pid")" 2>/dev/null || true' EXIT

status=0
(cd "$decoy" && "$here/../../cmake/wine-run" "$prefix" "$install/zepo-update.exe") > "$work/run.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "started from the other folder it ended with $status"
"$tool" verify "$install" || fail "the game folder whose name ends in a space is not version 2"
decoy_untouched || fail "the folder without the space was touched"
echo "folders_e2e: a folder ending in a space updated itself, not its neighbour"

prepare
status=0
(cd "$work" && "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$install" --host "localhost:$port") \
  > "$work/run.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "--dir with Vietnamese letters ended with $status"
"$tool" verify "$install" || fail "the folder named by --dir is not version 2"
decoy_untouched || fail "the folder without the space was touched by --dir"
echo "folders_e2e: passed under Wine"
