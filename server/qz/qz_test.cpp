#include "qz.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "qztest.h"

namespace {

using qztest::writeFile;

// A native command for the exception bridge: "native x TEXT" throws a qz::X, "native int" an
// int, "native std" a standard exception, "native eval SCRIPT" evaluates the script; any other
// counts its words.
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
  } catch (const qz::Xtcl& x) {
    return "Xtcl " + x.errorText();
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
      {"error plain", "Xtcl plain"},
      {"native eval {catch {native int}}; native x after", "X 5 42 thrown by after"},
      {"catch {native int} m o; return -options $o $m", "int 7"},
      {"nosuchcommand 1 2", "Xtcl invalid command name \"nosuchcommand\""},
      {"break", "Xtcl invoked \"break\" outside of a loop"},
      {"return early; error late", "= early"},
      {"proc inner {} { native a {b c} {} }; inner; set words", "= 4"},
  };
  for (auto& c : cases) EXPECT_EQ(outcome(c[0]), c[1]) << c[0];
  try {
    qz::eval("nosuchcommand 1 2");
  } catch (const qz::Xtcl& x) {
    EXPECT_NE(x.errorInfo.find("nosuchcommand 1 2"), std::string::npos);
  }
  writeFile(root.at("etc/throws.tcl"), "native eval {native int}\n");
  EXPECT_THROW(qz::evalFile("throws.tcl"), int);
}

TEST(Framework, OptionsVariablesAndTheScriptSearch) {
  qztest::ScratchRoot root;
  std::string dat = root.at("dat");
  std::vector<const char*> argv = {"/x/bin/kelda",
                                   "-rootdir",
                                   root.path().c_str(),
                                   "-datdir",
                                   dat.c_str(),
                                   "-loglevel",
                                   "0",
                                   "status",
                                   "-datdir",
                                   "other",
                                   nullptr};
  int argc = static_cast<int>(argv.size()) - 1;
  qz::init(argc, argv.data());
  // Options are taken from the front only.
  std::string rest;
  for (int i = 1; i <= argc; ++i) rest += argv[i] != nullptr ? argv[i] + std::string(" ") : "/";
  EXPECT_EQ(rest, "status -datdir other /");
  EXPECT_EQ(qz::getVarStr("qz.datdir", ""), dat);
  EXPECT_EQ(qz::getVarStr("qz.rootdir", ""), root.path());
  EXPECT_FALSE(qz::qzi_on(1));
  EXPECT_EQ(qz::getVarStr("qz.nothing", "dflt") + std::to_string(qz::getVarInt("qz.n", -3)),
            "dflt-3");
  qz::setVarStr("qz.n", " 17 ");
  EXPECT_EQ(qz::getVarInt("qz.n", 0), 17);
  qz::setVarStr("qz.n", "seventeen");
  EXPECT_THROW(qz::getVarInt("qz.n", 0), qz::Xtcl);
  std::vector<const char*> bad = {"/x/bin/kelda", "-datdir", nullptr};
  argc = 2;
  EXPECT_THROW(qz::init(argc, bad.data()), qz::X);

  // Bare names are looked for in etc/, then in lib/kelda/; others are taken as they are.
  root.init({});
  writeFile(root.at("lib/kelda/both.tcl"), "set where lib");
  writeFile(root.at("etc/both.tcl"), "set where etc");
  writeFile(root.at("lib/kelda/libonly.tcl"), "set where lib");
  writeFile(root.at("direct.tcl"), "set where direct");
  EXPECT_EQ(qz::evalFile("both.tcl") + qz::evalFile("libonly.tcl") +
                qz::evalFile(root.at("direct.tcl").c_str()),
            "etclibdirect");
  EXPECT_THROW(qz::evalFile("missing.tcl"), qz::Xtcl);
  EXPECT_THROW(qz::evalFile("./both.tcl"), qz::Xtcl);
  const char* scripts[] = {"unused", "libonly.tcl", "both.tcl", nullptr};
  qz::evalScript(1, scripts);
  EXPECT_EQ(qz::getVarStr("where", ""), "etc");
}

TEST(Framework, LogLevelsAndPlaces) {
  qztest::ScratchRoot root;
  root.init({"-loglevel", "2", "-logfile", root.at("log/sub/test.log")});
  EXPECT_EQ(std::to_string(qz::qzi_on(0)) + std::to_string(qz::qzi_on(1)) +
                std::to_string(qz::qzi_on(2)) + std::to_string(qz::qzi_on(3)),
            "0110");
  EXPECT_EQ(qz::qzi_fmtlog("%s=%d", "answer", 42), "answer=42");
  EXPECT_EQ(qz::qzi_log(2, 0, "second level", "src/file", 12, 0), 0);
  EXPECT_EQ(qz::qzi_log(3, 0, "third level", "src/file", 13, 0), -1);
  std::string text = qztest::readFile(root.at("log/sub/test.log"));
  EXPECT_EQ(text.substr(text.find(' ', text.find(' ') + 1)),
            " 2 [" + std::to_string(getpid()) + "] src/file:12 second level\n");
  // The level from the settings, the file by the program's name; one that cannot be opened
  // turns logging off.
  writeFile(root.at("etc/qz.tcl"), "set qz.loglevel 3\n");
  root.init({});
  qz::qzi_log(3, 0, "default place", "f", 1, 0);
  EXPECT_NE(qztest::readFile(root.at("log/kelda.log")).find("default place"), std::string::npos);
  root.init({"-loglevel", "3", "-logfile", root.at("etc/qz.tcl/not-a-dir/x.log")});
  EXPECT_FALSE(qz::qzi_on(1));
}

TEST(IcharTraits, FoldsOnlyAsciiLetters) {
  EXPECT_EQ(ichar_traits::compare("RemoveData", "removedATA", 10), 0);
  EXPECT_EQ(ichar_traits::compare("abc", "abd", 2), 0);
  EXPECT_NE(ichar_traits::compare("alm", "all", 3), 0);
  EXPECT_NE(ichar_traits::compare("[", "{", 1), 0);
}

}  // namespace
