#!/usr/bin/env bash
# End to end, both formats: zepo-publish builds a tree of two releases with the first format and
# the second beside it; nginx serves it; a version-1 installation reaches version 2 with an
# updater that takes the second format, with one forced to the first (--format 1), and, when a
# format-2 patch is damaged or missing, with one that falls back in the same run. Every run ends
# with the same bytes.
#   formats_e2e.sh WORK PUBLISH UPDATER TREE_TOOL [WINE_PREFIX]
set -euo pipefail
work=$1 publish=$2 updater=$3 tool=$4 prefix=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
source "$here/../support/installation.sh"
rm -rf "$work"
mkdir -p "$work/temp"
v1="$work/release-1" v2="$work/release-2" tree="$work/tree"
fail() { echo "formats_e2e: $*"; exit 1; }

# Version 1 and 2: a program whose code moves (format 2 wins), a data file with a few changed
# bytes (the byte code wins), text that zstd packs smaller than zlib, a new file.
"$tool" code-pair "$v1" "$v2"
mkdir -p "$v1/data" "$v2/data"
head -c 400000 /dev/urandom > "$v1/data/level.pak"
cp "$v1/data/level.pak" "$v2/data/level.pak"
printf 'changed' | dd of="$v2/data/level.pak" bs=1 seek=200000 conv=notrunc status=none
seq 1 30000 | sed 's/^/line of the readme, number /' > "$v1/readme.txt"
seq 1 30100 | sed 's/^/line of the readme, number /' > "$v2/readme.txt"
seq 1 5000 > "$v2/new.txt"
touch -d '2026-01-01 10:00' "$v1"/* "$v1"/*/*
touch -d '2026-02-01 10:00' "$v2"/* "$v2"/*/*

"$publish" build --release "$v1" --version 1.0 --out "$tree" --product velora/ > /dev/null
"$publish" build --release "$v2" --version 2.0 --out "$tree" --product velora/ > "$work/build.out"
"$publish" verify "$tree" > "$work/verify.out" || { cat "$work/verify.out"; fail "verify refuses the tree"; }
grep -q "second format" "$work/build.out" || fail "the build names no second format"
ls "$tree"/velora/patches2/*/bin/game.exe > /dev/null 2>&1 || fail "no format-2 patch of bin/game.exe"
ls "$tree"/velora/patches/*/bin/game.exe > /dev/null 2>&1 || fail "no byte-code patch of bin/game.exe"
[ -f "$tree/velora/files/2.0/new.txt.zst" ] || fail "no zstd-packed new.txt"
game2=$(ls "$tree"/velora/patches2/*/bin/game.exe)
game1=$(ls "$tree"/velora/patches/*/bin/game.exe)
[ "$(stat -c %s "$game2")" -lt "$(stat -c %s "$game1")" ] || fail "the format-2 patch is not the smaller"
echo "formats_e2e: bin/game.exe's patch: $(stat -c %s "$game1") bytes in the byte code, $(stat -c %s "$game2") in format 2"

free_port port
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$tree|g" -e "s|@PORT@|$port|g" -e "s|@RATE@|0|g" "$here/nginx.conf.in" > "$work/nginx.conf"
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work"
trap 'kill "$(cat "$work/nginx.pid")" 2>/dev/null || true' EXIT

# run WHAT [ARGUMENT...]: a fresh version-1 installation brought to version 2; the requests that
# the run made are in $work/requests.
run() {
  rm -rf "$work/install"
  copy_installation "$v1" "$work/install"
  update "$v2" "$@"
}

# update RELEASE WHAT [ARGUMENT...]: the installation as it is brought to RELEASE by one run.
update() {
  local release=$1 what=$2
  shift 2
  : > "$work/access.log"
  kill -USR1 "$(cat "$work/nginx.pid")"
  local status=0
  if [ -n "$prefix" ]; then
    "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$work/install" --host "localhost:$port" --quiet \
      --log-level 2 "$@" > "$work/run.out" 2>&1 || status=$?
  else
    "$updater" --dir "$work/install" --host "localhost:$port" --quiet --log-level 2 "$@" > "$work/run.out" 2>&1 ||
      status=$?
  fi
  [ "$status" -eq 0 ] || { cat "$work/run.out"; fail "$what: exit $status"; }
  diff -r -q -x logs -x log.ini -x zepo.lock -x 'autoupdate.*' "$release" "$work/install" || fail "$what: not $release"
  cp "$work/access.log" "$work/requests"
}
fallbacks() { iconv -f UTF-16LE -t UTF-8 "$work/install"/logs/zepo/*.log | grep -c "instead" || true; }

run "the second format"
grep -q "GET /velora/patches2/.*/bin/game.exe " "$work/requests" || fail "the second format: no format-2 patch taken"
grep -q "GET /velora/files/2.0/new.txt.zst " "$work/requests" || fail "the second format: no zstd whole file taken"
grep -q "GET /velora/patches/.*/bin/game.exe " "$work/requests" && fail "the second format: the byte code taken too"
[ "$(fallbacks)" -eq 0 ] || fail "the second format: a fallback was needed"
echo "formats_e2e: the second format taken and version 2 reached"

run "the first format" --format 1
grep -qE "patches2/|\.zst " "$work/requests" && fail "the first format: a second-format file was taken"
grep -q "GET /velora/patches/.*/bin/game.exe " "$work/requests" || fail "the first format: no byte-code patch taken"
echo "formats_e2e: --format 1 takes the first format alone and reaches the same bytes"

# A damaged format-2 patch: it is refused, the byte code's patch is taken, in the same run.
cp "$game2" "$work/game2.saved"
printf '\xff\xff\xff\xff' | dd of="$game2" bs=1 seek=100 conv=notrunc status=none
run "a damaged format-2 patch"
grep -q "GET /velora/patches/.*/bin/game.exe " "$work/requests" || fail "a damaged format-2 patch: no fallback"
[ "$(fallbacks)" -ge 1 ] || fail "a damaged format-2 patch: the fallback is not logged"
run "a damaged format-2 patch, one connection" --connections 1
grep -q "GET /velora/patches/.*/bin/game.exe " "$work/requests" || fail "one connection: no fallback"
echo "formats_e2e: a damaged format-2 patch falls back to the byte code (4 connections and 1)"

# Both patches gone: the file comes whole, still in the same run.
rm "$game2" "$game1"
run "no patch at all"
grep -q "GET /velora/files/2.0/bin/game.exe" "$work/requests" || fail "no patch at all: the whole file not taken"
echo "formats_e2e: missing patches fall back to the whole file"

# A release later the installation, which holds 2.0's list, patches it: the list's own answer
# carries its last four bytes (the check of its text; nginx answers the range asked for), its
# patch the rest.
v3="$work/release-3"
cp -a "$v2" "$v3"
seq 1 5100 > "$v3/new.txt"
touch -d '2026-03-01 10:00' "$v3/new.txt"
"$publish" build --release "$v3" --version 3.0 --out "$tree" --product velora/ > /dev/null
update "$v3" "the list by its patch"
grep -qE "^GET /velora/filelist.enc.patches/[0-9a-f]{32}-[0-9a-f]{8}.pat HTTP/1.1 200 " "$work/requests" ||
  { cat "$work/requests"; fail "the list by its patch: no list patch taken"; }
grep -q "^GET /velora/filelist.enc HTTP/1.1 206 4 " "$work/requests" ||
  { cat "$work/requests"; fail "the list by its patch: the whole list was sent"; }
grep -q "^GET /velora/filelist.enc HTTP/1.1 200 " "$work/requests" && fail "the list by its patch: the list came whole too"
echo "formats_e2e: a list patch brings the held list to 3.0"
