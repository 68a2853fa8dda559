// The POSIX service manager stand-in: its rules below what the command-line tests run.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>

#include "qzscm.h"
#include "qztest.h"
#include "svcspawn_posix.h"

namespace {

using namespace winsvc;

TEST(CommandLine, SplitsAsWindowsProgramsDo) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"", {}},
      {"  a \t b  ", {"a", "b"}},
      {"\"/p q/x\" -d \"\"", {"/p q/x", "-d", ""}},
      {"a\"b c\"d", {"ab cd"}},
      {"a\\\\b c\\", {"a\\\\b", "c\\"}},      // backslashes not before a quote stay
      {"\\\\\"a b\"", {"\\a b"}},             // 2n: n backslashes, the quote opens
      {"\\\"a \\\\\\\"b", {"\"a", "\\\"b"}},  // 2n+1: n backslashes and a literal quote
      {"\"open to the end", {"open to the end"}},
  };
  for (const auto& c : cases) EXPECT_EQ(splitCommandLine(c.first), c.second) << c.first;
}

// A state directory of the test's own and the manager opened on it.
class Substitute : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QZ_SCM_DIR", dir_.c_str(), 1);
    manager_.reset(os_.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  }
  void TearDown() override { unsetenv("QZ_SCM_DIR"); }
  SC_HANDLE create(const char* name, const char* commandLine, const char* account = nullptr,
                   const char* display = nullptr, SC_HANDLE manager = nullptr) {
    return os_.CreateServiceA(manager != nullptr ? manager : manager_.get(), name,
                              display != nullptr ? display : name, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              commandLine, nullptr, nullptr, nullptr, account, nullptr);
  }
  // The error a call that returned done left: ERROR_SUCCESS when it succeeded.
  DWORD refused(bool done) { return done ? ERROR_SUCCESS : os_.GetLastError(); }
  static DWORD regError(LONG error) { return static_cast<DWORD>(error); }
  // Kills the running service's process (the supervisor then takes its failure actions).
  void killService(const char* name) {
    qz::scm::Status s;
    if (qz::scm::readStatus(dir_, name, s) && s.pid > 0) kill(s.pid, SIGKILL);
  }

  qztest::ScratchRoot root_;
  std::string dir_ = root_.at("scm");
  Platform& os_ = realPlatform();
  ScopedServiceHandle manager_;
};

// Each refused call leaves the Windows error value: a closed handle is refused, not followed,
// and a state that cannot be locked (its lock file a directory) is answered as locked.
TEST_F(Substitute, RefusalsCarryTheWindowsValues) {
  ScopedServiceHandle missing(create("missing", "\"/no/such/program\" -x"));
  qztest::writeFile(root_.at("plain"), "not a program\n");  // there, but not executable
  ScopedServiceHandle plain(create("plain", root_.at("plain").c_str()));
  ScopedServiceHandle mine(create("mine", "x", ".\\root"));  // an account that exists
  SC_HANDLE closed = os_.OpenServiceA(manager_.get(), "missing", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(os_.CloseServiceHandle(closed));  // and a handle of it that stays open:
  SC_HANDLE queryOnly = os_.OpenServiceA(manager_.get(), "missing", SERVICE_QUERY_STATUS);
  SERVICE_STATUS s{};
  HKEY key = nullptr;
  EXPECT_TRUE(mine);
  EXPECT_EQ(refused(create("", "x")), ERROR_INVALID_NAME);
  EXPECT_EQ(refused(create("a/b", "x")), ERROR_INVALID_NAME);
  EXPECT_EQ(refused(create("n", "x", nullptr, "two\nlines")), ERROR_INVALID_NAME);
  EXPECT_EQ(refused(create("n", "")), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(refused(create("n", "x\ny")), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(refused(create("n", "x", nullptr, "plain")), ERROR_DUPLICATE_SERVICE_NAME);
  EXPECT_EQ(refused(create("n", "x", nullptr, nullptr, closed)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(refused(os_.OpenServiceA(closed, "missing", 0)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(refused(os_.OpenServiceA(manager_.get(), "a\\b", 0)), ERROR_INVALID_NAME);
  EXPECT_EQ(refused(create("MISSING", "x")), ERROR_SERVICE_EXISTS);
  EXPECT_EQ(refused(create("u", "x", ".\\no-such-user")), ERROR_INVALID_SERVICE_ACCOUNT);
  EXPECT_EQ(refused(os_.StartServiceA(missing.get(), 0, nullptr)), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(refused(os_.StartServiceA(plain.get(), 0, nullptr)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(refused(os_.QueryServiceStatus(closed, &s)), ERROR_INVALID_HANDLE);
  DWORD needed = 0, count = 0, resume = 0;
  auto list = [&](SC_HANDLE m) {
    return os_.EnumServicesStatusA(m, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed, &count,
                                   &resume);
  };
  ScopedServiceHandle noListing(
      os_.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS & ~SC_MANAGER_ENUMERATE_SERVICE));
  EXPECT_EQ(refused(list(closed)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(refused(list(noListing.get())), ERROR_ACCESS_DENIED);
  EXPECT_EQ(refused(list(manager_.get())), ERROR_MORE_DATA);
  EXPECT_EQ(refused(os_.CloseServiceHandle(closed)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(regError(os_.RegCloseKey(reinterpret_cast<HKEY>(queryOnly))), ERROR_INVALID_HANDLE);
  EXPECT_EQ(regError(os_.RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\None", &key)),
            ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(std::filesystem::create_directories(root_.at("locked/lock")));
  setenv("QZ_SCM_DIR", root_.at("locked").c_str(), 1);
  EXPECT_EQ(refused(os_.OpenServiceA(manager_.get(), "missing", 0)), ERROR_SERVICE_DATABASE_LOCKED);
  EXPECT_EQ(refused(create("n", "x")), ERROR_SERVICE_DATABASE_LOCKED);
  EXPECT_EQ(refused(list(manager_.get())), ERROR_SERVICE_DATABASE_LOCKED);
  EXPECT_EQ(regError(os_.RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM", &key)), ERROR_ACCESS_DENIED);
  os_.CloseServiceHandle(queryOnly);
}

// Every call on a service refuses a closed handle, one opened without the access the call
// needs, and a state it cannot lock: per call, the three errors.
TEST_F(Substitute, ServiceCallsCheckTheHandleItsAccessAndTheLock) {
  ScopedServiceHandle svc(create("s", "/bin/sleep 600"));
  ScopedServiceHandle noAccess(os_.OpenServiceA(manager_.get(), "s", 0));
  SC_HANDLE closed = os_.OpenServiceA(manager_.get(), "s", SERVICE_ALL_ACCESS);
  os_.CloseServiceHandle(closed);
  SERVICE_STATUS st{};
  SC_ACTION restart{SC_ACTION_RESTART, 0};
  SERVICE_FAILURE_ACTIONSA actions{0, nullptr, nullptr, 1, &restart};
  DWORD needed = 0;
  const std::function<BOOL(SC_HANDLE)> calls[] = {
      [&](SC_HANDLE h) {
        return os_.ChangeServiceConfig2A(h, SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
      },
      [&](SC_HANDLE h) { return os_.StartServiceA(h, 0, nullptr); },
      [&](SC_HANDLE h) { return os_.ControlService(h, SERVICE_CONTROL_STOP, &st); },
      [&](SC_HANDLE h) { return os_.ControlService(h, SERVICE_CONTROL_INTERROGATE, &st); },
      [&](SC_HANDLE h) { return os_.QueryServiceStatus(h, &st); },
      [&](SC_HANDLE h) { return os_.QueryServiceConfigA(h, nullptr, 0, &needed); },
      [&](SC_HANDLE h) { return os_.DeleteService(h); },
  };
  ASSERT_TRUE(std::filesystem::create_directories(root_.at("locked/lock")));
  std::string got;
  for (const auto& call : calls) {
    got +=
        std::to_string(refused(call(closed))) + "/" + std::to_string(refused(call(noAccess.get())));
    setenv("QZ_SCM_DIR", root_.at("locked").c_str(), 1);
    got += "/" + std::to_string(refused(call(svc.get()))) + " ";
    setenv("QZ_SCM_DIR", dir_.c_str(), 1);
  }
  EXPECT_EQ(got, "6/5/1055 6/5/1055 6/5/1055 6/5/1055 6/5/1055 6/5/1055 6/5/1055 ");
}

// What a call refuses of its other arguments and of the service's state: a level or control
// it does not take, no place for the status, a second start, a stop of a start still pending.
TEST_F(Substitute, ServiceCallsRefuseArgumentsAndStatesTheyCannotTake) {
  ScopedServiceHandle svc(create("s", "/bin/sleep 600"));
  SERVICE_STATUS st{};
  SC_ACTION restart{SC_ACTION_RESTART, 0};
  SERVICE_FAILURE_ACTIONSA actions{0, nullptr, nullptr, 1, &restart};
  EXPECT_EQ(refused(os_.ChangeServiceConfig2A(svc.get(), 99, &actions)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(refused(os_.ChangeServiceConfig2A(svc.get(), SERVICE_CONFIG_FAILURE_ACTIONS, nullptr)),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(refused(os_.ControlService(svc.get(), SERVICE_CONTROL_PAUSE, &st)),
            ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(refused(os_.ControlService(svc.get(), SERVICE_CONTROL_STOP, nullptr)),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(refused(os_.QueryServiceStatus(svc.get(), nullptr)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(refused(os_.ControlService(svc.get(), SERVICE_CONTROL_STOP, &st)),
            ERROR_SERVICE_NOT_ACTIVE);
  ASSERT_TRUE(os_.StartServiceA(svc.get(), 0, nullptr));
  EXPECT_EQ(refused(os_.StartServiceA(svc.get(), 0, nullptr)), ERROR_SERVICE_ALREADY_RUNNING);
  EXPECT_EQ(refused(os_.ControlService(svc.get(), SERVICE_CONTROL_STOP, &st)),
            ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_TRUE(os_.ControlService(svc.get(), SERVICE_CONTROL_INTERROGATE, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_START_PENDING);
  // Deleted while running: marked, and refused as marked until its process ends.
  EXPECT_TRUE(os_.DeleteService(svc.get()));
  EXPECT_EQ(refused(os_.DeleteService(svc.get())), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(refused(os_.StartServiceA(svc.get(), 0, nullptr)), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(refused(os_.OpenServiceA(manager_.get(), "s", 0)), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(refused(create("s", "x")), ERROR_SERVICE_MARKED_FOR_DELETE);
  killService("s");
}

// The registry's refusals: a root key other than HKLM, a malformed path, a closed key, a value
// name with a separator, a value not there, a key with subkeys to delete.
TEST_F(Substitute, RegistryCallsRefuseWhatWindowsRefuses) {
  HKEY key = nullptr, sub = nullptr;
  unsigned char data[4] = {1, 2, 3, 4};
  DWORD type = 0, size = sizeof data;
  HKEY other = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001));  // HKCU
  EXPECT_EQ(regError(os_.RegCreateKeyA(other, "SOFTWARE\\k", &key)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(regError(os_.RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\..\\k", &key)),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(regError(os_.RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE/k", &key)),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(os_.RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\k\\sub", &sub), 0);
  ASSERT_EQ(os_.RegCloseKey(sub), 0);
  ASSERT_EQ(os_.RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\K", &key), 0);
  EXPECT_EQ(regError(os_.RegSetValueExA(key, "a/b", 0, REG_SZ, data, 4)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(regError(os_.RegSetValueExA(key, "v", 0, REG_SZ, nullptr, 4)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(regError(os_.RegQueryValueExA(key, "v", nullptr, &type, data, &size)),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regError(os_.RegQueryValueExA(key, "a\\b", nullptr, &type, data, &size)),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regError(os_.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\k")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(regError(os_.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\none")),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(regError(os_.RegDeleteKeyA(other, "SOFTWARE\\k")), ERROR_INVALID_HANDLE);
  ASSERT_EQ(os_.RegCloseKey(key), 0);
  EXPECT_EQ(regError(os_.RegSetValueExA(key, "v", 0, REG_SZ, data, 4)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(regError(os_.RegQueryValueExA(key, "v", nullptr, &type, data, &size)),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(regError(os_.RegCloseKey(key)), ERROR_INVALID_HANDLE);
  ASSERT_TRUE(std::filesystem::create_directories(root_.at("locked/lock")));
  setenv("QZ_SCM_DIR", root_.at("locked").c_str(), 1);
  EXPECT_EQ(regError(os_.RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\k", &key)),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(regError(os_.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\k")), ERROR_ACCESS_DENIED);
}

// The supervisor takes a service's failure actions in their order, the last one for every
// later failure: here a restart at the first failure, none at the second.
TEST_F(Substitute, FailureActionsAreTakenInTheirOrder) {
  ScopedServiceHandle svc(create("s", "/bin/sleep 600"));
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 0}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA info{86400, nullptr, nullptr, 2, actions};
  ASSERT_TRUE(os_.ChangeServiceConfig2A(svc.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &info));
  qz::scm::Record r;
  ASSERT_TRUE(qz::scm::readRecord(dir_, "s", r));
  EXPECT_EQ(r["failureactions"] + " " + r["failurereset"], "1/0 0/0 86400");
  ASSERT_TRUE(os_.StartServiceA(svc.get(), 0, nullptr));
  // Kills the service's process; answers its status once the supervisor is done with it.
  auto failed = [&] {
    qz::scm::Status s;
    qz::scm::readStatus(dir_, "s", s);
    int pid = s.pid;
    EXPECT_GT(pid, 0);
    killService("s");
    for (int i = 0; i < 3000 && qz::scm::readStatus(dir_, "s", s) &&
                    (s.pid == pid || (s.pid == 0 && s.supervisor != 0));
         ++i)
      usleep(20000);
    return std::to_string(s.state) + " " + std::to_string(s.exitCode) + " " +
           std::to_string(s.pid > 0);
  };
  EXPECT_EQ(failed(), "2 0 1");     // started again: pending, a process
  EXPECT_EQ(failed(), "1 1067 0");  // stopped for good
  EXPECT_TRUE(os_.DeleteService(svc.get()));
}

// A process that ended without saying so is read as stopped: after a stop under way, with
// no error; otherwise as a failure (ERROR_PROCESS_ABORTED).
TEST_F(Substitute, AnEndedProcessReadsAsStopped) {
  ScopedServiceHandle svc(create("s", "/bin/true"));
  int gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  std::string got;
  for (DWORD state : {SERVICE_RUNNING, SERVICE_STOP_PENDING}) {
    qz::scm::Status was;
    was.state = state;
    was.pid = gone;
    ASSERT_TRUE(qz::scm::writeStatus(dir_, "s", was));
    SERVICE_STATUS now{};
    ASSERT_TRUE(os_.QueryServiceStatus(svc.get(), &now));
    got += std::to_string(now.dwCurrentState) + "/" + std::to_string(now.dwWin32ExitCode) + " ";
  }
  EXPECT_EQ(got, "1/1067 1/0 ");
}

// A running service is only marked for deletion: when its record cannot be written (no file
// size allowed), the delete is refused and the service stays whole.
TEST_F(Substitute, DeleteOfARunningServiceIsRefusedWhenItsRecordCannotBeMarked) {
  ScopedServiceHandle svc(create("s", "/bin/sleep 600"));
  ASSERT_TRUE(os_.StartServiceA(svc.get(), 0, nullptr));
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  rlimit none{0, limit.rlim_max};
  auto previous = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &none);
  DWORD error = refused(os_.DeleteService(svc.get()));
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  qz::scm::Record r;
  ASSERT_TRUE(qz::scm::readRecord(dir_, "s", r));
  EXPECT_EQ(r["deleted"], "0");
  EXPECT_TRUE(os_.DeleteService(svc.get()));
  killService("s");
}

// A sleep lasts its whole time, through the signals that interrupt it, whatever errno held.
TEST_F(Substitute, SleepLastsThroughInterruptions) {
  struct sigaction quiet {};
  quiet.sa_handler = [](int) {};
  sigaction(SIGALRM, &quiet, nullptr);
  itimerval every{{0, 20000}, {0, 20000}}, off{};
  setitimer(ITIMER_REAL, &every, nullptr);
  errno = EINTR;
  auto start = std::chrono::steady_clock::now();
  os_.Sleep(200);
  auto slept = std::chrono::steady_clock::now() - start;
  setitimer(ITIMER_REAL, &off, nullptr);
  EXPECT_GE(slept, std::chrono::milliseconds(200));
}

}  // namespace
