// Internal: how init configures the log.
#pragma once

#include <string>

namespace qz {
namespace log {

// Records levels 1..level (0: none) into file, opened on first use; a file that cannot be
// opened turns logging off.
void configure(const std::string& file, int level);

}  // namespace log
}  // namespace qz
