// Internal: the operating-system calls the framework and the tools make outside Tcl and the
// network, and the one rule for text that crosses to the system and back.
//
// Inside the tools every std::string is the interpreter's UTF-8. Each function here takes and
// answers that text and converts at the call it makes:
//   POSIX:   the system's names are UTF-8 whatever the locale says; nothing is re-coded, so a
//            character beyond U+FFFF, which Tcl 8.6 holds as two surrogates of three bytes
//            each, would reach the system as six bytes that are not its UTF-8 (ansiText).
//   Windows: file names, the current directory, the environment, the command line and the
//            module path go through the wide (UTF-16) calls; text for the ANSI calls of the
//            service manager and registry is converted to the ANSI code page (ansiText).
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qz {
namespace sys {

// Makes the interpreter and the console follow the rule above. Called once, right after
// Tcl_FindExecutable and before any other text crosses.
void settleText();

// The program's command line as UTF-8 words. argv is what main received; on Windows the
// wide command line is used when argv was made from it (tests pass words of their own).
std::vector<std::string> commandWords(int argc, const char* const* argv);

// The full path of the running executable, or "" when the system does not tell.
std::string executablePath();

// The value of an environment variable; false when it is unset or empty.
bool environment(const char* name, std::string& value);

// The one owner of an open C file: closed when it goes.
struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// fopen with a UTF-8 name; empty when the file cannot be opened.
File openFile(const std::string& path, const char* mode);
// Replaces the whole file with text: written beside it, flushed to the disk, then put in its
// place in one step with the old file's permissions, so that the file is always either the
// old text or the new. False when that could not be done; the old file is then as it was.
bool writeWholeFile(const std::string& path, const std::string& text);
// Flushes what the system holds of the file to the disk.
bool syncFile(FILE* file);
// Creates a directory; true when it exists afterwards.
bool makeDir(const std::string& path);
// Makes path the current directory; false when it cannot be entered.
bool changeDir(const std::string& path);
// The current directory ("" when the system does not tell).
std::string currentDir();
// Puts `from` in the place of `to`, replacing it in one step.
bool replaceFile(const std::string& from, const std::string& to);
bool removeFile(const std::string& path);

// Text for the system's narrow ("A") calls. False when the system cannot represent a character
// of text there (Windows: one outside the ANSI code page; POSIX: one beyond U+FFFF).
bool ansiText(const std::string& text, std::string& out);
// The other way: text that a narrow call gave, in the interpreter's UTF-8.
std::string utf8FromAnsi(const std::string& text);

int processId();

}  // namespace sys
}  // namespace qz
