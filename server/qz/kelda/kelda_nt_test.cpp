#include "kelda_nt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "kelda_nt_testing.h"
#include "qzlog.h"
#include "qztest.h"
#include "svcplatform_fake.h"
#include "xkelda.h"

namespace {

using namespace winsvc;

const std::string kEventKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The service layer on the scripted fake, with the framework logging levels 1..3. As the
// system's file calls may, every line the log writes changes the last-error value.
class ServiceLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.start(3);
    previous_ = setPlatform(&fake_);
    qz::log::setFileObserver([this](bool) { fake_.lastError = 183; });  // ERROR_ALREADY_EXISTS
  }
  void TearDown() override {
    qz::log::setFileObserver(nullptr);
    setPlatform(previous_);
  }
  // A new fake and log, no manager opened yet, and the fake set up from words: "svc" a stopped
  // service, "svc=4" one in state 4, "ev:svc" an event source, "!Op=5" every call of Op failing
  // with 5, "err=5" the last-error value, "tick=N" the clock, "q=state/checkpoint/hint" the
  // next status a query reports, "tries=" and "delay=" the settings.
  void prepare(const std::string& scene) {
    qz::eval("unset -nocomplain qz.kelda.winservicecreatetries qz.kelda.restartdelay");
    fake_ = FakePlatform();
    resetWindowsServiceGlobalsForTesting();
    qztest::writeFile(root_.logFile(), "");
    std::istringstream words(scene);
    for (std::string w; words >> w;) {
      size_t eq = w.find('=');
      std::string name = w.substr(0, eq), value = eq == std::string::npos ? "" : w.substr(eq + 1);
      DWORD n = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 0)), cp = 0, hint = 0;
      if (name == "tries" || name == "delay") {
        qz::setVarStr(name == "tries" ? "qz.kelda.winservicecreatetries" : "qz.kelda.restartdelay",
                      value.c_str());
      } else if (name[0] == '!') {
        fake_.failAll[name.substr(1)] = n;
      } else if (name.compare(0, 3, "ev:") == 0) {
        fake_.keys.insert(kEventKey + name.substr(3));
      } else if (name == "err" || name == "tick") {
        (name == "err" ? fake_.lastError : fake_.tick) = n;
      } else if (name == "q") {
        std::sscanf(value.c_str(), "%u/%u/%u", &n, &cp, &hint);
        fake_.queries.push_back(SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, n, 0, 0, 0, cp, hint});
      } else {
        fake_.services[name] = eq == std::string::npos ? SERVICE_STOPPED : n;
      }
    }
  }
  // Runs operations on "svc": the key and code each raised ("- 0" for none), then the services
  // (with failure actions when made here) and event sources, open handles and pauses made.
  std::string run(const std::string& ops) {
    std::istringstream words(ops);
    std::string out;
    for (std::string op; words >> op;) {
      out += out.empty() ? "" : ",";
      try {
        if (op == "start") qzStart("", "svc");
        if (op == "stop") qzStop("", "svc");
        if (op == "create") qzCreateService("svc", "S", "mon", "acct", "p\"w d");
        if (op == "remove") qzRemoveService("svc");
        if (op == "unhook") removeEventViewerHooks("svc");
        out += "- 0";
      } catch (const Xkelda& x) {
        out += x.key.substr(x.key.rfind('.') + 1) + " " + std::to_string(x.winErrorCode);
      }
    }
    out += " |";
    for (auto& s : fake_.services)
      out += " " + s.first +
             (fake_.failureActions.count(s.first) ? "(" + fake_.failureActions[s.first] + ")" : "");
    for (auto& key : fake_.keys) out += " ev:" + key.substr(kEventKey.size());
    out += " | " + std::to_string(fake_.openHandles()) + (fake_.sleeps.empty() ? "" : " | slept");
    for (DWORD ms : fake_.sleeps) out += " " + std::to_string(ms);
    return out;
  }
  // Runs ops on the scene: what they answer, and a log line.
  void expect(const std::string& scene, const std::string& ops, const std::string& result,
              const std::string& line) {
    prepare(scene);
    EXPECT_EQ(run(ops), result) << scene;
    EXPECT_TRUE(root_.log().find(line) != std::string::npos) << line;
  }

  qztest::ScratchRoot root_;
  FakePlatform fake_;
  Platform* previous_ = nullptr;
};

// The manager is opened once per process; the access every open and create asks for, and
// the account and password a service gets.
TEST_F(ServiceLayer, AccessRightsAndAccount) {
  prepare("svc=4 tries=2");
  run("stop start create remove");
  for (DWORD control :
       {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_INTERROGATE})
    EXPECT_THROW(controlQZWindowsService("svc", control), Xkelda);  // the fake stops it
  std::string opens;
  for (const std::string& c : fake_.calls)
    if (c.find(' ') != std::string::npos) opens += c + ",";
  EXPECT_EQ(
      opens,
      "OpenSCManagerA  F003F,OpenServiceA svc 24,OpenServiceA svc F01FF,OpenServiceA svc "
      "F01FF,OpenServiceA svc1 F01FF,CreateServiceA svc1 acct|p\"w d F01FF,OpenServiceA svc 24,"
      "OpenServiceA svc 10000,OpenServiceA svc 44,OpenServiceA svc 44,OpenServiceA svc 84,");
}

// Where the manager fails or refuses as the command-line tests cannot arrange it, and as
// create's settings vary: the key and value raised, what is left, and the log line.
TEST_F(ServiceLayer, RaiseSitesAndCreateSettings) {
  const std::string ev = "event viewer registry entry", evsvc = " - " + kEventKey + "svc\n";
  const std::string actions = "(reset 86400: 1/60000 1/60000 1/60000)";
  const std::string cases[][4] = {
      // The manager is opened once per process (see the opens above), again after a failure.
      {"!OpenSCManagerA=5", "stop start", "errorwinservman 5,errorwinservman 5 | | 0",
       " exception initWindowsServiceGlobals:Xkelda( \"qz.kelda.strings.errorwinservman\", "
       "winErrorCode ) thrown at server/qz/kelda/kelda_nt."},
      // Create gives the service its failure actions: restarts after qz.kelda.restartdelay
      // (none for 0 or less), the count reset after a day; a refusal is logged, not raised.
      {"", "create", "- 0 | svc" + actions + " ev:svc | 1", ""},
      // Zero tries: the base name is probed, never created; the failed probe's value is carried.
      {"tries=0", "create", "createservererrorwin 1060 | | 1", ""},
      {"delay=0", "create", "- 0 | svc ev:svc | 1", ""},
      {"delay=1", "create", "- 0 | svc(reset 86400: 1/1 1/1 1/1) ev:svc | 1", ""},
      {"delay=soon", "create", "- 0 | svc ev:svc | 1",
       "KELDA - qz.kelda.restartdelay is not a number of milliseconds"},
      {"!ChangeServiceConfig2A=1072", "create", "- 0 | svc ev:svc | 1",
       "KELDA - Couldn't set the failure actions of windows service - 'svc' - GetLastError() = "
       "1072\n"},
      {"!CreateServiceA=1057", "create", "createservererrorwinuser 1057 | | 1", ""},
      {"!CreateServiceA=1073", "create", "createservererrorwinexists 1073 | | 1",
       "KELDA - Error creating windows service - GetLastError() = 1073\n"},
      // The event source fails after the service exists: the service stays, and the value is
      // read after the inner failure was caught and logged.
      {"!RegSetValueExA=5", "create",
       "createservererrorwinaddevhooks 183 | svc" + actions + " ev:svc | 1", ""},
      {"svc !StartServiceA=2", "start", "starterrorwinstart 2 | svc | 1", ""},
      {"svc !QueryServiceStatus=6", "start", "starterrorwinquery 6 | svc | 1", ""},
      {"svc=4 !QueryServiceStatus=21", "stop", "controlerrorwincontrol 21 | svc | 1 | slept 1000",
       "KELDA - QueryServiceStatus error - 21\n"},
      {"svc !DeleteService=1072", "remove", "removeservererrorwindelete 1072 | svc | 1", ""},
      {"ev:svc", "unhook", "- 0 | | 0", "KELDA - Successfully deleted " + ev + evsvc},
      // Remove deletes a stopped service too: the refused stop is ignored.
      {"svc", "remove", "- 0 | | 1", "KELDA - Couldn't open " + ev + " for deletion" + evsvc},
  };
  for (auto& c : cases) expect(c[0], c[1], c[2], c[3]);
}

// The polling clock: pauses of a tenth of the wait hint within 1 and 10 s, a wait that lasts
// while the checkpoint advances and ends when it stalls beyond the hint (keeping the code).
TEST_F(ServiceLayer, PollingWhileAStartOrStopIsPending) {
  std::string advancing = "svc q=2/0/0", fifty;
  for (int i = 1; i <= 50; ++i) advancing += " q=2/" + std::to_string(i) + "/0";
  for (int i = 0; i < 51; ++i) fifty += " 1000";
  const std::string stalled = "KELDA - No progress made within the wait hint ";
  const std::string cases[][4] = {
      {"svc q=4", "start", "- 0 | svc | 1", ""},
      {"svc q=2/0/30000 q=2/1/250000 q=2/2/9999 q=2/3/0 q=4/4/0", "start",
       "- 0 | svc | 1 | slept 3000 10000 1000 1000", ""},
      // Checkpoint 1, reached after 1000 ms, holds for 1000 + 1000 ms against a hint of 1500.
      {"svc err=77 q=2/0/1500 q=2/1/1500 q=2/1/1500 q=2/1/1500", "start",
       "starterrorwinfailure 77 | svc | 1 | slept 1000 1000 1000", stalled + "1500\n"},
      {"svc err=77 q=2/1/0 q=2/1/0", "start", "starterrorwinfailure 77 | svc | 1 | slept 1000",
       stalled + "0\n"},
      {advancing + " q=4/51/0", "start", "- 0 | svc | 1 | slept" + fifty, ""},
      // 1000 ms before the counter wraps, 2000 ms without progress are within a 2500 ms hint
      // (a wrong difference would be about 2^32 and end the wait at once).
      {"svc tick=0xFFFFFC18 q=2/1/2500 q=2/1/2500 q=2/1/2500 q=4/1/0", "start",
       "- 0 | svc | 1 | slept 1000 1000 1000", stalled + "0\n"},
      // A stop that ends with checkpoint and hint 0 logs the warning and succeeds.
      {"svc=4 q=1/0/0", "stop", "- 0 | svc | 1 | slept 1000", stalled + "0\n"},
  };
  for (auto& c : cases) expect(c[0], c[1], c[2], c[3]);
}

// Every operation, with each of its platform calls failing in turn: the error that comes out
// is one of the operation's own, and no handle is left open but the manager's.
TEST_F(ServiceLayer, EveryFailingCallLeavesNoHandleOpen) {
  const char* cases[][2] = {{"svc q=2/1/0 q=4", "start"},
                            {"svc=4 q=1", "stop"},
                            {"svc tries=2", "create"},
                            {"svc=4 q=1 ev:svc", "remove"}};
  for (auto& c : cases) {
    prepare(c[0]);  // a clean run counts the calls
    run(c[1]);
    for (size_t k = 1, count = fake_.calls.size(); k <= count; ++k) {
      prepare(c[0]);
      fake_.failNumber = k;
      fake_.failError = 4000 + static_cast<DWORD>(k);
      std::string out = run(c[1]), key = out.substr(0, out.find(' '));
      SCOPED_TRACE(fake_.calls[k - 1] + " -> " + out);
      EXPECT_LE(fake_.openHandles(), 1);
      // The value carried is the failed call's, but where a refused probe led to a create
      // over an existing name, and in the two guarded blocks that read it after the inner
      // failure was caught and logged.
      if (key != "-" && key != "createservererrorwinexists" &&
          key != "createservererrorwinaddevhooks" && key != "removeservererrorwindeleteevhooks") {
        EXPECT_EQ(out.substr(out.find(' ') + 1, 4), std::to_string(4000 + k));
      }
    }
  }
}

// Listing on a manager of more services (and a longer command line) than the first buffers
// hold: every one comes out once with its command line; one that goes between the listing and its
// query is left out.
TEST_F(ServiceLayer, ListsEveryServiceWithItsCommandLine) {
  prepare("");
  for (int i = 0; i < 1500; ++i) {
    std::string name = "service-with-a-longer-name-" + std::to_string(i);
    fake_.services[name] = i % 2 ? SERVICE_RUNNING : SERVICE_STOPPED;
    fake_.commandLines[name] = "\"C:/p/bin/mon\" -datdir \"C:/d/" + std::to_string(i) + "\"";
  }
  fake_.commandLines["service-with-a-longer-name-7"] = std::string(4000, 'x');  // over a buffer
  std::vector<InstalledService> all = listQZWindowsServices();
  ASSERT_EQ(all.size(), 1500u);
  std::set<std::string> names;
  for (const InstalledService& s : all) {
    names.insert(s.name);
    EXPECT_EQ(s.commandLine, fake_.commandLines[s.name]);
    EXPECT_EQ(s.state, fake_.services[s.name]);
  }
  EXPECT_EQ(names.size(), 1500u);
  EXPECT_EQ(fake_.openHandles(), 1);  // the manager's

  // A configuration that outgrows every buffer given is asked for five times, then given up.
  prepare("svc");
  fake_.growingConfigs = true;
  EXPECT_THROW(listQZWindowsServices(), Xkelda);
  EXPECT_EQ(std::count(fake_.calls.begin(), fake_.calls.end(), "QueryServiceConfigA"), 5);

  prepare("svc gone");
  fake_.failAll["OpenServiceA"] = ERROR_SERVICE_DOES_NOT_EXIST;
  EXPECT_TRUE(listQZWindowsServices().empty());
  const std::pair<const char*, DWORD> failures[] = {
      {"EnumServicesStatusA", 5}, {"OpenServiceA", 5}, {"QueryServiceConfigA", 6}};
  const char* keys[] = {"listerrorwin", "listerrorwinopen", "listerrorwinquery"};
  for (size_t i = 0; i < 3; ++i) {
    prepare("svc");
    fake_.failAll[failures[i].first] = failures[i].second;
    try {
      listQZWindowsServices();
      ADD_FAILURE() << failures[i].first;
    } catch (const Xkelda& x) {
      EXPECT_EQ(x.key, std::string("qz.kelda.strings.") + keys[i]);
      EXPECT_EQ(x.winErrorCode, static_cast<int32_t>(failures[i].second));
    }
    EXPECT_EQ(fake_.openHandles(), 1);
  }
}

// The event-log source a create registered names its message file; none, or one without a
// message file, is told apart from a key that cannot be read.
TEST_F(ServiceLayer, EventSourceAndItsMessageFile) {
  prepare("");
  addEventViewerHooks("svc", "C:/p/bin/qzerrors.dll");
  std::string file = "left";
  EXPECT_TRUE(eventSourceMessageFile("svc", file));
  EXPECT_EQ(file, "C:/p/bin/qzerrors.dll");
  EXPECT_FALSE(eventSourceMessageFile("other", file));
  EXPECT_EQ(file, "");
  fake_.values.clear();
  file = "left";
  EXPECT_TRUE(eventSourceMessageFile("svc", file));
  EXPECT_EQ(file, "");
  fake_.failAll["RegQueryValueExA"] = 5;
  EXPECT_THROW(eventSourceMessageFile("svc", file), Xkelda);
  EXPECT_EQ(fake_.openHandles(), 0);
}

}  // namespace
