# kelda's looks for administrators and their scripts, sourced by kelda.tcl from beside it:
# check (the drift between the instance list, the data directories, the services, their
# event-log sources and the monitor ports, each finding with its mend), forget (the mend
# that takes one entry out of the list) and the JSON documents of check and instances.

# ---- JSON -----------------------------------------------------------------------------------
#
# The documents are ASCII: every other character is written as \uXXXX, so that they read the
# same whatever code page the console or a redirected file is in.

proc ::kelda::jsonText {text} {
    set out \"
    foreach c [split $text ""] {
        scan $c %c code
        if {$c eq "\"" || $c eq "\\"} {
            append out \\$c
        } elseif {$code >= 0x20 && $code < 0x7f} {
            append out $c
        } elseif {$code > 0xffff} {
            incr code -0x10000
            append out [format {\u%04x\u%04x} [expr {0xd800 + ($code >> 10)}] \
                [expr {0xdc00 + ($code & 0x3ff)}]]
        } else {
            append out [format {\u%04x} $code]
        }
    }
    append out \"
}

# A number as a JSON number, anything else as null.
proc ::kelda::jsonNumber {value} {
    expr {[string is integer -strict $value] ? [expr {$value}] : "null"}
}

# An object from name / JSON-value pairs, on one line.
proc ::kelda::jsonObject {members} {
    set parts {}
    foreach {name value} $members { lappend parts "[jsonText $name]: $value" }
    return "\{[join $parts {, }]\}"
}

# The whole document: an object whose members go one a line, and whose list members (given
# as Tcl lists of JSON values) have one element a line.
proc ::kelda::jsonDocument {members lists} {
    set parts {}
    foreach {name value} $members {
        if {$name in $lists} {
            set value [expr {[llength $value] == 0 ? "\[\]" :
                "\[\n    [join $value ",\n    "]\n  \]"}]
        }
        lappend parts "  [jsonText $name]: $value"
    }
    return "\{\n[join $parts ",\n"]\n\}"
}

# True when the command being run asks for its document (the welcome text stays silent).
proc ::kelda::documentWanted {} {
    if {![info exists ::qz.kelda.command] ||
            [catch {lrange ${::qz.kelda.command} 0 end} words]} { return 0 }
    expr {[lindex $words 0] in {instances check} && "-json" in [lrange $words 1 end]}
}

# ---- what the files say ---------------------------------------------------------------------

# A path as Windows compares it: slashes for backslashes, one slash where there were several,
# none at the end, ASCII letters folded.
proc ::kelda::spelling {path} {
    set path [string map {\\ /} $path]
    set lead [expr {[string match //* $path] ? "/" : ""}]
    regsub -all {/+} $path / path
    if {[string length $path] > 1} { set path [string trimright $path /] }
    string tolower $lead$path
}

# The words of a service's command line by the Windows rules that kelda's own lines need:
# a word in double quotes, or a run without blanks.
proc ::kelda::commandWords {line} {
    lmap w [regexp -all -inline {"[^"]*"|[^\s"]+} $line] { string trim $w \" }
}

# The monitor program and the data directory that a service's command line names ("" for
# what it does not name).
proc ::kelda::serviceTarget {line} {
    set words [commandWords $line]
    set at [lsearch -exact $words -datdir]
    list [lindex $words 0] [expr {$at < 0 ? "" : [lindex $words $at+1]}]
}

# True when program names this root's monitor (with or without its .exe).
proc ::kelda::isOurMonitor {program} {
    set ours [spelling [file join ${::qz.rootdir} bin mon]]
    set program [spelling $program]
    expr {$program eq $ours || $program eq "$ours.exe"}
}

# The instance list: its directories, or an error saying why it does not load.
proc ::kelda::loadList {path} {
    withChild child {
        $child eval [readFile $path]
        if {![$child eval {info exists qz.instances}]} { error "it does not set qz.instances" }
        set dirs [$child eval {set qz.instances}]
        llength $dirs
        return $dirs
    }
}

# What an instance's config.tcl says, as a dict: status (ok, nodir, missing or broken, with
# error), service, host and port.
proc ::kelda::readConfig {dir} {
    set facts [dict create status ok error "" service "" host "" port ""]
    set config [file join $dir config.tcl]
    if {![file isdirectory $dir]} { return [dict set facts status nodir] }
    if {![file readable $config]} { return [dict set facts status missing] }
    withChild child {
        if {[catch {$child eval [readFile $config]} error]} {
            return [dict replace $facts status broken error $error]
        }
        foreach {key name} {service qz.servicename host qz.kelda.monoamname
                port qz.kelda.monoamport} {
            if {[$child eval [list info exists $name]]} {
                dict set facts $key [$child eval [list set $name]]
            }
        }
    }
    return $facts
}

# Asks the monitors at once, each target a {host port} pair or {} for an instance without a
# monitor address; answers one word a target, as instances shows them. The whole look takes
# at most one timeout however many there are: qz.kelda.probetimeout milliseconds, 2000 unless
# it is set to a whole number from 1 up.
proc ::kelda::probeMonitors {targets} {
    package require http
    set timeout 2000
    if {[info exists ::qz.kelda.probetimeout]} {
        set ms ${::qz.kelda.probetimeout}
        if {[regexp {^[1-9][0-9]{0,8}$} $ms]} { set timeout $ms }
    }
    set ::kelda::pending 0
    array unset ::kelda::answer
    set i 0
    foreach target $targets {
        lassign $target host port
        if {$port eq ""} {
            set ::kelda::answer($i) "no config.tcl"
        } else {
            if {$host eq ""} { set host 127.0.0.1 }
            set urlHost [expr {[string match *:* $host] ? "\[$host\]" : $host}]
            if {[catch {
                http::geturl http://$urlHost:$port/ -query status -type text/plain \
                    -timeout $timeout -command [list ::kelda::monitorAnswered $i]
            }]} {
                set ::kelda::answer($i) down
            } else {
                incr ::kelda::pending
            }
        }
        incr i
    }
    while {$::kelda::pending > 0} { vwait ::kelda::pending }
    set answers {}
    for {set j 0} {$j < $i} {incr j} { lappend answers $::kelda::answer($j) }
    return $answers
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

# True when something on this machine listens on host:port now.
proc ::kelda::portListened {host port} {
    if {$host eq ""} { set host 127.0.0.1 }
    if {[catch {socket -server {apply {args {}}} -myaddr $host $port} listener]} { return 1 }
    close $listener
    return 0
}

# ---- check ----------------------------------------------------------------------------------

# A word of a mend as the administrator types it.
proc ::kelda::quoted {word} { return "\"$word\"" }

# The command that deletes a service: the system's own on Windows, the stand-in's files
# elsewhere.
proc ::kelda::deleteServiceMend {name} {
    if {$::tcl_platform(platform) eq "windows"} { return "sc delete [quoted $name]" }
    set dir ${::qz.kelda.scmdir}
    set file [string tolower $name]
    return "rm -f [quoted $dir/services/$file] [quoted $dir/status/$file]"
}

proc ::kelda::deleteFileMend {path} {
    if {$::tcl_platform(platform) eq "windows"} {
        return "del [quoted [file nativename $path]]"
    }
    return "rm [quoted $path]"
}

proc ::kelda::finding {code subject text mend} {
    lappend ::kelda::findings [dict create code $code subject $subject text $text mend $mend]
}

# Ends check: the findings, then the summary, in text or as the document; exit status 0
# clean, 1 drifted, 255 could not look.
proc ::kelda::checkReport {json looked counts} {
    set findings $::kelda::findings
    set result [expr {!$looked ? "failed" : [llength $findings] > 0 ? "drift" : "clean"}]
    lassign $counts instances services
    if {$json} {
        set rows [lmap f $findings {
            jsonObject [list code [jsonText [dict get $f code]] \
                subject [jsonText [dict get $f subject]] text [jsonText [dict get $f text]] \
                mend [jsonText [dict get $f mend]]]
        }]
        puts [jsonDocument [list root [jsonText ${::qz.rootdir}] result [jsonText $result] \
            instances [jsonNumber $instances] services [jsonNumber $services] \
            findings $rows] findings]
    } else {
        foreach f $findings {
            puts "[dict get $f code]: [dict get $f subject]: [dict get $f text]\
                Mend: [dict get $f mend]"
        }
        set n [llength $findings]
        set seen "$instances instance[expr {$instances == 1 ? "" : "s"}],\
            $services service[expr {$services == 1 ? "" : "s"}] of this product root"
        if {!$looked} {
            puts "kelda check: could not look."
        } elseif {$n == 0} {
            puts "kelda check: no drift found ($seen)."
        } else {
            puts "kelda check: $n finding[expr {$n == 1 ? "" : "s"}] ($seen)."
        }
    }
    keldaExit [expr {$result eq "clean" ? 0 : $result eq "drift" ? 1 : 255}]
}

# check ?DIR? ?-json?: reads the instance list, every listed instance's files, the services
# and event-log sources and the monitor ports, changes nothing, and reports each drift it
# finds with what to type to mend it. With DIR, only that instance.
proc check {args} {
    set json [expr {"-json" in $args}]
    set rest [lsearch -all -inline -not -exact $args -json]
    if {[llength $rest] > 1} { error "check takes one data directory at most" }
    set only [lindex $rest 0]
    set ::kelda::findings {}
    set root ${::qz.rootdir}

    set listPath [file join $root etc datdirs.tcl]
    set dirs {}
    if {[file exists $listPath] && [catch {::kelda::loadList $listPath} dirs]} {
        ::kelda::finding list-broken $listPath "the instance list does not load: $dirs" \
            "correct it, or restore it from a backup"
        ::kelda::checkReport $json 0 {0 0}
    }
    if {[catch {qzServices} error]} {
        ::kelda::finding services-unreadable services \
            "the services cannot be listed: $error" "run kelda as an administrator"
        ::kelda::checkReport $json 0 [list [llength $dirs] 0]
    }

    # The services by their names (which the manager compares without case), and those that
    # run this root's monitor.
    set services [dict create]
    set ours {}
    foreach row ${::qz.kelda.services} {
        lassign $row name display state line
        lassign [::kelda::serviceTarget $line] program datadir
        set facts [dict create name $name display $display state $state line $line \
            program $program datadir $datadir]
        dict set services [string tolower $name] $facts
        if {[::kelda::isOurMonitor $program]} { lappend ours [string tolower $name] }
    }

    if {$only ne ""} {
        set wanted [::kelda::spelling $only]
        set picked [lsearch -all -inline -exact [lmap d $dirs {::kelda::spelling $d}] $wanted]
        if {[llength $picked] == 0} {
            ::kelda::finding not-listed $only "this data directory is not a listed instance" \
                "kelda instances lists them; kelda create [::kelda::quoted $only] NAME adds it"
            ::kelda::checkReport $json 0 [list [llength $dirs] [llength $ours]]
        }
    }

    # Each listed instance: the first entry of a spelling stands for it; later ones are drift.
    set seen [dict create]
    set checked {}
    foreach dir $dirs {
        set key [::kelda::spelling $dir]
        if {[dict exists $seen $key]} {
            if {$only eq "" || $key eq $wanted} {
                ::kelda::finding listed-twice $dir \
                    "listed again as [dict get $seen $key], which Windows takes as the same\
                    directory" "kelda forget [::kelda::quoted $dir]"
            }
            continue
        }
        dict set seen $key $dir
        lappend checked $dir [::kelda::readConfig $dir]
    }

    set named {}
    set unreadable {}
    set ports [dict create]
    set probes {}
    set claimed {}
    foreach {dir facts} $checked {
        set mine [expr {$only eq "" || [::kelda::spelling $dir] eq $wanted}]
        set q [::kelda::quoted $dir]
        switch [dict get $facts status] {
            nodir {
                lappend unreadable [::kelda::spelling $dir]
                if {$mine} {
                    ::kelda::finding datadir-missing $dir "the data directory is not there" \
                        "kelda forget $q (or restore the directory from a backup)"
                }
                continue
            }
            missing - broken {
                lappend unreadable [::kelda::spelling $dir]
                if {$mine && [dict get $facts status] eq "missing"} {
                    ::kelda::finding config-missing $dir "config.tcl is not there" \
                        "kelda forget $q (or restore config.tcl from a backup)"
                } elseif {$mine} {
                    ::kelda::finding config-broken $dir \
                        "config.tcl does not load: [dict get $facts error]" \
                        "correct [file join $dir config.tcl] (or restore it from a backup)"
                }
                continue
            }
        }
        set name [dict get $facts service]
        set host [dict get $facts host]
        if {$host eq ""} { set host 127.0.0.1 }
        set port [dict get $facts port]
        if {$port ne ""} {
            lappend claimed [list [::kelda::spelling $dir] $port]
            dict lappend ports $port $dir
        }
        if {$name ne ""} { lappend named [string tolower $name] }
        if {!$mine} { continue }

        set service {}
        if {$name eq ""} {
            ::kelda::finding service-unnamed $dir "config.tcl names no service" \
                "kelda forget $q; kelda create $q NAME"
        } elseif {![dict exists $services [string tolower $name]]} {
            ::kelda::finding service-missing $dir "its service $name does not exist" \
                "kelda forget $q; kelda create $q NAME"
        } else {
            set service [dict get $services [string tolower $name]]
            set again "kelda remove $q; kelda create $q\
                [::kelda::quoted [dict get $service display]]"
            if {![::kelda::isOurMonitor [dict get $service program]]} {
                ::kelda::finding service-other-root $dir \
                    "its service $name runs [dict get $service program], not this root's\
                    monitor" $again
            } elseif {[::kelda::spelling [dict get $service datadir]] ne
                    [::kelda::spelling $dir]} {
                ::kelda::finding service-other-datadir $dir \
                    "its service $name serves another data directory,\
                    [dict get $service datadir]" \
                    "kelda forget $q; kelda create $q NAME"
            } else {
                if {[catch {qzEventSource $name} error]} {
                    ::kelda::finding eventsource-unreadable $dir \
                        "the event-log source of $name cannot be read: $error" \
                        "run kelda as an administrator"
                } elseif {[llength ${::qz.kelda.eventsource}] == 0} {
                    ::kelda::finding eventsource-missing $dir \
                        "its service $name has no event-log source" $again
                } elseif {[::kelda::spelling [lindex ${::qz.kelda.eventsource} 0]] ne
                        [::kelda::spelling [file join $root bin qzerrors.dll]]} {
                    ::kelda::finding eventsource-other-file $dir \
                        "the event-log source of $name names\
                        [lindex ${::qz.kelda.eventsource} 0], not this root's bin/qzerrors.dll" \
                        $again
                }
            }
        }
        if {$port eq ""} {
            ::kelda::finding port-unset $dir "config.tcl names no monitor port" \
                "kelda remove $q; kelda create $q NAME"
        } elseif {$service ne "" && [dict get $service state] eq "running"} {
            lappend probes [list $dir $host $port]
        } elseif {$service ne "" && [dict get $service state] eq "stopped" &&
                [::kelda::portListened $host $port]} {
            ::kelda::finding port-taken $dir \
                "another program listens on its monitor port $port while it is stopped" \
                "set qz.kelda.monoamport [::kelda::freeMonitorPort $host [dict keys $ports]]\
                in [file join $dir config.tcl] (or stop the program that listens there)"
        }
    }

    # Two instances on one port: the later ones in the list are told to move.
    dict for {port users} $ports {
        foreach dir [lrange $users 1 end] {
            if {$only ne "" && [::kelda::spelling $dir] ne $wanted} { continue }
            ::kelda::finding port-shared $dir \
                "its monitor port $port is also [lindex $users 0]'s" \
                "set qz.kelda.monoamport [::kelda::freeMonitorPort 127.0.0.1\
                    [dict keys $ports]] in [file join $dir config.tcl]"
        }
    }

    # The running services' monitors, all asked at once.
    set answers [::kelda::probeMonitors [lmap p $probes { lrange $p 1 2 }]]
    foreach p $probes answer $answers {
        if {$answer ne "running"} {
            set dir [lindex $p 0]
            ::kelda::finding monitor-silent $dir \
                "its service runs but its monitor at [lindex $p 1]:[lindex $p 2] is $answer" \
                "kelda -datdir [::kelda::quoted $dir] restart"
        }
    }

    if {$only eq ""} {
        # Port claims that no listed instance holds.
        foreach claim [lsort [glob -nocomplain -directory [::kelda::claimsDir] {[0-9]*}]] {
            set port [file tail $claim]
            if {[catch {string trim [::kelda::readFile $claim]} owner]} { continue }
            # An instance whose files cannot be read has that finding; its claim is its own.
            set key [::kelda::spelling $owner]
            if {[list $key $port] ni $claimed && $key ni $unreadable} {
                ::kelda::finding claim-stale $claim \
                    "the claim of port $port by $owner is held by no listed instance" \
                    [::kelda::deleteFileMend $claim]
            }
        }
        # Services of this root that no listed instance names.
        foreach key $ours {
            set service [dict get $services $key]
            if {$key in $named ||
                    [::kelda::spelling [dict get $service datadir]] in $unreadable} { continue }
            set name [dict get $service name]
            ::kelda::finding service-orphan $name \
                "runs this root's monitor for [dict get $service datadir], which no listed\
                instance names" "[::kelda::deleteServiceMend $name] (or list its data\
                directory again with a new service: kelda create\
                [::kelda::quoted [dict get $service datadir]]\
                [::kelda::quoted [dict get $service display]])"
        }
    }
    ::kelda::checkReport $json 1 [list [expr {[llength $checked] / 2}] [llength $ours]]
}

# ---- forget ---------------------------------------------------------------------------------

# forget DIR: takes DIR's entry (the last one written so, else the last that Windows takes as
# the same directory) out of the instance list and changes nothing else: its service, its
# data files and its port claim stay. The mend for an entry whose instance is gone.
proc forget {dir} {
    set path [file join ${::qz.rootdir} etc datdirs.tcl]
    if {![file exists $path] || [catch {::kelda::loadList $path} dirs]} {
        puts "The instance list ($path) is missing or does not load."
        keldaExit 255
    }
    set at [lsearch -exact -all $dirs $dir]
    if {[llength $at] == 0} {
        set at [lsearch -exact -all [lmap d $dirs {::kelda::spelling $d}] \
            [::kelda::spelling $dir]]
    }
    if {[llength $at] == 0} {
        puts "$dir is not in the instance list."
        keldaExit 255
    }
    set dirs [lreplace $dirs [lindex $at end] [lindex $at end]]
    if {[llength $dirs] == 0} {
        file delete $path
    } else {
        set line "set qz.instances \[list [join [lmap d $dirs { string cat "{$d} " }] ""]\]"
        set f [open $path.tmp w]
        fconfigure $f -encoding utf-8
        puts -nonewline $f $line
        close $f
        file rename -force $path.tmp $path
    }
    puts "Took $dir out of the instance list; its service and data files are as they were."
}
