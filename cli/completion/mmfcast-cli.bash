# bash completion for mmfcast-cli: its commands, each command's options, and directories for
# --session-dir.
_mmfcast_cli() {
  local cur prev words cword
  _init_completion || return
  local common="--channel --size --session-dir --help"
  case $prev in
    --session-dir)
      _filedir -d
      return
      ;;
    --channel | --size | --count | --timeout)
      return
      ;;
  esac
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      send | listen)
        command=${words[i]}
        break
        ;;
    esac
  done
  case $command in
    "")
      COMPREPLY=($(compgen -W "send listen --help --version" -- "$cur"))
      ;;
    send)
      [[ $cur == -* ]] && COMPREPLY=($(compgen -W "$common --truncate --utf8" -- "$cur"))
      ;;
    listen)
      COMPREPLY=($(compgen -W "$common --count --timeout --json -0 --null" -- "$cur"))
      ;;
  esac
}
complete -F _mmfcast_cli mmfcast-cli
