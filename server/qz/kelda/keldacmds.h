// The administration commands that kelda exports to Tcl. Each takes the Tcl words (argv[0] is
// the command name) and returns 0; a failure the command reports itself ends the process.
#pragma once

int createCmd(int argc, const char** argv);
int qzRemoveServiceCmd(int argc, const char** argv);
int startCmd(int argc, const char** argv);
int stopCmd(int argc, const char** argv);
int statusCmd(int argc, const char** argv);
int cmdCmd(int argc, const char** argv);

// The read-only looks of check and instances: qzServices, qzEventSource NAME, and
// keldaExit STATUS to end with the status a script chose.
int servicesCmd(int argc, const char** argv);
int eventSourceCmd(int argc, const char** argv);
[[noreturn]] int exitCmd(int argc, const char** argv);

// The tool's entry: everything main does (keldamain.cpp); answers the exit status.
int keldaMain(int argc, char** argv);

// Ends the process after a command has reported its failure (create, remove, status, cmd).
[[noreturn]] void keldaExit(int status);
