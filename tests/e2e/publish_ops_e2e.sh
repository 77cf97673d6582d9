#!/usr/bin/env bash
# A studio's publishing days against a real signed tree served by nginx and updated by the real
# client with the publisher's key:
# - build, rollback and resign each killed at every write they make (and a full disk at one),
#   each kill followed by a signed client run that must finish at the old version or the new one;
#   the next command finishes what was begun;
# - two builds started together on one tree (both releases indexed), --no-wait against a held lock;
# - a signed tree stays signed, releases that remove most files, a rollback to a release whose
#   files are gone, status and verify against lists the index does not name;
# - a month without a release (faketime): re-signed on day 29, clients update on days 31 and 58;
#   without it, day 31 says the signature expired; serials kept beside the key, a clock ahead;
# - push to an rsync daemon, killed before each of its uploads, with a client run after each.
#   publish_ops_e2e.sh WORK PUBLISH UPDATER
set -euo pipefail
work=$1 publish=$2 updater=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
source "$here/../support/installation.sh"
rm -rf "$work"
mkdir -p "$work/temp"
work=$(cd "$work" && pwd)
fail() { echo "publish_ops_e2e: $*"; tail -5 "$work/out" 2>/dev/null; tail -3 "$work/run.err" 2>/dev/null; exit 1; }
say() { echo "publish_ops_e2e: $*"; }

for r in 1 2 3; do
  mkdir -p "$work/release-$r/data"
  printf 'version %s of a\n' "$r" > "$work/release-$r/a.txt"
  head -c 60000 /dev/zero | tr '\0' "$r" > "$work/release-$r/data/big.pak"
  printf 'kept in every version\n' > "$work/release-$r/data/same.txt"
done
printf 'only in 3\n' > "$work/release-3/data/new.txt"
touch -d '2026-01-10 12:00:00' $(find "$work/release-1" -type f)
touch -d '2026-02-10 12:00:00' $(find "$work/release-2" -type f)
touch -d '2026-03-10 12:00:00' $(find "$work/release-3" -type f)

key="$work/publisher.key"
"$publish" keygen --out "$key" > "$work/public.txt"
public=$(cat "$work/public.txt")
[ "$(cat "$key.pub")" = "$public" ] || fail "keygen did not write the public key beside the key"
build() {  # TREE VERSION [OPTION...]
  local tree=$1 version=$2
  shift 2
  "$publish" build --release "$work/release-${version%%.*}" --version "$version" --out "$tree" --product velora/ "$@"
}
build "$work/base" 1.0 --sign "$key" > /dev/null
build "$work/base" 2.0 --sign "$key" > /dev/null

served="$work/served"
free_port port
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$served|g" -e "s|@PORT@|$port|g" -e "s|@RATE@|0|g" "$here/nginx.conf.in" > "$work/nginx.conf"
cp -a "$work/base" "$served"
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work"
daemon=
trap 'kill "$(cat "$work/nginx.pid")" 2>/dev/null || true; [ -z "$daemon" ] || kill "$daemon" 2>/dev/null || true' EXIT

# client [TIME]: a signed client run on a version-1 installation that has never seen the tree (so
# that it reads every list and signature), or with from=installed-2 on a version-2 installation
# that holds 2.0's list and signatures; status in $status, the version reached in $reached ("1",
# "2", "3" or "mixed").
same_as() { diff -r -q -x logs -x zepo.lock -x 'autoupdate.*' -x update -x '*.ini' -x '*.enc' -x '*.sig' "$work/release-$1" "$work/install" > /dev/null 2>&1; }
client() {
  rm -rf "$work/install"
  copy_installation "$work/${from:-release-1}" "$work/install"
  status=0
  ${1:+faked "$1"} "$updater" --dir "$work/install" --host "localhost:$port" --public-key "$public" --quiet \
    > "$work/run.out" 2> "$work/run.err" || status=$?
  reached=mixed
  for r in 1 2 3; do same_as "$r" && reached=$r; done
  return 0
}
# Another clock for one command; file times stay as they are on disk.
# Under the sanitizers libfaketime is preloaded before their runtime, which they allow when told.
faked() { NO_FAKE_STAT=1 ASAN_OPTIONS="verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" faketime -f "$@"; }
copy_installation "$work/release-1" "$work/installed-2"
"$updater" --dir "$work/installed-2" --host "localhost:$port" --public-key "$public" --quiet > /dev/null 2>&1 ||
  fail "the first signed update failed"
rm -rf "$work/install" && cp -a "$work/installed-2" "$work/install"
same_as 2 || fail "the installation is not version 2"

# kill_at_every_write NAME COMMAND...: the command (against $served) killed before each of its
# writes in turn; after each kill a signed client must finish at the old version or the new one,
# and the same command run again must finish the work.
kill_at_every_write() {
  local name=$1
  shift
  rm -rf "$served" && cp -a "$work/start" "$served"
  ZEPO_PUBLISH_TRACE=1 "$@" > /dev/null 2> "$work/trace" || fail "$name: the command failed without a kill"
  local writes
  writes=$(grep -c '^write ' "$work/trace")
  local seen=""
  for n in $(seq 1 "$writes"); do
    rm -rf "$served" && cp -a "$work/start" "$served"
    local killed=0
    ZEPO_PUBLISH_KILL_AT=$n "$@" > "$work/out" 2>&1 || killed=$?
    [ "$killed" -eq 137 ] || fail "$name: not stopped at write $n of $writes (status $killed)"
    for from in release-1 installed-2; do
      client
      [ "$status" -eq 0 ] || fail "$name killed at write $n of $writes: the signed client from $from failed ($status)"
      [ "$reached" != mixed ] && [ "$reached" != 1 ] || fail "$name killed at write $n: the installation is $reached"
      seen="$seen$reached"
    done
    from=
    "$@" > "$work/out" 2>&1 || fail "$name after a kill at write $n: the command run again failed"
    client
    [ "$status" -eq 0 ] && [ "$reached" = "$expect_after" ] ||
      fail "$name after a kill at write $n and a rerun: status $status, version $reached, not $expect_after"
  done
  say "$name: killed at each of $writes writes; the signed client reached versions $(echo "$seen" | fold -w1 | sort -u | tr -d '\n') and, after a rerun, $expect_after"
}
cp -a "$work/base" "$work/start"
expect_after=3
kill_at_every_write "build 3.0" build "$served" 3.0 --sign "$key"
rm -rf "$work/start" && cp -a "$served" "$work/start"   # 3.0 live
expect_after=2
kill_at_every_write "rollback to 2.0" "$publish" rollback "$served" --to 2.0 --sign "$key"
expect_after=3
kill_at_every_write "resign" "$publish" resign "$served" --sign "$key"

# A full disk at the writes of the publication itself: the reason named, 3.0 still live.
rm -rf "$served" && cp -a "$work/base" "$served"
ZEPO_PUBLISH_TRACE=1 build "$work/trace-tree" 3.0 --sign "$key" > /dev/null 2> "$work/trace" || true
rm -rf "$work/trace-tree"
sig_write=$(grep -n '\.zepo-publishing/.*\.sig$' "$work/trace" | head -1 | cut -d: -f1)
status=0
ZEPO_PUBLISH_NOSPACE_AT=$sig_write build "$served" 3.0 --sign "$key" > "$work/out" 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -q "No space left on device" "$work/out" || fail "a full disk was not named ($status)"
"$publish" status "$served" > "$work/out" || fail "status after a failed build finds a problem"
grep -q "^live: 2.0" "$work/out" || fail "status after a failed build does not say 2.0 is live"
client
[ "$status" -eq 0 ] && [ "$reached" = 2 ] || fail "after a full disk the client did not stay at 2"
say "a full disk at a signature file is named and leaves 2.0 live"

# Two builds started together: the second waits for the first, and both releases are indexed.
rm -rf "$work/two" && cp -a "$work/base" "$work/two"
build "$work/two" 3.0 --sign "$key" > "$work/first.out" 2>&1 & first=$!
build "$work/two" 2.5 --sign "$key" --release "$work/release-3" > "$work/second.out" 2>&1 || fail "the second build failed"
wait "$first" || fail "the first build failed"
for v in 1.0 2.0 2.5 3.0; do grep -q "^\[$v\]" "$work/two/velora/releases.ini" || fail "release $v is not indexed"; done
"$publish" verify "$work/two" --public-key "$public" > "$work/out" || fail "verify refuses the tree of two builds"
flock "$work/two/.zepo-publish.lock" sleep 3 & holder=$!
# Until the holder has the lock: a probe that takes it without waiting fails then.
for _ in $(seq 50); do flock -n "$work/two/.zepo-publish.lock" true 2>/dev/null || break; sleep 0.05; done
status=0
build "$work/two" 4.0 --sign "$key" --release "$work/release-1" --no-wait > "$work/out" 2>&1 || status=$?
[ "$status" -eq 4 ] && grep -q "another zepo-publish" "$work/out" || fail "--no-wait on a busy tree ended with $status"
[ ! -e "$work/two/velora/files/4.0" ] || fail "--no-wait on a busy tree wrote into it"
build "$work/two" 4.0 --sign "$key" --release "$work/release-1" > "$work/out" 2>&1 || fail "a waiting build failed"
grep -q "waiting" "$work/out" || fail "a build that waited did not say so"
wait "$holder" || true
say "two builds at once are both indexed; --no-wait ends with 4; a build waits for the lock"

# A signed tree stays signed.
rm -rf "$work/copy" && cp -a "$work/base" "$work/copy"
status=0
build "$work/copy" 3.0 > "$work/out" 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -q "is signed" "$work/out" || fail "an unsigned build into a signed tree ended with $status"
[ ! -e "$work/copy/velora/files/3.0" ] || fail "an unsigned build into a signed tree wrote into it"
status=0
"$publish" rollback "$work/copy" --to 1.0 > "$work/out" 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -q "is signed" "$work/out" || fail "an unsigned rollback of a signed tree ended with $status"
build "$work/copy" 3.0 --unsigned > "$work/out" 2>&1 || fail "--unsigned was refused"
! ls "$work/copy"/rootfolder.enc.sig "$work/copy"/velora/*.sig > /dev/null 2>&1 || fail "--unsigned left signatures"
say "a signed tree stays signed unless --unsigned, which takes the signatures away"

# Releases that take players' files away.
mkdir -p "$work/empty"
rm -rf "$work/copy" && cp -a "$work/base" "$work/copy"
status=0
"$publish" build --release "$work/empty" --version 9.0 --out "$work/copy" --product velora/ --sign "$key" \
  > "$work/out" 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -q "would remove 3 of the 3 files" "$work/out" || fail "an empty release ended with $status"
"$publish" build --release "$work/empty" --version 9.0 --out "$work/copy" --product velora/ --sign "$key" \
  --allow-removals > /dev/null 2>&1 || fail "--allow-removals was refused"
rm -rf "$work/copy" && cp -a "$work/base" "$work/copy"
rm -r "$work/copy/velora/files/1.0/data"
status=0
"$publish" rollback "$work/copy" --to 1.0 --sign "$key" > "$work/out" 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -q "not in the tree" "$work/out" || fail "a rollback to missing files ended with $status"
grep -q "^Live=2.0" "$work/copy/velora/releases.ini" || fail "a refused rollback changed the index"
say "an empty release and a rollback to missing files are refused"

# status and verify read what clients are served.
rm -rf "$work/copy" && cp -a "$work/base" "$work/copy"
sed -i 's/^Live=2.0/Live=1.0/' "$work/copy/velora/releases.ini"
status=0
"$publish" status "$work/copy" > "$work/out" 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -q "serves version 2.0, but the release index says 1.0" "$work/out" ||
  fail "status trusted the index ($status)"
"$publish" verify "$work/copy" > "$work/out" 2>&1 && fail "verify trusted the index"
sed -i 's/^Live=1.0/Live=/' "$work/copy/velora/releases.ini"
"$publish" status "$work/copy" > "$work/out" 2>&1 && fail "status took an index without a live version"
status=0
"$publish" verify "$work/copy" --public-key nothex > "$work/out" 2>&1 || status=$?
[ "$status" -eq 2 ] && grep -q '"nothex" is not a key' "$work/out" || fail "a malformed --public-key ended with $status"
say "status and verify report lists that the index does not name"

# A month without a release, and a re-sign on day 29 (with a copy of the key, whose serial file
# then runs 29 days ahead of this clock).
rm -rf "$served" && cp -a "$work/base" "$served"
cp -p "$key" "$work/month.key"
client "+31d"
[ "$status" -eq 1 ] && grep -q "expired on .*not renewed" "$work/run.err" || fail "day 31 without a re-sign: $status"
faked "+29d" "$publish" resign "$served" --sign "$work/month.key" > "$work/out" 2>&1 || fail "resign on day 29 failed"
faked "+29d" "$publish" status "$served" > "$work/out" 2>&1 || fail "status on day 29 finds a problem"
grep -q "signatures valid until" "$work/out" || fail "status does not say when the signatures expire"
faked "+55d" "$publish" status "$served" > "$work/out" 2>&1 || fail "status on day 55 finds a problem"
grep -q "warning: the live signatures expire in under 7 days" "$work/out" || fail "status on day 55 does not warn"
for day in 31 58; do
  client "+${day}d"
  [ "$status" -eq 0 ] && [ "$reached" = 2 ] || fail "day $day after a re-sign on day 29: $status, version $reached"
done
client "+3650d"
grep -q "check the computer's clock" "$work/run.err" || fail "a clock ten years ahead is not named"
say "re-signed on day 29, clients update on days 31 and 58; day 31 without it says why"

# Serials: kept beside the key; a tree made anew signs above them; a clock a year ahead once.
serial_of() { sed -n 's/^serial //p' "$1"; }
last=$(cat "$key.serial")
[ "$last" -ge "$(serial_of "$work/two/velora/filelist.enc.sig")" ] || fail "the key's serial is below a tree's"
build "$work/fresh" 1.0 --sign "$key" > /dev/null
[ "$(serial_of "$work/fresh/velora/filelist.enc.sig")" -gt "$last" ] || fail "a tree made anew signs below the last serial"
"$publish" keygen --out "$work/ahead.key" > /dev/null
faked "+365d" "$publish" build --release "$work/release-1" --version 1.0 --out "$work/ahead" --sign "$work/ahead.key" > /dev/null
status=0
build "$work/ahead2" 1.0 --sign "$work/ahead.key" > "$work/out" 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -q "ahead of this computer's clock" "$work/out" || fail "a serial a year ahead was taken ($status)"
build "$work/ahead2" 1.0 --sign "$work/ahead.key" --serial-ahead > /dev/null 2>&1 || fail "--serial-ahead was refused"
chmod 644 "$key"
status=0
build "$work/copy2" 1.0 --sign "$key" > "$work/out" 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -q "may be read by others" "$work/out" || fail "a key file others may read was used ($status)"
build "$work/copy2" 1.0 --sign "$key" --insecure-key > /dev/null 2>&1 || fail "--insecure-key was refused"
chmod 600 "$key"
say "serials survive a new tree; a serial ahead of the clock and a readable key are refused"

# push to an rsync daemon, with nginx serving the destination: killed before each upload.
free_port rsync_port
mkdir -p "$work/dest"
cat > "$work/rsyncd.conf" <<CONF
pid file = $work/rsyncd.pid
use chroot = false
uid = $(id -u)
gid = $(id -g)
[site]
path = $work/dest
read only = false
CONF
rsync --daemon --no-detach --address=127.0.0.1 --port="$rsync_port" --config="$work/rsyncd.conf" --log-file="$work/rsyncd.log" &
daemon=$!
for _ in $(seq 50); do rsync --list-only "rsync://127.0.0.1:$rsync_port/site/" > /dev/null 2>&1 && break; sleep 0.1; done
dest="rsync://127.0.0.1:$rsync_port/site/velora-cdn"
rm -rf "$served" && cp -a "$work/base" "$served"
"$publish" push "$served" "$dest" > "$work/out" 2>&1 || fail "the first push failed"
rm -rf "$served" && ln -s "$work/dest/velora-cdn" "$served"
client
[ "$status" -eq 0 ] && [ "$reached" = 2 ] || fail "the pushed tree does not update clients ($status)"
cp -a "$work/base" "$work/pushed" && build "$work/pushed" 3.0 --sign "$key" > /dev/null
ZEPO_PUBLISH_TRACE=1 "$publish" push "$work/pushed" "$work/scratch-dest" > /dev/null 2> "$work/trace"
steps=$(grep -c '^write ' "$work/trace")
for n in $(seq 1 "$steps"); do
  killed=0
  ZEPO_PUBLISH_KILL_AT=$n "$publish" push "$work/pushed" "$dest" > "$work/out" 2>&1 || killed=$?
  [ "$killed" -eq 137 ] || fail "push not stopped before upload $n ($killed)"
  client
  [ "$status" -eq 0 ] && [ "$reached" != mixed ] || fail "push stopped before upload $n of $steps: the client failed ($status)"
done
"$publish" push "$work/pushed" "$dest" > "$work/out" 2>&1 || fail "the push run again failed"
client
[ "$status" -eq 0 ] && [ "$reached" = 3 ] || fail "after the push the client did not reach 3 ($status, $reached)"
"$publish" push "$work/pushed" "$dest" > "$work/out" 2>&1 || fail "a third push failed"
grep -q "^objects: 0 new or changed files sent" "$work/out" || fail "a push of an unchanged tree sent files: $(head -1 "$work/out")"
mkdir -p "$work/dest/velora-cdn/velora/files/0.9" && echo stray > "$work/dest/velora-cdn/velora/files/0.9/old.pak"
"$publish" push "$work/pushed" "$dest" > /dev/null 2>&1
[ -e "$work/dest/velora-cdn/velora/files/0.9/old.pak" ] || fail "push deleted without --prune"
"$publish" push "$work/pushed" "$dest" --prune > /dev/null 2>&1 || fail "push --prune failed"
[ ! -e "$work/dest/velora-cdn/velora/files/0.9/old.pak" ] || fail "push --prune kept an object the tree does not hold"
client
[ "$status" -eq 0 ] && [ "$reached" = 3 ] || fail "after push --prune the client did not reach 3"
say "push: stopped before each of its $steps uploads, clients kept working; a rerun finished; --prune prunes"
say "passed"
