# The right-click tool's window: the button's size and look, its place near the right edge,
# showing and hiding it, and coming back on top when another window covers it.

set RAISE_MS 2000       ;# a covered button comes back at once, then at most once in this time
set EDGE_GAP 8          ;# distance from the screen edge at start
set PX_PER_MM_GUESS 4   ;# about 100 dpi, when X does not know the screen's size
set ICON 48             ;# the images' side
set PAD 4; set BORDER 2     ;# pixels inside the button
array set look {
    plain {#e4e4e4 #202020 left}
    armed {#ff8c00 #000000 RIGHT}
    held {#e4e4e4 #202020 move}
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

# The whole button shows the state: its colour, and the word of the button the next touch is.
proc paint {} {
    global tool look
    set state [expr {$tool(armed) ? "armed" : ($tool(held) ? "held" : "plain")}]
    lassign $look($state) background foreground word
    .c configure -background $background
    .c itemconfigure word -text $word -fill $foreground
    .c itemconfigure icon -image [expr {$tool(armed) ? $tool(rightImage) : $tool(leftImage)}]
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

# Near the right edge, a little above the middle, where it covers little. The window is
# override-redirect, so no window manager moves it, and without one it stays where it is put;
# its size is given with its place, so nothing is left for Tk to settle when it is first mapped.
proc place_window {side} {
    global EDGE_GAP
    set x [expr {max(0, [winfo screenwidth .] - $side - $EDGE_GAP)}]
    set y [expr {[winfo screenheight .] / 3}]
    wm geometry . ${side}x${side}+$x+$y
}

proc build_window {on size} {
    wm withdraw .
    wm title . rbutton
    wm overrideredirect . 1
    wm attributes . -topmost 1
    font create rbuttonWord -family Helvetica -weight bold
    set side [button_side $size]
    build_canvas $side
    bind_touches
    bind . <Map> {map_changed %W 1}
    bind . <Unmap> {map_changed %W 0}
    bind . <Visibility> {visibility %W %s}
    bind . <Destroy> {if {"%W" eq "."} remove_lock}
    paint
    report_state
    update idletasks
    place_window $side
    if {$on} {
        show
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

# Covered by a window mapped or raised over it (the X server says so, VisibilityNotify): back
# on top at once. Two windows that both want the top would raise each other without end, so
# after a raise the next waits until RAISE_MS have passed: they take turns instead.
proc visibility {window state} {
    global tool RAISE_MS
    if {$window ne "." || $state eq "VisibilityUnobscured" || $tool(raiseAfter) ne ""} {
        return
    }
    set wait [expr {max(0, $tool(raisedAt) + $RAISE_MS - [clock milliseconds])}]
    set tool(raiseAfter) [after $wait raise_again]
}

proc raise_again {} {
    global tool
    set tool(raiseAfter) ""
    set tool(raisedAt) [clock milliseconds]
    if {$tool(mapped)} {
        raise .
    }
}
