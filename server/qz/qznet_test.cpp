#include "qznet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "qz.h"
#include "qzsocket.h"

namespace {

// A loopback server for one connection: reads the request head, then plays its script.
class ScriptedServer {
 public:
  // Each piece is sent as written (with a pause between pieces); reset ends with an RST.
  ScriptedServer(std::vector<std::string> pieces, bool reset = false, bool silent = false)
      : pieces_(std::move(pieces)), reset_(reset), silent_(silent) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 1);
    socklen_t len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = std::to_string(ntohs(a.sin_port));
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() {
    thread_.join();
    close(listener_);
  }
  const std::string& port() const { return port_; }
  std::string request() {
    thread_.join();
    thread_ = std::thread([] {});
    return request_;
  }

 private:
  void serve() {
    int c = accept(listener_, nullptr, nullptr);
    if (c < 0) return;
    char buf[4096];
    // Read until the head and the announced body are in.
    for (;;) {
      size_t end = request_.find("\r\n\r\n");
      if (end != std::string::npos) {
        size_t cl = request_.find("Content-Length: ");
        size_t want = cl == std::string::npos ? 0 : std::stoul(request_.substr(cl + 16));
        if (request_.size() >= end + 4 + want) break;
      }
      ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      request_.append(buf, static_cast<size_t>(n));
    }
    if (silent_) {
      // Accepts and never answers: hold the connection until the client gives up.
      while (recv(c, buf, sizeof buf, 0) > 0) {
      }
    }
    for (const std::string& p : pieces_) {
      send(c, p.data(), p.size(), MSG_NOSIGNAL);
      if (pieces_.size() > 1) usleep(1000);
    }
    if (reset_) {
      linger l{1, 0};
      setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    close(c);
  }

  std::vector<std::string> pieces_;
  bool reset_, silent_;
  int listener_;
  std::string port_;
  std::string request_;
  std::thread thread_;
};

class Http : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static std::vector<std::string> words = {"qz_test", "-rootdir", "/nonexistent", "-loglevel",
                                             "0"};
    std::vector<const char*> argv;
    for (auto& w : words) argv.push_back(w.c_str());
    argv.push_back(nullptr);
    int argc = static_cast<int>(words.size());
    qz::init(argc, argv.data());
  }
  // One exchange through TcpAdaptor + HttpAdaptor, as the tools make it.
  static std::string exchange(const std::string& port, const char* request = "status") {
    std::unique_ptr<qz::Connection> c = qz::tcp_connect(qz::PortAddr("127.0.0.1", port.c_str()));
    c->push(new qz::TcpAdaptor());
    c->push(new qz::HttpAdaptor(true));
    qz::Buffer out(0);
    out.append(request);
    c->write(out);
    qz::Buffer in(0);
    c->read(in);
    qz::tcp_close(*c);
    return std::string(in.getROPtr(0), in.size());
  }
  static std::string failure(const std::string& port) {
    try {
      exchange(port);
    } catch (const qz::X& x) {
      EXPECT_EQ(x.kind, qz::kXNet);
      return x.errorText();
    }
    return "no failure";
  }
};

TEST_F(Http, RequestIsOnePostWithTheTextAsBody) {
  ScriptedServer s({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"});
  EXPECT_EQ(exchange(s.port(), "show all"), "ok");
  std::string r = s.request();
  EXPECT_EQ(r.rfind("POST / HTTP/1.1\r\n", 0), 0u) << r;
  EXPECT_NE(r.find("\r\nHost: 127.0.0.1:" + s.port() + "\r\n"), std::string::npos) << r;
  EXPECT_NE(r.find("\r\nContent-Length: 8\r\n"), std::string::npos) << r;
  EXPECT_EQ(r.substr(r.size() - 12), "\r\n\r\nshow all");
}

TEST_F(Http, EveryFramingOfTheAnswer) {
  {
    ScriptedServer s(
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
         "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"});
    EXPECT_EQ(exchange(s.port()), "hello world");
  }
  {
    ScriptedServer s({"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil the end"});
    EXPECT_EQ(exchange(s.port()), "until the end");
  }
  {
    ScriptedServer s({"HTTP/1.1 204 No Content\r\n\r\n"});
    EXPECT_EQ(exchange(s.port()), "");
  }
  {
    ScriptedServer s({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"});
    EXPECT_EQ(exchange(s.port()), "");
  }
  {
    // Split everywhere, a byte at a time.
    std::string whole = "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nbyte a byte";
    std::vector<std::string> bytes;
    for (char ch : whole) bytes.emplace_back(1, ch);
    ScriptedServer s(bytes);
    EXPECT_EQ(exchange(s.port()), "byte a byte");
  }
  {
    // A zero byte is part of the body; the tool cuts there, not the client.
    ScriptedServer s({std::string("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\na\0b", 41)});
    EXPECT_EQ(exchange(s.port()), std::string("a\0b", 3));
  }
}

TEST_F(Http, FailuresSayWhatWentWrong) {
  {
    ScriptedServer s({"garbage that is no HTTP at all\r\n\r\n"});
    EXPECT_NE(failure(s.port()).find("malformed answer"), std::string::npos);
  }
  {
    ScriptedServer s({"HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\n\r\nno such"});
    EXPECT_EQ(failure(s.port()), "answer with HTTP status 404: no such");
  }
  {
    ScriptedServer s({"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort"});
    EXPECT_EQ(failure(s.port()), "connection closed before a whole answer");
  }
  {
    ScriptedServer s({"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial"}, true);
    EXPECT_NE(failure(s.port()).find("reset"), std::string::npos);
  }
  {
    ScriptedServer s({"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string((16u << 20) + 1) +
                      "\r\n\r\n" + std::string((16u << 20) + 1, 'x')});
    EXPECT_EQ(failure(s.port()), "answer larger than 16 MiB");
  }
}

TEST_F(Http, ASilentServerTimesOutAndARefusalIsImmediate) {
  qz::setVarStr("qz.net.timeout", "300");
  {
    ScriptedServer s({}, false, true);
    EXPECT_EQ(failure(s.port()), "timed out waiting for the answer");
  }
  qz::eval("unset qz.net.timeout");
  std::string port;
  {
    ScriptedServer s({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"});
    port = s.port();
    exchange(port);
  }
  EXPECT_NE(failure(port).find("cannot connect to 127.0.0.1:" + port), std::string::npos);
  EXPECT_NE(failure("").find("no address"), std::string::npos);
}

// A listening socket on a loopback address, with nothing accepting.
class Listener {
 public:
  Listener(const char* address, int port, int backlog) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
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
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_;
};

// Connects until the listener's queue is full, so that its next connect is never answered,
// as with an address whose host is down.
std::vector<qz::net::Socket> fillQueue(const char* address, int port) {
  std::vector<qz::net::Socket> held;
  for (int i = 0; i < 16; ++i) {
    try {
      held.push_back(qz::net::Socket::connectAny({address}, std::to_string(port), 200));
    } catch (const qz::X&) {
      break;
    }
  }
  return held;
}

TEST(Connect, OneAddressThatNeverAnswersOrRefusesLeavesTimeForTheNext) {
  Listener answers("127.0.0.1", 0, 8);
  std::string port = std::to_string(answers.port());
  Listener silent("127.0.0.2", answers.port(), 0);
  std::vector<qz::net::Socket> queued = fillQueue("127.0.0.2", answers.port());
  ASSERT_LT(queued.size(), 16u) << "the listener's queue never filled";
  // 127.0.0.3 refuses: nothing listens there.
  auto start = std::chrono::steady_clock::now();
  qz::net::Socket s =
      qz::net::Socket::connectAny({"127.0.0.2", "127.0.0.3", "127.0.0.1"}, port, 1200);
  auto spent = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(s.isOpen());
  EXPECT_LT(spent, std::chrono::milliseconds(1200));
  try {
    qz::net::Socket::connectAny({"127.0.0.2"}, port, 300);
    ADD_FAILURE() << "connected to a full queue";
  } catch (const qz::X& x) {
    EXPECT_EQ(x.errorText(), "timed out connecting to 127.0.0.2:" + port);
  }
}

TEST(PortAddr, NamesAndIpv6) {
  EXPECT_EQ(qz::PortAddr("::1", "80").text(), "[::1]:80");
  EXPECT_EQ(qz::PortAddr("localhost", "8080").text(), "localhost:8080");
}

}  // namespace
