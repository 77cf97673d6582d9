#!/usr/bin/env bash
# The delivery chain as a studio runs it: a build machine pushes to an rsync daemon (the origin)
# over a slowed link, nginx serves the origin, and players update from it all along.
# - push during the upload: a signed and an unsigned client run one after the other for the whole
#   upload and never fail; pushes cut at random moments, and a destination that fills up, leave
#   the origin serving the old version or the new one;
# - one history per origin: a second build machine's stale copy is not pushed over a newer origin,
#   nor a tree over a folder that is no tree (unless --force);
# - old releases retired by prune and push --prune while players of them update.
# Runs in a network and mount namespace of its own: the link is slowed with tc on its loopback,
# and the full destination is a small tmpfs.
#   delivery_e2e.sh WORK PUBLISH UPDATER
set -euo pipefail
if [ -z "${ZEPO_DELIVERY_NAMESPACE:-}" ]; then
  if ! unshare -n -m true 2>/dev/null; then
    echo "delivery_e2e: no network namespace here (unshare -n -m fails): skipped"
    exit 77
  fi
  exec unshare -n -m --propagation private env ZEPO_DELIVERY_NAMESPACE=1 "$0" "$@"
fi
work=$1 publish=$2 updater=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
source "$here/../support/installation.sh"
ip link set lo up
rm -rf "$work"
mkdir -p "$work/temp"
work=$(cd "$work" && pwd)
fail() { echo "delivery_e2e: $*"; tail -5 "$work/out" 2>/dev/null; tail -3 "$work/run.err" 2>/dev/null; exit 1; }
say() { echo "delivery_e2e: $*"; }

# Releases: 2.0 edits a pack; 3.0 adds 300 files of random bytes (about 6 MB) and edits the pack
# again, so that its upload takes seconds on the slowed link.
for r in 1 2 3; do
  mkdir -p "$work/release-$r/data"
  printf 'version %s of a\n' "$r" > "$work/release-$r/a.txt"
  head -c 200000 /dev/zero | tr '\0' "$r" > "$work/release-$r/data/big.pak"
done
mkdir -p "$work/release-3/maps"
for i in $(seq 1 300); do head -c 20000 /dev/urandom > "$work/release-3/maps/m$i.dat"; done
touch -d '2026-01-10 12:00:00' $(find "$work/release-1" -type f)
touch -d '2026-02-10 12:00:00' $(find "$work/release-2" -type f)
touch -d '2026-03-10 12:00:00' $(find "$work/release-3" -type f)

key="$work/publisher.key"
public=$("$publish" keygen --out "$key")
build() {  # TREE VERSION [OPTION...]
  local tree=$1 version=$2
  shift 2
  "$publish" build --release "$work/release-${version%%.*}" --version "$version" --out "$tree" --product velora/ \
    --sign "$key" "$@" > /dev/null
}
build "$work/tree" 1.0
build "$work/tree" 2.0
cp -a "$work/tree" "$work/tree-at-2"
build "$work/tree" 3.0

free_port port
free_port rsync_port
mkdir -p "$work/origin"
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$work/origin/velora-cdn|g" -e "s|@PORT@|$port|g" -e "s|@RATE@|0|g" \
  "$here/nginx.conf.in" > "$work/nginx.conf"
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work"
cat > "$work/rsyncd.conf" <<CONF
pid file = $work/rsyncd.pid
use chroot = false
uid = $(id -u)
gid = $(id -g)
[site]
path = $work/origin
read only = false
CONF
rsync --daemon --no-detach --address=127.0.0.1 --port="$rsync_port" --config="$work/rsyncd.conf" \
  --log-file="$work/rsyncd.log" &
daemon=$!
poller=
trap 'kill "$(cat "$work/nginx.pid")" 2>/dev/null || true; kill "$daemon" $poller 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do rsync --list-only "rsync://127.0.0.1:$rsync_port/site/" > /dev/null 2>&1 && break; sleep 0.1; done
dest="rsync://127.0.0.1:$rsync_port/site/velora-cdn"

# The link to the origin: 20 Mbit/s for the rsync daemon's port only (the players' side is not
# slowed, so that they poll many times during one upload).
tc qdisc add dev lo root handle 1: htb default 20 r2q 1000
tc class add dev lo parent 1: classid 1:10 htb rate 20mbit ceil 20mbit
tc class add dev lo parent 1: classid 1:20 htb rate 1gbit
for side in dport sport; do
  tc filter add dev lo parent 1: protocol ip u32 match ip "$side" "$rsync_port" 0xffff flowid 1:10
done

same_as() { diff -r -q -x logs -x zepo.lock -x 'autoupdate.*' -x update -x '*.ini' -x '*.enc' -x '*.sig' "$work/release-$1" "$1" > /dev/null 2>&1; }
copy_installation "$work/release-1" "$work/installed-1"
# One client run from a version-1 installation: signed with KEY, unsigned without; prints the
# version reached, or "failed STATUS" / "mixed".
client_run() {  # FOLDER [KEY]
  local folder=$1 status=0
  rm -rf "$folder" && cp -a "$work/installed-1" "$folder"
  "$updater" --dir "$folder" --host "localhost:$port" ${2:+--public-key "$2"} --quiet > "$folder.out" 2> "$folder.err" ||
    status=$?
  if [ "$status" -ne 0 ]; then echo "failed $status: $(tail -1 "$folder.err")"; return; fi
  for r in 2 3; do
    if diff -r -q -x logs -x zepo.lock -x 'autoupdate.*' -x update -x '*.ini' -x '*.enc' -x '*.sig' \
      "$work/release-$r" "$folder" > /dev/null 2>&1; then echo "$r"; return; fi
  done
  echo mixed
}
# Clients one after the other, signed and unsigned in turn, until the file stop appears; each
# result goes to the file polls.
poll() {
  local n=0
  while [ ! -e "$work/stop" ]; do
    n=$((n + 1))
    if [ $((n % 2)) -eq 0 ]; then echo "signed $(client_run "$work/poll-signed" "$public")"; else
      echo "unsigned $(client_run "$work/poll-unsigned")"; fi >> "$work/polls"
  done
}
start_polling() { rm -f "$work/stop" "$work/polls"; poll & poller=$!; }
stop_polling() {
  touch "$work/stop"; wait "$poller" || true; poller=
  if grep -v -E ' (2|3)$' "$work/polls" > "$work/bad-polls"; then fail "$1: clients failed: $(head -3 "$work/bad-polls")"; fi
}
# The origin as version 2.0's push left it.
origin_at_2() {
  rm -rf "$work/origin/velora-cdn"
  "$publish" push "$work/tree-at-2" "$dest" > "$work/out" 2>&1 || fail "the push of 2.0 failed"
}

# 1. A whole push of 3.0 while clients poll; then pushes cut at random moments.
origin_at_2
[ "$(client_run "$work/check")" = 2 ] || fail "the origin at 2.0 does not update clients to 2"
start_polling
started=$(date +%s.%N)
"$publish" push "$work/tree" "$dest" > "$work/out" 2>&1 || fail "the push of 3.0 failed"
took=$(echo "$(date +%s.%N) - $started" | bc)
stop_polling "during the push of 3.0"
polls=$(wc -l < "$work/polls")
[ "$(client_run "$work/check")" = 3 ] || fail "after the push clients do not reach 3"
say "push of 3.0 over the slowed link took ${took%.*} s; $polls client runs during it, none failed ($(grep -c ' 3$' "$work/polls") reached 3)"
for attempt in 1 2 3 4; do
  origin_at_2
  start_polling
  "$publish" push "$work/tree" "$dest" > "$work/out" 2>&1 &
  pusher=$!
  sleep "$(echo "scale=2; $RANDOM % 400 / 100" | bc)"
  pkill -KILL -P "$pusher" 2>/dev/null || true
  kill -KILL "$pusher" 2>/dev/null || true
  wait "$pusher" 2>/dev/null || true
  sleep 1
  stop_polling "a push cut at a random moment (attempt $attempt)"
  reached=$(client_run "$work/check" "$public")
  [ "$reached" = 2 ] || [ "$reached" = 3 ] || fail "after a push cut at attempt $attempt: $reached"
  "$publish" push "$work/tree" "$dest" > "$work/out" 2>&1 || fail "a push run again after a cut failed"
  [ "$(client_run "$work/check" "$public")" = 3 ] || fail "after the push run again clients do not reach 3"
done
say "four pushes cut at random moments: clients polling all along never failed; each push run again finished"

# 2. A destination that fills up during the objects: the push fails, and the origin still serves 2.0.
origin_at_2
used=$(du -sk --apparent-size "$work/origin" | cut -f1)
mkdir -p "$work/small"
mount -t tmpfs -o size=$((used + 3000))k tmpfs "$work/small"
cp -a "$work/origin/velora-cdn" "$work/small/"
mount --bind "$work/small" "$work/origin"
if "$publish" push "$work/tree" "$dest" > "$work/out" 2>&1; then fail "a push to a full destination succeeded"; fi
grep -q "still serves what it served before" "$work/out" || fail "the full destination's failure does not say what is served"
[ "$(client_run "$work/check" "$public")" = 2 ] || fail "after a push to a full destination clients do not stay at 2"
umount "$work/origin"
umount "$work/small"
say "a full destination: the push failed with the origin still serving 2.0"

# 3. One history per origin: machine A pushed 3.0; machine B, on a copy from before 3.0, built 4.0.
origin_at_2
"$publish" push "$work/tree" "$dest" > "$work/out" 2>&1 || fail "the push of 3.0 failed"
cp -a "$work/tree-at-2" "$work/machine-b"
"$publish" build --release "$work/release-3" --version 4.0 --out "$work/machine-b" --product velora/ --sign "$key" \
  > /dev/null
if "$publish" push "$work/machine-b" "$dest" > "$work/out" 2>&1; then fail "a stale copy was pushed over a newer origin"; fi
grep -q "release 3.0 .* which this tree does not know" "$work/out" || fail "the refusal does not name release 3.0"
[ "$(client_run "$work/check")" = 3 ] || fail "the refused push changed the origin"
mkdir -p "$work/origin/not-a-tree" && echo 'a web page' > "$work/origin/not-a-tree/index.html"
if "$publish" push "$work/tree" "$dest/../not-a-tree" > "$work/out" 2>&1; then fail "a tree was pushed over a folder of other files"; fi
grep -q "no tree of product velora/" "$work/out" || fail "the refusal does not say the destination is no tree"
"$publish" push "$work/machine-b" "$dest" --force > "$work/out" 2>&1 || fail "push --force was refused"
"$publish" push "$work/tree" "$dest" > "$work/out" 2>&1 && fail "machine A's tree was pushed over machine B's 4.0"
"$publish" push "$work/tree" "$dest" > "$work/out" 2>&1 || true
say "a stale copy and a folder of other files are not pushed over; --force is"

# 4. Old releases retired: the tree keeps its last release only, and push --prune takes the rest
# away from the origin after the new lists, while players of the pruned 1.0 poll and update.
origin_at_2
"$publish" push "$work/tree" "$dest" > "$work/out" 2>&1 || fail "the push of 3.0 failed"
before=$(du -sk "$work/tree" | cut -f1)
"$publish" prune "$work/tree" --keep 1 > "$work/out" 2>&1 || fail "prune --keep 1 failed"
grep -q "^pruned 1.0, 2.0$" "$work/out" || fail "prune does not name what it pruned"
[ ! -e "$work/tree/velora/files/1.0" ] && [ -e "$work/tree/velora/files/3.0/a.txt" ] || fail "prune took the wrong files"
"$publish" verify "$work/tree" > "$work/out" 2>&1 || fail "the pruned tree does not verify"
start_polling
"$publish" push "$work/tree" "$dest" --prune > "$work/out" 2>&1 || fail "push --prune of a pruned tree failed"
stop_polling "during push --prune"
[ ! -e "$work/origin/velora-cdn/velora/files/1.0" ] || fail "push --prune left the pruned release at the origin"
[ "$(client_run "$work/check" "$public")" = 3 ] || fail "a player of the pruned 1.0 does not reach 3"
say "prune --keep 1 freed $((before - $(du -sk "$work/tree" | cut -f1))) KiB; push --prune with $(wc -l < "$work/polls") client runs, none failed"
say "passed"
