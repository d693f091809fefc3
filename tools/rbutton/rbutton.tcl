#!/usr/bin/env tclsh
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
#
# Its parts lie beside it: rbutton-settings.tcl (arguments, settings file), rbutton-lock.tcl
# (the lock file), rbutton-fifo.tcl (commands to the daemon), rbutton-window.tcl (the button,
# its place, staying on top), rbutton-touch.tcl (taps and drags) and rbutton-messages.tcl (the
# daemon's messages, the state lines).

# Tk takes options such as -display from argv when it loads: ours are no options for it.
set toolArgs $argv
set argv {}
set argc 0
# Without its display the tool can do nothing: one line says so, no interpreter's trace.
if {[catch {package require Tk} err]} {
    set shown [expr {[info exists env(DISPLAY)] ? $env(DISPLAY) : "(none: DISPLAY is not set)"}]
    puts stderr "rbutton: cannot reach X display $shown: $err; quilmod starts the tool again when the display comes"
    exit 1
}
set argv $toolArgs
set argc [llength $argv]

# The tool runs as root on the desktop's display: no other client of that display may have
# commands run here. Deleting the send command also withdraws the interpreter's name from the
# display's registry, so a send to it finds no application; this comes before any event.
if {[llength [info commands send]]} {
    rename send {}
}

set partsDir [file dirname [file normalize [info script]]]
foreach part {settings lock fifo window touch messages} {
    source [file join $partsDir rbutton-$part.tcl]
}

array set tool {armed 0 mapped 0 mode 0 lock "" cmdfifo "" fifoFault "" inbuf "" skipping 0}
array set tool {press "" dragging 0 held 0 holdTimer "" raiseAfter "" raisedAt 0}

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
vwait forever
