// Internal: a TCP socket with timeouts (qzsocket.cpp), over the platform's socket calls
// (qzsocket_posix.cpp, qzsocket_win32.cpp). Failures throw X of kind kXNet.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct addrinfo;

namespace qz {
namespace net {

class Socket {
 public:
  Socket() = default;
  ~Socket() { close(); }
  Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = kNone; }
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = other.fd_;
      other.fd_ = kNone;
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Connects to the first address of host:port that answers within timeoutMs. The addresses
  // the name resolves to are tried in turn, each with an equal share of the time left, so that
  // one that never answers leaves time for the next; a refusal goes on to the next at once.
  static Socket connect(const std::string& host, const std::string& port, int timeoutMs);
  // The same over numeric addresses given in order, as if a host name resolved to them.
  static Socket connectAny(const std::vector<std::string>& addresses, const std::string& port,
                           int timeoutMs);
  void sendAll(const char* data, size_t size, int timeoutMs);
  // Receives what arrives next, waiting up to timeoutMs; 0 at the end of the stream.
  size_t receive(char* data, size_t size, int timeoutMs);
  void close();
  bool isOpen() const { return fd_ != kNone; }

 private:
  static constexpr long long kNone = -1;
  explicit Socket(long long fd) : fd_(fd) {}
  static Socket connectInTurn(const std::vector<const addrinfo*>& addresses,
                              const std::string& peer, int timeoutMs);
  // One connect, waiting up to the deadline: 0 when connected, kTimedOut, or the system's error.
  static constexpr int kTimedOut = -1;
  int attempt(const addrinfo* address, long long deadline);
  long long fd_ = kNone;
};

// The parts each system gives (qzsocket_posix.cpp, qzsocket_win32.cpp) to the common ones
// (qzsocket.cpp).
long long nowMs();
[[noreturn]] void fail(const std::string& what, int error);
void startSockets();
// What follows "cannot resolve HOST:PORT" for getaddrinfo's answer rc.
std::string resolveFailure(int rc);
extern const int kConnectionRefused;

}  // namespace net
}  // namespace qz
