# bash completion for quoralith: subcommands, their options, and file names
# where a name is wanted.
_quoralith() {
    local cur prev words cword
    _init_completion || return

    local global="-h --help --version -q --quiet -f --force -v --verbose --report --append --level"
    local command="" sub="" i
    for ((i = 1; i < cword; i++)); do
        case "${words[i]}" in
            create|restore|info|history|archive)
                [[ -z $command ]] && command=${words[i]} && continue ;;
            list|show|play|delete|record|extract)
                [[ -n $command && -z $sub ]] && sub=${words[i]} ;;
        esac
        if [[ $command == archive && -z $sub && ${words[i]} == create ]]; then sub=create; fi
    done

    case "$prev" in
        --report) _filedir; return ;;
        --level) COMPREPLY=($(compgen -W "1 2 3" -- "$cur")); return ;;
        --fail) COMPREPLY=($(compgen -W "copy skip stop" -- "$cur")); return ;;
        -a|--algorithms) COMPREPLY=($(compgen -W "7 0-7 0,3,7" -- "$cur")); return ;;
        --pattern) return ;;
    esac

    local tree="--pattern --no-subdirs --sorted --clear-output --archive-delta --archive-updated"
    local opts
    case "$command" in
        "") opts="$global create restore info history archive" ;;
        create) opts="$global -a --algorithms --deep --compact --keep-all --long-stamp --plain-trailer --fail --no-base --archived $tree" ;;
        restore) opts="$global --no-keep-date --no-keep-attributes --fail --merge --archived $tree" ;;
        info) opts="$global" ;;
        history)
            if [[ -z $sub ]]; then opts="list show play delete record"; else opts="$global"; fi ;;
        archive)
            case "$sub" in
                "") opts="create extract list" ;;
                create) opts="--raw --plain-trailer --pattern --no-subdirs" ;;
                extract) opts="--pattern --clear-output --no-keep-date --no-keep-attributes" ;;
                *) opts="" ;;
            esac ;;
    esac

    if [[ $cur == -* || ( -z $command ) || ( $command == history && -z $sub ) || ( $command == archive && -z $sub ) ]]; then
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
        return
    fi
    _filedir
}
complete -F _quoralith quoralith
