#include "qz.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "qztest.h"

namespace {

// A native command: "native x TEXT" throws a qz::X, "native int" an int, "native std" a
// standard exception, "native eval SCRIPT" evaluates the script; any other counts its words.
int native(int argc, const char** argv) {
  std::string what = argv[1];
  if (what == "x") throw qz::X(5, 42, std::string("thrown by ") + argv[2]);
  if (what == "int") throw 7;
  if (what == "std") throw std::runtime_error("std failure");
  if (what == "eval") qz::eval(argv[2]);
  if (argv[argc] != nullptr) throw qz::X(1, 0, "argv not null-terminated");
  qz::setVarStr("words", std::to_string(argc).c_str());
  return 0;
}

// What comes out of evaluating a script: its result, or the exception, as a line.
std::string outcome(const std::string& script) {
  try {
    return "= " + qz::eval(script.c_str());
  } catch (const qz::Xtcl& x) {  // and whether its stack trace shows the script
    return "Xtcl " + x.errorText() + (x.errorInfo.find(script) == std::string::npos ? "" : " +");
  } catch (const qz::X& x) {
    return "X " + std::to_string(x.kind) + " " + std::to_string(x.code) + " " + x.errorText();
  } catch (int c) {
    return "int " + std::to_string(c);
  } catch (const std::exception& x) {
    return std::string("std ") + x.what();
  }
}

// A native command's exception comes out of the evaluation that ran it unchanged, through
// nested evaluations; one a script caught leaves nothing behind; Tcl errors are Xtcl.
TEST(Bridge, ExceptionsCrossTheInterpreterUnchanged) {
  qztest::ScratchRoot root;
  root.init({});
  qz::exportProc("native", native);
  const char* cases[][2] = {
      {"native x first", "X 5 42 thrown by first"},
      {"set a 1; native int", "int 7"},
      {"native std", "std std failure"},
      {"native eval {native eval {proc p {} {native x deep}; p}}", "X 5 42 thrown by deep"},
      {"catch {native x caught} msg; set msg", "= thrown by caught"},
      {"error plain", "Xtcl plain +"},
      {"native eval {catch {native int}}; native x after", "X 5 42 thrown by after"},
      {"catch {native int} m o; return -options $o $m", "int 7"},
      {"break", "Xtcl invoked \"break\" outside of a loop +"},
      {"return early; error late", "= early"},
      {"proc inner {} { native a {b c} {} }; inner; set words", "= 4"},
  };
  for (auto& c : cases) EXPECT_EQ(outcome(c[0]), c[1]) << c[0];
  qztest::writeFile(root.at("etc/throws.tcl"), "native eval {native int}\n");
  EXPECT_THROW(qz::evalFile("throws.tcl"), int);
}

// The name rules: ASCII letters alone fold, and every backslash is a slash.
TEST(Names, CaseAndSlashRules) {
  EXPECT_EQ(qz::lowerAscii(qz::forwardSlashes("C:\\Srv\\\xC3\x84-MiXed//Z@[`")),
            "c:/srv/\xC3\x84-mixed//z@[`");
  EXPECT_EQ(ichar_traits::compare("abc", "abd", 2), 0);
  EXPECT_NE(ichar_traits::compare("alm", "all", 3), 0);
}

}  // namespace
