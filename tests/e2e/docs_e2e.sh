#!/usr/bin/env bash
# The docs' commands run as written: every zepo-publish command in a code block of the README
# and docs/*.md, in the order a reader meets them, in a scratch folder of the doc's own that
# holds the releases and keys the docs name (releases/1.0 to 3.0, velora.key, velora-2027.key
# unless the doc makes it with keygen). Each must end with status 0. Left out, and said so:
# commands that reach outside the scratch folder (an absolute path, another host) and serve,
# which runs until stopped. zepo-update's documented commands run in update_e2e.
#   docs_e2e.sh WORK PUBLISH
set -euo pipefail
work=$1 publish=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
docs=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$work"
mkdir -p "$work/bin"
ln -s "$publish" "$work/bin/zepo-publish"
export PATH="$work/bin:$PATH"
fail() { echo "docs_e2e: $*"; exit 1; }

# A code block's command lines of zepo-publish, a "$ " prompt taken off.
commands_of() {
  awk '/^```/ { inside = !inside; next } inside { sub(/^\$ /, ""); if ($0 ~ /^zepo-publish /) print }' "$1"
}
# Whether a command reaches outside the scratch folder or does not end by itself.
outside() {
  [[ $1 == *" serve "* ]] || [[ $1 =~ (rsync://|@[a-z.]+:|[[:space:]]/[a-z]) ]]
}
scratch() {
  local folder=$1 doc=$2
  mkdir -p "$folder"
  for version in 1.0 2.0 3.0; do
    local release="$folder/releases/$version"
    mkdir -p "$release/data" && printf 'game %s\n' "$version" > "$release/game.exe" && printf 'intro' > "$release/data/intro.bik"
    head -c 50000 /dev/zero | tr '\0' "${version:0:1}" > "$release/data/pack.dat"
  done
  for key in velora.key velora-2027.key; do
    commands_of "$doc" | grep -q "keygen --out $key" || (cd "$folder" && zepo-publish keygen --out "$key" > /dev/null)
  done
}

ran=0 skipped=0
for doc in "$docs/README.md" "$docs"/docs/*.md; do
  name=$(basename "$doc" .md)
  scratch "$work/$name" "$doc"
  while IFS= read -r command; do
    if outside "$command"; then
      skipped=$((skipped + 1))
      continue
    fi
    status=0
    (cd "$work/$name" && eval "$command") > "$work/$name.out" 2>&1 || status=$?
    [ "$status" -eq 0 ] || fail "$name: \"$command\" ended with $status: $(tail -3 "$work/$name.out")"
    ran=$((ran + 1))
  done < <(commands_of "$doc")
done
[ "$ran" -ge 15 ] || fail "only $ran commands were found in the docs"
echo "docs_e2e: $ran documented commands ran as written ($skipped reach outside the scratch folder)"
