#include "svcplatform.h"

#include <cstring>

namespace winsvc {
namespace {
Platform* replaced = nullptr;

// Copies text with its ending zero just below *end, moves *end down to it and answers it.
char* putBelow(char** end, const std::string& text) {
  *end -= text.size() + 1;
  std::memcpy(*end, text.c_str(), text.size() + 1);
  return *end;
}

size_t roomFor(const ServiceListing& s) {
  return sizeof(ENUM_SERVICE_STATUSA) + s.name.size() + 1 + s.display.size() + 1;
}

}  // namespace

Platform& platform() {
  return replaced != nullptr ? *replaced : realPlatform();
}

Platform* setPlatform(Platform* replacement) {
  Platform* previous = replaced;
  replaced = replacement;
  return previous;
}

// From the resume point, the rows that fit; *bytesNeeded is what the rows left would take, and
// the resume point moves past the rows given, back to 0 once the last is given.
BOOL packServiceList(Platform& os, const std::vector<ServiceListing>& all,
                     ENUM_SERVICE_STATUSA* services, DWORD bufSize, DWORD* bytesNeeded,
                     DWORD* servicesReturned, DWORD* resumeHandle) {
  if (bytesNeeded == nullptr || servicesReturned == nullptr) {
    os.SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t next = resumeHandle != nullptr ? *resumeHandle : 0;
  size_t free = services != nullptr ? bufSize : 0;
  char* textEnd = reinterpret_cast<char*>(services) + free;
  DWORD count = 0;
  for (; next < all.size() && roomFor(all[next]) <= free; ++next, ++count) {
    ENUM_SERVICE_STATUSA& r = services[count];
    r.lpServiceName = putBelow(&textEnd, all[next].name);
    r.lpDisplayName = putBelow(&textEnd, all[next].display);
    r.ServiceStatus = all[next].status;
    free -= roomFor(all[next]);
  }
  *servicesReturned = count;
  size_t needed = 0;
  for (size_t i = next; i < all.size(); ++i) needed += roomFor(all[i]);
  *bytesNeeded = static_cast<DWORD>(needed);
  if (resumeHandle != nullptr) *resumeHandle = next < all.size() ? static_cast<DWORD>(next) : 0;
  if (next == all.size()) return 1;
  os.SetLastError(ERROR_MORE_DATA);
  return 0;
}

BOOL packServiceConfig(Platform& os, const ServiceConfig& c, QUERY_SERVICE_CONFIGA* config,
                       DWORD bufSize, DWORD* bytesNeeded) {
  if (bytesNeeded == nullptr) {
    os.SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The texts: path, load order group, dependencies (a list ended by a second zero), account,
  // display name.
  const std::string texts[] = {c.binaryPath, "", std::string(1, '\0'), c.account, c.display};
  size_t needed = sizeof(QUERY_SERVICE_CONFIGA);
  for (const std::string& t : texts) needed += t.size() + 1;
  *bytesNeeded = static_cast<DWORD>(needed);
  if (config == nullptr || bufSize < needed) {
    os.SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  char* end = reinterpret_cast<char*>(config) + needed;
  char* placed[5];
  for (int i = 4; i >= 0; --i) placed[i] = putBelow(&end, texts[i]);
  *config = QUERY_SERVICE_CONFIGA{c.type, c.start,   c.errorControl, placed[0], placed[1],
                                  0,      placed[2], placed[3],      placed[4]};
  return 1;
}

LONG copyValue(Platform& os, DWORD storedType, const std::string& bytes, DWORD* type,
               unsigned char* data, DWORD* size) {
  if (data != nullptr && size == nullptr) {
    os.SetLastError(ERROR_INVALID_PARAMETER);
    return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  }
  if (type != nullptr) *type = storedType;
  if (size == nullptr) return 0;
  DWORD room = *size;
  *size = static_cast<DWORD>(bytes.size());
  if (data == nullptr) return 0;
  if (room < bytes.size()) {
    os.SetLastError(ERROR_MORE_DATA);
    return static_cast<LONG>(ERROR_MORE_DATA);
  }
  std::memcpy(data, bytes.data(), bytes.size());
  return 0;
}

}  // namespace winsvc
