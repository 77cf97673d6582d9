#!/usr/bin/env bash
# The house's own checks catch what they are for, on a small source tree made here: a function one
# line over the limit (a class member with a signature over two lines) and one at the limit; an
# include from the services up into the engine, and two engine files that include each other.
#   house_checks_e2e.sh
set -euo pipefail
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/engine" "$work/src/services"

body() { for i in $(seq "$1"); do echo "    int v$i = $i;"; done; }
{
  echo 'class Runner {'
  echo ' public:'
  echo '  int Long(int first,'
  echo '           int second) {'
  body 59
  echo '  }'
  echo '  int Fits() {'
  body 58
  echo '  }'
  echo '};'
} > "$work/src/engine/runner.h"
printf '#include "engine/b.h"\n' > "$work/src/engine/a.h"
printf '#include "engine/a.h"\n' > "$work/src/engine/b.cpp"
printf '#include "engine/runner.h"\n' > "$work/src/services/low.cpp"

fail() { echo "house_checks_e2e: $*" >&2; exit 1; }

if out=$("$scripts/check-functions" 60 "$work/src"); then fail "a 61-line function passed: $out"; fi
grep -q "Long is 61 lines" <<<"$out" || fail "the long function is not named: $out"
! grep -q "Fits" <<<"$out" || fail "a 60-line function was refused: $out"

if out=$("$scripts/check-includes" "$work/src"); then fail "an upward include and a circle passed: $out"; fi
grep -q "upward include: services/low.cpp includes engine/runner.h" <<<"$out" || fail "no upward include named: $out"
grep -q "include circle among: .*engine/a.*engine/b\|include circle among: .*engine/b.*engine/a" <<<"$out" ||
  fail "no circle named: $out"

"$scripts/check-functions" 61 "$work/src" >/dev/null || fail "the limit is not taken from the command line"
echo "house_checks_e2e: the long function, the upward include and the circle are each named"
