# The system test's calibrations on sway and on GNOME's compositor (mutter), sourced by guest.sh:
# quilmocal driven by simulated touches on Virtual-1 turned by 90 degrees, the panel bound by the
# lines quilmoctl bind prints, what the monitor shows at target 1 and where taps land afterwards.

SKEW_SWAY="1.04 -11 0.96 14"
SKEW_MUTTER="0.98 7 1.02 -12"

# ---- sway: the output turned in its config, the device mapped by map_to_output ----

# sway turns clockwise: with "transform 90" its wl_output says 270 (weston's rotate-90 and
# mutter's transform 1 say 90), so the panel's top-left pixel is the turned screen's bottom-left,
# and panel pixel u,v is at v, 1023 - u in a fullscreen client. quadrant_taps takes the turn
# from the wl_output, as quilmocal draws by it.

check_cal_sway() {
    desktop_stop
    cal_begin
    { printf '%s\n' 'xwayland disable' 'default_border none' \
        'output Virtual-1 mode 1024x768 pos 0 0 transform 90' 'output Virtual-2 mode 1024x768 pos 768 0'
      quilmoctl bind sway | grep -v '^#'; } > "$state/sway-turned.conf"
    sway_start "$state/sway-turned.conf" || return 1
    cal_wayland cal-sway "$SKEW_SWAY"
}

check_cal_sway_seen() { seen_check cal-sway; }

# sway_bind: the lines quilmoctl bind sway prints now, given to the running sway.
sway_bind() {
    local line
    while read -r line; do
        swaymsg -s "$swaysock" "$line" > /dev/null || { echo "swaymsg $line failed"; return 1; }
    done < <(quilmoctl bind sway | grep -v '^#')
}

check_cal_sway_taps() {
    sway_socket || { echo "sway is not running"; cal_restore; return 1; }
    cal_taps "$SKEW_SWAY" sway_bind
}

# ---- GNOME's compositor: mutter in a logind session, the device bound through GSettings ----

gnome_user=gnomeuser
gnome_home=/home/$gnome_user
gnome_unit=systemtest-mutter

# as_gnome COMMAND...: COMMAND as the session's user, on its session bus and its settings (the
# keyfile backend: one file that mutter watches).
as_gnome() {
    runuser -u $gnome_user -- env HOME=$gnome_home GSETTINGS_BACKEND=keyfile \
        DBUS_SESSION_BUS_ADDRESS="$(cat $gnome_home/bus 2>/dev/null)" "$@"
}

# mutter_socket: mutter's socket becomes the clients' (XDG_RUNTIME_DIR, wl_socket).
mutter_socket() {
    local run
    run=/run/user/$(id -u $gnome_user)
    [ -S "$run/wayland-0" ] && XDG_RUNTIME_DIR=$run wl_socket=wayland-0
}

# mutter_start: mutter's native backend takes the card and the input devices from logind: a
# login session of its own user on VT 8 (a transient unit through PAM), brought to the front,
# with a session bus. Ready when it listens. It draws with mesa's softpipe, LLVM left out: with
# llvmpipe (at 256- and at 128-bit vectors) mutter died of a segfault in code LLVM had made, at
# a client's first fullscreen frame, in this guest (TCG, -cpu max).
mutter_start() {
    id $gnome_user > /dev/null 2>&1 || useradd -m $gnome_user
    rm -f $gnome_home/bus
    systemctl stop $gnome_unit 2> /dev/null
    systemctl reset-failed $gnome_unit 2> /dev/null
    mutter --help > "$state/mutter.help" 2>&1
    # shellcheck disable=SC2016  # the session's own shell expands them
    systemd-run --unit=$gnome_unit -p PAMName=login -p User=$gnome_user -p TTYPath=/dev/tty8 \
        -p StandardInput=tty -p StandardOutput="file:$state/mutter.log" -p StandardError="file:$state/mutter.log" \
        -p Environment=XDG_SESSION_TYPE=wayland -p Environment=GSETTINGS_BACKEND=keyfile \
        -p Environment=GALLIUM_DRIVER=softpipe -p Environment=DRAW_USE_LLVM=0 \
        dbus-run-session -- sh -c \
        'echo "$DBUS_SESSION_BUS_ADDRESS" > "$HOME/bus"; exec mutter --wayland --display-server --no-x11' \
        > "$state/systemd-run.out" 2>&1 || { echo "systemd-run: $(cat "$state/systemd-run.out")"; return 1; }
    local session
    poll 60 sh -c "loginctl list-sessions --no-legend | grep -q ' $gnome_user '"
    session=$(loginctl list-sessions --no-legend | awk -v u=$gnome_user '$3 == u { print $1; exit }')
    [ -n "$session" ] || { echo "no logind session for $gnome_user: $(tail -qn 3 "$state/mutter.log")"; return 1; }
    loginctl activate "$session"
    poll 180 mutter_socket ||
        { echo "mutter did not start: session $session $(loginctl show-session "$session" -p Active -p Type -p VTNr |
            tr '\n' ' ')$(grep -v '^$' "$state/mutter.log" | tail -4 | tr '\n' ' ')"; return 1; }
    pgrep -u $gnome_user -x mutter >> "$pids"
    mutter_socket
}

# display_config METHOD ARGUMENTS...: a call of mutter's DisplayConfig, which may take its time
# answering while mutter starts under TCG.
display_config() {
    local dc=org.gnome.Mutter.DisplayConfig
    as_gnome gdbus call --session --timeout 120 --dest $dc --object-path /org/gnome/Mutter/DisplayConfig \
        --method "$dc.$1" "${@:2}"
}

turned_90() { [ "$(output_turn "$1")" = 1 ]; }

# mutter_turn: Virtual-1 turned by 90 degrees (transform 1), Virtual-2 right of it, through
# mutter's DisplayConfig (the modes as GetCurrentState names them).
mutter_turn() {
    local now serial m1 m2
    poll 240 display_config GetCurrentState
    now=$(display_config GetCurrentState 2>&1)
    echo "$now" > "$state/mutter.state"
    serial=$(echo "$now" | sed -n 's/^(uint32 \([0-9]*\),.*/\1/p')
    m1=$(echo "$now" | grep -o "(('Virtual-1'.*" | grep -o "'1024x768@[0-9.]*'" | head -1)
    m2=$(echo "$now" | grep -o "(('Virtual-2'.*" | grep -o "'1024x768@[0-9.]*'" | head -1)
    [ -n "$serial" ] && [ -n "$m1" ] && [ -n "$m2" ] || { echo "no state from mutter: ${now:0:200}"; return 1; }
    display_config ApplyMonitorsConfig "$serial" 1 \
        "[(0, 0, 1.0, uint32 1, true, [('Virtual-1', $m1, @a{sv} {})]), (768, 0, 1.0, uint32 0, false, [('Virtual-2', $m2, @a{sv} {})])]" \
        "@a{sv} {}" > "$state/mutter.apply" 2>&1 || { echo "ApplyMonitorsConfig: $(cat "$state/mutter.apply")"; return 1; }
    poll 120 turned_90 Virtual-1 || { echo "Virtual-1 not turned: $(WAYLAND_DISPLAY=$wl_socket quilmocal \
        --backend wayland --list-outputs 2>&1 | tr '\n' ';')"; return 1; }
}

check_cal_mutter() {
    desktop_stop
    cal_begin
    mutter_start && mutter_turn || return 1
    echo -n "mutter up: $(WAYLAND_DISPLAY=$wl_socket quilmocal --backend wayland --list-outputs 2>&1 | tr '\n' ';') "
    # softpipe under TCG takes its time over a frame: the target is looked for longer.
    JUDGE_SECONDS=100 cal_wayland cal-mutter "$SKEW_MUTTER"
}

check_cal_mutter_seen() { seen_check cal-mutter; }

# gnome_bind: the lines quilmoctl bind gnome prints now, run as the session's user.
gnome_bind() {
    local lines
    lines=$(quilmoctl bind gnome | grep '^gsettings')
    [ -n "$lines" ] || { echo "quilmoctl bind gnome printed no line: $(quilmoctl bind gnome | tr '\n' ' ')"; return 1; }
    echo -n "gsettings: $(echo "$lines" | sed 's#.*/touchscreens/\([0-9a-f:]*\)/ output #\1 #' | tr '\n' ';') "
    as_gnome sh -ec "$lines" || { echo "the printed lines failed"; return 1; }
}

check_cal_mutter_taps() {
    local status=0
    if mutter_socket; then cal_taps "$SKEW_MUTTER" gnome_bind || status=1
    else echo "mutter is not running"; cal_restore; status=1; fi
    desktop_stop
    return $status
}

