// The service glue on Windows: the service control dispatcher runs on a thread of its own, so
// that the program's main thread keeps its interpreter; the state is reported with
// SetServiceStatus.

#include <windows.h>

#include <memory>
#include <string>
#include <thread>

#include "qz.h"
#include "qzservice.h"

namespace qz {
namespace service {
namespace {

struct HandleCloser {
  void operator()(HANDLE h) const { CloseHandle(h); }
};
using EventHandle = std::unique_ptr<void, HandleCloser>;
struct EventSourceCloser {
  void operator()(HANDLE h) const { DeregisterEventSource(h); }
};

struct Service {
  SERVICE_STATUS_HANDLE handle = nullptr;
  EventHandle registered;  // set once the handler is registered, or the dispatcher failed
  EventHandle finished;    // set once the program reported stopped
  std::string name;        // the service's name, as the service manager started it
  void (*onStop)() = nullptr;
  std::thread dispatcher;
  bool connected = false;
};

Service& theService() {
  static Service s;
  return s;
}

void report(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD failureCode) {
  Service& s = theService();
  if (!s.connected) return;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  // A running monitor stops when asked to and when the machine shuts down.
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  if (failureCode != 0) {
    status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = failureCode;
  }
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
  s.name = argv[0];
  s.handle = RegisterServiceCtrlHandlerExA(argv[0], control, nullptr);
  s.connected = s.handle != nullptr;
  report(SERVICE_START_PENDING, 1, 10000, 0);
  SetEvent(s.registered.get());
  // The service lives until the program says it has stopped.
  if (s.connected) WaitForSingleObject(s.finished.get(), INFINITE);
}

}  // namespace

void begin(void (*onStop)()) {
  if (!serviceRequested()) return;
  Service& s = theService();
  s.onStop = onStop;
  s.registered.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  s.finished.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  s.dispatcher = std::thread([] {
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {nullptr, nullptr}};
    // Returns when the service has stopped, or at once when no service manager started us.
    if (!StartServiceCtrlDispatcherA(table)) SetEvent(theService().registered.get());
  });
  WaitForSingleObject(s.registered.get(), 30000);
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

void stopped(uint32_t failureCode) {
  Service& s = theService();
  report(SERVICE_STOPPED, 0, 0, failureCode);
  if (s.finished) SetEvent(s.finished.get());
  if (s.dispatcher.joinable()) s.dispatcher.join();
  s.connected = false;
  // The dispatcher thread is gone: nothing waits on the events any more.
  s.registered.reset();
  s.finished.reset();
}

bool reportEvent(EventType type, uint32_t messageId, const std::vector<std::string>& inserts) {
  Service& s = theService();
  if (!s.connected) return false;
  std::unique_ptr<void, EventSourceCloser> source(RegisterEventSourceA(nullptr, s.name.c_str()));
  if (!source) return false;
  std::vector<const char*> strings;
  for (const std::string& insert : inserts) strings.push_back(insert.c_str());
  return ReportEventA(source.get(), static_cast<WORD>(type), 0, messageId, nullptr,
                      static_cast<WORD>(strings.size()), 0,
                      strings.empty() ? nullptr : strings.data(), nullptr) != 0;
}

}  // namespace service
}  // namespace qz
