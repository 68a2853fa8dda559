// create, remove, start and stop: the commands that make, unmake and run server instances.
// Each keeps its working values in locals: an "all" walk calls a command again while its
// outer call is still running.

#include "keldacmds.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "kelda_nt.h"
#include "keldareg.h"
#include "qzsys.h"
#include "xkelda.h"

namespace {

std::string var(const char* name) {
  return qz::getVarStr(name, "");
}

std::string evalText(const std::string& script) {
  return qz::eval(script.c_str());
}

// Reports a failure the way create, remove and status do, and ends the process.
[[noreturn]] void fail(const char* failureKey, const qz::X& x) {
  printMessage(failureKey);
  std::printf("%s\n", x.errorText().c_str());
  keldaExit(-1);
}

// Runs one undo step; its own failure is logged and must not hide the error being undone.
template <typename Step>
void undo(const char* what, Step step) {
  try {
    step();
  } catch (qz::X& x) {
    KELDA_LOG(1, "KELDA - could not undo %s - %s", what, x.errorText().c_str());
  }
}

// The service manager and the registry are reached through the system's narrow calls. A name
// they cannot represent (on Windows, a character outside the ANSI code page) is refused before
// anything is made: passed on, it would name a service and a directory that are not there.
void refuseNamesOutsideCodePage(std::initializer_list<const char*> names) {
  std::string converted;
  for (const char* name : names) {
    if (name == nullptr || qz::sys::ansiText(name, converted)) continue;
    const char* text =
        "A name holds a character that this system's ANSI code page cannot represent: choose a "
        "data directory, display name, account and product root written in that code page.";
    KELDA_THROW_AS("refuseNamesOutsideCodePage", KELDA_SRC, "qz::X( Xkelda::kKind, 0, text )",
                   qz::X(Xkelda::kKind, 0, text));
  }
}

}  // namespace

// create <datadir> <display name> ?<account>? ?<password>?
int createCmd(int argc, const char** argv) {
  if (argc < 2) KELDA_THROW_AS("bad create args", KELDA_SRC, "qz::Xtcl()", qz::Xtcl());
  std::string datdir = argv[1];
  try {
    printMessage("qz.kelda.strings.createserver");
    datdir = normaliseDatadir(datdir);
    refuseDatadirCharsNotAllowed(datdir);
    KELDA_LOG(1, "KELDA - about to create server - %s", datdir.c_str());
    qz::setVarStr("qz.datdir", datdir.c_str());
    std::string commandLine = evalText(
        "set tmp \"\\\"[file join ${qz.rootdir} bin mon]\\\" -service -datdir "
        "\\\"${qz.datdir}\\\" mon.tcl\"");
    std::string baseName = qz::getVarStr("qz.servicenameident", "qzproxyserver");
    // A word that is not given is passed as null, not as an empty text.
    const char* display = argc > 2 ? argv[2] : nullptr;
    const char* account = argc > 3 ? argv[3] : nullptr;
    const char* password = argc > 4 ? argv[4] : nullptr;
    refuseNamesOutsideCodePage({baseName.c_str(), commandLine.c_str(), display, account, password});
    qzCreateService(baseName.c_str(), display, commandLine.c_str(), account, password);

    std::string created;
    try {
      created = evalText("createDataFiles {" + var("qz.datdir") + "}");
    } catch (qz::Xtcl&) {
      undo("the service", [] { qzRemoveService(var("qz.servicename").c_str()); });
      throw;
    }

    try {
      qz::evalFile("datdirs.tcl");
    } catch (qz::Xtcl&) {
      // No list yet: this is the first instance.
    }

    try {
      std::string entryKey = lowerAscii(var("qz.datdir"));
      evalText("lappend qz.instances \"" + entryKey + "\"");
      writeDatdirs();
    } catch (...) {
      // Files that were there before go back to what they were: createDataFiles has made
      // their settings name the new service.
      if (created == "exists")
        undo("the settings", [] { evalText("restoreDataFiles {" + var("qz.datdir") + "}"); });
      else
        undo("the data files", [] { evalText("deleteDataFiles {" + var("qz.datdir") + "}"); });
      undo("the service", [] { qzRemoveService(var("qz.servicename").c_str()); });
      throw;
    }
    printMessage("qz.kelda.strings.createserversuccess");
  } catch (qz::X& x) {
    fail("qz.kelda.strings.createserverfailure", x);
  }
  return 0;
}

// remove <datadir>|all ?removedata?
int qzRemoveServiceCmd(int argc, const char** argv) {
  if (argc < 2) KELDA_THROW_AS("bad remove args", KELDA_SRC, "qz::Xtcl()", qz::Xtcl());
  try {
    printMessage("qz.kelda.strings.removeserver");
    std::string target = normaliseDatadir(argv[1]);
    bool all = target.size() == 3 && ichar_traits::compare("all", target.c_str(), 3) == 0;
    if (!all) refuseDatadirCharsNotAllowed(target);
    // Tool processes rewrite the list with no lock held between its read and its rewrite, so
    // one that overlaps this one may have lost this instance's entry, or emptied the list and
    // deleted the file: the list then reads as missing here, as it would at any other time.
    try {
      qz::evalFile("datdirs.tcl");
    } catch (qz::Xtcl&) {
      KELDA_THROW("qzRemoveServiceCmd", "qz.kelda.strings.removeservernodatadirs");
    }

    // A list left empty (a remove all ended between its last rewrite and the file's deletion)
    // registers no instance, as a missing one does.
    if (all && evalText("info exists qz.instances") == "1" && var("qz.instances").empty())
      KELDA_THROW("qzRemoveServiceCmd", "qz.kelda.strings.removeservernodatadirs");

    std::string datdir;
    if (all) {
      KELDA_LOG(1, "KELDA - about to remove all servers - %s", var("qz.instances").c_str());
      datdir = evalText("lindex ${qz.instances} 0");
    } else {
      datdir = target;
    }

    for (;;) {
      datdir = lowerAscii(datdir);
      KELDA_LOG(1, "KELDA - about to remove server: %s", datdir.c_str());
      printMessage("qz.kelda.strings.removeserverprogress");
      std::printf("%s\n", datdir.c_str());
      qz::setVarStr("qz.datdir", datdir.c_str());

      if (!directoryExists(datdir))
        KELDA_THROW("qzRemoveServiceCmd", "qz.kelda.strings.removeservernodir");
      // A cheap first test: the key must at least occur in the list's text.
      if (var("qz.instances").find(datdir) == std::string::npos)
        KELDA_THROW("qzRemoveServiceCmd", "qz.kelda.strings.removeservernodir");

      loadInstanceConfig(datdir, "removing");
      qzRemoveService(var("qz.servicename").c_str());

      bool removeData = argc > 2 && std::strlen(argv[2]) == 10 &&
                        ichar_traits::compare("removedata", argv[2], 10) == 0;
      if (removeData) {
        KELDA_LOG(1, "KELDA - attempting to delete data for server - %s", datdir.c_str());
        evalText("deleteDataFiles {" + datdir + "}");
      }

      // The list is read again: the service removal may have taken a while.
      qz::evalFile("datdirs.tcl");
      evalText("set keldatmp [lsearch ${qz.instances} {" + datdir + "}]");
      int index = qz::getVarInt("keldatmp", 0);
      std::string indexWord = qz::getVarStr("keldatmp", "");
      if (index < 0) {
        KELDA_LOG(1, "Couldn't find the directory '%s' in qz.instances '%s'.", datdir.c_str(),
                  var("qz.instances").c_str());
        KELDA_THROW("qzRemoveServiceCmd", "qz.kelda.strings.removeservernodir");
      }
      evalText("set qz.instances [lreplace ${qz.instances} " + indexWord + " " + indexWord + " ]");
      writeDatdirs();
      qz::evalFile("datdirs.tcl");

      if (!all) break;
      datdir = evalText("lindex ${qz.instances} 0");
      if (var("qz.instances").empty()) break;
    }

    if (var("qz.instances").empty()) {
      KELDA_LOG(1, "KELDA - attempting to delete datdirs.tcl");
      deleteDatdirs();
    }
    printMessage("qz.kelda.strings.removeserversuccess");
  } catch (qz::X& x) {
    fail("qz.kelda.strings.removeserverfailure", x);
  }
  return 0;
}

namespace {

// What tells start and stop apart.
struct Control {
  const char* command;
  const char* firstKey;
  void (*operation)(const char* dataDirectory, const char* serviceName);
  const char* successKey;
  const char* failureKey;
};

const Control kStart = {"start", "qz.kelda.strings.start", qzStart, "qz.kelda.strings.startsuccess",
                        "qz.kelda.strings.startfailure"};
const Control kStop = {"stop", "qz.kelda.strings.stop", qzStop, "qz.kelda.strings.stopsuccess",
                       "qz.kelda.strings.stopfailure"};

// Starts or stops the current instance, or, given "all" (exactly, in lower case), every
// instance through the walk, which calls this command again for each one. Failures are
// reported and the command still succeeds, so that a walk goes on.
int control(const Control& c, int argc, const char** argv) {
  try {
    if (argc > 1 && std::strlen(argv[1]) == 3 && std::strcmp(argv[1], "all") == 0) {
      applyCmdToAllServers(c.command);
    } else {
      printMessage(c.firstKey);
      std::printf("%s\n", var("qz.datdir").c_str());
      c.operation(var("qz.datdir").c_str(), var("qz.servicename").c_str());
      printMessage(c.successKey);
    }
  } catch (Xkelda& x) {
    printMessage(c.failureKey);
    std::printf("%s\n", x.errorText().c_str());
  }
  return 0;
}

}  // namespace

// start ?all?
int startCmd(int argc, const char** argv) {
  return control(kStart, argc, argv);
}

// stop ?all?
int stopCmd(int argc, const char** argv) {
  return control(kStop, argc, argv);
}
