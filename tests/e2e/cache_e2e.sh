#!/usr/bin/env bash
# Players behind a cache: nginx serves the tree as origin with the cache rules of docs/serving.md
# (lists kept for a few seconds here, their signatures revalidated), a second nginx caches it
# (proxy_cache), and signed and unsigned clients update through the cache.
# - publications, and a rollback, inside the cache's time: every client run ends at the version
#   before or after, and once the cache is fresh, at the live one;
# - a cache that keeps a stale copy of each served file in turn (the descriptor, each list, each
#   signature): no run ends at a version it then keeps after the cache is fresh; a signed client
#   may refuse a stale signature, and changes nothing then.
#   cache_e2e.sh WORK PUBLISH UPDATER [WINE_PREFIX]
set -euo pipefail
work=$1 publish=$2 updater=$3 prefix=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
source "$here/../support/installation.sh"
rm -rf "$work"
mkdir -p "$work/temp" "$work/cache"
work=$(cd "$work" && pwd)
fail() { echo "cache_e2e: $*"; tail -3 "$work/run.err" 2>/dev/null; exit 1; }
say() { echo "cache_e2e: $*"; }
# run_updater FOLDER [OPTION...]: the updater on an installation, natively or under Wine.
run_updater() {
  local folder=$1
  shift
  if [ -n "$prefix" ]; then "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$folder" "$@"
  else "$updater" --dir "$folder" "$@"; fi
}

for r in 1 2 3 4; do
  mkdir -p "$work/release-$r/data"
  printf 'version %s of a\n' "$r" > "$work/release-$r/a.txt"
  seq 1 $((3000 + r * 100)) > "$work/release-$r/data/list.txt"
  for i in $(seq 1 40); do printf 'file %s of %s\n' "$i" "$r" > "$work/release-$r/data/f$i.txt"; done
  touch -d "2026-0$r-10 12:00:00" $(find "$work/release-$r" -type f)
done
key="$work/publisher.key"
public=$("$publish" keygen --out "$key")
build() { "$publish" build --release "$work/release-${1%%.*}" --version "$1" --out "$work/tree" --product velora/ \
  --sign "$key" > /dev/null; }
build 1.0
build 2.0

free_port origin_port
free_port cache_port
# stale FILE: the origin keeps serving FILE as the copy in $work/previous holds it.
write_config() {
  local stale=""
  [ -z "${1:-}" ] || stale="location = /$1 { root $work/previous; add_header Cache-Control \"no-cache\"; }"
  cat > "$work/nginx.conf" <<CONF
worker_processes 1;
daemon on;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 64; }
http {
  log_format plain '\$request \$status \$body_bytes_sent cache=\$upstream_cache_status';
  client_body_temp_path $work/temp/body;
  proxy_temp_path $work/temp/proxy;
  fastcgi_temp_path $work/temp/fastcgi;
  uwsgi_temp_path $work/temp/uwsgi;
  scgi_temp_path $work/temp/scgi;
  proxy_cache_path $work/cache keys_zone=players:1m;
  server {
    listen 127.0.0.1:$origin_port;
    root $work/tree;
    access_log off;
    location ~ ^/[^/]+/(files|patches|patches2|releases)/ {
      add_header Cache-Control "public, max-age=31536000, immutable";
    }
    location ~ \.enc\.patches/[0-9a-f-]+\.(pat|list)\$ {
      add_header Cache-Control "public, max-age=31536000, immutable";
    }
    location ~ \.enc\.sig\$ { add_header Cache-Control "no-cache"; }
    location ~ (filelist|filelistfull|rootfolder)\.enc\$ { add_header Cache-Control "max-age=3"; }
    location ~ (^/store/|releases\.ini|\.zepo-publish|/recent\$) { return 404; }
    $stale
  }
  server {
    listen 127.0.0.1:$cache_port;
    access_log $work/cache.log plain;
    location / {
      proxy_pass http://127.0.0.1:$origin_port;
      proxy_cache players;
      proxy_cache_revalidate on;
      proxy_set_header Host localhost;
    }
  }
}
CONF
}
write_config
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work"
trap 'kill "$(cat "$work/nginx.pid")" 2>/dev/null || true' EXIT
reload() { write_config "${1:-}"; /usr/sbin/nginx -c "$work/nginx.conf" -p "$work" -s reload 2> /dev/null; sleep 0.5; }

same_as() { diff -r -q -x logs -x zepo.lock -x 'autoupdate.*' -x update -x '*.ini' -x '*.enc' -x '*.sig' \
  -x '*.served' "$work/release-$1" "$2" > /dev/null 2>&1; }
# client FROM [KEY]: a run through the cache on a copy of the installation FROM; $status, $reached.
client() {
  rm -rf "$work/install" && cp -a "$work/$1" "$work/install"
  status=0
  run_updater "$work/install" --host "localhost:$cache_port" ${2:+--public-key "$2"} --quiet \
    > "$work/run.out" 2> "$work/run.err" || status=$?
  reached=mixed
  for r in 1 2 3 4; do if same_as "$r" "$work/install"; then reached=$r; fi; done
}
# both FROM ALLOWED...: a signed and an unsigned run from FROM each end at one of ALLOWED.
both() {
  local from=$1
  shift
  for k in "" "$public"; do
    client "$from" "$k"
    # Two publications inside the cache's time: a signature states the list it replaced and the
    # new one, not the one before; a signed client refuses that list until the cache is fresh,
    # and changes nothing.
    if [ "$status" -ne 0 ] && [ -n "$k" ] && [ -n "${two_publications:-}" ] && [ "$reached" = "${from: -1}" ] &&
      grep -q SIGNATURE_REFUSED "$work/run.err"; then continue; fi
    [ "$status" -eq 0 ] || fail "${k:+signed }client from $from failed ($status): $(tail -1 "$work/run.err")"
    [[ " $* " == *" $reached "* ]] || fail "${k:+signed }client from $from reached $reached, not one of $*"
  done
}

copy_installation "$work/release-1" "$work/installed-1"
client installed-1 "$public"
[ "$status" -eq 0 ] && [ "$reached" = 2 ] || fail "the first update through the cache failed ($status, $reached)"
cp -a "$work/install" "$work/installed-2"

# Publications inside the cache's time.
build 3.0
both installed-2 2 3
both installed-1 2 3
sleep 4
both installed-2 3
build 4.0
"$publish" rollback "$work/tree" --to 3.0 --sign "$key" > /dev/null
two_publications=1 both installed-2 3 4
sleep 4
both installed-2 3
both installed-1 3
grep -q "filelist.enc.patches/.*\.pat HTTP/1.1 200 .* cache=HIT" "$work/cache.log" ||
  fail "no list patch came from the cache"
say "three publications inside the cache's time: clients ended at the version before or after, then at the live one"

# A stale copy of each served file in turn, as a cache that keeps it too long.
client installed-2 "$public"
cp -a "$work/install" "$work/held-3"
rm -rf "$work/previous" && cp -a "$work/tree" "$work/previous"
"$publish" rollback "$work/tree" --to 4.0 --sign "$key" > /dev/null
refused=0
for file in rootfolder.enc rootfolder.enc.sig velora/filelist.enc velora/filelist.enc.sig velora/filelistfull.enc \
  velora/filelistfull.enc.sig; do
  reload "$file"
  sleep 3.5
  for from in installed-2 held-3; do
    for k in "" "$public"; do
      client "$from" "$k"
      if [ "$status" -ne 0 ]; then
        # Only a signature older than its list may be refused, and the refusal changes nothing.
        [ -n "$k" ] && [[ "$file" == *.sig ]] || fail "stale $file: the ${k:+signed }client from $from failed ($status)"
        [ "$reached" = "${from: -1}" ] || fail "stale $file: a refused run changed the installation ($reached)"
        refused=$((refused + 1))
        continue
      fi
      [ "$reached" = 3 ] || [ "$reached" = 4 ] || [ "$reached" = 2 ] ||
        fail "stale $file: the ${k:+signed }client from $from reached $reached"
    done
  done
  reload
  sleep 3.5
  for from in installed-2 held-3; do both "$from" 4; done
done
say "a stale copy of each served file in turn: no client failed but $refused signed runs with a stale signature; once fresh, all reached 4"
# A key change only on purpose: another key is refused by build, rollback and resign, naming the
# tree's key; the tree stays as it was and clients keep updating.
other="$work/other.key"
"$publish" keygen --out "$other" > /dev/null
for command in "build --release $work/release-3 --version 5.0 --out $work/tree --product velora/" \
  "rollback $work/tree --to 3.0" "resign $work/tree"; do
  if "$publish" $command --sign "$other" > "$work/out" 2>&1; then fail "$command with another key was accepted"; fi
  grep -q "signed by public key $public" "$work/out" || fail "$command with another key: the tree's key is not named"
done
sleep 3.5
both installed-2 4
"$publish" resign "$work/tree" --sign "$other" --change-key > /dev/null || fail "--change-key was refused"
sleep 3.5
client installed-2 "$public"
[ "$status" -ne 0 ] && [ "$reached" = 2 ] || fail "a client that trusts the old key took the new key's lists"
say "another key is refused by build, rollback and resign, naming the tree's; --change-key changes it"
say "passed"
