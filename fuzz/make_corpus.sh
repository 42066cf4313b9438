#!/usr/bin/env bash
# Remakes the fuzzer's seed corpus with pakwright's own builder.
# Usage: bash fuzz/make_corpus.sh PATH-TO-PAKWRIGHT
set -euo pipefail
pakwright=$(realpath "$1")
corpus=$(realpath "$(dirname "$0")")/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$corpus" "$work/empty" "$work/one" "$work/three/b" "$work/nested/a/b/c"

printf 'hello' > "$work/one/hello"
printf 'first' > "$work/three/a"
: > "$work/three/b/empty"
printf 'the third member' > "$work/three/c"
printf 'deep' > "$work/nested/a/b/c/file"
printf 'x%.0s' $(seq 1 300) > "$work/nested/a/b/medium"
printf 'n' > "$work/nested/a/$(printf 'l%.0s' $(seq 1 53))"

for tree in empty one three nested; do
  (cd "$work" && "$pakwright" -c -d "$tree" -p "$corpus/$tree.pak" >/dev/null)
done
