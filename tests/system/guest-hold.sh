# The system test's long press on Xorg, sourced by guest.sh: through the libinput driver, to an X
# client that knows no touches (as most do), a held touch is a right click and a tap a left one.

# Xorg on :1 with each panel's devices mapped to its head by quilmoctl bind's lines: the one the
# panels check left running, or a new one when that check did not run.
xorg_bound() {
    if ! DISPLAY=:1 xrandr -q > /dev/null 2>&1; then
        desktop_stop
        xorg_start > /dev/null || return 1
    fi
    DISPLAY=:1 sh -ec "$(quilmoctl bind x11 | grep -v '^#')"
}

# pointer_probe LOG: the X client that selects button events only, on top of everything.
pointer_probe() {
    : > "$1"
    DISPLAY=:1 "$st/xprobe" --pointer --log "$1" > /dev/null 2> "$1.err" < /dev/null &
    echo $! >> "$pids"
    poll 30 grep -q '^ready' "$1" || { echo "xprobe --pointer: $(cat "$1.err")"; return 1; }
    : > "$1"
}

# hold_still PORT X Y: a finger that stays put for 1.5 s (the controller repeats its position
# while it is down), then lifts; prints the frames the daemon wrote.
hold_still() {
    quilmoctl watch --count 2 --timeout 20 > "$state/frames" 2> "$state/watch.err" &
    local w=$!
    poll 5 grep -q watching "$state/watch.err"
    for _ in 1 2 3 4 5 6; do ask "touch $1 $2 $3"; sleep 0.25; done
    ask "lift $1 $2 $3"
    wait $w
    cat "$state/frames"
}

# button_at LOG CODE X Y: the first press in LOG is button CODE at pixel X,Y, and that button
# is released; no press of another button at all.
button_at() {
    local first
    first=$(grep -m1 '^button press' "$1") || return 1
    [ "$(echo "$first" | cut -d' ' -f3)" = "$2" ] && at_pixel "$first" "$3" "$4" 3 4 &&
        grep -q "^button release $2 " "$1" && ! grep -v "^button [a-z]* $2 " "$1" | grep -q '^button press'
}

# RightClickHold 500 ms on Xorg: a touch held still on the first panel gives the client a
# button-3 press and release at the touch-down pixel and no button-1 press; a tap still gives a
# button-1 click at its pixel.
check_xorg_long_press() {
    local log=$state/xpointer frames x y bad=0
    xorg_bound || { echo "Xorg did not start: $(grep -m3 -E '\(EE\)' "$state/Xorg.log")"; return 1; }
    pointer_probe "$log" || return 1
    quilmoctl right-click-hold 500 > /dev/null || { echo "quilmoctl right-click-hold 500 failed"; return 1; }
    frames=$(hold_still S1 300 300)
    x=$(echo "$frames" | sed -n '1s/.*x=\([0-9]*\).*/\1/p') y=$(echo "$frames" | sed -n '1s/.*y=\([0-9]*\).*/\1/p')
    poll 10 grep -q '^button release 3' "$log"
    echo -n "long press: frames $(echo "$frames" | tr '\n' ','); client: $(tr '\n' ',' < "$log") "
    [ -n "$x" ] && button_at "$log" 3 "$x" "$y" || bad=1
    : > "$log"
    ask "tap S1 512 384"
    poll 10 grep -q '^button release 1' "$log"
    echo "tap: client: $(tr '\n' ',' < "$log")"
    button_at "$log" 1 513 385 || bad=1
    quilmoctl right-click-hold 0 > /dev/null
    return $bad
}
