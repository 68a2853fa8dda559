// The POSIX service manager stand-in with real service processes: the monitor host, run as
// a service, reports its own states.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "keldatest.h"
#include "qzscm.h"
#include "svcplatform.h"

namespace {

using namespace winsvc;

class Substitute : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.start(0);
    setenv("QZ_SCM_DIR", root_.at("scm").c_str(), 1);
    manager_.reset(os().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager_);
    port_ = 21000 + getpid() % 4000;
    keldatest::ScratchRoot::shell("mkdir -p '" + root_.at("inst") + "'");
    keldatest::writeFile(root_.at("inst/config.tcl"),
                         "set qz.servicename svc\nset qz.kelda.monoamname 127.0.0.1\n"
                         "set qz.kelda.monoamport " +
                             std::to_string(port_) + "\n");
  }
  void TearDown() override { unsetenv("QZ_SCM_DIR"); }

  static Platform& os() { return realPlatform(); }
  std::string monitorCommandLine() const {
    return "\"" KELDA_MON_PATH "\" -service -rootdir \"" + root_.path() + "\" -datdir \"" +
           root_.at("inst") + "\" mon.tcl";
  }
  ScopedServiceHandle create(const char* name, const std::string& commandLine,
                             const char* account = nullptr) {
    return ScopedServiceHandle(os().CreateServiceA(manager_.get(), name, name, SERVICE_ALL_ACCESS,
                                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                                   SERVICE_ERROR_NORMAL, commandLine.c_str(),
                                                   nullptr, nullptr, nullptr, account, nullptr));
  }
  // Queries until the state is no longer `pending` (at most ten seconds).
  SERVICE_STATUS settle(SC_HANDLE service, DWORD pending) {
    SERVICE_STATUS s{};
    for (int i = 0; i < 200; ++i) {
      EXPECT_TRUE(os().QueryServiceStatus(service, &s));
      if (s.dwCurrentState != pending) break;
      usleep(50000);
    }
    return s;
  }

  keldatest::ScratchRoot root_;
  ScopedServiceHandle manager_;
  int port_ = 0;
};

TEST_F(Substitute, ServiceLifeWithARealMonitor) {
  ScopedServiceHandle service = create("svc", monitorCommandLine());
  ASSERT_TRUE(service);
  EXPECT_FALSE(create("SVC", "x"));  // names are case-insensitive
  EXPECT_EQ(os().GetLastError(), ERROR_SERVICE_EXISTS);

  SERVICE_STATUS s{};
  ASSERT_TRUE(os().QueryServiceStatus(service.get(), &s));
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
  EXPECT_FALSE(os().ControlService(service.get(), SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(os().GetLastError(), ERROR_SERVICE_NOT_ACTIVE);

  ASSERT_TRUE(os().StartServiceA(service.get(), 0, nullptr));
  s = settle(service.get(), SERVICE_START_PENDING);
  ASSERT_EQ(s.dwCurrentState, SERVICE_RUNNING);
  qz::scm::Status reported;
  ASSERT_TRUE(qz::scm::readStatus(root_.at("scm"), "svc", reported));
  int pid = reported.pid;
  EXPECT_EQ(kill(pid, 0), 0);
  // The monitor answers on its port.
  EXPECT_EQ(keldatest::ScratchRoot::shell(
                "curl -s -o /dev/null --data ping http://127.0.0.1:" + std::to_string(port_) + "/"),
            0);

  EXPECT_FALSE(os().StartServiceA(service.get(), 0, nullptr));
  EXPECT_EQ(os().GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);

  ASSERT_TRUE(os().ControlService(service.get(), SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOP_PENDING);
  s = settle(service.get(), SERVICE_STOP_PENDING);
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
  for (int i = 0; i < 100 && kill(pid, 0) == 0; ++i) usleep(20000);
  EXPECT_NE(kill(pid, 0), 0);
  EXPECT_FALSE(os().ControlService(service.get(), SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(os().GetLastError(), ERROR_SERVICE_NOT_ACTIVE);

  ScopedServiceHandle forDelete(os().OpenServiceA(manager_.get(), "Svc", DELETE));
  ASSERT_TRUE(forDelete);
  EXPECT_TRUE(os().DeleteService(forDelete.get()));
  EXPECT_FALSE(os().OpenServiceA(manager_.get(), "svc", SERVICE_ALL_ACCESS));
  EXPECT_EQ(os().GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(Substitute, AServiceThatDiesIsStoppedAndOneMarkedForDeletionGoesThen) {
  ScopedServiceHandle service = create("svc", monitorCommandLine());
  ASSERT_TRUE(os().StartServiceA(service.get(), 0, nullptr));
  ASSERT_EQ(settle(service.get(), SERVICE_START_PENDING).dwCurrentState, SERVICE_RUNNING);
  EXPECT_TRUE(os().DeleteService(service.get()));  // still running: only marked
  EXPECT_FALSE(os().OpenServiceA(manager_.get(), "svc", SERVICE_ALL_ACCESS));
  EXPECT_EQ(os().GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  qz::scm::Status reported;
  ASSERT_TRUE(qz::scm::readStatus(root_.at("scm"), "svc", reported));
  kill(reported.pid, SIGKILL);
  for (int i = 0; i < 100 && kill(reported.pid, 0) == 0; ++i) usleep(20000);
  EXPECT_EQ(settle(service.get(), SERVICE_RUNNING).dwCurrentState, SERVICE_STOPPED);
  EXPECT_FALSE(os().OpenServiceA(manager_.get(), "svc", SERVICE_ALL_ACCESS));
  EXPECT_EQ(os().GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

// True once a process has ended (an unreaped one counts as ended, as the stand-in counts it).
bool ended(int pid) {
  std::string stat;
  if (!qz::scm::readWholeFile("/proc/" + std::to_string(pid) + "/stat", stat)) return true;
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// A failed service waits out its restart delay stopped; a stop, a start or a delete in that
// time calls the restart off, and its supervisor goes at once.
TEST_F(Substitute, AStopStartOrDeleteDuringTheRestartDelayCallsTheRestartOff) {
  for (const std::string meantime : {"stop", "start", "delete"}) {
    SCOPED_TRACE(meantime);
    ScopedServiceHandle service = create("svc", monitorCommandLine());
    SC_ACTION restart[1] = {{SC_ACTION_RESTART, 900}};
    SERVICE_FAILURE_ACTIONSA actions{86400, nullptr, nullptr, 1, restart};
    ASSERT_TRUE(
        os().ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &actions));
    ASSERT_TRUE(os().StartServiceA(service.get(), 0, nullptr));
    ASSERT_EQ(settle(service.get(), SERVICE_START_PENDING).dwCurrentState, SERVICE_RUNNING);
    qz::scm::Status reported;
    ASSERT_TRUE(qz::scm::readStatus(root_.at("scm"), "svc", reported));
    kill(reported.pid, SIGKILL);
    for (int i = 0; i < 200 && reported.supervisor == 0; ++i) {
      usleep(10000);
      qz::scm::readStatus(root_.at("scm"), "svc", reported);
    }
    ASSERT_NE(reported.supervisor, 0);
    SERVICE_STATUS s{};
    ASSERT_TRUE(os().QueryServiceStatus(service.get(), &s));
    EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(s.dwWin32ExitCode, ERROR_PROCESS_ABORTED);

    if (meantime == "stop") {
      EXPECT_FALSE(os().ControlService(service.get(), SERVICE_CONTROL_STOP, &s));
      EXPECT_EQ(os().GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
    } else if (meantime == "start") {
      ASSERT_TRUE(os().StartServiceA(service.get(), 0, nullptr));
      ASSERT_EQ(settle(service.get(), SERVICE_START_PENDING).dwCurrentState, SERVICE_RUNNING);
    } else {
      EXPECT_TRUE(os().DeleteService(service.get()));
    }
    // Well within the delay.
    for (int i = 0; i < 30 && !ended(reported.supervisor); ++i) usleep(10000);
    EXPECT_TRUE(ended(reported.supervisor));
    qz::scm::Status before;
    qz::scm::readStatus(root_.at("scm"), "svc", before);
    usleep(900000);  // past the delay
    qz::scm::Status after;
    bool listed = qz::scm::readStatus(root_.at("scm"), "svc", after);
    if (meantime == "start") {
      // Still the process of the start: nothing was started beside it.
      EXPECT_EQ(after.pid, before.pid);
      EXPECT_EQ(after.state, SERVICE_RUNNING);
      ASSERT_TRUE(os().ControlService(service.get(), SERVICE_CONTROL_STOP, &s));
      EXPECT_EQ(settle(service.get(), SERVICE_STOP_PENDING).dwCurrentState, SERVICE_STOPPED);
      EXPECT_TRUE(os().DeleteService(service.get()));
    } else if (meantime == "stop") {
      EXPECT_EQ(after.state, SERVICE_STOPPED);
      EXPECT_EQ(after.pid, 0);
      EXPECT_TRUE(os().DeleteService(service.get()));
    } else {
      EXPECT_FALSE(listed);
    }
  }
}

TEST_F(Substitute, RefusalsCarryTheWindowsValues) {
  EXPECT_FALSE(create("", "x"));
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_NAME);
  EXPECT_FALSE(create("a/b", "x"));
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_NAME);
  EXPECT_FALSE(create("svc", "x", ".\\no-such-user-here"));
  EXPECT_EQ(os().GetLastError(), ERROR_INVALID_SERVICE_ACCOUNT);
  EXPECT_TRUE(create("byroot", "x", ".\\root"));

  ScopedServiceHandle missing = create("missing", "\"/no/such/program\" -x");
  ASSERT_TRUE(missing);
  EXPECT_FALSE(os().StartServiceA(missing.get(), 0, nullptr));
  EXPECT_EQ(os().GetLastError(), ERROR_FILE_NOT_FOUND);

  ScopedServiceHandle queryOnly(os().OpenServiceA(manager_.get(), "missing", SERVICE_QUERY_STATUS));
  EXPECT_FALSE(os().DeleteService(queryOnly.get()));
  EXPECT_EQ(os().GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(Substitute, RegistryKeysAndValues) {
  const char* path = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\svc";
  HKEY key = nullptr;
  EXPECT_EQ(os().RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key), 2);
  EXPECT_EQ(os().GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(os().RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key), 0);
  ScopedRegistryKey owned(key);
  const unsigned char data[] = "c:/prod/bin/qzerrors.dll";
  EXPECT_EQ(os().RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, data, sizeof data), 0);
  std::string stored;
  ASSERT_TRUE(qz::scm::readWholeFile(
      root_.at("scm/registry/hklm/system/currentcontrolset/services/eventlog/application/svc/"
               ".values/eventmessagefile"),
      stored));
  EXPECT_EQ(stored,
            std::string("2\n") + std::string(reinterpret_cast<const char*>(data), sizeof data));
  owned.reset();
  // Opening is case-insensitive; a key with subkeys is not deleted.
  ASSERT_EQ(os().RegOpenKeyA(HKEY_LOCAL_MACHINE,
                             "system\\currentcontrolset\\services\\eventlog\\"
                             "application\\SVC",
                             owned.receive()),
            0);
  owned.reset();
  EXPECT_NE(os().RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet"), 0);
  EXPECT_EQ(os().RegDeleteKeyA(HKEY_LOCAL_MACHINE, path), 0);
  EXPECT_EQ(os().RegDeleteKeyA(HKEY_LOCAL_MACHINE, path), 2);
}

// Deleting a key that has a subkey is refused before anything of it goes: its values stay, and
// once the subkey is gone the key deletes.
TEST_F(Substitute, RefusedKeyDeletionChangesNothing) {
  const char* parent = "SYSTEM\\Parent";
  const char* child = "SYSTEM\\Parent\\Child";
  ScopedRegistryKey key;
  ASSERT_EQ(os().RegCreateKeyA(HKEY_LOCAL_MACHINE, parent, key.receive()), 0);
  const unsigned char data[] = {7, 0, 0, 0};
  ASSERT_EQ(os().RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD, data, 4), 0);
  ASSERT_EQ(os().RegCreateKeyA(HKEY_LOCAL_MACHINE, child, key.receive()), 0);
  key.reset();
  EXPECT_EQ(os().RegDeleteKeyA(HKEY_LOCAL_MACHINE, parent), 5);
  std::string stored;
  EXPECT_TRUE(qz::scm::readWholeFile(
      root_.at("scm/registry/hklm/system/parent/.values/typessupported"), stored));
  EXPECT_EQ(os().RegDeleteKeyA(HKEY_LOCAL_MACHINE, child), 0);
  EXPECT_EQ(os().RegDeleteKeyA(HKEY_LOCAL_MACHINE, parent), 0);
  EXPECT_EQ(os().RegOpenKeyA(HKEY_LOCAL_MACHINE, parent, key.receive()), 2);
}

// Two processes creating and deleting services at the same moment: every record that should
// be there is, whole, and no other.
TEST_F(Substitute, ProcessesChangingServicesAtOnce) {
  const int perProcess = 40;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    if (children[c] == 0) {
      Platform& p = realPlatform();
      SC_HANDLE m = p.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
      int failures = 0;
      for (int i = 0; i < perProcess; ++i) {
        std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
        SC_HANDLE h =
            p.CreateServiceA(m, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                             "\"/bin/true\"", nullptr, nullptr, nullptr, nullptr, nullptr);
        if (h == nullptr) ++failures;
        // Every other one goes again.
        if (h != nullptr && i % 2 == 1 && !p.DeleteService(h)) ++failures;
        if (h != nullptr) p.CloseServiceHandle(h);
      }
      _exit(failures);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < perProcess; ++i) {
      std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
      ScopedServiceHandle h(os().OpenServiceA(manager_.get(), name.c_str(), SERVICE_ALL_ACCESS));
      EXPECT_EQ(static_cast<bool>(h), i % 2 == 0) << name;
    }
  }
}

}  // namespace
