// Test code: an in-memory service manager and registry, scripted per call, with a clock that
// only moves when the code under test sleeps, and a count of open handles. Like Windows, it
// lets calls that succeed change the last-error value: closing a handle clears it, and the
// framework's log, once attached, sets it as its file calls would.
#pragma once

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "svcplatform.h"

namespace winsvc {

class FakePlatform : public Platform {
 public:
  struct Service {
    DWORD state = SERVICE_STOPPED;
    // What CreateServiceA was given: "display|binary path|account|password or -|access type
    // start errorControl" (numbers in hex).
    std::string created, description;
    // The failure actions last set, "reset <seconds>:" and " <type>/<delay>" per action.
    std::string failureActions;
  };
  std::map<std::string, Service> services;
  // Key path -> value name -> "<type>:<data>".
  std::map<std::string, std::map<std::string, std::string>> registry;
  std::set<std::string> accounts{"LocalSystem"};
  // Status records handed out by successive QueryServiceStatus calls; when none is left,
  // the service's state with checkpoint and wait hint 0, a pending state resolved.
  std::deque<SERVICE_STATUS> queries;
  // What ControlService reports; when unset, STOP_PENDING.
  std::deque<SERVICE_STATUS> controls;
  DWORD startState = SERVICE_START_PENDING;  // what StartServiceA leaves a stopped service in

  // The fallible call with this number (1 = the first) fails with failError; so does every
  // call of an operation in failAll.
  int failNumber = 0;
  DWORD failError = 0;
  std::map<std::string, DWORD> failAll;
  // Every fallible call made, in order; the opens as "<operation> <name> <access in hex>".
  std::vector<std::string> calls;
  std::vector<DWORD> sleeps;
  DWORD tick = 0;
  DWORD lastError = 0;
  // Opening the log file sets the last-error value as opening an existing file does on
  // Windows; with everyLogLineOpens each line does, as in the first line of a process, so
  // that a value read after any log line is visibly not the failed call's.
  static constexpr DWORD kLogOpenError = 183;
  bool everyLogLineOpens = false;
  void attachLog();  // routes the framework log's file calls here until detachLog
  static void detachLog();
  int openHandles() const { return static_cast<int>(open_.size()); }
  int count(const std::string& call) const;

  SC_HANDLE OpenSCManagerA(const char*, const char*, DWORD access) override;
  SC_HANDLE OpenServiceA(SC_HANDLE, const char* name, DWORD access) override;
  SC_HANDLE CreateServiceA(SC_HANDLE, const char* name, const char* display, DWORD access,
                           DWORD type, DWORD start, DWORD errorControl, const char* binaryPath,
                           const char*, DWORD*, const char*, const char* account,
                           const char* password) override;
  BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD level, void* info) override;
  BOOL StartServiceA(SC_HANDLE service, DWORD, const char**) override;
  BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override;
  BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override;
  BOOL DeleteService(SC_HANDLE service) override;
  BOOL CloseServiceHandle(SC_HANDLE handle) override;
  LONG RegCreateKeyA(HKEY key, const char* subKey, HKEY* result) override;
  LONG RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type, const unsigned char* data,
                      DWORD size) override;
  LONG RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) override;
  LONG RegDeleteKeyA(HKEY key, const char* subKey) override;
  LONG RegCloseKey(HKEY key) override;
  DWORD GetLastError() override { return lastError; }
  void SetLastError(DWORD error) override { lastError = error; }
  DWORD GetTickCount() override { return tick; }
  void Sleep(DWORD ms) override {
    sleeps.push_back(ms);
    tick += ms;
  }

 private:
  bool fails(const std::string& call);  // records the call; true when it is to fail
  void* open(std::string name);
  std::map<void*, std::string> open_;  // handle -> service name or key path ("" the manager)
  int nextHandle_ = 1;
};

}  // namespace winsvc
