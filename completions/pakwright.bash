# bash completion for pakwright: options, archives after -p/--pak and
# directories after -d/--dir, separate or attached (--pak=FILE, --dir=DIR).
# Plain compgen only, so it works without the bash-completion package.

# Prints "pak" or "dir" when option word takes the archive or the directory,
# nothing otherwise. Long names may be cut to any leading part, the first of
# p, d, c, l, h that begins with it winning; short options group (-cp FILE).
_pakwright_value_of()
{
    case $1 in
    --pak | --pa | --p | --) echo pak ;;
    --dir | --di | --d) echo dir ;;
    --*) ;;
    -*)
        if [[ $1 =~ ^-[clh]*p$ ]]; then
            echo pak
        elif [[ $1 =~ ^-[clh]*d$ ]]; then
            echo dir
        fi
        ;;
    esac
}

# Fills COMPREPLY for the word being completed.
_pakwright()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev= before= kind= prefix=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    ((COMP_CWORD > 1)) && before=${COMP_WORDS[COMP_CWORD - 2]}
    COMPREPLY=()

    # Where '=' breaks words, --pak=FILE arrives as "--pak" "=" "FILE".
    if [[ $cur == = && $prev == --* ]]; then
        kind=$(_pakwright_value_of "$prev") cur=
    elif [[ $prev == = && $before == --* ]]; then
        kind=$(_pakwright_value_of "$before")
    elif [[ $cur == --*=* ]]; then
        kind=$(_pakwright_value_of "${cur%%=*}") prefix=${cur%%=*}= cur=${cur#*=}
        [[ $kind ]] || return 0
    elif [[ $prev != -- ]]; then
        kind=$(_pakwright_value_of "$prev")
    fi

    local IFS=$'\n'
    case $kind in
    pak)
        COMPREPLY=($(compgen -f -X '!*.pak' -- "$cur") $(compgen -d -- "$cur"))
        ((${#COMPREPLY[@]})) || COMPREPLY=($(compgen -f -- "$cur"))
        ;;
    dir)
        COMPREPLY=($(compgen -d -- "$cur"))
        ;;
    *)
        [[ -z $cur || $cur == -* ]] || return 0
        COMPREPLY=($(compgen -W $'-c\n-d\n-l\n-h\n-p\n--create\n--dir=\n--list\n--help\n--pak=' -- "$cur"))
        # A lone "--dir=" or "--pak=" takes its value without a space.
        [[ ${#COMPREPLY[@]} == 1 && $COMPREPLY == *= ]] && compopt -o nospace 2>/dev/null
        return 0
        ;;
    esac
    compopt -o filenames 2>/dev/null
    [[ $prefix ]] && COMPREPLY=("${COMPREPLY[@]/#/$prefix}")
    return 0
}
complete -F _pakwright pakwright
