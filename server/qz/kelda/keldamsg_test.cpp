#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "keldatest.h"
#include "xkelda.h"

namespace {

// The framework on a scratch root with the real catalogue, logging levels 1..3.
class Catalogue : public ::testing::Test {
 protected:
  void SetUp() override { root_.start(3); }

  // What printMessage hands to puts, without touching the real standard output.
  std::string printed(const std::string& key) {
    qz::eval("rename puts realPuts; proc puts {text} {append ::captured $text \\n}");
    qz::setVarStr("captured", "");
    printMessage(key);
    qz::eval("rename puts {}; rename realPuts puts");
    return qz::getVarStr("captured", "");
  }
  std::string log() { return root_.log(); }
  void start(int level) { root_.start(level); }

  keldatest::ScratchRoot root_;
};

TEST_F(Catalogue, ErrorTextPrefixesTheCodeInATenByteField) {
  const std::string usage = "A data directory and a service display name are both required.";
  EXPECT_EQ(Xkelda("qz.kelda.strings.usage").errorText(), usage);
  EXPECT_EQ(Xkelda("qz.kelda.strings.usage", 1056).errorText(), "1056 - " + usage);
  EXPECT_EQ(Xkelda("qz.kelda.strings.nosuchkey").errorText(), "");
  EXPECT_EQ(Xkelda("qz.kelda.strings.nosuchkey", 5).errorText(), "5 - ");
  EXPECT_EQ(Xkelda("qz.kelda.strings.nosuchkey", -5).errorText(), "-5 - ");
  // Six characters fit whole; longer codes are cut to nine characters.
  EXPECT_EQ(Xkelda("qz.kelda.strings.nosuchkey", 123456).errorText(), "123456 - ");
  EXPECT_EQ(Xkelda("qz.kelda.strings.nosuchkey", -12345).errorText(), "-12345 - ");
  EXPECT_EQ(Xkelda("qz.kelda.strings.nosuchkey", -123456).errorText(), "-123456 -");
  EXPECT_EQ(Xkelda("qz.kelda.strings.usage", 1234567).errorText(), "1234567 -" + usage);
  EXPECT_EQ(Xkelda("qz.kelda.strings.nosuchkey", INT_MIN).errorText(), "-21474836");
  // The base carries the tool's kind and the code.
  Xkelda x("qz.kelda.strings.usage", 1073);
  const qz::X& base = x;
  EXPECT_EQ(base.kind, 8);
  EXPECT_EQ(base.code, 1073);
  EXPECT_EQ(base.errorText(), "1073 - " + usage);
}

TEST_F(Catalogue, EveryKeyHasAText) {
  // msgcat is not loaded at start-up; required by hand, it still brings the texts.
  EXPECT_EQ(qz::eval("package provide msgcat"), "");
  qz::eval("package require msgcat");
  const char* names[] = {"createserver",
                         "createserversuccess",
                         "createserverfailure",
                         "createserverdatadirs",
                         "nodatadirs",
                         "removeserver",
                         "removeserverprogress",
                         "removeserversuccess",
                         "removeserverfailure",
                         "removeservernodatadirs",
                         "removeservernodir",
                         "start",
                         "startsuccess",
                         "startfailure",
                         "stop",
                         "stopsuccess",
                         "stopfailure",
                         "status",
                         "statusfailure",
                         "nomonavailable",
                         "cannotfindmon",
                         "usage",
                         "errorwinservman",
                         "createservererrorwinuser",
                         "createservererrorwinexists",
                         "createservererrorwin",
                         "createservererrorwinaddevhooks",
                         "removeservererrorwinopen",
                         "removeservererrorwindelete",
                         "removeservererrorwindeleteevhooks",
                         "controlerrorwinopen",
                         "controlerrorwincontrol",
                         "starterrorwinopen",
                         "starterrorwinalreadystarted",
                         "starterrorwinstart",
                         "starterrorwinquery",
                         "starterrorwinfailure",
                         "eventviewerregkey",
                         "eventviewregsetvalue",
                         "eventviewregdeletekey"};
  ASSERT_EQ(sizeof names / sizeof names[0], 40u);
  for (const char* name : names) {
    std::string key = std::string("qz.kelda.strings.") + name;
    std::string text = getMessage(key);
    EXPECT_FALSE(text.empty()) << key;
    // Printing goes through puts "...": the text must print as it stands.
    EXPECT_EQ(printed(key), text + "\n") << key;
  }
  // Whatever the locale, the texts are found.
  qz::eval("msgcat::mclocale de_de");
  EXPECT_FALSE(getMessage("qz.kelda.strings.start").empty());
}

TEST_F(Catalogue, LookUpEdgeCases) {
  // An empty key evaluates nothing, so even a broken catalogue does not matter.
  qz::eval("rename msgcat::mc {}");
  EXPECT_EQ(getMessage(""), "");
  EXPECT_THROW(getMessage("qz.kelda.strings.start"), qz::Xtcl);
  start(3);
  // A text equal to its key counts as missing.
  qz::eval("msgcat::mcset {} qz.kelda.strings.selfish qz.kelda.strings.selfish");
  EXPECT_EQ(getMessage("qz.kelda.strings.selfish"), "");
  EXPECT_EQ(printed("qz.kelda.strings.selfish"), "\n");
  // A text is printed with Tcl's substitutions performed.
  qz::eval("msgcat::mcset {} qz.kelda.strings.subst {dir ${qz.rootdir} [string toupper x]}");
  EXPECT_EQ(printed("qz.kelda.strings.subst"), "dir " + root_.path() + " X\n");
  qz::eval("msgcat::mcset {} qz.kelda.strings.broken {a \" b}");
  EXPECT_THROW(printMessage("qz.kelda.strings.broken"), qz::Xtcl);
}

void throwNoCode() {
  KELDA_THROW("someFunction", "qz.kelda.strings.nodatadirs");
}
void throwWithCode(int code) {
  KELDA_NT_THROW_CODE("otherFunction", "qz.kelda.strings.errorwinservman", code);
}
// The code expression counts the log texts formatted so far.
void throwWithFormattedCount() {
  KELDA_NT_THROW_CODE("otherFunction", "qz.kelda.strings.errorwinservman",
                      static_cast<int32_t>(qz::qzi_formatted()));
}

TEST_F(Catalogue, ThrowSitesLogBeforeTheyThrow) {
  int line = __LINE__ - 12;  // throwNoCode's throw
  try {
    throwNoCode();
    FAIL();
  } catch (const Xkelda& x) {
    EXPECT_EQ(x.key, "qz.kelda.strings.nodatadirs");
    EXPECT_EQ(x.winErrorCode, 0);
  }
  try {
    throwWithCode(5);
    FAIL();
  } catch (const Xkelda& x) {
    EXPECT_EQ(x.key, "qz.kelda.strings.errorwinservman");
    EXPECT_EQ(x.winErrorCode, 5);
  }
  // The code is taken before the throw-site line is formatted: the log's file calls would
  // change a last-error value read after them.
  unsigned long formattedBefore = qz::qzi_formatted();
  try {
    throwWithFormattedCount();
    FAIL();
  } catch (const Xkelda& x) {
    EXPECT_EQ(x.winErrorCode, static_cast<int32_t>(formattedBefore));
  }
  std::string text = log();
  EXPECT_NE(text.find(" 3 [" + std::to_string(getpid()) +
                      "] server/qz/kelda/kelda:" + std::to_string(line) +
                      " exception someFunction:Xkelda( \"qz.kelda.strings.nodatadirs\" ) thrown "
                      "at server/qz/kelda/kelda." +
                      std::to_string(line) + "\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" exception otherFunction:Xkelda( \"qz.kelda.strings.errorwinservman\", "
                      "winErrorCode ) thrown at server/qz/kelda/kelda_nt." +
                      std::to_string(line + 3) + "\n"),
            std::string::npos)
      << text;

  // Level 3 off: nothing formatted, nothing written, still thrown.
  start(2);
  std::string before = log();
  unsigned long formatted = qz::qzi_formatted();
  EXPECT_THROW(throwNoCode(), Xkelda);
  EXPECT_EQ(qz::qzi_formatted(), formatted);
  EXPECT_EQ(log(), before);
}

}  // namespace
