// The socket calls on Winsock.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <memory>
#include <mutex>

#include "qzerr.h"
#include "qzsocket.h"

namespace qz {
namespace net {

const int kConnectionRefused = WSAECONNREFUSED;

void fail(const std::string& what, int error) {
  throw X(kXNet, error, what + (error != 0 ? " (error " + std::to_string(error) + ")" : ""));
}

void startSockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) fail("cannot start Winsock", WSAGetLastError());
  });
}

long long nowMs() {
  return static_cast<long long>(GetTickCount64());
}

std::string resolveFailure(int) {
  return "";
}

namespace {

// What a wait is for: data to read, room to write, or the end of a connect.
enum class Wait { kRead, kWrite, kConnect };

// Waits with select until s is ready or the deadline passes; false on timeout. select, not
// WSAPoll: before Windows 10 2004 WSAPoll never reports a connect that was refused, whereas
// select has always put it in the exception set. A connect that ends either way answers true;
// the caller reads the outcome from SO_ERROR.
bool waitFor(SOCKET s, Wait what, long long deadline) {
  for (;;) {
    long long left = deadline - nowMs();
    if (left <= 0) return false;
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
    int n = what == Wait::kRead
                ? select(0, &ready, nullptr, nullptr, &wait)
                : select(0, nullptr, &ready, what == Wait::kConnect ? &failed : nullptr, &wait);
    if (n > 0) return true;
    if (n == 0) continue;  // select may wake early; the deadline decides
    fail("select failed", WSAGetLastError());
  }
}

SOCKET sock(long long fd) {
  return static_cast<SOCKET>(fd);
}

}  // namespace

void Socket::close() {
  if (fd_ != kNone) closesocket(sock(fd_));
  fd_ = kNone;
}

int Socket::attempt(const addrinfo* a, long long deadline) {
  SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
  if (s == INVALID_SOCKET) return WSAGetLastError();
  fd_ = static_cast<long long>(s);
  u_long nonBlocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0)
    fail("cannot configure a socket", WSAGetLastError());
  if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) return 0;
  int error = WSAGetLastError();
  if (error != WSAEWOULDBLOCK) return error;
  if (!waitFor(s, Wait::kConnect, deadline)) return kTimedOut;
  int soError = 0;
  int len = sizeof soError;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) != 0)
    soError = WSAGetLastError();
  return soError;
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
      if (!waitFor(s, Wait::kWrite, deadline)) fail("timed out sending", 0);
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
      if (!waitFor(s, Wait::kRead, deadline)) fail("timed out waiting for the answer", 0);
      continue;
    }
    fail(error == WSAECONNRESET ? "connection reset" : "receive failed", error);
  }
}

}  // namespace net
}  // namespace qz
