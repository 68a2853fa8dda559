// Fuzz target: the command line. An input split at its zero bytes into up to seven words goes
// to keldaMain on a scratch root listing two instances, with the scripted service manager.
// Every input ends in the usage text, a reported error or a completed command; nothing may
// crash, hang, trip a sanitizer or let an exception out of keldaMain. The tool evaluates its
// first word as Tcl, so the harness keeps to an administrator's words: no "[" or "}", paths
// kept below the scratch directory, and a sandbox (loaded by etc/kelda.tcl) that lets the
// command text call only the tool's commands, with supported data directories.

#include <fcntl.h>
#include <tcl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kelda_nt_testing.h"
#include "keldacmds.h"
#include "keldatest.h"
#include "svcplatform_fake.h"

namespace {

// What keldaExit saw in this run.
bool exitCalled = false;
int exitStatus = 0;

// Thrown by keldaExit: unwinds the command like the end of the process would end it.
struct ProcessEnd {};

const char kStartupFailure[] =
    "Cannot load server configuration.  There may be a syntax error in config.tcl or a variable "
    "may be set with an unacceptable value.\n";
const char kCaught[] = "Caught error processing arguments";
const char kWelcome[] = "kelda 7.0(0) - proxy server instance administration\n";

[[noreturn]] void broken(const char* what, const std::vector<std::string>& words,
                         const std::string& out) {
  std::fprintf(stderr, "%s\nwords:", what);
  for (const std::string& w : words) std::fprintf(stderr, " [%s]", w.c_str());
  std::fprintf(stderr, "\noutput:\n%s\n", out.c_str());
  std::abort();
}

bool supportedDatadir(std::string d) {
  std::replace(d.begin(), d.end(), '\\', '/');
  if (d.find("..") != std::string::npos || d[0] == '/' || d[0] == '~') return false;
  for (unsigned char c : d)
    if (c < 0x20 || std::strchr("$[]\"{}*?", c) != nullptr) return false;
  return true;
}

// Runs before every command that the command text itself calls (level 1).
int sandboxTrace(ClientData, Tcl_Interp* ip, int, const char*, Tcl_Command, int objc,
                 Tcl_Obj* const objv[]) {
  static const char* const allowed[] = {
      "create",       "remove",   "start",        "stop",
      "status",       "cmd",      "displayUsage", "displayWelcomeText",
      "formatStatus", "instances"};
  const char* name = Tcl_GetString(objv[0]);
  for (const char* a : allowed) {
    if (std::strcmp(name, a) != 0) continue;
    bool takesDatadir = std::strcmp(name, "create") == 0 || std::strcmp(name, "remove") == 0;
    if (takesDatadir && objc > 1 && !supportedDatadir(Tcl_GetString(objv[1]))) break;
    return TCL_OK;
  }
  Tcl_SetObjResult(ip, Tcl_NewStringObj("not allowed in the fuzz sandbox", -1));
  return TCL_ERROR;
}

int sandboxInit(Tcl_Interp* ip) {
  Tcl_CreateObjTrace(ip, 1, TCL_ALLOW_INLINE_COMPILATION, sandboxTrace, nullptr, nullptr);
  return TCL_OK;
}

std::string defused(std::string w) {
  std::string out;
  for (char c : w)
    if (c != '[' && c != '}') out += c;
  if (!out.empty() && (out[0] == '/' || out[0] == '\\' || out[0] == '~')) out.insert(0, "_");
  for (size_t at = out.find(".."); at != std::string::npos; at = out.find("..", at))
    out[at + 1] = '_';
  return out;
}

struct Setting {
  keldatest::ScratchRoot root;
  // The current directory (relative data directories land there) and standard output of a run.
  std::string work = root.at("work"), outFile = root.at("stdout.txt");
  std::unique_ptr<winsvc::FakePlatform> platform;

  Setting() {
    keldatest::writeFile(root.at("etc/qz.tcl"),
                         "set qz.kelda.firstmonport 61400\nset qz.kelda.winservicecreatetries 3\n"
                         "set qz.net.timeout 1000\nset qz.loglevel 3\n");
    keldatest::writeFile(root.at("etc/kelda.tcl"),
                         "source [file join ${qz.rootdir} lib kelda kelda.tcl]\n"
                         "load {} Fuzzsandbox\n");
    setenv("QZ_ROOTDIR", root.path().c_str(), 1);
    setenv("QZ_LOGFILE", root.logFile().c_str(), 1);
    unsetenv("QZ_DATDIR");
    unsetenv("QZ_LOGLEVEL");
    Tcl_StaticPackage(nullptr, "Fuzzsandbox", sandboxInit, nullptr);
  }

  // Two listed instances: data/one with its service running, data/two with its service
  // stopped; each has its config.tcl, manifest and event-log source.
  void reset() {
    std::filesystem::remove_all(work);
    std::filesystem::remove(root.at("etc/datdirs.tcl"));
    keldatest::writeFile(root.logFile(), "");
    platform = std::make_unique<winsvc::FakePlatform>();
    winsvc::setPlatform(platform.get());
    resetWindowsServiceGlobalsForTesting();
    const char* names[] = {"qzproxyserver", "qzproxyserver1"};
    const char* dirs[] = {"data/one", "data/two"};
    for (int i = 0; i < 2; ++i) {
      std::filesystem::create_directories(work + "/" + dirs[i]);
      keldatest::writeFile(work + "/" + dirs[i] + "/config.tcl",
                           std::string("set qz.servicename ") + names[i] +
                               "\nset qz.kelda.monoamname 127.0.0.1\nset qz.kelda.monoamport " +
                               std::to_string(61400 + i) + "\n");
      keldatest::writeFile(work + "/" + dirs[i] + "/.kelda-files", "directory config.tcl\n");
      winsvc::FakePlatform::Service& s = platform->services[names[i]];
      s.display = std::string("Instance ") + dirs[i];
      s.state = i == 0 ? winsvc::SERVICE_RUNNING : winsvc::SERVICE_STOPPED;
      platform
          ->registry[std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") +
                     names[i]];
    }
    keldatest::writeFile(root.at("etc/datdirs.tcl"),
                         "set qz.instances [list {data/one} {data/two} ]");
  }
};

}  // namespace

// The commands end here instead of ending the process.
void keldaExit(int status) {
  exitCalled = true;
  exitStatus = status;
  throw ProcessEnd();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setting setting;
  setting.reset();

  std::vector<std::string> words{"kelda"};
  if (size > 0) words.emplace_back();
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != 0)
      words.back() += static_cast<char>(data[i]);
    else if (words.size() < 8)
      words.emplace_back();
    else
      break;
  }
  for (size_t i = 1; i < words.size(); ++i) words[i] = defused(words[i]);
  std::vector<char*> argv;
  for (std::string& s : words) argv.push_back(&s[0]);
  argv.push_back(nullptr);

  if (std::freopen(setting.outFile.c_str(), "w", stdout) == nullptr) std::abort();
  exitCalled = false;
  // Relative data directories land in the scratch directory; the fuzzer's own relative paths
  // work again afterwards.
  int home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (home < 0 || chdir(setting.work.c_str()) != 0) std::abort();
  int status = keldaMain(static_cast<int>(words.size()), argv.data());
  if (fchdir(home) != 0) std::abort();
  close(home);
  std::fflush(stdout);
  std::string out = keldatest::readFile(setting.outFile);

  bool caughtOther =
      out.size() >= sizeof kCaught &&
      out.compare(out.size() - sizeof kCaught, std::string::npos, std::string(kCaught) + ".") == 0;
  if (exitCalled) {
    // The command reported its failure and ended the process; the unwinding that stands in
    // for that end arrives at keldaMain's last handler.
    if (exitStatus != -1) broken("a command ended with a status other than -1", words, out);
    if (status != -1 || !caughtOther) broken("the end of the process was caught", words, out);
  } else if (status == 0) {
    if (out.compare(0, 13, "Usage: kelda ") != 0 &&
        out.compare(0, sizeof kWelcome - 1, kWelcome) != 0)
      broken("status 0 without the usage or the welcome text", words, out);
  } else if (status == -1) {
    if (caughtOther) broken("an exception that is not qz::X reached keldaMain", words, out);
    if (out != kStartupFailure && out.find(std::string(kCaught) + " - ") == std::string::npos)
      broken("status -1 without a reported error", words, out);
  } else {
    broken("an exit status other than 0 and -1", words, out);
  }
  return 0;
}
