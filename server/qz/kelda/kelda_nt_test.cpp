#include "kelda_nt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <sstream>
#include <string>

#include "qzlog.h"
#include "qztest.h"
#include "svcplatform_fake.h"
#include "xkelda.h"

namespace {

using namespace winsvc;

const std::string kEventKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The service layer on the fake, logging at 1..3; as file calls may, each line sets the last error.
class ServiceLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.start(3);
    setPlatform(&fake_);
    qz::log::setFileObserver([this] { fake_.lastError = 183; });  // ERROR_ALREADY_EXISTS
  }
  void TearDown() override {
    qz::log::setFileObserver(nullptr);
    setPlatform(nullptr);  // the real one
  }
  // A new fake and log, no manager open, set up from words: "svc" a stopped service, "svc=4" one
  // in state 4, "ev:svc" an event source, "!Op=5" each Op call failing with 5, "err=", "tick=",
  // "q=state/checkpoint/hint" a status to report, and the settings "tries=" and "delay=".
  void prepare(const std::string& scene) {
    qz::eval("unset -nocomplain qz.kelda.winservicecreatetries qz.kelda.restartdelay");
    fake_ = FakePlatform();
    resetWindowsServiceGlobalsForTesting();
    qztest::writeFile(root_.logFile(), "");
    std::istringstream words(scene);
    for (std::string w; words >> w;) {
      size_t eq = w.find('=');
      std::string name = w.substr(0, eq), value = eq == std::string::npos ? "" : w.substr(eq + 1);
      DWORD n = 0, cp = 0, hint = 0;
      std::sscanf(value.c_str(), "%u/%u/%u", &n, &cp, &hint);
      if (name == "tries" || name == "delay")
        qz::setVarStr(name == "tries" ? "qz.kelda.winservicecreatetries" : "qz.kelda.restartdelay",
                      value.c_str());
      else if (name[0] == '!')
        fake_.failAll[name.substr(1)] = n;
      else if (name.compare(0, 3, "ev:") == 0)
        fake_.keys.insert(kEventKey + name.substr(3));
      else if (name == "err" || name == "tick")
        (name == "err" ? fake_.lastError : fake_.tick) = n;
      else if (name == "q")
        fake_.queries.push_back(SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, n, 0, 0, 0, cp, hint});
      else
        fake_.services[name] = eq == std::string::npos ? SERVICE_STOPPED : n;
    }
  }
  // Runs ops on "svc": what each found and raised ("- 0": none); services, keys, handles, sleeps.
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
        if (op == "list") out += "listed " + std::to_string(listQZWindowsServices().size()) + " ";
        if (op == "hook") addEventViewerHooks("svc", "C:/p/bin/qzerrors.dll");
        std::string file = "left";
        if (op == "source")
          out += (eventSourceMessageFile("svc", file) ? "found '" : "none '") + file + "' ";
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
  // Per row: the scene, the ops, what run() answers, and a line the log then holds.
  void expect(std::initializer_list<std::array<std::string, 4>> rows) {
    for (auto& c : rows) {
      prepare(c[0]);
      EXPECT_EQ(run(c[1]), c[2]) << c[0];
      EXPECT_NE(root_.log().find(c[3]), std::string::npos) << c[3];
    }
  }

  qztest::ScratchRoot root_;
  FakePlatform fake_;
};

// One manager open per process; the access each open and create asks for; account, password.
TEST_F(ServiceLayer, AccessRightsAndAccount) {
  prepare("svc=4 tries=2");
  run("stop start create remove");
  for (DWORD c : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_INTERROGATE})
    EXPECT_THROW(controlQZWindowsService("svc", c), Xkelda);  // the fake stops it
  // Calls with an access; svc's opens as their access.
  std::string opens;
  for (const auto& c : fake_.calls)
    if (c.find(' ') != std::string::npos)
      opens += (c.rfind("OpenServiceA svc ", 0) == 0 ? c.substr(c.rfind(' ') + 1) : c) + ",";
  EXPECT_EQ(opens,
            "OpenSCManagerA  F003F,24,F01FF,F01FF,OpenServiceA svc1 F01FF,CreateServiceA svc1 "
            "acct|p\"w d F01FF,24,10000,44,44,84,");
}

// Failures the command-line tests cannot arrange, and create's settings.
TEST_F(ServiceLayer, RaiseSitesAndCreateSettings) {
  const std::string ev = "event viewer registry entry", evsvc = " - " + kEventKey + "svc\n";
  expect({
      {"!OpenSCManagerA=5", "stop start", "errorwinservman 5,errorwinservman 5 | | 0",
       " exception initWindowsServiceGlobals:Xkelda( \"qz.kelda.strings.errorwinservman\", "
       "winErrorCode ) thrown at server/qz/kelda/kelda_nt."},
      // Zero tries: the base name is probed, never created.
      {"tries=0", "create", "createservererrorwin 1060 | | 1", ""},
      // Restarts after qz.kelda.restartdelay (none for 0 or less); a refusal is only logged.
      {"", "create", "- 0 | svc(reset 86400: 1/60000 1/60000 1/60000) ev:svc | 1", ""},
      {"delay=0", "create", "- 0 | svc ev:svc | 1", ""},
      {"delay=1", "create", "- 0 | svc(reset 86400: 1/1 1/1 1/1) ev:svc | 1", ""},
      {"delay=soon", "create", "- 0 | svc ev:svc | 1", "restartdelay is not a number"},
      {"!ChangeServiceConfig2A=1072", "create", "- 0 | svc ev:svc | 1",
       "failure actions of windows service - 'svc' - GetLastError() = 1072\n"},
      {"!CreateServiceA=1057", "create", "createservererrorwinuser 1057 | | 1", ""},
      {"!CreateServiceA=1073", "create", "createservererrorwinexists 1073 | | 1",
       "KELDA - Error creating windows service - GetLastError() = 1073\n"},
      // The service stays; the value is read after the inner failure was logged.
      {"delay=0 !RegSetValueExA=5", "create", "createservererrorwinaddevhooks 183 | svc ev:svc | 1",
       ""},
      {"svc !StartServiceA=2", "start", "starterrorwinstart 2 | svc | 1", ""},
      {"svc !QueryServiceStatus=6", "start", "starterrorwinquery 6 | svc | 1", ""},
      {"svc=4 !QueryServiceStatus=21", "stop", "controlerrorwincontrol 21 | svc | 1 | slept 1000",
       "KELDA - QueryServiceStatus error - 21\n"},
      {"svc !DeleteService=1072", "remove", "removeservererrorwindelete 1072 | svc | 1", ""},
      {"ev:svc", "unhook", "- 0 | | 0", "KELDA - Successfully deleted " + ev + evsvc},
      // Remove deletes a stopped service too: the refused stop is ignored.
      {"svc", "remove", "- 0 | | 1", "KELDA - Couldn't open " + ev + " for deletion" + evsvc},
      {"svc !EnumServicesStatusA=5", "list", "listerrorwin 5 | svc | 1", ""},
      {"svc !OpenServiceA=5", "list", "listerrorwinopen 5 | svc | 1", ""},
      {"svc !QueryServiceConfigA=6", "list", "listerrorwinquery 6 | svc | 1", ""},
      // One that went between the listing and its query is left out.
      {"svc gone !OpenServiceA=1060", "list", "listed 0 - 0 | gone svc | 1", ""},
  });
}

// Pauses of a tenth of the hint within 1..10 s, while the checkpoint advances within the hint.
TEST_F(ServiceLayer, PollingWhileAStartOrStopIsPending) {
  std::string advancing = "svc q=2/0/0", fifty = " 1000";
  for (int i = 1; i <= 50; ++i) advancing += " q=2/" + std::to_string(i) + "/0", fifty += " 1000";
  const std::string stalled = "KELDA - No progress made within the wait hint ";
  expect({
      {"svc q=4", "start", "- 0 | svc | 1", ""},
      {"svc q=2/0/30000 q=2/1/250000 q=2/2/9999 q=2/3/0 q=4/4/0", "start",
       "- 0 | svc | 1 | slept 3000 10000 1000 1000", ""},
      // Checkpoint 1, reached after 1000 ms, holds 2000 ms (the hint: within), then 3000.
      {"svc err=77 q=2/0/2000 q=2/1/2000 q=2/1/2000 q=2/1/2000 q=2/1/2000", "start",
       "starterrorwinfailure 77 | svc | 1 | slept 1000 1000 1000 1000", stalled + "2000\n"},
      {"svc err=77 q=2/1/0 q=2/1/0", "start", "starterrorwinfailure 77 | svc | 1 | slept 1000",
       stalled + "0\n"},
      {advancing + " q=4/51/0", "start", "- 0 | svc | 1 | slept" + fifty, ""},
      // 1000 ms before the counter wraps, 2000 ms without progress are within a 2500 ms hint.
      {"svc tick=4294966296 q=2/1/2500 q=2/1/2500 q=2/1/2500 q=4/1/0", "start",
       "- 0 | svc | 1 | slept 1000 1000 1000", stalled + "0\n"},
      {"svc=4 q=1/0/0", "stop", "- 0 | svc | 1 | slept 1000", stalled + "0\n"},
  });
}

// Each platform call of an operation failing in turn: no handle is left open but the manager's.
TEST_F(ServiceLayer, EveryFailingCallLeavesNoHandleOpen) {
  const char* cases[][2] = {{"svc q=2/1/0 q=4", "start"},
                            {"svc=4 q=1", "stop"},
                            {"svc tries=2", "create"},
                            {"svc=4 q=1 ev:svc", "remove"},
                            {"ev:svc", "source"}};
  for (auto& c : cases) {
    prepare(c[0]);  // a clean run counts the calls
    run(c[1]);
    for (size_t k = 1, count = fake_.calls.size(); k <= count; ++k) {
      prepare(c[0]);
      fake_.failNumber = k;
      std::string out = run(c[1]), key = out.substr(0, out.find(' '));
      SCOPED_TRACE(fake_.calls[k - 1] + " -> " + out);
      EXPECT_LE(fake_.openHandles(), 1);
      // The failed call's value, but after a create over a taken name or a logged inner failure.
      if (key != "-" && key != "createservererrorwinexists" &&
          key != "createservererrorwinaddevhooks" && key != "removeservererrorwindeleteevhooks") {
        EXPECT_EQ(out.substr(out.find(' ') + 1, 4), std::to_string(4000 + k));
      }
    }
  }
}

// More services, and a longer command line, than the first buffers hold: each comes out once.
TEST_F(ServiceLayer, ListsEveryServiceWithItsCommandLine) {
  prepare("");
  for (int i = 0; i < 1500; ++i) {
    std::string name = "service-with-a-longer-name-" + std::to_string(i);
    fake_.services[name] = i % 2 ? SERVICE_RUNNING : SERVICE_STOPPED;
    fake_.commandLines[name] = "mon -datdir C:/d/" + std::to_string(i);
  }
  fake_.commandLines["service-with-a-longer-name-7"] = std::string(4000, 'x');  // over a buffer
  fake_.services[std::string(40000, 'n')] = SERVICE_STOPPED;  // the first, over the first buffer
  std::string want, got;
  for (auto& s : fake_.services)
    want += s.first + " " + fake_.commandLines[s.first] + " " + std::to_string(s.second) + "\n";
  for (auto& s : listQZWindowsServices())
    got += s.name + " " + s.commandLine + " " + std::to_string(s.state) + "\n";
  EXPECT_EQ(got, want);
  EXPECT_EQ(fake_.openHandles(), 1);  // the manager's
  // A configuration outgrowing every buffer given is asked for five times, then given up.
  prepare("svc");
  fake_.growingConfigs = true;
  EXPECT_THROW(listQZWindowsServices(), Xkelda);
  EXPECT_EQ(std::count(fake_.calls.begin(), fake_.calls.end(), "QueryServiceConfigA"), 5);
}

// A registered event source's message file; none, or no file, told apart from a read failure.
TEST_F(ServiceLayer, EventSourceAndItsMessageFile) {
  expect({
      {"", "hook source", "- 0,found 'C:/p/bin/qzerrors.dll' - 0 | ev:svc | 0", ""},
      {"", "source", "none '' - 0 | | 0", ""},
      {"ev:svc", "source", "found '' - 0 | ev:svc | 0", ""},
      {"ev:svc !RegQueryValueExA=5", "source", "eventviewerregread 5 | ev:svc | 0", ""},
  });
}

}  // namespace
