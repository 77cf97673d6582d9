#!/usr/bin/env bash
# zepo-publish's command line as a release engineer meets it: wrong options are named, and
# serve says nothing of serving when it cannot (a missing tree, a busy port) and logs each request.
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
expect 2 "--out is required" "$publish" build --release a --version 1
expect 1 "no tree to serve at $work/missing" "$publish" serve "$work/missing"
! grep -q serving "$work/out" || fail "serve said it was serving a missing tree"

port=$(( 20000 + RANDOM % 20000 ))
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
