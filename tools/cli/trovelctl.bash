# bash completion for trovelctl: commands, options, parameter names and the words each
# command takes. Commands, options and parameter names are read from the program's own
# help, so they follow the program that is installed.

# The words of one help section: the first word of each indented line after HEADING.
_trovelctl_section()
{
    awk -v heading="$1" '
        $0 == heading { inside = 1; next }
        inside && /^$/ { exit }
        inside && /^  [^ ]/ { print $1 }'
}

_trovelctl()
{
    local program=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local command="" word i
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            -d | --device | -p | --port | -a | --addr | --reply-timeout | --retries | --reply-mode | --rs485) ((i++)) ;;
            -*) ;;
            *) [ -z "$command" ] && command=$word ;;
        esac
    done

    case $prev in
        -d | --device) # the serial ports this computer has first, then files
            local ports
            ports=$("$program" ports 2>/dev/null | awk 'NR > 1 && /^(\/|COM)/ { print $1 }')
            mapfile -t COMPREPLY < <({ compgen -W "$ports" -- "$cur"; compgen -f -- "$cur"; } | awk '!seen[$0]++')
            return ;;
        -a | --addr) mapfile -t COMPREPLY < <(compgen -W "$(seq 1 16)" -- "$cur"); return ;;
        --reply-mode) mapfile -t COMPREPLY < <(compgen -W "frame silence" -- "$cur"); return ;;
        --rs485) mapfile -t COMPREPLY < <(compgen -W "rts-high rts-low off" -- "$cur"); return ;;
        -p | --port | --timeout | --interval | --count | --reply-timeout | --retries) return ;;
    esac

    local help words
    help=$("$program" ${command:+"$command"} --help 2>/dev/null) || return
    if [[ $cur == -* ]]; then
        words=$(grep -oE -- '--[a-z-]+' <<<"$help" | sort -u)
    elif [ -z "$command" ]; then
        words=$(_trovelctl_section "Subcommands:" <<<"$help")
    else
        case $command in
            get | set) [ "$prev" = "$command" ] && words=$(_trovelctl_section "NAME is one of:" <<<"$help") ;;
            move) [ "$prev" = move ] && words="left right auto stop" ;;
            switch) case $prev in
                        switch) words="on off all-on all-off" ;;
                        on | off) words="1 2 3 4 5 6" ;;
                    esac ;;
            address) [ "$prev" = address ] && words=$(seq 1 16) ;;
        esac
    fi
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}
complete -o default -F _trovelctl trovelctl
