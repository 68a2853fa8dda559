// Service processes of the POSIX stand-in: the Windows command-line rules and the detached
// start with its restart supervisor.
#pragma once

#include <string>
#include <vector>

#include "qzscm.h"
#include "svcplatform.h"

namespace winsvc {

// Splits a command line as Windows programs do: blanks separate words outside double quotes;
// 2n backslashes before a quote give n backslashes and the quote opens or closes; 2n+1 give
// n backslashes and a literal quote; other backslashes stand for themselves.
std::vector<std::string> splitCommandLine(const std::string& line);

// Starts the command line detached from this process, in its own session beside its
// supervisor, and answers the service's process id, or 0 with errno set. Call under the lock.
int spawnDetached(const std::vector<std::string>& words, const std::string& dir,
                  const std::string& name);

// Calls off the restart that a failed service's supervisor waits to make. Call under the lock.
void cancelRestart(const std::string& dir, const std::string& name, qz::scm::Status& s);

}  // namespace winsvc
