# zsh -f zsh_complete.zsh DIR LINE...: types each command LINE into an
# interactive zsh that loads the completions in DIR, presses Tab, and prints
# the candidates offered, one a line, then a line "\3". One shell serves all
# lines, as starting the completion system is slow.
zmodload zsh/zpty
zpty z zsh -f -i
zpty -w z "fpath=(${(q)1} \${(M)fpath:#*/Completion(|/Base|/Unix|/Zsh)}); autoload -Uz compinit; compinit -u -D"
zpty -w z 'PROMPT=; unsetopt beep; zstyle ":completion:*" list-grouped false'
# Every candidate is printed between \1 and \2 as it would be inserted.
zpty -w z 'compadd() { if [[ ${@[1,(i)(-|--)]} == *-(O|A|D)\ * ]]; then builtin compadd "$@"; return; fi
  local -a hits P p; zparseopts -E P:=P p:=p; builtin compadd -A hits "$@"
  local h; for h in $hits; do print -rn -- $'\''\1'\''$IPREFIX$P[2]$p[2]$h$'\''\2'\''; done; builtin compadd "$@"; }'
zpty -w z '_t() { zle complete-word; print -n $'\''\3'\''; zle kill-whole-line; }; zle -N _t; bindkey "^I" _t'
for line in "${@[2,-1]}"; do
  zpty -w -n z "$line"$'\t'
  zpty -r z out '*'$'\3'
  hits=(${(M)${(ps:\2:)out}##*$'\1'*})
  print -rl -- ${hits##*$'\1'} $'\3'
done
zpty -d z
