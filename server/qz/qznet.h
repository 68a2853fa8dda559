// The framework's network client: a TCP connection with a stack of adaptors on it. The tools
// use it as TcpAdaptor at the bottom and HttpAdaptor above, so that one write sends one
// HTTP request and one read returns the body of one whole answer. Every failure (address,
// connect, write, read, framing, timeout) is a qz::X of kind kXNet whose text says which.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "qzerr.h"
#include "qzsocket.h"

namespace qz {

// Bytes, growing as they are appended.
class Buffer {
 public:
  explicit Buffer(size_t initial = 0) { bytes_.reserve(initial); }
  // Appends text up to its terminating zero byte.
  void append(const char* text);
  void append(const char* data, size_t size) { bytes_.insert(bytes_.end(), data, data + size); }
  void clear() { bytes_.clear(); }
  size_t size() const { return bytes_.size(); }
  // The bytes from offset on (offset up to size()).
  const char* getROPtr(size_t offset) const { return bytes_.data() + offset; }

 private:
  std::vector<char> bytes_;
};

// Where to connect: a host name or address (IPv4 or IPv6) and a port, both as text.
class PortAddr {
 public:
  PortAddr(const char* host, const char* port)
      : host_(host != nullptr ? host : ""), port_(port != nullptr ? port : "") {}
  const std::string& host() const { return host_; }
  const std::string& port() const { return port_; }
  std::string text() const;  // host:port, IPv6 addresses in brackets

 private:
  std::string host_, port_;
};

class Connection;

// One layer of a connection. A bottom adaptor moves bytes; the layers above frame them.
class Adaptor {
 public:
  virtual ~Adaptor() = default;
  // Sends data down the stack.
  virtual void write(const Buffer& data) = 0;
  // A bottom adaptor appends the bytes that arrive next and answers false at the end of the
  // stream; a framing adaptor fills `into` with one whole message and answers true.
  virtual bool read(Buffer& into) = 0;

 protected:
  Adaptor* below() const { return below_; }
  Connection& connection() const { return *connection_; }

 private:
  friend class Connection;
  Adaptor* below_ = nullptr;
  Connection* connection_ = nullptr;
};

// Sends and receives on the connection's socket.
class TcpAdaptor : public Adaptor {
 public:
  void write(const Buffer& data) override;
  bool read(Buffer& into) override;
};

// HTTP/1.1 over the adaptor below: a write is sent as one POST request whose body is the
// data; a read answers the body of one whole response (Content-Length, chunked, or ended by
// the close of the connection), at most maxAnswer bytes. With closeAfter, the request asks the
// server to close the connection after its answer.
class HttpAdaptor : public Adaptor {
 public:
  static constexpr size_t kMaxAnswer = 16u << 20;
  explicit HttpAdaptor(bool closeAfter) : closeAfter_(closeAfter) {}
  void write(const Buffer& data) override;
  bool read(Buffer& into) override;

 private:
  bool closeAfter_;
};

// One exchange's connection. Its time runs out as a whole: every write and read waits at most
// for what is left of the time given at construction, so a peer that trickles bytes cannot hold
// the client past it.
class Connection {
 public:
  Connection(net::Socket socket, PortAddr peer, int timeoutMs)
      : socket_(std::move(socket)),
        peer_(std::move(peer)),
        deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Puts an adaptor on top of the stack; the connection owns it from then on.
  void push(Adaptor* adaptor);
  void write(const Buffer& data);
  void read(Buffer& into);
  void close() { socket_.close(); }

  net::Socket& socket() { return socket_; }
  const PortAddr& peer() const { return peer_; }
  // Milliseconds left of the exchange's time; 0 once it has run out.
  int remainingMs() const;

 private:
  Adaptor& top();

  net::Socket socket_;
  PortAddr peer_;
  std::chrono::steady_clock::time_point deadline_;
  std::vector<std::unique_ptr<Adaptor>> adaptors_;
};

// Connects within the timeout that qz.net.timeout gives in milliseconds (default 30000); the
// connection's writes and reads have what the connect left of it.
std::unique_ptr<Connection> tcp_connect(const PortAddr& address);
void tcp_close(Connection& connection);

}  // namespace qz
