# bash completion for bootloader-cli: commands, options, and port names from 'ports'.
_bootloader_cli() {
    local cur prev words cword
    _init_completion || return

    case "$prev" in
    --wait | --sha256 | --count | --from | --to)
        return
        ;;
    --station | --listen | --panel-host | --unit-command)
        return
        ;;
    --match | --log | --slots)
        COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    esac

    if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W '--help --version --verbose --quiet --json --no-progress --csv --from --to --wait --match --log --sha256 --unit-command --station --count --slots --listen --panel-host --init --once -v -q -h' -- "$cur"))
        return
    fi

    local command="" i
    for ((i = 1; i < cword; i++)); do
        case "${words[i]}" in
        --wait | --match | --log | --sha256 | --unit-command | --station | --count | --slots | --listen | --panel-host | --from | --to) ((i++)) ;;
        -*) ;;
        *)
            command="${words[i]}"
            break
            ;;
        esac
    done

    case "$command" in
    "")
        COMPREPLY=($(compgen -W 'upload enter ports info station report slots forward' -- "$cur"))
        ;;
    upload | enter)
        local ports
        ports=$("${words[0]}" ports 2>/dev/null | cut -f1)
        COMPREPLY=($(compgen -W "$ports" -- "$cur"))
        [[ "$command" == upload ]] && _filedir
        ;;
    info | station | report | slots)
        _filedir
        ;;
    esac
}
complete -F _bootloader_cli bootloader-cli
