#include "keldareg.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <string>

#include "keldatest.h"
#include "xkelda.h"

namespace {

using keldatest::readFile;
using keldatest::writeFile;

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { root_.start(1); }
  std::string datdirs() const { return readFile(root_.at("etc/datdirs.tcl")); }
  // What a plain tclsh makes of the persisted list, one entry a line.
  std::string reloadedByTclsh() const {
    std::string script = root_.at("reload.tcl");
    writeFile(script, "source [lindex $argv 0]; foreach e ${qz.instances} { puts <$e> }");
    std::string out = root_.at("reload.out");
    keldatest::ScratchRoot::shell("tclsh '" + script + "' '" + root_.at("etc/datdirs.tcl") +
                                  "' > '" + out + "'");
    return readFile(out);
  }

  keldatest::ScratchRoot root_;
};

TEST_F(Registry, EntryKeys) {
  EXPECT_EQ(lowerAscii(normaliseDatadir("C:\\Srv\\A\\")), "c:/srv/a/");
  EXPECT_EQ(lowerAscii(normaliseDatadir("D:/MiXed Case//Dir")), "d:/mixed case//dir");
  // Only ASCII letters change.
  EXPECT_EQ(lowerAscii("\xC3\x84-Z@[`"), "\xC3\x84-z@[`");
}

TEST_F(Registry, DatdirsFileByteForByteAndReloaded) {
  qz::eval("set qz.instances {}");
  writeDatdirs();
  EXPECT_EQ(datdirs(), "set qz.instances [list ]");
  EXPECT_EQ(reloadedByTclsh(), "");

  qz::eval("set qz.instances [list c:/srv/a {} {c:/my data} /x/y]");
  writeDatdirs();
  EXPECT_EQ(datdirs(), "set qz.instances [list {c:/srv/a} {c:/my data} {/x/y} ]");
  EXPECT_EQ(reloadedByTclsh(), "<c:/srv/a>\n<c:/my data>\n</x/y>\n");
  // The framework reloads it by its bare name.
  qz::eval("unset qz.instances");
  qz::evalFile("datdirs.tcl");
  EXPECT_EQ(instanceCount(), 3);
  EXPECT_EQ(instanceAt(1), "c:/my data");
}

TEST_F(Registry, ListThatCannotBeWrittenIsLeftAsItWas) {
  qz::eval("set qz.instances [list c:/a]");
  writeDatdirs();
  std::string before = datdirs();

  // A list the interpreter cannot give is a Tcl error, and the file stays as it was.
  qz::eval("set qz.instances {a {b}c}");
  EXPECT_THROW(writeDatdirs(), qz::Xtcl);
  EXPECT_EQ(datdirs(), before);

  // A path that cannot be opened for writing (here a directory, which stops root as well).
  keldatest::ScratchRoot::shell("rm '" + root_.at("etc/datdirs.tcl") + "' && mkdir '" +
                                root_.at("etc/datdirs.tcl") + "'");
  qz::eval("set qz.instances [list c:/a c:/b]");
  try {
    writeDatdirs();
    FAIL() << "no exception";
  } catch (const Xkelda& x) {
    EXPECT_EQ(x.key, "qz.kelda.strings.createserverdatadirs");
    EXPECT_EQ(x.winErrorCode, 0);
  }

  // A root without etc/: the same error, and no file appears.
  qz::setVarStr("qz.rootdir", root_.at("nowhere").c_str());
  EXPECT_THROW(writeDatdirs(), Xkelda);
  EXPECT_NE(access(root_.at("nowhere").c_str(), F_OK), 0);
}

TEST_F(Registry, ListOperations) {
  EXPECT_THROW(instanceCount(), qz::Xtcl);  // no list loaded yet
  qz::eval("set qz.instances [list {}]");
  EXPECT_EQ(instanceCount(), 1);
  EXPECT_EQ(instanceAt(1), "");
  qz::eval("set qz.instances [list c:/data/inst1 c:/data/inst2]");
  EXPECT_EQ(instanceAt(2), "");
  // Finding is glob matching: a * in the key matches other entries.
  qz::eval("set keldatmp [lsearch ${qz.instances} {c:/data/*}]");
  EXPECT_EQ(qz::getVarInt("keldatmp", 0), 0);
}

TEST_F(Registry, DirectoryExistsKeepsTheCurrentDirectory) {
  char before[PATH_MAX];
  ASSERT_NE(getcwd(before, sizeof before), nullptr);
  EXPECT_TRUE(directoryExists(root_.at("etc")));
  EXPECT_FALSE(directoryExists(root_.at("missing")));
  writeFile(root_.at("plain"), "x");
  EXPECT_FALSE(directoryExists(root_.at("plain")));
  EXPECT_FALSE(directoryExists(""));
  char after[PATH_MAX];
  ASSERT_NE(getcwd(after, sizeof after), nullptr);
  EXPECT_STREQ(before, after);
}

class Walk : public Registry {
 protected:
  void SetUp() override {
    Registry::SetUp();
    // The walked command records which instance it saw and with which settings.
    qz::eval("proc visit {} { lappend ::seen ${::qz.datdir}=${::qz.servicename} }");
    for (const char* d : {"a", "b", "c"}) {
      keldatest::ScratchRoot::shell("mkdir -p '" + root_.at(d) + "'");
      writeFile(root_.at(std::string(d) + "/config.tcl"),
                std::string("set qz.servicename svc_") + d);
    }
  }
  std::string seen() { return qz::getVarStr("seen", ""); }
};

TEST_F(Walk, EveryInstanceInOrderWithItsSettings) {
  keldatest::ScratchRoot::shell("rm '" + root_.at("b/config.tcl") + "'");
  writeFile(root_.at("etc/datdirs.tcl"), "set qz.instances [list {" + root_.at("a") + "} {" +
                                             root_.at("b") + "} {" + root_.at("c") + "} ]");
  applyCmdToAllServers("visit");
  // b has no config.tcl: it runs with the settings a left behind, and the log says so.
  EXPECT_EQ(seen(),
            root_.at("a") + "=svc_a " + root_.at("b") + "=svc_a " + root_.at("c") + "=svc_c");
  EXPECT_EQ(qz::getVarStr("qz.datdir", ""), root_.at("c"));
  std::string log = root_.log();
  EXPECT_NE(log.find("KELDA - about to visit server: " + root_.at("a") + "\n"), std::string::npos);
  EXPECT_NE(log.find("KELDA - couldn't eval config.tcl in curdatdir - " + root_.at("b") +
                     "/config.tcl.  This could lead to problems controlling the server.\n"),
            std::string::npos)
      << log;
}

TEST_F(Walk, NoListEmptyListAndAFailingCommand) {
  try {
    applyCmdToAllServers("visit");
    FAIL() << "no exception";
  } catch (const Xkelda& x) {
    EXPECT_EQ(x.key, "qz.kelda.strings.nodatadirs");
  }
  writeFile(root_.at("etc/datdirs.tcl"), "set qz.instances [list ]");
  applyCmdToAllServers("visit");
  EXPECT_EQ(seen(), "");

  // An error out of the walked command ends the walk there.
  writeFile(root_.at("etc/datdirs.tcl"),
            "set qz.instances [list {" + root_.at("a") + "} {" + root_.at("b") + "} ]");
  qz::eval("proc visit {} { lappend ::seen ${::qz.datdir}; error stop }");
  EXPECT_THROW(applyCmdToAllServers("visit"), qz::Xtcl);
  EXPECT_EQ(seen(), root_.at("a"));
}

}  // namespace
