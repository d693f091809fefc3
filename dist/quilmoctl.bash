# Bash completion for quilmoctl: subcommands, their words and options, the configured ports
# (share, close-port) and the serial nodes present (probe, send, hotplug). The configuration
# and /dev are looked for beneath $QUILMOD_ROOT when it is set, as quilmoctl does.

# The Port values of the configuration, read as quilmod reads them: comment lines skipped, the
# key is the first word before the first "=", in any case, the value the first word after it.
_quilmoctl_ports()
{
    local conf=${QUILMOD_ROOT-}/etc/quilmod.conf line key value n=0
    [ -r "$conf" ] || return
    while IFS= read -r line && [ $((n += 1)) -le 1000 ]; do
        [[ $line =~ ^[[:space:]]*# || $line != *=* ]] && continue
        read -r key _ <<< "${line%%=*}"
        read -r value _ <<< "${line#*=}"
        [ "${key,,}" = port ] && [ -n "$value" ] && printf '%s\n' "$value"
    done < "$conf"
}

# The serial nodes and udev's by-id links to them, named as quilmod knows them.
_quilmoctl_nodes()
{
    local root=${QUILMOD_ROOT-} f
    for f in "$root"/dev/ttyS[0-9]* "$root"/dev/ttyUSB[0-9]* "$root"/dev/ttyACM[0-9]* \
             "$root"/dev/serial/by-id/*; do
        [ -e "$f" ] && printf '%s\n' "${f#"$root"}"
    done
}

_quilmoctl()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} sub=${COMP_WORDS[1]}
    local subs="mode sound cursor drag-delay dblclick-area right-click-hold right-button left-button rclick flush
                reset stop dump close-port share watch probe send status list hotplug help"
    if [ "$COMP_CWORD" -eq 1 ]; then
        COMPREPLY=($(compgen -W "$subs --help --version" -- "$cur"))
        return
    fi
    # bash splits "--timestamps=wall" at the "=": its value is a word of its own.
    if [ "$prev" = "=" ] && [ "${COMP_WORDS[COMP_CWORD-2]}" = --timestamps ]; then
        COMPREPLY=($(compgen -W "ms wall" -- "$cur"))
        return
    fi
    case $sub in
        mode) COMPREPLY=($(compgen -W "drawing desktop" -- "$cur")) ;;
        sound) COMPREPLY=($(compgen -W "none down up" -- "$cur")) ;;
        cursor) COMPREPLY=($(compgen -W "none display" -- "$cur")) ;;
        rclick) COMPREPLY=($(compgen -W "on off later new" -- "$cur")) ;;
        status) COMPREPLY=($(compgen -W "--json" -- "$cur")) ;;
        list) COMPREPLY=($(compgen -W "--probe --json" -- "$cur")) ;;
        watch) COMPREPLY=($(compgen -W "--timestamps --timestamps=wall --count --timeout" -- "$cur")) ;;
        share)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "--raw --decode --count --timeout" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "$(_quilmoctl_ports)" -- "$cur"))
            fi ;;
        close-port) [ "$COMP_CWORD" -eq 2 ] && COMPREPLY=($(compgen -W "$(_quilmoctl_ports)" -- "$cur")) ;;
        probe|send|hotplug) [ "$COMP_CWORD" -eq 2 ] && COMPREPLY=($(compgen -W "$(_quilmoctl_nodes)" -- "$cur")) ;;
        help) COMPREPLY=($(compgen -W "$subs" -- "$cur")) ;;
    esac
}
complete -F _quilmoctl quilmoctl
