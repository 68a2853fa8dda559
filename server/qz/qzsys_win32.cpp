// The system calls on Windows. Names travel as UTF-16 through the wide calls, so a name
// works whatever the ANSI code page; only the service manager and registry calls, which are
// the ANSI ones, get text in the code page, and ansiText refuses what it cannot hold.

// <windows.h> before the headers that build on it.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include <direct.h>
#include <io.h>
#include <process.h>
#include <tcl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "qzsys.h"

namespace qz {
namespace sys {
namespace {

std::wstring wide(const std::string& text, UINT codePage = CP_UTF8) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  if (n > 0)
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

// A wide text in a code page: UTF-8 by default; CP_ACP gives the ANSI form of a wide word as
// the C runtime makes it for main's argv.
std::string narrow(const wchar_t* text, UINT codePage = CP_UTF8) {
  int n = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string utf8(const wchar_t* text) {
  return narrow(text);
}

struct LocalFreer {
  void operator()(wchar_t** p) const { LocalFree(p); }
};

UINT& consoleCodePageToRestore() {
  static UINT cp = 0;
  return cp;
}

void restoreConsole() {
  if (consoleCodePageToRestore() != 0) SetConsoleOutputCP(consoleCodePageToRestore());
}

}  // namespace

void settleText() {
  // Tcl for Windows names files and reads the environment through the wide calls already;
  // what its system encoding still decides is the text of the files scripts open, which is
  // UTF-8 here as everywhere (a config.tcl written in the code page would not read back).
  Tcl_SetSystemEncoding(nullptr, "utf-8");
  // Output is UTF-8 on both platforms. A console shows it right only in its UTF-8 code page,
  // so the console is switched for this run and given back its own at exit.
  DWORD mode = 0;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (consoleCodePageToRestore() == 0 && GetConsoleMode(out, &mode)) {
    UINT cp = GetConsoleOutputCP();
    if (cp != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
      consoleCodePageToRestore() = cp;
      std::atexit(restoreConsole);
    }
  }
}

std::vector<std::string> commandWords(int argc, const char* const* argv) {
  // main's argv is the ANSI form of the command line, in which a character outside the code
  // page is already lost; the wide command line still has it.
  int n = 0;
  std::unique_ptr<wchar_t*, LocalFreer> wideWords(CommandLineToArgvW(GetCommandLineW(), &n));
  bool same = wideWords && n == argc;
  for (int i = 0; same && i < argc; ++i) same = narrow(wideWords.get()[i], CP_ACP) == argv[i];
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i)
    words.push_back(same ? utf8(wideWords.get()[i]) : utf8(wide(argv[i], CP_ACP).c_str()));
  return words;
}

std::string executablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    if (n < buffer.size()) {
      buffer.resize(n);
      return utf8(buffer.c_str());
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool environment(const char* name, std::string& value) {
  const wchar_t* v = _wgetenv(wide(name).c_str());
  if (v == nullptr || *v == L'\0') return false;
  value = utf8(v);
  return true;
}

File openFile(const std::string& path, const char* mode) {
  return File(_wfopen(wide(path).c_str(), wide(mode).c_str()));
}
bool syncFile(FILE* file) {
  return _commit(_fileno(file)) == 0;
}
bool makeDir(const std::string& path) {
  return _wmkdir(wide(path).c_str()) == 0 || errno == EEXIST;
}
bool changeDir(const std::string& path) {
  return _wchdir(wide(path).c_str()) == 0;
}
std::string currentDir() {
  std::string dir;
  if (wchar_t* cwd = _wgetcwd(nullptr, 0)) {
    dir = utf8(cwd);
    std::free(cwd);
  }
  return dir;
}
bool replaceFile(const std::string& from, const std::string& to) {
  return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
bool removeFile(const std::string& path) {
  return _wremove(wide(path).c_str()) == 0;
}

bool ansiText(const std::string& text, std::string& out) {
  UINT acp = GetACP();
  if (acp == CP_UTF8) {
    out = text;
    return true;
  }
  std::wstring w = wide(text);
  out.clear();
  if (w.empty()) return true;
  // No best fit: a character outside the code page must be refused, not quietly replaced by
  // a look-alike that names another file or service.
  BOOL usedDefault = FALSE;
  int n = WideCharToMultiByte(acp, WC_NO_BEST_FIT_CHARS, w.data(), static_cast<int>(w.size()),
                              nullptr, 0, nullptr, &usedDefault);
  if (n <= 0 || usedDefault) return false;
  out.assign(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(acp, WC_NO_BEST_FIT_CHARS, w.data(), static_cast<int>(w.size()), &out[0], n,
                      nullptr, &usedDefault);
  return !usedDefault;
}

std::string utf8FromAnsi(const std::string& text) {
  if (GetACP() == CP_UTF8) return text;
  std::wstring w = wide(text, CP_ACP);
  return narrow(w.c_str());
}

int processId() {
  return _getpid();
}

}  // namespace sys
}  // namespace qz
