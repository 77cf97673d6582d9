#!/usr/bin/env bash
# A hung mirror: one name with two addresses (a hosts file of the test's own, in a mount
# namespace), an nginx on each, both serving the same tree slowly. Mid-run the nginx that the
# client took is stopped (SIGSTOP): its connections stay open and silent. The run must leave it
# for the other address at once, finish at version 2, and name the stall ("no data for N s from
# ADDRESS"); it must not wait out the hung address attempt after attempt. Skipped (77) where no
# mount namespace can be made.
#   hung_mirror_e2e.sh WORK PUBLISH UPDATER
set -euo pipefail
work=$1 publish=$2 updater=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
source "$here/../support/installation.sh"
rm -rf "$work"
mkdir -p "$work/a/temp" "$work/b/temp"
work=$(cd "$work" && pwd)
fail() { echo "hung_mirror_e2e: $*"; tail -3 "$work/run.err" 2>/dev/null; exit 1; }
printf '127.0.0.1 localhost\n127.0.0.1 patch.zepo.test\n127.0.0.2 patch.zepo.test\n' > "$work/hosts"
unshare -m --propagation private sh -c "mount --bind '$work/hosts' /etc/hosts" 2>/dev/null ||
  { echo "hung_mirror_e2e: no mount namespace here; skipped"; exit 77; }

mkdir -p "$work/release-1/data" "$work/release-2/data"
for i in $(seq 1 24); do
  head -c 120000 /dev/urandom > "$work/release-2/data/part$i.pak"
  printf 'old %s\n' "$i" > "$work/release-1/data/part$i.pak"
done
"$publish" build --release "$work/release-1" --version 1.0 --out "$work/tree" --format 1 > /dev/null
"$publish" build --release "$work/release-2" --version 2.0 --out "$work/tree" --format 1 > /dev/null
free_port port
for side in a b; do
  address=127.0.0.1
  [ "$side" = b ] && address=127.0.0.2
  sed -e "s|@WORK@|$work/$side|g" -e "s|@ROOT@|$work/tree|g" -e "s|127.0.0.1:@PORT@|$address:$port|g" \
    -e "s|@RATE@|100k|g" "$here/nginx.conf.in" > "$work/$side/nginx.conf"
  /usr/sbin/nginx -c "$work/$side/nginx.conf" -p "$work/$side"
done
stopped=
trap 'for s in a b; do p=$(cat "$work/$s/nginx.pid" 2>/dev/null) || continue; pkill -CONT -P "$p" 2>/dev/null; kill -CONT "$p" 2>/dev/null; kill "$p" 2>/dev/null; done; true' EXIT

copy_installation "$work/release-1" "$work/install"
start=$(date +%s)
unshare -m --propagation private sh -c "mount --bind '$work/hosts' /etc/hosts && exec '$updater' --dir '$work/install' --host patch.zepo.test:$port --quiet --log-level 3" \
  > "$work/run.out" 2> "$work/run.err" &
client=$!
# The side that serves the run is stopped once it has served a few files.
for _ in $(seq 100); do
  for side in a b; do
    if [ "$(grep -c '/files/2.0/' "$work/$side/access.log" 2>/dev/null || true)" -ge 2 ]; then stopped=$side; break 2; fi
  done
  sleep 0.1
done
[ -n "$stopped" ] || fail "the run did not start downloading"
master=$(cat "$work/$stopped/nginx.pid")
kill -STOP "$master"
pkill -STOP -P "$master"
status=0
wait "$client" || status=$?
seconds=$(( $(date +%s) - start ))
[ "$status" -eq 0 ] || fail "the run with a hung mirror ended with $status"
diff -r -q -x logs -x zepo.lock -x 'autoupdate.*' -x update -x '*.ini' -x '*.enc' "$work/release-2" "$work/install" > /dev/null ||
  fail "the installation is not version 2"
iconv -f UTF-16LE -t UTF-8 "$work/install"/logs/zepo/*.log | grep -q "no data for [0-9]* s from 127.0.0." ||
  fail "the log does not name the stall and its address"
# Far below what waiting out the hung address attempt after attempt took (three minutes).
[ "$seconds" -lt 60 ] || fail "the run took $seconds s"
echo "hung_mirror_e2e: the mirror that served the run ($stopped) hung; the run finished in $seconds s"
