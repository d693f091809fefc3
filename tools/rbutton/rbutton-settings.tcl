# The right-click tool's arguments, its settings file, paths and complaints.

set usage "usage: rbutton.tcl LEFT.gif RIGHT.gif DAEMON_PID ON(0|1) MODE(0-9)"
set SETTINGS /etc/quilmod-rbutton.conf
set SETTINGS_MAX 4096   ;# bytes of the settings file read
set SIZE_DEFAULT {20 mm}
set SIZE_RANGE {mm {5 100} px {24 1000}}

# A fixed path beneath the sandbox root, like every program of the daemon.
proc root_path {path} {
    if {[info exists ::env(QUILMOD_ROOT)] && $::env(QUILMOD_ROOT) ne ""} {
        return $::env(QUILMOD_ROOT)$path
    }
    return $path
}

proc complain {text} {
    puts stderr "rbutton: $text"
    flush stderr
}

# A fault in an event handler is reported, never shown as a dialog on a kiosk's screen.
proc bgerror {text} {
    complain "internal error: $text"
}

# 1 when text is a whole decimal number from lo to hi.
proc whole_number {text lo hi} {
    expr {[regexp {^[0-9]{1,9}$} $text] && [scan $text %d] >= $lo && [scan $text %d] <= $hi}
}

proc refuse {text} {
    complain $text
    exit 2
}

# The daemon's process id is checked, not used: the end of the input tells of the daemon's end.
proc check_arguments {} {
    global argv usage
    if {[llength $argv] != 5} {
        refuse $usage
    }
    lassign $argv left right pid on mode
    if {![whole_number $pid 2 999999999]} {
        refuse "'$pid' is not a process id"
    } elseif {$on ne "0" && $on ne "1"} {
        refuse "the on flag '$on' is neither 0 nor 1"
    }
    if {![whole_number $mode 0 9]} {
        complain "the mouse mode '$mode' is not a digit; taking 0"
        set mode 0
    }
    return [list $left $right $on $mode]
}

# "AMOUNT UNIT" from a Size value such as "20 mm", "20mm", "20" (mm) or "90 px"; "" when bad.
proc parse_size {text} {
    global SIZE_RANGE
    if {![regexp -nocase {^([0-9]{1,4})\s*(mm|px)?$} $text -> amount unit]} {
        return ""
    }
    set unit [expr {$unit eq "" ? "mm" : [string tolower $unit]}]
    lassign [dict get $SIZE_RANGE $unit] lo hi
    set amount [scan $amount %d]
    expr {$amount >= $lo && $amount <= $hi ? [list $amount $unit] : ""}
}

# The text of the settings file, at most SETTINGS_MAX bytes; "" when there is none. Only a
# regular file is read, so a FIFO planted there never stops the tool.
proc settings_text {path} {
    global SETTINGS SETTINGS_MAX
    if {[catch {file lstat $path st}]} {
        return ""
    }
    if {[catch {file stat $path st}] || $st(type) ne "file" || [catch {
        set f [open $path {RDONLY NONBLOCK}]
        set text [read $f $SETTINGS_MAX]
        close $f
    }]} {
        complain "$SETTINGS is not a regular file that can be read; it is ignored"
        return ""
    }
    return $text
}

# The button's size from the settings file, or the default; each bad line says why.
proc read_settings {} {
    global SETTINGS SIZE_DEFAULT
    set size $SIZE_DEFAULT
    set n 0
    foreach line [split [settings_text [root_path $SETTINGS]] "\n"] {
        incr n
        set line [string trim [regsub {#.*} $line ""]]
        if {$line eq ""} {
            continue
        } elseif {![regexp {^([A-Za-z]+)\s*=\s*(.*)$} $line -> key value]} {
            complain "$SETTINGS line $n: not KEY = VALUE; ignored"
        } elseif {[string tolower $key] ne "size"} {
            complain "$SETTINGS line $n: unknown setting '$key'; ignored"
        } elseif {[set parsed [parse_size $value]] eq ""} {
            complain "$SETTINGS line $n: '$value' is not a size (5-100 mm or 24-1000 px); ignored"
        } else {
            set size $parsed
        }
    }
    return $size
}
