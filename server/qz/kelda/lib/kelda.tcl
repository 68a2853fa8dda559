# kelda's user-facing procedures. The tool calls displayWelcomeText before it runs a command
# and displayUsage when the command line is not one it can run; any procedure defined here
# can also be run as a command of its own.

namespace eval ::kelda {}

# The banner shown before every command.
proc displayWelcomeText {} {
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
  instances
        List every instance with its service, its monitor address and whether the
        monitor answers right now.
        Example: kelda instances

Options (before the command):
  -rootdir DIR    product root (default: the directory above kelda's own)
  -datdir DIR     data directory of the current instance
  -loglevel N     log levels 1..N are recorded (0: none)
  -logfile PATH   log file (default: <product root>/log/kelda.log)}
}

# ---- status ---------------------------------------------------------------------------------

# The monitor's status answer as text: one aligned "name: value" line per field, all of them
# when verbose, else the few an administrator looks at first. An answer that is not a
# key/value list is shown as it came.
proc formatStatus {answer asText verbose} {
    if {[catch {llength $answer} n] || $n % 2 != 0 || $n == 0} { return $answer }
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

# ---- data files of an instance ------------------------------------------------------------
#
# createDataFiles makes an instance's data directory and files and records what it made in
# the directory's manifest, so that deleteDataFiles deletes exactly that and nothing else.

namespace eval ::kelda {
    # The monitor ports of new instances are taken upwards from here, unless the product
    # settings give qz.kelda.firstmonport.
    variable firstMonitorPort 17400
    variable manifest .kelda-files
}

# Evaluates a settings script in a throw-away interpreter and answers the value of one of
# its variables ("" when the script fails or does not set it).
proc ::kelda::settingOf {script name} {
    set child [interp create -safe]
    try {
        if {[catch {$child eval $script}]} { return "" }
        if {![$child eval [list info exists $name]]} { return "" }
        return [$child eval [list set $name]]
    } finally {
        interp delete $child
    }
}

proc ::kelda::readFile {path} {
    set f [open $path r]
    try { return [read $f] } finally { close $f }
}

# The listed instances' data directories, read from the persisted list ({} when there is no
# list, or none that can be read: create then starts a new one).
proc ::kelda::listedDirectories {} {
    set path [file join ${::qz.rootdir} etc datdirs.tcl]
    if {![file exists $path] || [catch {readFile $path} text]} { return {} }
    return [settingOf $text qz.instances]
}

# A directory as the list would hold it, for telling whether two name the same instance.
proc ::kelda::sameDirectory {a b} {
    string equal -nocase [file normalize $a] [file normalize $b]
}

# The monitor ports that the listed instances other than the one in except use. One
# throw-away interpreter reads every config.tcl: making one per file would make each create
# slower as the list grows.
proc ::kelda::usedMonitorPorts {{except ""}} {
    set ports {}
    set child [interp create -safe]
    try {
        foreach dir [listedDirectories] {
            if {$except ne "" && [sameDirectory $dir $except]} { continue }
            set config [file join $dir config.tcl]
            if {![file readable $config]} { continue }
            $child eval {unset -nocomplain qz.kelda.monoamport}
            if {[catch {$child eval [readFile $config]}]} { continue }
            if {[$child eval {info exists qz.kelda.monoamport}]} {
                lappend ports [$child eval {set qz.kelda.monoamport}]
            }
        }
    } finally {
        interp delete $child
    }
    return $ports
}

# The first port from the first monitor port up that is not in used and that nothing on this
# machine listens on right now.
proc ::kelda::freeMonitorPort {host used} {
    variable firstMonitorPort
    set first $firstMonitorPort
    if {[info exists ::qz.kelda.firstmonport]} { set first ${::qz.kelda.firstmonport} }
    for {set port $first} {$port < 65536} {incr port} {
        if {$port in $used} { continue }
        if {[catch {socket -server {apply {args {}}} -myaddr $host $port} listener]} { continue }
        close $listener
        return $port
    }
    error "no free monitor port from $first up"
}

# ---- monitor port claims
#
# Instances created at the same time cannot see each other in the list (each process reads it
# before the other writes it), so every new instance also claims its port in
# ROOT/etc/monports: one file per port, holding the data directory. A claim counts while that
# directory's config.tcl names the port; the claims are read and made under a lock, so that
# two processes never choose the same port. Claims live in etc/, which create never makes: a
# root without it (or one whose etc/ may not be written) has no claims, and its create fails
# when it writes the list.

proc ::kelda::claimsDir {} { file join ${::qz.rootdir} etc monports }

# Runs script with the claims locked. The lock is a file made exclusively; one left by a
# process that ended without removing it is taken over after a minute.
proc ::kelda::withClaimsLocked {script} {
    set dir [claimsDir]
    if {![file isdirectory [file dirname $dir]] || [catch {file mkdir $dir}] ||
            ![file writable $dir]} {
        return [uplevel 1 $script]
    }
    set lock [file join $dir .lock]
    for {set waited 0} {[catch {open $lock {WRONLY CREAT EXCL}} f]} {incr waited 10} {
        if {![catch {file mtime $lock} made] && [clock seconds] - $made > 60} {
            file delete $lock
            continue
        }
        if {$waited > 30000} { error "the monitor port claims stay locked ($lock)" }
        after 10
    }
    close $f
    try {
        uplevel 1 $script
    } finally {
        file delete $lock
    }
}

# The ports claimed by instances (other than the one in except) that still have them; claims
# that no longer count go.
proc ::kelda::claimedPorts {{except ""}} {
    set ports {}
    foreach claim [glob -nocomplain -directory [claimsDir] {[0-9]*}] {
        set port [file tail $claim]
        # A claim taken back by a process that held no lock may go at any moment.
        if {[catch {readFile $claim} owner]} { continue }
        set owner [string trim $owner]
        set config [file join $owner config.tcl]
        if {[file readable $config] && [settingOf [readFile $config] qz.kelda.monoamport] eq $port} {
            if {$except eq "" || ![sameDirectory $owner $except]} { lappend ports $port }
        } else {
            catch {file delete $claim}
        }
    }
    return $ports
}

# Claims port for the instance in dir; answers whether a new claim was made (false when dir
# held it already, or when there is nowhere to keep claims).
proc ::kelda::claim {port dir} {
    set claim [file join [claimsDir] $port]
    if {![file isdirectory [claimsDir]] || ![file writable [claimsDir]]} { return 0 }
    if {[file exists $claim] && [sameDirectory [string trim [readFile $claim]] $dir]} { return 0 }
    set f [open $claim w]
    puts $f [file normalize $dir]
    close $f
    return 1
}

# Takes back the claim of port when it is dir's.
proc ::kelda::unclaim {port dir} {
    set claim [file join [claimsDir] $port]
    if {$port eq "" || ![file exists $claim]} { return }
    withClaimsLocked {
        if {![catch {readFile $claim} owner] && [sameDirectory [string trim $owner] $dir]} {
            file delete $claim
        }
    }
}

proc ::kelda::writeFile {path text} {
    set f [open $path w]
    try { puts -nonewline $f $text } finally { close $f }
}

proc ::kelda::writeConfig {config dir host port} {
    writeFile $config "# Settings of the server instance in $dir, written by kelda create.
[list set qz.servicename ${::qz.servicename}]
[list set qz.kelda.monoamname $host]
[list set qz.kelda.monoamport $port]
"
}

# The settings script text with variable name set to value: every line that is the plain
# command "set NAME VALUE" says the new value; when none is (or a later line sets it
# otherwise), a line at the end does.
proc ::kelda::withSetting {text name value} {
    set lines {}
    foreach line [split $text \n] {
        if {[info complete $line] && ![catch {llength $line} n] && $n == 3 &&
                [lindex $line 0] eq "set" && [lindex $line 1] eq $name} {
            set line [list set $name $value]
        }
        lappend lines $line
    }
    set text [join $lines \n]
    if {[settingOf $text $name] ne $value} {
        if {$text ne "" && [string index $text end] ne "\n"} { append text \n }
        append text [list set $name $value] \n
    }
    return $text
}

namespace eval ::kelda {
    # What createDataFiles changed in data files that were there already, by directory, so
    # that restoreDataFiles can put it back: the settings text before and the port claimed.
    variable adopted
    array set adopted {}
}

proc ::kelda::monitorHost {} {
    if {[info exists ::qz.kelda.monoamname] && ${::qz.kelda.monoamname} ne ""} {
        return ${::qz.kelda.monoamname}
    }
    return 127.0.0.1
}

# Takes over the data files an earlier instance in dir left (plain remove keeps them): its
# config.tcl now names the service just created, and a monitor port that no other instance
# uses or has claimed (its own, when that is still free of them). Everything else in the
# directory, and every other setting in config.tcl, stays.
proc ::kelda::adoptDataFiles {dir config} {
    variable adopted
    set before [readFile $config]
    set host [settingOf $before qz.kelda.monoamname]
    if {$host eq ""} { set host [monitorHost] }
    set port [settingOf $before qz.kelda.monoamport]
    set adopted($dir) [list $before ""]
    try {
        withClaimsLocked {
            set taken [concat [usedMonitorPorts $dir] [claimedPorts $dir]]
            if {![string is integer -strict $port] || $port in $taken} {
                set port [freeMonitorPort $host $taken]
            }
            set text [withSetting $before qz.servicename ${::qz.servicename}]
            set text [withSetting $text qz.kelda.monoamport $port]
            if {$text ne $before} { writeFile $config $text }
            if {[claim $port $dir]} { set adopted($dir) [list $before $port] }
        }
    } on error {message options} {
        catch {restoreDataFiles $dir}
        return -options $options $message
    }
}

# Makes the instance's data directory and its config.tcl; answers "exists" when the
# instance's files were there already (they are then taken over by adoptDataFiles).
proc createDataFiles {dir} {
    set manifest [file join $dir $::kelda::manifest]
    set config [file join $dir config.tcl]
    if {[file exists $config]} {
        ::kelda::adoptDataFiles $dir $config
        return exists
    }

    set made {}
    if {![file isdirectory $dir]} {
        file mkdir $dir
        lappend made directory
    }
    set host [::kelda::monitorHost]
    set port ""
    try {
        ::kelda::withClaimsLocked {
            set port [::kelda::freeMonitorPort $host \
                [concat [::kelda::usedMonitorPorts] [::kelda::claimedPorts]]]
            ::kelda::writeConfig $config $dir $host $port
            lappend made config.tcl
            ::kelda::claim $port $dir
        }
        set f [open $manifest w]
        puts $f $made
        close $f
    } on error {message options} {
        # What was made goes again, so that a failed create leaves nothing behind.
        file delete $manifest
        if {"config.tcl" in $made} {
            file delete $config
            ::kelda::unclaim $port $dir
        }
        if {"directory" in $made} { catch {file delete $dir} }
        return -options $options $message
    }
    return created
}

# Puts back the data files that createDataFiles took over in this process as they were
# before, and takes back the port claim it made for them.
proc restoreDataFiles {dir} {
    variable ::kelda::adopted
    if {![info exists adopted($dir)]} { return }
    lassign $adopted($dir) before port
    set config [file join $dir config.tcl]
    if {[::kelda::readFile $config] ne $before} { ::kelda::writeFile $config $before }
    ::kelda::unclaim $port $dir
    unset adopted($dir)
    return
}

# Deletes what createDataFiles made in dir, and dir itself when that leaves it empty and
# createDataFiles had made it, and takes back the instance's port claim.
proc deleteDataFiles {dir} {
    set manifest [file join $dir $::kelda::manifest]
    if {![file exists $manifest]} { return }
    set made [::kelda::readFile $manifest]
    set config [file join $dir config.tcl]
    if {"config.tcl" in $made && [file readable $config]} {
        ::kelda::unclaim [::kelda::settingOf [::kelda::readFile $config] qz.kelda.monoamport] $dir
    }
    foreach item $made {
        if {$item ne "directory"} { file delete [file join $dir $item] }
    }
    file delete $manifest
    set left [glob -nocomplain -tails -directory $dir * .*]
    set left [lsearch -all -inline -not -regexp $left {^\.\.?$}]
    if {"directory" in $made && [llength $left] == 0} { file delete $dir }
    return
}

# ---- the instances at a glance --------------------------------------------------------------

# instances: one line per listed instance with its data directory, service name, monitor
# address and whether the monitor answers right now. The monitors are asked all at once, so
# the whole table takes at most one timeout however many instances there are.
proc instances {} {
    package require http
    set dirs [::kelda::listedDirectories]
    if {[llength $dirs] == 0} {
        puts "No server instances are registered."
        return
    }
    set ::kelda::pending 0
    array unset ::kelda::answer
    set rows {}
    set i 0
    foreach dir $dirs {
        set service ""
        set host ""
        set port ""
        set config [file join $dir config.tcl]
        if {[file readable $config]} {
            set script [::kelda::readFile $config]
            set service [::kelda::settingOf $script qz.servicename]
            set host [::kelda::settingOf $script qz.kelda.monoamname]
            set port [::kelda::settingOf $script qz.kelda.monoamport]
        }
        if {$port eq ""} {
            set address -
            set ::kelda::answer($i) "no config.tcl"
        } else {
            if {$host eq ""} { set host 127.0.0.1 }
            set urlHost [expr {[string match *:* $host] ? "\[$host\]" : $host}]
            set address $host:$port
            if {[catch {
                http::geturl http://$urlHost:$port/ -query status -type text/plain \
                    -timeout 2000 -command [list ::kelda::monitorAnswered $i]
            }]} {
                set ::kelda::answer($i) down
            } else {
                incr ::kelda::pending
            }
        }
        lappend rows [list $dir [expr {$service eq "" ? "-" : $service}] $address]
        incr i
    }
    while {$::kelda::pending > 0} { vwait ::kelda::pending }

    set table [list [list "DATA DIRECTORY" SERVICE MONITOR STATE]]
    set i 0
    foreach row $rows {
        lappend table [list {*}$row $::kelda::answer($i)]
        incr i
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

proc ::kelda::monitorAnswered {i token} {
    set status [http::status $token]
    if {$status eq "ok" && [string match 2* [http::ncode $token]]} {
        set ::kelda::answer($i) running
    } elseif {$status eq "ok"} {
        set ::kelda::answer($i) "answers [http::ncode $token]"
    } elseif {$status eq "timeout"} {
        set ::kelda::answer($i) "down (no answer)"
    } else {
        set ::kelda::answer($i) down
    }
    http::cleanup $token
    incr ::kelda::pending -1
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
