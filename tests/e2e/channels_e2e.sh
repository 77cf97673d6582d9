#!/usr/bin/env bash
# End to end, channels: zepo-publish builds release 1.0 on the stable channel and 2.0 on beta into
# one signed tree (one store of content); nginx serves it; real updaters follow either channel:
# - a stable and a beta installation side by side each reach their channel's release exactly;
# - one installation switched stable -> beta -> stable -> beta ends byte-exact each time, keeps
#   following the channel it was given, and a switch downloads about what differs, not the game;
# - a beta list (with its signature) served at the stable channel's path is refused, signed by its
#   signature's file name and unsigned by the list's own channel;
# - promote moves 2.0 to stable without a build: stable clients reach it, status names both
#   channels' live versions, verify accepts the tree.
#   channels_e2e.sh WORK PUBLISH UPDATER [WINE_PREFIX]
set -euo pipefail
work=$1 publish=$2 updater=$3 prefix=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
source "$here/../support/installation.sh"
rm -rf "$work"
mkdir -p "$work/temp"
fail() { echo "channels_e2e: $*"; tail -3 "$work/run.out" 2>/dev/null; exit 1; }

# Two releases: a 3 MiB pack edited in 100,000 bytes, a readme that changes, a file only 2.0 has.
mkdir -p "$work/release-1/data" "$work/release-2/data"
head -c $((3 << 20)) /dev/urandom > "$work/release-1/data/world.pak"
cp "$work/release-1/data/world.pak" "$work/release-2/data/world.pak"
head -c 100000 /dev/urandom | dd of="$work/release-2/data/world.pak" bs=1 seek=$((1 << 20)) conv=notrunc status=none
echo "the stable release" > "$work/release-1/readme.txt"
echo "the beta release" > "$work/release-2/readme.txt"
echo "new in the beta" > "$work/release-2/data/beta.txt"
touch -d "2026-01-01 10:00" "$work/release-1"/* "$work/release-1"/*/*
touch -d "2026-02-01 10:00" "$work/release-2"/* "$work/release-2"/*/*

"$publish" keygen --out "$work/publisher.key" > "$work/public.txt"
key=$(tail -n 1 "$work/public.txt")
tree="$work/tree"
"$publish" build -q --release "$work/release-1" --version 1.0 --out "$tree" --product velora/ --sign "$work/publisher.key"
"$publish" build -q --release "$work/release-2" --version 2.0 --out "$tree" --product velora/ --channel beta \
  --sign "$work/publisher.key"
[ -f "$tree/velora/channels/beta/filelist.enc" ] || fail "the beta channel's list is not under channels/beta/"
[ -f "$tree/velora/files/2.0/data/world.pak" ] || fail "the beta release's files are not in the shared store"
"$publish" verify "$tree" --public-key "$key" > "$work/verify.out" || { cat "$work/verify.out"; fail "verify refuses the tree"; }

source "$here/../support/nginx.sh"

# run INSTALL ARGUMENT...: one run of the updater; its status in $status, its requests in
# $work/requests.
run() {
  local install=$1
  shift
  : > "$work/access.log"
  kill -USR1 "$nginx_pid"
  sleep 0.1
  status=0
  if [ -n "$prefix" ]; then
    "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$install" --host "localhost:$port" --quiet "$@" \
      > "$work/run.out" 2>&1 || status=$?
  else
    "$updater" --dir "$install" --host "localhost:$port" --quiet "$@" > "$work/run.out" 2>&1 || status=$?
  fi
  cp "$work/access.log" "$work/requests"
}
# update INSTALL RELEASE WHAT ARGUMENT...: a run that must bring the installation to RELEASE.
update() {
  local install=$1 release=$2 what=$3
  shift 3
  run "$install" "$@"
  [ "$status" -eq 0 ] || fail "$what: exit $status"
  diff -r -q -x logs -x log.ini -x zepo.lock -x 'autoupdate.*' -x update "$release" "$install" > "$work/diff.out" ||
    { cat "$work/diff.out"; fail "$what: not $release"; }
}
fetched() { awk '$2 ~ /^\/velora\/(files|patches|patches2|chunks)\// && $4 ~ /^2/ { s += $5 } END { print s + 0 }' "$work/requests"; }

start_nginx "$tree"
copy_installation "$work/release-1" "$work/stable"
copy_installation "$work/release-1" "$work/beta"
update "$work/stable" "$work/release-1" "a stable installation" --public-key "$key"
update "$work/beta" "$work/release-2" "a beta installation" --public-key "$key" --channel beta
grep -q "GET /velora/channels/beta/filelist.enc " "$work/requests" || fail "the beta client did not ask for beta's list"
# Each run tells the server how it ended: channel, version, result and a bucket, nothing else.
grep -qE "^GET /velora/report/beta/2\.0/ok/bucket-[0-9]+ HTTP/1\.1 404" "$work/requests" ||
  fail "the beta run's result was not told: $(grep report "$work/requests" || echo none)"
echo "channels_e2e: a stable and a beta installation each reached their channel's release, and told how it went"

# Switched three times, each ending byte-exact; the channel given is kept.
grep -q "^Channel=beta" "$work/beta/log.ini" || fail "the installation does not keep following beta"
update "$work/beta" "$work/release-2" "a run of the beta installation without --channel" --public-key "$key"
[ "$(fetched)" -eq 0 ] || fail "a beta installation up to date downloaded $(fetched) bytes"
update "$work/beta" "$work/release-1" "the switch back to stable" --public-key "$key" --channel stable
back=$(fetched)
update "$work/beta" "$work/release-2" "the switch to beta again" --public-key "$key" --channel beta
again=$(fetched)
# The pack differs by 100,000 bytes: a switch moves its changed chunks (a few of 256 KiB at most)
# and the small files, never the 3 MiB pack whole.
for bytes in "$back" "$again"; do
  [ "$bytes" -lt 1500000 ] || fail "a switch between the channels downloaded $bytes bytes"
done
echo "channels_e2e: one installation switched stable, beta, stable, beta byte-exact ($back and $again bytes)"

if [ -z "$prefix" ]; then
  "$updater" --dir "$work/stable" --host "localhost:$port" --public-key "$key" --json > "$work/run.json" ||
    fail "a run with --json failed"
  grep -q '"channel": "stable"' "$work/run.json" || fail "--json does not name the channel: $(cat "$work/run.json")"
fi

# The game's installer may name the channel in log.ini; a name that does not read is said, and
# the default channel followed.
copy_installation "$work/release-1" "$work/installed-beta"
printf 'Channel=beta\r\n' >> "$work/installed-beta/log.ini"
update "$work/installed-beta" "$work/release-2" "an installation whose log.ini names beta" --public-key "$key"
copy_installation "$work/release-1" "$work/misnamed"
printf 'Channel=Beta!\r\n' >> "$work/misnamed/log.ini"
update "$work/misnamed" "$work/release-1" "an installation whose log.ini names no channel that reads" --public-key "$key"
[ -n "$prefix" ] || grep -q 'Channel=Beta! is not a channel' "$work/run.out" || fail "a channel that does not read is not said"
printf 'Report=0\r\n' >> "$work/misnamed/log.ini"
update "$work/misnamed" "$work/release-1" "an installation that reports nothing" --public-key "$key"
! grep -q "/report/" "$work/requests" || fail "Report=0 still told the run's result"
echo "channels_e2e: Channel= in log.ini is followed, one that does not read is said, and Report=0 tells nothing"

# The beta list at the stable channel's path: refused, signed or not.
cp -a "$tree" "$work/mixed"
for f in filelist.enc filelist.enc.sig filelistfull.enc filelistfull.enc.sig; do
  cp "$tree/velora/channels/beta/$f" "$work/mixed/velora/$f"
done
start_nginx "$work/mixed"
copy_installation "$work/release-1" "$work/victim"
run "$work/victim" --public-key "$key"
[ "$status" -eq 1 ] && grep -q "SIGNATURE_REFUSED.*channels/beta/filelist.enc" "$work/run.out" ||
  fail "a beta list at stable's path, signed: exit $status"
rm -rf "$work/victim" && copy_installation "$work/release-1" "$work/victim"
run "$work/victim"
[ "$status" -eq 1 ] && grep -q "the list of the channel beta" "$work/run.out" ||
  fail "a beta list at stable's path, unsigned client: exit $status"
diff -r -q -x logs -x log.ini -x zepo.lock -x 'autoupdate.*' -x update "$work/release-1" "$work/victim" > /dev/null ||
  fail "a refused list changed the installation"
echo "channels_e2e: a beta list served at the stable channel's path was refused, signed and unsigned"

# Promoted without a build: stable clients reach 2.0.
start_nginx "$tree"
before=$(du -sb "$tree/velora/files" | cut -f1)
"$publish" promote "$tree" --from beta --to stable --sign "$work/publisher.key" > "$work/promote.out" ||
  { cat "$work/promote.out"; fail "promote failed"; }
[ "$(du -sb "$tree/velora/files" | cut -f1)" -eq "$before" ] || fail "promote wrote release files"
"$publish" status "$tree" > "$work/status.out" || { cat "$work/status.out"; fail "status finds problems"; }
grep -q "channels: stable 2.0 (shown), beta 2.0" "$work/status.out" || fail "status: $(head -2 "$work/status.out")"
"$publish" verify "$tree" --public-key "$key" > "$work/verify.out" || { cat "$work/verify.out"; fail "verify refuses the promoted tree"; }
update "$work/stable" "$work/release-2" "a stable installation after the promotion" --public-key "$key"
echo "channels_e2e: 2.0 promoted from beta to stable without a build; the stable installation reached it"

# A staged rollout of 3.0 on stable beside 2.0, to half the installations: one installation whose
# bucket for 3.0 lies under 5,000 takes it, one above stays; a generated hour of reports in which
# 3.0 fails for 8% of 250 runs halts it from rollout-status; --back sends the one that took it back.
mkdir -p "$work/release-3/data"
cp -a "$work/release-2/." "$work/release-3/"
head -c 100000 /dev/urandom | dd of="$work/release-3/data/world.pak" bs=1 seek=$((2 << 20)) conv=notrunc status=none
echo "the third release" > "$work/release-3/readme.txt"
touch -d "2026-03-01 10:00" "$work/release-3"/* "$work/release-3"/*/*
"$publish" build -q --release "$work/release-3" --version 3.0 --out "$tree" --product velora/ --channel beta \
  --sign "$work/publisher.key"
"$publish" rollout "$tree" --version 3.0 --percent 50 --sign "$work/publisher.key" > "$work/rollout.out" ||
  { cat "$work/rollout.out"; fail "the rollout failed"; }
bucket() { printf '%s\n%s' "$1" "$2" | sha256sum | cut -c1-15 | { read -r hex; echo $(( 16#$hex % 10000 )); }; }
low= high=
for i in $(seq 1 64); do
  id=$(printf 'installation %d' "$i" | md5sum | cut -c1-32)
  b=$(bucket "$id" 3.0)
  if [ "$b" -lt 5000 ] && [ -z "$low" ]; then low=$id; fi
  if [ "$b" -ge 5000 ] && [ -z "$high" ]; then high=$id; fi
done
for who in low high; do
  rm -rf "$work/$who" && copy_installation "$work/release-2" "$work/$who"
  [ "$who" = low ] && echo "$low" > "$work/$who/autoupdate.id" || echo "$high" > "$work/$who/autoupdate.id"
done
update "$work/low" "$work/release-3" "an installation under the rollout's share" --public-key "$key"
forward=$(fetched)
grep -q "GET /velora/rollout/filelist.enc " "$work/requests" || fail "the rollout's list was not asked for"
update "$work/high" "$work/release-2" "an installation above the rollout's share" --public-key "$key"
"$publish" status "$tree" | grep -q "rollout: 3.0 to 50% of the installations (running)" || fail "status does not show the rollout"
# The daily resign renews the rollout's signatures with the channel's.
"$publish" resign "$tree" --sign "$work/publisher.key" > /dev/null || fail "resign failed during the rollout"
[ "$(grep serial "$tree/velora/rollout/filelist.enc.sig")" = "$(grep serial "$tree/velora/filelist.enc.sig")" ] ||
  fail "resign left the rollout's list signed under an older serial"
echo "channels_e2e: 3.0 rolled out to 50%: the installation under the share took it, the one above stayed on 2.0"

{
  for i in $(seq 1 230); do echo "127.0.0.1 - - [09/Dec/2026:10:00:00 +0000] \"GET /velora/report/stable/3.0/ok/bucket-$i HTTP/1.1\" 404 153 \"-\" \"-\""; done
  for i in $(seq 1 20); do echo "127.0.0.1 - - [09/Dec/2026:10:00:01 +0000] \"GET /velora/report/stable/3.0/STAGE_BAD_CONTENT/bucket-$i HTTP/1.1\" 404 153 \"-\" \"-\""; done
  for i in $(seq 1 500); do echo "127.0.0.1 - - [09/Dec/2026:10:00:02 +0000] \"GET /velora/report/stable/2.0/ok/bucket-$i HTTP/1.1\" 404 153 \"-\" \"-\""; done
} > "$work/reports.log"
"$publish" rollout-status "$tree" --access-log "$work/reports.log" --halt-at 10% --min 200 --sign "$work/publisher.key" \
  > "$work/watch.out" || { cat "$work/watch.out"; fail "rollout-status failed"; }
grep -q "halted" "$work/watch.out" && fail "rollout-status halted 3.0 under its limit"
"$publish" rollout-status "$tree" --access-log "$work/reports.log" --halt-at 5% --min 200 --sign "$work/publisher.key" \
  > "$work/watch.out" || { cat "$work/watch.out"; fail "rollout-status failed"; }
grep -qE "3\.0 +250 +20 +8\.00%  STAGE_BAD_CONTENT 20" "$work/watch.out" || { cat "$work/watch.out"; fail "rollout-status counts"; }
grep -q "the rollout is halted" "$work/watch.out" || { cat "$work/watch.out"; fail "rollout-status did not halt 3.0"; }
"$publish" status "$tree" --access-log "$work/reports.log" > "$work/status.out" || true
grep -qE "rollout: 3\.0 to 50% of the installations \(halted\)" "$work/status.out" &&
  grep -qE "2\.0 +500 +0 +0\.00%" "$work/status.out" || { cat "$work/status.out"; fail "status with the log"; }
update "$work/low" "$work/release-3" "an installation that took the halted version" --public-key "$key"
rm -rf "$work/third" && copy_installation "$work/release-2" "$work/third" && echo "$low" > "$work/third/autoupdate.id"
update "$work/third" "$work/release-2" "a new installation under the halted rollout's share" --public-key "$key"
"$publish" rollout "$tree" --halt --back --sign "$work/publisher.key" > /dev/null || fail "rollout --halt --back failed"
update "$work/low" "$work/release-2" "an installation sent back" --public-key "$key"
back=$(fetched)
[ "$back" -le $((2 * forward)) ] || fail "sent back with $back bytes, the way forward took $forward"
"$publish" verify "$tree" --public-key "$key" > "$work/verify.out" || { cat "$work/verify.out"; fail "verify refuses the tree"; }
echo "channels_e2e: 8% of 250 reports failing halted the rollout; the installation that took 3.0 kept it, then went back with $back bytes (forward $forward)"
