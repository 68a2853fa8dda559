// The service glue on Windows: the service control dispatcher runs on a thread of its own, so
// that the program's main thread keeps its interpreter; the state is reported with
// SetServiceStatus.

#include <windows.h>

#include <thread>

#include "qz.h"
#include "qzservice.h"

namespace qz {
namespace service {
namespace {

struct Service {
  SERVICE_STATUS_HANDLE handle = nullptr;
  HANDLE registered = nullptr;  // set once the handler is registered, or the dispatcher failed
  HANDLE finished = nullptr;    // set once the program reported stopped
  void (*onStop)() = nullptr;
  std::thread dispatcher;
  bool connected = false;
};

Service& theService() {
  static Service s;
  return s;
}

void report(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD exitCode) {
  Service& s = theService();
  if (!s.connected) return;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwCheckPoint = checkPoint;
  status.dwWaitHint = waitHint;
  SetServiceStatus(s.handle, &status);
}

DWORD WINAPI control(DWORD code, DWORD, LPVOID, LPVOID) {
  Service& s = theService();
  if (code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_SHUTDOWN) {
    report(SERVICE_STOP_PENDING, 1, 10000, 0);
    if (s.onStop != nullptr) s.onStop();
    return NO_ERROR;
  }
  return code == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI serviceMain(DWORD, LPSTR* argv) {
  Service& s = theService();
  s.handle = RegisterServiceCtrlHandlerExA(argv[0], control, nullptr);
  s.connected = s.handle != nullptr;
  report(SERVICE_START_PENDING, 1, 10000, 0);
  SetEvent(s.registered);
  // The service lives until the program says it has stopped.
  if (s.connected) WaitForSingleObject(s.finished, INFINITE);
}

}  // namespace

void begin(void (*onStop)()) {
  if (!serviceRequested()) return;
  Service& s = theService();
  s.onStop = onStop;
  s.registered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  s.finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  s.dispatcher = std::thread([] {
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {nullptr, nullptr}};
    // Returns when the service has stopped, or at once when no service manager started us.
    if (!StartServiceCtrlDispatcherA(table)) SetEvent(theService().registered);
  });
  WaitForSingleObject(s.registered, 30000);
}

bool active() {
  return theService().connected;
}
void starting(uint32_t checkPoint, uint32_t waitHintMs) {
  report(SERVICE_START_PENDING, checkPoint, waitHintMs, 0);
}
void running() {
  report(SERVICE_RUNNING, 0, 0, 0);
}
void stopping(uint32_t checkPoint, uint32_t waitHintMs) {
  report(SERVICE_STOP_PENDING, checkPoint, waitHintMs, 0);
}

void stopped(uint32_t exitCode) {
  Service& s = theService();
  report(SERVICE_STOPPED, 0, 0, exitCode);
  if (s.finished != nullptr) SetEvent(s.finished);
  if (s.dispatcher.joinable()) s.dispatcher.join();
  s.connected = false;
}

}  // namespace service
}  // namespace qz
