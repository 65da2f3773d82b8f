# fish completion for mmfcast-cli: its commands and each command's options.
set -l commands send listen bridge
complete -c mmfcast-cli -f
complete -c mmfcast-cli -n "not __fish_seen_subcommand_from $commands" -a send -d 'Send a text, or each line of standard input with -'
complete -c mmfcast-cli -n "not __fish_seen_subcommand_from $commands" -a listen -d 'Print each text that arrives'
complete -c mmfcast-cli -n "not __fish_seen_subcommand_from $commands" -a bridge -d 'Relay every line to and from a Wine prefix or an MQTT broker'
complete -c mmfcast-cli -n "not __fish_seen_subcommand_from $commands" -l version -d 'Print the version and exit'
complete -c mmfcast-cli -l help -d 'Print the help and exit'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from $commands" -l channel -r -d 'The channel NAME instead of the windows\' channel'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from $commands" -l size -r -d 'The area size in bytes, when this copy makes the area'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from $commands" -l session-dir -r -a '(__fish_complete_directories)' -d 'The session directory'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from send" -l truncate -d 'Cut a text that does not fit the area'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from send" -l utf8 -d 'Read standard input as UTF-8'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from listen" -l count -r -d 'Exit after N texts'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from listen" -l timeout -r -d 'Exit with status 1 after SECONDS with nothing received'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from listen" -l json -d 'One JSON object a line'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from listen" -s 0 -l null -d 'End each text with a byte 0'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from bridge" -l wine -r -a '(__fish_complete_directories)' -d 'The Wine prefix'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from bridge" -l agent -r -F -d 'The Windows mmfcast-cli.exe run in the prefix'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from bridge" -l mqtt -x -d 'An MQTT broker and topic: mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT][/TOPIC]'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from bridge" -s u -l username -x -d "The broker's user name"
complete -c mmfcast-cli -n "__fish_seen_subcommand_from bridge" -s P -l password -x -d "The broker's password"
complete -c mmfcast-cli -n "__fish_seen_subcommand_from bridge" -l cafile -r -F -d 'The CA certificates that vouch for the broker'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from bridge" -l cert -r -F -d "This client's certificate"
complete -c mmfcast-cli -n "__fish_seen_subcommand_from bridge" -l key -r -F -d 'The key of --cert'
complete -c mmfcast-cli -n "__fish_seen_subcommand_from bridge" -l config -r -F -d 'Settings for the broker as key = value lines'
