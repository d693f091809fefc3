# The system test's turned X head, sourced by guest.sh: Xorg with Virtual-1 turned left, or turned
# right and mirrored, the panel on it calibrated by simulated touches with quilmocal (X backend,
# --output), then taps in its four quadrants through XTest (quilmoinput --output) and through the libinput driver (the
# daemon's touchscreen with quilmoctl bind's xinput map-to-output line).

# A sensor a little off and a little small, so the calibration has something to correct.
SKEW_XROT="0.95 20 0.95 15"

# xrot_panel TURN SX SY: the panel pixel under screen pixel SX,SY of Virtual-1 (a 1024x768 mode),
# as xrandr turns it. left: the screen's top-left is the panel's bottom-left. right-x (--rotate
# right --reflect x): RandR mirrors the turned picture's own columns, so the screen's top-left
# is the panel's bottom-right.
xrot_panel() {
    case $1 in
        left) echo "$3 $((767 - $2))" ;;
        right-x) echo "$((1023 - $3)) $((767 - $2))" ;;
    esac
}

# xrot_taps TURN WHAT I J: a tap in each quadrant of the turned head; WHAT is the xprobe line that
# tells where it landed (its x and y in fields I and J). Every one within 2 px of the finger.
xrot_taps() {
    local turn=$1 what=$2 i=$3 j=$4 s p got bad=0
    for s in "192 256" "576 256" "192 768" "576 768"; do
        : > "$state/xprobe"
        # shellcheck disable=SC2046,SC2086
        p=$(raw_of "$SKEW_XROT" $(xrot_panel "$turn" $s))
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

# xorg_turned TURN XRANDR-ROTATION...: Xorg with Virtual-1 turned so, the second head beside it;
# the calibration, and the taps both ways.
xorg_turned() {
    local turn=$1 bad=0 lines qi status=0
    shift
    desktop_stop
    input_device default
    xorg_start --output Virtual-1 --mode 1024x768 "$@" --pos 0x0 \
        --output Virtual-2 --mode 1024x768 --pos 768x0 || return 1
    DISPLAY=:1 quilmocal --backend x11 --output Virtual-1 --timeout 60 /dev/ttyS1 > "$state/xrot-$turn.out" \
        2> "$state/xrot-$turn.err" < /dev/null &
    # No picture: QEMU's screendump of a turned Xorg head came out black (its scanout is not
    # flushed to virtio-gpu).
    drive_run $! "$state/xrot-$turn.out" "$SKEW_XROT" - "xrot-$turn" || status=$?
    echo -n "quilmocal $(run_summary "$state/xrot-$turn.out" "$state/xrot-$turn.err" $status) "
    [ $status = 0 ] && grep -q '^bound /dev/ttyS1 to output Virtual-1' "$state/xrot-$turn.out" || bad=1
    # The libinput driver: the daemon's touchscreen mapped to the head by the printed line.
    poll 20 sh -c 'DISPLAY=:1 xinput list --name-only | grep -qx "quilmod ttyS1"'
    lines=$(quilmoctl bind x11 | grep -v '^#')
    DISPLAY=:1 sh -ec "$lines" || { echo -n "the printed lines failed: ${lines//$'\n'/; }; "; bad=1; }
    echo -n "libinput: "
    xrot_taps "$turn" "touch begin" 2 3 || bad=1
    # XTest: quilmoinput alone carries the touches.
    input_device none
    quilmoinput --display :1 --output Virtual-1 > /dev/null 2> "$state/xrot-quilmoinput.err" < /dev/null &
    qi=$!
    poll 20 grep -q "reading" "$state/xrot-quilmoinput.err"
    echo -n "XTest ($(grep -m1 reading "$state/xrot-quilmoinput.err")): "
    xrot_taps "$turn" "button press 1" 3 4 || bad=1
    kill $qi; wait $qi 2>/dev/null
    # As before for the checks after this one: the default calibration, the devices as shipped.
    quilmocal --restore --no-reset /dev/ttyS1 > /dev/null
    input_device default
    desktop_stop
    echo
    return $bad
}

check_xorg_rotated() { xorg_turned left --rotate left; }
check_xorg_mirrored() { xorg_turned right-x --rotate right --reflect x; }
