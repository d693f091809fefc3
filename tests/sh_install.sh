#!/usr/bin/env bash
# Install checks run by ctest: a fresh build with tests off installed into a DESTDIR and run from
# there, the systemd units, the man pages, the Debian package and its maintainer scripts.
# Usage: sh_install.sh CHECK SOURCE_DIR BUILD_DIR SANITIZE   (exit 77: skipped, with a reason)
set -euo pipefail
check=$1 src=$2 build=$3 sanitize=$4
fresh=$build/fresh-install   # shared by the fresh and package checks
tmp=$(mktemp -d /tmp/quilmod-install.XXXXXX)
chmod 755 "$tmp"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
need() { command -v "$1" >/dev/null || skip "$1 is not installed ($2)"; }
slow_only_once() {
    [ "$sanitize" = ON ] && skip "runs in the normal build only: it builds its own tree, without sanitizers"
    return 0
}

# Polls a command for up to 20 s.
wait_for() {
    local what=$1 end=$((SECONDS + 20))
    shift
    until "$@"; do
        [ $SECONDS -ge $end ] && fail "gave up waiting for $what"
        sleep 0.05
    done
}

# expect_files ROOT PATH...: every path exists beneath ROOT.
expect_files() {
    local root=$1 p
    shift
    for p in "$@"; do [ -e "$root$p" ] || fail "missing after install: $p"; done
}

check_fresh() {
    slow_only_once
    # A machine without GoogleTest or Google Benchmark: the build must not look for them.
    rm -rf "$fresh"
    cmake -S "$src" -B "$fresh" -G Ninja --no-warn-unused-cli -DBUILD_TESTING=OFF -DQUILMOD_WERROR=ON \
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
    cmake --build "$fresh" >/dev/null
    local dest=$tmp/dest
    DESTDIR=$dest cmake --install "$fresh" --prefix /usr >/dev/null
    expect_files "$dest" /usr/sbin/quilmod /usr/bin/quilmoctl /usr/bin/quilmosim \
        /usr/lib/systemd/system/quilmod.service /usr/lib/udev/rules.d/90-quilmod-hotplug.rules \
        /usr/lib/udev/rules.d/70-quilmod-input.rules /usr/lib/tmpfiles.d/quilmod.conf \
        /usr/share/bash-completion/completions/quilmoctl /usr/local/Qelvanto/image/empty.xbm
    if [ -f "$src/tools/rbutton/rbutton.tcl" ]; then
        expect_files "$dest" /usr/local/Qelvanto/diag/rbutton.tcl /usr/local/Qelvanto/image/lbutton.gif \
            /usr/local/Qelvanto/image/rbutton.gif
        [ -x "$dest/usr/local/Qelvanto/diag/rbutton.tcl" ] || fail "the right-click tool is not executable"
        for part in "$src"/tools/rbutton/rbutton-*.tcl; do
            expect_files "$dest" "/usr/local/Qelvanto/diag/${part##*/}"
        done
    fi
    grep -qx 'ExecStart=/usr/sbin/quilmod -d' "$dest/usr/lib/systemd/system/quilmod.service" ||
        fail "the unit does not run the installed daemon"
    [ -e "$dest/etc/quilmod.conf" ] && fail "a plain install must leave /etc/quilmod.conf to the daemon"

    mkdir -p "$dest"/{etc,var/run,dev,tmp}
    unit_makes_fifos "$dest"

    # The installed programs, run from the DESTDIR with it as their sandbox root.
    export QUILMOD_ROOT=$dest
    printf 'Port = /dev/ttyS0\nRClickTool = 0\n' > "$dest/etc/quilmod.conf"
    mkfifo "$tmp/sim.in"
    "$dest/usr/bin/quilmosim" "$dest/dev/ttyS0" < "$tmp/sim.in" > "$tmp/sim.out" 2>&1 &
    pids+=($!)
    exec 3> "$tmp/sim.in"
    wait_for "the simulator" grep -q '^ready' "$tmp/sim.out"
    "$dest/usr/sbin/quilmod" -d > "$tmp/daemon.out" 2>&1 &
    pids+=($!)
    wait_for "the installed daemon" "$dest/usr/bin/quilmoctl" mode
    "$dest/usr/bin/quilmoctl" watch --count 2 --timeout 20 > "$tmp/frames" 2> "$tmp/watch.err" &
    local watcher=$!
    wait_for "the watcher" grep -q watching "$tmp/watch.err"
    echo "tap 512 384" >&3
    wait "$watcher" || fail "watch failed: $(cat "$tmp/watch.err")"
    [ "$(cat "$tmp/frames")" = $'touch x=513 y=385\nrelease x=513 y=385' ] ||
        fail "unexpected frames: $(cat "$tmp/frames"); daemon said: $(cat "$tmp/daemon.out")"
}

# fifo_modes ROOT: "NAME MODE OWNER GROUP" of each FIFO beneath ROOT/dev, the group as ROOT's
# own group file names it.
fifo_modes() {
    local f gid
    for f in qvcmdin qvcmdout qvshrin qvshrout qvdat0 qvdat1; do
        if [ -p "$1/dev/$f" ]; then
            gid=$(stat -c %g "$1/dev/$f")
            echo "$f $(stat -c '%a %u' "$1/dev/$f") $(awk -F: -v g="$gid" '$3 == g { print $1 }' "$1/etc/group")"
        else
            echo "$f missing"
        fi
    done
}

# A source install's unit applies the group and the FIFOs with their modes itself before the
# first start: its ExecStartPre= lines, run as systemd would (here beneath the DESTDIR), make
# them root's and the group quilmod's only, and the daemon keeps them so.
unit_makes_fifos() {
    local dest=$1 line
    if [ "$(id -u)" != 0 ]; then
        echo "note: the unit's FIFO set-up needs root to give the FIFOs their group; not checked"
        return 0
    fi
    grep -q '^ExecStartPre=' "$dest/usr/lib/systemd/system/quilmod.service" || fail "the unit sets up no FIFOs"
    while read -r line; do
        local cmd args=() arg
        read -r -a cmd <<< "${line#ExecStartPre=+}"
        # Beneath the DESTDIR: --root moves what the program touches, not the files it is given.
        for arg in "${cmd[@]:1}"; do [[ $arg == /* ]] && args+=("$dest$arg") || args+=("$arg"); done
        "${cmd[0]}" --root="$dest" "${args[@]}" > "$tmp/pre.out" 2>&1 || fail "${cmd[*]}: $(cat "$tmp/pre.out")"
    done < <(grep '^ExecStartPre=' "$dest/usr/lib/systemd/system/quilmod.service")
    local want=$'qvcmdin 620 0 quilmod\nqvcmdout 640 0 quilmod\nqvshrin 620 0 quilmod\nqvshrout 640 0 quilmod\nqvdat0 600 0 quilmod\nqvdat1 640 0 quilmod'
    [ "$(fifo_modes "$dest")" = "$want" ] || fail "FIFOs after the unit's set-up: $(fifo_modes "$dest")"
    printf 'Port = /dev/ttyS9\nRClickTool = 0\n' > "$dest/etc/quilmod.conf"
    QUILMOD_ROOT=$dest "$dest/usr/sbin/quilmod" -d > "$tmp/first.out" 2>&1 &
    pids+=($!)
    wait_for "the first start" env QUILMOD_ROOT="$dest" "$dest/usr/bin/quilmoctl" mode
    QUILMOD_ROOT=$dest "$dest/usr/bin/quilmoctl" stop > /dev/null || fail "quilmoctl stop"
    [ "$(fifo_modes "$dest")" = "$want" ] || fail "FIFOs after the first start: $(fifo_modes "$dest")"
}

check_units() {
    need systemd-analyze "the unit checks"
    # Installed under a real prefix, so the units name programs that exist here.
    local pfx=$tmp/usr
    cmake --install "$build" --prefix "$pfx" >/dev/null
    printf '#!/bin/sh\n' > "$tmp/stand-in"
    [ -x "$pfx/bin/quilmoinput" ] || install -m 755 "$tmp/stand-in" "$pfx/bin/quilmoinput"
    local unit units=("$pfx/lib/systemd/system/quilmod.service" "$build/dist/quilmoinput.service")
    for unit in "${units[@]}"; do
        local man=yes
        # A unit's man page is checked once its program has one.
        [ -e "$pfx/share/man/man1/quilmoinput.1.gz" ] || [[ $unit != *quilmoinput* ]] || man=no
        MANPATH=$pfx/share/man systemd-analyze verify --man=$man "$unit" > "$tmp/verify" 2>&1 ||
            fail "systemd-analyze verify $(basename "$unit"): $(cat "$tmp/verify")"
        [ -s "$tmp/verify" ] && fail "systemd-analyze verify $(basename "$unit") warns: $(cat "$tmp/verify")"
    done
    # Every hardening line of both units says why, and each unit stays in the "OK" band
    # (exposure under 5.0; the daemon's as low as it is, 1.8 as scored from the file alone: no
    # device list, since a serial driver loaded after the start would stay refused).
    local limit score
    for unit in "${units[@]}"; do
        awk '/^(Protect|Private|NoNew|Capability|Restrict|Lock|SystemCall|ReadWrite|Device|UMask|Memory|ProcSubset)/ &&
             prev !~ /^#/ { print; bad=1 } { prev = $0 } END { exit bad }' "$unit" ||
            fail "hardening lines without a comment in $(basename "$unit")"
        systemd-analyze security --help 2>/dev/null | grep -q -- --offline || continue
        score=$(systemd-analyze security --offline=true "$unit" 2>/dev/null | sed -n 's/.*exposure level for .*: \([0-9.]*\).*/\1/p')
        [[ $unit == *quilmoinput* ]] && limit=5.0 || limit=1.8
        awk -v s="$score" -v l="$limit" 'BEGIN { exit !(s != "" && s + 0 <= l + 0 && s + 0 < 5.0) }' ||
            fail "$(basename "$unit") exposure ${score:-unknown}, above $limit"
    done
    grep -q "RUN+=\"$pfx/bin/quilmoctl hotplug \$devnode\"" "$pfx/lib/udev/rules.d/90-quilmod-hotplug.rules" ||
        fail "the udev rule does not run the installed quilmoctl"
    # The bash completion offers exactly the subcommands quilmoctl's help lists.
    local listed offered
    listed=$("$build/bin/quilmoctl" --help | awk '/^  [a-z]/ { print $1 }' | sort)
    offered=$(bash -c '. "$1"; COMP_WORDS=(quilmoctl ""); COMP_CWORD=1; _quilmoctl; printf "%s\n" "${COMPREPLY[@]}"' \
        _ "$pfx/share/bash-completion/completions/quilmoctl" | grep -v '^-' | sort)
    [ "$listed" = "$offered" ] || fail "completion offers $(echo $offered) but help lists $(echo $listed)"
    if command -v udevadm >/dev/null && udevadm verify --help >/dev/null 2>&1; then
        udevadm verify "$pfx/lib/udev/rules.d/90-quilmod-hotplug.rules" "$pfx/lib/udev/rules.d/70-quilmod-input.rules" ||
            fail "udevadm verify"
    fi
}

check_man() {
    need groff "rendering the man pages"
    local pages=("$build"/man/*.[0-9])
    [ -e "${pages[0]}" ] || skip "no man pages were built (scdoc missing)"
    local page
    for page in "${pages[@]}"; do
        LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" > "$tmp/warn" 2>&1 || fail "groff failed on $page"
        [ -s "$tmp/warn" ] && fail "groff warns on $(basename "$page"): $(cat "$tmp/warn")"
        if command -v man >/dev/null; then
            LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null | tee "$tmp/warn" >/dev/null
            [ -s "$tmp/warn" ] && fail "man warns on $(basename "$page"): $(cat "$tmp/warn")"
        fi
    done
    check_examples "${pages[@]}"
    local bad=()
    for page in "${pages[@]}"; do
        # mandoc's warnings are scdoc's empty paragraphs; its errors are real.
        if command -v mandoc >/dev/null; then
            mandoc -T lint -W error "$page" > "$tmp/warn" 2>&1 || true
            [ -s "$tmp/warn" ] && bad+=("mandoc: $(cat "$tmp/warn")")
        fi
        page_faults "$page" > "$tmp/faults" || fail "checking $(basename "$page") failed"
        [ -s "$tmp/faults" ] && bad+=("$(cat "$tmp/faults")")
    done
    [ ${#bad[@]} -eq 0 ] || fail "$(printf '%s\n' "${bad[@]}")"
    run_sim_example
    # Every program that is built has its page.
    local prog
    for prog in "$build"/bin/quilmo*; do
        case $(basename "$prog") in quilmod_bench | quilmod_e2e | quilmod_relay | quilmod_soak) continue ;; esac  # not installed
        ls "$build/man/$(basename "$prog")".[0-9] >/dev/null 2>&1 || fail "no man page for $(basename "$prog")"
    done
}

# rendered PAGE: the page as text, lines not filled past 250 columns nor hyphenated, ASCII dashes.
rendered() {
    LC_ALL=C.UTF-8 groff -man -Tutf8 -P -cbou -rLL=250n -rHY=0 "$1" 2>/dev/null | sed 's/\xe2\x80\x90/-/g; s/\xe2\x88\x92/-/g'
}

# section TEXT NAME: the lines of section NAME of a rendered page, its heading aside.
section() { awk -v name="$2" '/^[A-Z]/ { inside = ($0 == name); next } inside' "$1"; }

# help_options PROGRAM: the options its --help names in its usage and option lines (not in
# quilmoctl's subcommand lines, whose options its page describes with each subcommand).
help_options() {
    "$1" --help 2>&1 | grep -E "^usage:|^[[:space:]]+(-|\[|$(basename "$1")( |$))" |
        grep -oE '(^|[][ |,])--?[A-Za-z][A-Za-z0-9-]*' | sed 's/^[][ |,]//' | sort -u
}

# page_faults PAGE: prints what is wrong with a page's rendering: a SYNOPSIS line that is no
# synopsis (indented text, another first word, unbalanced brackets), an option of the
# program's --help that the OPTIONS items do not name exactly once, a stray underscore.
page_faults() {
    local page=$1 name text
    name=$(basename "$page")
    text=$tmp/$name.txt
    rendered "$page" > "$text"
    section "$text" SYNOPSIS | awk -v page="$name" 'NF == 0 { next }
        { match($0, /^ */); ind = RLENGTH }
        first == "" { first = $1; base = ind }
        ind != base || $1 != first { print page ": not a synopsis line in SYNOPSIS: " $0; next }
        { o = gsub(/\[/, "["); c = gsub(/\]/, "]") }
        o != c { print page ": unbalanced brackets in SYNOPSIS: " $0 }'
    grep -nE '(^|[^A-Za-z0-9_])_[A-Za-z]|[A-Za-z0-9]_([^A-Za-z0-9_]|$)' "$text" | sed "s/^/$name: stray underscore: /" || true
    local prog=$build/bin/${name%.*} opt count
    [ -x "$prog" ] || return 0
    # OPTIONS items: the lines at the section's first indent that begin with a dash.
    section "$text" OPTIONS | awk 'NF && base == "" { match($0, /^ */); base = RLENGTH }
        { match($0, /^ */) } RLENGTH == base && $1 ~ /^-/' |
        sed 's/^ *//' | tr ',' '\n' | awk '{ sub(/^ */, ""); split($1, w, /[=[]/); print w[1] }' > "$tmp/items"
    for opt in $(help_options "$prog"); do
        count=$(grep -cxF -- "$opt" "$tmp/items" || true)
        [ "$count" = 1 ] || echo "$name: OPTIONS describe $opt $count times (its --help lists it)"
    done
}

# quilmosim(1)'s example, pasted into a shell as it stands: its /tmp is the test's own.
run_sim_example() {
    local dir=$tmp/example
    mkdir -p "$dir"
    awk '/^```/ { inside = !inside; next } inside' "$src/man/quilmosim.1.scd" | sed "s|/tmp/|$dir/|g" > "$dir/block"
    PATH=$build/bin:$PATH timeout 20 bash "$dir/block" > "$dir/out" 2>&1 || true
    grep -qx "ready $dir/ttySIM0" "$dir/out" || fail "quilmosim(1)'s example: $(cat "$dir/out")"
    grep -v "^ready\|Terminated" "$dir/out" && fail "quilmosim(1)'s example says more than it should"
    [ -e "$dir/ttySIM0" ] || [ -e "$dir/sim.in" ] && fail "quilmosim(1)'s example leaves files behind"
    return 0
}

# Example lines a page must show as they are; every line of a literal block is checked as well.
known_examples=(
    "quilmod.8|usermod -aG quilmod alice"
    "quilmod.8|systemd-tmpfiles --create quilmod.conf"
    "quilmod.8|SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{serial}==\"A1B2C3\", SYMLINK+=\"quilmo-usb0\""
    "quilmosim.1|quilmosim /tmp/ttySIM0 < /tmp/sim.in &"
    "quilmosim.1|exec 3> /tmp/sim.in"
    "quilmoctl.1|\$ quilmoctl watch --count 2"
    "quilmoctl.1|touch x=51 y=38"
    "quilmod.conf.5|Sound = Down"
)

# trimmed FILE: its lines without the white space around them.
trimmed() { sed 's/^[[:space:]]*//; s/[[:space:]]*$//' "$1"; }

# Each example line renders on a line of its own: indented text would be filled, joining the
# lines of a recipe into one (and a command into the comment before it).
check_examples() {
    local page name line
    for page in "$@"; do
        name=$(basename "$page")
        LC_ALL=C.UTF-8 groff -man -Tutf8 -P -cbou "$page" 2>/dev/null | sed 's/\xe2\x80\x90/-/g; s/\xe2\x88\x92/-/g' \
            > "$tmp/rendered.raw"
        trimmed "$tmp/rendered.raw" > "$tmp/rendered"
        awk '/^[[:space:]]*```/ { inside = !inside; next } inside' "$src/man/$name.scd" > "$tmp/examples.raw"
        trimmed "$tmp/examples.raw" > "$tmp/examples"
        for line in "${known_examples[@]}"; do
            [ "${line%%|*}" = "$name" ] && printf '%s\n' "${line#*|}" >> "$tmp/examples"
        done
        while IFS= read -r line; do
            [ -n "$line" ] || continue
            grep -qxF -- "$line" "$tmp/rendered" || fail "$name: the example line '$line' is not a line of its own"
        done < "$tmp/examples"
    done
}

check_package() {
    slow_only_once
    need dpkg-buildpackage "building the package"
    need dh "building the package (debhelper)"
    "$src/scripts/package" "$build/package-check" "$tmp/deb" > "$tmp/package.out" 2>&1 ||
        fail "scripts/package: $(cat "$tmp/package.out")"
    local deb changes
    deb=$(ls "$tmp"/deb/quilmod_*.deb)
    changes=$(ls "$tmp"/deb/quilmod_*.changes)
    dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }' > "$tmp/list"
    local p
    for p in /usr/sbin/quilmod /usr/bin/quilmoctl /usr/bin/quilmosim /usr/share/man/man8/quilmod.8.gz \
        /usr/share/man/man5/quilmod.conf.5.gz /usr/share/man/man1/quilmoctl.1.gz \
        /lib/systemd/system/quilmod.service /lib/udev/rules.d/90-quilmod-hotplug.rules \
        /usr/lib/tmpfiles.d/quilmod.conf /usr/lib/sysusers.d/quilmod.conf /etc/quilmod.conf /etc/default/quilmod \
        /usr/share/quilmod/image/empty.xbm /usr/share/bash-completion/completions/quilmoctl \
        /usr/share/doc/quilmod/copyright /usr/share/doc/quilmod/changelog.Debian.gz /var/lib/quilmod/; do
        grep -qx "$p" "$tmp/list" || fail "the package lacks $p"
    done
    if [ -f "$src/tools/rbutton/rbutton.tcl" ]; then
        for p in /usr/share/quilmod/diag/rbutton.tcl /usr/share/quilmod/image/lbutton.gif \
            /usr/share/quilmod/image/rbutton.gif; do
            grep -qx "$p" "$tmp/list" || fail "the package lacks $p"
        done
        for part in "$src"/tools/rbutton/rbutton-*.tcl; do
            grep -qx "/usr/share/quilmod/diag/${part##*/}" "$tmp/list" || fail "the package lacks ${part##*/}"
        done
    fi
    grep -q '^/usr/local' "$tmp/list" && fail "the package ships files under /usr/local"
    dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends does not come from the libraries"
    dpkg-deb -f "$deb" Depends | grep -qw 'tk' || fail "Depends lacks tk, which the daemon always runs"
    [ "$(dpkg-deb -f "$deb" Recommends)" = "x11-xserver-utils" ] || fail "Recommends"
    [[ $(dpkg-deb -f "$deb" Version) == *-* ]] || fail "the version has no Debian revision"
    mkdir "$tmp/control"
    dpkg-deb -e "$deb" "$tmp/control"
    for p in /etc/quilmod.conf /etc/default/quilmod; do
        grep -qx "$p" "$tmp/control/conffiles" || fail "$p is not a conffile"
    done
    # The group before the FIFOs that carry it; the daemon never enabled by the package.
    local users fifos
    users=$(grep -n 'systemd-sysusers' "$tmp/control/postinst" | head -1 | cut -d: -f1)
    fifos=$(grep -n 'systemd-tmpfiles' "$tmp/control/postinst" | head -1 | cut -d: -f1)
    [ -n "$users" ] && [ -n "$fifos" ] && [ "$users" -lt "$fifos" ] || fail "postinst: sysusers must come before tmpfiles"
    grep -q "deb-systemd-helper enable 'quilmod.service'" "$tmp/control/postinst" &&
        ! grep -q "was-enabled 'quilmod.service'" "$tmp/control/postinst" && fail "postinst enables the daemon"
    grep -q 'deb-systemd-invoke stop' "$tmp/control/prerm" || fail "prerm does not stop the services"
    grep -rq '/usr/local' "$tmp/control/postrm" "$tmp/control/prerm" && fail "a removal script touches /usr/local"
    if command -v lintian >/dev/null; then
        # Every tag, info and pedantic ones too; those the package overrides say why in debian/.
        lintian --pedantic -I -E --allow-root "$changes" > "$tmp/lintian" 2>&1 || true
        [ -s "$tmp/lintian" ] && fail "lintian: $(cat "$tmp/lintian")"
    fi
    return 0
}

# The package's own maintainer script lines (debhelper's snippets aside), in a root of their own:
# the upgrade from the 0.9 package, which kept every file beneath /usr/local/Qelvanto/, and the
# purge. STEP|SETUP|ARGUMENTS|what must hold afterwards (a shell test), all beneath ROOT.
maintainer_cases=(
    "fresh install|mkdir -p usr/local/Qelvanto; echo 4 > usr/local/Qelvanto/pt4flag_ttyS0|postinst configure|[ -f usr/local/Qelvanto/pt4flag_ttyS0 ] && [ ! -e var/lib/quilmod/pt4flag_ttyS0 ]"
    "upgrade within 1.x|mkdir -p usr/local/Qelvanto; echo 4 > usr/local/Qelvanto/pt4flag_ttyS0|postinst configure 1.0.0-1|[ -f usr/local/Qelvanto/pt4flag_ttyS0 ] && [ ! -e var/lib/quilmod/pt4flag_ttyS0 ]"
    "calibration moves|old_layout|postinst configure 0.9.0|[ \"\$(cat var/lib/quilmod/pt4_ttyS0)\" = admin ] && [ -f var/lib/quilmod/pt4flag_ttyS0 ] && [ -f var/lib/quilmod/pt25_ttyUSB0.prev ] && [ ! -e usr/local/Qelvanto/pt4_ttyS0 ]"
    "placed copies go|old_layout|postinst configure 0.9.0|[ ! -e usr/local/Qelvanto/image/empty.xbm ] && [ ! -e var/lib/quilmod/placed.md5sums ]"
    "changed copies stay|old_layout|postinst configure 0.9.0|grep -q mine usr/local/Qelvanto/diag/rbutton.tcl && grep -q 'changed locally' err"
    "nothing overwritten|old_layout; echo newer > var/lib/quilmod/pt4flag_ttyS0|postinst configure 0.9.0|[ \"\$(cat var/lib/quilmod/pt4flag_ttyS0)\" = newer ] && [ -f usr/local/Qelvanto/pt4flag_ttyS0 ] && grep -q 'keeping both' err"
    "links left alone|old_layout; ln -s /etc/passwd usr/local/Qelvanto/pt25_ttyS1|postinst configure 0.9.0|[ -L usr/local/Qelvanto/pt25_ttyS1 ] && [ ! -e var/lib/quilmod/pt25_ttyS1 ]"
    "empty folder goes|mkdir -p usr/local/Qelvanto/image; echo x > usr/local/Qelvanto/pt4_ttyS0|postinst configure 0.9.0|[ ! -e usr/local/Qelvanto ] && [ -f var/lib/quilmod/pt4_ttyS0 ]"
    "purge|old_layout; mkdir -p dev run; mkfifo dev/qvcmdin dev/qvdat0; touch run/quilmod.pid dev/qvdat1|postrm purge|[ ! -e var/lib/quilmod ] && [ ! -e dev/qvcmdin ] && [ ! -e dev/qvdat0 ] && [ ! -e run/quilmod.pid ] && [ -f dev/qvdat1 ] && [ -d usr/local/Qelvanto ]"
    "remove keeps data|old_layout|postrm remove|[ -d var/lib/quilmod ]"
)

# old_layout: what the 0.9 package and its administrator left: placed copies (one changed),
# calibration files, and the placed files' sums.
old_layout() {
    mkdir -p usr/local/Qelvanto/image usr/local/Qelvanto/diag var/lib/quilmod
    echo bitmap > usr/local/Qelvanto/image/empty.xbm
    echo mine > usr/local/Qelvanto/diag/rbutton.tcl
    printf '%s image/empty.xbm\n%s diag/rbutton.tcl\n' "$(echo bitmap | md5sum | cut -d' ' -f1)" \
        "$(echo tool | md5sum | cut -d' ' -f1)" > var/lib/quilmod/placed.md5sums
    echo 4 > usr/local/Qelvanto/pt4flag_ttyS0
    echo admin > usr/local/Qelvanto/pt4_ttyS0
    echo old > usr/local/Qelvanto/pt25_ttyUSB0.prev
}

check_maintainer() {
    local c name setup args expect root
    for c in "${maintainer_cases[@]}"; do
        IFS='|' read -r name setup args expect <<< "$c"
        root=$tmp/root-${name// /-}
        mkdir -p "$root"
        (
            cd "$root"
            eval "$setup"
            read -r -a argv <<< "$args"
            DPKG_ROOT=$root sh "$src/debian/quilmod.${argv[0]}" "${argv[@]:1}" 2> err ||
                fail "$name: ${argv[*]} failed: $(cat err)"
            eval "$expect" || fail "$name: after ${argv[*]}: $(find . | sort | tr '\n' ' '); said: $(cat err)"
        )
    done
}

# As a user who cannot install, scripts/deps names what is missing and fails.
check_deps() {
    need dpkg-query "package checks"
    local as=() copy=$tmp/deps-copy
    if [ "$(id -u)" = 0 ]; then
        need setpriv "dropping root for the check"
        as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    fi
    # That user may not enter the checkout (a private home, a mktemp folder): a copy of the
    # script in a folder of the test's, run from there.
    mkdir -m 755 "$copy"
    install -m 644 "$src/scripts/deps" "$copy/deps"
    cd "$copy"
    "${as[@]}" test -r "$copy/deps" || skip "uid 65534 cannot read $copy/deps"
    local probe='. "$1/deps"; needed+=(quilmod-no-such-package); deps_install probe'
    if "${as[@]}" bash -c "$probe" _ "$copy" > "$tmp/deps.out" 2>&1; then
        fail "deps_install succeeded with a package missing: $(cat "$tmp/deps.out")"
    fi
    grep -q '^probe: missing packages: quilmod-no-such-package' "$tmp/deps.out" ||
        fail "the missing package is not named: $(cat "$tmp/deps.out")"
}

case $check in
    deps) check_deps ;;
    fresh) check_fresh ;;
    units) check_units ;;
    man) check_man ;;
    package) check_package ;;
    maintainer) check_maintainer ;;
    *) echo "usage: $0 deps|fresh|units|man|package|maintainer SOURCE_DIR BUILD_DIR SANITIZE" >&2; exit 2 ;;
esac
echo "PASS: $check"
