// The service manager and registry stand-in for POSIX systems. It keeps its state in files
// (qzscm.h: service records, each service's status as the service reports it) and registry
// keys as directories. Starting a service runs its command line detached (svcspawn_posix.h);
// stopping sends it SIGTERM. Every operation on the state takes the state directory's lock,
// and failures give the Windows error values.

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qzscm.h"
#include "qzsys.h"
#include "svcplatform.h"
#include "svcspawn_posix.h"

namespace winsvc {
namespace {

namespace scm = qz::scm;

thread_local DWORD tlsLastError = 0;

// Sets the thread's last-error value and answers the failure result of the caller.
template <typename R>
R failWith(DWORD error, R result) {
  tlsLastError = error;
  return result;
}

// A lock-taking operation that did not get the state directory's lock: the manager's
// database is locked, a registry key cannot be reached.
constexpr DWORD kManagerLocked = ERROR_SERVICE_DATABASE_LOCKED;
constexpr DWORD kKeyLocked = ERROR_ACCESS_DENIED;

// The open handles, in a table as the service manager keeps them: a handle is a number that
// names an entry, so that a stale or foreign one is refused, not followed.
struct Open {
  enum Kind { kManager, kService, kKey } kind;
  std::string name;  // service name, or the key's path below HKLM
  DWORD access;
};

class Handles {
 public:
  void* add(Open o) {
    std::lock_guard<std::mutex> hold(mutex_);
    void* h = reinterpret_cast<void*>(static_cast<uintptr_t>(0x1000 + 16 * next_++));
    open_[h] = std::move(o);
    return h;
  }
  // A copy of the entry of that kind, or false.
  bool find(void* h, Open::Kind kind, Open& found) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = open_.find(h);
    if (it == open_.end() || it->second.kind != kind) return false;
    found = it->second;
    return true;
  }
  bool remove(void* h, Open::Kind kind) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = open_.find(h);
    if (it == open_.end() || it->second.kind != kind) return false;
    open_.erase(it);
    return true;
  }

 private:
  std::mutex mutex_;
  std::map<void*, Open> open_;
  uintptr_t next_ = 1;
};

// Windows takes names of up to 256 characters. Here each service's files are named after it,
// and a file name has at most 255 bytes, of which the temporary beside a file being replaced
// adds 11: ".tmp" and a process id of up to 7 digits.
constexpr size_t kLongestName = 255 - 11;

bool validName(const char* name) {
  if (name == nullptr || *name == '\0' || std::strlen(name) > kLongestName) return false;
  return std::strpbrk(name, "/\\\n") == nullptr;
}

// "LocalSystem" (or none) runs as the invoking user; any other account must exist here.
// A Windows-style ".\user" or "DOMAIN\user" names the user after the backslash.
bool knownAccount(const char* account) {
  if (account == nullptr || std::strcmp(account, "LocalSystem") == 0) return true;
  const char* user = std::strrchr(account, '\\');
  user = user != nullptr ? user + 1 : account;
  return *user != '\0' && getpwnam(user) != nullptr;
}

// ---- registry ----------------------------------------------------------------------------

// HKLM\A\B -> <dir>/registry/hklm/a/b; key names are case-insensitive.
bool keyPath(const std::string& dir, const char* subKey, std::string& path) {
  if (subKey == nullptr) return false;
  path = dir + "/registry/hklm";
  std::string part;
  std::string s = subKey;
  s += '\\';
  for (char c : s) {
    if (c == '\\') {
      if (part.empty() || part == "." || part == ".." || part[0] == '.') return false;
      path += "/" + scm::fileName(part);
      part.clear();
    } else if (c == '/') {
      return false;
    } else {
      part += c;
    }
  }
  return true;
}

LONG regFail(DWORD error) {
  return failWith<LONG>(error, static_cast<LONG>(error));
}

// The state directory and the directory of HKLM\subKey; otherwise the error, already set
// (malformed: the error for a malformed subkey).
LONG hklmPath(HKEY key, const char* subKey, DWORD malformed, std::string& dir, std::string& path) {
  dir = scm::stateDir();
  if (key != HKEY_LOCAL_MACHINE) return regFail(ERROR_INVALID_HANDLE);
  if (!keyPath(dir, subKey, path)) return regFail(malformed);
  return 0;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class PosixPlatform : public Platform {
 public:
  SC_HANDLE OpenSCManagerA(const char*, const char*, DWORD access) override {
    std::string dir = scm::stateDir();
    if (!scm::makeDirs(dir + "/services") || !scm::makeDirs(dir + "/status"))
      return failWith<SC_HANDLE>(ERROR_ACCESS_DENIED, nullptr);
    return static_cast<SC_HANDLE>(handles_.add(Open{Open::kManager, "", access}));
  }

  SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) override {
    Open m;
    if (!handles_.find(manager, Open::kManager, m))
      return failWith<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
    if (!validName(name)) return failWith<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
    std::string dir = scm::stateDir();
    scm::Lock lock(dir);
    if (!lock.ok()) return failWith<SC_HANDLE>(kManagerLocked, nullptr);
    scm::currentStatus(dir, name);
    scm::Record r;
    if (!scm::readRecord(dir, name, r))
      return failWith<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
    if (r["deleted"] == "1") return failWith<SC_HANDLE>(ERROR_SERVICE_MARKED_FOR_DELETE, nullptr);
    return static_cast<SC_HANDLE>(handles_.add(Open{Open::kService, r["name"], access}));
  }

  SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* name, const char* display, DWORD access,
                           DWORD type, DWORD start, DWORD errorControl, const char* binaryPath,
                           const char*, DWORD*, const char*, const char* account,
                           const char*) override {
    Open m;
    if (!handles_.find(manager, Open::kManager, m))
      return failWith<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
    if (!validName(name) || (display != nullptr && std::strchr(display, '\n') != nullptr))
      return failWith<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
    if (binaryPath == nullptr || *binaryPath == '\0' || std::strchr(binaryPath, '\n') != nullptr)
      return failWith<SC_HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
    std::string dir = scm::stateDir();
    scm::Lock lock(dir);
    if (!lock.ok()) return failWith<SC_HANDLE>(kManagerLocked, nullptr);
    scm::currentStatus(dir, name);
    scm::Record existing;
    if (scm::readRecord(dir, name, existing))
      return failWith<SC_HANDLE>(
          existing["deleted"] == "1" ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS,
          nullptr);
    std::string shown = display != nullptr ? display : name;
    if (scm::displayNameTaken(dir, shown))
      return failWith<SC_HANDLE>(ERROR_DUPLICATE_SERVICE_NAME, nullptr);
    if (!knownAccount(account)) return failWith<SC_HANDLE>(ERROR_INVALID_SERVICE_ACCOUNT, nullptr);
    scm::Record r;
    r["name"] = name;
    r["display"] = shown;
    r["binpath"] = binaryPath;
    r["account"] = account != nullptr ? account : "LocalSystem";
    r["type"] = std::to_string(type);
    r["start"] = std::to_string(start);
    r["errorcontrol"] = std::to_string(errorControl);
    r["description"] = "";
    r["deleted"] = "0";
    if (!scm::writeRecord(dir, name, r)) return failWith<SC_HANDLE>(ERROR_ACCESS_DENIED, nullptr);
    scm::removeStatus(dir, name);
    return static_cast<SC_HANDLE>(handles_.add(Open{Open::kService, name, access}));
  }

  BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD level, void* info) override {
    Open o;
    if (DWORD error = serviceFor(service, SERVICE_CHANGE_CONFIG, o))
      return failWith<BOOL>(error, 0);
    if (info == nullptr ||
        (level != SERVICE_CONFIG_FAILURE_ACTIONS && level != SERVICE_CONFIG_DESCRIPTION))
      return failWith<BOOL>(ERROR_INVALID_PARAMETER, 0);
    auto* actions = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS && actions->lpsaActions == nullptr) return 1;
    Locked state;
    if (!state.lock.ok()) return failWith<BOOL>(kManagerLocked, 0);
    const std::string& dir = state.dir;
    scm::Record r;
    if (!scm::readRecord(dir, o.name, r)) return failWith<BOOL>(ERROR_SERVICE_DOES_NOT_EXIST, 0);
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
      // "failurereset" in seconds; "failureactions": one "<type>/<delay>" per action.
      std::string list;
      for (DWORD i = 0; i < actions->cActions; ++i)
        list += (i > 0 ? " " : "") + std::to_string(actions->lpsaActions[i].Type) + "/" +
                std::to_string(actions->lpsaActions[i].Delay);
      r["failurereset"] = std::to_string(actions->dwResetPeriod);
      r["failureactions"] = list;
    } else {
      const char* text = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
      std::string description = text != nullptr ? text : "";
      for (char& c : description)
        if (c == '\n') c = ' ';
      r["description"] = description;
    }
    return scm::writeRecord(dir, o.name, r) ? 1 : failWith<BOOL>(ERROR_ACCESS_DENIED, 0);
  }

  BOOL StartServiceA(SC_HANDLE service, DWORD, const char**) override {
    Open o;
    Locked state;
    if (DWORD error = serviceFor(service, SERVICE_START, o, &state))
      return failWith<BOOL>(error, 0);
    const std::string& dir = state.dir;
    scm::Record r;
    if (!scm::readRecord(dir, o.name, r) || r["deleted"] == "1")
      return failWith<BOOL>(ERROR_SERVICE_MARKED_FOR_DELETE, 0);
    scm::Status now = scm::currentStatus(dir, o.name);
    if (now.state != SERVICE_STOPPED) return failWith<BOOL>(ERROR_SERVICE_ALREADY_RUNNING, 0);
    cancelRestart(dir, o.name, now);
    // The lock is held until the status names the new process: the service's own reports
    // queue behind it and cannot be overwritten.
    int pid = spawnDetached(splitCommandLine(r["binpath"]), dir, o.name);
    if (pid == 0)
      return failWith<BOOL>(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED, 0);
    scm::Status s;
    s.state = SERVICE_START_PENDING;
    s.waitHint = 2000;
    s.pid = pid;
    scm::writeStatus(dir, o.name, s);
    return 1;
  }

  BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
    Open o;
    DWORD error = serviceFor(
        service, control == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_INTERROGATE, o);
    if (error == ERROR_INVALID_HANDLE || status == nullptr)
      return failWith<BOOL>(ERROR_INVALID_HANDLE, 0);
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE)
      return failWith<BOOL>(ERROR_INVALID_SERVICE_CONTROL, 0);
    if (error != 0) return failWith<BOOL>(error, 0);
    Locked state;
    if (!state.lock.ok()) return failWith<BOOL>(kManagerLocked, 0);
    const std::string& dir = state.dir;
    scm::Status s = scm::currentStatus(dir, o.name);
    if (s.state == SERVICE_STOPPED) {
      // Not running, but perhaps waiting to be started again after a failure: not any more.
      if (control == SERVICE_CONTROL_STOP) cancelRestart(dir, o.name, s);
      return failWith<BOOL>(ERROR_SERVICE_NOT_ACTIVE, 0);
    }
    if (control == SERVICE_CONTROL_STOP) {
      if (s.state != SERVICE_RUNNING) return failWith<BOOL>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 0);
      if (kill(s.pid, SIGTERM) != 0) return failWith<BOOL>(ERROR_SERVICE_NOT_ACTIVE, 0);
      s.state = SERVICE_STOP_PENDING;
      s.checkPoint = 1;
      s.waitHint = 5000;
      scm::writeStatus(dir, o.name, s);
    }
    fill(s, status);
    return 1;
  }

  BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    Open o;
    DWORD error = serviceFor(service, SERVICE_QUERY_STATUS, o);
    if (status == nullptr) error = ERROR_INVALID_HANDLE;
    if (error != 0) return failWith<BOOL>(error, 0);
    Locked state;
    if (!state.lock.ok()) return failWith<BOOL>(kManagerLocked, 0);
    fill(scm::currentStatus(state.dir, o.name), status);
    return 1;
  }

  BOOL DeleteService(SC_HANDLE service) override {
    Open o;
    Locked state;
    if (DWORD error = serviceFor(service, DELETE, o, &state)) return failWith<BOOL>(error, 0);
    const std::string& dir = state.dir;
    scm::Record r;
    if (!scm::readRecord(dir, o.name, r)) return failWith<BOOL>(ERROR_SERVICE_DOES_NOT_EXIST, 0);
    if (r["deleted"] == "1") return failWith<BOOL>(ERROR_SERVICE_MARKED_FOR_DELETE, 0);
    scm::Status now = scm::currentStatus(dir, o.name);
    if (now.state != SERVICE_STOPPED) {
      // As on Windows: marked now, gone once it has stopped.
      r["deleted"] = "1";
      return scm::writeRecord(dir, o.name, r) ? 1 : failWith<BOOL>(ERROR_ACCESS_DENIED, 0);
    }
    cancelRestart(dir, o.name, now);
    scm::removeService(dir, o.name);
    return 1;
  }

  BOOL EnumServicesStatusA(SC_HANDLE manager, DWORD, DWORD, ENUM_SERVICE_STATUSA* services,
                           DWORD bufSize, DWORD* bytesNeeded, DWORD* servicesReturned,
                           DWORD* resumeHandle) override {
    Open m;
    if (!handles_.find(manager, Open::kManager, m)) return failWith<BOOL>(ERROR_INVALID_HANDLE, 0);
    if ((m.access & SC_MANAGER_ENUMERATE_SERVICE) == 0)
      return failWith<BOOL>(ERROR_ACCESS_DENIED, 0);
    Locked state;
    if (!state.lock.ok()) return failWith<BOOL>(kManagerLocked, 0);
    std::vector<std::string> names;
    if (!scm::listDirectory(state.dir + "/services", names))
      return failWith<BOOL>(ERROR_ACCESS_DENIED, 0);
    std::sort(names.begin(), names.end());
    std::vector<ServiceListing> all;
    for (const std::string& n : names) {
      SERVICE_STATUS status;
      fill(scm::currentStatus(state.dir, n), &status);
      scm::Record r;
      // One marked for deletion that has stopped went just now.
      if (scm::readRecord(state.dir, n, r)) all.push_back({r["name"], r["display"], status});
    }
    return packServiceList(*this, all, services, bufSize, bytesNeeded, servicesReturned,
                           resumeHandle);
  }

  BOOL QueryServiceConfigA(SC_HANDLE service, QUERY_SERVICE_CONFIGA* config, DWORD bufSize,
                           DWORD* bytesNeeded) override {
    Open o;
    Locked state;
    if (DWORD error = serviceFor(service, SERVICE_QUERY_CONFIG, o, &state))
      return failWith<BOOL>(error, 0);
    scm::Record r;
    if (!scm::readRecord(state.dir, o.name, r))
      return failWith<BOOL>(ERROR_SERVICE_DOES_NOT_EXIST, 0);
    ServiceConfig c{number(r["type"]), number(r["start"]), number(r["errorcontrol"]),
                    r["binpath"],      r["account"],       r["display"]};
    return packServiceConfig(*this, c, config, bufSize, bytesNeeded);
  }

  BOOL CloseServiceHandle(SC_HANDLE handle) override {
    if (!handles_.remove(handle, Open::kService) && !handles_.remove(handle, Open::kManager))
      return failWith<BOOL>(ERROR_INVALID_HANDLE, 0);
    return 1;
  }

  LONG RegCreateKeyA(HKEY key, const char* subKey, HKEY* result) override {
    std::string dir, path;
    if (LONG error = hklmPath(key, subKey, ERROR_INVALID_PARAMETER, dir, path)) return error;
    scm::Lock lock(dir);
    if (!lock.ok() || !scm::makeDirs(path + "/.values")) return regFail(kKeyLocked);
    *result = static_cast<HKEY>(handles_.add(Open{Open::kKey, subKey, 0}));
    return 0;
  }

  LONG RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type, const unsigned char* data,
                      DWORD size) override {
    Open o;
    std::string dir = scm::stateDir(), path;
    if (!handles_.find(key, Open::kKey, o) || !keyPath(dir, o.name.c_str(), path))
      return regFail(ERROR_INVALID_HANDLE);
    if (name == nullptr || std::strpbrk(name, "/\\") != nullptr || (size > 0 && data == nullptr))
      return regFail(ERROR_INVALID_PARAMETER);
    std::string text = std::to_string(type) + "\n";
    text.append(reinterpret_cast<const char*>(data), size);
    scm::Lock lock(dir);
    if (!lock.ok()) return regFail(kKeyLocked);
    if (!isDirectory(path)) return regFail(ERROR_FILE_NOT_FOUND);
    // A key made on the way to another one has no values yet.
    if (!scm::makeDirs(path + "/.values") ||
        !qz::sys::writeWholeFile(path + "/.values/" + scm::fileName(name), text))
      return regFail(ERROR_ACCESS_DENIED);
    return 0;
  }

  LONG RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) override {
    std::string dir, path;
    if (LONG error = hklmPath(key, subKey, ERROR_FILE_NOT_FOUND, dir, path)) return error;
    scm::Lock lock(dir);
    if (!lock.ok()) return regFail(kKeyLocked);
    if (!isDirectory(path)) return regFail(ERROR_FILE_NOT_FOUND);
    *result = static_cast<HKEY>(handles_.add(Open{Open::kKey, subKey, 0}));
    return 0;
  }

  LONG RegDeleteKeyA(HKEY key, const char* subKey) override {
    std::string dir, path;
    if (LONG error = hklmPath(key, subKey, ERROR_FILE_NOT_FOUND, dir, path)) return error;
    scm::Lock lock(dir);
    if (!lock.ok()) return regFail(kKeyLocked);
    if (!isDirectory(path)) return regFail(ERROR_FILE_NOT_FOUND);
    // Values go with the key; a key with subkeys is refused, as on Windows, before anything
    // of it is deleted.
    std::vector<std::string> entries;
    if (!scm::listDirectory(path, entries)) return regFail(ERROR_ACCESS_DENIED);
    for (const std::string& e : entries)
      if (e != ".values") return regFail(ERROR_ACCESS_DENIED);
    std::string values = path + "/.values";
    std::vector<std::string> names;
    bool hasValues = isDirectory(values);
    if (hasValues && (!scm::listDirectory(values, names) || !removeFiles(values, names) ||
                      rmdir(values.c_str()) != 0))
      return regFail(ERROR_ACCESS_DENIED);
    if (rmdir(path.c_str()) != 0) return regFail(ERROR_ACCESS_DENIED);
    return 0;
  }

  LONG RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, unsigned char* data,
                        DWORD* size) override {
    Open o;
    std::string dir = scm::stateDir(), path;
    if (!handles_.find(key, Open::kKey, o) || !keyPath(dir, o.name.c_str(), path))
      return regFail(ERROR_INVALID_HANDLE);
    if (name == nullptr || std::strpbrk(name, "/\\") != nullptr)
      return regFail(ERROR_FILE_NOT_FOUND);
    std::string stored;
    {
      scm::Lock lock(dir);
      if (!lock.ok()) return regFail(kKeyLocked);
      if (!scm::readWholeFile(path + "/.values/" + scm::fileName(name), stored))
        return regFail(ERROR_FILE_NOT_FOUND);
    }
    // "<type>\n<data>", as RegSetValueExA wrote it.
    size_t newline = stored.find('\n');
    if (newline == std::string::npos) return regFail(ERROR_FILE_NOT_FOUND);
    return copyValue(*this, number(stored.substr(0, newline)), stored.substr(newline + 1), type,
                     data, size);
  }

  LONG RegCloseKey(HKEY key) override {
    if (!handles_.remove(key, Open::kKey)) return regFail(ERROR_INVALID_HANDLE);
    return 0;
  }

  DWORD GetLastError() override { return tlsLastError; }
  void SetLastError(DWORD error) override { tlsLastError = error; }

  DWORD GetTickCount() override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                              static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
  }

  void Sleep(DWORD milliseconds) override {
    timespec ts{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }

 private:
  // The state directory, locked while this lives.
  struct Locked {
    std::string dir = scm::stateDir();
    scm::Lock lock{dir};
  };

  // 0 when the handle is an open service's with the access needed (and, given a state, the
  // state is locked); else the error.
  DWORD serviceFor(SC_HANDLE handle, DWORD needed, Open& o, const Locked* state = nullptr) {
    if (!handles_.find(handle, Open::kService, o)) return ERROR_INVALID_HANDLE;
    if ((o.access & needed) != needed) return ERROR_ACCESS_DENIED;
    return state == nullptr || state->lock.ok() ? 0 : kManagerLocked;
  }

  static void fill(const scm::Status& s, SERVICE_STATUS* status) {
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS,
                             s.state,
                             s.state == SERVICE_RUNNING ? 1u : 0u,
                             s.exitCode,
                             s.serviceExitCode,
                             s.checkPoint,
                             s.waitHint};
  }

  static DWORD number(const std::string& text) {
    return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
  }

  static bool removeFiles(const std::string& dir, const std::vector<std::string>& names) {
    for (const std::string& n : names)
      if (unlink((dir + "/" + n).c_str()) != 0) return false;
    return true;
  }

  Handles handles_;
};

}  // namespace

Platform& realPlatform() {
  static PosixPlatform posix;
  return posix;
}

}  // namespace winsvc
