# The system test's upgrade from the CPack 0.9.0 package, sourced by guest.sh: an administrator's
# configuration, calibration files and a changed copy of the right-click tool beneath
# /usr/local/Qelvanto/, then apt upgrades to the package under test.

old_dir=/usr/local/Qelvanto
new_dir=/var/lib/quilmod
# A four-point calibration with every corner 50 units further in: a tap at raw 512,384 lands
# elsewhere than under the defaults, so the frames show which calibration the daemon read.
ADMIN_PT4='101#88#1022#88#101#779#1022#779#1024#768#'

# unattended LOG COMMAND...: a package command as an unattended administrator runs it (no
# terminal to answer a prompt: a conffile question would end it with an error).
unattended() {
    local log=$state/$1
    shift
    DEBIAN_FRONTEND=noninteractive "$@" > "$log" 2>&1 < /dev/null ||
        { echo "$* failed: $(tail -3 "$log" | tr '\n' ' ')"; return 1; }
}

# tapped PORT: the frames of a tap once the daemon serves PORT (0.9.0's quilmoctl has no status).
tapped() {
    local end=$((SECONDS + 30)) frames
    while [ $SECONDS -lt $end ]; do
        frames=$(tap "$1" 1)
        [ -n "$frames" ] && { echo "$frames"; return 0; }
    done
    return 1
}

# The 0.9.0 package in place of the current one, set up as an administrator would: the Port
# lines, a calibration file of their own beside the ones the daemon wrote, a local change to
# the placed right-click tool. Leaves the calibration files' sums and the tap's frames in $state.
old_setup() {
    local old_deb=$1
    systemctl stop quilmoinput 2>/dev/null
    # dpkg, not apt: its dependencies are there, and apt's own start takes half a minute under TCG.
    unattended upgrade-purge.log dpkg --purge quilmod && unattended upgrade-old.log dpkg -i "$old_deb" || return 1
    configure_ports /dev/ttyS1 /dev/ttyUSB0
    cp -p /etc/quilmod.conf "$state/quilmod.conf.admin"
    printf '4' > "$old_dir/pt4flag_ttyS1"
    printf '%s\n' "$ADMIN_PT4" > "$old_dir/pt4_ttyS1"
    echo "# moved to the right for this kiosk" >> "$old_dir/diag/rbutton.tcl"
    systemctl enable quilmod > /dev/null 2>&1
    systemctl restart quilmod
    tapped S1 > "$state/frames.old-S1" && tapped USB > "$state/frames.old-USB" ||
        { echo "0.9.0's daemon serves no tap: $(journalctl -u quilmod -n 3 --no-pager | tr '\n' ' ')"; return 1; }
    (cd "$old_dir" && md5sum pt*_*) > "$state/calibration.md5"
}

# Every calibration file 0.9.0 kept is in /var/lib/quilmod with its contents, none in the old place.
calibration_moved() {
    local sum name bad=0
    while read -r sum name; do
        [ -e "$old_dir/$name" ] && { echo -n "$name still in $old_dir; "; bad=1; }
        [ "$(md5sum < "$new_dir/$name" 2>/dev/null | cut -d' ' -f1)" = "$sum" ] ||
            { echo -n "$name not in $new_dir as it was; "; bad=1; }
    done < "$state/calibration.md5"
    echo -n "$(wc -l < "$state/calibration.md5") calibration files moved to $new_dir with their contents; "
    return $bad
}

# shipped_changed DEB: the package's /etc/quilmod.conf differs from the one 0.9.0 shipped (run
# while 0.9.0 is installed). dpkg keeps an edited conffile without a word when the shipped one is
# the same; when it changed, dpkg asks, and with nobody to answer the upgrade stops half done
# ("end of file on stdin at conffile prompt"): an unattended upgrade then says --force-confold.
shipped_changed() {
    local was now
    was=$(dpkg-query -W -f '${Conffiles}\n' quilmod | awk '$1 == "/etc/quilmod.conf" { print $2 }')
    now=$(dpkg-deb --fsys-tarfile "$1" | tar -xO ./etc/quilmod.conf | md5sum | cut -d' ' -f1)
    [ "$was" != "$now" ]
}

# configuration_kept same|changed: the configuration byte for byte as the administrator left it;
# beside it nothing, or the new shipped file as .dpkg-dist when that changed.
configuration_kept() {
    local extra want=
    extra=$(ls /etc/quilmod.conf.* 2>/dev/null | tr '\n' ' ')
    [ "$1" = same ] || want="/etc/quilmod.conf.dpkg-dist "
    cmp -s /etc/quilmod.conf "$state/quilmod.conf.admin" && [ "$extra" = "$want" ] ||
        { echo -n "/etc/quilmod.conf changed or copied (${extra:-no copies}); "; return 1; }
    if [ "$1" = same ]; then
        echo -n "the shipped configuration as 0.9.0's: /etc/quilmod.conf kept as edited, no prompt, no copy; "
    else
        echo -n "the shipped configuration changed: with --force-confold /etc/quilmod.conf kept as edited," \
            "the new one beside it as .dpkg-dist; "
    fi
}

# Beneath /usr/local only the changed tool, which the upgrade named; the placed list is gone.
local_files() {
    local left
    left=$(find /usr/local -type f | tr '\n' ' ')
    [ "$left" = "$old_dir/diag/rbutton.tcl " ] && [ ! -e "$new_dir/placed.md5sums" ] &&
        grep -q "keeping $old_dir/diag/rbutton.tcl (changed locally)" "$state/upgrade.log" ||
        { echo -n "beneath /usr/local: ${left:-nothing}(want only the changed tool, named); "; return 1; }
    echo -n "beneath /usr/local only the changed tool, named by the upgrade; "
}

# The daemon after the upgrade on the kept Port lines: each tap as 0.9.0 gave it.
serves_as_before() {
    local port frames bad=0
    poll 30 held /dev/ttyS1 && poll 30 held /dev/ttyUSB0 ||
        { echo -n "the ports are not held: $(quilmoctl status | tr '\n' ' '); "; return 1; }
    for port in S1 USB; do
        frames=$(tap $port)
        echo -n "$port: $(echo "$frames" | tr '\n' ',') "
        [ -n "$frames" ] && [ "$frames" = "$(cat "$state/frames.old-$port")" ] || bad=1
    done
    # The administrator's calibration is not the default one: the frames would not tell otherwise.
    [ "$(cat "$state/frames.old-S1")" != "$TAP_FRAMES" ] || { echo -n "S1's calibration was not applied; "; bad=1; }
    return $bad
}

# 0.9.0 installed and set up, then apt-get upgrades it to the package under test, unattended.
check_upgrade() {
    local old_deb new_deb conf=same opts=() bad=0
    old_deb=$(ls "$st"/old/quilmod_0.9.0_*.deb 2>/dev/null) ||
        { echo "skipped: $(cat "$st/old/why" 2>/dev/null || echo "no 0.9.0 package in the share")"; return 77; }
    new_deb=$(ls "$st"/quilmod_*.deb)
    old_setup "$old_deb" || return 1
    shipped_changed "$new_deb" && conf=changed opts=(-o Dpkg::Options::=--force-confold)
    unattended upgrade.log apt-get install -y -q "${opts[@]}" "$new_deb" || return 1
    echo -n "$(dpkg-query -W -f '${Version}' quilmod) over 0.9.0, $(systemctl is-enabled quilmod)" \
        "and $(systemctl is-active quilmod); "
    configuration_kept $conf || bad=1
    calibration_moved || bad=1
    local_files || bad=1
    serves_as_before || bad=1
    # The administrator, told, takes the kept copy away: the purge shows what the package leaves.
    rm -rf "$old_dir"
    echo
    return $bad
}
