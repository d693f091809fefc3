# The system test's desktops, sourced by guest.sh: two virtio-gpu heads, weston, Xorg and sway, the
# panels bound to their heads, right-button touches and the daemon's CPU per packet.

# ---- the desktops: two virtio-gpu heads, weston, Xorg ----

# edid_mm CONNECTOR: the monitor's width and height in mm from its EDID's first detailed timing.
edid_mm() {
    local b
    read -ra b < <(od -An -tu1 -j66 -N3 "/sys/class/drm/card0-$1/edid" 2>/dev/null)
    [ ${#b[@]} = 3 ] || return 1
    echo "$((b[0] | (b[2] >> 4) << 8)) $((b[1] | (b[2] & 15) << 8))"
}

# edid_mode CONNECTOR: the EDID's preferred mode (its first detailed timing).
edid_mode() {
    local b
    read -ra b < <(od -An -tu1 -j56 -N6 "/sys/class/drm/card0-$1/edid" 2>/dev/null)
    [ ${#b[@]} = 6 ] || { echo "no mode"; return 1; }
    echo "$((b[0] | (b[2] >> 4) << 8))x$((b[3] | (b[5] >> 4) << 8))"
}

check_heads() {
    local c bad=0 mm status
    for c in Virtual-1 Virtual-2; do
        mm=$(edid_mm $c) || { mm="no EDID"; bad=1; }
        status=$(cat /sys/class/drm/card0-$c/status 2>&1)
        echo -n "$c $status, $(edid_mode $c), $mm mm; "
        [ "$status" = connected ] || bad=1
        case $mm in [1-9]*\ [1-9]*) ;; *) bad=1 ;; esac
    done
    echo
    return $bad
}

export XDG_RUNTIME_DIR=/run/systemtest-xdg
# Checks run in subshells: what a desktop starts is remembered in a file, for desktop_stop.
pids=$state/desktop.pids

# seatd, which gives sway its devices.
seat() {
    [ -S /run/seatd.sock ] && return 0
    seatd > "$state/seatd.log" 2>&1 < /dev/null &
    poll 10 test -S /run/seatd.sock
}

# Stops whatever the last desktop started, compositor and clients, and waits until they are gone.
desktop_stop() {
    local p
    [ -s "$pids" ] || return 0
    while read -r p; do kill "$p" 2>/dev/null; done < "$pids"
    while read -r p; do poll 20 sh -c "! kill -0 $p" || kill -9 "$p" 2>/dev/null; done < "$pids"
    rm -f "$pids"
}

wl_socket=wayland-1
# weston_start INI: weston on the DRM device (pixman: the guest has no GL), ready when it listens.
# weston 10 has no seatd support and no login session here: its direct launcher, on a VT.
weston_start() {
    mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
    rm -f "$XDG_RUNTIME_DIR/wayland-1"
    weston --tty=7 --backend=drm-backend.so --use-pixman --config="$1" --socket=wayland-1 \
        --log="$state/weston.log" > "$state/weston.out" 2>&1 < /dev/null &
    echo $! >> "$pids"
    poll 90 test -S "$XDG_RUNTIME_DIR/wayland-1" ||
        { echo "weston did not start: $(tail -qn 4 "$state/weston.log" "$state/weston.out")"; return 1; }
}

# probe OUTPUT APP_ID LOG: the test client fullscreen on OUTPUT, ready when its buffer is up.
probe() {
    WAYLAND_DISPLAY=$wl_socket "$st/wlprobe" --output "$1" --app-id "$2" --log "$3" > /dev/null 2> "$3.err" < /dev/null &
    echo $! >> "$pids"
    poll 60 grep -q '^ready' "$3" || { echo "$2 not ready on $1: $(cat "$3.err" "$3" | tr '\n' ' ')"; return 1; }
}


# The second head's monitor prefers 1280x800 (QEMU's EDID for a head no window sized); both run
# at 1024x768, the screen the panels' default calibration spans.
kiosk_ini() {
    printf '%s\n' '[core]' 'shell=kiosk-shell.so' 'require-input=false' 'idle-time=0' \
        '[output]' 'name=Virtual-1' 'mode=1024x768' 'app-ids=probe1' \
        '[output]' 'name=Virtual-2' 'mode=1024x768' 'app-ids=probe2' > "$state/kiosk.ini"
}

# xorg_start [XRANDR ARGUMENTS]: Xorg on :1 (modesetting, the libinput driver), the heads side
# by side (or as the arguments set them), and the X client over the whole screen.
xorg_start() {
    local heads=("$@")
    [ $# -gt 0 ] || heads=(--output Virtual-1 --mode 1024x768 --pos 0x0 --output Virtual-2 --mode 1024x768 --pos 1024x0)
    Xorg :1 vt7 -nolisten tcp -noreset -logfile "$state/Xorg.log" > "$state/Xorg.out" 2>&1 < /dev/null &
    echo $! >> "$pids"
    poll 90 env DISPLAY=:1 xrandr -q ||
        { echo "Xorg did not start: $(grep -E '\(EE\)' "$state/Xorg.log" | head -3)"; return 1; }
    DISPLAY=:1 xrandr "${heads[@]}"
    DISPLAY=:1 "$st/xprobe" --log "$state/xprobe" > /dev/null 2> "$state/xprobe.err" < /dev/null &
    echo $! >> "$pids"
    poll 30 grep -q '^ready' "$state/xprobe" || { echo "xprobe: $(cat "$state/xprobe.err")"; return 1; }
}

# ---- the daemon's own input devices: each panel bound to its head ----

# dev_node NAME: the event node of the input device called NAME.
dev_node() {
    local d
    for d in /sys/class/input/event*; do
        [ "$(cat "$d/device/name" 2>/dev/null)" = "$1" ] && { echo "/dev/input/${d##*/}"; return 0; }
    done
    return 1
}

# identity NAME: what a desktop keeps a device's settings under: name, ids and phys.
identity() {
    local d
    d=/sys/class/input/$(basename "$(dev_node "$1")")/device || return 1
    echo "$(cat "$d/name") $(cat "$d/id/vendor"):$(cat "$d/id/product") phys $(cat "$d/phys")"
}

# Each panel bound to one head by its Port line, the devices as shipped (InputDevice not set);
# the daemon restarted with it.
bind_panels() {
    configure_ports "/dev/ttyS1 output=Virtual-1" "/dev/quilmo-usb0 output=Virtual-2"
    systemctl stop quilmoinput 2>/dev/null
    input_device default
    poll 20 held /dev/ttyS1 && poll 30 held /dev/quilmo-usb0 &&
        poll 20 dev_node "quilmod ttyS1" && poll 20 dev_node "quilmod quilmo-usb0" ||
        note "the panels' devices are not there: $(quilmoctl status | tr '\n' ' ')"
}

# within_1pc A B: A within 1 % of B.
within_1pc() { awk -v a="$1" -v b="$2" 'BEGIN { d = a - b; exit !(b > 0 && d <= b / 100 && d >= -b / 100) }'; }

# udev's size of each panel's touchscreen against its head's EDID.
check_panel_sizes() {
    local name head node w h mm bad=0
    for name in "ttyS1 Virtual-1" "quilmo-usb0 Virtual-2"; do
        head=${name#* } name="quilmod ${name% *}"
        node=$(dev_node "$name") || { echo -n "no device \"$name\"; "; bad=1; continue; }
        w=$(udevadm info -q property -n "$node" | sed -n 's/^ID_INPUT_WIDTH_MM=//p')
        h=$(udevadm info -q property -n "$node" | sed -n 's/^ID_INPUT_HEIGHT_MM=//p')
        mm=$(edid_mm "$head")
        echo -n "$name ($node, touchscreen: $(udevadm info -q property -n "$node" |
            sed -n 's/^ID_INPUT_TOUCHSCREEN=//p')) ${w:-?}x${h:-?} mm, $head ${mm/ /x} mm; "
        within_1pc "$w" "${mm% *}" && within_1pc "$h" "${mm#* }" || bad=1
    done
    echo
    return $bad
}

# A re-plug of the USB adapter brings its device back with the same name, ids and phys.
check_panel_replug() {
    local before after
    before=$(identity "quilmod quilmo-usb0") || { echo "no device \"quilmod quilmo-usb0\""; return 1; }
    ask unplug || { echo "unplug failed"; return 1; }
    poll 20 sh -c '! test -e /dev/ttyUSB0' || { echo "/dev/ttyUSB0 stayed"; return 1; }
    ask plug || { echo "plug failed"; return 1; }
    poll 30 held /dev/quilmo-usb0 && poll 20 dev_node "quilmod quilmo-usb0"
    after=$(identity "quilmod quilmo-usb0")
    echo "before: $before; after: ${after:-none}"
    [ "$before" = "$after" ]
}

# at_pixel LINE X Y I J: fields I and J of LINE are in pixel X,Y (truncated).
at_pixel() {
    local f
    read -ra f <<< "$1"
    [ ${#f[@]} -gt "$5" ] || return 1
    awk -v x="${f[$4]}" -v y="${f[$5]}" -v px="$2" -v py="$3" 'BEGIN { exit !(int(x) == px && int(y) == py) }'
}

# first_down LOG: the first touch down in a client's log, waited for until its touch ended.
first_down() {
    poll 10 grep -q '^touch up' "$1"
    grep -m1 '^touch down' "$1"
}

# A tap on each panel: the client on the panel's head gets it at the tapped pixel, the other
# client nothing.
taps_on_their_heads() {
    local port log other down bad=0
    for port in "S1 probe1 probe2" "USB probe2 probe1"; do
        read -r port log other <<< "$port"
        : > "$state/$log"; : > "$state/$other"
        ask "tap $port 512 384"
        down=$(first_down "$state/$log") || down="no touch"
        echo -n "$port on $log: ${down#touch down }; "
        at_pixel "$down" 513 385 3 4 || bad=1
        grep -q '^touch' "$state/$other" && { echo -n "$other touched too; "; bad=1; }
    done
    echo
    return $bad
}

# weston kiosk-shell with a client on each head: a tap on each panel reaches the client on its
# own head at the tapped pixel, and only that one.
check_weston_panels() {
    kiosk_ini
    weston_start "$state/kiosk.ini" || return 1
    probe Virtual-1 probe1 "$state/probe1" && probe Virtual-2 probe2 "$state/probe2" || return 1
    taps_on_their_heads
}

# A drag on the first panel: its touch down is at the first frame's pixel, its motions follow.
check_weston_drag() {
    : > "$state/probe1"
    quilmoctl watch --count 6 --timeout 20 > "$state/frames" 2> "$state/watch.err" &
    local w=$! p
    poll 5 grep -q watching "$state/watch.err"
    for p in "100 100" "200 150" "300 200" "400 250" "500 300"; do ask "touch S1 $p"; done
    ask "lift S1 500 300"
    wait $w
    local first down x y
    first=$(head -1 "$state/frames")
    x=$(echo "$first" | sed -n 's/.*x=\([0-9]*\).*/\1/p') y=$(echo "$first" | sed -n 's/.*y=\([0-9]*\).*/\1/p')
    down=$(first_down "$state/probe1") || down="no touch"
    echo "first frame: $first; client: ${down#touch down }, then $(grep -c '^touch motion' "$state/probe1") motions," \
        "$(grep -c '^touch up' "$state/probe1") up"
    [ -n "$x" ] && at_pixel "$down" "$x" "$y" 3 4 && grep -q '^touch motion' "$state/probe1" &&
        [ "$(grep -m1 '^touch' "$state/probe1" | cut -d' ' -f2)" = down ]
}

# The first right-button touch on each panel after weston started: the panel's companion pointer
# moves there, then presses and releases button 273 (BTN_RIGHT) at the tapped pixel of the
# panel's head; no left press, nothing on the other head.
check_weston_right() {
    local port log other press bad=0
    for port in "S1 probe1 probe2" "USB probe2 probe1"; do
        read -r port log other <<< "$port"
        : > "$state/$log"; : > "$state/$other"
        quilmoctl right-button || { echo "quilmoctl right-button failed"; return 1; }
        ask "tap $port 512 384"
        poll 10 grep -q '^pointer button 273 released' "$state/$log"
        press=$(grep -m1 '^pointer button 273 pressed' "$state/$log") || press="no right press"
        echo -n "$port on $log: $press, $(grep -c '^pointer button 272' "$state/$log") left presses," \
            "$(grep -c '^pointer button 273 released' "$state/$log") release; "
        at_pixel "$press" 513 385 4 5 && ! grep -q '^pointer button 272' "$state/$log" &&
            grep -q '^pointer button 273 released' "$state/$log" || bad=1
        grep -q '^pointer button' "$state/$other" && { echo -n "$other got a button too; "; bad=1; }
    done
    echo
    return $bad
}

# A long press on weston (RightClickHold 500 ms): the client gets a right click at the pixel of
# the touch-down, whole, and nothing of a left press or a touch before it.
check_weston_long_press() {
    : > "$state/probe1"
    quilmoctl right-click-hold 500 > /dev/null || { echo "quilmoctl right-click-hold 500 failed"; return 1; }
    quilmoctl watch --count 2 --timeout 20 > "$state/frames" 2> "$state/watch.err" &
    local w=$! i
    poll 5 grep -q watching "$state/watch.err"
    # A finger that stays put: the controller repeats its position while it is down.
    for i in 1 2 3 4 5 6; do ask "touch S1 300 300"; sleep 0.25; done
    ask "lift S1 300 300"
    wait $w
    quilmoctl right-click-hold 0 > /dev/null
    poll 10 grep -q '^pointer button 273 released' "$state/probe1"
    local first x y press
    first=$(head -1 "$state/frames")
    x=$(echo "$first" | sed -n 's/.*x=\([0-9]*\).*/\1/p') y=$(echo "$first" | sed -n 's/.*y=\([0-9]*\).*/\1/p')
    press=$(grep -m1 '^pointer button 273 pressed' "$state/probe1") || press="no right press"
    echo "frames: $(tr '\n' ',' < "$state/frames") client: $press; $(grep -c '^pointer button 272' "$state/probe1")" \
        "left presses, $(grep -c '^touch down' "$state/probe1") touches, $(grep -c '^pointer button 273 released' \
        "$state/probe1") right release"
    [ -n "$x" ] && at_pixel "$press" "$x" "$y" 4 5 && ! grep -qE '^pointer button 272|^touch down' "$state/probe1" &&
        grep -q '^pointer button 273 released' "$state/probe1"
}

# Xorg with the libinput driver, the heads side by side, each panel's devices mapped to its head
# by the lines quilmoctl bind x11 prints: each tap lands on the exact pixel of its head.
check_xorg_panels() {
    desktop_stop
    xorg_start || return 1
    local dev bad=0 begin lines
    lines=$(quilmoctl bind x11 | grep -v '^#')
    DISPLAY=:1 sh -ec "$lines" || { echo -n "the printed lines failed: ${lines//$'\n'/; }; "; bad=1; }
    for dev in "S1 513" "USB 1537"; do
        : > "$state/xprobe"
        ask "tap ${dev% *} 512 384"
        poll 10 grep -q '^touch end' "$state/xprobe"
        begin=$(grep -m1 '^touch begin' "$state/xprobe") || begin="no touch"
        echo -n "${dev% *}: $begin; "
        at_pixel "$begin" "${dev#* }" 385 2 3 || bad=1
    done
    echo
    return $bad
}

# sway_socket: the running sway's socket becomes the clients' (XDG_RUNTIME_DIR, wl_socket); its
# IPC socket in swaysock.
sway_run=/run/systemtest-sway
sway_socket() {
    local s i
    for s in "$sway_run"/wayland-?; do [ -S "$s" ] && break; done
    [ -S "$s" ] || return 1
    for i in "$sway_run"/sway-ipc.*.sock; do swaysock=$i; done
    XDG_RUNTIME_DIR=$sway_run wl_socket=${s##*/}
}

# sway_start CONFIG: sway on the DRM device with CONFIG, ready when it listens (sway_socket).
sway_start() {
    seat || return 1
    # sway refuses to run as root: a user of its own, its devices through seatd.
    id swayuser > /dev/null 2>&1 || useradd -M -G video,input swayuser
    rm -rf "$sway_run"; mkdir -p "$sway_run"; chown swayuser: "$sway_run"; chmod 700 "$sway_run"
    chmod 644 "$1"
    XDG_RUNTIME_DIR=$sway_run LIBSEAT_BACKEND=seatd WLR_RENDERER=pixman WLR_BACKENDS=drm,libinput \
        runuser -u swayuser -- sway -c "$1" > "$state/sway.log" 2>&1 < /dev/null &
    echo $! >> "$pids"
    poll 90 sway_socket ||
        { echo "sway did not start: $(grep -m3 -iE 'error|fail' "$state/sway.log")"; return 1; }
    sway_socket
}

# sway with the lines quilmoctl bind prints: a tap on each panel reaches the client on its head.
check_sway_panels() {
    desktop_stop
    { printf '%s\n' 'xwayland disable' 'default_border none' 'output Virtual-1 mode 1024x768 pos 0 0' \
        'output Virtual-2 mode 1024x768 pos 1024 0'
      quilmoctl bind sway | grep -v '^#'; } > "$state/sway.conf"
    sway_start "$state/sway.conf" || return 1
    probe Virtual-1 probe1 "$state/probe1" && probe Virtual-2 probe2 "$state/probe2" || return 1
    echo -n "bind: $(quilmoctl bind sway | grep -v '^#' | tr '\n' ';') "
    taps_on_their_heads
}

# daemon_ns: the CPU time quilmod's main process has used, in ns (the scheduler's own count).
daemon_ns() { cut -d' ' -f1 "/proc/$(systemctl show -p MainPID --value quilmod)/schedstat"; }

# cpu_per_packet N: quilmod's CPU time per packet, in µs, over a burst of N packets on the 16550.
cpu_per_packet() {
    local n=$1 t0 t1
    quilmoctl watch --timeout 120 > "$state/burst" 2>&1 &
    local w=$!
    poll 5 grep -q watching "$state/burst" || true
    t0=$(daemon_ns)
    ask "burst S1 $n" || return 1
    poll 120 grep -q '^release' "$state/burst" || { kill $w; return 1; }
    t1=$(daemon_ns)
    kill $w 2>/dev/null
    wait $w 2>/dev/null
    awk -v a="$t0" -v b="$t1" -v n="$n" 'BEGIN { printf "%.1f", (b - a) / n / 1000 }'
}

# input_device KIND: InputDevice = KIND in the configuration, the daemon restarted with it.
input_device() {
    sed -i '/^[[:space:]]*InputDevice[[:space:]]*=/d' /etc/quilmod.conf
    [ "$1" = default ] || echo "InputDevice = $1" >> /etc/quilmod.conf
    systemctl restart quilmod
    poll 20 held /dev/ttyS1
}

# The daemon's CPU per packet with its devices on and off, three times each, interleaved. Under
# TCG a busy host stretches any one figure (a preempted guest CPU counts as the task's time):
# the least of each kind is the ratio's measure. Measured and printed, not judged.
check_cpu() {
    local on=() off=() i
    for i in 1 2 3; do
        input_device none && off+=("$(cpu_per_packet 2000)") || return 1
        input_device touch && on+=("$(cpu_per_packet 2000)") || return 1
    done
    local least_on least_off
    least_on=$(printf '%s\n' "${on[@]}" | sort -n | head -1)
    least_off=$(printf '%s\n' "${off[@]}" | sort -n | head -1)
    awk -v on="$least_on" -v off="$least_off" -v all="on ${on[*]}; off ${off[*]}" 'BEGIN {
        printf "µs of CPU per packet: %s; least: on %s, off %s, ratio %.2f (aim: under 1.3)\n", all, on, off, on / off
        exit !(on > 0 && off > 0) }'
}

