#!/usr/bin/env bash
# A signed release end to end: zepo-publish keygen and build --sign, nginx on loopback, and
# zepo-update with the public key: the signed update finishes exactly; a list changed on the
# server, signatures stripped, a whole file swapped for another, or a tree signed by an unknown
# key each fail the run (exit 1, the refusal named on the error line) and leave the installation
# byte for byte as it was; without a key the same signed tree updates as any other.
#   signed_e2e.sh WORK PUBLISH UPDATER [WINE_PREFIX]
set -euo pipefail
work=$1 publish=$2 updater=$3 prefix=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work/temp"
work=$(cd "$work" && pwd)
fail() { echo "signed_e2e: $*"; cat "$work/run.err" 2>/dev/null | tail -3; exit 1; }

v1="$work/release-1" v2="$work/release-2"
mkdir -p "$v1/data" "$v2/data"
printf 'version 1 of a\n' > "$v1/a.txt"
printf 'version 2 of a\n' > "$v2/a.txt"
head -c 100000 /dev/urandom > "$v1/data/big.pak"
{ head -c 50000 "$v1/data/big.pak"; printf 'changed'; tail -c +50008 "$v1/data/big.pak"; } > "$v2/data/big.pak"
printf 'new in version 2\n' > "$v2/data/new.txt"
touch -d '2026-01-10 12:00:00' $(find "$v1" -type f)
touch -d '2026-03-20 12:00:00' $(find "$v2" -type f)

"$publish" keygen --out "$work/publisher.key" > "$work/public.txt"
key=$(cat "$work/public.txt")
[ "$(stat -c %a "$work/publisher.key")" = 600 ] || fail "the key file may be read by others"
"$publish" keygen --out "$work/publisher.key" > /dev/null 2>&1 && fail "keygen overwrote a key file"
"$publish" keygen --out "$work/other.key" > "$work/other.txt"
tree="$work/tree"
"$publish" build --release "$v1" --version 1.0 --out "$tree" --product velora/ --sign "$work/publisher.key" > /dev/null
"$publish" build --release "$v2" --version 2.0 --out "$tree" --product velora/ --sign "$work/publisher.key" > /dev/null
"$publish" verify "$tree" --public-key "$key" > "$work/verify.out" || fail "verify refuses the signed tree"
"$publish" verify "$tree" --public-key "$(cat "$work/other.txt")" > "$work/verify.out" &&
  fail "verify takes the tree as signed by another key"
grep -q "trusted keys" "$work/verify.out" || fail "verify does not say whose signature is missing"

port=$(( 20000 + RANDOM % 20000 ))
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$tree|g" -e "s|@PORT@|$port|g" -e "s|@RATE@|0|g" "$here/nginx.conf.in" > "$work/nginx.conf"
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work"
trap 'kill "$(cat "$work/nginx.pid")" 2>/dev/null || true' EXIT

snapshot() { (cd "$work/install" && find . -path ./logs -prune -o -path ./update -prune -o -name zepo.lock -o -name 'autoupdate.*' -o -type f -print0 | sort -z | xargs -0 md5sum); }
# run [ARGUMENT...]: zepo-update on a fresh version-1 installation.
run() {
  rm -rf "$work/install"
  cp -a "$v1" "$work/install"
  before=$(snapshot)
  status=0
  if [ -n "$prefix" ]; then
    "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$work/install" --host "localhost:$port" --quiet "$@" \
      > "$work/run.out" 2> "$work/run.err" || status=$?
  else
    "$updater" --dir "$work/install" --host "localhost:$port" --quiet "$@" > "$work/run.out" 2> "$work/run.err" ||
      status=$?
  fi
}
is_version_2() { diff -r -q -x logs -x zepo.lock -x 'autoupdate.*' "$v2" "$work/install" > /dev/null; }
# refused WHAT PATTERN: the last run failed with PATTERN on its error line and touched nothing.
refused() {
  [ "$status" -eq 1 ] || fail "$1: exit $status, not 1"
  grep -qE "$2" "$work/run.err" || fail "$1: the error line does not say \"$2\""
  [ "$(snapshot)" = "$before" ] || fail "$1: the installation changed"
  echo "signed_e2e: $1 refused: $(grep 'error:' "$work/run.err" | tr -d '\r' | cut -c1-160)"
}

run --public-key "$key"
[ "$status" -eq 0 ] || fail "the signed update ended with $status"
is_version_2 || fail "the signed update did not reach version 2"
echo "signed_e2e: the signed update finished"

list="$tree/velora/filelist.enc"
cp "$list" "$work/list.saved"
printf '\x01' | dd of="$list" bs=1 seek=40 conv=notrunc status=none
touch "$list"
run --public-key "$key"
refused "a list changed on the way" "SIGNATURE_REFUSED.*not the ones its signature states"
cp "$work/list.saved" "$list"
touch "$list"

mkdir -p "$work/sigs"
mv "$tree"/rootfolder.enc.sig "$tree"/velora/*.sig "$work/sigs/"
run --public-key "$key"
refused "a tree without signatures" "SIGNATURE_REFUSED.*no signature file"
mv "$work/sigs/rootfolder.enc.sig" "$tree/"
mv "$work/sigs/"*.sig "$tree/velora/"

new="$tree/velora/files/2.0/data/new.txt"
cp "$new" "$work/new.saved"
cp "$tree/velora/files/2.0/a.txt" "$new"
run --public-key "$key"
refused "a whole file swapped for another" "STAGE_(BAD_CONTENT|UNVERIFIED)"
cp "$work/new.saved" "$new"

run --public-key "$(cat "$work/other.txt")"
refused "a tree signed by an unknown key" "SIGNATURE_REFUSED.*trusted keys"

run
[ "$status" -eq 0 ] && is_version_2 || fail "a client without a key did not update from the signed tree"
echo "signed_e2e: a client without a key updated from the signed tree as before"
