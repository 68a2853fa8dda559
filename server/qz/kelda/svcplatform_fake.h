// Test code: an in-memory service manager and registry, scripted per call, with a clock that
// only moves when the code under test sleeps, and a count of open handles. Like Windows, it
// lets calls that succeed change the last-error value: closing a handle clears it, and so
// does the framework's log once attached (as its file calls would).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "qzlog.h"
#include "svcplatform.h"

namespace winsvc {

class FakePlatform : public Platform {
 public:
  struct Service {
    DWORD state = SERVICE_STOPPED;
    // The display name, "binary path|account|password or -|access type start errorControl"
    // (hex), the description, and the failure actions: "reset <seconds>:", " <type>/<delay>"
    // per action.
    std::string display, created, description, failureActions;
  };
  std::map<std::string, Service> services;
  std::map<std::string, std::map<std::string, std::string>> registry;  // "<type>:<data>"
  // What successive QueryServiceStatus calls report (then the state, a pending one resolved)
  // and what ControlService reports (then STOP_PENDING).
  std::deque<SERVICE_STATUS> queries, controls;
  DWORD startState = SERVICE_START_PENDING, tick = 0, lastError = 0, failError = 0;
  int failNumber = 0;                    // this call (1 = the first) fails with failError
  std::map<std::string, DWORD> failAll;  // every call of an operation fails with its value
  std::vector<std::string> calls;        // the opens as "<operation> <name> <access in hex>"
  std::vector<DWORD> sleeps;
  bool everyLogLineOpens = false;  // each log line, not only the first, sets the value
  void attachLog() {
    qz::log::setFileObserver([this](bool opened) {
      if (opened || everyLogLineOpens) lastError = 183;  // ERROR_ALREADY_EXISTS
    });
  }
  static void detachLog() { qz::log::setFileObserver(nullptr); }
  int openHandles() const { return static_cast<int>(open_.size()); }
  int count(const std::string& call) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
  }

  SC_HANDLE OpenSCManagerA(const char*, const char*, DWORD access) override {
    return fails("OpenSCManagerA  " + hex(access)) ? nullptr : open<SC_HANDLE>("");
  }
  SC_HANDLE OpenServiceA(SC_HANDLE, const char* name, DWORD access) override {
    if (fails(std::string("OpenServiceA ") + name + " " + hex(access))) return nullptr;
    if (services.count(name) == 0) return refuse(ERROR_SERVICE_DOES_NOT_EXIST), nullptr;
    return open<SC_HANDLE>(name);
  }
  SC_HANDLE CreateServiceA(SC_HANDLE, const char* name, const char* display, DWORD access,
                           DWORD type, DWORD start, DWORD errorControl, const char* binaryPath,
                           const char*, DWORD*, const char*, const char* account,
                           const char* password) override {
    if (fails("CreateServiceA")) return nullptr;
    if (services.count(name) != 0) return refuse(ERROR_SERVICE_EXISTS), nullptr;
    services[name].display = display;
    services[name].created = std::string(binaryPath) + "|" + account + "|" +
                             (password != nullptr ? password : "-") + "|" + hex(access) + " " +
                             hex(type) + " " + hex(start) + " " + hex(errorControl);
    return open<SC_HANDLE>(name);
  }
  BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD level, void* info) override {
    if (fails("ChangeServiceConfig2A")) return 0;
    Service& s = services[open_.at(service)];
    if (level == SERVICE_CONFIG_DESCRIPTION)
      return s.description = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription, 1;
    if (level != SERVICE_CONFIG_FAILURE_ACTIONS) return refuse(ERROR_INVALID_PARAMETER);
    const auto* failure = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
    s.failureActions = "reset " + std::to_string(failure->dwResetPeriod) + ":";
    for (DWORD i = 0; i < failure->cActions; ++i)
      s.failureActions += " " + std::to_string(failure->lpsaActions[i].Type) + "/" +
                          std::to_string(failure->lpsaActions[i].Delay);
    return 1;
  }
  BOOL StartServiceA(SC_HANDLE service, DWORD, const char**) override {
    if (fails("StartServiceA")) return 0;
    Service& s = services[open_.at(service)];
    if (s.state != SERVICE_STOPPED) return refuse(ERROR_SERVICE_ALREADY_RUNNING);
    s.state = startState;
    return 1;
  }
  BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
    if (fails("ControlService")) return 0;
    Service& s = services[open_.at(service)];
    if (control != SERVICE_CONTROL_STOP) return refuse(ERROR_INVALID_SERVICE_CONTROL);
    if (s.state == SERVICE_STOPPED) return refuse(ERROR_SERVICE_NOT_ACTIVE);
    return report(controls, SERVICE_STOP_PENDING, s, status);
  }
  BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    if (fails("QueryServiceStatus")) return 0;
    Service& s = services[open_.at(service)];
    return report(queries,
                  s.state == SERVICE_START_PENDING  ? SERVICE_RUNNING
                  : s.state == SERVICE_STOP_PENDING ? SERVICE_STOPPED
                                                    : s.state,
                  s, status);
  }
  BOOL DeleteService(SC_HANDLE service) override {
    return fails("DeleteService") ? 0 : (services.erase(open_.at(service)), 1);
  }
  BOOL CloseServiceHandle(SC_HANDLE handle) override { return close(handle) ? 1 : 0; }
  LONG RegCreateKeyA(HKEY key, const char* subKey, HKEY* result) override {
    if (fails("RegCreateKeyA") || key != HKEY_LOCAL_MACHINE) return regError(ERROR_INVALID_HANDLE);
    registry[subKey];
    *result = open<HKEY>(subKey);
    return 0;
  }
  LONG RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type, const unsigned char* data,
                      DWORD size) override {
    if (fails("RegSetValueExA")) return regError(0);
    registry[open_.at(key)][name] =
        std::to_string(type) + ":" + std::string(reinterpret_cast<const char*>(data), size);
    return 0;
  }
  LONG RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) override {
    if (fails("RegOpenKeyA") || key != HKEY_LOCAL_MACHINE || registry.count(subKey) == 0)
      return regError(ERROR_FILE_NOT_FOUND);
    *result = open<HKEY>(subKey);
    return 0;
  }
  LONG RegDeleteKeyA(HKEY key, const char* subKey) override {
    if (fails("RegDeleteKeyA") || key != HKEY_LOCAL_MACHINE || registry.erase(subKey) == 0)
      return regError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  LONG RegCloseKey(HKEY key) override { return close(key) ? 0 : ERROR_INVALID_HANDLE; }
  DWORD GetLastError() override { return lastError; }
  void SetLastError(DWORD error) override { lastError = error; }
  DWORD GetTickCount() override { return tick; }
  void Sleep(DWORD ms) override { sleeps.push_back(ms), tick += ms; }

 private:
  bool fails(const std::string& call) {  // records the call; true when it is to fail
    calls.push_back(call);
    auto always = failAll.find(call.substr(0, call.find(' ')));
    failed_ = always != failAll.end() || static_cast<int>(calls.size()) == failNumber;
    if (failed_) lastError = always != failAll.end() ? always->second : failError;
    return failed_;
  }
  static std::string hex(DWORD n) {
    char text[16];
    return std::string(text, std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(n)));
  }
  BOOL refuse(DWORD error) { return lastError = error, 0; }
  // A failed registry call's value: the scripted failure's, else this one.
  LONG regError(DWORD error) {
    return static_cast<LONG>(failed_ ? lastError : (lastError = error));
  }
  BOOL report(std::deque<SERVICE_STATUS>& script, DWORD next, Service& s, SERVICE_STATUS* status) {
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, next, 0, 0, 0, 0, 0};
    if (!script.empty()) *status = script.front(), script.pop_front();
    s.state = status->dwCurrentState;
    return 1;
  }
  template <typename H>
  H open(std::string name) {  // distinct small numbers, never dereferenced
    H h = reinterpret_cast<H>(static_cast<uintptr_t>(0x1000 + 16 * ++opened_));
    open_[h] = std::move(name);
    return h;
  }
  bool close(void* handle) {
    calls.push_back("Close"), lastError = 0;
    return open_.erase(handle) == 1;
  }
  std::map<void*, std::string> open_;  // handle -> service name or key path ("" the manager)
  int opened_ = 0;
  bool failed_ = false;
};

}  // namespace winsvc
