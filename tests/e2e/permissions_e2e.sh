#!/usr/bin/env bash
# Read-only files and permission failures as a player meets them. Wine run as root writes any
# file whatever its read-only attribute or its POSIX permissions, so under root this test makes an
# unprivileged user ("zepo-player", created once) and runs zepo-update.exe as it, in a Wine
# prefix of that user's own; run by anyone else it runs as that user.
#   1. a read-only file of the installation is replaced (version 2, exit 0);
#   2. a folder that a new file must go into cannot be written: the run fails (exit 1), says why
#      and which file, and the next run, once the folder is writable, finishes without
#      downloading a byte again;
#   3. a game folder that cannot be written at all: the run fails before it touches anything and
#      says why.
#   permissions_e2e.sh WORK TREE_TOOL UPDATER WINE_PREFIX
set -euo pipefail
work=$1 tool=$2 updater=$3 prefix=$4
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
player=zepo-player
rm -rf "$work"
mkdir -p "$work/temp" "$work/home"
root="$work/www" install="$work/install"

as_player=()
if [ "$(id -u)" -eq 0 ]; then
  id "$player" >/dev/null 2>&1 || useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$player"
  # The prefix and its lock belong to the player; Wine refuses a prefix that is not the user's.
  mkdir -p "$prefix"
  touch "$prefix.lock"
  chown "$player" "$prefix" "$prefix.lock" "$work/home"
  as_player=(runuser -u "$player" --)
fi
run() {
  "${as_player[@]}" env HOME="$work/home" "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$install" \
    --host "localhost:$port" --log-level 4 --lang vi
}
fail() { echo "permissions_e2e: $*"; cat "$work/run.out" 2>/dev/null; exit 1; }
snapshot() { (cd "$install" && find . -path ./logs -prune -o -type f -print0 | sort -z | xargs -0 md5sum); }

free_port port
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$root|g" -e "s|@PORT@|$port|g" -e "s|@RATE@|0|g" "$here/nginx.conf.in" > "$work/nginx.conf"
"$tool" build "$root" "$install"
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work"
trap 'kill "$(cat "$work/nginx.pid")" 2>/dev/null || true' EXIT
[ ${#as_player[@]} -gt 0 ] && chown -R "$player" "$install"
who=$("${as_player[@]}" id -un)

# 1. The read-only file.
[ -z "$(find "$install/ro.dat" -perm -u=w)" ] || fail "ro.dat is not read-only"
status=0
run > "$work/run.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "the update as $who ended with $status"
"$tool" verify "$install" || fail "the installation is not version 2 (ro.dat is read-only)"
echo "permissions_e2e: a read-only file was replaced, as $who"

# 2. A folder the new data\big.pak must go into, not writable.
rm -rf "$install"
"$tool" build "$root" "$install"
mkdir -p "$install/data"
[ ${#as_player[@]} -gt 0 ] && chown -R "$player" "$install"
chmod a-w "$install/data"
status=0
run > "$work/run.out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "a folder that cannot be written ended with $status, not 1"
grep -q "error: .*big.pak" "$work/run.out" || fail "the error line does not name data\\big.pak"
grep -qi "denied" "$work/run.out" || fail "the error line does not say that access was denied"
grep -q "Không ghi được vào thư mục \[data\]" "$work/run.out" || fail "the status does not name the folder it cannot write"
chmod u+w "$install/data"
: > "$work/access.log"
kill -USR1 "$(cat "$work/nginx.pid")"
sleep 0.5
status=0
run > "$work/run.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "the run after the folder was made writable ended with $status"
"$tool" verify "$install" || fail "the installation is not version 2 after the second run"
! grep -q '/v2/\|/p1/' "$work/access.log" || fail "the second run downloaded again what the first had staged"
echo "permissions_e2e: a folder that cannot be written failed the run with its cause; the next run finished from the stage"

# 3. A game folder that cannot be written at all.
rm -rf "$install"
"$tool" build "$root" "$install"
[ ${#as_player[@]} -gt 0 ] && chown -R "$player" "$install"
before=$(snapshot)
chmod a-w "$install"
status=0
run > "$work/run.out" 2>&1 || status=$?
chmod u+w "$install"
[ "$status" -eq 1 ] || fail "a read-only game folder ended with $status, not 1"
grep -q "error: .*zepo.lock.*denied" "$work/run.out" || fail "the error line does not say that zepo.lock could not be made"
grep -q "Không ghi được vào thư mục trò chơi" "$work/run.out" || fail "the status does not say the game folder cannot be written"
[ "$(snapshot)" = "$before" ] || fail "a read-only game folder was changed"
echo "permissions_e2e: a read-only game folder was left alone with its cause; passed as $who"
