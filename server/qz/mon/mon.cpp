// mon: the monitor host of a server instance. It starts the framework (which loads the
// instance's config.tcl), evaluates the monitor script (mon.tcl by default) and runs until
// the script ends: after SIGINT or SIGTERM, or a stop from the service manager.
//   mon [-service] [-datdir DIR] [options] [SCRIPT]

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "qz.h"
#include "qzevents.h"
#include "qzservice.h"

namespace {

using qz::service::EventType;

// Set once the script serves: a later failure is one of serving, not of starting.
bool serving = false;

// Writes an entry to the service's event log when the monitor runs as a service, and the
// outcome to the monitor's own log.
void writeEvent(EventType type, uint32_t id, const std::vector<std::string>& inserts) {
  if (!qz::service::active()) return;
  bool written = qz::service::reportEvent(type, id, inserts);
  if (qz::qzi_on(1)) {
    std::string text =
        qz::qzi_fmtlog(written ? "MON - Event %u written to the event log"
                               : "MON - Event %u could not be written to the event log",
                       static_cast<unsigned>(qz::event::number(id)));
    qz::qzi_log(1, 0, text.c_str(), "server/qz/mon/mon", __LINE__, 0);
  }
}

extern "C" void onSignal(int) {
  qz::raiseAsync();
}

// A stop from the service manager (Windows: on the dispatcher's thread).
void onServiceStop() {
  qz::raiseAsync();
}

// qz::serviceRunning ADDRESS: the script serves on ADDRESS (host:port); tell the service
// manager and the event log.
int serviceRunning(int argc, const char** argv) {
  serving = true;
  qz::service::running();
  writeEvent(EventType::information, qz::event::kMonStarted, {argc > 1 ? argv[1] : "?"});
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char** args = const_cast<const char**>(argv);
  std::string reason;
  try {
    qz::init(argc, args);
    // The script's event loop waits on qz.mon.stop, set after a signal or a service stop.
    qz::onAsyncSet("qz.mon.stop", [] { qz::service::stopping(1, 5000); });
    qz::service::begin(onServiceStop);
    qz::setVarStr("qz.mon.version", KELDA_VERSION "(" KELDA_VERSION_SECOND ")");
    qz::setVarStr("qz.mon.stop", "0");
    qz::exportProc("qz::serviceRunning", serviceRunning);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    qz::setScriptDir("lib/kelda");
    qz::evalFile(argc > 1 ? args[1] : "mon.tcl");
    writeEvent(EventType::information, qz::event::kMonStopped, {});
    qz::service::stopped(0);
    return 0;
  } catch (qz::X& x) {
    reason = x.errorText();
  } catch (...) {
    reason = "unexpected failure";
  }
  std::fprintf(stderr, "mon: %s\n", reason.c_str());
  // The service's failure code is the number of the event that says why.
  uint32_t failure = serving ? qz::event::kMonServeFailed : qz::event::kMonStartFailed;
  writeEvent(EventType::error, failure, {reason});
  qz::service::stopped(qz::event::number(failure));
  return 1;
}
