#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>

#include "qztest.h"
#include "xkelda.h"

namespace {

// The error text: "<code> - " in a ten-byte field (a longer code is cut), then the text.
TEST(Catalogue, ErrorTextPrefixesTheCodeInATenByteField) {
  qztest::ScratchRoot root;
  root.start(3);
  std::string out;
  for (int code : {0, 5, -5, 123456, -12345, -123456, INT_MIN})
    out += Xkelda("qz.kelda.strings.nosuchkey", code).errorText() + "|";
  EXPECT_EQ(out, "|5 - |-5 - |123456 - |-12345 - |-123456 -|-21474836|");
  EXPECT_EQ(Xkelda("qz.kelda.strings.usage", 1234567).errorText(),
            "1234567 -A data directory and a service display name are both required.");
}

// What printMessage hands to puts, without touching the real standard output.
std::string printed(const std::string& key) {
  qz::eval("rename puts realPuts; proc puts {text} {append ::captured $text \\n}");
  qz::setVarStr("captured", "");
  printMessage(key);
  qz::eval("rename puts {}; rename realPuts puts");
  return qz::getVarStr("captured", "");
}

TEST(Catalogue, EveryKeyHasATextThatPrintsAsItStands) {
  qztest::ScratchRoot root;
  root.start(3);
  // msgcat is not loaded at start-up; required by hand, it still brings the texts.
  EXPECT_EQ(qz::eval("package provide msgcat"), "");
  qz::eval("package require msgcat");
  std::istringstream names(
      "createserver createserversuccess createserverfailure createserverdatadirs nodatadirs "
      "removeserver removeserverprogress removeserversuccess removeserverfailure "
      "removeservernodatadirs removeservernodir start startsuccess startfailure stop stopsuccess "
      "stopfailure status statusfailure nomonavailable cannotfindmon usage errorwinservman "
      "createservererrorwinuser createservererrorwinexists createservererrorwin "
      "createservererrorwinaddevhooks removeservererrorwinopen removeservererrorwindelete "
      "removeservererrorwindeleteevhooks controlerrorwinopen controlerrorwincontrol "
      "starterrorwinopen starterrorwinalreadystarted starterrorwinstart starterrorwinquery "
      "starterrorwinfailure eventviewerregkey eventviewregsetvalue eventviewregdeletekey");
  qz::eval("msgcat::mclocale de_de");  // whatever the locale, the texts are found
  for (std::string name; names >> name;) {
    std::string key = "qz.kelda.strings." + name, text = getMessage(key);
    EXPECT_FALSE(text.empty()) << key;
    EXPECT_EQ(printed(key), text + "\n") << key;
  }
  // A text equal to its key counts as missing; a text is printed with Tcl's substitutions.
  qz::eval("msgcat::mcset {} qz.kelda.strings.selfish qz.kelda.strings.selfish");
  qz::eval("msgcat::mcset {} qz.kelda.strings.subst {dir ${qz.rootdir} [string toupper x]}");
  EXPECT_EQ(getMessage("qz.kelda.strings.selfish") + printed("qz.kelda.strings.selfish") +
                printed("qz.kelda.strings.subst"),
            "\ndir " + root.path() + " X\n");
  // An empty key evaluates nothing, so even a broken catalogue does not matter.
  qz::eval("rename msgcat::mc {}");
  EXPECT_EQ(getMessage(""), "");
}

// A throw site logs its line before it throws, with the code taken before the line is
// formatted (the log's file calls would change a last-error value read after them); with
// level 3 off it formats and writes nothing, and still throws.
TEST(Catalogue, ThrowSitesLogBeforeTheyThrow) {
  qztest::ScratchRoot root;
  for (int level : {3, 2}) {
    root.start(level);
    unsigned long formatted = qz::qzi_formatted();
    std::string log = root.log();
    std::string thrown = "nothing";
    try {
      KELDA_NT_THROW_CODE("f", "qz.kelda.strings.usage", static_cast<int32_t>(qz::qzi_formatted()));
    } catch (const Xkelda& x) {
      thrown = x.key + " " + std::to_string(x.winErrorCode);
    }
    EXPECT_EQ(thrown, "qz.kelda.strings.usage " + std::to_string(formatted));
    EXPECT_EQ(qz::qzi_formatted() - formatted, level == 3 ? 1u : 0u);
    EXPECT_EQ(root.log() == log, level == 2);
  }
}

}  // namespace
