#!/usr/bin/env bash
# End to end, content in chunks: zepo-publish builds three releases of a game with a large pack
# into a tree of every format (patches from the last release only) and into a tree of chunks
# alone; nginx serves them; real updaters take them:
# - an installation two releases behind (no patch leads from it) builds the pack from the chunks
#   it holds and downloads about the two edits, never the pack whole;
# - a first-format updater (--format 1) on the same tree reaches the same bytes by whole files;
# - --repair heals flipped bytes in the pack by fetching the damaged chunks only;
# - the tree of chunks alone grows by about an edit per release, verifies, serves clients, goes
#   back by a rollback at the cost of the chunks that differ, and push sends only the new chunks;
#   prune takes away the chunks no kept release names;
# - (natively) a run killed while chunks arrive leaves them staged: the next run fetches the rest.
#   chunks_e2e.sh WORK PUBLISH UPDATER [WINE_PREFIX]
set -euo pipefail
work=$1 publish=$2 updater=$3 prefix=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
source "$here/../support/installation.sh"
rm -rf "$work"
mkdir -p "$work/temp"
fail() { echo "chunks_e2e: $*"; exit 1; }

# Three releases: a 6 MiB pack edited in 150,000 bytes each time, a file that never changes, a
# readme that grows.
for v in 1 2 3; do mkdir -p "$work/release-$v/data"; done
head -c $((6 << 20)) /dev/urandom > "$work/release-1/data/world.pak"
cp "$work/release-1/data/world.pak" "$work/release-2/data/world.pak"
head -c 150000 /dev/urandom | dd of="$work/release-2/data/world.pak" bs=1 seek=$((2 << 20)) conv=notrunc status=none
cp "$work/release-2/data/world.pak" "$work/release-3/data/world.pak"
head -c 150000 /dev/urandom | dd of="$work/release-3/data/world.pak" bs=1 seek=$((4 << 20)) conv=notrunc status=none
head -c 300000 /dev/urandom > "$work/release-1/data/sounds.bank"
for v in 1 2 3; do
  [ "$v" = 1 ] || cp "$work/release-1/data/sounds.bank" "$work/release-$v/data/sounds.bank"
  seq 1 $((2000 * v)) | sed 's/^/line of the readme, number /' > "$work/release-$v/readme.txt"
  touch -d "2026-0$v-01 10:00" "$work/release-$v"/* "$work/release-$v"/*/*
done

all="$work/tree-all" chunks="$work/tree-chunks"
for v in 1 2 3; do
  "$publish" build --release "$work/release-$v" --version "$v.0" --out "$all" --product velora/ --patch-from 1 \
    > "$work/build-all-$v.out" || fail "the build of $v.0 failed"
  before=$(du -sb "$chunks" 2>/dev/null | cut -f1 || echo 0)
  "$publish" build --release "$work/release-$v" --version "$v.0" --out "$chunks" --product velora/ --formats 3 \
    > "$work/build-chunks-$v.out" || fail "the chunks-only build of $v.0 failed"
  after=$(du -sb "$chunks" | cut -f1)
  [ "$v" = 1 ] || growth=$((after - before))
done
grep -q "in chunks, for updaters that know them" "$work/build-all-3.out" || fail "the build names no chunks"
[ ! -e "$chunks/velora/files/3.0/data/world.pak" ] || fail "the tree of chunks alone holds a whole file"
# 150,000 changed bytes cut into chunks of 16 to 256 KiB: the edit, the chunks around it (three at
# most of the largest), the readme's and the lists; the pack whole is 6.3 MB.
bound=1100000
[ "$growth" -lt "$bound" ] || fail "release 3.0 grew the tree of chunks alone by $growth bytes"
echo "chunks_e2e: release 3.0 grew the tree of chunks alone by $growth bytes for a 150,000-byte edit"
for tree in "$all" "$chunks"; do
  "$publish" verify "$tree" > "$work/verify.out" || { cat "$work/verify.out"; fail "verify refuses $tree"; }
done

source "$here/../support/nginx.sh"

updater_command() {  # INSTALL ARGUMENT...
  local install=$1
  shift
  if [ -n "$prefix" ]; then
    echo "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$install" --host "localhost:$port" --quiet "$@"
  else
    echo "$updater" --dir "$install" --host "localhost:$port" --quiet "$@"
  fi
}

# update INSTALL RELEASE WHAT [ARGUMENT...]: one run brings the installation to RELEASE; the
# requests it made are in $work/requests.
update() {
  local install=$1 release=$2 what=$3
  shift 3
  : > "$work/access.log"
  kill -USR1 "$nginx_pid"
  sleep 0.1
  local status=0
  $(updater_command "$install" "$@") > "$work/run.out" 2>&1 || status=$?
  [ "$status" -eq 0 ] || { cat "$work/run.out"; fail "$what: exit $status"; }
  diff -r -q -x logs -x log.ini -x zepo.lock -x 'autoupdate.*' "$release" "$install" || fail "$what: not $release"
  cp "$work/access.log" "$work/requests"
}
bytes_of() { awk -v pattern="$1" '$2 ~ pattern && $4 ~ /^2/ { sum += $5 } END { print sum + 0 }' "$work/requests"; }
fresh() { rm -rf "$work/$1"; copy_installation "$work/release-$2" "$work/$1"; }

start_nginx "$all"
fresh install 1
update "$work/install" "$work/release-3" "two releases behind"
grep -q "GET /velora/chunks/" "$work/requests" || fail "two releases behind: no chunk was fetched"
grep -q "GET /velora/files/3.0/data/world.pak" "$work/requests" && fail "two releases behind: the pack came whole"
pack=$(bytes_of '^/velora/chunks/')
[ "$pack" -lt $((2 * bound)) ] || fail "two releases behind: $pack bytes of chunks for two edits of 150,000 bytes"
echo "chunks_e2e: two releases behind: $pack bytes of chunks for two edits of 150,000 bytes in a 6 MiB pack"
# The readme is too small for its chunks to pay: its index is never asked for, the pack's alone is.
indexes=$(awk '$2 ~ /^\/velora\/chunks\/.*\.index$/ { n++ } END { print n + 0 }' "$work/requests")
[ "$indexes" -eq 1 ] || fail "two releases behind: $indexes chunk indexes asked for, the pack's alone was wanted"

fresh first-format 1
update "$work/first-format" "$work/release-3" "the first format" --format 1
grep -q "GET /velora/chunks/" "$work/requests" && fail "the first format: chunks were fetched"
grep -q "GET /velora/files/3.0/data/world.pak " "$work/requests" || fail "the first format: the pack did not come whole"
echo "chunks_e2e: a first-format updater on the same tree reached 3.0 by whole files"

# Ten flipped bytes in the pack, its time kept: --repair reads it, finds it damaged, and fetches the
# chunks that hold them.
for at in $(seq 300000 600000 5700000); do printf 'X' | dd of="$work/install/data/world.pak" bs=1 seek="$at" conv=notrunc status=none; done
touch -r "$work/release-3/data/world.pak" "$work/install/data/world.pak"
update "$work/install" "$work/release-3" "the repair" --repair
grep -q "GET /velora/files/3.0/data/world.pak" "$work/requests" && fail "the repair: the pack came whole"
repair=$(bytes_of '^/velora/chunks/')
[ "$repair" -lt $((10 * 270000)) ] || fail "the repair fetched $repair bytes for 10 flipped bytes"
echo "chunks_e2e: --repair healed 10 flipped bytes of the pack with $repair bytes of chunks"

start_nginx "$chunks"
fresh chunks-install 1
update "$work/chunks-install" "$work/release-3" "the tree of chunks alone"
grep -q "GET /velora/files/" "$work/requests" && fail "the tree of chunks alone: a whole file was asked for"
took=$(bytes_of '^/velora/chunks/')
# Chunks come over kept-alive connections, a few at a time, not one connection each.
requests=$(awk '$2 ~ /^\/velora\/chunks\// { n++ } END { print n + 0 }' "$work/requests")
connections=$(awk '$2 ~ /^\/velora\/chunks\// { print $7 }' "$work/requests" | sort -u | wc -l)
[ "$connections" -lt "$requests" ] || fail "the tree of chunks alone: $requests chunk requests on $connections connections"
echo "chunks_e2e: a tree of chunks alone took 1.0 to 3.0 with $took bytes of chunks ($requests requests on $connections connections)"
# A fresh installation: the file that never changed is one pack, which comes whole without its
# index; the others come by their indexes, a run of a pack per request.
rm -rf "$work/empty" && mkdir -p "$work/empty"
update "$work/empty" "$work/release-3" "a fresh installation from chunks alone" --install
whole_packs=$(awk '$2 ~ /\.pack$/ && $9 == "range=-" { n++ } END { print n + 0 }' "$work/requests")
indexes=$(awk '$2 ~ /\.index$/ { n++ } END { print n + 0 }' "$work/requests")
[ "$whole_packs" -ge 1 ] && [ "$indexes" -le 2 ] ||
  fail "a fresh installation from chunks alone: $whole_packs packs asked whole, $indexes indexes"
echo "chunks_e2e: a fresh installation from chunks alone: $(grep -c ' /velora/chunks/' "$work/requests") requests, $whole_packs packs whole without an index"
# status counts what the chunks cost: the version's chunks, and what a 1.0 installation lacks.
"$publish" status "$chunks" --json > "$work/status.json"
to_live=$(python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["releases"]; print(r[0]["download_to_live"])' "$work/status.json")
[ "$to_live" -gt 0 ] && [ "$to_live" -lt $((2 * bound)) ] || fail "status says 1.0 downloads $to_live bytes to reach 3.0"

# A rollback goes back at the cost of the chunks that differ, as an update does.
"$publish" rollback "$chunks" --to 2.0 > "$work/rollback.out" || { cat "$work/rollback.out"; fail "the rollback failed"; }
update "$work/chunks-install" "$work/release-2" "the rollback to 2.0" --log-level 4
back=$(bytes_of '^/velora/chunks/')
# The last run's list vouches for the installed pack: its chunks are placed by its index, unread.
iconv -f UTF-16LE -t UTF-8 "$work/chunks-install"/logs/zepo/*.log | grep -q "world.pak\]: its chunks found by the index" ||
  fail "the rollback: the pack's chunks were not placed by the index of its content"
grep -q "GET /velora/files/" "$work/requests" && fail "the rollback: a whole file was asked for"
[ "$back" -lt "$bound" ] || fail "the rollback to 2.0 fetched $back bytes of chunks"
echo "chunks_e2e: the rollback 3.0 -> 2.0 fetched $back bytes of chunks"
"$publish" build --release "$work/release-3" --version 3.1 --out "$chunks" --product velora/ --formats 3 > /dev/null

if [ -z "$prefix" ]; then
  # Killed while chunks arrive (slowly): the chunks that arrived are not fetched again.
  start_nginx "$chunks" 300k
  copy_installation "$work/release-1" "$work/resumed"
  head -c 2000000 /dev/urandom > "$work/resumed/data/world.pak"  # a pack of which little is left
  cp "$work/release-3/data/world.pak" "$work/keep.pak"
  dd if="$work/keep.pak" of="$work/resumed/data/world.pak" bs=1M count=3 conv=notrunc status=none
  : > "$work/access.log"
  kill -USR1 "$nginx_pid"
  sleep 0.1
  $(updater_command "$work/resumed") > "$work/run.out" 2>&1 & runner=$!
  # The runs of a pack's chunks arrive into the staging area: killed once one holds a few chunks.
  staged() { find "$work/resumed" -name '*.dl' -size +800k | grep -q .; }
  for _ in $(seq 1 100); do staged && break; sleep 0.1; done
  kill -KILL "$runner" 2>/dev/null || true
  wait "$runner" 2>/dev/null || true
  # The ranges that had brought at least a whole chunk (more than a chunk's largest packed size),
  # as nginx logs a transfer cut by the kill: "PACK FIRST-BYTE".
  awk '$2 ~ /^\/velora\/chunks\/.*\.pack$/ && $5 > 270000 { sub(/^range=bytes=/, "", $9); sub(/-.*/, "", $9); print $2, $9 }' \
    "$work/access.log" | sort -u > "$work/first-runs"
  [ -s "$work/first-runs" ] || fail "the killed run fetched no chunk"
  start_nginx "$chunks"
  update "$work/resumed" "$work/release-3" "the run after the kill"
  again=$(awk '$2 ~ /\.pack$/ { sub(/^range=bytes=/, "", $9); sub(/-.*/, "", $9); print $2, $9 }' "$work/requests" |
    sort -u | comm -12 - "$work/first-runs" | wc -l)
  [ "$again" -eq 0 ] || fail "the run after the kill asked again for $again runs from where they had begun"
  echo "chunks_e2e: a run killed after $(awk '{ s += $5 } END { print s }' "$work/access.log") bytes; the next asked for none of its whole chunks again"

  # push sends the new chunks and nothing else; prune takes away those no kept release names.
  dest="$work/origin"
  mkdir -p "$dest"
  rm -rf "$work/tree-push"
  "$publish" build --release "$work/release-1" --version 1.0 --out "$work/tree-push" --product velora/ --formats 3 > /dev/null
  "$publish" push "$work/tree-push" "$dest/" > "$work/push.out" 2>&1 || { cat "$work/push.out"; fail "the first push failed"; }
  "$publish" build --release "$work/release-2" --version 2.0 --out "$work/tree-push" --product velora/ --formats 3 > /dev/null
  before=$(du -sb "$dest" | cut -f1)
  "$publish" push "$work/tree-push" "$dest/" > "$work/push.out" 2>&1 || { cat "$work/push.out"; fail "the second push failed"; }
  sent=$(( $(du -sb "$dest" | cut -f1) - before ))
  [ "$sent" -lt "$bound" ] || fail "the push of 2.0 added $sent bytes to the origin"
  echo "chunks_e2e: the push of 2.0 added $sent bytes to the origin"
  "$publish" build --release "$work/release-3" --version 3.0 --out "$work/tree-push" --product velora/ --formats 3 > /dev/null
  held=$(find "$work/tree-push/velora/chunks" -type f | wc -l)
  "$publish" prune "$work/tree-push" --keep 1 > "$work/prune.out" || { cat "$work/prune.out"; fail "prune failed"; }
  left=$(find "$work/tree-push/velora/chunks" -type f | wc -l)
  [ "$left" -lt "$held" ] || fail "prune left every chunk ($held)"
  "$publish" verify "$work/tree-push" > "$work/verify.out" || { cat "$work/verify.out"; fail "verify refuses the pruned tree"; }
  echo "chunks_e2e: prune kept $left of $held chunk objects; the tree verifies"
fi
echo "chunks_e2e: passed"
