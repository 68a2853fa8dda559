#include "svcplatform_fake.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "qzlog.h"

namespace winsvc {

bool FakePlatform::fails(const std::string& call) {
  calls.push_back(call);
  auto always = failAll.find(call.substr(0, call.find(' ')));
  if (always != failAll.end() || static_cast<int>(calls.size()) == failNumber) {
    lastError = always != failAll.end() ? always->second : failError;
    return true;
  }
  return false;
}

int FakePlatform::count(const std::string& call) const {
  return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
    return c.compare(0, call.size(), call) == 0;
  }));
}

void* FakePlatform::open(std::string name) {
  // Handles are distinct small numbers; they are never dereferenced.
  void* h = reinterpret_cast<void*>(static_cast<uintptr_t>(0x1000 + 16 * nextHandle_++));
  open_[h] = std::move(name);
  return h;
}

void FakePlatform::attachLog() {
  qz::log::setFileObserver([this](bool opened) {
    if (opened || everyLogLineOpens) lastError = kLogOpenError;
  });
}

void FakePlatform::detachLog() {
  qz::log::setFileObserver(nullptr);
}

static std::string hex(DWORD n) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(n));
  return text;
}

SC_HANDLE FakePlatform::OpenSCManagerA(const char*, const char*, DWORD access) {
  if (fails("OpenSCManagerA  " + hex(access))) return nullptr;
  return static_cast<SC_HANDLE>(open(""));
}

SC_HANDLE FakePlatform::OpenServiceA(SC_HANDLE, const char* name, DWORD access) {
  if (fails(std::string("OpenServiceA ") + name + " " + hex(access))) return nullptr;
  if (services.count(name) == 0) {
    lastError = ERROR_SERVICE_DOES_NOT_EXIST;
    return nullptr;
  }
  return static_cast<SC_HANDLE>(open(name));
}

SC_HANDLE FakePlatform::CreateServiceA(SC_HANDLE, const char* name, const char* display,
                                       DWORD access, DWORD type, DWORD start, DWORD errorControl,
                                       const char* binaryPath, const char*, DWORD*, const char*,
                                       const char* account, const char* password) {
  if (fails("CreateServiceA")) return nullptr;
  if (services.count(name) != 0 || accounts.count(account != nullptr ? account : "") == 0) {
    lastError = services.count(name) != 0 ? ERROR_SERVICE_EXISTS : ERROR_INVALID_SERVICE_ACCOUNT;
    return nullptr;
  }
  services[name].created = std::string(display) + "|" + binaryPath + "|" + account + "|" +
                           (password != nullptr ? password : "-") + "|" + hex(access) + " " +
                           hex(type) + " " + hex(start) + " " + hex(errorControl);
  return static_cast<SC_HANDLE>(open(name));
}

BOOL FakePlatform::ChangeServiceConfig2A(SC_HANDLE service, DWORD level, void* info) {
  if (fails("ChangeServiceConfig2A")) return 0;
  Service& s = services[open_.at(service)];
  if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
    const auto* failure = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
    s.failureActions = "reset " + std::to_string(failure->dwResetPeriod) + ":";
    for (DWORD i = 0; i < failure->cActions; ++i)
      s.failureActions += " " + std::to_string(failure->lpsaActions[i].Type) + "/" +
                          std::to_string(failure->lpsaActions[i].Delay);
    return 1;
  }
  if (level != SERVICE_CONFIG_DESCRIPTION) {
    lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  s.description = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
  return 1;
}

BOOL FakePlatform::StartServiceA(SC_HANDLE service, DWORD, const char**) {
  if (fails("StartServiceA")) return 0;
  Service& s = services[open_.at(service)];
  if (s.state != SERVICE_STOPPED) {
    lastError = ERROR_SERVICE_ALREADY_RUNNING;
    return 0;
  }
  s.state = startState;
  return 1;
}

BOOL FakePlatform::ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  if (fails("ControlService")) return 0;
  Service& s = services[open_.at(service)];
  if (control != SERVICE_CONTROL_STOP || s.state == SERVICE_STOPPED) {
    lastError = s.state == SERVICE_STOPPED ? ERROR_SERVICE_NOT_ACTIVE : ERROR_INVALID_PARAMETER;
    return 0;
  }
  *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0, 0, 0, 0, 0};
  if (!controls.empty()) {
    *status = controls.front();
    controls.pop_front();
  }
  s.state = status->dwCurrentState;
  return 1;
}

BOOL FakePlatform::QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  if (fails("QueryServiceStatus")) return 0;
  Service& s = services[open_.at(service)];
  // Unscripted, a pending service gets where it was going.
  DWORD next = s.state == SERVICE_START_PENDING  ? SERVICE_RUNNING
               : s.state == SERVICE_STOP_PENDING ? SERVICE_STOPPED
                                                 : s.state;
  *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, next, 0, 0, 0, 0, 0};
  if (!queries.empty()) {
    *status = queries.front();
    queries.pop_front();
  }
  s.state = status->dwCurrentState;
  return 1;
}

BOOL FakePlatform::DeleteService(SC_HANDLE service) {
  if (fails("DeleteService")) return 0;
  services.erase(open_.at(service));
  return 1;
}

BOOL FakePlatform::CloseServiceHandle(SC_HANDLE handle) {
  calls.push_back("CloseServiceHandle");
  lastError = 0;
  return open_.erase(handle) == 1 ? 1 : 0;
}

LONG FakePlatform::RegCreateKeyA(HKEY key, const char* subKey, HKEY* result) {
  if (fails("RegCreateKeyA")) return static_cast<LONG>(lastError);
  if (key != HKEY_LOCAL_MACHINE) return static_cast<LONG>(lastError = ERROR_INVALID_HANDLE);
  registry[subKey];
  *result = static_cast<HKEY>(open(subKey));
  return 0;
}

LONG FakePlatform::RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type,
                                  const unsigned char* data, DWORD size) {
  if (fails("RegSetValueExA")) return static_cast<LONG>(lastError);
  registry[open_.at(key)][name] =
      std::to_string(type) + ":" + std::string(reinterpret_cast<const char*>(data), size);
  return 0;
}

LONG FakePlatform::RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) {
  if (fails("RegOpenKeyA")) return static_cast<LONG>(lastError);
  if (key != HKEY_LOCAL_MACHINE || registry.count(subKey) == 0)
    return static_cast<LONG>(lastError = ERROR_FILE_NOT_FOUND);
  *result = static_cast<HKEY>(open(subKey));
  return 0;
}

LONG FakePlatform::RegDeleteKeyA(HKEY key, const char* subKey) {
  if (fails("RegDeleteKeyA")) return static_cast<LONG>(lastError);
  if (key != HKEY_LOCAL_MACHINE || registry.erase(subKey) == 0)
    return static_cast<LONG>(lastError = ERROR_FILE_NOT_FOUND);
  return 0;
}

LONG FakePlatform::RegCloseKey(HKEY key) {
  calls.push_back("RegCloseKey");
  lastError = 0;
  return open_.erase(key) == 1 ? 0 : ERROR_INVALID_HANDLE;
}

}  // namespace winsvc
