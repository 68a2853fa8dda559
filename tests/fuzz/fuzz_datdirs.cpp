// Fuzz target: the instance list. Entries of the characters a data directory may hold are
// written to datdirs.tcl, one line, and read back unchanged (empty entries dropped).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "keldareg.h"
#include "keldatest.h"

namespace {

keldatest::ScratchRoot* root = nullptr;

// Not Tcl's quoting, substitution or glob characters, nor controls (Windows forbids them).
bool allowed(unsigned char c) {
  return c >= 0x20 && std::strchr("$[\"{}\\*?", c) == nullptr;
}

[[noreturn]] void broken(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (root == nullptr) {
    root = new keldatest::ScratchRoot;
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
  for (const std::string& e : entries) {
    qz::setVarStr("fuzz.entry", e.c_str());
    qz::eval("lappend qz.instances ${fuzz.entry}");
  }
  std::vector<std::string> kept;
  for (const std::string& e : entries)
    if (!e.empty()) kept.push_back(e);
  writeDatdirs();

  std::string text = keldatest::readFile(root->at("etc/datdirs.tcl"));
  const std::string head = "set qz.instances [list ";
  if (text.compare(0, head.size(), head) != 0 || text.back() != ']')
    broken("not the list line", text);

  qz::eval("unset qz.instances");
  qz::evalFile("datdirs.tcl");
  if (instanceCount() != static_cast<int>(kept.size())) broken("count differs", text);
  for (size_t i = 0; i < kept.size(); ++i)
    if (instanceAt(static_cast<int>(i)) != kept[i]) broken("entry differs", text);
  return 0;
}
