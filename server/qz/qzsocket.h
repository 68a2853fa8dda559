// Internal: a TCP socket with timeouts, over the platform's socket calls (qzsocket_posix.cpp,
// qzsocket_win32.cpp). Failures throw X of kind kXNet.
#pragma once

#include <cstddef>
#include <string>

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

  // Connects to the first address of host:port that answers within timeoutMs.
  static Socket connect(const std::string& host, const std::string& port, int timeoutMs);
  void sendAll(const char* data, size_t size, int timeoutMs);
  // Receives what arrives next, waiting up to timeoutMs; 0 at the end of the stream.
  size_t receive(char* data, size_t size, int timeoutMs);
  void close();
  bool isOpen() const { return fd_ != kNone; }

 private:
  static constexpr long long kNone = -1;
  explicit Socket(long long fd) : fd_(fd) {}
  long long fd_ = kNone;
};

}  // namespace net
}  // namespace qz
