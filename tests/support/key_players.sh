# The releases and player runs of the key tests (keys, renewals, rotations): the test sets $work,
# $here, $updater, $prefix (a Wine prefix, or empty for the native updater) and serves the tree on
# $port (start_nginx).

# Versions 1 to COUNT of a small game, in $work/release-V: an executable and a random pack of
# BYTES, dated the first of month V.
#   make_small_releases COUNT BYTES
make_small_releases() {
  local v
  for v in $(seq "$1"); do
    mkdir -p "$work/release-$v/data"
    printf 'game %s\n' "$v" > "$work/release-$v/game.exe"
    head -c "$2" /dev/urandom > "$work/release-$v/data/pack.dat"
    touch -d "2026-0$v-01 10:00" "$work/release-$v"/* "$work/release-$v"/*/*
  done
}

# One quiet run of the updater on INSTALL trusting KEYS; its output in $work/run.out, its exit
# code in $status.
#   run_trusting INSTALL KEYS
run_trusting() {
  status=0
  if [ -n "$prefix" ]; then
    "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$1" --host "localhost:$port" --public-key "$2" --quiet \
      > "$work/run.out" 2>&1 || status=$?
  else
    "$updater" --dir "$1" --host "localhost:$port" --public-key "$2" --quiet > "$work/run.out" 2>&1 || status=$?
  fi
}

# Whether two installations hold the same game files (the updater's own files aside).
same() { diff -r -q -x logs -x log.ini -x zepo.lock -x 'autoupdate.*' -x update "$1" "$2" > /dev/null; }
