# Shared helpers of the command-line tests. Each test file is run as
#   tclsh FILE.test -root INSTALLED_PRODUCT_ROOT
# and works on a private copy of that root, so files can run side by side.

package require tcltest 2
namespace import ::tcltest::*

namespace eval cli {
    variable installed ""
    variable root ""
    variable scratch ""
    # Words put before every program a test runs (to run it as another user, for one).
    variable runAs {}
}

# Reads -root from the command line; the remaining options go to tcltest.
proc cli::setup {argv} {
    variable installed
    variable root
    variable scratch
    set rest {}
    for {set i 0} {$i < [llength $argv]} {incr i} {
        if {[lindex $argv $i] eq "-root"} {
            set installed [file normalize [lindex $argv [incr i]]]
        } else {
            lappend rest [lindex $argv $i]
        }
    }
    if {$installed eq ""} { error "usage: tclsh FILE.test -root PRODUCT_ROOT" }
    set ::argv $rest
    ::tcltest::configure {*}$rest
    # Lower case throughout: the tool lower-cases the data directories it lists, as on the
    # case-insensitive file systems it was made for.
    set scratch /tmp/kelda-[string tolower [file rootname [file tail [info script]]]]-[pid]
    file delete -force $scratch
    file mkdir $scratch
    set root $scratch/root
    cli::freshRoot
    # The tool and everything it starts see only what a test gives them.
    foreach name [array names ::env QZ_*] { unset ::env($name) }
    set ::env(QZ_SCM_DIR) $scratch/scm
}

# Replaces the private root (or the directory given) with a new copy of the installed root.
proc cli::freshRoot {{root ""}} {
    variable installed
    if {$root eq ""} { set root $::cli::root }
    file delete -force $root
    file mkdir $root
    foreach item [glob -directory $installed *] { file copy $item $root }
    file mkdir $root/etc
}

# Runs ROOT/bin/PROGRAM with the given words, standard output a pipe. Answers a dict:
# status (the exit status as a shell sees it), out (standard output), err (standard error).
proc cli::runProgram {program args} {
    variable root
    variable scratch
    set errFile $scratch/stderr.txt
    set command [list $root/bin/$program {*}$args]
    if {[info exists ::env(KELDA_VALGRIND)] && $::env(KELDA_VALGRIND) ne ""} {
        # Memory errors and leaks the program itself made end the run with status 99; what
        # the interpreter keeps until exit is not counted.
        set command [list valgrind -q --error-exitcode=99 --leak-check=full \
            --errors-for-leak-kinds=definite --log-file=$scratch/valgrind.%p.txt {*}$command]
    }
    set command [list {*}$::cli::runAs {*}$command]
    set chan [open |[list {*}$command 2> $errFile] r]
    fconfigure $chan -translation binary -blocking 0
    # Read in the event loop, so that servers a test runs in this process keep serving.
    set ::cli::output ""
    set ::cli::done 0
    fileevent $chan readable [list apply {{chan} {
        append ::cli::output [read $chan]
        if {[eof $chan]} { set ::cli::done 1 }
    }} $chan]
    vwait ::cli::done
    fconfigure $chan -blocking 1
    set out $::cli::output
    set status 0
    if {[catch {close $chan} message options]} {
        set code [dict get $options -errorcode]
        if {[lindex $code 0] eq "CHILDSTATUS"} {
            set status [lindex $code 2]
        } else {
            return -options $options $message
        }
    }
    set f [open $errFile rb]
    set err [read $f]
    close $f
    return [dict create status $status out $out err $err]
}

proc kelda {args} { cli::runProgram kelda {*}$args }

# Runs the programs of script as a user without privileges, who owns the given directories
# while it runs (the service manager's state among them). Answers the script's result.
proc cli::unprivileged {dirs script} {
    variable scratch
    variable runAs
    if {[exec id -u] != 0} { return [uplevel 1 $script] }
    set scm $::env(QZ_SCM_DIR)
    file mkdir $scm
    # valgrind's logs go to the scratch directory.
    file attributes $scratch -permissions 01777
    exec chown -R 65534:65534 {*}$dirs $scm
    set runAs [list setpriv --reuid=65534 --regid=65534 --clear-groups]
    try {
        return [uplevel 1 $script]
    } finally {
        set runAs {}
        exec chown -R 0:0 {*}$dirs $scm
        file attributes $scratch -permissions 0755
    }
}

# The catalogue text of a message key, as the tool prints it.
proc msg {name} {
    if {![namespace exists ::msgcat] || [msgcat::mc qz.kelda.strings.start] eq "qz.kelda.strings.start"} {
        source $::cli::root/lib/kelda/keldastrings.tcl
    }
    return [msgcat::mc qz.kelda.strings.$name]
}

# A free port range for this test file's monitors, clear of other files running at once.
proc cli::portBase {} { expr {20000 + [pid] % 400 * 100} }

# The exit status and standard output of a run, as one list; standard error must be empty.
proc result {run} {
    if {[dict get $run err] ne ""} {
        return [list stderr [dict get $run err]]
    }
    list [dict get $run status] [dict get $run out]
}

proc writeFile {path text} {
    file mkdir [file dirname $path]
    set f [open $path wb]
    puts -nonewline $f $text
    close $f
}

proc readFile {path} {
    set f [open $path rb]
    set text [read $f]
    close $f
    return $text
}

# Finishes a test file: the exit status says whether every test passed.
proc cli::finish {} {
    variable scratch
    set failed $::tcltest::numTests(Failed)
    set total $::tcltest::numTests(Total)
    ::tcltest::cleanupTests
    file delete -force $scratch
    if {$total == 0 || $failed > 0} { exit 1 }
    exit 0
}

# Starts ROOT/bin/mon for an instance in the background and waits until it answers;
# answers its process id.
proc startMonitor {datdir port args} {
    set pid [exec $::cli::root/bin/mon {*}$args -datdir $datdir mon.tcl >/dev/null 2>@1 &]
    for {set i 0} {$i < 100} {incr i} {
        if {![catch {socket 127.0.0.1 $port} s]} {
            close $s
            return $pid
        }
        after 50
    }
    error "the monitor on port $port did not come up"
}

proc stopMonitor {pid} {
    catch {exec kill $pid}
    # Wait until it has gone, so that its port is free again.
    for {set i 0} {$i < 100 && ![catch {exec kill -0 $pid}]} {incr i} { after 50 }
}

# The processes that run with QZ_SCM_DIR set to dir: the service stand-in's services and their
# supervisors, and the tools a test runs.
proc cli::processesUsing {dir} {
    set found {}
    foreach environ [glob -nocomplain /proc/\[0-9\]*/environ] {
        if {[catch {readFile $environ} text]} { continue }
        if {"QZ_SCM_DIR=$dir" in [split $text \0]} {
            lappend found [file tail [file dirname $environ]]
        }
    }
    return $found
}

# An instance directory with a config.tcl for a monitor on port.
proc makeInstance {dir port {service demo}} {
    file mkdir $dir
    writeFile $dir/config.tcl "set qz.servicename $service
set qz.kelda.monoamname 127.0.0.1
set qz.kelda.monoamport $port
"
}
