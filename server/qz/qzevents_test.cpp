// qzerrors.dll as the event log uses it: loaded as a data file, each entry's text formatted
// from its message table with the entry's inserts.

#include "qzevents.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qzerrors.h"  // the ids windmc wrote from qzerrors.mc

namespace {

// The ids the programs report are the ones the message file defines.
static_assert(qz::event::kMonStarted == QZ_MSG_MON_STARTED, "qzevents.h and qzerrors.mc differ");
static_assert(qz::event::kMonStopped == QZ_MSG_MON_STOPPED, "qzevents.h and qzerrors.mc differ");
static_assert(qz::event::kMonStartFailed == QZ_MSG_MON_START_FAILED,
              "qzevents.h and qzerrors.mc differ");
static_assert(qz::event::kMonServeFailed == QZ_MSG_MON_SERVE_FAILED,
              "qzevents.h and qzerrors.mc differ");

struct ModuleCloser {
  void operator()(HMODULE m) const { FreeLibrary(m); }
};
using Module = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleCloser>;

struct LocalFree_ {
  void operator()(char* p) const { LocalFree(p); }
};

// The text of message id with the given inserts for %1, %2, ..., or "(none: <error>)".
std::string format(HMODULE module, DWORD id, const std::vector<const char*>& inserts) {
  std::vector<DWORD_PTR> args;
  for (const char* insert : inserts) args.push_back(reinterpret_cast<DWORD_PTR>(insert));
  char* text = nullptr;
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
      module, id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&text), 0,
      reinterpret_cast<va_list*>(args.data()));
  std::unique_ptr<char, LocalFree_> owned(text);
  if (n == 0) return "(none: " + std::to_string(GetLastError()) + ")";
  return std::string(text, n);
}

// Every id the DLL's message table holds.
std::vector<DWORD> definedIds(HMODULE module) {
  std::vector<DWORD> ids;
  HRSRC found =
      FindResourceA(module, MAKEINTRESOURCEA(1), reinterpret_cast<LPCSTR>(RT_MESSAGETABLE));
  if (found == nullptr) return ids;
  auto* table =
      static_cast<const MESSAGE_RESOURCE_DATA*>(LockResource(LoadResource(module, found)));
  if (table == nullptr) return ids;
  for (DWORD b = 0; b < table->NumberOfBlocks; ++b)
    for (DWORD id = table->Blocks[b].LowId; id <= table->Blocks[b].HighId; ++id) ids.push_back(id);
  return ids;
}

TEST(MessageDll, EveryMessageFormatsFromTheDllLoadedAsData) {
  Module dll(LoadLibraryExA(KELDA_QZERRORS_DLL, nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_TRUE(dll) << KELDA_QZERRORS_DLL << ": " << GetLastError();
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
  std::vector<DWORD> ids = definedIds(dll.get());
  ASSERT_EQ(ids.size(), messages.size());
  for (DWORD id : ids) {
    SCOPED_TRACE(id);
    auto m = messages.find(id);
    ASSERT_NE(m, messages.end());
    EXPECT_EQ(format(dll.get(), id, m->second.first), m->second.second);
  }
}

}  // namespace
