#include "keldareg.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <string>

#include "keldatest.h"

namespace {

TEST(Registry, KeysListFileAndDirectories) {
  keldatest::ScratchRoot root;
  root.start(1);
  EXPECT_EQ(lowerAscii(normaliseDatadir("C:\\Srv\\A\\")), "c:/srv/a/");
  EXPECT_EQ(lowerAscii("\xC3\x84-MiXed//Z@[`"), "\xC3\x84-mixed//z@[`");  // ASCII letters only
  EXPECT_THROW(instanceCount(), qz::Xtcl);                                // no list loaded yet
  qz::eval("set qz.instances [list c:/srv/a {} {c:/my data} /x/y]");
  writeDatdirs();
  EXPECT_EQ(keldatest::readFile(root.at("etc/datdirs.tcl")),
            "set qz.instances [list {c:/srv/a} {c:/my data} {/x/y} ]");
  qz::eval("unset qz.instances");
  qz::evalFile("datdirs.tcl");  // reloaded by its bare name
  EXPECT_EQ(std::to_string(instanceCount()) + instanceAt(1) + "|" + instanceAt(3) + "|",
            "3c:/my data||");
  // directoryExists answers without moving the current directory.
  char before[PATH_MAX], after[PATH_MAX];
  ASSERT_NE(getcwd(before, sizeof before), nullptr);
  keldatest::writeFile(root.at("plain"), "x");
  EXPECT_EQ(std::to_string(directoryExists(root.at("etc"))) +
                std::to_string(directoryExists(root.at("missing"))) +
                std::to_string(directoryExists(root.at("plain"))) +
                std::to_string(directoryExists("")),
            "1000");
  ASSERT_NE(getcwd(after, sizeof after), nullptr);
  EXPECT_STREQ(before, after);
}

}  // namespace
