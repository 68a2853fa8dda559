#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>

#include "keldatest.h"
#include "xkelda.h"

namespace {

// What printMessage hands to puts, without touching the real standard output.
std::string printed(const std::string& key) {
  qz::eval("rename puts realPuts; proc puts {text} {append ::captured $text \\n}");
  qz::setVarStr("captured", "");
  printMessage(key);
  qz::eval("rename puts {}; rename realPuts puts");
  return qz::getVarStr("captured", "");
}

TEST(Catalogue, ErrorTextPrefixesTheCodeInATenByteField) {
  keldatest::ScratchRoot root;
  root.start(3);
  const std::string usage = "A data directory and a service display name are both required.";
  std::string out;
  for (int code : {5, -5, 123456, -12345, -123456, INT_MIN})
    out += Xkelda("qz.kelda.strings.nosuchkey", code).errorText() + "|";
  EXPECT_EQ(out, "5 - |-5 - |123456 - |-12345 - |-123456 -|-21474836|");
  EXPECT_EQ(Xkelda("qz.kelda.strings.usage").errorText() + "|" +
                Xkelda("qz.kelda.strings.usage", 1234567).errorText(),
            usage + "|1234567 -" + usage);
  // The base carries the tool's kind and the code.
  Xkelda x("qz.kelda.strings.usage", 1073);
  const qz::X& base = x;
  EXPECT_EQ(std::to_string(base.kind) + " " + std::to_string(base.code) + " " + base.errorText(),
            "8 1073 1073 - " + usage);
}

TEST(Catalogue, EveryKeyHasATextThatPrintsAsItStands) {
  keldatest::ScratchRoot root;
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
  qz::eval("msgcat::mcset {} qz.kelda.strings.broken {a \" b}");
  EXPECT_EQ(getMessage("qz.kelda.strings.selfish") + printed("qz.kelda.strings.selfish") +
                printed("qz.kelda.strings.subst"),
            "\ndir " + root.path() + " X\n");
  EXPECT_THROW(printMessage("qz.kelda.strings.broken"), qz::Xtcl);
  // An empty key evaluates nothing, so even a broken catalogue does not matter.
  qz::eval("rename msgcat::mc {}");
  EXPECT_EQ(getMessage(""), "");
  EXPECT_THROW(getMessage("qz.kelda.strings.start"), qz::Xtcl);
}

void throwNoCode() {
  KELDA_THROW("someFunction", "qz.kelda.strings.nodatadirs");
}
// The code expression counts the log texts formatted so far.
void throwWithFormattedCount() {
  KELDA_NT_THROW_CODE("otherFunction", "qz.kelda.strings.errorwinservman",
                      static_cast<int32_t>(qz::qzi_formatted()));
}

// A throw site logs its line before it throws, with the code taken before the line is
// formatted (the log's file calls would change a last-error value read after them).
TEST(Catalogue, ThrowSitesLogBeforeTheyThrow) {
  keldatest::ScratchRoot root;
  root.start(3);
  unsigned long formatted = qz::qzi_formatted();
  for (auto* f : {throwNoCode, throwWithFormattedCount}) {
    try {
      f();
    } catch (const Xkelda& x) {
      EXPECT_EQ(x.winErrorCode, f == throwNoCode ? 0 : static_cast<int32_t>(formatted + 1));
      EXPECT_EQ(x.key, f == throwNoCode ? "qz.kelda.strings.nodatadirs"
                                        : "qz.kelda.strings.errorwinservman");
    }
  }
  // Level 3 off: nothing formatted, nothing written, still thrown.
  root.start(2);
  formatted = qz::qzi_formatted();
  std::string log = root.log();
  EXPECT_THROW(throwNoCode(), Xkelda);
  EXPECT_EQ(qz::qzi_formatted(), formatted);
  EXPECT_EQ(root.log(), log);
}

}  // namespace
