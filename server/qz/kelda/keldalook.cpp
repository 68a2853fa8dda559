// The looks at the service manager that the product's scripts make (check, instances): they
// read and change nothing, and hand what they found to the scripts in Tcl variables.

#include <cstdlib>
#include <string>
#include <vector>

#include "kelda_nt.h"
#include "keldacmds.h"
#include "qz.h"
#include "xkelda.h"
#ifndef _WIN32
#include "qzscm.h"
#endif

namespace {

// Appends one word to the list in a global variable, whatever characters it holds.
void appendWord(const char* list, const std::string& word) {
  qz::setVarStr("keldatmp", word.c_str());
  qz::eval((std::string("lappend {") + list + "} $keldatmp").c_str());
}

const char* stateWord(uint32_t state) {
  static const char* const kWords[] = {"unknown",       "stopped", "start-pending",
                                       "stop-pending",  "running", "continue-pending",
                                       "pause-pending", "paused"};
  return state < sizeof kWords / sizeof kWords[0] ? kWords[state] : kWords[0];
}

}  // namespace

// qzServices: qz.kelda.services becomes a list of {name display state commandline}, one a
// service of the machine. Elsewhere than on Windows, qz.kelda.scmdir names the stand-in's
// state directory, for the mends that name its files.
int servicesCmd(int, const char**) {
  std::vector<InstalledService> all = listQZWindowsServices();
  qz::setVarStr("qz.kelda.services", "");
  for (const InstalledService& s : all) {
    qz::setVarStr("keldarow", "");
    for (const std::string& word :
         {s.name, s.display, std::string(stateWord(s.state)), s.commandLine})
      appendWord("keldarow", word);
    qz::eval("lappend qz.kelda.services $keldarow");
  }
#ifndef _WIN32
  qz::setVarStr("qz.kelda.scmdir", qz::scm::stateDir().c_str());
#endif
  return 0;
}

// qzEventSource NAME: qz.kelda.eventsource becomes {} when the service has no event-log
// source, else a list of one word, its message file ("" when it names none).
int eventSourceCmd(int argc, const char** argv) {
  if (argc != 2) KELDA_THROW_AS("bad qzEventSource args", KELDA_SRC, "qz::Xtcl()", qz::Xtcl());
  std::string file;
  qz::setVarStr("qz.kelda.eventsource", "");
  if (eventSourceMessageFile(argv[1], file)) appendWord("qz.kelda.eventsource", file);
  return 0;
}

// keldaExit STATUS: ends the process with that status, everything printed so far written.
int exitCmd(int argc, const char** argv) {
  if (argc != 2) KELDA_THROW_AS("bad keldaExit args", KELDA_SRC, "qz::Xtcl()", qz::Xtcl());
  keldaExit(std::atoi(argv[1]));
}
