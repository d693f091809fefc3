#!/usr/bin/env wish
# The right-click tool: an always-on-top button for touch screens. A tap on it makes the
# daemon's next touch a right-button one; a second tap takes that back. The daemon starts it as
#   rbutton.tcl LEFT.gif RIGHT.gif DAEMON_PID ON MODE
# and steers it with lines on standard input: ON, OFF, OK (the right-button touch has
# ended) and a digit (the mouse mode). It ends when its input ends (the daemon holds the other
# end of the pipe), and keeps its process id in /tmp/rclick.lock while it runs.
#
# The button's size comes from /etc/quilmod-rbutton.conf (a line "Size = 20 mm" or
# "Size = 90 px"); without it the button is 20 mm wide.
#
# With QUILMOD_RBUTTON_STATE set and not empty it prints a line
#   rbutton: state armed|plain mapped|withdrawn MODE
# on standard output at each change, so its state can be followed from outside.

# The tool runs as root on the desktop's display: no other client of that display may have
# commands run here. Deleting the send command also withdraws the interpreter's name from the
# display's registry, so a send to it finds no application; this comes before any event.
if {[llength [info commands send]]} {
    rename send {}
}

set usage "usage: rbutton.tcl LEFT.gif RIGHT.gif DAEMON_PID ON(0|1) MODE(0-9)"

array set tool {armed 0 mapped 0 mode 0 lock "" cmdfifo "" fifoFault "" inbuf "" skipping 0}
array set tool {press "" dragging 0 held 0 holdTimer "" raiseAfter ""}

set MAX_MESSAGE 16      ;# longest message line kept; longer ones are dropped whole
set READ_CHUNK 4096
set RAISE_MS 2000       ;# how soon a covered button comes back on top, at most once per period
set DRAG_START 6        ;# pixels a press must travel before it moves the window
set TAP_MS 600          ;# a press held longer without travel is a drag the daemon holds still
set EDGE_GAP 8          ;# distance from the screen edge at start
set SETTINGS /etc/quilmod-rbutton.conf
set SETTINGS_MAX 4096   ;# bytes of the settings file read
set SIZE_DEFAULT {20 mm}
set SIZE_RANGE {mm {5 100} px {24 1000}}
set PX_PER_MM_GUESS 4   ;# about 100 dpi, when X does not know the screen's size
set ICON 48             ;# the images' side
set PAD 4; set BORDER 2     ;# pixels inside the button
array set look {
    plain {#e4e4e4 #202020 left}
    armed {#ff8c00 #000000 RIGHT}
    held {#e4e4e4 #202020 move}
}

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
    if {[info exists ::env(QUILMOD_RBUTTON_STATE)] && $::env(QUILMOD_RBUTTON_STATE) ne ""} {
        puts stdout "rbutton: state [expr {$tool(armed) ? "armed" : "plain"}]\
            [expr {$tool(mapped) ? "mapped" : "withdrawn"}] $tool(mode)"
        flush stdout
    }
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

# Pixels per millimetre from X's physical screen size, or the guess when X's figure is missing
# or makes no sense (from 25 to 1000 dpi is believed).
proc pixels_per_mm {} {
    global PX_PER_MM_GUESS
    set mm [winfo screenmmwidth .]
    set ratio [expr {$mm > 0 ? double([winfo screenwidth .]) / $mm : 0}]
    expr {$ratio >= 1 && $ratio <= 40 ? $ratio : $PX_PER_MM_GUESS}
}

# The button's side in pixels: the size asked for, never smaller than its picture and word
# need, never more than a third of the screen.
proc button_side {size} {
    global ICON PAD
    lassign $size amount unit
    set side [expr {$unit eq "px" ? $amount : int(ceil($amount * [pixels_per_mm]))}]
    set most [expr {min([winfo screenwidth .], [winfo screenheight .]) / 3}]
    set side [expr {min($side, max($most, 1))}]
    font configure rbuttonWord -size -[set px [expr {max(12, $side / 5)}]]
    while {$px > 8 && [font measure rbuttonWord RIGHT] > $side - 4 * $PAD} {
        font configure rbuttonWord -size -[incr px -1]
    }
    expr {max($side, $ICON + [font metrics rbuttonWord -linespace] + 3 * $PAD)}
}

# A photo image from file, zoomed by a whole factor; "" when it cannot be read (the button
# then shows its word alone).
proc load_image {name file zoom} {
    if {[catch {image create photo $name.file -file $file} err]} {
        complain "cannot read the image $file: $err"
        return ""
    }
    image create photo $name
    $name copy $name.file -zoom $zoom
    image delete $name.file
    return $name
}

# Records our pid in the lock file. Anyone may write to /tmp, so the lock may be a planted
# link: the text goes into a fresh scratch file beside it, which then replaces the lock's name.
# Its name is unpredictable (file tempfile: mkstemp, which never follows a link), so nobody can
# plant names ahead to deny it. mv -T renames onto the name itself, where Tcl's own rename would
# follow a link to a directory and move the file into it.
proc write_lock {} {
    global tool
    set lock [root_path /tmp/rclick.lock]
    if {[catch {file tempfile scratch $lock.} f]} {
        complain "cannot create a scratch file beside /tmp/rclick.lock: $f"
        return
    }
    set failed [catch {
        file attributes $scratch -permissions 0644
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
    # Read nothing but a plain file, and never wait on one that is a FIFO by now.
    if {$tool(lock) ne "" && ![catch {file type $tool(lock)} type] && $type eq "file" && ![catch {
        set f [open $tool(lock) {RDONLY NONBLOCK}]
        set text [read $f 64]
        close $f
    }] && [string trim $text] eq [pid]} {
        catch {file delete -- $tool(lock)}
    }
}

array set FAULTS {
    missing "/dev/qvcmdin is missing"   notfifo "/dev/qvcmdin is not a FIFO"
    noreader "nobody reads /dev/qvcmdin"   full "/dev/qvcmdin is full"
    broken "cannot write to /dev/qvcmdin"
}

# Writes one whole command into the daemon's command FIFO, never waiting: "" when written,
# else the fault (a key of FAULTS).
proc command_fault {text} {
    global tool
    if {[catch {file type $tool(cmdfifo)} type]} {
        return missing
    } elseif {$type ne "fifo"} {
        return notfifo
    }
    # Without a reader a non-blocking open fails (ENXIO) instead of waiting for one.
    if {[catch {open $tool(cmdfifo) {WRONLY NONBLOCK}} f]} {
        return noreader
    }
    # A write of a few bytes into a FIFO goes in whole or, when it does not fit, not at all
    # (EAGAIN). Tcl's own channel would keep such a command and deliver it later, glued to
    # the next, with its descriptor left open meanwhile: dd makes the one write(2) instead,
    # on our descriptor, which holds nothing when it is closed.
    set failed [catch {exec env LC_ALL=C dd bs=64 count=1 status=none << $text >@ $f} err]
    catch {close $f}
    if {!$failed} {
        return ""
    }
    expr {[string match "*temporarily unavailable*" $err] ? "full" : "broken"}
}

# 1 when the command went through; a fault is told once, until the FIFO works again.
proc send_command {text} {
    global tool FAULTS
    set fault [command_fault $text]
    if {$fault ne "" && $tool(fifoFault) ne $fault} {
        complain "$FAULTS($fault); the touch is ignored"
    }
    set tool(fifoFault) $fault
    expr {$fault eq ""}
}

# The whole button shows the state: its colour, and the word of the button the next touch is.
proc paint {} {
    global tool look
    set state [expr {$tool(armed) ? "armed" : ($tool(held) ? "held" : "plain")}]
    lassign $look($state) background foreground word
    .c configure -background $background
    .c itemconfigure word -text $word -fill $foreground
    .c itemconfigure icon -image [expr {$tool(armed) ? $tool(rightImage) : $tool(leftImage)}]
}

proc set_armed {armed} {
    global tool
    set tool(armed) $armed
    paint
    report_state
}

# A tap on the button: arm the right button, or take it back.
proc toggle {} {
    global tool
    if {[send_command [expr {$tool(armed) ? {[7189]x} : {[7177]x}}]]} {
        set_armed [expr {!$tool(armed)}]
    }
}

proc disarm {} {
    global tool
    if {$tool(armed) && [send_command {[7189]x}]} {
        set_armed 0
    }
}

proc show {} {
    wm deiconify .
    raise .
}

# Hidden while armed would leave an invisible right button behind: take it back first.
proc hide {} {
    disarm
    wm withdraw .
}

# A press held longer than a tap, or one that travels, is a drag: the button says "move". In
# DESKTOP mode the daemon holds the pointer still at first, so a drag may show no travel yet.
proc set_held {held} {
    global tool
    after cancel $tool(holdTimer)
    if {$tool(held) != $held} {
        set tool(held) $held
        paint
    }
}

proc press {x y time} {
    global tool TAP_MS
    set_held 0
    set tool(press) [list $x $y [winfo rootx .] [winfo rooty .] $time]
    set tool(dragging) 0
    set tool(holdTimer) [after $TAP_MS {set_held 1}]
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
    set_held 1
    set maxX [expr {max(0, [winfo screenwidth .] - [winfo width .])}]
    set maxY [expr {max(0, [winfo screenheight .] - [winfo height .])}]
    set nx [expr {min(max($wx + $dx, 0), $maxX)}]
    set ny [expr {min(max($wy + $dy, 0), $maxY)}]
    wm geometry . +$nx+$ny
}

# A touch ends. It is a tap when it neither travelled nor lasted longer than a tap (the X
# server's times, which wrap after 49 days). Button 1 toggles. Button 3 means the armed touch
# has landed on the button itself, which takes the right button back; the daemon's OK for
# that touch may come before or after this release, so it must never arm again.
proc release {button time} {
    global tool TAP_MS
    if {$tool(press) ne "" && !$tool(dragging) && (($time - [lindex $tool(press) 4]) & 0xffffffff) <= $TAP_MS} {
        if {$button == 1} {
            toggle
        } else {
            disarm
        }
    }
    set tool(press) ""
    set tool(dragging) 0
    set_held 0
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

# A window covering ours is put below it a while later: two windows that both want the top
# then take turns every RAISE_MS instead of fighting without end.
proc visibility {window state} {
    global tool RAISE_MS
    if {$window eq "." && $state ne "VisibilityUnobscured" && $tool(raiseAfter) eq ""} {
        set tool(raiseAfter) [after $RAISE_MS {
            set tool(raiseAfter) ""
            if {$tool(mapped)} { raise . }
        }]
    }
}

# The canvas: the state's colour over the whole button, a dark edge, the mouse and the word.
# Every command-taking option is given here, so none comes from the display's resources.
proc build_canvas {side} {
    global tool BORDER PAD ICON
    canvas .c -width $side -height $side -borderwidth 0 -highlightthickness 0 \
        -xscrollcommand {} -yscrollcommand {} -confine 1 -cursor {}
    set edge [expr {$BORDER / 2.0}]
    .c create rectangle $edge $edge [expr {$side - $edge}] [expr {$side - $edge}] \
        -width $BORDER -outline #202020
    set wordHeight [font metrics rbuttonWord -linespace]
    set iconSpace [expr {$side - $wordHeight - 3 * $PAD}]
    set zoom [expr {max(1, $iconSpace / $ICON)}]
    set tool(leftImage) [load_image lbutton [lindex $tool(images) 0] $zoom]
    set tool(rightImage) [load_image rbutton [lindex $tool(images) 1] $zoom]
    .c create image [expr {$side / 2}] [expr {$PAD + $iconSpace / 2}] -tags icon
    .c create text [expr {$side / 2}] [expr {$side - $PAD - $wordHeight / 2}] -tags word \
        -font rbuttonWord -anchor center
    pack .c
}

proc build_window {on size} {
    global EDGE_GAP
    wm withdraw .
    wm title . rbutton
    wm overrideredirect . 1
    wm attributes . -topmost 1
    font create rbuttonWord -family Helvetica -weight bold
    set side [button_side $size]
    build_canvas $side
    # A touch arrives as button 1, and as button 3 while the right button is armed.
    foreach n {1 3} {
        bind .c <ButtonPress-$n> {press %X %Y %t}
        bind .c <B$n-Motion> {drag %X %Y}
        bind .c <ButtonRelease-$n> "release $n %t"
    }
    bind . <Map> {map_changed %W 1}
    bind . <Unmap> {map_changed %W 0}
    bind . <Visibility> {visibility %W %s}
    bind . <Destroy> {if {"%W" eq "."} remove_lock}
    paint
    report_state
    update idletasks
    # Near the right edge, a little above the middle, where it covers little.
    set x [expr {[winfo screenwidth .] - $side - $EDGE_GAP}]
    set y [expr {[winfo screenheight .] / 3}]
    wm geometry . +[expr {max(0, $x)}]+$y
    if {$on} {
        show
    }
}

proc message {line} {
    global tool
    switch -regexp -- $line {
        {^ON$} { show }
        {^OFF$} { hide }
        {^OK$} { set_armed 0 }
        {^[0-9]$} { set tool(mode) $line; report_state }
    }
}

# Lines from standard input; a line longer than any message is dropped whole. The end of the
# input is the daemon's end, or its word that this tool is no longer wanted.
proc read_messages {} {
    global tool MAX_MESSAGE READ_CHUNK
    if {[catch {read stdin $READ_CHUNK} chunk] || ($chunk eq "" && [eof stdin])} {
        remove_lock
        exit 0
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

proc main {} {
    global tool
    lassign [check_arguments] left right on tool(mode)
    set tool(images) [list $left $right]
    set tool(cmdfifo) [root_path /dev/qvcmdin]
    write_lock
    build_window $on [read_settings]
    fconfigure stdin -blocking 0 -translation binary
    fileevent stdin readable read_messages
}

main
