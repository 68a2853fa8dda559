// The service glue against the POSIX service manager stand-in: the state goes into the
// service's status file, which the stand-in's status queries read.

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "qz.h"
#include "qzscm.h"
#include "qzservice.h"

namespace qz {
namespace service {
namespace {

// The service's name, which the stand-in passes in the environment of the process it starts.
const char* serviceName() {
  const char* name = std::getenv("QZ_SERVICE_NAME");
  return (name != nullptr && *name != '\0') ? name : nullptr;
}

void report(uint32_t state, uint32_t checkPoint, uint32_t waitHint, uint32_t failureCode) {
  const char* name = serviceName();
  if (!serviceRequested() || name == nullptr) return;
  std::string dir = scm::stateDir();
  scm::Lock lock(dir);
  if (!lock.ok()) return;  // the state cannot be reached: as a report that is lost
  scm::Status s;
  s.state = state;
  s.checkPoint = checkPoint;
  s.waitHint = waitHint;
  if (failureCode != 0) {
    s.exitCode = 1066;  // ERROR_SERVICE_SPECIFIC_ERROR
    s.serviceExitCode = failureCode;
  }
  s.pid = state == 1 ? 0 : static_cast<int>(getpid());
  scm::writeStatus(dir, name, s);
}

}  // namespace

void begin(void (*)()) {
  starting(1, 10000);
}

bool active() {
  return serviceRequested() && serviceName() != nullptr;
}
void starting(uint32_t checkPoint, uint32_t waitHintMs) {
  report(2, checkPoint, waitHintMs, 0);
}
void running() {
  report(4, 0, 0, 0);
}
void stopping(uint32_t checkPoint, uint32_t waitHintMs) {
  report(3, checkPoint, waitHintMs, 0);
}
void stopped(uint32_t failureCode) {
  report(1, 0, 0, failureCode);
}

bool reportEvent(EventType type, uint32_t messageId, const std::vector<std::string>& inserts) {
  if (!active()) return false;
  // One line per entry: source, type, event number, then the inserts, separated by tabs.
  std::string line = serviceName();
  line += type == EventType::error     ? "\terror"
          : type == EventType::warning ? "\twarning"
                                       : "\tinformation";
  line += "\t" + std::to_string(messageId & 0xFFFFu);
  for (std::string insert : inserts) {
    for (char& c : insert)
      if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    line += "\t" + insert;
  }
  line += "\n";
  std::string dir = scm::stateDir();
  scm::Lock lock(dir);
  if (!lock.ok()) return false;  // the state cannot be reached: the entry is lost
  return scm::appendToFile(dir + "/events", line);
}

}  // namespace service
}  // namespace qz
