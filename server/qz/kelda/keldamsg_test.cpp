#include <gtest/gtest.h>

#include <string>

#include "qztest.h"
#include "xkelda.h"

namespace {

TEST(Catalogue, ErrorTextPrefixesTheCodeInATenByteField) {
  qztest::ScratchRoot root(3);
  std::string out;
  for (int code : {0, 123456, -123456}) out += Xkelda("nosuchkey", code).errorText() + "|";
  EXPECT_EQ(out, "|123456 - |-123456 -|");
}

// What printMessage hands to puts, without touching standard output.
std::string printed(const std::string& key) {
  qz::eval("rename puts realPuts; proc puts {text} {append ::captured $text \\n}");
  qz::setVarStr("captured", "");
  printMessage(key);
  qz::eval("rename puts {}; rename realPuts puts");
  return qz::getVarStr("captured", "");
}

TEST(Catalogue, KeysHaveTextsThatPrintAsTheyStand) {
  qztest::ScratchRoot root(3);
  // msgcat is not loaded at start-up; any of its commands brings it and the texts.
  EXPECT_EQ(qz::eval("package provide msgcat"), "");
  qz::eval("msgcat::mcpackageconfig isset mcfolder");
  qz::eval("msgcat::mclocale de_de");  // whatever the locale, the texts are found
  // The keys the command-line tests never print (they compare the others with these texts).
  for (std::string name :
       {"errorwinservman", "createservererrorwinuser", "createservererrorwinexists",
        "createservererrorwinaddevhooks", "removeservererrorwindelete",
        "starterrorwinalreadystarted", "starterrorwinstart", "starterrorwinquery",
        "eventviewerregkey", "eventviewregsetvalue", "eventviewregdeletekey"}) {
    std::string key = "qz.kelda.strings." + name, text = getMessage(key);
    EXPECT_NE(text, "") << key;
    EXPECT_EQ(printed(key), text + "\n") << key;
  }
  qz::eval("msgcat::mcset {} qz.kelda.strings.subst {dir ${qz.rootdir} [string toupper x]}");
  EXPECT_EQ(printed("qz.kelda.strings.subst"), "dir " + root.path() + " X\n");
}

// A throw site formats and writes its line only when level 3 is on, and throws either way.
TEST(Catalogue, ThrowSitesLogAtLevelThree) {
  qztest::ScratchRoot root;
  for (int level : {2, 3}) {
    root.start(level);
    unsigned long formatted = qz::qzi_formatted();
    std::string log = root.log();
    EXPECT_THROW(KELDA_THROW("f", "qz.kelda.strings.usage"), Xkelda);
    EXPECT_EQ(qz::qzi_formatted() - formatted, level == 3 ? 1u : 0u);
    EXPECT_EQ(root.log() != log, level == 3);
  }
  EXPECT_EQ(qz::qzi_fmtlog("%s", "").size(), 0u);
}

}  // namespace
