#!/usr/bin/env wish
# The right-click tool: a small always-on-top button for touch screens. A touch on it makes
# the daemon's next touch a right-button one; a second touch takes that back. The daemon
# starts it as
#   rbutton.tcl LEFT.gif RIGHT.gif DAEMON_PID ON MODE
# and steers it with lines on standard input: ON, OFF, OK (the right-button touch has
# ended) and a digit (the mouse mode). It ends at the end of its input or when the daemon's
# process has gone, and keeps its process id in /tmp/rclick.lock while it runs.
#
# With QUILMOD_RBUTTON_STATE set and not empty it prints a line
#   rbutton: state armed|plain mapped|withdrawn MODE
# on standard output at each change, so its state can be followed from outside.

set usage "usage: rbutton.tcl LEFT.gif RIGHT.gif DAEMON_PID ON(0|1) MODE(0-9)"

array set tool {
    armed 0
    mapped 0
    mode 0
    pid 0
    lock ""
    cmdfifo ""
    fifoFault ""
    inbuf ""
    skipping 0
    press ""
    dragging 0
    raiseWanted 0
}

set MAX_MESSAGE 16      ;# longest message line kept; longer ones are dropped whole
set READ_CHUNK 4096
set WATCH_MS 2000       ;# how often the daemon's process is looked for
set DRAG_START 6        ;# pixels a press must travel before it moves the window
set EDGE_GAP 8          ;# distance from the screen edge at start

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

proc report_state {} {
    global tool
    if {![info exists ::env(QUILMOD_RBUTTON_STATE)] || $::env(QUILMOD_RBUTTON_STATE) eq ""} {
        return
    }
    set armed [expr {$tool(armed) ? "armed" : "plain"}]
    set mapped [expr {$tool(mapped) ? "mapped" : "withdrawn"}]
    puts stdout "rbutton: state $armed $mapped $tool(mode)"
    flush stdout
}

# --- Arguments ---------------------------------------------------------------------------

# 1 when text is a whole decimal number from lo to hi.
proc whole_number {text lo hi} {
    expr {[regexp {^[0-9]{1,9}$} $text] && [scan $text %d] >= $lo && [scan $text %d] <= $hi}
}

proc check_arguments {} {
    global argv usage
    if {[llength $argv] != 5} {
        complain $usage
        exit 2
    }
    lassign $argv left right pid on mode
    if {![whole_number $pid 2 999999999]} {
        complain "'$pid' is not a process id"
        exit 2
    }
    if {$on ne "0" && $on ne "1"} {
        complain "the on flag '$on' is neither 0 nor 1"
        exit 2
    }
    if {![whole_number $mode 0 9]} {
        complain "the mouse mode '$mode' is not a digit; taking 0"
        set mode 0
    }
    return [list $left $right [scan $pid %d] $on $mode]
}

# A photo image from file, or "" when it cannot be read (the button then shows a letter).
proc load_image {name file} {
    if {[catch {image create photo $name -file $file} err]} {
        complain "cannot read the image $file: $err"
        return ""
    }
    return $name
}

# --- Lock file -----------------------------------------------------------------------------

# Records our pid in the lock file. Anyone may write to /tmp, so the lock may be a planted
# link: the text goes into a fresh scratch file beside it (O_EXCL never follows a link),
# which then replaces the lock's name. mv -T renames onto the name itself, where Tcl's
# own rename would follow a link to a directory and move the file into it.
proc write_lock {} {
    global tool
    set lock [root_path /tmp/rclick.lock]
    set scratch ""
    for {set i 0} {$i < 10 && $scratch eq ""} {incr i} {
        set name "$lock.[pid].$i"
        if {![catch {open $name {WRONLY CREAT EXCL} 0644} f]} {
            set scratch $name
        }
    }
    if {$scratch eq ""} {
        complain "cannot create a scratch file beside /tmp/rclick.lock: $f"
        return
    }
    set failed [catch {
        puts $f [pid]
        close $f
        exec mv -T -f -- $scratch $lock </dev/null 2>@1
    } err]
    if {$failed} {
        catch {close $f}
        catch {file delete -- $scratch}
        complain "cannot write /tmp/rclick.lock: $err"
        return
    }
    set tool(lock) $lock
}

# Removes the lock only while it still names us: a later tool may have taken it over.
proc remove_lock {} {
    global tool
    if {$tool(lock) eq ""} {
        return
    }
    # Read nothing but a plain file, and never wait on one that is a FIFO by now.
    if {[catch {file type $tool(lock)} type] || $type ne "file"} {
        return
    }
    if {[catch {
        set f [open $tool(lock) {RDONLY NONBLOCK}]
        set text [read $f 64]
        close $f
    }]} {
        return
    }
    if {[string trim $text] eq [pid]} {
        catch {file delete -- $tool(lock)}
    }
}

proc quit {status} {
    remove_lock
    exit $status
}

# --- Commands to the daemon -----------------------------------------------------------------

# Complains about a FIFO fault once, until the FIFO works again.
proc fifo_fault {kind text} {
    global tool
    if {$tool(fifoFault) ne $kind} {
        complain "$text; the touch is ignored"
    }
    set tool(fifoFault) $kind
}

# Writes one command into the daemon's command FIFO without ever waiting; 1 when written.
proc send_command {text} {
    global tool
    if {[catch {file type $tool(cmdfifo)} type]} {
        fifo_fault missing "/dev/qvcmdin is missing"
        return 0
    }
    if {$type ne "fifo"} {
        fifo_fault notfifo "/dev/qvcmdin is not a FIFO"
        return 0
    }
    # Without a reader a non-blocking open fails (ENXIO) instead of waiting for one.
    if {[catch {open $tool(cmdfifo) {WRONLY NONBLOCK}} f]} {
        fifo_fault noreader "nobody reads /dev/qvcmdin"
        return 0
    }
    # One write of a few bytes into a FIFO is atomic, so the daemon reads the whole command.
    set failed [catch {
        fconfigure $f -blocking 0 -buffering none -translation binary
        puts -nonewline $f $text
    }]
    catch {close $f}
    if {$failed} {
        fifo_fault broken "cannot write to /dev/qvcmdin"
        return 0
    }
    set tool(fifoFault) ""
    return 1
}

# --- The window ----------------------------------------------------------------------------

proc show_button {} {
    global tool
    .b configure -image [expr {$tool(armed) ? $tool(rightImage) : $tool(leftImage)}] \
        -text [expr {$tool(armed) ? "R" : "L"}]
    .m configure -text [expr {$tool(mode) == 0 ? "draw" : "desk"}]
    report_state
}

proc set_armed {armed} {
    global tool
    set tool(armed) $armed
    show_button
}

# A touch on the button: arm the right button, or take it back.
proc toggle {} {
    global tool
    if {$tool(armed)} {
        if {[send_command {[7189]x}]} {
            set_armed 0
        }
    } elseif {[send_command {[7177]x}]} {
        set_armed 1
    }
}

proc show {} {
    wm deiconify .
    raise .
}

# Hidden while armed would leave an invisible right button behind: take it back first.
proc hide {} {
    global tool
    if {$tool(armed) && [send_command {[7189]x}]} {
        set_armed 0
    }
    wm withdraw .
}

proc press {x y} {
    global tool
    set tool(press) [list $x $y [winfo rootx .] [winfo rooty .]]
    set tool(dragging) 0
}

# Moves the window with the finger once it has travelled far enough, never off the screen.
proc drag {x y} {
    global tool DRAG_START
    if {$tool(press) eq ""} {
        return
    }
    lassign $tool(press) px py wx wy
    set dx [expr {$x - $px}]
    set dy [expr {$y - $py}]
    if {!$tool(dragging) && abs($dx) < $DRAG_START && abs($dy) < $DRAG_START} {
        return
    }
    set tool(dragging) 1
    set maxX [expr {max(0, [winfo screenwidth .] - [winfo width .])}]
    set maxY [expr {max(0, [winfo screenheight .] - [winfo height .])}]
    set nx [expr {min(max($wx + $dx, 0), $maxX)}]
    set ny [expr {min(max($wy + $dy, 0), $maxY)}]
    wm geometry . +$nx+$ny
}

# A touch ends. Button 1 toggles. Button 3 means the armed touch has landed on the button
# itself, which takes the right button back; the daemon's OK for that touch may come before
# or after this release, so it must never arm again.
proc release {button} {
    global tool
    if {$tool(press) ne "" && !$tool(dragging)} {
        if {$button == 1} {
            toggle
        } elseif {$tool(armed) && [send_command {[7189]x}]} {
            set_armed 0
        }
    }
    set tool(press) ""
    set tool(dragging) 0
}

proc map_changed {window mapped} {
    global tool
    if {$window eq "."} {
        set tool(mapped) $mapped
        # Tk may place a newly mapped window in an idle pass: settle that first, so the
        # window is where it will stay by the time anybody hears that it is mapped.
        update idletasks
        report_state
    }
}

# Another window covering ours is lifted below it at the next watch.
proc visibility {window state} {
    global tool
    if {$window eq "." && $state ne "VisibilityUnobscured"} {
        set tool(raiseWanted) 1
    }
}

proc build_window {on} {
    global tool EDGE_GAP
    wm withdraw .
    wm title . rbutton
    wm overrideredirect . 1
    wm attributes . -topmost 1
    label .b -borderwidth 0 -highlightthickness 0 -compound none -font {Helvetica 14 bold}
    label .m -borderwidth 0 -highlightthickness 0 -font {Helvetica 7} -pady 0
    pack .b .m -side top
    # A touch arrives as button 1, and as button 3 while the right button is armed.
    foreach n {1 3} {
        bind .b <ButtonPress-$n> {press %X %Y}
        bind .b <B$n-Motion> {drag %X %Y}
        bind .b <ButtonRelease-$n> "release $n"
    }
    bind . <Map> {map_changed %W 1}
    bind . <Unmap> {map_changed %W 0}
    bind . <Visibility> {visibility %W %s}
    bind . <Destroy> {if {"%W" eq "."} remove_lock}
    show_button
    update idletasks
    # Near the right edge, a little above the middle, where it covers little.
    set x [expr {[winfo screenwidth .] - [winfo reqwidth .] - $EDGE_GAP}]
    set y [expr {[winfo screenheight .] / 3}]
    wm geometry . +[expr {max(0, $x)}]+$y
    if {$on} {
        show
    }
}

# --- Messages from the daemon ---------------------------------------------------------------

proc message {line} {
    global tool
    switch -regexp -- $line {
        {^ON$} { show }
        {^OFF$} { hide }
        {^OK$} { set_armed 0 }
        {^[0-9]$} {
            set tool(mode) $line
            show_button
        }
    }
}

# Lines from standard input; a line longer than any message is dropped whole.
proc read_messages {} {
    global tool MAX_MESSAGE READ_CHUNK
    if {[catch {read stdin $READ_CHUNK} chunk] || ($chunk eq "" && [eof stdin])} {
        quit 0
    }
    append tool(inbuf) $chunk
    while {[set end [string first "\n" $tool(inbuf)]] >= 0} {
        set line [string trimright [string range $tool(inbuf) 0 [expr {$end - 1}]] "\r"]
        set tool(inbuf) [string range $tool(inbuf) [expr {$end + 1}] end]
        if {$tool(skipping)} {
            set tool(skipping) 0
        } else {
            message $line
        }
    }
    if {[string length $tool(inbuf)] > $MAX_MESSAGE} {
        set tool(inbuf) ""
        set tool(skipping) 1
    }
}

# 1 while the daemon's process exists and has not ended (a zombie has ended).
proc daemon_alive {} {
    global tool
    if {[catch {
        set f [open /proc/$tool(pid)/stat r]
        set stat [read $f 1024]
        close $f
    }]} {
        return 0
    }
    set paren [string last ")" $stat]
    set state [string index $stat [expr {$paren + 2}]]
    expr {$paren >= 0 && $state ni {Z X x ""}}
}

proc watch {} {
    global tool WATCH_MS
    if {![daemon_alive]} {
        quit 0
    }
    if {$tool(raiseWanted) && $tool(mapped)} {
        raise .
    }
    set tool(raiseWanted) 0
    after $WATCH_MS watch
}

# --- Start ---------------------------------------------------------------------------------

proc main {} {
    global tool WATCH_MS
    lassign [check_arguments] left right tool(pid) on tool(mode)
    set tool(cmdfifo) [root_path /dev/qvcmdin]
    set tool(leftImage) [load_image lbutton $left]
    set tool(rightImage) [load_image rbutton $right]
    write_lock
    build_window $on
    fconfigure stdin -blocking 0 -translation binary
    fileevent stdin readable read_messages
    after $WATCH_MS watch
}

main
