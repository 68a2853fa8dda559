#include "svcplatform_fake.h"

#include <cstdint>
#include <string>

#include "qzlog.h"

namespace winsvc {

bool FakePlatform::fails(const char* operation) {
  calls.push_back(operation);
  auto always = failAlways_.find(operation);
  if (always != failAlways_.end()) {
    lastError = always->second;
    return true;
  }
  if (failNumber_ > 0 && static_cast<int>(calls.size()) == failNumber_) {
    lastError = failError_;
    return true;
  }
  return false;
}

void* FakePlatform::open(std::string name, bool isKey) {
  // Handles are distinct small numbers; they are never dereferenced.
  void* h = reinterpret_cast<void*>(static_cast<uintptr_t>(0x1000 + 16 * nextHandle_++));
  open_[h] = Open{std::move(name), isKey};
  return h;
}

const FakePlatform::Open* FakePlatform::find(void* handle) const {
  auto it = open_.find(handle);
  return it == open_.end() ? nullptr : &it->second;
}

void FakePlatform::attachLog() {
  qz::log::setFileObserver([this](bool opened) {
    if (opened || everyLogLineOpens) lastError = kLogOpenError;
  });
}

void FakePlatform::detachLog() {
  qz::log::setFileObserver(nullptr);
}

SC_HANDLE FakePlatform::OpenSCManagerA(const char*, const char*, DWORD access) {
  accesses.push_back(Access{"OpenSCManagerA", "", access});
  if (fails("OpenSCManagerA")) return nullptr;
  ++managerOpens;
  return static_cast<SC_HANDLE>(open("", false));
}

SC_HANDLE FakePlatform::OpenServiceA(SC_HANDLE, const char* name, DWORD access) {
  accesses.push_back(Access{"OpenServiceA", name, access});
  if (fails("OpenServiceA")) return nullptr;
  if (services.count(name) == 0) {
    lastError = ERROR_SERVICE_DOES_NOT_EXIST;
    return nullptr;
  }
  return static_cast<SC_HANDLE>(open(name, false));
}

SC_HANDLE FakePlatform::CreateServiceA(SC_HANDLE, const char* name, const char* display,
                                       DWORD access, DWORD type, DWORD start, DWORD errorControl,
                                       const char* binaryPath, const char*, DWORD*, const char*,
                                       const char* account, const char* password) {
  if (fails("CreateServiceA")) return nullptr;
  if (services.count(name) != 0) {
    lastError = ERROR_SERVICE_EXISTS;
    return nullptr;
  }
  if (accounts.count(account != nullptr ? account : "") == 0) {
    lastError = ERROR_INVALID_SERVICE_ACCOUNT;
    return nullptr;
  }
  Service& s = services[name];
  s.display = display;
  s.binaryPath = binaryPath;
  s.account = account;
  s.access = access;
  s.type = type;
  s.start = start;
  s.errorControl = errorControl;
  s.hasPassword = password != nullptr;
  s.password = password != nullptr ? password : "";
  return static_cast<SC_HANDLE>(open(name, false));
}

BOOL FakePlatform::ChangeServiceConfig2A(SC_HANDLE service, DWORD level, void* info) {
  if (fails("ChangeServiceConfig2A")) return 0;
  const Open* o = find(service);
  if (o != nullptr && level == SERVICE_CONFIG_FAILURE_ACTIONS) {
    const auto* failure = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
    std::string text = "reset " + std::to_string(failure->dwResetPeriod) + ":";
    for (DWORD i = 0; i < failure->cActions; ++i)
      text += " " + std::to_string(failure->lpsaActions[i].Type) + "/" +
              std::to_string(failure->lpsaActions[i].Delay);
    services[o->name].failureActions = text;
    return 1;
  }
  if (o == nullptr || level != SERVICE_CONFIG_DESCRIPTION) {
    lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  services[o->name].description = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
  return 1;
}

BOOL FakePlatform::StartServiceA(SC_HANDLE service, DWORD, const char**) {
  if (fails("StartServiceA")) return 0;
  Service& s = services[find(service)->name];
  if (s.state != SERVICE_STOPPED) {
    lastError = ERROR_SERVICE_ALREADY_RUNNING;
    return 0;
  }
  s.state = startState;
  return 1;
}

BOOL FakePlatform::ControlService(SC_HANDLE service, DWORD, SERVICE_STATUS* status) {
  if (fails("ControlService")) return 0;
  Service& s = services[find(service)->name];
  if (s.state == SERVICE_STOPPED) {
    lastError = ERROR_SERVICE_NOT_ACTIVE;
    return 0;
  }
  if (!controls.empty()) {
    *status = controls.front();
    controls.pop_front();
  } else {
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0, 0, 0, 0, 0};
  }
  s.state = status->dwCurrentState;
  return 1;
}

BOOL FakePlatform::QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  if (fails("QueryServiceStatus")) return 0;
  Service& s = services[find(service)->name];
  if (!queries.empty()) {
    *status = queries.front();
    queries.pop_front();
  } else {
    // Unscripted, a pending service gets where it was going.
    DWORD next = s.state == SERVICE_START_PENDING  ? SERVICE_RUNNING
                 : s.state == SERVICE_STOP_PENDING ? SERVICE_STOPPED
                                                   : s.state;
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, next, 0, 0, 0, 0, 0};
  }
  s.state = status->dwCurrentState;
  return 1;
}

BOOL FakePlatform::DeleteService(SC_HANDLE service) {
  if (fails("DeleteService")) return 0;
  services.erase(find(service)->name);
  return 1;
}

BOOL FakePlatform::CloseServiceHandle(SC_HANDLE handle) {
  calls.push_back("CloseServiceHandle");
  open_.erase(handle);
  lastError = 0;
  return 1;
}

LONG FakePlatform::RegCreateKeyA(HKEY key, const char* subKey, HKEY* result) {
  if (fails("RegCreateKeyA")) return static_cast<LONG>(lastError);
  if (key != HKEY_LOCAL_MACHINE) return static_cast<LONG>(lastError = ERROR_INVALID_HANDLE);
  registry[subKey];
  *result = static_cast<HKEY>(open(subKey, true));
  return 0;
}

LONG FakePlatform::RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type,
                                  const unsigned char* data, DWORD size) {
  if (fails("RegSetValueExA")) return static_cast<LONG>(lastError);
  registry[find(key)->name][name] =
      Value{type, std::string(reinterpret_cast<const char*>(data), size)};
  return 0;
}

LONG FakePlatform::RegOpenKeyA(HKEY, const char* subKey, HKEY* result) {
  if (fails("RegOpenKeyA")) return static_cast<LONG>(lastError);
  if (registry.count(subKey) == 0) return static_cast<LONG>(lastError = ERROR_FILE_NOT_FOUND);
  *result = static_cast<HKEY>(open(subKey, true));
  return 0;
}

LONG FakePlatform::RegDeleteKeyA(HKEY, const char* subKey) {
  if (fails("RegDeleteKeyA")) return static_cast<LONG>(lastError);
  if (registry.erase(subKey) == 0) return static_cast<LONG>(lastError = ERROR_FILE_NOT_FOUND);
  return 0;
}

LONG FakePlatform::RegCloseKey(HKEY key) {
  calls.push_back("RegCloseKey");
  open_.erase(key);
  lastError = 0;
  return 0;
}

}  // namespace winsvc
