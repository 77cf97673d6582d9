#!/usr/bin/env bash
# zepo-publish's command line as a release engineer meets it: wrong options are named, a file
# that cannot be read stops the build before anything is written (run as the unprivileged
# "zepo-player" when the test runs as root, since root reads any file), and serve says nothing of
# serving when it cannot (a missing tree, a busy port) and logs each request.
#   publish_cli_e2e.sh WORK PUBLISH
set -euo pipefail
work=$1 publish=$2
rm -rf "$work"
mkdir -p "$work/tree"
echo "hello" > "$work/tree/detectfile.enc"
fail() { echo "publish_cli_e2e: $*"; cat "$work/out" 2>/dev/null; exit 1; }
expect() {  # STATUS TEXT COMMAND...: the command ends with STATUS and its output holds TEXT
  local want=$1 text=$2 status=0
  shift 2
  "$@" > "$work/out" 2>&1 || status=$?
  [ "$status" -eq "$want" ] || fail "$* ended with $status, not $want"
  grep -qF -- "$text" "$work/out" || fail "$* did not say: $text"
}

expect 2 "unknown option --frobnicate" "$publish" build --release a --version 1 --out b --frobnicate x
expect 2 "--version needs a value" "$publish" build --release a --version
expect 2 "--jobs takes a number from 1 to 1024, not 0" "$publish" build --release a --version 1 --out b --jobs 0
expect 2 "--patch-from takes a number from 0 to 1024, not abc" "$publish" build --release a --version 1 --out b --patch-from abc
expect 2 "--out is required" "$publish" build --release a --version 1
# The actual problem, in one line with where the help is; the help only on --help.
expect 2 "--release needs a value" "$publish" build --release --version 1.0 --out t2
[ "$(wc -l < "$work/out")" -eq 2 ] && grep -qx "see zepo-publish build --help" "$work/out" ||
  fail "a usage error printed more than its line and the pointer to --help"
expect 2 "unknown option --bogus for status" "$publish" status "$work/tree" --bogus
expect 2 "unknown option --bogus for verify" "$publish" verify "$work/tree" --bogus x
expect 2 '"(empty)" is not a key' "$publish" verify "$work/tree" --public-key ""
expect 0 "usage: zepo-publish build" "$publish" build --help
# Each command's own help, with an example and its exit statuses; --root-key explained there.
for command in build status rollback resign push prune verify serve diff patch keygen; do
  "$publish" "$command" --help > "$work/out" 2>&1 || fail "$command --help failed"
  head -1 "$work/out" | grep -q "^usage: zepo-publish $command " || fail "$command --help begins: $(head -1 "$work/out")"
  grep -q "^Example: zepo-publish $command " "$work/out" && grep -q "^Exit status: " "$work/out" ||
    fail "$command --help has no example or exit statuses"
  if head -2 "$work/out" | grep -q -- "--root-key"; then
    grep -q "^--root-key KEY names the key" "$work/out" || fail "$command --help takes --root-key without saying what it is"
  fi
done
# Values joined by "=", as git, curl and rsync take them; -q and -v together are refused.
expect 2 "--jobs takes a number from 1 to 1024, not 0" "$publish" build --release=a --version=1 --out=b --jobs=0
expect 1 "$work/nowhere does not exist" "$publish" status "$work/nowhere" --root-key=ZepoFolder
expect 2 "--quiet and --verbose contradict each other" "$publish" status "$work/tree" -q --verbose
# diff makes the format build makes (2) unless asked for the first; patch knows each by itself.
head -c 200000 /dev/urandom > "$work/old.bin"
{ head -c 100000 "$work/old.bin"; echo "an edit"; tail -c 99000 "$work/old.bin"; } > "$work/new.bin"
for format in "" 1; do
  "$publish" diff "$work/old.bin" "$work/new.bin" "$work/p$format" ${format:+--format $format} > "$work/out" 2>&1 ||
    fail "diff ${format:+--format $format} failed"
  "$publish" patch "$work/old.bin" "$work/p$format" "$work/rebuilt" > "$work/out" 2>&1 && cmp -s "$work/rebuilt" "$work/new.bin" ||
    fail "the patch of diff ${format:+--format $format} does not rebuild the file"
done
[ "$(head -c 4 "$work/p")" = "ZPAT" ] || fail "diff without --format did not make the second format"
[ "$(head -c 4 "$work/p1")" != "ZPAT" ] || fail "diff --format 1 made the second format"
# Off a terminal a build names each file that took long (here: any) and ends the packing with a
# line for the whole.
mkdir -p "$work/progress/data"
echo "one" > "$work/progress/data/one.pak"
echo "two" > "$work/progress/two.pak"
ZEPO_PUBLISH_SLOW_FILE_SECONDS=0 "$publish" build --release "$work/progress" --version 1.0 --out "$work/progress-tree" \
  > "$work/out" 2>&1 || fail "the build with progress failed"
grep -q '^  data.one.pak (4 bytes) took 0 s; [12]/2 files' "$work/out" && grep -q '^  two.pak (4 bytes) took' "$work/out" &&
  grep -q '^packed 2/2 files, 8 bytes of 8 bytes in ' "$work/out" || fail "the build did not show its progress"
# ...and each step of a file that took long, when it ends.
grep -q '^  two.pak: packing with zlib took 0 s$' "$work/out" || fail "the build did not name the steps: $(cat "$work/out")"
# -q: errors only; -v: a line for every file, quick or not.
"$publish" build -q --release "$work/progress" --version 2.0 --out "$work/progress-tree" > "$work/out" 2>&1 ||
  fail "the quiet build failed"
[ ! -s "$work/out" ] || fail "build -q printed: $(head -3 "$work/out")"
"$publish" verify "$work/progress-tree" --verbose > "$work/out" 2>&1 || fail "verify --verbose failed"
grep -q '^  data.one.pak (4 bytes) took' "$work/out" || fail "verify --verbose did not name every file"
ZEPO_PUBLISH_SLOW_FILE_SECONDS=0 "$publish" verify "$work/progress-tree" > "$work/out" 2>&1 || fail "verify failed"
grep -q '^  two.pak (4 bytes) took' "$work/out" && grep -q '^checked 3/3 files, 8 bytes of 8 bytes in ' "$work/out" ||
  fail "verify did not show its progress"
# --json: stdout is one object (even with a progress line that would have been printed), the same
# facts as the human lines; a failure is an object too; commands without a summary refuse it.
one_object() { [ "$(wc -l < "$work/json")" -eq 1 ] && grep -q '^{.*}$' "$work/json" || fail "not one object: $(cat "$work/json")"; }
mkdir -p "$work/progress-3" && cp -a "$work/progress/." "$work/progress-3/" && echo "three" > "$work/progress-3/two.pak"
echo "new" > "$work/progress-3/new.pak"
ZEPO_PUBLISH_SLOW_FILE_SECONDS=0 "$publish" build --json --release "$work/progress-3" --version 3.0 \
  --out "$work/progress-tree" > "$work/json" || fail "build --json failed"
one_object
for field in '"result": "published"' '"version": "3.0"' '"live": "3.0"' '"files": 3' '"changed": 1' '"added": 1' \
    '"removed": 0' '"patch_sets": [' '{"from": "2.0", "bytes": 26}' '{"from": null, "bytes": '; do
  grep -qF "$field" "$work/json" || fail "build --json lacks $field: $(cat "$work/json")"
done
# -q silences the human lines, never the object that --json asks for, in either order.
for order in "-q --json" "--json -q"; do
  # shellcheck disable=SC2086
  "$publish" status "$work/progress-tree" $order > "$work/json" || fail "status $order failed"
  one_object
done
"$publish" status "$work/progress-tree" --json > "$work/json" || fail "status --json failed"
one_object
# Times in ISO 8601 UTC, null for none, and the exit status in the object, as zepo-update gives them.
grep -qF '"live": "3.0", "served": "3.0", "releases": [{"version": "1.0"' "$work/json" &&
  grep -qE '"version": "3.0", "published": "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:00Z"' "$work/json" &&
  grep -qF '"rolled_back_to_on": null' "$work/json" &&
  grep -qF '"live": true' "$work/json" && grep -qF '"problems": [], "result": "ok", "exit": 0}' "$work/json" &&
  grep -qF '"version": "2.0", "published": "' "$work/json" && grep -qE '"added_bytes": 0, .*"tree_bytes": [0-9]+' "$work/json" ||
  fail "status --json does not say what status says: $(cat "$work/json")"
"$publish" verify "$work/progress-tree" --install "$work/progress" > "$work/out" || fail "verify --install failed"
"$publish" verify "$work/progress-tree" --json --install "$work/progress" > "$work/json" || fail "verify --json failed"
one_object
read -r whole patches bytes removals < <(sed -n 's/^an update would download \([0-9]*\) whole files and \([0-9]*\) patches (\([0-9]*\) bytes) and remove \([0-9]*\) items$/\1 \2 \3 \4/p' "$work/out")
[ "${whole:-0}" -gt 0 ] && grep -qF "{\"result\": \"ok\", \"exit\": 0, \"entries\": 8, \"problems\": [], \"unverified_patch_sources\": 0, \"update\": {\"whole_files\": $whole, \"patches\": $patches, \"bytes\": $bytes, \"removals\": $removals}}" "$work/json" ||
  fail "verify --json does not say what verify says ($whole $patches $bytes $removals): $(cat "$work/json")"
status=0
"$publish" verify "$work/nowhere" --json > "$work/json" 2> /dev/null || status=$?
[ "$status" -eq 1 ] && grep -qF '"result": "problems", "exit": 1, "entries": 0, "problems": ["'"$work"'/nowhere does not exist"]' "$work/json" ||
  fail "verify --json of a missing tree: $(cat "$work/json")"
status=0
"$publish" build --json --release "$work/nowhere" --version 4.0 --out "$work/progress-tree" > "$work/json" 2> /dev/null || status=$?
[ "$status" -eq 1 ] && grep -qF '{"result": "failed", "exit": 1, "error": {"code": "FAILED", "step": "build", "file": "'"$work"'/progress-tree", "cause": "' "$work/json" ||
  fail "a failed build --json: $(cat "$work/json")"
expect 2 "--json goes with build, status and verify, not rollback" "$publish" rollback "$work/progress-tree" --to 1.0 --json
# A path that is not what the command needs says what it is instead.
: > "$work/a-file"
mkdir -p "$work/not-a-tree"
expect 1 "$work/nowhere does not exist" "$publish" build --release "$work/nowhere" --version 1.0 --out "$work/t3"
expect 1 "$work/a-file is a file, not a folder" "$publish" build --release "$work/a-file" --version 1.0 --out "$work/t3"
expect 1 "$work/nowhere does not exist" "$publish" verify "$work/nowhere"
expect 1 "$work/not-a-tree is not a tree (no detectfile.enc at its root)" "$publish" status "$work/not-a-tree"
expect 1 "$work/a-file is a file, not a folder" "$publish" rollback "$work/a-file" --to 1.0
mkdir -p "$work/release/data"
echo "readable" > "$work/release/data/a.pak"
echo "secret" > "$work/release/data/locked.pak"
chmod 000 "$work/release/data/locked.pak"
as_player=()
if [ "$(id -u)" -eq 0 ]; then
  id zepo-player >/dev/null 2>&1 || useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin zepo-player
  chown -R zepo-player "$work"
  as_player=(runuser -u zepo-player --)
fi
expect 1 '"data\locked.pak": cannot be read: Permission denied' "${as_player[@]}" "$publish" build --release "$work/release" \
  --version 1.0 --out "$work/built"
[ ! -e "$work/built" ] || fail "a build that found an unreadable file wrote into the tree"

expect 1 "no tree to serve at $work/missing" "$publish" serve "$work/missing"
! grep -q serving "$work/out" || fail "serve said it was serving a missing tree"

source "$(dirname "$0")/../support/ports.sh"
free_port port
"$publish" serve "$work/tree" --listen "127.0.0.1:$port" > "$work/serve.log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
for _ in $(seq 50); do grep -q serving "$work/serve.log" && break; sleep 0.1; done
expect 1 "cannot listen on 127.0.0.1:$port" "$publish" serve "$work/tree" --listen "127.0.0.1:$port"
! grep -q serving "$work/out" || fail "serve said it was serving on a busy port"
curl -sf "http://127.0.0.1:$port/detectfile.enc" > /dev/null
curl -s "http://127.0.0.1:$port/missing" > /dev/null
sleep 0.3
grep -qx "GET /detectfile.enc 200 6" "$work/serve.log" || fail "no log line for the served file: $(cat "$work/serve.log")"
grep -qx "GET /missing 404 0" "$work/serve.log" || fail "no log line for the missing file: $(cat "$work/serve.log")"
echo "publish_cli_e2e: passed"
