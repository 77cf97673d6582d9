#!/usr/bin/env bash
# The window program for real: zepo.exe under Wine on an X display (cmake/with-xvfb), against the
# loopback test server, checked from the outside by zepo-window-driver (texts, states, input,
# screen pixels). Screenshots of a run are kept in WORK/screenshots.
#   window_test.sh WORK TREE_TOOL SERVER ZEPO_EXE DRIVER ART WINE_PREFIX UPDATE_EXE
set -euo pipefail
work=$1 tool=$2 server=$3 zepo=$4 driver=$5 art=$6 prefix=$7 update_exe=$8
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../cmake/wine-run"
if mountpoint -q "$work/full/small" 2>/dev/null; then umount -l "$work/full/small"; fi
rm -rf "$work"
mkdir -p "$work/screenshots"
shots="$work/screenshots"

servers=()
cleanup() {
  for port_file in "${servers[@]}"; do "$server" --stop "$port_file" 2>/dev/null || true; done
  # The Wine server of this prefix holds on to the display; it goes with it.
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  if mountpoint -q "$work/full/small" 2>/dev/null; then umount "$work/full/small" || umount -l "$work/full/small"; fi
}
trap cleanup EXIT
[ -n "${DISPLAY:-}" ] || { echo "window_test: needs an X display (run it under cmake/with-xvfb)"; exit 1; }

win() { echo "Z:$1"; }

# A version-1 installation (in WORK/NAME/install, or the folder given) with zepo.exe and a
# log.ini that names the patch server, and the server's version-2 tree.
prepare() {
  local name=$1 self=${2:-}
  local dir="$work/$name"
  local install=${3:-$dir/install}
  if [ -n "$self" ]; then
    "$tool" build "$dir/www" "$install" "$zepo" zepo.exe
  else
    "$tool" build "$dir/www" "$install"
    cp "$zepo" "$install/zepo.exe"
  fi
  "$server" --port-file "$dir/port" --root "$dir/www" --background
  servers+=("$dir/port")
  printf '[zepo]\r\nLogLevel=4\r\nPatchHost=127.0.0.1:%s\r\n' "$(cat "$dir/port")" > "$install/log.ini"
}

drive() {
  echo "== $1"
  "$wine_run" "$prefix" "$driver" "$@"
}

drive resources "$(win "$zepo")"

prepare first
echo stall_5 > "$work/first/www/velora/v2/b.dat.fault"
drive first-run "$(win "$work/first/install/zepo.exe")" 2.0 "$(win "$art")" "$(win "$shots")" & driving=$!
# The game's icon, where a taskbar and Alt+Tab read it: the X window's _NET_WM_ICON.
icon=
for _ in $(seq 100); do
  for id in $(xwininfo -root -tree 2>/dev/null | grep '("zepo.exe" "zepo.exe")' | awk '{print $1}'); do
    xprop -id "$id" _NET_WM_ICON 2>/dev/null | grep -q "Icon (" && icon=$id
  done
  [ -n "$icon" ] && break
  sleep 0.2
done
wait "$driving"
[ -n "$icon" ] || { echo "window_test: the window shows no icon (no _NET_WM_ICON on zepo.exe's X windows)"; exit 1; }
echo "ok: the window shows the game's icon (X window $icon)"
"$tool" verify "$work/first/install"

prepare retry
echo status_404 > "$work/retry/www/velora/v2/b.dat.fault"
drive retry "$(win "$work/retry/install/zepo.exe")" 2.0 "$(win "$art")" "$(win "$shots")" \
  "$(win "$work/retry/www/velora/v2/b.dat.fault")" "$(win "$work/retry/www/velora/filelist.enc.fault")"
"$tool" verify "$work/retry/install"

# A signed tree and a zepo.exe that trusts its key ("PublicKey" in log.ini).
signed="$work/signed"
key=$("$tool" build-signed "$signed/www" "$signed/install")
cp "$zepo" "$signed/install/zepo.exe"
"$server" --port-file "$signed/port" --root "$signed/www" --background
servers+=("$signed/port")
printf '[zepo]\r\nLogLevel=4\r\nPatchHost=127.0.0.1:%s\r\nPublicKey=%s\r\n' "$(cat "$signed/port")" "$key" \
  > "$signed/install/log.ini"
mkdir -p "$shots/signed"
drive demo "$(win "$signed/install/zepo.exe")" 2.0 "$(win "$shots/signed")"
"$tool" verify "$signed/install"

# The words of a failed run a player can act on, read from the window.
# A list whose signature expired a day ago: the publisher has not renewed it.
expired="$work/expired"
mkdir -p "$expired"
key=$("$tool" build-signed "$expired/www" "$expired/install" "$expired/publisher.key")
"$tool" sign-expired "$expired/www/velora/filelist.enc" "$expired/publisher.key" velora/
cp "$zepo" "$expired/install/zepo.exe"
"$server" --port-file "$expired/port" --root "$expired/www" --background
servers+=("$expired/port")
printf '[zepo]\r\nLogLevel=4\r\nPatchHost=127.0.0.1:%s\r\nPublicKey=%s\r\n' "$(cat "$expired/port")" "$key" \
  > "$expired/install/log.ini"
drive says "$(win "$expired/install/zepo.exe")" expired-signature "$(win "$shots")"
# The same list from a server whose Date is 60 days behind this computer's clock: the clock is
# what the player must mend.
"$server" --port-file "$expired/clock-port" --root "$expired/www" --clock-offset-days -60 --background
servers+=("$expired/clock-port")
printf '[zepo]\r\nLogLevel=4\r\nPatchHost=127.0.0.1:%s\r\nPublicKey=%s\r\n' "$(cat "$expired/clock-port")" "$key" \
  > "$expired/install/log.ini"
drive says "$(win "$expired/install/zepo.exe")" clock "$(win "$shots")"

# "Language=en" in log.ini: the window speaks English, its title too.
prepare english
echo status_404 > "$work/english/www/velora/v2/b.dat.fault"
printf 'Language=en\r\n' >> "$work/english/install/log.ini"
drive says "$(win "$work/english/install/zepo.exe")" english "$(win "$shots")"

# A proxy (log.ini's) that is down: the start-up check names the proxy, not the internet.
prepare proxy
printf 'Proxy=http://127.0.0.1:1\r\n' >> "$work/proxy/install/log.ini"
drive no-internet "$(win "$work/proxy/install/zepo.exe")" proxy

# Another updater works in the folder (its download stalls on the server): the window says so
# and writes nothing into that run's update log.
prepare other
echo stall_8 > "$work/other/www/velora/v2/b.dat.fault"
install="$work/other/install"
"$wine_run" "$prefix" "$update_exe" --dir "$(win "$install")" --host "127.0.0.1:$(cat "$work/other/port")" \
  > "$work/other/update.out" 2>&1 & headless=$!
for _ in $(seq 100); do grep -qs "Check description update information => Success" "$install"/logs/update*.txt && break; sleep 0.2; done
drive says "$(win "$install/zepo.exe")" another-updater "$(win "$shots")"
wait "$headless" || { cat "$work/other/update.out"; echo "window_test: the other updater failed"; exit 1; }
grep -s "Connect to patch server => Failed" "$install"/logs/update*.txt &&
  { echo "window_test: the refused window wrote into the other run's update log"; exit 1; }
"$tool" verify "$install"

# A full disk: the installation on a file system with room for zepo.exe and version 1 only.
if [ "$(id -u)" = 0 ]; then
  prepare full
  small="$work/full/small"
  mkdir -p "$small"
  room=$(( $(stat -c %s "$zepo") / 1024 + 160 ))
  if mount -t tmpfs -o "size=${room}k" tmpfs "$small" 2>/dev/null; then
    cp -a "$work/full/install/." "$small/"
    drive says "$(win "$small/zepo.exe")" full-disk "$(win "$shots")"
    WINEPREFIX="$prefix" wineserver -w
    umount "$small"
  else
    echo "== full disk: skipped, a tmpfs cannot be mounted here"
  fi
fi

# Alt+F4 during a download: the run stops, the window closes, the installation is as it was, and
# the next run finishes from what was staged.
prepare stop
echo stall_5 > "$work/stop/www/velora/v2/b.dat.fault"
drive stop "$(win "$work/stop/install/zepo.exe")"
WINEPREFIX="$prefix" wineserver -w
[ "$(cat "$work/stop/install/a.dat")" = "version one of a, version one of a" ] ||
  { echo "window_test: the stopped run changed the installation"; exit 1; }
rm "$work/stop/www/velora/v2/b.dat.fault"
"$wine_run" "$prefix" "$update_exe" --dir "$(win "$work/stop/install")" --host "127.0.0.1:$(cat "$work/stop/port")" \
  --quiet > "$work/stop/update.out" 2>&1 || { cat "$work/stop/update.out"; echo "window_test: the run after the stop failed"; exit 1; }
"$tool" verify "$work/stop/install"
echo "== stop: Alt+F4 stopped the run; the next run finished"

prepare second
drive second-instance "$(win "$work/second/install/zepo.exe")"

prepare offline
printf '[zepo]\r\nLogLevel=4\r\nPatchHost=127.0.0.1:1\r\n' > "$work/offline/install/log.ini"
drive no-internet "$(win "$work/offline/install/zepo.exe")"

prepare self self
drive self-update "$(win "$work/self/install/zepo.exe")" 2.0
WINEPREFIX="$prefix" wineserver -w
"$tool" verify "$work/self/install" "$zepo" zepo.exe

# zepo-update.exe started beside a running zepo.exe (whose download stalls on the server): it
# does nothing and exits 4; the window's run then finishes version 2 alone.
prepare beside
echo stall_6 > "$work/beside/www/velora/v2/b.dat.fault"
install="$work/beside/install"
"$wine_run" "$prefix" "$install/zepo.exe" > "$work/beside/zepo.out" 2>&1 &
for _ in $(seq 100); do grep -qs "Check description update information => Success" "$install"/logs/update*.txt && break; sleep 0.2; done
status=0
"$wine_run" "$prefix" "$update_exe" --dir "$(win "$install")" --host "127.0.0.1:$(cat "$work/beside/port")" \
  > "$work/beside/update.out" 2>&1 || status=$?
[ "$status" -eq 4 ] || { cat "$work/beside/update.out"; echo "window_test: zepo-update.exe beside zepo.exe ended with $status, not 4"; exit 1; }
for _ in $(seq 100); do grep -qs "Finished update to the newest version 2.0" "$install"/logs/update*.txt && break; sleep 0.2; done
sleep 1
"$tool" verify "$install"
echo "== beside: zepo-update.exe refused with 4 while zepo.exe ran; version 2 reached"
# The finished window stays open; it goes before the next start, which it would take for a
# second instance.
"$wine_run" "$prefix" taskkill /F /IM zepo.exe >/dev/null 2>&1 || true
WINEPREFIX="$prefix" wineserver -w

# An impatient player: zepo.exe started again the moment the first one's window closes for its
# self-update. The second waits for the engine helper; the game reaches version 2 with the new
# zepo.exe in one go, and nothing is left in update\.
prepare impatient self
install="$work/impatient/install"
"$wine_run" "$prefix" "$install/zepo.exe" > "$work/impatient/first.out" 2>&1 || true
"$wine_run" "$prefix" "$install/zepo.exe" > "$work/impatient/second.out" 2>&1 &
for _ in $(seq 300); do grep -qs "Finished update to the newest version 2.0" "$install"/logs/update*.txt && break; sleep 0.2; done
grep -qs "Finished update to the newest version 2.0" "$install"/logs/update*.txt ||
  { echo "window_test: the impatient restart did not finish the update"; exit 1; }
grep -s "=> Failed" "$install"/logs/update*.txt && { echo "window_test: the impatient restart failed a step"; exit 1; }
sleep 2
"$wine_run" "$prefix" taskkill /F /IM zepo.exe >/dev/null 2>&1 || true
WINEPREFIX="$prefix" wineserver -w
"$tool" verify "$install" "$zepo" zepo.exe
echo "== impatient restart: version 2 with the new zepo.exe in one go"

# A game folder whose name ends in a space, started from a neighbouring folder of the name
# without it that holds another version-1 copy: the window updates its own folder only.
prepare trailing
install="$work/trailing/Velora "
decoy="$work/trailing/Velora"
mv "$work/trailing/install" "$install"
"$tool" build "$work/trailing/decoy-www" "$decoy"
cp "$install/log.ini" "$decoy/log.ini"
(cd "$decoy" && "$wine_run" "$prefix" "$install/zepo.exe") > "$work/trailing/zepo.out" 2>&1 &
for _ in $(seq 150); do grep -qs "Finished update to the newest version 2.0" "$install"/logs/update*.txt && break; sleep 0.2; done
sleep 1
"$tool" verify "$install"
[ "$(cat "$decoy/a.dat")" = "version one of a, version one of a" ] && [ ! -e "$decoy/logs" ] ||
  { echo "window_test: the neighbouring folder without the trailing space was touched"; exit 1; }
echo "== trailing space: the window updated its own folder, not its neighbour"
"$wine_run" "$prefix" taskkill /F /IM zepo.exe >/dev/null 2>&1 || true

# self_update_in NAME INSTALL WHAT: zepo.exe in INSTALL stages, starts the engine helper, is
# started again by it and finishes version 2 with the new zepo.exe.
self_update_in() {
  local name=$1 install=$2 what=$3
  prepare "$name" self "$install"
  "$wine_run" "$prefix" "$install/zepo.exe" > "$work/$name/first.out" 2>&1 || true
  for _ in $(seq 300); do grep -qs "Finished update to the newest version 2.0" "$install"/logs/update*.txt && break; sleep 0.2; done
  grep -qs "Finished update to the newest version 2.0" "$install"/logs/update*.txt ||
    { echo "window_test: the self-update in $what did not finish"; exit 1; }
  sleep 2
  "$wine_run" "$prefix" taskkill /F /IM zepo.exe >/dev/null 2>&1 || true
  WINEPREFIX="$prefix" wineserver -w
  "$tool" verify "$install" "$zepo" zepo.exe
}

# A game folder whose name ends in a space.
self_update_in trailself "$work/trailself/Velora " "a folder ending in a space"
echo "== trailing space: the self-update through the helper finished with the new zepo.exe"

# A game folder of 300 characters; its diagnostic log is written.
source "$here/../support/long_folder.sh"
install=$(long_folder "$work/long" 300)
self_update_in long "$install" "a folder of 300 characters"
[ -n "$(ls "$install/logs/zepo")" ] || { echo "window_test: no diagnostic log in a folder of 300 characters"; exit 1; }
echo "== long folder: 300 characters, version 2 with the new zepo.exe"

echo "window_test: passed; screenshots in $shots"
