# The right-click tool's touches: a tap arms the right button or takes it back, a drag moves
# the button.

set DRAG_START 6        ;# pixels a press must travel before it moves the window
set TAP_MS 600          ;# a press held longer without travel is a drag the daemon holds still

# A touch arrives as button 1, and as button 3 while the right button is armed.
proc bind_touches {} {
    foreach n {1 3} {
        bind .c <ButtonPress-$n> {press %X %Y %t}
        bind .c <B$n-Motion> {drag %X %Y}
        bind .c <ButtonRelease-$n> "release $n %t"
    }
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
