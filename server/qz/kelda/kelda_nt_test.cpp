#include "kelda_nt.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>

#include "kelda_nt_testing.h"
#include "keldatest.h"
#include "svcplatform_fake.h"
#include "xkelda.h"

namespace {

using namespace winsvc;

const std::string kEventKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

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
  }
  bool logged(const std::string& text) { return root_.log().find(text) != std::string::npos; }

  // A new fake and log, a process that has not opened the manager yet, and the fake set up
  // from words: "svc" a stopped service, "svc=4" one in state 4, "ev:svc" an event source,
  // "!Op=5" every call of Op failing with 5, "err=5" the last-error value, "tick=N" the clock,
  // "start=4" the state a start leaves, "q=state/checkpoint/hint" the next status a query
  // reports, "c=..." the one the stop control reports, "tries=" and "delay=" the settings.
  void prepare(const std::string& scene) {
    qz::eval("unset -nocomplain qz.kelda.winservicecreatetries qz.kelda.restartdelay");
    fake_ = FakePlatform();
    resetWindowsServiceGlobalsForTesting();
    keldatest::writeFile(root_.logFile(), "");
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
        fake_.registry[kEventKey + name.substr(3)];
      } else if (name == "err" || name == "tick" || name == "start") {
        (name == "err" ? fake_.lastError : name == "tick" ? fake_.tick : fake_.startState) = n;
      } else if (name == "q" || name == "c") {
        std::sscanf(value.c_str(), "%u/%u/%u", &n, &cp, &hint);
        (name == "q" ? fake_.queries : fake_.controls)
            .push_back(SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, n, 0, 0, 0, cp, hint});
      } else {
        fake_.services[name].state = eq == std::string::npos ? SERVICE_STOPPED : n;
      }
    }
  }
  // Runs an operation on "svc" and answers the key and code of the Xkelda it raised ("0"
  // when none), then what is left: services, event sources with their value counts, status
  // queries made, open handles.
  std::string run(const std::string& op) {
    std::string out = "- 0";
    try {
      if (op == "start") qzStart("", "svc");
      if (op == "stop") qzStop("", "svc");
      if (op == "create") qzCreateService("svc", "S", "mon", nullptr, nullptr);
      if (op == "nodisplay") qzCreateService("svc", nullptr, "mon", nullptr, nullptr);
      if (op == "remove") qzRemoveService("svc");
      if (op == "unhook") removeEventViewerHooks("svc");
    } catch (const Xkelda& x) {
      out = x.key.substr(x.key.rfind('.') + 1) + " " + std::to_string(x.winErrorCode);
    }
    out += " |";
    for (auto& s : fake_.services) out += " " + s.first;
    for (auto& r : fake_.registry)
      out += " " + r.first.substr(kEventKey.size()) + ":" + std::to_string(r.second.size());
    return out + " | " + std::to_string(fake_.count("QueryServiceStatus")) + " " +
           std::to_string(fake_.openHandles());
  }
  // The layer's own throw-site line in the log.
  bool thrownAt(const std::string& function, const std::string& key) {
    return logged(" exception " + function + ":Xkelda( \"qz.kelda.strings." + key +
                  "\", winErrorCode ) thrown at server/qz/kelda/kelda_nt.");
  }

  keldatest::ScratchRoot root_;
  FakePlatform fake_;
  Platform* previous_ = nullptr;
};

// The manager is opened once per process (see the opens below), again after a failure.
TEST_F(ServiceLayer, ManagerOpensAgainAfterAFailure) {
  prepare("!OpenSCManagerA=5");
  EXPECT_EQ(run("stop") + "," + run("start"),
            "errorwinservman 5 | | 0 0,errorwinservman 5 | | 0 0");
  EXPECT_EQ(fake_.count("OpenSCManagerA  F003F"), 2);
  EXPECT_TRUE(thrownAt("initWindowsServiceGlobals", "errorwinservman"));
}

// What the layer asks of the service manager: the access of every open and the configuration
// of a new service, as Windows' own values.
TEST_F(ServiceLayer, AccessRightsAndServiceConfiguration) {
  prepare("run=4");
  qzStop("", "run");
  qzStart("", "run");
  qzCreateService("new", "New", "mon", "acct", "p\"w d");
  qzCreateService("nopw", "N", "\"/r/bin/mon\" -service mon.tcl", nullptr, nullptr);
  EXPECT_EQ(fake_.services["new"].display + "|" + fake_.services["new"].created,
            "New|mon|acct|p\"w d|F01FF 10 2 1");
  EXPECT_EQ(fake_.services["nopw"].display + "|" + fake_.services["nopw"].created,
            "N|\"/r/bin/mon\" -service mon.tcl|LocalSystem|-|F01FF 10 2 1");
  EXPECT_EQ(fake_.services["nopw"].description, "Runs the monitor of one proxy server instance.");
  qzRemoveService("new");
  std::string opens;
  for (const std::string& c : fake_.calls)
    if (c.compare(0, 4, "Open") == 0) opens += c + ",";
  EXPECT_EQ(opens,
            "OpenSCManagerA  F003F,OpenServiceA run 24,OpenServiceA run F01FF,OpenServiceA new "
            "F01FF,OpenServiceA nopw F01FF,OpenServiceA new 24,OpenServiceA new 10000,");
}

// Every raise site: its key, the last-error value it carries, and what it leaves behind.
TEST_F(ServiceLayer, RaiseSites) {
  const std::string ev = "event viewer registry entry", evsvc = " - " + kEventKey + "svc\n";
  const std::string cases[][4] = {
      {"", "start", "starterrorwinopen 1060 | | 0 1", ""},
      {"svc=4", "start", "starterrorwinalreadystarted 1056 | svc | 0 1", ""},
      {"svc !StartServiceA=2", "start", "starterrorwinstart 2 | svc | 0 1", ""},
      {"svc !QueryServiceStatus=6", "start", "starterrorwinquery 6 | svc | 1 1", ""},
      // The service gives up: the code is what an earlier failure left.
      {"svc err=1234 q=2/1/0 q=1", "start", "starterrorwinfailure 1234 | svc | 2 1", ""},
      {"", "stop", "controlerrorwinopen 1060 | | 0 1", ""},
      {"svc", "stop", "controlerrorwincontrol 1062 | svc | 0 1", ""},
      {"svc=4 !QueryServiceStatus=21", "stop", "controlerrorwincontrol 21 | svc | 1 1",
       "KELDA - QueryServiceStatus error - 21\n"},
      {"svc=4 c=1", "stop", "- 0 | svc | 0 1", ""},  // stopped at once: no query
      {"", "nodisplay", "usage 0 | | 0 0", ""},
      {"!CreateServiceA=1057", "create", "createservererrorwinuser 1057 | | 0 1", ""},
      {"!CreateServiceA=1073", "create", "createservererrorwinexists 1073 | | 0 1",
       "KELDA - Error creating windows service - GetLastError() = 1073\n"},
      // The event source fails after the service exists: the service stays.
      {"!RegSetValueExA=5", "create", "createservererrorwinaddevhooks 5 | svc svc:0 | 0 1", ""},
      {"ev:svc", "remove", "removeservererrorwinopen 1060 | svc:0 | 0 1", ""},
      {"svc !DeleteService=1072", "remove", "removeservererrorwindelete 1072 | svc | 0 1", ""},
      {"svc ev:svc !RegDeleteKeyA=5", "remove", "removeservererrorwindeleteevhooks 5 | svc:0 | 0 1",
       ""},
      {"ev:svc !RegDeleteKeyA=5", "unhook", "eventviewregdeletekey 5 | svc:0 | 0 0", ""},
      {"ev:svc", "unhook", "- 0 | | 0 0", "KELDA - Successfully deleted " + ev + evsvc},
      // Remove deletes a stopped service too: the refused stop is ignored.
      {"svc", "remove", "- 0 | | 0 1", "KELDA - Couldn't open " + ev + " for deletion" + evsvc},
  };
  for (auto& c : cases) {
    prepare(c[0]);
    EXPECT_EQ(run(c[1]), c[2]) << c[0];
    EXPECT_TRUE(logged(c[3])) << c[3];
  }
  EXPECT_TRUE(thrownAt("controlQZWindowsService", "controlerrorwincontrol"));
}

// Create probes numbered names up to qz.kelda.winservicecreatetries, sets qz.servicename to
// the one it made, and gives the service its failure actions (a restart after the configured
// delay, the count reset after a day; none for 0; a refusal does not fail the create).
TEST_F(ServiceLayer, CreateNamesAndFailureActions) {
  const char* cases[][3] = {
      {"", "- 0 | svc=S reset 86400: 1/60000 1/60000 1/60000", ""},
      {"svc svc1 tries=3 delay=250", "- 0 | svc2=S2 reset 86400: 1/250 1/250 1/250", ""},
      {"svc svc1 svc2 tries=3", "createservererrorwin 0 | ", ""},  // what the last close left
      {"svc tries=1", "createservererrorwin 0 | ", ""},
      // Zero tries: the base name is probed, never created; the failed probe's value is carried.
      {"tries=0", "createservererrorwin 1060 | ", ""},
      {"delay=0", "- 0 | svc=S ", ""},
      {"delay=-5", "- 0 | svc=S ", ""},
      {"delay=soon", "- 0 | svc=S ",
       "KELDA - qz.kelda.restartdelay is not a number of milliseconds"},
      {"!ChangeServiceConfig2A=1072", "- 0 | svc=S ",
       "KELDA - Couldn't set the failure actions of windows service - 'svc' - GetLastError() = "
       "1072\n"},
  };
  for (auto& c : cases) {
    prepare(c[0]);
    qz::eval("unset -nocomplain qz.servicename");
    std::string out = run("create");
    out = out.substr(0, out.find('|') + 2);
    for (auto& s : fake_.services)
      if (!s.second.created.empty())
        out += qz::getVarStr("qz.servicename", "") + "=" + s.second.display + " " +
               s.second.failureActions;
    EXPECT_EQ(out, c[1]) << c[0];
    EXPECT_TRUE(logged(c[2])) << c[2];
  }
  EXPECT_EQ(fake_.count("CreateServiceA"), 1);
}

TEST_F(ServiceLayer, EventSourceNamesTheMessageFileUnderTheRoot) {
  qz::setVarStr("qz.rootdir", "c:/prod");
  run("create");
  EXPECT_EQ(fake_.registry[kEventKey + "svc"],
            (std::map<std::string, std::string>{
                {"EventMessageFile", std::string("2:c:/prod/bin/qzerrors.dll", 27)},
                {"TypesSupported", std::string("4:\x07\0\0\0", 6)}}));
}

// The polling clock: pauses of a tenth of the wait hint within one and ten seconds, waiting
// while the checkpoint advances and giving up when it stalls beyond the hint.
TEST_F(ServiceLayer, PollingWhileAStartIsPending) {
  std::string advancing = "q=2/0/0";
  for (int i = 1; i <= 50; ++i) advancing += " q=2/" + std::to_string(i) + "/0";
  std::string fifty;
  for (int i = 0; i < 51; ++i) fifty += " 1000";
  const std::string cases[][4] = {
      {"start=4", "", "- 0", ""},
      {"q=2/0/30000 q=2/1/250000 q=2/2/9999 q=2/3/0 q=4/4/0", " 3000 10000 1000 1000", "- 0", ""},
      // Checkpoint 1 holds for 1000 + 1000 ms against a hint of 1500: the second pass gives
      // up, with the code left before the wait whatever the warning's log line did to it.
      {"q=2/1/1500 q=2/1/1500 q=2/1/1500", " 1000 1000", "starterrorwinfailure 77", "1500"},
      {"q=2/1/0 q=2/1/0", " 1000", "starterrorwinfailure 77", "0"},
      {advancing + " q=4/51/0", fifty, "- 0", ""},
      // 1000 ms before the counter wraps, 2000 ms without progress are within a 2500 ms hint
      // (a wrong difference would be about 2^32 and end the wait at once).
      {"tick=0xFFFFFC18 q=2/1/2500 q=2/1/2500 q=2/1/2500 q=4/1/0", " 1000 1000 1000", "- 0", "0"},
  };
  for (auto& c : cases) {
    prepare("svc err=77 " + c[0]);
    fake_.everyLogLineOpens = true;
    std::string out = run("start");
    out = out.substr(0, out.find(" |"));
    for (DWORD ms : fake_.sleeps) out += " " + std::to_string(ms);
    std::string log = root_.log();
    size_t warned = log.find("KELDA - No progress made within the wait hint ");
    if (warned != std::string::npos)
      out += " warned " + log.substr(warned + 46, log.find('\n', warned) - warned - 45);
    EXPECT_EQ(out, c[2] + c[1] + (c[3].empty() ? "" : " warned " + c[3] + "\n")) << c[0];
  }
  // A stop that ends with checkpoint and hint 0 logs the warning and succeeds.
  prepare("svc=4 c=3/3/0 q=1/0/0");
  EXPECT_EQ(run("stop"), "- 0 | svc | 1 1");
  EXPECT_TRUE(logged("KELDA - No progress made within the wait hint 0\n"));
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
    size_t count = fake_.calls.size();
    for (size_t k = 1; k <= count; ++k) {
      prepare(c[0]);
      // Every log line changes the last-error value, as the first of a process does.
      fake_.everyLogLineOpens = true;
      fake_.failNumber = static_cast<int>(k);
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

}  // namespace
