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

Socket Socket::connect(const std::string& host, const std::string& port, int timeoutMs) {
  if (host.empty() || port.empty()) fail("no address to connect to", 0);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) throw X(kXNet, rc, "cannot resolve " + host + ":" + port + ": " + gai_strerror(rc));
  std::unique_ptr<addrinfo, AddrInfoFree> addresses(found);

  long long deadline = nowMs() + timeoutMs;
  int lastError = ECONNREFUSED;
  for (addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (s.fd_ < 0) {
      s.fd_ = kNone;
      lastError = errno;
      continue;
    }
    int fd = static_cast<int>(s.fd_);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return s;
    if (errno != EINPROGRESS) {
      lastError = errno;
      continue;
    }
    if (!waitFor(fd, POLLOUT, deadline)) fail("timed out connecting to " + host + ":" + port, 0);
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0) return s;
    lastError = error;
  }
  fail("cannot connect to " + host + ":" + port, lastError);
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
