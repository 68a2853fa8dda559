// The real Windows calls behind the service platform interface: each operation is its
// namesake, converting between the interface's types and the system's.

// The interface first: <windows.h> defines many of its constant names as macros.
// clang-format off
#include "svcplatform.h"
#include <windows.h>
// clang-format on

#include <vector>

namespace winsvc {
namespace {

::SC_HANDLE sys(SC_HANDLE h) {
  return reinterpret_cast<::SC_HANDLE>(h);
}
SC_HANDLE ours(::SC_HANDLE h) {
  return reinterpret_cast<SC_HANDLE>(h);
}
::HKEY sys(HKEY k) {
  return reinterpret_cast<::HKEY>(k);
}
HKEY ours(::HKEY k) {
  return reinterpret_cast<HKEY>(k);
}

void copyStatus(const ::SERVICE_STATUS& from, SERVICE_STATUS* to) {
  to->dwServiceType = from.dwServiceType;
  to->dwCurrentState = from.dwCurrentState;
  to->dwControlsAccepted = from.dwControlsAccepted;
  to->dwWin32ExitCode = from.dwWin32ExitCode;
  to->dwServiceSpecificExitCode = from.dwServiceSpecificExitCode;
  to->dwCheckPoint = from.dwCheckPoint;
  to->dwWaitHint = from.dwWaitHint;
}

class Win32Platform : public Platform {
 public:
  SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD access) override {
    return ours(::OpenSCManagerA(machine, database, access));
  }
  SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) override {
    return ours(::OpenServiceA(sys(manager), name, access));
  }
  SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* name, const char* display, DWORD access,
                           DWORD type, DWORD start, DWORD errorControl, const char* binaryPath,
                           const char* loadOrderGroup, DWORD* tagId, const char* dependencies,
                           const char* account, const char* password) override {
    ::DWORD tag = 0;
    ::SC_HANDLE h = ::CreateServiceA(sys(manager), name, display, access, type, start, errorControl,
                                     binaryPath, loadOrderGroup, tagId != nullptr ? &tag : nullptr,
                                     dependencies, account, password);
    if (tagId != nullptr) *tagId = tag;
    return ours(h);
  }
  BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD level, void* info) override {
    ::SERVICE_DESCRIPTIONA description{};
    if (level == SERVICE_CONFIG_DESCRIPTION && info != nullptr) {
      description.lpDescription = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
      info = &description;
    }
    ::SERVICE_FAILURE_ACTIONSA failure{};
    std::vector<::SC_ACTION> actions(1);
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS && info != nullptr) {
      const auto* given = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
      failure.dwResetPeriod = given->dwResetPeriod;
      failure.lpRebootMsg = given->lpRebootMsg;
      failure.lpCommand = given->lpCommand;
      failure.cActions = given->cActions;
      if (given->lpsaActions != nullptr) {
        // One element at least: a non-null array of none clears the actions.
        actions.resize(given->cActions > 0 ? given->cActions : 1);
        for (DWORD i = 0; i < given->cActions; ++i)
          actions[i] = ::SC_ACTION{static_cast<::SC_ACTION_TYPE>(given->lpsaActions[i].Type),
                                   given->lpsaActions[i].Delay};
        failure.lpsaActions = actions.data();
      }
      info = &failure;
    }
    return ::ChangeServiceConfig2A(sys(service), level, info);
  }
  BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** argv) override {
    return ::StartServiceA(sys(service), argc, argv);
  }
  BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
    ::SERVICE_STATUS s{};
    BOOL ok = ::ControlService(sys(service), control, &s);
    if (ok) copyStatus(s, status);
    return ok;
  }
  BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    ::SERVICE_STATUS s{};
    BOOL ok = ::QueryServiceStatus(sys(service), &s);
    // A failed query leaves the caller's record as it was.
    if (ok) copyStatus(s, status);
    return ok;
  }
  BOOL DeleteService(SC_HANDLE service) override { return ::DeleteService(sys(service)); }
  BOOL CloseServiceHandle(SC_HANDLE handle) override { return ::CloseServiceHandle(sys(handle)); }

  LONG RegCreateKeyA(HKEY key, const char* subKey, HKEY* result) override {
    ::HKEY k = nullptr;
    LONG rc = ::RegCreateKeyA(sys(key), subKey, &k);
    // The registry answers with its status and leaves the thread's value alone; the service
    // layer reads the thread's value, so carry the status over.
    if (rc != 0) ::SetLastError(static_cast<::DWORD>(rc));
    *result = ours(k);
    return rc;
  }
  LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type,
                      const unsigned char* data, DWORD size) override {
    LONG rc = ::RegSetValueExA(sys(key), name, reserved, type, data, size);
    if (rc != 0) ::SetLastError(static_cast<::DWORD>(rc));
    return rc;
  }
  LONG RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) override {
    ::HKEY k = nullptr;
    LONG rc = ::RegOpenKeyA(sys(key), subKey, &k);
    if (rc != 0) ::SetLastError(static_cast<::DWORD>(rc));
    *result = ours(k);
    return rc;
  }
  LONG RegDeleteKeyA(HKEY key, const char* subKey) override {
    LONG rc = ::RegDeleteKeyA(sys(key), subKey);
    if (rc != 0) ::SetLastError(static_cast<::DWORD>(rc));
    return rc;
  }
  LONG RegCloseKey(HKEY key) override { return ::RegCloseKey(sys(key)); }

  DWORD GetLastError() override { return ::GetLastError(); }
  DWORD GetTickCount() override { return ::GetTickCount(); }
  void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

Platform& realPlatform() {
  static Win32Platform windows;
  return windows;
}

}  // namespace winsvc
