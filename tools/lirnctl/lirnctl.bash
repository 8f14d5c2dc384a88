# bash completion for lirnctl: its options, commands, the settings of get and set (KEY= for set),
# files for apply, sign, update, --key, -o and the TLS files, directories for keygen, serial ports for -p. Installed as
# share/bash-completion/completions/lirnctl; for a build tree: source build/lirnctl.bash

_lirnctl()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local settings="lirnmode lirnip lirnport lirnhb uartbr uartpb uartdb uartsb pincode apn modemusr modempwd
        lirnraw lirngap lirnbuf mqtthost mqttport mqtttls mqttusr mqttpwd mqtttopic mqttcmd lirnka"
    local valued="-p --port -b --baud -t --timeout -o --output --max-bytes --max-time --key --build --broker --id
        --prefix --cafile --cert --user"
    COMPREPLY=()

    case $prev in
    -p | --port)
        COMPREPLY=($(compgen -G "/dev/tty[UA][SC][BM]*" -- "$cur") $(compgen -f -- "$cur"))
        return ;;
    -b | --baud)
        COMPREPLY=($(compgen -W "1200 2400 4800 9600 19200 38400 57600 115200 230400 460800 921600" -- "$cur"))
        return ;;
    -o | --output | --key | --cafile | --cert)
        COMPREPLY=($(compgen -f -- "$cur"))
        return ;;
    -t | --timeout | --max-bytes | --max-time | --build | --broker | --id | --prefix | --user | =)
        return ;;
    esac
    [[ $cur == = ]] && return

    # The command (and its sub-command) among the words before the current one.
    local i word command="" sub=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ " $valued " == *" $word "* ]]; then
            ((i++))
        elif [[ $word != -* && -z $command ]]; then
            command=$word
        elif [[ $word != -* && $command == logs && -z $sub ]]; then
            sub=$word
        fi
    done

    local words="--help"
    case $command in
    "") words="show get set apply save reset reboot status logs keygen sign update fleet -p --port -b --baud -t --timeout
        --json --broker --id --prefix --tls --cafile --cert --key --user --help" ;;
    get) words="$settings --help" ;;
    set) words="$(printf '%s= ' $settings)--save --help" ;;
    apply)
        COMPREPLY=($(compgen -f -- "$cur"))
        return ;;
    keygen)
        COMPREPLY=($(compgen -d -- "$cur"))
        return ;;
    sign)
        [[ $cur == -* ]] && words="--key -o --output --build --help" || { COMPREPLY=($(compgen -f -- "$cur")); return; } ;;
    update)
        [[ $cur == -* ]] && words="--rate --max-time --help" || { COMPREPLY=($(compgen -f -- "$cur")); return; } ;;
    logs)
        case $sub in
        "") words="list get rm on off --help" ;;
        get) words="-o --output --max-bytes --max-time --help" ;;
        esac ;;
    esac
    # Settings in the case the word was begun in.
    [[ $cur == [A-Z]* ]] && words=${words^^}
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
    if [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *= ]]; then
        compopt -o nospace 2>/dev/null
    fi
    return 0
}
complete -F _lirnctl lirnctl
