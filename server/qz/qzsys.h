// Internal: the few operating-system calls the framework makes outside Tcl and the network.
#pragma once

#include <string>

namespace qz {
namespace sys {

// Creates a directory; true when it exists afterwards.
bool makeDir(const std::string& path);
int processId();

}  // namespace sys
}  // namespace qz
