#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "qzsys.h"

namespace qz {
namespace sys {

bool makeDir(const std::string& path) {
  return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}
int processId() {
  return static_cast<int>(getpid());
}

}  // namespace sys
}  // namespace qz
