#!/bin/bash
# The system test's scenario, run in the guest by systemtest.service from the 9p share /mnt/st.
# First boot: the offline install, the ports configured, a reboot. Second boot: every other
# check, then the purge and the power-off. Requests to the host (tap, unplug, plug) and one
# result line per check go over the virtio-serial port st.ctl.
set -u
st=/mnt/st
state=/var/lib/systemtest
mkdir -p "$state"
TAP_FRAMES=$'touch x=513 y=385\nrelease x=513 y=385'  # raw 512,384 under the default calibration

for _ in $(seq 100); do [ -e /dev/virtio-ports/st.ctl ] && break; sleep 0.1; done
exec 3<> /dev/virtio-ports/st.ctl

# One request, one line: a newline in it would be taken as a second request, and every answer
# after it would be one behind.
ask() {
    local reply
    echo "${*//$'\n'/ }" >&3
    IFS= read -r -t 60 reply <&3 || reply="err no answer from the host"
    [ "$reply" = ok ] || { echo "host: $reply" >&2; return 1; }
}
note() { ask "note $*"; }

# check NAME FUNCTION...: one result line, the function's output (one line) as its detail; a
# function that returns 77 could not run here (its output says why) and is counted as skipped.
# With a file "only" in the share (scripts/systemtest --only ERE), checks whose names do not
# match are left out (the install always runs), and the first boot goes on without its reboot.
# With a file "pending" (--pending), also the checks that wait for a fix elsewhere.
only=$(cat "$st/only" 2>/dev/null)
check() {
    local name=$1 out status=0 verdict=pass
    shift
    [ -z "$only" ] || [[ $name =~ $only || $name = "offline install" ]] || return 0
    out=$("$@" 2>&1) || status=$?
    case $status in 0) ;; 77) verdict=skip ;; *) verdict=fail ;; esac
    ask "result $verdict $name: $(echo "$out" | tr '\n' ' ' | cut -c1-400)"
    printf '%s %s: %s\n' "$verdict" "$name" "$out" >> "$state/checks.log"  # whole, where the line is cut
}

# poll SECONDS COMMAND...: until the command succeeds.
poll() {
    local end=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -ge $end ] && return 1
        sleep 0.1
    done
}

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

configure_ports() {
    sed -i '/^[[:space:]]*Port[[:space:]]*=/d' /etc/quilmod.conf
    printf 'Port = %s\n' "$@" >> /etc/quilmod.conf
}

held() { quilmoctl status | grep -q "^port $1: present, held by quilmod"; }

# ---- first boot ----

check_install() {
    local deb
    deb=$(ls "$st"/quilmod_*.deb)
    local net
    for net in /sys/class/net/*; do
        [ "${net##*/}" = lo ] || { echo "the guest has a network (${net##*/})"; return 1; }
    done
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" > "$state/install.log" 2>&1 ||
        { tail -3 "$state/install.log"; return 1; }
    dpkg-query -L quilmod > "$state/files"
    echo "apt-get installed $(dpkg-query -W -f '${Package} ${Version}' quilmod) without a network;" \
        "$(wc -l < "$state/files") paths"
}

first_boot() {
    check "offline install" check_install
    configure_ports /dev/ttyS1 /dev/ttyUSB0
    systemctl enable quilmod >/dev/null 2>&1
    echo 2 > "$state/phase"
    if [ -n "$only" ]; then
        systemctl start quilmod
        second_boot
    fi
    note "rebooting"
    systemctl reboot
    exit 0
}

# ---- second boot ----

check_unit() {
    local en act
    poll 20 systemctl is-active --quiet quilmod
    en=$(systemctl is-enabled quilmod) act=$(systemctl is-active quilmod)
    echo "quilmod.service $en, $act after the reboot"
    [ "$en" = enabled ] && [ "$act" = active ]
}

check_fifos() {
    local want got f bad=0
    for f in qvcmdin:620 qvcmdout:640 qvshrin:620 qvshrout:640 qvdat0:600 qvdat1:640; do
        want="fifo root quilmod ${f#*:}"
        got=$(stat -c '%F %U %G %a' "/dev/${f%:*}" 2>&1 | sed 's/^fifo[^ ]* /fifo /')
        echo -n "${f%:*} $got; "
        [ "$got" = "$want" ] || bad=1
    done
    echo
    return $bad
}

check_exposure() {
    local out d i
    out=$(systemd-analyze security quilmod.service quilmoinput.service 2>&1)
    d=$(echo "$out" | sed -n 's/.*exposure level for quilmod.service: \([0-9.]*\).*/\1/p')
    i=$(echo "$out" | sed -n 's/.*exposure level for quilmoinput.service: \([0-9.]*\).*/\1/p')
    echo "quilmod.service ${d:-?}, quilmoinput.service ${i:-?}"
    awk -v d="$d" -v i="$i" 'BEGIN { exit !(d != "" && i != "" && d <= 4.1 && i < 5.0) }'
}

check_stty() {
    local p s w state bad=0
    for p in /dev/ttyS1 /dev/ttyUSB0; do
        s=" $(stty -F "$p" -a 2>&1 | tr '\n;' '  ') " state=raw
        for w in "speed 9600 baud" -icanon -echo -isig cs8 -parenb -cstopb "min = 0"; do
            [[ $s == *" $w "* ]] || { state="not raw: lacks '$w'"; bad=1; }
        done
        echo -n "$p $state (9600 cs8 -parenb -cstopb -icanon -echo -isig min 0); "
    done
    echo
    return $bad
}

# tap PORT [WAIT]: the host taps raw 512,384 on PORT (S1 or USB); prints the frames seen.
tap() {
    quilmoctl watch --count 2 --timeout "${2:-5}" > "$state/frames" 2> "$state/watch.err" &
    local w=$!
    poll 5 grep -q watching "$state/watch.err"
    ask "tap $1 512 384"
    wait $w
    cat "$state/frames"
}

check_taps() {
    local port frames bad=0
    for port in S1 USB; do
        frames=$(tap $port)
        echo -n "$port: $(echo "$frames" | tr '\n' ',') "
        [ "$frames" = "$TAP_FRAMES" ] || bad=1
    done
    echo
    return $bad
}

# One unplug and plug of the adapter; prints how long the input took to come back.
replug() {
    local node=$1 t0
    ask unplug || { echo "unplug failed"; return 1; }
    poll 10 test ! -e /dev/ttyUSB0 || { echo "/dev/ttyUSB0 stayed"; return 1; }
    ask plug || { echo "plug failed"; return 1; }
    t0=$(now)
    while awk -v t="$(since "$t0")" 'BEGIN { exit !(t < 5.0) }'; do
        if [ "$(tap USB 1)" = "$TAP_FRAMES" ]; then
            echo -n "back after $(since "$t0") s on $node ($(ls /dev/ttyUSB* | tr '\n' ' ')); "
            return 0
        fi
    done
    echo -n "no input within 5 s of the plug (nodes: $(ls /dev/ttyUSB* 2>&1 | tr '\n' ' ')); "
    return 1
}

check_replugs() {
    local node=$1 i bad=0
    for i in 1 2 3; do
        replug "$node" || bad=1
    done
    echo
    return $bad
}

# The udev link of quilmod(8), matched on this adapter's serial number.
make_link() {
    local serial
    serial=$(udevadm info -q property -n /dev/ttyUSB0 | sed -n 's/^ID_SERIAL_SHORT=//p')
    echo "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{serial}==\"$serial\", SYMLINK+=\"quilmo-usb0\"" \
        > /etc/udev/rules.d/70-quilmo.rules
    udevadm control --reload
    udevadm trigger --action=change --settle /sys/class/tty/ttyUSB0
    poll 10 test -e /dev/quilmo-usb0 || note "no link /dev/quilmo-usb0 for serial $serial"
}

# The Port line renamed to the link and the daemon reloaded: it keeps the old port open.
check_renamed() {
    configure_ports /dev/ttyS1 /dev/quilmo-usb0
    systemctl reload quilmod
    poll 20 held /dev/quilmo-usb0
    local out
    out=$(quilmoctl status)
    echo "$out" | grep -E '^port /dev/ttyUSB0' || echo "no line for /dev/ttyUSB0"
    echo "$out" | grep -qE '^port /dev/ttyUSB0: .*held, not configured'
}

use_link() {
    configure_ports /dev/ttyS1 /dev/quilmo-usb0
    systemctl restart quilmod
    poll 20 held /dev/quilmo-usb0 || note "quilmod does not hold /dev/quilmo-usb0: $(quilmoctl status)"
}

# The first libinput event line matching a pattern: "LINE_NUMBER:TEXT".
first_event() { grep -m1 -n "$1" "$state/libinput"; }

# quilmod's own input device for /dev/ttyS1 (InputDevice = touch, the default), made once
# /dev/uinput is there: libinput sees a touchscreen, and a tap arrives at its pixel's centre
# (513,385 at 16 units a pixel without a monitor size), touched (BTN_TOUCH) where it went down.
check_uinput() {
    modprobe uinput || { echo "no uinput module"; return 1; }
    systemctl reload quilmod
    local dev
    poll 15 sh -c 'libinput list-devices 2>/dev/null | grep -q "^Device: *quilmod ttyS1$"' ||
        { echo "libinput does not see the device; $(journalctl -b -u quilmod --no-pager | tail -3)"; return 1; }
    dev=$(libinput list-devices | awk '/^Device:/ { d = ($0 ~ /quilmod ttyS1$/) } d && /^Kernel:/ { print $2; exit }')
    libinput debug-events --device "$dev" > "$state/libinput" 2>&1 &
    local li=$!
    evtest "$dev" > "$state/evtest" 2>&1 &
    local ev=$!
    poll 5 grep -q 'Testing' "$state/evtest"
    sleep 1  # libinput opens the device before it prints anything
    tap S1 > /dev/null
    poll 10 grep -qE 'TOUCH_UP|BTN_LEFT.*released' "$state/libinput"
    kill $li $ev 2>/dev/null
    wait $li $ev 2>/dev/null
    local down up at x y press
    if down=$(first_event TOUCH_DOWN); then
        up=$(first_event TOUCH_UP) at=$(echo "$down" | sed 's/.*s[[:space:]]*[0-9]* ([0-9]*)[[:space:]]*//')
        press=BTN_TOUCH
    else
        at=$(first_event POINTER_MOTION_ABSOLUTE | sed 's/.*s[[:space:]]*//')
        down=$(first_event 'BTN_LEFT.*pressed') up=$(first_event 'BTN_LEFT.*released') press=BTN_LEFT
        [ -n "$at" ] && [ "$(first_event POINTER_MOTION_ABSOLUTE | cut -d: -f1)" -lt "${down%%:*}" ] || at=
    fi
    # evtest: the first ABS_X and ABS_Y, and the press in the same report as them.
    x=$(grep -m1 'code 0 (ABS_X), value' "$state/evtest" | sed 's/.*value //')
    y=$(grep -m1 'code 1 (ABS_Y), value' "$state/evtest" | sed 's/.*value //')
    local first_report
    first_report=$(awk '/\(EV_ABS\)|\(EV_KEY\)/ { print } /SYN_REPORT/ && n++ == 0 { exit }' "$state/evtest" |
        grep -c "($press), value 1")
    echo "libinput: $dev ${down:+down at ${at:-?}}${up:+, then up}; evtest ABS_X ${x:-?} ABS_Y ${y:-?}," \
        "$press pressed in that report: $([ "$first_report" = 1 ] && echo yes || echo no)"
    [ -n "$down" ] && [ -n "$up" ] && [ -n "$at" ] && [ "$x" = 8216 ] && [ "$y" = 6168 ] && [ "$first_report" = 1 ]
}

check_purge() {
    systemctl stop quilmoinput 2>/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q quilmod > "$state/purge.log" 2>&1 ||
        { tail -3 "$state/purge.log"; return 1; }
    local left=() p
    while read -r p; do
        [ -d "$p" ] && continue  # directories (and /lib, a link to one) are shared
        [ -e "$p" ] || [ -L "$p" ] && left+=("$p")
    done < "$state/files"
    # Nothing under /usr/local ever; the calibration files and the FIFOs go with the purge.
    for p in /usr/local/Qelvanto /var/lib/quilmod /dev/qvcmdin /dev/qvcmdout /dev/qvshrin /dev/qvshrout \
        /dev/qvdat0 /dev/qvdat1; do
        [ -e "$p" ] && left+=("$p")
    done
    mapfile -t -O ${#left[@]} left < <(find /etc/systemd /run/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
        /var/lib/systemd/deb-systemd-helper-masked -name 'quilmo*' 2>/dev/null)
    if [ ${#left[@]} -gt 0 ]; then
        echo "left after the purge: ${left[*]}"
        return 1
    fi
    echo "no file of the package, no unit link, no helper state, no calibration file, no FIFO left;" \
        "the group quilmod stays: $(getent group quilmod | cut -d: -f1,3)"
}

second_boot() {
    check "enabled and active after a reboot" check_unit
    poll 30 held /dev/ttyUSB0
    poll 10 held /dev/ttyS1
    check "FIFO owner, group and modes" check_fifos
    check "exposure scores" check_exposure
    # A first start finds no calibration files and makes the defaults, and a boot may start the
    # daemon before the USB serial node exists (hot-plug brings it a moment later): the lines
    # naming those files and ports are the daemon's plain account of it, not noise.
    check "journal without missing-program noise" sh -c \
        'n=$(journalctl -b -u quilmod | grep "No such file or directory" | grep -v "/var/lib/quilmod/" |
             grep -vc "quilmod: /dev/tty"); echo "$n lines"; [ "$n" = 0 ]'
    check "raw 9600 8N1 on both ports" check_stty
    check "a tap gives exactly its two frames on both ports" check_taps
    check "3 re-plugs with Port = /dev/ttyUSB0" check_replugs /dev/ttyUSB0
    make_link
    check "status after a renamed Port" check_renamed
    use_link
    check "3 re-plugs with Port = /dev/quilmo-usb0" check_replugs /dev/quilmo-usb0
    check "uinput through libinput" check_uinput
    check "two virtio-gpu heads with EDID sizes" check_heads
    bind_panels
    check "each panel's device sized as its head's EDID" check_panel_sizes
    check "a USB re-plug brings the same device back" check_panel_replug
    check "weston: a tap on each panel reaches its own head's client at the pixel" check_weston_panels
    check "weston: a drag starts at its first point" check_weston_drag
    check "weston: the first right-button touch on each panel arrives whole on its head" check_weston_right
    check "weston: a long press is a right click, no left press before it" check_weston_long_press
    check "Xorg with the libinput driver: each panel's tap at the exact pixel of its head" check_xorg_panels
    check "Xorg: a long press is a right click, no left press before it; a tap a left click" check_xorg_long_press
    check "sway with quilmoctl bind's lines: each panel on its head" check_sway_panels
    check "Xorg turned left: a panel calibrated there lands within 2 px through XTest and libinput" check_xorg_rotated
    check "Xorg turned right and mirrored: a panel calibrated there lands within 2 px through XTest and libinput" check_xorg_mirrored
    desktop_stop
    check "quilmocal on weston, an output turned 90 degrees: calibrated by touch, bound to that output" check_cal_weston
    check "quilmocal on weston: target 1 shown on the monitor" check_cal_weston_seen
    check "quilmocal on weston, turned 90 degrees: taps in four quadrants land under the finger" check_cal_weston_taps
    check "quilmocal --backend console while weston holds the card: a clear message, nothing written" check_cal_console_held
    check "quilmocal on the console: calibrated by touch, its files written" check_cal_console
    check "quilmocal on the console: target 1 shown on the monitor" check_cal_console_seen
    desktop_stop
    check "quilmocal on sway, Virtual-1 at transform 90: calibrated by touch, bound to that output" check_cal_sway
    check "quilmocal on sway: target 1 shown on the monitor" check_cal_sway_seen
    check "quilmocal on sway, turned, bound by map_to_output: taps in four quadrants land under the finger" check_cal_sway_taps
    check "quilmocal on GNOME's mutter, Virtual-1 turned: calibrated by touch, bound to that output" check_cal_mutter
    check "quilmocal on GNOME's mutter: target 1 shown on the monitor" check_cal_mutter_seen
    check "quilmocal on GNOME's mutter, turned, bound by gsettings: taps in four quadrants land under the finger" check_cal_mutter_taps
    desktop_stop
    check "the daemon's CPU per packet, devices on against off" check_cpu
    check "upgrade from the CPack 0.9.0 package keeps the configuration and the calibration files" check_upgrade
    journalctl -b -u quilmod -u quilmoinput --no-pager > "$st/journal.txt" 2>&1
    cp -r "$state" "$st/state" 2>/dev/null  # the desktops' and clients' logs, for a look afterwards
    check "purge" check_purge
    touch "$state/finished"
    ask "done"
    systemctl poweroff
}

# The checks of each part of the scenario, one file each beside this one.
for part in "$st"/guest-*.sh; do
    # shellcheck source=/dev/null
    . "$part"
done

case $(cat "$state/phase" 2>/dev/null) in
    2) second_boot ;;
    *) first_boot ;;
esac
