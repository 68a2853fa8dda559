// kelda's Windows service layer. Windows is reached only through winsvc::platform(); every
// failure is an Xkelda carrying the last-error value read right after the failed call, before
// any log line (the log's file calls change it; scoped handles keep it while they close).

#include "kelda_nt.h"

#include <cstring>
#include <string>
#include <vector>

#include "svcplatform.h"
#include "xkelda.h"

using namespace winsvc;

namespace {

// The one Service Control Manager connection of the process: opened on first use, kept
// until the process ends.
struct ManagerConnection {
  SC_HANDLE handle = nullptr;
  bool opened = false;
};

ManagerConnection& manager() {
  static ManagerConnection connection;
  return connection;
}

Platform& os() {
  return platform();
}

int32_t lastError() {
  return static_cast<int32_t>(os().GetLastError());
}

const char kEventLogKeyPrefix[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
const char kServiceDescription[] = "Runs the monitor of one proxy server instance.";

// Keeps the thread's last-error value across the log's file calls while it lives: the polling
// warnings are logged before the caller's final-state failure reads the value.
class LastErrorKept {
 public:
  LastErrorKept() : value_(os().GetLastError()) {}
  ~LastErrorKept() { os().SetLastError(value_); }
  LastErrorKept(const LastErrorKept&) = delete;
  LastErrorKept& operator=(const LastErrorKept&) = delete;

 private:
  DWORD value_;
};

// Waits while the service stays in `pending` and its checkpoint keeps advancing within its
// wait hint. The caller judges the state the record holds afterwards.
void waitWhilePending(SC_HANDLE service, SERVICE_STATUS& status, DWORD pending) {
  DWORD start = os().GetTickCount();
  DWORD lastCheckPoint = status.dwCheckPoint;
  while (status.dwCurrentState == pending) {
    DWORD pause = status.dwWaitHint / 10;
    if (pause < 1000)
      pause = 1000;
    else if (pause > 10000)
      pause = 10000;
    os().Sleep(pause);

    if (!os().QueryServiceStatus(service, &status)) {
      int32_t error = lastError();
      LastErrorKept kept;
      KELDA_NT_LOG(3, "KELDA - QueryServiceStatus error - %d", error);
      break;
    }
    if (status.dwCheckPoint > lastCheckPoint) {
      start = os().GetTickCount();
      lastCheckPoint = status.dwCheckPoint;
    } else if (static_cast<DWORD>(os().GetTickCount() - start) > status.dwWaitHint) {
      // Unsigned subtraction: the difference is right across the tick counter's wrap. A time
      // equal to the hint is still within it.
      LastErrorKept kept;
      KELDA_NT_LOG(3, "KELDA - No progress made within the wait hint %d",
                   static_cast<int>(status.dwWaitHint));
      break;
    }
  }
}

// Candidate n of a numbered name: the base followed by n (1 to 999 in the three-digit field
// the names were designed for; larger numbers are written in full rather than cut).
std::string numbered(const char* base, int n) {
  return base + std::to_string(n);
}

}  // namespace

void resetWindowsServiceGlobalsForTesting() {
  manager() = ManagerConnection();
}

void initWindowsServiceGlobals() {
  ManagerConnection& m = manager();
  if (m.opened) return;
  m.handle = os().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (m.handle == nullptr)
    KELDA_NT_THROW_CODE("initWindowsServiceGlobals", "qz.kelda.strings.errorwinservman",
                        lastError());
  m.opened = true;
}

// ---- event log ------------------------------------------------------------------------------

void addEventViewerHooks(const char* serviceName, const char* messageFilePath) {
  std::string keyPath = std::string(kEventLogKeyPrefix) + serviceName;
  ScopedRegistryKey key;
  if (os().RegCreateKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str(), key.receive()) != 0)
    KELDA_NT_THROW_CODE("addEventViewerHooks", "qz.kelda.strings.eventviewerregkey", lastError());
  std::string path = messageFilePath;
  if (os().RegSetValueExA(key.get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const unsigned char*>(path.c_str()),
                          static_cast<DWORD>(path.size() + 1)) != 0) {
    KELDA_NT_THROW_CODE("addEventViewerHooks", "qz.kelda.strings.eventviewregsetvalue",
                        lastError());
  }
  // Error, warning and information events, as a little-endian 32-bit value.
  const DWORD types = 7;
  const unsigned char typesData[4] = {static_cast<unsigned char>(types), 0, 0, 0};
  if (os().RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD, typesData, 4) != 0) {
    KELDA_NT_THROW_CODE("addEventViewerHooks", "qz.kelda.strings.eventviewregsetvalue",
                        lastError());
  }
}

void removeEventViewerHooks(const char* serviceName) {
  std::string keyPath = std::string(kEventLogKeyPrefix) + serviceName;
  {
    ScopedRegistryKey key;
    if (os().RegOpenKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str(), key.receive()) != 0) {
      KELDA_NT_LOG(1, "KELDA - Couldn't open event viewer registry entry for deletion - %s",
                   keyPath.c_str());
      return;
    }
  }
  if (os().RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str()) != 0) {
    // This one site reads the value after its line, as the design of the removal has it.
    KELDA_NT_LOG(1, "KELDA - Couldn't delete event viewer registry entry - %s", keyPath.c_str());
    KELDA_NT_THROW_CODE("removeEventViewerHooks", "qz.kelda.strings.eventviewregdeletekey",
                        lastError());
  }
  KELDA_NT_LOG(1, "KELDA - Successfully deleted event viewer registry entry - %s", keyPath.c_str());
}

// ---- start and stop -----------------------------------------------------------------------

void qzStart(const char*, const char* serviceName) {
  initWindowsServiceGlobals();
  ScopedServiceHandle service(os().OpenServiceA(manager().handle, serviceName, SERVICE_ALL_ACCESS));
  if (!service) KELDA_NT_THROW_CODE("qzStart", "qz.kelda.strings.starterrorwinopen", lastError());
  if (!os().StartServiceA(service.get(), 0, nullptr)) {
    int32_t error = lastError();
    if (error == static_cast<int32_t>(ERROR_SERVICE_ALREADY_RUNNING))
      KELDA_NT_THROW_CODE("qzStart", "qz.kelda.strings.starterrorwinalreadystarted", error);
    KELDA_NT_THROW_CODE("qzStart", "qz.kelda.strings.starterrorwinstart", error);
  }
  SERVICE_STATUS status{};
  if (!os().QueryServiceStatus(service.get(), &status)) {
    KELDA_NT_THROW_CODE("qzStart", "qz.kelda.strings.starterrorwinquery", lastError());
  }
  if (status.dwCurrentState == SERVICE_START_PENDING)
    waitWhilePending(service.get(), status, SERVICE_START_PENDING);
  service.reset();
  if (status.dwCurrentState == SERVICE_RUNNING) return;
  // No call on this path failed: the value is whatever an earlier failure left.
  KELDA_NT_THROW_CODE("qzStart", "qz.kelda.strings.starterrorwinfailure", lastError());
}

void controlQZWindowsService(const char* serviceName, uint32_t control) {
  DWORD access = SERVICE_INTERROGATE | SERVICE_QUERY_STATUS;
  if (control == SERVICE_CONTROL_STOP)
    access = SERVICE_STOP | SERVICE_QUERY_STATUS;
  else if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE)
    access = SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS;

  ScopedServiceHandle service(os().OpenServiceA(manager().handle, serviceName, access));
  if (!service)
    KELDA_NT_THROW_CODE("controlQZWindowsService", "qz.kelda.strings.controlerrorwinopen",
                        lastError());
  SERVICE_STATUS status{};
  if (!os().ControlService(service.get(), control, &status)) {
    KELDA_NT_THROW_CODE("controlQZWindowsService", "qz.kelda.strings.controlerrorwincontrol",
                        lastError());
  }
  if (status.dwCurrentState == SERVICE_STOPPED) return;
  if (status.dwCurrentState == SERVICE_STOP_PENDING)
    waitWhilePending(service.get(), status, SERVICE_STOP_PENDING);
  if (status.dwCurrentState == SERVICE_STOPPED) return;
  KELDA_NT_THROW_CODE("controlQZWindowsService", "qz.kelda.strings.controlerrorwincontrol",
                      lastError());
}

void qzStop(const char*, const char* serviceName) {
  initWindowsServiceGlobals();
  controlQZWindowsService(serviceName, SERVICE_CONTROL_STOP);
}

// ---- registration -------------------------------------------------------------------------

// A monitor whose process ends without having stopped is started again by the service
// manager, after qz.kelda.restartdelay milliseconds (60000 when unset; 0 or less: never), at
// every failure; the failure count goes back to zero after a day. Like the description, the
// actions are a convenience: failing to set them is logged and the service stays.
namespace {
void setFailureActions(SC_HANDLE service, const char* name) {
  int delay = 0;
  try {
    delay = qz::getVarInt("qz.kelda.restartdelay", 60000);
  } catch (qz::X& x) {
    KELDA_NT_LOG(1, "KELDA - qz.kelda.restartdelay is not a number of milliseconds - %s",
                 x.errorText().c_str());
    return;
  }
  if (delay <= 0) return;
  // First failure, second failure, every later one.
  SC_ACTION actions[3];
  for (SC_ACTION& a : actions) a = SC_ACTION{SC_ACTION_RESTART, static_cast<DWORD>(delay)};
  SERVICE_FAILURE_ACTIONSA info{86400, nullptr, nullptr, 3, actions};
  if (!os().ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &info))
    KELDA_NT_LOG(1,
                 "KELDA - Couldn't set the failure actions of windows service - '%s' - "
                 "GetLastError() = %d",
                 name, lastError());
}
}  // namespace

std::string createQZWindowsService(const char* name, const char* display, const char* commandLine,
                                   const char* account, const char* password, uint32_t access,
                                   uint32_t type, uint32_t start, uint32_t errorControl) {
  KELDA_NT_LOG(1, "KELDA - About to create windows service - '%s'", name);
  initWindowsServiceGlobals();
  int tries = qz::getVarInt("qz.kelda.winservicecreatetries", 1);
  int n = 0;
  std::string candidate = name;
  std::string candidateDisplay = display != nullptr ? display : "";

  bool create = false;
  for (;;) {
    ScopedServiceHandle existing(
        os().OpenServiceA(manager().handle, candidate.c_str(), SERVICE_ALL_ACCESS));
    if (!existing) {
      create = n < tries;  // the name is free, whatever the reason
      break;
    }
    existing.reset();
    ++n;
    candidate = numbered(name, n);
    candidateDisplay = numbered(display != nullptr ? display : "", n);
    if (n >= tries) break;
  }

  if (create) {
    ScopedServiceHandle service(
        os().CreateServiceA(manager().handle, candidate.c_str(), candidateDisplay.c_str(), access,
                            type, start, errorControl, commandLine, nullptr, nullptr, nullptr,
                            account != nullptr ? account : "LocalSystem", password));
    if (service) {
      std::string description = kServiceDescription;
      SERVICE_DESCRIPTIONA info{&description[0]};
      os().ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &info);
      setFailureActions(service.get(), candidate.c_str());
      qz::setVarStr("qz.servicename", candidate.c_str());
      service.reset();
      KELDA_NT_LOG(1, "KELDA - Created windows service - '%s'", candidate.c_str());
      return candidate;
    }
  }

  int32_t error = lastError();
  KELDA_NT_LOG(1, "KELDA - Error creating windows service - GetLastError() = %d", error);
  if (error == static_cast<int32_t>(ERROR_INVALID_SERVICE_ACCOUNT))
    KELDA_NT_THROW_CODE("createQZWindowsService", "qz.kelda.strings.createservererrorwinuser",
                        error);
  if (error == static_cast<int32_t>(ERROR_SERVICE_EXISTS))
    KELDA_NT_THROW_CODE("createQZWindowsService", "qz.kelda.strings.createservererrorwinexists",
                        error);
  KELDA_NT_THROW_CODE("createQZWindowsService", "qz.kelda.strings.createservererrorwin", error);
}

void qzCreateService(const char* name, const char* display, const char* commandLine,
                     const char* account, const char* password) {
  if (name == nullptr || display == nullptr || commandLine == nullptr)
    KELDA_THROW_AS("qzCreateService", KELDA_NT_SRC, "Xkelda( \"qz.kelda.strings.usage\", 0 )",
                   Xkelda("qz.kelda.strings.usage", 0));
  std::string created =
      createQZWindowsService(name, display, commandLine, account, password, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL);
  bool failed = false;
  try {
    std::string path = qz::getVarStr("qz.rootdir", "") + "/bin/" + "qzerrors.dll";
    addEventViewerHooks(created.c_str(), path.c_str());
  } catch (qz::X&) {
    failed = true;
  }
  // The service stays registered: nothing is rolled back. The value is read here, after the
  // inner failure was caught, as the design of the creation has it.
  if (failed)
    KELDA_NT_THROW_CODE("qzCreateService", "qz.kelda.strings.createservererrorwinaddevhooks",
                        lastError());
}

void removeQZWindowsService(const char* name) {
  KELDA_NT_LOG(1, "KELDA - About to remove windows service - '%s'", name);
  initWindowsServiceGlobals();
  try {
    controlQZWindowsService(name, SERVICE_CONTROL_STOP);
  } catch (Xkelda&) {
    // Stopped already, or cannot be stopped: it is deleted all the same.
  }
  ScopedServiceHandle service(os().OpenServiceA(manager().handle, name, DELETE));
  if (!service) {
    int32_t error = lastError();
    KELDA_NT_LOG(1, "KELDA - Error finding windows service to remove - GetLastError() = %d", error);
    KELDA_NT_THROW_CODE("removeQZWindowsService", "qz.kelda.strings.removeservererrorwinopen",
                        error);
  }
  if (!os().DeleteService(service.get())) {
    int32_t error = lastError();
    KELDA_NT_LOG(1, "KELDA - Error deleting windows service - GetLastError() = %d", error);
    KELDA_NT_THROW_CODE("removeQZWindowsService", "qz.kelda.strings.removeservererrorwindelete",
                        error);
  }
}

void qzRemoveService(const char* name) {
  removeQZWindowsService(name);
  bool failed = false;
  try {
    removeEventViewerHooks(name);
  } catch (qz::X&) {
    failed = true;
  }
  if (failed)
    KELDA_NT_THROW_CODE("qzRemoveService", "qz.kelda.strings.removeservererrorwindeleteevhooks",
                        lastError());
}

// ---- looking without changing ---------------------------------------------------------------

namespace {

std::string text(const char* t) {
  return t != nullptr ? t : "";
}

// The command line of a service; false when the service went after it was listed.
bool commandLineOf(const std::string& name, std::string& commandLine) {
  ScopedServiceHandle service(
      os().OpenServiceA(manager().handle, name.c_str(), SERVICE_QUERY_CONFIG));
  if (!service) {
    int32_t error = lastError();
    if (error == static_cast<int32_t>(ERROR_SERVICE_DOES_NOT_EXIST)) return false;
    KELDA_NT_THROW_CODE("listQZWindowsServices", "qz.kelda.strings.listerrorwinopen", error);
  }
  DWORD needed = 0;
  std::vector<QUERY_SERVICE_CONFIGA> config(8);
  for (int tries = 0;; ++tries) {
    DWORD size = static_cast<DWORD>(config.size() * sizeof(QUERY_SERVICE_CONFIGA));
    if (os().QueryServiceConfigA(service.get(), config.data(), size, &needed)) break;
    int32_t error = lastError();
    // The configuration may grow between two calls: five tries, then the error.
    if (error != static_cast<int32_t>(ERROR_INSUFFICIENT_BUFFER) || tries > 3) {
      KELDA_NT_THROW_CODE("listQZWindowsServices", "qz.kelda.strings.listerrorwinquery", error);
    }
    config.resize(needed / sizeof(QUERY_SERVICE_CONFIGA) + 1);
  }
  commandLine = text(config[0].lpBinaryPathName);
  return true;
}

}  // namespace

std::vector<InstalledService> listQZWindowsServices() {
  initWindowsServiceGlobals();
  std::vector<InstalledService> found;
  // Room for a few hundred services with their names: one call on most machines.
  std::vector<ENUM_SERVICE_STATUSA> rows(1024);
  DWORD resume = 0;
  for (;;) {
    DWORD size = static_cast<DWORD>(rows.size() * sizeof(ENUM_SERVICE_STATUSA));
    DWORD needed = 0, count = 0;
    BOOL done = os().EnumServicesStatusA(manager().handle, SERVICE_WIN32, SERVICE_STATE_ALL,
                                         rows.data(), size, &needed, &count, &resume);
    int32_t error = lastError();
    if (!done && (error != static_cast<int32_t>(ERROR_MORE_DATA)))
      KELDA_NT_THROW_CODE("listQZWindowsServices", "qz.kelda.strings.listerrorwin", error);
    for (DWORD i = 0; i < count; ++i)
      found.push_back(InstalledService{text(rows[i].lpServiceName), text(rows[i].lpDisplayName), "",
                                       rows[i].ServiceStatus.dwCurrentState});
    if (done) break;
    if (count == 0) {
      // Not even the next one fitted: make room for what the manager says it needs.
      if (needed <= size || needed > (64u << 20))
        KELDA_NT_THROW_CODE("listQZWindowsServices", "qz.kelda.strings.listerrorwin", error);
      rows.resize(needed / sizeof(ENUM_SERVICE_STATUSA) + 1);
    }
  }
  std::vector<InstalledService> listed;
  for (InstalledService& s : found)
    if (commandLineOf(s.name, s.commandLine)) listed.push_back(std::move(s));
  return listed;
}

bool eventSourceMessageFile(const char* serviceName, std::string& messageFile) {
  std::string keyPath = std::string(kEventLogKeyPrefix) + serviceName;
  messageFile.clear();
  ScopedRegistryKey key;
  if (os().RegOpenKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str(), key.receive()) != 0) {
    int32_t error = lastError();
    if (error == static_cast<int32_t>(ERROR_FILE_NOT_FOUND)) return false;
    KELDA_NT_THROW_CODE("eventSourceMessageFile", "qz.kelda.strings.eventviewerregread", error);
  }
  const char* value = "EventMessageFile";
  DWORD type = 0, size = 0;
  LONG rc = os().RegQueryValueExA(key.get(), value, nullptr, &type, nullptr, &size);
  std::vector<unsigned char> data;
  // Should it grow in between, again with its new size.
  for (int tries = 0; rc == 0 || (rc == static_cast<LONG>(ERROR_MORE_DATA) && tries < 4); ++tries) {
    data.assign(size + 1, 0);
    rc = os().RegQueryValueExA(key.get(), value, nullptr, &type, data.data(), &size);
    if (rc == 0) break;
  }
  if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return true;
  if (rc != 0)
    KELDA_NT_THROW_CODE("eventSourceMessageFile", "qz.kelda.strings.eventviewerregread",
                        static_cast<int32_t>(rc));
  if (type == REG_SZ || type == REG_EXPAND_SZ)
    messageFile.assign(reinterpret_cast<const char*>(data.data()),
                       strnlen(reinterpret_cast<const char*>(data.data()), size));
  return true;
}
