// The system calls on POSIX. Names are UTF-8 bytes whatever the locale: under LC_ALL=C a
// locale-following program would read "é" as two Latin-1 characters and write them back
// as four bytes, so nothing here is re-coded.

#include <sys/stat.h>
#include <tcl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "qzsys.h"

namespace qz {
namespace sys {
namespace {

std::string& executable() {
  static std::string path;
  return path;
}

// Bytes as the interpreter's UTF-8: valid UTF-8 passes unchanged, and a stray byte becomes
// the character of that value rather than breaking the text.
std::string fromUtf8Bytes(const char* bytes) {
  Tcl_Encoding utf8 = Tcl_GetEncoding(nullptr, "utf-8");
  Tcl_DString ds;
  Tcl_ExternalToUtfDString(utf8, bytes, -1, &ds);
  std::string text(Tcl_DStringValue(&ds), static_cast<size_t>(Tcl_DStringLength(&ds)));
  Tcl_DStringFree(&ds);
  Tcl_FreeEncoding(utf8);
  return text;
}

}  // namespace

void settleText() {
  // Tcl took its encoding from the locale and read the executable's name with it; take the
  // name back to its bytes before the interpreter's names become UTF-8.
  if (const char* name = Tcl_GetNameOfExecutable()) {
    Tcl_DString ds;
    Tcl_UtfToExternalDString(nullptr, name, -1, &ds);
    executable().assign(Tcl_DStringValue(&ds), static_cast<size_t>(Tcl_DStringLength(&ds)));
    Tcl_DStringFree(&ds);
  }
  Tcl_SetSystemEncoding(nullptr, "utf-8");
}

std::vector<std::string> commandWords(int argc, const char* const* argv) {
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i) words.push_back(fromUtf8Bytes(argv[i]));
  return words;
}

std::string executablePath() {
  return executable().empty() ? std::string() : fromUtf8Bytes(executable().c_str());
}

bool environment(const char* name, std::string& value) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return false;
  value = fromUtf8Bytes(v);
  return true;
}

File openFile(const std::string& path, const char* mode) {
  return File(std::fopen(path.c_str(), mode));
}
bool syncFile(FILE* file) {
  return fsync(fileno(file)) == 0;
}
bool makeDir(const std::string& path) {
  return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}
bool changeDir(const std::string& path) {
  return chdir(path.c_str()) == 0;
}
std::string currentDir() {
  std::string dir;
  if (char* cwd = getcwd(nullptr, 0)) {
    dir = cwd;
    std::free(cwd);
  }
  return dir;
}
bool replaceFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}
bool removeFile(const std::string& path) {
  return std::remove(path.c_str()) == 0;
}

bool ansiText(const std::string& text, std::string& out) {
  // A character beyond U+FFFF comes from Tcl 8.6 as two surrogates of three bytes, ED A0 to BF.
  for (size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] == '\xED' && (text[i + 1] & 0xE0) == 0xA0) return false;
  out = text;
  return true;
}

std::string utf8FromAnsi(const std::string& text) {
  return text;
}

int processId() {
  return static_cast<int>(getpid());
}

}  // namespace sys
}  // namespace qz
