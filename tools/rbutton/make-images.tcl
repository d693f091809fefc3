#!/usr/bin/env wish
# Draws the right-click tool's two button images, a 48 x 48 mouse seen from above with its
# left or its right button filled, on a transparent ground (the button's colour shows the
# tool's state around it), and writes them as lbutton.gif and rbutton.gif into the
# directory given as the argument (default: this script's own directory). Needs an X display,
# for Tk's photo images; under Xvfb: xvfb-run ./make-images.tcl
wm withdraw .

set size 48
set background #d9d9d9   ;# made transparent once drawn
set outline #202020
set shell #f4f4f4
set filled #1f4fbf

# The body: a rounded rectangle from (left, top) to (right, bottom) with corner radius r.
set left 11; set right 37; set top 5; set bottom 44; set r 11
set line 2               ;# outline width
set buttonEnd 20         ;# the buttons cover the rows above this one
set middle 24            ;# the column that parts the two buttons

# 1 when (x, y), a pixel centre, lies inside the body shrunk by inset pixels.
proc inside {x y inset} {
    global left right top bottom r
    set l [expr {$left + $inset}]; set rt [expr {$right - $inset}]
    set t [expr {$top + $inset}]; set b [expr {$bottom - $inset}]
    set rr [expr {$r - $inset}]
    if {$x < $l || $x > $rt || $y < $t || $y > $b} { return 0 }
    # Distance to the nearest corner centre counts only in the corner squares.
    set cx [expr {$x < $l + $rr ? $l + $rr : ($x > $rt - $rr ? $rt - $rr : $x)}]
    set cy [expr {$y < $t + $rr ? $t + $rr : ($y > $b - $rr ? $b - $rr : $y)}]
    expr {hypot($x - $cx, $y - $cy) <= $rr}
}

# The colour of pixel (col, row) with the button on side ("left" or "right") filled.
proc colour {col row side} {
    global background outline shell filled line buttonEnd middle size
    set x [expr {$col + 0.5}]; set y [expr {$row + 0.5}]
    # The cable leaves the body's top edge in the middle.
    if {$row < 6 && abs($x - $size / 2.0) < 1.1} { return $outline }
    if {![inside $x $y 0]} { return $background }
    if {![inside $x $y $line]} { return $outline }
    if {$row >= $buttonEnd && $row < $buttonEnd + $line} { return $outline }
    if {$row < $buttonEnd} {
        if {abs($x - $middle) < $line / 2.0 + 0.1} { return $outline }
        if {($side eq "left") == ($x < $middle)} { return $filled }
    }
    return $shell
}

proc draw {side file} {
    global size background
    set img [image create photo -width $size -height $size]
    set rows {}
    for {set row 0} {$row < $size} {incr row} {
        set cols {}
        for {set col 0} {$col < $size} {incr col} {
            lappend cols [colour $col $row $side]
        }
        lappend rows $cols
    }
    $img put $rows
    for {set row 0} {$row < $size} {incr row} {
        for {set col 0} {$col < $size} {incr col} {
            if {[lindex $rows $row $col] eq $background} {
                $img transparency set $col $row 1
            }
        }
    }
    $img write $file -format gif
    image delete $img
}

set dir [expr {$argc > 0 ? [lindex $argv 0] : [file dirname [info script]]}]
if {[catch {
    draw left [file join $dir lbutton.gif]
    draw right [file join $dir rbutton.gif]
} err]} {
    puts stderr "make-images: $err"
    exit 1
}
exit 0
