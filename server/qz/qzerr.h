// The framework's error types. Every failure in the framework and in the tools built on it
// travels as one of these, thrown by value and caught by reference.
#pragma once

#include <string>

namespace qz {

// The first integer of an X: which part of the system raised it. Tools pick their own
// values above the framework's (kelda uses 8).
enum XKind : int {
  kXFramework = 1,  // start-up, options, files
  kXTcl = 2,        // a failed Tcl evaluation
  kXNet = 3,        // the network client
};

// Base of every error. `code` is the error's number in its own domain (an errno, a Windows
// error value, ...), 0 when there is none; `text` is what errorText shows for framework errors.
struct X {
  X(int kind, int code) : kind(kind), code(code) {}
  X(int kind, int code, std::string text) : kind(kind), code(code), text(std::move(text)) {}
  X(int kind, std::string text) : X(kind, 0, std::move(text)) {}  // an error with no number

  // The error's display text.
  virtual std::string errorText() const;

  int kind;
  int code;
  std::string text;
};

// A failed Tcl evaluation. When the interpreter raised it, `text` is the interpreter's error
// message and `errorInfo` its stack trace; a default-constructed Xtcl is a tool's way of
// saying "these arguments cannot be accepted".
struct Xtcl : X {
  Xtcl() : X(kXTcl, 0) {}
  explicit Xtcl(std::string message, std::string errorInfo = std::string())
      : X(kXTcl, std::move(message)), errorInfo(std::move(errorInfo)) {}

  std::string errorText() const override;

  std::string errorInfo;
};

}  // namespace qz
