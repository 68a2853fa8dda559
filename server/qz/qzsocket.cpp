// The socket calls that read the same on every system: resolving a name and trying its
// addresses in turn. Each system's own calls are in qzsocket_posix.cpp or qzsocket_win32.cpp.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <memory>

#include "qzerr.h"
#include "qzsocket.h"

namespace qz {
namespace net {
namespace {

struct AddrInfoFree {
  void operator()(addrinfo* a) const { freeaddrinfo(a); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

AddrInfoList resolve(const std::string& host, const std::string& port, int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) throw X(kXNet, rc, "cannot resolve " + host + ":" + port + resolveFailure(rc));
  return AddrInfoList(found);
}

}  // namespace

// Tries the addresses in order. Each gets an equal share of the time left, so that a
// connect that never completes on one still leaves time for the others.
Socket Socket::connectInTurn(const std::vector<const addrinfo*>& addresses, const std::string& peer,
                             int timeoutMs) {
  long long deadline = nowMs() + timeoutMs;
  int lastError = kConnectionRefused;
  bool timedOut = false;
  for (size_t i = 0; i < addresses.size(); ++i) {
    long long left = deadline - nowMs();
    long long attemptDeadline = nowMs() + left / static_cast<long long>(addresses.size() - i);
    Socket s;
    int error = s.attempt(addresses[i], attemptDeadline);
    if (error == 0) return s;
    timedOut = error == kTimedOut;
    if (!timedOut) lastError = error;
  }
  if (timedOut) fail("timed out connecting to " + peer, 0);
  fail("cannot connect to " + peer, lastError);
}

Socket Socket::connect(const std::string& host, const std::string& port, int timeoutMs) {
  if (host.empty() || port.empty()) fail("no address to connect to", 0);
  startSockets();
  AddrInfoList found = resolve(host, port, 0);
  std::vector<const addrinfo*> addresses;
  for (const addrinfo* a = found.get(); a != nullptr; a = a->ai_next) addresses.push_back(a);
  return connectInTurn(addresses, host + ":" + port, timeoutMs);
}

Socket Socket::connectAny(const std::vector<std::string>& hosts, const std::string& port,
                          int timeoutMs) {
  if (hosts.empty() || port.empty()) fail("no address to connect to", 0);
  startSockets();
  std::vector<AddrInfoList> found;
  std::vector<const addrinfo*> addresses;
  for (const std::string& host : hosts) {
    found.push_back(resolve(host, port, AI_NUMERICHOST));
    for (const addrinfo* a = found.back().get(); a != nullptr; a = a->ai_next)
      addresses.push_back(a);
  }
  return connectInTurn(addresses, hosts.front() + ":" + port, timeoutMs);
}

}  // namespace net
}  // namespace qz
