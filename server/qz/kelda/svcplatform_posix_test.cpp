// The POSIX service manager stand-in: its rules below what the command-line tests run.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
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

// Each refused call leaves the Windows error value: a closed handle is refused, not followed,
// and a state that cannot be locked (its lock file a directory) is answered as locked.
TEST(Substitute, RefusalsCarryTheWindowsValues) {
  qztest::ScratchRoot root;
  setenv("QZ_SCM_DIR", root.at("scm").c_str(), 1);
  Platform& os = realPlatform();
  ScopedServiceHandle manager(os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  auto create = [&](const char* name, const char* commandLine, const char* account = nullptr) {
    return os.CreateServiceA(manager.get(), name, name, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                             commandLine, nullptr, nullptr, nullptr, account, nullptr);
  };
  ScopedServiceHandle missing(create("missing", "\"/no/such/program\" -x"));
  qztest::writeFile(root.at("plain"), "not a program\n");  // there, but not executable
  ScopedServiceHandle plain(create("plain", root.at("plain").c_str()));
  ScopedServiceHandle mine(create("mine", "x", ".\\root"));  // an account that exists
  SC_HANDLE closed = os.OpenServiceA(manager.get(), "missing", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(os.CloseServiceHandle(closed));  // and a handle of it that stays open:
  SC_HANDLE queryOnly = os.OpenServiceA(manager.get(), "missing", SERVICE_QUERY_STATUS);
  SERVICE_STATUS s{};
  HKEY key = nullptr;
  auto refused = [&](bool done) { return done ? ERROR_SUCCESS : os.GetLastError(); };
  EXPECT_TRUE(mine);
  EXPECT_EQ(refused(create("", "x")), ERROR_INVALID_NAME);
  EXPECT_EQ(refused(create("a/b", "x")), ERROR_INVALID_NAME);
  EXPECT_EQ(refused(create("MISSING", "x")), ERROR_SERVICE_EXISTS);
  EXPECT_EQ(refused(create("u", "x", ".\\no-such-user")), ERROR_INVALID_SERVICE_ACCOUNT);
  EXPECT_EQ(refused(os.StartServiceA(missing.get(), 0, nullptr)), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(refused(os.StartServiceA(plain.get(), 0, nullptr)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(refused(os.DeleteService(queryOnly)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(refused(os.QueryServiceStatus(closed, &s)), ERROR_INVALID_HANDLE);
  DWORD needed = 0, count = 0, resume = 0;
  auto list = [&](SC_HANDLE m) {
    return os.EnumServicesStatusA(m, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed, &count,
                                  &resume);
  };
  ScopedServiceHandle noListing(
      os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS & ~SC_MANAGER_ENUMERATE_SERVICE));
  EXPECT_EQ(refused(list(closed)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(refused(list(noListing.get())), ERROR_ACCESS_DENIED);
  EXPECT_EQ(refused(list(manager.get())), ERROR_MORE_DATA);
  EXPECT_EQ(refused(os.QueryServiceConfigA(queryOnly, nullptr, 0, &needed)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(refused(os.CloseServiceHandle(closed)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(refused(os.RegCloseKey(reinterpret_cast<HKEY>(queryOnly)) == 0), ERROR_INVALID_HANDLE);
  EXPECT_EQ(refused(os.RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\None", &key) == 0),
            ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(std::filesystem::create_directories(root.at("locked/lock")));
  setenv("QZ_SCM_DIR", root.at("locked").c_str(), 1);
  EXPECT_EQ(refused(os.OpenServiceA(manager.get(), "missing", 0)), ERROR_SERVICE_DATABASE_LOCKED);
  EXPECT_EQ(refused(os.RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM", &key) == 0), ERROR_ACCESS_DENIED);
  unsetenv("QZ_SCM_DIR");
}

// The supervisor takes a service's failure actions in their order, the last one for every
// later failure: here a restart at the first failure, none at the second.
TEST(Substitute, FailureActionsAreTakenInTheirOrder) {
  qztest::ScratchRoot root;
  std::string dir = root.at("scm");
  setenv("QZ_SCM_DIR", dir.c_str(), 1);
  Platform& os = realPlatform();
  ScopedServiceHandle manager(os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ScopedServiceHandle svc(os.CreateServiceA(
      manager.get(), "s", "s", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
      SERVICE_ERROR_NORMAL, "/bin/sleep 600", nullptr, nullptr, nullptr, nullptr, nullptr));
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 0}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA info{86400, nullptr, nullptr, 2, actions};
  ASSERT_TRUE(os.ChangeServiceConfig2A(svc.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &info));
  qz::scm::Record r;
  ASSERT_TRUE(qz::scm::readRecord(dir, "s", r));
  EXPECT_EQ(r["failureactions"] + " " + r["failurereset"], "1/0 0/0 86400");
  ASSERT_TRUE(os.StartServiceA(svc.get(), 0, nullptr));
  // Kills the service's process; answers its status once the supervisor is done with it.
  auto failed = [&] {
    qz::scm::Status s;
    qz::scm::readStatus(dir, "s", s);
    int pid = s.pid;
    EXPECT_GT(pid, 0);
    if (pid > 0) kill(pid, SIGKILL);
    for (int i = 0; i < 3000 && qz::scm::readStatus(dir, "s", s) &&
                    (s.pid == pid || (s.pid == 0 && s.supervisor != 0));
         ++i)
      usleep(20000);
    return std::to_string(s.state) + " " + std::to_string(s.exitCode) + " " +
           std::to_string(s.pid > 0);
  };
  EXPECT_EQ(failed(), "2 0 1");     // started again: pending, a process
  EXPECT_EQ(failed(), "1 1067 0");  // stopped for good
  EXPECT_TRUE(os.DeleteService(svc.get()));
  unsetenv("QZ_SCM_DIR");
}

// A running service is only marked for deletion: when its record cannot be written (no file
// size allowed), the delete is refused and the service stays whole.
TEST(Substitute, DeleteOfARunningServiceIsRefusedWhenItsRecordCannotBeMarked) {
  qztest::ScratchRoot root;
  std::string dir = root.at("scm");
  setenv("QZ_SCM_DIR", dir.c_str(), 1);
  Platform& os = realPlatform();
  ScopedServiceHandle manager(os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ScopedServiceHandle svc(os.CreateServiceA(
      manager.get(), "s", "s", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
      SERVICE_ERROR_NORMAL, "/bin/sleep 600", nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(os.StartServiceA(svc.get(), 0, nullptr));
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  rlimit none{0, limit.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &none);
  BOOL deleted = os.DeleteService(svc.get());
  DWORD error = os.GetLastError();
  setrlimit(RLIMIT_FSIZE, &limit);
  EXPECT_FALSE(deleted);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  qz::scm::Record r;
  ASSERT_TRUE(qz::scm::readRecord(dir, "s", r));
  EXPECT_EQ(r["deleted"], "0");
  EXPECT_TRUE(os.DeleteService(svc.get()));
  qz::scm::Status s;
  if (qz::scm::readStatus(dir, "s", s) && s.pid > 0) kill(s.pid, SIGKILL);
  unsetenv("QZ_SCM_DIR");
}

// A sleep lasts its whole time, through the signals that interrupt it, whatever errno held.
TEST(Substitute, SleepLastsThroughInterruptions) {
  struct sigaction quiet {};
  quiet.sa_handler = [](int) {};
  sigaction(SIGALRM, &quiet, nullptr);
  itimerval every{{0, 20000}, {0, 20000}}, off{};
  setitimer(ITIMER_REAL, &every, nullptr);
  errno = EINTR;
  auto start = std::chrono::steady_clock::now();
  realPlatform().Sleep(200);
  auto slept = std::chrono::steady_clock::now() - start;
  setitimer(ITIMER_REAL, &off, nullptr);
  EXPECT_GE(slept, std::chrono::milliseconds(200));
}

}  // namespace
