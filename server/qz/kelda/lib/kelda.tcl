# kelda's user-facing procedures. The tool calls displayWelcomeText before it runs a command
# and displayUsage when the command line is not one it can run; any procedure defined here
# can also be run as a command of its own.

namespace eval ::kelda {}

# The banner shown before every command.
proc displayWelcomeText {} {
    # A command that prints a document for scripts prints nothing else.
    if {[::kelda::documentWanted]} { return }
    puts "kelda [set ::qz.kelda.version] - proxy server instance administration"
    puts "Product root: [set ::qz.rootdir]"
    puts ""
}

# The usage text: every command, its arguments and one example.
proc displayUsage {} {
    puts {Usage: kelda [options] <command> [arguments]

Commands:
  create <datadir> <display name> [<account> [<password>]]
        Create a server instance: its Windows service, its data files and its entry
        in the instance list. The service runs as LocalSystem unless an account is given.
        Example: kelda create C:\Srv\A "Proxy A"
  remove <datadir>|all [removedata]
        Remove one instance, or all of them, and their services. With removedata the
        instance's data files are deleted too.
        Example: kelda remove C:\Srv\A removedata
  start [all]
        Start the service of the current instance (-datdir), or of every instance.
        Example: kelda -datdir C:\Srv\A start
  stop [all]
        Stop the service of the current instance (-datdir), or of every instance.
        Example: kelda stop all
  restart [all]
        Stop, then start, the service of the current instance (-datdir), or of every
        instance, one after the other.
        Example: kelda -datdir C:\Srv\A restart
  status [-v]
        Show the status reported by the current instance's monitor; -v shows every field.
        Example: kelda -datdir C:\Srv\A status -v
  cmd <request>
        Send a request to the current instance's monitor and print its answer. Quote a
        request of several words.
        Example: kelda -datdir C:\Srv\A cmd "help"
  instances [-json]
        List every instance with its service, its monitor address and whether the
        monitor answers right now; -json prints it as one JSON document.
        Example: kelda instances
  check [<datadir>] [-json]
        Look for drift between the instance list, the data directories, the services,
        their event-log sources and the monitor ports, and say how to mend each finding.
        Changes nothing. Exit status 0: none found, 1: found, 255: could not look.
        Example: kelda check
  forget <datadir>
        Take one entry out of the instance list, leaving its service and data files.
        Example: kelda forget C:\Srv\A

Options (before the command):
  -rootdir DIR    product root (default: the directory above kelda's own)
  -datdir DIR     data directory of the current instance
  -loglevel N     log levels 1..N are recorded (0: none)
  -logfile PATH   log file (default: <product root>/log/kelda.log)}
}

# ---- status ---------------------------------------------------------------------------------

# The monitor's status answer as text: one aligned "name: value" line per field, all of them
# when verbose, else the few an administrator looks at first. An answer that is not a
# key/value list is shown as it came, less the white space around it (the braces that carry it
# here add a space each side, so that a trailing backslash cannot escape the closing one).
proc formatStatus {answer asText verbose} {
    if {[catch {llength $answer} n] || $n % 2 != 0 || $n == 0} { return [string trim $answer] }
    set first {state service address uptime requests}
    set labels {state State service Service datadir "Data directory" pid "Process id"
        address "Monitor address" started Started uptime Uptime version Version
        requests "Requests served"}
    set shown {}
    foreach {key value} $answer {
        if {$verbose || $key in $first} {
            if {$key eq "uptime" && [string is integer -strict $value]} {
                set value [::kelda::duration $value]
            }
            set label [expr {[dict exists $labels $key] ? [dict get $labels $key] : $key}]
            lappend shown $label $value
        }
    }
    set width 0
    foreach {label value} $shown { set width [expr {max($width, [string length $label:])}] }
    set lines {}
    foreach {label value} $shown { lappend lines [format "  %-*s  %s" $width $label: $value] }
    return [join $lines \n]
}

# Seconds as days, hours, minutes and seconds.
proc ::kelda::duration {seconds} {
    set parts {}
    foreach {unit size} {d 86400 h 3600 m 60} {
        if {$seconds >= $size || $parts ne ""} {
            lappend parts [expr {$seconds / $size}]$unit
            set seconds [expr {$seconds % $size}]
        }
    }
    lappend parts ${seconds}s
    join $parts " "
}

# The data files of an instance: createDataFiles, restoreDataFiles, deleteDataFiles.
source -encoding utf-8 [file join [file dirname [info script]] keldadata.tcl]

# ---- the instances at a glance --------------------------------------------------------------

# The read-only looks: check, forget, the JSON documents, the monitors asked at once.
source -encoding utf-8 [file join [file dirname [info script]] keldacheck.tcl]

# instances ?-json?: one line per listed instance with its data directory, service name,
# monitor address and whether the monitor answers right now; with -json, one document.
proc instances {args} {
    if {[llength $args] > 1 || ([llength $args] == 1 && [lindex $args 0] ne "-json")} {
        error "instances takes -json only"
    }
    set json [expr {$args eq "-json"}]
    set rows {}
    set targets {}
    foreach dir [::kelda::listedDirectories] {
        set facts [::kelda::readConfig $dir]
        set port [dict get $facts port]
        set host [dict get $facts host]
        if {$host eq "" && $port ne ""} { set host 127.0.0.1 }
        lappend rows [list $dir [dict get $facts service] $host $port]
        lappend targets [expr {$port eq "" ? {} : [list $host $port]}]
    }
    set answers [::kelda::probeMonitors $targets]
    if {$json} {
        set items [lmap row $rows answer $answers {
            lassign $row dir service host port
            ::kelda::jsonObject [list datadir [::kelda::jsonText $dir] \
                service [expr {$service eq "" ? "null" : [::kelda::jsonText $service]}] \
                host [expr {$host eq "" ? "null" : [::kelda::jsonText $host]}] \
                port [::kelda::jsonNumber $port] state [::kelda::jsonText $answer]]
        }]
        puts [::kelda::jsonDocument [list root [::kelda::jsonText ${::qz.rootdir}] \
            instances $items] instances]
        return
    }
    if {[llength $rows] == 0} {
        puts "No server instances are registered."
        return
    }
    set table [list [list "DATA DIRECTORY" SERVICE MONITOR STATE]]
    foreach row $rows answer $answers {
        lassign $row dir service host port
        lappend table [list $dir [expr {$service eq "" ? "-" : $service}] \
            [expr {$port eq "" ? "-" : "$host:$port"}] $answer]
    }
    foreach column {0 1 2} {
        set width($column) 0
        foreach row $table {
            set width($column) [expr {max($width($column), [string length [lindex $row $column]])}]
        }
    }
    foreach row $table {
        puts [format "%-*s  %-*s  %-*s  %s" $width(0) [lindex $row 0] $width(1) [lindex $row 1] \
            $width(2) [lindex $row 2] [lindex $row 3]]
    }
}

# ---- restart --------------------------------------------------------------------------------

# restart ?all?: stops, then starts, the current instance's service, printing what stop and
# start print; an instance that was not running is started all the same. With "all" (exactly,
# as start and stop take it) every listed instance in list order, each stopped and started
# before the next is touched, so that only one is down at a time. Like start and stop, it
# reports failures and still succeeds.
proc restart {args} {
    if {[lindex $args 0] ne "all"} {
        stop
        start
        return
    }
    set list [file join ${::qz.rootdir} etc datdirs.tcl]
    if {![file exists $list] || [catch {uplevel #0 [list source -encoding utf-8 $list]}]} {
        # Without a list, start all and stop all say so: the same words here.
        stop all
        start all
        return
    }
    foreach dir ${::qz.instances} {
        # The instance becomes the current one, as start all makes it.
        set ::qz.datdir $dir
        catch {uplevel #0 [list source -encoding utf-8 [file join $dir config.tcl]]}
        stop
        start
    }
}
