// The operating-system helpers that read the same on every system, built on the ones of
// qzsys_posix.cpp or qzsys_win32.cpp.

#include "qzsys.h"

#include <filesystem>
#include <system_error>

namespace qz {
namespace sys {

bool writeWholeFile(const std::string& path, const std::string& text) {
  std::string temporary = path + ".tmp" + std::to_string(processId());
  bool written = false;
  if (File file = openFile(temporary, "wb")) {
    bool put = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    put = std::fflush(file.get()) == 0 && put && syncFile(file.get());
    written = std::fclose(file.release()) == 0 && put;
  }
  if (written) {
    std::error_code ignored;
    std::filesystem::file_status old =
        std::filesystem::status(std::filesystem::u8path(path), ignored);
    if (std::filesystem::exists(old))
      std::filesystem::permissions(std::filesystem::u8path(temporary), old.permissions(), ignored);
  }
  if (written && replaceFile(temporary, path)) return true;
  removeFile(temporary);
  return false;
}

}  // namespace sys
}  // namespace qz
