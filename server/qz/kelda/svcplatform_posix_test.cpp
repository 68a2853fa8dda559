// The POSIX service manager stand-in, below the command-line tests.

#include <gtest/gtest.h>
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
namespace scm = qz::scm;

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

// The state directory: QZ_SCM_DIR, else under XDG_STATE_HOME, else HOME; empty is unset.
TEST(StateDirectory, ComesFromTheEnvironment) {
  setenv("QZ_SCM_DIR", "", 1), setenv("HOME", "/h", 1), setenv("XDG_STATE_HOME", "", 1);
  std::string home = scm::stateDir();
  setenv("XDG_STATE_HOME", "/x", 1);
  EXPECT_EQ(home + " " + scm::stateDir(), "/h/.local/state/qz-scm /x/qz-scm");
}

class Substitute : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QZ_SCM_DIR", dir_.c_str(), 1);
    manager_.reset(os_.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  }
  void TearDown() override { unsetenv("QZ_SCM_DIR"); }
  ~Substitute() override { EXPECT_EQ(fds(), fds_); }
  static long fds() { return std::distance(std::filesystem::directory_iterator("/dev/fd"), {}); }
  SC_HANDLE create(const char* name, const char* commandLine, const char* account = nullptr,
                   const char* display = nullptr, SC_HANDLE manager = nullptr) {
    return os_.CreateServiceA(manager != nullptr ? manager : manager_.get(), name,
                              display != nullptr ? display : name, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              commandLine, nullptr, nullptr, nullptr, account, nullptr);
  }
  // The error a call left: 0 when it returned true.
  DWORD refused(bool done) { return done ? ERROR_SUCCESS : os_.GetLastError(); }
  // The errors calls left (refused(), or a registry result).
  static std::string errors(std::initializer_list<int64_t> left) {
    std::string text;
    for (int64_t e : left) text += (text.empty() ? "" : " ") + std::to_string(e);
    return text;
  }
  // A state whose lock file is a directory, so never locked; or back to the test's own.
  void lockOut(bool out = true) {
    std::filesystem::create_directories(root_.at("locked/lock"));
    setenv("QZ_SCM_DIR", out ? root_.at("locked").c_str() : dir_.c_str(), 1);
  }

  qztest::ScratchRoot root_;
  std::string dir_ = root_.at("scm");
  Platform& os_ = realPlatform();
  ScopedServiceHandle manager_;
  long fds_ = fds();
  SERVICE_STATUS st_{};
  scm::Status s_;
  DWORD needed_ = 0, count_ = 0, resume_ = 0;
  SC_ACTION actionList_[2] = {{SC_ACTION_RESTART, 0}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA actions_{86400, nullptr, nullptr, 2, actionList_};
};

// Each refusal leaves its Windows error value; a closed handle is refused, not followed.
TEST_F(Substitute, RefusalsCarryTheWindowsValues) {
  ScopedServiceHandle missing(create("missing", "\"/no/such/program\" -x"));
  qztest::writeFile(root_.at("plain"), "not a program\n");
  ScopedServiceHandle plain(create("plain", root_.at("plain").c_str()));
  std::string tooLong(245, 'm');  // less one: the longest name; an account that exists
  ScopedServiceHandle mine(create(tooLong.c_str() + 1, "x", ".\\root"));
  SC_HANDLE closed = os_.OpenServiceA(manager_.get(), "missing", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(os_.CloseServiceHandle(closed));
  ScopedServiceHandle noListing(
      os_.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS & ~SC_MANAGER_ENUMERATE_SERVICE));
  HKEY key = nullptr;
  std::vector<char> rows;
  auto list = [&](SC_HANDLE m, bool sized = true) {
    return refused(os_.EnumServicesStatusA(
        m, SERVICE_WIN32, SERVICE_STATE_ALL, reinterpret_cast<ENUM_SERVICE_STATUSA*>(rows.data()),
        static_cast<DWORD>(rows.size()), sized ? &needed_ : nullptr, &count_, &resume_));
  };
  EXPECT_EQ(errors({refused(create("n", "x", nullptr, "a\nb")), refused(create("", "x")),
                    refused(os_.OpenServiceA(closed, "missing", 0)), refused(create("n", "")),
                    refused(create(tooLong.c_str(), "x")), refused(create("a/b", "x")),
                    refused(create("n", "x", nullptr, "plain")), refused(create("n", "x\ny")),
                    refused(create("u", "x", ".\\no-such-user")), refused(create("PLAIN", "x")),
                    refused(create("n", "x", nullptr, nullptr, closed)),
                    refused(os_.OpenServiceA(manager_.get(), "a\\b", 0))}),
            "123 123 6 87 123 123 1078 87 1057 1073 6 123");
  EXPECT_EQ(errors({refused(os_.StartServiceA(missing.get(), 0, nullptr)),
                    refused(os_.StartServiceA(plain.get(), 0, nullptr)),
                    refused(os_.QueryServiceStatus(closed, &st_)), list(closed),
                    list(noListing.get()), list(manager_.get(), false), list(manager_.get()),
                    refused(os_.CloseServiceHandle(closed)),
                    os_.RegCloseKey(reinterpret_cast<HKEY>(missing.get())),
                    os_.RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\None", &key)}),
            "2 5 6 6 5 87 234 6 6 2");
  rows.resize(needed_);  // what it asked for: all three, none to resume
  EXPECT_EQ(errors({list(manager_.get()), count_, needed_, resume_}), "0 3 0 0");
  lockOut();
  EXPECT_EQ(
      errors({refused(os_.OpenServiceA(manager_.get(), "missing", 0)), refused(create("n", "x")),
              list(manager_.get()), os_.RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM", &key)}),
      "1055 1055 1055 5");
}

// Per service call, the errors for a closed handle, one without the access, and no lock.
TEST_F(Substitute, ServiceCallsCheckTheHandleItsAccessAndTheLock) {
  ScopedServiceHandle svc(create("s", "/bin/sleep 600"));
  ScopedServiceHandle noAccess(os_.OpenServiceA(manager_.get(), "s", 0));
  SC_HANDLE closed = os_.OpenServiceA(manager_.get(), "s", SERVICE_ALL_ACCESS);
  os_.CloseServiceHandle(closed);
  const std::function<BOOL(SC_HANDLE)> calls[] = {
      [&](auto h) {
        return os_.ChangeServiceConfig2A(h, SERVICE_CONFIG_FAILURE_ACTIONS, &actions_);
      },
      [&](auto h) { return os_.StartServiceA(h, 0, nullptr); },
      [&](auto h) { return os_.ControlService(h, SERVICE_CONTROL_STOP, &st_); },
      [&](auto h) { return os_.ControlService(h, SERVICE_CONTROL_INTERROGATE, &st_); },
      [&](auto h) { return os_.QueryServiceStatus(h, &st_); },
      [&](auto h) { return os_.QueryServiceConfigA(h, nullptr, 0, &needed_); },
      [&](auto h) { return os_.DeleteService(h); },
  };
  for (const auto& call : calls) {
    std::string got = errors({refused(call(closed)), refused(call(noAccess.get()))});
    lockOut();
    EXPECT_EQ(got + " " + errors({refused(call(svc.get()))}), "6 5 1055") << &call - calls;
    lockOut(false);
  }
}

// What service calls refuse of their other arguments and of the service's state.
TEST_F(Substitute, ServiceCallsRefuseArgumentsAndStatesTheyCannotTake) {
  ScopedServiceHandle svc(create("s", "/bin/sleep 600"));
  SC_HANDLE h = svc.get();
  auto control = [&](DWORD c, SERVICE_STATUS* s) { return refused(os_.ControlService(h, c, s)); };
  auto start = [&] { return refused(os_.StartServiceA(h, 0, nullptr)); };
  EXPECT_EQ(
      errors({refused(os_.ChangeServiceConfig2A(h, 99, &actions_)),
              refused(os_.ChangeServiceConfig2A(h, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr)),
              control(SERVICE_CONTROL_PAUSE, &st_),
              refused(os_.QueryServiceConfigA(h, nullptr, 0, nullptr)),
              control(SERVICE_CONTROL_STOP, nullptr), refused(os_.QueryServiceStatus(h, nullptr)),
              control(SERVICE_CONTROL_STOP, &st_), start(), start(),
              control(SERVICE_CONTROL_STOP, &st_), control(SERVICE_CONTROL_INTERROGATE, &st_)}),
      "87 87 1052 87 6 6 1062 0 1056 1061 0");
  EXPECT_EQ(st_.dwCurrentState, SERVICE_START_PENDING);
  // Deleted while running: marked, then refused everything.
  EXPECT_EQ(errors({refused(os_.DeleteService(h)), refused(os_.DeleteService(h)), start(),
                    refused(os_.OpenServiceA(manager_.get(), "s", 0)), refused(create("s", "x"))}),
            "0 1072 1072 1072 1072");
  if (scm::readStatus(dir_, "s", s_) && s_.pid > 0) kill(s_.pid, SIGKILL);
}

TEST_F(Substitute, RegistryCallsRefuseWhatWindowsRefuses) {
  HKEY key = nullptr, sub = nullptr, hklm = HKEY_LOCAL_MACHINE, hkcu = predefinedKey(0x80000001);
  unsigned char data[4] = {1, 2, 3, 4};
  DWORD type = 0, size = sizeof data;
  auto query = [&](const char* name) {
    return os_.RegQueryValueExA(key, name, nullptr, &type, data, &size);
  };
  EXPECT_EQ(
      errors({os_.RegCreateKeyA(hkcu, "SOFTWARE\\k", &key),
              os_.RegCreateKeyA(hklm, "SOFTWARE\\..\\k", &key),
              os_.RegCreateKeyA(hklm, "SOFTWARE\\.values", &key),  // the stand-in's own
              os_.RegCreateKeyA(hklm, "SOFTWARE/k", &key),
              os_.RegCreateKeyA(hklm, "SOFTWARE\\k\\sub", &sub), os_.RegCloseKey(sub),
              os_.RegOpenKeyA(hklm, "software\\K", &key),
              os_.RegSetValueExA(key, "a/b", 0, REG_SZ, data, 4),
              os_.RegSetValueExA(key, "v", 0, REG_SZ, nullptr, 1), query("v"), query("a\\b"),
              os_.RegDeleteKeyA(hklm, "SOFTWARE\\k"), os_.RegDeleteKeyA(hklm, "SOFTWARE\\none"),
              os_.RegDeleteKeyA(hkcu, "SOFTWARE\\k"), os_.RegCloseKey(key),
              os_.RegSetValueExA(key, "v", 0, REG_SZ, data, 4), query("v"), os_.RegCloseKey(key)}),
      "6 87 87 87 0 0 0 87 87 2 2 5 2 6 0 6 6 6");
  lockOut();
  EXPECT_EQ(errors({os_.RegCreateKeyA(hklm, "SOFTWARE\\k", &key),
                    os_.RegDeleteKeyA(hklm, "SOFTWARE\\k")}),
            "5 5");
}

// The actions in their order, the last for every later failure: here a restart, then none.
TEST_F(Substitute, FailureActionsAreTakenInTheirOrder) {
  ScopedServiceHandle svc(create("s", "/bin/sleep 600"));
  ASSERT_TRUE(os_.ChangeServiceConfig2A(svc.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &actions_));
  scm::Record r;
  scm::readRecord(dir_, "s", r);
  EXPECT_EQ(r["failureactions"] + " " + r["failurereset"], "1/0 0/0 86400");
  ASSERT_TRUE(os_.StartServiceA(svc.get(), 0, nullptr));
  // Kills the service; answers its status once the supervisor acted.
  auto failed = [&] {
    scm::readStatus(dir_, "s", s_);
    int pid = s_.pid;
    EXPECT_NE(getsid(pid), getsid(0));  // a process, in its own session
    if (pid > 0) kill(pid, SIGKILL);
    for (int i = 0; i < 3000 && scm::readStatus(dir_, "s", s_) &&
                    (s_.pid == pid || (s_.pid == 0 && s_.supervisor != 0));
         ++i)
      usleep(20000);
    return errors({s_.state, s_.exitCode, s_.pid > 0});
  };
  EXPECT_EQ(failed(), "2 0 1");     // started again: pending, a process
  EXPECT_EQ(failed(), "1 1067 0");  // stopped for good
  // A process that reported itself stopped before it ended did not fail: no restart.
  ASSERT_TRUE(os_.StartServiceA(svc.get(), 0, nullptr));
  ASSERT_TRUE(scm::readStatus(dir_, "s", s_));
  ASSERT_TRUE(scm::writeStatus(dir_, "s", scm::Status{SERVICE_STOPPED, 0, 0, 0, s_.pid}));
  EXPECT_EQ(failed(), "1 0 0");
  EXPECT_EQ(errors({refused(os_.DeleteService(svc.get())), scm::readStatus(dir_, "s", s_),
                    refused(os_.QueryServiceConfigA(svc.get(), nullptr, 0, &needed_))}),
            "0 0 1060");  // nothing left but the open handle
}

// A process that ended unannounced: stopped with no error after a stop under way, else failed.
TEST_F(Substitute, AnEndedProcessReadsAsStopped) {
  ScopedServiceHandle svc(create("s", "/bin/true"));
  int gone = fork();
  if (gone == 0) _exit(0);
  siginfo_t zombie;
  waitid(P_PID, gone, &zombie, WEXITED | WNOWAIT);
  std::string got;
  for (DWORD state : {SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}) {
    ASSERT_TRUE(scm::writeStatus(dir_, "s", scm::Status{state, 0, 0, 0, gone, 0, gone}));
    ASSERT_TRUE(os_.QueryServiceStatus(svc.get(), &st_));
    got += errors({st_.dwCurrentState, st_.dwWin32ExitCode}) + ",";
  }
  EXPECT_EQ(got, "1 1067,1 0,1 0,");
  // A supervisor gone is no longer named: a stop would signal its pid.
  EXPECT_TRUE(scm::readStatus(dir_, "s", s_) && s_.supervisor == 0);
}

// A sleep lasts its whole time through interrupting signals, whatever errno held.
TEST_F(Substitute, SleepLastsThroughInterruptions) {
  std::signal(SIGALRM, [](int) {});
  ualarm(20000, 20000);
  errno = EINTR;
  auto start = std::chrono::steady_clock::now();
  os_.Sleep(200);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  ualarm(0, 0);
}

}  // namespace
