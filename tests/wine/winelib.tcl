# Shared set-up of the Wine test files. Each is run as
#   tclsh FILE.test -root INSTALLED_WINDOWS_ROOT -winerun WINE_RUN [-wineprefix DIR]
# WINE_RUN is scripts/wine-run. The root is copied into a scratch directory first, since the
# tests write its etc/; ::root is the copy, ::scratch the directory.

package require tcltest 2
namespace import ::tcltest::*

set installed ""
set wineRun ""
set winePrefix ""
set rest {}
for {set i 0} {$i < [llength $argv]} {incr i} {
    switch -- [lindex $argv $i] {
        -root { set installed [file normalize [lindex $argv [incr i]]] }
        -winerun { set wineRun [file normalize [lindex $argv [incr i]]] }
        -wineprefix { set winePrefix [file normalize [lindex $argv [incr i]]] }
        default { lappend rest [lindex $argv $i] }
    }
}
if {$installed eq "" || $wineRun eq ""} {
    error "usage: tclsh [file tail [info script]] -root ROOT -winerun WINE_RUN\
        \[-wineprefix DIR\]"
}
set ::argv $rest
::tcltest::configure {*}$rest

# Names on the Unix side are UTF-8, for this script's own file names and for Wine, which reads
# Unix names in its locale's character set (under LC_ALL=C it cannot open a non-ASCII path).
encoding system utf-8
set ::env(LC_ALL) C.UTF-8

set scratch /tmp/kelda-wine-[file rootname [file tail [info script]]]-[pid]
file delete -force $scratch
file mkdir $scratch
set root $scratch/root
file copy $installed $root
foreach name [array names ::env QZ_*] { unset ::env($name) }

proc writeFile {path text} {
    file mkdir [file dirname $path]
    set f [open $path w]
    puts -nonewline $f $text
    close $f
}

proc readFile {path} {
    set f [open $path rb]
    set text [read $f]
    close $f
    return $text
}

# Runs a Windows program under Wine, standard output a pipe, standard error to a file.
# Answers a list: the exit status as a shell sees it, standard output's bytes, standard
# error's bytes.
proc wineRun {program args} {
    set command [list $::wineRun]
    if {$::winePrefix ne ""} { lappend command --default-prefix $::winePrefix }
    lappend command $program {*}$args
    set errFile $::scratch/stderr.txt
    set chan [open |[list {*}$command 2> $errFile] r]
    fconfigure $chan -translation binary
    set out [read $chan]
    set status 0
    if {[catch {close $chan} message options]} {
        set code [dict get $options -errorcode]
        if {[lindex $code 0] ne "CHILDSTATUS"} { return -options $options $message }
        set status [lindex $code 2]
    }
    list $status $out [readFile $errFile]
}

# Ends a test file: the exit status says whether every test ran and passed.
proc finishWine {} {
    set failed $::tcltest::numTests(Failed)
    set total $::tcltest::numTests(Total)
    cleanupTests
    file delete -force $::scratch
    exit [expr {$total == 0 || $failed > 0}]
}
