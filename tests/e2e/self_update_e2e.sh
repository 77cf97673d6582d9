#!/usr/bin/env bash
# End to end self-update: version 2 lists a new build of the updater itself. The installed
# updater downloads it, starts the engine helper and exits with status 3; the helper swaps the
# file and restarts the updater, which then finishes the rest of the update.
#   self_update_e2e.sh WORK TREE_TOOL UPDATER [WINE_PREFIX] [--arguments | --long=N | --trailing-space | --wait]
# By default the updater is started with no arguments from its folder and the host comes from
# "PatchHost" in ./log.ini; with --arguments it is started from elsewhere with --dir and --host
# only, which the restarted updater must be given again. With --long=N the game folder's
# Windows name ("Z:\...") is N characters long, so that the helper's path, the staged files and
# the logs pass the 260 characters of a plain Windows path. With --trailing-space the game folder's
# name ends in a space ("Velora "), which Windows' path rules drop when a process is started.
# With --wait the first run waits for the restarted one, shows what it prints and ends with its
# exit status: the installation is version 2 the moment it returns.
set -euo pipefail
work=$1 tool=$2 updater=$3 prefix=${4:-} mode=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
name=$(basename "$updater")
rm -rf "$work"
mkdir -p "$work/temp"
root="$work/www" install="$work/install"
if [ "$mode" = --trailing-space ]; then
  install="$work/Velora "
elif [[ $mode == --long=* ]]; then
  source "$here/../support/long_folder.sh"
  install=$(long_folder "$install" "${mode#--long=}")
fi
"$tool" build "$root" "$install" "$updater" "$name"

free_port port
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$root|g" -e "s|@PORT@|$port|g" -e "s|@RATE@|0|g" "$here/nginx.conf.in" > "$work/nginx.conf"
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work"
trap 'kill "$(cat "$work/nginx.pid")" 2>/dev/null || true' EXIT
mkdir -p "$install/logs"
if [ "$mode" = --arguments ]; then
  printf '[zepo]\r\nLogLevel=4\r\n' > "$install/log.ini"
  dir=$install
  [ -n "$prefix" ] && dir="Z:$install"
  arguments=(--dir "$dir" --host "localhost:$port")
  cd "$work"
else
  printf '[zepo]\r\nLogLevel=4\r\nPatchHost=localhost:%s\r\n' "$port" > "$install/log.ini"
  arguments=()
  [ "$mode" = --wait ] && arguments=(--wait)
fi

fail() { echo "self_update_e2e: $*"; cut -c16- "$install"/logs/update*.txt 2>/dev/null | tr -d '\r'; exit 1; }
status=0
if [ -n "$prefix" ]; then
  "$here/../../cmake/wine-run" "$prefix" "$install/$name" "${arguments[@]}" > "$work/first.out" 2>&1 || status=$?
else
  "$install/$name" "${arguments[@]}" > "$work/first.out" 2>&1 || status=$?
fi
if [ "$mode" = --wait ]; then
  [ "$status" -eq 0 ] || { cat "$work/first.out"; fail "the waiting run ended with $status, not the restarted run's 0"; }
  grep -q "finishes the update (waiting for it)" "$work/first.out" && grep -q "^zepo-update: version 2.0: " "$work/first.out" ||
    fail "the waiting run did not relay the restarted run's summary: $(cat "$work/first.out")"
  # Windows never deletes a running program's file: the waiting run's own old file, moved aside,
  # stays in the working folder until the next run tidies it.
  if [ -n "$prefix" ]; then
    WINEPREFIX="$prefix" wineserver -w
    ls "$install/update" | grep -qvx 'replaced-[0-9]*\.bin' && fail "the working folder holds more: $(ls "$install/update")"
    "$here/../../cmake/wine-run" "$prefix" "$install/$name" > "$work/second.out" 2>&1 || fail "the run after --wait failed"
  fi
  # Nothing more to wait for: the restarted run has ended.
  "$tool" verify "$install" "$updater" "$name" || fail "the installation is not version 2 when --wait returned"
  [ -z "$(ls "$install"/logs/zepo/wait-* 2>/dev/null)" ] || fail "the report files were left: $(ls "$install"/logs/zepo)"
  echo "self_update_e2e: passed${prefix:+ under Wine} --wait"
  exit 0
fi
[ "$status" -eq 3 ] || { cat "$work/first.out"; fail "the first run ended with $status, not 3 (self-update)"; }
grep -q "the engine helper then starts zepo-update again" "$work/first.out" ||
  fail "the first run did not say that it restarts through the helper: $(tail -2 "$work/first.out")"

# The restarted updater finishes on its own; its log tells when.
for _ in $(seq 120); do
  grep -q "Finished update to the newest version 2.0" "$install"/logs/update*.txt 2>/dev/null && break
  sleep 1
done
grep -q "Finished update to the newest version 2.0" "$install"/logs/update*.txt || fail "the restarted updater did not finish"
# The restarted updater tidies its working folder after its last log line; it has ended when
# its lock is free (under Wine, when the prefix's processes have ended).
if [ -n "$prefix" ]; then
  WINEPREFIX="$prefix" wineserver -w
else
  flock -w 60 "$install/zepo.lock" true || fail "the restarted updater did not end"
fi
sleep 1
"$tool" verify "$install" "$updater" "$name" || fail "the installation is not version 2 with the new updater"
[ ! -e "$install/update" ] || fail "the working folder was left behind"
[ -n "$(ls "$install"/logs/zepo 2>/dev/null)" ] || fail "the diagnostic log was not written"
echo "self_update_e2e: passed${prefix:+ under Wine}${mode:+ $mode}"
