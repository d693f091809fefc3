# The right-click tool's input from the daemon (ON, OFF, OK, the mode) and its state lines.

set MAX_MESSAGE 16      ;# longest message line kept; longer ones are dropped whole
set READ_CHUNK 4096

proc report_state {} {
    global tool
    if {[info exists ::env(QUILMOD_RBUTTON_STATE)] && $::env(QUILMOD_RBUTTON_STATE) ne ""} {
        puts stdout "rbutton: state [expr {$tool(armed) ? "armed" : "plain"}]\
            [expr {$tool(mapped) ? "mapped" : "withdrawn"}] $tool(mode)"
        flush stdout
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
