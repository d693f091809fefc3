# Bash completion for quilmoctl: subcommands, their words, and device paths.
_quilmoctl()
{
    local cur=${COMP_WORDS[COMP_CWORD]} sub=${COMP_WORDS[1]}
    local subs="mode sound cursor drag-delay dblclick-area right-button left-button rclick flush
                reset stop dump close-port share watch probe send status hotplug help"
    if [ "$COMP_CWORD" -eq 1 ]; then
        COMPREPLY=($(compgen -W "$subs --help --version" -- "$cur"))
        return
    fi
    case $sub in
        mode) COMPREPLY=($(compgen -W "drawing desktop" -- "$cur")) ;;
        sound) COMPREPLY=($(compgen -W "none down up" -- "$cur")) ;;
        cursor) COMPREPLY=($(compgen -W "none display" -- "$cur")) ;;
        rclick) COMPREPLY=($(compgen -W "on off later new" -- "$cur")) ;;
        status) COMPREPLY=($(compgen -W "--json" -- "$cur")) ;;
        watch) COMPREPLY=($(compgen -W "--count --timeout" -- "$cur")) ;;
        share) COMPREPLY=($(compgen -W "--raw --count --timeout" -- "$cur") $(compgen -f -- "${cur:-/dev/}")) ;;
        close-port|probe|send|hotplug) COMPREPLY=($(compgen -f -- "${cur:-/dev/}")) ;;
        help) COMPREPLY=($(compgen -W "$subs" -- "$cur")) ;;
    esac
}
complete -F _quilmoctl quilmoctl
