#include "keldareg.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <string>

#include "keldatest.h"

namespace {

// The list file itself, its reloading and the walk over it are the command-line suite's and
// the datdirs fuzz target's; these are the rules beneath them.
TEST(Registry, KeysEntriesAndDirectories) {
  keldatest::ScratchRoot root;
  root.start(1);
  EXPECT_EQ(lowerAscii(normaliseDatadir("C:\\Srv\\\xC3\x84-MiXed//Z@[`")),
            "c:/srv/\xC3\x84-mixed//z@[`");  // ASCII letters only
  EXPECT_THROW(instanceCount(), qz::Xtcl);   // no list loaded yet
  qz::eval("set qz.instances [list a {}]");
  EXPECT_EQ(std::to_string(instanceCount()) + instanceAt(0) + "|" + instanceAt(1) + "|" +
                instanceAt(2) + "|",
            "2a|||");
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
