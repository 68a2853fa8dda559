# The monitor of one server instance. It answers administration requests over HTTP/1.1 on
# qz.kelda.monoamname:qz.kelda.monoamport (from the instance's config.tcl): a request is a
# POST whose body is the request text, the answer is the response body.
#
# Requests come from a fixed table and are never evaluated as Tcl. A request the monitor cannot
# take (unknown, empty or too large) is answered (status 200) with a text that begins "error:",
# so that an administrator sees what was wrong; a request that is not a proper POST gets a 4xx
# answer.

namespace eval ::mon {
    variable started [clock seconds]
    variable served 0
    # A request larger than this is refused, as is a request head larger than maxHead; a
    # connection is closed this long after it was accepted.
    variable maxRequest 65536
    variable maxHead 8192
    variable idleMs 10000
    # Connections held at once. Tcl's event loop waits with select, which cannot watch a
    # descriptor above 1023 (the process aborts): past this bound a new connection is closed
    # as soon as it is accepted, before the event loop ever watches it.
    variable maxConnections 900
    variable host 127.0.0.1
    variable port ""

    # The requests the monitor knows: name -> {procedure description}.
    variable requests {
        help    {::mon::help    "lists the requests this monitor answers"}
        status  {::mon::status  "the instance's state as a key/value list"}
        version {::mon::version "the monitor's version"}
        uptime  {::mon::uptime  "seconds since the monitor started"}
        ping    {::mon::ping    "answers pong"}
    }
}

proc ::mon::setting {name default} {
    if {[info exists ::$name] && [set ::$name] ne ""} { return [set ::$name] }
    return $default
}

# ---- the requests ---------------------------------------------------------------------------

proc ::mon::help {} {
    variable requests
    set lines {}
    foreach {name entry} $requests {
        lappend lines [format "%-8s %s" $name [lindex $entry 1]]
    }
    join $lines \n
}

proc ::mon::status {} {
    variable started
    variable served
    variable host
    variable port
    list state running \
        service [setting qz.servicename -] \
        datadir [setting qz.datdir -] \
        pid [pid] \
        address $host:$port \
        started [clock format $started -format "%Y-%m-%d %H:%M:%S"] \
        uptime [expr {[clock seconds] - $started}] \
        version [setting qz.mon.version -] \
        requests $served
}

proc ::mon::version {} { setting qz.mon.version - }
proc ::mon::uptime {} { expr {[clock seconds] - $::mon::started} }
proc ::mon::ping {} { return pong }

# Answers the request text: 200 and the request's answer, or 200 and an error text.
proc ::mon::answer {text} {
    variable requests
    set name [string tolower [string trim $text]]
    if {![dict exists $requests $name]} {
        set shown [string range [string trim $text] 0 79]
        return [list 200 "error: unknown request \"$shown\" (send \"help\" for the list)"]
    }
    incr ::mon::served
    list 200 [[lindex [dict get $requests $name] 0]]
}

# ---- HTTP -----------------------------------------------------------------------------------

proc ::mon::accept {chan clientHost clientPort} {
    variable idleMs
    variable conn
    variable maxConnections
    if {[array size conn] >= $maxConnections} {
        catch {close $chan}
        return
    }
    fconfigure $chan -blocking 0 -translation binary -buffering full
    set conn($chan) [dict create data "" timer [after $idleMs [list ::mon::drop $chan]]]
    fileevent $chan readable [list ::mon::readable $chan]
}

proc ::mon::drop {chan} {
    variable conn
    if {[info exists conn($chan)]} {
        after cancel [dict get $conn($chan) timer]
        unset conn($chan)
    }
    catch {close $chan}
}

proc ::mon::readable {chan} {
    variable conn
    variable maxRequest
    variable maxHead
    if {[catch {read $chan} chunk] || ([eof $chan] && $chunk eq "")} {
        # The client went away before its request was whole.
        drop $chan
        return
    }
    dict append conn($chan) data $chunk
    set data [dict get $conn($chan) data]
    set end [string first "\r\n\r\n" $data]
    if {$end < 0} {
        if {[string length $data] > $maxHead} {
            respond $chan 400 "request head too large"
        }
        return
    }
    set head [split [string range $data 0 [expr {$end - 1}]] \n]
    set body [string range $data [expr {$end + 4}] end]
    lassign [split [string trim [lindex $head 0]]] method target protocol
    if {![string match HTTP/1.* $protocol]} {
        respond $chan 400 "not an HTTP/1 request"
        return
    }
    set length ""
    foreach line [lrange $head 1 end] {
        set colon [string first : $line]
        if {$colon < 0} { continue }
        set field [string tolower [string trim [string range $line 0 [expr {$colon - 1}]]]]
        set value [string trim [string range $line [expr {$colon + 1}] end]]
        if {$field eq "content-length"} { set length $value }
        if {$field eq "transfer-encoding"} {
            respond $chan 411 "send the request with a Content-Length"
            return
        }
    }
    if {$method ne "POST"} {
        respond $chan 405 "send requests with POST"
        return
    }
    if {$length eq "" || ![string is digit -strict $length]} {
        respond $chan 411 "send the request with a Content-Length"
        return
    }
    # What an administrator could have typed is answered as a request, so that the tool shows
    # what was wrong with it.
    set length [scan $length %lld]
    if {$length > $maxRequest} {
        respond $chan 200 "error: request too large ($length bytes; the monitor takes at most\
            $maxRequest)"
        return
    }
    if {[string length $body] < $length} { return }
    if {$length == 0} {
        respond $chan 200 "error: empty request (send \"help\" for the list)"
        return
    }
    lassign [answer [encoding convertfrom utf-8 [string range $body 0 [expr {$length - 1}]]]] \
        code text
    respond $chan $code $text
}

# Reads and discards what the client still sends after its answer, until it closes: closing a
# socket with unread input resets the connection, and a reset can take the answer with it.
proc ::mon::discard {chan} {
    if {[catch {read $chan}] || [eof $chan]} {
        drop $chan
    }
}

proc ::mon::respond {chan code text} {
    set reasons {200 OK 400 {Bad Request} 405 {Method Not Allowed} 411 {Length Required}}
    set body [encoding convertto utf-8 $text]
    fileevent $chan readable [list ::mon::discard $chan]
    if {[catch {
        puts -nonewline $chan "HTTP/1.1 $code [dict get $reasons $code]\r\nContent-Type:\
            text/plain; charset=utf-8\r\nContent-Length: [string length $body]\r\nConnection:\
            close\r\n\r\n$body"
        # Written in the background, so a slow reader holds up nobody; closed when done.
        fileevent $chan writable [list ::mon::flushed $chan]
    }]} {
        drop $chan
    }
}

# Once the answer is out, the monitor ends its side; the client's close (or the connection's
# time running out) ends the rest.
proc ::mon::flushed {chan} {
    if {[catch {flush $chan}]} {
        drop $chan
    } elseif {[chan pending output $chan] == 0} {
        fileevent $chan writable {}
        if {[catch {close $chan write}]} { drop $chan }
    }
}

# ---- start ----------------------------------------------------------------------------------

set ::mon::host [::mon::setting qz.kelda.monoamname 127.0.0.1]
set ::mon::port [::mon::setting qz.kelda.monoamport ""]
set ::mon::maxConnections [::mon::setting qz.mon.maxconnections $::mon::maxConnections]
if {![string is digit -strict $::mon::maxConnections] ||
        [set ::mon::maxConnections [scan $::mon::maxConnections %lld]] < 1 ||
        $::mon::maxConnections > 900} {
    error "qz.mon.maxconnections must be a number from 1 to 900"
}
if {$::mon::port eq ""} {
    error "no monitor port: the instance's config.tcl sets none (qz.kelda.monoamport)"
}
set ::mon::listener [socket -server ::mon::accept -myaddr $::mon::host $::mon::port]
qz::serviceRunning $::mon::host:$::mon::port
vwait qz.mon.stop
close $::mon::listener
