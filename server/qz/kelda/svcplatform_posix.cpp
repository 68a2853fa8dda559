// The service manager and registry stand-in for POSIX systems. It keeps its state in files
// (see qzscm.h): one record per service, each service's status as the service reports it,
// and registry keys as directories. Starting a service runs its command line, split by the
// Windows quoting rules, as a detached process; stopping sends it SIGTERM. Every change
// happens under the state directory's lock, and failures give the Windows error values.
// A small supervisor process stays beside each running service: when the service's process
// ends without having reported itself stopped, it takes the service's failure actions.

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "qzscm.h"
#include "svcplatform.h"

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

struct OpenObject {
  enum Kind { kManager, kService, kKey } kind;
  std::string name;  // service name, or the key's path below HKLM
  DWORD access;
};

OpenObject* object(void* handle) {
  return static_cast<OpenObject*>(handle);
}

// ---- service records -------------------------------------------------------------------

struct Record {
  std::map<std::string, std::string> fields;  // name, display, binpath, account, ...
  std::string& operator[](const char* key) { return fields[key]; }
};

std::string recordPath(const std::string& dir, const std::string& name) {
  return dir + "/services/" + scm::fileName(name);
}

bool readRecord(const std::string& dir, const std::string& name, Record& record) {
  std::string text;
  if (!scm::readWholeFile(recordPath(dir, name), text)) return false;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) record.fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return true;
}

bool writeRecord(const std::string& dir, const std::string& name, const Record& record) {
  if (!scm::makeDirs(dir + "/services")) return false;
  std::string text;
  for (const auto& f : record.fields) text += f.first + "=" + f.second + "\n";
  return scm::writeFileAtomically(recordPath(dir, name), text);
}

// A process that has ended but that nobody has reaped yet (a zombie) counts as gone: where
// the system's first process does not reap orphans, a crashed service stays one for good.
bool alive(int pid) {
  if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) return false;
  std::string stat;
  if (!scm::readWholeFile("/proc/" + std::to_string(pid) + "/stat", stat)) return true;
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

// The service's status, corrected for a process that ended without saying so (stopped, the
// process id kept, and ERROR_PROCESS_ABORTED unless a stop was under way: its supervisor
// knows it by that) and for a supervisor that is gone; a service marked for deletion goes
// once it has stopped. Call under the lock.
scm::Status currentStatus(const std::string& dir, const std::string& name) {
  scm::Status s;
  if (!scm::readStatus(dir, name, s)) s = scm::Status();
  if (s.state != SERVICE_STOPPED && !alive(s.pid)) {
    scm::Status ended;
    ended.exitCode = s.state == SERVICE_STOP_PENDING ? 0 : ERROR_PROCESS_ABORTED;
    ended.pid = s.pid;
    s = ended;
    scm::writeStatus(dir, name, s);
  }
  if (s.supervisor != 0 && !alive(s.supervisor)) {
    s.supervisor = 0;
    scm::writeStatus(dir, name, s);
  }
  Record r;
  if (s.state == SERVICE_STOPPED && readRecord(dir, name, r) && r["deleted"] == "1") {
    unlink(recordPath(dir, name).c_str());
    scm::removeStatus(dir, name);
  }
  return s;
}

bool validName(const char* name) {
  if (name == nullptr || *name == '\0' || std::strlen(name) > 256) return false;
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

// Splits a command line as Windows programs do: blanks separate words outside double quotes;
// 2n backslashes before a quote give n backslashes and the quote opens or closes; 2n+1 give
// n backslashes and a literal quote; other backslashes stand for themselves.
std::vector<std::string> splitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (size_t i = 0; i < line.size();) {
    char c = line[i];
    if (c == '\\') {
      size_t n = 0;
      while (i < line.size() && line[i] == '\\') ++n, ++i;
      if (i < line.size() && line[i] == '"') {
        word.append(n / 2, '\\');
        if (n % 2 == 1) {
          word += '"';
          ++i;
        }
      } else {
        word.append(n, '\\');
      }
      inWord = true;
    } else if (c == '"') {
      quoted = !quoted;
      inWord = true;
      ++i;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
      ++i;
    } else {
      word += c;
      inWord = true;
      ++i;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

// ---- service processes and their supervisors ----------------------------------------------

// Runs the service's command line in a new process (stdio to its log under the state
// directory) and answers its process id, or -1 with errno set. When exec fails, the child
// writes {0, errno} to reportFd (if it is one) before it ends.
int forkService(const std::vector<std::string>& words, const std::string& dir,
                const std::string& name, int reportFd) {
  std::string logPath = dir + "/logs/" + scm::fileName(name) + ".log";
  pid_t service = fork();
  if (service != 0) return service;
  int null = open("/dev/null", O_RDONLY);
  int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
  if (null >= 0) dup2(null, 0);
  if (log >= 0) {
    dup2(log, 1);
    dup2(log, 2);
  }
  setenv("QZ_SERVICE_NAME", name.c_str(), 1);
  setenv("QZ_SCM_DIR", dir.c_str(), 1);
  std::vector<char*> argv;
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  // exec failed: tell the starter why (the pipe closes on a successful exec).
  if (reportFd >= 0) {
    int report[2] = {0, errno};
    ssize_t ignored = write(reportFd, report, sizeof report);
    (void)ignored;
  }
  _exit(127);
}

// The supervisor keeps nothing of the process it was forked from: no descriptor (above all
// not the state directory's lock, nor a pipe its starter's caller reads to the end), and
// the default answer to SIGTERM, by which a start, stop or delete calls off a restart.
void detachSupervisor() {
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
  }
  if (close_range(3, ~0u, 0) != 0) {
    for (int fd = 3; fd < 65536; ++fd) close(fd);
  }
  signal(SIGTERM, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// True when the state directory has been taken away: its supervisors then end without
// making it again (which taking the lock would).
bool stateGone(const std::string& dir) {
  struct stat st;
  return stat((dir + "/status").c_str(), &st) != 0;
}

uint64_t monotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec);
}

// The action for failure number `failures` (1 = the first): the record's action of that
// number, its last one for any later failure; SC_ACTION_NONE when it has none.
SC_ACTION failureAction(Record& r, int failures) {
  std::istringstream in(r["failureactions"]);
  std::string word;
  SC_ACTION action{SC_ACTION_NONE, 0};
  for (int n = 1; n <= failures && in >> word; ++n) {
    unsigned long type = 0, delay = 0;
    if (std::sscanf(word.c_str(), "%lu/%lu", &type, &delay) != 2) break;
    action = SC_ACTION{static_cast<DWORD>(type), static_cast<DWORD>(delay)};
  }
  return action;
}

// The supervisor of one service: it waits for the service's process to end. One that ended
// having reported itself stopped, or while a stop was under way, is stopped for good. One
// that failed is marked stopped (ERROR_PROCESS_ABORTED) and, when its failure action is a
// restart, started again after the action's delay, unless a start, stop or delete comes
// first. The supervisor then ends: it never outlives its service's last run.
[[noreturn]] void superviseService(const std::string& dir, const std::string& name, int service) {
  int failures = 0;
  uint64_t lastFailure = 0;
  for (;;) {
    while (waitpid(service, nullptr, 0) < 0 && errno == EINTR) {
    }
    DWORD delay = 0;
    if (stateGone(dir)) _exit(0);
    {
      scm::Lock lock(dir);
      scm::Status s;
      if (!lock.ok() || !scm::readStatus(dir, name, s) || s.pid != service) _exit(0);
      bool failed = s.state == SERVICE_RUNNING || s.state == SERVICE_START_PENDING ||
                    (s.state == SERVICE_STOPPED && s.exitCode == ERROR_PROCESS_ABORTED);
      Record r;
      bool listed = readRecord(dir, name, r) && r["deleted"] != "1";
      SC_ACTION action{SC_ACTION_NONE, 0};
      if (failed && listed) {
        uint64_t now = monotonicSeconds();
        if (failures > 0 &&
            now - lastFailure > std::strtoul(r["failurereset"].c_str(), nullptr, 10))
          failures = 0;
        lastFailure = now;
        action = failureAction(r, ++failures);
      }
      scm::Status stopped;
      stopped.exitCode = failed ? ERROR_PROCESS_ABORTED : 0;
      if (action.Type == SC_ACTION_RESTART) stopped.supervisor = static_cast<int>(getpid());
      scm::writeStatus(dir, name, stopped);
      if (stopped.supervisor == 0) {
        currentStatus(dir, name);  // a service marked for deletion goes now
        _exit(0);
      }
      delay = action.Delay;
    }
    timespec pause{static_cast<time_t>(delay / 1000), static_cast<long>(delay % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    if (stateGone(dir)) _exit(0);
    scm::Lock lock(dir);
    scm::Status s;
    Record r;
    if (!lock.ok() || !scm::readStatus(dir, name, s) || s.state != SERVICE_STOPPED ||
        s.supervisor != static_cast<int>(getpid()) || !readRecord(dir, name, r) ||
        r["deleted"] == "1")
      _exit(0);
    service = forkService(splitCommandLine(r["binpath"]), dir, name, -1);
    s = scm::Status();
    if (service > 0) {
      s.state = SERVICE_START_PENDING;
      s.waitHint = 2000;
      s.pid = service;
    } else {
      s.exitCode = ERROR_PROCESS_ABORTED;
    }
    scm::writeStatus(dir, name, s);
    if (service <= 0) _exit(0);
  }
}

// Calls off the restart that a failed service's supervisor waits to make. Call under the lock.
void cancelRestart(const std::string& dir, const std::string& name, scm::Status& s) {
  if (s.supervisor == 0) return;
  kill(s.supervisor, SIGTERM);
  s.supervisor = 0;
  scm::writeStatus(dir, name, s);
}

// Starts the command line detached from this process, in its own session beside its
// supervisor, and answers the service's process id, or 0 with errno set.
int spawnDetached(const std::vector<std::string>& words, const std::string& dir,
                  const std::string& name) {
  if (words.empty()) {
    errno = ENOENT;
    return 0;
  }
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return 0;
  scm::makeDirs(dir + "/logs");
  // Whatever this process has buffered for its output is its own: written out before the
  // fork, it cannot be written a second time by a child.
  std::fflush(nullptr);
  pid_t child = fork();
  if (child < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return 0;
  }
  if (child == 0) {
    // The intermediate child: a new session, then the supervisor, then exit, so that the
    // supervisor and its service are nobody's children but init's.
    setsid();
    pid_t supervisor = fork();
    if (supervisor != 0) {
      if (supervisor < 0) {
        int report[2] = {0, errno};
        ssize_t ignored = write(pipeFds[1], report, sizeof report);
        (void)ignored;
      }
      _exit(0);
    }
    int service = forkService(words, dir, name, pipeFds[1]);
    int report[2] = {service > 0 ? service : 0, service > 0 ? 0 : errno};
    ssize_t ignored = write(pipeFds[1], report, sizeof report);
    (void)ignored;
    if (service <= 0) _exit(0);
    detachSupervisor();
    superviseService(dir, name, service);
  }
  close(pipeFds[1]);
  int first[2] = {0, 0}, second[2] = {0, 0};
  ssize_t n = read(pipeFds[0], first, sizeof first);
  ssize_t m = read(pipeFds[0], second, sizeof second);  // only on a failed exec
  close(pipeFds[0]);
  waitpid(child, nullptr, 0);
  if (n != sizeof first || first[0] <= 0) {
    errno = n == sizeof first && first[1] != 0 ? first[1] : ECHILD;
    return 0;
  }
  if (m == sizeof second) {
    errno = second[1];
    return 0;
  }
  return first[0];
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
    return reinterpret_cast<SC_HANDLE>(new OpenObject{OpenObject::kManager, "", access});
  }

  SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) override {
    if (!isManager(manager)) return failWith<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
    if (!validName(name)) return failWith<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
    std::string dir = scm::stateDir();
    scm::Lock lock(dir);
    currentStatus(dir, name);
    Record r;
    if (!readRecord(dir, name, r))
      return failWith<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
    if (r["deleted"] == "1") return failWith<SC_HANDLE>(ERROR_SERVICE_MARKED_FOR_DELETE, nullptr);
    return reinterpret_cast<SC_HANDLE>(new OpenObject{OpenObject::kService, r["name"], access});
  }

  SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* name, const char* display, DWORD access,
                           DWORD type, DWORD start, DWORD errorControl, const char* binaryPath,
                           const char*, DWORD*, const char*, const char* account,
                           const char*) override {
    if (!isManager(manager)) return failWith<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
    if (!validName(name) || (display != nullptr && std::strchr(display, '\n') != nullptr))
      return failWith<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
    if (binaryPath == nullptr || *binaryPath == '\0' || std::strchr(binaryPath, '\n') != nullptr)
      return failWith<SC_HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
    std::string dir = scm::stateDir();
    scm::Lock lock(dir);
    if (!lock.ok()) return failWith<SC_HANDLE>(ERROR_ACCESS_DENIED, nullptr);
    currentStatus(dir, name);
    Record existing;
    if (readRecord(dir, name, existing))
      return failWith<SC_HANDLE>(
          existing["deleted"] == "1" ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS,
          nullptr);
    std::string shown = display != nullptr ? display : name;
    if (displayNameTaken(dir, shown))
      return failWith<SC_HANDLE>(ERROR_DUPLICATE_SERVICE_NAME, nullptr);
    if (!knownAccount(account)) return failWith<SC_HANDLE>(ERROR_INVALID_SERVICE_ACCOUNT, nullptr);
    Record r;
    r["name"] = name;
    r["display"] = shown;
    r["binpath"] = binaryPath;
    r["account"] = account != nullptr ? account : "LocalSystem";
    r["type"] = std::to_string(type);
    r["start"] = std::to_string(start);
    r["errorcontrol"] = std::to_string(errorControl);
    r["description"] = "";
    r["deleted"] = "0";
    if (!writeRecord(dir, name, r)) return failWith<SC_HANDLE>(ERROR_ACCESS_DENIED, nullptr);
    scm::removeStatus(dir, name);
    return reinterpret_cast<SC_HANDLE>(new OpenObject{OpenObject::kService, name, access});
  }

  BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD level, void* info) override {
    OpenObject* o = serviceObject(service);
    if (o == nullptr) return failWith<BOOL>(ERROR_INVALID_HANDLE, 0);
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS && info != nullptr)
      return setFailureActions(o->name, *static_cast<SERVICE_FAILURE_ACTIONSA*>(info));
    if (level != SERVICE_CONFIG_DESCRIPTION || info == nullptr)
      return failWith<BOOL>(ERROR_INVALID_PARAMETER, 0);
    const char* text = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
    std::string dir = scm::stateDir();
    scm::Lock lock(dir);
    Record r;
    if (!readRecord(dir, o->name, r)) return failWith<BOOL>(ERROR_SERVICE_DOES_NOT_EXIST, 0);
    std::string description = text != nullptr ? text : "";
    for (char& c : description)
      if (c == '\n') c = ' ';
    r["description"] = description;
    return writeRecord(dir, o->name, r) ? 1 : failWith<BOOL>(ERROR_ACCESS_DENIED, 0);
  }

  BOOL StartServiceA(SC_HANDLE service, DWORD, const char**) override {
    OpenObject* o = serviceObject(service);
    if (o == nullptr) return failWith<BOOL>(ERROR_INVALID_HANDLE, 0);
    if ((o->access & SERVICE_START) == 0) return failWith<BOOL>(ERROR_ACCESS_DENIED, 0);
    std::string dir = scm::stateDir();
    scm::Lock lock(dir);
    Record r;
    if (!readRecord(dir, o->name, r) || r["deleted"] == "1")
      return failWith<BOOL>(ERROR_SERVICE_MARKED_FOR_DELETE, 0);
    scm::Status now = currentStatus(dir, o->name);
    if (now.state != SERVICE_STOPPED) return failWith<BOOL>(ERROR_SERVICE_ALREADY_RUNNING, 0);
    cancelRestart(dir, o->name, now);
    // The lock is held until the status names the new process: the service's own reports
    // queue behind it and cannot be overwritten.
    int pid = spawnDetached(splitCommandLine(r["binpath"]), dir, o->name);
    if (pid == 0)
      return failWith<BOOL>(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED, 0);
    scm::Status s;
    s.state = SERVICE_START_PENDING;
    s.checkPoint = 0;
    s.waitHint = 2000;
    s.pid = pid;
    scm::writeStatus(dir, o->name, s);
    return 1;
  }

  BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
    OpenObject* o = serviceObject(service);
    if (o == nullptr || status == nullptr) return failWith<BOOL>(ERROR_INVALID_HANDLE, 0);
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE)
      return failWith<BOOL>(ERROR_INVALID_SERVICE_CONTROL, 0);
    DWORD needed = control == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_INTERROGATE;
    if ((o->access & needed) == 0) return failWith<BOOL>(ERROR_ACCESS_DENIED, 0);
    std::string dir = scm::stateDir();
    scm::Lock lock(dir);
    scm::Status s = currentStatus(dir, o->name);
    if (s.state == SERVICE_STOPPED) {
      // Not running, but perhaps waiting to be started again after a failure: not any more.
      if (control == SERVICE_CONTROL_STOP) cancelRestart(dir, o->name, s);
      return failWith<BOOL>(ERROR_SERVICE_NOT_ACTIVE, 0);
    }
    if (control == SERVICE_CONTROL_STOP) {
      if (s.state != SERVICE_RUNNING) return failWith<BOOL>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 0);
      if (kill(s.pid, SIGTERM) != 0) return failWith<BOOL>(ERROR_SERVICE_NOT_ACTIVE, 0);
      s.state = SERVICE_STOP_PENDING;
      s.checkPoint = 1;
      s.waitHint = 5000;
      scm::writeStatus(dir, o->name, s);
    }
    fill(s, status);
    return 1;
  }

  BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    OpenObject* o = serviceObject(service);
    if (o == nullptr || status == nullptr) return failWith<BOOL>(ERROR_INVALID_HANDLE, 0);
    if ((o->access & SERVICE_QUERY_STATUS) == 0) return failWith<BOOL>(ERROR_ACCESS_DENIED, 0);
    std::string dir = scm::stateDir();
    scm::Lock lock(dir);
    fill(currentStatus(dir, o->name), status);
    return 1;
  }

  BOOL DeleteService(SC_HANDLE service) override {
    OpenObject* o = serviceObject(service);
    if (o == nullptr) return failWith<BOOL>(ERROR_INVALID_HANDLE, 0);
    if ((o->access & DELETE) == 0) return failWith<BOOL>(ERROR_ACCESS_DENIED, 0);
    std::string dir = scm::stateDir();
    scm::Lock lock(dir);
    Record r;
    if (!readRecord(dir, o->name, r)) return failWith<BOOL>(ERROR_SERVICE_DOES_NOT_EXIST, 0);
    if (r["deleted"] == "1") return failWith<BOOL>(ERROR_SERVICE_MARKED_FOR_DELETE, 0);
    scm::Status now = currentStatus(dir, o->name);
    if (now.state != SERVICE_STOPPED) {
      // As on Windows: marked now, gone once it has stopped.
      r["deleted"] = "1";
      return writeRecord(dir, o->name, r) ? 1 : failWith<BOOL>(ERROR_ACCESS_DENIED, 0);
    }
    cancelRestart(dir, o->name, now);
    unlink(recordPath(dir, o->name).c_str());
    scm::removeStatus(dir, o->name);
    return 1;
  }

  BOOL CloseServiceHandle(SC_HANDLE handle) override {
    OpenObject* o = object(handle);
    if (o == nullptr || o->kind == OpenObject::kKey) return failWith<BOOL>(ERROR_INVALID_HANDLE, 0);
    delete o;
    return 1;
  }

  LONG RegCreateKeyA(HKEY key, const char* subKey, HKEY* result) override {
    std::string dir = scm::stateDir(), path;
    if (key != HKEY_LOCAL_MACHINE)
      return failWith<LONG>(ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE);
    if (!keyPath(dir, subKey, path))
      return failWith<LONG>(ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
    scm::Lock lock(dir);
    if (!scm::makeDirs(path + "/.values"))
      return failWith<LONG>(ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
    *result = reinterpret_cast<HKEY>(new OpenObject{OpenObject::kKey, subKey, 0});
    return 0;
  }

  LONG RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type, const unsigned char* data,
                      DWORD size) override {
    OpenObject* o = keyObject(key);
    std::string dir = scm::stateDir(), path;
    if (o == nullptr || !keyPath(dir, o->name.c_str(), path))
      return failWith<LONG>(ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE);
    if (name == nullptr || std::strpbrk(name, "/\\") != nullptr || (size > 0 && data == nullptr))
      return failWith<LONG>(ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
    std::string text = std::to_string(type) + "\n";
    text.append(reinterpret_cast<const char*>(data), size);
    scm::Lock lock(dir);
    if (!isDirectory(path)) return failWith<LONG>(ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND);
    if (!scm::writeFileAtomically(path + "/.values/" + scm::fileName(name), text))
      return failWith<LONG>(ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
    return 0;
  }

  LONG RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) override {
    std::string dir = scm::stateDir(), path;
    if (key != HKEY_LOCAL_MACHINE)
      return failWith<LONG>(ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE);
    if (!keyPath(dir, subKey, path) || !isDirectory(path))
      return failWith<LONG>(ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND);
    *result = reinterpret_cast<HKEY>(new OpenObject{OpenObject::kKey, subKey, 0});
    return 0;
  }

  LONG RegDeleteKeyA(HKEY key, const char* subKey) override {
    std::string dir = scm::stateDir(), path;
    if (key != HKEY_LOCAL_MACHINE)
      return failWith<LONG>(ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE);
    if (!keyPath(dir, subKey, path))
      return failWith<LONG>(ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND);
    scm::Lock lock(dir);
    if (!isDirectory(path)) return failWith<LONG>(ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND);
    // Values go with the key; a key with subkeys is refused, as on Windows, before anything
    // of it is deleted.
    std::vector<std::string> entries;
    if (!listDirectory(path, entries))
      return failWith<LONG>(ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
    for (const std::string& e : entries)
      if (e != ".values") return failWith<LONG>(ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
    std::string values = path + "/.values";
    std::vector<std::string> names;
    bool hasValues = isDirectory(values);
    if (hasValues && (!listDirectory(values, names) || !removeFiles(values, names) ||
                      rmdir(values.c_str()) != 0))
      return failWith<LONG>(ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
    if (rmdir(path.c_str()) != 0) return failWith<LONG>(ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
    return 0;
  }

  LONG RegCloseKey(HKEY key) override {
    OpenObject* o = keyObject(key);
    if (o == nullptr) return failWith<LONG>(ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE);
    delete o;
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
  static bool isManager(SC_HANDLE h) {
    return h != nullptr && object(h)->kind == OpenObject::kManager;
  }
  static OpenObject* serviceObject(SC_HANDLE h) {
    OpenObject* o = object(h);
    return (o != nullptr && o->kind == OpenObject::kService) ? o : nullptr;
  }
  static OpenObject* keyObject(HKEY h) {
    OpenObject* o = object(h);
    return (o != nullptr && o->kind == OpenObject::kKey) ? o : nullptr;
  }

  // Kept in the record as "failurereset" (seconds) and "failureactions" (one "<type>/<delay>"
  // per action); a null array leaves them as they are.
  static BOOL setFailureActions(const std::string& name, const SERVICE_FAILURE_ACTIONSA& info) {
    if (info.lpsaActions == nullptr) return 1;
    std::string actions;
    for (DWORD i = 0; i < info.cActions; ++i)
      actions += (i > 0 ? " " : "") + std::to_string(info.lpsaActions[i].Type) + "/" +
                 std::to_string(info.lpsaActions[i].Delay);
    std::string dir = scm::stateDir();
    scm::Lock lock(dir);
    Record r;
    if (!readRecord(dir, name, r)) return failWith<BOOL>(ERROR_SERVICE_DOES_NOT_EXIST, 0);
    r["failurereset"] = std::to_string(info.dwResetPeriod);
    r["failureactions"] = actions;
    return writeRecord(dir, name, r) ? 1 : failWith<BOOL>(ERROR_ACCESS_DENIED, 0);
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

  static bool displayNameTaken(const std::string& dir, const std::string& display) {
    std::vector<std::string> names;
    if (!listDirectory(dir + "/services", names)) return false;
    for (const std::string& n : names) {
      Record r;
      if (readRecord(dir, n, r) && scm::fileName(r["display"]) == scm::fileName(display))
        return true;
    }
    return false;
  }

  static bool listDirectory(const std::string& path, std::vector<std::string>& names) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(path.c_str()), closedir);
    if (!d) return false;
    while (dirent* e = readdir(d.get())) {
      std::string n = e->d_name;
      if (n != "." && n != ".." && n.find(".tmp") == std::string::npos) names.push_back(n);
    }
    return true;
  }
  static bool removeFiles(const std::string& dir, const std::vector<std::string>& names) {
    for (const std::string& n : names)
      if (unlink((dir + "/" + n).c_str()) != 0) return false;
    return true;
  }
};

}  // namespace

Platform& realPlatform() {
  static PosixPlatform posix;
  return posix;
}

}  // namespace winsvc
