# kelda's user-facing procedures. The tool calls displayWelcomeText before it runs a command
# and displayUsage when the command line is not one it can run; any procedure defined here
# can also be run as a command of its own.

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
  status [-v]
        Show the status reported by the current instance's monitor; -v shows every field.
        Example: kelda -datdir C:\Srv\A status -v
  cmd <request>
        Send a request to the current instance's monitor and print its answer. Quote a
        request of several words.
        Example: kelda -datdir C:\Srv\A cmd "help"

Options (before the command):
  -rootdir DIR    product root (default: the directory above kelda's own)
  -datdir DIR     data directory of the current instance
  -loglevel N     log levels 1..N are recorded (0: none)
  -logfile PATH   log file (default: <product root>/log/kelda.log)}
}
