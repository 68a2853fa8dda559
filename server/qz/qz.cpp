// The interpreter half of the framework: start-up, evaluation, variables and native commands.

#include "qz.h"

#include <tcl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "qzlog.h"
#include "qzsys.h"

namespace qz {

// Makes Tcl's stdout C's stdout (qzstdout.cpp).
void installStdout();

namespace {

// An exception thrown by a native command, waiting to be rethrown by the qz eval that ran the
// command. The interpreter sees only an error whose -errorcode is {QZ NATIVE <id>}; the id
// ties that error to this entry, so an error that a script caught and another that it raised
// later can never be confused.
struct PendingError {
  unsigned long id;
  int depth;  // depth of the qz eval that was running when the command threw
  std::exception_ptr error;
};

struct Command {
  ProcFn fn;
};

struct Framework {
  Tcl_Interp* interp = nullptr;
  std::string rootDir;
  bool service = false;
  std::vector<std::string> words;  // the command line, converted to the interpreter's UTF-8
  int evalDepth = 0;
  unsigned long nextErrorId = 0;
  std::vector<PendingError> pending;
  std::string scriptDir;  // below the root: where bare script names are found after etc
  // The one asynchronous request (raiseAsync): it sets asyncVariable at a safe point.
  Tcl_AsyncHandler async = nullptr;
  std::string asyncVariable;
  void (*asyncFirst)() = nullptr;
};

Framework& fw() {
  static Framework f;
  return f;
}

Tcl_Interp* interp() {
  Tcl_Interp* i = fw().interp;
  if (i == nullptr) throw Xtcl("the framework is not initialised");
  return i;
}

// ---- evaluation ------------------------------------------------------------------------

// Marks one qz evaluation; on the way out it drops errors that commands inside it left
// pending and nobody collected (a script-level catch swallowed them).
class EvalScope {
 public:
  EvalScope() : depth_(++fw().evalDepth) {}
  ~EvalScope() {
    auto& p = fw().pending;
    for (auto it = p.begin(); it != p.end();) it = it->depth >= depth_ ? p.erase(it) : it + 1;
    --fw().evalDepth;
  }
  EvalScope(const EvalScope&) = delete;
  EvalScope& operator=(const EvalScope&) = delete;

 private:
  int depth_;
};

// The error behind the interpreter's current error: a native command's exception when the
// error is one of ours and still pending, else an Xtcl with the interpreter's message.
[[noreturn]] void throwInterpError(Tcl_Interp* ip, int code) {
  Tcl_Obj* options = Tcl_GetReturnOptions(ip, code);
  Tcl_IncrRefCount(options);
  Tcl_Obj* key = Tcl_NewStringObj("-errorcode", -1);
  Tcl_IncrRefCount(key);
  Tcl_Obj* errorCode = nullptr;
  Tcl_DictObjGet(nullptr, options, key, &errorCode);
  Tcl_Obj** words = nullptr;
  int count = 0;
  unsigned long id = 0;
  bool ours = errorCode != nullptr &&
              Tcl_ListObjGetElements(nullptr, errorCode, &count, &words) == TCL_OK && count == 3 &&
              std::strcmp(Tcl_GetString(words[0]), "QZ") == 0 &&
              std::strcmp(Tcl_GetString(words[1]), "NATIVE") == 0;
  if (ours) id = std::strtoul(Tcl_GetString(words[2]), nullptr, 10);
  Tcl_SetStringObj(key, "-errorinfo", -1);
  Tcl_Obj* info = nullptr;
  Tcl_DictObjGet(nullptr, options, key, &info);
  std::string errorInfo = info != nullptr ? Tcl_GetString(info) : "";
  Tcl_DecrRefCount(key);
  Tcl_DecrRefCount(options);

  std::string message = Tcl_GetStringResult(ip);
  if (code == TCL_BREAK || code == TCL_CONTINUE)
    message = code == TCL_BREAK ? "invoked \"break\" outside of a loop"
                                : "invoked \"continue\" outside of a loop";
  Tcl_ResetResult(ip);
  if (ours) {
    auto& p = fw().pending;
    for (auto it = p.begin(); it != p.end(); ++it) {
      if (it->id == id) {
        std::exception_ptr e = it->error;
        p.erase(it);
        std::rethrow_exception(e);
      }
    }
  }
  throw Xtcl(message, errorInfo);
}

std::string finish(Tcl_Interp* ip, int code) {
  if (code != TCL_OK && code != TCL_RETURN) throwInterpError(ip, code);
  std::string result = Tcl_GetStringResult(ip);
  Tcl_ResetResult(ip);
  return result;
}

int nativeCommand(ClientData data, Tcl_Interp* ip, int objc, Tcl_Obj* const objv[]) {
  auto* cmd = static_cast<Command*>(data);
  std::vector<const char*> argv(static_cast<size_t>(objc) + 1, nullptr);
  for (int i = 0; i < objc; ++i) argv[static_cast<size_t>(i)] = Tcl_GetString(objv[i]);
  std::string message;
  try {
    // What a command returns is its completion code: 0, the interpreter's success, once it
    // has done its work. Any other is an error the script sees.
    if (cmd->fn(objc, argv.data()) == TCL_OK) return TCL_OK;
    Tcl_SetObjResult(ip, Tcl_ObjPrintf("%s: no success", argv[0]));
    return TCL_ERROR;
  } catch (...) {
    // Nothing may unwind through the interpreter: keep the exception for the eval that ran
    // this command and hand Tcl a plain error in its place.
    std::exception_ptr error = std::current_exception();
    try {
      std::rethrow_exception(error);
    } catch (const X& x) {
      try {
        message = x.errorText();
      } catch (...) {
        message = "native command failed";
      }
    } catch (const std::exception& e) {
      message = e.what();
    } catch (...) {
      message = "native command failed";
    }
    Framework& f = fw();
    unsigned long id = ++f.nextErrorId;
    f.pending.push_back(PendingError{id, f.evalDepth, error});
    Tcl_SetObjResult(ip, Tcl_NewStringObj(message.c_str(), -1));
    std::string idText = std::to_string(id);
    Tcl_SetErrorCode(ip, "QZ", "NATIVE", idText.c_str(), static_cast<char*>(nullptr));
    return TCL_ERROR;
  }
}

void deleteCommand(ClientData data) {
  delete static_cast<Command*>(data);
}

// ---- start-up ----------------------------------------------------------------------------

std::string dirName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string programName(const char* argv0) {
  std::string name = forwardSlashes(argv0 != nullptr ? argv0 : "qz");
  size_t slash = name.find_last_of('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  if (name.size() > 4 && ichar_traits::compare(name.c_str() + name.size() - 4, ".exe", 4) == 0)
    name.resize(name.size() - 4);
  return name.empty() ? "qz" : name;
}

bool fileExists(const std::string& path) {
  return sys::openFile(path, "r") != nullptr;
}

// An option's value: the option's own, else the environment variable's, else the fallback.
std::string optionOr(const char* option, const char* variable, const char* fallback) {
  if (option != nullptr) return option;
  std::string value;
  return sys::environment(variable, value) ? value : fallback;
}

struct Options {
  const char* rootDir = nullptr;
  const char* datDir = nullptr;
  const char* logLevel = nullptr;
  const char* logFile = nullptr;
  bool service = false;
};

// Takes the framework's options from the front of argv; stops at the first word that is not
// one of them. argv stays null-terminated.
Options takeOptions(int& argc, const char** argv) {
  Options o;
  int in = 1, out = 1;
  while (in < argc) {
    const char* w = argv[in];
    const char** slot = nullptr;
    if (std::strcmp(w, "-rootdir") == 0)
      slot = &o.rootDir;
    else if (std::strcmp(w, "-datdir") == 0)
      slot = &o.datDir;
    else if (std::strcmp(w, "-loglevel") == 0)
      slot = &o.logLevel;
    else if (std::strcmp(w, "-logfile") == 0)
      slot = &o.logFile;
    else if (std::strcmp(w, "-service") == 0) {
      o.service = true;
      ++in;
      continue;
    } else {
      break;
    }
    if (in + 1 >= argc) throw X(kXFramework, std::string("option ") + w + " needs a value");
    *slot = argv[in + 1];
    in += 2;
  }
  while (in <= argc) argv[out++] = argv[in++];  // includes the terminating null
  argc -= (in - out);
  return o;
}

int parseLevel(const char* text, const char* what) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 0 || v > 1000)
    throw X(kXFramework, std::string(what) + ": not a log level: " + text);
  return static_cast<int>(v);
}

}  // namespace

void init(int& argc, const char** argv) {
  Framework& f = fw();
  if (f.interp != nullptr) {
    Tcl_DeleteInterp(f.interp);
    f.interp = nullptr;
  }
  f.pending.clear();

  Tcl_FindExecutable(argv[0]);
  sys::settleText();
  // Everything inside is UTF-8, as are the files the tools write: the words are converted
  // once, here.
  f.words = sys::commandWords(argc, argv);
  for (int i = 0; i < argc; ++i) argv[i] = f.words[static_cast<size_t>(i)].c_str();

  Options o = takeOptions(argc, argv);
  f.service = o.service;

  installStdout();
  f.interp = Tcl_CreateInterp();
  if (Tcl_Init(f.interp) != TCL_OK) throwInterpError(f.interp, TCL_ERROR);

  std::string root;
  if (o.rootDir != nullptr) {
    root = o.rootDir;
  } else if (!sys::environment("QZ_ROOTDIR", root)) {
    std::string exe = sys::executablePath();
    root = dirName(dirName(forwardSlashes(exe.empty() ? "." : exe)));
  }
  f.rootDir = forwardSlashes(root);
  setVarStr("qz.rootdir", f.rootDir.c_str());
  setVarStr("qz.datdir", optionOr(o.datDir, "QZ_DATDIR", "").c_str());

  std::string logFile = optionOr(o.logFile, "QZ_LOGFILE", "");
  if (logFile.empty()) logFile = f.rootDir + "/log/" + programName(argv[0]) + ".log";
  int level = 1;
  bool levelFixed = false;
  std::string levelText;
  if (o.logLevel != nullptr) {
    level = parseLevel(o.logLevel, "-loglevel");
    levelFixed = true;
  } else if (sys::environment("QZ_LOGLEVEL", levelText)) {
    level = parseLevel(levelText.c_str(), "QZ_LOGLEVEL");
    levelFixed = true;
  }
  log::configure(logFile, level);

  std::string settings = f.rootDir + "/etc/qz.tcl";
  if (fileExists(settings)) evalFile(settings.c_str());
  if (!levelFixed) log::configure(logFile, getVarInt("qz.loglevel", 1));
  std::string datDirNow = getVarStr("qz.datdir", "");
  if (!datDirNow.empty()) {
    std::string config = datDirNow + "/config.tcl";
    if (fileExists(config)) evalFile(config.c_str());
  }
}

bool serviceRequested() {
  return fw().service;
}

void setScriptDir(const char* underRoot) {
  fw().scriptDir = underRoot != nullptr ? underRoot : "";
}

namespace {
int onAsync(ClientData, Tcl_Interp*, int code) {
  Framework& f = fw();
  if (f.asyncFirst != nullptr) f.asyncFirst();
  // A variable the interpreter refuses stays as it was: the script ends on its own.
  if (f.interp != nullptr)
    Tcl_SetVar2(f.interp, f.asyncVariable.c_str(), nullptr, "1", TCL_GLOBAL_ONLY);
  return code;
}

#ifndef _WIN32
// Tcl_AsyncMark takes a lock, and a signal handler may interrupt the thread that holds it; so
// on POSIX raiseAsync only writes a byte to a pipe, and the event loop marks from its thread.
int wakeFds[2] = {-1, -1};
void onWake(ClientData, int) {
  char drained[64];
  while (read(wakeFds[0], drained, sizeof drained) > 0) continue;
  Tcl_AsyncMark(fw().async);
}
#endif
}  // namespace

void onAsyncSet(const char* variable, void (*first)()) {
  Framework& f = fw();
  f.asyncVariable = variable;
  f.asyncFirst = first;
  if (f.async != nullptr) return;
  f.async = Tcl_AsyncCreate(onAsync, nullptr);
#ifndef _WIN32
  if (pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) throw X(kXFramework, errno);
  Tcl_CreateFileHandler(wakeFds[0], TCL_READABLE, onWake, nullptr);
#endif
}

void raiseAsync() {
#ifdef _WIN32
  if (fw().async != nullptr) Tcl_AsyncMark(fw().async);  // from another thread: no interruption
#else
  int saved = errno;
  // A full pipe already holds a wake-up: what write answers does not matter.
  ssize_t written = wakeFds[1] != -1 ? write(wakeFds[1], "s", 1) : 0;
  static_cast<void>(written);
  errno = saved;
#endif
}

void evalScript(int first, const char** names) {
  for (int i = first; names[i] != nullptr; ++i) evalFile(names[i]);
}

std::string eval(const char* script) {
  Tcl_Interp* ip = interp();
  EvalScope scope;
  int code = Tcl_EvalEx(ip, script, -1, TCL_EVAL_GLOBAL);
  return finish(ip, code);
}

std::string evalFile(const char* path) {
  Tcl_Interp* ip = interp();
  std::string file = path;
  if (file.find_first_of("/\\") == std::string::npos) {
    // The root as it is now: the product settings may have moved it.
    std::string root = forwardSlashes(getVarStr("qz.rootdir", fw().rootDir.c_str()));
    std::string inEtc = root + "/etc/" + file;
    std::string inScripts = root + "/" + fw().scriptDir + "/" + file;
    if (fileExists(inEtc))
      file = inEtc;
    else if (!fw().scriptDir.empty() && fileExists(inScripts))
      file = inScripts;
    else
      throw Xtcl("couldn't find \"" + file + "\" in " + root + "/etc" +
                 (fw().scriptDir.empty() ? "" : " or " + root + "/" + fw().scriptDir));
  }
  EvalScope scope;
  // Scripts are UTF-8 whatever the system's encoding, as the files the tools write are.
  Tcl_Obj* objv[4] = {Tcl_NewStringObj("source", -1), Tcl_NewStringObj("-encoding", -1),
                      Tcl_NewStringObj("utf-8", -1), Tcl_NewStringObj(file.c_str(), -1)};
  for (Tcl_Obj* o : objv) Tcl_IncrRefCount(o);
  int code = Tcl_EvalObjv(ip, 4, objv, TCL_EVAL_GLOBAL);
  for (Tcl_Obj* o : objv) Tcl_DecrRefCount(o);
  return finish(ip, code);
}

void exportProc(const char* name, ProcFn fn) {
  Tcl_CreateObjCommand(interp(), name, nativeCommand, new Command{fn}, deleteCommand);
}

std::string getVarStr(const char* name, const char* defaultValue) {
  const char* v = Tcl_GetVar2(interp(), name, nullptr, TCL_GLOBAL_ONLY);
  return v != nullptr ? v : defaultValue;
}

int getVarInt(const char* name, int defaultValue) {
  Tcl_Interp* ip = interp();
  Tcl_Obj* v = Tcl_GetVar2Ex(ip, name, nullptr, TCL_GLOBAL_ONLY);
  if (v == nullptr) return defaultValue;
  int value = 0;
  if (Tcl_GetIntFromObj(ip, v, &value) != TCL_OK) throwInterpError(ip, TCL_ERROR);
  return value;
}

void setVarStr(const char* name, const char* value) {
  Tcl_Interp* ip = interp();
  if (Tcl_SetVar2(ip, name, nullptr, value, TCL_GLOBAL_ONLY | TCL_LEAVE_ERR_MSG) == nullptr)
    throwInterpError(ip, TCL_ERROR);
}

}  // namespace qz
