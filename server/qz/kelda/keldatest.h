// Test support: a scratch product root holding the tool's real scripts, and the framework
// started on it.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qz.h"
#include "qztest.h"

namespace keldatest {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// ROOT/{etc,lib/kelda,log} in a fresh temporary directory, removed again at the end; the
// tool's scripts are copied into lib/kelda.
class ScratchRoot {
 public:
  ScratchRoot() {
    namespace fs = std::filesystem;
    path_ = qztest::makeScratchDir("kelda_test");
    fs::create_directories(path_ + "/etc");
    fs::create_directories(path_ + "/lib/kelda");
    for (const auto& script : fs::directory_iterator(KELDA_SCRIPT_DIR))
      if (script.path().extension() == ".tcl")
        fs::copy_file(script.path(), path_ + "/lib/kelda/" + script.path().filename().string());
  }
  ~ScratchRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchRoot(const ScratchRoot&) = delete;
  ScratchRoot& operator=(const ScratchRoot&) = delete;

  const std::string& path() const { return path_; }
  std::string at(const std::string& rel) const { return path_ + "/" + rel; }
  std::string logFile() const { return at("test.log"); }
  // The log's lines, with Windows line ends made plain.
  std::string log() const {
    std::string text = readFile(logFile());
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
  }

  // Starts the framework on this root, logging levels 1..logLevel to logFile(), and loads
  // the catalogue and the tool's procedures.
  void start(int logLevel = 3) {
    words_ = {"kelda",    "-rootdir", path_, "-loglevel", std::to_string(logLevel),
              "-logfile", logFile()};
    std::vector<const char*> argv;
    for (auto& w : words_) argv.push_back(w.c_str());
    argv.push_back(nullptr);
    int argc = static_cast<int>(words_.size());
    qz::init(argc, argv.data());
    const char* scripts[] = {nullptr, "keldastrings.tcl", "kelda.tcl", nullptr};
    qz::setScriptDir("lib/kelda");
    qz::evalScript(1, scripts);
  }

  static int shell(const std::string& command) { return std::system(command.c_str()); }

 private:
  std::string path_;
  std::vector<std::string> words_;
};

}  // namespace keldatest
