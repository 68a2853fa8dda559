// Fuzz target: the command line. An input split at its zero bytes into up to seven words goes
// to keldaMain on a scratch root listing two instances, with the scripted service manager.
// Every input must end in the usage or welcome text, a reported error or a completed command,
// with no handle left open, and nothing may crash, hang or trip a sanitizer. The words keep to
// an administrator's, and a sandbox lets the command text (Tcl) call only the tool's commands.

#include <tcl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "kelda_nt_testing.h"
#include "keldacmds.h"
#include "qztest.h"
#include "svcplatform_fake.h"

namespace {

bool exited = false;   // keldaExit was called in this run
int exitStatus = 0;    // with what
struct ProcessEnd {};  // thrown by keldaExit: the command unwinds as the end of the process would

const std::string kCaught = "Caught error processing arguments";
const std::string kWelcome = "kelda 7.0(0) - proxy server instance administration\n";
const std::string kDocument = "{\n  \"root\": ";  // of instances -json
const std::string kStartupFailure =
    "Cannot load server configuration.  There may be a syntax error in config.tcl or a variable "
    "may be set with an unacceptable value.\n";

// An administrator's word: no "[" or "}", and no path that leads out of the scratch directory.
std::string defused(const std::string& word) {
  std::string out;
  for (char c : word)
    if (c != '[' && c != '}') out += c;
  if (!out.empty() && std::strchr("/\\~", out[0]) != nullptr) out.insert(0, "_");
  for (size_t at = out.find(".."); at != std::string::npos; at = out.find("..", at))
    out[at + 1] = '_';
  return out;
}

// Runs before every command that the command text itself calls (level 1): the tool's own,
// with data directories that an administrator's word could hold.
int sandbox(ClientData, Tcl_Interp* ip, int, const char*, Tcl_Command, int objc,
            Tcl_Obj* const objv[]) {
  static const std::set<std::string> allowed = {"create",
                                                "remove",
                                                "start",
                                                "stop",
                                                "status",
                                                "cmd",
                                                "check",
                                                "forget",
                                                "instances",
                                                "formatStatus",
                                                "displayWelcomeText",
                                                "displayUsage"};
  std::string name = Tcl_GetString(objv[0]);
  std::string datadir = (name == "create" || name == "remove" || name == "forget") && objc > 1
                            ? Tcl_GetString(objv[1])
                            : "";
  if (allowed.count(name) != 0 && defused(datadir) == datadir) return TCL_OK;
  Tcl_SetObjResult(ip, Tcl_NewStringObj("not allowed in the fuzz sandbox", -1));
  return TCL_ERROR;
}

int sandboxInit(Tcl_Interp* ip) {
  Tcl_CreateObjTrace(ip, 1, TCL_ALLOW_INLINE_COMPILATION, sandbox, nullptr, nullptr);
  return TCL_OK;
}

// The scratch root, and in its work directory (the current one during a run) two listed
// instances: data/one with its service running, data/two with its service stopped.
struct Setting {
  qztest::ScratchRoot root;
  std::string work = root.at("work"), outFile = root.at("stdout.txt");
  winsvc::FakePlatform platform;

  Setting() {
    qztest::writeFile(root.at("etc/qz.tcl"),
                      "set qz.kelda.firstmonport 61400\nset qz.kelda.winservicecreatetries 3\n"
                      "set qz.net.timeout 1000\nset qz.loglevel 3\n");
    qztest::writeFile(root.at("etc/kelda.tcl"),
                      "source [file join ${qz.rootdir} lib kelda kelda.tcl]\n"
                      "load {} Fuzzsandbox\n");
    setenv("QZ_ROOTDIR", root.path().c_str(), 1);
    for (const char* name : {"QZ_DATDIR", "QZ_LOGLEVEL", "QZ_LOGFILE"}) unsetenv(name);
    Tcl_StaticPackage(nullptr, "Fuzzsandbox", sandboxInit, nullptr);
    winsvc::setPlatform(&platform);
  }

  void reset() {
    std::filesystem::remove_all(work);
    qztest::writeFile(root.at("log/kelda.log"), "");
    platform = winsvc::FakePlatform();
    resetWindowsServiceGlobalsForTesting();
    for (int i = 0; i < 2; ++i) {
      std::string dir = work + (i == 0 ? "/data/one/" : "/data/two/");
      std::string service = i == 0 ? "qzproxyserver" : "qzproxyserver1";
      std::filesystem::create_directories(dir);
      qztest::writeFile(dir + "config.tcl", "set qz.servicename " + service +
                                                "\nset qz.kelda.monoamname 127.0.0.1\n"
                                                "set qz.kelda.monoamport " +
                                                std::to_string(61400 + i));
      qztest::writeFile(dir + ".kelda-files", "directory config.tcl\n");
      platform.services[service] = i == 0 ? winsvc::SERVICE_RUNNING : winsvc::SERVICE_STOPPED;
      platform.commandLines[service] = "\"" + root.path() + "/bin/mon\" -service -datdir \"" +
                                       dir.substr(work.size() + 1) + "\" mon.tcl";
      platform.keys.insert("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" +
                           service);
    }
    qztest::writeFile(root.at("etc/datdirs.tcl"), "set qz.instances [list {data/one} {data/two} ]");
  }
};

// What is wrong with the outcome of a run, or null. A reported error ends the output on a line
// of its own: "Caught error processing arguments - <its text>.", or without the text for what
// was not a qz::X (a failure too, but for the end of the process that keldaExit stands for).
const char* fault(int status, const std::string& out) {
  size_t at = out.rfind(kCaught);
  bool own = at != std::string::npos && (at == 0 || out[at - 1] == '\n') && out.back() == '.';
  std::string report = own ? out.substr(at + kCaught.size()) : "";
  // check ends with 0, 1 or 255 as it found; the other commands end with -1.
  if (exited && ((exitStatus != -1 && exitStatus != 0 && exitStatus != 1 && exitStatus != 255) ||
                 status != -1 || report != "."))
    return "a command's end went astray";
  if (status == 0 && out.rfind("Usage: kelda ", 0) != 0 && out.rfind(kWelcome, 0) != 0 &&
      out.rfind(kDocument, 0) != 0)
    return "status 0 without the usage, the welcome text or a document";
  if (status != 0 && status != -1) return "an exit status other than 0 and -1";
  if (status == -1 && !exited && out != kStartupFailure && report.rfind(" - ", 0) != 0)
    return "status -1 without a reported error";
  return nullptr;
}

}  // namespace

// The commands end here instead of ending the process.
void keldaExit(int status) {
  exited = true;
  exitStatus = status;
  throw ProcessEnd();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setting setting;
  setting.reset();
  std::vector<std::string> words{"kelda", ""};
  for (size_t i = 0; i < size && (data[i] != 0 || words.size() < 8); ++i) {
    if (data[i] != 0)
      words.back() += static_cast<char>(data[i]);
    else
      words.emplace_back();
  }
  for (size_t i = 1; i < words.size(); ++i) words[i] = defused(words[i]);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  if (std::freopen(setting.outFile.c_str(), "w", stdout) == nullptr) std::abort();
  exited = false;
  exitStatus = 0;
  // Relative data directories land in the scratch directory; the fuzzer's own relative paths
  // work again afterwards.
  std::filesystem::path home = std::filesystem::current_path();
  std::filesystem::current_path(setting.work);
  int status = keldaMain(static_cast<int>(words.size()), argv.data());
  std::filesystem::current_path(home);
  std::fflush(stdout);
  std::string out = qztest::readFile(setting.outFile);
  const char* wrong = fault(status, out);
  if (wrong == nullptr && setting.platform.openHandles() > 1) wrong = "a handle was left open";
  if (wrong == nullptr) return 0;
  std::fprintf(stderr, "%s\nwords:", wrong);
  for (const std::string& w : words) std::fprintf(stderr, " [%s]", w.c_str());
  std::fprintf(stderr, "\noutput:\n%s\n", out.c_str());
  std::abort();
}
