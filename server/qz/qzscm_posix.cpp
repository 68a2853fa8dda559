#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "qz.h"
#include "qzscm.h"
#include "qzsys.h"

namespace qz {
namespace scm {

std::string stateDir() {
  if (const char* dir = std::getenv("QZ_SCM_DIR"); dir != nullptr && *dir != '\0') return dir;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state != '\0')
    return std::string(state) + "/qz-scm";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "/tmp") + "/.local/state/qz-scm";
}

std::string fileName(const std::string& name) {
  return lowerAscii(name);
}

bool makeDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

Lock::Lock(const std::string& dir) : fd_(-1) {
  if (!makeDirs(dir)) return;
  int fd = open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd == -1) return;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      return;
    }
  }
  fd_ = fd;
}

Lock::~Lock() {
  if (fd_ >= 0) close(fd_);  // closing releases the lock
}

bool readWholeFile(const std::string& path, std::string& text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return false;
  text.clear();
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(fd);
  return n == 0;
}

// Writes all of text to fd; false when any of it could not be written.
static bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool appendToFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd == -1) return false;
  bool ok = writeAll(fd, text);
  return close(fd) == 0 && ok;
}

// A service's file in one of the state's folders ("services", "status").
static std::string entryPath(const std::string& dir, const char* folder, const std::string& name) {
  return dir + "/" + folder + "/" + fileName(name);
}

static bool readEntry(const std::string& dir, const char* folder, const std::string& name,
                      std::istringstream& in) {
  std::string text;
  if (!readWholeFile(entryPath(dir, folder, name), text)) return false;
  in.str(text);
  return true;
}

static bool writeEntry(const std::string& dir, const char* folder, const std::string& name,
                       const std::string& text) {
  return makeDirs(dir + "/" + folder) && sys::writeWholeFile(entryPath(dir, folder, name), text);
}

bool readStatus(const std::string& dir, const std::string& name, Status& status) {
  std::istringstream in;
  if (!readEntry(dir, "status", name, in)) return false;
  Status s;
  if (!(in >> s.state >> s.checkPoint >> s.waitHint >> s.exitCode >> s.pid >> s.serviceExitCode >>
        s.supervisor))
    return false;
  status = s;
  return true;
}

bool writeStatus(const std::string& dir, const std::string& name, const Status& status) {
  std::ostringstream out;
  out << status.state << ' ' << status.checkPoint << ' ' << status.waitHint << ' '
      << status.exitCode << ' ' << status.pid << ' ' << status.serviceExitCode << ' '
      << status.supervisor << '\n';
  return writeEntry(dir, "status", name, out.str());
}

void removeStatus(const std::string& dir, const std::string& name) {
  unlink(entryPath(dir, "status", name).c_str());
}

bool readRecord(const std::string& dir, const std::string& name, Record& record) {
  std::istringstream in;
  if (!readEntry(dir, "services", name, in)) return false;
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) record.fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return true;
}

bool writeRecord(const std::string& dir, const std::string& name, const Record& record) {
  std::string text;
  for (const auto& f : record.fields) text += f.first + "=" + f.second + "\n";
  return writeEntry(dir, "services", name, text);
}

void removeService(const std::string& dir, const std::string& name) {
  unlink(entryPath(dir, "services", name).c_str());
  removeStatus(dir, name);
}

// Where the system's first process does not reap orphans, a crashed service stays a zombie
// for good.
bool alive(int pid) {
  if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) return false;
  std::string stat;
  if (!readWholeFile("/proc/" + std::to_string(pid) + "/stat", stat)) return true;
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

// A process that ended without saying so leaves the service stopped, its process id kept,
// with ERROR_PROCESS_ABORTED unless a stop was under way (its supervisor knows it by that).
Status currentStatus(const std::string& dir, const std::string& name) {
  constexpr uint32_t stopped = 1, stopPending = 3, processAborted = 1067;
  Status s;
  if (!readStatus(dir, name, s)) s = Status();
  if (s.state != stopped && !alive(s.pid)) {
    Status ended;
    ended.exitCode = s.state == stopPending ? 0 : processAborted;
    ended.pid = s.pid;
    s = ended;
    writeStatus(dir, name, s);
  }
  if (s.supervisor != 0 && !alive(s.supervisor)) {
    s.supervisor = 0;
    writeStatus(dir, name, s);
  }
  Record r;
  if (s.state == stopped && readRecord(dir, name, r) && r["deleted"] == "1")
    removeService(dir, name);
  return s;
}

bool listDirectory(const std::string& path, std::vector<std::string>& names) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(path.c_str()), closedir);
  if (!d) return false;
  while (dirent* e = readdir(d.get())) {
    std::string n = e->d_name;
    if (n != "." && n != ".." && n.find(".tmp") == std::string::npos) names.push_back(n);
  }
  return true;
}

bool displayNameTaken(const std::string& dir, const std::string& display) {
  std::vector<std::string> names;
  if (!listDirectory(dir + "/services", names)) return false;
  for (const std::string& n : names) {
    Record r;
    if (readRecord(dir, n, r) && fileName(r["display"]) == fileName(display)) return true;
  }
  return false;
}

}  // namespace scm
}  // namespace qz
