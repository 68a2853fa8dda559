// The log: one line per call, appended to the log file; never on the console.

#include "qzlog.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>
#include <utility>

#include "qz.h"
#include "qzsys.h"

namespace qz {
namespace {

struct Log {
  std::string file;
  int level = 0;
  bool tried = false;  // the file is opened once, on the first line that is on
  sys::File out;
  unsigned long formatted = 0;
  std::function<void()> observer;
};

Log& theLog() {
  static Log l;
  return l;
}

bool openLog(Log& l) {
  l.tried = true;
  // Make the directories down to the file's, one level at a time.
  for (size_t slash = l.file.find_first_of("/\\", 1); slash != std::string::npos;
       slash = l.file.find_first_of("/\\", slash + 1))
    sys::makeDir(l.file.substr(0, slash));
  l.out = sys::openFile(l.file, "a");
  if (l.observer) l.observer();
  if (!l.out) l.level = 0;
  return static_cast<bool>(l.out);
}

}  // namespace

namespace log {

void configure(const std::string& file, int level) {
  Log& l = theLog();
  if (file != l.file) {
    l.out.reset();
    l.tried = false;
  }
  l.file = file;
  l.level = level;
}

void setFileObserver(std::function<void()> observer) {
  theLog().observer = std::move(observer);
}

}  // namespace log

bool qzi_on(int level) {
  Log& l = theLog();
  if (level < 1 || level > l.level) return false;
  return l.tried ? static_cast<bool>(l.out) : openLog(l);
}

std::string qzi_fmtlog(const char* fmt, ...) {
  ++theLog().formatted;
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  // A format error (n < 0) gives the empty text. The string's own terminator takes the
  // one vsnprintf writes.
  std::string text(static_cast<size_t>(std::max(n, 0)), '\0');
  std::vsnprintf(&text[0], text.size() + 1, fmt, again);
  va_end(again);
  return text;
}

int qzi_log(int level, int, const char* text, const char* file, int line, int) {
  if (!qzi_on(level)) return -1;
  FILE* out = theLog().out.get();
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm tmNow{};
#if defined(_WIN32)
  localtime_s(&tmNow, &now);
#else
  localtime_r(&now, &tmNow);
#endif
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmNow);
  std::fprintf(out, "%s %d [%d] %s:%d %s\n", stamp, level, sys::processId(),
               file != nullptr ? file : "?", line, text != nullptr ? text : "");
  std::fflush(out);
  if (theLog().observer) theLog().observer();
  return 0;
}

unsigned long qzi_formatted() {
  return theLog().formatted;
}

}  // namespace qz
