// Starting a service on POSIX systems: its command line split by the Windows rules, run as a
// detached process in a session of its own, and a small supervisor process beside it. When
// the service's process ends without having reported itself stopped, the supervisor takes
// the service's failure actions (a restart after its delay) and then ends.

#include "svcspawn_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace winsvc {

namespace scm = qz::scm;

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

namespace {

// Runs the service's command line in a new process (stdio to its log under the state
// directory) and answers its process id, or -1 with errno set. When exec fails, the child
// writes {0, errno} to reportFd (if it is one) before it ends.
int forkService(const std::vector<std::string>& words, const std::string& dir,
                const std::string& name, int reportFd) {
  std::string logPath = dir + "/logs/" + scm::fileName(name) + ".log";
  pid_t service = fork();
  if (service != 0) return service;
  // Where an open fails, dup2 refuses the -1 and the descriptor stays as it was.
  int null = open("/dev/null", O_RDONLY);
  int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
  dup2(null, 0);
  dup2(log, 1);
  dup2(log, 2);
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
  int null = open("/dev/null", O_RDWR);  // closed below with the rest
  dup2(null, 0);
  dup2(null, 1);
  dup2(null, 2);
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

// The supervisor's end. Nothing waits for it (init reaps it), so its exit status says nothing.
[[noreturn]] void endSupervisor() {
  _exit(0);
}

// The action for failure number `failures` (1 = the first): the record's action of that
// number, its last one for any later failure; SC_ACTION_NONE when it has none.
SC_ACTION failureAction(scm::Record& r, int failures) {
  std::istringstream in(r["failureactions"]);
  std::string word;
  SC_ACTION action{};  // SC_ACTION_NONE
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
    if (stateGone(dir)) endSupervisor();
    {
      scm::Lock lock(dir);
      scm::Status s;
      if (!lock.ok() || !scm::readStatus(dir, name, s) || s.pid != service) endSupervisor();
      bool failed = s.state == SERVICE_RUNNING || s.state == SERVICE_START_PENDING ||
                    (s.state == SERVICE_STOPPED && s.exitCode == ERROR_PROCESS_ABORTED);
      scm::Record r;
      bool listed = scm::readRecord(dir, name, r) && r["deleted"] != "1";
      SC_ACTION action{};  // SC_ACTION_NONE
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
        scm::currentStatus(dir, name);  // a service marked for deletion goes now
        endSupervisor();
      }
      delay = action.Delay;
    }
    timespec pause{static_cast<time_t>(delay / 1000), static_cast<long>(delay % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    if (stateGone(dir)) endSupervisor();
    scm::Lock lock(dir);
    scm::Status s;
    scm::Record r;
    if (!lock.ok() || !scm::readStatus(dir, name, s) || s.state != SERVICE_STOPPED ||
        s.supervisor != static_cast<int>(getpid()) || !scm::readRecord(dir, name, r) ||
        r["deleted"] == "1")
      endSupervisor();
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
    if (service <= 0) endSupervisor();
  }
}

}  // namespace

void cancelRestart(const std::string& dir, const std::string& name, scm::Status& s) {
  if (s.supervisor == 0) return;
  kill(s.supervisor, SIGTERM);
  // Once told to go the supervisor is no longer named: a later stop or start signals whatever
  // process the field holds.
  s.supervisor = 0;
  scm::writeStatus(dir, name, s);
}

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
  if (child == -1) {
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
      if (supervisor == -1) {
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
    if (service <= 0) endSupervisor();
    detachSupervisor();
    superviseService(dir, name, service);
  }
  close(pipeFds[1]);
  int first[2]{}, second[2]{};
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

}  // namespace winsvc
