// The qz framework: one Tcl interpreter per process, its global variables, the log, and the
// bridge that lets native functions be Tcl commands. Tools reach Tcl only through here.
#pragma once

#include <cstddef>
#include <string>

#include "qzerr.h"

namespace qz {

// Starts the framework: creates the interpreter, takes the framework's leading options out of
// argv (argc shrinks accordingly, argv[argc] stays null), sets qz.rootdir and qz.datdir, then
// evaluates ROOT/etc/qz.tcl and <qz.datdir>/config.tcl when they exist. Options:
//   -rootdir DIR   (else $QZ_ROOTDIR, else the directory above the executable's)
//   -datdir DIR    (else $QZ_DATDIR)
//   -loglevel N    (else $QZ_LOGLEVEL, else qz.loglevel from qz.tcl, else 1)
//   -logfile PATH  (else $QZ_LOGFILE, else ROOT/log/<program>.log)
//   -service       (recorded for the program; see serviceRequested)
// Throws Xtcl for a Tcl error in the configuration scripts, X for a malformed option.
// Calling it again discards the previous interpreter and starts afresh.
void init(int& argc, const char** argv);

// True when -service was among the leading options.
bool serviceRequested();

// Where the tool keeps its scripts, below the root (e.g. "lib/kelda"); none until set.
void setScriptDir(const char* underRoot);

// Evaluates names[first], names[first + 1], ... up to a null entry, each as evalFile would.
void evalScript(int first, const char** names);

// Evaluates Tcl text at global level and returns its result.
std::string eval(const char* script);

// Evaluates a script file at global level. A bare name (no directory part) is looked up in
// ROOT/etc, then ROOT/<script directory>, ROOT being qz.rootdir as it is at the call (a qz.tcl may
// have moved it); a bare name found in neither is a Tcl error.
std::string evalFile(const char* path);

// A native Tcl command: argv[0] is the command name, argv[argc] is null. It returns 0 and
// reports failure by throwing; the exception comes out of the eval that ran the command,
// unchanged, however deeply evaluations nest.
using ProcFn = int (*)(int argc, const char** argv);
void exportProc(const char* name, ProcFn fn);

// A request that may come from a signal handler or another thread: after onAsyncSet,
// raiseAsync has the interpreter, at its next safe point, call first (when not null) and set
// the global variable to "1" (an event loop can wait on it).
void onAsyncSet(const char* variable, void (*first)());
void raiseAsync();

// Global Tcl variables as text. The getters return the default when the variable is unset;
// getVarInt throws Xtcl when the value is set but is not an integer.
std::string getVarStr(const char* name, const char* defaultValue);
int getVarInt(const char* name, int defaultValue);
void setVarStr(const char* name, const char* value);

// The log. qzi_on tells whether a level is recorded (1..loglevel); callers format and write
// only when it says yes. qzi_log appends one line and returns 0, or -1 when nothing was written.
bool qzi_on(int level);
std::string qzi_fmtlog(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
int qzi_log(int level, int, const char* text, const char* file, int line, int);

// How many log texts qzi_fmtlog has formatted in this process.
unsigned long qzi_formatted();

// The one case rule for names (services, data directories, files of the stand-in): ASCII
// letters lower-cased, every other byte as it is, so that a name outside ASCII keeps its case.
inline char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string lowerAscii(std::string text);
// The one slash rule for paths: every backslash a forward slash.
std::string forwardSlashes(std::string path);

}  // namespace qz

// char_traits whose compare ignores the case of ASCII letters.
struct ichar_traits : std::char_traits<char> {
  // 0 when the first n characters are equal ignoring case.
  static int compare(const char* a, const char* b, std::size_t n);

 private:
  static unsigned char fold(char c) { return static_cast<unsigned char>(qz::lowerAscii(c)); }
};
