// Test support: a scratch product root (etc/, lib/kelda/ holding the tool's scripts where a test
// has them) in a fresh temporary directory, removed again at the end, and the framework on it.
#pragma once

#include <algorithm>
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
    static int made = 0;
    do {
      path_ = (fs::temp_directory_path() /
               ("qz_test." + std::to_string(std::rand()) + "." + std::to_string(++made)))
                  .generic_string();
    } while (!fs::create_directory(path_));
    fs::create_directories(path_ + "/etc");
    fs::create_directories(path_ + "/lib/kelda");
#ifdef KELDA_SCRIPT_DIR
    for (const auto& script : fs::directory_iterator(KELDA_SCRIPT_DIR))
      if (script.path().extension() == ".tcl")
        fs::copy_file(script.path(), at("lib/kelda/" + script.path().filename().string()));
#endif
  }
  ~ScratchRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchRoot(const ScratchRoot&) = delete;
  ScratchRoot& operator=(const ScratchRoot&) = delete;

  const std::string& path() const {
    return path_;
  }
  std::string at(const std::string& rel) const {
    return path_ + "/" + rel;
  }
  std::string logFile() const {
    return at("test.log");
  }
  // The log's lines, with Windows line ends made plain.
  std::string log() const {
    std::string text = readFile(logFile());
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
  }

  // Starts the framework on this root with these options after -rootdir.
  void init(std::vector<std::string> options) {
    words_ = {"kelda", "-rootdir", path_};
    words_.insert(words_.end(), options.begin(), options.end());
    std::vector<const char*> argv;
    for (auto& w : words_) argv.push_back(w.c_str());
    argv.push_back(nullptr);
    int argc = static_cast<int>(words_.size());
    qz::init(argc, argv.data());
  }
  // Logging levels 1..logLevel to logFile(), with the catalogue and the tool's procedures.
  void start(int logLevel = 3) {
    init({"-loglevel", std::to_string(logLevel), "-logfile", logFile()});
    const char* scripts[] = {nullptr, "keldastrings.tcl", "kelda.tcl", nullptr};
    qz::evalScript(1, scripts);
  }

  static int shell(const std::string& command) {
    return std::system(command.c_str());
  }

 private:
  std::string path_;
  std::vector<std::string> words_;
};

}  // namespace qztest
