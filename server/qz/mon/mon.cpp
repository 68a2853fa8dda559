// mon: the monitor host of a server instance. It starts the framework (which loads the
// instance's config.tcl), evaluates the monitor script (mon.tcl by default) and runs until
// the script ends: after SIGINT or SIGTERM, or a stop from the service manager.
//   mon [-service] [-datdir DIR] [options] [SCRIPT]

#include <tcl.h>

#include <csignal>
#include <cstdio>

#include "qz.h"
#include "qzservice.h"

namespace {

Tcl_AsyncHandler stopHandler = nullptr;

// Runs at a safe point after a signal: the script's event loop waits on qz.mon.stop.
int onStop(ClientData, Tcl_Interp*, int code) {
  qz::service::stopping(1, 5000);
  try {
    qz::setVarStr("qz.mon.stop", "1");
  } catch (...) {
    // The interpreter refused the variable: the script will end on its own.
  }
  return code;
}

extern "C" void onSignal(int) {
  Tcl_AsyncMark(stopHandler);
}

// A stop from the service manager (Windows: on the dispatcher's thread).
void onServiceStop() {
  Tcl_AsyncMark(stopHandler);
}

// qz::serviceRunning: the script serves; tell the service manager.
int serviceRunning(int, const char**) {
  qz::service::running();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char** args = const_cast<const char**>(argv);
  try {
    qz::init(argc, args);
    stopHandler = Tcl_AsyncCreate(onStop, nullptr);
    qz::service::begin(onServiceStop);
    qz::setVarStr("qz.mon.version", "7.0(0)");
    qz::setVarStr("qz.mon.stop", "0");
    qz::exportProc("qz::serviceRunning", serviceRunning);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    qz::evalFile(argc > 1 ? args[1] : "mon.tcl");
    qz::service::stopped(0);
    return 0;
  } catch (qz::X& x) {
    std::fprintf(stderr, "mon: %s\n", x.errorText().c_str());
  } catch (...) {
    std::fprintf(stderr, "mon: unexpected failure\n");
  }
  qz::service::stopped(1);
  return 1;
}
