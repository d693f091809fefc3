# The system test's turned X head, sourced by guest.sh: Xorg with Virtual-1 turned left, the panel
# on it calibrated by simulated touches with quilmocal (X backend, --output), then taps in its four
# quadrants through XTest (quilmoinput --output) and through the libinput driver (the daemon's
# touchscreen with quilmoctl bind's xinput map-to-output line).

# The panel's raw position at a pixel of the panel (its monitor unturned): a sensor a little
# off and a little small, so the calibration has something to correct.
xrot_raw() { awk -v x="$1" -v y="$2" 'BEGIN { printf "%d %d\n", 20 + 0.95 * x + 0.5, 15 + 0.95 * y + 0.5 }'; }

# The panel pixel under screen pixel X Y of Virtual-1 turned left (768x1024 of a 1024x768 mode):
# the screen's top-left is the panel's bottom-left.
xrot_panel() { echo "$2 $((767 - $1))"; }

# xrot_hold X Y: a finger held still on raw X Y long enough for quilmocal's ring, then lifted.
xrot_hold() {
    local i
    for i in $(seq 14); do ask "touch S1 $1 $2" || return 1; done
    ask "lift S1 $1 $2"
}

# quilmocal on the turned head; each target and check point it prints (the panel's pixels) is
# touched where the panel has it. Prints quilmocal's last lines; fails unless it passed.
xrot_calibrate() {
    local log=$state/xrot-cal.out done=0 n line pid x y
    DISPLAY=:1 quilmocal --backend x11 --output Virtual-1 --timeout 60 /dev/ttyS1 > "$log" 2>&1 < /dev/null &
    pid=$!
    while kill -0 $pid 2>/dev/null; do
        n=$(grep -cE '^(target|check) [0-9]+ of [0-9]+ at ' "$log")
        if [ "$n" -le "$done" ]; then sleep 0.2; continue; fi
        line=$(grep -E '^(target|check) [0-9]+ of [0-9]+ at ' "$log" | sed -n "$((done + 1))p")
        done=$((done + 1))
        read -r x y <<< "$(xrot_raw ${line##* at })"
        xrot_hold "$x" "$y" || break
    done
    wait $pid
    local status=$?
    echo -n "quilmocal $status: $(grep -E '^(verdict|bound|not bound)|quilmocal:' "$log" | tr '\n' ';') "
    [ $status = 0 ] && grep -q '^bound /dev/ttyS1 to output Virtual-1' "$log"
}

# xrot_taps WHAT: a tap in each quadrant of the turned head; WHAT is the xprobe line that tells
# where it landed (its x and y in fields I and J). Every one within 2 px of the finger.
xrot_taps() {
    local what=$1 i=$2 j=$3 s p got bad=0
    for s in "192 256" "576 256" "192 768" "576 768"; do
        : > "$state/xprobe"
        p=$(xrot_raw $(xrot_panel $s))
        ask "tap S1 $p"
        poll 10 grep -q "^$what" "$state/xprobe"
        got=$(grep -m1 "^$what" "$state/xprobe") || got="nothing"
        echo -n "finger ${s/ /,} (raw ${p/ /,}): ${got#"$what" }; "
        local f
        read -ra f <<< "$got"
        awk -v x="${f[$i]:-1e9}" -v y="${f[$j]:-1e9}" -v s="$s" 'BEGIN { split(s, a, " ");
            d = (x - a[1]) ^ 2 + (y - a[2]) ^ 2; exit !(d <= 4) }' || bad=1
    done
    return $bad
}

check_xorg_rotated() {
    desktop_stop
    input_device default
    xorg_start --output Virtual-1 --mode 1024x768 --rotate left --pos 0x0 \
        --output Virtual-2 --mode 1024x768 --pos 768x0 || return 1
    local bad=0 lines qi
    xrot_calibrate || bad=1
    # The libinput driver: the daemon's touchscreen mapped to the head by the printed line.
    poll 20 sh -c 'DISPLAY=:1 xinput list --name-only | grep -qx "quilmod ttyS1"'
    lines=$(quilmoctl bind x11 | grep -v '^#')
    DISPLAY=:1 sh -ec "$lines" || { echo -n "the printed lines failed: ${lines//$'\n'/; }; "; bad=1; }
    echo -n "libinput: "
    xrot_taps "touch begin" 2 3 || bad=1
    # XTest: quilmoinput alone carries the touches.
    input_device none
    quilmoinput --display :1 --output Virtual-1 > /dev/null 2> "$state/xrot-quilmoinput.err" < /dev/null &
    qi=$!
    poll 20 grep -q "reading" "$state/xrot-quilmoinput.err"
    echo -n "XTest ($(grep -m1 reading "$state/xrot-quilmoinput.err")): "
    xrot_taps "button press 1" 3 4 || bad=1
    kill $qi; wait $qi 2>/dev/null
    # As before for the checks after this one: the default calibration, the devices as shipped.
    quilmocal --restore --no-reset /dev/ttyS1 > /dev/null
    input_device default
    desktop_stop
    echo
    return $bad
}
