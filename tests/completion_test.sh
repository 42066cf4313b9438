#!/usr/bin/env bash
# Loads the bash completion given as $1 into a plain bash and checks the
# candidates it offers, in a directory holding an archive, another file and
# a subdirectory.
set -u
export LC_ALL=C
source "$1" || exit 1
[[ $(complete -p pakwright) == *_pakwright* ]] || { echo "not registered"; exit 1; }
cd "$(mktemp -d)" || exit 1
trap 'rm -rf "$PWD"' EXIT
mkdir sub && touch a.pak notes.txt sub/b.pak

total=0 failed=0
# check WANT WORD...: the sorted candidates for the last word of "pakwright WORD...".
check()
{
    local want=$1
    shift
    COMP_WORDS=(pakwright "$@") COMP_CWORD=$#
    _pakwright
    local got
    total=$((total + 1))
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' ')
    if [[ $got != "$want" ]]; then
        echo "pakwright $*: got '$got', want '$want'"
        failed=$((failed + 1))
    fi
}

all='--create --dir= --help --list --pak= -c -d -h -l -p'
check "$all" ''
check '--dir=' --d
check '' notes
check 'a.pak sub' -p ''
check 'a.pak sub' --pak ''
check 'a.pak sub' --pa ''
check 'a.pak sub' -cp ''
check 'sub/b.pak' -p sub/
check 'notes.txt' -p n
check 'sub' -d ''
check 'sub' --dir ''
# '=' breaks words by default; without it the attached value comes whole.
check 'sub' --dir =
check 'a.pak sub' --pak = ''
check '--dir=sub' --dir=
check '--pak=a.pak --pak=sub' --pak=
check '' --create=
check "$all" -p a.pak -
echo "$((total - failed)) passed, $failed failed"
((failed == 0))
