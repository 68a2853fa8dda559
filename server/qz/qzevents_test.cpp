// qzerrors.dll as the event log uses it: loaded as a data file, each entry's text formatted
// from its message table with the entry's inserts.

#include "qzevents.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace {

// The text of message id with the given inserts for %1, %2, ..., or "(none: <error>)".
std::string format(HMODULE module, DWORD id, const std::vector<const char*>& inserts) {
  std::vector<DWORD_PTR> args;
  for (const char* insert : inserts) args.push_back(reinterpret_cast<DWORD_PTR>(insert));
  char* text = nullptr;
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
      module, id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&text), 0,
      reinterpret_cast<va_list*>(args.data()));
  std::string out =
      n == 0 ? "(none: " + std::to_string(GetLastError()) + ")" : std::string(text, n);
  LocalFree(text);
  return out;
}

// Every id the DLL's message table holds formats as the programs mean it, with their ids.
TEST(MessageDll, EveryMessageFormatsFromTheDllLoadedAsData) {
  HMODULE dll = LoadLibraryExA(KELDA_QZERRORS_DLL, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(dll, nullptr) << KELDA_QZERRORS_DLL << ": " << GetLastError();
  const std::map<DWORD, std::pair<std::vector<const char*>, std::string>> messages = {
      {qz::event::kMonStarted,
       {{"127.0.0.1:8100"},
        "The monitor started and serves administration requests on 127.0.0.1:8100.\r\n"}},
      {qz::event::kMonStopped, {{}, "The monitor stopped.\r\n"}},
      {qz::event::kMonStartFailed,
       {{"no monitor port"}, "The monitor could not start: no monitor port\r\n"}},
      {qz::event::kMonServeFailed,
       {{"out of memory"}, "The monitor failed while serving and stopped: out of memory\r\n"}},
  };
  HRSRC found = FindResourceA(dll, MAKEINTRESOURCEA(1), reinterpret_cast<LPCSTR>(RT_MESSAGETABLE));
  ASSERT_NE(found, nullptr);
  auto* table = static_cast<const MESSAGE_RESOURCE_DATA*>(LockResource(LoadResource(dll, found)));
  size_t ids = 0;
  for (DWORD b = 0; b < table->NumberOfBlocks; ++b) {
    for (DWORD id = table->Blocks[b].LowId; id <= table->Blocks[b].HighId; ++id, ++ids) {
      auto m = messages.find(id);
      ASSERT_NE(m, messages.end()) << id;
      EXPECT_EQ(format(dll, id, m->second.first), m->second.second);
    }
  }
  EXPECT_EQ(ids, messages.size());
  FreeLibrary(dll);
}

}  // namespace
