#!/bin/bash
# Completes mmfcast-cli's command lines in bash, zsh and fish from the completion scripts of an
# unpacked package, each found where that shell looks for a command's completion, and checks
# that those places are the ones the installed shell searches. A shell that is not installed is
# skipped with a note. Usage: check_completion.sh ROOT (the unpacked packages' root).
set -uo pipefail
root=$1
share=$root/usr/share
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
export PATH="$root/usr/bin:$PATH"
# fish keeps its own files under HOME; a scratch one leaves the user's untouched.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# expect SHELL LINE GOT WANTED...: every wanted word is among the offered ones.
expect() {
  local shell=$1 line=$2 got=" $3 " word
  shift 3
  for word in "$@"; do
    [[ $got == *" $word "* ]] || fail "$shell offers '${got# }' for '$line', not $word"
  done
}

# The words bash offers for line, by the function bash-completion loads for the command.
bash_offers() {
  XDG_DATA_DIRS=$share bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    __load_completion mmfcast-cli || exit 1
    read -ra COMP_WORDS <<<"$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_LINE=$1 COMP_POINT=${#1} COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    function=$(complete -p mmfcast-cli | sed -n "s/.*-F \([^ ]*\) .*/\1/p")
    "$function" mmfcast-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s " "${COMPREPLY[@]}"' bash "$1"
}

# The words zsh offers for line typed at an interactive prompt and completed with Tab; each
# match passes through compadd, which prints it.
zsh_offers() {
  zsh -f -c '
    zmodload zsh/zpty || exit 1
    zpty z zsh -f -i
    zpty -w z "PROMPT=; fpath=($1 \$fpath); autoload -Uz compinit; compinit -u -D"
    zpty -w z "compadd() { if (( \${@[(I)-[OAD]]} )); then builtin compadd \"\$@\"; return; fi;
      local -a hits; builtin compadd -A hits \"\$@\"; print -r -- \"<<\${^hits}>>\";
      builtin compadd \"\$@\"; }"
    zpty -w z "unsetopt automenu autolist; print READY"
    zpty -r z out "*READY*"
    zpty -n -w z "$2"$'"'"'\t'"'"'
    zpty -w z $'"'"'\C-u print DONE'"'"'
    all=""
    while zpty -r z out; do all+=$out; [[ $all == *DONE* ]] && break; done
    zpty -d z
    print -r -- ${(j: :)${(u)${(M)${(s:>>:)all}##*<<*}##*<<}}' zsh "$1" "$2"
}

fish_offers() {
  HOME=$scratch XDG_DATA_DIRS=$share fish -c 'complete -C $argv[1]' "$1" | cut -f1 | tr '\n' ' '
}

check_shell() {  # shell, its completion file, the command that lists where it looks, that place
  local shell=$1 file=$2 places=$3 place=$4
  [ -f "$share/$file" ] || { fail "missing /usr/share/$file"; return 1; }
  command -v "$shell" >/dev/null || { echo "skipped: $shell is not installed"; return 1; }
  "$shell" -c "$places" 2>/dev/null | grep -qx "$place" ||
    fail "$shell does not look in $place"
}

if check_shell bash bash-completion/completions/mmfcast-cli \
     'pkg-config --variable=completionsdir bash-completion || echo /usr/share/bash-completion/completions' \
     /usr/share/bash-completion/completions &&
   [ -f /usr/share/bash-completion/bash_completion ]; then
  expect bash "mmfcast-cli " "$(bash_offers 'mmfcast-cli ')" send listen bridge
  expect bash "mmfcast-cli bridge --" "$(bash_offers 'mmfcast-cli bridge --')" --wine --mqtt --config --agent --channel
  expect bash "mmfcast-cli send --" "$(bash_offers 'mmfcast-cli send --')" --channel --truncate --utf8
  expect bash "mmfcast-cli listen --c" "$(bash_offers 'mmfcast-cli listen --c')" --channel --count
fi
if check_shell zsh zsh/vendor-completions/_mmfcast-cli 'print -l $fpath' \
     /usr/share/zsh/vendor-completions; then
  dir=$share/zsh/vendor-completions
  expect zsh "mmfcast-cli " "$(zsh_offers "$dir" 'mmfcast-cli ')" send listen bridge
  expect zsh "mmfcast-cli bridge --" "$(zsh_offers "$dir" 'mmfcast-cli bridge --')" --wine --mqtt --config --agent --channel
  expect zsh "mmfcast-cli send --" "$(zsh_offers "$dir" 'mmfcast-cli send --')" --channel --truncate --utf8
  expect zsh "mmfcast-cli listen --c" "$(zsh_offers "$dir" 'mmfcast-cli listen --c')" --channel --count
fi
if check_shell fish fish/vendor_completions.d/mmfcast-cli.fish \
     'string join \n -- $__fish_vendor_completionsdirs' /usr/share/fish/vendor_completions.d; then
  expect fish "mmfcast-cli " "$(fish_offers 'mmfcast-cli ')" send listen bridge
  expect fish "mmfcast-cli bridge --" "$(fish_offers 'mmfcast-cli bridge --')" --wine --mqtt --config --agent --channel
  expect fish "mmfcast-cli send --" "$(fish_offers 'mmfcast-cli send --')" --channel --truncate --utf8
  expect fish "mmfcast-cli listen --c" "$(fish_offers 'mmfcast-cli listen --c')" --channel --count
fi
[ "$failures" -eq 0 ] || { echo "$failures completion check(s) failed"; exit 1; }
echo "completion checks passed"
