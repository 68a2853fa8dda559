// A service manager and registry scripted per call, its clock moved only by sleeps.
// As on Windows, a call that succeeds may change the last error: a close clears it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "svcplatform.h"

namespace winsvc {

class FakePlatform : public Platform {
 public:
  std::map<std::string, DWORD> services;              // name -> state
  std::map<std::string, std::string> failureActions;  // "reset <seconds>: <type>/<delay> ..."
  std::map<std::string, std::string> commandLines;
  std::set<std::string> keys;  // registry keys below HKEY_LOCAL_MACHINE
  std::map<std::string, std::pair<DWORD, std::string>> values;  // "<key>|<name>" -> type, data
  std::deque<SERVICE_STATUS> queries;  // what the next status queries report (then the state)
  DWORD tick = 0, lastError = 0;
  size_t failNumber = 0;                 // this call (1: the first) fails with 4000 + its number
  std::map<std::string, DWORD> failAll;  // every call of an operation fails with its value
  std::vector<std::string> calls;        // each but closes; opens and creates with name, hex access
  std::vector<DWORD> sleeps;
  bool growingConfigs = false;  // every configuration query finds the command line grown
  int openHandles() const { return static_cast<int>(open_.size()); }

  SC_HANDLE OpenSCManagerA(const char*, const char*, DWORD access) override {
    return fails("OpenSCManagerA", "", access) ? nullptr : open<SC_HANDLE>("");
  }
  SC_HANDLE OpenServiceA(SC_HANDLE, const char* name, DWORD access) override {
    if (fails("OpenServiceA", name, access)) return nullptr;
    if (services.count(name) == 0) return refuse(ERROR_SERVICE_DOES_NOT_EXIST), nullptr;
    return open<SC_HANDLE>(name);
  }
  SC_HANDLE CreateServiceA(SC_HANDLE, const char* name, const char*, DWORD access, DWORD, DWORD,
                           DWORD, const char* binaryPath, const char*, DWORD*, const char*,
                           const char* account, const char* password) override {
    std::string nameAndAccount =
        std::string(name) + " " + account + "|" + (password != nullptr ? password : "-");
    if (fails("CreateServiceA", nameAndAccount, access)) return nullptr;
    if (services.count(name) != 0) return refuse(ERROR_SERVICE_EXISTS), nullptr;
    services[name] = SERVICE_STOPPED;
    commandLines[name] = binaryPath;
    return open<SC_HANDLE>(name);
  }
  BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD level, void* info) override {
    if (fails("ChangeServiceConfig2A")) return 0;
    if (level != SERVICE_CONFIG_FAILURE_ACTIONS) return 1;  // the description
    const auto* f = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
    std::string& actions = failureActions[open_.at(service)];
    actions = "reset " + std::to_string(f->dwResetPeriod) + ":";
    for (const SC_ACTION* a = f->lpsaActions; a < f->lpsaActions + f->cActions; ++a)
      actions += " " + std::to_string(a->Type) + "/" + std::to_string(a->Delay);
    return 1;
  }
  BOOL StartServiceA(SC_HANDLE service, DWORD, const char**) override {
    if (fails("StartServiceA")) return 0;
    DWORD& state = services[open_.at(service)];
    if (state != SERVICE_STOPPED) return refuse(ERROR_SERVICE_ALREADY_RUNNING), 0;
    return state = SERVICE_RUNNING, 1;
  }
  BOOL ControlService(SC_HANDLE service, DWORD, SERVICE_STATUS* status) override {
    if (fails("ControlService")) return 0;
    DWORD& state = services[open_.at(service)];
    if (state == SERVICE_STOPPED) return refuse(ERROR_SERVICE_NOT_ACTIVE), 0;
    state = SERVICE_STOPPED;  // at the next query
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0, 0, 0, 0, 0};
    return 1;
  }
  BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    if (fails("QueryServiceStatus")) return 0;
    DWORD& state = services[open_.at(service)];
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, state, 0, 0, 0, 0, 0};
    if (!queries.empty()) *status = queries.front(), queries.pop_front();
    return state = status->dwCurrentState, 1;
  }
  BOOL DeleteService(SC_HANDLE service) override {
    return fails("DeleteService") ? 0 : (services.erase(open_.at(service)), 1);
  }
  BOOL EnumServicesStatusA(SC_HANDLE, DWORD, DWORD, ENUM_SERVICE_STATUSA* rows, DWORD size,
                           DWORD* needed, DWORD* count, DWORD* resume) override {
    if (fails("EnumServicesStatusA")) return 0;
    std::vector<ServiceListing> all;
    for (const auto& s : services)
      all.push_back({s.first, s.first, {SERVICE_WIN32_OWN_PROCESS, s.second, 0, 0, 0, 0, 0}});
    return packServiceList(*this, all, rows, size, needed, count, resume);
  }
  BOOL QueryServiceConfigA(SC_HANDLE service, QUERY_SERVICE_CONFIGA* config, DWORD size,
                           DWORD* needed) override {
    if (fails("QueryServiceConfigA")) return 0;
    const std::string& name = open_.at(service);
    if (growingConfigs) commandLines[name].append(size + 1, 'x');  // always more than given
    ServiceConfig c{SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                    commandLines[name],        "LocalSystem",      name};
    return packServiceConfig(*this, c, config, size, needed);
  }
  BOOL CloseServiceHandle(SC_HANDLE handle) override { return close(handle) ? 1 : 0; }
  LONG RegCreateKeyA(HKEY, const char* subKey, HKEY* result) override {
    if (DWORD error = fails("RegCreateKeyA")) return error;
    keys.insert(subKey);
    return *result = open<HKEY>(subKey), 0;
  }
  LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type,
                      const unsigned char* data, DWORD size) override {
    const std::string& path = open_.at(key);  // a key opened here and not closed
    if (DWORD error = fails("RegSetValueExA")) return error;
    if (reserved != 0) return refuse(ERROR_INVALID_PARAMETER);
    values[path + "|" + name] = {type, std::string(reinterpret_cast<const char*>(data), size)};
    return 0;
  }
  LONG RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, unsigned char* data,
                        DWORD* size) override {
    const std::string& path = open_.at(key);
    if (DWORD error = fails("RegQueryValueExA")) return error;
    auto v = values.find(path + "|" + name);
    if (v == values.end()) return refuse(ERROR_FILE_NOT_FOUND);
    return copyValue(*this, v->second.first, v->second.second, type, data, size);
  }
  LONG RegOpenKeyA(HKEY, const char* subKey, HKEY* result) override {
    if (DWORD error = fails("RegOpenKeyA")) return error;
    if (keys.count(subKey) == 0) return refuse(ERROR_FILE_NOT_FOUND);
    return *result = open<HKEY>(subKey), 0;
  }
  LONG RegDeleteKeyA(HKEY, const char* subKey) override {
    if (DWORD error = fails("RegDeleteKeyA")) return error;
    return keys.erase(subKey) == 1 ? 0 : refuse(ERROR_FILE_NOT_FOUND);
  }
  LONG RegCloseKey(HKEY key) override { return close(key) ? 0 : ERROR_INVALID_HANDLE; }
  DWORD GetLastError() override { return lastError; }
  void SetLastError(DWORD error) override { lastError = error; }
  DWORD GetTickCount() override { return tick; }
  void Sleep(DWORD ms) override { sleeps.push_back(ms), tick += ms; }

 private:
  // Records the call; answers the error it is to fail with (and sets it), or 0.
  DWORD fails(const std::string& call, const std::string& name = "", DWORD access = 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(access));
    calls.push_back(access == 0 ? call : call + " " + name + " " + hex);
    auto always = failAll.find(call);
    if (always != failAll.end()) return refuse(always->second);
    return calls.size() == failNumber ? refuse(4000 + static_cast<DWORD>(failNumber)) : 0;
  }
  DWORD refuse(DWORD error) { return lastError = error; }
  template <typename H>
  H open(std::string name) {  // distinct small numbers, never dereferenced
    H h = reinterpret_cast<H>(static_cast<uintptr_t>(0x1000 + 16 * ++opened_));
    open_[h] = std::move(name);
    return h;
  }
  bool close(void* handle) { return lastError = 0, open_.erase(handle) == 1; }
  std::map<void*, std::string> open_;  // handle -> service name or key path ("" the manager)
  int opened_ = 0;
};

}  // namespace winsvc
