// kelda's error type and the throw-and-log convention that every throw site follows.
#pragma once

#include <cstdint>
#include <string>

#include "qz.h"

// Source names written into throw-site log lines: one for the commands, the instance
// registry and the monitor link, one for the Windows service layer.
#define KELDA_SRC "server/qz/kelda/kelda"
#define KELDA_NT_SRC "server/qz/kelda/kelda_nt"

// The tool's own error: a message-catalogue key and the Windows error value behind the
// failure (0 when there is none).
struct Xkelda : qz::X {
  static constexpr int kKind = 8;

  Xkelda(const char* key, int32_t winErrorCode = 0)
      : qz::X(kKind, winErrorCode), key(key), winErrorCode(winErrorCode) {}
  Xkelda(const Xkelda& other) = default;

  // "<code> - " (when the code is not 0, cut to a 10-byte field) + the catalogue text.
  std::string errorText() const override;

  std::string key;
  int32_t winErrorCode;
};

// Catalogue look-up: the text for key, or "" when the key is empty or unknown.
std::string getMessage(std::string key);
// Prints the text for key and a newline through Tcl's puts.
void printMessage(std::string key);

// The throw-and-log rule: write the level-3 line "exception <where>:<expression> thrown at
// <file>.<line>" when level 3 is on (formatting nothing otherwise), then throw. The expression
// text is what the line shows of the thrown expression; the forms below build it from the key,
// so that it always matches what is thrown.
#define KELDA_THROW_AS(where, srcfile, exprText, ...)                                            \
  do {                                                                                           \
    if (qz::qzi_on(3)) {                                                                         \
      std::string keldaThrowText_ =                                                              \
          qz::qzi_fmtlog("exception %s:%s thrown at %s.%d", where, exprText, srcfile, __LINE__); \
      qz::qzi_log(3, 0, keldaThrowText_.c_str(), srcfile, __LINE__, 0);                          \
    }                                                                                            \
    throw __VA_ARGS__;                                                                           \
  } while (0)

// Xkelda( "<key>" ): an error without a Windows code.
#define KELDA_THROW(where, key) \
  KELDA_THROW_AS(where, KELDA_SRC, "Xkelda( \"" key "\" )", Xkelda(key))
// Xkelda( "<key>", winErrorCode ): an error carrying the Windows error value `code`. The value is
// taken before anything is logged, since the log's own file calls may change the thread's
// last-error value: pass the read itself (lastError()) or a value read earlier.
#define KELDA_THROW_CODE_AS(where, srcfile, key, code)                    \
  do {                                                                    \
    const int32_t keldaThrowCode_ = (code);                               \
    KELDA_THROW_AS(where, srcfile, "Xkelda( \"" key "\", winErrorCode )", \
                   Xkelda(key, keldaThrowCode_));                         \
  } while (0)
#define KELDA_THROW_CODE(where, key, code) KELDA_THROW_CODE_AS(where, KELDA_SRC, key, code)
#define KELDA_NT_THROW_CODE(where, key, code) KELDA_THROW_CODE_AS(where, KELDA_NT_SRC, key, code)

// A progress line: formatted and written only when its level is on.
#define KELDA_LOG_AT(level, srcfile, ...)                                 \
  do {                                                                    \
    if (qz::qzi_on(level)) {                                              \
      std::string keldaLogText_ = qz::qzi_fmtlog(__VA_ARGS__);            \
      qz::qzi_log(level, 0, keldaLogText_.c_str(), srcfile, __LINE__, 0); \
    }                                                                     \
  } while (0)

#define KELDA_LOG(level, ...) KELDA_LOG_AT(level, KELDA_SRC, __VA_ARGS__)
#define KELDA_NT_LOG(level, ...) KELDA_LOG_AT(level, KELDA_NT_SRC, __VA_ARGS__)
