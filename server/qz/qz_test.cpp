#include "qz.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "qztest.h"

namespace {

// A product root in a fresh temporary directory, with etc/ and lib/kelda/.
class TempRoot {
 public:
  TempRoot() {
    namespace fs = std::filesystem;
    path_ = qztest::makeScratchDir("qz_test");
    fs::create_directories(path_ + "/etc");
    fs::create_directories(path_ + "/lib/kelda");
  }
  ~TempRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  void write(const std::string& rel, const std::string& text) const {
    std::ofstream(path_ + "/" + rel) << text;
  }
  std::string read(const std::string& rel) const {
    std::ifstream in(path_ + "/" + rel);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  std::string path_;
};

// Starts the framework on a root with the given extra options.
void start(const TempRoot& root, std::vector<std::string> options = {}) {
  static std::vector<std::string> words;  // init keeps pointers into argv
  words = {"/x/bin/qz_test", "-rootdir", root.path()};
  words.insert(words.end(), options.begin(), options.end());
  std::vector<const char*> argv;
  for (auto& w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);
  int argc = static_cast<int>(words.size());
  qz::init(argc, argv.data());
}

// Native commands for the exception bridge.
struct Custom {
  int value;
};

int throwX(int, const char** argv) {
  throw qz::X(5, 42, std::string("thrown by ") + argv[1]);
}
int throwCustom(int, const char**) {
  throw Custom{7};
}
int throwStd(int, const char**) {
  throw std::runtime_error("std failure");
}
// Evaluates its argument as Tcl: a native command that runs Tcl that runs a command.
int nested(int, const char** argv) {
  qz::eval(argv[1]);
  return 0;
}
int countWords(int argc, const char** argv) {
  if (argv[argc] != nullptr) throw qz::X(1, 0, "argv not null-terminated");
  qz::setVarStr("words", std::to_string(argc).c_str());
  return 0;
}

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    start(root_);
    qz::exportProc("throwX", throwX);
    qz::exportProc("throwCustom", throwCustom);
    qz::exportProc("throwStd", throwStd);
    qz::exportProc("nested", nested);
    qz::exportProc("countWords", countWords);
  }
  TempRoot root_;
};

TEST_F(Bridge, ExceptionComesOutOfTheEvalUnchanged) {
  try {
    qz::eval("throwX first");
    FAIL() << "no exception";
  } catch (const qz::Xtcl&) {
    FAIL() << "became an Xtcl";
  } catch (const qz::X& x) {
    EXPECT_EQ(x.kind, 5);
    EXPECT_EQ(x.code, 42);
    EXPECT_EQ(x.errorText(), "thrown by first");
  }
  try {
    qz::eval("set a 1; throwCustom");
    FAIL() << "no exception";
  } catch (const Custom& c) {
    EXPECT_EQ(c.value, 7);
  }
  EXPECT_THROW(qz::eval("throwStd"), std::runtime_error);
}

TEST_F(Bridge, NestedEvaluationsCarryTheExceptionOut) {
  try {
    qz::eval("nested {nested {proc p {} {throwX deep}; p}}");
    FAIL() << "no exception";
  } catch (const qz::Xtcl&) {
    FAIL() << "became an Xtcl";
  } catch (const qz::X& x) {
    EXPECT_EQ(x.errorText(), "thrown by deep");
  }
  // Through evalFile too.
  root_.write("etc/throws.tcl", "nested {throwCustom}\n");
  EXPECT_THROW(qz::evalFile("throws.tcl"), Custom);
}

TEST_F(Bridge, ScriptLevelCatchLeavesNothingBehind) {
  EXPECT_EQ(qz::eval("catch {throwX caught} msg; set msg"), "thrown by caught");
  // A later, unrelated Tcl error must be reported as itself, not as the caught exception.
  try {
    qz::eval("error plain");
    FAIL() << "no exception";
  } catch (const qz::Xtcl& x) {
    EXPECT_EQ(x.errorText(), "plain");
  }
  // Caught inside a nested evaluation, then a different native failure outside it.
  try {
    qz::eval("nested {catch {throwCustom}}; throwX after");
    FAIL() << "no exception";
  } catch (const qz::Xtcl&) {
    FAIL() << "became an Xtcl";
  } catch (const qz::X& x) {
    EXPECT_EQ(x.errorText(), "thrown by after");
  }
  // An error re-raised by the script with the native error's options is still that error.
  EXPECT_THROW(qz::eval("catch {throwCustom} m o; return -options $o $m"), Custom);
}

TEST_F(Bridge, TclErrorsAreXtclWithTheInterpretersMessage) {
  try {
    qz::eval("nosuchcommand 1 2");
    FAIL() << "no exception";
  } catch (const qz::Xtcl& x) {
    EXPECT_EQ(x.errorText(), "invalid command name \"nosuchcommand\"");
    EXPECT_NE(x.errorInfo.find("nosuchcommand 1 2"), std::string::npos);
  }
  EXPECT_THROW(qz::eval("set x {"), qz::Xtcl);
  EXPECT_THROW(qz::eval("break"), qz::Xtcl);
  EXPECT_EQ(qz::eval("return early; error late"), "early");
}

TEST_F(Bridge, CommandsGetTheirWordsAndRunAtGlobalLevel) {
  qz::eval("proc inner {} { countWords a {b c} {} }; inner");
  EXPECT_EQ(qz::getVarStr("words", ""), "4");
  qz::eval("proc local {} { set shadow 1 }; local");
  EXPECT_EQ(qz::getVarStr("shadow", "unset"), "unset");
}

TEST(Variables, DefaultsAndConversions) {
  TempRoot root;
  start(root);
  EXPECT_EQ(qz::getVarStr("qz.nothing", "dflt"), "dflt");
  EXPECT_EQ(qz::getVarInt("qz.nothing", -3), -3);
  qz::setVarStr("qz.some.value", "a b {c}");
  EXPECT_EQ(qz::getVarStr("qz.some.value", ""), "a b {c}");
  EXPECT_EQ(qz::eval("llength ${qz.some.value}"), "3");
  qz::setVarStr("qz.n", " 17 ");
  EXPECT_EQ(qz::getVarInt("qz.n", 0), 17);
  qz::setVarStr("qz.n", "seventeen");
  EXPECT_THROW(qz::getVarInt("qz.n", 0), qz::Xtcl);
  EXPECT_EQ(qz::getVarStr("qz.rootdir", ""), root.path());
}

TEST(Startup, OptionsAreTakenFromTheFrontOnly) {
  TempRoot root;
  std::string dat = root.path() + "/dat";
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
  ASSERT_EQ(argc, 4);
  EXPECT_STREQ(argv[1], "status");
  EXPECT_STREQ(argv[2], "-datdir");
  EXPECT_STREQ(argv[3], "other");
  EXPECT_EQ(argv[4], nullptr);
  EXPECT_EQ(qz::getVarStr("qz.datdir", ""), dat);
  EXPECT_FALSE(qz::qzi_on(1));

  std::vector<const char*> bad = {"/x/bin/kelda", "-datdir", nullptr};
  argc = 2;
  EXPECT_THROW(qz::init(argc, bad.data()), qz::X);
}

TEST(Startup, ConfigurationScriptsAndTheirErrors) {
  TempRoot root;
  root.write("etc/qz.tcl", "set qz.fromsettings yes\n");
  std::filesystem::create_directories(root.path() + "/dat");
  root.write("dat/config.tcl", "set qz.servicename svc7\n");
  start(root, {"-datdir", root.path() + "/dat"});
  EXPECT_EQ(qz::getVarStr("qz.fromsettings", ""), "yes");
  EXPECT_EQ(qz::getVarStr("qz.servicename", ""), "svc7");

  root.write("dat/config.tcl", "set qz.servicename {\n");
  EXPECT_THROW(start(root, {"-datdir", root.path() + "/dat"}), qz::Xtcl);
  root.write("etc/qz.tcl", "error {bad settings}\n");
  EXPECT_THROW(start(root), qz::Xtcl);
}

TEST(SearchPath, BareNamesLookInEtcThenLib) {
  TempRoot root;
  start(root);
  qz::setScriptDir("lib/kelda");
  root.write("lib/kelda/both.tcl", "set where lib");
  root.write("etc/both.tcl", "set where etc");
  root.write("lib/kelda/libonly.tcl", "set where lib");
  EXPECT_EQ(qz::evalFile("both.tcl"), "etc");
  EXPECT_EQ(qz::evalFile("libonly.tcl"), "lib");
  EXPECT_THROW(qz::evalFile("missing.tcl"), qz::Xtcl);
  // A name with a directory part is taken as it is.
  root.write("elsewhere.tcl", "set where direct");
  EXPECT_EQ(qz::evalFile((root.path() + "/elsewhere.tcl").c_str()), "direct");
  EXPECT_THROW(qz::evalFile("./both.tcl"), qz::Xtcl);

  const char* scripts[] = {"unused", "libonly.tcl", "both.tcl", nullptr};
  qz::evalScript(1, scripts);
  EXPECT_EQ(qz::getVarStr("where", ""), "etc");
}

TEST(Log, LevelsDecideWhatIsWritten) {
  TempRoot root;
  std::string file = root.path() + "/log/sub/test.log";
  start(root, {"-loglevel", "2", "-logfile", file});
  EXPECT_TRUE(qz::qzi_on(1));
  EXPECT_TRUE(qz::qzi_on(2));
  EXPECT_FALSE(qz::qzi_on(3));
  EXPECT_FALSE(qz::qzi_on(0));
  EXPECT_EQ(qz::qzi_fmtlog("%s=%d", "answer", 42), "answer=42");
  EXPECT_EQ(qz::qzi_log(2, 0, "second level", "src/file", 12, 0), 0);
  EXPECT_EQ(qz::qzi_log(3, 0, "third level", "src/file", 13, 0), -1);
  std::string text = root.read("log/sub/test.log");
  EXPECT_NE(text.find(" 2 [" + std::to_string(getpid()) + "] src/file:12 second level\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("third level"), std::string::npos);
}

TEST(Log, LevelFromSettingsAndUnopenableFileTurnsLoggingOff) {
  TempRoot root;
  root.write("etc/qz.tcl", "set qz.loglevel 3\n");
  start(root);
  EXPECT_TRUE(qz::qzi_on(3));
  qz::qzi_log(3, 0, "default place", "f", 1, 0);
  EXPECT_NE(root.read("log/qz_test.log").find("default place"), std::string::npos);

  start(root, {"-loglevel", "3", "-logfile", root.path() + "/etc/qz.tcl/not-a-dir/x.log"});
  EXPECT_FALSE(qz::qzi_on(1));
}

TEST(IcharTraits, ComparesWithoutCase) {
  EXPECT_EQ(ichar_traits::compare("ALL", "all", 3), 0);
  EXPECT_EQ(ichar_traits::compare("RemoveData", "removedATA", 10), 0);
  EXPECT_NE(ichar_traits::compare("alm", "all", 3), 0);
  EXPECT_EQ(ichar_traits::compare("-V", "-v", 2), 0);
  EXPECT_EQ(ichar_traits::compare("abc", "abd", 2), 0);
  // Only ASCII letters fold: '[' and '{' are not the upper case of '{' and '['.
  EXPECT_NE(ichar_traits::compare("[", "{", 1), 0);
}

}  // namespace
