#!/usr/bin/env bash
# End to end: nginx serves a version-2 tree on loopback, zepo-update brings a version-1
# installation up to it, and a second run downloads nothing.
#   update_e2e.sh WORK TREE_TOOL UPDATER [WINE_PREFIX]
# With WINE_PREFIX the updater is a Windows program and runs under Wine.
set -euo pipefail
work=$1 tool=$2 updater=$3 prefix=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/ports.sh"
rm -rf "$work"
mkdir -p "$work/temp"
root="$work/www" install="$work/install"
"$tool" build "$root" "$install"

free_port port
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$root|g" -e "s|@PORT@|$port|g" -e "s|@RATE@|0|g" "$here/nginx.conf.in" > "$work/nginx.conf"
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work"
trap 'kill "$(cat "$work/nginx.pid")" 2>/dev/null || true' EXIT

run_updater() {
  if [ -n "$prefix" ]; then
    "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$install" --host "localhost:$port" --log-level 4 "$@"
  else
    "$updater" --dir "$install" --host "localhost:$port" --log-level 4 "$@"
  fi
}

# The first native run shows its progress line on a terminal of its own.
run_first() {
  if [ -z "$prefix" ] && command -v script >/dev/null; then
    script -qefc "$(printf '%q ' "$updater" --dir "$install" --host "localhost:$port" --log-level 4)" /dev/null
  else
    run_updater
  fi
}

fail() { echo "update_e2e: $*"; exit 1; }
log_lines() { cut -c16- "$install"/logs/update*.txt | tr -d '\r'; }

# A dry run says what the run would do and changes nothing: no file, no time, no stage.
game_files() { (cd "$install" && find . -path ./logs -prune -o -name 'autoupdate.*' -o -name zepo.lock -o -print | sort | while read -r f; do
  if [ -f "$f" ]; then echo "$f $(md5sum < "$f" | cut -c1-32) $(stat -c %Y "$f")"; else echo "$f"; fi; done); }
before=$(game_files)
if [ -n "$prefix" ]; then
  "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$install" --host "localhost:$port" --dry-run > "$work/dry.out" 2>&1
else
  "$updater" --dir "$install" --host "localhost:$port" --dry-run > "$work/dry.out" 2>&1
fi || fail "the dry run failed: $(tail -3 "$work/dry.out")"
# Each step with the bytes that cross the network: a patch's own length.
patch_bytes=$(stat -c %s "$root/velora/p1/a.dat")
for line in "download b.dat  (13 bytes to download)" "download data.big.pak" "patch    a.dat  ($patch_bytes bytes to download)" \
    "remove   gone.dat" "remove   oldfolder" "dry run for version 2.0: 6 files to fetch, 300 kB to download, 2 to remove"; do
  grep -qF "$line" <(tr '\\' . < "$work/dry.out") || fail "the dry run did not say \"$line\": $(cat "$work/dry.out")"
done
if [ -n "$prefix" ]; then
  "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$install" --host "localhost:$port" --dry-run --json > "$work/dry.json" 2>&1
else
  "$updater" --dir "$install" --host "localhost:$port" --dry-run --json > "$work/dry.json" 2>&1
fi || fail "the dry run with --json failed: $(cat "$work/dry.json")"
grep -qF '"version_after": null,' "$work/dry.json" &&
  grep -qF '{"action": "patch", "file": "a.dat", "source": null, "size": null, "download_bytes": '"$patch_bytes"'}' "$work/dry.json" &&
  grep -qF '{"action": "remove", "file": "gone.dat", "source": null, "size": null, "download_bytes": 0}' "$work/dry.json" ||
  fail "the dry run's JSON does not hold its plan: $(cat "$work/dry.json")"
[ "$(game_files)" = "$before" ] || fail "the dry run changed the installation: $(diff <(echo "$before") <(game_files))"
[ ! -e "$install/update" ] || fail "the dry run left its working folder"
status=0
run_first > "$work/first.out" || status=$?
[ "$status" -eq 0 ] || { cat "$work/first.out"; log_lines; fail "first run ended with $status"; }
"$tool" verify "$install" || fail "the installation is not version 2"
grep -qx "Finished update to the newest version 2.0" <(log_lines) || fail "no final success line"
grep -q "zepo-update: version 2.0: 5 files downloaded, 1 patched, 0 copied from files already here, 2 removed; " \
  "$work/first.out" || fail "no closing summary: $(tail -2 "$work/first.out")"
grep -qx "Rebuild patch file \[a.dat\] => Success" <(log_lines) || fail "the patch was not rebuilt"
grep -q "AutoUpdateApp: Connect to patch server \[http://127.0.0.1:$port/velora/\] => Success" \
  <(iconv -f UTF-16LE -t UTF-8 "$install"/logs/zepo/*.log) || fail "no connection entry in the diagnostic log"

: > "$work/access.log"
kill -USR1 "$(cat "$work/nginx.pid")"
sleep 0.5
rm -f "$install"/logs/update*.txt
status=0
run_updater > "$work/second.out" || status=$?
[ "$status" -eq 0 ] || fail "second run ended with $status"
[ "$(log_lines | tail -n 1)" = "The game is already update to the newest version 2.0" ] || fail "second run did work"
for f in a.dat b.dat same.dat 'data\big.pak' ro.dat; do
  grep -qxF "Check file [$f] => Same time" <(log_lines) || fail "$f was not taken by its time"
done
grep -q 'filelist.enc' "$work/access.log" || fail "the second run's requests were not logged"
# The same up-to-date run for scripts: one JSON object, nothing else on stdout.
updater_json() {
  if [ -n "$prefix" ]; then
    "$here/../../cmake/wine-run" "$prefix" "$updater" --dir "Z:$install" --host "localhost:$port" --json
  else
    "$updater" --dir "$install" --host "localhost:$port" --json
  fi
}
updater_json > "$work/json.out" || fail "the --json run failed"
[ "$(wc -l < "$work/json.out")" -eq 1 ] || fail "--json printed more than one line: $(cat "$work/json.out")"
for field in '"result": "finished"' '"exit": 0' '"version_before": "2.0"' '"version_after": "2.0"' '"downloaded": 0' \
    '"error": null'; do
  grep -qF -- "$field" "$work/json.out" || fail "--json does not say $field: $(cat "$work/json.out")"
done
if grep -q '/v2/\|/p1/' "$work/access.log"; then
  grep '/v2/\|/p1/' "$work/access.log"
  fail "the second run downloaded files"
fi
# A file damaged behind the updater's back keeps its time: a normal run takes it as it is, and
# --repair reads every file, replaces it and names it.
cp -p "$install/same.dat" "$work/same.dat.kept"
printf 'damaged' > "$install/same.dat" && touch -r "$work/same.dat.kept" "$install/same.dat"
run_updater > /dev/null || fail "the run over a damaged file failed"
[ "$(cat "$install/same.dat")" = damaged ] || fail "a normal run read a file of the listed time"
run_updater --repair > "$work/repair.out" || fail "--repair failed"
cmp -s "$install/same.dat" "$work/same.dat.kept" || fail "--repair did not put the damaged file right"
grep -q "zepo-update: repaired 1 file that had the listed time but other content: same.dat" "$work/repair.out" ||
  fail "--repair does not name what it repaired: $(tail -2 "$work/repair.out")"
# A relative --dir is taken against the current folder once: the logs go to the installation.
rm -f "$install"/logs/update*.txt
status=0
if [ -n "$prefix" ]; then
  (cd "$work" && "$here/../../cmake/wine-run" "$prefix" "$updater" --dir install --host "localhost:$port") \
    > "$work/relative.out" 2>&1 || status=$?
else
  (cd "$work" && "$updater" --dir install --host "localhost:$port") > "$work/relative.out" 2>&1 || status=$?
fi
[ "$status" -eq 0 ] || { cat "$work/relative.out"; fail "the run with a relative --dir ended with $status"; }
[ ! -e "$install/install" ] || fail "a relative --dir was taken twice (install/install exists)"
[ "$(log_lines | tail -n 1)" = "The game is already update to the newest version 2.0" ] ||
  fail "the run with a relative --dir wrote no update log"
# The command line: --version, and a bad value named back with exit status 2.
updater_with() {
  if [ -n "$prefix" ]; then "$here/../../cmake/wine-run" "$prefix" "$updater" "$@"; else "$updater" "$@"; fi
}
updater_with --version | grep -q "^zepo-update [0-9]" || fail "--version printed no version"
status=0
updater_with --dir "$(if [ -n "$prefix" ]; then echo "Z:$install"; else echo "$install"; fi)" --log-level abc \
  > "$work/bad.out" 2>&1 || status=$?
[ "$status" -eq 2 ] && grep -q 'takes 0 to 4, not "abc"' "$work/bad.out" || fail "a bad --log-level was not named (exit $status)"
status=0
updater_with --root-key="Zepo]Folder" > "$work/bad.out" 2>&1 || status=$?
[ "$status" -eq 2 ] && grep -q 'root-key takes a key name without = \[ \] ; or line ends, not "Zepo\]Folder"' "$work/bad.out" ||
  fail "a --root-key that no descriptor can hold was not named (exit $status): $(cat "$work/bad.out")"
# A usage error is one line and where the help is; the help itself only on --help.
status=0
updater_with --dir --host "localhost:$port" > "$work/bad.out" 2>&1 || status=$?
[ "$status" -eq 2 ] && [ "$(tr -d '\r' < "$work/bad.out")" = "$(printf 'zepo-update: --dir needs a value\nsee zepo-update --help')" ] ||
  fail "a missing value was not named in one line (exit $status): $(head -3 "$work/bad.out")"
# A --dir that is no folder says what it is.
: > "$work/a-file"
status=0
updater_with --dir "$(if [ -n "$prefix" ]; then echo "Z:$work/nowhere"; else echo "$work/nowhere"; fi)" \
  > "$work/bad.out" 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -q 'nowhere" does not exist' "$work/bad.out" || fail "a missing --dir was not named: $(cat "$work/bad.out")"
updater_with --dir "$(if [ -n "$prefix" ]; then echo "Z:$work/a-file"; else echo "$work/a-file"; fi)" \
  > "$work/bad.out" 2>&1 || status=$?
grep -q 'a-file" is a file, not a folder' "$work/bad.out" || fail "a file as --dir was not named: $(cat "$work/bad.out")"
# A folder of someone's own files is no installation: refused, with or without --install, and
# nothing in it touched; --install makes a new folder and installs the game there.
at() { if [ -n "$prefix" ]; then echo "Z:$1"; else echo "$1"; fi; }
mkdir -p "$work/documents" && printf 'my notes' > "$work/documents/readme.txt" && printf 'mine' > "$work/documents/b.dat"
# The updater's own program copied among them proves nothing.
printf 'a copy of the updater' > "$work/documents/zepo-update.exe"
for install_flag in "" --install; do
  status=0
  updater_with --dir "$(at "$work/documents")" --host "localhost:$port" $install_flag > "$work/bad.out" 2>&1 || status=$?
  [ "$status" -eq 1 ] && grep -q 'documents" is not an installation of the game' "$work/bad.out" &&
    grep -q "give an empty or new folder with --install" "$work/bad.out" ||
    fail "a folder of other files was not refused (exit $status): $(cat "$work/bad.out")"
done
[ "$(cat "$work/documents/b.dat")" = mine ] && [ "$(ls -A "$work/documents" | wc -l)" -eq 3 ] ||
  fail "the refused folder was changed: $(ls -A "$work/documents")"
# A script asking for JSON gets one object for a refusal too, and for a usage error; values may be
# joined by "="; --quiet and --verbose together are refused.
status=0
updater_with --dir="$(at "$work/documents")" --host="localhost:$port" --json > "$work/bad.json" 2> /dev/null || status=$?
[ "$status" -eq 1 ] && grep -q '^{"result": "refused", "exit": 1, "version_before": null, "version_after": null, "error": {"code": "FOLDER_REFUSED", "step": "take the folder", "file": ".*documents", "cause": ".*is not an installation' "$work/bad.json" ||
  fail "a refused folder with --json: exit $status, $(cat "$work/bad.json")"
status=0
updater_with --json --quiet --verbose > "$work/bad.json" 2> /dev/null || status=$?
[ "$status" -eq 2 ] && grep -q '"exit": 2, .*"code": "USAGE", .*"file": null, "cause": "--quiet and --verbose contradict each other"' "$work/bad.json" ||
  fail "a usage error with --json: exit $status, $(cat "$work/bad.json")"
grep -q "nowhere\" does not exist; --install makes it" <(updater_with --dir "$(at "$work/nowhere")" 2>&1) ||
  fail "a missing folder did not point to --install"
updater_with --dir "$(at "$work/new/velora")" --install --host "localhost:$port" --quiet || fail "--install into a new folder failed"
[ "$(cat "$work/new/velora/b.dat")" = "new b" ] || fail "--install did not install version 2"
# The host it was installed from is kept (given as a URL), and the next run without --host goes there.
updater_with --dir "$(at "$work/new/velora")" --install --host "http://localhost:$port/" --quiet ||
  fail "--install --host http://… into an installation failed"
grep -q "PatchHost=http://localhost:$port/" <(tr -d '\0' < "$work/new/velora/log.ini") ||
  fail "--install --host did not keep the host in log.ini: $(tr -d '\0' < "$work/new/velora/log.ini")"
updater_with --dir "$(at "$work/new/velora")" --quiet || fail "the new installation did not update from its kept host"
# Values of log.ini that do not read are named once, with what is used instead.
cp "$install/log.ini" "$work/log.ini.saved" 2>/dev/null || : > "$work/log.ini.saved"
printf '[zepo]\r\nConnections=99\r\nMaxRate=5x\r\n' > "$install/log.ini"
updater_with --dir "$(if [ -n "$prefix" ]; then echo "Z:$install"; else echo "$install"; fi)" \
  --host "localhost:$port" --quiet > "$work/ini.out" 2> "$work/ini.err" || fail "the run with bad log.ini values failed"
[ "$(grep -c "warning: log.ini: Connections=99 is not 1 to 16; the default is used" "$work/ini.err")" -eq 1 ] &&
  grep -q "warning: log.ini: MaxRate=5x is not BYTES" "$work/ini.err" || fail "bad log.ini values were not named: $(cat "$work/ini.err")"
cp "$work/log.ini.saved" "$install/log.ini"
# --quiet prints nothing for a run that has nothing to say; --verbose adds the diagnostic log.
updater_with --dir "$(if [ -n "$prefix" ]; then echo "Z:$install"; else echo "$install"; fi)" \
  --host "localhost:$port" --quiet > "$work/quiet.out" 2> "$work/quiet.err" || fail "the quiet run failed"
[ ! -s "$work/quiet.out" ] && [ ! -s "$work/quiet.err" ] || fail "--quiet printed something"
updater_with --dir "$(if [ -n "$prefix" ]; then echo "Z:$install"; else echo "$install"; fi)" \
  --host "localhost:$port" --verbose > "$work/verbose.out" 2> "$work/verbose.err" ||
  fail "the verbose run failed"
grep -q "AutoUpdateApp: Connect to patch server" "$work/verbose.err" "$work/verbose.out" ||
  fail "--verbose did not show the diagnostic log"
# Colours only on a terminal, and never with NO_COLOR: a file gets the plain lines.
colour=$'\x1b\[[0-9;]*m'
! grep -qE "$colour" "$work/verbose.err" || fail "colour codes went into a file"
if [ -z "$prefix" ] && command -v script >/dev/null; then
  on_terminal() { script -qefc "$(printf '%q ' "$updater" --dir "$install" --host "localhost:$port" --verbose --log-level 4)" /dev/null; }
  on_terminal > "$work/colour.out" || fail "the verbose run on a terminal failed"
  grep -qE "$colour" "$work/colour.out" || fail "the terminal run showed no colours"
  NO_COLOR=1 on_terminal > "$work/nocolour.out" || fail "the run with NO_COLOR failed"
  ! grep -qE "$colour" "$work/nocolour.out" || fail "NO_COLOR did not take the colours away"
fi
echo "update_e2e: passed${prefix:+ under Wine}"
