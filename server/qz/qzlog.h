// Internal: how init configures the log.
#pragma once

#include <functional>
#include <string>

namespace qz {
namespace log {

// Records levels 1..level (0: none) into file, opened on first use; a file that cannot be
// opened turns logging off.
void configure(const std::string& file, int level);

// For tests that stand in for the operating system: called after the log opens its file and
// after each line it writes, where the system's file calls would have run. An empty function
// removes the observer.
void setFileObserver(std::function<void()> observer);

}  // namespace log
}  // namespace qz
