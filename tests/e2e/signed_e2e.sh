#!/usr/bin/env bash
# A signed release end to end: zepo-publish keygen and build --sign, nginx on loopback, and
# zepo-update with the public key: the signed update finishes exactly; a list changed on the
# server, signatures stripped, a whole file swapped for another, or a tree signed by an unknown
# key each fail the run (exit 1, the refusal named on the error line) and leave the installation
# byte for byte as it was; without a key the same signed tree updates as any other.
# With TAMPERING_PROXY, a hostile network in front of the server then changes one byte of the
# root descriptor, the list, its signature, a whole file and a patch, swaps a file for another
# version's, strips the signatures, replays the older signed list and points the list at another
# product, and changes a byte of a new updater (self-update file): with the key each is refused
# and the installation stays as it was.
# TREE_TOOL (zepo-test-tree) signs a copy of the list anew, expired, for the proxy to serve.
#   signed_e2e.sh WORK PUBLISH UPDATER [WINE_PREFIX] [TAMPERING_PROXY TREE_TOOL]
set -euo pipefail
work=$1 publish=$2 updater=$3 prefix=${4:-} tamper=${5:-} tool=${6:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
source "$here/../support/installation.sh"
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
cp -a "$tree" "$work/tree-1.0"  # the older signed publication, for a replay
"$publish" build --release "$v2" --version 2.0 --out "$work/tree-other" --product other/ \
  --sign "$work/publisher.key" > /dev/null
"$publish" build --release "$v2" --version 2.0 --out "$tree" --product velora/ --sign "$work/publisher.key" > /dev/null
"$publish" verify "$tree" --public-key "$key" > "$work/verify.out" || fail "verify refuses the signed tree"
"$publish" verify "$tree" --public-key "$(cat "$work/other.txt")" > "$work/verify.out" &&
  fail "verify takes the tree as signed by another key"
grep -q "trusted keys" "$work/verify.out" || fail "verify does not say whose signature is missing"

free_port port
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$tree|g" -e "s|@PORT@|$port|g" -e "s|@RATE@|0|g" "$here/nginx.conf.in" > "$work/nginx.conf"
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work"
trap 'kill "$(cat "$work/nginx.pid")" 2>/dev/null || true' EXIT

snapshot() { (cd "$work/install" && find . -path ./logs -prune -o -path ./update -prune -o -name zepo.lock -o -name 'autoupdate.*' -o -type f -print0 | sort -z | xargs -0 md5sum); }
# run [ARGUMENT...]: zepo-update on a fresh version-1 installation.
host_port=$port
base=$v1
run() {
  rm -rf "$work/install"
  copy_installation "$base" "$work/install"
  [ -d "$work/kept" ] && cp "$work/kept/"* "$work/install/"
  before=$(snapshot)
  status=0
  if [ -n "$prefix" ]; then
    "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$work/install" --host "localhost:$host_port" --quiet \
      "$@" > "$work/run.out" 2> "$work/run.err" || status=$?
  else
    "$updater" --dir "$work/install" --host "localhost:$host_port" --quiet "$@" > "$work/run.out" 2> "$work/run.err" ||
      status=$?
  fi
}
is_version_2() { diff -r -q -x logs -x log.ini -x zepo.lock -x 'autoupdate.*' "$v2" "$work/install" > /dev/null; }
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
# One bit of one byte flipped: writing a fixed value would leave the list as it was whenever the
# byte already held it (one run in 256: the packed list differs with every publication).
byte=$(od -An -tu1 -j 40 -N1 "$list" | tr -d ' ')
printf "\\$(printf '%03o' $(( byte ^ 1 )))" | dd of="$list" bs=1 seek=40 conv=notrunc status=none
cmp -s "$list" "$work/list.saved" && fail "the list was not changed"
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

# A computer whose clock is 60 days ahead: the list's signature looks expired to it, and the
# server's Date tells the player that the clock is what to mend.
if [ -z "$prefix" ]; then
  rm -rf "$work/install"
  copy_installation "$base" "$work/install"
  status=0
  # libfaketime loads before the sanitizers' runtime, which they allow when told.
  LANG=vi_VN.UTF-8 NO_FAKE_STAT=1 ASAN_OPTIONS="verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" faketime -f '+60d' "$updater" --dir "$work/install" --host "localhost:$host_port" --public-key "$key" \
    > "$work/run.out" 2> "$work/run.err" || status=$?
  [ "$status" -eq 1 ] && grep -q "Đồng hồ của máy tính đang nhanh 60 ngày so với máy chủ" "$work/run.out" ||
    fail "a clock 60 days ahead: exit $status, the status says: $(tail -1 "$work/run.out")"
  echo "signed_e2e: a clock 60 days ahead: the status says so"
fi

run
[ "$status" -eq 0 ] && is_version_2 || fail "a client without a key did not update from the signed tree"
echo "signed_e2e: a client without a key updated from the signed tree as before"

[ -n "$tamper" ] || exit 0
# The hostile network: one proxy per case, in front of nginx (and of a second nginx that serves
# the older publication and the other product's tree).
free_port alt_port
sed -e "s|@WORK@|$work/alt|g" -e "s|@ROOT@|$work|g" -e "s|@PORT@|$alt_port|g" -e "s|@RATE@|0|g" \
  "$here/nginx.conf.in" > "$work/alt.conf"
mkdir -p "$work/alt/temp"
/usr/sbin/nginx -c "$work/alt.conf" -p "$work/alt"
trap 'for f in "$work/nginx.pid" "$work/alt/nginx.pid" "$work/self/nginx.pid"; do kill "$(cat "$f" 2>/dev/null)" 2>/dev/null || true; done; kill $proxy 2>/dev/null || true' EXIT
proxy=
upstream=$port
through() {
  rm -f "$work/proxy.port"
  "$tamper" --to "$upstream" --alt-to "$alt_port" --port-file "$work/proxy.port" "$@" &
  proxy=$!
  for _ in $(seq 50); do [ -s "$work/proxy.port" ] && break; sleep 0.1; done
  host_port=$(cat "$work/proxy.port")
}
done_with_proxy() { kill "$proxy" 2>/dev/null || true; wait "$proxy" 2>/dev/null || true; host_port=$port; }
expect_refused() {
  local what=$1 pattern=$2
  shift 2
  through "$@"
  run --public-key "$key"
  refused "through the proxy: $what" "$pattern"
  done_with_proxy
}
expect_refused "one byte of rootfolder.enc" "SIGNATURE_REFUSED" --flip /rootfolder.enc
expect_refused "one byte of the list" "SIGNATURE_REFUSED" --flip /velora/filelist.enc
expect_refused "one byte of the list's signature" "SIGNATURE_REFUSED" --flip /velora/filelist.enc.sig
expect_refused "one byte of a whole file" "STAGE_" --flip /data/new.txt
# A changed patch is refused, and the file comes whole instead, in the same run.
through --flip /patches/
run --public-key "$key" --log-level 2
[ "$status" -eq 0 ] && is_version_2 || fail "through the proxy: a changed patch: the run did not finish whole ($status)"
iconv -f UTF-16LE -t UTF-8 "$work/install"/logs/zepo/*.log | grep -q "instead" || fail "through the proxy: a changed patch: no fallback in the log"
echo "signed_e2e: through the proxy: one byte of a patch refused, the file taken whole instead"
done_with_proxy
expect_refused "a file of another version" "STAGE_" --swap /files/2.0/data/new.txt /files/1.0/a.txt
expect_refused "stripped signatures" "SIGNATURE_REFUSED.*no signature file" --drop .sig
expect_refused "a list of another product" "SIGNATURE_REFUSED.*other/" \
  --swap /velora/filelist.enc /tree-other/other/filelist.enc --swap /velora/filelist.enc.sig \
  /tree-other/other/filelist.enc.sig --alt /tree-other/other/filelist.enc --alt /tree-other/other/filelist.enc.sig
cp -a "$tree" "$work/tree-expired"
"$tool" sign-expired "$work/tree-expired/velora/filelist.enc" "$work/publisher.key" velora/
expect_refused "an expired list" "SIGNATURE_REFUSED.*expired" \
  --swap /velora/filelist.enc.sig /tree-expired/velora/filelist.enc.sig --alt /tree-expired/velora/filelist.enc.sig

# A replay: the client has accepted version 2.0's list; the network serves 1.0's, signed too.
through
run --public-key "$key"
[ "$status" -eq 0 ] || fail "the update through a proxy that changes nothing ended with $status"
mkdir -p "$work/kept"
cp "$work/install/"autoupdate.*.sig "$work/kept/"
done_with_proxy
expect_refused "the older signed list replayed" "SIGNATURE_REFUSED.*older publication" \
  --swap /velora/filelist.enc /tree-1.0/velora/filelist.enc --swap /velora/filelist.enc.sig \
  /tree-1.0/velora/filelist.enc.sig --alt /tree-1.0/velora/filelist.enc --alt /tree-1.0/velora/filelist.enc.sig

# A self-update file changed on the way: a tree whose version 2 also brings a new updater.
rm -rf "$work/kept"
self1="$work/self-1" self2="$work/self-2"
cp -a "$v1" "$self1"
cp -a "$v2" "$self2"
cp "$updater" "$self1/zepo-update.bin"
{ cat "$updater"; printf '\n-- build 2 --\n'; } > "$self2/zepo-update.bin"
touch -d '2026-03-20 12:00:00' "$self2/zepo-update.bin"
for r in 1 2; do
  "$publish" build --release "$work/self-$r" --version "$r.0" --out "$work/tree-self" --product velora/ \
    --self-update zepo-update.bin --sign "$work/publisher.key" > /dev/null
done
free_port self_port
sed -e "s|@WORK@|$work/self|g" -e "s|@ROOT@|$work/tree-self|g" -e "s|@PORT@|$self_port|g" -e "s|@RATE@|0|g" \
  "$here/nginx.conf.in" > "$work/self.conf"
mkdir -p "$work/self/temp"
/usr/sbin/nginx -c "$work/self.conf" -p "$work/self"
upstream=$self_port base=$self1
expect_refused "one byte of a self-update file" "STAGE_" --flip /zepo-update.bin
kill "$(cat "$work/self/nginx.pid")" 2>/dev/null || true
echo "signed_e2e: every tampering was refused"

# A signed rollback: version 1.0 live again, its lists signed anew; a version-1 installation
# that trusts the key takes it and stays version 1.
"$publish" rollback "$tree" --to 1.0 --sign "$work/publisher.key" > /dev/null
"$publish" verify "$tree" --public-key "$key" > "$work/verify.out" || fail "verify refuses the signed rollback"
upstream=$port base=$v1 host_port=$port
rm -rf "$work/kept"
run --public-key "$key"
[ "$status" -eq 0 ] || fail "the run after the signed rollback ended with $status"
diff -r -q -x logs -x log.ini -x zepo.lock -x 'autoupdate.*' "$v1" "$work/install" > /dev/null ||
  fail "the installation is not version 1 after the rollback"
echo "signed_e2e: a signed rollback to 1.0 is taken"
