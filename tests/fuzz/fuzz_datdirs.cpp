// Fuzz target: the instance list. Entries of the characters a data directory may hold, one a
// line of the input, are written to datdirs.tcl as its one line and read back unchanged
// (empty entries dropped).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "keldareg.h"
#include "qztest.h"

namespace {

// Not Tcl's quoting, substitution or glob characters, nor controls (Windows forbids them).
bool allowed(unsigned char c) {
  return c >= 0x20 && std::strchr("$[\"{}\\*?", c) == nullptr;
}

[[noreturn]] void broken(const char* what, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", what, text.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qztest::ScratchRoot* root = nullptr;
  if (root == nullptr) {
    root = new qztest::ScratchRoot;
    root->start(0);
  }
  std::vector<std::string> entries(1);
  for (size_t i = 0; i < size && entries.size() <= 64; ++i) {
    if (data[i] == '\n') {
      entries.emplace_back();
    } else if (data[i] >= 0x80) {
      // As the framework hands words to the tool: valid UTF-8 (here, each byte as Latin-1).
      entries.back() += static_cast<char>(0xC0 | (data[i] >> 6));
      entries.back() += static_cast<char>(0x80 | (data[i] & 0x3F));
    } else if (allowed(data[i])) {
      entries.back() += static_cast<char>(data[i]);
    }
  }
  qz::eval("set qz.instances {}");
  std::vector<std::string> kept;
  std::string line = "set qz.instances [list ";
  for (const std::string& e : entries) {
    qz::setVarStr("fuzz.entry", e.c_str());
    qz::eval("lappend qz.instances ${fuzz.entry}");
    if (e.empty()) continue;
    kept.push_back(e);
    line += "{" + e + "} ";
  }
  writeDatdirs();
  std::string text = qztest::readFile(root->at("etc/datdirs.tcl"));
  if (text != line + "]") broken("not the list line", text);
  qz::eval("unset qz.instances");
  qz::evalFile("datdirs.tcl");
  bool same = instanceCount() == static_cast<int>(kept.size());
  for (size_t i = 0; same && i < kept.size(); ++i)
    same = instanceAt(static_cast<int>(i)) == kept[i];
  if (!same) broken("the list read back differs", text);
  return 0;
}
