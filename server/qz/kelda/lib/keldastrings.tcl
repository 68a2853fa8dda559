# kelda's message catalogue: the text behind every message key the tool prints or reports.
# The texts live in msgcat's root locale, so they are found whatever the user's locale is;
# a translation goes in beside them with msgcat::mcset <locale>.
#
# Each text is printed through Tcl's puts inside double quotes: keep $, [, ] and " out of
# them unless a substitution is meant.

namespace eval ::kelda {}
set ::kelda::texts {
    createserver
        "Creating a new server instance..."
    createserversuccess
        "The server instance was created."
    createserverfailure
        "The server instance could not be created:"
    createserverdatadirs
        "The instance list (etc/datdirs.tcl under the product root) could not be written."
    nodatadirs
        "No server instances are registered (etc/datdirs.tcl under the product root is missing or damaged)."
    removeserver
        "Removing server instances..."
    removeserverprogress
        "Removing the server instance in:"
    removeserversuccess
        "Removal complete."
    removeserverfailure
        "The server instance could not be removed:"
    removeservernodatadirs
        "No server instances are registered (etc/datdirs.tcl under the product root is missing or damaged)."
    removeservernodir
        "That data directory does not exist or is not a registered server instance."
    start
        "Starting the server instance in:"
    startsuccess
        "The server instance is running."
    startfailure
        "The server instance could not be started:"
    stop
        "Stopping the server instance in:"
    stopsuccess
        "The server instance is stopped."
    stopfailure
        "The server instance could not be stopped:"
    status
        "Status of the server instance in:"
    statusfailure
        "The status of the server instance could not be read:"
    nomonavailable
        "This instance is not configured: its data directory holds no config.tcl (give the instance with -datdir DIR)."
    cannotfindmon
        "The instance's monitor did not answer. Is the instance started?"
    usage
        "A data directory and a service display name are both required."
    errorwinservman
        "The Windows Service Control Manager could not be opened (administrator rights are needed)."
    createservererrorwinuser
        "The account or password given for the service was not accepted."
    createservererrorwinexists
        "A Windows service of that name already exists."
    createservererrorwin
        "The Windows service could not be created. If a service of that name exists already, remove it or allow numbered names with qz.kelda.winservicecreatetries in etc/qz.tcl."
    createservererrorwinaddevhooks
        "The service was created, but its event log source could not be registered."
    removeservererrorwinopen
        "The instance's Windows service could not be found or opened."
    removeservererrorwindelete
        "The instance's Windows service could not be deleted."
    removeservererrorwindeleteevhooks
        "The service was deleted, but its event log source could not be removed."
    controlerrorwinopen
        "The instance's Windows service could not be found or opened."
    controlerrorwincontrol
        "The Windows service did not accept the request, or did not stop."
    starterrorwinopen
        "The instance's Windows service could not be found or opened."
    starterrorwinalreadystarted
        "The service is already running."
    starterrorwinstart
        "Windows refused to start the service."
    starterrorwinquery
        "The state of the service could not be read."
    starterrorwinfailure
        "The service did not reach the running state; see the instance's log."
    eventviewerregkey
        "The event log registry key could not be created."
    eventviewerregread
        "The event log registry key could not be read."
    listerrorwin
        "The Windows services could not be listed."
    listerrorwinopen
        "A Windows service could not be opened to read its configuration."
    listerrorwinquery
        "The configuration of a Windows service could not be read."
    eventviewregsetvalue
        "A value of the event log registry key could not be written."
    eventviewregdeletekey
        "The event log registry key could not be deleted."
}

# Loading msgcat and settling its locale costs more than the rest of the start-up, and a run
# that shows the usage text never looks a key up; so msgcat is loaded the first time one of its
# commands runs. Until then each of its commands is a stand-in that loads the package, which
# puts the texts above into its root locale, and then hands the call on.
# The module is looked for where Tcl's own library keeps it (beside init.tcl on Debian, in
# lib/tcl8/8.5 of a Windows product root), since the ordinary package search reads every
# directory on the module and package paths first. Where it is not there, or msgcat is known
# already, msgcat is required and filled at once.
apply {{} {
    set fill {apply {{} {
        foreach {name text} $::kelda::texts {
            msgcat::mcset {} qz.kelda.strings.$name $text
        }
    }}}
    set library [info library]
    set modules [concat [glob -nocomplain -directory [file join $library tcl8] msgcat-*.tm] \
        [glob -nocomplain -directory [file join [file dirname $library] tcl8 8.5] msgcat-*.tm]]
    if {$modules eq "" || [package versions msgcat] ne ""} {
        package require msgcat
        tailcall {*}$fill
    }
    foreach module $modules {
        set version [string range [file rootname [file tail $module]] 7 end]
        # The stand-ins go before the module comes in, so that a command it does not define
        # is missing rather than a stand-in calling itself.
        package ifneeded msgcat $version [list apply {{module fill} {
            foreach stub [info procs ::msgcat::*] { rename $stub {} }
            source -encoding utf-8 $module
            {*}$fill
        }} $module $fill]
    }
    namespace eval ::msgcat {}
    foreach command {mc mcexists mcload mclocale mcmax mcmset mcpreferences mcset mcunknown
                     mcflset mcflmset mcloadedlocales mcforgetpackage mcpackageconfig
                     mcpackagelocale} {
        proc ::msgcat::$command args "package require msgcat\ntailcall ::msgcat::$command {*}\$args"
    }
}}
