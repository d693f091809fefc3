# The right-click tool's lock file: its process id in /tmp/rclick.lock while it runs.

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
