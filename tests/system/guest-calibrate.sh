# The system test's calibrations, sourced by guest.sh: quilmocal driven by simulated touches on
# weston (an output turned by 90 degrees, no Xwayland) and on the bare console, what the monitor
# shows at the first target, and where touches land afterwards.

# A finger the panel reads with a skew of its own: raw = (pixel - 1) x scale + offset on each
# axis, where the default calibration has raw 512,384 at pixel 513,385 (scale 1, offset 0).
# Each run gets another, so every calibration has something to correct and its files differ.
SKEW_WESTON="0.97 12 1.03 -9"
SKEW_CONSOLE="1.02 -6 0.98 8"
CAL_TOUCH_POSITIONS=12   # positions of one held touch: more than the run's 8 (--samples)
PANEL_WIDTH=1024 PANEL_HEIGHT=768  # Virtual-1's mode in the panel's pixels

# raw_of SKEW PX PY: the raw position where the skewed finger touches panel pixel PX,PY.
raw_of() {
    awk -v s="$1" -v x="$2" -v y="$3" 'BEGIN { split(s, k, " ")
        printf "%d %d\n", (x - 1) * k[1] + k[2] + 0.5, (y - 1) * k[3] + k[4] + 0.5 }'
}

# hold_touch RX RY: a steady touch on ttyS1, then its lift.
hold_touch() {
    local i
    for ((i = 0; i < CAL_TOUCH_POSITIONS; i++)); do ask "touch S1 $1 $2" || return 1; done
    ask "lift S1 $1 $2"
}

# The calibration files and the configuration as they are, and back again (the daemon
# restarted with them), so the checks after these find the panels as they were bound.
cal_files() { (cd / && ls -d etc/quilmod.conf var/lib/quilmod/*ttyS1*); }
cal_save() {
    # shellcheck disable=SC2046
    tar -C / -cf "$state/cal-saved.tar" $(cal_files)
}
cal_restore() {
    rm -f /var/lib/quilmod/*ttyS1*
    tar -C / -xf "$state/cal-saved.tar"
    systemctl restart quilmod
    poll 20 held /dev/ttyS1 && poll 30 held /dev/quilmo-usb0 ||
        note "the panels are not back after the calibrations: $(quilmoctl status | tr '\n' ' ')"
}

# target_shown PPM X Y: the picture has the run's dark background and its bright cross with a
# ring, centred within 2 px of X,Y. One line of what it holds; status 0 when the target shows.
# Only the rows about the target and every 64th row are read: a whole picture through od and
# awk takes longer than a target waits under TCG.
target_shown() {
    local file=$1 magic w h max head y0 y1 r
    { read -r magic; read -r w h; read -r max; } < "$file" 2>/dev/null
    [ "$magic" = P6 ] && [ "$max" = 255 ] && [ "$3" -lt "${h:-0}" ] ||
        { echo "$file is no picture of pixel $2,$3 (${magic:-empty})"; return 1; }
    head=$((${#magic} + ${#w} + ${#h} + ${#max} + 4))  # three lines: magic, "W H", maximum
    y0=$(($3 > 45 ? $3 - 45 : 0)) y1=$(($3 + 45 < h ? $3 + 45 : h - 1))
    {
        echo "rows $y0"
        od -An -v -tu1 -w$((3 * w)) -j $((head + 3 * w * y0)) -N $((3 * w * (y1 - y0 + 1))) "$file"
        for ((r = 32; r < h; r += 64)); do
            echo "sample $r"
            od -An -v -tu1 -w$((3 * w)) -j $((head + 3 * w * r)) -N $((3 * w)) "$file"
        done
    } | awk -v W="$w" -v X="$2" -v Y="$3" '
        # Background 0x182838; white is the current target (text is 0xD0D0D0). The cross reaches
        # 36 px from the centre, its ring 24: a point of each arm is looked for past the ring.
        function white(i) { return $i >= 240 && $(i + 1) >= 240 && $(i + 2) >= 240 }
        $1 == "rows" { row = $2; sampled = 0; next }
        $1 == "sample" { row = $2; sampled = 1; next }
        sampled { for (px = 4; px < W; px += 8) {
                      i = 3 * px + 1; n++
                      if ($i == 24 && $(i + 1) == 40 && $(i + 2) == 56) bg++
                      else if (white(i) && (px - X) ^ 2 + (row - Y) ^ 2 > 45 * 45) far++ }
                  next }
        { dy = row++ - Y
          for (px = X - 45; px <= X + 45; px++) {
              dx = px - X
              if (px < 0 || px >= W || !white(3 * px + 1) || dx * dx + dy * dy > 45 * 45) continue
              near++; sx += px; sy += dy + Y
              if (dy >= -2 && dy <= 2 && dx >= 27 && dx <= 34) right++
              if (dy >= -2 && dy <= 2 && dx <= -27 && dx >= -34) left++
              if (dx >= -2 && dx <= 2 && dy >= 27 && dy <= 34) down++
              if (dx >= -2 && dx <= 2 && dy <= -27 && dy >= -34) up++ } }
        END {
          cx = near ? sx / near : -1; cy = near ? sy / near : -1
          ok = n > 0 && bg >= n / 2 && near >= 100 && cx - X <= 2 && X - cx <= 2 && cy - Y <= 2 &&
               Y - cy <= 2 && left >= 5 && right >= 5 && up >= 5 && down >= 5 && far == 0
          printf "%s: %d%% of a sample in the background, %d white px about %d,%d centred at %.1f,%.1f (arms %d %d %d %d), %d white elsewhere\n",
              ok ? "shown" : "not shown", n ? 100 * bg / n : 0, near, X, Y, cx, cy, left, right, up, down, far
          exit !ok }'
}

# judge_dump HEAD NAME X Y: pictures of the head until the target at X,Y shows (the run prints
# its line before the frame is up), three at least, then for JUDGE_SECONDS (20) at most; the
# last account in $state/NAME.seen, with the time it took.
judge_dump() {
    local begin=$SECONDS end=$((SECONDS + ${JUDGE_SECONDS:-20})) tries=0 seen
    until seen=$(ask "screendump $1 $2" 2>&1 && target_shown "$st/$2.ppm" "$3" "$4"); do
        tries=$((tries + 1))
        [ $tries -ge 3 ] && [ $SECONDS -ge $end ] && break
        sleep 0.5
    done
    echo "${seen:-not shown: no picture} after $((SECONDS - begin)) s" > "$state/$2.seen"
}

# drive_run PID LOG SKEW HEAD NAME: answers each target and check line of the quilmocal run PID
# (its standard output in LOG) with a held touch where SKEW reads that panel pixel; the head's
# picture at target 1 is judged before it is touched (none when HEAD is -). A line left unanswered for 10 s (a touch
# the run missed) is touched again. The run's exit status, once it ends (at most 4 min).
drive_run() {
    local pid=$1 log=$2 skew=$3 head=$4 name=$5 answered=0 touched=$SECONDS end=$((SECONDS + 240)) f lines
    while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $end ]; do
        mapfile -t lines < <(grep -E '^(target|check) [0-9]+ of [0-9]+ at [0-9]+ [0-9]+$' "$log")
        if [ ${#lines[@]} -le $answered ]; then
            [ $answered -gt 0 ] && [ $((SECONDS - touched)) -ge 10 ] && answered=$((answered - 1))
            sleep 0.1
            continue
        fi
        read -ra f <<< "${lines[$answered]}"
        answered=$((answered + 1))
        [ $answered = 1 ] && [ "$head" != - ] && judge_dump "$head" "$name" "${f[5]}" "${f[6]}"
        # shellcheck disable=SC2046
        hold_touch $(raw_of "$skew" "${f[5]}" "${f[6]}") || break
        touched=$SECONDS
    done
    kill "$pid" 2>/dev/null
    wait "$pid"
}

# run_summary LOG ERR STATUS: what a run said of itself, on one line.
run_summary() {
    echo -n "exit $3; $(grep -E '^(verdict|bound|wrote)' "$1" | sed 's#/var/lib/quilmod/##' | tr '\n' ';')"
    [ -s "$2" ] && echo -n " stderr: $(tr '\n' ' ' < "$2")"
    echo
}

seen_check() {
    [ -s "$state/$1.seen" ] || { echo "no picture judged: the run did not reach target 1"; return 1; }
    cat "$state/$1.seen"
    [ "$(cut -d: -f1 "$state/$1.seen")" = shown ]
}

# ---- weston kiosk-shell, Virtual-1 turned by 90 degrees, no Xwayland ----

cal_kiosk_ini() {
    printf '%s\n' '[core]' 'shell=kiosk-shell.so' 'require-input=false' 'idle-time=0' \
        '[output]' 'name=Virtual-1' 'mode=1024x768' 'transform=rotate-90' 'app-ids=quilmocal,probe1' \
        '[output]' 'name=Virtual-2' 'mode=1024x768' 'app-ids=probe2' > "$state/kiosk-turned.ini"
}

# cal_begin: the files saved, the panel's Port line bound to the other head; conf.bound is the
# configuration a run that passes on Virtual-1 leaves: its Port line alone names Virtual-1.
cal_begin() {
    cal_save
    configure_ports "/dev/ttyS1 output=Virtual-2" "/dev/quilmo-usb0 output=Virtual-2"
    cp /etc/quilmod.conf "$state/conf.before"
    sed 's#^Port = /dev/ttyS1 output=Virtual-2$#Port = /dev/ttyS1 output=Virtual-1#' "$state/conf.before" \
        > "$state/conf.bound"
}

# cal_wayland NAME SKEW: quilmocal --output Virtual-1 on the compositor at $wl_socket, driven by
# the skewed finger: the run passes its check and leaves the configuration bound. Its output in
# $state/NAME.out and .err, the picture at target 1 judged in $state/NAME.seen.
cal_wayland() {
    WAYLAND_DISPLAY=$wl_socket quilmocal --backend wayland --output Virtual-1 --timeout 120 /dev/ttyS1 \
        > "$state/$1.out" 2> "$state/$1.err" < /dev/null &
    local status=0
    drive_run $! "$state/$1.out" "$2" 0 "$1" || status=$?
    run_summary "$state/$1.out" "$state/$1.err" $status
    cmp -s "$state/conf.bound" /etc/quilmod.conf || { echo "quilmod.conf is not the one bound:"; diff "$state/conf.bound" /etc/quilmod.conf; }
    [ $status = 0 ] && grep -q '^verdict: max error' "$state/$1.out" && cmp -s "$state/conf.bound" /etc/quilmod.conf
}

# quilmocal --output Virtual-1 on weston's turned output: calibrated and bound.
check_cal_weston() {
    desktop_stop
    cal_begin
    cal_kiosk_ini
    weston_start "$state/kiosk-turned.ini" || return 1
    cal_wayland cal-wayland "$SKEW_WESTON"
}

check_cal_weston_seen() { seen_check cal-wayland; }

# output_turn OUTPUT: the wl_output transform the compositor at $wl_socket gives OUTPUT (0 to 3,
# 4 to 7 mirrored), as quilmocal lists it.
output_turn() {
    WAYLAND_DISPLAY=$wl_socket quilmocal --backend wayland --list-outputs 2>/dev/null |
        awk -v o="$1" '$1 == o && $3 == "rotation" { print $4 / 90 + ($5 == "flipped" ? 4 : 0); found = 1 }
                       END { exit !found }'
}

# finger_at TURN PX PY: where a finger on the middle of panel pixel PX,PY is in a client
# fullscreen on an output with wl_output transform TURN (the panel's own pixels turned as
# quilmocal's drawing turns them).
finger_at() {
    awk -v t="$1" -v x="$2" -v y="$3" -v w="$PANEL_WIDTH" -v h="$PANEL_HEIGHT" 'BEGIN {
        if (t >= 4) x = w - 1 - x
        t %= 4
        if (t == 1) { u = h - 1 - y; v = x } else if (t == 2) { u = w - 1 - x; v = h - 1 - y }
        else if (t == 3) { u = y; v = w - 1 - x } else { u = x; v = y }
        printf "%d.5 %d.5\n", u, v }'
}

# quadrant_taps SKEW LOG OUTPUT: the daemon restarted with the bound Port line, the probe client
# (its log LOG) fullscreen on OUTPUT: a tap in each quadrant's middle of the panel lands within
# 2 px of the finger in the client, once the output's turn is applied.
quadrant_taps() {
    local skew=$1 log=$2 turn q raw down bad=0 end=$((SECONDS + 60))
    turn=$(output_turn "$3") || { echo "no output $3 listed"; return 1; }
    # A compositor takes the new device when udev announces it: the first tap again until it arrives.
    raw=$(raw_of "$skew" 256 192)
    until : > "$log"; ask "tap S1 $raw" && poll 1 grep -q '^touch up' "$log"; do
        [ $SECONDS -ge $end ] && { echo "no touch reached the client on $3"; return 1; }
        sleep 0.2
    done
    echo -n "$3 at rotation $((turn % 4 * 90)): "
    local px py x y fx fy
    for q in "256 192" "768 192" "256 576" "768 576"; do
        read -r px py <<< "$q"
        read -r fx fy < <(finger_at "$turn" "$px" "$py")
        : > "$log"
        ask "tap S1 $(raw_of "$skew" "$px" "$py")"
        down=$(first_down "$log") || down="no touch"
        read -r _ _ _ x y <<< "$down"
        echo -n "panel $px,$py: ${down#touch down } (finger $fx,$fy); "
        awk -v x="$x" -v y="$y" -v fx="$fx" -v fy="$fy" \
            'BEGIN { exit !(x != "" && (x - fx) ^ 2 + (y - fy) ^ 2 <= 4) }' || bad=1
    done
    echo
    return $bad
}

# cal_taps SKEW [COMMAND...]: the daemon restarted with the bound Port line (then COMMAND, which
# binds its device where the desktop needs it), the quadrant taps on Virtual-1, the files as they
# were afterwards.
cal_taps() {
    local skew=$1 status=0
    shift
    systemctl restart quilmod
    poll 20 held /dev/ttyS1 && poll 20 dev_node "quilmod ttyS1" || { echo "no device for ttyS1"; cal_restore; return 1; }
    [ $# = 0 ] || "$@" || status=1
    [ $status = 0 ] && probe Virtual-1 probe1 "$state/probe1" && quadrant_taps "$skew" "$state/probe1" Virtual-1 ||
        status=1
    cal_restore
    return $status
}

check_cal_weston_taps() { cal_taps "$SKEW_WESTON"; }

# quilmocal's console backend while weston is master of the card: a clear message, exit status
# 1, nothing on standard output, no file changed.
check_cal_console_held() {
    [ -S "$XDG_RUNTIME_DIR/$wl_socket" ] || { cal_kiosk_ini; weston_start "$state/kiosk-turned.ini" || return 1; }
    local before after status=0
    # shellcheck disable=SC2046
    before=$(cd / && md5sum $(cal_files))
    timeout 60 quilmocal --backend console --output Virtual-1 /dev/ttyS1 > "$state/cal-held.out" \
        2> "$state/cal-held.err" < /dev/null || status=$?
    # shellcheck disable=SC2046
    after=$(cd / && md5sum $(cal_files))
    echo "exit $status: $(tr '\n' ' ' < "$state/cal-held.err")$(grep -c . "$state/cal-held.out") lines out," \
        "files $([ "$before" = "$after" ] && echo unchanged || echo CHANGED)"
    [ $status = 1 ] && grep -q '^quilmocal: the DRM device is held by a display server' "$state/cal-held.err" &&
        [ ! -s "$state/cal-held.out" ] && [ "$before" = "$after" ]
}

# ---- the console: no display server at all ----

# quilmocal on Virtual-1's DRM connector: it passes, the new files are written and the old
# ones kept as .prev.
check_cal_console() {
    desktop_stop
    cal_save
    local pt4=/var/lib/quilmod/pt4_ttyS1 status=0
    cp "$pt4" "$state/pt4.before" 2>/dev/null || : > "$state/pt4.before"
    quilmocal --backend console --output Virtual-1 --timeout 120 /dev/ttyS1 > "$state/cal-console.out" \
        2> "$state/cal-console.err" < /dev/null &
    drive_run $! "$state/cal-console.out" "$SKEW_CONSOLE" 0 cal-console || status=$?
    run_summary "$state/cal-console.out" "$state/cal-console.err" $status
    echo "pt4_ttyS1: $(head -1 "$pt4" 2>&1)"
    [ $status = 0 ] && grep -q '^verdict: max error' "$state/cal-console.out" &&
        grep -q "^wrote $pt4$" "$state/cal-console.out" &&
        ! cmp -s "$state/pt4.before" "$pt4" && cmp -s "$state/pt4.before" "$pt4.prev"
    status=$?
    cal_restore
    return $status
}

check_cal_console_seen() { seen_check cal-console; }
