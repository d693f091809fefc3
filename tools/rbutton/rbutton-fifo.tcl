# The right-click tool's requests to the daemon: whole commands into /dev/qvcmdin, never waiting.

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
