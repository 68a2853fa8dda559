// The administration commands that kelda exports to Tcl. Each takes the Tcl words (argv[0] is
// the command name) and returns 0; a failure the command reports itself ends the process.
#pragma once

int createCmd(int argc, const char** argv);
int qzRemoveServiceCmd(int argc, const char** argv);
int startCmd(int argc, const char** argv);
int stopCmd(int argc, const char** argv);
int statusCmd(int argc, const char** argv);
int cmdCmd(int argc, const char** argv);
