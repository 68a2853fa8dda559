// The Windows operations that kelda's service layer uses, behind one interface: the Service
// Control Manager, the registry and three kernel calls, with the Windows names, constants and
// status record, and nothing from <windows.h>. Beside it stand the real calls
// (svcplatform_win32.cpp), a persistent substitute for POSIX systems (svcplatform_posix.cpp) and,
// in test code, a scripted fake (svcplatform_fake.h).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace winsvc {

using DWORD = uint32_t;
using BOOL = int;
using LONG = int32_t;
struct ScHandleTag;
using SC_HANDLE = ScHandleTag*;
struct HKeyTag;
using HKEY = HKeyTag*;

// The predefined root key is a token of this interface, not the system's handle value: the
// Windows implementation hands the system's own HKEY_LOCAL_MACHINE to the registry calls
// (sign-extended on 64-bit Windows, where this zero-extended value names no key).
inline HKEY predefinedKey(uintptr_t value) {
  return reinterpret_cast<HKEY>(value);
}
constexpr uintptr_t kLocalMachineToken = 0x80000002u;
inline const HKEY HKEY_LOCAL_MACHINE = predefinedKey(kLocalMachineToken);

// Access rights.
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD DELETE = 0x10000;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
constexpr DWORD SERVICE_INTERROGATE = 0x0080;
constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;

// Service configuration.
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_CONFIG_DESCRIPTION = 1;

// Controls.
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;

// States.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;

// Which services EnumServicesStatusA lists: the Win32 ones, in any state.
constexpr DWORD SERVICE_WIN32 = 0x30;
constexpr DWORD SERVICE_STATE_ALL = 3;

// Registry value types.
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_DWORD = 4;

// Error values.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_INVALID_SERVICE_CONTROL = 1052;
constexpr DWORD ERROR_SERVICE_DATABASE_LOCKED = 1055;
constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr DWORD ERROR_INVALID_SERVICE_ACCOUNT = 1057;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
constexpr DWORD ERROR_DUPLICATE_SERVICE_NAME = 1078;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};

// One service as EnumServicesStatusA lists it; the texts lie in the caller's buffer.
struct ENUM_SERVICE_STATUSA {
  char* lpServiceName;
  char* lpDisplayName;
  SERVICE_STATUS ServiceStatus;
};

// A service's configuration as QueryServiceConfigA gives it; the texts lie in the caller's
// buffer after the record.
struct QUERY_SERVICE_CONFIGA {
  DWORD dwServiceType;
  DWORD dwStartType;
  DWORD dwErrorControl;
  char* lpBinaryPathName;
  char* lpLoadOrderGroup;
  DWORD dwTagId;
  char* lpDependencies;
  char* lpServiceStartName;
  char* lpDisplayName;
};

struct SERVICE_DESCRIPTIONA {
  char* lpDescription;
};

// What the service manager does when a service's process ends without having reported
// itself stopped: ChangeServiceConfig2A with SERVICE_CONFIG_FAILURE_ACTIONS.
constexpr DWORD SERVICE_CONFIG_FAILURE_ACTIONS = 2;
constexpr DWORD SC_ACTION_NONE = 0;
constexpr DWORD SC_ACTION_RESTART = 1;
// A failed service is not running: the error value its status then carries.
constexpr DWORD ERROR_PROCESS_ABORTED = 1067;

struct SC_ACTION {
  DWORD Type;   // SC_ACTION_NONE, SC_ACTION_RESTART, ...
  DWORD Delay;  // milliseconds before the action
};

// Action n is taken at the n-th failure, the last one at every later failure; the count
// goes back to zero after dwResetPeriod seconds without a failure. A null lpsaActions
// leaves the actions as they are; null texts leave those as they are.
struct SERVICE_FAILURE_ACTIONSA {
  DWORD dwResetPeriod;
  char* lpRebootMsg;
  char* lpCommand;
  DWORD cActions;
  SC_ACTION* lpsaActions;
};

// The operations, with the contracts of their Windows namesakes: handles are null on failure,
// BOOL results 0 on failure, registry results an error value (0 on success), and every
// failure leaves its reason in the calling thread's last-error value.
class Platform {
 public:
  virtual ~Platform() = default;

  virtual SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD access) = 0;
  virtual SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) = 0;
  virtual SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* name, const char* display,
                                   DWORD access, DWORD type, DWORD start, DWORD errorControl,
                                   const char* binaryPath, const char* loadOrderGroup, DWORD* tagId,
                                   const char* dependencies, const char* account,
                                   const char* password) = 0;
  virtual BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD level, void* info) = 0;
  virtual BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** argv) = 0;
  virtual BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) = 0;
  virtual BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) = 0;
  virtual BOOL DeleteService(SC_HANDLE service) = 0;
  // Lists the services from *resumeHandle (0: the first) as far as bufSize bytes hold them;
  // with more left it fails with ERROR_MORE_DATA, *bytesNeeded the room the rest needs and
  // *resumeHandle where to go on.
  virtual BOOL EnumServicesStatusA(SC_HANDLE manager, DWORD serviceType, DWORD serviceState,
                                   ENUM_SERVICE_STATUSA* services, DWORD bufSize,
                                   DWORD* bytesNeeded, DWORD* servicesReturned,
                                   DWORD* resumeHandle) = 0;
  // Fails with ERROR_INSUFFICIENT_BUFFER, *bytesNeeded set, when bufSize cannot hold it all.
  virtual BOOL QueryServiceConfigA(SC_HANDLE service, QUERY_SERVICE_CONFIGA* config, DWORD bufSize,
                                   DWORD* bytesNeeded) = 0;
  virtual BOOL CloseServiceHandle(SC_HANDLE handle) = 0;

  virtual LONG RegCreateKeyA(HKEY key, const char* subKey, HKEY* result) = 0;
  virtual LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type,
                              const unsigned char* data, DWORD size) = 0;
  virtual LONG RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) = 0;
  virtual LONG RegDeleteKeyA(HKEY key, const char* subKey) = 0;
  // Copies the value's data (a text with its ending zero) when *size can hold it, else
  // answers ERROR_MORE_DATA; either way *size becomes the data's size. Null data asks only
  // for the size and type, and with a null size too for the type alone; data needs a size.
  virtual LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type,
                                unsigned char* data, DWORD* size) = 0;
  virtual LONG RegCloseKey(HKEY key) = 0;

  virtual DWORD GetLastError() = 0;
  virtual void SetLastError(DWORD error) = 0;
  // Milliseconds since an arbitrary start; wraps at 2^32.
  virtual DWORD GetTickCount() = 0;
  virtual void Sleep(DWORD milliseconds) = 0;
};

// For the implementations: the answers of EnumServicesStatusA and QueryServiceConfigA laid out
// in the caller's buffer as Windows lays them out, records first and their texts after them.
struct ServiceListing {
  std::string name, display;
  SERVICE_STATUS status;
};
BOOL packServiceList(Platform& os, const std::vector<ServiceListing>& all,
                     ENUM_SERVICE_STATUSA* services, DWORD bufSize, DWORD* bytesNeeded,
                     DWORD* servicesReturned, DWORD* resumeHandle);
struct ServiceConfig {
  DWORD type, start, errorControl;
  std::string binaryPath, account, display;
};
BOOL packServiceConfig(Platform& os, const ServiceConfig& c, QUERY_SERVICE_CONFIGA* config,
                       DWORD bufSize, DWORD* bytesNeeded);
// A text value's data into the caller's buffer, as RegQueryValueExA gives it.
LONG copyValue(Platform& os, DWORD storedType, const std::string& text, DWORD* type,
               unsigned char* data, DWORD* size);

// The platform the service layer uses: the real one of this build unless a test swapped
// another in. setPlatform returns the one it replaced; null restores the real one.
Platform& platform();
Platform* setPlatform(Platform* replacement);
// The real platform of this build (Windows, or the POSIX substitute).
Platform& realPlatform();

// A handle that closes itself: one owner, moved not copied. Closing keeps the thread's
// last-error value as it was, so that a value read after a failure, with the handle closed in
// between or while an exception unwinds, is the one the failed call set.
template <typename Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;
  ScopedHandle() = default;
  explicit ScopedHandle(Handle h) : handle_(h) {}
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.take()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    reset(other.take());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { reset(); }

  Handle get() const { return handle_; }
  Handle* receive() {
    reset();
    return &handle_;
  }
  explicit operator bool() const { return handle_ != nullptr; }
  Handle take() { return std::exchange(handle_, nullptr); }
  void reset(Handle h = nullptr) {
    if (handle_ != nullptr) {
      Platform& os = platform();
      DWORD saved = os.GetLastError();
      Traits::close(handle_);
      os.SetLastError(saved);
    }
    handle_ = h;
  }

 private:
  Handle handle_ = nullptr;
};

struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static void close(Handle h) { platform().CloseServiceHandle(h); }
};
struct RegistryKeyTraits {
  using Handle = HKEY;
  static void close(Handle h) { platform().RegCloseKey(h); }
};
using ScopedServiceHandle = ScopedHandle<ServiceHandleTraits>;
using ScopedRegistryKey = ScopedHandle<RegistryKeyTraits>;

}  // namespace winsvc
