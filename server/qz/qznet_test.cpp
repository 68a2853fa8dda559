#include "qznet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

namespace {

using qz::net::Socket;

// A loopback listener that accepts nothing; its queue holds backlog connections.
struct Listener {
  Listener(const char* address, int at, int backlog) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(at));
    inet_pton(AF_INET, address, &a.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << address;
    listen(fd, backlog);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = std::to_string(ntohs(a.sin_port));
  }
  ~Listener() { close(fd); }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  std::string port;
};

TEST(Connect, ASilentOrRefusingAddressLeavesTimeForTheNext) {
  Listener answers("127.0.0.1", 0, 8);
  std::string port = answers.port;
  Listener silent("127.0.0.2", std::stoi(port), 0);
  // Fill its queue: the next connect goes unanswered, as with a host that is down.
  std::vector<Socket> held;
  try {
    while (held.size() < 16) held.push_back(Socket::connectAny({"127.0.0.2"}, port, 1000));
  } catch (const qz::X&) {
  }
  ASSERT_LT(held.size(), 16u) << "the queue never filled";
  EXPECT_TRUE(Socket::connectAny({"127.0.0.2", "127.0.0.3", "127.0.0.1"}, port, 1200).isOpen());
  try {
    Socket::connectAny({"127.0.0.2"}, port, 300);
    ADD_FAILURE() << "connected to a full queue";
  } catch (const qz::X& x) {
    EXPECT_EQ(x.errorText(), "timed out connecting to 127.0.0.2:" + port);
  }
  EXPECT_THROW(Socket::connectAny({}, port, 300), qz::X);
  EXPECT_EQ(qz::PortAddr("::1", "80").text() + " " + qz::PortAddr("localhost", "8080").text(),
            "[::1]:80 localhost:8080");
}

TEST(Send, WholeOrFailedByResetOrTimeOut) {
  Listener listener("127.0.0.1", 0, 8);
  auto failure = [&](const std::string& data, bool reset) {
    Socket s = Socket::connect("127.0.0.1", listener.port, 1000);
    int peer = accept(listener.fd, nullptr, nullptr);
    linger hard{1, 0};
    if (reset) setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), close(peer);
    std::string got = "sent";
    try {
      s.sendAll(data.data(), data.size(), 300);
    } catch (const qz::X& x) {
      got = reset ? x.errorText().substr(0, x.errorText().find(':')) : x.errorText();
    }
    if (!reset) close(peer);
    return got;
  };
  EXPECT_EQ(failure("x", false), "sent");
  EXPECT_EQ(failure("x", true), "connection reset while sending");
  EXPECT_EQ(failure(std::string(64u << 20, 'x'), false), "timed out sending");
}

// Its chunks, then the end of the stream; a read after that is one too many.
struct Script : qz::Adaptor {
  explicit Script(std::deque<std::string> chunks) : chunks(std::move(chunks)) {}
  void write(const qz::Buffer&) override {}
  bool read(qz::Buffer& into) override {
    if (ended) throw qz::X(qz::kXNet, 0, "read past the end");
    if (chunks.empty()) return !(ended = true);
    into.append(chunks.front().data(), chunks.front().size());
    chunks.pop_front();
    return true;
  }
  std::deque<std::string> chunks;
  bool ended = false;
};

// The answer read from these chunks: its body (by its size when long), or what went wrong.
std::string answerOf(std::deque<std::string> chunks) {
  qz::Connection c(Socket(), qz::PortAddr("127.0.0.1", "1"), 1000);
  c.push(new Script(std::move(chunks)));
  c.push(new qz::HttpAdaptor(true));
  qz::Buffer body;
  try {
    c.read(body);
  } catch (const qz::X& x) {
    return "error: " + x.errorText();
  }
  if (body.size() > 100) return std::to_string(body.size()) + " bytes";
  return std::string(body.getROPtr(0), body.size());
}

TEST(HttpAnswer, OneWholeBodyOfAtMost16MiBOrWhatWentWrong) {
  const std::string ok = "HTTP/1.1 200 OK\r\n", length = ok + "Content-Length: ",
                    chunked = ok + "Transfer-Encoding: chunked\r\n\r\n", full(16u << 20, 'x'),
                    tooLarge = "error: answer larger than 16 MiB";
  const std::pair<std::deque<std::string>, std::string> cases[] = {
      {{length + "5\r\n\r\nhe", "llo", "not read"}, "hello"},
      {{ok + "Connection: close\r\n\r\nto ", "the end"}, "to the end"},
      {{chunked + "3\r\nabc\r\n", "0\r\n\r\n"}, "abc"},
      // Refused on its head, before any of the body arrives.
      {{length + "16777217\r\n\r\n"}, tooLarge},
      {{length + "16777216\r\n\r\n", full}, "16777216 bytes"},
      // No length: counted as it comes, as one byte over leaves the framing within the read bound.
      {{chunked + "1000000\r\n", full, "\r\n1\r\nx\r\n0\r\n\r\n"}, tooLarge},
      {{ok + "\r\n", full, "x"}, tooLarge},
      {{ok + "\r\n", full}, "16777216 bytes"},
      {{length + "10\r\n\r\nshort"}, "error: connection closed before a whole answer"},
      {{"HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\n\r\nno such"},
       "error: answer with HTTP status 404: no such"},
      {{"HTTP/1.1 299 Odd\r\n\r\n"}, ""},
  };
  for (auto& c : cases) EXPECT_EQ(answerOf(c.first), c.second) << c.first.front();
  EXPECT_EQ(answerOf({"garbage\r\n\r\n"}).substr(0, 24), "error: malformed answer:");
}

}  // namespace
