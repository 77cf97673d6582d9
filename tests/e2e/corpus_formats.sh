#!/usr/bin/env bash
# Both patch formats round-trip the small pairs of the shared delta corpus (real builds of
# programs and a data file), with zepo-publish diff and patch. The corpus is fetched by bench/run
# delta into $ZEPO_CORPUS (default build/corpus); without it the test is skipped (exit 77).
#   corpus_formats.sh WORK PUBLISH CORPUS
set -euo pipefail
work=$1 publish=$2 corpus=${ZEPO_CORPUS:-$3}
[ -f "$corpus/corpus/manifest.tsv" ] || { echo "corpus_formats: no corpus in $corpus: skipped"; exit 77; }
rm -rf "$work"
mkdir -p "$work"
for pair in data-geoip-names elf-esbuild-adj pe-esbuild-adj; do
  old=$(ls "$corpus/corpus/$pair"/old.*) new=$(ls "$corpus/corpus/$pair"/new.*)
  "$publish" diff "$old" "$new" "$work/$pair.1" --packed --format 1
  "$publish" diff "$old" "$new" "$work/$pair.2" --format 2
  "$publish" patch "$old" "$work/$pair.1" "$work/$pair.new1" --packed
  "$publish" patch "$old" "$work/$pair.2" "$work/$pair.new2"
  cmp -s "$work/$pair.new1" "$new" || { echo "corpus_formats: format 1 does not rebuild $pair"; exit 1; }
  cmp -s "$work/$pair.new2" "$new" || { echo "corpus_formats: format 2 does not rebuild $pair"; exit 1; }
  # The other pair's new file is not the old file that the patch was made from.
  if "$publish" patch "$new" "$work/$pair.2" "$work/$pair.wrong" 2> /dev/null; then
    echo "corpus_formats: a format-2 patch of $pair applied to another file"
    exit 1
  fi
  [ ! -e "$work/$pair.wrong" ] || { echo "corpus_formats: a refused patch left its output"; exit 1; }
  echo "corpus_formats: $pair: format 1 $(stat -c %s "$work/$pair.1") bytes, format 2 $(stat -c %s "$work/$pair.2")"
done
