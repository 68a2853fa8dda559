# kelda's data-file procedures (createDataFiles, restoreDataFiles, deleteDataFiles and their
# helpers), sourced by kelda.tcl from beside it.

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

# Runs body in the caller with the variable named by childVar holding a new safe
# interpreter, which is deleted however body ends; a return in body returns from the caller.
proc ::kelda::withChild {childVar body} {
    upvar 1 $childVar child
    set child [interp create -safe]
    catch {uplevel 1 $body} result options
    interp delete $child
    dict incr options -level
    return -options $options $result
}

# Evaluates a settings script in a throw-away interpreter and answers the value of one of
# its variables ("" when the script fails or does not set it).
proc ::kelda::settingOf {script name} {
    withChild child {
        if {[catch {$child eval $script}]} { return "" }
        if {![$child eval [list info exists $name]]} { return "" }
        return [$child eval [list set $name]]
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

# A directory as the list would hold it, for telling whether two name the same instance: by
# the list's rule, ASCII letters fold and no other letter does (DONNÉES is not données).
proc ::kelda::sameDirectory {a b} {
    set ascii {A a B b C c D d E e F f G g H h I i J j K k L l M m N n O o P p Q q R r S s T t
        U u V v W w X x Y y Z z}
    string equal [string map $ascii [file normalize $a]] [string map $ascii [file normalize $b]]
}

# The monitor ports that the listed instances other than the one in except use. One
# throw-away interpreter reads every config.tcl: making one per file would make each create
# slower as the list grows.
proc ::kelda::usedMonitorPorts {{except ""}} {
    set ports {}
    withChild child {
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
