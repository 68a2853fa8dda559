#include "qz.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "qztest.h"

namespace {

int native(int argc, const char** argv) {
  std::string what = argv[1];
  if (what == "x") throw qz::X(5, 42, std::string("thrown by ") + argv[2]);
  if (what == "int") throw 7;
  if (what == "std") throw std::runtime_error("failed");
  if (what == "eval") qz::eval(argv[2]);
  if (argv[argc] != nullptr) throw qz::X(1, 0, "argv[argc] not null");
  qz::setVarStr("words", std::to_string(argc).c_str());
  return what == "fail";
}

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

// Also through nested evaluations; one a script caught leaves nothing behind.
TEST(Bridge, ExceptionsCrossTheInterpreterUnchanged) {
  qztest::ScratchRoot root;
  root.init({});
  qz::exportProc("native", native);
  const char* cases[][2] = {
      {"native std", "std failed"},
      {"native eval {native eval {proc p {} {native x deep}; p}}", "X 5 42 thrown by deep"},
      {"catch {native x caught} msg; set msg", "= thrown by caught"},
      {"error plain", "Xtcl plain +"},
      {"native eval {catch {native int}}; native x after", "X 5 42 thrown by after"},
      {"catch {native int} m o; native eval {}; return -options $o $m", "int 7"},
      {"break", "Xtcl invoked \"break\" outside of a loop +"},
      {"native eval continue", "Xtcl invoked \"continue\" outside of a loop"},
      {"return early; error late", "= early"},
      {"proc inner {} { native a {b c} {} }; inner; set words", "= 4"},
      {"native fail", "Xtcl native: no success +"},
  };
  for (auto& c : cases) EXPECT_EQ(outcome(c[0]), c[1]) << c[0];
  qztest::writeFile(root.at("etc/throws.tcl"), "native eval {native int}\n");
  EXPECT_THROW(qz::evalFile("throws.tcl"), int);
  EXPECT_EQ(qz::X(5, 42, "").errorText(), "error 5.42");
}

TEST(Names, CaseAndSlashRules) {
  EXPECT_EQ(qz::lowerAscii(qz::forwardSlashes("C:\\Srv\\\xC3\x84-MiXed//Z@[`")),
            "c:/srv/\xC3\x84-mixed//z@[`");
  EXPECT_EQ(ichar_traits::compare("abc", "abd", 2), 0);
  EXPECT_NE(ichar_traits::compare("bll", "all", 3), 0);
}

}  // namespace
