# fish completion for pakwright: options, archives after -p/--pak and
# directories after -d/--dir, separate or attached (-pFILE, --pak=FILE).

# Prints the word being completed without an option attached before it.
function __pakwright_value
    commandline -ct | string replace -r -- '^(--[a-z]*=|-[a-z]*[dp])' ''
end

# Prints archives and directories that complete the word, or any file when
# there are none.
function __pakwright_archives
    set -l all (__fish_complete_suffix (__pakwright_value) .pak)
    set -l kept (string match -r -- '^[^\t]*(?:\.pak|/)(?:\t.*)?$' $all)
    if set -q kept[1]
        printf '%s\n' $kept
    else
        printf '%s\n' $all
    end
end

complete -c pakwright -f
complete -c pakwright -s c -l create -d 'create the archive instead of extracting'
complete -c pakwright -s d -l dir -x -a '(__fish_complete_directories (__pakwright_value))' -d 'the input (create) or output (extract) directory'
complete -c pakwright -s l -l list -d 'list the archive; with -c, create from the current directory'
complete -c pakwright -s h -l help -d 'print the help text and exit'
complete -c pakwright -s p -l pak -x -a '(__pakwright_archives)' -d 'the archive file'
