// The POSIX service manager stand-in: its rules below what the command-line tests run.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

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
  EXPECT_EQ(refused(os.DeleteService(queryOnly)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(refused(os.QueryServiceStatus(closed, &s)), ERROR_INVALID_HANDLE);
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

// What a create wrote is what the listing, the configuration and the registry give back;
// a manager opened without the right to list is refused.
TEST(Substitute, ListsAndReadsBackWhatWasMade) {
  qztest::ScratchRoot root;
  setenv("QZ_SCM_DIR", root.at("scm").c_str(), 1);
  Platform& os = realPlatform();
  ScopedServiceHandle manager(os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  for (const char* name : {"Zed", "alpha"}) {
    ScopedServiceHandle made(os.CreateServiceA(
        manager.get(), name, (std::string(name) + " shown").c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
        (std::string("\"/p/bin/mon\" -datdir ") + name).c_str(), nullptr, nullptr, nullptr, nullptr,
        nullptr));
    ASSERT_TRUE(made);
  }
  std::vector<ENUM_SERVICE_STATUSA> rows(8);
  DWORD needed = 0, count = 0, resume = 0;
  ASSERT_TRUE(os.EnumServicesStatusA(manager.get(), SERVICE_WIN32, SERVICE_STATE_ALL, rows.data(),
                                     sizeof rows[0] * 8, &needed, &count, &resume));
  ASSERT_EQ(count, 2u);
  EXPECT_STREQ(rows[0].lpServiceName, "alpha");
  EXPECT_STREQ(rows[1].lpServiceName, "Zed");
  EXPECT_STREQ(rows[1].lpDisplayName, "Zed shown");
  EXPECT_EQ(rows[1].ServiceStatus.dwCurrentState, SERVICE_STOPPED);

  ScopedServiceHandle zed(os.OpenServiceA(manager.get(), "zed", SERVICE_QUERY_CONFIG));
  std::vector<QUERY_SERVICE_CONFIGA> config(16);
  EXPECT_FALSE(os.QueryServiceConfigA(zed.get(), nullptr, 0, &needed));
  EXPECT_EQ(os.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_LE(needed, sizeof config[0] * 16);
  ASSERT_TRUE(os.QueryServiceConfigA(zed.get(), config.data(), needed, &needed));
  EXPECT_STREQ(config[0].lpBinaryPathName, "\"/p/bin/mon\" -datdir Zed");
  EXPECT_STREQ(config[0].lpServiceStartName, "LocalSystem");
  EXPECT_EQ(config[0].dwStartType, SERVICE_DEMAND_START);

  HKEY key = nullptr;
  ASSERT_EQ(os.RegCreateKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\Source", &key), 0);
  const char file[] = "/p/bin/qzerrors.dll";
  ASSERT_EQ(os.RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                              reinterpret_cast<const unsigned char*>(file), sizeof file),
            0);
  unsigned char data[64] = {};
  DWORD type = 0, size = sizeof data;
  EXPECT_EQ(os.RegQueryValueExA(key, "eventmessagefile", nullptr, &type, data, &size), 0);
  EXPECT_EQ(size, sizeof file);
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_STREQ(reinterpret_cast<char*>(data), file);
  EXPECT_EQ(os.RegQueryValueExA(key, "Other", nullptr, &type, data, &size), ERROR_FILE_NOT_FOUND);
  os.RegCloseKey(key);

  ScopedServiceHandle lister(os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  EXPECT_FALSE(os.EnumServicesStatusA(lister.get(), SERVICE_WIN32, SERVICE_STATE_ALL, rows.data(),
                                      sizeof rows[0] * 8, &needed, &count, &resume));
  EXPECT_EQ(os.GetLastError(), ERROR_ACCESS_DENIED);
  unsetenv("QZ_SCM_DIR");
}

}  // namespace
