#include "qzevents.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>

namespace {

TEST(MessageDll, EveryMessageFormatsFromTheDllLoadedAsData) {
  HMODULE dll = LoadLibraryExA(KELDA_QZERRORS_DLL, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(dll, nullptr) << KELDA_QZERRORS_DLL << ": " << GetLastError();
  const std::pair<DWORD, std::string> messages[] = {
      {qz::event::kMonStarted, "The monitor started and serves administration requests on X."},
      {qz::event::kMonStopped, "The monitor stopped."},
      {qz::event::kMonStartFailed, "The monitor could not start: X"},
      {qz::event::kMonServeFailed, "The monitor failed while serving and stopped: X"}};
  DWORD_PTR insert[] = {reinterpret_cast<DWORD_PTR>("X")};
  for (const auto& m : messages) {
    char text[200];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, dll,
                             m.first, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                             sizeof text, reinterpret_cast<va_list*>(insert));
    EXPECT_EQ(n == 0 ? "error " + std::to_string(GetLastError()) : std::string(text, n),
              m.second + "\r\n");
  }
  FreeLibrary(dll);
}

}  // namespace
