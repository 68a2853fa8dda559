#include "qznet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
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
  int fd() const { return fd_; }

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
    while (held.size() < 16) held.push_back(qz::net::Socket::connectAny({"127.0.0.2"}, port, 1000));
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

// A send fails with what went wrong: a peer that reset the connection, or one that reads
// nothing while the buffers between are full.
TEST(Send, ResetAndTimeOutFailTheSendWithTheirOwnTexts) {
  Listener listener("127.0.0.1", 0, 8);
  auto failure = [&](const std::string& data, bool reset) -> std::string {
    qz::net::Socket s = qz::net::Socket::connect("127.0.0.1", listener.port(), 1000);
    int peer = accept(listener.fd(), nullptr, nullptr);
    linger hard{1, 0};
    if (reset) setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), close(peer);
    try {
      s.sendAll(data.data(), data.size(), 300);
    } catch (const qz::X& x) {
      if (!reset) close(peer);
      return x.errorText().substr(0, x.errorText().find(':'));  // ECONNRESET or EPIPE
    }
    return "sent";
  };
  EXPECT_EQ(failure("x", true), "connection reset while sending");
  EXPECT_EQ(failure(std::string(64u << 20, 'x'), false), "timed out sending");
}

// A transport that hands out the chunks it was given, then the end of the stream; a read past
// the end means the answer was read further than it needed to be.
class Script : public qz::Adaptor {
 public:
  explicit Script(std::deque<std::string> chunks) : chunks_(std::move(chunks)) {}
  void write(const qz::Buffer&) override {}
  bool read(qz::Buffer& into) override {
    if (ended_) throw qz::X(qz::kXNet, 0, "read past the end");
    if (chunks_.empty()) return !(ended_ = true);
    into.append(chunks_.front().data(), chunks_.front().size());
    chunks_.pop_front();
    return true;
  }

 private:
  std::deque<std::string> chunks_;
  bool ended_ = false;
};

// What reading one answer from these chunks gives: the body, or the failure's text.
std::string answerOf(std::deque<std::string> chunks) {
  qz::Connection c(qz::net::Socket(), qz::PortAddr("127.0.0.1", "1"), 1000);
  c.push(new Script(std::move(chunks)));
  c.push(new qz::HttpAdaptor(true));
  qz::Buffer body(0);
  try {
    c.read(body);
  } catch (const qz::X& x) {
    return "error: " + x.errorText();
  }
  return std::string(body.getROPtr(0), body.size());
}

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const size_t kMax = qz::HttpAdaptor::kMaxAnswer;

TEST(HttpAnswer, WholeAnswersInPiecesOrUntilTheClose) {
  EXPECT_EQ(answerOf({kOk + "Content-Length: 5\r\n\r\nhe", "llo", "not read"}), "hello");
  EXPECT_EQ(answerOf({kOk + "Connection: close\r\n\r\nto ", "the end"}), "to the end");
  EXPECT_EQ(answerOf({kOk + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", "0\r\n\r\n"}), "abc");
}

TEST(HttpAnswer, LengthOverTheLimitIsRefusedOnItsHead) {
  // No body follows: were it waited for, the read would go past the end.
  std::string head = kOk + "Content-Length: " + std::to_string(kMax + 1) + "\r\n\r\n";
  EXPECT_EQ(answerOf({head}), "error: answer larger than 16 MiB");
  std::string full(kMax, 'x');
  std::string body = answerOf({kOk + "Content-Length: " + std::to_string(kMax) + "\r\n\r\n", full});
  EXPECT_EQ(body.size(), kMax);
}

TEST(HttpAnswer, AnswersWithoutALengthAreCountedAsTheyCome) {
  std::string mib(1u << 20, 'x');
  std::deque<std::string> chunked{kOk + "Transfer-Encoding: chunked\r\n\r\n"};
  std::deque<std::string> untilClose{kOk + "\r\n"};
  for (int i = 0; i < 17; ++i) {
    chunked.push_back("100000\r\n" + mib + "\r\n");
    untilClose.push_back(mib);
  }
  EXPECT_EQ(answerOf(chunked), "error: answer larger than 16 MiB");
  EXPECT_EQ(answerOf(untilClose), "error: answer larger than 16 MiB");
  untilClose.resize(17);  // the head and 16 MiB
  EXPECT_EQ(answerOf(untilClose).size(), kMax);
}

TEST(HttpAnswer, FailuresOfTheAnswerItself) {
  EXPECT_EQ(answerOf({kOk + "Content-Length: 10\r\n\r\nshort"}),
            "error: connection closed before a whole answer");
  EXPECT_EQ(answerOf({"HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\n\r\nno such"}),
            "error: answer with HTTP status 404: no such");
  EXPECT_EQ(answerOf({"HTTP/1.1 204 No Content\r\n\r\n"}), "");
  EXPECT_EQ(answerOf({"garbage\r\n\r\n"}).substr(0, 24), "error: malformed answer:");
}

}  // namespace
