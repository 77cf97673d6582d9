#!/usr/bin/env bash
# End to end, keys rotated without a new client build: players' updaters trust only the first
# release key; the studio rotates it twice (rotate-key), and a player who ran between the
# rotations and one who slept through both reach the last release by following the tree's chain.
# The retired key's later signature is refused, the old renewal key renews nothing once the
# renewal key is rotated under the release key, and verify with the first key follows the chain.
#   rotate_e2e.sh WORK PUBLISH UPDATER TREE_TOOL [WINE_PREFIX]
set -euo pipefail
work=$1 publish=$2 updater=$3 tool=$4 prefix=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
source "$here/../support/installation.sh"
rm -rf "$work"
mkdir -p "$work/temp"
work=$(cd "$work" && pwd)
fail() { echo "rotate_e2e: $*"; tail -3 "$work/run.out" 2>/dev/null; exit 1; }
source "$here/../support/nginx.sh"
source "$here/../support/key_players.sh"

make_small_releases 3 100000
for key in velora-2026 velora-2027 velora-2028; do "$publish" keygen --out "$work/$key.key" > /dev/null; done
for key in renew-a renew-b; do "$publish" keygen --out "$work/$key.key" --role renew > /dev/null; done
first=$(cat "$work/velora-2026.key.pub")
tree="$work/tree"
build() {  # VERSION KEY
  "$publish" build -q --release "$work/release-${1%.0}" --version "$1" --out "$tree" --product velora/ --sign "$work/$2.key"
}
"$publish" build -q --release "$work/release-1" --version 1.0 --out "$tree" --product velora/ \
  --sign "$work/velora-2026.key" --renewer "$work/renew-a.key.pub"
start_nginx "$tree"

run() { run_trusting "$1" "$first"; }  # INSTALL

copy_installation "$work/release-1" "$work/awake"
copy_installation "$work/release-1" "$work/asleep"
run "$work/awake"
[ "$status" -eq 0 ] || fail "the first run: exit $status"

"$publish" rotate-key "$tree" --from "$work/velora-2026.key" --to "$work/velora-2027.key" > "$work/rotate.out" ||
  fail "rotate-key: $(cat "$work/rotate.out")"
grep -q "holds 1 link" "$work/rotate.out" || fail "rotate-key: $(cat "$work/rotate.out")"
# Until the tree changes, the player's kept signatures of the old key still hold.
run "$work/awake"
[ "$status" -eq 0 ] || fail "a run after the rotation: exit $status"
build 2.0 velora-2026 > "$work/build.out" 2>&1 && fail "the retired key still signs the tree"
build 2.0 velora-2027
run "$work/awake"
[ "$status" -eq 0 ] && same "$work/release-2" "$work/awake" || fail "the player did not reach 2.0 under the new key: exit $status"
[ -f "$work/awake/autoupdate.keys" ] || fail "the player did not keep the chain it followed"
echo "rotate_e2e: a player whose updater trusts only the old key followed the rotation and reached 2.0"

"$publish" rotate-key "$tree" --from "$work/velora-2027.key" --to "$work/velora-2028.key" > "$work/rotate.out"
"$publish" rotate-key "$tree" --from "$work/velora-2027.key" --to "$work/velora-2028.key" > "$work/rotate.out" ||
  fail "a rotation run again: $(cat "$work/rotate.out")"
grep -q "holds 2 links" "$work/rotate.out" || fail "a rotation run again added a link: $(cat "$work/rotate.out")"
build 3.0 velora-2028
run "$work/asleep"
[ "$status" -eq 0 ] && same "$work/release-3" "$work/asleep" || fail "a player two rotations behind: exit $status"
run "$work/awake"
[ "$status" -eq 0 ] && same "$work/release-3" "$work/awake" || fail "a player one rotation behind: exit $status"
echo "rotate_e2e: players one and two rotations behind reached 3.0"

# The retired key, stolen: its signature over the list, with a serial above the live one.
cp -a "$tree" "$work/tree.good"
"$tool" sign-as "$tree/velora/filelist.enc" "$work/velora-2027.key" release velora/ 30
"$tool" sign-as "$tree/rootfolder.enc" "$work/velora-2027.key" release velora/ 30
touch -d "@$(($(date +%s) + 5))" "$tree/rootfolder.enc" "$tree/velora/filelist.enc"
run "$work/awake"
[ "$status" -eq 1 ] && grep -q "SIGNATURE_REFUSED.*trusted keys" "$work/run.out" || fail "the retired key's signature: exit $status"
same "$work/release-3" "$work/awake" || fail "the retired key's signature changed the installation"
rm -rf "$tree" && cp -a "$work/tree.good" "$tree"
echo "rotate_e2e: a retired key's later signature refused"

"$publish" verify "$tree" --public-key "$first" > "$work/verify.out" || { cat "$work/verify.out"; fail "verify with the first key"; }
grep -q "2 rotations" "$work/verify.out" || fail "verify did not follow the chain: $(cat "$work/verify.out")"

# The renewal key, rotated under the release key.
"$publish" rotate-key "$tree" --role renew --from "$work/renew-a.key.pub" --to "$work/renew-b.key.pub" \
  --sign "$work/velora-2028.key" > "$work/rotate.out" || fail "rotate-key --role renew: $(cat "$work/rotate.out")"
"$publish" resign "$tree" --renew-key "$work/renew-a.key" > "$work/resign.out" 2>&1 && fail "the old renewal key still renews"
grep -q "names another renewal key" "$work/resign.out" || fail "$(cat "$work/resign.out")"
"$publish" resign "$tree" --renew-key "$work/renew-b.key" --expires 60 > "$work/resign.out" || fail "$(cat "$work/resign.out")"
grep -q "^3 signatures renewed" "$work/resign.out" || fail "the new renewal key: $(cat "$work/resign.out")"
run "$work/awake"
[ "$status" -eq 0 ] || fail "a run after the renewal key's rotation: exit $status"
echo "rotate_e2e: the renewal key rotated under the release key; the old one renews nothing"
# The release key's next signatures replace the renewals with none: they renew older statements.
"$publish" resign "$tree" --sign "$work/velora-2028.key" > /dev/null
! ls "$tree"/*.renew "$tree"/velora/*.renew > /dev/null 2>&1 || fail "renewals of replaced signatures were left"
