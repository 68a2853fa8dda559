// Fuzz target: the instance list. Entries of the characters a data directory may hold, one a
// line of the input, are written to datdirs.tcl as one line and read back, less empty ones.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "keldareg.h"
#include "qztest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qztest::ScratchRoot root(0);  // for the whole run
  std::vector<std::string> entries(1);
  for (size_t i = 0; i < size && entries.size() <= 64; ++i) {
    if (data[i] == '\n') {
      entries.emplace_back();
    } else if (data[i] >= 0x80) {  // UTF-8, as words reach the tool (the byte read as Latin-1)
      entries.back() += static_cast<char>(0xC0 | (data[i] >> 6));
      entries.back() += static_cast<char>(0x80 | (data[i] & 0x3F));
    } else if (data[i] >= 0x20 && std::strchr("$[\"{}\\*?", data[i]) == nullptr) {
      entries.back() += static_cast<char>(data[i]);  // braces hold it, and it is no glob
    }
  }
  qz::eval("set qz.instances {}");
  std::string line = "set qz.instances [list ";
  for (const std::string& e : entries) {
    qz::eval(("lappend qz.instances {" + e + "}").c_str());
    if (!e.empty()) line += "{" + e + "} ";
  }
  std::string kept = qz::eval("lsearch -all -inline -not -exact ${qz.instances} {}");
  writeDatdirs();
  std::string text = qztest::readFile(root.at("etc/datdirs.tcl"));
  qz::eval("unset qz.instances");
  qz::evalFile("datdirs.tcl");
  if (text == line + "]" && qz::eval("set qz.instances") == kept) return 0;
  std::fprintf(stderr, "written or read back otherwise: %s\n", text.c_str());
  std::abort();
}
