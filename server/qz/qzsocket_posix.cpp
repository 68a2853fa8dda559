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

const int kConnectionRefused = ECONNREFUSED;

void fail(const std::string& what, int error) {
  throw X(kXNet, error, what + (error != 0 ? std::string(": ") + std::strerror(error) : ""));
}

long long nowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void startSockets() {}

std::string resolveFailure(int rc) {
  return std::string(": ") + gai_strerror(rc);
}

namespace {

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

}  // namespace

void Socket::close() {
  if (fd_ != kNone) ::close(static_cast<int>(fd_));
  fd_ = kNone;
}

int Socket::attempt(const addrinfo* a, long long deadline) {
  int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
  if (fd == -1) return errno;
  fd_ = fd;
  if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  if (!waitFor(fd, POLLOUT, deadline)) return kTimedOut;
  int error = 0;
  socklen_t len = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
  return error;
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
