// Test support shared by the framework's and the tool's tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace qztest {

// Makes a new, empty directory under the system's temporary directory and answers its path
// with forward slashes.
inline std::string makeScratchDir(const std::string& prefix) {
  namespace fs = std::filesystem;
  static int made = 0;
  for (;;) {
    fs::path p = fs::temp_directory_path() /
                 (prefix + "." + std::to_string(std::rand()) + "." + std::to_string(++made));
    if (fs::create_directory(p)) return p.generic_string();
  }
}

}  // namespace qztest
