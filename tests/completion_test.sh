#!/usr/bin/env bash
# completion_test.sh SHELL FILE: loads the completion FILE into a real SHELL
# (bash, zsh or fish) and checks the candidates it offers, in a directory
# holding an archive, another file and a subdirectory.
set -u
export LC_ALL=C
shell=$1 file=$(realpath "$2") here=$(cd "$(dirname "$0")" && pwd)
cd "$(mktemp -d)" || exit 1
trap 'rm -rf "$PWD"' EXIT
mkdir sub && touch a.pak notes.txt sub/b.pak

# Each case: the candidates, sorted, as the shells share them (a directory's
# "/" and a value's "=" left off, as each shell adds its own), then "|" and
# what follows "pakwright " on the command line.
all='--create --dir --help --list --pak -c -d -h -l -p'
cases=("$all|-" "--dir|--d" "|notes" "a.pak sub|-p " "a.pak sub|--pak " "a.pak sub|-cp "
    "sub/b.pak|-p sub/" "notes.txt|-p n" "sub|-d " "sub|--dir " "--dir=sub|--dir="
    "--pak=a.pak --pak=sub|--pak=")
case $shell in
bash)
    # '=' breaks words by default; without it the attached value comes whole.
    cases+=("$all|" "a.pak sub|--pa " "sub|--dir =" "a.pak sub|--pak = " "|--create=" "$all|-p a.pak -")
    source "$file" || exit 1
    [[ $(complete -p pakwright) == *_pakwright* ]] || { echo "not registered"; exit 1; }
    # A lone "--dir=" takes its value without a space.
    COMP_WORDS=(pakwright --d) COMP_CWORD=1 && _pakwright
    [[ ${COMPREPLY[*]} == --dir= ]] || { echo "bash: --d offers '${COMPREPLY[*]}', not '--dir='"; exit 1; }
    ;;
zsh | fish) cases+=("-pa.pak|-pa") ;;
*) echo "no such shell: $shell"; exit 1 ;;
esac

# Prints the candidates for each case's command line, each line's followed
# by a line "\3".
offered()
{
    local line words
    case $shell in
    zsh) timeout 60 zsh -f "$here/zsh_complete.zsh" "$(dirname "$file")" "${@/#/pakwright }" ;;
    *)
        for line; do
            if [[ $shell == fish ]]; then
                fish -N -c 'source $argv[1]; complete -C "pakwright $argv[2]"' "$file" "$line" | cut -f1
            else
                read -ra words <<<"$line"
                [[ $line == *' ' || -z $line ]] && words+=('')
                COMP_WORDS=(pakwright "${words[@]}") COMP_CWORD=${#words[@]}
                _pakwright
                printf '%s\n' "${COMPREPLY[@]}"
            fi
            echo $'\3'
        done
        ;;
    esac
}

failed=0 i=0 found=()
while IFS= read -r word; do
    if [[ $word != $'\3' ]]; then
        found+=("${word%[/=]}")
        continue
    fi
    want=${cases[i]%%|*} line=${cases[i]#*|}
    got=$( ((${#found[@]})) && printf '%s\n' "${found[@]}" | grep . | sort -u | paste -sd' ')
    if [[ $got != "$want" ]]; then
        echo "$shell: pakwright $line: got '$got', want '$want'"
        failed=$((failed + 1))
    fi
    i=$((i + 1)) found=()
done < <(offered "${cases[@]#*|}")
echo "$shell: $((i - failed)) passed, $failed failed"
((failed == 0 && i == ${#cases[@]}))
