# tclsh FILE.test -root ROOT [-winerun WINE_RUN [-wineprefix DIR]] runs on a copy of ROOT in a
# scratch directory of its own, so files run side by side; -winerun runs Windows programs in Wine.
package require tcltest 2
namespace import ::tcltest::*
# Names on the Unix side are UTF-8 whatever the locale (Wine reads them in C.UTF-8 too).
encoding system utf-8
array set opt {-root "" -winerun "" -wineprefix ""}
set argv [concat {*}[lmap {o v} $argv {
    if {[info exists opt($o)]} { set opt($o) [file normalize $v]; continue } else { list $o $v }
}]]
::tcltest::configure {*}$argv
set wine [expr {$opt(-winerun) ne ""}]
set scratch /tmp/kelda-[file rootname [file tail $argv0]]-[pid]
# Under Wine the root's name is outside ASCII (within the ANSI code page 1252).
set root $scratch/[expr {$wine ? "prod\u00fcct" : "root"}]
set data $scratch/data
set scm $scratch/scm
# 100 free ports of the file's own, held by their last one; below the range clients are given.
proc claimBlock {p} {
    for {set last [expr {$p + 99}]} {$p <= $last} {incr p} {
        if {[catch {socket -server {apply {args {}}} -myaddr 127.0.0.1 $p} s]} { return 0 }
        if {$p < $last} { close $s }
    }
    return 1
}
set port [expr {20000 + [pid] % 127 * 100}]
while {![claimBlock $port]} { set port [expr {$port >= 32600 ? 20000 : $port + 100}] }
array unset env QZ_*
if {$wine} { set env(LC_ALL) C.UTF-8 } else { set env(QZ_SCM_DIR) $scm }
set runAs {}

proc writeFile {path text} {
    file mkdir [file dirname $path]
    set f [open $path wb]
    try { puts -nonewline $f $text } finally { close $f }
}
proc readFile {path} {
    set f [open $path rb]
    try { read $f } finally { close $f }
}
proc freshRoot {dir {settings ""}} {
    file delete -force $dir
    file copy $::opt(-root) $dir
    writeFile $dir/etc/qz.tcl "set qz.kelda.firstmonport $::port\n$settings"
}
file delete -force $scratch
file mkdir $scratch
freshRoot $root

# Runs a program; answers {status output}, the output decoded from UTF-8 with Unix line ends,
# or {status output stderr} when there was any. Under Wine every line must end CR LF.
proc run {args} {
    if {$::wine} {
        set args [list $::opt(-winerun) --default-prefix $::winePrefix {*}$args]
    } elseif {[info exists ::env(KELDA_VALGRIND)]} {
        set args [list valgrind -q --error-exitcode=99 --leak-check=full \
            --errors-for-leak-kinds=definite --log-file=$::scratch/valgrind.%p.txt {*}$args]
    }
    set chan [open |[list {*}$::runAs {*}$args 2> $::scratch/stderr.txt] r]
    fconfigure $chan -translation binary -blocking 0
    # Read in the event loop, so that the servers a test runs in this process keep serving.
    set ::output ""
    fileevent $chan readable [list apply {{chan} {
        append ::output [read $chan]
        if {[eof $chan]} { set ::done 1 }
    }} $chan]
    vwait ::done
    fconfigure $chan -blocking 1
    set status 0
    if {[catch {close $chan} - options]} { set status [lindex [dict get $options -errorcode] 2] }
    if {$::wine && [regexp {(^|[^\r])\n} $::output]} { return [list $status "bare LF: $::output"] }
    set out [encoding convertfrom utf-8 [string map {\r\n \n} $::output]]
    set err [readFile $::scratch/stderr.txt]
    expr {$err eq "" ? [list $status $out] : [list $status $out $err]}
}
proc kelda {args} {
    set bin $::root
    if {[lindex $args 0] eq "-bin"} { set args [lassign $args - bin] }
    run $bin/bin/kelda[expr {$::wine ? ".exe" : ""}] {*}$args
}
if {$wine} {
    # One Wine session for the whole file: each new one boots, starting every automatic service.
    set winePrefix [expr {$opt(-wineprefix) ne "" ?
        "$opt(-wineprefix)-[file rootname [file tail $argv0]]" : "$scratch/prefix"}]
    file delete -force $winePrefix
    run cmd.exe /c exit 0
    exec env WINEPREFIX=$winePrefix wineserver -p &
}

proc welcome {r} {
    return "kelda 7.0(0) - proxy server instance administration\nProduct root: $r\n\n"
}
set welcome [welcome [expr {$wine ? "Z:$root" : $root}]]
set configFailure "Cannot load server configuration.  There may be a syntax error in config.tcl\
or a variable may be set with an unacceptable value.\n"
set outsideCodePage "A name holds a character that this system's ANSI code page cannot represent:\
choose a data directory, display name, account and product root written in that code page."
set usage [lindex [kelda] 1]
# Comparisons with the usage text fail unless it is the tool's: 46 lines, 10 of them commands.
if {[regexp -all \n $usage] != 46 || [regexp -all -line {^  [a-z]} $usage] != 10} { set usage "" }
source $root/lib/kelda/keldastrings.tcl
proc msg {name} { msgcat::mc qz.kelda.strings.$name }
# The status, then the welcome and a line for each word; %key stands for that catalogue text.
proc says {status args} {
    list $status $::welcome[join [lmap w $args {
        expr {[string index $w 0] eq "%" ? [msg [string range $w 1 end]] : $w}
    }] \n]\n
}
# What create and remove print as they end; a remove of one directory names it first.
proc created {} { says 0 %createserver %createserversuccess }
proc createFails {why} { says 255 %createserver %createserverfailure $why }
proc removed {dir} { says 0 %removeserver %removeserverprogress $dir %removeserversuccess }
proc removeFails {why {dir ""}} {
    says 255 %removeserver {*}[if {$dir ne ""} { list %removeserverprogress $dir }] \
        %removeserverfailure $why
}
proc datdirs {{r ""}} {
    set f [expr {$r eq "" ? $::root : $r}]/etc/datdirs.tcl
    expr {[file exists $f] ? [encoding convertfrom utf-8 [readFile $f]] : "(none)"}
}
proc listed {args} {
    string cat "set qz.instances \[list " {*}[lmap d $args {string cat "{$d} "}] "\]"
}
# A setting as a plain interpreter reads it from a settings file ("" when unset or broken).
proc settingOf {file name} {
    set i [interp create]
    catch {$i eval [readFile $file]}
    try {
        expr {[$i eval info exists $name] ? [$i eval set $name] : ""}
    } finally { interp delete $i }
}
# {status {code subject ... summary}} of a check.
proc findings {args} {
    lassign [kelda check {*}$args] status out
    set found {}
    foreach line [split $out \n] {
        if {[regexp {^([a-z-]+): (\S+): } $line - code subject]} {
            lappend found $code $subject
        } elseif {[regexp {^kelda check: (no drift|\d+ findings?|could not look)} $line - s]} {
            lappend found $s
        }
    }
    list $status $found
}
# Whether the condition, an expression in the caller, held within a minute of polls.
proc waitUntil {condition} {
    set end [expr {[clock milliseconds] + 60000}]
    while {![set held [uplevel 1 [list expr $condition]]] && [clock milliseconds] < $end} {
        after 20 {set ::tick 1}
        vwait ::tick
    }
    return $held
}
# Under Wine: the monitor's pid for ::dir ("" when none); its service's state and exit codes;
# a key's values as {name {type data}} ..., less what is not ASCII (Wine's reg garbles it).
proc monitorPid {} {
    lindex [regexp -inline -line {^  Process id:\s+(\d+)$} \
        [lindex [kelda -datdir $::dir status -v] 1]] 1
}
proc sc {} {
    set out [lindex [run sc query qzproxyserver] 1]
    lmap {- n} [regexp -all -inline {(?:STATE|_EXIT_CODE)\D+(\d+)} $out] { set n }
}
proc reg {key} {
    set out [lindex [run reg query $key] 1]
    regsub -all {[^\n -~]} $out "" out
    concat {*}[lmap {- name type value} [regexp -all -inline -line \
        {^ +(\S+) +(REG_[A-Z_]+) *(.*?) *$} $out] { list $name [list $type $value] }]
}
proc finish {} {
    set failed $::tcltest::numTests(Failed)
    set total $::tcltest::numTests(Total)
    cleanupTests
    if {$::wine} { catch {exec env WINEPREFIX=$::winePrefix wineserver -k} }
    file delete -force $::scratch
    exit [expr {$total == 0 || $failed > 0}]
}
if {$wine} return

# The service manager stand-in's records by name, without those marked for deletion.
proc services {} {
    lsort [lmap name [glob -nocomplain -tails -directory $::scm/services *] {
        if {[string match *.tmp* $name] || [catch {readFile $::scm/services/$name} r] ||
            [regexp -line {^deleted=1$} $r]} continue
        set name
    }]
}
set sources $scm/registry/hklm/system/currentcontrolset/services/eventlog/application
proc eventSources {} { lsort [glob -nocomplain -tails -type d -directory $::sources *] }
# {name state pid supervisor} of every service.
proc serviceStates {} {
    lmap file [lsearch -all -inline -not [glob -nocomplain -directory $::scm/status *] *.tmp*] {
        if {[catch {readFile $file} text]} continue
        list [file tail $file] [lindex $text 0] [lindex $text 4] [lindex $text 6]
    }
}
# The processes with this file's stand-in in their environment (services, their supervisors).
proc standInProcesses {} {
    lmap f [glob -nocomplain /proc/\[0-9\]*/environ] {
        if {[catch {readFile $f} e] || "QZ_SCM_DIR=$::scm" ni [split $e \0]} continue
        lindex [file split $f] 2
    }
}
proc servicePid {name} {
    set s [lsearch -inline -index 0 [serviceStates] $name]
    expr {[lindex $s 1] == 4 ? [lindex $s 2] : 0}
}
# Answers the pid signalled; one of 0 or less would signal the test runner's process group.
proc signalService {signal name} {
    set pid [servicePid $name]
    if {$pid <= 0} { error "service $name has no process" }
    exec kill -$signal $pid
    return $pid
}
proc instances {args} { foreach n $args { kelda create $::data/$n $n } }
# The claim on the monitor port n above the first.
proc claim {n} { return $::root/etc/monports/[expr {$::port + $n}] }
# Kills the stand-in's processes (gone before it goes on), clears its state and the data.
proc tidy {{settings ""}} {
    set end [expr {[clock seconds] + 60}]
    while {[set pids [standInProcesses]] ne ""} {
        if {[clock seconds] > $end} { error "processes outlive SIGKILL: $pids" }
        catch {exec kill -KILL {*}$pids}
        after 20
    }
    file delete -force $::data $::root/etc $::scm
    file mkdir $::data
    writeFile $::root/etc/qz.tcl \
        "set qz.kelda.firstmonport $::port\nset qz.kelda.winservicecreatetries 9
set qz.kelda.probetimeout 60000\n$settings"
}
tidy
