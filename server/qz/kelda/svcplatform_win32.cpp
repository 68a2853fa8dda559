// The real Windows calls behind the service platform interface: each operation is its
// namesake, converting between the interface's types and the system's. The calls are the
// ANSI ones, so every name goes from the interpreter's UTF-8 into the ANSI code page first;
// a name the code page cannot hold fails the call with ERROR_NO_UNICODE_TRANSLATION before
// Windows is asked, as Windows itself would fail a name it cannot take.

// The interface first: <windows.h> defines many of its constant names as macros.
// clang-format off
#include "svcplatform.h"
#include <windows.h>
// clang-format on

#include <string>
#include <vector>

#include "qzsys.h"

namespace {
// The system's predefined key, as <winreg.h> builds it: sign-extended on 64-bit Windows.
const ::HKEY systemLocalMachine = HKEY_LOCAL_MACHINE;
}  // namespace

namespace winsvc {
namespace {

// A name in the ANSI code page; a null name stays null.
class Ansi {
 public:
  explicit Ansi(const char* text) : null_(text == nullptr) {
    ok_ = null_ || qz::sys::ansiText(text, text_);
  }
  bool ok() const { return ok_; }
  const char* get() const { return null_ ? nullptr : text_.c_str(); }

 private:
  bool null_;
  bool ok_ = false;
  std::string text_;
};

// True when every name converted; else the thread's last-error value says why not.
template <typename... Names>
bool converted(const Names&... names) {
  if ((names.ok() && ...)) return true;
  ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
  return false;
}

// The registry answers with its status and leaves the thread's value alone; the service
// layer reads the thread's value, so carry the status over.
LONG registryResult(LONG rc) {
  if (rc != 0) ::SetLastError(static_cast<::DWORD>(rc));
  return rc;
}

::SC_HANDLE sys(SC_HANDLE h) {
  return reinterpret_cast<::SC_HANDLE>(h);
}
SC_HANDLE ours(::SC_HANDLE h) {
  return reinterpret_cast<SC_HANDLE>(h);
}
::HKEY sys(HKEY k) {
  if (k == predefinedKey(kLocalMachineToken)) return systemLocalMachine;
  return reinterpret_cast<::HKEY>(k);
}
HKEY ours(::HKEY k) {
  return reinterpret_cast<HKEY>(k);
}

// RegCreateKeyA or RegOpenKeyA with the subkey's name in the ANSI code page.
LONG openKey(::LONG(WINAPI* call)(::HKEY, const char*, ::HKEY*), HKEY key, const char* subKey,
             HKEY* result) {
  *result = nullptr;
  Ansi k(subKey);
  if (!converted(k)) return static_cast<LONG>(ERROR_NO_UNICODE_TRANSLATION);
  ::HKEY h = nullptr;
  LONG rc = registryResult(call(sys(key), k.get(), &h));
  *result = ours(h);
  return rc;
}

// A text the system gave, in UTF-8; none ("" for a service made without a display name, for
// one) when it gave a null.
std::string fromSystem(const char* text) {
  return text != nullptr ? qz::sys::utf8FromAnsi(text) : std::string();
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
    Ansi m(machine), d(database);
    if (!converted(m, d)) return nullptr;
    return ours(::OpenSCManagerA(m.get(), d.get(), access));
  }
  SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) override {
    Ansi n(name);
    if (!converted(n)) return nullptr;
    return ours(::OpenServiceA(sys(manager), n.get(), access));
  }
  SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* name, const char* display, DWORD access,
                           DWORD type, DWORD start, DWORD errorControl, const char* binaryPath,
                           const char* loadOrderGroup, DWORD* tagId, const char* dependencies,
                           const char* account, const char* password) override {
    Ansi n(name), d(display), b(binaryPath), g(loadOrderGroup), a(account), p(password);
    // The dependencies (a list of names, each ended by a zero) go as they are: the service
    // layer gives none.
    if (!converted(n, d, b, g, a, p)) return nullptr;
    ::DWORD tag = 0;
    ::SC_HANDLE h = ::CreateServiceA(
        sys(manager), n.get(), d.get(), access, type, start, errorControl, b.get(), g.get(),
        tagId != nullptr ? &tag : nullptr, dependencies, a.get(), p.get());
    if (tagId != nullptr) *tagId = tag;
    return ours(h);
  }
  BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD level, void* info) override {
    ::SERVICE_DESCRIPTIONA description{};
    std::string text;
    if (level == SERVICE_CONFIG_DESCRIPTION && info != nullptr) {
      const char* given = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
      Ansi d(given);
      if (!converted(d)) return 0;
      if (given != nullptr) {
        text = d.get();
        description.lpDescription = &text[0];
      }
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
  // The two listings are read whole into buffers of their own, their texts turned from the
  // code page into UTF-8, and laid out again in the caller's buffer: the sizes the caller
  // sees are those of the UTF-8 texts it gets.
  BOOL EnumServicesStatusA(SC_HANDLE manager, DWORD serviceType, DWORD serviceState,
                           ENUM_SERVICE_STATUSA* services, DWORD bufSize, DWORD* bytesNeeded,
                           DWORD* servicesReturned, DWORD* resumeHandle) override {
    std::vector<ServiceListing> all;
    std::vector<::ENUM_SERVICE_STATUSA> rows(1024);
    ::DWORD resume = 0;
    for (;;) {
      ::DWORD size = static_cast<::DWORD>(rows.size() * sizeof(::ENUM_SERVICE_STATUSA));
      ::DWORD needed = 0, count = 0;
      BOOL done = ::EnumServicesStatusA(sys(manager), serviceType, serviceState, rows.data(), size,
                                        &needed, &count, &resume);
      if (!done && ::GetLastError() != ERROR_MORE_DATA) return 0;
      for (::DWORD i = 0; i < count; ++i) {
        ServiceListing l{fromSystem(rows[i].lpServiceName), fromSystem(rows[i].lpDisplayName),
                         SERVICE_STATUS{}};
        copyStatus(rows[i].ServiceStatus, &l.status);
        all.push_back(std::move(l));
      }
      if (done) break;
      if (count == 0) {
        if (needed <= size) return 0;
        rows.resize(needed / sizeof(::ENUM_SERVICE_STATUSA) + 1);
      }
    }
    return packServiceList(*this, all, services, bufSize, bytesNeeded, servicesReturned,
                           resumeHandle);
  }
  BOOL QueryServiceConfigA(SC_HANDLE service, QUERY_SERVICE_CONFIGA* config, DWORD bufSize,
                           DWORD* bytesNeeded) override {
    ::DWORD needed = 0;
    if (!::QueryServiceConfigA(sys(service), nullptr, 0, &needed) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return 0;
    std::vector<::QUERY_SERVICE_CONFIGA> got(needed / sizeof(::QUERY_SERVICE_CONFIGA) + 1);
    if (!::QueryServiceConfigA(sys(service), got.data(),
                               static_cast<::DWORD>(got.size() * sizeof(got[0])), &needed))
      return 0;
    const ::QUERY_SERVICE_CONFIGA& c = got[0];
    ServiceConfig ours{c.dwServiceType,
                       c.dwStartType,
                       c.dwErrorControl,
                       fromSystem(c.lpBinaryPathName),
                       fromSystem(c.lpServiceStartName),
                       fromSystem(c.lpDisplayName)};
    return packServiceConfig(*this, ours, config, bufSize, bytesNeeded);
  }
  BOOL CloseServiceHandle(SC_HANDLE handle) override { return ::CloseServiceHandle(sys(handle)); }

  LONG RegCreateKeyA(HKEY key, const char* subKey, HKEY* result) override {
    return openKey(::RegCreateKeyA, key, subKey, result);
  }
  LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type,
                      const unsigned char* data, DWORD size) override {
    Ansi n(name);
    if (!converted(n)) return static_cast<LONG>(ERROR_NO_UNICODE_TRANSLATION);
    if (type != REG_EXPAND_SZ)
      return registryResult(::RegSetValueExA(sys(key), n.get(), reserved, type, data, size));
    // Text data: its characters go into the code page as the names do.
    Ansi text(size > 0 ? std::string(reinterpret_cast<const char*>(data), size - 1).c_str() : "");
    if (!converted(text)) return static_cast<LONG>(ERROR_NO_UNICODE_TRANSLATION);
    std::string value = text.get();
    return registryResult(::RegSetValueExA(sys(key), n.get(), reserved, type,
                                           reinterpret_cast<const ::BYTE*>(value.c_str()),
                                           static_cast<::DWORD>(value.size() + 1)));
  }
  LONG RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) override {
    return openKey(::RegOpenKeyA, key, subKey, result);
  }
  LONG RegDeleteKeyA(HKEY key, const char* subKey) override {
    Ansi k(subKey);
    if (!converted(k)) return static_cast<LONG>(ERROR_NO_UNICODE_TRANSLATION);
    return registryResult(::RegDeleteKeyA(sys(key), k.get()));
  }
  LONG RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, unsigned char* data,
                        DWORD* size) override {
    Ansi n(name);
    if (!converted(n)) return static_cast<LONG>(ERROR_NO_UNICODE_TRANSLATION);
    ::DWORD stored = 0, length = 0;
    std::string bytes;
    LONG rc = ERROR_MORE_DATA;
    for (int tries = 0; rc == ERROR_MORE_DATA && tries < 4; ++tries) {
      rc = ::RegQueryValueExA(sys(key), n.get(), nullptr, &stored, nullptr, &length);
      if (rc != 0) return registryResult(rc);
      bytes.assign(length, '\0');
      rc = ::RegQueryValueExA(sys(key), n.get(), nullptr, &stored,
                              reinterpret_cast<::BYTE*>(&bytes[0]), &length);
    }
    if (rc != 0) return registryResult(rc);
    bytes.resize(length);
    if (stored == REG_SZ || stored == REG_EXPAND_SZ) {
      // The text up to its zero (Windows keeps one that was stored without it as it was).
      std::string text(bytes.c_str());
      bytes = qz::sys::utf8FromAnsi(text);
      bytes.push_back('\0');
    }
    return copyValue(*this, stored, bytes, type, data, size);
  }
  LONG RegCloseKey(HKEY key) override { return ::RegCloseKey(sys(key)); }

  DWORD GetLastError() override { return ::GetLastError(); }
  void SetLastError(DWORD error) override { ::SetLastError(error); }
  DWORD GetTickCount() override { return ::GetTickCount(); }
  void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

Platform& realPlatform() {
  static Win32Platform windows;
  return windows;
}

}  // namespace winsvc
