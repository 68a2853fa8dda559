// The tool's entry logic: it starts the framework, loads its scripts, registers its commands
// and evaluates its own command line as one Tcl command; every failure ends as a line on
// standard output and exit status 0 or -1.

#include <cstdio>
#include <string>

#include "keldacmds.h"
#include "qz.h"
#include "xkelda.h"

namespace {

struct ExportedCommand {
  const char* name;
  qz::ProcFn fn;
};

// Registered in this order.
const ExportedCommand kCommands[] = {
    {"create", createCmd},       {"remove", qzRemoveServiceCmd},
    {"start", startCmd},         {"stop", stopCmd},
    {"status", statusCmd},       {"cmd", cmdCmd},
    {"qzServices", servicesCmd}, {"qzEventSource", eventSourceCmd},
    {"keldaExit", exitCmd},
};

}  // namespace

int keldaMain(int argc, char** argv) {
  const char** args = const_cast<const char**>(argv);
  try {
    try {
      qz::init(argc, args);
      char version[32];
      std::snprintf(version, sizeof version, "%s(%s)", KELDA_VERSION, KELDA_VERSION_SECOND);
      qz::setVarStr("qz.kelda.version", version);
      const char* scripts[4];
      scripts[1] = "keldastrings.tcl";
      scripts[2] = "kelda.tcl";
      scripts[3] = nullptr;
      qz::setScriptDir("lib/kelda");
      qz::evalScript(1, scripts);
      for (const ExportedCommand& c : kCommands) qz::exportProc(c.name, c.fn);
    } catch (qz::Xtcl&) {
      std::printf(
          "Cannot load server configuration.  There may be a syntax error in config.tcl or a "
          "variable may be set with an unacceptable value.\n");
      return -1;
    }

    // One to five words: the longest form is create with its four arguments.
    if (static_cast<unsigned>(argc - 2) > 4u) {
      qz::eval("displayUsage");
      return 0;
    }

    try {
      // The first word goes in as it is (it may hold several Tcl words); every further word
      // is braced, so Tcl substitutes nothing inside it.
      std::string command = args[1];
      for (int i = 2; args[i] != nullptr; ++i) {
        command += " {";
        command += args[i];
        command += "}";
      }
      // The welcome text may look at the command it comes before (one that prints a document
      // for scripts stays silent).
      qz::setVarStr("qz.kelda.command", command.c_str());
      qz::eval("displayWelcomeText");
      qz::eval(command.c_str());
    } catch (qz::Xtcl&) {
      qz::eval("displayUsage");
    }
    return 0;
  } catch (qz::X& x) {
    std::printf("Caught error processing arguments - %s.", x.errorText().c_str());
    return -1;
  } catch (...) {
    std::printf("Caught error processing arguments.");
    return -1;
  }
}
