// The instance registry.

#include "keldareg.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "qzsys.h"
#include "xkelda.h"

namespace {

// An index as it goes into list commands. Up to 999 this is the three-digit field the list
// format was designed for; larger indices are written in full rather than cut.
std::string indexText(int index) {
  return std::to_string(index);
}

// The list file itself: ROOT/etc/datdirs.tcl, or, when that is a symbolic link, the file it
// leads to (which need not exist yet), so that the administrator's link stays in place.
std::filesystem::path datdirsFile() {
  std::filesystem::path path =
      std::filesystem::u8path(qz::getVarStr("qz.rootdir", "") + "/etc/datdirs.tcl");
  std::error_code error;
  // A bound on the links followed, as the system has one: a loop of links ends here.
  for (int links = 0; links < 40 && std::filesystem::is_symlink(path, error); ++links) {
    std::filesystem::path target = std::filesystem::read_symlink(path, error);
    if (error) break;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

// False when the file exists and this process may not write it. Renaming over a file needs
// only the directory's permission, so the file's own is asked here.
bool writableOrAbsent(const std::filesystem::path& file) {
  std::error_code error;
  if (!std::filesystem::exists(file, error)) return true;
  return qz::sys::openFile(file.u8string(), "r+") != nullptr;
}

}  // namespace

const char kCharsNotAllowedInDatadir[] = "$[\"{}*?";

void refuseDatadirCharsNotAllowed(const std::string& directory) {
  if (directory.find_first_of(kCharsNotAllowedInDatadir) == std::string::npos) return;
  std::string text = "A data directory may not contain any of these characters:";
  for (const char* c = kCharsNotAllowedInDatadir; *c != '\0'; ++c) text += std::string(" ") + *c;
  KELDA_THROW_AS("refuseDatadirCharsNotAllowed", KELDA_SRC, "qz::X( Xkelda::kKind, 0, text )",
                 qz::X(Xkelda::kKind, 0, text));
}

int instanceCount() {
  std::string script = std::string("set keldatmp [llength ${") + "qz.instances" + "}]";
  qz::eval(script.c_str());
  return qz::getVarInt("keldatmp", 0);
}

std::string instanceAt(int index) {
  std::string script = "lindex ${qz.instances} " + indexText(index);
  return qz::eval(script.c_str());
}

bool directoryExists(std::string path) {
  // The current directory is kept whatever its length (a fixed buffer of 260 bytes left the
  // process in the tested directory when it was longer, and relative paths then went astray).
  std::string cwd = qz::sys::currentDir();
  if (!qz::sys::changeDir(path)) return false;
  if (!cwd.empty()) qz::sys::changeDir(cwd);
  return true;
}

void writeDatdirs() {
  std::filesystem::path target = datdirsFile();
  std::string path = target.u8string();
  // The whole line is assembled before the file is touched, so a failure here leaves the
  // previous list in place.
  int count = instanceCount();
  std::string entries;
  for (int i = 0; i < count; ++i) {
    std::string entry = instanceAt(i);
    if (!entry.empty()) entries += "{" + entry + "} ";
  }
  std::string line = std::string("set ") + "qz.instances" + " [list " + entries + "]";
  // A process ended half-way, a full disk or an unwritable directory leaves the old list.
  if (!writableOrAbsent(target) || !qz::sys::writeWholeFile(path, line))
    KELDA_THROW("writeDatdirs", "qz.kelda.strings.createserverdatadirs");
}

void deleteDatdirs() {
  qz::sys::removeFile(datdirsFile().u8string());
}

void loadDatdirs() {
  qz::eval("unset -nocomplain qz.instances");
  qz::evalFile("datdirs.tcl");
  if (qz::eval("info exists qz.instances") != "1")
    KELDA_THROW_AS("loadDatdirs", KELDA_SRC, "qz::Xtcl(\"datdirs.tcl does not set the list\")",
                   qz::Xtcl("datdirs.tcl does not set the list"));
}

void loadInstanceConfig(const std::string& datdir, const char* doing) {
  try {
    qz::evalFile((datdir + "/config.tcl").c_str());
  } catch (qz::Xtcl&) {
    KELDA_LOG(1,
              "KELDA - couldn't eval config.tcl in curdatdir - %s/config.tcl.  This could lead "
              "to problems %s the server.",
              datdir.c_str(), doing);
  }
}

void applyCmdToAllServers(std::string command) {
  try {
    loadDatdirs();
  } catch (qz::Xtcl&) {
    KELDA_THROW("applyCmdToAllServers", "qz.kelda.strings.nodatadirs");
  }
  int count = instanceCount();
  for (int i = 0; i < count; ++i) {
    std::string entry = instanceAt(i);
    KELDA_LOG(1, "KELDA - about to %s server: %s", command.c_str(), entry.c_str());
    qz::setVarStr("qz.datdir", entry.c_str());
    loadInstanceConfig(entry, "controlling");
    qz::eval(command.c_str());
  }
}
