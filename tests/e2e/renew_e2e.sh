#!/usr/bin/env bash
# End to end, the daily job with a renewal key while the release key stays offline: a tree signed
# three days ago (faketime) for one day, naming a renewal key, has expired and players refuse it;
# the renewal key alone (resign --renew-key) brings it back to life and a player updates through
# it; a later run keeps the renewal with the list and fetches neither again. Then 20 hostile uses
# of the renewal key, each refused: five by the publisher, fifteen by the updater, with the
# installation left as it was.
#   renew_e2e.sh WORK PUBLISH UPDATER TREE_TOOL [WINE_PREFIX]
set -euo pipefail
work=$1 publish=$2 updater=$3 tool=$4 prefix=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
source "$here/../support/installation.sh"
rm -rf "$work"
mkdir -p "$work/temp"
work=$(cd "$work" && pwd)
fail() { echo "renew_e2e: $*"; tail -3 "$work/run.out" 2>/dev/null; exit 1; }
source "$here/../support/nginx.sh"
source "$here/../support/key_players.sh"

make_small_releases 2 200000
"$publish" keygen --out "$work/velora.key" > /dev/null
"$publish" keygen --out "$work/renew.key" --role renew > /dev/null
"$publish" keygen --out "$work/foreign.key" --role renew > /dev/null
release=$(cat "$work/velora.key.pub")
tree="$work/tree" lists="$work/tree/velora"

# The release key signs, three days ago, for one day; its signatures name the renewal key.
past() { faketime -f '-3d' "$@"; }
past "$publish" build -q --release "$work/release-1" --version 1.0 --out "$tree" --product velora/ \
  --sign "$work/velora.key" --expires 1 --renewer "$work/renew.key.pub"
cp -a "$tree" "$work/tree-1.0"
past "$publish" build -q --release "$work/release-2" --version 2.0 --out "$tree" --product velora/ \
  --sign "$work/velora.key" --expires 1
grep -q "^renew $(cat "$work/renew.key.pub")\$" "$lists/filelist.enc.sig" || fail "a later build forgot the renewal key"
start_nginx "$tree"

run() { run_trusting "$1" "$release"; }  # INSTALL

copy_installation "$work/release-1" "$work/player"
run "$work/player"
[ "$status" -eq 1 ] && grep -q "SIGNATURE_REFUSED.*expired" "$work/run.out" || fail "an expired tree was taken: exit $status"

# The daily job: the renewal key alone.
"$publish" resign "$tree" --renew-key "$work/renew.key" --expires 7 > "$work/resign.out" || fail "$(cat "$work/resign.out")"
grep -q "^3 signatures renewed" "$work/resign.out" || fail "resign --renew-key: $(cat "$work/resign.out")"
"$publish" verify "$tree" --public-key "$release" > "$work/verify.out" || { cat "$work/verify.out"; fail "verify refuses the renewed tree"; }
run "$work/player"
[ "$status" -eq 0 ] && same "$work/release-2" "$work/player" || fail "the renewed tree did not update the player: exit $status"
requests=$(wc -l < "$work/access.log")
run "$work/player"
[ "$status" -eq 0 ] || fail "a second run on the kept renewal: exit $status"
! tail -n +"$((requests + 1))" "$work/access.log" | grep -q "GET /velora/filelist.enc\(.sig\)\? HTTP/1.1 200" ||
  fail "a second run fetched the list again: the renewal was not kept with it"
"$publish" resign "$tree" --renew-key "$work/renew.key" --expires 3 > "$work/resign.out"
grep -q "^0 signatures renewed.*3 already valid" "$work/resign.out" || fail "a shorter renewal replaced a longer one"
echo "renew_e2e: the renewal key alone brought an expired tree back; the player updated and kept the renewal"

# Hostile uses refused by the publisher.
hostile=0
refused_by_publisher() {  # WHAT PATTERN COMMAND...
  local what=$1 pattern=$2
  shift 2
  "$@" > "$work/publish.out" 2>&1 && fail "$what was not refused"
  grep -q -- "$pattern" "$work/publish.out" || fail "$what: $(cat "$work/publish.out")"
  hostile=$((hostile + 1))
}
cp -a "$tree" "$work/tree.good"
refused_by_publisher "a build signed by the renewal key" "is a renewal key" \
  "$publish" build -q --release "$work/release-1" --version 1.1 --out "$tree" --product velora/ --sign "$work/renew.key"
refused_by_publisher "a rollback signed by the renewal key" "is a renewal key" \
  "$publish" rollback "$tree" --to 1.0 --sign "$work/renew.key"
refused_by_publisher "a new product signed by the renewal key" "is a renewal key" \
  "$publish" build -q --release "$work/release-1" --version 1.0 --out "$work/other" --product other/ --sign "$work/renew.key"
refused_by_publisher "a renewal by the release key" "is a release key" \
  "$publish" resign "$tree" --renew-key "$work/velora.key"
refused_by_publisher "a renewal by a key the signatures do not name" "names another renewal key" \
  "$publish" resign "$tree" --renew-key "$work/foreign.key"
diff -r -q "$work/tree.good" "$tree" > /dev/null || fail "a refused command changed the tree"

# Hostile uses refused by the updater: each on a fresh version-1 installation, the tree as it was
# between cases.
refused() {  # WHAT PATTERN
  rm -rf "$work/victim"
  copy_installation "$work/release-1" "$work/victim"
  run "$work/victim"
  [ "$status" -eq 1 ] && grep -q "SIGNATURE_REFUSED.*$2" "$work/run.out" || fail "$1: exit $status"
  same "$work/release-1" "$work/victim" || fail "$1 changed the installation"
  rm -rf "$tree" && cp -a "$work/tree.good" "$tree"
  hostile=$((hostile + 1))
}
"$tool" sign-as "$lists/filelist.enc" "$work/renew.key" renew velora/ 30
refused "the list signed by the renewal key" "trusted keys"
"$tool" sign-as "$tree/rootfolder.enc" "$work/renew.key" renew velora/ 30
refused "the root descriptor signed by the renewal key" "trusted keys"
"$tool" sign-as "$tree/rootfolder.enc" "$work/renew.key" renew other/ 30
refused "another product signed by the renewal key" "trusted keys"
"$tool" renew-as "$lists/filelist.enc" "$work/foreign.key" renew 7
refused "a renewal by a foreign key" "not signed by the renewal key"
"$tool" renew-as "$lists/filelist.enc" "$work/velora.key" release 7
refused "a renewal by the release key" "not signed by the renewal key"
"$tool" renew-as "$lists/filelist.enc" "$work/renew.key" renew 7 "statement=$lists/filelistfull.enc.sig"
refused "the full list's renewal for the list" "another statement"
"$tool" renew-as "$lists/filelist.enc" "$work/renew.key" renew 7 file=filelistfull.enc
refused "a renewal naming another file" "another statement"
"$tool" renew-as "$lists/filelist.enc" "$work/renew.key" renew 7 product=other/
refused "a renewal naming another product" "another statement"
"$tool" renew-as "$lists/filelist.enc" "$work/renew.key" renew -3
refused "a renewal that does not lengthen the statement's life" "does not lengthen"
"$tool" renew-as "$lists/filelist.enc" "$work/renew.key" renew 500
refused "a renewal past 400 days from the release key's signing" "only the release key"
"$tool" renew-as "$lists/filelist.enc" "$work/renew.key" renew -1
refused "a renewal that expired too" "expired too"
sed -i "s/^expires \(....\)/expires 2099/" "$lists/filelist.enc.renew"
refused "a renewal whose expiry was changed" "not signed by the renewal key"
cp "$lists/filelist.enc.sig" "$lists/filelist.enc.renew"
refused "a statement in place of the renewal" "zepo-renewal"
printf 'changed' >> "$lists/filelist.enc"
refused "a changed list under a valid renewal" "not the ones its signature states"
rm "$lists/filelist.enc.renew"
refused "the renewal taken away" "expired"
echo "renew_e2e: $hostile hostile uses of the renewal key refused"

# A rollback by the renewal key: version 1.0's lists, renewed, replayed to the player who holds 2.0.
rm -rf "$tree" && cp -a "$work/tree-1.0" "$tree"
for list in rootfolder.enc velora/filelist.enc velora/filelistfull.enc; do
  "$tool" renew-as "$tree/$list" "$work/renew.key" renew 7
  touch -d "@$(($(date +%s) + 5))" "$tree/$list"  # stamps the player has not seen
done
run "$work/player"
[ "$status" -eq 1 ] && grep -q "SIGNATURE_REFUSED.*older publication" "$work/run.out" || fail "the renewed 1.0 replayed: exit $status"
same "$work/release-2" "$work/player" || fail "the renewed 1.0 changed the installation"
echo "renew_e2e: version 1.0's lists renewed and replayed to a player on 2.0 refused"
