# Bash completion for quilmoctl: subcommands, their words and options, the configured ports
# (share, close-port, record) and the serial nodes present (probe, send, hotplug). The
# configuration and /dev are looked for beneath $QUILMOD_ROOT when it is set, as quilmoctl does.
#
# Names come from files and folders other users may write: every candidate stays one literal
# word. Nothing is expanded again (no compgen -W on them), and each reply is quoted with
# printf %q, so a name holding $(...), spaces, newlines or a leading ~ is inserted as it is
# and runs nothing.

# The Port values of the configuration, read as quilmod reads them: comment lines skipped, the
# key is the first word before the first "=", in any case, the value the first word after it.
# One value a line, each ended by a zero byte.
_quilmoctl_ports()
{
    local conf=${QUILMOD_ROOT-}/etc/quilmod.conf line key value n=0
    [ -r "$conf" ] || return
    while IFS= read -r line && [ $((n += 1)) -le 1000 ]; do
        [[ $line =~ ^[[:space:]]*# || $line != *=* ]] && continue
        read -r key _ <<< "${line%%=*}"
        read -r value _ <<< "${line#*=}"
        [ "${key,,}" = port ] && [ -n "$value" ] && printf '%s\0' "$value"
    done < "$conf"
}

# The serial nodes and udev's by-id links to them, named as quilmod knows them; each ended by
# a zero byte, so a name with a newline stays one name.
_quilmoctl_nodes()
{
    local root=${QUILMOD_ROOT-} f
    for f in "$root"/dev/ttyS[0-9]* "$root"/dev/ttyUSB[0-9]* "$root"/dev/ttyACM[0-9]* \
             "$root"/dev/serial/by-id/*; do
        [ -e "$f" ] && printf '%s\0' "${f#"$root"}"
    done
}

# COMPREPLY: each argument that starts with the word being completed, quoted for the line.
# The word typed may already be quoted (/dev/a\ b): either form counts.
_quilmoctl_offer()
{
    local cur=$1 w q
    shift
    for w in "$@"; do
        printf -v q '%q' "$w"
        [[ $w == "$cur"* || $q == "$cur"* ]] && COMPREPLY+=("$q")
    done
}

# The same for names read as zero-ended records from a function's output.
_quilmoctl_offer_from()
{
    local cur=$1 names
    mapfile -d '' -n 1000 names < <("$2")
    _quilmoctl_offer "$cur" "${names[@]}"
}

_quilmoctl()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} sub=${COMP_WORDS[1]}
    local subs=(mode sound cursor drag-delay dblclick-area right-click-hold right-button left-button rclick flush
                reset stop dump close-port share record watch probe send status bind list hotplug help)
    COMPREPLY=()
    if [ "$COMP_CWORD" -eq 1 ]; then
        _quilmoctl_offer "$cur" "${subs[@]}" --help --version
        return
    fi
    # bash splits "--timestamps=wall" at the "=": its value is a word of its own.
    if [ "$prev" = "=" ] && [ "${COMP_WORDS[COMP_CWORD-2]}" = --timestamps ]; then
        _quilmoctl_offer "$cur" ms wall
        return
    fi
    case $sub in
        mode) _quilmoctl_offer "$cur" drawing desktop ;;
        sound) _quilmoctl_offer "$cur" none down up ;;
        cursor) _quilmoctl_offer "$cur" none display ;;
        rclick) _quilmoctl_offer "$cur" on off later new ;;
        status) _quilmoctl_offer "$cur" --json ;;
        bind) [ "$COMP_CWORD" -eq 2 ] && _quilmoctl_offer "$cur" sway gnome kde x11 weston ;;
        list) _quilmoctl_offer "$cur" --probe --json ;;
        watch) _quilmoctl_offer "$cur" --timestamps --timestamps=wall --count --timeout ;;
        share)
            if [[ $cur == -* ]]; then
                _quilmoctl_offer "$cur" --raw --decode --count --timeout
            else
                _quilmoctl_offer_from "$cur" _quilmoctl_ports
            fi ;;
        record)
            if [[ $cur == -* ]]; then
                _quilmoctl_offer "$cur" --count --timeout
            elif [ "$COMP_CWORD" -eq 2 ]; then
                _quilmoctl_offer_from "$cur" _quilmoctl_ports
            fi ;;
        close-port) [ "$COMP_CWORD" -eq 2 ] && _quilmoctl_offer_from "$cur" _quilmoctl_ports ;;
        probe|send|hotplug) [ "$COMP_CWORD" -eq 2 ] && _quilmoctl_offer_from "$cur" _quilmoctl_nodes ;;
        help) _quilmoctl_offer "$cur" "${subs[@]}" ;;
    esac
}
complete -F _quilmoctl quilmoctl
