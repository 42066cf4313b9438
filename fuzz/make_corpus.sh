#!/usr/bin/env bash
# Remakes the fuzzers' seed corpora: archives made by pakwright's own builder
# for the reader, argument vectors for the option parser and tree
# descriptions for the round trip (their byte layout is described at the top
# of fuzz/roundtrip_fuzz.cpp).
# Usage: bash fuzz/make_corpus.sh PATH-TO-PAKWRIGHT
set -euo pipefail
pakwright=$(realpath "$1")
corpus=$(realpath "$(dirname "$0")")/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$corpus/read" "$corpus/options" "$corpus/roundtrip"
mkdir -p "$work/empty" "$work/one" "$work/three/b" "$work/nested/a/b/c"

printf 'hello' > "$work/one/hello"
printf 'first' > "$work/three/a"
: > "$work/three/b/empty"
printf 'the third member' > "$work/three/c"
printf 'deep' > "$work/nested/a/b/c/file"
printf 'x%.0s' $(seq 1 300) > "$work/nested/a/b/medium"
printf 'n' > "$work/nested/a/$(printf 'l%.0s' $(seq 1 53))"

for tree in empty one three nested; do
  (cd "$work" && "$pakwright" -c -d "$tree" -p "$corpus/read/$tree.pak" >/dev/null)
done

# Elements end at NUL bytes.
printf -- '-c\0-l\0-pout.pak\0-d\0dir\0' > "$corpus/options/short.args"
printf -- '--create\0--pa=x.pak\0--dir\0tree\0--\0-h\0' > "$corpus/options/long.args"
printf -- '-cxl\0--help=x\0--pakfile\0-p' > "$corpus/options/errors.args"
printf -- '--%s\0-i%s\0' "$(printf 'x%.0s' $(seq 1 600))" "$(printf '9%.0s' $(seq 1 600))" \
  > "$corpus/options/long-texts.args"
printf -- '--string=abc\0-S\0v\0-i-2147483649\0--uint\0004294967296\0-l\0-9223372036854775808\0--unsigned=18446744073709551616\0-G12x\0-Ff\0-q\0-5\0' \
  > "$corpus/options/every-kind.args"

# A file, a directory and a larger file inside it.
printf '\004\000\000a\005x\005\000\000d\004\001\000b\310\007' > "$corpus/roundtrip/files.tree"
# A directory with a file; at the top a relative link to that file, an
# absolute link to the directory and a hidden file; in the directory a link
# back to the top.
printf '\005\000\000d\004\001\000f\012\001\046\000\000l\000\007\000\000m\001\047\001\000u\000\000\000\002hx\003\011' \
  > "$corpus/roundtrip/links.tree"
# A file whose stored path has exactly 55 bytes.
printf '\004\000\373%s\001n' "$(printf 'n%.0s' $(seq 1 55))" > "$corpus/roundtrip/long-name.tree"
