#include "kelda_nt.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "kelda_nt_testing.h"
#include "keldatest.h"
#include "svcplatform_fake.h"
#include "xkelda.h"

namespace {

using namespace winsvc;
using Raised = std::pair<std::string, int>;
using Prep = std::function<void(FakePlatform&)>;

const std::string kEventKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

SERVICE_STATUS state(DWORD s, DWORD checkPoint = 0, DWORD waitHint = 0) {
  return SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, s, 0, 0, 0, checkPoint, waitHint};
}

// Runs f and answers the key and code of the Xkelda it raised ("" when none).
Raised raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const Xkelda& x) {
    return {x.key, x.winErrorCode};
  }
  return {"", 0};
}

// The service layer on the scripted fake, with the framework logging levels 1..3.
class ServiceLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.start(3);
    previous_ = setPlatform(&fake_);
    fake_.attachLog();
    resetWindowsServiceGlobalsForTesting();
  }
  void TearDown() override {
    FakePlatform::detachLog();
    setPlatform(previous_);
    qz::eval("unset -nocomplain qz.kelda.restartdelay qz.kelda.winservicecreatetries");
  }
  bool logged(const std::string& text) { return root_.log().find(text) != std::string::npos; }
  // A new fake, and a process that has not opened the manager yet.
  void freshFake(const Prep& setUp = nullptr) {
    fake_ = FakePlatform();
    resetWindowsServiceGlobalsForTesting();
    if (setUp) setUp(fake_);
  }
  // The layer's own throw-site line in the log.
  std::string thrown(const std::string& function, const std::string& key) {
    return " exception " + function + ":Xkelda( \"qz.kelda.strings." + key +
           "\", winErrorCode ) thrown at server/qz/kelda/kelda_nt.";
  }

  keldatest::ScratchRoot root_;
  FakePlatform fake_;
  Platform* previous_ = nullptr;
};

TEST_F(ServiceLayer, ManagerOpensOncePerProcessAndRetriesAfterAFailure) {
  fake_.failAll["OpenSCManagerA"] = 5;
  EXPECT_EQ(raised(initWindowsServiceGlobals), Raised("qz.kelda.strings.errorwinservman", 5));
  EXPECT_EQ(raised(initWindowsServiceGlobals), Raised("qz.kelda.strings.errorwinservman", 5));
  EXPECT_EQ(fake_.count("OpenSCManagerA"), 2);
  EXPECT_TRUE(logged(thrown("initWindowsServiceGlobals", "errorwinservman")));
  freshFake([](FakePlatform& f) { f.services["a"].state = f.services["b"].state = 4; });
  qzStop("", "a");
  qzStop("", "b");
  EXPECT_EQ(fake_.count("OpenSCManagerA"), 1);
  EXPECT_EQ(fake_.openHandles(), 1);  // the manager, kept for the process

  // A handle closing keeps the last-error value.
  fake_.services["svc"];
  {
    ScopedServiceHandle service(fake_.OpenServiceA(nullptr, "svc", 0));
    fake_.lastError = 1234;
  }
  EXPECT_EQ(fake_.openHandles(), 1);
  EXPECT_EQ(fake_.lastError, 1234u);
}

// What the layer asks of the service manager: the access of every open and the configuration
// of a new service, as Windows' own values.
TEST_F(ServiceLayer, AccessRightsAndServiceConfiguration) {
  fake_.accounts.insert("acct");
  fake_.services["run"].state = SERVICE_RUNNING;
  qzStop("", "run");
  qzStart("", "run");
  qzCreateService("new", "New", "mon", "acct", "p\"w d");
  qzCreateService("nopw", "N", "\"/r/bin/mon\" -service mon.tcl", nullptr, nullptr);
  EXPECT_EQ(fake_.services["new"].created, "New|mon|acct|p\"w d|F01FF 10 2 1");
  EXPECT_EQ(fake_.services["nopw"].created,
            "N|\"/r/bin/mon\" -service mon.tcl|LocalSystem|-|F01FF 10 2 1");
  EXPECT_EQ(fake_.services["nopw"].description, "Runs the monitor of one proxy server instance.");
  qzRemoveService("new");
  std::vector<std::string> opens;
  for (const std::string& c : fake_.calls)
    if (c.compare(0, 4, "Open") == 0) opens.push_back(c);
  EXPECT_EQ(opens, (std::vector<std::string>{"OpenSCManagerA  F003F", "OpenServiceA run 24",
                                             "OpenServiceA run F01FF", "OpenServiceA new F01FF",
                                             "OpenServiceA nopw F01FF", "OpenServiceA new 24",
                                             "OpenServiceA new 10000"}));
}

// Every raise site: its key and the last-error value it carries, and what it leaves behind.
TEST_F(ServiceLayer, RaiseSites) {
  struct Case {
    Prep setUp;
    std::function<void()> run;
    Raised expected;
    std::string logLine;  // a line the failure leaves in the log, or ""
  };
  auto running = [](FakePlatform& f) { f.services["svc"].state = SERVICE_RUNNING; };
  auto stopped = [](FakePlatform& f) { f.services["svc"]; };
  auto start = [] { qzStart("", "svc"); };
  auto stop = [] { qzStop("", "svc"); };
  auto create = [] { qzCreateService("svc", "S", "mon", nullptr, nullptr); };
  auto remove = [] { qzRemoveService("svc"); };
  const std::string k = "qz.kelda.strings.";
  const Case cases[] = {
      {nullptr, start, {k + "starterrorwinopen", 1060}, ""},
      {running, start, {k + "starterrorwinalreadystarted", 1056}, ""},
      {[](FakePlatform& f) { f.services["svc"], f.failAll["StartServiceA"] = 2; },
       start,
       {k + "starterrorwinstart", 2},
       ""},
      {[](FakePlatform& f) { f.services["svc"], f.failAll["QueryServiceStatus"] = 6; },
       start,
       {k + "starterrorwinquery", 6},
       ""},
      // The service gives up: the code is what an earlier failure left.
      {[](FakePlatform& f) {
         f.services["svc"], f.lastError = 1234;
         f.queries = {state(SERVICE_START_PENDING, 1, 0), state(SERVICE_STOPPED)};
       },
       start,
       {k + "starterrorwinfailure", 1234},
       ""},
      {nullptr, stop, {k + "controlerrorwinopen", 1060}, ""},
      {stopped, stop, {k + "controlerrorwincontrol", 1062}, ""},
      {[](FakePlatform& f) { f.services["svc"].state = 4, f.failAll["QueryServiceStatus"] = 21; },
       stop,
       {k + "controlerrorwincontrol", 21},
       "KELDA - QueryServiceStatus error - 21\n"},
      {nullptr,
       [] { qzCreateService("svc", nullptr, "mon", nullptr, nullptr); },
       {k + "usage", 0},
       ""},
      {nullptr,
       [] { qzCreateService("svc", "S", "mon", "nobody", "pw"); },
       {k + "createservererrorwinuser", 1057},
       ""},
      {[](FakePlatform& f) { f.failAll["CreateServiceA"] = 1073; },
       create,
       {k + "createservererrorwinexists", 1073},
       "KELDA - Error creating windows service - GetLastError() = 1073\n"},
      // The event source fails after the service exists: the service stays.
      {[](FakePlatform& f) { f.failAll["RegSetValueExA"] = 5; },
       create,
       {k + "createservererrorwinaddevhooks", 5},
       ""},
      {[](FakePlatform& f) { f.registry[kEventKey + "svc"]; },
       remove,
       {k + "removeservererrorwinopen", 1060},
       ""},
      {[](FakePlatform& f) { f.services["svc"], f.failAll["DeleteService"] = 1072; },
       remove,
       {k + "removeservererrorwindelete", 1072},
       ""},
      {[](FakePlatform& f) {
         f.services["svc"], f.registry[kEventKey + "svc"], f.failAll["RegDeleteKeyA"] = 5;
       },
       remove,
       {k + "removeservererrorwindeleteevhooks", 5},
       ""},
      {[](FakePlatform& f) { f.registry[kEventKey + "svc"], f.failAll["RegDeleteKeyA"] = 5; },
       [] { removeEventViewerHooks("svc"); },
       {k + "eventviewregdeletekey", 5},
       ""},
  };
  std::string after;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected.first);
    freshFake(c.setUp);
    EXPECT_EQ(raised(c.run), c.expected);
    EXPECT_TRUE(logged(c.logLine));
    // What is left: services, event sources, status queries, open handles.
    std::string left;
    for (auto& s : fake_.services) left += s.first + " ";
    for (auto& r : fake_.registry)
      left += r.first.substr(kEventKey.size()) + ":" + std::to_string(r.second.size()) + " ";
    after += left + std::to_string(fake_.count("Query")) + " " +
             std::to_string(fake_.openHandles()) + "\n";
  }
  EXPECT_EQ(after,
            "0 1\n"
            "svc 0 1\n"
            "svc 0 1\n"
            "svc 1 1\n"
            "svc 2 1\n"
            "0 1\n"
            "svc 0 1\n"
            "svc 1 1\n"
            "0 0\n"
            "0 1\n"
            "0 1\n"
            "svc svc:0 0 1\n"
            "svc:0 0 1\n"
            "svc 0 1\n"
            "svc:0 0 1\n"
            "svc:0 0 0\n");
  EXPECT_TRUE(logged(thrown("controlQZWindowsService", "controlerrorwincontrol")));
}

TEST_F(ServiceLayer, CreateProbesNumberedNames) {
  struct Case {
    const char* tries;  // qz.kelda.winservicecreatetries; null: unset
    int taken;          // svc, svc1, ... exist already
    Raised expected;
    std::string created;  // name=display of the new service
  };
  const std::string error = "qz.kelda.strings.createservererrorwin";
  const Case cases[] = {
      {nullptr, 0, {"", 0}, "svc=S"},
      {"3", 2, {"", 0}, "svc2=S2"},
      {"3", 3, {error, 0}, ""},  // what the last close left
      {"1", 1, {error, 0}, ""},
      // Zero tries: the base name is probed, never created; the failed probe's value is carried.
      {"0", 0, {error, 1060}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.created);
    freshFake();
    qz::eval("unset -nocomplain qz.kelda.winservicecreatetries qz.servicename");
    if (c.tries != nullptr) qz::setVarStr("qz.kelda.winservicecreatetries", c.tries);
    for (int i = 0; i < c.taken; ++i) fake_.services[i == 0 ? "svc" : "svc" + std::to_string(i)];
    EXPECT_EQ(raised([] { qzCreateService("svc", "S", "mon", nullptr, nullptr); }), c.expected);
    std::string created;
    for (auto& s : fake_.services)
      if (!s.second.created.empty())
        created += s.first + "=" + s.second.created.substr(0, s.second.created.find('|'));
    EXPECT_EQ(created, c.created);
    EXPECT_EQ(qz::getVarStr("qz.servicename", ""), created.substr(0, created.find('=')));
    EXPECT_EQ(fake_.count("CreateServiceA"), c.created.empty() ? 0 : 1);
  }
}

// The failure actions create gives the new service: a restart after the configured delay at
// every failure, the count reset after a day; none for 0; a refusal does not fail the create.
TEST_F(ServiceLayer, CreateGivesTheServiceFailureActions) {
  struct Case {
    const char* delay;  // qz.kelda.restartdelay; null: unset
    DWORD refusal;      // ChangeServiceConfig2A fails with this value; 0: it succeeds
    std::string actions;
    const char* logLine;
  };
  const Case cases[] = {
      {nullptr, 0, "reset 86400: 1/60000 1/60000 1/60000", ""},
      {"250", 0, "reset 86400: 1/250 1/250 1/250", ""},
      {"0", 0, "", ""},
      {"-5", 0, "", ""},
      {"soon", 0, "", "KELDA - qz.kelda.restartdelay is not a number of milliseconds - "},
      {nullptr, 1072, "",
       "KELDA - Couldn't set the failure actions of windows service - 'svc' - "
       "GetLastError() = 1072"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delay != nullptr ? c.delay : "unset");
    freshFake();
    qz::eval("unset -nocomplain qz.kelda.restartdelay");
    if (c.delay != nullptr) qz::setVarStr("qz.kelda.restartdelay", c.delay);
    if (c.refusal != 0) fake_.failAll["ChangeServiceConfig2A"] = c.refusal;
    EXPECT_EQ(raised([] { qzCreateService("svc", "S", "mon", nullptr, nullptr); }), Raised("", 0));
    EXPECT_EQ(fake_.services["svc"].failureActions, c.actions);
    EXPECT_TRUE(logged(c.logLine));
  }
}

// The event source: made with the message file under the root, taken again by remove.
TEST_F(ServiceLayer, EventSource) {
  qz::setVarStr("qz.rootdir", "c:/prod");
  qzCreateService("svc", "S", "mon", nullptr, nullptr);
  EXPECT_EQ(fake_.registry[kEventKey + "svc"],
            (std::map<std::string, std::string>{
                {"EventMessageFile", std::string("2:c:/prod/bin/qzerrors.dll", 27)},
                {"TypesSupported", std::string("4:\x07\0\0\0", 6)}}));
  fake_.services["svc"].state = SERVICE_RUNNING;
  qzRemoveService("svc");
  EXPECT_TRUE(fake_.services.empty() && fake_.registry.empty());
  EXPECT_TRUE(
      logged("KELDA - Successfully deleted event viewer registry entry - " + kEventKey + "svc\n"));
  removeEventViewerHooks("none");
  EXPECT_TRUE(logged("KELDA - Couldn't open event viewer registry entry for deletion - " +
                     kEventKey + "none\n"));
  EXPECT_EQ(fake_.openHandles(), 1);
}

// Remove deletes a stopped service too: the refused stop is ignored, and logged.
TEST_F(ServiceLayer, RemoveDeletesAStoppedService) {
  fake_.services["svc"];
  qzRemoveService("svc");
  EXPECT_TRUE(fake_.services.empty());
  EXPECT_TRUE(logged(thrown("controlQZWindowsService", "controlerrorwincontrol")));
}

// The polling clock: pauses of a tenth of the wait hint within one and ten seconds, waiting
// while the checkpoint advances and giving up when it stalls beyond the hint.
TEST_F(ServiceLayer, PollingWhileAStartIsPending) {
  using Q = std::vector<SERVICE_STATUS>;
  const DWORD P = SERVICE_START_PENDING;
  struct Case {
    DWORD startState, tick;
    Q queries;
    std::vector<DWORD> sleeps;
    Raised expected;
    const char* noProgress;  // the wait hint the warning names, or null for no warning
  };
  const std::string failure = "qz.kelda.strings.starterrorwinfailure";
  Q advancing{state(P, 0, 0)};
  for (DWORD i = 1; i <= 50; ++i) advancing.push_back(state(P, i, 0));
  advancing.push_back(state(SERVICE_RUNNING, 51, 0));
  const Case cases[] = {
      {SERVICE_RUNNING, 0, {}, {}, {"", 0}, nullptr},
      {P,
       0,
       {state(P, 0, 30000), state(P, 1, 250000), state(P, 2, 9999), state(P, 3, 0),
        state(SERVICE_RUNNING, 4, 0)},
       {3000, 10000, 1000, 1000},
       {"", 0},
       nullptr},
      // Checkpoint 1 holds for 1000 + 1000 ms against a hint of 1500: the second pass gives
      // up, with the code left before the wait whatever the warning's log line did to it.
      {P,
       0,
       {state(P, 1, 1500), state(P, 1, 1500), state(P, 1, 1500)},
       {1000, 1000},
       {failure, 77},
       "1500"},
      {P, 0, {state(P, 1, 0), state(P, 1, 0)}, {1000}, {failure, 77}, "0"},
      {P, 0, advancing, std::vector<DWORD>(51, 1000), {"", 0}, nullptr},
      // 1000 ms before the counter wraps, 2000 ms without progress are within a 2500 ms hint
      // (a wrong difference would be about 2^32 and end the wait at once).
      {P,
       0xFFFFFC18u,
       {state(P, 1, 2500), state(P, 1, 2500), state(P, 1, 2500), state(SERVICE_RUNNING, 1, 0)},
       {1000, 1000, 1000},
       {"", 0},
       "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.queries.size());
    keldatest::writeFile(root_.logFile(), "");
    freshFake([&](FakePlatform& f) {
      f.services["svc"];
      f.startState = c.startState;
      f.tick = c.tick;
      f.queries.assign(c.queries.begin(), c.queries.end());
      f.lastError = 77;
      f.everyLogLineOpens = true;
    });
    EXPECT_EQ(raised([] { qzStart("", "svc"); }), c.expected);
    EXPECT_EQ(fake_.sleeps, c.sleeps);
    EXPECT_EQ(logged("KELDA - No progress made within the wait hint"), c.noProgress != nullptr);
    if (c.noProgress != nullptr) {
      EXPECT_TRUE(logged(std::string("No progress made within the wait hint ") + c.noProgress));
    }
  }
  // A stop that ends with checkpoint and hint 0 logs the warning and succeeds.
  freshFake([](FakePlatform& f) {
    f.services["svc"].state = SERVICE_RUNNING;
    f.controls = {state(SERVICE_STOP_PENDING, 3, 0)};
    f.queries = {state(SERVICE_STOPPED, 0, 0)};
  });
  qzStop("", "svc");
  EXPECT_TRUE(logged("KELDA - No progress made within the wait hint 0\n"));
  // Stopped at once by the control: no query at all.
  freshFake([](FakePlatform& f) {
    f.services["svc"].state = SERVICE_RUNNING;
    f.controls = {state(SERVICE_STOPPED)};
  });
  qzStop("", "svc");
  EXPECT_EQ(fake_.count("QueryServiceStatus"), 0);
}

// Every operation, with each of its platform calls failing in turn: the error that comes out
// is one of the operation's own, and no handle is left open but the manager's.
TEST_F(ServiceLayer, EveryFailingCallLeavesNoHandleOpen) {
  struct Case {
    Prep setUp;
    std::function<void()> run;
  };
  const Case cases[] = {
      {[](FakePlatform& f) {
         f.services["svc"];
         f.queries = {state(SERVICE_START_PENDING, 1, 0), state(SERVICE_RUNNING)};
       },
       [] { qzStart("", "svc"); }},
      {[](FakePlatform& f) {
         f.services["svc"].state = SERVICE_RUNNING;
         f.queries = {state(SERVICE_STOPPED)};
       },
       [] { qzStop("", "svc"); }},
      {[](FakePlatform& f) { f.services["base"]; },
       [] {
         qz::setVarStr("qz.kelda.winservicecreatetries", "2");
         qzCreateService("base", "B", "mon", nullptr, nullptr);
       }},
      {[](FakePlatform& f) {
         f.services["svc"].state = SERVICE_RUNNING;
         f.queries = {state(SERVICE_STOPPED)};
         f.registry[kEventKey + "svc"];
       },
       [] { qzRemoveService("svc"); }},
  };
  for (const Case& c : cases) {
    freshFake(c.setUp);  // a clean run counts the calls
    c.run();
    size_t count = fake_.calls.size();
    for (size_t k = 1; k <= count; ++k) {
      freshFake(c.setUp);
      // Every log line changes the last-error value, as the first of a process does.
      fake_.everyLogLineOpens = true;
      fake_.failNumber = static_cast<int>(k);
      fake_.failError = 4000 + static_cast<DWORD>(k);
      Raised failing = raised(c.run);
      SCOPED_TRACE(fake_.calls[k - 1] + " -> " + failing.first);
      EXPECT_LE(fake_.openHandles(), 1);
      // The value carried is the failed call's, but where a refused probe led to a create
      // over an existing name, and in the two guarded blocks that read it after the inner
      // failure was caught and logged.
      if (!failing.first.empty() &&
          failing.first != "qz.kelda.strings.createservererrorwinexists" &&
          failing.first != "qz.kelda.strings.createservererrorwinaddevhooks" &&
          failing.first != "qz.kelda.strings.removeservererrorwindeleteevhooks") {
        EXPECT_EQ(failing.second, static_cast<int>(4000 + k));
      }
    }
  }
}

}  // namespace
