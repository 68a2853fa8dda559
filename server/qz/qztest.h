// A scratch product root (etc/, lib/kelda/ with KELDA_SCRIPT_DIR's scripts), removed at the end.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qz.h"

namespace qztest {

inline std::string readFile(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class ScratchRoot {
 public:
  ScratchRoot() {
    namespace fs = std::filesystem;
    for (int n = std::rand(); !fs::create_directory(path_); ++n)
      path_ = (fs::temp_directory_path() / ("qz_test." + std::to_string(n))).generic_string();
    fs::create_directory(at("etc"));
    fs::create_directories(at("lib/kelda"));
    if (*KELDA_SCRIPT_DIR) fs::copy(KELDA_SCRIPT_DIR, at("lib/kelda"));
  }
  explicit ScratchRoot(int logLevel) : ScratchRoot() { start(logLevel); }
  ~ScratchRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::string& path() const { return path_; }
  std::string at(const std::string& rel) const { return path_ + "/" + rel; }
  std::string logFile() const { return at("test.log"); }
  std::string log() const {  // with Windows line ends made plain
    std::string text = readFile(logFile());
    for (size_t cr; (cr = text.find('\r')) != std::string::npos;) text.erase(cr, 1);
    return text;
  }
  void init(const std::vector<std::string>& words) {
    std::vector<const char*> argv = {"kelda", "-rootdir", path_.c_str()};
    for (auto& w : words) argv.push_back(w.c_str());
    int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    qz::init(argc, argv.data());
  }
  // Logs levels 1..logLevel to logFile(); loads the catalogue and the tool's procedures.
  void start(int logLevel) {
    init({"-loglevel", std::to_string(logLevel), "-logfile", logFile()});
    qz::setScriptDir("lib/kelda");
    qz::evalFile("keldastrings.tcl");
    qz::evalFile("kelda.tcl");
  }

 private:
  std::string path_ = "/";  // exists: the loop makes a new one
};

}  // namespace qztest
