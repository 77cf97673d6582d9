#!/usr/bin/env bash
# End to end, a lost release key recovered by the spare that clients were built with: the studio
# signs with its key; players' updaters trust that key and a spare kept in a safe; the key is
# lost; the next release is signed with the spare (--change-key, which names the lost key), and
# every player reaches it. An updater that trusts only the lost key refuses the spare's tree, and
# the spare cannot be taken for the lost key's by a replayed old list.
# A release key may also be a set of keys of which two must sign: one signature is refused.
#   keys_e2e.sh WORK PUBLISH UPDATER [WINE_PREFIX]
set -euo pipefail
work=$1 publish=$2 updater=$3 prefix=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
source "$here/../support/installation.sh"
rm -rf "$work"
mkdir -p "$work/temp"
fail() { echo "keys_e2e: $*"; tail -3 "$work/run.out" 2>/dev/null; exit 1; }
source "$here/../support/nginx.sh"
source "$here/../support/key_players.sh"

make_small_releases 2 200000
"$publish" keygen --out "$work/velora.key" > /dev/null
"$publish" keygen --out "$work/spare.key" > /dev/null
main=$(cat "$work/velora.key.pub") spare=$(cat "$work/spare.key.pub")
tree="$work/tree"
"$publish" build -q --release "$work/release-1" --version 1.0 --out "$tree" --product velora/ --sign "$work/velora.key"
start_nginx "$tree"

run() { run_trusting "$@"; }  # INSTALL KEYS

copy_installation "$work/release-1" "$work/player"
copy_installation "$work/release-1" "$work/old-player"
run "$work/player" "$main,$spare"
[ "$status" -eq 0 ] && same "$work/release-1" "$work/player" || fail "a player trusting both keys: exit $status"
run "$work/old-player" "$main"
[ "$status" -eq 0 ] || fail "a player trusting the main key: exit $status"
cp "$tree/velora/filelist.enc" "$tree/velora/filelist.enc.sig" "$work/temp/"

# The main key is lost. The spare signs the next release; the tree names the key it replaces.
rm "$work/velora.key"
"$publish" build -q --release "$work/release-2" --version 2.0 --out "$tree" --product velora/ --sign "$work/spare.key" \
  > "$work/build.out" 2>&1 && fail "a build with another key than the tree's was not refused"
grep -q "$main" "$work/build.out" || fail "the refusal does not name the tree's key: $(cat "$work/build.out")"
"$publish" build -q --release "$work/release-2" --version 2.0 --out "$tree" --product velora/ --sign "$work/spare.key" \
  --change-key || fail "the spare key could not sign the tree"
"$publish" verify "$tree" --public-key "$spare" > "$work/verify.out" || { cat "$work/verify.out"; fail "verify refuses the spare's tree"; }
run "$work/player" "$main,$spare"
[ "$status" -eq 0 ] && same "$work/release-2" "$work/player" || fail "a player trusting both keys did not reach 2.0: exit $status"
run "$work/old-player" "$main"
[ "$status" -eq 1 ] && grep -q "SIGNATURE_REFUSED" "$work/run.out" || fail "a player trusting only the lost key: exit $status"
same "$work/release-1" "$work/old-player" || fail "a refused tree changed the installation"
# A run refused before it knew the product's folder tells the server nothing.
! grep -q "GET /report/" "$work/access.log" || fail "a run refused at the root descriptor reported outside the product"
echo "keys_e2e: the lost key's players who also trust the spare reached 2.0; those who trust only the lost key refuse it"

# The lost key's last list, replayed: its serial is below the spare's, which the player accepted.
cp "$work/temp/filelist.enc" "$work/temp/filelist.enc.sig" "$tree/velora/"
touch -d "@$(( $(date +%s) + 5 ))" "$tree/velora/filelist.enc"  # a stamp the player has not seen
run "$work/player" "$main,$spare"
[ "$status" -eq 1 ] && grep -q "SIGNATURE_REFUSED" "$work/run.out" || fail "the lost key's older list replayed: exit $status"
same "$work/release-2" "$work/player" || fail "a replayed list changed the installation"
echo "keys_e2e: the lost key's older list replayed after the recovery was refused"

# A release key that is a set of three, of which two sign every statement.
for key in a b c; do "$publish" keygen --out "$work/set-$key.key" > /dev/null; done
set="2:$(cat "$work/set-a.key.pub"),$(cat "$work/set-b.key.pub"),$(cat "$work/set-c.key.pub")"
tree="$work/tree-set"
"$publish" build -q --release "$work/release-1" --version 1.0 --out "$tree" --product velora/ \
  --sign "$work/set-a.key" --sign "$work/set-b.key"
start_nginx "$tree"
rm -rf "$work/set-player" && copy_installation "$work/release-1" "$work/set-player"
run "$work/set-player" "$set"
[ "$status" -eq 0 ] || fail "a statement two keys of the set signed: exit $status"
"$publish" build -q --release "$work/release-2" --version 2.0 --out "$tree" --product velora/ --sign "$work/set-a.key"
run "$work/set-player" "$set"
[ "$status" -eq 1 ] && grep -q "SIGNATURE_REFUSED.*1 of the 2 signatures" "$work/run.out" || fail "one key of the set: exit $status"
same "$work/release-1" "$work/set-player" || fail "a statement one key of the set signed changed the installation"
"$publish" verify "$tree" --public-key "$set" > "$work/verify.out" && fail "verify took one signature for two"
"$publish" resign "$tree" --sign "$work/set-a.key" --sign "$work/set-c.key" > /dev/null
run "$work/set-player" "$set"
[ "$status" -eq 0 ] && same "$work/release-2" "$work/set-player" || fail "two keys of the set again: exit $status"
"$publish" verify "$tree" --public-key "$set" > "$work/verify.out" || fail "verify refuses two signatures of the set"
echo "keys_e2e: a set of three keys of which two must sign: one signature refused, two of any pair taken"
