#include <direct.h>
#include <process.h>

#include <cerrno>

#include "qzsys.h"

namespace qz {
namespace sys {

bool makeDir(const std::string& path) {
  return _mkdir(path.c_str()) == 0 || errno == EEXIST;
}
int processId() {
  return _getpid();
}

}  // namespace sys
}  // namespace qz
