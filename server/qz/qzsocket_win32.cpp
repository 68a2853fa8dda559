// The socket calls on Winsock.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <memory>
#include <mutex>

#include "qzerr.h"
#include "qzsocket.h"

namespace qz {
namespace net {
namespace {

[[noreturn]] void fail(const std::string& what, int error) {
  throw X(kXNet, error, what + (error != 0 ? " (error " + std::to_string(error) + ")" : ""));
}

void startWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) fail("cannot start Winsock", WSAGetLastError());
  });
}

long long nowMs() {
  return static_cast<long long>(GetTickCount64());
}

bool waitFor(SOCKET s, short events, long long deadline) {
  for (;;) {
    long long left = deadline - nowMs();
    if (left <= 0) return false;
    WSAPOLLFD p{s, events, 0};
    int n = WSAPoll(&p, 1, static_cast<INT>(left));
    if (n > 0) return true;
    if (n == 0) return false;
    fail("poll failed", WSAGetLastError());
  }
}

struct AddrInfoFree {
  void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

SOCKET sock(long long fd) {
  return static_cast<SOCKET>(fd);
}

}  // namespace

void Socket::close() {
  if (fd_ != kNone) closesocket(sock(fd_));
  fd_ = kNone;
}

Socket Socket::connect(const std::string& host, const std::string& port, int timeoutMs) {
  if (host.empty() || port.empty()) fail("no address to connect to", 0);
  startWinsock();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) throw X(kXNet, rc, "cannot resolve " + host + ":" + port);
  std::unique_ptr<addrinfo, AddrInfoFree> addresses(found);

  long long deadline = nowMs() + timeoutMs;
  int lastError = WSAECONNREFUSED;
  for (addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      lastError = WSAGetLastError();
      continue;
    }
    Socket owned(static_cast<long long>(s));
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) return owned;
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
      lastError = error;
      continue;
    }
    if (!waitFor(s, POLLWRNORM, deadline)) fail("timed out connecting to " + host + ":" + port, 0);
    int soError = 0;
    int len = sizeof soError;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) == 0 &&
        soError == 0)
      return owned;
    lastError = soError;
  }
  fail("cannot connect to " + host + ":" + port, lastError);
}

void Socket::sendAll(const char* data, size_t size, int timeoutMs) {
  long long deadline = nowMs() + timeoutMs;
  SOCKET s = sock(fd_);
  while (size > 0) {
    int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    int n = ::send(s, data, chunk, 0);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      if (!waitFor(s, POLLWRNORM, deadline)) fail("timed out sending", 0);
      continue;
    }
    fail(error == WSAECONNRESET ? "connection reset while sending" : "send failed", error);
  }
}

size_t Socket::receive(char* data, size_t size, int timeoutMs) {
  long long deadline = nowMs() + timeoutMs;
  SOCKET s = sock(fd_);
  int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
  for (;;) {
    int n = ::recv(s, data, chunk, 0);
    if (n >= 0) return static_cast<size_t>(n);
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      if (!waitFor(s, POLLRDNORM, deadline)) fail("timed out waiting for the answer", 0);
      continue;
    }
    fail(error == WSAECONNRESET ? "connection reset" : "receive failed", error);
  }
}

}  // namespace net
}  // namespace qz
