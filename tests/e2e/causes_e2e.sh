#!/usr/bin/env bash
# Every failure says why: zepo-update, run against nginx on loopback, fails on each cause below
# with exit 1 and one "error:" line on stderr that names the step, the code, what it worked on
# and the cause, and leaves the installation as it was.
#   no such host, a refused port, a file the server does not have (404), a file whose content is
#   not what the list says (checksum mismatch), a full disk (natively: a 256 KiB tmpfs, which
#   needs root), a file held open by another program (under Wine: a sharing violation); under
#   Wine also a file held at the commit by another program for 5 s (the run waits, then finishes)
#   and for 60 s (the run fails after 30 s of waiting, nothing replaced, the holder named).
#   causes_e2e.sh WORK TREE_TOOL UPDATER [WINE_PREFIX HOLDER]
# HOLDER is restart-probe.exe, which holds a file open without sharing.
set -euo pipefail
work=$1 tool=$2 updater=$3 prefix=${4:-} holder=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
rm -rf "$work"
mkdir -p "$work/temp"
root="$work/www" install="$work/install"

free_port port
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$root|g" -e "s|@PORT@|$port|g" -e "s|@RATE@|0|g" "$here/nginx.conf.in" > "$work/nginx.conf"
"$tool" build "$root" "$install"
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work"
cleanup() {
  kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  mountpoint -q "$work/small" 2>/dev/null && umount "$work/small"
  return 0
}
trap cleanup EXIT

fail() { echo "causes_e2e: $*"; cat "$work/run.err" 2>/dev/null; exit 1; }
# The game's files; the updater's own (its lock, its caches of the lists) are not compared.
snapshot() { (cd "$1" && find . -path ./logs -prune -o -path ./update -prune -o -name zepo.lock -o -name "autoupdate.*" -o -type f -print0 | sort -z | xargs -0 md5sum); }

# run FOLDER HOST: the updater's stderr goes to run.err, its exit status to $status.
run() {
  status=0
  if [ -n "$prefix" ]; then
    "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$1" --host "$2" --quiet > "$work/run.out" 2> "$work/run.err" || status=$?
  else
    "$updater" --dir "$1" --host "$2" --quiet > "$work/run.out" 2> "$work/run.err" || status=$?
  fi
}

# expect_failure WHAT FOLDER HOST PATTERN...: the run fails with exit 1, its one error line
# matches every pattern (extended regular expressions), and the installation is untouched.
# failed_with WHAT PATTERN...: the last run failed with exit 1 and one error line that matches
# every pattern (extended regular expressions), left in $line.
failed_with() {
  local what=$1
  shift
  [ "$status" -eq 1 ] || fail "$what: exit $status, not 1"
  local lines
  lines=$(grep -c "zepo-update: error: " "$work/run.err" || true)
  [ "$lines" -eq 1 ] || fail "$what: $lines error lines, not 1"
  line=$(grep "zepo-update: error: " "$work/run.err" | tr -d '\r')
  for pattern in "$@"; do
    grep -qE -- "$pattern" <<<"$line" || fail "$what: the error line does not match \"$pattern\": $line"
  done
}

expect_failure() {
  local what=$1 folder=$2 host=$3
  shift 3
  local before
  before=$(snapshot "$folder")
  run "$folder" "$host"
  failed_with "$what" "$@"
  [ "$(snapshot "$folder")" = "$before" ] || fail "$what: the installation changed"
  [ -z "$(tr -d '\r' < "$work/run.out")" ] || fail "$what: --quiet printed more than the error line"
  echo "causes_e2e: $what: $line"
}

expect_failure "no such host" "$install" "nosuchhost.invalid" \
  "connect to the patch server \[nosuchhost.invalid\]" "CONNECT_NO_ADDRESS" "resolver"
expect_failure "refused port" "$install" "127.0.0.1:1" \
  "connect to the patch server \[127.0.0.1:1\]" "CONNECT_NO_PROBE" "detectfile.enc"

# The server lacks one file of the list.
mv "$root/velora/v2/b.dat" "$work/b.dat.saved"
expect_failure "missing file" "$install" "localhost:$port" \
  "download \[http://127.0.0.1:$port/velora/v2/b.dat\]" "HTTP_NOT_FOUND" "the server answered 404"
# For scripts, the same failure as one JSON object on stdout with the error in its parts.
status=0
if [ -n "$prefix" ]; then
  "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$install" --host "localhost:$port" --json \
    > "$work/json.out" 2> "$work/run.err" || status=$?
else
  "$updater" --dir "$install" --host "localhost:$port" --json > "$work/json.out" 2> "$work/run.err" || status=$?
fi
[ "$status" -eq 1 ] && [ "$(wc -l < "$work/json.out")" -eq 1 ] || fail "--json: exit $status, $(cat "$work/json.out")"
for field in '"result": "failed"' '"exit": 1' '"code": "HTTP_NOT_FOUND"' '"step": "download"' \
    "\"file\": \"http://127.0.0.1:$port/velora/v2/b.dat\"" '"cause": "the server answered 404"'; do
  grep -qF -- "$field" "$work/json.out" || fail "--json does not say $field: $(cat "$work/json.out")"
done
mv "$work/b.dat.saved" "$root/velora/v2/b.dat"

# A file whose packed content is another file's: it unpacks, but not to what the list says.
cp "$root/velora/v2/b.dat" "$work/b.dat.saved"
cp "$root/velora/v2/same.dat" "$root/velora/v2/b.dat"
expect_failure "checksum mismatch" "$install" "localhost:$port" \
  "unpack \[b.dat\]" "STAGE_BAD_CONTENT" "MD5 is [0-9a-f]{32}, the list says [0-9a-fA-F]{32}"
cp "$work/b.dat.saved" "$root/velora/v2/b.dat"
rm -rf "$install/update"

if [ -z "$prefix" ]; then
  # A full disk: the installation on a file system too small for data/big.pak (300,000 bytes);
  # with downloads side by side, the file that meets the full disk first may be another, and it
  # may meet it in its download, its unpacking or its rebuild.
  mkdir -p "$work/small"
  if mount -t tmpfs -o size=256k tmpfs "$work/small" 2>/dev/null; then
    cp -a "$install/." "$work/small/"
    expect_failure "full disk" "$work/small" "localhost:$port" \
      "(download \[http://127.0.0.1:$port/velora/|unpack \[|rebuild \[)" "HTTP_DISK_FULL" "No space left on device"
    # The player reads it as a full disk, with the drive and the room the update needs.
    "$updater" --dir "$work/small" --host "localhost:$port" --connections 1 --lang vi > "$work/run.out" 2>&1 || true
    grep -qE "Ổ đĩa đã đầy: cần thêm (ít nhất [0-9.]+ [KMG]?B|chỗ) trống trên ổ $work/small" "$work/run.out" ||
      fail "full disk: the status does not say so: $(tail -2 "$work/run.out")"
    umount "$work/small"
  else
    echo "causes_e2e: full disk: skipped, a tmpfs cannot be mounted here (root is needed)"
  fi
else
  # A file that another program holds open without sharing cannot even be read for its check:
  # the run stops before it touches anything, says so and names the file.
  "$here/../../cmake/wine-run" "$prefix" "$holder" --hold "Z:$install/b.dat" 60 > "$work/holder.out" 2>&1 &
  holding=$!
  for _ in $(seq 1 100); do grep -q "holding" "$work/holder.out" 2>/dev/null && break; sleep 0.1; done
  grep -q "holding" "$work/holder.out" || fail "the holder did not start"
  status=0
  "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$install" --host "localhost:$port" --lang vi \
    > "$work/run.out" 2> "$work/run.err" || status=$?
  kill "$holding" 2>/dev/null || true
  wait "$holding" 2>/dev/null || true
  failed_with "locked file" "check \[b.dat\]" "CHECK_UNREADABLE_FILE" "([Ss]haring violation|used by another process)"
  grep -q "Không đọc được tập tin \[b.dat\]" "$work/run.out" || fail "locked file: the status does not name b.dat"
  echo "causes_e2e: locked file: $line"
  # Once the file is free the next run finishes from what it staged.
  run "$install" "localhost:$port"
  [ "$status" -eq 0 ] || fail "the run after the locked file ended with $status"

  # Held at the commit, as a virus scanner holds a file: the run has checked its files and is
  # downloading (slowly, from a second nginx) when another program opens b.dat without sharing.
  slow="$work/slow"
  mkdir -p "$slow/temp"
  free_port slow_port
  sed -e "s|@WORK@|$slow|g" -e "s|@ROOT@|$root|g" -e "s|@PORT@|$slow_port|g" -e "s|@RATE@|60k|g" \
    "$here/nginx.conf.in" > "$slow/nginx.conf"
  /usr/sbin/nginx -c "$slow/nginx.conf" -p "$slow"
  trap 'kill "$(cat "$slow/nginx.pid")" 2>/dev/null || true; cleanup' EXIT
  # held_at_commit SECONDS: a fresh version-1 installation updated while b.dat is held that long
  # from the first download on; the run's exit status in $status.
  held_at_commit() {
    rm -rf "$install"
    "$tool" build "$root" "$install"
    before=$(snapshot "$install")
    : > "$slow/access.log"
    status=0
    "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$install" --host "localhost:$slow_port" \
      --log-level 4 --lang vi > "$work/run.out" 2> "$work/run.err" & local updating=$!
    for _ in $(seq 1 200); do grep -q "/velora/v2/" "$slow/access.log" && break; sleep 0.1; done
    grep -q "/velora/v2/" "$slow/access.log" || fail "held at commit: the run did not start downloading"
    "$here/../../cmake/wine-run" "$prefix" "$holder" --hold "Z:$install/b.dat" "$1" > "$work/holder.out" 2>&1 &
    holding=$!
    wait "$updating" || status=$?
    kill "$holding" 2>/dev/null || true
    wait "$holding" 2>/dev/null || true
    grep -q "holding" "$work/holder.out" || fail "held at commit: the holder did not start"
  }
  held_at_commit 5
  [ "$status" -eq 0 ] || fail "a file held 5 s at the commit: exit $status, not 0"
  "$tool" verify "$install" || fail "a file held 5 s at the commit: the installation is not version 2"
  grep -q "Đang chờ tập tin \[b.dat\]" "$work/run.out" || fail "a file held 5 s: the status never said it waits"
  echo "causes_e2e: b.dat held 5 s at the commit: waited, version 2 whole"
  held_at_commit 60
  failed_with "a file held 60 s at the commit" "replace \[b.dat\]" "COMMIT_FILE_IN_USE" "in use by .* after 30 s of waiting"
  grep -q "Tập tin \[b.dat\] đang được .* sử dụng" "$work/run.out" || fail "held 60 s: the status does not name b.dat"
  [ "$(snapshot "$install")" = "$before" ] || fail "a file held 60 s at the commit: the installation changed"
  echo "causes_e2e: b.dat held 60 s at the commit: nothing replaced; $line"
  run "$install" "localhost:$port"
  [ "$status" -eq 0 ] || fail "the run after the file held at the commit ended with $status"
  "$tool" verify "$install" || fail "the run after the file held at the commit did not reach version 2"
fi
echo "causes_e2e: every cause was named"
