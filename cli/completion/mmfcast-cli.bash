# bash completion for mmfcast-cli: its commands, each command's options, directories for
# --session-dir and --wine, and files for --agent and the broker's settings and certificates.
_mmfcast_cli() {
  local cur prev words cword
  _init_completion || return
  local common="--channel --size --session-dir --help"
  case $prev in
    --session-dir | --wine)
      _filedir -d
      return
      ;;
    --agent)
      _filedir exe
      return
      ;;
    --config | --cafile | --cert | --key)
      _filedir
      return
      ;;
    --channel | --size | --count | --timeout | --mqtt | -u | --username | -P | --password)
      return
      ;;
  esac
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      send | listen | bridge)
        command=${words[i]}
        break
        ;;
    esac
  done
  case $command in
    "")
      COMPREPLY=($(compgen -W "send listen bridge --help --version" -- "$cur"))
      ;;
    send)
      [[ $cur == -* ]] && COMPREPLY=($(compgen -W "$common --truncate --utf8" -- "$cur"))
      ;;
    listen)
      COMPREPLY=($(compgen -W "$common --count --timeout --json -0 --null" -- "$cur"))
      ;;
    bridge)
      COMPREPLY=($(compgen -W "$common --wine --agent --mqtt -u --username -P --password --cafile --cert --key --config" -- "$cur"))
      ;;
  esac
}
complete -F _mmfcast_cli mmfcast-cli
