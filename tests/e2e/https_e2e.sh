#!/usr/bin/env bash
# Over https: nginx on loopback with a certificate for "localhost" from a test authority.
#   natively: with --ca-file naming the authority the update finishes; without it (the system's
#   store does not know the authority), and with a certificate for another name, the run fails
#   with HTTP_CERTIFICATE and its cause on the error line, touching nothing;
#   under Wine (WINE_PREFIX): WinINet checks against the system's store, so the run fails with
#   HTTP_CERTIFICATE, touching nothing; with the authority added to the machine's root store
#   (ROOT_STORE, taken out again at the end, also on failure) zepo-update.exe and zepo.exe's
#   window (checked by the window driver, on an X display) both update over https; taken out,
#   the run is refused again.
#   https_e2e.sh WORK TREE_TOOL UPDATER [WINE_PREFIX ROOT_STORE ZEPO_EXE WINDOW_DRIVER]
set -euo pipefail
work=$1 tool=$2 updater=$3 prefix=${4:-} root_store=${5:-} zepo=${6:-} driver=${7:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
source "$here/../support/installation.sh"
rm -rf "$work"
mkdir -p "$work/temp"
work=$(cd "$work" && pwd)
fail() { echo "https_e2e: $*"; cat "$work/run.err" 2>/dev/null | tail -3; exit 1; }

# certificate NAME: a key and a certificate for NAME signed by the test authority.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=zepo test authority" \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
certificate() {
  openssl req -newkey rsa:2048 -nodes -subj "/CN=$1" -keyout "$work/$1.key" -out "$work/$1.csr" 2>/dev/null
  printf 'subjectAltName=DNS:%s\n' "$1" > "$work/$1.ext"
  openssl x509 -req -in "$work/$1.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial -days 2 \
    -extfile "$work/$1.ext" -out "$work/$1.pem" 2>/dev/null
}
certificate localhost
certificate other.example

"$tool" build "$work/www" "$work/v1"
start_nginx() {
  free_port port
  cat > "$work/nginx.conf" <<EOF
worker_processes 1;
daemon on;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 64; }
http {
  access_log $work/access.log;
  client_body_temp_path $work/temp/body;
  proxy_temp_path $work/temp/proxy;
  fastcgi_temp_path $work/temp/fastcgi;
  uwsgi_temp_path $work/temp/uwsgi;
  scgi_temp_path $work/temp/scgi;
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $work/$1.pem;
    ssl_certificate_key $work/$1.key;
    root $work/www;
  }
}
EOF
  /usr/sbin/nginx -c "$work/nginx.conf" -p "$work"
}
stop_nginx() { kill "$(cat "$work/nginx.pid")" 2>/dev/null || true; sleep 0.2; }
wine_run() { "$here/../../cmake/wine-run" "$prefix" "$@"; }
trusted=
cleanup() {
  stop_nginx
  if [ -n "$trusted" ]; then wine_run "$root_store" remove "Z:$work/ca.pem" || true; fi
}
trap cleanup EXIT

snapshot() { (cd "$work/install" && find . -path ./logs -prune -o -path ./update -prune -o -name zepo.lock -o -name 'autoupdate.*' -o -type f -print0 | sort -z | xargs -0 md5sum); }
run() {
  rm -rf "$work/install"
  copy_installation "$work/v1" "$work/install"
  before=$(snapshot)
  status=0
  if [ -n "$prefix" ]; then
    "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$work/install" --quiet "$@" \
      > "$work/run.out" 2> "$work/run.err" || status=$?
  else
    "$updater" --dir "$work/install" --quiet "$@" > "$work/run.out" 2> "$work/run.err" || status=$?
  fi
}
refused() {
  [ "$status" -eq 1 ] || fail "$1: exit $status, not 1"
  grep -q "HTTP_CERTIFICATE" "$work/run.err" || fail "$1: the error line does not name HTTP_CERTIFICATE"
  [ "$(snapshot)" = "$before" ] || fail "$1: the installation changed"
  echo "https_e2e: $1: $(grep 'error:' "$work/run.err" | tr -d '\r' | cut -c1-220)"
}

start_nginx localhost
if [ -z "$prefix" ]; then
  run --host "https://localhost:$port" --ca-file "$work/ca.pem"
  [ "$status" -eq 0 ] || fail "the update over https ended with $status"
  "$tool" verify "$work/install" || fail "the update over https did not reach version 2"
  echo "https_e2e: the update over https, the authority trusted, finished"
  run --host "https://localhost:$port"
  refused "an authority the system's store does not know"
  stop_nginx
  start_nginx other.example
  run --host "https://localhost:$port" --ca-file "$work/ca.pem"
  refused "a certificate for another name"
else
  run --host "https://localhost:$port"
  refused "under Wine, an authority the system's store does not know"
  if [ -n "$root_store" ]; then
    trusted=yes
    wine_run "$root_store" add "Z:$work/ca.pem" || fail "cannot add the test authority to the root store"
    run --host "https://localhost:$port"
    [ "$status" -eq 0 ] || fail "under Wine, the authority in the machine's store, the update ended with $status"
    "$tool" verify "$work/install" || fail "under Wine the update over https did not reach version 2"
    echo "https_e2e: under Wine, the authority in the machine's store: zepo-update.exe updated over https"
    rm -rf "$work/window"
    copy_installation "$work/v1" "$work/window"
    cp "$zepo" "$work/window/zepo.exe"
    printf '[zepo]\r\nLogLevel=4\r\nPatchHost=https://localhost:%s\r\n' "$port" > "$work/window/log.ini"
    mkdir -p "$work/screenshots"
    wine_run "$driver" demo "Z:$work/window/zepo.exe" 2.0 "Z:$work/screenshots" || fail "zepo.exe over https"
    "$tool" verify "$work/window" || fail "zepo.exe over https did not reach version 2"
    echo "https_e2e: under Wine, zepo.exe's window updated over https"
    wine_run "$root_store" remove "Z:$work/ca.pem" || fail "cannot take the test authority out of the root store"
    trusted=
    run --host "https://localhost:$port"
    refused "under Wine, the authority taken out of the store again"
  fi
fi
