// The instance registry: the list of instances in the Tcl variable qz.instances, its
// persisted form ROOT/etc/datdirs.tcl, and the walk that runs a command for every instance.
// The list lives only in the interpreter; every operation is Tcl text evaluated there.
#pragma once

#include <string>

#include "qz.h"

// A data directory as the list holds it: every backslash a slash. Its entry key is that,
// lower-cased (lowerAscii).
inline std::string normaliseDatadir(std::string directory) {
  return qz::forwardSlashes(std::move(directory));
}
using qz::lowerAscii;

// The characters a data directory may not hold: the list operations are Tcl texts that put
// a directory between double quotes or braces, and find matches it as a glob pattern.
extern const char kCharsNotAllowedInDatadir[];
// Throws (a qz::X whose text names the characters) when directory holds one of them.
void refuseDatadirCharsNotAllowed(const std::string& directory);

// Number of entries in qz.instances (read back through the scratch variable keldatmp).
int instanceCount();
// The entry at index; "" past the end.
std::string instanceAt(int index);
// True when the process can make path its current directory; the current directory is
// the same afterwards.
bool directoryExists(std::string path);

// Rewrites ROOT/etc/datdirs.tcl from qz.instances; Xkelda createserverdatadirs when the file
// cannot be written in full or may not be written (it is then left as it was). A list file
// that is a symbolic link is written through to its target.
void writeDatdirs();
// Deletes the list file (the target of a link, leaving the link); a missing file is no error.
void deleteDatdirs();

// Loads the persisted list into qz.instances: Xtcl when datdirs.tcl is missing, fails, or
// does not set the list (an empty file, for one).
void loadDatdirs();

// Evaluates the instance's config.tcl; a failure is logged ("... problems <doing> the
// server.") and the caller carries on.
void loadInstanceConfig(const std::string& datdir, const char* doing);

// Loads the persisted list and, for every entry in order, makes it the current instance
// (qz.datdir, its config.tcl) and evaluates command. Xkelda nodatadirs when there is no list.
void applyCmdToAllServers(std::string command);
