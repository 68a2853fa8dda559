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
    std::string display, binaryPath, account, description;
    DWORD state = SERVICE_STOPPED;
    // What CreateServiceA was given.
    DWORD access = 0, type = 0, start = 0, errorControl = 0;
    bool hasPassword = false;
    std::string password;
    // The failure actions last set, as "reset <seconds>:" and one " <type>/<delay>" per
    // action; empty when none were set.
    std::string failureActions;
  };
  // The access asked for by one OpenSCManagerA or OpenServiceA call.
  struct Access {
    std::string operation, name;
    DWORD access;
    bool operator==(const Access& o) const {
      return operation == o.operation && name == o.name && access == o.access;
    }
  };
  struct Value {
    DWORD type;
    std::string data;
  };

  // ---- what the fake holds, set up and inspected by tests
  std::map<std::string, Service> services;
  std::map<std::string, std::map<std::string, Value>> registry;  // key path -> values
  std::set<std::string> accounts{"LocalSystem"};

  // Status records handed out by successive QueryServiceStatus calls; when none is left,
  // the service's state with checkpoint and wait hint 0, a pending state resolved.
  std::deque<SERVICE_STATUS> queries;
  // What ControlService reports; when unset, STOP_PENDING for a running service.
  std::deque<SERVICE_STATUS> controls;
  // The state StartServiceA leaves a stopped service in.
  DWORD startState = SERVICE_START_PENDING;

  // Fails the call with the given number (1 = the first fallible call from now on; see
  // calls) with this error value.
  void failCall(int number, DWORD error) {
    failNumber_ = number;
    failError_ = error;
  }
  // Fails every call of the named operation with this error value.
  void failAll(const std::string& operation, DWORD error) { failAlways_[operation] = error; }

  // Every fallible call made, by operation name, in order.
  std::vector<std::string> calls;
  std::vector<DWORD> sleeps;
  DWORD tick = 0;
  std::vector<Access> accesses;
  DWORD lastError = 0;
  // Opening the log file sets the last-error value as opening an existing file does on
  // Windows (ERROR_ALREADY_EXISTS); with everyLogLineOpens each line does, as in the first
  // line of a process, so that a value read after any log line is visibly not the failed
  // call's.
  static constexpr DWORD kLogOpenError = 183;
  bool everyLogLineOpens = false;
  // Routes the framework log's file calls to this fake until detachLog.
  void attachLog();
  static void detachLog();
  int openHandles() const { return static_cast<int>(open_.size()); }
  int managerOpens = 0;

  // ---- Platform
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
  struct Open {
    std::string name;  // service name or registry key path; "" for the manager
    bool isKey;
  };
  // True when this call is to fail (its error is then the last-error value).
  bool fails(const char* operation);
  void* open(std::string name, bool isKey);
  const Open* find(void* handle) const;

  int failNumber_ = 0;
  DWORD failError_ = 0;
  std::map<std::string, DWORD> failAlways_;
  std::map<void*, Open> open_;
  int nextHandle_ = 1;
};

}  // namespace winsvc
