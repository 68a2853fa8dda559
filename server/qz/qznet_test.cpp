#include "qznet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "qzsocket.h"

namespace {

// A loopback listener that never accepts, with room in its queue for backlog connections.
class Listener {
 public:
  Listener(const char* address, int port, int backlog) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << address;
    listen(fd_, backlog);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = std::to_string(ntohs(a.sin_port));
  }
  ~Listener() { close(fd_); }
  const std::string& port() const { return port_; }

 private:
  int fd_;
  std::string port_;
};

// An address that never answers or one that refuses leaves time for the next.
TEST(Connect, OneAddressThatNeverAnswersOrRefusesLeavesTimeForTheNext) {
  Listener answers("127.0.0.1", 0, 8);
  std::string port = answers.port();
  Listener silent("127.0.0.2", std::stoi(port), 0);
  // Connect until the queue is full, so that its next connect is never answered, as with an
  // address whose host is down.
  std::vector<qz::net::Socket> held;
  try {
    while (held.size() < 16) held.push_back(qz::net::Socket::connectAny({"127.0.0.2"}, port, 200));
  } catch (const qz::X&) {
  }
  ASSERT_LT(held.size(), 16u) << "the listener's queue never filled";
  // 127.0.0.3 refuses: nothing listens there.
  auto start = std::chrono::steady_clock::now();
  qz::net::Socket s =
      qz::net::Socket::connectAny({"127.0.0.2", "127.0.0.3", "127.0.0.1"}, port, 1200);
  EXPECT_TRUE(s.isOpen());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1200));
  try {
    qz::net::Socket::connectAny({"127.0.0.2"}, port, 300);
    ADD_FAILURE() << "connected to a full queue";
  } catch (const qz::X& x) {
    EXPECT_EQ(x.errorText(), "timed out connecting to 127.0.0.2:" + port);
  }
  EXPECT_THROW(qz::net::Socket::connectAny({"127.0.0.1"}, "", 300), qz::X);
  EXPECT_EQ(qz::PortAddr("::1", "80").text() + " " + qz::PortAddr("localhost", "8080").text(),
            "[::1]:80 localhost:8080");
}

}  // namespace
