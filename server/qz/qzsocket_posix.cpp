#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "qzerr.h"
#include "qzsocket.h"

namespace qz {
namespace net {
namespace {

[[noreturn]] void fail(const std::string& what, int error) {
  throw X(kXNet, error, what + (error != 0 ? std::string(": ") + std::strerror(error) : ""));
}

long long nowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is ready for events or the deadline passes; false on timeout.
bool waitFor(int fd, short events, long long deadline) {
  for (;;) {
    long long left = deadline - nowMs();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) fail("poll failed", errno);
  }
}

struct AddrInfoFree {
  void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

}  // namespace

void Socket::close() {
  if (fd_ != kNone) ::close(static_cast<int>(fd_));
  fd_ = kNone;
}

namespace {

using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

AddrInfoList resolve(const std::string& host, const std::string& port, int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) throw X(kXNet, rc, "cannot resolve " + host + ":" + port + ": " + gai_strerror(rc));
  return AddrInfoList(found);
}

}  // namespace

// Tries the addresses in order. Each gets an equal share of the time left, so that a
// connect that never completes on one still leaves time for the others.
Socket Socket::connectInTurn(const std::vector<const addrinfo*>& addresses, const std::string& peer,
                             int timeoutMs) {
  long long deadline = nowMs() + timeoutMs;
  int lastError = ECONNREFUSED;
  bool timedOut = false;
  for (size_t i = 0; i < addresses.size(); ++i) {
    const addrinfo* a = addresses[i];
    long long left = deadline - nowMs();
    long long attemptDeadline = nowMs() + left / static_cast<long long>(addresses.size() - i);
    Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (s.fd_ < 0) {
      s.fd_ = kNone;
      lastError = errno;
      timedOut = false;
      continue;
    }
    int fd = static_cast<int>(s.fd_);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return s;
    if (errno != EINPROGRESS) {
      lastError = errno;
      timedOut = false;
      continue;
    }
    if (!waitFor(fd, POLLOUT, attemptDeadline)) {
      timedOut = true;
      continue;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    if (error == 0) return s;
    lastError = error;
    timedOut = false;
  }
  if (timedOut) fail("timed out connecting to " + peer, 0);
  fail("cannot connect to " + peer, lastError);
}

Socket Socket::connect(const std::string& host, const std::string& port, int timeoutMs) {
  if (host.empty() || port.empty()) fail("no address to connect to", 0);
  AddrInfoList found = resolve(host, port, 0);
  std::vector<const addrinfo*> addresses;
  for (const addrinfo* a = found.get(); a != nullptr; a = a->ai_next) addresses.push_back(a);
  return connectInTurn(addresses, host + ":" + port, timeoutMs);
}

Socket Socket::connectAny(const std::vector<std::string>& hosts, const std::string& port,
                          int timeoutMs) {
  if (hosts.empty() || port.empty()) fail("no address to connect to", 0);
  std::vector<AddrInfoList> found;
  std::vector<const addrinfo*> addresses;
  for (const std::string& host : hosts) {
    found.push_back(resolve(host, port, AI_NUMERICHOST));
    for (const addrinfo* a = found.back().get(); a != nullptr; a = a->ai_next)
      addresses.push_back(a);
  }
  return connectInTurn(addresses, hosts.front() + ":" + port, timeoutMs);
}

void Socket::sendAll(const char* data, size_t size, int timeoutMs) {
  long long deadline = nowMs() + timeoutMs;
  int fd = static_cast<int>(fd_);
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitFor(fd, POLLOUT, deadline)) fail("timed out sending", 0);
      continue;
    }
    fail(errno == ECONNRESET || errno == EPIPE ? "connection reset while sending" : "send failed",
         errno);
  }
}

size_t Socket::receive(char* data, size_t size, int timeoutMs) {
  long long deadline = nowMs() + timeoutMs;
  int fd = static_cast<int>(fd_);
  for (;;) {
    ssize_t n = ::recv(fd, data, size, 0);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!waitFor(fd, POLLIN, deadline)) fail("timed out waiting for the answer", 0);
      continue;
    }
    fail(errno == ECONNRESET ? "connection reset" : "receive failed", errno);
  }
}

}  // namespace net
}  // namespace qz
